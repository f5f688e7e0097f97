#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <mutex>

#include "core/config.h"
#include "core/date_time.h"
#include "core/station_list.h"
#include "mail/account_list.h"
#include "mail/gateway_config_frm.h"
#include "mail/gateway_exchange.h"
#include "mail/mail_gateway.h"
#include "mail/mail_gateway_dialup.h"
#include "netlib/ras/ip_ras.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "support/scripted_ras.h"

namespace {

std::atomic<std::time_t> g_now{0};

std::time_t At(int h, int m, int s)
{
    std::tm t{};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 7;
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

// Records the exchange; can hold the sending until aborted.
class TRecordingExchange : public TGatewayExchange {
public:
    void Begin() override
    {
        FAborted = false;
        Record("begin");
    }
    void SendMail() override
    {
        Record("send");
        if (Hold) {
            Sending.SetEvent();
            FRelease.WaitFor(10000);
        }
    }
    void ReceiveMail() override { Record("receive"); }
    int CountOutgoingMail() override { return Outbox; }
    void Abort() override
    {
        FAborted = true;
        FRelease.SetEvent();
    }
    bool Aborted() const override { return FAborted; }
    std::vector<std::string> Calls()
    {
        std::lock_guard lock(FLock);
        return FCalls;
    }

    std::atomic<int> Outbox{0};
    std::atomic<bool> Hold{false};
    TEvent Sending;

private:
    void Record(const char* what)
    {
        std::lock_guard lock(FLock);
        FCalls.push_back(what);
    }
    std::mutex FLock;
    std::vector<std::string> FCalls;
    std::atomic<bool> FAborted{false};
    TEvent FRelease;
};

using Lines = std::vector<std::string>;

class MailGatewayDialupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Dir.isValid());
        DataRoot::Set(Dir.path().toStdString());
        g_now = At(9, 5, 3);
        DateTime::SetNowForTest([] { return g_now.load(); });
        Ras.Entries = {"isp", "other"};
    }
    void TearDown() override
    {
        Gateway.reset();
        DateTime::SetNowForTest(nullptr);
    }

    void Start(const std::string& extra = "")
    {
        WriteFileAtomic(DataRoot::Path("skipmail.INI"),
                        "[GENERAL]\r\nSOFTWAREVERSION=MAIL GATEWAY\r\n[GATEWAY]\r\n"
                        "CHECKMAILINTERVALENABLED=TRUE\r\nCHECKMAILINTERVAL=10\r\n"
                        "DIALUPENABLED=TRUE\r\nDIALUPCONNECTION=isp\r\n"
                        "DIALUPLOGINNAME=bob\r\n" +
                            extra);
        Config = std::make_unique<TConfig>();
        {
            auto lock = Config->Lock();
            Config->Gateway.DialupPassword = "pw";
        }
        Stations = std::make_unique<TStationList>();
        Accounts = std::make_unique<TAccountList>();
        Settings = std::make_unique<TGatewayConfigFrm>(nullptr, Stations.get(), Config.get(),
                                                       Accounts.get());
        Gateway =
            std::make_unique<TMailGateway>(nullptr, Config.get(), Settings.get(), Accounts.get());
        auto exchange = std::make_unique<TRecordingExchange>();
        Exchange = exchange.get();
        Gateway->SetExchange(std::move(exchange));
        auto dialup = std::make_unique<TMailGatewayDialup>(*Gateway, *Config);
        Dialup = dialup.get();
        Gateway->SetDialup(std::move(dialup));
        Before = Log().size();
    }

    Lines Log(size_t from = 0)
    {
        Lines out;
        const QStringList lines = Gateway->StatusMemo->toPlainText().split('\n');
        for (qsizetype i = static_cast<qsizetype>(from); i < lines.size(); ++i)
            out.push_back(FromQt(lines[i]).substr(22));
        return out;
    }
    Lines NewLines() { return Log(Before); }

    // Runs until the dial thread and the connection are over.
    void Settle()
    {
        ASSERT_TRUE(Dialup->WaitForDialThreads(5000));
        ASSERT_TRUE(Gateway->WaitForConnection(5000));
        QTest::qWait(20);
    }

    void Poll()
    {
        g_now = At(9, 6, 4);
        Gateway->POPTimerTimer();
    }

    QTemporaryDir Dir;
    TScriptedRas Ras;
    std::unique_ptr<TConfig> Config;
    std::unique_ptr<TStationList> Stations;
    std::unique_ptr<TAccountList> Accounts;
    std::unique_ptr<TGatewayConfigFrm> Settings;
    std::unique_ptr<TMailGateway> Gateway;
    TRecordingExchange* Exchange = nullptr;
    TMailGatewayDialup* Dialup = nullptr;
    size_t Before = 0;
};

} // namespace

TEST_F(MailGatewayDialupTest, PollDialsExchangesAndHangsUp)
{
    Start();
    Poll();
    Settle();
    EXPECT_EQ(NewLines(),
              (Lines{"Starting Connection to: isp", "Dialup Networking: Connected to isp",
                     "Hanging up Connection. Please Wait.", "Windows RAS Disconnected",
                     "Next polled connection is at 09:16:04"}));
    EXPECT_EQ(Exchange->Calls(), (Lines{"begin", "send", "receive"}));
    EXPECT_EQ(Ras.CallLog(), (Lines{"entries", "params isp", "dial isp user=bob password=pw",
                                    "dial isp connected", "hangup isp"}));
    EXPECT_EQ(Ras.LiveCount(), 0);
    EXPECT_FALSE(Gateway->Dialling);
    EXPECT_EQ(Gateway->EnabledButton->text(), "Connect");
    EXPECT_TRUE(Gateway->ConfigureMenu->isEnabled());
    EXPECT_TRUE(Gateway->Schedule.RefreshPending);
    // The watchdog armed for the hang-up was stopped when the line went.
    EXPECT_FALSE(Dialup->HangupTimer->isActive());
}

TEST_F(MailGatewayDialupTest, EntryNamesMatchExactly)
{
    Start();
    {
        auto lock = Config->Lock();
        Config->Gateway.DialupConnection = "ISP";
    }
    Poll();
    Settle();
    EXPECT_EQ(NewLines(),
              (Lines{"Starting Connection to: ISP", "Error: ISP is an invalid connection.",
                     "Next polled connection attempt is at 09:16:04",
                     "Click Connect to attempt a connection now."}));
    EXPECT_EQ(Ras.CallLog(), (Lines{"entries"}));
    EXPECT_FALSE(Dialup->DialRequested);
}

TEST_F(MailGatewayDialupTest, FailedDialsReportTheirCauseAndTheNextAttempt)
{
    Start();
    Ras.Outcomes["isp"].Result = RasCode::ERROR_NO_ANSWER;
    Poll();
    Settle();
    EXPECT_EQ(NewLines(), (Lines{"Starting Connection to: isp", "Windows RAS Disconnected",
                                 "Dialup Networking Error: The remote computer did not respond.",
                                 "Next polled connection attempt is at 09:16:04",
                                 "Click Connect to attempt a connection now."}));
    EXPECT_EQ(Dialup->LastDialResult, 678);
    EXPECT_TRUE(Exchange->Calls().empty());
    EXPECT_FALSE(Gateway->Dialling);
    EXPECT_FALSE(Dialup->IgnoreNextDisconnect);

    Ras.Outcomes["isp"].Result = RasCode::ERROR_AUTHENTICATION_FAILURE;
    Before = Log().size();
    g_now = At(9, 16, 5);
    Gateway->POPTimerTimer();
    Settle();
    EXPECT_EQ(NewLines()[2], "Dialup Networking Error: Access was denied because the user name "
                             "or password is not valid.");
}

TEST_F(MailGatewayDialupTest, SendOnlyConnectionAnnouncesNoPoll)
{
    Start("DELIVERMAILIMMEDIATELY=1\r\n");
    Exchange->Outbox = 1;
    Gateway->Timer1Timer();
    Settle();
    EXPECT_EQ(Exchange->Calls(), (Lines{"begin", "send"}));
    EXPECT_EQ(NewLines(),
              (Lines{"Mail is waiting to be sent. Starting Connection",
                     "Dialup Networking: Connected to isp", "Hanging up Connection. Please Wait.",
                     "Windows RAS Disconnected"}));
}

TEST_F(MailGatewayDialupTest, ConnectClickWhileDiallingStops)
{
    Start();
    Ras.Outcomes["isp"].DialMs = 10000;
    Poll();
    ASSERT_TRUE(Ras.WaitForDialling("isp", 3000));
    Gateway->EnabledButtonClick();
    Settle();
    const Lines lines = NewLines();
    EXPECT_EQ(lines[1], "Stopping Current Connection");
    EXPECT_EQ(lines[2], "Hanging up Connection. Please Wait.");
    for (const auto& line : lines)
        EXPECT_EQ(line.find("Dialup Networking Error"), std::string::npos) << line;
    EXPECT_EQ(Gateway->EnabledButton->text(), "Connect");
    EXPECT_FALSE(Gateway->Dialling);
    EXPECT_EQ(Ras.LiveCount(), 0);
    EXPECT_TRUE(Exchange->Calls().empty());
}

TEST_F(MailGatewayDialupTest, ADroppedLineEndsTheExchange)
{
    Start();
    Exchange->Hold = true;
    Poll();
    ASSERT_TRUE(Exchange->Sending.WaitFor(5000));
    Ras.DropLine("isp");
    // The dialer's watch notices the drop within its second.
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Gateway->Dialling; }, 5000));
    Settle();
    const Lines lines = NewLines();
    EXPECT_EQ(lines[2], "Windows RAS Disconnected");
    EXPECT_TRUE(Exchange->Aborted());
    EXPECT_EQ(Exchange->Calls(), (Lines{"begin", "send"}));
}

TEST_F(MailGatewayDialupTest, WatchdogHangsUpOnceWhenTheHangupFails)
{
    Start();
    Exchange->Hold = true;
    Poll();
    ASSERT_TRUE(Exchange->Sending.WaitFor(5000));
    Ras.IsAvailable = false; // the hang-up at the end raises
    Exchange->Abort();
    ASSERT_TRUE(Dialup->WaitForDialThreads(5000));
    QTest::qWait(20);
    EXPECT_EQ(NewLines().back(), "Next polled connection is at 09:16:04");
    EXPECT_EQ(NewLines()[3], "Windows RAS Hangup Error to: isp");
    EXPECT_TRUE(Dialup->HangupTimer->isActive());
    EXPECT_TRUE(Gateway->Dialling);

    Ras.IsAvailable = true;
    Before = Log().size();
    Dialup->HangupTimerTimer();
    EXPECT_FALSE(Dialup->HangupTimer->isActive());
    QTest::qWait(20);
    EXPECT_EQ(NewLines(), (Lines{"Windows RAS Disconnected", "Windows RAS Dial Disconnection Error",
                                 "Attempting to hangup connection",
                                 "Next polled connection attempt is at 09:16:04",
                                 "Click Connect to attempt a connection now."}));
    EXPECT_EQ(Ras.LiveCount(), 0);
    EXPECT_FALSE(Gateway->Dialling);
}

TEST_F(MailGatewayDialupTest, NoDialupServiceIsReportedAtTheStart)
{
    Start();
    Ras.IsAvailable = false;
    Poll();
    Settle();
    EXPECT_EQ(NewLines(), (Lines{"Starting Connection to: isp", "Windows RAS Dial Error to: isp",
                                 "Next polled connection attempt is at 09:16:04",
                                 "Click Connect to attempt a connection now."}));
    EXPECT_TRUE(Dialup->ListEntries().empty());
}
