#include "fax/aw_fax_receive.h"

#include "serial/ad_except.h"

#include <array>

// Decisions of the receive machine beyond the line rules:
// - A call already connected (fSetConnectState) starts with the call's
//   counters cleared and page status rpsNewDocument, at rf2GetSenderID in
//   Class 2/2.0 but at rf1SendCSI in Class 1 (where Class 1 answering hands
//   over): rf2GetSenderID reads reports a Class 1 modem never gives. The
//   mark holds for that one call.
// - "ERROR" in rf2GetPageResult is that state's answer for a bad page (the
//   page is cut and the call goes on), not a modem fault ending the call.
// - Class 1 asks the components to accept the fax as soon as the sender's
//   TSI and DCS are in, before training and CFR, so a refused call never
//   gets as far as CFR.
// - After EOM the machine answers MCF and goes back to CSI/DIS (AT+FTH=3),
//   and the pages after it go into the same file; after MPS it waits for
//   the page carrier's CONNECT before taking page data.
// - A training check with no bytes at all counts as failed (FTT).
// - A Class 2/2.0 page the modem reports bad is cut from the file and its
//   number given back, so the file holds only good pages numbered 1..n.
// - A call that breaks off keeps the pages received so far: the open page
//   is ended, the file closed under its name and the fax logged as failed.
// - A page growing past MaxPageBytes (a far end that never ends its page)
//   breaks the call off the same way, but that page is cut, not kept.
// - A modem that goes away (its device lost) breaks the call off the same
//   way at the next handler call, with the serial layer's code, and ends the
//   run: nothing is hung up, and no next call is awaited on that device.

namespace {

using namespace FaxLine;

enum class TTrig { None, Status, Timeout, Other };

struct TCall {
    PFaxRec FP;
    TFaxData& D;
    TC12AbsData& C;
    TTrig Trig = TTrig::None;
    bool Cancel = false;
    bool Data = false;
    bool Busy = false;
};

// Each state: name, exit code, whether the modem's answer is read first.
constexpr std::array<TFaxStateRow<ReceiveStates>, kReceiveStateCount> kStates{{
    {rfNone, "rfNone", 0, false},
    {rfInit, "rfInit", 1, false},
    {rf1Init1, "rf1Init1", 2, true},
    {rf2Init1, "rf2Init1", 2, true},
    {rf2Init1A, "rf2Init1A", 2, true},
    {rf2Init1B, "rf2Init1B", 2, true},
    {rf2Init2, "rf2Init2", 2, true},
    {rf2Init3, "rf2Init3", 2, true},
    {rfWaiting, "rfWaiting", 2, true},
    {rfAnswer, "rfAnswer", 1, false},
    {rf1SendCSI, "rf1SendCSI", 2, true},
    {rf1SendDIS, "rf1SendDIS", 2, true},
    {rf1CollectFrames, "rf1CollectFrames", 2, true},
    {rf1CollectRetry1, "rf1CollectRetry1", 3, false},
    {rf1CollectRetry2, "rf1CollectRetry2", 3, false},
    {rf1StartTrain, "rf1StartTrain", 2, true},
    {rf1CollectTrain, "rf1CollectTrain", 3, false},
    {rf1Timeout, "rf1Timeout", 0, false},
    {rf1Retrain, "rf1Retrain", 2, true},
    {rf1FinishTrain, "rf1FinishTrain", 2, true},
    {rf1SendCFR, "rf1SendCFR", 2, true},
    {rf1WaitPageConnect, "rf1WaitPageConnect", 2, true},
    {rf2ValidConnect, "rf2ValidConnect", 2, true},
    {rf2GetSenderID, "rf2GetSenderID", 2, true},
    {rf2GetConnect, "rf2GetConnect", 2, true},
    {rfStartPage, "rfStartPage", 1, false},
    {rfGetPageData, "rfGetPageData", 2, false},
    {rf1FinishPage, "rf1FinishPage", 2, true},
    {rf1WaitEOP, "rf1WaitEOP", 2, true},
    {rf1WritePage, "rf1WritePage", 1, false},
    {rf1SendMCF, "rf1SendMCF", 2, true},
    {rf1WaitDCN, "rf1WaitDCN", 2, true},
    {rf1WaitHangup, "rf1WaitHangup", 2, true},
    {rf2GetPageResult, "rf2GetPageResult", 2, true},
    {rf2GetFHNG, "rf2GetFHNG", 2, true},
    {rfComplete, "rfComplete", 1, false},
    {rfAbort, "rfAbort", 1, false},
    {rfDone, "rfDone", 3, false},
}};

static_assert(FaxStatesInOrder(kStates), "one row per state, in order");

constexpr uint8_t DLE = 0x10;
constexpr uint8_t ETX = 0x03;
constexpr uint8_t DC2 = 0x12;
constexpr int kMaxDataPerTurn = 10000;

void Go(TCall& k, ReceiveStates s)
{
    k.FP->State = s;
}

void Fail(TCall& k, int32_t code)
{
    afReportError(k.FP, code);
    Go(k, rfAbort);
}

void Status(TCall& k, int32_t code, bool force = false)
{
    k.D.StatusCode = code;
    if (force)
        k.C.ForceStatus = true;
}

void Report(TCall& k, bool first, bool last)
{
    afFaxStatus(k.FP, first, last);
    k.C.StatusSent = !last;
}

void BusyIf(TCall& k, bool classOk)
{
    if (classOk && (k.FP->MachineFlags & mfSafeMode))
        k.Busy = true;
}

bool IsClass1(const TCall& k)
{
    return k.D.Class == ClassType::ctClass1;
}

const TFaxClassRecord& Cmds(const TCall& k)
{
    return *k.C.Commands;
}

// Counts "RING" lines and removes them; true when nothing else is left.
bool OnlyRings(TCall& k)
{
    std::string& r = k.C.Response;
    for (auto p = r.find("RING"); p != std::string::npos; p = r.find("RING")) {
        r.erase(p, 4);
        ++k.C.RingCount;
    }
    return r.find_first_not_of(" \r\n") == std::string::npos;
}

// Hang-up after a refusal and in rfAbort.
void HangUp(TCall& k)
{
    if (k.C.HungUp)
        return; // a refusal hung up already
    k.C.HungUp = true;
    TFaxModemLines& lines = ModemLines(k.FP);
    lines.SetModem(false, false);
    Pause(500);
    lines.SetModem(true, true);
    Pause(500);
    Pause(1000);
    k.D.Dispatcher->PutString("+++");
    Pause(1000);
    k.D.Dispatcher->PutString("ATH\r");
    Pause(1000);
    k.D.Dispatcher->FlushInBuffer();
}

// --- the file -----------------------------------------------------------------

int OpenFile(TCall& k)
{
    k.D.FaxFileName.clear();
    afFaxName(k.FP);
    if (k.D.FaxFileName.empty())
        return AdErr::ecNoFilename;
    k.D.PageCount = 0;
    return k.C.RecvFile.Create(k.D.FaxFileName);
}

int CloseFile(TCall& k)
{
    if (!k.C.RecvFile.IsOpen())
        return 0;
    if (k.C.RecvFile.InPage())
        k.C.RecvFile.EndPage();
    if (k.C.RecvFile.PageCount() == 0) {
        k.C.RecvFile.Abandon(); // nothing was received: no empty file
        return 0;
    }
    return k.C.RecvFile.Close(k.D.RemoteID);
}

int FlushData(TCall& k)
{
    if (k.C.DataFill == 0)
        return 0;
    const int rc = k.C.RecvFile.AddData(k.C.DataBuffer.data(), k.C.DataFill);
    k.C.DataFill = 0;
    return rc;
}

int StartPageInFile(TCall& k)
{
    if (k.C.PageStatus == rpsNewDocument) {
        if (const int rc = CloseFile(k); rc < 0)
            return rc;
        if (const int rc = OpenFile(k); rc < 0)
            return rc;
        k.D.CurrentPage = 1;
        afLogFax(k.FP, lfaxReceiveStart);
    }
    k.C.PageStatus = rpsNewPage;
    const uint16_t flags = (k.C.Fine ? ffHighRes : 0) | (k.C.Wide ? ffHighWidth : 0);
    return k.C.RecvFile.BeginPage(flags);
}

int EndGoodPage(TCall& k)
{
    if (const int rc = FlushData(k); rc < 0)
        return rc;
    if (!k.C.RecvFile.InPage())
        return 0;
    const int rc = k.C.RecvFile.EndPage();
    k.D.PageCount = k.C.RecvFile.PageCount();
    return rc;
}

int CutPage(TCall& k)
{
    k.C.DataFill = 0;
    if (!k.C.RecvFile.InPage())
        return 0;
    --k.D.CurrentPage; // the next good page takes this number
    return k.C.RecvFile.DiscardPage();
}

// Page data of this turn; true when DLE ETX ended the page.
bool CollectPageData(TCall& k)
{
    TApdBaseDispatcher* d = k.D.Dispatcher;
    const bool reverse = Cmds(k).ReversedPageBits;
    uint8_t ch = 0;
    for (int n = 0; n < kMaxDataPerTurn && d->CharReady() && d->GetChar(ch) == 0; ++n) {
        if (k.C.FrameMatch == 1) {
            k.C.FrameMatch = 0;
            if (ch == ETX)
                return true;
            if (ch != DLE)
                continue; // a DLE pair of the modem's own (e.g. DLE SUB): not data
        } else if (ch == DLE) {
            k.C.FrameMatch = 1;
            continue;
        }
        if (reverse) {
            uint8_t r = 0;
            for (int b = 0; b < 8; ++b)
                r = static_cast<uint8_t>(r | (((ch >> b) & 1) << (7 - b)));
            ch = r;
        }
        if (n == 0)
            NewTimer(k.C.Timer, k.C.ReplyWait); // data flows: the event timer starts again
        k.C.DataBuffer[k.C.DataFill++] = ch;
        if (++k.D.DataBytes > k.C.MaxPageBytes) {
            k.C.PageTooLarge = true;
            return true;
        }
        if (k.C.DataFill == k.C.DataBuffer.size()) {
            if (const int rc = FlushData(k); rc < 0) {
                k.C.FileError = rc;
                return true;
            }
        }
    }
    return false;
}

// Training check bytes; true when DLE ETX ended it.
bool CollectTraining(TCall& k)
{
    TApdBaseDispatcher* d = k.D.Dispatcher;
    uint8_t ch = 0;
    while (!TimerExpired(k.C.Timer) && d->CharReady() && d->GetChar(ch) == 0) {
        if (k.C.FrameMatch == 1) {
            k.C.FrameMatch = 0;
            if (ch == ETX)
                return true;
        } else if (ch == DLE) {
            k.C.FrameMatch = 1;
            continue;
        }
        ++k.C.TrainBytes;
        if (ch != 0)
            ++k.C.TrainingErrors;
    }
    return false;
}

// --- response pre-processing ------------------------------------------------------

// False when the handler call ends (nothing complete and not busy).
bool PreProcess(TCall& k)
{
    const uint8_t s = k.FP->State;
    auto timeout = [&] {
        if (s == rf1SendCSI)
            k.C.RetryCount > 0 ? Go(k, rf1CollectRetry1) : Fail(k, AdErr::ecTimeout);
        else if (s == rf1CollectFrames)
            Go(k, rf1CollectRetry1);
        else if (s == rf1WaitDCN)
            Go(k, rfComplete);
        else
            Fail(k, AdErr::ecTimeout);
    };
    if (k.Trig == TTrig::Timeout) {
        timeout();
        return true;
    }
    while (true) {
        const TGot got = Collect(k.FP);
        if (got == TGot::Line) {
            const std::string& r = k.C.Response;
            if (r.find("ERROR") != std::string::npos && s != rf2GetPageResult) {
                Fail(k, AdErr::ecFaxBadModemResult);
            } else if (HasHangup(k.FP) && s != rf2GetFHNG) {
                k.C.HangupCode = ParseHangupCode(r);
                Fail(k, AdErr::ecFaxSessionError);
            }
            return true;
        }
        if (got == TGot::Frame) {
            const TFrameResult fr = DecodeFrame(k.FP, k.C.Frame);
            k.C.Response.clear();
            if (fr == TFrameResult::Disconnect) {
                if (s == rf1WaitDCN)
                    k.D.Error = 0;
                else
                    Fail(k, AdErr::ecCancelRequested);
            } else if (fr == TFrameResult::Retrain) {
                Pause(200);
                SendFrameCommand(k.FP, "AT+FRH=3");
                Go(k, rf1CollectFrames);
            }
            return true;
        }
        if (!k.Busy)
            return false;
        if (TimerExpired(k.C.Timer)) {
            k.Busy = false;
            timeout();
            return true;
        }
        if (const int rc = k.D.Dispatcher->ProcessCommunications(); rc < 0) {
            k.Busy = false;
            Fail(k, rc);
            return true;
        }
        Pause(1);
    }
}

// --- the states -------------------------------------------------------------------

// What a new call starts from.
void ClearCall(TFaxData& D, TC12AbsData& C)
{
    C.LineCount = 0;
    C.Response.clear();
    D.CurrentPage = 0;
    C.RingCount = 0;
    D.DataBytes = 0;
    D.RemoteID.clear();
    D.PhoneNumber.clear();
    D.FaxFileName.clear();
    D.Error = 0;
    C.PageStatus = rpsNewDocument;
    C.NewDocument = false;
    C.RetryCount = 0;
    C.Accepted = false;
    C.HungUp = false;
}

void Init(TCall& k)
{
    ClearCall(k.D, k.C);
    if ((k.FP->MachineFlags & mfIdleStatus) && !k.C.StatusSent)
        Report(k, true, false);
    FlowOff(k.FP);
    ModemLines(k.FP).SetModem(true, true);
    SendCommand(k.FP, k.C.ClassCommand);
    Go(k, IsClass1(k) ? rf1Init1 : rf2Init1);
}

void ReadyForCalls(TCall& k)
{
    DisarmTimeout(k.FP);
    Status(k, FaxStatus::fpWaiting);
    Go(k, k.D.AnswerNow ? rfAnswer : rfWaiting);
}

void Waiting(TCall& k)
{
    if (Has(k.FP, "RING")) {
        ++k.C.RingCount;
        if (k.C.RingCount >= k.C.AnswerOnRing) {
            Go(k, rfAnswer);
            if (!k.C.StatusSent)
                Report(k, true, false);
            ArmTimeout(k.FP, k.C.ReplyWait);
        }
    } else if (Has(k.FP, "NO C")) {
        Status(k, FaxStatus::fpNoConnect);
    } else if (Has(k.FP, "CONNECT")) {
        Fail(k, AdErr::ecFaxDataCall);
    } else if (Has(k.FP, "VOICE") || Has(k.FP, "VCON")) {
        Fail(k, AdErr::ecFaxVoiceCall);
    }
}

void Answer(TCall& k)
{
    if (!k.C.StatusSent)
        Report(k, true, false);
    SendCommand(k.FP, "ATA");
    ArmTimeout(k.FP, k.C.DialWait);
    NewTimer(k.C.Timer, k.C.DialWait);
    Status(k, FaxStatus::fpAnswer, true);
    if (IsClass1(k)) {
        Go(k, rf1SendCSI);
        BusyIf(k, true);
    } else {
        Go(k, rf2ValidConnect);
    }
}

// Asks the components; a refusal hangs up. True when the call goes on.
bool AcceptCall(TCall& k)
{
    if (k.C.Accepted)
        return true;
    if (!afAcceptFax(k.FP, k.D.RemoteID)) {
        if (!IsClass1(k))
            k.D.Dispatcher->PutString("AT+FKS\r");
        afReportError(k.FP, AdErr::ecFileRejected);
        HangUp(k);
        afLogFax(k.FP, lfaxReceiveSkip);
        Go(k, rfAbort);
        return false;
    }
    k.C.Accepted = true;
    if (k.C.PageStatus == rpsNewDocument) {
        if (const int rc = OpenFile(k); rc < 0) {
            Fail(k, rc);
            return false;
        }
        afLogFax(k.FP, lfaxReceiveStart);
        k.C.PageStatus = rpsNewPage;
        k.D.CurrentPage = 0;
    }
    return true;
}

void CollectFrames(TCall& k)
{
    if (Has(k.FP, "CONNECT"))
        return;
    if (!Has(k.FP, "OK"))
        return;
    if (!k.C.LastFrameFinal) {
        SendFrameCommand(k.FP, "AT+FRH=3");
        k.C.RetryCount = 0;
        ArmTimeout(k.FP, 54);
        return;
    }
    if (k.C.LastFCF != Fcf::DCS) { // a final frame other than DCS: listen on
        SendFrameCommand(k.FP, "AT+FRH=3");
        ArmTimeout(k.FP, 54);
        return;
    }
    if (!AcceptCall(k))
        return;
    FlowOn(k.FP);
    SendFrameCommand(k.FP, "AT+FRM=" + TrainModulation(k.C));
    NewTimer(k.C.Timer, k.C.ReplyWait);
    k.C.RetryCount = 0;
    Go(k, rf1StartTrain);
}

void CollectTrain(TCall& k)
{
    if (TimerExpired(k.C.Timer)) {
        k.Busy = false;
        Go(k, rfAbort);
        return;
    }
    if (!CollectTraining(k)) {
        if (k.Busy || k.D.Dispatcher->CharReady())
            return;
        ArmTimeout(k.FP, k.C.ReplyWait);
        return;
    }
    // No bytes at all is no training: FTT.
    if (k.C.TrainBytes > 0 && k.C.TrainingErrors * 100 / k.C.TrainBytes < 10) {
        Go(k, rf1FinishTrain);
    } else {
        SendFrameCommand(k.FP, "AT+FTH=3");
        Go(k, rf1Retrain);
    }
}

void SendMCF(TCall& k)
{
    if (Has(k.FP, "CONNECT")) {
        SendFrame(k.FP, FrameShort(Fcf::MCF));
        return;
    }
    if (!Has(k.FP, "OK"))
        return;
    k.Busy = false;
    if (k.C.MorePages) {
        if (k.C.NewDocument) { // EOM: phase B again, same file
            k.C.NewDocument = false;
            Pause(200);
            SendFrameCommand(k.FP, "AT+FTH=3");
            Go(k, rf1SendCSI);
        } else {
            SendFrameCommand(k.FP, "AT+FRM=" + PageModulation(k.C));
            Go(k, rf1WaitPageConnect);
        }
        return;
    }
    Pause(200);
    SendFrameCommand(k.FP, "AT+FRH=3");
    Go(k, rf1WaitDCN);
    if (const int rc = CloseFile(k); rc < 0) {
        Fail(k, rc);
        return;
    }
    afLogFax(k.FP, lfaxReceiveOk);
    Status(k, FaxStatus::fpGetHangup);
}

void GetSenderID(TCall& k)
{
    const std::string& r = k.C.Response;
    if (r.find(Cmds(k).TSIReport) != std::string::npos) {
        k.D.RemoteID = ReportStationID(r);
        if (!AcceptCall(k))
            return;
        Status(k, FaxStatus::fpGotRemoteID);
    } else if (r.find(Cmds(k).DCSReport) != std::string::npos) {
        ParseClass2Params(k.C, r, false);
        Status(k, FaxStatus::fpSessionParams);
    } else if (Has(k.FP, "OK")) {
        if (!AcceptCall(k)) // no TSI came: ask now, before any page
            return;
        k.Busy = false;
        SendCommand(k.FP, "AT+FDR");
        Go(k, rf2GetConnect);
    }
}

void GetPageResult(TCall& k)
{
    const std::string& r = k.C.Response;
    if (r.find(Cmds(k).PageReport) != std::string::npos) {
        Status(k, FaxStatus::fpGetPageResult, true);
        const auto f = ReportFields(r);
        const int code = !f.empty() && !f[0].empty() ? f[0][0] - '0' : -1;
        k.C.PageGood = code == 1 || code == 3 || code == 5;
        const int rc = k.C.PageGood ? EndGoodPage(k) : CutPage(k);
        if (rc < 0)
            Fail(k, rc);
    } else if (r.find("+FET") != std::string::npos) {
        Status(k, FaxStatus::fpCheckMorePages);
        const auto f = ReportFields(r);
        const int code = !f.empty() && !f[0].empty() ? f[0][0] - '0' : -1;
        static constexpr std::array<uint8_t, 4> kStatus{rpsNewPage, rpsNewDocument,
                                                        rpsEndOfDocument, rpsMoreSame};
        k.C.PageStatus =
            code >= 0 && code <= 3 ? kStatus[static_cast<std::size_t>(code)] : uint8_t{rpsBadPage};
    } else if (Has(k.FP, "OK")) {
        k.Busy = false;
        SendCommand(k.FP, "AT+FDR");
        if (k.C.PageStatus == rpsEndOfDocument) {
            if (const int rc = CloseFile(k); rc < 0) {
                Fail(k, rc);
                return;
            }
            afLogFax(k.FP, lfaxReceiveOk);
            Status(k, FaxStatus::fpGetHangup);
            Go(k, rf2GetFHNG);
        } else {
            Go(k, rf2GetConnect);
        }
    } else if (Has(k.FP, "ERROR")) {
        if (const int rc = CutPage(k); rc < 0) {
            Fail(k, rc);
            return;
        }
        k.Busy = false;
        SendCommand(k.FP, "AT+FDR");
        Go(k, rf2GetConnect);
    }
}

// The last status report of a finished or failed call.
void LastReport(TCall& k)
{
    const bool idle = (k.FP->MachineFlags & mfIdleStatus) != 0;
    if ((k.C.StatusSent && !idle) || k.Cancel)
        Report(k, false, true);
}

void Complete(TCall& k)
{
    SwitchToInitBaud(k.FP);
    if ((k.FP->MachineFlags & mfOneFax) || k.D.AnswerNow) {
        LastReport(k);
        k.C.ModemReady = false;
        Go(k, rfDone);
        afSignalFinish(k.FP);
        return;
    }
    if (!(k.FP->MachineFlags & mfIdleStatus))
        Report(k, false, true);
    Go(k, rfInit);
}

void Abort(TCall& k)
{
    k.Busy = false;
    if (k.C.RecvFile.IsOpen()) {
        FlushData(k);
        CloseFile(k); // the pages received so far stay
        afLogFax(k.FP, lfaxReceiveFail);
    }
    const bool lost = DeviceLost(k.FP) != 0;
    if (!lost)
        HangUp(k);
    LastReport(k);
    if (lost || afOptionsAreOn(k.FP, afExitOnError) || k.Cancel || k.D.AnswerNow ||
        (k.FP->MachineFlags & mfOneFax)) {
        k.C.ModemReady = false;
        Go(k, rfDone);
        afSignalFinish(k.FP);
        return;
    }
    Go(k, rfInit);
}

void RunState(TCall& k)
{
    TC12AbsData& C = k.C;
    switch (static_cast<ReceiveStates>(k.FP->State)) {
    case rfNone:
    case rf2Init2:
    case rf1Timeout:
    case rfDone:
        return;
    case rfInit:
        Init(k);
        return;
    case rf1Init1:
        if (OnlyRings(k))
            return;
        if (!Has(k.FP, "OK")) {
            Fail(k, AdErr::ecFaxInitError);
            return;
        }
        SwitchToNormalBaud(k.FP);
        ReadyForCalls(k);
        return;
    case rf2Init1:
        if (OnlyRings(k))
            return;
        if (!Has(k.FP, "OK")) {
            Fail(k, AdErr::ecFaxInitError);
            return;
        }
        SwitchToNormalBaud(k.FP);
        SendCommand(k.FP,
                    std::string(Cmds(k).CapabilitiesCommand) + "=1," +
                        std::to_string(BitRateCode(C.MaxBitRate == 0 ? 14400 : C.MaxBitRate)) +
                        ",0,2,0," + C.ECDigit + ",0,0");
        Go(k, Cmds(k).FlowAndReports ? rf2Init1A : rf2Init3);
        return;
    case rf2Init1A:
        if (!Has(k.FP, "OK")) {
            Fail(k, AdErr::ecFaxInitError);
            return;
        }
        SendCommand(k.FP, "AT+FLO=2");
        Go(k, rf2Init1B);
        return;
    case rf2Init1B:
        if (!Has(k.FP, "OK")) {
            Fail(k, AdErr::ecFaxInitError);
            return;
        }
        SendCommand(k.FP, "AT+FNR=1,1,1,0");
        Go(k, rf2Init3);
        return;
    case rf2Init3:
        if (Has(k.FP, "OK"))
            ReadyForCalls(k);
        else
            Fail(k, AdErr::ecFaxInitError);
        return;
    case rfWaiting:
        Waiting(k);
        return;
    case rfAnswer:
        Answer(k);
        return;
    case rf1SendCSI:
        if (Has(k.FP, "CONNECT")) {
            SendFrame(k.FP, FrameID(0x40, k.D.StationID));
            Go(k, rf1SendDIS);
        }
        return;
    case rf1SendDIS:
        if (Has(k.FP, "CONNECT")) {
            // What this modem offers, not the speed of the last DCS.
            C.SpeedIndex = BestLocalSpeed(C);
            SendFrame(k.FP, FrameDIS(C));
        } else if (Has(k.FP, "OK")) {
            Pause(200);
            Pause(200);
            SendFrameCommand(k.FP, "AT+FRH=3");
            ArmTimeout(k.FP, 54);
            Go(k, rf1CollectFrames);
        }
        return;
    case rf1CollectFrames:
        CollectFrames(k);
        return;
    case rf1CollectRetry1:
        if (++C.RetryCount > 3) {
            Fail(k, AdErr::ecFaxNoCarrier);
            return;
        }
        SendCommand(k.FP, "AT\r");
        Go(k, rf1CollectRetry2);
        return;
    case rf1CollectRetry2:
        SendFrameCommand(k.FP, "AT+FTH=3");
        Go(k, rf1SendCSI);
        return;
    case rf1StartTrain:
        if (Has(k.FP, "CONNECT")) {
            C.TrainBytes = 0;
            C.TrainingErrors = 0;
            C.FrameMatch = 0;
            NewTimer(C.Timer, C.ReplyWait);
            Go(k, rf1CollectTrain);
        }
        return;
    case rf1CollectTrain:
        CollectTrain(k);
        return;
    case rf1Retrain:
        if (Has(k.FP, "CONNECT")) {
            SendFrame(k.FP, FrameShort(Fcf::FTT));
            if (C.SpeedIndex <= 1)
                Fail(k, AdErr::ecFaxTrainError);
        } else if (Has(k.FP, "OK")) {
            SendFrameCommand(k.FP, "AT+FRH=3");
            ArmTimeout(k.FP, 54);
            Go(k, rf1CollectFrames);
        }
        return;
    case rf1FinishTrain: {
        const std::string& r = C.Response;
        if (r.size() >= 5 && r.compare(r.size() - 5, 5, "RRIER") == 0) {
            FlowOff(k.FP);
            Pause(20);
            SendFrameCommand(k.FP, "AT+FTH=3");
            Go(k, rf1SendCFR);
        }
        return;
    }
    case rf1SendCFR:
        if (Has(k.FP, "CONNECT")) {
            FlowOn(k.FP);
            SendFrame(k.FP, FrameShort(Fcf::CFR));
        } else if (Has(k.FP, "OK")) {
            k.Busy = false;
            SendFrameCommand(k.FP, "AT+FRM=" + PageModulation(C));
            Go(k, rf1WaitPageConnect);
        }
        return;
    case rf1WaitPageConnect:
        if (Has(k.FP, "CONNECT")) {
            Status(k, FaxStatus::fpSessionParams);
            Go(k, rfStartPage);
        }
        return;
    case rf2ValidConnect:
        if (Has(k.FP, Cmds(k).ConnectReport)) {
            ArmTimeout(k.FP, C.ReplyWait);
            Status(k, FaxStatus::fpIncoming);
            Go(k, rf2GetSenderID);
            BusyIf(k, true);
        }
        return;
    case rf2GetSenderID:
        GetSenderID(k);
        return;
    case rf2GetConnect: {
        const std::string& r = C.Response;
        if (r.find(Cmds(k).DCSReport) != std::string::npos) {
            ParseClass2Params(C, r, false);
            Status(k, FaxStatus::fpSessionParams);
        } else if (Has(k.FP, "CONNECT")) {
            FlowOn(k.FP);
            Go(k, rfStartPage);
            BusyIf(k, true);
        }
        return;
    }
    case rfStartPage:
        k.Busy = false;
        ++k.D.CurrentPage;
        if (const int rc = StartPageInFile(k); rc < 0) {
            Fail(k, rc);
            return;
        }
        C.LineCount = 0;
        C.DataFill = 0;
        C.FrameMatch = 0;
        C.FileError = 0;
        C.PageTooLarge = false;
        k.D.DataBytes = 0;
        ArmTimeout(k.FP, C.ReplyWait);
        if (!IsClass1(k))
            k.D.Dispatcher->PutChar(DC2);
        Status(k, FaxStatus::fpGetPage);
        Go(k, rfGetPageData);
        return;
    case rfGetPageData:
        if (k.Trig == TTrig::Timeout) {
            Fail(k, AdErr::ecTimeout);
            return;
        }
        if (!CollectPageData(k)) {
            ArmTimeout(k.FP, C.ReplyWait);
            return;
        }
        if (C.PageTooLarge) {
            CutPage(k);
            Fail(k, AdErr::ecFaxSessionError);
            return;
        }
        if (C.FileError < 0 || FlushData(k) < 0) {
            Fail(k, C.FileError < 0 ? C.FileError : AdErr::ecDeviceWrite);
            return;
        }
        Status(k, FaxStatus::fpGetPage);
        ArmTimeout(k.FP, C.ReplyWait);
        FlowOff(k.FP);
        C.Response.clear();
        C.LineMatch = 0;
        if (IsClass1(k)) {
            Go(k, rf1FinishPage);
        } else {
            Go(k, rf2GetPageResult);
            BusyIf(k, true);
        }
        return;
    case rf1FinishPage: {
        const std::string& r = C.Response;
        if (r.size() >= 5 && r.compare(r.size() - 5, 5, "RRIER") == 0) {
            SendFrameCommand(k.FP, "AT+FRH=3");
            Go(k, rf1WaitEOP);
            BusyIf(k, true);
        }
        return;
    }
    case rf1WaitEOP:
        if (Has(k.FP, "CONNECT") || !Has(k.FP, "OK"))
            return;
        if (!C.LastFrameFinal) {
            SendFrameCommand(k.FP, "AT+FRH=3");
            return;
        }
        C.MorePages = C.LastFCF == Fcf::MPS || C.LastFCF == Fcf::EOM;
        C.NewDocument = C.LastFCF == Fcf::EOM;
        Go(k, rf1WritePage);
        Status(k, FaxStatus::fpGetPageResult);
        return;
    case rf1WritePage:
        if (const int rc = EndGoodPage(k); rc < 0) {
            Fail(k, rc);
            return;
        }
        SendFrameCommand(k.FP, "AT+FTH=3");
        Go(k, rf1SendMCF);
        Status(k, FaxStatus::fpCheckMorePages);
        return;
    case rf1SendMCF:
        SendMCF(k);
        return;
    case rf1WaitDCN:
        if (Has(k.FP, "CONNECT") || !Has(k.FP, "OK"))
            return;
        if (C.LastFrameFinal) {
            SendCommand(k.FP, "ATH");
            Go(k, rf1WaitHangup);
        } else {
            SendFrameCommand(k.FP, "AT+FRH=3");
        }
        return;
    case rf1WaitHangup:
        if (Has(k.FP, "OK")) {
            Status(k, FaxStatus::fpGotHangup);
            Go(k, rfComplete);
        }
        return;
    case rf2GetPageResult:
        GetPageResult(k);
        return;
    case rf2GetFHNG:
        // The document is in and closed: whatever the code, OK ends the call.
        if (HasHangup(k.FP)) {
            C.HangupCode = ParseHangupCode(C.Response);
            Status(k, FaxStatus::fpGotHangup);
            C.Response.clear();
        } else if (C.Response.find("+FET") != std::string::npos) {
            Status(k, FaxStatus::fpGetHangup);
        } else if (Has(k.FP, "OK")) {
            Go(k, rfComplete);
        }
        return;
    case rfComplete:
        Complete(k);
        return;
    case rfAbort:
        Abort(k);
        return;
    }
}

} // namespace

void rfStartConnected(PFaxRec FP)
{
    TFaxData& D = *FP->PData;
    TC12AbsData& C = *FP->CData;
    ClearCall(D, C);
    const bool class1 = D.Class == ClassType::ctClass1;
    FP->State = class1 ? rf1SendCSI : rf2GetSenderID;
    const int32_t wait = class1 ? C.DialWait : C.ReplyWait;
    FaxLine::ArmTimeout(FP, wait);
    NewTimer(C.Timer, wait);
    if (!C.StatusSent) {
        afFaxStatus(FP, true, false);
        C.StatusSent = true;
    }
}

const char* ReceiveStateName(ReceiveStates state)
{
    return state < kReceiveStateCount ? kStates[state].Name : "?";
}

void fFaxReceive(uint32_t Msg, uint32_t wParam, int32_t lParam)
{
    PFaxRec FP = afRunOfTrigger(lParam);
    if (!FP)
        return;
    std::lock_guard lock(FP->HandlerLock);
    TFaxData& D = *FP->PData;
    if (!D.HandlerRegistered && Msg != apw_FaxCancel)
        return;
    TCall k{FP, D, *FP->CData};
    if (Msg == apw_TriggerTimer || Msg == apw_TriggerStatus) {
        const int h = static_cast<int>(wParam);
        if (h == D.StatusTrigger)
            k.Trig = TTrig::Status;
        else if (h == D.TimeoutTrigger)
            k.Trig = TTrig::Timeout;
        else if (h == D.OutFreeTrigger || h == D.OutUsedTrigger)
            k.Trig = TTrig::Other;
        else
            return; // not this run's
    }
    if (FP->State == rfAbort || FP->State == rfDone)
        return;
    k.Data = Msg == apw_TriggerAvail;
    k.Cancel = Msg == apw_FaxCancel || FP->CancelPending.exchange(false);
    if (k.Cancel) {
        D.StatusCode = FaxStatus::fpCancel;
        D.Error = AdErr::ecCancelRequested;
        FP->State = rfAbort;
        afFaxStatus(FP, false, false);
        k.Trig = TTrig::None;
    } else if (const int32_t lost = DeviceLost(FP); lost != 0) {
        afReportError(FP, lost);
        FP->State = rfAbort;
        k.Trig = TTrig::None;
    }
    if (k.Trig == TTrig::Status || k.C.ForceStatus) {
        k.C.ForceStatus = false;
        afFaxStatus(FP, false, false);
        D.Dispatcher->SetTimerTrigger(D.StatusTrigger, Secs2Ticks(D.StatusInterval), true);
        // A status call runs no state, except one that runs at once: the
        // first call of a run finds rfInit, or a connected call's first state,
        // waiting (what the modem said meanwhile raised no data event).
        if (k.Trig == TTrig::Status && kStates[FP->State].Exit != 1 &&
            FP->State != rf2GetSenderID && FP->State != rf1SendCSI)
            return;
        k.Trig = TTrig::None;
    }
    while (true) {
        const uint8_t s = FP->State;
        bool run = true;
        if (kStates[s].Reads && !k.Cancel)
            run = PreProcess(k) && FP->State == s;
        else if (s == rf1CollectTrain || s == rfGetPageData)
            run = true;
        if (run)
            RunState(k);
        if (k.C.ForceStatus) {
            k.C.ForceStatus = false;
            afFaxStatus(FP, false, false);
        }
        const uint8_t now = FP->State;
        if (now == rfDone)
            break;
        if (!k.Busy) {
            uint8_t exit = kStates[now].Exit;
            if (now == rf1CollectTrain && now != s && D.Dispatcher->CharReady())
                exit = 2; // the check came with the CONNECT: no new data event follows
            if (exit == 0 || exit == 3)
                break;
            if (exit == 2 && !D.Dispatcher->CharReady())
                break;
        } else if (!D.Dispatcher->CharReady()) {
            const int rc = D.Dispatcher->ProcessCommunications();
            if (rc < 0 || TimerExpired(k.C.Timer)) {
                k.Busy = false;
                Fail(k, rc < 0 ? rc : AdErr::ecTimeout);
                continue;
            }
            Pause(1);
        }
        k.Trig = TTrig::None;
        k.Data = true;
        k.Cancel = false;
    }
}
