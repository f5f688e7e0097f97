#include "mail/mail_gateway.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QScrollBar>
#include <QThread>
#include <QVBoxLayout>

#include "configui/form_controls.h"
#include "core/config.h"
#include "core/date_time.h"
#include "core/draw_menu_icon.h"
#include "core/login_frm.h"
#include "core/message_store.h"
#include "mail/gateway_config_frm.h"
#include "mail/gateway_dialup.h"
#include "mail/gateway_exchange.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "platform/dialogs.h"
#include "platform/gui_message.h"
#include "platform/shell.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace {

std::string ClockTime(std::time_t t)
{
    std::tm tm{};
    localtime_r(&t, &tm);
    return DateTime::FormatTime(tm);
}

} // namespace

template <class Fn> void TMailGateway::OnGui(Fn fn)
{
    if (IsGuiThread())
        fn();
    else
        FCalls.Post(std::move(fn));
}

TMailGateway::TMailGateway(QWidget* owner, TConfig* config, TGatewayConfigFrm* gatewayConfig,
                           TAccountList* accountList)
    : QMainWindow(owner), POPTimer(new QTimer(this)), Timer1(new QTimer(this)), FConfig(config),
      FGatewayConfig(gatewayConfig), FAccountList(accountList)
{
    setObjectName("MailGateway");
    setWindowTitle("Mail Gateway");
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    auto* top = new QHBoxLayout;
    EnabledButton = new QToolButton(central);
    EnabledButton->setObjectName("EnabledButton");
    EnabledButton->setText("Connect");
    EnabledButton->setIcon(MenuIcon("GATEWAY"));
    EnabledButton->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    EnabledButton->setCheckable(true);
    EnabledButton->setToolTip("Click to Retreive Mail from Server Now");
    top->addWidget(EnabledButton);
    top->addWidget(new QLabel("Station Messages", central));
    top->addStretch();
    layout->addLayout(top);
    StatusMemo = new QPlainTextEdit(central);
    StatusMemo->setObjectName("StatusMemo");
    StatusMemo->setReadOnly(true);
    StatusMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    layout->addWidget(StatusMemo);
    auto* bottom = new QHBoxLayout;
    Button3 = FormControls::Button(central, "Button3", "&L", nullptr);
    Button2 = FormControls::Button(central, "Button2", "&P", nullptr);
    Button5 = FormControls::Button(central, "Button5", "&Clear",
                                   "Clear the Currently Displayed Status Messages");
    Button6 = FormControls::Button(central, "Button6", "&View Log", "View the Status Log");
    bottom->addWidget(Button3);
    bottom->addWidget(Button2);
    bottom->addStretch();
    bottom->addWidget(Button5);
    bottom->addWidget(Button6);
    layout->addLayout(bottom);
    setCentralWidget(central);
    resize(520, 360);

    File1 = menuBar()->addMenu("&File");
    File1->addSeparator();
    Exit1 = File1->addAction("&Close");
    ConfigureMenu = menuBar()->addAction("Configure...");
    PopupMenu1 = new QMenu(this);
    Mail1 = PopupMenu1->addAction(MenuIcon("GATEWAY"), "Mail Gateway");
    PopupMenu1->addSeparator();
    ConfigureGatewayPopup = PopupMenu1->addAction(MenuIcon("SETTINGS"), "Configuration");

    connect(EnabledButton, &QToolButton::clicked, this, [this] { EnabledButtonClick(); });
    connect(Button5, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button6, &QPushButton::clicked, this, [this] { Button4Click(); });
    connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
    connect(Exit1, &QAction::triggered, this, [this] { Exit1Click(); });
    connect(ConfigureMenu, &QAction::triggered, this, [this] { ConfigureGatewayPopupClick(); });
    connect(Mail1, &QAction::triggered, this, [this] { Mail1Click(); });
    connect(ConfigureGatewayPopup, &QAction::triggered, this,
            [this] { ConfigureGatewayPopupClick(); });

    POPTimer->setInterval(1000);
    connect(POPTimer, &QTimer::timeout, this, [this] { POPTimerTimer(); });
    Timer1->setInterval(30000);
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
    Timer1->start();

    UpdateScheduledFlags();
    AddLogLine("Mail Gateway has started");
    ShowSettingsSummary();
    if (PollingOn()) {
        Schedule.SetNextPoll(DateTime::NowTime(), 1);
        AddLogLine("Starting scheduled connection at " + ClockTime(Schedule.NextPollTime));
        POPTimer->start();
    }
}

TMailGateway::~TMailGateway()
{
    POPTimer->stop();
    Timer1->stop();
    if (FExchange)
        FExchange->Abort();
    // The dial thread may still call in: it goes first.
    FDialupLive = nullptr;
    FDialup.reset();
    if (FWorker)
        FWorker->TerminateAndWait();
    FWorker.reset();
    FExchange.reset();
}

void TMailGateway::SetExchange(std::unique_ptr<TGatewayExchange> exchange)
{
    FExchange = std::move(exchange);
}

void TMailGateway::SetDialup(std::unique_ptr<TGatewayDialup> dialup)
{
    FDialupLive = nullptr;
    FDialup = std::move(dialup);
    FDialupLive = FDialup.get();
}

void TMailGateway::AddTrayIcon()
{
    if (FTrayIcon || !QSystemTrayIcon::isSystemTrayAvailable())
        return;
    FTrayIcon = new QSystemTrayIcon(MenuIcon("GATEWAY"), this);
    FTrayIcon->setToolTip("VESKAR Mail Gateway");
    FTrayIcon->setContextMenu(PopupMenu1);
    connect(FTrayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger)
                    Mail1Click();
            });
    FTrayIcon->show();
}

bool TMailGateway::PollingOn(int* interval) const
{
    auto lock = FConfig->Lock();
    if (interval)
        *interval = FConfig->Gateway.CheckMailInterval;
    return FConfig->Gateway.CheckMailIntervalEnabled;
}

TGatewaySchedule::TSettings TMailGateway::ScheduleSettings() const
{
    TGatewaySchedule::TSettings s;
    auto lock = FConfig->Lock();
    const TConfig::TGateway& g = FConfig->Gateway;
    s.PollingOn = g.CheckMailIntervalEnabled;
    s.IntervalMinutes = g.CheckMailInterval;
    for (int i = 0; i < 4; ++i) {
        s.Times[i] = g.MailServerScheduledLink[i];
        s.TimesEnabled[i] = g.MailServerScheduledLinkEnabled[i];
    }
    return s;
}

void TMailGateway::AddLogLine(const std::string& text, bool show)
{
    const std::string line = DateTime::BracketStamp(DateTime::NowLocal()) + "  " + text;
    if (FLog.AppendLine(line))
        FLogFailed = false;
    else
        ReportLogFailure(MessageStore::DirPath(DirName::Logs));
    if (!show)
        return;
    OnGui([this, q = ToQt(line)] {
        StatusMemo->appendPlainText(q);
        if (isVisible())
            StatusMemo->verticalScrollBar()->setValue(StatusMemo->verticalScrollBar()->maximum());
    });
}

void TMailGateway::ReportLogFailure(const std::string& path)
{
    if (FLogFailed.exchange(true))
        return;
    // Queued even on the GUI thread: a worker never waits for the operator.
    FCalls.Post([path] {
        ShowMessageBox("Error Creating FILES Directory\n" + path, "Error", MB_OK,
                       TMsgIcon::Warning);
    });
}

void TMailGateway::ShowSettingsSummary()
{
    TConfig::TGateway g;
    {
        auto lock = FConfig->Lock();
        g = FConfig->Gateway;
    }
    AddLogLine(g.DialupEnabled ? "Dialup Networking is Enabled"
                               : "Dialup Networking is Disabled (using Local Area Network)");
    int times = 0;
    for (bool on : g.MailServerScheduledLinkEnabled)
        times += on ? 1 : 0;
    AddLogLine(std::to_string(times) + " Scheduled Send/Receive Connections");
    AddLogLine(g.CheckMailIntervalEnabled ? "Polled checking is Enabled every " +
                                                std::to_string(g.CheckMailInterval) + " minutes"
                                          : "Polled checking is Disabled. Connect Manually.");
    AddLogLine(g.DeliverMailImmediately != 0 ? "Outgoing mail is delivered immediately"
                                             : "Outgoing mail is delivered when receiving mail");
}

void TMailGateway::UpdateScheduledFlags()
{
    Schedule.UpdateScheduledFlags(DateTime::NowLocal(), ScheduleSettings());
    POPTimer->start();
}

int TMailGateway::CountOutgoingMail()
{
    return FExchange ? FExchange->CountOutgoingMail() : 0;
}

void TMailGateway::ShowConnecting()
{
    ConfigureMenu->setEnabled(false);
    EnabledButton->setText("Disconnect");
    EnabledButton->setChecked(true);
    EnabledButton->repaint();
}

void TMailGateway::SetIdle()
{
    OnGui([this] {
        ConfigureMenu->setEnabled(true);
        EnabledButton->setText("Connect");
        EnabledButton->setChecked(false);
        EnabledButton->repaint();
        Dialling = false;
    });
}

void TMailGateway::AnnounceNextPoll(const char* text, bool withHint)
{
    int interval = 0;
    if (!PollingOn(&interval))
        return;
    Schedule.SetNextPoll(DateTime::NowTime(), interval);
    AddLogLine(text + ClockTime(Schedule.NextPollTime));
    if (withHint)
        AddLogLine("Click Connect to attempt a connection now.");
    POPTimer->start();
}

void TMailGateway::ScheduleRetry()
{
    OnGui([this] { AnnounceNextPoll("Next polled connection attempt is at ", true); });
}

void TMailGateway::StartConnection(TStarter starter)
{
    if (Dialling || FWorker)
        return;
    Dialling = true;
    SendOnly = starter == TStarter::MailWaiting;
    // Begun here, not on the thread that runs it: a stop that comes before
    // that thread does is kept.
    if (FExchange)
        FExchange->Begin();
    ShowConnecting();
    bool dialup;
    std::string entry;
    {
        auto lock = FConfig->Lock();
        dialup = FConfig->Gateway.DialupEnabled;
        entry = FConfig->Gateway.DialupConnection;
    }
    FViaDialup = dialup;
    if (dialup) {
        if (starter == TStarter::Scheduled)
            AddLogLine("Starting Scheduled Connection to: " + entry);
        else if (starter != TStarter::MailWaiting)
            AddLogLine("Starting Connection to: " + entry);
        bool started = false;
        if (FDialup)
            started = FDialup->StartDialupConnection();
        else
            AddLogLine("Error: " + entry + " is an invalid connection.");
        if (!started) {
            SetIdle();
            AnnounceNextPoll("Next polled connection attempt is at ", true);
        }
        return;
    }
    if (starter == TStarter::Scheduled)
        AddLogLine("Starting Scheduled Local Area Connection");
    else if (starter != TStarter::MailWaiting)
        AddLogLine("Starting Local Area Connection");
    FWorker = std::make_unique<TThread>([this](TThread&) {
        RunExchange();
        FCalls.Post([this] { WorkerDone(); });
    });
    FWorker->Resume();
}

void TMailGateway::WorkerDone()
{
    if (!FWorker)
        return;
    FWorker->WaitFor();
    FWorker.reset();
    SchedulePoll();
}

bool TMailGateway::WaitForConnection(int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while ((Dialling || FWorker) && timer.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return !Dialling && !FWorker;
}

void TMailGateway::RunExchange()
{
    std::unique_lock lock(FExchangeLock, std::try_to_lock);
    if (!lock || !FExchange)
        return;
    if (!FExchange->Aborted())
        FExchange->SendMail();
    if (!SendOnly && !FExchange->Aborted())
        FExchange->ReceiveMail();
}

void TMailGateway::SchedulePoll()
{
    if (FViaDialup) {
        if (TGatewayDialup* dialup = FDialupLive.load())
            dialup->HangupConnection();
    } else {
        SetIdle();
    }
    if (!SendOnly)
        OnGui([this] { AnnounceNextPoll("Next polled connection is at ", false); });
}

void TMailGateway::POPTimerTimer()
{
    if (Dialling)
        return;
    POPTimer->stop();
    int index = 0;
    switch (Schedule.Tick(DateTime::NowTime(), ScheduleSettings(), index)) {
    case TGatewaySchedule::TDue::Poll:
        StartConnection(TStarter::Poll);
        break;
    case TGatewaySchedule::TDue::Scheduled:
        StartConnection(TStarter::Scheduled);
        break;
    case TGatewaySchedule::TDue::None:
        break;
    }
    POPTimer->start();
}

void TMailGateway::Timer1Timer()
{
    if (Dialling || FWorker)
        return;
    int immediately;
    {
        auto lock = FConfig->Lock();
        immediately = FConfig->Gateway.DeliverMailImmediately;
    }
    if (immediately != 0 && CountOutgoingMail() != 0) {
        AddLogLine("Mail is waiting to be sent. Starting Connection");
        StartConnection(TStarter::MailWaiting);
    }
}

void TMailGateway::EnabledButtonClick()
{
    if (Dialling) {
        AddLogLine("Stopping Current Connection");
        if (FExchange)
            FExchange->Abort();
        if (FViaDialup) {
            if (FDialup)
                FDialup->HangupConnection();
            SetIdle();
        } else {
            // The worker ends at once; its end brings the window back.
            EnabledButton->setChecked(true);
        }
        return;
    }
    if (FWorker) {
        // A stopped connection still winding down.
        EnabledButton->setChecked(false);
        return;
    }
    if (PollingOn())
        Schedule.NextPollTime = DateTime::NowTime();
    StartConnection(TStarter::Connect);
    POPTimer->start();
}

void TMailGateway::ConfigureGatewayPopupClick()
{
    if (FConfiguring)
        return;
    FConfiguring = true;
    Timer1->stop();
    if (ConfigurationLogin(this, "Gateway Configuration",
                           FConfig->LoginPassword(FConfig->Gateway.Pass))) {
        FGatewayConfig->DialupConnection->clear();
        if (FDialup) {
            for (const std::string& entry : FDialup->ListEntries())
                FGatewayConfig->DialupConnection->addItem(ToQt(entry));
        }
        AddLogLine("Mail Gateway has stopped");
        ShowModal(*FGatewayConfig);
        AddLogLine("Mail Gateway has started");
        ShowSettingsSummary();
        AnnounceNextPoll("Next polled connection is at ", false);
    }
    UpdateScheduledFlags();
    Timer1->start();
    FConfiguring = false;
}

void TMailGateway::Mail1Click()
{
    show();
    raise();
    activateWindow();
}

void TMailGateway::Exit1Click()
{
    close();
}

void TMailGateway::Button1Click()
{
    StatusMemo->clear();
}

void TMailGateway::Button3Click()
{
    std::string text = FromQt(StatusMemo->toPlainText());
    std::string file;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        file += text.substr(pos, end - pos) + "\r\n";
        pos = end + 1;
    }
    try {
        WriteFileAtomic(DataRoot::Path("log.txt"), file);
    } catch (const std::exception& e) {
        ShowMessageBox(std::string("Error Saving log.txt\n") + e.what(), "Error", MB_OK,
                       TMsgIcon::Warning);
    }
}

void TMailGateway::Button4Click()
{
    const std::string logs = MessageStore::DirPath(DirName::Logs);
    if (!MessageStore::EnsureDirectory(logs)) {
        ShowMessageBox("Error Creating LOGS Directory\n" + logs, "Error", MB_OK, TMsgIcon::Warning);
        return;
    }
    const std::string path = FLog.TodaysPath();
    AppendToFile(path, "");
    Shell::ShowTextFile(path);
}
