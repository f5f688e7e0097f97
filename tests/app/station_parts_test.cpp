#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QTextEdit>

#include <algorithm>
#include <cstdlib>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include "app/station_parts.h"
#include "configui/config_frm.h"
#include "core/channel_list.h"
#include "core/config.h"
#include "core/scheduled_link_list.h"
#include "core/station_list.h"
#include "link/link_ctrl_frm.h"
#include "link/windows/com_frm.h"
#include "link/windows/mouse_combo_box.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "serial/serial_device.h"
#include "support/scripted_dialogs.h"
#include "support/sky_sim.h"
#include "support/test_files.h"
#include "support/test_host.h"

namespace {

// The shared objects of a station of one record, in a data root of its own.
struct TStationBase {
    TStationBase()
    {
        config = std::make_unique<TConfig>();
        stations = std::make_unique<TStationList>();
        stations->Add(TStation{"HOME", "HM1"});
        o.Config = config.get();
        o.Stations = stations.get();
        o.Channels = &channels;
        o.ScheduledLinks = &links;
        o.AddMenuEntry = [this](TMenuEntry e) { entries.push_back(std::move(e)); };
    }

    TempRoot dir;
    std::unique_ptr<TConfig> config;
    std::unique_ptr<TStationList> stations;
    TChannelList channels;
    TScheduledLinkList links;
    TStationObjects o;
    std::vector<TMenuEntry> entries;
    TStationParts parts = DefaultStationParts();
};

// This thread alone takes the user's effective ids, with no supplementary
// groups, for the guard's life (raw system calls: the C library would change
// every thread); the other threads, the modem simulator's, stay root.
class TThreadAs {
public:
    TThreadAs(uid_t uid, gid_t gid)
    {
        const int n = ::getgroups(0, nullptr);
        FGroups.resize(static_cast<size_t>(std::max(n, 0)));
        if (n > 0 && ::getgroups(n, FGroups.data()) < 0)
            FGroups.clear();
        Ok = ::syscall(SYS_setgroups, 0, nullptr) == 0 &&
             ::syscall(SYS_setresgid, -1, gid, -1) == 0 &&
             ::syscall(SYS_setresuid, -1, uid, -1) == 0;
    }
    ~TThreadAs()
    {
        ::syscall(SYS_setresuid, -1, 0, -1);
        ::syscall(SYS_setresgid, -1, 0, -1);
        ::syscall(SYS_setgroups, FGroups.size(), FGroups.data());
    }
    TThreadAs(const TThreadAs&) = delete;
    TThreadAs& operator=(const TThreadAs&) = delete;

    bool Ok = false;

private:
    std::vector<gid_t> FGroups;
};

TEST(StationPartsTest, StationConfigurationOpensFromItsMenuEntryBehindItsOwnPassword)
{
    TStationBase base;
    TConfig& config = *base.config;
    TStationObjects& o = base.o;
    std::vector<TMenuEntry>& entries = base.entries;
    TStationParts& parts = base.parts;
    config.Station.Pass = "net1";

    // Without the link control window there is nothing to configure.
    EXPECT_EQ(parts.StationConfig(o), nullptr);
    EXPECT_TRUE(entries.empty());
    std::unique_ptr<QObject> link = parts.LinkControl(o);
    o.LinkControl = link.get();
    entries.clear();
    std::unique_ptr<QObject> part = parts.StationConfig(o);
    auto* dialog = qobject_cast<TConfigFrm*>(part.get());
    ASSERT_NE(dialog, nullptr);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].Text, "&Station Network");
    EXPECT_EQ(entries[0].Group, TMenuEntry::TGroup::Settings);
    // The password is the one held when the entry is chosen.
    config.Station.Pass = "net2";
    EXPECT_EQ(entries[0].Password(), "net2");
    entries[0].Open();
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->Name->text(), "HOME");
    dialog->close();
    part.reset();
}

// Start-up step 8: a port in use leads to the port dialog; the port chosen
// there is opened and kept in the INI file.
TEST(StationPartsTest, TheSerialPortChosenInTheDialogIsOpenedAndStored)
{
    TStationBase base;
    TConfig& config = *base.config;
    TModemSimPty sim;
    ::setenv("SKIPMAIL_COM200", sim.SlavePath().c_str(), 1);
    ::setenv("SKIPMAIL_COM199", (base.dir.Dir() + "/no-such-port").c_str(), 1);
    config.Modem.Port = 199;
    std::unique_ptr<QObject> link = base.parts.LinkControl(base.o);
    base.o.LinkControl = link.get();
    std::unique_ptr<TModemStartup> modem = base.parts.Modem(base.o);
    EXPECT_NE(modem->OpenPort(), "");

    TScriptedDialogs dialogs;
    dialogs.ExpectDialog("TComFrm", [](QDialog&) { return static_cast<int>(QDialog::Rejected); })
        .ExpectDialog("TComFrm", [](QDialog& d) {
            auto& frm = static_cast<TComFrm&>(d);
            frm.PortBox->setCurrentIndex(frm.PortBox->findText("COM200"));
            return static_cast<int>(QDialog::Accepted);
        });
    EXPECT_FALSE(modem->SelectPort());
    EXPECT_EQ(config.Modem.Port, 199);
    EXPECT_TRUE(modem->SelectPort());
    EXPECT_EQ(config.Modem.Port, 200);
    EXPECT_EQ(modem->OpenPort(), "");
    EXPECT_EQ(TConfig(config.FileName()).Modem.Port, 200);
}

// The box that offers another port says why this one did not open: only a
// port another program holds is in use; a device that is not there (a modem
// link gone with its simulator) or is no serial port is said as such, and
// one this user may not open says who may and what to do.
// So does the link log, and standard error, when a lost modem's name comes
// back as one this user may not open.
TEST(StationPartsTest, APortThatDoesNotOpenIsSaidWhy)
{
    TStationBase base;
    TConfig& config = *base.config;
    TModemSimPty sim;
    const std::string missing = base.dir.Dir() + "/modem.pty";
    const std::string plain = base.dir.Dir() + "/plain";
    WriteFileAtomic(plain, "");
    ::setenv("SKIPMAIL_COM197", sim.SlavePath().c_str(), 1);
    ::setenv("SKIPMAIL_COM198", missing.c_str(), 1);
    ::setenv("SKIPMAIL_COM199", plain.c_str(), 1);
    std::unique_ptr<QObject> link = base.parts.LinkControl(base.o);
    base.o.LinkControl = link.get();
    std::unique_ptr<TModemStartup> modem = base.parts.Modem(base.o);

    config.Modem.Port = 198;
    EXPECT_EQ(modem->OpenPort(), "Serial Port Not Found: COM198 (" + missing + ") does not exist.");
    // A link to a terminal that has gone.
    ASSERT_EQ(::symlink("/dev/pts/no-such-terminal", missing.c_str()), 0);
    EXPECT_EQ(modem->OpenPort(), "Serial Port Not Found: COM198 (" + missing + ") does not exist.");
    config.Modem.Port = 199;
    EXPECT_EQ(modem->OpenPort(), "Serial Port Cannot Be Opened: COM199 (" + plain +
                                     "): Bad port number or port name.");
    config.Modem.Port = 197;
    {
        SerialDevice other;
        ASSERT_EQ(other.Open(sim.SlavePath()), 0);
        EXPECT_EQ(modem->OpenPort(), "Serial Port Already in Use.");
    }
    EXPECT_EQ(modem->OpenPort(), "");

    if (::geteuid() != 0)
        GTEST_SKIP() << "opening the port as another user needs root";
    // Copied at once: the station's own look-ups reuse the library's records.
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const uid_t nobodyUid = nobody->pw_uid;
    const gid_t nobodyGid = nobody->pw_gid;
    const passwd* daemon = ::getpwnam("daemon");
    ASSERT_NE(daemon, nullptr);
    const uid_t daemonUid = daemon->pw_uid;
    const group* dialout = ::getgrnam("dialout");
    const gid_t serialGid = dialout ? dialout->gr_gid : daemon->pw_gid;
    const std::string serialGroup = ::getgrgid(serialGid)->gr_name;
    const std::string denied =
        "Serial Port Access Denied: user nobody may not open COM197 (" + sim.SlavePath() + ").";
    ASSERT_EQ(::chown(sim.SlavePath().c_str(), daemonUid, serialGid), 0);
    ASSERT_EQ(::chmod(sim.SlavePath().c_str(), 0600), 0);
    {
        TThreadAs as(nobodyUid, nobodyGid);
        ASSERT_TRUE(as.Ok);
        EXPECT_EQ(modem->OpenPort(), denied + " Only its owner daemon may (mode 0600): run the "
                                              "station as daemon, or let a group of nobody's "
                                              "read and write it.");
    }
    ASSERT_EQ(::chmod(sim.SlavePath().c_str(), 0660), 0);
    {
        TThreadAs as(nobodyUid, nobodyGid);
        EXPECT_EQ(modem->OpenPort(), denied + " Its owner daemon and the members of group " +
                                         serialGroup + " may: make nobody a member (usermod -aG " +
                                         serialGroup + " nobody) and log in again.");
    }
    EXPECT_EQ(modem->OpenPort(), "");

    // Mid-run the modem's device goes and its name comes back as one this
    // user may not open: the link log and standard error give the same words.
    auto* window = qobject_cast<TLinkCtrlFrm*>(link.get());
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(PumpUntil([&] {
        modem->InitModem();
        return modem->ModemReady();
    }));
    sim.UnplugPort();
    ASSERT_TRUE(PumpUntil([&] { return !window->IsModemReady(); }));
    sim.ReplugPort();
    const std::string back = sim.SlavePath();
    ASSERT_EQ(::chown(back.c_str(), daemonUid, serialGid), 0);
    ASSERT_EQ(::chmod(back.c_str(), 0600), 0);
    ::setenv("SKIPMAIL_COM197", back.c_str(), 1);
    const std::string midRun = "Serial Port Access Denied: user nobody may not open COM197 (" +
                               back +
                               "). Only its owner daemon may (mode 0600): run the station as "
                               "daemon, or let a group of nobody's read and write it.";
    const auto shown = [&] { return window->StatusEdit->toPlainText().toStdString(); };
    testing::internal::CaptureStderr();
    {
        TThreadAs as(nobodyUid, nobodyGid);
        ASSERT_TRUE(as.Ok);
        EXPECT_TRUE(PumpUntil([&] { return shown().find(midRun) != std::string::npos; }, 30000))
            << shown();
    }
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("skipmail: " + midRun), std::string::npos) << said;
    EXPECT_EQ(shown().find("does not open: File access denied"), std::string::npos) << shown();
    // The station itself may: the modem is configured again.
    EXPECT_TRUE(PumpUntil([&] { return window->IsModemReady(); }, 30000)) << shown();
}

} // namespace
