#include <gtest/gtest.h>

#include <QTest>

#include "core/config.h"
#include "core/password_codec.h"
#include "mail/gateway/gateway_test_helpers.h"
#include "mail/mail_gateway.h"
#include "mail/mail_gateway_dialup.h"
#include "platform/ras.h"
#include "support/scripted_ras.h"

namespace {

std::time_t At(int h, int m, int s)
{
    return MarchAt(7, h, m, s);
}

class MailGatewayDialupTest : public GatewayFixture {
protected:
    void SetUp() override
    {
        GatewayFixture::SetUp();
        Ras.Entries = {"isp", "other"};
    }

    void Start(const std::string& extra = "")
    {
        StartGateway("CHECKMAILINTERVALENABLED=TRUE\r\nCHECKMAILINTERVAL=10\r\n"
                     "DIALUPENABLED=TRUE\r\nDIALUPCONNECTION=isp\r\n"
                     "DIALUPLOGINNAME=bob\r\nDIALUPPASSWORD=" +
                     EncodePassword("pw") + "\r\n" + extra);
        auto dialup = std::make_unique<TMailGatewayDialup>(*Gateway, *Config);
        Dialup = dialup.get();
        Gateway->SetDialup(std::move(dialup));
        Before = Log().size();
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
        Now = At(9, 6, 4);
        Gateway->POPTimerTimer();
    }

    TScriptedRas Ras;
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
    EXPECT_EQ(Exchange->Calls(), (Lines{"begin"}));
    EXPECT_FALSE(Gateway->Dialling);
    EXPECT_FALSE(Dialup->IgnoreNextDisconnect);

    Ras.Outcomes["isp"].Result = RasCode::ERROR_AUTHENTICATION_FAILURE;
    Before = Log().size();
    Now = At(9, 16, 5);
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
    EXPECT_EQ(Exchange->Calls(), (Lines{"begin"}));
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
