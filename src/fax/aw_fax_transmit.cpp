#include "fax/aw_fax_transmit.h"

#include "core/text_util.h"
#include "fax/fax_text_input.h"
#include "serial/ad_except.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>

// Decisions of the send machine beyond the line rules:
// - A page the receiver rejects (RTN) is sent again, at the next lower
//   speed when there is one, up to the page resend limit; it is not counted
//   as sent. Past the limit the fax fails with "Fax failed in mid-session".
// - A page whose resolution differs from the page before is announced with
//   EOM in Class 1, and the next page gets a new DCS after the receiver's
//   DIS, so the receiver never takes a page at the wrong resolution.
// - Header and text cover lines are drawn in the built-in 20 x 16 font
//   (rows doubled at fine resolution); the font-based converter's fonts are
//   not used for them.
// - A modem that goes away (its device lost) ends the run at the next
//   handler call with the serial layer's code: no hang-up, no next fax, and
//   nothing waits for output that can no longer leave.
// - Class 2/2.0 hang-up report after a page: its code is kept and the
//   answer's OK awaited, as the command sets have it. A code other than 0
//   fails the fax (-8070) only when pages remain or the far end did not
//   take the last one; after the last page was taken the fax counts as
//   sent, so a delivered fax is never dialled again.
// - Class 1 post-page tries (at most 3) are counted per page, not over the
//   whole fax, so a long fax does not fail on its fourth repeat anywhere.
// - "ERROR" in tf20CheckPage is that state's own answer (ask the page
//   status with "AT+FPS?"), not a modem fault that fails the fax.
// - tf20CheckPage takes the page reports ("+FPS:") that a Class 2.0 modem
//   gives after "AT+FNR=1,1,1,0" as tf2WaitFET does, instead of failing a
//   page the far end took.
// - With a cover, the first negotiation offers the cover's resolution (the
//   cover goes first), not that of the fax file's first page.

namespace {

using namespace FaxLine;

enum class TTrig { None, Status, Timeout, OutFree, OutUsed };

struct TCall {
    PFaxRec FP;
    TFaxData& D;
    TC12AbsData& C;
    TTrig Trig = TTrig::None;
    bool Cancel = false;
    bool Data = false;
    bool Stop = false; // end the handler call now
    int LinesThisCall = 0;
};

// Each state: name, exit code, whether the modem's answer is read first.
constexpr std::array<TFaxStateRow<SendStates>, kSendStateCount> kStates{{
    {tfNone, "tfNone", 0, true},
    {tfGetEntry, "tfGetEntry", 1, false},
    {tfInit, "tfInit", 1, false},
    {tf1Init1, "tf1Init1", 2, true},
    {tf2Init1, "tf2Init1", 2, true},
    {tf2Init1A, "tf2Init1A", 2, true},
    {tf2Init1B, "tf2Init1B", 2, true},
    {tf2Init2, "tf2Init2", 2, true},
    {tf2Init3, "tf2Init3", 2, true},
    {tfDial, "tfDial", 1, false},
    {tfRetryWait, "tfRetryWait", 3, false},
    {tf1Connect, "tf1Connect", 2, true},
    {tf1SendTSI, "tf1SendTSI", 2, true},
    {tf1TSIResponse, "tf1TSIResponse", 2, true},
    {tf1DCSResponse, "tf1DCSResponse", 2, true},
    {tf1TrainStart, "tf1TrainStart", 2, true},
    {tf1TrainFinish, "tf1TrainFinish", 2, true},
    {tf1WaitCFR, "tf1WaitCFR", 2, true},
    {tf1WaitPageConnect, "tf1WaitPageConnect", 2, true},
    {tf2Connect, "tf2Connect", 2, true},
    {tf2GetParams, "tf2GetParams", 2, true},
    {tfWaitXon, "tfWaitXon", 3, false},
    {tfWaitFreeHeader, "tfWaitFreeHeader", 3, false},
    {tfSendPageHeader, "tfSendPageHeader", 1, false},
    {tfOpenCover, "tfOpenCover", 1, false},
    {tfSendCover, "tfSendCover", 3, false},
    {tfPrepPage, "tfPrepPage", 1, false},
    {tfSendPage, "tfSendPage", 3, false},
    {tfDrainPage, "tfDrainPage", 3, false},
    {tf1PageEnd, "tf1PageEnd", 2, true},
    {tf1PrepareEOP, "tf1PrepareEOP", 1, false},
    {tf1SendEOP, "tf1SendEOP", 2, true},
    {tf1WaitMPS, "tf1WaitMPS", 2, true},
    {tf1WaitEOP, "tf1WaitEOP", 2, true},
    {tf1WaitMCF, "tf1WaitMCF", 2, true},
    {tf1SendDCN, "tf1SendDCN", 2, true},
    {tf1Hangup, "tf1Hangup", 2, true},
    {tf1WaitHangup, "tf1WaitHangup", 2, true},
    {tf2SendEOP, "tf2SendEOP", 1, false},
    {tf2WaitFPTS, "tf2WaitFPTS", 2, true},
    {tf2WaitFET, "tf2WaitFET", 2, true},
    {tf2WaitPageOK, "tf2WaitPageOK", 2, true},
    {tf2SendNewParams, "tf2SendNewParams", 0, false},
    {tf2NextPage, "tf2NextPage", 1, false},
    {tf20CheckPage, "tf20CheckPage", 2, true},
    {tfClose, "tfClose", 1, false},
    {tfCompleteOK, "tfCompleteOK", 1, false},
    {tfAbort, "tfAbort", 1, false},
    {tfDone, "tfDone", 3, true},
}};

static_assert(FaxStatesInOrder(kStates), "one row per state, in order");

// One run at a time may be between tfGetEntry and tfInit.
std::atomic<PFaxRec> gStarting{nullptr};

constexpr uint32_t kFreeLevel = 4096;
constexpr std::array<uint8_t, 6> kBlankLine{0x00, 0x80, 0xB2, 0x59, 0x01, 0x00};

void Go(TCall& k, SendStates s)
{
    k.FP->State = s;
}

void Fail(TCall& k, int32_t code)
{
    afReportError(k.FP, code);
    Go(k, tfAbort);
}

void Status(TCall& k, int32_t code, bool force = false)
{
    k.D.StatusCode = code;
    if (force)
        k.C.ForceStatus = true;
}

void ArmOutFree(TCall& k)
{
    k.D.Dispatcher->SetStatusTrigger(k.D.OutFreeTrigger, kFreeLevel, true);
    ArmTimeout(k.FP, k.C.TransmitWait);
}

void ArmOutUsed(TCall& k)
{
    k.D.Dispatcher->SetStatusTrigger(k.D.OutUsedTrigger, 0, true);
    ArmTimeout(k.FP, k.C.TransmitWait);
}

bool IsClass1(const TCall& k)
{
    return k.D.Class == ClassType::ctClass1;
}

const TFaxClassRecord& Cmds(const TCall& k)
{
    return *k.C.Commands;
}

void TakePageHeader(TCall& k, const TPageHeaderRec& h)
{
    k.C.PageHeader = h;
    k.C.LongLines = h.LengthWords();
    k.C.Resolution = h.Fine() ? '1' : '0';
    k.C.Fine = h.Fine();
    k.C.Wide = h.Wide();
    k.D.PageLength = static_cast<int32_t>(h.ImgLength);
    k.D.DataBytes = 0;
    k.C.Chunk.clear();
    UpdateMinLineBytes(k.C);
}

// Opens the page to send: the APF cover while the cover is on, else the
// fax file's current page.
int OpenPage(TCall& k)
{
    const std::string& name = k.D.OnCover ? k.D.CoverFileName : k.D.FaxFileName;
    const unsigned page = k.D.OnCover ? 1u : static_cast<unsigned>(k.D.CurrentPage);
    if (!k.C.FaxFile.IsOpen() || k.C.CoverIsImage) {
        k.C.FaxFile.Close();
        if (const int rc = k.C.FaxFile.Open(name); rc < 0)
            return rc;
    }
    TPageHeaderRec h;
    if (const int rc = k.C.FaxFile.SeekPage(page, h); rc < 0)
        return rc;
    TakePageHeader(k, h);
    return 0;
}

bool PagesRemain(const TCall& k)
{
    return k.D.OnCover ? k.D.PageCount > 0 : k.D.CurrentPage < k.D.PageCount;
}

void CloseFiles(TCall& k)
{
    k.C.FaxFile.Close();
}

// Hang-up after an abort.
void HangUp(TCall& k)
{
    TApdBaseDispatcher* d = k.D.Dispatcher;
    TFaxModemLines& lines = ModemLines(k.FP);
    if (lines.CheckDCD()) {
        Pause(1000);
        d->PutString("+++");
        Pause(1000);
        d->PutString("ATH0\r");
        Pause(1000);
        d->FlushInBuffer();
        if (lines.CheckDCD()) {
            lines.SetModem(false, false);
            Pause(500);
            lines.SetModem(true, true);
            Pause(500);
        }
    } else {
        d->PutString("ATH0\r");
        Pause(1000);
        d->FlushInBuffer();
    }
}

void SendClass2Params(TCall& k, const std::string& resolution)
{
    SendCommand(k.FP, std::string(Cmds(k).CapabilitiesCommand) + "=" + resolution);
}

// The 8 blank lines and the zero fill that start every page.
void SendPageStart(TCall& k)
{
    std::vector<uint8_t> block;
    for (int i = 0; i < 8; ++i) {
        block.insert(block.end(), kBlankLine.begin(), kBlankLine.end());
        if (k.C.MinLineBytes >= 7)
            block.insert(block.end(), k.C.MinLineBytes - 5u, 0);
    }
    const std::size_t waiting = k.D.Dispatcher->OutBuffUsed() + block.size();
    const std::size_t minimum = static_cast<std::size_t>(std::max(k.C.BufferMinimum, 0));
    if (waiting < minimum)
        block.insert(block.end(), std::min<std::size_t>(minimum - waiting, 8192), 0);
    PutStuffed(k.FP, block.data(), block.size());
}

// The header font of the page's resolution in the text converter.
int LoadHeaderFont(TCall& k)
{
    if (!k.C.Converter)
        fcInitTextConverter(k.C.Converter);
    k.C.Converter->UseHighRes = k.C.Fine;
    return fcLoadFont(*k.C.Converter, "APFAX.FNT", kStandardFontCode, k.C.Fine);
}

// One text line as coded pixel rows; waits for room in the output buffer
// rather than dropping a row.
int SendTextLine(TCall& k, const std::string& text)
{
    TAbsFaxCvt& cvt = *k.C.Converter;
    const unsigned rows = static_cast<TFaxTextData&>(*cvt.InData).FontRec.Height;
    std::array<uint8_t, kFaxLineBufSize> raster{};
    for (unsigned row = 1; row <= rows; ++row) {
        fcRasterizeText(cvt, text, row, raster.data());
        acCompressRasterLine(cvt, raster.data());
        std::size_t n = cvt.ByteOfs;
        if (n < k.C.MinLineBytes)
            n = k.C.MinLineBytes; // the coder's buffer is zero past the code
        EventTimer room;
        NewTimer(room, k.C.TransmitWait);
        while (!PutStuffed(k.FP, cvt.DataLine.data(), n)) {
            if (const int32_t lost = DeviceLost(k.FP); lost != 0)
                return lost;
            if (TimerExpired(room))
                return AdErr::ecTimeout;
            Pause(10);
        }
    }
    return 0;
}

void SendPageHeader(TCall& k)
{
    SendPageStart(k);
    if (!k.C.HeaderText.empty()) {
        int rc = LoadHeaderFont(k);
        if (rc == 0)
            rc = SendTextLine(k, afConvertHeaderString(k.FP, k.C.HeaderText));
        if (rc < 0) {
            Fail(k, rc);
            return;
        }
    }
    Go(k, k.D.OnCover ? tfOpenCover : tfPrepPage);
}

// Cover text lines: CR LF, CR or LF ends a line.
std::vector<std::string> CoverLines(const std::string& fileName)
{
    std::ifstream in(fileName, std::ios::binary);
    std::vector<std::string> lines;
    if (!in)
        return lines;
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(line);
            line.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else if (c != '\x1A') {
            line += c;
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

void OpenCover(TCall& k)
{
    if (k.C.CoverIsImage) {
        if (const int rc = OpenPage(k); rc < 0) {
            Fail(k, rc);
            return;
        }
        Go(k, tfPrepPage);
        return;
    }
    if (!std::filesystem::exists(k.D.CoverFileName)) {
        Fail(k, AdErr::ecFileNotFound);
        return;
    }
    if (const int rc = LoadHeaderFont(k); rc < 0) {
        Fail(k, rc);
        return;
    }
    k.C.CoverText = CoverLines(k.D.CoverFileName);
    k.C.CoverLine = 0;
    Status(k, FaxStatus::fpSendPage);
    ArmOutFree(k);
    Go(k, tfSendCover);
}

void EndPageData(TCall& k);

void SendCover(TCall& k)
{
    if (k.Trig == TTrig::Timeout) {
        Fail(k, AdErr::ecTimeout);
        return;
    }
    if (k.Trig != TTrig::OutFree)
        return;
    while (k.D.Dispatcher->OutBuffFree() > kFreeLevel && k.C.CoverLine < k.C.CoverText.size()) {
        if (const int rc =
                SendTextLine(k, afConvertHeaderString(k.FP, k.C.CoverText[k.C.CoverLine++]));
            rc < 0) {
            Fail(k, rc);
            return;
        }
    }
    if (k.C.CoverLine < k.C.CoverText.size()) {
        ArmOutFree(k);
        return;
    }
    uint8_t end[16];
    int len = 0;
    acMakeEndOfPage(*k.C.Converter, end, len);
    PutStuffed(k.FP, end, static_cast<std::size_t>(len));
    EndPageData(k);
}

void EndPageData(TCall& k)
{
    if (IsClass1(k)) {
        const uint8_t end[2] = {0x10, 0x03};
        k.D.Dispatcher->PutBlock(end, 2);
        Status(k, FaxStatus::fpSendPage);
    }
    ArmOutUsed(k);
    Go(k, tfDrainPage);
}

// Sends page lines while the buffer allows; true when the page is done.
bool SendPageLines(TCall& k)
{
    TApdBaseDispatcher* d = k.D.Dispatcher;
    const std::size_t minimum = static_cast<std::size_t>(std::max(k.C.BufferMinimum, 0));
    while (k.LinesThisCall < k.C.LinesPerCall && d->OutBuffUsed() <= minimum &&
           d->OutBuffFree() >= kFreeLevel) {
        if (k.C.Chunk.empty()) {
            const uint32_t before = k.C.FaxFile.BytesRead();
            const int rc = k.C.FaxFile.ReadChunk(k.C.Chunk);
            if (rc < 0) {
                Fail(k, rc);
                return false;
            }
            k.D.DataBytes += static_cast<int32_t>(k.C.FaxFile.BytesRead() - before);
            if (k.C.Chunk.empty())
                return true;
            if (k.C.LongLines && k.C.Chunk.size() < k.C.MinLineBytes)
                k.C.Chunk.resize(k.C.MinLineBytes, 0);
        }
        if (!PutStuffed(k.FP, k.C.Chunk.data(), k.C.Chunk.size()))
            break; // no room after all: the next output-free trigger resumes
        k.C.Chunk.clear();
        ++k.LinesThisCall;
    }
    return false;
}

// After RTN: the rejected page is sent again.
bool RewindRejectedPage(TCall& k)
{
    if (++k.C.PageResends > k.C.MaxRetries)
        return false;
    k.D.OnCover = k.C.SentCover;
    k.D.CurrentPage = k.C.SentPage;
    return OpenPage(k) == 0;
}

// --- response pre-processing ------------------------------------------------

// Returns false when the handler call ends (nothing complete yet).
bool PreProcess(TCall& k)
{
    const uint8_t s = k.FP->State;
    if (k.Trig == TTrig::Timeout) {
        if (s == tf1Connect || s == tf2Connect)
            Fail(k, AdErr::ecFaxNoAnswer);
        else if (s == tf1WaitMCF) {
            k.D.Dispatcher->PutChar(0x20);
            Go(k, tf1PrepareEOP);
        } else if (s == tf1WaitHangup) {
            HangUp(k);
            Go(k, tfClose);
        } else
            Fail(k, AdErr::ecTimeout);
        return true;
    }
    const TGot got = Collect(k.FP);
    if (got == TGot::Nothing)
        return false;
    if (got == TGot::Line) {
        const std::string& r = k.C.Response;
        if (r.find("ERROR") != std::string::npos && s != tf1SendEOP && s != tf1WaitEOP &&
            s != tf1WaitMCF && s != tf20CheckPage) {
            Fail(k, AdErr::ecFaxBadModemResult);
            return true;
        }
        if (HasHangup(k.FP) && s != tf2WaitFET && s != tf20CheckPage) {
            k.C.HangupCode = ParseHangupCode(r);
            Fail(k, AdErr::ecFaxBadModemResult);
            return true;
        }
        return true;
    }
    // A frame.
    switch (DecodeFrame(k.FP, k.C.Frame)) {
    case TFrameResult::Disconnect:
        Fail(k, AdErr::ecCancelRequested);
        break;
    case TFrameResult::Incompatible:
        Fail(k, AdErr::ecFaxBadMachine);
        break;
    case TFrameResult::Retrain: {
        // FTT: train again lower. RTN: the page was rejected; it goes again,
        // lower when a lower speed is left.
        const bool rejected = k.C.LastFCF == Fcf::RTN;
        const bool lower = StepDownSpeed(k.C);
        if (rejected ? !RewindRejectedPage(k) : !lower) {
            Fail(k, rejected ? AdErr::ecFaxSessionError : AdErr::ecFaxTrainError);
            break;
        }
        SendFrameCommand(k.FP, "AT+FTH=3");
        Go(k, tf1TSIResponse);
        break;
    }
    default:
        break;
    }
    k.C.Response.clear(); // a frame is no line
    return true;
}

// --- the states ---------------------------------------------------------------

void GetEntry(TCall& k)
{
    PFaxRec expected = nullptr;
    if (!gStarting.compare_exchange_strong(expected, k.FP) && expected != k.FP) {
        k.Stop = true; // another run is starting: try again at the next trigger
        return;
    }
    if (!afNextFax(k.FP)) {
        Go(k, tfCompleteOK);
        return;
    }
    afLogFax(k.FP, lfaxTransmitStart);
    k.D.AttemptCount = 0;
    k.D.OnCover = false;
    k.D.RemoteID.clear();
    k.D.PageCount = k.D.CoverCount = k.D.DataBytes = k.D.PageLength = 0;
    k.C.RetryCount = 0;
    k.C.PageResends = 0;
    k.C.HangupCode = 0; // each fax its own call
    k.D.CurrentPage = 1;
    CloseFiles(k);
    if (!k.D.FaxFileName.empty()) {
        if (std::filesystem::path(k.D.FaxFileName).extension().empty())
            k.D.FaxFileName += "." + k.D.DefaultExtension;
        if (const int rc = k.C.FaxFile.Open(k.D.FaxFileName); rc < 0) {
            Fail(k, rc);
            return;
        }
        k.D.PageCount = k.C.FaxFile.Header().PageCount;
    } else if (k.D.CoverFileName.empty()) {
        Fail(k, AdErr::ecNoFilename);
        return;
    }
    Go(k, tfInit);
    FlowOff(k.FP);
}

void Init(TCall& k)
{
    k.D.StationID = UpperCase(std::move(k.D.StationID));
    if (!k.D.CoverFileName.empty()) {
        k.D.CoverCount = 1;
        k.D.OnCover = true;
        const std::string ext =
            UpperCase(std::filesystem::path(k.D.CoverFileName).extension().string());
        k.C.CoverIsImage = ext == "." + k.D.DefaultExtension;
    }
    if (!k.D.FaxFileName.empty()) {
        TPageHeaderRec h;
        if (const int rc = k.C.FaxFile.SeekPage(1, h); rc < 0) {
            Fail(k, rc);
            return;
        }
        TakePageHeader(k, h);
        if (k.D.OnCover) { // the cover comes first: its resolution counts
            TPageHeaderRec ch;
            if (k.C.CoverIsImage && ApfReadPageHeader(k.D.CoverFileName, 1, ch) == 0)
                TakePageHeader(k, ch);
            else if (!k.C.CoverIsImage) {
                k.C.Resolution = '0';
                k.C.Fine = false;
            }
        }
    } else {
        k.C.Resolution = '0';
        k.C.Fine = false;
        TPageHeaderRec h;
        if (k.C.CoverIsImage && ApfReadPageHeader(k.D.CoverFileName, 1, h) == 0)
            TakePageHeader(k, h);
    }
    Status(k, FaxStatus::fpInitModem, true);
    SendCommand(k.FP, k.C.ClassCommand);
    Go(k, IsClass1(k) ? tf1Init1 : tf2Init1);
}

void Dial(TCall& k)
{
    std::string cmd;
    if (k.D.LineAlreadyConnected) {
        cmd = "ATD";
        k.D.LineAlreadyConnected = false;
        Status(k, FaxStatus::fpConnecting, true);
    } else {
        cmd = std::string("ATD") + k.C.DialChar + DialString(k.C.DialPrefix + k.D.PhoneNumber);
        Status(k, FaxStatus::fpDialing, true);
    }
    SendCommand(k.FP, cmd);
    ArmTimeout(k.FP, k.C.DialWait);
    NewTimer(k.C.Timer, k.C.DialWait);
    Go(k, IsClass1(k) ? tf1Connect : tf2Connect);
}

// Busy, voice and no dial tone while connecting; true when handled.
bool ConnectFailures(TCall& k)
{
    if (Has(k.FP, "BUSY") || Has(k.FP, "ANSWER")) {
        ++k.D.AttemptCount;
        if (k.D.AttemptCount < k.D.ConnectAttempts || k.D.ConnectAttempts == 0) {
            Status(k, FaxStatus::fpBusyWait, true);
            ArmTimeout(k.FP, std::max(k.D.RetryWait, 1));
            Go(k, tfRetryWait);
        } else {
            afFaxStatus(k.FP, false, false);
            if (afOptionsAreOn(k.FP, afAbortNoConnect)) {
                Fail(k, AdErr::ecFaxBusy);
            } else {
                CloseFiles(k);
                afReportError(k.FP, AdErr::ecFaxBusy);
                afLogFax(k.FP, lfaxTransmitFail);
                Status(k, FaxStatus::fpInitModem);
                Go(k, tfGetEntry);
            }
        }
        return true;
    }
    if (Has(k.FP, "VOICE") || Has(k.FP, "VCON")) {
        Fail(k, AdErr::ecFaxVoiceCall);
        return true;
    }
    if (Has(k.FP, "NO DIAL")) {
        Fail(k, AdErr::ecFaxNoDialTone);
        return true;
    }
    return false;
}

void Class1Connect(TCall& k)
{
    if (Has(k.FP, "CONNECT"))
        return;
    if (Has(k.FP, "OK")) {
        if (k.C.LastFrameFinal) {
            Pause(200);
            SendFrameCommand(k.FP, "AT+FTH=3");
            Go(k, tf1SendTSI);
        } else {
            SendFrameCommand(k.FP, "AT+FRH=3");
        }
        return;
    }
    if (ConnectFailures(k))
        return;
    const std::string& r = k.C.Response;
    if (r.size() >= 5 && r.compare(r.size() - 5, 5, "RRIER") == 0)
        Fail(k, AdErr::ecFaxNoCarrier);
}

void WaitCFR(TCall& k)
{
    if (!Has(k.FP, "OK"))
        return;
    if (!k.C.LastFrameFinal) {
        SendFrameCommand(k.FP, "AT+FRH=3");
        return;
    }
    Pause(200);
    if (k.C.GotCFR) {
        SendFrameCommand(k.FP, "AT+FTM=" + PageModulation(k.C));
        k.C.LastFrameFinal = false;
        Go(k, tf1WaitPageConnect);
    } else {
        SendFrameCommand(k.FP, "AT+FTH=3");
        Go(k, tf1TSIResponse);
    }
}

void GetParams(TCall& k)
{
    const std::string& r = k.C.Response;
    const TFaxClassRecord& cmds = Cmds(k);
    if (r.find(cmds.CapabilitiesReport) != std::string::npos) {
        ParseClass2Params(k.C, r, true);
        k.C.Fine = k.C.Resolution == '1';
        if ((k.C.PageHeader.Wide() && !k.C.RemoteWide) ||
            (k.C.Resolution == '1' && !k.C.RemoteFine))
            Fail(k, AdErr::ecFaxBadMachine);
        else
            Status(k, FaxStatus::fpSessionParams);
    } else if (r.find(cmds.CSIReport) != std::string::npos) {
        k.D.RemoteID = ReportStationID(r);
        Status(k, FaxStatus::fpGotRemoteID);
    } else if (r.find(cmds.DCSReport) != std::string::npos) {
        ParseClass2Params(k.C, r, false);
        Status(k, FaxStatus::fpSessionParams);
    } else if (Has(k.FP, "OK")) {
        SendCommand(k.FP, "AT+FDT");
        ArmTimeout(k.FP, 546);
    } else if (Has(k.FP, "CONNECT")) {
        if (k.D.Class == ClassType::ctClass2_0) {
            ArmOutFree(k);
            Go(k, tfWaitFreeHeader);
        } else {
            ArmTimeout(k.FP, 18);
            Go(k, tfWaitXon);
        }
    }
}

void DrainPage(TCall& k)
{
    if (k.Trig == TTrig::Timeout) {
        Fail(k, AdErr::ecTimeout);
        return;
    }
    if (k.Trig != TTrig::OutUsed)
        return;
    FlowOff(k.FP);
    k.C.SentPage = k.D.CurrentPage;
    k.C.SentCover = k.D.OnCover;
    const char before = k.C.Resolution;
    k.C.MorePages = PagesRemain(k);
    if (k.C.MorePages) {
        if (k.D.OnCover) {
            k.D.OnCover = false;
            k.D.CurrentPage = 1;
        } else {
            ++k.D.CurrentPage;
        }
        if (const int rc = OpenPage(k); rc < 0) {
            Fail(k, rc);
            return;
        }
    }
    k.C.PrevResolution = before;
    if (IsClass1(k)) {
        Go(k, tf1PageEnd);
    } else if (k.D.Class == ClassType::ctClass2) {
        const uint8_t end[2] = {0x10, 0x03};
        k.D.Dispatcher->PutBlock(end, 2);
        Go(k, tf2SendEOP);
    } else {
        const uint8_t mark = !k.C.MorePages ? '.' : k.C.Resolution != before ? ';' : ',';
        const uint8_t end[2] = {0x10, mark};
        k.D.Dispatcher->PutBlock(end, 2);
        Go(k, tf2SendEOP);
    }
    Status(k, FaxStatus::fpSendPage, true);
}

void SendEOPFrame(TCall& k)
{
    if (!Has(k.FP, "CONNECT"))
        return;
    uint8_t fcf = 0x2F; // EOP
    if (k.C.MorePages) {
        const bool newFormat = k.C.Resolution != k.C.PrevResolution;
        fcf = k.C.UseMPS && !newFormat ? 0x4F : 0x8F;
    }
    k.C.SentEOM = fcf == 0x8F;
    SendFrame(k.FP, FrameShort(fcf));
    ArmReply(k.FP);
    Go(k, tf1WaitMPS);
}

void WaitMCF(TCall& k)
{
    if (Has(k.FP, "CONNECT"))
        return;
    if (Has(k.FP, "ERROR")) {
        Go(k, tf1PrepareEOP);
        return;
    }
    if (!Has(k.FP, "OK"))
        return;
    if (!k.C.LastFrameFinal) {
        SendFrameCommand(k.FP, "AT+FRH=3");
        return;
    }
    const uint8_t fcf = k.C.LastFCF;
    if (fcf == Fcf::MCF || fcf == Fcf::RTP) {
        Status(k, FaxStatus::fpPageOK, true);
        k.C.PageResends = 0;
        if (!k.C.MorePages) {
            SendFrameCommand(k.FP, "AT+FTH=3");
            Go(k, tf1SendDCN);
        } else if (fcf == Fcf::MCF && !k.C.SentEOM) {
            SendFrameCommand(k.FP, "AT+FTM=" + PageModulation(k.C));
            Go(k, tf1WaitPageConnect);
        } else if (k.C.SentEOM) {
            // Back to the start of the call: the receiver sends its DIS.
            k.C.LastFrameFinal = false;
            SendFrameCommand(k.FP, "AT+FRH=3");
            Go(k, tf1Connect);
        } else {
            SendFrameCommand(k.FP, "AT+FTH=3");
            Go(k, tf1TSIResponse);
        }
        return;
    }
    Fail(k, AdErr::ecFaxSessionError);
}

// A page report ("+FPTS:" / "+FPS:"); false when the line is none.
bool PageReport(TCall& k)
{
    const std::string& r = k.C.Response;
    if (r.find(Cmds(k).PageReport) == std::string::npos)
        return false;
    const auto f = ReportFields(r);
    const int code = !f.empty() && !f[0].empty() ? f[0][0] - '0' : -1;
    if (code == 1 || code == 3) {
        k.C.PageConfirmed = true;
        Status(k, FaxStatus::fpPageOK);
    } else if (code == 2) {
        Status(k, FaxStatus::fpPageError);
        Go(k, tf2WaitPageOK);
    } else if (code == 4 || code == 5) {
        Fail(k, AdErr::ecCancelRequested);
    } else {
        Fail(k, AdErr::ecFaxPageError);
    }
    return true;
}

// A hang-up report after the page: the code is kept, the OK awaited.
bool HangupReport(TCall& k)
{
    if (!HasHangup(k.FP))
        return false;
    k.C.HangupCode = ParseHangupCode(k.C.Response);
    return true;
}

// The final OK of a page: on to the next page or the end. A call that hung
// up with a fault before the whole fax was taken failed.
void NextAfterPage(TCall& k)
{
    if (k.C.HangupCode != 0 && (k.C.MorePages || !k.C.PageConfirmed)) {
        Fail(k, AdErr::ecFaxPageError);
        return;
    }
    Go(k, k.C.MorePages && k.C.Resolution != k.C.PrevResolution ? tf2SendNewParams : tf2NextPage);
}

void WaitFET(TCall& k)
{
    if (HangupReport(k) || PageReport(k))
        return;
    if (Has(k.FP, "OK"))
        NextAfterPage(k);
    else
        Fail(k, AdErr::ecFaxPageError);
}

void WaitPageOK(TCall& k)
{
    if (!Has(k.FP, "OK")) {
        Fail(k, AdErr::ecFaxSessionError);
        return;
    }
    if (++k.C.RetryCount > k.C.MaxRetries) {
        k.D.Dispatcher->PutString("AT+FKS\r");
        Fail(k, AdErr::ecFaxSessionError);
        return;
    }
    SendCommand(k.FP, "AT+FDT");
    k.D.OnCover = k.C.SentCover;
    k.D.CurrentPage = k.C.SentPage;
    if (const int rc = OpenPage(k); rc < 0) {
        Fail(k, rc);
        return;
    }
    k.C.MorePages = PagesRemain(k);
    Go(k, tf2GetParams);
}

void CheckPage20(TCall& k)
{
    if (HangupReport(k) || PageReport(k))
        return;
    if (Has(k.FP, "OK")) {
        k.C.PageConfirmed = true;
        Status(k, FaxStatus::fpPageOK);
        NextAfterPage(k);
    } else if (Has(k.FP, "ERROR")) {
        SendCommand(k.FP, "AT+FPS?");
        Go(k, tf2WaitFET);
        Status(k, FaxStatus::fpPageError);
    } else {
        Fail(k, AdErr::ecFaxPageError);
    }
}

void Close(TCall& k)
{
    CloseFiles(k);
    Status(k, FaxStatus::fpFinished);
    afLogFax(k.FP, lfaxTransmitOk);
    Go(k, tfGetEntry);
    SwitchToInitBaud(k.FP);
}

void CompleteOK(TCall& k)
{
    afFaxStatus(k.FP, false, true);
    k.C.ModemReady = false;
    Go(k, tfDone);
    afSignalFinish(k.FP);
}

void Abort(TCall& k)
{
    CloseFiles(k);
    afLogFax(k.FP, lfaxTransmitFail);
    // A modem that went away takes no hang-up and no next fax.
    const bool lost = DeviceLost(k.FP) != 0;
    if (!lost)
        HangUp(k);
    if (lost || afOptionsAreOn(k.FP, afAbortNoConnect) || afOptionsAreOn(k.FP, afExitOnError) ||
        k.Cancel) {
        Status(k, FaxStatus::fpCancel);
        afFaxStatus(k.FP, false, true);
        k.C.ModemReady = false;
        Go(k, tfDone);
        if (!lost)
            SwitchToInitBaud(k.FP);
        afSignalFinish(k.FP);
        return;
    }
    Go(k, tfGetEntry);
    SwitchToInitBaud(k.FP);
}

void RunState(TCall& k)
{
    TC12AbsData& C = k.C;
    const SendStates s = static_cast<SendStates>(k.FP->State);
    switch (s) {
    case tfNone:
    case tfDone:
        return;
    case tfGetEntry:
        GetEntry(k);
        return;
    case tfInit:
        Init(k);
        return;
    case tf1Init1:
        if (Has(k.FP, "OK"))
            Go(k, tfDial);
        else
            Fail(k, AdErr::ecFaxInitError);
        return;
    case tf2Init1:
        if (!Has(k.FP, "OK")) {
            Fail(k, AdErr::ecFaxInitError);
            return;
        }
        SendCommand(k.FP, std::string(Cmds(k).StationIdCommand) + "=\"" + k.D.StationID + "\"");
        Go(k, Cmds(k).FlowAndReports ? tf2Init1A : tf2Init2);
        return;
    case tf2Init1A:
        if (!Has(k.FP, "OK")) {
            Fail(k, AdErr::ecFaxInitError);
            return;
        }
        SendCommand(k.FP, "AT+FLO=2");
        Go(k, tf2Init1B);
        return;
    case tf2Init1B:
        if (!Has(k.FP, "OK")) {
            Fail(k, AdErr::ecFaxInitError);
            return;
        }
        SendCommand(k.FP, "AT+FNR=1,1,1,0");
        Go(k, tf2Init2);
        return;
    case tf2Init2:
        if (!Has(k.FP, "OK")) {
            Fail(k, AdErr::ecFaxInitError);
            return;
        }
        SendCommand(k.FP,
                    std::string(Cmds(k).CapabilitiesCommand) + "=" + C.Resolution + "," +
                        std::to_string(BitRateCode(C.MaxBitRate == 0 ? 14400 : C.MaxBitRate)) +
                        "," + (C.PageHeader.Wide() ? "1" : "0") + ",2,0," + C.ECDigit + ",0,0");
        Go(k, tf2Init3);
        return;
    case tf2Init3:
        if (Has(k.FP, "OK"))
            Go(k, tfDial);
        else
            Fail(k, AdErr::ecFaxInitError);
        return;
    case tfDial:
        Dial(k);
        return;
    case tfRetryWait:
        if (k.Trig != TTrig::None || k.Data)
            Go(k, tfInit);
        return;
    case tf1Connect:
        Class1Connect(k);
        return;
    case tf1SendTSI:
        if (Has(k.FP, "CONNECT")) {
            SendFrame(k.FP, FrameID(0x43, k.D.StationID));
            ArmReply(k.FP);
            Go(k, tf1TSIResponse);
        }
        return;
    case tf1TSIResponse:
        if (Has(k.FP, "CONNECT")) {
            SendFrame(k.FP, FrameDCS(C));
            Go(k, tf1DCSResponse);
        }
        return;
    case tf1DCSResponse:
        if (Has(k.FP, "OK") || Has(k.FP, "CONNECT")) {
            SendFrameCommand(k.FP, "AT+FTM=" + TrainModulation(C));
            Go(k, tf1TrainStart);
        }
        return;
    case tf1TrainStart:
        if (Has(k.FP, "CONNECT") || Has(k.FP, "OK")) {
            FlowOn(k.FP);
            std::vector<uint8_t> tcf(TrainingBytes(C), 0);
            tcf.push_back(0x10);
            tcf.push_back(0x03);
            k.D.Dispatcher->PutBlock(tcf.data(), tcf.size());
            Go(k, tf1TrainFinish);
        }
        return;
    case tf1TrainFinish:
        if (Has(k.FP, "OK")) {
            FlowOff(k.FP);
            Pause(200);
            SendFrameCommand(k.FP, "AT+FRH=3");
            C.GotCFR = false;
            Go(k, tf1WaitCFR);
        }
        return;
    case tf1WaitCFR:
        WaitCFR(k);
        return;
    case tf1WaitPageConnect:
        if (Has(k.FP, "CONNECT")) {
            ArmTimeout(k.FP, 18);
            Go(k, tfWaitXon);
        }
        return;
    case tf2Connect:
        if (Has(k.FP, Cmds(k).ConnectReport)) {
            ArmReply(k.FP);
            Go(k, tf2GetParams);
            return;
        }
        ConnectFailures(k);
        return;
    case tf2GetParams:
        GetParams(k);
        return;
    case tfWaitXon: {
        if (k.Data) {
            uint8_t ch = 0;
            if (k.D.Dispatcher->GetChar(ch) != 0 || ch != 0x11)
                return;
        } else if (k.Trig != TTrig::Timeout) {
            return;
        }
        ArmOutFree(k);
        Go(k, tfWaitFreeHeader);
        return;
    }
    case tfWaitFreeHeader:
        if (k.Trig == TTrig::OutFree) {
            Status(k, FaxStatus::fpSendPage);
            FlowOn(k.FP);
            Go(k, tfSendPageHeader);
        } else if (k.Trig == TTrig::Timeout) {
            Fail(k, AdErr::ecTimeout);
        }
        return;
    case tfSendPageHeader:
        SendPageHeader(k);
        return;
    case tfOpenCover:
        OpenCover(k);
        return;
    case tfSendCover:
        SendCover(k);
        return;
    case tfPrepPage:
        ArmOutFree(k);
        Go(k, tfSendPage);
        return;
    case tfSendPage:
        if (k.Trig == TTrig::Timeout) {
            Fail(k, AdErr::ecTimeout);
            return;
        }
        if (k.Data) {
            uint8_t ch = 0;
            while (k.D.Dispatcher->CharReady() && k.D.Dispatcher->GetChar(ch) == 0) {
            }
            return;
        }
        if (k.Trig != TTrig::OutFree)
            return;
        if (SendPageLines(k))
            EndPageData(k);
        else if (k.FP->State == tfSendPage)
            ArmOutFree(k);
        return;
    case tfDrainPage:
        DrainPage(k);
        return;
    case tf1PageEnd:
        if (Has(k.FP, "OK")) {
            C.RetryCount = 0;
            Go(k, tf1PrepareEOP);
            Status(k, FaxStatus::fpSendPageStatus);
        }
        return;
    case tf1PrepareEOP:
        if (++C.RetryCount > 3) {
            C.ForceStatus = true;
            Fail(k, AdErr::ecTimeout);
            return;
        }
        Pause(500);
        SendFrameCommand(k.FP, "AT+FTH=3");
        Go(k, tf1SendEOP);
        return;
    case tf1SendEOP:
        SendEOPFrame(k);
        return;
    case tf1WaitMPS:
    case tf1WaitEOP:
        if (Has(k.FP, "OK")) {
            Pause(200);
            SendFrameCommand(k.FP, "AT+FRH=3");
            ArmTimeout(k.FP, 54);
            Go(k, tf1WaitMCF);
        }
        return;
    case tf1WaitMCF:
        WaitMCF(k);
        return;
    case tf1SendDCN:
        if (Has(k.FP, "CONNECT")) {
            SendFrame(k.FP, FrameShort(0xFB));
            Go(k, tf1Hangup);
        }
        return;
    case tf1Hangup:
        if (Has(k.FP, "OK")) {
            SendCommand(k.FP, "ATH");
            ArmTimeout(k.FP, 26);
            Go(k, tf1WaitHangup);
        }
        return;
    case tf1WaitHangup:
        if (Has(k.FP, "OK"))
            Go(k, tfClose);
        return;
    case tf2SendEOP:
        C.PageConfirmed = false;
        C.Response.clear();
        ArmTimeout(k.FP, C.TransmitWait);
        Status(k, FaxStatus::fpSendPageStatus);
        Go(k, k.D.Class == ClassType::ctClass2 ? tf2WaitFPTS : tf20CheckPage);
        return;
    case tf2WaitFPTS:
        if (!Has(k.FP, "OK")) {
            Fail(k, AdErr::ecFaxSessionError);
            return;
        }
        if (!C.MorePages)
            SendCommand(k.FP, "AT+FET=2");
        else
            SendCommand(k.FP, C.Resolution != C.PrevResolution ? "AT+FET=1" : "AT+FET=0");
        ArmTimeout(k.FP, C.TransmitWait);
        Go(k, tf2WaitFET);
        return;
    case tf2WaitFET:
        WaitFET(k);
        return;
    case tf2WaitPageOK:
        WaitPageOK(k);
        return;
    case tf2SendNewParams:
        if (C.MorePages) {
            SendClass2Params(k, std::string(1, C.Resolution));
            Go(k, tf2GetParams);
        } else {
            Go(k, tfClose);
        }
        return;
    case tf2NextPage:
        if (C.MorePages) {
            Pause(kMsPerTick);
            SendCommand(k.FP, "AT+FDT");
            Go(k, tf2GetParams);
        } else {
            Go(k, tfClose);
        }
        return;
    case tf20CheckPage:
        CheckPage20(k);
        return;
    case tfClose:
        Close(k);
        return;
    case tfCompleteOK:
        CompleteOK(k);
        return;
    case tfAbort:
        Abort(k);
        return;
    }
}

TTrig TriggerOf(const TFaxData& D, uint32_t msg, uint32_t wParam, bool& foreign)
{
    foreign = false;
    if (msg == apw_TriggerAvail || msg == apw_FaxCancel || msg == apw_TriggerDeviceLost)
        return TTrig::None;
    const int h = static_cast<int>(wParam);
    if (h == D.StatusTrigger)
        return TTrig::Status;
    if (h == D.TimeoutTrigger)
        return TTrig::Timeout;
    if (h == D.OutFreeTrigger)
        return TTrig::OutFree;
    if (h == D.OutUsedTrigger)
        return TTrig::OutUsed;
    foreign = true;
    return TTrig::None;
}

} // namespace

const char* SendStateName(SendStates state)
{
    return state < kSendStateCount ? kStates[state].Name : "?";
}

void fFaxTransmit(uint32_t Msg, uint32_t wParam, int32_t lParam)
{
    PFaxRec FP = afRunOfTrigger(lParam);
    if (!FP)
        return;
    std::lock_guard lock(FP->HandlerLock);
    TFaxData& D = *FP->PData;
    if (!D.HandlerRegistered && Msg != apw_FaxCancel)
        return;
    bool foreign = false;
    TCall k{FP, D, *FP->CData};
    k.Trig = TriggerOf(D, Msg, wParam, foreign);
    if (foreign || FP->State == tfAbort || FP->State == tfDone)
        return;
    k.Data = Msg == apw_TriggerAvail;
    k.Cancel = Msg == apw_FaxCancel || FP->CancelPending.exchange(false);
    if (k.Cancel) {
        D.StatusCode = FaxStatus::fpCancel;
        D.Error = AdErr::ecCancelRequested;
        FP->State = tfAbort;
        afFaxStatus(FP, false, false);
        k.Trig = TTrig::None;
    } else if (const int32_t lost = DeviceLost(FP); lost != 0) {
        afReportError(FP, lost);
        FP->State = tfAbort;
        k.Trig = TTrig::None;
    }
    bool first = true;
    while (true) {
        if (k.Trig == TTrig::Status || k.C.ForceStatus) {
            k.C.ForceStatus = false;
            afFaxStatus(FP, false, false);
            D.Dispatcher->SetTimerTrigger(D.StatusTrigger, Secs2Ticks(D.StatusInterval), true);
        }
        const uint8_t s = FP->State;
        if (k.Trig != TTrig::Status || !first) {
            bool run = true;
            if (kStates[s].Reads && !k.Cancel)
                run = PreProcess(k) && FP->State == s;
            if (run)
                RunState(k);
        }
        first = false;
        const uint8_t now = FP->State;
        if (now == tfDone || k.Stop)
            break;
        uint8_t exit = kStates[now].Exit;
        if (now == tfWaitXon && now != s && D.Dispatcher->CharReady())
            exit = 2; // the XON came with the CONNECT: no new data event follows
        if (exit == 0 || exit == 3)
            break;
        if (exit == 2 && !D.Dispatcher->CharReady())
            break;
        k.Trig = TTrig::None;
        k.Data = exit == 2;
        k.Cancel = false;
    }
    // Leaving tfGetEntry, or ending a call in it, frees the start for others.
    PFaxRec mine = FP;
    if (FP->State != tfGetEntry)
        gStarting.compare_exchange_strong(mine, nullptr);
}
