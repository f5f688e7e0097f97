#include <gtest/gtest.h>

#include <QApplication>
#include <QTest>
#include <cstdlib>
#include <future>

#include "app/main_form.h"
#include "mail/e2e/station_without_modem.h"
#include "mail/mail_gateway.h"
#include "mail/mail_test_helpers.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "support/peer_process.h"
#include "support/scripted_ras.h"
#include "support/shell_command.h"
#include "support/test_files.h"

namespace {

// A gateway station as the program builds it (without a modem), between mail
// clients on its LAN and fake Internet servers: mail from a client reaches
// the Internet SMTP server byte for byte, and mail in an account's Internet
// mailbox reaches the HF user's mailbox. `gatewayKeys` are further [GATEWAY]
// lines of the station's settings.
void ExchangeThroughTheStation(const std::string& gatewayKeys)
{
    TempRoot root;
    TScratch net;
    PeerProcess internet("fake_internet.py", {net.Dir()});
    ASSERT_EQ(internet.Ports().size(), 2u);
    setenv("SKIPMAIL_GATEWAY_SMTP_PORT", std::to_string(internet.Ports()[0]).c_str(), 1);
    setenv("SKIPMAIL_GATEWAY_POP3_PORT", std::to_string(internet.Ports()[1]).c_str(), 1);

    const int smtpPort = FreePort();
    const int pop3Port = FreePort();
    WriteFileAtomic(
        DataRoot::Path("skipmail.INI"),
        "[GENERAL]\r\nSOFTWAREVERSION=MAIL GATEWAY\r\n[SMTP]\r\nENABLED=ON\r\nSMTPPORT=" +
            std::to_string(smtpPort) + "\r\n[POP3]\r\nENABLED=ON\r\nPOP3PORT=" +
            std::to_string(pop3Port) + "\r\n[GATEWAY]\r\nSMTPADDRESS=127.0.0.1\r\n" + gatewayKeys);
    WriteFileAtomic(DataRoot::Path("stations.dat"), "HOME,,,,DISABLED,,,,\r\n");
    // Passwords are stored as the reversed hex of their bytes: "bobpw".
    WriteFileAtomic(DataRoot::Path("users.dat"), "admin:E696D64616:\r\nbob:770726F626:\r\n");
    WriteFileAtomic(DataRoot::Path("accounts.dat"),
                    "bob@HOME:HOME:bob@example.com:bobnet:pw:127.0.0.1:ENABLED\r\n");

    auto form = std::make_unique<TMainForm>(StationPartsWithoutModem());
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Started(); }, 10000));
    TMailGateway* gateway = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        gateway = gateway ? gateway : qobject_cast<TMailGateway*>(w);
    ASSERT_NE(gateway, nullptr);

    // The operator keeps clicking Connect while the clients work.
    QTimer connect;
    QObject::connect(&connect, &QTimer::timeout, [gateway] {
        if (!gateway->Dialling)
            gateway->EnabledButtonClick();
    });
    connect.start(200);

    const char* source = std::getenv("SKIPMAIL_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    const std::string command = std::string("python3 ") + source +
                                "/tests/mail/e2e/gateway_e2e.py " + net.Dir() + " " +
                                std::to_string(smtpPort) + " " + std::to_string(pop3Port);
    auto result = std::async(std::launch::async, RunShellCommand, command);
    ASSERT_TRUE(PumpUntil(
        [&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
        100000));
    connect.stop();
    TShellResult r = result.get();
    EXPECT_EQ(r.Status, 0) << r.Output;
    EXPECT_NE(r.Output.find("gateway end to end: ok"), std::string::npos) << r.Output;
    form->Shutdown(0);
    unsetenv("SKIPMAIL_GATEWAY_SMTP_PORT");
    unsetenv("SKIPMAIL_GATEWAY_POP3_PORT");
}

} // namespace

TEST(GatewayEndToEnd, MailGoesOutToTheInternetAndComesInToTheUser)
{
    ExchangeThroughTheStation("");
}

// The same over dial-up: every connection dials the phone-book entry first
// and hangs it up at its end.
TEST(GatewayEndToEnd, DialUpConnectionsDialExchangeAndHangUp)
{
    TScriptedRas ras;
    ras.Entries = {"other", "isp"};
    ExchangeThroughTheStation("DIALUPENABLED=TRUE\r\nDIALUPCONNECTION=isp\r\n"
                              "DIALUPLOGINNAME=bob\r\n");
    const std::vector<std::string> calls = ras.CallLog();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "dial isp connected"), calls.end());
    EXPECT_NE(std::find(calls.begin(), calls.end(), "hangup isp"), calls.end());
    EXPECT_EQ(ras.LiveCount(), 0);
}
