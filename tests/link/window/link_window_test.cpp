// The link control window on the simulated modem behind a pseudo-terminal.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTextEdit>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include "core/alias_list.h"
#include "core/channel_list.h"
#include "core/config.h"
#include "core/router.h"
#include "core/scheduled_link_list.h"
#include "core/station_list.h"
#include "core/user_list.h"
#include "link/link_ctrl_frm.h"
#include "link/modem_frame.h"
#include "link/windows/voice_form.h"
#include "link/windows/window_helpers.h"
#include "platform/clock.h"
#include "platform/data_root.h"
#include "platform/text.h"
#include "serial/ad_dispatcher.h"
#include "serial/ad_port.h"
#include "support/scripted_dialogs.h"
#include "support/sky_sim.h"
#include "support/test_files.h"

namespace fs = std::filesystem;

namespace {

constexpr int kPort = 41;

class LinkWindow : public ::testing::Test {
protected:
    void Make(const std::string& radioType, TSkyCore::TOptions options = {})
    {
        root = std::make_unique<TempRoot>();
        dir = root->Dir();
        sim = std::make_unique<TModemSimPty>(radioType, options);
        ::setenv(("SKIPMAIL_COM" + std::to_string(kPort)).c_str(), sim->SlavePath().c_str(), 1);
        config = std::make_unique<TConfig>(dir + "/skipmail.INI");
        config->Radio.Type = radioType;
        stations = std::make_unique<TStationList>();
        channels = std::make_unique<TChannelList>();
        schedule = std::make_unique<TScheduledLinkList>();
        TStation self;
        self.Name = "HOME";
        self.Call = "HOME1";
        self.ChannelFlags = "YY";
        stations->Add(self);
        channels->Add({"14313.250", "14313.250", "USB"});
        channels->Add({"07102.500", "07100.000", "LSB"});
        form = std::make_unique<TLinkCtrlFrm>(*config, *stations, *channels, *schedule);
    }

    void Ready()
    {
        ASSERT_EQ(form->OpenModemPort(kPort), 1);
        ASSERT_TRUE(PumpUntil([&] {
            form->ModemInitTimerTimer();
            return form->IsModemReady();
        }));
    }

    std::string Log() const { return FromQt(form->StatusEdit->toPlainText()); }
    // Today's daily link log, with what the window does not show.
    std::string DailyLog() const
    {
        std::string log;
        for (const auto& e : fs::directory_iterator(dir + "/LOGS"))
            if (e.path().filename().string().rfind("LINKCTRL_", 0) == 0) {
                std::ifstream in(e.path(), std::ios::binary);
                log.assign(std::istreambuf_iterator<char>(in), {});
            }
        return log;
    }

    // HOME calling FIELD automatically (two attempts, five minutes apart)
    // on the test's clock, with a router for the ALE failure notice and a
    // message waiting for FIELD.
    void MakeCalling(const std::string& radioType)
    {
        Make(radioType);
        TStation field;
        field.Name = "FIELD";
        field.SelCall = "0002";
        field.AutoCall = "ENABLED";
        field.ChannelFlags = "YY";
        stations->Add(field);
        users = std::make_unique<TUserList>();
        aliases = std::make_unique<TAliasList>();
        router = std::make_unique<TRouter>(config.get(), stations.get(), users.get(), aliases.get(),
                                           nullptr);
        form.reset();
        config->AleVeskar.Enabled = true;
        config->AleVeskar.Attempts = 2;
        config->AleVeskar.Delay = 5;
        form =
            std::make_unique<TLinkCtrlFrm>(*config, *stations, *channels, *schedule, router.get());
        form->Link().Now = [this] { return clock; };
        Ready();
        fs::create_directories(dir + "/STATIONS/FIELD");
        std::ofstream(dir + "/STATIONS/FIELD/1.msg")
            << "RCPT: bob@FIELD\r\nFrom: alice@HOME\r\nSubject: hi\r\n\r\nhello\r\n";
    }
    // The contents of the files of a directory under the data root.
    std::string Files(const std::string& d) const
    {
        std::string all;
        if (!fs::is_directory(dir + "/" + d))
            return all;
        for (const auto& e : fs::directory_iterator(dir + "/" + d)) {
            std::ifstream in(e.path(), std::ios::binary);
            all.append(std::istreambuf_iterator<char>(in), {});
        }
        return all;
    }

    void TearDown() override
    {
        form.reset();
        router.reset();
        aliases.reset();
        users.reset();
        schedule.reset();
        channels.reset();
        stations.reset();
        config.reset();
        sim.reset();
        root.reset();
    }

    std::unique_ptr<TempRoot> root;
    std::string dir;
    std::unique_ptr<TModemSimPty> sim;
    std::unique_ptr<TConfig> config;
    std::unique_ptr<TStationList> stations;
    std::unique_ptr<TChannelList> channels;
    std::unique_ptr<TScheduledLinkList> schedule;
    std::unique_ptr<TUserList> users;
    std::unique_ptr<TAliasList> aliases;
    std::unique_ptr<TRouter> router;
    std::unique_ptr<TLinkCtrlFrm> form;
    TDateTime clock = 45000.25;
};

std::vector<std::string> SimCommands(TModemSimPty& sim)
{
    return sim.With([](TModemSimCore&, TSimRadio& r) { return r.Commands(); });
}

} // namespace

TEST_F(LinkWindow, FormHasItsControlsAndTimers)
{
    Make("NONE");
    EXPECT_EQ(FromQt(form->windowTitle()), "5757 Link Control");
    const struct {
        const char* name;
        TWindowTimer& timer;
        int interval;
        bool enabled;
    } timers[] = {
        {"SendFileTimer", form->SendFileTimer, 250, true},
        {"ModemInitTimer", form->ModemInitTimer, 1000, true},
        {"RadioCmdProcess", form->RadioCmdProcess, 50, true},
        {"RadioDeadMan", form->RadioDeadMan, 1000, true},
        {"ScanTimer", form->ScanTimer, 5000, false},
        {"SelCallTimer", form->SelCallTimer, 30000, false},
        {"EndLinkTimer", form->EndLinkTimer, 10000, false},
        {"ALETimer", form->ALETimer, 60000, false},
    };
    for (const auto& t : timers) {
        EXPECT_EQ(t.timer.Interval(), t.interval) << t.name;
        EXPECT_EQ(t.timer.Enabled(), t.enabled) << t.name;
    }
    EXPECT_TRUE(form->ChannelLabel->isHidden()) << "no radio: no channel read-out";
    EXPECT_TRUE(fs::is_directory(dir + "/QUEUE"));
    EXPECT_TRUE(fs::is_directory(dir + "/LOGS"));
}

TEST_F(LinkWindow, AleTimerFollowsAutomaticCalling)
{
    Make("NONE");
    form.reset();
    config->AleVeskar.Enabled = true;
    form = std::make_unique<TLinkCtrlFrm>(*config, *stations, *channels, *schedule);
    EXPECT_TRUE(form->ALETimer.Enabled());
    EXPECT_EQ(form->ALETimer.Interval(), 60000);
}

TEST_F(LinkWindow, ChatOnARefusedPortIsNotReportedSent)
{
    Make("NONE");
    // The port was never opened: every byte is refused.
    EXPECT_FALSE(form->SendChatText("hello"));
    EXPECT_NE(Log().find("Hardware Communication Error"), std::string::npos);
}

TEST_F(LinkWindow, ModemNotReadyBox)
{
    Make("NONE");
    TScriptedDialogs dialogs;
    dialogs.ExpectBox("Modem is not configured, please wait and try again...", IDOK);
    EXPECT_FALSE(form->CheckModemReady());
    ASSERT_EQ(dialogs.Records().size(), 1u);
    EXPECT_EQ(dialogs.Records()[0].title, "Error");
}

TEST_F(LinkWindow, ModemConfiguresVersionsAndRadioScansOnTheSimulator)
{
    Make("ICOM M710");
    Ready();
    EXPECT_NE(Log().find("Modem configuration successful"), std::string::npos);
    EXPECT_TRUE(PumpUntil([&] { return config->WaveformVariant == "VESKAR-HF"; }));
    EXPECT_EQ(config->DspVersion, "DSP 2.10");
    EXPECT_EQ(config->CpuVersion, "CPU 1.07");
    // The set-up sentences go out on the queue timer, each answered.
    ASSERT_TRUE(PumpUntil([&] { return SimCommands(*sim).size() >= 3; }));
    EXPECT_EQ(SimCommands(*sim),
              (std::vector<std::string>{"$PICOA,90,01,REMOTE,ON", "$PICOA,90,01,AGC,OFF",
                                        "$PICOA,90,01,NB,OFF"}));
    EXPECT_TRUE(form->ScanTimer.Enabled());
    EXPECT_EQ(FromQt(form->StatusLabel->text()), "Scanning");
    // The radio-port settings went to the modem as command 0x6D.
    auto settings = sim->With([](TModemSimCore& m, TSimRadio&) {
        for (size_t i = 0; i < m.commands.size(); ++i)
            if (m.commands[i] == 0x6D)
                return m.arguments[i];
        return std::vector<uint8_t>{};
    });
    EXPECT_EQ(settings, (std::vector<uint8_t>{0xC3, 0x69, 0x03, 0x6B, 0x00}));

    // A step waits for the radio to have worked off the set-up.
    ASSERT_TRUE(PumpUntil([&] { return form->Radio().QueuedCommands().empty(); }));
    form->ScanTimerTimer();
    ASSERT_TRUE(PumpUntil([&] { return SimCommands(*sim).size() >= 7; }));
    EXPECT_EQ(SimCommands(*sim).back(), "$PICOA,90,01,RXF,14.313250");
    EXPECT_EQ(FromQt(form->ChannelLabel->text()), "001");
    EXPECT_EQ(FromQt(form->FreqLabel->text()), "14313.2");
}

TEST_F(LinkWindow, RemoteOffReachesThePortOnShutdown)
{
    Make("ICOM M802");
    Ready();
    ASSERT_TRUE(PumpUntil([&] { return SimCommands(*sim).size() >= 3; }));
    form.reset();
    ASSERT_TRUE(PumpUntil([&] { return SimCommands(*sim).size() >= 4; }));
    EXPECT_EQ(SimCommands(*sim).back(), "$PICOA,90,08,REMOTE,OFF");
}

// The station stops while its modem goes away with it (a terminal's Ctrl+C
// ends both): the stop is logged, and the radio's farewell meeting a dead
// port leaves no error line behind it.
TEST_F(LinkWindow, AStopClosesAVanishedModemPortWithoutErrorLines)
{
    Make("ICOM M802");
    Ready();
    ASSERT_TRUE(PumpUntil([&] { return SimCommands(*sim).size() >= 3; }));
    form->StationStopping("Station stopped by the operator");
    EXPECT_FALSE(form->SendFileTimer.Enabled());
    EXPECT_FALSE(form->RadioCmdProcess.Enabled());
    sim->UnplugPort();
    ASSERT_TRUE(PumpUntil([&] { return form->MDM7300->GetDispatcher()->DeviceError() != 0; }));
    form.reset();
    const std::string log = DailyLog();
    EXPECT_NE(log.find("  Station stopped by the operator\r\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("rror"), std::string::npos) << log;
}

TEST_F(LinkWindow, ChatTextIsEscapedAndBoundedByBytesInFlight)
{
    Make("NONE");
    Ready();
    const std::string text = std::string("a\x01") + "b\x80" + "c\x02" + "d\x81";
    EXPECT_TRUE(form->SendChatText(text));
    const std::string expected =
        std::string("\x01\xB3") + "a\x01\xA1" + "b\x80" + "c\x01\xA2" + "d\x81" + "\x02";
    ASSERT_TRUE(PumpUntil([&] {
        return sim->With([](TModemSimCore& m, TSimRadio&) { return m.linkData; }) == expected;
    }));
    // The modem's echo empties the bytes in flight again.
    EXPECT_TRUE(PumpUntil([&] { return form->BytesInFlight() == 0; }));
    EXPECT_FALSE(form->SendChatText(std::string(750, 'x')));
    EXPECT_TRUE(form->SendChatText(std::string(749, 'x')));

    form->SendBuzz(0x01);
    form->SendDisconnect();
    form->SendAbort();
    EXPECT_TRUE(PumpUntil([&] {
        return sim->With([](TModemSimCore& m, TSimRadio&) {
            return m.commands.size() >= 2 && m.commands[m.commands.size() - 2] == 0x07 &&
                   m.commands.back() == 0x06;
        });
    }));
}

TEST_F(LinkWindow, ModemReportsDriveTheLinkAndScanning)
{
    Make("ICOM IC-718", {.CallMs = 600000}); // the test gives the call's outcome
    TStation field;
    field.Name = "FIELD";
    field.SelCall = "2";
    field.ChannelFlags = "YY";
    stations->Add(field);
    config->AleVeskar.BusyChannelDetect = true;
    Ready();
    EXPECT_TRUE(form->ScanTimer.Enabled());

    // A busy channel gives the call up and scanning resumes. The modem says
    // so itself, so it is not still calling when the next call comes.
    sim->WithSky([](TSkyCore& sky) { sky.SetChannelBusy(true); });
    ASSERT_TRUE(form->CallStation("FIELD", 2, true));
    EXPECT_FALSE(form->ScanTimer.Enabled());
    EXPECT_TRUE(form->SelCallTimer.Enabled());
    EXPECT_TRUE(PumpUntil([&] {
        return sim->With([](TModemSimCore& m, TSimRadio&) {
            for (size_t i = 0; i < m.commands.size(); ++i)
                if (m.commands[i] == 0x20)
                    return m.arguments[i] == std::vector<uint8_t>{'0', '0', '0', '2', 56, 1};
            return false;
        });
    }));
    ASSERT_TRUE(PumpUntil([&] { return !form->Link().CallUnderway(); }));
    sim->WithSky([](TSkyCore& sky) { sky.SetChannelBusy(false); });
    EXPECT_TRUE(form->ScanTimer.Enabled());
    EXPECT_FALSE(form->SelCallTimer.Enabled());
    EXPECT_NE(Log().find("Channel busy: call to FIELD not placed"), std::string::npos);

    // An answered call: linked, the radio queue held, the idle checks on.
    ASSERT_TRUE(form->CallStation("FIELD", 1, true));
    sim->Send(TModemSimCore::Message(ModemFrame::kMsgLinkUp, "0002"));
    ASSERT_TRUE(PumpUntil([&] { return form->IsLinked(); }));
    EXPECT_EQ(form->LinkStation(), "FIELD");
    EXPECT_FALSE(form->ScanTimer.Enabled());
    EXPECT_TRUE(form->EndLinkTimer.Enabled());
    EXPECT_EQ(form->EndLinkTimer.Interval(), 10000);
    EXPECT_EQ(FromQt(form->LinkStateLabel->text()), "Linked: FIELD");
    EXPECT_NE(stations->Get(1).LastConnection.find(" UTC]"), std::string::npos);
    form->RadioCmdProcessTimer();
    EXPECT_EQ(form->RadioCmdProcess.Interval(), 2000);
    form->RequestReinitialize();
    EXPECT_NE(Log().find("System will reinitialize after link ends"), std::string::npos);
    sim->With([](TModemSimCore& m, TSimRadio&) { m.answerInit = false; });
    sim->Send(TModemSimCore::Message(ModemFrame::kMsgDisconnected, ""));
    ASSERT_TRUE(PumpUntil([&] { return !form->IsLinked(); }));
    // The pending reconfiguration runs first; its success restarts the radio
    // and the scanning.
    EXPECT_TRUE(PumpUntil([&] {
        return sim->With([](TModemSimCore& m, TSimRadio&) { return m.configureCount; }) >= 2;
    }));
    EXPECT_FALSE(form->ScanTimer.Enabled());
    EXPECT_FALSE(form->IsModemReady());
    sim->With([](TModemSimCore& m, TSimRadio&) { m.answerInit = true; });
    EXPECT_TRUE(PumpUntil([&] { return form->IsModemReady() && form->ScanTimer.Enabled(); }));
    EXPECT_EQ(FromQt(form->LinkStateLabel->text()), "Idle");
}

// Every attempt of an automatic link unanswered on the simulated air: the
// router tells admin and returns the waiting mail to its sender.
TEST_F(LinkWindow, AnUnansweredAutomaticLinkEndsInTheAleFailureNotice)
{
    MakeCalling("NONE");
    for (int attempt = 0; attempt < 2; ++attempt) {
        form->ALETimerTimer();
        ASSERT_TRUE(form->Link().AutoLinkAttempt());
        ASSERT_TRUE(PumpUntil([&] { return !form->Link().CallUnderway(); }));
        clock += 5.0 / (24 * 60);
    }
    EXPECT_TRUE(form->AutoLinkQueue.empty());
    EXPECT_NE(Log().find("Automatic link to FIELD failed on every attempt"), std::string::npos);
    EXPECT_NE(Files("MAIL/admin").find("Subject: ALE failure notice"), std::string::npos);
    EXPECT_NE(Files("QUEUE").find("RCPT: alice@HOME"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(dir + "/STATIONS/FIELD"));
}

// The modem's serial device goes away under a scanning station with mail
// waiting: nothing more is tried on the dead port, so however long it stays
// away no attempt is used and no mail goes back, and each of its error
// lines is logged once, as is why the port does not open again; the window
// says the modem is waited for and shows no channel. Once its name leads to
// a device again the station opens it by itself, the modem is configured
// again, the window says it scans as at start, and the call goes out.
TEST_F(LinkWindow, ADeadModemPortUsesNoAttemptAndLogsEachErrorOnce)
{
    MakeCalling("ICOM IC-718");
    std::vector<std::string> said;
    form->OnModemLost = [&](const std::string& why) { said.push_back("lost: " + why); };
    form->OnModemBack = [&] { said.push_back("back"); };
    ASSERT_TRUE(PumpUntil([&] { return form->Radio().QueuedCommands().empty(); }));
    const std::string port = "  Modem port COM" + std::to_string(kPort) + " (";
    const std::string gone = sim->SlavePath();
    sim->UnplugPort();
    ASSERT_TRUE(PumpUntil([&] {
        form->ScanTimerTimer();
        return !form->IsModemReady();
    }));
    EXPECT_EQ(FromQt(form->StatusLabel->text()), "Waiting for the HF modem");
    for (QLabel* readout : {form->Label3, form->ChannelLabel, form->FreqLabel, form->Label11})
        EXPECT_TRUE(readout->isHidden());
    // Hours of automatic linking on the test's clock, while the modem's
    // initialisation tries the dead port every second.
    QElapsedTimer wall;
    wall.start();
    while (wall.elapsed() < 3500) {
        form->ALETimerTimer();
        form->ScanTimerTimer();
        clock += 5.0 / (24 * 60);
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(50);
    }
    ASSERT_EQ(form->AutoLinkQueue.size(), 1u);
    EXPECT_EQ(form->AutoLinkQueue[0].Attempts, 2);
    EXPECT_TRUE(fs::exists(dir + "/STATIONS/FIELD/1.msg"));
    EXPECT_EQ(Files("MAIL/admin"), "");
    std::vector<std::string> errors;
    std::istringstream log(DailyLog());
    for (std::string line; std::getline(log, line);)
        if (line.find("Hardware Communication Error") != std::string::npos ||
            line.find(") does not open: ") != std::string::npos)
            errors.push_back(line.substr(line.find("  ")));
    EXPECT_EQ(std::set<std::string>(errors.begin(), errors.end()).size(), errors.size())
        << DailyLog();
    for (const std::string& tried :
         {std::string("  Hardware Communication Error #49\r"),
          port + gone + ") does not open: File not found; trying again every second\r"})
        EXPECT_NE(std::find(errors.begin(), errors.end(), tried), errors.end()) << DailyLog();
    EXPECT_EQ(said, std::vector<std::string>{"lost: Serial device not available or lost"});

    sim->ReplugPort();
    ::setenv(("SKIPMAIL_COM" + std::to_string(kPort)).c_str(), sim->SlavePath().c_str(), 1);
    ASSERT_TRUE(PumpUntil([&] { return form->IsModemReady(); }, 10000)) << DailyLog();
    EXPECT_NE(Log().find(port + sim->SlavePath() + ") opened again"), std::string::npos) << Log();
    EXPECT_NE(Log().find("Modem port working again"), std::string::npos);
    EXPECT_EQ(said.back(), "back");
    const auto scanning = [&] {
        std::istringstream log(Log());
        int n = 0;
        for (std::string line; std::getline(log, line);)
            n += line.ends_with("  Scanning");
        return n;
    };
    EXPECT_TRUE(PumpUntil([&] { return scanning() == 2; })) << Log();
    EXPECT_EQ(FromQt(form->StatusLabel->text()), "Scanning");
    EXPECT_FALSE(form->ChannelLabel->isHidden());
    form->ALETimerTimer();
    EXPECT_TRUE(form->Link().AutoLinkAttempt());
    EXPECT_EQ(form->AutoLinkQueue[0].Attempts, 1);
    EXPECT_TRUE(PumpUntil([&] {
        return sim->With([](TModemSimCore& m, TSimRadio&) {
            return std::count(m.commands.begin(), m.commands.end(), ModemFrame::kCmdCall) == 1;
        });
    }));
}

// The modem's name is given to another program's terminal while the modem
// is away (a USB adapter pulled, another serial device given its name): the
// station tries it as the modem, lets it go once it has not answered, its
// settings as found and its lock free, says so once, and leaves it alone
// while the name leads there. The modem put back at the name is configured
// again.
TEST_F(LinkWindow, AnotherTerminalAtTheModemsNameIsLetGoAsFound)
{
    Make("NONE");
    const std::string name = dir + "/modem";
    const auto pointAt = [&](const std::string& device) {
        ::unlink(name.c_str());
        ASSERT_EQ(::symlink(device.c_str(), name.c_str()), 0);
    };
    pointAt(sim->SlavePath());
    ::setenv(("SKIPMAIL_COM" + std::to_string(kPort)).c_str(), name.c_str(), 1);
    Ready();
    std::vector<std::string> notices;
    form->OnModemNotice = [&](const std::string& text) { notices.push_back(text); };

    // A line editor's terminal (echo, canonical input), held by its program.
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_TRUE(master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0);
    const std::string other = ::ptsname(master);
    const int slave = ::open(other.c_str(), O_RDWR | O_NOCTTY);
    termios found{};
    ASSERT_EQ(::tcgetattr(slave, &found), 0);
    found.c_lflag |= ICANON | ECHO;
    ::cfsetspeed(&found, B1200);
    ASSERT_EQ(::tcsetattr(slave, TCSANOW, &found), 0);
    ASSERT_EQ(::tcgetattr(slave, &found), 0);
    const auto leftAsFound = [&] {
        termios now{};
        const int fd = ::open(other.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        const bool unlocked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        ::close(fd);
        return unlocked && ::tcgetattr(slave, &now) == 0 && now.c_iflag == found.c_iflag &&
               now.c_oflag == found.c_oflag && now.c_cflag == found.c_cflag &&
               now.c_lflag == found.c_lflag &&
               std::equal(std::begin(now.c_cc), std::end(now.c_cc), std::begin(found.c_cc));
    };
    const auto written = [&] {
        char buf[256];
        const ssize_t n = ::read(master, buf, sizeof buf);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    };

    sim->UnplugPort();
    pointAt(other);
    const std::string notModem = "The device now at COM" + std::to_string(kPort) + " (" + name +
                                 ") does not answer as the HF modem";
    ASSERT_TRUE(PumpUntil([&] { return Log().find(notModem) != std::string::npos; }, 30000))
        << Log();
    EXPECT_TRUE(leftAsFound());
    const std::string asked = written();
    EXPECT_TRUE(!asked.empty() && asked.size() <= 16) << asked.size();

    // A few more of the station's looks at the name, each a second on.
    struct TClockBack {
        ~TClockBack() { Clock::ResetTickOrigin(); }
    } clockBack;
    for (int look = 0; look < 3; ++look) {
        Clock::SetTickOrigin(Clock::TickCount() + 1100);
        form->ModemInitTimerTimer();
    }
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].rfind(notModem, 0), 0u) << notices[0];
    const std::string log = DailyLog();
    EXPECT_EQ(log.find(notModem), log.rfind(notModem)) << log;
    EXPECT_EQ(log.find(") opened again"), log.rfind(") opened again")) << log;

    sim->ReplugPort();
    pointAt(sim->SlavePath());
    EXPECT_TRUE(PumpUntil([&] { return form->IsModemReady(); }, 10000)) << DailyLog();
    EXPECT_EQ(written(), "");
    EXPECT_TRUE(leftAsFound());
    ::close(slave);
    ::close(master);
}

TEST_F(LinkWindow, PortErrorsGoToTheDailyLog)
{
    Make("VERTEX VX-1700");
    // The port is not open yet: PutChar refuses every byte.
    form->ConfigureRadioPort(4800);
    const std::string log = DailyLog();
    EXPECT_NE(log.find("  Hardware Communication Error #20\r\n"), std::string::npos) << log;
    EXPECT_EQ(Log().find("#20"), std::string::npos) << "not shown in the window";

    // Lines carry what a peer sent (a fax status, a file name): shown as
    // written, never as markup.
    form->AddStatusLine("Fax Status from FIELD: <b>sent</b> &amp; <img src=x>", true);
    EXPECT_NE(Log().find("  Fax Status from FIELD: <b>sent</b> &amp; <img src=x>"),
              std::string::npos)
        << Log();
}

TEST_F(LinkWindow, AutoLinkScheduleFromStationsAndScheduledLinks)
{
    Make("NONE");
    TStation far;
    far.Name = "FAR";
    far.AutoCall = "ENABLED";
    stations->Add(far);
    TStation routed = far;
    routed.Name = "ROUTED";
    routed.RouteVia = "FAR";
    stations->Add(routed);
    TStation idle = far;
    idle.Name = "IDLE";
    stations->Add(idle);
    for (const char* name : {"FAR", "ROUTED"}) {
        fs::create_directories(dir + "/STATIONS/" + name);
        std::ofstream(dir + "/STATIONS/" + name + "/1.msg") << "RCPT: a@" << name << "\r\n";
    }
    schedule->Add({"IDLE", 0.0}); // midnight: always the next day
    form->BuildAutoLinkSchedule();
    ASSERT_EQ(form->AutoLinkQueue.size(), 2u);
    EXPECT_EQ(form->AutoLinkQueue[0].StationName, "FAR");
    EXPECT_EQ(form->AutoLinkQueue[0].Type, "Auto");
    EXPECT_EQ(form->AutoLinkQueue[1].StationName, "IDLE");
    EXPECT_EQ(form->AutoLinkQueue[1].Type, "Scheduled");
    EXPECT_GT(form->AutoLinkQueue[1].NextAttempt, form->AutoLinkQueue[0].NextAttempt);
    // Building again updates the entries instead of adding more.
    form->BuildAutoLinkSchedule();
    EXPECT_EQ(form->AutoLinkQueue.size(), 2u);
}

TEST_F(LinkWindow, AutoLinkQueueAndSchedule)
{
    Make("NONE");
    config->AleVeskar.Attempts = 3;
    form->AddAutoLinkEntry("FIELD", "Auto", 100.0);
    form->AddAutoLinkEntry("FIELD", "Scheduled", 101.0);
    form->AddAutoLinkEntry("FIELD", "Auto", 102.0);
    ASSERT_EQ(form->AutoLinkQueue.size(), 2u);
    EXPECT_EQ(form->AutoLinkQueue[0].NextAttempt, 102.0);
    EXPECT_EQ(form->AutoLinkQueue[0].Attempts, 3);
    form->RemoveAutoLinkEntry(0);
    form->RemoveAutoLinkEntry(5);
    ASSERT_EQ(form->AutoLinkQueue.size(), 1u);
    EXPECT_EQ(form->AutoLinkQueue[0].Type, "Scheduled");
}

// HOME's modem port goes away while it sends FIELD a message: HOME's side of
// the link ends without counting anything against FIELD; with the port back
// the modem is configured again, which ends the link FIELD still held, and
// the next link finishes the message from where it stopped, once.
TEST(LinkWindowPair, AModemPortLostMidLinkEndsItAndTheNextLinkFinishes)
{
    TTwoStations two({.BitRate = 9600});
    TStationRig& home = *two.Home;
    TStationRig& field = *two.Field;
    ASSERT_TRUE(field.Ready());
    ASSERT_TRUE(home.Ready());
    std::mt19937 rng(7);
    std::string mail = "RCPT: bob@FIELD\r\nSubject: chart\r\n\r\n";
    while (mail.size() < 6000)
        mail += static_cast<char>('!' + rng() % 90);
    fs::create_directories(home.Root + "/STATIONS/FIELD");
    std::ofstream(home.Root + "/STATIONS/FIELD/1.msg", std::ios::binary) << mail;
    const auto carried = [&] {
        return two.Sky.WithSky([](TSkyCore& s) { return s.BytesCarried(); });
    };

    ASSERT_TRUE(home.Form->CallStation("FIELD", 0, true));
    ASSERT_TRUE(PumpUntil([&] { return carried() > 2000; }));
    two.Sky.UnplugPort(0);
    ASSERT_TRUE(PumpUntil([&] { return !home.Form->IsLinked(); }));
    EXPECT_FALSE(home.Form->IsModemReady());
    EXPECT_TRUE(field.Form->IsLinked()) << "its modem still holds the link";
    EXPECT_TRUE(fs::exists(home.Root + "/STATIONS/FIELD/1.msg"));

    two.Sky.ReplugPort(0);
    ::setenv(("SKIPMAIL_COM" + std::to_string(home.Port)).c_str(), two.Sky.SlavePath(0).c_str(), 1);
    ASSERT_TRUE(home.Ready());
    ASSERT_TRUE(PumpUntil([&] { return !field.Form->IsLinked(); }));
    ASSERT_TRUE(home.Form->CallStation("FIELD", 0, true));
    ASSERT_TRUE(PumpUntil([&] { return !fs::exists(home.Root + "/STATIONS/FIELD/1.msg"); }));
    std::vector<std::string> queue;
    for (const auto& e : fs::directory_iterator(field.Root + "/QUEUE")) {
        std::ifstream in(e.path(), std::ios::binary);
        queue.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    EXPECT_EQ(queue, std::vector<std::string>{mail});
    EXPECT_NE(field.Log().find("Resuming mail from HOME at byte"), std::string::npos);
}

// HOME's operator ends a link by hand while HOME sends FIELD a message, once
// by the hardware abort and once by voice mode: FIELD hears that first, so
// neither station rates the channel for the item cut short, and the abort
// still reaches HOME's modem.
TEST(LinkWindowPair, AnOperatorsEndOfALinkRatesTheChannelOnNeitherSide)
{
    TTwoStations two({.BitRate = 9600}, "ICOM IC-718");
    TStationRig& home = *two.Home;
    TStationRig& field = *two.Field;
    ASSERT_TRUE(field.Ready());
    ASSERT_TRUE(home.Ready());
    std::mt19937 rng(11);
    std::string mail = "RCPT: bob@FIELD\r\nSubject: chart\r\n\r\n";
    while (mail.size() < 30000)
        mail += static_cast<char>('!' + rng() % 90);
    fs::create_directories(home.Root + "/STATIONS/FIELD");
    std::ofstream(home.Root + "/STATIONS/FIELD/1.msg", std::ios::binary) << mail;
    const auto carried = [&] {
        return two.Sky.WithSky([](TSkyCore& s) { return s.BytesCarried(); });
    };
    const auto aborts = [&] {
        return two.Sky.WithSky([](TSkyCore& s) {
            const auto& c = s.Modem(0).commands;
            return std::count(c.begin(), c.end(), ModemFrame::kCmdAbort);
        });
    };

    for (const bool voice : {false, true}) {
        SCOPED_TRACE(voice ? "voice" : "abort");
        ASSERT_TRUE(home.Form->CallStation("FIELD", 2, true));
        ASSERT_TRUE(PumpUntil([&] { return home.Form->IsLinked() && field.Form->IsLinked(); }));
        const uint64_t from = carried();
        ASSERT_TRUE(PumpUntil([&] { return carried() > from + 2000; }));
        const auto abortsBefore = aborts();
        if (voice) {
            TScriptedDialogs dialogs;
            dialogs.ExpectDialog("TVoiceForm", [](QDialog&) { return int(QDialog::Accepted); });
            home.Form->VoiceBtnClick();
        } else {
            home.Form->HardwareAbortClick();
            ASSERT_TRUE(PumpUntil([&] { return aborts() > abortsBefore; }));
            EXPECT_FALSE(home.Form->AbortPending());
        }
        ASSERT_TRUE(PumpUntil([&] { return !home.Form->IsLinked() && !field.Form->IsLinked(); }))
            << field.Log();
        EXPECT_NE(field.Log().find("The operator of HOME ends the link"), std::string::npos)
            << field.Log();
        for (TStationRig* rig : {&home, &field}) {
            EXPECT_EQ(rig->Log().find("Link quality"), std::string::npos) << rig->Log();
            EXPECT_EQ(rig->Stations->Get(1).LinkQuality, "") << rig->Log();
        }
        EXPECT_TRUE(fs::exists(home.Root + "/STATIONS/FIELD/1.msg"));
        home.Form->Link().AutoLinkQueue.clear();
    }
}

// FIELD's radio is left on channel 2 by a call of its own that found nobody,
// and its scan has not moved it yet when HOME calls it there: FIELD hears
// the call on channel 2 and files the link under it, as HOME does. While
// linked, each window's status line shows the link beside that channel.
TEST(LinkWindowPair, BothStationsShowAndRateTheChannelTheLinkIsOn)
{
    TTwoStations two({.CallMs = 1000}, "ICOM IC-718");
    TStationRig& home = *two.Home;
    TStationRig& field = *two.Field;
    ASSERT_TRUE(field.Ready());
    ASSERT_TRUE(home.Ready());
    fs::create_directories(home.Root + "/STATIONS/FIELD");
    std::ofstream(home.Root + "/STATIONS/FIELD/1.msg") << "RCPT: bob@FIELD\r\n\r\nhello\r\n";
    fs::create_directories(field.Root + "/STATIONS/HOME");
    std::ofstream(field.Root + "/STATIONS/HOME/1.msg") << "RCPT: alice@HOME\r\n\r\nhi\r\n";

    two.Sky.WithSky([](TSkyCore& sky) { sky.SetAnswering(0, false); });
    ASSERT_TRUE(field.Form->CallStation("HOME", 2, true));
    ASSERT_TRUE(PumpUntil([&] { return !field.Form->Link().CallUnderway(); }));
    field.Form->ScanTimer.SetEnabled(false); // its next step is seconds away
    two.Sky.WithSky([](TSkyCore& sky) { sky.SetAnswering(0, true); });

    ASSERT_TRUE(home.Form->CallStation("FIELD", 2, true));
    ASSERT_TRUE(PumpUntil([&] { return home.Form->IsLinked() && field.Form->IsLinked(); }));
    for (auto [rig, peer] : {std::pair{&home, "FIELD"}, std::pair{&field, "HOME"}}) {
        EXPECT_EQ(FromQt(rig->Form->StatusLabel->text()), std::string("Linked: ") + peer);
        EXPECT_EQ(FromQt(rig->Form->ChannelLabel->text()), "002");
    }
    EXPECT_NE(field.Log().find("Linked with HOME on channel 002"), std::string::npos);

    // HOME's check ends the link once both hold nothing more.
    ASSERT_TRUE(PumpUntil([&] { return home.Form->Link().Session()->AllCountsZero(); }));
    home.Form->EndLinkTimerTimer();
    ASSERT_TRUE(PumpUntil([&] { return !home.Form->IsLinked() && !field.Form->IsLinked(); }));
    for (auto [rig, peer] : {std::pair{&home, "FIELD"}, std::pair{&field, "HOME"}}) {
        EXPECT_NE(rig->Log().find(std::string("Link quality with ") + peer + " on channel 002"),
                  std::string::npos)
            << rig->Log();
        const std::string quality = rig->Stations->Get(1).LinkQuality;
        EXPECT_EQ(quality.size(), 8u) << "channel 2 rated, " << quality;
        EXPECT_EQ(quality.substr(0, 4), "@@@@") << "channel 1 untouched";
        EXPECT_EQ(FromQt(rig->Form->StatusLabel->text()), "Scanning");
    }
}
