#include "fax/aw_fax_receive.h"
#include "fax/aw_fax_transmit.h"
#include "fax/fax_test_helpers.h"
#include "serial/ad_except.h"
#include "support/fax_line.h"
#include "support/scripted_modem.h"

#include <filesystem>
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

namespace {

const std::string kDleEtx("\x10\x03", 2);

std::string Frame(const std::string& octets)
{
    return octets + "\r\n" + kDleEtx; // the FCS may hold CR LF: a frame is no line
}

// Our CSI and DIS, each after the modem's CONNECT to send it.
TScriptedModem& ExpectCsiAndDis(TScriptedModem& m)
{
    std::string csi("\xFF\x03\x40", 3);
    csi += std::string(7, ' ') + "TSET LIAMPIKS";
    return m.Expect(csi + kDleEtx)
        .Result("CONNECT")
        .Expect(std::string("\xFF\x13\x80\x00\x4E\xF9\x00", 7) + kDleEtx)
        .Result("OK");
}

// The caller's DCN, and our hang-up after it.
TScriptedModem& CallerDisconnects(TScriptedModem& m)
{
    return m.Answer("AT+FRH=3", {"CONNECT"})
        .Send(Frame(std::string("\xFF\x13\xFB", 3)))
        .Result("OK")
        .Expect("+++")
        .ExpectCommand("ATH");
}

// A Class 1 call up to the caller's DCS (9600 bps, standard).
void Class1Prologue(TScriptedModem& m)
{
    std::string tsi("\xFF\x03\x43", 3);
    tsi += std::string(12, ' ') + "REDNES"; // "SENDER"
    tsi += "  ";
    m.Answer("ATE0Q0V1X4S0=0S2=43", {"OK"})
        .Answer("AT+FCLASS=1", {"OK"})
        .Answer("AT+FCLASS=1", {"OK"})
        .Answer("AT+FRM=?", {"24,48,72,96", "OK"})
        .Answer("AT+FCLASS=1", {"OK"})
        .Result("RING")
        .Answer("ATA", {"CONNECT"});
    ExpectCsiAndDis(m)
        .Answer("AT+FRH=3", {"CONNECT"})
        .Send(Frame(tsi))
        .Result("OK")
        .Answer("AT+FRH=3", {"CONNECT"})
        .Send(Frame(std::string("\xFF\x13\x83\x00\x06\xF8\x00", 7)))
        .Result("OK");
}

} // namespace

// The components are asked as soon as TSI and DCS are in: a refusal hangs
// up before training and CFR, and leaves no file.
TEST(FaxReceive, RefusalComesBeforeTraining)
{
    TScratch dir;
    TScriptedModem m;
    Class1Prologue(m);
    m.Expect("+++").ExpectCommand("ATH");
    m.Start();
    TEngineHarness h(m.SlavePath(), false, kCom + 2);
    h.Accept = false;
    h.NameFile = [&] { return dir.Path("in.apf"); };
    fSetClassType(h.FP(), ClassType::ctClass1);
    fSetOneFax(h.FP(), true);
    afStartFax(h.FP(), fPrepareFaxReceive, fFaxReceive);
    ASSERT_TRUE(h.WaitFinish(30000)) << m.Errors();
    EXPECT_EQ(m.Errors(), "");
    EXPECT_EQ(h.FP()->PData->RemoteID, "SENDER");
    EXPECT_EQ(h.Errors(), std::vector<int32_t>{AdErr::ecFileRejected});
    EXPECT_EQ(h.Logs(), std::vector<int32_t>{lfaxReceiveSkip});
    EXPECT_FALSE(std::filesystem::exists(dir.Path("in.apf")));
}

// A training check without a single byte fails (FTT); it is no division by
// zero.
TEST(FaxReceive, EmptyTrainingCheckAnswersFTT)
{
    TScriptedModem m;
    Class1Prologue(m);
    m.Answer("AT+FRM=96", {"CONNECT"})
        .Send(kDleEtx)
        .Result("NO CARRIER")
        .Answer("AT+FTH=3", {"CONNECT"})
        .Expect(std::string("\xFF\x13\x44", 3) + kDleEtx)
        .Result("OK");
    CallerDisconnects(m);
    m.Start();
    TScratch dir;
    TEngineHarness h(m.SlavePath(), false, kCom + 3);
    h.NameFile = [&] { return dir.Path("in.apf"); };
    fSetClassType(h.FP(), ClassType::ctClass1);
    fSetOneFax(h.FP(), true);
    afStartFax(h.FP(), fPrepareFaxReceive, fFaxReceive);
    ASSERT_TRUE(h.WaitFinish(30000)) << m.Errors();
    EXPECT_EQ(m.Errors(), "");
    EXPECT_EQ(h.Errors(), std::vector<int32_t>{AdErr::ecCancelRequested});
}

// A Class 1 call already connected goes on where answering hands over: at
// the modem's CONNECT the machine sends its CSI and DIS and reads the
// caller's frames.
TEST(FaxReceive, AConnectedClass1CallStartsWithCSIAndDIS)
{
    TScriptedModem m;
    m.Answer("ATE0Q0V1X4S0=0S2=43", {"OK"})
        .Answer("AT+FCLASS=1", {"OK"})
        .Answer("AT+FRM=?", {"24,48,72,96", "OK"})
        .Pause(300)
        .Result("CONNECT");
    CallerDisconnects(ExpectCsiAndDis(m));
    m.Start();
    TScratch dir;
    TEngineHarness h(m.SlavePath(), false, kCom + 5);
    h.NameFile = [&] { return dir.Path("in.apf"); };
    fSetClassType(h.FP(), ClassType::ctClass1);
    fSetOneFax(h.FP(), true);
    fSetConnectState(h.FP());
    afStartFax(h.FP(), fPrepareFaxReceive, fFaxReceive);
    ASSERT_TRUE(h.WaitFinish(30000)) << m.Errors();
    EXPECT_EQ(m.Errors(), "");
    // The caller's DCN ends it.
    EXPECT_EQ(h.Errors(), std::vector<int32_t>{AdErr::ecCancelRequested});
}

// spandsp's terminal sends at the best rate our DIS offers.
class FaxReceiveRates : public testing::TestWithParam<int> {};

TEST_P(FaxReceiveRates, PageArrivesAtThatRate)
{
    const int rate = GetParam();
    const bool fine = rate == 4800 || rate == 14400;
    TScratch dir;
    const std::vector<std::string> pages{MakePbm(fine ? 50 : 30, rate / 2400)};
    MakeTiff(dir.Path("src.tif"), pages, {fine});
    TFaxLine line;
    const std::string pty = line.AddModem(0);
    TFaxLine::TTerminalSetup t;
    t.Calling = true;
    t.SendTiff = dir.Path("src.tif");
    line.AddTerminal(1, t);
    line.Speed = 1.5;
    line.Start();
    TEngineHarness h(pty, false, kCom + 4);
    h.NameFile = [&] { return dir.Path("in.apf"); };
    fSetClassType(h.FP(), ClassType::ctClass1);
    fSetOneFax(h.FP(), true);
    fSetModemFeatures(h.FP(), rate, '0');
    afStartFax(h.FP(), fPrepareFaxReceive, fFaxReceive);
    ASSERT_TRUE(h.WaitFinish(90000));
    ASSERT_TRUE(line.WaitTerminal(1, 10000));
    line.Stop();
    EXPECT_EQ(h.Errors(), std::vector<int32_t>{});
    EXPECT_EQ(line.TerminalResult(1).BitRate, rate);
    int32_t bitRate = 0;
    bool gotFineSession = false, ecm = true;
    fGetSessionParams(h.FP(), bitRate, gotFineSession, ecm);
    EXPECT_EQ(bitRate, rate);
    std::vector<bool> gotFine;
    const auto got = ApfPages(dir.Path("in.apf"), &gotFine);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(gotFine[0], fine);
    EXPECT_TRUE(SamePage(pages[0], got[0]));
}

INSTANTIATE_TEST_SUITE_P(EachOfferedRate, FaxReceiveRates,
                         testing::Values(2400, 4800, 9600, 14400));
