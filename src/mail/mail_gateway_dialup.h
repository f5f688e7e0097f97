#pragma once

#include <QObject>
#include <QTimer>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mail/gateway_dialup.h"
#include "platform/gui_message.h"
#include "platform/thread.h"

class TConfig;
class TIpRasDialer;
class TMailGateway;
class TMailGatewayDialup;

// Dials the phone-book entry and then runs the gateway's exchange on its own
// thread; freed by its owner once its run has ended.
class TDialThread : public TThread {
public:
    TDialThread(TMailGatewayDialup& owner, TIpRasDialer* rasDialer);
    ~TDialThread() override;

    TIpRasDialer* RasDialer;

protected:
    void Execute() override;

private:
    TMailGatewayDialup& FOwner;
};

// The mail gateway's dial-up connection through the dialer RasDialer
// (synchronous dialling, hangs up when freed), following gateway_dialup.h.
//
// Choices where the station's settings leave room:
// - The hang-up watchdog (HangupTimer, 120 s) is armed before each hang-up
//   and stopped by the disconnect handler and by its own tick, so it acts
//   at most once per hang-up and never runs on after it.
// - The flags are atomics: the dial thread and the GUI thread both use them.
// - Entry names match exactly, letter case included, wherever they are
//   compared.
// - A dial that the operator stopped is not reported as an error, and a
//   dial that comes up after the stop is hung up at once.
// - A line that drops while mail is exchanged aborts the exchange, instead
//   of leaving it to the servers' time-outs.
// - The gateway keeps polling through every failure (gateway_dialup.h), so
//   no failure here says that scheduled connections were disabled.
class TMailGatewayDialup : public QObject, public TGatewayDialup {
public:
    // Create on the GUI thread, after the gateway.
    TMailGatewayDialup(TMailGateway& gateway, TConfig& config);
    // Hangs up and waits for the dial threads.
    ~TMailGatewayDialup() override;

    std::vector<std::string> ListEntries() override;
    bool StartDialupConnection() override;
    void HangupConnection() override;

    // The dialer's disconnect notification (any thread).
    void RasDialerDisconnected();
    // The watchdog's tick (GUI thread).
    void HangupTimerTimer();

    TIpRasDialer* RasDialer;
    QTimer* HangupTimer;
    std::atomic<bool> DialRequested{false};
    std::atomic<bool> IgnoreNextDisconnect{false};
    // The RAS code of the last dial (0 = connected).
    std::atomic<int> LastDialResult{0};

    // Waits until no dial thread runs (tests).
    bool WaitForDialThreads(uint32_t timeoutMs);

private:
    friend class TDialThread;
    void RunDialThread();
    void AfterFailedDial();
    // Asks the current dial thread to stop and forgets it; it is freed once
    // its run has ended.
    void DropDialThread();
    // Frees the dial threads whose run has ended (never the caller's own).
    void ReapDialThreads();
    void StartWatchdog();
    void StopWatchdog();
    std::string ConnectionName() const;

    TMailGateway& FGateway;
    TConfig& FConfig;
    TGuiCallQueue FCalls; // before the dial threads, which post to it
    std::mutex FThreadsLock;
    std::unique_ptr<TDialThread> FDialThread;
    std::vector<std::unique_ptr<TDialThread>> FRetired;
    std::atomic<bool> FClosing{false};
    // The dial thread is inside Dial; a hang-up meanwhile is the operator's
    // stop.
    std::atomic<bool> FDialInProgress{false};
    std::atomic<bool> FStopped{false};
};
