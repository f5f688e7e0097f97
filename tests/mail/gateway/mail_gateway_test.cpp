#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <mutex>

#include "core/config.h"
#include "core/date_time.h"
#include "core/login_frm.h"
#include "core/password_codec.h"
#include "core/station_list.h"
#include "mail/account_list.h"
#include "mail/gateway_config_frm.h"
#include "mail/gateway_dialup.h"
#include "mail/gateway_exchange.h"
#include "mail/mail_gateway.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "support/scripted_dialogs.h"

namespace {

std::atomic<std::time_t> g_now{0};

std::time_t At(int day, int h, int m, int s)
{
    std::tm t{};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 2;
    t.tm_mday = day;
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

// Records what the gateway asks of a connection; can hold a connection open
// until it is aborted.
class TFakeExchange : public TGatewayExchange {
public:
    void Begin() override
    {
        FAborted = false;
        Record("begin");
    }
    void SendMail() override
    {
        Record("send");
        if (Hold)
            FRelease.WaitFor(10000);
    }
    void ReceiveMail() override { Record("receive"); }
    int CountOutgoingMail() override { return Outbox; }
    void Abort() override
    {
        FAborted = true;
        Record("abort");
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

// A dial-up side with a phone book and nothing more.
class TPhoneBook : public TGatewayDialup {
public:
    std::vector<std::string> ListEntries() override { return {"isp", "other"}; }
    bool StartDialupConnection() override { return false; }
    void HangupConnection() override {}
};

class MailGatewayTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Dir.isValid());
        DataRoot::Set(Dir.path().toStdString());
        g_now = At(7, 9, 5, 3);
        DateTime::SetNowForTest([] { return g_now.load(); });
    }
    void TearDown() override
    {
        Gateway.reset();
        DateTime::SetNowForTest(nullptr);
    }

    void Start(const std::string& gatewaySection)
    {
        WriteFileAtomic(DataRoot::Path("skipmail.INI"),
                        "[GENERAL]\r\nSOFTWAREVERSION=MAIL GATEWAY\r\n[GATEWAY]\r\n" +
                            gatewaySection);
        Config = std::make_unique<TConfig>();
        Stations = std::make_unique<TStationList>();
        Accounts = std::make_unique<TAccountList>();
        Settings = std::make_unique<TGatewayConfigFrm>(nullptr, Stations.get(), Config.get(),
                                                       Accounts.get());
        Gateway =
            std::make_unique<TMailGateway>(nullptr, Config.get(), Settings.get(), Accounts.get());
        auto exchange = std::make_unique<TFakeExchange>();
        Exchange = exchange.get();
        Gateway->SetExchange(std::move(exchange));
    }

    // Log texts (without their stamps) since `from`.
    std::vector<std::string> Log(size_t from = 0)
    {
        std::vector<std::string> out;
        const QStringList lines = Gateway->StatusMemo->toPlainText().split('\n');
        for (qsizetype i = static_cast<qsizetype>(from); i < lines.size(); ++i)
            out.push_back(FromQt(lines[i]).substr(22));
        return out;
    }
    size_t LogSize() { return Log().size(); }

    void Tick(std::time_t now)
    {
        g_now = now;
        Gateway->POPTimerTimer();
        ASSERT_TRUE(Gateway->WaitForConnection(5000));
    }

    QTemporaryDir Dir;
    std::unique_ptr<TConfig> Config;
    std::unique_ptr<TStationList> Stations;
    std::unique_ptr<TAccountList> Accounts;
    std::unique_ptr<TGatewayConfigFrm> Settings;
    std::unique_ptr<TMailGateway> Gateway;
    TFakeExchange* Exchange = nullptr;
};

using Lines = std::vector<std::string>;

} // namespace

TEST_F(MailGatewayTest, StartLogsTheSettingsAndTheFirstPollAMinuteOn)
{
    Start("CHECKMAILINTERVALENABLED=TRUE\r\nCHECKMAILINTERVAL=20\r\n"
          "MAILSERVERSCHEDULEDLINK1ENABLED=ENABLED\r\nMAILSERVERSCHEDULEDLINK3ENABLED=ENABLED\r\n");
    EXPECT_EQ(Log(), (Lines{"Mail Gateway has started",
                            "Dialup Networking is Disabled (using Local Area Network)",
                            "2 Scheduled Send/Receive Connections",
                            "Polled checking is Enabled every 20 minutes",
                            "Outgoing mail is delivered when receiving mail",
                            "Starting scheduled connection at 09:06:03"}));
    EXPECT_EQ(FromQt(Gateway->StatusMemo->toPlainText()).substr(0, 46),
              "[07-Mar-24 09:05:03]  Mail Gateway has started");
    std::string file;
    ASSERT_TRUE(ReadWholeFile(DataRoot::Path("LOGS/MAIL_GATEWAY_0307.TXT"), file));
    EXPECT_EQ(file.substr(0, 48), "[07-Mar-24 09:05:03]  Mail Gateway has started\r\n");
    EXPECT_TRUE(Gateway->POPTimer->isActive());
    EXPECT_EQ(Gateway->windowTitle(), "Mail Gateway");

    Tick(At(7, 9, 6, 3));
    EXPECT_TRUE(Exchange->Calls().empty());
    const size_t before = LogSize();
    Tick(At(7, 9, 6, 4));
    EXPECT_EQ(Exchange->Calls(), (Lines{"begin", "send", "receive"}));
    EXPECT_EQ(Log(before),
              (Lines{"Starting Local Area Connection", "Next polled connection is at 09:26:04"}));
    EXPECT_EQ(Gateway->EnabledButton->text(), "Connect");
    EXPECT_TRUE(Gateway->ConfigureMenu->isEnabled());
}

TEST_F(MailGatewayTest, ScheduledTimeStartsAFullConnectionOnce)
{
    Start("MAILSERVERSCHEDULEDLINK2=0.5\r\nMAILSERVERSCHEDULEDLINK2ENABLED=ENABLED\r\n");
    const size_t before = LogSize();
    Tick(At(7, 12, 0, 0));
    Tick(At(7, 12, 0, 1));
    Tick(At(7, 12, 0, 2));
    EXPECT_EQ(Exchange->Calls(), (Lines{"begin", "send", "receive"}));
    // Polling is off: no next poll is announced.
    EXPECT_EQ(Log(before), (Lines{"Starting Scheduled Local Area Connection"}));
}

TEST_F(MailGatewayTest, ImmediateDeliverySendsOnlyWhenMailWaits)
{
    Start("DELIVERMAILIMMEDIATELY=1\r\nCHECKMAILINTERVALENABLED=TRUE\r\n");
    const size_t before = LogSize();
    Gateway->Timer1Timer();
    EXPECT_TRUE(Exchange->Calls().empty());
    Exchange->Outbox = 1;
    Gateway->Timer1Timer();
    ASSERT_TRUE(Gateway->WaitForConnection(5000));
    EXPECT_EQ(Exchange->Calls(), (Lines{"begin", "send"}));
    EXPECT_EQ(Log(before), (Lines{"Mail is waiting to be sent. Starting Connection"}));
}

TEST_F(MailGatewayTest, ConnectWithPollingOffStartsAFullConnection)
{
    Start("");
    const size_t before = LogSize();
    Gateway->EnabledButton->click();
    ASSERT_TRUE(Gateway->WaitForConnection(5000));
    EXPECT_EQ(Exchange->Calls(), (Lines{"begin", "send", "receive"}));
    EXPECT_EQ(Log(before), (Lines{"Starting Local Area Connection"}));
    EXPECT_FALSE(Gateway->EnabledButton->isChecked());
}

TEST_F(MailGatewayTest, NothingStartsWhileAConnectionRunsAndDisconnectStopsIt)
{
    Start("CHECKMAILINTERVALENABLED=TRUE\r\nDELIVERMAILIMMEDIATELY=1\r\n");
    Exchange->Hold = true;
    Exchange->Outbox = 3;
    Gateway->EnabledButton->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Exchange->Calls().size() == 2; }, 5000));
    EXPECT_EQ(Gateway->EnabledButton->text(), "Disconnect");
    EXPECT_FALSE(Gateway->ConfigureMenu->isEnabled());
    g_now = At(7, 11, 0, 0); // a poll is long due
    Gateway->POPTimerTimer();
    Gateway->Timer1Timer();
    Gateway->RunExchange(); // as a second dial thread would
    EXPECT_EQ(Exchange->Calls(), (Lines{"begin", "send"}));

    const size_t before = LogSize();
    Gateway->EnabledButton->click();
    ASSERT_TRUE(Gateway->WaitForConnection(5000));
    EXPECT_EQ(Exchange->Calls(), (Lines{"begin", "send", "abort"}));
    EXPECT_EQ(Log(before),
              (Lines{"Stopping Current Connection", "Next polled connection is at 11:20:00"}));
    EXPECT_EQ(Gateway->EnabledButton->text(), "Connect");
}

TEST_F(MailGatewayTest, AFailedDialUpStartMovesThePollOnAndKeepsTheTimerRunning)
{
    Start("CHECKMAILINTERVALENABLED=TRUE\r\nCHECKMAILINTERVAL=10\r\nDIALUPENABLED=TRUE\r\n"
          "DIALUPCONNECTION=isp\r\n");
    const size_t before = LogSize();
    Tick(At(7, 9, 6, 4));
    Tick(At(7, 9, 6, 5));
    EXPECT_TRUE(Exchange->Calls().empty());
    EXPECT_EQ(Log(before),
              (Lines{"Starting Connection to: isp", "Error: isp is an invalid connection.",
                     "Next polled connection attempt is at 09:16:04",
                     "Click Connect to attempt a connection now."}));
    EXPECT_TRUE(Gateway->POPTimer->isActive());
    EXPECT_FALSE(Gateway->Dialling);
    Tick(At(7, 9, 16, 5));
    EXPECT_EQ(Log(LogSize() - 4)[0], "Starting Connection to: isp");
}

TEST_F(MailGatewayTest, SettingsOpenAfterTheLoginWithThePhoneBookListed)
{
    Start("PASS=" + EncodePassword("gate") + "\r\n");
    Gateway->SetDialup(std::make_unique<TPhoneBook>());
    TScriptedDialogs dialogs;
    auto login = [](const char* pass) {
        return [pass](QDialog& d) {
            static_cast<TLoginFrm&>(d).PassEdit->setText(pass);
            return TLoginFrm::mrOk;
        };
    };
    dialogs.ExpectDialog("TLoginFrm", login("wrong"))
        .ExpectBox("Please, Check Password and try again.", IDOK)
        .ExpectDialog("TLoginFrm", login("gate"))
        .ExpectDialog("TGatewayConfigFrm", [](QDialog& d) {
            auto& f = static_cast<TGatewayConfigFrm&>(d);
            EXPECT_EQ(f.DialupConnection->count(), 2);
            EXPECT_EQ(f.DialupConnection->itemText(1), "other");
            return 0;
        });
    const size_t before = LogSize();
    Gateway->ConfigureGatewayPopupClick();
    const Lines log = Log(before);
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0], "Mail Gateway has stopped");
    EXPECT_EQ(log[1], "Mail Gateway has started");
    EXPECT_TRUE(Gateway->Timer1->isActive());
    EXPECT_TRUE(Gateway->POPTimer->isActive());
}
