#include "mail/mail_gateway_dialup.h"

#include <QThread>
#include <algorithm>
#include <chrono>

#include "core/config.h"
#include "mail/gateway_exchange.h"
#include "mail/mail_gateway.h"
#include "netlib/ras/ip_ras.h"
#include "platform/gui_message.h"

namespace {

constexpr int kHangupWatchdogMs = 120000;

} // namespace

TDialThread::TDialThread(TMailGatewayDialup& owner, TIpRasDialer* rasDialer)
    : RasDialer(rasDialer), FOwner(owner)
{
}

TDialThread::~TDialThread()
{
    TerminateAndWait();
}

void TDialThread::Execute()
{
    FOwner.RunDialThread();
}

TMailGatewayDialup::TMailGatewayDialup(TMailGateway& gateway, TConfig& config)
    : RasDialer(new TIpRasDialer(this)), HangupTimer(new QTimer(this)), FGateway(gateway),
      FConfig(config)
{
    RasDialer->SetDialMode(dmSync);
    RasDialer->SetHangupOnDestroy(true);
    RasDialer->OnDisconnected = [this](QObject*) { RasDialerDisconnected(); };
    HangupTimer->setInterval(kHangupWatchdogMs);
    connect(HangupTimer, &QTimer::timeout, this, [this] { HangupTimerTimer(); });
}

TMailGatewayDialup::~TMailGatewayDialup()
{
    FClosing = true;
    HangupTimer->stop();
    try {
        RasDialer->Hangup();
    } catch (const std::exception&) {
        // No dial-up service: nothing to hang up.
    }
    std::vector<std::unique_ptr<TDialThread>> threads;
    {
        std::lock_guard lock(FThreadsLock);
        DropDialThread();
        threads = std::move(FRetired);
    }
    threads.clear(); // waits for each run to end
}

std::string TMailGatewayDialup::ConnectionName() const
{
    auto lock = FConfig.Lock();
    return FConfig.Gateway.DialupConnection;
}

std::vector<std::string> TMailGatewayDialup::ListEntries()
{
    std::vector<std::string> entries;
    try {
        RasDialer->ListEntries(&entries);
    } catch (const std::exception&) {
        entries.clear();
    }
    return entries;
}

bool TMailGatewayDialup::StartDialupConnection()
{
    std::string entry, user, password;
    {
        auto lock = FConfig.Lock();
        entry = FConfig.Gateway.DialupConnection;
        user = FConfig.Gateway.DialupLoginName;
        password = FConfig.Gateway.DialupPassword;
    }
    try {
        std::vector<std::string> entries;
        RasDialer->ListEntries(&entries);
        if (std::find(entries.begin(), entries.end(), entry) == entries.end()) {
            FGateway.AddLogLine("Error: " + entry + " is an invalid connection.");
            DialRequested = false;
            return false;
        }
        IgnoreNextDisconnect = true;
        DialRequested = true;
        FStopped = false;
        RasDialer->SetEntryName(entry);
        RasDialer->SetPassword(password);
        RasDialer->SetUserName(user);
        std::lock_guard lock(FThreadsLock);
        ReapDialThreads();
        DropDialThread();
        FDialThread = std::make_unique<TDialThread>(*this, RasDialer);
        FDialThread->Resume();
        return true;
    } catch (const std::exception&) {
        FGateway.AddLogLine("Windows RAS Dial Error to: " + entry);
        DialRequested = false;
        IgnoreNextDisconnect = false;
        return false;
    }
}

void TMailGatewayDialup::RunDialThread()
{
    try {
        FDialInProgress = true;
        const int result = RasDialer->Dial();
        FDialInProgress = false;
        LastDialResult = result;
        if (FClosing)
            return;
        if (result == 0) {
            if (!DialRequested || FStopped) {
                // Stopped while dialling: the line is not wanted.
                RasDialer->Hangup();
                return;
            }
            FGateway.AddLogLine("Dialup Networking: Connected to " + RasDialer->EntryName());
            FGateway.RunExchange();
            FGateway.SchedulePoll();
            return;
        }
        if (FStopped) {
            IgnoreNextDisconnect = false;
            return;
        }
        if (result == RasCode::ERROR_NO_ANSWER)
            FGateway.AddLogLine("Dialup Networking Error: The remote computer did not respond.");
        else
            FGateway.AddLogLine("Dialup Networking Error: " + RasDialer->GetErrorText(result));
        AfterFailedDial();
    } catch (const std::exception&) {
        FDialInProgress = false;
        FGateway.AddLogLine("Windows RAS DIAL Thread Error!", false);
        FGateway.AddLogLine("Error starting Windows Dial-up services");
        AfterFailedDial();
    }
}

void TMailGatewayDialup::AfterFailedDial()
{
    FGateway.SetIdle();
    DialRequested = false;
    IgnoreNextDisconnect = false;
    FGateway.ScheduleRetry();
}

void TMailGatewayDialup::HangupConnection()
{
    if (FDialInProgress)
        FStopped = true;
    try {
        FGateway.AddLogLine("Hanging up Connection. Please Wait.");
        StartWatchdog();
        RasDialer->Hangup();
        IgnoreNextDisconnect = false;
        FGateway.Schedule.RefreshPending = true;
    } catch (const std::exception&) {
        // The watchdog stays armed and tries again.
        FGateway.AddLogLine("Windows RAS Hangup Error to: " + ConnectionName());
        FGateway.Schedule.RefreshPending = true;
    }
    std::lock_guard lock(FThreadsLock);
    DropDialThread();
}

void TMailGatewayDialup::RasDialerDisconnected()
{
    if (IgnoreNextDisconnect.exchange(false) || FClosing)
        return;
    FGateway.AddLogLine("Windows RAS Disconnected");
    DialRequested = false;
    FGateway.Schedule.RefreshPending = false;
    StopWatchdog();
    // A line that dropped under a running exchange ends it now.
    if (TGatewayExchange* exchange = FGateway.Exchange())
        exchange->Abort();
    FGateway.SetIdle();
}

void TMailGatewayDialup::HangupTimerTimer()
{
    HangupTimer->stop();
    if (!FGateway.Schedule.RefreshPending)
        return;
    try {
        RasDialer->Hangup();
    } catch (const std::exception&) {
        // Tried once more; the state below is idle either way.
    }
    FGateway.AddLogLine("Windows RAS Dial Disconnection Error");
    FGateway.AddLogLine("Attempting to hangup connection");
    {
        std::lock_guard lock(FThreadsLock);
        DropDialThread();
    }
    FGateway.SetIdle();
    DialRequested = false;
    IgnoreNextDisconnect = false;
    FGateway.ScheduleRetry();
}

void TMailGatewayDialup::DropDialThread()
{
    if (!FDialThread)
        return;
    FDialThread->Terminate();
    FRetired.push_back(std::move(FDialThread));
}

void TMailGatewayDialup::ReapDialThreads()
{
    std::erase_if(FRetired, [](const std::unique_ptr<TDialThread>& t) {
        return t->Finished() && !t->IsCurrent();
    });
}

bool TMailGatewayDialup::WaitForDialThreads(uint32_t timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        {
            std::lock_guard lock(FThreadsLock);
            const bool running =
                (FDialThread && !FDialThread->Finished()) ||
                std::any_of(FRetired.begin(), FRetired.end(),
                            [](const std::unique_ptr<TDialThread>& t) { return !t->Finished(); });
            if (!running)
                return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        SleepMs(10);
    }
}

void TMailGatewayDialup::StartWatchdog()
{
    if (IsGuiThread())
        HangupTimer->start();
    else
        FCalls.Post([this] { HangupTimer->start(); });
}

void TMailGatewayDialup::StopWatchdog()
{
    if (IsGuiThread())
        HangupTimer->stop();
    else
        FCalls.Post([this] { HangupTimer->stop(); });
}
