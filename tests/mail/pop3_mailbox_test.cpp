#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/resource.h>

#include "core/message_store.h"
#include "core/user_list.h"
#include "mail/pop3_mailbox.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "support/test_files.h"
#include "support/test_host.h"

namespace fs = std::filesystem;

namespace {

// Collects what a command writes; can fail after a number of bytes, as a
// connection that breaks off does.
class TStringWriter : public TPOP3ReplyWriter {
public:
    void WriteLn(const std::string& line) override { Write(line + "\r\n"); }
    void Write(const std::string& text) override
    {
        if (FailAfter >= 0 && Text.size() + text.size() > static_cast<size_t>(FailAfter)) {
            Text += text.substr(0, static_cast<size_t>(FailAfter) - Text.size());
            throw std::runtime_error("connection lost");
        }
        Text += text;
    }
    std::string Take()
    {
        std::string t;
        t.swap(Text);
        return t;
    }
    std::string Text;
    long FailAfter = -1;
};

class POP3MailboxTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Users = std::make_unique<TUserList>();
        Users->Add(TUser{"admin", "Secret", ""});
        Users->Add(TUser{"bob", "pw", ""});
        Mailbox = std::make_unique<TPOP3Mailbox>(
            Users.get(), [this](const std::string& line) { Log.push_back(line); });
    }
    void Put(const std::string& user, const std::string& name, const std::string& text)
    {
        WriteFileAtomic(MessageStore::UserMailDir(user) + "/" + name, text);
    }
    bool Exists(const std::string& user, const std::string& name)
    {
        return fs::exists(MessageStore::UserMailDir(user) + "/" + name);
    }

    TempRoot Dir;
    std::unique_ptr<TUserList> Users;
    std::unique_ptr<TPOP3Mailbox> Mailbox;
    std::vector<std::string> Log;
    TStringWriter Out;
};

TEST_F(POP3MailboxTest, LoginMatchesNameAndPasswordExactly)
{
    EXPECT_EQ(Mailbox->Login("Admin", "Secret"), nullptr);
    EXPECT_EQ(Mailbox->Login("admin", "secret"), nullptr);
    EXPECT_EQ(Mailbox->Login("", ""), nullptr);
    auto info = Mailbox->Login("admin", "Secret");
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->UserName, "admin");
    EXPECT_EQ(Log, (std::vector<std::string>{"User: Admin connection failed",
                                             "User: admin connection failed",
                                             "User:  connection failed", "User: admin connected"}));
    EXPECT_FALSE(Users->Get(0).LastConnection.empty());
    // A refused name cannot put a line of its own into the log.
    Log.clear();
    EXPECT_EQ(Mailbox->Login("x\rUser: admin connected", "pw"), nullptr);
    EXPECT_EQ(Log, (std::vector<std::string>{"User: x?User: admin connected connection failed"}));
    EXPECT_TRUE(Users->Get(1).LastConnection.empty());
}

// A stored password that does not decode, or none at all, matches no PASS.
TEST_F(POP3MailboxTest, AUserWithoutAReadablePasswordRefusesEveryLogin)
{
    WriteFileAtomic(DataRoot::Path("users.dat"), "carol:ZZZZ:\r\ndave:26F62:\r\neve::\r\n");
    Users->Load();
    for (const char* name : {"carol", "dave", "eve"}) {
        EXPECT_EQ(Mailbox->Login(name, ""), nullptr) << name;
        EXPECT_EQ(Mailbox->Login(name, " "), nullptr) << name;
    }
    EXPECT_EQ(Mailbox->Login("carol", "ZZZZ"), nullptr);
}

TEST_F(POP3MailboxTest, EmptyMailbox)
{
    auto info = Mailbox->Login("bob", "pw");
    ASSERT_NE(info, nullptr);
    Mailbox->Stat(*info, Out);
    Mailbox->List(*info, 0, Out);
    Mailbox->Retr(*info, 1, Out);
    Mailbox->Top(*info, 1, 0, Out);
    Mailbox->List(*info, 1, Out);
    EXPECT_EQ(Out.Take(), "+OK 0 0\r\n+OK 0 messages (0 octets)\r\n.\r\n"
                          "-ERR Sorry, Invalid message\r\n-ERR Sorry, Invalid message\r\n"
                          "-ERR no such message\r\n");
}

TEST_F(POP3MailboxTest, ListingIsTakenAtLoginInNumericOrder)
{
    Put("bob", "10.msg", "ten\r\n");
    Put("bob", "9.msg", "nine!\r\n");
    Put("bob", "notes.txt", "not mail");
    auto info = Mailbox->Login("bob", "pw");
    ASSERT_NE(info, nullptr);
    Put("bob", "11.msg", "later\r\n");
    Mailbox->Stat(*info, Out);
    Mailbox->List(*info, -1, Out);
    Mailbox->List(*info, 2, Out);
    Mailbox->List(*info, 3, Out);
    EXPECT_EQ(Out.Take(), "+OK 2 12\r\n+OK 2 messages (12 octets)\r\n1 7\r\n2 5\r\n.\r\n"
                          "+OK 2 5\r\n-ERR no such message\r\n");
}

// RETR and DELE mark, QUIT deletes what is marked: as in POP3's update
// state, nothing goes before the client has signed off.
TEST_F(POP3MailboxTest, RetrAndDeleMarkAndQuitDeletesWhatIsMarked)
{
    Put("bob", "1.msg", "Subject: a\r\n\r\n.\r\n..x\r\nend");
    Put("bob", "2.msg", "Subject: b\r\n\r\nb\r\n");
    Put("bob", "3.msg", "Subject: c\r\n\r\nc\r\n");
    auto info = Mailbox->Login("bob", "pw");
    ASSERT_NE(info, nullptr);
    Log.clear();
    Mailbox->Top(*info, 1, 0, Out);
    EXPECT_EQ(Out.Take(), "+OK 25 octets\r\nSubject: a\r\n\r\n..\r\n...x\r\nend\r\n.\r\n");
    EXPECT_TRUE(Log.empty());

    Mailbox->Retr(*info, 1, Out);
    EXPECT_EQ(Out.Take(), "+OK 25 octets\r\nSubject: a\r\n\r\n..\r\n...x\r\nend\r\n.\r\n");
    EXPECT_EQ(Log, std::vector<std::string>{"User: bob retreiving mail[1]"});
    // Retrieved again in the same connection: sent again whole.
    Mailbox->Retr(*info, 1, Out);
    EXPECT_EQ(Out.Take(), "+OK 25 octets\r\nSubject: a\r\n\r\n..\r\n...x\r\nend\r\n.\r\n");
    Mailbox->Dele(*info, 2, Out);
    Mailbox->Dele(*info, 4, Out);
    EXPECT_EQ(Out.Take(), "+OK\r\n-ERR no such message\r\n");
    EXPECT_TRUE(Exists("bob", "1.msg"));
    EXPECT_TRUE(Exists("bob", "2.msg"));
    Mailbox->Stat(*info, Out);
    EXPECT_EQ(Out.Take(), "+OK 3 59\r\n");

    Mailbox->Quit(*info, Out);
    EXPECT_EQ(Out.Take(), "+OK 0L POP3 server signing off (maildrop empty)\r\n");
    EXPECT_FALSE(Exists("bob", "1.msg"));
    EXPECT_FALSE(Exists("bob", "2.msg"));
    EXPECT_TRUE(Exists("bob", "3.msg"));
}

// A connection that ends without QUIT, also in the middle of a reply,
// deletes nothing.
TEST_F(POP3MailboxTest, AConnectionLostBeforeQuitLosesNoMail)
{
    std::string body(100000, 'x');
    Put("bob", "1.msg", "Subject: big\r\n\r\n" + body + "\r\n");
    Put("bob", "2.msg", "Subject: small\r\n\r\nhi\r\n");
    {
        auto info = Mailbox->Login("bob", "pw");
        ASSERT_NE(info, nullptr);
        Mailbox->Retr(*info, 2, Out);
        Out.FailAfter = 5000;
        EXPECT_THROW(Mailbox->Retr(*info, 1, Out), std::runtime_error);
        Out.FailAfter = -1;
        Out.Take();
    }
    EXPECT_TRUE(Exists("bob", "1.msg"));
    EXPECT_TRUE(Exists("bob", "2.msg"));
    auto info = Mailbox->Login("bob", "pw");
    Mailbox->Retr(*info, 1, Out);
    EXPECT_EQ(Out.Text.size(), std::string("+OK 100018 octets\r\n").size() + 100018 + 3);
}

// A large message goes out in pieces as it is read: memory stays bounded
// whatever its size.
TEST_F(POP3MailboxTest, ALargeMessageIsSentInBoundedMemory)
{
    constexpr int kLines = 48 * 1024;
    const std::string line = "." + std::string(1021, 'x') + "\r\n";
    {
        std::ofstream file(MessageStore::UserMailDir("bob") + "/1.msg", std::ios::binary);
        for (int i = 0; i < kLines; ++i)
            file << line;
    }
    // Counts what is sent and keeps its end.
    class TCountingWriter : public TPOP3ReplyWriter {
    public:
        void WriteLn(const std::string& line) override { Write(line + "\r\n"); }
        void Write(const std::string& text) override
        {
            Bytes += static_cast<long long>(text.size());
            Tail = (Tail + text).substr((Tail + text).size() > 8 ? (Tail + text).size() - 8 : 0);
        }
        long long Bytes = 0;
        std::string Tail;
    } out;
    auto info = Mailbox->Login("bob", "pw");
    ASSERT_NE(info, nullptr);
    ResetPeakRss();
    const long before = PeakRssKb();
    Mailbox->Retr(*info, 1, out);
    const long grown = PeakRssKb() - before;
    const long long size = static_cast<long long>(line.size()) * kLines;
    const std::string okLine = "+OK " + std::to_string(size) + " octets\r\n";
    // Every line gets one more ".".
    EXPECT_EQ(out.Bytes, static_cast<long long>(okLine.size()) + size + kLines + 3);
    EXPECT_EQ(out.Tail, "xxx\r\n.\r\n");
    EXPECT_LT(grown, 16 * 1024) << "KB more at the peak";
}

// RFC 1939's exclusive lock: while one connection of a user is logged in,
// another one of the same user is refused; the lock goes at QUIT and with a
// connection that ends without it.
TEST_F(POP3MailboxTest, OneConnectionAtATimeHoldsAMaildrop)
{
    Put("bob", "1.msg", "Subject: a\r\n\r\na\r\n");
    auto first = Mailbox->Login("bob", "pw");
    ASSERT_NE(first, nullptr);
    Log.clear();
    bool inUse = false;
    EXPECT_EQ(Mailbox->Login("bob", "wrong", &inUse), nullptr);
    EXPECT_FALSE(inUse);
    EXPECT_EQ(Mailbox->Login("bob", "pw", &inUse), nullptr);
    EXPECT_TRUE(inUse);
    EXPECT_EQ(
        Log, (std::vector<std::string>{"User: bob connection failed",
                                       "User: bob refused, mailbox in use by another connection"}));
    EXPECT_NE(Mailbox->Login("admin", "Secret"), nullptr);

    Mailbox->Retr(*first, 1, Out);
    Mailbox->Quit(*first, Out);
    auto second = Mailbox->Login("bob", "pw", &inUse);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->MessageCount, 0);
    // A connection that drops gives the maildrop back with its record.
    EXPECT_EQ(Mailbox->Login("bob", "pw"), nullptr);
    second.reset();
    EXPECT_NE(Mailbox->Login("bob", "pw"), nullptr);
}

// A file removed since login (by the operator) is refused with -ERR under
// the numbers of the login's listing.
TEST_F(POP3MailboxTest, AMessageGoneSinceLoginIsRefusedAndTheNumbersStay)
{
    Put("bob", "1.msg", "Subject: a\r\n\r\na\r\n");
    Put("bob", "2.msg", "Subject: b\r\n\r\nb\r\n");
    auto info = Mailbox->Login("bob", "pw");
    fs::remove(MessageStore::UserMailDir("bob") + "/1.msg");
    Mailbox->Retr(*info, 1, Out);
    Mailbox->Top(*info, 1, 0, Out);
    EXPECT_EQ(Out.Take(), "-ERR Sorry, message no longer exists\r\n"
                          "-ERR Sorry, message no longer exists\r\n");
    Mailbox->Retr(*info, 2, Out);
    EXPECT_EQ(Out.Take(), "+OK 17 octets\r\nSubject: b\r\n\r\nb\r\n.\r\n");
    Mailbox->Quit(*info, Out);
    EXPECT_FALSE(Exists("bob", "2.msg"));
}

// The store names new mail after what the mailbox holds, so the name of a
// file removed since login comes back on the next message: that message is
// not the one listed under it, and is neither sent under the old number nor
// deleted by the old connection's QUIT.
TEST_F(POP3MailboxTest, NewMailUnderAListedNameIsNotTakenForTheListedMessage)
{
    Put("bob", "1.msg", "Subject: old\r\n\r\nold\r\n");
    auto info = Mailbox->Login("bob", "pw");
    Mailbox->Dele(*info, 1, Out);
    Out.Take();
    fs::remove(MessageStore::UserMailDir("bob") + "/1.msg");
    const std::string again = MessageStore::WriteNewMessage(MessageStore::UserMailDir("bob"),
                                                            "Subject: new mail\r\n\r\nnew\r\n");
    ASSERT_EQ(fs::path(again).filename(), "1.msg");
    Mailbox->Retr(*info, 1, Out);
    EXPECT_EQ(Out.Take(), "-ERR Sorry, message no longer exists\r\n");
    Mailbox->Quit(*info, Out);
    EXPECT_TRUE(Exists("bob", "1.msg"));
}

TEST_F(POP3MailboxTest, AMessageThatCannotBeReadIsNeitherSentNorDeleted)
{
    Put("bob", "1.msg", "Subject: x\r\n\r\nhi\r\n");
    auto info = Mailbox->Login("bob", "pw");
    ASSERT_NE(info, nullptr);
    Log.clear();
    // No file can be opened while the limit is 0, as when a busy station has
    // used up its descriptors.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit none = old;
    none.rlim_cur = 0;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    Mailbox->Retr(*info, 1, Out);
    Mailbox->Top(*info, 1, 0, Out);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
    EXPECT_EQ(Out.Take(), "-ERR Sorry, message could not be read\r\n"
                          "-ERR Sorry, message could not be read\r\n");
    EXPECT_TRUE(Log.empty());
    Mailbox->Quit(*info, Out);
    EXPECT_TRUE(Exists("bob", "1.msg"));
}

TEST_F(POP3MailboxTest, QuitLogsTheDisconnection)
{
    auto info = Mailbox->Login("admin", "Secret");
    Log.clear();
    Mailbox->Quit(*info, Out);
    EXPECT_EQ(Out.Take(), "+OK 0L POP3 server signing off (maildrop empty)\r\n");
    EXPECT_EQ(Log, std::vector<std::string>{"User: admin disconnected"});
}

} // namespace
