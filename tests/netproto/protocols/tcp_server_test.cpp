#include "netproto/protocols/id_tcp_server.h"
#include "server_test_helpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <system_error>
#include <thread>

using servertest::RawClient;
using servertest::StartOnLoopback;

namespace {

// A server with a small command table of its own.
class TableServer : public TIdTCPServer {
public:
    TableServer()
    {
        Greeting.SetReply(200, "hello");
        ReplyUnknownCommand.SetReply(500, "Syntax Error");
    }
    // The peer threads call this class's overrides: they end first.
    ~TableServer() override { StopAndWait(); }
    std::function<void(TIdCommandHandlers&)> Build;

protected:
    void InitializeCommandHandlers() override
    {
        if (Build)
            Build(CommandHandlers());
    }
};

TIdCommandHandler& AddHandler(TIdCommandHandlers& table, const char* word,
                              TIdCommandEvent fn = nullptr)
{
    TIdCommandHandler& h = table.Add();
    h.Command = word;
    h.OnCommand = std::move(fn);
    return h;
}

} // namespace

TEST(TcpServerTest, MatchesCommandWordsWithoutRegardToCase)
{
    std::string seen;
    TableServer server;
    server.Build = [&](TIdCommandHandlers& t) {
        AddHandler(t, "HELO", [&](TIdCommand& c) {
            seen = "[" + c.UnparsedParams() + "]";
            c.Connection().WriteLn("250 " + c.UnparsedParams());
            c.PerformReply = false;
        });
    };
    RawClient c(StartOnLoopback(server));
    EXPECT_EQ(c.Line(), "200 hello\r\n");
    EXPECT_EQ(c.Cmd("HELO"), "250 \r\n");
    EXPECT_EQ(seen, "[]");
    EXPECT_EQ(c.Cmd("helo x"), "250 x\r\n");
    EXPECT_EQ(seen, "[x]");
    EXPECT_EQ(c.Cmd("HELOX"), "500 Syntax Error\r\n");
    // An empty line is ignored: the next reply is the NOOP's.
    c.Send("\r\n\r\n");
    EXPECT_EQ(c.Cmd("nonsense"), "500 Syntax Error\r\n");
}

TEST(TcpServerTest, FirstEnabledHandlerRunsAndTableReplyFollows)
{
    TableServer server;
    server.Build = [&](TIdCommandHandlers& t) {
        AddHandler(t, "A", [](TIdCommand& c) { c.Connection().WriteLn("own"); }).Enabled = false;
        TIdCommandHandler& second =
            AddHandler(t, "A", [](TIdCommand& c) { c.Connection().WriteLn("own line"); });
        second.ReplyNormal.SetReply(250, "table");
        AddHandler(t, "A", [](TIdCommand& c) { c.Connection().WriteLn("third"); });
        TIdCommandHandler& quiet = AddHandler(t, "Q", [](TIdCommand& c) {
            c.Connection().WriteLn("only");
            c.PerformReply = false;
        });
        quiet.ReplyNormal.SetReply(250, "never");
        TIdCommandHandler& list = AddHandler(t, "L");
        list.ReplyNormal.SetReply(250, "list follows");
        list.Response = {"one", ".", ".x"};
        TIdCommandHandler& p = AddHandler(t, "P", [](TIdCommand& c) {
            std::string all;
            for (auto& s : c.Params)
                all += "<" + s + ">";
            c.Connection().WriteLn(all);
        });
        p.ParamDelimiter = ',';
        AddHandler(t, "S", [](TIdCommand& c) {
            std::string all;
            for (auto& s : c.Params)
                all += "<" + s + ">";
            c.Connection().WriteLn(all);
        });
    };
    RawClient c(StartOnLoopback(server));
    c.Line();
    c.Send("A\r\n");
    EXPECT_EQ(c.Line(), "own line\r\n");
    EXPECT_EQ(c.Line(), "250 table\r\n");
    EXPECT_EQ(c.Cmd("Q"), "only\r\n");
    c.Send("L\r\n");
    EXPECT_EQ(c.Line(), "250 list follows\r\n");
    EXPECT_EQ(c.Line(), "one\r\n");
    EXPECT_EQ(c.Line(), "..\r\n");
    EXPECT_EQ(c.Line(), "..x\r\n");
    EXPECT_EQ(c.Line(), ".\r\n");
    EXPECT_EQ(c.Cmd("P  a , b,,c "), "<a><b><c>\r\n");
    EXPECT_EQ(c.Cmd("S  a  b "), "<a><b>\r\n");
}

TEST(TcpServerTest, ExceptionCodeRepliesAndUnhandledExceptionEndsTheConnection)
{
    std::atomic<int> exceptions{0};
    TableServer server;
    server.OnException = [&](TIdPeerThread*, const std::exception&) { ++exceptions; };
    server.Build = [&](TIdCommandHandlers& t) {
        AddHandler(t, "BOOM", [](TIdCommand&) {
            throw EIdException("it broke");
        }).ReplyExceptionCode = 451;
        AddHandler(t, "BANG", [](TIdCommand&) { throw EIdException("no code"); });
    };
    RawClient c(StartOnLoopback(server));
    c.Line();
    EXPECT_EQ(c.Cmd("BOOM"), "451 it broke\r\n");
    c.Send("BANG\r\n");
    EXPECT_TRUE(c.ClosedWithin(3000));
    EXPECT_EQ(exceptions.load(), 1);
}

TEST(TcpServerTest, NoTableAndNoExecuteHandlerEndsTheConnection)
{
    std::atomic<int> noExecute{0};
    TIdTCPServer server;
    server.OnException = [&](TIdPeerThread*, const std::exception& e) {
        if (std::string(e.what()) == "No execute handler found.")
            ++noExecute;
    };
    RawClient c(StartOnLoopback(server));
    EXPECT_TRUE(c.ClosedWithin(3000));
    EXPECT_EQ(noExecute.load(), 1);
}

TEST(TcpServerTest, OnExecuteRunsTheWholeConnection)
{
    TIdTCPServer server;
    server.OnExecute = [](TIdPeerThread* t) {
        std::string line = t->Connection()->ReadLn();
        t->Connection()->WriteLn("echo " + line);
    };
    RawClient c(StartOnLoopback(server));
    EXPECT_EQ(c.Cmd("abc"), "echo abc\r\n");
    EXPECT_EQ(c.Cmd("def"), "echo def\r\n");
}

TEST(TcpServerTest, DisconnectHandlerWritesItsReplyFirst)
{
    std::atomic<int> disconnects{0};
    TableServer server;
    server.OnDisconnect = [&](TIdPeerThread*) { ++disconnects; };
    server.Build = [&](TIdCommandHandlers& t) {
        TIdCommandHandler& q = AddHandler(t, "QUIT");
        q.ReplyNormal.SetReply(221, "bye");
        q.Disconnect = true;
    };
    RawClient c(StartOnLoopback(server));
    c.Line();
    EXPECT_EQ(c.Cmd("quit"), "221 bye\r\n");
    EXPECT_TRUE(c.ClosedWithin(3000));
    for (int i = 0; i < 100 && server.ThreadCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(server.ThreadCount(), 0);
    EXPECT_EQ(disconnects.load(), 1);
}

TEST(TcpServerTest, MaxConnectionsRefusesTheNextClientOnly)
{
    TableServer server;
    server.MaxConnections = 1;
    server.MaxConnectionReply.SetReply(421, "busy");
    server.Build = [&](TIdCommandHandlers& t) {
        AddHandler(t, "NOOP").ReplyNormal.SetReply(250, "Ok");
    };
    const int port = StartOnLoopback(server);
    RawClient first(port);
    EXPECT_EQ(first.Line(), "200 hello\r\n");
    RawClient second(port);
    EXPECT_EQ(second.Line(), "421 busy\r\n");
    EXPECT_TRUE(second.ClosedWithin(3000));
    EXPECT_EQ(first.Cmd("NOOP"), "250 Ok\r\n");
    first.Close();
    for (int i = 0; i < 200 && server.ThreadCount() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    RawClient third(port);
    EXPECT_EQ(third.Line(), "200 hello\r\n");
}

// Listeners make the next clients' threads ahead; a stop ends those too,
// also when the thread manager is the caller's and outlives the server.
TEST(TcpServerTest, StoppingEndsEveryThreadTheServerMade)
{
    const int before = TIdThread::ThreadCount();
    TIdThreadMgrDefault manager;
    {
        TableServer server;
        server.SetThreadMgr(&manager);
        server.Build = [&](TIdCommandHandlers& t) {
            AddHandler(t, "NOOP").ReplyNormal.SetReply(250, "Ok");
        };
        const int port = StartOnLoopback(server);
        for (int i = 0; i < 3; ++i) {
            RawClient c(port);
            EXPECT_EQ(c.Line(), "200 hello\r\n");
            EXPECT_EQ(c.Cmd("NOOP"), "250 Ok\r\n");
        }
        server.SetActive(false);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (TIdThread::ThreadCount() != before && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(TIdThread::ThreadCount(), before);
        EXPECT_EQ(manager.ActiveThreads.Count(), 0);
    }
}

// A connection thread that the system cannot make: that client is closed,
// the next one is served, and nothing is left to count against the cap or
// to wait for.
TEST(TcpServerTest, AConnectionThreadThatCannotBeMadeRefusesThatClientOnly)
{
    TableServer server;
    server.MaxConnections = 1;
    server.MaxConnectionReply.SetReply(421, "busy");
    std::atomic<int> listenErrors{0};
    server.OnListenException = [&](TIdListenerThread*, const std::exception&) { ++listenErrors; };
    server.Build = [&](TIdCommandHandlers& t) {
        AddHandler(t, "NOOP").ReplyNormal.SetReply(250, "Ok");
    };
    const int port = StartOnLoopback(server);
    FailNextSystemThreads(1);
    RawClient refused(port);
    EXPECT_TRUE(refused.ClosedWithin(3000));
    for (int i = 0; i < 200 && listenErrors == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(listenErrors.load(), 1);
    EXPECT_EQ(server.ThreadCount(), 0);
    RawClient next(port);
    EXPECT_EQ(next.Line(), "200 hello\r\n");
    EXPECT_EQ(next.Cmd("NOOP"), "250 Ok\r\n");
    const auto t0 = std::chrono::steady_clock::now();
    server.SetActive(false);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_EQ(server.ThreadCount(), 0);
}

// A listener that the system cannot make: activation raises, nothing stays
// half started, and a later activation listens.
TEST(TcpServerTest, AListenerThatCannotBeMadeFailsTheActivation)
{
    TableServer server;
    TIdSocketHandle& b = server.Bindings().Add();
    b.IP = "127.0.0.1";
    b.Port = 0;
    FailNextSystemThreads(1);
    EXPECT_THROW(server.SetActive(true), std::system_error);
    EXPECT_FALSE(server.Active());
    b.Port = 0;
    server.SetActive(true);
    RawClient c(server.Bindings().Items(0).Port);
    EXPECT_EQ(c.Line(), "200 hello\r\n");
}

TEST(TcpServerTest, DeactivationEndsConnectedClientsAndCanRestart)
{
    TableServer server;
    server.Build = [&](TIdCommandHandlers& t) {
        AddHandler(t, "NOOP").ReplyNormal.SetReply(250, "Ok");
    };
    const int port = StartOnLoopback(server);
    RawClient a(port);
    RawClient b(port);
    EXPECT_EQ(a.Line(), "200 hello\r\n");
    EXPECT_EQ(b.Line(), "200 hello\r\n");
    auto t0 = std::chrono::steady_clock::now();
    server.SetActive(false);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    EXPECT_FALSE(server.Active());
    EXPECT_TRUE(a.ClosedWithin(2000));
    EXPECT_TRUE(b.ClosedWithin(2000));
    EXPECT_EQ(server.ThreadCount(), 0);
    server.Bindings().Items(0).Port = port;
    server.SetActive(true);
    RawClient c(port);
    EXPECT_EQ(c.Line(), "200 hello\r\n");
    EXPECT_EQ(c.Cmd("NOOP"), "250 Ok\r\n");
}

TEST(TcpServerTest, StopTimesOutOnAStuckHandlerAndTheDestructorStillWaits)
{
    std::atomic<bool> finished{false};
    {
        TableServer server;
        server.TerminateWaitTime = 300;
        server.Build = [&](TIdCommandHandlers& t) {
            AddHandler(t, "SLOW", [&](TIdCommand& c) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1200));
                finished = true;
                c.Connection().WriteLn("late");
            });
        };
        RawClient c(StartOnLoopback(server));
        c.Line();
        c.Send("SLOW\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        try {
            server.SetActive(false);
            ADD_FAILURE() << "no time-out";
        } catch (const EIdTerminateThreadTimeout& e) {
            EXPECT_STREQ(e.what(), "Terminate Thread Timeout");
        }
        EXPECT_TRUE(server.Active());
        // The destructor must wait for the handler instead of freeing the
        // server under it.
    }
    EXPECT_TRUE(finished.load());
}

TEST(TcpServerTest, IdleAndSlowDripClientsAreTimedOut)
{
    TableServer server;
    server.ReadTimeout = 400;
    server.ReplyReadTimeout.SetReply(421, "idle");
    server.Build = [&](TIdCommandHandlers& t) {
        AddHandler(t, "NOOP").ReplyNormal.SetReply(250, "Ok");
    };
    const int port = StartOnLoopback(server);

    RawClient idle(port);
    idle.Line();
    EXPECT_EQ(idle.Cmd("NOOP"), "250 Ok\r\n");
    EXPECT_EQ(idle.Line(3000), "421 idle\r\n");
    EXPECT_TRUE(idle.ClosedWithin(1000));

    // One byte every 50 ms never completes a line: the line's whole time is
    // bounded, not the gap between bytes.
    RawClient drip(port);
    drip.Line();
    auto t0 = std::chrono::steady_clock::now();
    bool closed = false;
    for (int i = 0; i < 100 && !closed; ++i) {
        drip.Send("N");
        closed = drip.ClosedWithin(50);
    }
    EXPECT_TRUE(closed);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000));
}

TEST(TcpServerTest, AClientThatStopsReadingIsDroppedAfterTheTimeOut)
{
    TableServer server;
    server.ReadTimeout = 300;
    std::atomic<bool> sendFailed{false};
    server.OnException = [&](TIdPeerThread*, const std::exception& e) {
        if (auto* s = dynamic_cast<const EIdSocketError*>(&e))
            sendFailed = s->LastError() == 10060;
    };
    server.Build = [&](TIdCommandHandlers& t) {
        AddHandler(t, "BIG", [](TIdCommand& c) {
            const std::string chunk(65536, 'b');
            for (int i = 0; i < 1024; ++i)
                c.Connection().Write(chunk);
        });
    };
    const int port = StartOnLoopback(server);
    RawClient c(port);
    c.Line();
    c.Send("BIG\r\n");
    // 64 MB fill every buffer between the two ends; the client reads none.
    auto t0 = std::chrono::steady_clock::now();
    while (server.ThreadCount() > 0 &&
           std::chrono::steady_clock::now() - t0 < std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(server.ThreadCount(), 0);
    EXPECT_TRUE(sendFailed.load());
    EXPECT_TRUE(c.ClosedWithin(5000));
}

TEST(TcpServerTest, OverlongAndGarbageLinesKeepTheSessionUsable)
{
    TableServer server;
    server.ReplyLineTooLong.SetReply(500, "Line too long");
    server.Build = [&](TIdCommandHandlers& t) {
        AddHandler(t, "NOOP").ReplyNormal.SetReply(250, "Ok");
    };
    RawClient c(StartOnLoopback(server));
    c.Line();
    // Exactly the limit is accepted; one more is refused; a line far beyond
    // it, sent in several sends, is refused once and dropped to its end.
    EXPECT_EQ(c.Cmd(std::string(16384, 'x')), "500 Syntax Error\r\n");
    EXPECT_EQ(c.Cmd(std::string(16385, 'x')), "500 Line too long\r\n");
    c.Send(std::string(40000, 'y'));
    c.Send(std::string(40000, 'y') + "\r\n");
    EXPECT_EQ(c.Line(), "500 Line too long\r\n");
    EXPECT_EQ(c.Cmd("NOOP"), "250 Ok\r\n");
    std::string garbage;
    for (int i = 1; i < 256; ++i)
        if (i != '\n')
            garbage += static_cast<char>(i);
    EXPECT_EQ(c.Cmd(garbage), "500 Syntax Error\r\n");
    c.Send(std::string("NO\0OP\r\n", 7));
    EXPECT_EQ(c.Line(), "500 Syntax Error\r\n");
    EXPECT_EQ(c.Cmd("NOOP"), "250 Ok\r\n");
}

TEST(TcpServerTest, AcceptBacksOffWhenOutOfDescriptors)
{
    std::atomic<int> failures{0};
    TableServer server;
    server.OnListenException = [&](TIdListenerThread*, const std::exception&) { ++failures; };
    const int port = StartOnLoopback(server);

    // The client socket exists before the limit drops, so only the server's
    // accept runs out of descriptors.
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    int highest = ::dup(0);
    ::close(highest);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(highest);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    ::setrlimit(RLIMIT_NOFILE, &saved);
    const int seen = failures.load();
    EXPECT_GE(seen, 1);
    EXPECT_LE(seen, 20); // a spinning accept loop fails thousands of times
    // Once descriptors are free again the waiting client is served.
    char buf[64] = {};
    timeval tv{3, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ssize_t n = ::recv(fd, buf, sizeof buf - 1, 0);
    EXPECT_GT(n, 0);
    EXPECT_STREQ(buf, "200 hello\r\n");
    ::close(fd);
}

TEST(TcpServerTest, FormatFillsTheFirstPlaceholder)
{
    EXPECT_EQ(IdFormat("%s Address Okay", "a@b"), "a@b Address Okay");
    EXPECT_EQ(IdFormat("Hello %s", "%s"), "Hello %s");
    EXPECT_EQ(IdFormat("100%% %s %s", "x"), "100% x %s");
    EXPECT_EQ(IdFormat("no placeholder", "x"), "no placeholder");
}
