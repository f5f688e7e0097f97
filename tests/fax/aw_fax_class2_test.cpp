#include "fax/aw_fax_receive.h"
#include "fax/aw_fax_transmit.h"
#include "fax/fax_test_helpers.h"
#include "serial/ad_except.h"
#include "support/scripted_modem.h"

#include <chrono>
#include <gtest/gtest.h>

using namespace FaxTest;

// Class 2 and 2.0 runs against modem scripts, byte for byte. The scripts
// are written by hand from our reading of the Class 2 and 2.0 command sets,
// not recorded from a modem: they show that the program does what we read,
// not that a real modem answers so.

namespace {

constexpr unsigned kCom = 79;
constexpr const char* kInit = "ATE0Q0V1X4S0=0S2=43";
constexpr uint8_t kBlank[6] = {0x00, 0x80, 0xB2, 0x59, 0x01, 0x00};

// Page bytes that hold DLE, DLE ETX and DLE DLE, to see the doubling.
const std::string kPageData("\x00\x80\x10\x03\x55\x10\x10\xAA\x01\x10", 10);

std::string OnePageApf(const TScratch& dir, bool fine = false, int pages = 1)
{
    TApfWriter w;
    w.Create(dir.Path("out.apf"));
    for (int p = 0; p < pages; ++p) {
        w.BeginPage(fine ? ffHighRes : 0);
        w.AddData(reinterpret_cast<const uint8_t*>(kPageData.data()), kPageData.size());
        w.EndPage();
    }
    w.Close("TEST");
    return dir.Path("out.apf");
}

// The bytes a page goes out as: 8 blank lines, zero fill, the page, all
// DLE-doubled, then the closing pair.
void ExpectPageBytes(const std::string& raw, char closing)
{
    ASSERT_GE(raw.size(), 2u);
    const std::string end{'\x10', closing};
    EXPECT_EQ(raw.substr(raw.size() - 2), end);
    std::string stuffed;
    const std::string data = Unstuff(raw);
    for (char c : data) {
        stuffed += c;
        if (c == '\x10')
            stuffed += c;
    }
    EXPECT_EQ(stuffed + end, raw) << "every DLE doubled";
    std::string blank;
    for (int i = 0; i < 8; ++i)
        blank.append(reinterpret_cast<const char*>(kBlank), 6);
    ASSERT_EQ(data.substr(0, blank.size()), blank);
    ASSERT_GE(data.size(), blank.size() + kPageData.size());
    const std::string fill =
        data.substr(blank.size(), data.size() - blank.size() - kPageData.size());
    EXPECT_EQ(fill.find_first_not_of('\0'), std::string::npos);
    EXPECT_EQ(data.substr(data.size() - kPageData.size()), kPageData);
}

// Set-up and dialling of a send run up to the modem's CONNECT for the page.
void SendPrologue(TScriptedModem& m, bool class20)
{
    m.Answer(kInit, {"OK"});
    if (!class20) {
        m.Answer("AT+FCLASS=2", {"OK"})
            .Answer("AT+FLID=\"SKIPMAIL TEST\"", {"OK"})
            .Answer("AT+FDIS=0,3,0,2,0,0,0,0", {"OK"});
    } else {
        m.Answer("AT+FCLASS=2.0", {"OK"})
            .Answer("AT+FLI=\"SKIPMAIL TEST\"", {"OK"})
            .Answer("AT+FLO=2", {"OK"})
            .Answer("AT+FNR=1,1,1,0", {"OK"})
            .Answer("AT+FIS=0,3,0,2,0,0,0,0", {"OK"});
    }
}

void SendConnect(TScriptedModem& m, bool class20)
{
    if (!class20)
        m.Answer("ATDT555", {"+FCON", "+FCSI: \"REMOTE 1\"", "+FDIS: 1,3,0,2,0,0,0,0", "OK"})
            .Answer("AT+FDT", {"+FDCS: 0,3,0,2,0,0,0,0", "CONNECT"})
            .Send("\x11");
    else
        m.Answer("ATDT555", {"+FCO", "+FCI: \"REMOTE 1\"", "+FIS: 1,3,0,2,0,0,0,0", "OK"})
            .Answer("AT+FDT", {"+FCS: 0,3,0,2,0,0,0,0", "CONNECT"});
}

struct TSendRun {
    TScratch Dir;
    TScriptedModem Modem;
    std::unique_ptr<TEngineHarness> H;

    void Start(ClassType cls, bool fine = false, int pages = 1)
    {
        const std::string apf = OnePageApf(Dir, fine, pages);
        Modem.Start();
        H = std::make_unique<TEngineHarness>(Modem.SlavePath(), true, kCom);
        H->NextFaxes.push_back({"555", apf, ""});
        fSetClassType(H->FP(), cls);
        afStartFax(H->FP(), fPrepareFaxTransmit, fFaxTransmit);
    }
};

// A one-fax receive on the scripted modem into Dir's "in.apf" (a test may
// name its files otherwise): Prepare makes the harness, which a test may set
// further before Run starts the run and waits for its end.
struct TReceiveRun {
    TScratch Dir;
    TScriptedModem Modem;
    std::unique_ptr<TEngineHarness> H;

    TEngineHarness& Prepare(ClassType cls, int com)
    {
        Modem.Start();
        H = std::make_unique<TEngineHarness>(Modem.SlavePath(), false, com);
        H->NameFile = [this] { return Dir.Path("in.apf"); };
        fSetClassType(H->FP(), cls);
        fSetOneFax(H->FP(), true);
        return *H;
    }
    bool Run()
    {
        afStartFax(H->FP(), fPrepareFaxReceive, fFaxReceive);
        return H->WaitFinish(20000);
    }
};

// The image lengths of an APF file's pages; empty when it cannot be read.
std::vector<uint32_t> ApfPageLengths(const std::string& path)
{
    std::vector<uint32_t> lengths;
    TApfReader r;
    if (r.Open(path) != 0)
        return lengths;
    for (unsigned p = 1; p <= r.Header().PageCount; ++p) {
        TPageHeaderRec ph;
        if (r.SeekPage(p, ph) != 0)
            break;
        lengths.push_back(ph.ImgLength);
    }
    return lengths;
}

// A Class 2.0 modem set up to receive, answering a call and passing one
// page; the script goes on from its page report.
TScriptedModem& AnswerClass20AndReceiveAPage(TScriptedModem& m, const std::string& page)
{
    m.Answer(kInit, {"OK"})
        .Answer("AT+FCLASS=2.0", {"OK"})
        .Answer("AT+FCR=1", {"OK"})
        .Answer("AT+FLI=\"SKIPMAIL TEST\"", {"OK"})
        .Answer("AT+FAA=0", {"OK"})
        .Answer("AT+FCLASS=2.0", {"OK"})
        .Answer("AT+FIS=1,3,0,2,0,0,0,0", {"OK"})
        .Answer("AT+FLO=2", {"OK"})
        .Answer("AT+FNR=1,1,1,0", {"OK"})
        .Result("RING")
        .Answer("ATA", {"+FCO", "+FTI: \"SENDER 20\"", "+FCS: 0,3,0,2,0,0,0,0", "OK"});
    return PassPage(m, page).Result("+FPS:1,0,0,0,0");
}

} // namespace

TEST(FaxClass2, SendsOnePageExactly)
{
    TSendRun run;
    SendPrologue(run.Modem, false);
    SendConnect(run.Modem, false);
    run.Modem.CaptureDleData(0).Result("OK").Answer("AT+FET=2", {"+FPTS:1", "+FHNG:0", "OK"});
    run.Start(ClassType::ctClass2);
    ASSERT_TRUE(run.H->WaitFinish(20000)) << run.Modem.Errors();
    EXPECT_EQ(run.Modem.Errors(), "");
    EXPECT_EQ(run.H->Errors(), std::vector<int32_t>{});
    EXPECT_EQ(run.H->Logs(), (std::vector<int32_t>{lfaxTransmitStart, lfaxTransmitOk}));
    EXPECT_EQ(run.H->FP()->PData->RemoteID, "REMOTE 1");
    ExpectPageBytes(run.Modem.Captured(0), '\x03');
}

TEST(FaxClass2, Class20SendsOnePageExactly)
{
    TSendRun run;
    SendPrologue(run.Modem, true);
    SendConnect(run.Modem, true);
    run.Modem.CaptureDleData(0).Result("+FPS:1,0,0,0,0").Result("+FHS:00").Result("OK");
    run.Start(ClassType::ctClass2_0);
    ASSERT_TRUE(run.H->WaitFinish(20000)) << run.Modem.Errors();
    EXPECT_EQ(run.Modem.Errors(), "");
    EXPECT_EQ(run.H->Errors(), std::vector<int32_t>{});
    EXPECT_EQ(run.H->Logs(), (std::vector<int32_t>{lfaxTransmitStart, lfaxTransmitOk}));
    ExpectPageBytes(run.Modem.Captured(0), '.');
}

TEST(FaxClass2, FineFirstPageToARemoteWithoutFineFails)
{
    TSendRun run;
    run.Modem.Answer(kInit, {"OK"})
        .Answer("AT+FCLASS=2", {"OK"})
        .Answer("AT+FLID=\"SKIPMAIL TEST\"", {"OK"})
        .Answer("AT+FDIS=1,3,0,2,0,0,0,0", {"OK"})
        .Answer("ATDT555", {"+FCON", "+FDIS: 0,3,0,2,0,0,0,0"})
        .ExpectCommand("ATH0")
        .Result("OK");
    run.Start(ClassType::ctClass2, true);
    ASSERT_TRUE(run.H->WaitFinish(20000)) << run.Modem.Errors();
    EXPECT_EQ(run.Modem.Errors(), "");
    EXPECT_EQ(run.H->Errors(), std::vector<int32_t>{AdErr::ecFaxBadMachine});
}

// Each failure while dialling or after the page gives its own error.
TEST(FaxClass2, FailureScriptsGiveTheirCodes)
{
    struct Case {
        bool Class20;
        std::vector<std::string> DialAnswer; // empty: the call gets to the page
        std::vector<std::string> PageEnd;
        int32_t Error;
        uint16_t Hangup;
        bool HangsUp;
    };
    const Case cases[] = {
        {false, {"BUSY"}, {}, AdErr::ecFaxBusy, 0, false},
        {false, {"NO DIALTONE"}, {}, AdErr::ecFaxNoDialTone, 0, true},
        {false, {"VOICE"}, {}, AdErr::ecFaxVoiceCall, 0, true},
        {false, {"+FHNG:11"}, {}, AdErr::ecFaxBadModemResult, 11, true},
        {true, {"+FHS:23"}, {}, AdErr::ecFaxBadModemResult, 23, true},
        // A hang-up with a fault before the far end took the page.
        {false, {}, {"+FHNG:50", "OK"}, AdErr::ecFaxPageError, 50, true},
        {true, {}, {"+FPS:4,0,0,0,0"}, AdErr::ecCancelRequested, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.DialAnswer.empty() ? c.PageEnd.back() : c.DialAnswer[0]);
        TSendRun run;
        SendPrologue(run.Modem, c.Class20);
        if (!c.DialAnswer.empty()) {
            run.Modem.Answer("ATDT555", c.DialAnswer);
        } else {
            SendConnect(run.Modem, c.Class20);
            run.Modem.CaptureDleData(0);
            if (!c.Class20)
                run.Modem.Result("OK").ExpectCommand("AT+FET=2");
            for (const auto& r : c.PageEnd)
                run.Modem.Result(r);
        }
        if (c.HangsUp)
            run.Modem.ExpectCommand("ATH0").Result("OK");
        run.Start(c.Class20 ? ClassType::ctClass2_0 : ClassType::ctClass2);
        ASSERT_TRUE(run.H->WaitFinish(20000)) << run.Modem.Errors();
        EXPECT_EQ(run.Modem.Errors(), "");
        EXPECT_EQ(run.H->Errors(), std::vector<int32_t>{c.Error});
        EXPECT_EQ(fGetHangupResult(run.H->FP()), c.Hangup);
        EXPECT_EQ(run.H->Logs(), (std::vector<int32_t>{lfaxTransmitStart, lfaxTransmitFail}));
    }
}

// A hang-up code other than 0 once the far end took the last page is kept,
// and the fax counts as sent: it must not be dialled again.
TEST(FaxClass2, AHangupCodeAfterTheLastPageWasTakenLeavesTheFaxSent)
{
    struct Case {
        bool Class20;
        std::vector<std::string> PageEnd;
        uint16_t Hangup;
    };
    const Case cases[] = {
        {false, {"+FPTS:1", "+FHNG:50", "OK"}, 50},
        {true, {"+FPS:1,0,0,0,0", "+FHS:52", "OK"}, 52},
        // Class 2.0: the OK itself says the far end took the page.
        {true, {"+FHS:52", "OK"}, 52},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.PageEnd.front());
        TSendRun run;
        SendPrologue(run.Modem, c.Class20);
        SendConnect(run.Modem, c.Class20);
        run.Modem.CaptureDleData(0);
        if (!c.Class20)
            run.Modem.Result("OK").ExpectCommand("AT+FET=2");
        for (const auto& r : c.PageEnd)
            run.Modem.Result(r);
        run.Start(c.Class20 ? ClassType::ctClass2_0 : ClassType::ctClass2);
        ASSERT_TRUE(run.H->WaitFinish(20000)) << run.Modem.Errors();
        EXPECT_EQ(run.Modem.Errors(), "");
        EXPECT_EQ(run.H->Errors(), std::vector<int32_t>{});
        EXPECT_EQ(run.H->FP()->PData->Error, 0);
        EXPECT_EQ(fGetHangupResult(run.H->FP()), c.Hangup);
        EXPECT_EQ(run.H->Logs(), (std::vector<int32_t>{lfaxTransmitStart, lfaxTransmitOk}));
        EXPECT_EQ(run.Modem.Trailing(), "") << "no hang-up, no second call";
    }
}

// Class 2.0 answers a page it could not confirm with "ERROR": the sender
// asks the page status and goes by it, rather than failing the fax.
TEST(FaxClass2, Class20AsksThePageStatusAfterAnError)
{
    TSendRun run;
    SendPrologue(run.Modem, true);
    SendConnect(run.Modem, true);
    run.Modem.CaptureDleData(0).Result("ERROR").Answer("AT+FPS?", {"+FPS:1,0,0,0,0", "OK"});
    run.Start(ClassType::ctClass2_0);
    ASSERT_TRUE(run.H->WaitFinish(20000)) << run.Modem.Errors();
    EXPECT_EQ(run.Modem.Errors(), "");
    EXPECT_EQ(run.H->Errors(), std::vector<int32_t>{});
    EXPECT_EQ(run.H->Logs(), (std::vector<int32_t>{lfaxTransmitStart, lfaxTransmitOk}));
}

// A call that hangs up with a fault while pages remain did not deliver the
// fax: it fails at that page instead of dialling on into a dead line.
TEST(FaxClass2, AHangupCodeWithPagesLeftFailsTheFax)
{
    TSendRun run;
    SendPrologue(run.Modem, true);
    SendConnect(run.Modem, true);
    run.Modem.CaptureDleData(0)
        .Result("+FPS:1,0,0,0,0")
        .Result("+FHS:52")
        .Result("OK")
        .ExpectCommand("ATH0")
        .Result("OK");
    run.Start(ClassType::ctClass2_0, false, 2);
    ASSERT_TRUE(run.H->WaitFinish(20000)) << run.Modem.Errors();
    EXPECT_EQ(run.Modem.Errors(), "");
    EXPECT_EQ(run.H->Errors(), std::vector<int32_t>{AdErr::ecFaxPageError});
    EXPECT_EQ(fGetHangupResult(run.H->FP()), 52);
    ExpectPageBytes(run.Modem.Captured(0), ',');
    EXPECT_EQ(run.H->Logs(), (std::vector<int32_t>{lfaxTransmitStart, lfaxTransmitFail}));
}

// A Class 2 receive: ring counting, DC2, bit-reversed page data with DLE
// doubling, a bad page cut from the file.
TEST(FaxClass2, ReceivesGoodPagesAndDropsABadOne)
{
    TReceiveRun run;
    const TScratch& dir = run.Dir;
    auto reversed = [](const std::string& s) {
        std::string out;
        for (unsigned char c : s) {
            unsigned char r = 0;
            for (int b = 0; b < 8; ++b)
                r = static_cast<unsigned char>(r | (((c >> b) & 1) << (7 - b)));
            out += static_cast<char>(r);
        }
        return out;
    };
    const std::string page1("\x08\x01\x10\x55\x10\x08\xC0", 7); // 0x08 reverses to DLE
    const std::string page2("\x77\x66", 2);
    TScriptedModem& m = run.Modem;
    m.Answer(kInit, {"OK"})
        .Answer("AT+FCLASS=2", {"OK"})
        .Answer("AT+FCR=1", {"OK"})
        .Answer("AT+FLID=\"SKIPMAIL TEST\"", {"OK"})
        .Answer("AT+FAA=0", {"OK"})
        .Answer("AT+FCLASS=2", {"OK"})
        .Answer("AT+FDIS=1,3,0,2,0,0,0,0", {"OK"})
        .Result("RING")
        .Pause(200)
        .Result("RING")
        .Answer("ATA", {"+FCON", "+FTSI: \"SENDER 9\"", "+FDCS: 1,3,0,2,0,0,0,0", "OK"});
    PassPage(m, page1).Result("+FPTS:1").Result("+FET:0").Result("OK");
    PassPage(m, page2).Result("+FPTS:2");
    EndFax(m, "+FHNG:0");
    TEngineHarness& h = run.Prepare(ClassType::ctClass2, kCom + 1);
    fSetAnswerOnRing(h.FP(), 2);
    ASSERT_TRUE(run.Run()) << m.Errors();
    EXPECT_EQ(m.Errors(), "");
    EXPECT_EQ(h.Errors(), std::vector<int32_t>{});
    EXPECT_EQ(h.Logs(), (std::vector<int32_t>{lfaxReceiveStart, lfaxReceiveOk}));
    EXPECT_EQ(h.FP()->PData->RemoteID, "SENDER 9");

    TApfReader r;
    ASSERT_EQ(r.Open(dir.Path("in.apf")), 0);
    ASSERT_EQ(r.Header().PageCount, 1);
    EXPECT_EQ(r.Header().StationID, "SENDER 9");
    TPageHeaderRec ph;
    ASSERT_EQ(r.SeekPage(1, ph), 0);
    EXPECT_TRUE(ph.Fine());
    EXPECT_FALSE(ph.LengthWords());
    std::vector<uint8_t> chunk;
    ASSERT_EQ(r.ReadChunk(chunk), 0);
    EXPECT_EQ(std::string(chunk.begin(), chunk.end()), reversed(page1));
}

// Class 2.0: its own reports; a hang-up code other than 0 after the whole
// document is kept, and the call ends with the modem's OK as a fax received
// whole.
TEST(FaxClass2, Class20HangupCodeAfterACompleteFaxIsKept)
{
    TReceiveRun run;
    const TScratch& dir = run.Dir;
    const std::string page("\x11\x22\x33", 3);
    TScriptedModem& m = run.Modem;
    AnswerClass20AndReceiveAPage(m, page);
    EndFax(m, "+FHS:52");
    TEngineHarness& h = run.Prepare(ClassType::ctClass2_0, kCom + 2);
    ASSERT_TRUE(run.Run()) << m.Errors();
    EXPECT_EQ(m.Errors(), "");
    EXPECT_EQ(h.Errors(), std::vector<int32_t>{});
    EXPECT_EQ(h.FP()->PData->Error, 0);
    EXPECT_EQ(fGetHangupResult(h.FP()), 52);
    EXPECT_EQ(h.Logs(), (std::vector<int32_t>{lfaxReceiveStart, lfaxReceiveOk}));
    const auto statuses = h.Statuses();
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), FaxStatus::fpGotHangup), statuses.end());
    EXPECT_EQ(m.Trailing(), "") << "no hang-up after the modem's own";
    const auto pages = ApfPages(dir.Path("in.apf"));
    EXPECT_EQ(pages.size(), 1u);
}

// A call already connected (another program answered it): the run starts
// at the sender's ID with a new document, so the fax gets its file.
TEST(FaxClass2, AConnectedCallIsReceivedIntoAFile)
{
    TReceiveRun run;
    const TScratch& dir = run.Dir;
    const std::string page("\x11\x22\x33", 3);
    TScriptedModem& m = run.Modem;
    m.Answer(kInit, {"OK"})
        .Answer("AT+FCR=1", {"OK"})
        .Answer("AT+FLI=\"SKIPMAIL TEST\"", {"OK"})
        .Answer("AT+FAA=0", {"OK"})
        .Pause(300)
        .Result("+FTI: \"SENDER 20\"")
        .Result("+FCS: 0,3,0,2,0,0,0,0")
        .Result("OK");
    PassPage(m, page).Result("+FPS:1,0,0,0,0");
    EndFax(m, "+FHS:00");
    TEngineHarness& h = run.Prepare(ClassType::ctClass2_0, kCom + 5);
    fSetConnectState(h.FP());
    ASSERT_TRUE(run.Run()) << m.Errors();
    EXPECT_EQ(m.Errors(), "");
    EXPECT_EQ(h.Errors(), std::vector<int32_t>{});
    EXPECT_EQ(h.Logs(), (std::vector<int32_t>{lfaxReceiveStart, lfaxReceiveOk}));
    EXPECT_EQ(h.FP()->PData->RemoteID, "SENDER 20");
    const auto pages = ApfPages(dir.Path("in.apf"));
    EXPECT_EQ(pages.size(), 1u);
    // The mark was for that call: the next run waits for a call of its own.
    EXPECT_EQ(h.FP()->MachineFlags & mfStartConnected, 0);
}

// "ERROR" where the page report belongs marks that page bad: it is cut and
// the call goes on with the next page.
TEST(FaxClass2, AnErrorForThePageReportCutsOnlyThatPage)
{
    TReceiveRun run;
    const TScratch& dir = run.Dir;
    const std::string page2("\x44\x55", 2);
    TScriptedModem& m = run.Modem;
    AnswerClass20AndReceiveAPage(m, std::string("\x11\x22\x33", 3));
    // A good page, one answered with "ERROR", a good one.
    m.Result("+FET:0").Result("OK");
    PassPage(m, std::string("\x66\x77", 2)).Result("ERROR");
    PassPage(m, page2).Result("+FPS:1,0,0,0,0");
    EndFax(m, "+FHS:00");
    TEngineHarness& h = run.Prepare(ClassType::ctClass2_0, kCom + 7);
    ASSERT_TRUE(run.Run()) << m.Errors();
    EXPECT_EQ(m.Errors(), "");
    EXPECT_EQ(h.Errors(), std::vector<int32_t>{});
    const auto lengths = ApfPageLengths(dir.Path("in.apf"));
    ASSERT_EQ(lengths.size(), 2u);
    EXPECT_EQ(lengths[1], page2.size());
}

// "+FET:1" (a new document) closes the file after that page; the next
// page starts a second file as its page 1.
TEST(FaxClass2, ANewDocumentGoesIntoASecondFile)
{
    TReceiveRun run;
    const TScratch& dir = run.Dir;
    const std::string page1("\x11\x22\x33", 3);
    const std::string page2("\x44\x55", 2);
    TScriptedModem& m = run.Modem;
    AnswerClass20AndReceiveAPage(m, page1).Result("+FET:1").Result("OK");
    PassPage(m, page2).Result("+FPS:1,0,0,0,0");
    EndFax(m, "+FHS:00");
    TEngineHarness& h = run.Prepare(ClassType::ctClass2_0, kCom + 6);
    int files = 0;
    h.NameFile = [&] { return dir.Path("in" + std::to_string(++files) + ".apf"); };
    ASSERT_TRUE(run.Run()) << m.Errors();
    EXPECT_EQ(m.Errors(), "");
    EXPECT_EQ(h.Errors(), std::vector<int32_t>{});
    EXPECT_EQ(h.Logs(), (std::vector<int32_t>{lfaxReceiveStart, lfaxReceiveStart, lfaxReceiveOk}));
    for (const auto& [name, data] : {std::pair{"in1.apf", page1}, std::pair{"in2.apf", page2}})
        EXPECT_EQ(ApfPageLengths(dir.Path(name)), std::vector<uint32_t>{uint32_t(data.size())})
            << name;
    EXPECT_EQ(h.FP()->PData->CurrentPage, 1) << "page 1 of the second file";
}

// A page past the cap (one the far end never ends) breaks the call off at
// once: that page is cut, the one before it kept, the fax reported failed.
TEST(FaxClass2, APageBeyondTheCapIsCutAndThePagesBeforeItKept)
{
    TReceiveRun run;
    const TScratch& dir = run.Dir;
    const std::string page("\x11\x22\x33", 3);
    TScriptedModem& m = run.Modem;
    AnswerClass20AndReceiveAPage(m, page)
        .Result("+FET:0")
        .Result("OK")
        .Answer("AT+FDR", {"CONNECT"})
        .Expect("\x12")
        .Send(std::string(65, '\x44')) // no end: the cap stops it
        .Expect("+++")
        .ExpectCommand("ATH");
    TEngineHarness& h = run.Prepare(ClassType::ctClass2_0, kCom + 4);
    h.FP()->CData->MaxPageBytes = 64;
    ASSERT_TRUE(run.Run()) << m.Errors();
    EXPECT_EQ(m.Errors(), "");
    EXPECT_EQ(h.Errors(), std::vector<int32_t>{AdErr::ecFaxSessionError});
    EXPECT_EQ(h.Logs(), (std::vector<int32_t>{lfaxReceiveStart, lfaxReceiveFail}));
    EXPECT_EQ(ApfPageLengths(dir.Path("in.apf")), std::vector<uint32_t>{uint32_t(page.size())});
}

// A cancel from the GUI thread aborts the run in the dispatch thread: the
// modem is hung up and the run finishes with "Cancel requested".
TEST(FaxClass2, CancelWhileDialling)
{
    TSendRun run;
    SendPrologue(run.Modem, false);
    run.Modem.ExpectCommand("ATDT555").ExpectCommand("ATH0").Result("OK");
    run.Start(ClassType::ctClass2);
    const auto dialling = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (afGetFaxProgress(run.H->FP()) != FaxStatus::fpDialing &&
           std::chrono::steady_clock::now() < dialling)
        run.H->WaitFinish(20);
    afCancelFax(run.H->FP());
    ASSERT_TRUE(run.H->WaitFinish(10000)) << run.Modem.Errors();
    EXPECT_EQ(run.Modem.Errors(), "");
    EXPECT_EQ(run.H->FP()->PData->Error, AdErr::ecCancelRequested);
    EXPECT_EQ(run.H->Logs(), (std::vector<int32_t>{lfaxTransmitStart, lfaxTransmitFail}));
    const auto notes = run.H->Notes();
    ASSERT_FALSE(notes.empty());
    EXPECT_EQ(notes.back().Msg, apw_FaxFinish);
    EXPECT_EQ(notes.back().WParam, static_cast<uint16_t>(AdErr::ecCancelRequested));
}
