#pragma once

#include <QMainWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "core/daily_log.h"
#include "mail/gateway_schedule.h"
#include "platform/gui_message.h"

class TAccountList;
class TConfig;
class TGatewayConfigFrm;
class TGatewayDialup;
class TGatewayExchange;
class TThread;

// The mail gateway's window and engine: it decides when the station
// connects to the Internet mail servers (polling, four times of day, mail
// waiting with immediate delivery, the Connect button), runs each connection
// and keeps the status log, shown here and written to
// LOGS/MAIL_GATEWAY_mmdd.TXT. It has its own notification-area icon and menu.
//
// Choices where the station's settings leave room:
// - A connection over the local network runs on a worker thread: the window
//   stays live, and log lines and the end of the connection come back to
//   the GUI thread. While one runs (Dialling set), no other starts: the
//   timers pass and Connect turns into Disconnect, which aborts it.
// - POPTimer is never stopped by a failure: a failed start moves the next
//   poll one interval on, so the gateway neither gives up nor retries every
//   second. Times of day keep their own daily flags (TGatewaySchedule).
// - A log line that cannot reach its file is still shown, and the box about
//   it appears once until the file can be written again.
class TMailGateway : public QMainWindow {
    Q_OBJECT
public:
    TMailGateway(QWidget* owner, TConfig* config, TGatewayConfigFrm* gatewayConfig,
                 TAccountList* accountList);
    ~TMailGateway() override;

    // The sending and fetching (owned). Without one a connection exchanges
    // nothing.
    void SetExchange(std::unique_ptr<TGatewayExchange> exchange);
    TGatewayExchange* Exchange() const { return FExchange.get(); }
    // The dial-up side (owned); see gateway_dialup.h. Without one, a
    // connection with dial-up switched on finds no phone-book entry.
    void SetDialup(std::unique_ptr<TGatewayDialup> dialup);
    TGatewayDialup* Dialup() const { return FDialup.get(); }

    // Adds the notification-area icon where the desktop has one.
    void AddTrayIcon();

    // Any thread: a stamped line to the daily file and, when `show`, to the
    // window.
    void AddLogLine(const std::string& text, bool show = true);
    // The four lines on dial-up, connection times, polling and delivery.
    void ShowSettingsSummary();
    void UpdateScheduledFlags();
    int CountOutgoingMail();

    // Any thread but the GUI thread: the work of the connection that a
    // starter has begun, sending and, unless send-only or stopped, fetching;
    // blocks until done. A second call while one runs returns at once.
    void RunExchange();
    // Any thread: the end of a connection. Dial-up hangs up; otherwise the
    // window goes back to idle. Unless send-only, and with polling on, the
    // next poll is set an interval ahead and announced.
    void SchedulePoll();
    // Any thread: the window back to idle (Connect, menu enabled, Dialling
    // cleared).
    void SetIdle();
    // Any thread: after a failed dial-up connection, the next poll an
    // interval ahead, announced with the hint to click Connect.
    void ScheduleRetry();

    // A connection is being made or runs; set by the starters, cleared by
    // SetIdle.
    std::atomic<bool> Dialling{false};
    // The current connection sends only.
    std::atomic<bool> SendOnly{false};
    TGatewaySchedule Schedule;

    // Controls.
    QPlainTextEdit* StatusMemo;
    QToolButton* EnabledButton;
    QPushButton* Button5; // Clear
    QPushButton* Button6; // View Log
    QPushButton* Button3; // saves the view to log.txt
    QPushButton* Button2; // "&P", no action
    QMenu* File1;
    QAction* Exit1;
    QAction* ConfigureMenu;
    QMenu* PopupMenu1;
    QAction* Mail1;
    QAction* ConfigureGatewayPopup;
    QTimer* POPTimer;
    QTimer* Timer1;
    QSystemTrayIcon* TrayIcon() const { return FTrayIcon; }

    // Handlers (public so that tests drive them as the controls do).
    void POPTimerTimer();
    void Timer1Timer();
    void EnabledButtonClick();
    void ConfigureGatewayPopupClick();
    void Mail1Click();
    void Exit1Click();
    void Button1Click(); // Clear
    void Button3Click();
    void Button4Click(); // View Log

    // Waits for a running worker to end (tests).
    bool WaitForConnection(int timeoutMs);

private:
    enum class TStarter { Poll, Scheduled, MailWaiting, Connect };
    void StartConnection(TStarter starter);
    void WorkerDone();
    void ShowConnecting();
    void AnnounceNextPoll(const char* text, bool withHint);
    void ReportLogFailure(const std::string& path);
    TGatewaySchedule::TSettings ScheduleSettings() const;
    bool PollingOn(int* interval = nullptr) const;
    // Runs `fn` on the GUI thread: at once there, queued from elsewhere.
    template <class Fn> void OnGui(Fn fn);

    TConfig* FConfig;
    TGatewayConfigFrm* FGatewayConfig;
    TAccountList* FAccountList;
    std::unique_ptr<TGatewayExchange> FExchange;
    std::unique_ptr<TGatewayDialup> FDialup;
    // The dial-up side as the dial thread may reach it, emptied before the
    // dial-up side is freed.
    std::atomic<TGatewayDialup*> FDialupLive{nullptr};
    TGuiCallQueue FCalls; // before the worker: its last post lands or is dropped
    std::unique_ptr<TThread> FWorker;
    std::mutex FExchangeLock; // held by RunExchange
    std::atomic<bool> FViaDialup{false};
    std::atomic<bool> FLogFailed{false};
    bool FConfiguring = false;
    TDailyLog FLog{"MAIL_GATEWAY_"};
    QSystemTrayIcon* FTrayIcon = nullptr;
};
