#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "core/config.h"
#include "core/message_store.h"
#include "core/password_codec.h"
#include "mail/account_list.h"
#include "mail/mail_exchange.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "platform/data_root.h"
#include "support/peer_process.h"
#include "support/test_files.h"
#include "support/test_host.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Files(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& f : MessageStore::ListMessages(dir))
        names.push_back(f.Name);
    return names;
}

// The gateway's exchange in a fresh data root, against the fake Internet
// servers of tests/support/fake_internet.py.
class MailExchangeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Internet = std::make_unique<PeerProcess>("fake_internet.py",
                                                 std::vector<std::string>{NetPath("")});
        ASSERT_EQ(Internet->Ports().size(), 2u);
    }

    void Start(const std::string& gatewaySection = "")
    {
        WriteFileAtomic(DataRoot::Path("skipmail.INI"),
                        "[GENERAL]\r\nSOFTWAREVERSION=MAIL GATEWAY\r\n[GATEWAY]\r\n"
                        "SMTPADDRESS=127.0.0.1\r\n" +
                            gatewaySection);
        Config = std::make_unique<TConfig>();
        Accounts = std::make_unique<TAccountList>();
        Exchange = std::make_unique<TMailExchange>(Config.get(), Accounts.get(),
                                                   [this](const std::string& text, bool show) {
                                                       Log.push_back(show ? text : "~" + text);
                                                   });
        Exchange->SmtpPort = Internet->Ports()[0];
        Exchange->Pop3Port = Internet->Ports()[1];
        Exchange->ReplyTimeoutMs = 3000;
    }

    std::string NetPath(const std::string& relative) const { return Net.Dir() + "/" + relative; }
    void Outbox(const std::string& name, const std::string& text)
    {
        fs::create_directories(DataRoot::Path("MAIL/GATEWAY"));
        WriteFileAtomic(DataRoot::Path("MAIL/GATEWAY/" + name), text);
    }
    void Script(const std::string& lines) { WriteFileAtomic(NetPath("smtp.script"), lines); }
    void Mailbox(const std::string& user, const std::vector<std::string>& messages)
    {
        fs::create_directories(NetPath("pop/" + user));
        for (size_t i = 0; i < messages.size(); ++i)
            WriteFileAtomic(NetPath("pop/" + user + "/" + std::to_string(i + 1)), messages[i]);
    }
    // The log lines shown in the window (file-only lines left out).
    std::vector<std::string> Shown() const
    {
        std::vector<std::string> out;
        for (const auto& l : Log)
            if (l[0] != '~')
                out.push_back(l);
        return out;
    }
    std::vector<std::string> QueueFiles() { return Files(DataRoot::Path("QUEUE")); }
    // The queue files' texts in sorted order.
    std::vector<std::string> QueueTexts()
    {
        std::vector<std::string> texts;
        for (const auto& name : QueueFiles())
            texts.push_back(ReadFile(DataRoot::Path("QUEUE/" + name)));
        std::sort(texts.begin(), texts.end());
        return texts;
    }

    TempRoot Root;
    TScratch Net;
    std::unique_ptr<PeerProcess> Internet;
    std::unique_ptr<TConfig> Config;
    std::unique_ptr<TAccountList> Accounts;
    std::unique_ptr<TMailExchange> Exchange;
    std::vector<std::string> Log;
};

using Lines = std::vector<std::string>;

} // namespace

TEST(MailExchangeSender, FromAddressComesFromTheHeaderAlone)
{
    EXPECT_EQ(TMailExchange::GetSenderAddress("From: \"Ann Lee\" <ann@x.org>"), "ann@x.org");
    EXPECT_EQ(TMailExchange::GetSenderAddress("From: bob@x.org (Bob <Builder>)"), "bob@x.org");
    EXPECT_EQ(TMailExchange::GetSenderAddress("FROM:cy@x.org"), "cy@x.org");
    EXPECT_EQ(TMailExchange::GetSenderAddress("From: \"Mail System\" <>"), "");
    EXPECT_EQ(TMailExchange::GetSenderAddress("From: \"a@b\" dee@x.org"), "dee@x.org");
    EXPECT_EQ(TMailExchange::GetFromLine({"RCPT: z@y.org", "Subject: s", "From: \"Ann\"",
                                          "  <ann@x.org>", "", "From: body@x.org"}),
              "ann@x.org");
    EXPECT_EQ(TMailExchange::GetFromLine({"Subject: s", "", "From: body@x.org"}), "");
    EXPECT_EQ(TMailExchange::GetFromLine({"From-Agent: x@y.org", "Fromage: z@y.org"}), "");
    EXPECT_EQ(TMailExchange::GetMessageSender({"Subject: s"}), "unknown");
}

TEST_F(MailExchangeTest, OutboxGoesOverOneConnectionAsStored)
{
    Start();
    Outbox("1.msg", "RCPT: z@y.org\r\nFrom: \"Ann\" <ann@x.org>\r\nSubject: one\r\n\r\n.\r\n"
                    "..two\r\nend\r\n");
    Outbox("2.msg", "RCPT: w@y.org\r\nFrom: bob@x.org (Bob)\r\n\r\nno last line end");
    Outbox("3.msg", "RCPT: ann@x.org\r\nTo: ann@x.org\r\nFrom: \"Mail System\" <>\r\n\r\nx\r\n");
    EXPECT_EQ(Exchange->CountOutgoingMail(), 3);
    Exchange->SendMail();
    Internet->Stop();

    EXPECT_EQ(Shown(), (Lines{"Sending 3 Messages", "Finished Sending Mail"}));
    EXPECT_TRUE(Files(DataRoot::Path("MAIL/GATEWAY")).empty());
    const std::string wire = ReadFile(NetPath("smtp.wire"));
    const std::string helo =
        wire.substr(wire.find('\n') + 1, wire.find("\r\n") + 2 - wire.find('\n') - 1);
    EXPECT_EQ(wire,
              "=== connection 1\n" + helo +
                  "MAIL FROM:<ann@x.org>\r\nRCPT TO:<z@y.org>\r\nDATA\r\n"
                  "From: \"Ann\" <ann@x.org>\r\nSubject: one\r\n\r\n..\r\n...two\r\nend\r\n.\r\n"
                  "MAIL FROM:<bob@x.org>\r\nRCPT TO:<w@y.org>\r\nDATA\r\n"
                  "From: bob@x.org (Bob)\r\n\r\nno last line end\r\n.\r\n"
                  "MAIL FROM:<>\r\nRCPT TO:<ann@x.org>\r\nDATA\r\n"
                  "To: ann@x.org\r\nFrom: \"Mail System\" <>\r\n\r\nx\r\n.\r\nQUIT\r\n");
    EXPECT_EQ(helo.substr(0, 5), "HELO ");
    EXPECT_EQ(ReadFile(NetPath("sent/1.eml")),
              "From: \"Ann\" <ann@x.org>\r\nSubject: one\r\n\r\n.\r\n..two\r\nend\r\n");
}

TEST_F(MailExchangeTest, EmptyOutboxOpensNoConnection)
{
    Start();
    Exchange->SendMail();
    EXPECT_EQ(Log, (Lines{"No messages to Send at this time"}));
    EXPECT_FALSE(fs::exists(NetPath("smtp.wire")));
}

TEST_F(MailExchangeTest, RepliesAreReadWholeAnd251AcceptsARecipient)
{
    Start();
    Script(
        "MAIL 250-first line\\n250-second\\n250 sender ok\nRCPT 251 User not local, Will forward\n"
        "RCPT 250 ok\n");
    Outbox("1.msg", "RCPT: a@y.org\r\nFrom: ann@x.org\r\n\r\none\r\n");
    Outbox("2.msg", "RCPT: b@y.org\r\nFrom: bob@x.org\r\n\r\ntwo\r\n");
    Exchange->SendMail();
    EXPECT_EQ(ReadFile(NetPath("sent/1.env")), "ann@x.org\na@y.org\n");
    EXPECT_EQ(ReadFile(NetPath("sent/2.env")), "bob@x.org\nb@y.org\n");
    EXPECT_TRUE(Files(DataRoot::Path("MAIL/GATEWAY")).empty());
}

TEST_F(MailExchangeTest, TheMailFromSettingSendsEveryMessageButAFailureNotice)
{
    Start("SMTPMAILFROM=gw@x.org\r\n");
    Outbox("1.msg", "RCPT: a@y.org\r\nFrom: ann@HOME\r\n\r\none\r\n");
    Outbox("2.msg", "RCPT: b@y.org\r\nFrom: bob@HOME\r\n\r\ntwo\r\n");
    Outbox("3.msg", "RCPT: c@y.org\r\nTo: c@y.org\r\nFrom: \"Mail System\" <>\r\n\r\nx\r\n");
    Exchange->SendMail();
    EXPECT_EQ(ReadFile(NetPath("sent/1.env")), "gw@x.org\na@y.org\n");
    EXPECT_EQ(ReadFile(NetPath("sent/2.env")), "gw@x.org\nb@y.org\n");
    EXPECT_EQ(ReadFile(NetPath("sent/3.env")), "\nc@y.org\n");
}

TEST_F(MailExchangeTest, AMessageFailingSixTimesGoesBackWithItsFirstFiftyLines)
{
    Start();
    WriteFileAtomic(DataRoot::Path("errormsg.txt"), "not this text\r\n");
    std::string body;
    for (int i = 1; i <= 200; ++i)
        body += "line " + std::to_string(i) + "\r\n";
    Outbox("1.msg", "RCPT: z@y.org\r\nFrom: \"Ann\" <ann@x.org>\r\nSubject: big\r\n\r\n" + body);
    Outbox("2.msg", "RCPT: w@y.org\r\nFrom: bob@x.org\r\n\r\nok\r\n");
    std::vector<std::string> counts;
    for (int connection = 1; connection <= 6; ++connection) {
        Script("RCPT 550 5.1.1 no such user\n");
        Log.clear();
        Exchange->SendMail();
        counts.push_back(Shown().back());
    }
    EXPECT_EQ(counts,
              (Lines{"SMTP: 4  more attempts this message", "SMTP: 3  more attempts this message",
                     "SMTP: 2  more attempts this message", "SMTP: 1  more attempts this message",
                     "SMTP: 0  more attempts this message", "Finished Sending Mail"}));
    EXPECT_EQ(Shown(), (Lines{"Sending 2 Messages", "SMTP: Error Sending Mail to 127.0.0.1",
                              "SMTP: Error Response was: 550 5.1.1 no such user",
                              "SMTP: Returning mail to: ann@x.org", "Finished Sending Mail"}));
    EXPECT_EQ(Exchange->SendFailures("1.msg"), 0);
    EXPECT_EQ(Files(DataRoot::Path("MAIL/GATEWAY")), (Lines{"2.msg"}));

    const Lines queued = QueueFiles();
    ASSERT_EQ(queued.size(), 1u);
    const std::string notice = ReadFile(DataRoot::Path("QUEUE/" + queued[0]));
    const std::string head = "RCPT: ann@x.org\r\nTo: ann@x.org\r\nFrom: \"Mail System\" <>\r\n"
                             "Subject: failure notice\r\n\r\nHi. This is the Mail System\r\n"
                             "I'm afraid I was not able to deliver your Internet message\r\n"
                             "address. This is a permanent error; I've given up. Sorry it did "
                             "not\r\nwork out.\r\n\r\nThe Error provided was:\r\n\r\n"
                             "550 5.1.1 no such user\r\n\r\n"
                             " --Below this line is a copy of the message.\r\n \r\n"
                             "RCPT: ann@x.org\r\nFrom: \"Ann\" <ann@x.org>\r\nSubject: big\r\n\r\n";
    ASSERT_EQ(notice.substr(0, head.size()), head);
    EXPECT_EQ(notice.substr(head.size()), body.substr(0, body.find("line 47\r\n")));

    // The other message was never blamed; it goes now.
    Exchange->SendMail();
    EXPECT_TRUE(Files(DataRoot::Path("MAIL/GATEWAY")).empty());
}

// An outbox file that names no recipient goes back to its sender at once;
// no header line of it is taken for an address, and the outbox empties.
TEST_F(MailExchangeTest, AnOutboxFileWithoutARecipientGoesBackAtOnce)
{
    Start();
    Outbox("1.msg", "To: victim@example.org\r\nFrom: \"Ann\" <ann@x.org>\r\n\r\nhello\r\n");
    Outbox("2.msg", "RCPT: w@y.org\r\nFrom: bob@x.org\r\n\r\nok\r\n");
    Outbox("3.msg", "Subject: nobody's\r\n\r\nx\r\n");
    Exchange->SendMail();
    EXPECT_EQ(Shown(), (Lines{"SMTP: No recipient in 1.msg", "SMTP: Returning mail to: ann@x.org",
                              "SMTP: No recipient in 3.msg", "SMTP: Returning mail to: admin",
                              "Sending 1 Messages", "Finished Sending Mail"}));
    EXPECT_TRUE(Files(DataRoot::Path("MAIL/GATEWAY")).empty());
    EXPECT_EQ(Exchange->CountOutgoingMail(), 0);
    EXPECT_EQ(ReadFile(NetPath("sent/1.env")), "bob@x.org\nw@y.org\n");
    EXPECT_EQ(ReadFile(NetPath("smtp.wire")).find("victim"), std::string::npos);

    const Lines notices = QueueTexts();
    ASSERT_EQ(notices.size(), 2u);
    EXPECT_EQ(notices[0].rfind("RCPT: admin\r\nTo: admin\r\n", 0), 0u);
    EXPECT_EQ(notices[1].rfind("RCPT: ann@x.org\r\nTo: ann@x.org\r\n", 0), 0u);
    EXPECT_NE(notices[1].find("\r\nThe message names no recipient.\r\n"), std::string::npos);
    EXPECT_NE(notices[1].find("\r\nRCPT: ann@x.org\r\nTo: victim@example.org\r\n"),
              std::string::npos);

    // With nothing else waiting no connection is opened for it (the server
    // notes a connection before it greets).
    Outbox("4.msg", "From: cy@x.org\r\n\r\nx\r\n");
    Log.clear();
    Exchange->SendMail();
    EXPECT_EQ(Shown(), (Lines{"SMTP: No recipient in 4.msg", "SMTP: Returning mail to: cy@x.org",
                              "No messages to Send at this time"}));
    EXPECT_EQ(ReadFile(NetPath("smtp.wire")).find("=== connection 2"), std::string::npos);
}

TEST_F(MailExchangeTest, FailuresCountPerMessage)
{
    Start();
    Outbox("1.msg", "RCPT: z@y.org\r\nFrom: ann@x.org\r\n\r\na\r\n");
    Script("END 451 try later\n");
    Exchange->SendMail();
    EXPECT_EQ(Exchange->SendFailures("1.msg"), 1);
    // Another message failing does not use up the first one's attempts.
    fs::rename(DataRoot::Path("MAIL/GATEWAY/1.msg"), DataRoot::Path("1.keep"));
    Outbox("2.msg", "RCPT: w@y.org\r\nFrom: bob@x.org\r\n\r\nb\r\n");
    Script("END 451 try later\n");
    Exchange->SendMail();
    EXPECT_EQ(Exchange->SendFailures("2.msg"), 1);
    EXPECT_EQ(Shown().back(), "SMTP: 4  more attempts this message");
}

TEST_F(MailExchangeTest, ASilentServerCostsOneBoundedWaitAndAbortCountsNothing)
{
    Start();
    Exchange->ReplyTimeoutMs = 500;
    Outbox("1.msg", "RCPT: z@y.org\r\nFrom: ann@x.org\r\n\r\na\r\n");
    Script("DATA silence\n");
    Exchange->SendMail();
    EXPECT_EQ(Shown()[2], "SMTP: Error Response was: SMTP: 354 Message Timeout Error");
    EXPECT_EQ(Exchange->SendFailures("1.msg"), 1);

    // The operator's stop cuts the wait short and blames no message.
    Exchange->ReplyTimeoutMs = 60000;
    Script("END silence\n");
    Log.clear();
    Exchange->Begin();
    std::thread stop([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        Exchange->Abort();
    });
    const auto start = std::chrono::steady_clock::now();
    Exchange->SendMail();
    stop.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_TRUE(Exchange->Aborted());
    EXPECT_EQ(Exchange->SendFailures("1.msg"), 1);
    EXPECT_EQ(Files(DataRoot::Path("MAIL/GATEWAY")), (Lines{"1.msg"}));
}

TEST_F(MailExchangeTest, PopBeforeSmtpLogsInFirstAndStopsWhenRefused)
{
    Start("SMTPAUTHENABLED=TRUE\r\nSMTPAUTHUSER=gw\r\nSMTPAUTHPASS=" + EncodePassword("secret") +
          "\r\n");
    Mailbox("gw", {});
    WriteFileAtomic(NetPath("pop/gw.pass"), "secret");
    Outbox("1.msg", "RCPT: z@y.org\r\nFrom: ann@x.org\r\n\r\na\r\n");
    Exchange->SendMail();
    EXPECT_EQ(ReadFile(NetPath("pop3.log")), "USER gw\nPASS\nQUIT\n");
    EXPECT_TRUE(fs::exists(NetPath("sent/1.eml")));

    Config->Gateway.SmtpAuthPass = "wrong";
    Outbox("2.msg", "RCPT: z@y.org\r\nFrom: ann@x.org\r\n\r\nb\r\n");
    Log.clear();
    Exchange->SendMail();
    EXPECT_EQ(Shown(), (Lines{"SMTP: Authenticating POP User before Sending Mail",
                              "Error: Can not authenticate gw on 127.0.0.1"}));
    EXPECT_EQ(Files(DataRoot::Path("MAIL/GATEWAY")), (Lines{"2.msg"}));
}

TEST_F(MailExchangeTest, EhloLoginAuthenticatesWithAiosmtpd)
{
    QTemporaryDir peerDir;
    PeerProcess peer("smtp_peer.py", {peerDir.path().toStdString(), "gw", "s3cret"});
    if (!peer.SkipReason().empty())
        SKIP_WITHOUT_TOOL(peer.SkipReason());
    Start("SMTPEHLOAUTHENABLED=TRUE\r\nSMTPAUTHUSER=gw\r\nSMTPAUTHPASS=" +
          EncodePassword("s3cret") + "\r\n");
    Exchange->SmtpPort = peer.Port();
    Outbox("1.msg", "RCPT: z@y.org\r\nFrom: ann@x.org\r\n\r\n.dot\r\n");
    Exchange->SendMail();
    peer.Stop();
    EXPECT_EQ(Shown()[1], "SMTP: Authenticated gw (EHLO)");
    EXPECT_EQ(ReadFile(peerDir.path().toStdString() + "/1.eml"), "From: ann@x.org\r\n\r\n.dot\r\n");
    EXPECT_EQ(ReadFile(peerDir.path().toStdString() + "/1.env"), "ann@x.org\nz@y.org\n");
}

TEST_F(MailExchangeTest, EnabledAccountsAreFetchedIntoTheQueueAndDeleted)
{
    Start();
    Mailbox("ann",
            {"From: x@y.org\r\nSubject: 1\r\n\r\n.hidden dot\r\n", "Subject: 2\r\n\r\nb\r\n"});
    Mailbox("bob", {"Subject: 3\r\n\r\nc\r\n"});
    Mailbox("cy", {"Subject: never\r\n\r\n"});
    Accounts->Add({"ann@FAR", "FAR", "ann@y.org", "ann", "pw", "127.0.0.1", "ENABLED"});
    Accounts->Add({"cy@FAR", "FAR", "cy@y.org", "cy", "pw", "127.0.0.1", "DISABLED"});
    Accounts->Add({"bob@HOME", "HOME", "bob@y.org", "bob", "pw", "127.0.0.1", "ENABLED"});
    Exchange->ReceiveMail();
    EXPECT_EQ(Shown(), (Lines{"Checking mail for ann", "Receiving 2 messages for ann",
                              "Received Message 1 (57 Bytes)", "Received Message 2 (32 Bytes)",
                              "Checking mail for bob", "Receiving 1 messages for bob",
                              "Received Message 1 (33 Bytes)", "Finished Receiving Mail"}));
    EXPECT_EQ(ReadFile(NetPath("pop3.log")),
              "USER ann\nPASS\nSTAT\nRETR 1\nDELE 1\nRETR 2\nDELE 2\n"
              "QUIT\nUSER bob\nPASS\nSTAT\nRETR 1\nDELE 1\nQUIT\n");
    EXPECT_EQ(QueueTexts(),
              (Lines{"RCPT: ann@FAR\r\nFrom: x@y.org\r\nSubject: 1\r\n\r\n.hidden dot\r\n",
                     "RCPT: ann@FAR\r\nSubject: 2\r\n\r\nb\r\n",
                     "RCPT: bob@HOME\r\nSubject: 3\r\n\r\nc\r\n"}));
    EXPECT_TRUE(fs::is_empty(NetPath("pop/ann")));
    EXPECT_EQ(Files(NetPath("pop/cy")).size(), 0u);
    EXPECT_TRUE(fs::exists(NetPath("pop/cy/1")));
}

// A hand-edited accounts.dat line with fields past the seventh is still
// that account, and it is polled.
TEST_F(MailExchangeTest, AnAccountLineWithMoreThanSevenFieldsIsPolled)
{
    WriteFileAtomic(DataRoot::Path("accounts.dat"),
                    "ann@FAR:FAR:ann@y.org:ann:pw:127.0.0.1:ENABLED:added by hand\r\n");
    Start();
    Mailbox("ann", {"Subject: 1\r\n\r\na\r\n"});
    Exchange->ReceiveMail();
    EXPECT_EQ(QueueTexts(), (Lines{"RCPT: ann@FAR\r\nSubject: 1\r\n\r\na\r\n"}));
    EXPECT_EQ(ReadFile(NetPath("pop3.log")), "USER ann\nPASS\nSTAT\nRETR 1\nDELE 1\nQUIT\n");
}

TEST_F(MailExchangeTest, SizeLimitIsStrictAndOversizeMailIsReturnedOrDropped)
{
    // 100 bytes with the "RCPT: ann@FAR" line: the limit itself passes.
    const std::string fits = "From: \"X\" <x@y.org>\r\n\r\n" + std::string(60, 'a') + "\r\n";
    const std::string over = "From: \"X\" <x@y.org>\r\n\r\n" + std::string(61, 'a') + "\r\n";
    Start("MAXMAILFILTERSIZE=100\r\n");
    WriteFileAtomic(DataRoot::Path("errormsg.txt"), "Too big for the radio.\r\n");
    Mailbox("ann", {fits, over});
    Accounts->Add({"ann@FAR", "FAR", "ann@y.org", "ann", "pw", "127.0.0.1", "ENABLED"});
    Exchange->ReceiveMail();
    EXPECT_EQ(Shown()[2], "Received Message 1 (100 Bytes)");
    EXPECT_EQ(Shown()[4], "Message exceeded max allowed size");
    EXPECT_EQ(Shown()[5], "Returning mail to x@y.org");
    const Lines texts = QueueTexts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "RCPT: ann@FAR\r\n" + fits);
    EXPECT_NE(texts[1].find("The Error provided was:\r\n\r\nToo big for the radio.\r\n"),
              std::string::npos);
    EXPECT_EQ(texts[1].substr(0, 20), "RCPT: x@y.org\r\nTo: x");
    EXPECT_TRUE(fs::is_empty(NetPath("pop/ann")));

    Config->Gateway.ReturnErrorEnabled = false;
    Mailbox("ann", {over});
    Log.clear();
    Exchange->ReceiveMail();
    EXPECT_EQ(Shown()[3], "Message received from Sender (x@y.org) exceeded maximum message size");
    EXPECT_EQ(Shown()[4], "Deleted Mail from x@y.org");
    EXPECT_EQ(QueueFiles().size(), 2u);
    EXPECT_TRUE(fs::is_empty(NetPath("pop/ann")));
}

TEST_F(MailExchangeTest, AMessageNotQueuedStaysOnTheServer)
{
    Start();
    Mailbox("ann", {"Subject: 1\r\n\r\na\r\n", "Subject: 2\r\n\r\nb\r\n"});
    WriteFileAtomic(NetPath("pop/ann.refuse"), "1\n");
    Accounts->Add({"ann@FAR", "FAR", "ann@y.org", "ann", "pw", "127.0.0.1", "ENABLED"});
    Accounts->Add({"bob@FAR", "FAR", "bob@y.org", "bob", "pw", "127.0.0.1", "ENABLED"});
    // Names taken in QUEUE are never written over.
    fs::create_directories(DataRoot::Path("QUEUE"));
    Clock::SetTickOrigin(4000000000u);
    for (uint32_t n = 4000000000u; n < 4000000000u + 200; ++n)
        std::ofstream(DataRoot::Path("QUEUE/" + std::to_string(n) + ".msg")) << "old";
    Exchange->ReceiveMail();
    Clock::ResetTickOrigin();
    EXPECT_EQ(Shown()[2], "Error: Can not retrieve message 1 for ann");
    EXPECT_EQ(ReadFile(NetPath("pop3.log")).find("DELE 1"), std::string::npos);
    EXPECT_TRUE(fs::exists(NetPath("pop/ann/1")));
    EXPECT_FALSE(fs::exists(NetPath("pop/ann/2")));
    EXPECT_EQ(QueueFiles().size(), 201u);
    EXPECT_EQ(ReadFile(DataRoot::Path("QUEUE/4000000000.msg")), "old");
    // No mailbox for bob: the login is refused.
    EXPECT_EQ(Shown()[5], "Error: Can not connect to server for bob");
    EXPECT_EQ(Shown()[6], "Error: Can not fetch mail for bob");
}

TEST_F(MailExchangeTest, AFetchCutOffGoesOnWhereItStoppedAndQueuesEachMessageOnce)
{
    Start();
    const std::string same = "Subject: same\r\n\r\nsent twice\r\n";
    Mailbox("ann", {same, "Subject: 2\r\n\r\nb\r\n", same, "Subject: 4\r\n\r\nd\r\n"});
    WriteFileAtomic(NetPath("pop/ann.drop"), "4\n");
    Accounts->Add({"ann@FAR", "FAR", "ann@y.org", "ann", "pw", "127.0.0.1", "ENABLED"});
    Exchange->ReceiveMail();
    EXPECT_EQ(Shown()[5], "Error: Can not fetch mail for ann");
    EXPECT_EQ(QueueFiles().size(), 3u);

    // The server still holds all four: the three queued are only deleted.
    Log.clear();
    Exchange->ReceiveMail();
    EXPECT_EQ(Shown(), (Lines{"Checking mail for ann", "Receiving 4 messages for ann",
                              "Received Message 1 (44 Bytes)",
                              "Message 1 was fetched before; deleted on the server",
                              "Received Message 2 (32 Bytes)",
                              "Message 2 was fetched before; deleted on the server",
                              "Received Message 3 (44 Bytes)",
                              "Message 3 was fetched before; deleted on the server",
                              "Received Message 4 (32 Bytes)", "Finished Receiving Mail"}));
    const std::string envelope = "RCPT: ann@FAR\r\n";
    EXPECT_EQ(QueueTexts(),
              (Lines{envelope + "Subject: 2\r\n\r\nb\r\n", envelope + "Subject: 4\r\n\r\nd\r\n",
                     envelope + same, envelope + same}));
    EXPECT_TRUE(fs::is_empty(NetPath("pop/ann")));

    // Once the server confirmed its deletions, the same text again is new mail.
    Mailbox("ann", {same});
    Exchange->ReceiveMail();
    EXPECT_EQ(QueueFiles().size(), 5u);
}

TEST_F(MailExchangeTest, AStationKilledBetweenQueueingAndRecordingQueuesThatMessageTwiceAtWorst)
{
    Start();
    Mailbox("ann",
            {"Subject: 1\r\n\r\na\r\n", "Subject: 2\r\n\r\nb\r\n", "Subject: 3\r\n\r\nc\r\n"});
    Accounts->Add({"ann@FAR", "FAR", "ann@y.org", "ann", "pw", "127.0.0.1", "ENABLED"});
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Killed as it records the second message, which is queued by then.
        static int writes = 0;
        SetAtomicWriteHook([](const std::string&) {
            if (++writes == 2)
                _exit(0);
        });
        Exchange->ReceiveMail();
        _exit(1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(QueueFiles().size(), 2u);

    Exchange->ReceiveMail();
    const std::string envelope = "RCPT: ann@FAR\r\n";
    EXPECT_EQ(QueueTexts(),
              (Lines{envelope + "Subject: 1\r\n\r\na\r\n", envelope + "Subject: 2\r\n\r\nb\r\n",
                     envelope + "Subject: 2\r\n\r\nb\r\n", envelope + "Subject: 3\r\n\r\nc\r\n"}));
    EXPECT_TRUE(fs::is_empty(NetPath("pop/ann")));
}
