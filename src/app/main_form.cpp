#include "app/main_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMenuBar>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include "app/skip_application.h"
#include "app/startup_form.h"
#include "core/about_form.h"
#include "core/alias_list.h"
#include "core/channel_list.h"
#include "core/config.h"
#include "core/core_report.h"
#include "core/draw_menu_icon.h"
#include "core/jpeg_picture.h"
#include "core/login_frm.h"
#include "core/message_store.h"
#include "core/msg_status_frm.h"
#include "core/router.h"
#include "core/scheduled_link_list.h"
#include "core/station_list.h"
#include "core/user_list.h"
#include "platform/dialogs.h"
#include "platform/text.h"

namespace {

// Keeps the message loop running for `ms` milliseconds.
void PumpMessages(int ms)
{
    QElapsedTimer timer;
    timer.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (timer.elapsed() < ms)
            QThread::msleep(2);
    } while (timer.elapsed() < ms);
}

} // namespace

TMainForm::TMainForm(TStationParts parts, QWidget* parent)
    : QMainWindow(parent), StartTimer(new QTimer(this)), FParts(std::move(parts))
{
    setWindowTitle("SkipMail");
    setObjectName("MainForm");
    setCentralWidget(NewStationPictureLabel(this));
    StartTimer->setInterval(500);
    StartTimer->setSingleShot(true);
    connect(StartTimer, &QTimer::timeout, this, &TMainForm::StartTimerTimer);
    StartTimer->start();
}

TMainForm::~TMainForm()
{
    FreeStation();
    EndBoxes(false);
}

void TMainForm::StartTimerTimer()
{
    StartTimer->stop();
    if (FStarting || FStarted || FShutDown)
        return;
    FStarting = true;
    FMainLoopLevel = QThread::currentThread()->loopLevel();
    bool ok = false;
    std::optional<std::string> failure;
    try {
        ok = BuildStation();
    } catch (const std::exception& e) {
        failure = e.what();
    } catch (...) {
        failure = "Unknown exception";
    }
    FStarting = false;
    if (failure) {
        // Reported while the station still stands, so the mailbox log gets it
        // too; a box opened after the shutdown would outlive the message loop.
        LoopErrors::Report(*failure);
        Shutdown(1);
        return;
    }
    if (!ok || FAbortExitCode) {
        Shutdown(FAbortExitCode.value_or(1));
        return;
    }
    FStarted = true;
}

bool TMainForm::AddStatusLine(const char* text)
{
    if (FStartupForm)
        FStartupForm->AddStatusLine(text);
    // A shutdown asked for while the line was shown ends the start-up here.
    return !FAbortExitCode;
}

std::unique_ptr<QObject> TMainForm::BuildPart(const TStationParts::TFactory& factory)
{
    if (!factory)
        return nullptr;
    return factory(FObjects);
}

bool TMainForm::BuildStation()
{
    FStartupForm = std::make_unique<TStartupForm>();
    FStartupForm->HoldMs = FParts.StatusHoldMs;
    FStartupForm->show();

    FObjects.MainForm = this;
    FObjects.AddMenuEntry = [this](TMenuEntry entry) { AddMenuEntry(std::move(entry)); };
    FObjects.Shutdown = [this] { Shutdown(0); };
    FObjects.UseTrayIcon = FParts.UseTrayIcon;

    // 1. The configuration store loads the INI file and writes it back at once.
    // What it logs waits for the mailbox log; nothing from before this start.
    CoreReport::SetLogHandler(nullptr);
    FConfig = std::make_unique<TConfig>();
    FConfig->Save();
    FObjects.Config = FConfig.get();
    if (!AddStatusLine("Loading Station Settings"))
        return false;

    // 2. The Mailbox Status window.
    FMsgStatusFrm = std::make_unique<TMsgStatusFrm>(nullptr, FConfig.get());
    FObjects.MsgStatus = FMsgStatusFrm.get();
    // Errors that reach the message loop go to the mailbox log from now on.
    LoopErrors::SetLogSink(
        [status = FMsgStatusFrm.get()](const std::string& line) { status->AddLogLine(line); });
    // So do the boxes that nobody sees (no display, or the program ending).
    SetUnseenBoxLog(
        [status = FMsgStatusFrm.get()](const std::string& line) { status->AddLogLine(line); });
    // And the core's reports for the record (the settings' ones wait here).
    CoreReport::SetLogHandler(
        [status = FMsgStatusFrm.get()](const std::string& line) { status->AddLogLine(line); });
    AddMenuEntry({"Mailbox Status", "MAILBOX", TMenuEntry::TGroup::Windows, {}, {}, [this] {
                      FMsgStatusFrm->show();
                      FMsgStatusFrm->raise();
                  }});

    // 3. Station, channel and scheduled-link tables.
    FStationList = std::make_unique<TStationList>();
    FChannelList = std::make_unique<TChannelList>();
    FScheduledLinkList = std::make_unique<TScheduledLinkList>();
    FObjects.Stations = FStationList.get();
    FObjects.Channels = FChannelList.get();
    FObjects.ScheduledLinks = FScheduledLinkList.get();

    // 4. User and alias tables.
    if (!AddStatusLine("Loading User Settings"))
        return false;
    FUserList = std::make_unique<TUserList>();
    FAliasList = std::make_unique<TAliasList>();
    FObjects.Users = FUserList.get();
    FObjects.Aliases = FAliasList.get();
    FMsgStatusFrm->AttachTables(FStationList.get(), FUserList.get());

    // 5. The router thread, created suspended at the lowest priority.
    FRouter = std::make_unique<TRouter>(FConfig.get(), FStationList.get(), FUserList.get(),
                                        FAliasList.get(), FMsgStatusFrm.get());
    FRouter->SetPriority(TThreadPriority::tpLowest);
    FRouter->TurnIntervalMs = FParts.RouterTurnMs;
    FRouter->PauseMs = FParts.RouterPauseMs;
    FObjects.Router = FRouter.get();

    // 6. The working directories, and the link control window. Nothing
    // writes yet, so what writers killed mid-write left behind can go.
    for (const auto& path : MessageStore::CreateWorkingDirectories())
        FMsgStatusFrm->AddLogLine("Error Creating Directory " + path);
    MessageStore::RemoveStaleTemporariesEverywhere();
    FLinkCtrl = BuildPart(FParts.LinkControl);
    FObjects.LinkControl = FLinkCtrl.get();

    // 7. The station configuration dialog.
    if (!AddStatusLine("Initializing System"))
        return false;
    FStationConfig = BuildPart(FParts.StationConfig);

    // 8. The modem's serial port, and the wait for the modem.
    if (!WaitForModem())
        return false;

    // 9. The local POP3 and SMTP servers and the local network settings.
    FLocalServers = BuildPart(FParts.LocalServers);

    // 10. The router starts filing.
    if (!AddStatusLine("Starting Mail Router"))
        return false;
    FRouter->Resume();

    // 11. and 12. The gateways, on the roles that have them. A gateway
    // station is its own mail gateway, which the router takes from an empty
    // gateway name.
    if (FConfig->IsGateway()) {
        if (!AddStatusLine("Starting Gateway"))
            return false;
        FMailGateway = BuildPart(FParts.MailGateway);
        auto lock = FConfig->Lock();
        FConfig->Mail.Gateway.clear();
    }
    if (FConfig->IsMailFaxGateway())
        FFaxGateway = BuildPart(FParts.FaxGateway);

    // 13. The main icon; the start-up window gives way to it.
    AddMenuEntry({"About", "ABOUT", TMenuEntry::TGroup::Program, {}, {}, [this] {
                      TAboutForm about(this, FConfig.get());
                      ShowModal(about);
                  }});
    AddMenuEntry({"Shutdown", "SHUTDOWN", TMenuEntry::TGroup::Program, {}, {}, [this] {
                      Shutdown(0, kOperatorStop);
                  }});
    if (!AddStatusLine("System Initialization Success!"))
        return false;
    ShowMainIcon();
    FStartupForm->hide();
    for (const auto& afterStart : FObjects.AfterStart)
        afterStart();
    return true;
}

bool TMainForm::WaitForModem()
{
    if (!FParts.Modem) {
        // No modem in this build of the station: nothing to wait for.
        return AddStatusLine("Waiting for System");
    }
    FModem = FParts.Modem(FObjects);
    if (!FModem)
        return AddStatusLine("Waiting for System");
    const char* title = "Serial Port Error";
    for (;;) {
        if (const std::string why = FModem->OpenPort(); !why.empty()) {
            if (ShowMessageBox(why + "\n\nTry Another Serial Port?", title, MB_OKCANCEL,
                               TMsgIcon::Warning) != IDOK)
                return false;
            FModem->SelectPort();
            continue;
        }
        // Only a key or Quit while the start-up waits for the modem counts.
        FStartupForm->TakeQuitRequest();
        FModem->SayWaiting();
        if (!AddStatusLine("Waiting for System"))
            return false;
        bool retry = false;
        while (!FModem->ModemReady()) {
            FModem->InitModem();
            PumpMessages(FParts.ModemPollMs);
            if (FAbortExitCode)
                return false;
            if (FStartupForm->TakeQuitRequest()) {
                if (ShowMessageBox("Try Another Serial Port?", title, MB_OKCANCEL,
                                   TMsgIcon::Question) != IDOK)
                    return false;
                if (FModem->SelectPort())
                    FModem->SayWaitOver(TModemStartup::TWaitEnd::OtherPort);
                retry = true;
                break;
            }
        }
        if (!retry) {
            FModem->SayWaitOver(TModemStartup::TWaitEnd::Answered);
            return true;
        }
    }
}

void TMainForm::AddMenuEntry(TMenuEntry entry)
{
    // Entries keep their group's order: windows, settings, then the program.
    auto at = FMenuEntries.end();
    for (auto it = FMenuEntries.begin(); it != FMenuEntries.end(); ++it) {
        if (it->Group > entry.Group) {
            at = it;
            break;
        }
    }
    FMenuEntries.insert(at, std::move(entry));
    if (FPopupMenu)
        BuildMenu();
}

void TMainForm::RunMenuEntry(const TMenuEntry& entry)
{
    if (FShutDown)
        return;
    if (entry.Password &&
        !ConfigurationLogin(this,
                            entry.LoginCaption.empty() ? "Configuration Login" : entry.LoginCaption,
                            entry.Password()))
        return;
    // A shutdown during the login has freed what the entry opens.
    if (entry.Open && !FShutDown)
        entry.Open();
}

void TMainForm::BuildMenu()
{
    FPopupMenu->clear();
    std::optional<TMenuEntry::TGroup> group;
    for (size_t i = 0; i < FMenuEntries.size(); ++i) {
        const TMenuEntry& entry = FMenuEntries[i];
        if (group && *group != entry.Group)
            FPopupMenu->addSeparator();
        group = entry.Group;
        QAction* action = FPopupMenu->addAction(MenuIcon(entry.Icon), ToQt(entry.Text));
        connect(action, &QAction::triggered, this, [this, i] {
            // Copied: the entry may add menu entries while it runs.
            const TMenuEntry chosen = FMenuEntries[i];
            RunMenuEntry(chosen);
        });
    }
}

void TMainForm::ShowMainIcon()
{
    FPopupMenu = new QMenu(this);
    BuildMenu();
    if (FParts.UseTrayIcon && QSystemTrayIcon::isSystemTrayAvailable()) {
        FTrayIcon = new QSystemTrayIcon(MenuIcon("STATION"), this);
        FTrayIcon->setToolTip("SkipMail");
        FTrayIcon->setContextMenu(FPopupMenu);
        FTrayIcon->show();
        return;
    }
    // No notification area: the main window carries the same menu.
    QMenu* station = menuBar()->addMenu("&Station");
    connect(station, &QMenu::aboutToShow, this, [this, station] {
        station->clear();
        station->addActions(FPopupMenu->actions());
    });
    show();
}

void TMainForm::Shutdown(int exitCode, const std::string& why)
{
    if (FShutDown)
        return;
    if (FStopWhy.empty())
        FStopWhy = why;
    // Under a service manager nobody may be there to answer a box: the one
    // open closes with its default answer, and no later one waits.
    EndBoxes();
    if (FStarting) {
        // Asked from inside the start-up (a signal while it waits): the
        // start-up unwinds first and then shuts down.
        if (!FAbortExitCode)
            FAbortExitCode = exitCode;
        return;
    }
    if (QThread::currentThread()->loopLevel() > FMainLoopLevel) {
        // Asked from inside a box or dialog (a signal, or its own button):
        // the handler that opened it still runs on what the shutdown frees.
        // The box is closed; the station goes once that handler has returned.
        QTimer::singleShot(10, this, [this, exitCode] { Shutdown(exitCode); });
        return;
    }
    FShutDown = true;
    StartTimer->stop();
    for (const auto& beforeStop : FObjects.BeforeStop)
        beforeStop(FStopWhy);
    if (FTrayIcon)
        FTrayIcon->hide();
    FreeStation();
    hide();
    if (FParts.Quit)
        FParts.Quit(exitCode);
}

void TMainForm::closeEvent(QCloseEvent* event)
{
    // Where there is no notification area the main window is the station's
    // face: closing it ends the program as "Shutdown" does, rather than
    // leaving the station running out of sight.
    event->accept();
    Shutdown(0, kOperatorStop);
}

void TMainForm::FreeStation()
{
    // 1. The router is asked to end and waited for.
    if (FRouter)
        FRouter->TerminateAndWait();
    // 2. The windows.
    FModem.reset();
    FLocalServers.reset();
    FStationConfig.reset();
    FLinkCtrl.reset();
    if (FStationList)
        FStationList->SetOnChanged(nullptr);
    if (FUserList)
        FUserList->SetOnChanged(nullptr);
    FRouter.reset();
    if (FMsgStatusFrm) {
        LoopErrors::SetLogSink(nullptr);
        SetUnseenBoxLog(nullptr);
        CoreReport::SetLogHandler(nullptr);
    }
    FMsgStatusFrm.reset();
    FStartupForm.reset();
    // 3. The gateways: the mail gateway (with its account table), then the
    // fax gateway.
    FMailGateway.reset();
    FFaxGateway.reset();
    // 4. The tables, each saving its file.
    FAliasList.reset();
    FUserList.reset();
    FScheduledLinkList.reset();
    FChannelList.reset();
    FStationList.reset();
    // 5. The configuration store, saving the INI file.
    FConfig.reset();
    FObjects = TStationObjects{};
    FMenuEntries.clear();
    if (FPopupMenu)
        FPopupMenu->clear();
}
