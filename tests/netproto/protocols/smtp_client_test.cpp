#include "netproto/protocols/id_smtp.h"
#include "netproto/protocols/id_smtp_server.h"
#include "server_test_helpers.h"

#include <gtest/gtest.h>

#include <mutex>
#include <sstream>

using servertest::PeerProcess;
using servertest::ScriptedServer;

namespace {

std::string Reply(TIdSMTP& c)
{
    return c.ReadLnWait(6000);
}

// What the mail gateway does after Connect: the transaction line by line.
void SendByLines(TIdSMTP& c, const std::string& from, const std::vector<std::string>& to,
                 const std::vector<std::string>& lines)
{
    c.WriteLn("MAIL FROM:<" + from + ">");
    ASSERT_EQ(Reply(c).substr(0, 3), "250");
    for (const auto& r : to) {
        c.WriteLn("RCPT TO:<" + r + ">");
        ASSERT_EQ(Reply(c).substr(0, 3), "250");
    }
    c.WriteLn("DATA");
    ASSERT_EQ(Reply(c).substr(0, 3), "354");
    for (const auto& l : lines)
        c.WriteLn(!l.empty() && l[0] == '.' ? "." + l : l);
    c.WriteLn(".");
    ASSERT_EQ(Reply(c).substr(0, 3), "250");
}

const std::vector<std::string> kLines = {
    "Subject: lines", "", ".", "..two", " lead", "\xE9t\xE9", std::string(5000, 'x')};
const std::string kText =
    "Subject: lines\r\n\r\n.\r\n..two\r\n lead\r\n\xE9t\xE9\r\n" + std::string(5000, 'x') + "\r\n";

std::unique_ptr<TIdSMTP> Client(int port)
{
    auto c = std::make_unique<TIdSMTP>();
    c->SetHost("127.0.0.1");
    c->SetPort(port);
    c->ReadTimeout = 10000;
    c->HeloName = "client.test";
    return c;
}

} // namespace

TEST(SmtpClient, LogsInAndSendsToAiosmtpd)
{
    const std::string dir = servertest::MakeTempDir();
    PeerProcess peer("smtp_peer.py", {dir, "gw", "s3cret"});
    if (!peer.SkipReason().empty())
        GTEST_SKIP() << peer.SkipReason();
    ASSERT_NE(peer.Port(), 0);

    auto c = Client(peer.Port());
    c->Username = "gw";
    c->Password = "wrong";
    c->SetAuthenticationType(atLogin);
    c->Connect(6000);
    ASSERT_TRUE(c->Connected());
    EXPECT_TRUE(c->IsAuthProtocolAvailable(atLogin));
    try {
        c->Authenticate();
        ADD_FAILURE() << "a wrong password logged in";
    } catch (const EIdProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyErrorCode(), 535);
    }
    c->Password = "s3cret";
    EXPECT_TRUE(c->Authenticate());
    EXPECT_TRUE(c->DidAuthenticate());
    SendByLines(*c, "gw@station", {"a@example.org", "b@example.org"}, kLines);
    SendByLines(*c, "", {"c@example.org"}, {"Subject: second", "", "body"});
    c->Disconnect();
    EXPECT_FALSE(c->Connected());
    EXPECT_FALSE(c->DidAuthenticate());
    peer.Stop();

    EXPECT_EQ(servertest::ReadFile(dir + "/1.eml"), kText);
    EXPECT_EQ(servertest::ReadFile(dir + "/1.env"), "gw@station\na@example.org\nb@example.org\n");
    EXPECT_EQ(servertest::ReadFile(dir + "/2.eml"), "Subject: second\r\n\r\nbody\r\n");
    EXPECT_EQ(servertest::ReadFile(dir + "/2.env"), "<>\nc@example.org\n");
}

TEST(SmtpClient, SendsToOurOwnServerAfterItRefusesEhlo)
{
    std::mutex mutex;
    std::vector<std::string> received;
    TIdSMTPServer server;
    server.OnReceiveRaw = [&](TIdCommand&, std::unique_ptr<std::iostream>& stream,
                              TIdEMailAddressList&, std::string&) {
        std::ostringstream text;
        text << stream->rdbuf();
        std::lock_guard<std::mutex> lock(mutex);
        received.push_back(text.str());
    };
    const int port = servertest::StartOnLoopback(server);

    auto c = Client(port);
    c->Connect(6000);
    EXPECT_TRUE(c->AuthSchemesSupported().empty());
    SendByLines(*c, "gw@station", {"a@example.org"}, kLines);
    c->Disconnect();

    // With EHLO allowed the server offers AUTH LOGIN and takes any login.
    server.AllowEHLO = true;
    c->Username = "gw";
    c->Password = "pw";
    c->SetAuthenticationType(atLogin);
    c->Connect(6000);
    EXPECT_TRUE(c->IsAuthProtocolAvailable(atLogin));
    EXPECT_TRUE(c->Authenticate());
    SendByLines(*c, "gw@station", {"a@example.org"}, {"x"});
    c->Disconnect();

    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0], kText);
    EXPECT_EQ(received[1], "x\r\n");
}

TEST(SmtpClient, GreetingAndHelloExchange)
{
    // EHLO refused: HELO follows with the same name.
    {
        ScriptedServer s("220 hi", [](const std::string& l) {
            return l.rfind("EHLO", 0) == 0 ? "500 what" : l == "QUIT" ? "221 bye" : "250 ok";
        });
        auto c = Client(s.Port());
        c->Connect(6000);
        EXPECT_TRUE(c->Connected());
        c->Disconnect();
        EXPECT_EQ(s.Lines(),
                  (std::vector<std::string>{"EHLO client.test", "HELO client.test", "QUIT"}));
    }
    // The mechanisms of every AUTH line, once each.
    {
        ScriptedServer s("220 hi", [](const std::string& l) {
            return l.rfind("EHLO", 0) == 0 ? "250-hello\r\n250-AUTH LOGIN PLAIN\r\n250-SIZE "
                                             "100\r\n250 AUTH=LOGIN"
                                           : "";
        });
        auto c = Client(s.Port());
        c->Connect(6000);
        EXPECT_EQ(c->AuthSchemesSupported(), (std::vector<std::string>{"LOGIN", "PLAIN"}));
        c->Disconnect();
    }
    // A greeting other than 220, a HELO refused: raised, connection closed.
    for (const char* greeting : {"554 go away", "220 hi"}) {
        ScriptedServer s(greeting, [](const std::string&) { return "550 no"; });
        auto c = Client(s.Port());
        c->SetUseEhlo(false);
        try {
            c->Connect(6000);
            ADD_FAILURE() << greeting;
        } catch (const EIdProtocolReplyError& e) {
            EXPECT_EQ(e.ReplyErrorCode(), std::string(greeting) == "220 hi" ? 550 : 554);
        }
        EXPECT_FALSE(c->Connected());
        EXPECT_EQ(s.Lines().back(), "QUIT") << greeting;
    }
}

TEST(SmtpClient, ASilentServerTimesOut)
{
    ScriptedServer s("220 hi", [](const std::string&) { return ""; });
    auto c = Client(s.Port());
    c->ReadTimeout = 300;
    EXPECT_THROW(c->Connect(6000), EIdReadTimeout);
    EXPECT_FALSE(c->Connected());
}

TEST(SmtpClient, LoginRefusedAtEachStep)
{
    for (int step = 0; step < 3; ++step) {
        int n = 0;
        ScriptedServer s("220 hi", [&](const std::string& l) -> std::string {
            if (l.rfind("EHLO", 0) == 0)
                return "250-hi\r\n250 AUTH LOGIN";
            if (l == "QUIT")
                return "";
            if (n++ == step)
                return "535 no";
            return n == 3 ? "235 ok" : "334 go";
        });
        auto c = Client(s.Port());
        c->Username = "u";
        c->Password = "p";
        c->SetAuthenticationType(atLogin);
        c->Connect(6000);
        try {
            c->Authenticate();
            ADD_FAILURE() << step;
        } catch (const EIdProtocolReplyError& e) {
            EXPECT_EQ(e.ReplyErrorCode(), 535) << step;
        }
        EXPECT_FALSE(c->DidAuthenticate());
        c->Disconnect();
        const auto lines = s.Lines();
        ASSERT_EQ(lines.size(), static_cast<size_t>(step + 3));
        EXPECT_EQ(lines[1], "AUTH LOGIN");
        if (step > 0) {
            EXPECT_EQ(lines[2], "dQ==");
        }
    }
}

TEST(SmtpClient, SettingsThatGoTogether)
{
    TIdSMTP c;
    EXPECT_EQ(c.Port, 25);
    c.SetUseEhlo(false);
    c.SetAuthenticationType(atLogin);
    EXPECT_TRUE(c.UseEhlo());
    c.SetUseEhlo(false);
    EXPECT_EQ(c.AuthenticationType(), atNone);
    EXPECT_FALSE(c.Authenticate());
    // Not connected: nothing is sent and nothing raised.
    c.Disconnect();
    EXPECT_THROW(c.WriteLn("NOOP"), EIdException);
}
