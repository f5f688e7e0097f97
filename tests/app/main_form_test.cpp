#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QKeyEvent>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <filesystem>
#include <functional>

#include "app/main_form.h"
#include "app/skip_application.h"
#include "app/startup_form.h"
#include "core/alias_list.h"
#include "core/config.h"
#include "core/login_frm.h"
#include "core/message_store.h"
#include "core/msg_status_frm.h"
#include "core/router.h"
#include "core/station_list.h"
#include "core/user_list.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "support/scripted_dialogs.h"
#include "support/test_files.h"

namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kSevenLines = {
    "Loading Station Settings",      "Loading User Settings",
    "Initializing System",           "Waiting for System",
    "Starting Mail Router",          "Starting Gateway",
    "System Initialization Success!"};

// Records what happens during the start-up, in order.
struct TTrace {
    std::vector<std::string> Events;
    TMainForm* Form = nullptr;

    // The event, with the status lines written so far.
    void Add(const std::string& what)
    {
        std::string lines;
        if (Form && Form->StartupForm()) {
            for (const auto& l : Form->StartupForm()->Lines())
                lines += (lines.empty() ? "" : ",") + l.toStdString();
        }
        Events.push_back(what + " after [" + lines + "]");
    }
};

class TFakeModem : public TModemStartup {
public:
    explicit TFakeModem(TTrace& trace) : Trace(trace) {}
    std::string OpenPort() override
    {
        Trace.Add("open port");
        return PortsInUse-- <= 0 ? "" : "Serial Port Already in Use.";
    }
    void InitModem() override
    {
        ++Inits;
        if (OnInit)
            OnInit(Inits);
    }
    std::function<void(int)> OnInit;
    bool ModemReady() override { return Inits >= ReadyAfter; }
    bool SelectPort() override
    {
        Trace.Add("select port");
        return true;
    }
    void SayWaiting() override { Trace.Add("say waiting on port"); }
    void SayWaitOver(TWaitEnd how) override
    {
        Trace.Add(how == TWaitEnd::Answered ? "say the port answered" : "say the port was left");
    }
    TTrace& Trace;
    int PortsInUse = 0;
    int Inits = 0;
    int ReadyAfter = 3;
};

// A part that records its construction and its destruction.
class TFakePart : public QObject {
public:
    TFakePart(TTrace& trace, std::string name) : Trace(trace), Name(std::move(name)) {}
    ~TFakePart() override { Trace.Events.push_back("free " + Name); }
    TTrace& Trace;
    std::string Name;
};

class MainFormTest : public ::testing::Test {
protected:
    // Role stored before the start, as the station configuration would.
    void WriteRole(const char* role)
    {
        WriteFileAtomic(DataRoot::Path("skipmail.INI"),
                        std::string("[GENERAL]\r\nSOFTWAREVERSION=") + role + "\r\n");
    }

    TStationParts Parts(TFakeModem** modem = nullptr)
    {
        TStationParts parts;
        parts.StatusHoldMs = 0;
        parts.ModemPollMs = 1;
        parts.RouterTurnMs = 10;
        parts.RouterPauseMs = 0;
        parts.UseTrayIcon = false;
        auto part = [this](const char* name) {
            return [this, name](TStationObjects& objects) -> std::unique_ptr<QObject> {
                Trace.Add(std::string("build ") + name +
                          (objects.Router && objects.Router->Started() ? " (router running)" : ""));
                return std::make_unique<TFakePart>(Trace, std::string(name));
            };
        };
        parts.LinkControl = part("link control");
        parts.StationConfig = part("station config");
        parts.LocalServers = part("local servers");
        parts.MailGateway = part("mail gateway");
        parts.FaxGateway = part("fax gateway");
        parts.Modem = [this, modem](TStationObjects&) {
            auto fake = std::make_unique<TFakeModem>(Trace);
            if (modem)
                *modem = fake.get();
            fake->PortsInUse = PortsInUse;
            return fake;
        };
        parts.Quit = [this](int code) { ExitCode = code; };
        return parts;
    }

    // A modem that never gets ready; `onInit` runs at each initialisation
    // call with the form and the call's count.
    void StallModem(TStationParts& parts, std::function<void(TMainForm&, int)> onInit)
    {
        parts.Modem = [this, onInit](TStationObjects&) {
            auto fake = std::make_unique<TFakeModem>(Trace);
            fake->ReadyAfter = 1000000;
            fake->OnInit = [this, onInit](int n) { onInit(*Trace.Form, n); };
            return fake;
        };
    }

    // Builds the form and waits until the program has ended.
    std::unique_ptr<TMainForm> RunUntilExit(TStationParts parts)
    {
        auto form = std::make_unique<TMainForm>(std::move(parts));
        Trace.Form = form.get();
        EXPECT_TRUE(QTest::qWaitFor([&] { return ExitCode.has_value(); }, 5000));
        return form;
    }

    std::unique_ptr<TMainForm> Start(TStationParts parts)
    {
        auto form = std::make_unique<TMainForm>(std::move(parts));
        Trace.Form = form.get();
        EXPECT_TRUE(QTest::qWaitFor([&] { return form->Started() || ExitCode; }, 5000));
        return form;
    }

    TempRoot Dir;
    TTrace Trace;
    int PortsInUse = 0;
    std::optional<int> ExitCode;
};

std::vector<std::string> StartupLines(const TMainForm& form)
{
    std::vector<std::string> out;
    for (const auto& l : form.StartupForm()->Lines())
        out.push_back(l.toStdString());
    return out;
}

} // namespace

TEST_F(MainFormTest, StartUpBuildsInOrderWithTheSevenStatusLines)
{
    WriteRole("MAIL/FAX GATEWAY");
    TScriptedDialogs dialogs;
    auto form = Start(Parts());
    ASSERT_TRUE(form->Started());
    EXPECT_EQ(StartupLines(*form), kSevenLines);
    // The start-up window shows the last three lines and has given way.
    EXPECT_EQ(form->StartupForm()->StatusLabels[0]->text(), "Starting Mail Router");
    EXPECT_EQ(form->StartupForm()->StatusLabels[2]->text(), "System Initialization Success!");
    EXPECT_FALSE(form->StartupForm()->isVisible());

    const std::vector<std::string> expected = {
        "build link control after [Loading Station Settings,Loading User Settings]",
        "build station config after [Loading Station Settings,Loading User Settings,"
        "Initializing System]",
        "open port after [Loading Station Settings,Loading User Settings,Initializing System]",
        "build local servers after [Loading Station Settings,Loading User Settings,"
        "Initializing System,Waiting for System]",
        "build mail gateway (router running) after [Loading Station Settings,Loading User "
        "Settings,Initializing System,Waiting for System,Starting Mail Router,Starting Gateway]",
        "build fax gateway (router running) after [Loading Station Settings,Loading User "
        "Settings,Initializing System,Waiting for System,Starting Mail Router,Starting Gateway]",
    };
    std::vector<std::string> builds;
    for (const auto& e : Trace.Events) {
        if (e.rfind("build", 0) == 0 || e.rfind("open", 0) == 0)
            builds.push_back(e);
    }
    EXPECT_EQ(builds, expected);
    // A gateway station is its own mail gateway.
    EXPECT_TRUE(form->Objects().Config->Mail.Gateway.empty());
    EXPECT_EQ(dialogs.Records().size(), 0u);
    // No notification area offscreen: the main window carries the menu.
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(form->TrayIcon(), nullptr);
    form->Shutdown();
    // Windows first, then the mail gateway, then the fax gateway.
    std::vector<std::string> freed;
    for (const auto& e : Trace.Events) {
        if (e.rfind("free", 0) == 0)
            freed.push_back(e);
    }
    EXPECT_EQ(freed, (std::vector<std::string>{"free local servers", "free station config",
                                               "free link control", "free mail gateway",
                                               "free fax gateway"}));
}

TEST_F(MainFormTest, RemoteStationBuildsNoGateway)
{
    auto form = Start(Parts());
    ASSERT_TRUE(form->Started());
    // No "Starting Gateway" where no gateway starts.
    std::vector<std::string> sixLines = kSevenLines;
    sixLines.erase(sixLines.begin() + 5);
    EXPECT_EQ(StartupLines(*form), sixLines);
    for (const auto& e : Trace.Events)
        EXPECT_EQ(e.find("gateway"), std::string::npos) << e;
    std::vector<std::string> menu;
    for (const auto& entry : form->MenuEntries())
        menu.push_back(entry.Text);
    EXPECT_EQ(menu, (std::vector<std::string>{"Mailbox Status", "About", "Shutdown"}));
    form->Shutdown();
}

TEST_F(MainFormTest, PortInUseAsksForAnotherPort)
{
    PortsInUse = 1;
    TScriptedDialogs dialogs;
    dialogs.ExpectBox("Serial Port Already in Use.\n\nTry Another Serial Port?", IDOK);
    auto form = Start(Parts());
    ASSERT_TRUE(form->Started());
    EXPECT_EQ(dialogs.Records()[0].title, "Serial Port Error");
    EXPECT_EQ(dialogs.Records()[0].buttons, MB_OKCANCEL);
    std::vector<std::string> modem;
    for (const auto& e : Trace.Events) {
        if (e.find("port") != std::string::npos)
            modem.push_back(e.substr(0, e.find(" after")));
    }
    // Only the port that opened is waited on, and said so; so is its answer.
    EXPECT_EQ(modem, (std::vector<std::string>{"open port", "select port", "open port",
                                               "say waiting on port", "say the port answered"}));
    form->Shutdown();
}

// However long the modem stays silent, the wait is said once for each port
// it is on: again after the operator chose another one, which ends the wait
// on the first. A station stopped while it waits has no answer to tell.
TEST_F(MainFormTest, TheWaitForTheModemIsSaidOncePerPort)
{
    TScriptedDialogs dialogs;
    dialogs.ExpectBox("Try Another Serial Port?", IDOK);
    auto parts = Parts();
    StallModem(parts, [](TMainForm& form, int n) {
        if (n == 5) {
            QKeyEvent key(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
            QCoreApplication::sendEvent(form.StartupForm(), &key);
        }
        if (n == 50)
            form.Shutdown(0);
    });
    auto form = RunUntilExit(std::move(parts));
    std::vector<std::string> modem;
    for (const auto& e : Trace.Events) {
        if (e.find("port") != std::string::npos)
            modem.push_back(e.substr(0, e.find(" after")));
    }
    EXPECT_EQ(modem, (std::vector<std::string>{"open port", "say waiting on port", "select port",
                                               "say the port was left", "open port",
                                               "say waiting on port"}));
}

TEST_F(MainFormTest, QuitWhileWaitingForModemAndCancelEndsProgram)
{
    TScriptedDialogs dialogs;
    dialogs.ExpectBox("Try Another Serial Port?", IDCANCEL);
    auto parts = Parts();
    StallModem(parts, [](TMainForm& form, int n) {
        if (n != 5)
            return;
        // Any key on the start-up window asks the question.
        QKeyEvent key(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
        QCoreApplication::sendEvent(form.StartupForm(), &key);
    });
    auto form = RunUntilExit(std::move(parts));
    ASSERT_TRUE(ExitCode.has_value());
    EXPECT_EQ(*ExitCode, 1);
    EXPECT_FALSE(form->Started());
    EXPECT_TRUE(form->ShutDown());
    EXPECT_EQ(dialogs.Records().size(), 1u);
    // What had been built was freed, and the files were saved.
    EXPECT_NE(std::find(Trace.Events.begin(), Trace.Events.end(), "free link control"),
              Trace.Events.end());
    EXPECT_TRUE(fs::exists(DataRoot::Path("skipmail.INI")));
}

// A key pressed before the wait for the modem began asks nothing.
TEST_F(MainFormTest, AKeyBeforeTheModemWaitAsksNothing)
{
    TScriptedDialogs dialogs; // any box fails the test
    auto parts = Parts();
    parts.StationConfig = [this](TStationObjects&) -> std::unique_ptr<QObject> {
        QKeyEvent key(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
        QCoreApplication::sendEvent(Trace.Form->StartupForm(), &key);
        return std::make_unique<TFakePart>(Trace, "station config");
    };
    auto form = Start(std::move(parts));
    EXPECT_TRUE(form->Started());
    EXPECT_TRUE(dialogs.Records().empty());
    form->Shutdown();
}

// SIGTERM while a start-up box is open (a service manager stops the
// station): that box and every later one take their default answer without
// waiting, and the station ends in order at once.
TEST_F(MainFormTest, ShutdownDuringAStartUpBoxLetsNoLaterBoxWait)
{
    struct TSignalOnFirstBox : TDialogHost {
        TTrace* Trace = nullptr;
        int Boxes = 0;
        int MessageBox(const std::string&, const std::string&, TMsgIcon, int) override
        {
            if (++Boxes == 1)
                Trace->Form->Shutdown(0);
            return IDOK; // "try another port": the next box would follow
        }
        int ExecModal(QDialog&) override { return QDialog::Rejected; }
    } host;
    host.Trace = &Trace;
    TDialogHost* previous = SetDialogHost(&host);
    PortsInUse = 1000;
    auto form = RunUntilExit(Parts());
    SetDialogHost(previous);
    EXPECT_EQ(host.Boxes, 1);
    ASSERT_TRUE(ExitCode.has_value());
    EXPECT_EQ(*ExitCode, 0);
    EXPECT_FALSE(form->Started());
    EXPECT_TRUE(form->ShutDown());
    EXPECT_TRUE(fs::exists(DataRoot::Path("users.dat")));
}

// A part that fails to build: the error is shown and logged while the
// station stands, then the station ends with exit code 1.
TEST_F(MainFormTest, AFailingPartIsReportedAndEndsTheStartUp)
{
    TScriptedDialogs dialogs;
    dialogs.ExpectBox("no link control here", IDOK);
    auto parts = Parts();
    parts.LinkControl = [](TStationObjects&) -> std::unique_ptr<QObject> {
        throw std::runtime_error("no link control here");
    };
    const int reported = LoopErrors::ReportedCount();
    auto form = RunUntilExit(std::move(parts));
    ASSERT_TRUE(ExitCode.has_value());
    EXPECT_EQ(*ExitCode, 1);
    EXPECT_EQ(LoopErrors::ReportedCount(), reported + 1);
    EXPECT_EQ(dialogs.Records().at(0).title, "Error");
    std::string log;
    ReadWholeFile(DataRoot::Path("mailbox_log.txt"), log);
    EXPECT_NE(log.find("  Error: no link control here\r\n"), std::string::npos) << log;
    EXPECT_TRUE(fs::exists(DataRoot::Path("stations.dat")));
}

TEST_F(MainFormTest, ClosingTheMainWindowShutsTheStationDown)
{
    auto form = Start(Parts());
    ASSERT_TRUE(form->Started());
    ASSERT_TRUE(form->isVisible()); // no notification area offscreen
    form->close();
    EXPECT_TRUE(form->ShutDown());
    EXPECT_EQ(ExitCode, 0);
    EXPECT_TRUE(fs::exists(DataRoot::Path("skipmail.INI")));
}

// The parts hear why the station stops before anything is freed: the
// operator's stop (menu, closing the main window) says so; the modem's
// hardware error, which the link log has told already, gives no reason.
TEST_F(MainFormTest, PartsHearWhyTheStationStopsBeforeItIsFreed)
{
    const struct {
        const char* how;
        std::function<void(TMainForm&)> stop;
        std::string why;
    } cases[] = {
        {"menu",
         [](TMainForm& f) {
             for (const TMenuEntry& e : f.MenuEntries())
                 if (e.Text == "Shutdown")
                     f.RunMenuEntry(e);
         },
         kOperatorStop},
        {"close", [](TMainForm& f) { f.close(); }, kOperatorStop},
        {"hardware error", [](TMainForm& f) { f.Objects().Shutdown(); }, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        ExitCode.reset();
        Trace.Events.clear();
        TStationParts parts = Parts();
        parts.LinkControl = [this](TStationObjects& objects) -> std::unique_ptr<QObject> {
            objects.BeforeStop.push_back(
                [this](const std::string& why) { Trace.Events.push_back("stopping: " + why); });
            return std::make_unique<TFakePart>(Trace, "link control");
        };
        auto form = Start(std::move(parts));
        ASSERT_TRUE(form->Started());
        c.stop(*form);
        ASSERT_TRUE(QTest::qWaitFor([&] { return ExitCode.has_value(); }, 5000));
        std::vector<std::string> events;
        for (const auto& e : Trace.Events)
            if (e.rfind("stopping", 0) == 0 || e.rfind("free", 0) == 0)
                events.push_back(e);
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.front(), "stopping: " + c.why);
        EXPECT_EQ(std::count(events.begin(), events.end(), events.front()), 1);
    }
}

// The settings behind a login: a shutdown while the login is open frees what
// the entry would open, so nothing is opened afterwards.
// A shutdown asked while a box is open, in the box's own message loop inside
// the handler that opened it (a signal, as the station gets one): the box
// closes, and nothing is freed before that handler has returned, since it
// goes on with the objects the shutdown frees.
TEST_F(MainFormTest, ShutdownFromInsideABoxWaitsForItsHandlerToReturn)
{
    auto form = Start(Parts());
    ASSERT_TRUE(form->Started());
    std::vector<std::string> seenByHandler;
    QTimer::singleShot(0, form.get(), [&] {
        QDialog box;
        QTimer::singleShot(0, form.get(), [&] { form->Shutdown(0); });
        box.exec();
        seenByHandler = Trace.Events;
    });
    ASSERT_TRUE(QTest::qWaitFor([&] { return ExitCode.has_value(); }, 5000));
    EXPECT_EQ(std::count(seenByHandler.begin(), seenByHandler.end(), "free station config"), 0);
    EXPECT_EQ(std::count(Trace.Events.begin(), Trace.Events.end(), "free station config"), 1);
    EXPECT_TRUE(form->ShutDown());
}

TEST_F(MainFormTest, ShutdownDuringALoginOpensNothing)
{
    auto form = Start(Parts());
    ASSERT_TRUE(form->Started());
    int opened = 0;
    TMenuEntry entry{"&Station Network",
                     "SETTINGS",
                     TMenuEntry::TGroup::Settings,
                     [] { return std::string("s3cret"); },
                     {},
                     [&opened] { ++opened; }};
    TScriptedDialogs dialogs;
    dialogs.ExpectDialog("TLoginFrm", [](QDialog& d) {
        static_cast<TLoginFrm&>(d).PassEdit->setText("s3cret");
        return TLoginFrm::mrOk;
    });
    form->RunMenuEntry(entry);
    EXPECT_EQ(opened, 1);
    dialogs.ExpectDialog("TLoginFrm", [&form](QDialog& d) {
        form->Shutdown(0);
        static_cast<TLoginFrm&>(d).PassEdit->setText("s3cret");
        return TLoginFrm::mrOk;
    });
    form->RunMenuEntry(entry);
    EXPECT_EQ(opened, 1);
    EXPECT_TRUE(form->ShutDown());
}

TEST_F(MainFormTest, ShutdownEndsRouterAndSavesEveryTableAndTheIni)
{
    auto form = Start(Parts());
    ASSERT_TRUE(form->Started());
    TRouter* router = form->Objects().Router;
    ASSERT_TRUE(router->Started());
    // Files removed behind the tables' backs come back at shutdown.
    for (const char* f :
         {"stations.dat", "channels.dat", "users.dat", "alias.dat", "schedule.dat", "skipmail.INI"})
        fs::remove(DataRoot::Path(f));
    form->Objects().Config->Mail.MaxMailSize = 77;
    // Shutdown from the menu, as the operator does.
    const auto& entries = form->MenuEntries();
    auto shutdown = std::find_if(entries.begin(), entries.end(),
                                 [](const TMenuEntry& e) { return e.Text == "Shutdown"; });
    ASSERT_NE(shutdown, entries.end());
    form->RunMenuEntry(*shutdown);
    EXPECT_TRUE(form->ShutDown());
    EXPECT_EQ(ExitCode, 0);
    for (const char* f :
         {"stations.dat", "channels.dat", "users.dat", "alias.dat", "schedule.dat", "skipmail.INI"})
        EXPECT_TRUE(fs::exists(DataRoot::Path(f))) << f;
    std::string ini;
    ReadWholeFile(DataRoot::Path("skipmail.INI"), ini);
    EXPECT_NE(ini.find("MAXMAILSIZE=77"), std::string::npos);
    // Parts were freed in the shutdown order: windows, then gateways.
    std::vector<std::string> freed;
    for (const auto& e : Trace.Events) {
        if (e.rfind("free", 0) == 0)
            freed.push_back(e);
    }
    EXPECT_EQ(freed, (std::vector<std::string>{"free local servers", "free station config",
                                               "free link control"}));
    EXPECT_TRUE(form->MenuEntries().empty());
}

// In a fresh data root the started station files mail for a local user and
// for another station, and the Mailbox Status log shows it.
TEST_F(MainFormTest, StartedStationFilesQueuedMail)
{
    auto form = Start(Parts());
    ASSERT_TRUE(form->Started());
    const TStationObjects& o = form->Objects();
    o.Stations->Add({"HOME", "", "", "", "DISABLED", "", "", ""});
    o.Stations->Add({"FAR", "", "", "", "DISABLED", "", "", ""});
    o.Users->Add({"bob", "pw", ""});
    MessageStore::WriteNewMessage(DataRoot::Path("QUEUE"),
                                  "RCPT: bob\r\nRCPT: ann@FAR\r\nFrom: a@FAR\r\n\r\nhi\r\n");
    ASSERT_TRUE(QTest::qWaitFor(
        [] { return MessageStore::ListMessages(DataRoot::Path("STATIONS/FAR")).size() == 1; },
        5000));
    EXPECT_EQ(MessageStore::ListMessages(DataRoot::Path("MAIL/bob")).size(), 1u);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            for (const auto& l : o.MsgStatus->LogLines()) {
                if (l.find("delivered to mailbox bob") != std::string::npos)
                    return true;
            }
            return false;
        },
        2000));
    form->Shutdown();
}

// SIGTERM while the start-up waits for the modem: the start-up unwinds and
// the station shuts down in order.
TEST_F(MainFormTest, ShutdownDuringStartUpUnwindsFirst)
{
    auto parts = Parts();
    StallModem(parts, [](TMainForm& form, int n) {
        if (n == 3)
            form.Shutdown(0);
    });
    auto form = RunUntilExit(std::move(parts));
    ASSERT_TRUE(ExitCode.has_value());
    EXPECT_EQ(*ExitCode, 0);
    EXPECT_FALSE(form->Started());
    EXPECT_TRUE(form->ShutDown());
    EXPECT_TRUE(fs::exists(DataRoot::Path("skipmail.INI")));
    EXPECT_TRUE(fs::exists(DataRoot::Path("users.dat")));
}
