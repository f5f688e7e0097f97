#include "netproto/message/id_message.h"
#include "netproto/protocols/id_smtp_server.h"
#include "server_test_helpers.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

using servertest::RawClient;

namespace {

struct Received {
    std::string Text;
    std::vector<std::string> Rcpt;
};

// An SMTP server on loopback whose raw receive event keeps what arrived,
// as the local mail service does.
class SmtpFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.OnReceiveRaw = [this](TIdCommand&, std::unique_ptr<std::iostream>& stream,
                                     TIdEMailAddressList& rcpt, std::string& customError) {
            std::ostringstream text;
            text << stream->rdbuf();
            Received r;
            r.Text = text.str();
            for (int i = 0; i < rcpt.Count(); ++i)
                r.Rcpt.push_back(rcpt.Items(i).Address);
            std::lock_guard<std::mutex> lock(mutex);
            received.push_back(r);
            customError = nextError;
        };
    }
    int Start() { return port = servertest::StartOnLoopback(server); }
    std::vector<Received> Messages()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return received;
    }
    // Greeted client ready for MAIL.
    std::unique_ptr<RawClient> Greeted()
    {
        auto c = std::make_unique<RawClient>(port);
        EXPECT_EQ(c->Line(), "220 Welcome to the SKIPMAIL SMTP Server\r\n");
        EXPECT_EQ(c->Cmd("HELO me"), "250 Hello me\r\n");
        return c;
    }

    int port = 0;
    std::mutex mutex;
    std::vector<Received> received;
    std::string nextError;
    // Last, so that it stops before what its handlers use goes.
    TIdSMTPServer server;
};

} // namespace

TEST_F(SmtpFixture, WholeSessionByteExact)
{
    Start();
    RawClient c(port);
    EXPECT_EQ(c.Line(), "220 Welcome to the SKIPMAIL SMTP Server\r\n");
    EXPECT_EQ(c.Cmd("NOOP"), "250 Ok\r\n");
    EXPECT_EQ(c.Cmd("MAIL FROM:<a@b.c>"), "501 Polite people say HELO\r\n");
    EXPECT_EQ(c.Cmd("RCPT TO:<x@y.z>"), "503 \r\n");
    EXPECT_EQ(c.Cmd("DATA"), "503 \r\n");
    EXPECT_EQ(c.Cmd("HELO"), "501 Syntax Error in parameters or arguments\r\n");
    EXPECT_EQ(c.Cmd("EHLO x"), "500 Command Not Recognised\r\n");
    EXPECT_EQ(c.Cmd("HELO client.lan"), "250 Hello client.lan\r\n");
    EXPECT_EQ(c.Cmd("HELO again"), "503 \r\n");
    EXPECT_EQ(c.Cmd("AUTH LOGIN"), "500 Syntax Error - Command not understood: AUTH\r\n");
    EXPECT_EQ(c.Cmd("MAIL <a@b.c>"),
              "501 Parameter error! Example: mail from:<user@domain.com>\r\n");
    EXPECT_EQ(c.Cmd("mail from: <a@b.c>"), "250 a@b.c Address Okay\r\n");
    EXPECT_EQ(c.Cmd("RCPT x@y.z"),
              "501 Command parameter error! Example: rcpt to:<user@domain.com>\r\n");
    EXPECT_EQ(c.Cmd("rcpt to:<x@y.z>"), "250 x@y.z Address Okay\r\n");
    EXPECT_EQ(c.Cmd("RCPT TO:<w@y.z>"), "250 w@y.z Address Okay\r\n");
    EXPECT_EQ(c.Cmd("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
    c.Send("Subject: t\r\n\r\nline\r\n..dot\r\n.x\r\n.\r\n");
    EXPECT_EQ(c.Line(), "250 Ok\r\n");
    EXPECT_EQ(c.Cmd("DATA"), "503 \r\n");
    EXPECT_EQ(c.Cmd("HELP me"), "500 Syntax Error - Command not understood: me\r\n");
    EXPECT_EQ(c.Cmd("VRFY"), "500 Syntax Error - Command not understood: \r\n");
    EXPECT_EQ(c.Cmd("BDAT 1"), "500 Syntax Error\r\n");
    EXPECT_EQ(c.Cmd("RSET"), "250 Ok\r\n");
    EXPECT_EQ(c.Cmd("QUIT"), "221 Signing Off\r\n");
    EXPECT_TRUE(c.ClosedWithin(2000));
    auto m = Messages();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].Text, "Subject: t\r\n\r\nline\r\n.dot\r\n.x\r\n");
    EXPECT_EQ(m[0].Rcpt, (std::vector<std::string>{"x@y.z", "w@y.z"}));
}

TEST_F(SmtpFixture, OptionalCommandsAnswerThroughTheirEvents)
{
    server.OnCommandEXPN = [](TIdCommand& c) {
        c.Connection().WriteLn("250 list " + c.UnparsedParams());
    };
    Start();
    auto c = Greeted();
    for (const char* word : {"HELP", "SOML", "SEND", "SAML", "VRFY", "TURN"})
        EXPECT_EQ(c->Cmd(std::string(word) + " x y"),
                  "500 Syntax Error - Command not understood: x y\r\n")
            << word;
    EXPECT_EQ(c->Cmd("expn staff"), "250 list staff\r\n");
    // The optional commands leave the transaction alone.
    EXPECT_EQ(c->Cmd("MAIL FROM:<a@b.c>"), "250 a@b.c Address Okay\r\n");
    EXPECT_EQ(c->Cmd("VRFY joe"), "500 Syntax Error - Command not understood: joe\r\n");
    EXPECT_EQ(c->Cmd("RCPT TO:<x@y.z>"), "250 x@y.z Address Okay\r\n");
    EXPECT_EQ(c->Cmd("RSET"), "250 Ok\r\n");
    EXPECT_EQ(c->Cmd("RCPT TO:<x@y.z>"), "503 \r\n");
}

TEST_F(SmtpFixture, SenderAndRecipientEvents)
{
    server.OnCommandMAIL = [](TIdCommand&, bool& accept, const std::string& address) {
        accept = address != "bad@x.y";
    };
    server.OnCommandRCPT = [](TIdCommand&, bool& accept, bool& toForward,
                              const std::string& address, std::string& customError) {
        if (address == "custom@x.y")
            customError = "550 %s is unknown";
        accept = address != "no@x.y";
        toForward = address == "far@x.y";
    };
    Start();
    auto c = Greeted();
    EXPECT_EQ(c->Cmd("MAIL FROM:<bad@x.y>"), "500 bad@x.y Address Error\r\n");
    EXPECT_EQ(c->Cmd("RCPT TO:<far@x.y>"), "503 \r\n");
    EXPECT_EQ(c->Cmd("MAIL FROM:<good@x.y>"), "250 good@x.y Address Okay\r\n");
    EXPECT_EQ(c->Cmd("RCPT TO:<no@x.y>"), "500 no@x.y Address Error\r\n");
    EXPECT_EQ(c->Cmd("DATA"), "503 \r\n");
    EXPECT_EQ(c->Cmd("RCPT TO:<custom@x.y>"), "550 custom@x.y is unknown\r\n");
    EXPECT_EQ(c->Cmd("RCPT TO:<far@x.y>"), "251 User not local, Will forward\r\n");
    EXPECT_EQ(c->Cmd("RCPT TO:<near@x.y>"), "250 near@x.y Address Okay\r\n");
    EXPECT_EQ(c->Cmd("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
    EXPECT_EQ(c->Cmd("."), "250 Ok\r\n");
    auto m = Messages();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].Text, "");
    EXPECT_EQ(m[0].Rcpt, (std::vector<std::string>{"far@x.y", "near@x.y"}));
}

// With an event that forwards every address, as the station's does, an
// empty recipient would be taken and the message filed nowhere.
TEST_F(SmtpFixture, AnEmptyRecipientIsRefusedBeforeTheEvent)
{
    std::atomic<int> asked{0};
    server.OnCommandRCPT = [&asked](TIdCommand&, bool& accept, bool& toForward, const std::string&,
                                    std::string&) {
        ++asked;
        accept = true;
        toForward = true;
    };
    Start();
    auto c = Greeted();
    EXPECT_EQ(c->Cmd("MAIL FROM:<a@b.c>"), "250 a@b.c Address Okay\r\n");
    for (const char* line : {"RCPT TO:", "RCPT TO:  ", "RCPT TO:<>", "RCPT TO: <> "})
        EXPECT_EQ(c->Cmd(line), "501 Syntax Error in parameters or arguments\r\n") << line;
    EXPECT_EQ(asked.load(), 0);
    EXPECT_EQ(c->Cmd("DATA"), "503 \r\n");
    EXPECT_EQ(c->Cmd("RCPT TO:<x@y.z>"), "251 User not local, Will forward\r\n");
    EXPECT_EQ(asked.load(), 1);
}

TEST_F(SmtpFixture, BadAddressesGetA501AndNeverJoinTheList)
{
    Start();
    auto c = Greeted();
    EXPECT_EQ(c->Cmd("MAIL FROM:<a@b>@c"), "501 Syntax Error in parameters or arguments\r\n");
    EXPECT_EQ(c->Cmd("MAIL FROM:<>"), "250  Address Okay\r\n");
    EXPECT_EQ(c->Cmd("RCPT TO:<>"), "501 Syntax Error in parameters or arguments\r\n");
    EXPECT_EQ(c->Cmd("RCPT TO:"), "501 Syntax Error in parameters or arguments\r\n");
    EXPECT_EQ(c->Cmd("RCPT TO:<x@y>@z"), "501 Syntax Error in parameters or arguments\r\n");
    // A bare CR inside the line must not reach the queue file's "RCPT: " lines.
    EXPECT_EQ(c->Cmd("RCPT TO:<a@b\rRCPT: evil@x>"),
              "501 Syntax Error in parameters or arguments\r\n");
    c->Send(std::string("RCPT TO:<a\0b@c>\r\n", 17));
    EXPECT_EQ(c->Line(), "501 Syntax Error in parameters or arguments\r\n");
    EXPECT_EQ(c->Cmd("RCPT TO:<ok@b.c>"), "250 ok@b.c Address Okay\r\n");
    EXPECT_EQ(c->Cmd("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
    EXPECT_EQ(c->Cmd("."), "250 Ok\r\n");
    auto m = Messages();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].Rcpt, (std::vector<std::string>{"ok@b.c"}));
}

TEST_F(SmtpFixture, RefusedDataResetsTheTransaction)
{
    Start();
    nextError = "554 Queue full";
    auto c = Greeted();
    EXPECT_EQ(c->Cmd("MAIL FROM:<a@b.c>"), "250 a@b.c Address Okay\r\n");
    EXPECT_EQ(c->Cmd("RCPT TO:<x@y.z>"), "250 x@y.z Address Okay\r\n");
    EXPECT_EQ(c->Cmd("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
    c->Send("one\r\n.\r\n");
    EXPECT_EQ(c->Line(), "554 Queue full\r\n");
    nextError.clear();
    // No second delivery to the recipients of the refused message.
    EXPECT_EQ(c->Cmd("DATA"), "503 \r\n");
    EXPECT_EQ(c->Cmd("RCPT TO:<x@y.z>"), "503 \r\n");
    EXPECT_EQ(c->Cmd("MAIL FROM:<a@b.c>"), "250 a@b.c Address Okay\r\n");
    EXPECT_EQ(c->Cmd("RCPT TO:<v@y.z>"), "250 v@y.z Address Okay\r\n");
    EXPECT_EQ(c->Cmd("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
    EXPECT_EQ(c->Cmd("two\r\n."), "250 Ok\r\n");
    auto m = Messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[1].Rcpt, (std::vector<std::string>{"v@y.z"}));
    EXPECT_EQ(m[1].Text, "two\r\n");
}

TEST_F(SmtpFixture, OversizeMessageGets552AndTheSessionGoesOn)
{
    server.MaxMessageSize = 1000;
    Start();
    auto c = Greeted();
    c->Cmd("MAIL FROM:<a@b.c>");
    c->Cmd("RCPT TO:<x@y.z>");
    EXPECT_EQ(c->Cmd("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
    std::string body;
    for (int i = 0; i < 100; ++i)
        body += std::string(50, 'a') + "\r\n";
    c->Send(body + ".\r\n");
    EXPECT_EQ(c->Line(), "552 Message size exceeds fixed maximum message size\r\n");
    EXPECT_EQ(c->Cmd("DATA"), "503 \r\n");
    c->Cmd("MAIL FROM:<a@b.c>");
    c->Cmd("RCPT TO:<x@y.z>");
    c->Cmd("DATA");
    // 998 bytes of text plus CR LF: within the limit of 1000.
    EXPECT_EQ(c->Cmd(std::string(998, 'b') + "\r\n."), "250 Ok\r\n");
    ASSERT_EQ(Messages().size(), 1u);
    EXPECT_EQ(Messages()[0].Text.size(), 1000u);

    // A line beyond the message line limit refuses the message, not the session.
    server.MaxDataLineLength = 100;
    c->Cmd("MAIL FROM:<a@b.c>");
    c->Cmd("RCPT TO:<x@y.z>");
    c->Cmd("DATA");
    c->Send("ok line\r\n" + std::string(5000, 'L') + "\r\nmore\r\n");
    EXPECT_EQ(c->Cmd("."), "500 Line too long\r\n");
    EXPECT_EQ(c->Cmd("NOOP"), "250 Ok\r\n");
    EXPECT_EQ(Messages().size(), 1u);
}

TEST_F(SmtpFixture, RawSocketEdgeCases)
{
    Start();
    auto c = Greeted();
    // Bare LF line ends, pipelined commands in one packet.
    c->Send("MAIL FROM:<a@b.c>\nRCPT TO:<x@y.z>\r\nDATA\r\nbare\nlf\r\n..\r\n.\r\nNOOP\r\n");
    EXPECT_EQ(c->Line(), "250 a@b.c Address Okay\r\n");
    EXPECT_EQ(c->Line(), "250 x@y.z Address Okay\r\n");
    EXPECT_EQ(c->Line(), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
    EXPECT_EQ(c->Line(), "250 Ok\r\n");
    EXPECT_EQ(c->Line(), "250 Ok\r\n");
    auto m = Messages();
    ASSERT_EQ(m.size(), 1u);
    // Inside a message only CR LF ends a line; a bare LF stays text.
    EXPECT_EQ(m[0].Text, "bare\nlf\r\n.\r\n");

    // 100 recipients.
    c->Cmd("MAIL FROM:<a@b.c>");
    std::string batch;
    for (int i = 0; i < 100; ++i)
        batch += "RCPT TO:<r" + std::to_string(i) + "@y.z>\r\n";
    c->Send(batch);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(c->Line(), "250 r" + std::to_string(i) + "@y.z Address Okay\r\n");
    c->Cmd("DATA");
    EXPECT_EQ(c->Cmd("x\r\n."), "250 Ok\r\n");
    m = Messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[1].Rcpt.size(), 100u);
    EXPECT_EQ(m[1].Rcpt[99], "r99@y.z");

    // A message whose final CR LF "." never comes is not delivered.
    c->Cmd("MAIL FROM:<a@b.c>");
    c->Cmd("RCPT TO:<x@y.z>");
    c->Cmd("DATA");
    c->Send("unfinished\r\n.");
    c->Close();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(Messages().size(), 2u);
}

TEST_F(SmtpFixture, OnlyCrLfDotCrLfEndsAMessage)
{
    Start();
    auto c = Greeted();
    c->Cmd("MAIL FROM:<a@b.c>");
    c->Cmd("RCPT TO:<x@y.z>");
    EXPECT_EQ(c->Cmd("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
    // Each of these would end the message early for a reader that takes a
    // bare LF (or a bare CR) as a line end; what follows would then run as
    // commands of a second, smuggled message.
    const std::string smuggled = "a\n.\nMAIL FROM:<evil@x>\r\n"
                                 "b\r\n.\nRCPT TO:<evil@x>\r\n"
                                 "c\n.\r\nDATA\r\n"
                                 "d\r\n.\r RSET\r\n"
                                 "..\r\n";
    c->Send(smuggled + ".\r\n");
    EXPECT_EQ(c->Line(), "250 Ok\r\n");
    EXPECT_EQ(c->Cmd("NOOP"), "250 Ok\r\n");
    auto m = Messages();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].Text, "a\n.\nMAIL FROM:<evil@x>\r\nb\r\n.\nRCPT TO:<evil@x>\r\n"
                         "c\n.\r\nDATA\r\nd\r\n.\r RSET\r\n.\r\n");
    EXPECT_EQ(m[0].Rcpt, (std::vector<std::string>{"x@y.z"}));
}

TEST_F(SmtpFixture, RecipientCapIsEnforced)
{
    server.MaxRecipients = 3;
    Start();
    auto c = Greeted();
    c->Cmd("MAIL FROM:<a@b.c>");
    for (int i = 0; i < 3; ++i)
        c->Cmd("RCPT TO:<r@y.z>");
    EXPECT_EQ(c->Cmd("RCPT TO:<r@y.z>"), "452 Too many recipients\r\n");
}

TEST_F(SmtpFixture, AuthLoginOnlyWithEhlo)
{
    server.AllowEHLO = true;
    server.CheckUser = [](TIdCommand&, bool& accept, const std::string& user,
                          const std::string& password) {
        accept = user == "joe" && password == "se cret";
    };
    Start();
    RawClient c(port);
    c.Line();
    c.Send("EHLO me\r\n");
    std::string ehlo = c.Reply();
    EXPECT_NE(ehlo.find("250-AUTH LOGIN\r\n250 HELP\r\n"), std::string::npos) << ehlo;
    EXPECT_EQ(ehlo.rfind("250-", 0), 0u);
    EXPECT_EQ(c.Cmd("AUTH"), "500 Syntax Error - Command not understood: AUTH\r\n");
    // Other mechanisms are refused, never accepted with empty credentials.
    EXPECT_EQ(c.Cmd("AUTH PLAIN"), "504 Unrecognized authentication type\r\n");
    EXPECT_EQ(c.Cmd("AUTH CRAM-MD5"), "504 Unrecognized authentication type\r\n");
    EXPECT_EQ(c.Cmd("AUTH LOGIN"), "334 VXNlcm5hbWU6\r\n");
    EXPECT_EQ(c.Cmd("am9l"), "334 UGFzc3dvcmQ6\r\n");
    EXPECT_EQ(c.Cmd("d3Jvbmc="), "535 Authentication Failed\r\n");
    EXPECT_EQ(c.Cmd("AUTH LOGIN"), "334 VXNlcm5hbWU6\r\n");
    EXPECT_EQ(c.Cmd("!!not base64!!"), "535 Authentication Failed\r\n");
    EXPECT_EQ(c.Cmd("AUTH LOGIN"), "334 VXNlcm5hbWU6\r\n");
    EXPECT_EQ(c.Cmd(""), "535 Authentication Failed\r\n");
    // A name holding CR LF is refused, not echoed as a reply of its own.
    EXPECT_EQ(c.Cmd("AUTH LOGIN am9lDQoyNTAgeA=="), "535 Authentication Failed\r\n");
    EXPECT_EQ(c.Cmd("AUTH login am9l"), "334 UGFzc3dvcmQ6\r\n");
    EXPECT_EQ(c.Cmd("c2UgY3JldA=="), "235 welcome joe\r\n");
}

TEST_F(SmtpFixture, AuthModeNeedsALogin)
{
    server.AllowEHLO = true;
    server.AuthMode = true;
    Start();
    RawClient c(port);
    c.Line();
    c.Send("EHLO me\r\n");
    c.Reply();
    EXPECT_EQ(c.Cmd("MAIL FROM:<a@b.c>"), "553 \r\n");
    // Without CheckUser every well-formed LOGIN is accepted.
    c.Cmd("AUTH LOGIN");
    c.Cmd("am9l");
    EXPECT_EQ(c.Cmd("eA=="), "235 welcome joe\r\n");
    EXPECT_EQ(c.Cmd("MAIL FROM:<a@b.c>"), "250 a@b.c Address Okay\r\n");
}

TEST_F(SmtpFixture, MemoryStreamMovesLargeMessagesToAFile)
{
    server.RawStreamType = stMemoryStream;
    server.MemoryStreamLimit = 4096;
    std::atomic<bool> wasFile{false};
    std::atomic<bool> small{false};
    auto keep = server.OnReceiveRaw;
    server.OnReceiveRaw = [&](TIdCommand& cmd, std::unique_ptr<std::iostream>& s,
                              TIdEMailAddressList& r, std::string& e) {
        if (dynamic_cast<std::fstream*>(s.get()))
            wasFile = true;
        if (dynamic_cast<std::stringstream*>(s.get()))
            small = true;
        keep(cmd, s, r, e);
    };
    Start();
    auto c = Greeted();
    c->Cmd("MAIL FROM:<a@b.c>");
    c->Cmd("RCPT TO:<x@y.z>");
    c->Cmd("DATA");
    EXPECT_EQ(c->Cmd("short\r\n."), "250 Ok\r\n");
    EXPECT_TRUE(small.load());
    c->Cmd("MAIL FROM:<a@b.c>");
    c->Cmd("RCPT TO:<x@y.z>");
    c->Cmd("DATA");
    std::string big;
    for (int i = 0; i < 200; ++i)
        big += std::to_string(i) + std::string(60, 'z') + "\r\n";
    EXPECT_EQ(c->Cmd(big + "."), "250 Ok\r\n");
    EXPECT_TRUE(wasFile.load());
    auto m = Messages();
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m[1].Text, big);
}

TEST_F(SmtpFixture, FileStreamTemporaryFileIsDeleted)
{
    // Other programs share the temporary directory, so the file is known by
    // what this process holds open while the handler runs, not by a count.
    namespace fs = std::filesystem;
    std::mutex heldLock;
    std::vector<std::pair<fs::path, ino_t>> held;
    auto keep = server.OnReceiveRaw;
    server.OnReceiveRaw = [&](TIdCommand& cmd, std::unique_ptr<std::iostream>& s,
                              TIdEMailAddressList& r, std::string& e) {
        EXPECT_NE(dynamic_cast<std::fstream*>(s.get()), nullptr);
        std::error_code ec;
        for (const auto& fd : fs::directory_iterator("/proc/self/fd", ec)) {
            const fs::path target = fs::read_symlink(fd.path(), ec);
            const std::string name = target.filename().string();
            struct stat st {};
            if (!ec && target.parent_path() == fs::path(IdTempDirectory()).parent_path() &&
                name.rfind("Stn", 0) == 0 && ::stat(target.c_str(), &st) == 0) {
                std::lock_guard<std::mutex> lock(heldLock);
                held.emplace_back(target, st.st_ino);
            }
        }
        keep(cmd, s, r, e);
        throw EIdException("handler failed");
    };
    Start();
    auto c = Greeted();
    c->Cmd("MAIL FROM:<a@b.c>");
    c->Cmd("RCPT TO:<x@y.z>");
    c->Cmd("DATA");
    c->Send("text\r\n.\r\n");
    // The event's exception ends the connection; the file is gone anyway.
    EXPECT_TRUE(c->ClosedWithin(3000));
    std::lock_guard<std::mutex> lock(heldLock);
    ASSERT_EQ(held.size(), 1u);
    struct stat st {};
    // Another program may have made a file of that name since: not ours.
    EXPECT_FALSE(::stat(held[0].first.c_str(), &st) == 0 && st.st_ino == held[0].second)
        << held[0].first;
    EXPECT_EQ(Messages().size(), 1u);
}

TEST_F(SmtpFixture, NoRoomForATemporaryFileGets452AndTheSessionGoesOn)
{
    // The temporary directory is read once per process; others in this
    // process must not find TMPDIR changed.
    struct RestoreTmpDir {
        bool Had = std::getenv("TMPDIR") != nullptr;
        std::string Saved = Had ? std::getenv("TMPDIR") : "";
        ~RestoreTmpDir() { Had ? ::setenv("TMPDIR", Saved.c_str(), 1) : ::unsetenv("TMPDIR"); }
    } restore;
    ::setenv("TMPDIR", "/nonexistent-skipmail-tmp", 1);
    if (IdTempDirectory() != "/nonexistent-skipmail-tmp/")
        GTEST_SKIP() << "the temporary directory was fixed before this test";
    const std::string refused = "452 Requested action not taken: insufficient system storage\r\n";
    {
        // A file from the start.
        TIdSMTPServer fileServer;
        fileServer.OnReceiveRaw = server.OnReceiveRaw;
        RawClient c(servertest::StartOnLoopback(fileServer));
        c.Line();
        c.Cmd("HELO me");
        c.Cmd("MAIL FROM:<a@b.c>");
        c.Cmd("RCPT TO:<x@y.z>");
        c.Cmd("DATA");
        EXPECT_EQ(c.Cmd("short\r\n."), refused);
        EXPECT_EQ(c.Cmd("MAIL FROM:<a@b.c>"), "250 a@b.c Address Okay\r\n");
    }
    // Memory first, a file past the limit.
    server.RawStreamType = stMemoryStream;
    server.MemoryStreamLimit = 64;
    Start();
    auto c = Greeted();
    c->Cmd("MAIL FROM:<a@b.c>");
    c->Cmd("RCPT TO:<x@y.z>");
    c->Cmd("DATA");
    EXPECT_EQ(c->Cmd(std::string(100, 'x') + "\r\nmore\r\n."), refused);
    // What fits in memory still goes through.
    c->Cmd("MAIL FROM:<a@b.c>");
    c->Cmd("RCPT TO:<x@y.z>");
    c->Cmd("DATA");
    EXPECT_EQ(c->Cmd("short\r\n."), "250 Ok\r\n");
    auto m = Messages();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].Text, "short\r\n");
}

TEST_F(SmtpFixture, MissingReceiveEventEndsTheConnectionAfter354)
{
    for (TIdSMTPReceiveMode mode : {rmRaw, rmMessage, rmMessageParsed}) {
        TIdSMTPServer s;
        s.ReceiveMode = mode;
        port = servertest::StartOnLoopback(s);
        auto c = Greeted();
        c->Cmd("MAIL FROM:<a@b.c>");
        c->Cmd("RCPT TO:<x@y.z>");
        EXPECT_EQ(c->Cmd("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
        EXPECT_TRUE(c->ClosedWithin(3000)) << mode;
    }
}

TEST_F(SmtpFixture, MessageModeHandsOverHeaderAndBodyLines)
{
    std::vector<std::string> headers, body;
    server.ReceiveMode = rmMessage;
    server.OnReceiveMessage = [&](TIdCommand&, TIdMessage& m, TIdEMailAddressList& rcpt,
                                  std::string&) {
        headers = m.Headers.Lines();
        body = m.Body;
        EXPECT_EQ(rcpt.Count(), 1);
        // Not parsed: the properties stay empty.
        EXPECT_EQ(m.Subject, "");
    };
    Start();
    auto c = Greeted();
    c->Cmd("MAIL FROM:<a@b.c>");
    c->Cmd("RCPT TO:<x@y.z>");
    c->Cmd("DATA");
    c->Send("Subject: lines\r\n folded\r\n\r\n..dot\r\n\r\nlast\r\n.\r\n");
    EXPECT_EQ(c->Line(), "250 Ok\r\n");
    EXPECT_EQ(c->Cmd("QUIT"), "221 Signing Off\r\n");
    EXPECT_TRUE(c->ClosedWithin(2000));
    EXPECT_EQ(headers, (std::vector<std::string>{"Subject: lines", " folded",
                                                 "X-Server: SkipMail SMTP Server"}));
    EXPECT_EQ(body, (std::vector<std::string>{".dot", "", "last"}));
}

TEST_F(SmtpFixture, ParsedModeReadsThePartsAndNamesTheBlindCopies)
{
    std::mutex m;
    std::vector<std::string> seen;
    std::string attachmentPath;
    server.ReceiveMode = rmMessageParsed;
    server.OnReceiveMessageParsed = [&](TIdCommand&, TIdMessage& msg, TIdEMailAddressList&,
                                        std::string& customError) {
        std::lock_guard<std::mutex> lock(m);
        seen.push_back(msg.Subject + "|" + msg.Headers.Values("X-Server") + "|" +
                       msg.BccList.EMailAddresses() + "|" +
                       std::to_string(msg.MessageParts.Count()));
        for (int i = 0; i < msg.MessageParts.Count(); ++i) {
            if (auto* t = dynamic_cast<TIdText*>(&msg.MessageParts.Items(i)))
                seen.push_back(t->Body.front());
            if (auto* a = dynamic_cast<TIdAttachment*>(&msg.MessageParts.Items(i))) {
                attachmentPath = a->StoredPathName;
                std::ifstream f(a->StoredPathName, std::ios::binary);
                seen.push_back(a->FileName + ":" +
                               std::string(std::istreambuf_iterator<char>(f), {}));
            }
        }
        if (msg.Subject == "refuse")
            customError = "550 not wanted";
    };
    Start();
    auto c = Greeted();
    c->Cmd("MAIL FROM:<a@b.c>");
    c->Cmd("RCPT TO:<To@y.z>");
    c->Cmd("RCPT TO:<hidden@y.z>");
    c->Cmd("DATA");
    c->Send("Subject: parts\r\nTo: to@y.z\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n"
            "\r\npreamble\r\n--b\r\nContent-Type: text/plain\r\n\r\n..hello\r\n--b\r\n"
            "Content-Type: application/octet-stream; name=\"f.bin\"\r\n"
            "Content-Transfer-Encoding: base64\r\n\r\nAAEC\r\n--b--\r\n.\r\n");
    EXPECT_EQ(c->Line(), "250 Ok\r\n");
    c->Cmd("MAIL FROM:<a@b.c>");
    c->Cmd("RCPT TO:<x@y.z>");
    c->Cmd("DATA");
    c->Send("Subject: refuse\r\n\r\nx\r\n.\r\n");
    EXPECT_EQ(c->Line(), "550 not wanted\r\n");
    // A message that does not read is refused; the session goes on.
    c->Cmd("MAIL FROM:<a@b.c>");
    c->Cmd("RCPT TO:<x@y.z>");
    c->Cmd("DATA");
    c->Send("Subject: bad\r\n\r\nbegin 644 x\r\n~~~~\r\nend\r\n.\r\n");
    EXPECT_EQ(c->Line(), "554 Message cannot be read: Unrecognized UUE encoding scheme.\r\n");
    EXPECT_EQ(c->Cmd("QUIT"), "221 Signing Off\r\n");
    EXPECT_TRUE(c->ClosedWithin(2000));
    std::lock_guard<std::mutex> lock(m);
    EXPECT_EQ(seen, (std::vector<std::string>{"parts|SkipMail SMTP Server|hidden@y.z|2", ".hello",
                                              std::string("f.bin:\0\1\2", 9),
                                              "refuse|SkipMail SMTP Server|x@y.z|0"}));
    EXPECT_FALSE(std::filesystem::exists(attachmentPath));
}

TEST_F(SmtpFixture, TooManyConnectionsGet421)
{
    server.MaxConnections = 2;
    Start();
    RawClient a(port), b(port);
    EXPECT_EQ(a.Line(), "220 Welcome to the SKIPMAIL SMTP Server\r\n");
    EXPECT_EQ(b.Line(), "220 Welcome to the SKIPMAIL SMTP Server\r\n");
    RawClient c(port);
    EXPECT_EQ(c.Line(), "421 Too many connections, try again later\r\n");
    EXPECT_TRUE(c.ClosedWithin(2000));
}

TEST_F(SmtpFixture, IdleClientGets421)
{
    server.ReadTimeout = 300;
    Start();
    RawClient c(port);
    c.Line();
    EXPECT_EQ(c.Line(3000), "421 Idle time-out, closing connection\r\n");
    EXPECT_TRUE(c.ClosedWithin(1000));

    // Also when the client stalls in the middle of a message: nothing is
    // delivered.
    auto d = Greeted();
    d->Cmd("MAIL FROM:<a@b.c>");
    d->Cmd("RCPT TO:<x@y.z>");
    d->Cmd("DATA");
    d->Send("half a message\r\n");
    EXPECT_EQ(d->Line(3000), "421 Idle time-out, closing connection\r\n");
    EXPECT_TRUE(d->ClosedWithin(1000));
    EXPECT_TRUE(Messages().empty());
}

// Real clients against the server.
TEST_F(SmtpFixture, PythonSmtplibFallsBackToHelo)
{
    Start();
    const std::string script = servertest::WriteScript("smtplib.py", R"PY(
import smtplib, sys
s = smtplib.SMTP('127.0.0.1', int(sys.argv[1]), timeout=10)
refused = s.sendmail('from@a.b', ['one@c.d', 'two@c.d'],
                     'Subject: py\r\n\r\nhello\r\n.leading dot\r\n')
assert refused == {}, refused
s.quit()
print('sent')
)PY");
    std::string out;
    EXPECT_EQ(servertest::RunCommand(
                  servertest::SystemPython() + " " + script + " " + std::to_string(port), &out),
              0)
        << out;
    auto m = Messages();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].Text, "Subject: py\r\n\r\nhello\r\n.leading dot\r\n");
    EXPECT_EQ(m[0].Rcpt, (std::vector<std::string>{"one@c.d", "two@c.d"}));
    ::unlink(script.c_str());
}

TEST_F(SmtpFixture, CurlSendsMail)
{
    if (!servertest::HaveProgram("curl"))
        SKIP_WITHOUT_TOOL("curl is not installed");
    Start();
    const std::string mail = servertest::WriteScript("curl.eml", "Subject: curl\r\n\r\nbody\r\n");
    std::string out;
    const int rc = servertest::RunCommand(
        "curl -s -S --max-time 10 smtp://127.0.0.1:" + std::to_string(port) +
            "/client.lan --mail-from a@b.c --mail-rcpt x@y.z --upload-file " + mail,
        &out);
    EXPECT_EQ(rc, 0) << out;
    auto m = Messages();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(m[0].Text, "Subject: curl\r\n\r\nbody\r\n");
    EXPECT_EQ(m[0].Rcpt, (std::vector<std::string>{"x@y.z"}));
    ::unlink(mail.c_str());
}

TEST_F(SmtpFixture, SwaksSendsMail)
{
    if (!servertest::HaveProgram("swaks"))
        SKIP_WITHOUT_TOOL("swaks is not installed");
    Start();
    std::string out;
    const int rc =
        servertest::RunCommand("swaks --server 127.0.0.1 --port " + std::to_string(port) +
                                   " --helo client.lan --from a@b.c --to x@y.z,w@y.z"
                                   " --header 'Subject: swaks' --body 'swaks body' --timeout 10",
                               &out);
    EXPECT_EQ(rc, 0) << out;
    auto m = Messages();
    ASSERT_EQ(m.size(), 1u);
    EXPECT_NE(m[0].Text.find("Subject: swaks\r\n"), std::string::npos) << m[0].Text;
    EXPECT_NE(m[0].Text.find("\r\n\r\nswaks body\r\n"), std::string::npos) << m[0].Text;
    EXPECT_EQ(m[0].Rcpt, (std::vector<std::string>{"x@y.z", "w@y.z"}));
}
