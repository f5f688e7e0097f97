#include "fax/server/fake_engine_helpers.h"

#include "fax/fax_test_helpers.h"
#include "serial/ad_except.h"

#include <fcntl.h>
#include <pty.h>
#include <stdexcept>
#include <unistd.h>

namespace FakeFax {

namespace {

TScript* gScript = new TScript;

void Finish(PFaxRec FP, int error)
{
    FP->PData->Error = error;
    afFaxStatus(FP, false, true);
    afSignalFinish(FP);
}

void SendMachine(uint32_t, uint32_t, int32_t lParam)
{
    PFaxRec FP = afRunOfTrigger(lParam);
    if (!FP || !FP->PData->HandlerRegistered)
        return;
    TFaxData& D = *FP->PData;
    TScript& s = Script();
    ++s.SendRuns;
    afFaxStatus(FP, true, false);
    if (!afNextFax(FP)) {
        Finish(FP, 0);
        return;
    }
    int result = 0;
    {
        std::lock_guard g(s.Lock);
        s.Sent.push_back(
            {D.PhoneNumber, D.FaxFileName, FaxTest::ReadFile(D.FaxFileName), D.CoverFileName});
        if (!s.SendResults.empty()) {
            result = s.SendResults.front();
            s.SendResults.pop_front();
        }
    }
    afLogFax(FP, lfaxTransmitStart);
    D.StatusCode = FaxStatus::fpDialing;
    afFaxStatus(FP, false, false);
    if (result == 0) {
        D.StatusCode = FaxStatus::fpFinished;
        afLogFax(FP, lfaxTransmitOk);
        const bool again = afNextFax(FP);
        std::lock_guard g(s.Lock);
        s.SecondNextAnswers.push_back(again);
    } else {
        afReportError(FP, result);
        afLogFax(FP, lfaxTransmitFail);
        D.StatusCode = FaxStatus::fpCancel;
    }
    Finish(FP, result);
}

void ReceiveMachine(uint32_t, uint32_t, int32_t lParam)
{
    PFaxRec FP = afRunOfTrigger(lParam);
    if (!FP || !FP->PData->HandlerRegistered)
        return;
    TFaxData& D = *FP->PData;
    TScript& s = Script();
    if (D.StatusCode == 0) {
        ++s.ReceiveRuns;
        D.StatusCode = FaxStatus::fpWaiting;
    }
    if (FP->CancelPending.exchange(false)) {
        D.StatusCode = FaxStatus::fpCancel;
        Finish(FP, AdErr::ecCancelRequested);
        return;
    }
    if (!s.Ring.exchange(false)) {
        D.Dispatcher->SetTimerTrigger(D.StatusTrigger, 1, true);
        return;
    }
    afFaxStatus(FP, true, false);
    if (!afAcceptFax(FP, s.CallerID)) {
        afLogFax(FP, lfaxReceiveSkip);
        Finish(FP, 0);
        return;
    }
    afFaxName(FP);
    FaxTest::WriteFile(D.FaxFileName, s.ReceivedBytes);
    afLogFax(FP, lfaxReceiveStart);
    int result;
    {
        std::lock_guard g(s.Lock);
        s.Received.push_back(D.FaxFileName);
        result = s.ReceiveResult;
    }
    afLogFax(FP, result == 0 ? lfaxReceiveOk : lfaxReceiveFail);
    D.StatusCode = FaxStatus::fpFinished;
    Finish(FP, result);
}

int PrepareReceive(PFaxRec FP)
{
    FP->PData->StatusCode = 0;
    FP->PData->Error = 0;
    return 0;
}

} // namespace

TScript& Script()
{
    return *gScript;
}

void Reset()
{
    // Runs of an earlier test may still hold the old one; it is left to them.
    gScript = new TScript;
}

TFaxEngineProcs SendEngine()
{
    return {nullptr, SendMachine};
}

TFaxEngineProcs ReceiveEngine()
{
    return {PrepareReceive, ReceiveMachine};
}

TPtyPort::TPtyPort(unsigned comNumber)
{
    char name[256];
    if (::openpty(&Master_, &Slave_, name, nullptr, nullptr) != 0)
        throw std::runtime_error("no pseudo-terminal");
    Path_ = name;
    setenv(("SKIPMAIL_COM" + std::to_string(comNumber)).c_str(), name, 1);
}

TPtyPort::~TPtyPort()
{
    ::close(Master_);
    ::close(Slave_);
}

} // namespace FakeFax
