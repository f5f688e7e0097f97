#include "fax/aw_fax_receive.h"
#include "fax/aw_fax_transmit.h"
#include "fax/fax_test_helpers.h"
#include "support/fax_line.h"

#include <QThread>
#include <gtest/gtest.h>
#include <thread>

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

// Our transmitter and receiver against efax, the independent Class 1 peer.
TEST(FaxPeers, OurTransmitterToEfax)
{
    TScratch dir;
    const std::vector<std::string> pages{MakePbm(50, 2), MakePbm(40, 3)};
    MakeApf(dir.Path("out.apf"), pages, {true, true});
    TFaxLine line;
    const std::string ourPty = line.AddModem(0);
    const std::string efaxPty = line.AddModem(1);
    line.Start();
    int efaxRc = -1;
    std::thread efax([&] {
        efaxRc = Shell("timeout 120 efax -o1 -d " + efaxPty + " -l EFAXRECV -v ewinc -r " +
                       dir.Path("rcv") + " > " + dir.Path("efax.log") + " 2>&1");
    });
    QThread::msleep(1500); // efax sets its modem up

    TEngineHarness tx(ourPty, true, 77);
    tx.NextFaxes.push_back({"555", dir.Path("out.apf"), ""});
    fSetClassType(tx.FP(), ClassType::ctClass1);
    fSetModemFeatures(tx.FP(), 0, '0');
    afStartFax(tx.FP(), fPrepareFaxTransmit, fFaxTransmit);
    ASSERT_TRUE(tx.WaitFinish(120000));
    efax.join();
    line.Stop();
    EXPECT_EQ(tx.Errors(), std::vector<int32_t>{}) << ReadFile(dir.Path("efax.log"));
    EXPECT_EQ(efaxRc, 0) << ReadFile(dir.Path("efax.log"));
    EXPECT_EQ(tx.FP()->PData->RemoteID, "EFAXRECV");
    for (int p = 0; p < 2; ++p) {
        const auto got = TiffPages(dir.Path("rcv.00" + std::to_string(p + 1)));
        ASSERT_EQ(got.size(), 1u) << p;
        EXPECT_TRUE(SamePage(pages[static_cast<std::size_t>(p)], got[0], 8)) << p;
    }
}

TEST(FaxPeers, EfaxToOurReceiver)
{
    TScratch dir;
    const std::vector<std::string> pages{MakePbm(50, 4), MakePbm(30, 1)};
    WriteFile(dir.Path("p1.pbm"), pages[0]);
    WriteFile(dir.Path("p2.pbm"), pages[1]);
    TFaxLine line;
    const std::string ourPty = line.AddModem(0);
    const std::string efaxPty = line.AddModem(1);
    line.Start();

    TEngineHarness rx(ourPty, false, 78);
    rx.NameFile = [&] { return dir.Path("in.apf"); };
    fSetClassType(rx.FP(), ClassType::ctClass1);
    fSetOneFax(rx.FP(), true);
    afStartFax(rx.FP(), fPrepareFaxReceive, fFaxReceive);
    int efaxRc = -1;
    std::thread efax([&] {
        efaxRc = Shell("timeout 120 efax -o1 -d " + efaxPty + " -l EFAXSEND -v ewinc -t 555 " +
                       dir.Path("p1.pbm") + " " + dir.Path("p2.pbm") + " > " +
                       dir.Path("efax.log") + " 2>&1");
    });
    ASSERT_TRUE(rx.WaitFinish(120000));
    efax.join();
    line.Stop();
    EXPECT_EQ(rx.Errors(), std::vector<int32_t>{}) << ReadFile(dir.Path("efax.log"));
    EXPECT_EQ(efaxRc, 0) << ReadFile(dir.Path("efax.log"));
    EXPECT_EQ(rx.FP()->PData->RemoteID, "EFAXSEND");
    const auto got = ApfPages(dir.Path("in.apf"));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(SamePage(pages[0], got[0], kEfaxHeaderRows));
    EXPECT_TRUE(SamePage(pages[1], got[1], kEfaxHeaderRows));
}
