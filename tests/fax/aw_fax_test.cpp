#include "fax/fax_test_helpers.h"
#include "support/scripted_modem.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace FaxTest;

namespace {
constexpr unsigned kCom = 71;
constexpr const char* kInit = "ATE0Q0V1X4S0=0S2=43";
} // namespace

// Class detection and identification against modem answers scripted by hand.
TEST(FaxProbe, ListedClassesPickClass20WithItsIdentCommands)
{
    TScriptedModem modem;
    modem.Answer(kInit, {"OK"})
        .Answer("AT+FCLASS=?", {"0,1,2,2.0", "OK"})
        .Answer("AT+FMI?", {"+FMI: ACME", "OK"})
        .Answer("AT+FMM?", {"FAXMODEM 9", "OK"})
        .Answer("AT+FMR?", {"+FMR: \"1.2\"", "OK"})
        .Answer(kInit, {"OK"})
        .Answer("AT+FCLASS=?", {"0,1,2,2.0", "OK"});
    modem.Start();
    TEngineHarness h(modem.SlavePath(), true, kCom);
    char cls = 0;
    std::string id1, id2, id3;
    ASSERT_TRUE(fGetModemInfo(h.FP(), cls, id1, id2, id3, true));
    EXPECT_EQ(cls, 'B');
    EXPECT_EQ(id1, "ACME");
    EXPECT_EQ(id2, "FAXMODEM 9");
    EXPECT_EQ(id3, "\"1.2\"");
    EXPECT_EQ(h.Lines.Calls, (std::vector<std::pair<bool, bool>>{{false, false}, {true, true}}));
    EXPECT_EQ(fSetClassType(h.FP(), ClassType::ctDetect), ClassType::ctClass2_0);
    ASSERT_TRUE(modem.WaitDone(5000));
    EXPECT_EQ(modem.Errors(), "");
}

TEST(FaxProbe, ClassNamesMatchWhole)
{
    struct Case {
        const char* Reply;
        bool C1, C2, C20;
        const char* ClassCommand;
    };
    const Case cases[] = {
        {"+FCLASS: (0,1.0,8)", true, false, false, "AT+FCLASS=1.0"},
        {"0,2.1", false, false, false, ""},
        {"0,1,2", true, true, false, "AT+FCLASS=1"},
        {"0,2.0", false, false, true, ""},
    };
    for (const Case& c : cases) {
        TScriptedModem modem;
        modem.Answer("AT+FCLASS=?", {c.Reply, "OK"});
        modem.Start();
        TEngineHarness h(modem.SlavePath(), true, kCom);
        bool c1 = false, c2 = false, c20 = false;
        ASSERT_TRUE(fGetModemClassSupport(h.FP(), c1, c2, false, c20)) << c.Reply;
        EXPECT_EQ(c1, c.C1) << c.Reply;
        EXPECT_EQ(c2, c.C2) << c.Reply;
        EXPECT_EQ(c20, c.C20) << c.Reply;
        if (c.C1) {
            EXPECT_EQ(h.FP()->CData->ClassCommand, c.ClassCommand);
        }
        EXPECT_EQ(modem.Errors(), "");
    }
}

TEST(FaxProbe, FeaturesTakeTheFirstAcceptedRate)
{
    TScriptedModem modem;
    modem.Answer("AT+FDIS=0,5,0,0,0,0,0,3", {"ERROR"})
        .Answer("AT+FDIS=0,4,0,0,0,0,0,3", {"ERROR"})
        .Answer("AT+FDIS=0,3,0,0,0,0,0,3", {"OK"})
        .Answer("AT+FDIS=0,0,0,0,0,1,0,3", {"ERROR"});
    modem.Start();
    TEngineHarness h(modem.SlavePath(), true, kCom);
    fSetClassType(h.FP(), ClassType::ctClass2);
    int32_t rate = 0;
    char ec = 0;
    fGetModemFeatures(h.FP(), rate, ec);
    EXPECT_EQ(rate, 9600);
    EXPECT_EQ(ec, '0');
    EXPECT_EQ(modem.Errors(), "");
}

TEST(FaxProbe, SilentModemFailsAfterTheReplyWait)
{
    TScriptedModem modem;
    modem.ExpectCommand("AT+FCLASS=?");
    modem.Start();
    TEngineHarness h(modem.SlavePath(), true, kCom);
    h.FP()->CData->ReplyWait = 9; // half a second
    bool c1 = true, c2 = true, c20 = true;
    EXPECT_FALSE(fGetModemClassSupport(h.FP(), c1, c2, false, c20));
    EXPECT_FALSE(c1 || c2 || c20);
}

TEST(FaxModemData, SettersShapeTheirValues)
{
    TFaxRec rec;
    cInitC12AbsData(rec.CData);
    afInitFaxData(rec.PData, "A STATION ID LONGER THAN TWENTY", nullptr, {});
    EXPECT_EQ(rec.PData->StationID, "A STATION ID LONGER ");
    fSetModemInit(&rec, "e0v1");
    EXPECT_EQ(rec.CData->UserInit, "ATE0V1");
    fSetBlindDial(&rec, true);
    EXPECT_EQ(rec.CData->DefaultInit, "ATE0Q0V1X3S0=0S2=43");
    fSetDetectBusy(&rec, false);
    EXPECT_EQ(rec.CData->DefaultInit, "ATE0Q0V1X1S0=0S2=43");
    fSetBlindDial(&rec, false);
    EXPECT_EQ(rec.CData->DefaultInit, "ATE0Q0V1X2S0=0S2=43");

    TC12AbsData& C = *rec.CData;
    C.BitRate = 9600;
    C.ScanTimeCode = 4;
    C.Fine = true;
    UpdateMinLineBytes(C);
    EXPECT_EQ(C.MinLineBytes, 12);
}

TEST(FaxModemData, Class2ReportsParseByField)
{
    TC12AbsData C;
    ParseClass2Params(C, "+FDIS: 1,5,0,2,0,0,0,4", true);
    EXPECT_TRUE(C.RemoteFine);
    EXPECT_FALSE(C.RemoteWide);
    EXPECT_EQ(C.BitRate, 14400);
    EXPECT_EQ(C.ScanTimeCode, 4);
    // Two-digit fields do not shift the later ones.
    TC12AbsData D;
    ParseClass2Params(D, "+FCS:0,3,0,2,0,0,0,0", false);
    EXPECT_FALSE(D.Fine);
    EXPECT_EQ(D.BitRate, 9600);
    EXPECT_EQ(ReportStationID("+FTSI: \"  +49 555 1234\" "), "+49 555 1234");
    EXPECT_EQ(ParseHangupCode("+FHNG: 0"), 0);
    EXPECT_EQ(ParseHangupCode("+FHNG:100"), 100);
    EXPECT_EQ(ParseHangupCode("+FHS:B3"), 103);
    EXPECT_EQ(ParseHangupCode("FHNG"), 0);
}

// DIS/DCS rate fields as T.30 codes them, checked both ways.
TEST(FaxFrames, RatesFollowT30BothWays)
{
    TFaxRec rec;
    cInitC12AbsData(rec.CData);
    afInitFaxData(rec.PData, "", nullptr, {});
    TC12AbsData& C = *rec.CData;
    const uint8_t dcsRate[] = {0x00, 0x08, 0x0C, 0x04, 0x28, 0x20};
    for (int i = 1; i <= kSpeedCount; ++i) {
        C.SpeedIndex = static_cast<uint16_t>(i);
        C.V17 = false;
        const std::string dcs = FrameDCS(C);
        EXPECT_EQ(static_cast<uint8_t>(dcs[4]) & 0x3C, dcsRate[i - 1]) << i;
        C.SpeedIndex = 0;
        ASSERT_EQ(DecodeFrame(&rec, dcs), TFrameResult::Ok);
        EXPECT_EQ(C.SpeedIndex, i);
        EXPECT_EQ(C.BitRate, SpeedIndexToRate(i));
    }
    // V.17 at 7200 and 9600 keeps its own modulations.
    std::string v17 = FrameDCS(C);
    v17[4] = static_cast<char>((v17[4] & ~0x3C) | 0x2C);
    ASSERT_EQ(DecodeFrame(&rec, v17), TFrameResult::Ok);
    EXPECT_EQ(C.BitRate, 7200);
    EXPECT_EQ(TrainModulation(C), "73");
    EXPECT_EQ(PageModulation(C), "74");
    EXPECT_EQ(static_cast<uint8_t>(FrameDCS(C)[4]) & 0x3C, 0x2C);

    // spandsp's DIS (V.27 ter, V.29 and V.17; fine) meets a 14400 modem.
    C.LocalSpeeds.fill(true);
    C.MaxBitRate = 0; // the modem's best
    const std::string dis("\xFF\x13\x80\x00\x6E\xF8\x80\x80\x90\x80\x80\x80\x18", 13);
    ASSERT_EQ(DecodeFrame(&rec, dis), TFrameResult::Ok);
    EXPECT_EQ(C.BitRate, 14400);
    EXPECT_TRUE(C.RemoteFine);
    C.MaxBitRate = 9600;
    ASSERT_EQ(DecodeFrame(&rec, dis), TFrameResult::Ok);
    EXPECT_EQ(C.BitRate, 9600);
    EXPECT_TRUE(StepDownSpeed(C));
    EXPECT_EQ(C.BitRate, 7200);

    // IDs go last character first.
    const std::string tsi = FrameID(0x43, "+1 555");
    EXPECT_EQ(tsi.substr(3), std::string(14, ' ') + "555 1+");
    ASSERT_EQ(DecodeFrame(&rec, tsi + "\x12\x34"), TFrameResult::Ok);
    EXPECT_EQ(rec.PData->RemoteID, "+1 555");
}

// A far end's ID reaches logs, displays and file headers: no line break,
// escape sequence or other byte a terminal or log reader could act on.
TEST(FaxFrames, TheFarEndsIDIsMadePrintable)
{
    TFaxRec rec;
    cInitC12AbsData(rec.CData);
    afInitFaxData(rec.PData, "", nullptr, {});
    std::string hostile("A\r\nB\x1B[2J\x9B"
                        "1m\x7F\xE9\x00Z",
                        15);
    std::string frame = FrameID(0x43, "");
    std::reverse(hostile.begin(), hostile.end());
    frame.replace(3, hostile.size(), hostile); // sent last character first
    ASSERT_EQ(DecodeFrame(&rec, frame), TFrameResult::Ok);
    EXPECT_EQ(rec.PData->RemoteID, "A??B?[2J?1m???Z");
    // NUL padding on either side is cut, as blanks are.
    EXPECT_EQ(PrintableRemoteID(std::string("\0\0 +1 555\0\0", 12)), "+1 555");
    // Class 2/2.0 reports the ID in a line of its own.
    EXPECT_EQ(ReportStationID("+FCSI: \"\x1B]0;x\x07 555\""), "]0;x? 555");
}
