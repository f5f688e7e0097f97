#include "netlib/ras/ip_ras.h"
#include "netlib/ras/ip_ras_status.h"
#include "support/scripted_ras.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLabel>
#include <QTest>

#include <chrono>
#include <mutex>
#include <thread>

namespace {

class IpRasDialerTest : public testing::Test {
protected:
    void SetUp() override
    {
        Ras.Entries = {"Office", "Home"};
        Dialer = std::make_unique<TIpRasDialer>();
        Dialer->SetDialMode(dmSync);
        // Events come from the GUI thread and from the thread that dials.
        Dialer->OnDisconnected = [this](QObject*) { Record("disconnected"); };
        Dialer->OnConnected = [this](QObject*) { Record("connected"); };
        Dialer->OnDialStatus = [this](QObject*, int s) { Record("status " + std::to_string(s)); };
        Dialer->OnDialError = [this](QObject*, int e) { Record("error " + std::to_string(e)); };
    }
    void Record(const std::string& event)
    {
        std::lock_guard lock(EventsLock);
        Events.push_back(event);
    }
    void TearDown() override { Dialer.reset(); }

    TScriptedRas Ras;
    std::unique_ptr<TIpRasDialer> Dialer;
    std::mutex EventsLock;
    std::vector<std::string> Events;
};

using TLog = std::vector<std::string>;

TEST_F(IpRasDialerTest, SynchronousDialRaisesOnlyTheDisconnectBeforeDialling)
{
    Dialer->SetEntryName("Office");
    EXPECT_EQ(Dialer->Dial(), 0);
    EXPECT_EQ(Events, (TLog{"disconnected"}));
    EXPECT_NE(Dialer->GetConnection(), 0u);
    EXPECT_EQ(Dialer->GetConnectState(), RasState::RASCS_Connected);
    EXPECT_EQ(Dialer->GetIpAddress(), "10.64.0.2");
    EXPECT_EQ(Dialer->GetDeviceType(), "modem");
    EXPECT_TRUE(Dialer->DisconnectTimer()->isActive());
    std::vector<std::string> connections;
    EXPECT_EQ(Dialer->ListConnections(&connections), 0);
    EXPECT_EQ(connections, (std::vector<std::string>{"Office"}));

    Dialer->Hangup();
    EXPECT_EQ(Events, (TLog{"disconnected", "disconnected"}));
    EXPECT_FALSE(Dialer->DisconnectTimer()->isActive());
    EXPECT_EQ(Ras.LiveCount(), 0);
    EXPECT_EQ(Dialer->GetConnectState(), RasState::RASCS_Disconnected);
}

TEST_F(IpRasDialerTest, FailedDialPassesTheCodeAndDisconnectsTwice)
{
    Ras.Outcomes["Office"].Result = RasCode::ERROR_NO_ANSWER;
    Dialer->SetEntryName("Office");
    EXPECT_EQ(Dialer->Dial(), 678);
    EXPECT_EQ(Events, (TLog{"disconnected", "disconnected"}));
    EXPECT_FALSE(Dialer->DisconnectTimer()->isActive());
    EXPECT_EQ(Dialer->GetErrorText(678), "The remote computer did not answer.");
    Ras.Outcomes["Office"].Result = RasCode::ERROR_AUTHENTICATION_FAILURE;
    EXPECT_EQ(Dialer->Dial(), 691);
}

TEST_F(IpRasDialerTest, DialParametersAreCutToTheirFields)
{
    Dialer->SetEntryName("Office");
    Dialer->SetUserName("bob");
    Dialer->SetPassword(std::string(300, 'p'));
    Dialer->SetDomain("a-domain-longer-than-fifteen");
    Dialer->SetPhoneNumber(std::string(200, '5'));
    Dialer->SetExtendedDialOptions(IpRasOption(edoSetModemSpeaker) |
                                   IpRasOption(edoIgnoreSWCompression));
    ASSERT_EQ(Dialer->Dial(), 0);
    const TRasDialParams sent = Ras.LastDial();
    EXPECT_EQ(sent.Password, std::string(256, 'p'));
    EXPECT_EQ(sent.Domain, "a-domain-longer");
    EXPECT_EQ(sent.PhoneNumber.size(), 128u);
    EXPECT_EQ(sent.UserName, "bob");
    EXPECT_EQ(sent.Options, 0x08u | 0x10u);
}

TEST_F(IpRasDialerTest, EntryOperationsWithoutAnEntryNameAskNothingOfRas)
{
    EXPECT_EQ(Dialer->GetDialParameters(), 623);
    EXPECT_EQ(Dialer->SetDialParameters(), 623);
    EXPECT_EQ(Dialer->EditPhonebookEntry(), 623);
    EXPECT_EQ(Dialer->DeletePhonebookEntry(), 623);
    EXPECT_TRUE(Ras.CallLog().empty());
    EXPECT_EQ(Dialer->ListEntries(nullptr), -1);
    EXPECT_EQ(Dialer->ListConnections(nullptr), -1);
}

TEST_F(IpRasDialerTest, SettingTheEntryReadsItsStoredParameters)
{
    TRasDialParams& stored = Ras.Stored["Home"];
    stored.EntryName = "Home";
    stored.PhoneNumber = "5551234";
    stored.UserName = "alice";
    stored.Domain = "WORK";
    Dialer->SetPassword("typed");
    Dialer->SetEntryName("Home");
    EXPECT_EQ(Dialer->PhoneNumber(), "5551234");
    EXPECT_EQ(Dialer->UserName(), "alice");
    EXPECT_EQ(Dialer->Domain(), "WORK");
    EXPECT_EQ(Dialer->Password(), ""); // none stored
    Ras.Stored["Home"].Password = "kept";
    Dialer->SetEntryName("Home");
    EXPECT_EQ(Dialer->Password(), "kept");
    Dialer->SetEntryName("Nowhere");
    EXPECT_EQ(Dialer->EntryName(), "Nowhere");
    EXPECT_EQ(Dialer->GetDialParameters(), 623);
}

TEST_F(IpRasDialerTest, APhoneBookIsListedWhole)
{
    Ras.Entries.clear();
    for (int i = 0; i < 66; ++i)
        Ras.Entries.push_back("Entry" + std::to_string(i));
    std::vector<std::string> list{"stale"};
    EXPECT_EQ(Dialer->ListEntries(&list), 0);
    EXPECT_EQ(list, Ras.Entries);
}

TEST_F(IpRasDialerTest, StatusTexts)
{
    EXPECT_EQ(TIpCustomRasDialer::GetStatusText(24), "Unknown status");
    EXPECT_EQ(TIpCustomRasDialer::GetStatusText(4100), "Unknown status");
    EXPECT_EQ(TIpCustomRasDialer::GetStatusText(4096), "Paused");
    EXPECT_EQ(TIpCustomRasDialer::GetStatusText(0x2001), "Disconnected");
    EXPECT_EQ(TIpCustomRasDialer::GetStatusText(12), "Authenticate acknowledged");
}

TEST_F(IpRasDialerTest, DestructionHangsUpOnlyItsOwnLineAndRaisesNothing)
{
    // Another program's line.
    HRASCONN other = 0;
    TRasDialParams home;
    home.EntryName = "Home";
    std::string words;
    ASSERT_EQ(Ras.Dial("", home, nullptr, other, words), 0);

    Dialer->SetEntryName("Office");
    ASSERT_EQ(Dialer->Dial(), 0);
    Events.clear();
    Dialer.reset();
    EXPECT_TRUE(Events.empty());
    EXPECT_EQ(Ras.LiveCount(), 1);

    // An empty entry name and no handle: nothing is hung up.
    auto idle = std::make_unique<TIpRasDialer>();
    EXPECT_EQ(idle->GetConnection(), 0u);
    idle->Hangup();
    idle.reset();
    EXPECT_EQ(Ras.LiveCount(), 1);
    TRasConnStatus status;
    EXPECT_EQ(Ras.GetConnectStatus(other, status), 0);
}

TEST_F(IpRasDialerTest, HangupWaitsForTheLineWithABound)
{
    Ras.HangupLatencyMs = 200;
    Dialer->SetEntryName("Office");
    ASSERT_EQ(Dialer->Dial(), 0);
    auto start = std::chrono::steady_clock::now();
    Dialer->Hangup();
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_EQ(Ras.LiveCount(), 0);

    // A line that never goes holds the hang-up only as long as the bound.
    Ras.HangupLatencyMs = 60000;
    Dialer->HangupTimeoutMs = 300;
    ASSERT_EQ(Dialer->Dial(), 0);
    start = std::chrono::steady_clock::now();
    Dialer->Hangup();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(250));
    EXPECT_LT(took, std::chrono::milliseconds(3000));
}

TEST_F(IpRasDialerTest, DialOnAWorkerArmsTheWatchOnTheGuiThread)
{
    Dialer->SetEntryName("Office");
    int rc = -1;
    std::thread worker([&] { rc = Dialer->Dial(); });
    worker.join();
    EXPECT_EQ(rc, 0);
    EXPECT_FALSE(Dialer->DisconnectTimer()->isActive());
    QCoreApplication::processEvents();
    EXPECT_TRUE(Dialer->DisconnectTimer()->isActive());

    // A dropped line is noticed by the watch: hang-up and disconnect.
    Events.clear();
    Ras.DropLine("Office");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !Events.empty(); }, 3000));
    EXPECT_EQ(Events, (TLog{"disconnected"}));
    EXPECT_FALSE(Dialer->DisconnectTimer()->isActive());
    EXPECT_EQ(Dialer->GetConnection(), 0u);
}

TEST_F(IpRasDialerTest, AHangupFromTheGuiEndsADialUnderWay)
{
    Ras.Outcomes["Office"].DialMs = 10000;
    Dialer->SetEntryName("Office");
    int rc = -1;
    std::thread worker([&] { rc = Dialer->Dial(); });
    ASSERT_TRUE(Ras.WaitForDialling("Office", 3000));
    Dialer->Hangup();
    worker.join();
    EXPECT_EQ(rc, RasCode::ERROR_USER_DISCONNECTION);
}

TEST_F(IpRasDialerTest, AsynchronousDialReportsStatesAndConnectsOnTheGuiThread)
{
    Dialer->SetDialMode(dmAsync);
    Ras.Outcomes["Office"].States = {0, 2, 14};
    Dialer->SetEntryName("Office");
    EXPECT_EQ(Dialer->Dial(), 0);
    EXPECT_TRUE(
        QTest::qWaitFor([&] { return !Events.empty() && Events.back() == "connected"; }, 3000));
    EXPECT_EQ(Events, (TLog{"disconnected", "status 0", "status 2", "status 14", "connected"}));
    EXPECT_TRUE(Dialer->DisconnectTimer()->isActive());
    EXPECT_NE(Dialer->GetConnection(), 0u);
}

TEST_F(IpRasDialerTest, AsynchronousErrorIsReportedThenHungUp)
{
    Dialer->SetDialMode(dmAsync);
    Ras.Outcomes["Office"].Result = RasCode::ERROR_LINE_BUSY;
    Ras.Outcomes["Office"].States.clear();
    Dialer->SetEntryName("Office");
    EXPECT_EQ(Dialer->Dial(), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return Events.size() >= 3; }, 3000));
    EXPECT_EQ(Events, (TLog{"disconnected", "error 676", "disconnected"}));
}

// A display that keeps what it was shown.
class TTextDisplay : public TIpAbstractRasStatus {
public:
    void UpdateDisplay(const std::string& text) override { Shown.push_back(text); }
    void CreateDisplay(const std::string&) override {}
    void DestroyDisplay() override {}
    std::vector<std::string> Shown;
};

TEST_F(IpRasDialerTest, FailedDialShowsTheServicesOwnWords)
{
    TTextDisplay display;
    Dialer->SetStatusDisplay(&display);
    Ras.Outcomes["Office"].States.clear();
    Ras.Outcomes["Office"].Result = RasCode::ERROR_CORRUPT_PHONEBOOK;
    Ras.Outcomes["Office"].Words = "pppd: unrecognized option '/dev/ttyUSB0'";
    const std::string shown = "The phone-book entry holds invalid settings.\n"
                              "pppd: unrecognized option '/dev/ttyUSB0'";
    Dialer->SetEntryName("Office");
    EXPECT_EQ(Dialer->Dial(), RasCode::ERROR_CORRUPT_PHONEBOOK);
    EXPECT_EQ(display.Shown, (TLog{shown}));
    EXPECT_EQ(Dialer->LastDialWords(), Ras.Outcomes["Office"].Words);

    Dialer->SetDialMode(dmAsync);
    display.Shown.clear();
    EXPECT_EQ(Dialer->Dial(), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !display.Shown.empty(); }, 3000));
    EXPECT_EQ(display.Shown, (TLog{shown}));

    // Without words, the code's text alone; a new dial forgets old words.
    Ras.Outcomes["Office"].Words.clear();
    Ras.Outcomes["Office"].Result = RasCode::ERROR_LINE_BUSY;
    display.Shown.clear();
    EXPECT_EQ(Dialer->Dial(), 0);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !display.Shown.empty(); }, 3000));
    EXPECT_EQ(display.Shown, (TLog{"The line is busy."}));
    EXPECT_EQ(Dialer->LastDialWords(), "");
    Dialer->SetStatusDisplay(nullptr);
}

TEST_F(IpRasDialerTest, UnavailableServiceRaisesNamingTheEntryPoint)
{
    Dialer->SetEntryName("Office");
    Ras.IsAvailable = false;
    try {
        Dialer->Dial();
        FAIL() << "no service";
    } catch (const EIpAccessException& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Win32 error loading 'RasDialA' pointer: ", 0), 0u);
    }
    EXPECT_FALSE(IpRasAccess().GetRasAvailable());
    EXPECT_EQ(std::string(EIpRasError(631, "RasDial").what()), "Ras Error (631): on API 'RasDial'");
}

TEST_F(IpRasDialerTest, EntryBoxFillsFromThePhoneBookAndPicksTheEntry)
{
    QWidget form;
    auto* dialer = new TIpRasDialer(&form);
    auto* box = new TIpRasEntryComboBox(&form);
    EXPECT_EQ(box->RasDialer(), dialer);
    EXPECT_EQ(dialer->EntryNameCbx(), box);
    int changes = 0;
    box->OnChange = [&](TIpRasEntryComboBox*) { ++changes; };
    box->Populate();
    ASSERT_EQ(box->count(), 2);
    dialer->SetEntryName("Home");
    EXPECT_EQ(box->currentText(), "Home");
    EXPECT_EQ(changes, 1);
    box->setCurrentIndex(0);
    Q_EMIT box->activated(0);
    EXPECT_EQ(dialer->EntryName(), "Office");
}

} // namespace
