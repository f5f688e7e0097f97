#include "netproto/protocols/id_pop3.h"
#include "netproto/protocols/id_pop3_server.h"
#include "server_test_helpers.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <filesystem>
#include <fstream>

using servertest::PeerProcess;
using servertest::ScriptedServer;

namespace {

// Lines as the mailbox stores them: a lone ".", leading dots, a line longer
// than the connection's line limit, 8-bit bytes and a bare CR inside a line.
const std::vector<std::string> kMessages[] = {
    {"Subject: one", "", ".", "..x", ".y"},
    {"Subject: two", "", std::string(100000, 'l'), "end"},
    {"Subject: =?ISO-8859-1?Q?caf=E9?=", "", "caf\xE9 \xFF\x80", "cr\rinside"},
};

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& l : lines)
        text += l + "\r\n";
    return text;
}

std::unique_ptr<TIdPOP3> Client(int port, const std::string& user, const std::string& password)
{
    auto c = std::make_unique<TIdPOP3>();
    c->SetHost("127.0.0.1");
    c->SetPort(port);
    c->ReadTimeout = 10000;
    c->Username = user;
    c->Password = password;
    return c;
}

void ExpectMailbox(TIdPOP3& c)
{
    ASSERT_EQ(c.CheckMessages(), 3);
    for (int i = 0; i < 3; ++i) {
        std::vector<std::string> lines;
        ASSERT_TRUE(c.RetrieveRaw(i + 1, lines));
        EXPECT_EQ(lines, kMessages[i]) << i;
    }
    std::vector<std::string> lines;
    EXPECT_FALSE(c.RetrieveRaw(4, lines));
    EXPECT_TRUE(lines.empty());
}

} // namespace

TEST(Pop3Client, FetchesAndDeletesFromDovecot)
{
    const QTemporaryDir temp;
    const std::string dir = temp.path().toStdString();
    std::filesystem::create_directory(dir + "/messages");
    for (int i = 0; i < 3; ++i)
        std::ofstream(dir + "/messages/" + std::to_string(i), std::ios::binary)
            << Joined(kMessages[i]);
    PeerProcess peer("pop3_peer.py", {dir, "alice", "se cret"});
    if (!peer.SkipReason().empty())
        SKIP_WITHOUT_TOOL(peer.SkipReason());
    ASSERT_NE(peer.Port(), 0);

    // APOP: looking only, nothing deleted.
    auto c = Client(peer.Port(), "alice", "se cret");
    c->APOP = true;
    c->Connect(5000);
    ExpectMailbox(*c);
    c->Disconnect();
    EXPECT_FALSE(c->Connected());

    c->APOP = false;
    c->Connect(5000);
    ExpectMailbox(*c);
    EXPECT_TRUE(c->Delete(1));
    EXPECT_TRUE(c->Delete(3));
    EXPECT_THROW(c->Delete(3), EIdProtocolReplyError);
    c->Disconnect();

    c->Connect(5000);
    ASSERT_EQ(c->CheckMessages(), 1);
    std::vector<std::string> lines;
    ASSERT_TRUE(c->RetrieveRaw(1, lines));
    EXPECT_EQ(lines, kMessages[1]);
    c->Disconnect();

    // Last: the server slows down the logins after a refused one.
    c->Password = "wrong";
    EXPECT_THROW(c->Connect(5000), EIdProtocolReplyError);
    EXPECT_FALSE(c->Connected());
}

TEST(Pop3Client, FetchesFromOurOwnServer)
{
    TIdPOP3Server server;
    std::vector<int> deleted;
    server.CheckUser = [](TIdPeerThread&, TIdPOP3ServerThread& t) {
        t.State = t.Username == "bob" && t.Password == "pw";
    };
    server.OnSTAT = [](TIdCommand& c) { c.Connection().WriteLn("+OK 3 999"); };
    server.OnRETR = [](TIdCommand& c, int n) {
        if (n < 1 || n > 3) {
            c.Connection().WriteLn("-ERR no such message");
            return;
        }
        c.Connection().WriteLn("+OK");
        c.Connection().WriteRFCStrings(kMessages[n - 1]);
    };
    server.OnQUIT = [](TIdCommand& c) {
        c.Connection().WriteLn("+OK 0L POP3 server signing off (maildrop empty)");
        c.PerformReply = false;
    };
    const int port = servertest::StartOnLoopback(server);

    auto c = Client(port, "bob", "pw");
    c->Connect(5000);
    ExpectMailbox(*c);
    c->Disconnect();
    EXPECT_FALSE(c->Connected());

    // Without a time stamp in the greeting there is no APOP.
    c->APOP = true;
    try {
        c->Connect(5000);
        ADD_FAILURE();
    } catch (const EIdException& e) {
        EXPECT_STREQ(e.what(), "Server do not support APOP (no timestamp)");
    }
    EXPECT_FALSE(c->Connected());
}

TEST(Pop3Client, RepliesItDoesNotExpect)
{
    {
        ScriptedServer s("220 ready", [](const std::string&) { return ""; });
        auto c = Client(s.Port(), "u", "p");
        try {
            c->Connect(5000);
            ADD_FAILURE();
        } catch (const EIdException& e) {
            EXPECT_STREQ(e.what(), "Unrecognized POP3 Response Header:\n\"ready\"");
        }
        EXPECT_FALSE(c->Connected());
    }
    std::string stat;
    ScriptedServer s("+OK hi", [&](const std::string& l) -> std::string {
        if (l == "STAT")
            return stat;
        return l == "QUIT" ? "" : "+OK";
    });
    auto c = Client(s.Port(), "u", "p");
    c->Connect(5000);
    for (auto [reply, count] :
         {std::pair<const char*, int>{"+OK 0 0", 0}, {"+OK 3 1200", 3}, {"+OK 3", 3}, {"+OK", 0}}) {
        stat = reply;
        EXPECT_EQ(c->CheckMessages(), count) << reply;
    }
    stat = "+OK many";
    EXPECT_THROW(c->CheckMessages(), EIdException);
    stat = "-ERR locked";
    EXPECT_THROW(c->CheckMessages(), EIdProtocolReplyError);
}

TEST(Pop3Client, AnUnconfirmedQuitIsReported)
{
    // Refused, and no reply at all: the deletions may not have been made.
    for (const char* quitReply : {"-ERR some deleted messages not removed", ""}) {
        ScriptedServer* server = nullptr;
        ScriptedServer s("+OK hi", [&](const std::string& l) -> std::string {
            if (l == "QUIT" && !*quitReply)
                server->Hangup();
            return l == "QUIT" ? quitReply : "+OK";
        });
        server = &s;
        auto c = Client(s.Port(), "u", "p");
        c->Connect(5000);
        EXPECT_TRUE(c->Delete(1));
        EXPECT_THROW(c->Disconnect(), EIdException) << quitReply;
        EXPECT_FALSE(c->Connected());
    }
}
