#include "netproto/message/id_message.h"
#include "netproto/protocols/id_smtp.h"
#include "netproto/protocols/id_smtp_server.h"
#include "server_test_helpers.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fstream>
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

// A message with text parts and an attachment whose lines start with dots.
void FillMessage(TIdMessage& m, const std::string& dir)
{
    m.From.Address = "gw@station";
    m.Recipients.Add().Address = "a@example.org";
    m.Recipients.Add().Address = "refused@example.org";
    m.CCList.Add().Address = "b@example.org";
    m.Subject = "parts";
    m.SetUseNowForDate(false);
    m.MessageParts.AddText({"one", ".", "..two"});
    m.MessageParts.AddText({"caf\xE9", "."}).SetContentType("text/plain; charset=iso-8859-1");
    std::ofstream(dir + "/notes.txt", std::ios::binary) << ".\r\n..\r\n" << std::string(3000, 'n');
    m.MessageParts.AddAttachment(dir + "/notes.txt").SetContentType("text/plain");
}

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
    const QTemporaryDir temp;
    const std::string dir = temp.path().toStdString();
    PeerProcess peer("smtp_peer.py", {dir, "gw", "s3cret"});
    if (!peer.SkipReason().empty())
        SKIP_WITHOUT_TOOL(peer.SkipReason());
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

TEST(SmtpClient, SendGoesByteForByteToBothServers)
{
    const QTemporaryDir temp;
    const std::string dir = temp.path().toStdString();
    PeerProcess peer("smtp_peer.py", {dir, "gw", "pw"});
    if (!peer.SkipReason().empty())
        SKIP_WITHOUT_TOOL(peer.SkipReason());
    ASSERT_NE(peer.Port(), 0);
    std::string ours;
    std::vector<std::string> ourRecipients;
    TIdSMTPServer server;
    server.OnCommandRCPT = [](TIdCommand&, bool& accept, bool&, const std::string& address,
                              std::string&) { accept = address.rfind("refused", 0) != 0; };
    server.OnReceiveRaw = [&](TIdCommand&, std::unique_ptr<std::iostream>& stream,
                              TIdEMailAddressList& rcpt, std::string&) {
        std::ostringstream text;
        text << stream->rdbuf();
        ours = text.str();
        for (int i = 0; i < rcpt.Count(); ++i)
            ourRecipients.push_back(rcpt.Items(i).Address);
    };
    const int port = servertest::StartOnLoopback(server);

    TIdMessage m;
    FillMessage(m, dir);
    for (int p : {peer.Port(), port}) {
        auto c = Client(p);
        c->MailAgent = "SkipMail";
        c->Username = "gw";
        c->Password = "pw";
        c->SetAuthenticationType(atLogin);
        c->Connect(6000);
        c->Send(m);
        // The login happens once: only when AUTH LOGIN is offered.
        EXPECT_EQ(c->DidAuthenticate(), p == peer.Port());
        ASSERT_EQ(c->RefusedRecipients().size(), 1u);
        EXPECT_EQ(c->RefusedRecipients()[0].Address, "refused@example.org");
        EXPECT_GE(c->RefusedRecipients()[0].Code, 500);
        c->Disconnect();
    }
    peer.Stop();
    const std::string theirs = servertest::ReadFile(dir + "/1.eml");
    EXPECT_EQ(theirs, ours);
    EXPECT_NE(theirs.find("X-Mailer: SkipMail\r\n"), std::string::npos) << theirs;
    EXPECT_NE(theirs.find("\r\none\r\n.\r\n..two\r\n"), std::string::npos) << theirs;
    EXPECT_EQ(servertest::ReadFile(dir + "/1.env"), "gw@station\na@example.org\nb@example.org\n");
    EXPECT_EQ(ourRecipients, (std::vector<std::string>{"a@example.org", "b@example.org"}));
}

TEST(SmtpClient, SendStopsAtTheStepThatFails)
{
    const QTemporaryDir temp;
    const std::string dir = temp.path().toStdString();
    TIdMessage m;
    FillMessage(m, dir);
    // The failing step, its reply; "RCPT" refuses every recipient.
    for (const auto& [step, reply] :
         std::vector<std::pair<std::string, std::string>>{{"MAIL", "451 try later"},
                                                          {"RCPT", "550 no"},
                                                          {"DATA", "554 no"},
                                                          {".", "452 full"}}) {
        bool inData = false;
        ScriptedServer s("220 hi", [&, step = step, reply = reply](const std::string& l) {
            if (inData && l != ".")
                return std::string();
            inData = false;
            if (l.rfind(step, 0) == 0 && (step != "." || l == "."))
                return reply;
            if (l == "DATA") {
                inData = true;
                return std::string("354 go");
            }
            return std::string(l == "QUIT" ? "" : "250 ok");
        });
        auto c = Client(s.Port());
        c->SetUseEhlo(false);
        c->Connect(6000);
        try {
            c->Send(m);
            ADD_FAILURE() << step;
        } catch (const EIdProtocolReplyError& e) {
            EXPECT_EQ(e.ReplyErrorCode(), std::stoi(reply)) << step;
        }
        c->Disconnect();
        const auto lines = s.Lines();
        const bool sentData = std::find(lines.begin(), lines.end(), "DATA") != lines.end();
        EXPECT_EQ(sentData, step == "DATA" || step == ".") << step;
        EXPECT_EQ(lines.front(), "HELO client.test");
        EXPECT_EQ(lines[1], "RSET");
    }
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
