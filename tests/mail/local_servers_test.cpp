#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <netinet/in.h>
#include <random>
#include <streambuf>
#include <sys/socket.h>
#include <sys/stat.h>

#include "core/config.h"
#include "core/message_store.h"
#include "core/user_list.h"
#include "mail/pop3_frm.h"
#include "mail/smtp_frm.h"
#include "mail_test_helpers.h"
#include "netproto/protocols/id_pop3_server.h"
#include "netproto/protocols/id_smtp_server.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "support/scripted_dialogs.h"
#include "support/shell_command.h"

namespace fs = std::filesystem;

namespace {

class SMTPFrmTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Root.Config->Smtp.Port = FreePort();
        Smtp = std::make_unique<TSMTPFrm>(nullptr, Root.MsgStatus.get(), Root.Config.get());
        Smtp->BeforeCommandDelayMs = 1;
    }
    std::string Queue(const std::string& name) { return Root.Path("QUEUE/" + name); }

    // One mail transaction; gives the reply to the end of DATA.
    std::string Send(TLineClient& c, const std::vector<std::string>& rcpt, const std::string& data)
    {
        c.Command("HELO client");
        c.Command("MAIL FROM:<me@lan>");
        for (const auto& r : rcpt)
            EXPECT_EQ(c.Command("RCPT TO:<" + r + ">"), "251 User not local, Will forward");
        EXPECT_EQ(c.Command("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>");
        c.Send(data + ".\r\n");
        return c.ReadLine();
    }

    TMailRoot Root;
    std::unique_ptr<TSMTPFrm> Smtp;
};

TEST_F(SMTPFrmTest, CreatesItsDirectoriesAndStartsNothing)
{
    EXPECT_TRUE(fs::is_directory(Root.Path("QUEUE")));
    EXPECT_TRUE(fs::is_directory(Root.Path("TEMP/SMTP")));
    EXPECT_FALSE(Smtp->Listening());
    EXPECT_FALSE(TLineClient(Root.Config->Smtp.Port).Connected());
}

TEST_F(SMTPFrmTest, AClientSessionEndsAsAQueueFile)
{
    ASSERT_TRUE(Smtp->SetServerActive(true));
    ASSERT_TRUE(Smtp->Listening());
    TLineClient c(Root.Config->Smtp.Port);
    ASSERT_TRUE(c.Connected());
    EXPECT_EQ(c.ReadLine(), "220-Welcome to the SKIPMAIL SMTP Server");
    EXPECT_EQ(c.ReadLine(), "220 localhost");
    EXPECT_EQ(c.Command("EHLO client").substr(0, 4), "500 ");
    EXPECT_EQ(c.Command("HELO client").substr(0, 4), "250 ");
    EXPECT_EQ(c.Command("MAIL FROM:<me@lan>"), "250 me@lan Address Okay");
    for (const char* r : {"a", "b@FAR", "c@example.com"})
        EXPECT_EQ(c.Command(std::string("RCPT TO:<") + r + ">"),
                  "251 User not local, Will forward");
    EXPECT_EQ(c.Command("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>");
    c.Send("Subject: t\r\n\r\nbare\nlf\r\n..dot\r\n...two\r\n.\r\n");
    EXPECT_EQ(c.ReadLine(), "250 Ok");
    EXPECT_EQ(c.Command("QUIT").substr(0, 4), "221 ");

    EXPECT_EQ(ReadFile(Queue("1.msg")), "RCPT: c@example.com\r\nRCPT: b@FAR\r\nRCPT: a\r\n"
                                        "Subject: t\r\n\r\nbare\r\nlf\r\n.dot\r\n..two\r\n");
}

TEST_F(SMTPFrmTest, NumbersFollowTheQueueAndReportOddNames)
{
    EXPECT_EQ(Smtp->NextMessageFileName(), Queue("1.msg"));
    WriteFileAtomic(Queue("7.msg"), "x");
    WriteFileAtomic(Queue("12.msg"), "x");
    WriteFileAtomic(Queue("99.txt"), "x");
    EXPECT_EQ(Smtp->NextMessageFileName(), Queue("13.msg"));

    WriteFileAtomic(Queue("abc.msg"), "x");
    ASSERT_TRUE(Smtp->SetServerActive(true));
    TScriptedDialogs boxes;
    boxes.ExpectBox("Error converting str to int", IDOK);
    TLineClient c(Root.Config->Smtp.Port);
    c.ReadLine();
    c.ReadLine();
    EXPECT_EQ(Send(c, {"x"}, "hi\r\n"), "250 Ok");
    EXPECT_EQ(ReadFile(Queue("13.msg")), "RCPT: x\r\nhi\r\n");
    EXPECT_TRUE(PumpUntil([&] { return boxes.Remaining() == 0; }));
}

// The queue's two highest files exchanged their names in one step (`mv
// --exchange`), which misleads the numbering's index, and then another host
// (a data root on NFS) stored two more without a note: every message is
// still taken, none gets 451.
TEST_F(SMTPFrmTest, AMisledNumberingRefusesNoMessage)
{
    for (int i = 1; i <= 30; ++i)
        WriteFileAtomic(Queue(std::to_string(i) + ".msg"), "old");
    ASSERT_EQ(Smtp->NextMessageFileName(), Queue("31.msg"));
    ASSERT_EQ(ExchangeNames(Queue("29.msg"), Queue("30.msg")), 0);
    ASSERT_TRUE(Smtp->SetServerActive(true));
    TLineClient c(Root.Config->Smtp.Port);
    c.ReadLine();
    c.ReadLine();
    EXPECT_EQ(Send(c, {"x"}, "first\r\n"), "250 Ok");
    WriteFileAtomic(Queue("32.msg"), "theirs");
    WriteFileAtomic(Queue("33.msg"), "theirs");
    MessageStore::DropChangeNotesForTest();
    EXPECT_EQ(Send(c, {"x"}, "second\r\n"), "250 Ok");
    EXPECT_EQ(ReadFile(Queue("31.msg")), "RCPT: x\r\nfirst\r\n");
    EXPECT_EQ(ReadFile(Queue("34.msg")), "RCPT: x\r\nsecond\r\n");
}

TEST_F(SMTPFrmTest, AMessageThatCannotBeStoredIsNotAcknowledged)
{
    ASSERT_TRUE(Smtp->SetServerActive(true));
    fs::remove_all(Root.Path("QUEUE"));
    WriteFileAtomic(Root.Path("QUEUE"), "not a directory");
    TLineClient c(Root.Config->Smtp.Port);
    c.ReadLine();
    c.ReadLine();
    EXPECT_EQ(Send(c, {"x"}, "hi\r\n").substr(0, 4), "451 ");
}

// A client outside the station's networks reaches the local users and the
// other stations, but gets 550 for a recipient on the Internet; a client on
// loopback is served for both.
TEST_F(SMTPFrmTest, OnlyLocalClientsMaySendMailForTheInternet)
{
    Smtp->Destination = [](const std::string& address) {
        return address.find("@example.") != std::string::npos ? Routing::TDestination::Internet
                                                              : Routing::TDestination::Network;
    };
    ASSERT_TRUE(Smtp->SetServerActive(true));
    const std::string denied =
        "550 Relaying denied: mail for the Internet is taken from the local network only";
    {
        TLineClient c(Root.Config->Smtp.Port);
        c.ReadLine();
        c.ReadLine();
        EXPECT_EQ(Send(c, {"a@example.com", "bob@HOME"}, "hi\r\n"), "250 Ok");
        c.Command("QUIT");
    }
    EXPECT_EQ(ReadFile(Queue("1.msg")), "RCPT: bob@HOME\r\nRCPT: a@example.com\r\nhi\r\n");

    Smtp->ClientAddress = [](TIdCommand&) { return std::string("198.51.100.7"); };
    TLineClient c(Root.Config->Smtp.Port);
    c.ReadLine();
    c.ReadLine();
    c.Command("HELO far.away");
    c.Command("MAIL FROM:<spam@far.away>");
    EXPECT_EQ(c.Command("RCPT TO:<a@example.com>"), denied);
    EXPECT_EQ(c.Command("RCPT TO:<bob@HOME>"), "251 User not local, Will forward");
    EXPECT_EQ(c.Command("RCPT TO:<x@example.org>"), denied);
    EXPECT_EQ(c.Command("RCPT TO:<ann@FAR>"), "251 User not local, Will forward");
    EXPECT_EQ(c.Command("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>");
    c.Send("hi\r\n.\r\n");
    EXPECT_EQ(c.ReadLine(), "250 Ok");
    EXPECT_EQ(ReadFile(Queue("2.msg")),
              "RCPT: ann@FAR\r\nRCPT: bob@HOME\r\nX-Outside-Client: 198.51.100.7\r\nhi\r\n");
    // Only Internet recipients: the mail transaction has no recipient.
    c.Command("MAIL FROM:<spam@far.away>");
    EXPECT_EQ(c.Command("RCPT TO:<a@example.com>"), denied);
    EXPECT_EQ(c.Command("DATA").substr(0, 4), "503 ");
}

// Where each test recipient goes, as the router would say.
Routing::TDestination TestDestination(const std::string& address)
{
    using D = Routing::TDestination;
    if (address.find("@example.") != std::string::npos)
        return D::Internet;
    if (address.rfind("FAX2", 0) == 0)
        return D::Fax;
    if (address.rfind("nosuch", 0) == 0)
        return D::Nowhere;
    return D::Network;
}

// A client outside the station's networks reaches the local users and the
// other stations and nothing else: no Internet address, no fax, and no
// recipient the router would only return (its notice would carry the text
// to whatever sender the client named). Its message is queued with its
// address; the first refused relay of each connection is logged.
TEST_F(SMTPFrmTest, AClientFromOutsideReachesOnlyTheHfNetwork)
{
    Smtp->Destination = TestDestination;
    Smtp->ClientAddress = [](TIdCommand&) { return std::string("198.51.100.7"); };
    ASSERT_TRUE(Smtp->SetServerActive(true));
    const std::vector<std::pair<std::string, std::string>> replies = {
        {"bob@HOME", "251 User not local, Will forward"},
        {"nosuch@HOME", "550 No such user, alias or station here"},
        {"FAX2@HOME", "550 Relaying denied: faxes are taken from the local network only"},
        {"a@example.com",
         "550 Relaying denied: mail for the Internet is taken from the local network only"},
        {"ann@FAR", "251 User not local, Will forward"},
        {"FAX2@FAR", "550 Relaying denied: faxes are taken from the local network only"},
    };
    auto session = [&] {
        TLineClient c(Root.Config->Smtp.Port);
        c.ReadLine();
        c.ReadLine();
        c.Command("HELO far.away");
        EXPECT_EQ(c.Command("MAIL FROM:<victim@example.org>").substr(0, 4), "250 ");
        for (const auto& [address, reply] : replies)
            EXPECT_EQ(c.Command("RCPT TO:<" + address + ">"), reply) << address;
        EXPECT_EQ(c.Command("DATA").substr(0, 4), "354 ");
        // A first line that would read as an envelope line stays text.
        c.Send("X-Outside-Client: 127.0.0.1\r\n\r\nhi\r\n.\r\n");
        EXPECT_EQ(c.ReadLine(), "250 Ok");
        c.Command("QUIT");
    };
    session();
    const std::string queued = ReadFile(Queue("1.msg"));
    EXPECT_EQ(queued, "RCPT: ann@FAR\r\nRCPT: bob@HOME\r\nX-Outside-Client: 198.51.100.7\r\n"
                      "X-X-Outside-Client: 127.0.0.1\r\n\r\nhi\r\n");
    EXPECT_EQ(MessageStore::ReadEnvelope(queued).OutsideClient, "198.51.100.7");
    session();
    auto refusals = [&] {
        std::vector<std::string> lines;
        for (const auto& line : Root.LogLines())
            if (line.find("relaying refused") != std::string::npos)
                lines.push_back(line.substr(line.find("]  ") + 3));
        return lines;
    };
    EXPECT_TRUE(PumpUntil([&] { return refusals().size() >= 2; }));
    EXPECT_EQ(refusals(), std::vector<std::string>(
                              2, "SMTP relaying refused to client 198.51.100.7 for FAX2@HOME"));

    // A client on the station's own networks: everything, as before.
    Smtp->ClientAddress = [](TIdCommand&) { return std::string("127.0.0.1"); };
    TLineClient c(Root.Config->Smtp.Port);
    c.ReadLine();
    c.ReadLine();
    EXPECT_EQ(Send(c, {"nosuch@HOME", "FAX2@HOME", "a@example.com"}, "hi\r\n"), "250 Ok");
    EXPECT_EQ(ReadFile(Queue("3.msg")),
              "RCPT: a@example.com\r\nRCPT: FAX2@HOME\r\nRCPT: nosuch@HOME\r\nhi\r\n");
    EXPECT_EQ(refusals().size(), 2u);
}

// [MAIL] MAXMAILSIZE holds for a client outside as the router counts it
// (line ends as stored, envelope not counted): over it is refused at the end
// of DATA and nothing is queued. A local client's message is still taken and
// left to the router.
TEST_F(SMTPFrmTest, AMessageFromOutsideOverTheSizeLimitIsRefused)
{
    Root.Config->Mail.MaxMailSize = 1; // K bytes
    Smtp->Destination = TestDestination;
    std::string client = "198.51.100.7";
    Smtp->ClientAddress = [&client](TIdCommand&) { return client; };
    ASSERT_TRUE(Smtp->SetServerActive(true));
    const std::string exact = std::string(1022, 'x') + "\r\n";
    // 1024 bytes as sent; the bare LF is stored as CR LF.
    const std::string bareLf = std::string(1020, 'x') + "\ny\r\n";
    struct TCase {
        std::string Client;
        std::string Data;
        std::string Reply;
    };
    const std::vector<TCase> cases = {
        {"198.51.100.7", exact, "250 Ok"},
        {"198.51.100.7", exact + "y\r\n", "552 Message size exceeds fixed maximum message size"},
        {"198.51.100.7", bareLf, "552 Message size exceeds fixed maximum message size"},
        {"198.51.100.7", "RCPT:" + exact.substr(5),
         "552 Message size exceeds fixed maximum message size"},
        {"127.0.0.1", exact + "y\r\n", "250 Ok"},
    };
    for (const auto& c : cases) {
        client = c.Client;
        const size_t before = MessageStore::ListMessages(Root.Path("QUEUE")).size();
        TLineClient line(Root.Config->Smtp.Port);
        line.ReadLine();
        line.ReadLine();
        EXPECT_EQ(Send(line, {"bob@HOME"}, c.Data), c.Reply) << c.Data.size();
        const size_t after = MessageStore::ListMessages(Root.Path("QUEUE")).size();
        EXPECT_EQ(after - before, c.Reply == "250 Ok" ? 1u : 0u) << c.Data.size();
        // The session goes on.
        EXPECT_EQ(line.Command("NOOP").substr(0, 4), "250 ");
    }
    EXPECT_EQ(ReadFile(Queue("1.msg")),
              "RCPT: bob@HOME\r\nX-Outside-Client: 198.51.100.7\r\n" + exact);
    EXPECT_TRUE(fs::is_empty(Root.Path("TEMP/SMTP")));
}

// A message made on the fly, line by line, that no one holds whole.
class TGeneratedMessage : public std::streambuf {
public:
    explicit TGeneratedMessage(long long size) : FSize(size) {}
    // The bytes made by the last pass.
    long long Made() const { return FDone; }

protected:
    int_type underflow() override
    {
        if (FDone >= FSize)
            return traits_type::eof();
        FLine = "Line " + std::to_string(FDone) + std::string(60, 'x') + "\r\n";
        FDone += static_cast<long long>(FLine.size());
        setg(FLine.data(), FLine.data(), FLine.data() + FLine.size());
        return traits_type::to_int_type(FLine[0]);
    }
    pos_type seekoff(off_type off, std::ios_base::seekdir dir, std::ios_base::openmode) override
    {
        if (off != 0 || dir != std::ios_base::beg)
            return pos_type(off_type(-1));
        FDone = 0;
        setg(nullptr, nullptr, nullptr);
        return pos_type(0);
    }
    pos_type seekpos(pos_type pos, std::ios_base::openmode which) override
    {
        return seekoff(off_type(pos), std::ios_base::beg, which);
    }

private:
    long long FSize;
    long long FDone = 0;
    std::string FLine;
};

// A large message goes to the queue in pieces: memory stays bounded
// whatever its size.
TEST_F(SMTPFrmTest, ALargeMessageIsQueuedInBoundedMemory)
{
    constexpr long long kSize = 48LL * 1024 * 1024;
    TGeneratedMessage source(kSize);
    std::unique_ptr<std::iostream> stream = std::make_unique<std::iostream>(&source);
    TIdEMailAddressList rcpt;
    rcpt.Add().SetText("bob@HOME");
    TIdCommand command(nullptr, nullptr, "DATA", "");
    std::string error;
    Smtp->ClientAddress = [](TIdCommand&) { return std::string("127.0.0.1"); };
    ResetPeakRss();
    const long before = PeakRssKb();
    Smtp->SMTPReceiveRaw(command, stream, rcpt, error);
    const long grown = PeakRssKb() - before;
    stream.reset();
    EXPECT_TRUE(error.empty()) << error;
    const auto files = MessageStore::ListMessages(Root.Path("QUEUE"));
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].Size, static_cast<std::uint64_t>(source.Made()) + 16);
    EXPECT_LT(grown, 16 * 1024) << "KB more at the peak";
}

// A message too large for memory is spooled in the station's own TEMP/SMTP,
// open to the user alone; a spool file left by a station that was killed
// goes at the next start.
TEST_F(SMTPFrmTest, ALargeMessageIsSpooledPrivatelyInTheStationsTemp)
{
    const std::string spool = Root.Path("TEMP/SMTP");
    WriteFileAtomic(spool + "/Stn1A2B.TMP", "left by a killed station");
    ASSERT_EQ(::chmod(spool.c_str(), 0755), 0);
    Smtp.reset();
    Smtp = std::make_unique<TSMTPFrm>(nullptr, Root.MsgStatus.get(), Root.Config.get());
    Smtp->BeforeCommandDelayMs = 1;
    EXPECT_TRUE(fs::is_empty(spool));
    EXPECT_EQ(fs::status(spool).permissions() & fs::perms::all, fs::perms::owner_all);

    ASSERT_TRUE(Smtp->SetServerActive(true));
    TLineClient c(Root.Config->Smtp.Port);
    c.ReadLine();
    c.ReadLine();
    c.Command("HELO client");
    c.Command("MAIL FROM:<me@lan>");
    c.Command("RCPT TO:<bob>");
    ASSERT_EQ(c.Command("DATA").substr(0, 4), "354 ");
    const std::string line = std::string(998, 'x') + "\r\n";
    for (int i = 0; i < 2 * 1024; ++i)
        c.Send(line);
    ASSERT_TRUE(PumpUntil([&] { return !fs::is_empty(spool); }, 20000));
    for (const auto& file : fs::directory_iterator(spool))
        EXPECT_EQ(file.status().permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
    // A client that breaks off leaves nothing behind.
    c.Abort();
    EXPECT_TRUE(PumpUntil([&] { return fs::is_empty(spool); }, 20000));
}

TEST_F(SMTPFrmTest, StartAgainMovesToTheNewPortAndABusyPortRaises)
{
    const int first = Root.Config->Smtp.Port;
    ASSERT_TRUE(Smtp->SetServerActive(true));
    {
        // A finished session leaves the port in TIME_WAIT; restarting binds it.
        TLineClient c(first);
        c.ReadLine();
        c.ReadLine();
        c.Command("QUIT");
    }
    ASSERT_TRUE(Smtp->SetServerActive(true));
    EXPECT_TRUE(TLineClient(first).Connected());

    const int second = FreePort();
    Root.Config->Smtp.Port = second;
    ASSERT_TRUE(Smtp->SetServerActive(true));
    EXPECT_FALSE(TLineClient(first).Connected());
    EXPECT_TRUE(TLineClient(second).Connected());

    TPortHolder busy;
    Root.Config->Smtp.Port = busy.Port();
    EXPECT_ANY_THROW(Smtp->SetServerActive(true));
    EXPECT_FALSE(Smtp->Listening());
    EXPECT_FALSE(TLineClient(second).Connected());
    EXPECT_TRUE(Smtp->SetServerActive(false));
    EXPECT_EQ(Smtp->Server(), nullptr);
}

class POP3FrmTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Root.Users->Add(TUser{"admin", "Secret", ""});
        Root.Users->Add(TUser{"bob", "pw", ""});
        Root.Config->Pop3.Port = FreePort();
        Pop3 = std::make_unique<TPOP3Frm>(nullptr, Root.MsgStatus.get(), Root.Config.get(),
                                          Root.Users.get());
        Pop3->BeforeCommandDelayMs = 1;
        ASSERT_TRUE(Pop3->SetServerActive(true));
    }
    void Put(const std::string& user, const std::string& name, const std::string& text)
    {
        WriteFileAtomic(MessageStore::UserMailDir(user) + "/" + name, text);
    }
    bool Exists(const std::string& user, const std::string& name)
    {
        return fs::exists(MessageStore::UserMailDir(user) + "/" + name);
    }
    // `window` above 0: the client's receive buffer, as a slow or stalled
    // reader's.
    std::unique_ptr<TLineClient> Login(const std::string& user, const std::string& pass,
                                       int window = 0)
    {
        auto c = std::make_unique<TLineClient>(Root.Config->Pop3.Port, window);
        EXPECT_EQ(c->ReadLine(), "+OK POP3 Server Ready");
        EXPECT_EQ(c->Command("USER " + user), "+OK Password required");
        EXPECT_EQ(c->Command("PASS " + pass), "+OK Login OK");
        return c;
    }
    // Shortened from 10 minutes while nothing listens, so no connection
    // thread reads it as it changes.
    void ShortenTimeOut(int ms)
    {
        TIdPOP3Server* server = Pop3->Server();
        server->SetActive(false);
        server->ReadTimeout = ms;
        server->SetActive(true);
    }
    // A mailbox message of `size` bytes or a little more, in lines of 1000.
    std::string PutLarge(size_t size)
    {
        std::string big = "Subject: big\r\n\r\n";
        while (big.size() < size)
            big += std::string(998, 'x') + "\r\n";
        Put("bob", "1.msg", big);
        return big;
    }

    TMailRoot Root;
    std::unique_ptr<TPOP3Frm> Pop3;
};

TEST_F(POP3FrmTest, WrongLoginsAreRefusedAndLogged)
{
    TLineClient c(Root.Config->Pop3.Port);
    EXPECT_EQ(c.ReadLine(), "+OK POP3 Server Ready");
    EXPECT_EQ(c.Command("STAT"), "-ERR Please login first");
    c.Command("USER Admin");
    EXPECT_EQ(c.Command("PASS Secret"), "-ERR Login failed");
    c.Command("USER admin");
    EXPECT_EQ(c.Command("PASS secret"), "-ERR Login failed");
    EXPECT_EQ(c.Command("RETR 1"), "-ERR Please login first");
    // The client may try again on the same connection.
    EXPECT_EQ(c.Command("PASS Secret"), "+OK Login OK");
    // One reply, then the end of the connection.
    EXPECT_EQ(c.Command("QUIT"), "+OK 0L POP3 server signing off (maildrop empty)");
    EXPECT_EQ(c.ReadLine(), "<closed>");

    auto log = Root.LogLines();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_NE(log[0].find("]  User: Admin connection failed"), std::string::npos) << log[0];
    EXPECT_NE(log[1].find("]  User: admin connection failed"), std::string::npos);
    EXPECT_NE(log[2].find("]  User: admin connected"), std::string::npos);
    EXPECT_NE(log[3].find("]  User: admin disconnected"), std::string::npos);
    EXPECT_FALSE(Root.Users->Get(0).LastConnection.empty());
}

TEST_F(POP3FrmTest, ASessionListsRetrievesAndDeletes)
{
    Put("bob", "3.msg", "Subject: one\r\n\r\n.\r\nend");
    Put("bob", "5.msg", "Subject: two\r\n\r\nx\r\n");
    auto c = Login("bob", "pw");
    EXPECT_EQ(c->Command("STAT"), "+OK 2 41");
    EXPECT_EQ(c->Command("LIST"), "+OK 2 messages (41 octets)");
    EXPECT_EQ(c->ReadUntilDot(), (std::vector<std::string>{"1 22", "2 19"}));
    EXPECT_EQ(c->Command("LIST 2"), "+OK 2 19");
    EXPECT_EQ(c->Command("LIST 3"), "-ERR no such message");
    EXPECT_EQ(c->Command("UIDL 1").substr(0, 5), "-ERR ");
    EXPECT_EQ(c->Command("TOP 1 0"), "+OK 22 octets");
    EXPECT_EQ(c->ReadUntilDot(), (std::vector<std::string>{"Subject: one", "", "..", "end"}));
    EXPECT_EQ(c->Command("RETR 1"), "+OK 22 octets");
    EXPECT_EQ(c->ReadUntilDot(), (std::vector<std::string>{"Subject: one", "", "..", "end"}));
    EXPECT_EQ(c->Command("RETR 9"), "-ERR Sorry, Invalid message");
    EXPECT_EQ(c->Command("STAT"), "+OK 2 41");
    EXPECT_TRUE(Exists("bob", "3.msg"));
    EXPECT_EQ(c->Command("QUIT"), "+OK 0L POP3 server signing off (maildrop empty)");
    EXPECT_TRUE(PumpUntil([&] { return !Exists("bob", "3.msg"); }));

    auto again = Login("bob", "pw");
    EXPECT_EQ(again->Command("STAT"), "+OK 1 19");
    EXPECT_EQ(again->Command("DELE 1"), "+OK");
    EXPECT_EQ(again->Command("QUIT"), "+OK 0L POP3 server signing off (maildrop empty)");
    EXPECT_TRUE(PumpUntil([&] { return !Exists("bob", "5.msg"); }));
    auto log = Root.LogLines();
    EXPECT_NE(log.at(1).find("User: bob retreiving mail[1]"), std::string::npos);
}

// A pipelining client sends its commands at once and reads a reply for each:
// every command gets exactly one status line, QUIT with or without a login.
TEST_F(POP3FrmTest, EachCommandOfAPipelinedSessionGetsOneReply)
{
    Put("bob", "1.msg", "Subject: one\r\n\r\nbody\r\n");
    const auto session = [&](const std::string& commands) {
        TLineClient c(Root.Config->Pop3.Port);
        c.Send(commands);
        std::vector<std::string> lines;
        for (std::string line = c.ReadLine(); line != "<closed>" && line != "<timeout>";
             line = c.ReadLine())
            lines.push_back(line);
        return lines;
    };
    EXPECT_EQ(
        session("USER bob\r\nPASS pw\r\nSTAT\r\nQUIT\r\n"),
        (std::vector<std::string>{"+OK POP3 Server Ready", "+OK Password required", "+OK Login OK",
                                  "+OK 1 22", "+OK 0L POP3 server signing off (maildrop empty)"}));
    EXPECT_EQ(session("USER bob\r\nQUIT\r\n"),
              (std::vector<std::string>{"+OK POP3 Server Ready", "+OK Password required",
                                        "+OK Closing communication channel"}));
}

TEST_F(POP3FrmTest, AConnectionLostDuringRetrLosesNoMail)
{
    PutLarge(32 * 1024 * 1024);
    auto c = Login("bob", "pw");
    c->SendLine("RETR 1");
    EXPECT_EQ(c->ReadLine().substr(0, 4), "+OK ");
    c->Abort();
    EXPECT_TRUE(PumpUntil([&] { return Pop3->Server()->ThreadCount() == 0; }, 20000));
    EXPECT_TRUE(Exists("bob", "1.msg"));
}

// A client that asks for a large message and then reads nothing holds its
// mailbox only for the server's time-out, however much of the message its
// kernel still takes now and then: the connection ends as a dropped one,
// the message stays, and the user logs in again.
TEST_F(POP3FrmTest, AClientThatStopsReadingDuringRetrLosesTheMailboxAfterTheTimeOut)
{
    const std::string big = PutLarge(32 * 1024 * 1024);
    constexpr int kTimeoutMs = 3000;
    ShortenTimeOut(kTimeoutMs);
    auto stalled = Login("bob", "pw", 4096);
    stalled->SendLine("RETR 1");
    const auto lastRead = std::chrono::steady_clock::now();

    TIdPOP3Server* server = Pop3->Server();
    ASSERT_TRUE(PumpUntil([&] { return server->ThreadCount() == 0; }, 120000));
    // The buffers between the two ends fill at once, so the time-out counts
    // from the RETR; a connection that outlives it by another time-out gave
    // a send that took a few bytes a time-out of its own.
    EXPECT_LT(std::chrono::steady_clock::now() - lastRead,
              std::chrono::milliseconds(kTimeoutMs + 2000));
    auto again = Login("bob", "pw");
    EXPECT_EQ(again->Command("STAT"), "+OK 1 " + std::to_string(big.size()));
    EXPECT_TRUE(Exists("bob", "1.msg"));
}

// What a client at its reading pace still has to take of a RETR: the reply
// line, the message and the end line.
std::string RetrReply(const std::string& message)
{
    return "+OK " + std::to_string(message.size()) + " octets\r\n" + message + ".\r\n";
}

// A client that reads slowly but steadily is not idle, however long a
// piece of the message waits in the station's send buffer, which the
// system grows to megabytes: after four time-outs of slow reading it is
// still served, gets the whole message, and its QUIT deletes it.
TEST_F(POP3FrmTest, AClientThatReadsSlowlyButSteadilyIsServedPastTheTimeOut)
{
    const std::string big = PutLarge(8 * 1024 * 1024);
    constexpr int kTimeoutMs = 1000;
    ShortenTimeOut(kTimeoutMs);
    auto slow = Login("bob", "pw", 16 * 1024);
    slow->SendLine("RETR 1");
    const auto retr = std::chrono::steady_clock::now();
    std::string got;
    // About 400 KB a second, then as fast as it can.
    EXPECT_TRUE(slow->ReadSlowly(got, 8 * 1024, 20, [&] {
        return std::chrono::steady_clock::now() - retr > std::chrono::milliseconds(4 * kTimeoutMs);
    }));
    ASSERT_TRUE(slow->ReadSlowly(got, 64 * 1024, 0, [&] { return got.ends_with("\r\n.\r\n"); }));
    EXPECT_TRUE(got == RetrReply(big)) << got.size() << " bytes";
    EXPECT_EQ(slow->Command("QUIT"), "+OK 0L POP3 server signing off (maildrop empty)");
    EXPECT_TRUE(PumpUntil([&] { return !Exists("bob", "1.msg"); }));
}

// The idle time-out counts from when the reply has left: a client that
// takes far longer than the time-out to read a message the station had
// handed to its system at once has its QUIT answered, and the message goes.
TEST_F(POP3FrmTest, ASlowReaderOfAWholeMessageHasItsQuitAnswered)
{
    const std::string big = PutLarge(1536 * 1024);
    constexpr int kTimeoutMs = 1000;
    ShortenTimeOut(kTimeoutMs);
    auto slow = Login("bob", "pw", 16 * 1024);
    slow->SendLine("RETR 1");
    std::string got;
    // About 400 KB a second: nearly four time-outs.
    ASSERT_TRUE(slow->ReadSlowly(got, 8 * 1024, 20, [&] { return got.ends_with("\r\n.\r\n"); }));
    EXPECT_TRUE(got == RetrReply(big)) << got.size() << " bytes";
    EXPECT_EQ(slow->Command("QUIT"), "+OK 0L POP3 server signing off (maildrop empty)");
    EXPECT_TRUE(PumpUntil([&] { return !Exists("bob", "1.msg"); }));
}

// A second connection of a user is refused while the first lasts, and
// logs in once the first has signed off or dropped.
TEST_F(POP3FrmTest, ASecondSessionOfAUserWaitsForTheFirst)
{
    Put("bob", "1.msg", "Subject: one\r\n\r\nx\r\n");
    const std::string inUse = "-ERR Mailbox in use by another connection, try again later";
    auto first = Login("bob", "pw");
    TLineClient second(Root.Config->Pop3.Port);
    second.ReadLine();
    second.Command("USER bob");
    EXPECT_EQ(second.Command("PASS pw"), inUse);
    EXPECT_EQ(second.Command("STAT"), "-ERR Please login first");
    EXPECT_EQ(first->Command("RETR 1"), "+OK 19 octets");
    first->ReadUntilDot();
    EXPECT_EQ(first->Command("QUIT"), "+OK 0L POP3 server signing off (maildrop empty)");
    EXPECT_EQ(second.Command("PASS pw"), "+OK Login OK");
    EXPECT_EQ(second.Command("STAT"), "+OK 0 0");

    TLineClient third(Root.Config->Pop3.Port);
    third.ReadLine();
    third.Command("USER bob");
    EXPECT_EQ(third.Command("PASS pw"), inUse);
    second.Abort();
    EXPECT_TRUE(PumpUntil([&] { return third.Command("PASS pw") == "+OK Login OK"; }, 20000));
}

// What poplib retrieves is the stored message line for line, also where a
// line end, a leading "." or a long line meets the end of a piece read from
// the file.
TEST_F(POP3FrmTest, PoplibRetrievesTheStoredLinesExactly)
{
    std::mt19937 random(28);
    std::string stored;
    const char* const ends[] = {"\r\n", "\n", "\r"};
    int edges = 0;
    while (stored.size() < 600 * 1024) {
        std::string line(random() % 3 == 0 ? 0 : random() % 300, 'a');
        for (char& c : line)
            c = "..ab\xe9 "[random() % 6];
        if (random() % 50 == 0)
            line += std::string(70000, 'L');
        const size_t piece = 64 * 1024;
        const size_t toEdge = piece - stored.size() % piece;
        if (line.size() + 2 >= toEdge && toEdge >= 2) {
            // At the edge of a piece read from the file: a CR LF split by it,
            // a line ending on it before a "." line, or a line across it.
            switch (edges++ % 3) {
            case 0:
                stored += line.substr(0, toEdge - 1) + "\r\n";
                continue;
            case 1:
                stored += line.substr(0, toEdge - 2) + "\r\n.\r\n";
                continue;
            }
        }
        stored += line + ends[random() % 3];
    }
    stored += ".last line without an end";
    Put("bob", "1.msg", stored);
    const std::string command = std::string("python3 ") + std::getenv("SKIPMAIL_SOURCE_DIR") +
                                "/tests/mail/pop3_retr_check.py " +
                                std::to_string(Root.Config->Pop3.Port) + " bob pw " +
                                MessageStore::UserMailDir("bob") + "/1.msg";
    auto result = std::async(std::launch::async, RunShellCommand, command);
    ASSERT_TRUE(PumpUntil(
        [&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
    const TShellResult r = result.get();
    EXPECT_EQ(r.Status, 0) << r.Output;
    EXPECT_NE(r.Output.find("retrieved whole"), std::string::npos) << r.Output;
}

TEST_F(POP3FrmTest, SetPortRestartsOnlyAListeningServer)
{
    const int second = FreePort();
    Pop3->SetPort(second);
    EXPECT_EQ(Root.Config->Pop3.Port, second);
    EXPECT_TRUE(Pop3->Listening());
    EXPECT_TRUE(TLineClient(second).Connected());
    Pop3->SetServerActive(false);
    const int third = FreePort();
    Pop3->SetPort(third);
    EXPECT_EQ(Root.Config->Pop3.Port, third);
    EXPECT_FALSE(Pop3->Listening());
    EXPECT_FALSE(TLineClient(third).Connected());
}

} // namespace
