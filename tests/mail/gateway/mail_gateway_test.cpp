#include <gtest/gtest.h>

#include <QTest>

#include "core/config.h"
#include "core/login_frm.h"
#include "core/password_codec.h"
#include "mail/gateway/gateway_test_helpers.h"
#include "mail/gateway_config_frm.h"
#include "mail/gateway_dialup.h"
#include "mail/mail_gateway.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "platform/text.h"
#include "support/scripted_dialogs.h"

namespace {

// A dial-up side with a phone book and nothing more.
class TPhoneBook : public TGatewayDialup {
public:
    std::vector<std::string> ListEntries() override { return {"isp", "other"}; }
    bool StartDialupConnection() override { return false; }
    void HangupConnection() override {}
};

class MailGatewayTest : public GatewayFixture {
protected:
    void Start(const std::string& gatewaySection) { StartGateway(gatewaySection); }
    size_t LogSize() { return Log().size(); }

    void Tick(std::time_t now)
    {
        Now = now;
        Gateway->POPTimerTimer();
        ASSERT_TRUE(Gateway->WaitForConnection(5000));
    }
};

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

    Tick(MarchAt(7, 9, 6, 3));
    EXPECT_TRUE(Exchange->Calls().empty());
    const size_t before = LogSize();
    Tick(MarchAt(7, 9, 6, 4));
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
    Tick(MarchAt(7, 12, 0, 0));
    Tick(MarchAt(7, 12, 0, 1));
    Tick(MarchAt(7, 12, 0, 2));
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
    Now = MarchAt(7, 11, 0, 0); // a poll is long due
    Gateway->POPTimerTimer();
    Gateway->Timer1Timer();
    Gateway->RunExchange(); // as a second dial thread would
    EXPECT_EQ(Exchange->Calls(), (Lines{"begin", "send"}));

    const size_t before = LogSize();
    Gateway->EnabledButton->click();
    ASSERT_TRUE(Gateway->WaitForConnection(5000));
    EXPECT_EQ(Exchange->Calls(), (Lines{"begin", "send"}));
    EXPECT_EQ(Exchange->Aborts(), 1);
    EXPECT_EQ(Log(before),
              (Lines{"Stopping Current Connection", "Next polled connection is at 11:20:00"}));
    EXPECT_EQ(Gateway->EnabledButton->text(), "Connect");
}

TEST_F(MailGatewayTest, DisconnectRightAfterConnectStopsBeforeTheWorkerBegins)
{
    Start("");
    Exchange->HoldStart = true;
    Gateway->EnabledButtonClick();
    Gateway->EnabledButtonClick();
    Exchange->StartGate.SetEvent();
    ASSERT_TRUE(Gateway->WaitForConnection(5000));
    EXPECT_EQ(Exchange->Calls(), (Lines{"begin"}));
    EXPECT_EQ(Gateway->EnabledButton->text(), "Connect");
}

TEST_F(MailGatewayTest, AFailedDialUpStartMovesThePollOnAndKeepsTheTimerRunning)
{
    Start("CHECKMAILINTERVALENABLED=TRUE\r\nCHECKMAILINTERVAL=10\r\nDIALUPENABLED=TRUE\r\n"
          "DIALUPCONNECTION=isp\r\n");
    const size_t before = LogSize();
    Tick(MarchAt(7, 9, 6, 4));
    Tick(MarchAt(7, 9, 6, 5));
    EXPECT_EQ(Exchange->Calls(), (Lines{"begin"}));
    EXPECT_EQ(Log(before),
              (Lines{"Starting Connection to: isp", "Error: isp is an invalid connection.",
                     "Next polled connection attempt is at 09:16:04",
                     "Click Connect to attempt a connection now."}));
    EXPECT_TRUE(Gateway->POPTimer->isActive());
    EXPECT_FALSE(Gateway->Dialling);
    Tick(MarchAt(7, 9, 16, 5));
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

TEST_F(MailGatewayTest, TheWindowCarriesItsUnusedPButton)
{
    Start("");
    auto* p = Gateway->findChild<QPushButton*>("Button2");
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->text(), "&P");
    const size_t before = LogSize();
    p->click();
    EXPECT_EQ(Log(before), Lines{});
}
