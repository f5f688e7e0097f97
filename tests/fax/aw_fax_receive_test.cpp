#include "fax/aw_fax_receive.h"
#include "fax/aw_fax_transmit.h"
#include "fax/fax_test_helpers.h"
#include "support/fax_line.h"

#include <gtest/gtest.h>

using namespace FaxTest;

namespace {
constexpr unsigned kCom = 74;
} // namespace

// spandsp's terminal calls and sends; our receiver answers on the Class 1
// line and writes the APF file.
TEST(FaxReceive, Class1FromSpandspTerminal)
{
    TScratch dir;
    const std::vector<std::string> pages{MakePbm(70, 3), MakePbm(50, 4)};
    MakeTiff(dir.Path("src.tif"), pages, {false, false});
    TFaxLine line;
    const std::string pty = line.AddModem(0);
    TFaxLine::TTerminalSetup t;
    t.Calling = true;
    t.SendTiff = dir.Path("src.tif");
    t.Ident = "SPANDSP SENDER";
    line.AddTerminal(1, t);
    line.Speed = 1.5;
    line.Start();

    TEngineHarness h(pty, false, kCom);
    h.NameFile = [&] { return dir.Path("in.apf"); };
    fSetClassType(h.FP(), ClassType::ctClass1);
    fSetOneFax(h.FP(), true);
    afStartFax(h.FP(), fPrepareFaxReceive, fFaxReceive);
    ASSERT_TRUE(h.WaitFinish(90000));
    EXPECT_TRUE(line.WaitTerminal(1, 10000));
    line.Stop();
    EXPECT_EQ(h.Errors(), std::vector<int32_t>{});
    EXPECT_EQ(h.Logs(), (std::vector<int32_t>{lfaxReceiveStart, lfaxReceiveOk}));
    EXPECT_EQ(h.FP()->PData->RemoteID, "SPANDSP SENDER");
    const auto r = line.TerminalResult(1);
    EXPECT_EQ(r.Completion, 0);
    EXPECT_EQ(r.PagesTx, 2);
    const auto got = ApfPages(dir.Path("in.apf"));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_TRUE(SamePage(pages[0], got[0]));
    EXPECT_TRUE(SamePage(pages[1], got[1]));
}

// Our transmitter to our receiver: two modems on the line, pages of both
// resolutions (the change forces EOM and a new DCS).
TEST(FaxReceive, OurTransmitterToOurReceiver)
{
    TScratch dir;
    const std::vector<std::string> pages{MakePbm(60, 1), MakePbm(90, 2), MakePbm(40, 3)};
    const std::vector<bool> fine{false, true, true};
    MakeApf(dir.Path("out.apf"), pages, fine);
    TFaxLine line;
    const std::string sendPty = line.AddModem(0);
    const std::string recvPty = line.AddModem(1);
    line.Speed = 1.5;
    line.Start();

    TEngineHarness rx(recvPty, false, kCom);
    rx.NameFile = [&] { return dir.Path("in.apf"); };
    fSetClassType(rx.FP(), ClassType::ctClass1);
    fSetOneFax(rx.FP(), true);
    afSetStationID(rx.FP(), "RECEIVER");
    afStartFax(rx.FP(), fPrepareFaxReceive, fFaxReceive);

    TEngineHarness tx(sendPty, true, kCom + 1);
    tx.NextFaxes.push_back({"555", dir.Path("out.apf"), ""});
    fSetClassType(tx.FP(), ClassType::ctClass1);
    fSetModemFeatures(tx.FP(), 0, '0');
    afStartFax(tx.FP(), fPrepareFaxTransmit, fFaxTransmit);

    ASSERT_TRUE(tx.WaitFinish(120000));
    ASSERT_TRUE(rx.WaitFinish(20000));
    line.Stop();
    EXPECT_EQ(tx.Errors(), std::vector<int32_t>{});
    EXPECT_EQ(rx.Errors(), std::vector<int32_t>{});
    EXPECT_EQ(tx.FP()->PData->RemoteID, "RECEIVER");
    EXPECT_EQ(rx.FP()->PData->RemoteID, "SKIPMAIL TEST");
    std::vector<bool> gotFine;
    const auto got = ApfPages(dir.Path("in.apf"), &gotFine);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(gotFine, fine);
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_TRUE(SamePage(pages[i], got[i], 8)) << i;
}
