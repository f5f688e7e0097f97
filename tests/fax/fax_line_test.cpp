#include "fax/fax_test_helpers.h"
#include "support/fax_line.h"

#include <gtest/gtest.h>

using namespace FaxTest;

namespace {
constexpr int kEfaxHeaderRows = 40; // efax puts its own header line on every page
}

// The line itself, checked between two independent fax programs: efax on a
// modem end and spandsp's T.30 terminal on the other.
TEST(FaxLine, EfaxSendsToTerminal)
{
    TScratch dir;
    const std::vector<std::string> pages{MakePbm(60, 1), MakePbm(40, 2)};
    // efax reads one PBM file per page.
    WriteFile(dir.Path("p1.pbm"), pages[0]);
    WriteFile(dir.Path("p2.pbm"), pages[1]);
    TFaxLine line;
    const std::string pty = line.AddModem(0);
    TFaxLine::TTerminalSetup t;
    t.ReceiveTiff = dir.Path("got.tif");
    line.AddTerminal(1, t);
    // efax times the page data against the line rate: real time only.
    line.Start();
    const int rc = Shell("timeout 90 efax -o1 -d " + pty + " -l 'EFAX SENDER' -v ewinc -t 555 " +
                         dir.Path("p1.pbm") + " " + dir.Path("p2.pbm") + " > " +
                         dir.Path("efax.log") + " 2>&1");
    ASSERT_TRUE(line.WaitTerminal(1, 20000)) << ReadFile(dir.Path("efax.log"));
    line.Stop();
    EXPECT_EQ(rc, 0) << ReadFile(dir.Path("efax.log"));
    const auto r = line.TerminalResult(1);
    EXPECT_EQ(r.Completion, 0);
    EXPECT_EQ(r.PagesRx, 2);
    const auto got = TiffPages(dir.Path("got.tif"));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(SamePage(pages[0], got[0], kEfaxHeaderRows));
    EXPECT_TRUE(SamePage(pages[1], got[1], kEfaxHeaderRows));
}
