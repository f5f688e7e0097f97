#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>
#include <QTest>
#include <cstdlib>
#include <future>
#include <ranges>

#include "app/main_form.h"
#include "core/login_frm.h"
#include "core/message_store.h"
#include "core/password_codec.h"
#include "mail/e2e/station_without_modem.h"
#include "mail/mail_test_helpers.h"
#include "mail/net_config_frm.h"
#include "mail/smtp_frm.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "support/scripted_dialogs.h"
#include "support/shell_command.h"
#include "support/test_files.h"

namespace {

// The station as the program builds it, without a modem, with a fast router.
class LocalMailEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        SmtpPort = FreePort();
        Pop3Port = FreePort();
        WriteFileAtomic(DataRoot::Path("skipmail.INI"),
                        "[SMTP]\r\nENABLED=ON\r\nSMTPPORT=" + std::to_string(SmtpPort) +
                            "\r\n[POP3]\r\nENABLED=ON\r\nPOP3PORT=" + std::to_string(Pop3Port) +
                            "\r\n[MAILBOX]\r\nPASS=" + EncodePassword("letmein") + "\r\n");
        WriteFileAtomic(DataRoot::Path("stations.dat"),
                        "HOME,,,,DISABLED,,,,\r\nFAR,,,,DISABLED,,,,\r\n");
        std::string users;
        for (const char* u : {"admin", "bob", "carol"})
            users += std::string(u) + ":" + EncodePassword(std::string(u) + "pw") + ":\r\n";
        WriteFileAtomic(DataRoot::Path("users.dat"), users);
        WriteFileAtomic(DataRoot::Path("alias.dat"), "ext@example.com:carol@HOME:carol:HOME\r\n");

        Form = std::make_unique<TMainForm>(StationPartsWithoutModem());
        ASSERT_TRUE(QTest::qWaitFor([&] { return Form->Started(); }, 10000));
    }
    void TearDown() override
    {
        if (Form)
            Form->Shutdown(0);
        Form.reset();
    }
    const TMenuEntry* Entry(const std::string& text)
    {
        for (const auto& e : Form->MenuEntries())
            if (e.Text == text)
                return &e;
        return nullptr;
    }

    TempRoot Dir;
    int SmtpPort = 0;
    int Pop3Port = 0;
    std::unique_ptr<TMainForm> Form;

    // Runs a client script of tests/mail/e2e against the station; its last
    // line of success is `ok`.
    void RunClients(const std::string& script, const std::string& ok)
    {
        const char* source = std::getenv("SKIPMAIL_SOURCE_DIR");
        ASSERT_NE(source, nullptr);
        std::string command = std::string("python3 ") + source + "/tests/mail/e2e/" + script + " " +
                              Dir.Dir() + " " + std::to_string(SmtpPort) + " " +
                              std::to_string(Pop3Port);
        auto result = std::async(std::launch::async, RunShellCommand, command);
        // The station's GUI thread keeps running while the clients work.
        ASSERT_TRUE(PumpUntil(
            [&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            170000));
        TShellResult r = result.get();
        EXPECT_EQ(r.Status, 0) << r.Output;
        EXPECT_NE(r.Output.find(ok), std::string::npos) << r.Output;
    }
};

TEST_F(LocalMailEndToEnd, MailClientsSendAndFetchThroughTheRouter)
{
    RunClients("local_mail_e2e.py", "local mail end to end: ok");
}

// Connections dropped before, during and after RETR and DELE lose nothing;
// three fetchmail polls deliver each message once.
TEST_F(LocalMailEndToEnd, DroppedPop3ConnectionsLoseNoMail)
{
    RunClients("pop3_drops_e2e.py", "pop3 drops end to end: ok");
}

// The station's SMTP server asks the router which recipients are on the
// Internet: a client outside its networks gets 550 for those (an alias
// brings ext@example.com to carol, so that one is local).
TEST_F(LocalMailEndToEnd, AClientFromOutsideCannotRelayToTheInternet)
{
    TSMTPFrm* smtp = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* f = qobject_cast<TSMTPFrm*>(w))
            smtp = f;
    ASSERT_NE(smtp, nullptr);
    smtp->ClientAddress = [](TIdCommand&) { return std::string("198.51.100.7"); };
    TLineClient c(SmtpPort);
    c.ReadLine();
    c.ReadLine();
    c.Command("HELO far.away");
    c.Command("MAIL FROM:<spam@far.away>");
    EXPECT_EQ(c.Command("RCPT TO:<someone@example.org>").substr(0, 4), "550 ");
    EXPECT_EQ(c.Command("RCPT TO:<ext@example.com>").substr(0, 4), "251 ");
    EXPECT_EQ(c.Command("RCPT TO:<bob@HOME>").substr(0, 4), "251 ");
    EXPECT_EQ(c.Command("DATA").substr(0, 4), "354 ");
    c.Send("Subject: from afar\r\n\r\nhi\r\n.\r\n");
    EXPECT_EQ(c.ReadLine(), "250 Ok");
    const std::string root = Dir.Dir();
    auto count = [&](const std::string& dir) {
        return MessageStore::ListMessages(root + "/" + dir).size();
    };
    EXPECT_TRUE(PumpUntil([&] { return count("MAIL/bob") == 1 && count("MAIL/carol") == 1; }));
    EXPECT_EQ(count("MAIL/GATEWAY"), 0u);
}

// A stranger: a client in a network namespace of its own, on none of the
// station's subnets. It names a victim as sender and tries every way of
// making the station mail or fax beyond the HF network; it gets 550 for
// each, 552 for a message over the size limit, and reaches only bob. The
// mailbox log names it once; nothing reaches the gateway outbox or the fax
// mailbox. From loopback the same recipients are taken as before.
TEST_F(LocalMailEndToEnd, AStrangerMakesTheStationSendNothingBeyondTheNetwork)
{
    TOutsideNetwork outside;
    if (!outside.Ready()) {
        if (std::getenv("CI"))
            FAIL() << "no network namespace: " << outside.Error();
        GTEST_SKIP() << "no network namespace (only root makes one): " << outside.Error();
    }
    const std::string root = Dir.Dir();
    auto count = [&](const std::string& dir) {
        return MessageStore::ListMessages(root + "/" + dir).size();
    };
    {
        TLineClient c(TLineClient::TConnected{outside.Connect(SmtpPort)});
        ASSERT_TRUE(c.Connected());
        c.ReadLine();
        c.ReadLine();
        c.Command("HELO stranger");
        EXPECT_EQ(c.Command("MAIL FROM:<victim@example.org>").substr(0, 4), "250 ");
        for (const char* refused : {"nosuch@HOME", "FAX2@HOME", "fax2", "someone@example.org",
                                    "FAX2@FAR", "nosuch@NOWHERE"})
            EXPECT_EQ(c.Command(std::string("RCPT TO:<") + refused + ">").substr(0, 4), "550 ")
                << refused;
        EXPECT_EQ(c.Command("RCPT TO:<bob@HOME>").substr(0, 4), "251 ");
        EXPECT_EQ(c.Command("DATA").substr(0, 4), "354 ");
        // [MAIL] MAXMAILSIZE is 50 K bytes by default.
        c.Send("From: victim@example.org\r\n\r\n" + std::string(60 * 1024, 'x') + "\r\n.\r\n");
        EXPECT_EQ(c.ReadLine().substr(0, 4), "552 ");
        c.Command("MAIL FROM:<victim@example.org>");
        EXPECT_EQ(c.Command("RCPT TO:<bob@HOME>").substr(0, 4), "251 ");
        EXPECT_EQ(c.Command("DATA").substr(0, 4), "354 ");
        c.Send("From: victim@example.org\r\nSubject: hello\r\n\r\nhi\r\n.\r\n");
        EXPECT_EQ(c.ReadLine(), "250 Ok");
        c.Command("QUIT");
    }
    EXPECT_TRUE(PumpUntil([&] { return count("MAIL/bob") == 1 && count("QUEUE") == 0; }));
    EXPECT_EQ(count("MAIL/GATEWAY"), 0u);
    EXPECT_EQ(count("MAIL/Fax2"), 0u);
    EXPECT_EQ(count("STATIONS/FAR"), 0u);
    std::vector<std::string> refusals;
    for (const auto& line : ReadFile(root + "/mailbox_log.txt") | std::views::split('\n')) {
        std::string text(line.begin(), line.end());
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
        if (text.find("relaying refused") != std::string::npos)
            refusals.push_back(text.substr(text.find("]  ") + 3));
    }
    EXPECT_EQ(refusals, std::vector<std::string>{"SMTP relaying refused to client " +
                                                 outside.ClientIp() + " for FAX2@HOME"});

    TLineClient local(SmtpPort);
    local.ReadLine();
    local.ReadLine();
    local.Command("HELO neighbour");
    local.Command("MAIL FROM:<victim@example.org>");
    for (const char* taken : {"nosuch@HOME", "FAX2@HOME", "someone@example.org"})
        EXPECT_EQ(local.Command(std::string("RCPT TO:<") + taken + ">").substr(0, 4), "251 ")
            << taken;
}

TEST_F(LocalMailEndToEnd, TheMenuOpensTheSettingsAfterTheLogin)
{
    const TMenuEntry* entry = Entry("&Local Network");
    ASSERT_NE(entry, nullptr);
    TScriptedDialogs dialogs;
    dialogs
        .ExpectDialog("TLoginFrm",
                      [](QDialog& d) {
                          static_cast<TLoginFrm&>(d).PassEdit->setText("wrong");
                          return TLoginFrm::mrOk;
                      })
        .ExpectBox("Please, Check Password and try again.", IDOK)
        .ExpectDialog("TLoginFrm", [](QDialog& d) {
            static_cast<TLoginFrm&>(d).PassEdit->setText("letmein");
            return TLoginFrm::mrOk;
        });
    Form->RunMenuEntry(*entry);
    TNetConfigFrm* frm = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* f = qobject_cast<TNetConfigFrm*>(w))
            frm = f;
    ASSERT_NE(frm, nullptr);
    EXPECT_TRUE(frm->isVisible());
    EXPECT_EQ(frm->Password->text(), "letmein");
    EXPECT_EQ(frm->SMTPEnabledComboBox->currentText(), "ENABLED");
    EXPECT_EQ(frm->POP3Port->text().toInt(), Pop3Port);
}

} // namespace
