#include "fax/aw_fax_transmit.h"
#include "fax/fax_test_helpers.h"
#include "support/fax_line.h"

#include <gtest/gtest.h>

using namespace FaxTest;

namespace {
constexpr unsigned kCom = 73;
constexpr int kBlankTop = 8; // the blank lines the engine puts before each page
} // namespace

// Our transmitter through the Class 1 line to spandsp's fax terminal.
TEST(FaxTransmit, Class1ToSpandspTerminal)
{
    TScratch dir;
    const std::vector<std::string> pages{MakePbm(80, 1), MakePbm(60, 2)};
    MakeApf(dir.Path("out.apf"), pages, {false, false});
    TFaxLine line;
    const std::string pty = line.AddModem(0);
    TFaxLine::TTerminalSetup t;
    t.ReceiveTiff = dir.Path("got.tif");
    line.AddTerminal(1, t);
    line.Speed = 3;
    line.Start();

    TEngineHarness h(pty, true, kCom);
    h.NextFaxes.push_back({"555", dir.Path("out.apf"), ""});
    fSetClassType(h.FP(), ClassType::ctClass1);
    fSetModemFeatures(h.FP(), 14400, '0');
    afStartFax(h.FP(), fPrepareFaxTransmit, fFaxTransmit);
    ASSERT_TRUE(h.WaitFinish(90000));
    EXPECT_TRUE(line.WaitTerminal(1, 10000));
    line.Stop();
    EXPECT_EQ(h.Errors(), std::vector<int32_t>{});
    EXPECT_EQ(h.FP()->PData->Error, 0);
    const auto r = line.TerminalResult(1);
    EXPECT_EQ(r.Completion, 0);
    EXPECT_EQ(r.PagesRx, 2);
    EXPECT_EQ(r.RemoteIdent, "SKIPMAIL TEST");
    const auto got = TiffPages(dir.Path("got.tif"));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(SamePage(pages[0], got[0], kBlankTop));
    EXPECT_TRUE(SamePage(pages[1], got[1], kBlankTop));
}
