#include "netproto/core/id_tcp_client.h"
#include "netproto/core/id_thread.h"
#include "socket_test_helpers.h"

#include <QCoreApplication>
#include <QTimer>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

using sockettest::LoopbackPeer;

namespace {

struct Client : TIdTCPClient {
    explicit Client(int port, const std::string& host = "127.0.0.1")
    {
        Host = host;
        Port = port;
    }
};

// A listener that never accepts, its queue filled: the kernel drops further
// SYNs, so a connect to it can only wait.
class FullBacklogListener {
public:
    void Open()
    {
        l = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::bind(l, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
        ASSERT_EQ(::listen(l, 0), 0);
        socklen_t len = sizeof sa;
        ::getsockname(l, reinterpret_cast<sockaddr*>(&sa), &len);
        for (int i = 0; i < 8; ++i) {
            int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            ::connect(f, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
            fillers.push_back(f);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ~FullBacklogListener()
    {
        for (int f : fillers)
            ::close(f);
        if (l >= 0)
            ::close(l);
    }
    int Port() const { return ntohs(sa.sin_port); }

private:
    int l = -1;
    sockaddr_in sa{};
    std::vector<int> fillers;
};

} // namespace

TEST(TcpClient, RefusedPortGives10061)
{
    const int port = sockettest::UnusedPort();
    for (int timeout : {-1, 2000}) {
        Client c(port);
        try {
            c.Connect(timeout);
            ADD_FAILURE() << timeout;
        } catch (const EIdSocketError& e) {
            EXPECT_EQ(e.LastError(), 10061) << timeout;
        }
        // A failed connect leaves the client closed, ready to try again.
        EXPECT_FALSE(c.Connected());
        EXPECT_THROW(c.Connect(timeout), EIdSocketError);
    }
}

TEST(TcpClient, ConnectTimesOutAgainstFullBacklog)
{
    FullBacklogListener listener;
    ASSERT_NO_FATAL_FAILURE(listener.Open());

    Client c(listener.Port());
    const auto start = std::chrono::steady_clock::now();
    try {
        c.Connect(300);
        ADD_FAILURE();
    } catch (const EIdConnectTimeout& e) {
        EXPECT_STREQ(e.what(), "Connect timed out.");
    }
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_GE(ms, 250);
    EXPECT_FALSE(c.Connected());
}

TEST(TcpClient, StatusEventsAndAlreadyConnected)
{
    LoopbackPeer peer([](int fd) { sockettest::RecvUntilClose(fd, 3000); }, 2);
    std::vector<std::string> events;
    auto record = [&](TIdComponent*, TIdStatus, const std::string& text) {
        events.push_back(text);
    };
    {
        Client c(peer.Port(), "LocalHost");
        c.OnStatus = record;
        c.Connect(1000);
        EXPECT_THROW(c.Connect(), EIdAlreadyConnected);
        c.Disconnect();
    }
    ASSERT_GE(events.size(), 5u);
    EXPECT_EQ(events[0], "Resolving hostname LocalHost.");
    EXPECT_EQ(events[1], "Connecting to 127.0.0.1.");
    EXPECT_EQ(events[2], "Connected.");
    EXPECT_EQ(events[3], "Disconnecting.");
    EXPECT_EQ(events[4], "Disconnected.");
    events.clear();
    Client d(peer.Port());
    d.OnStatus = record;
    d.Connect();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0], "Connecting to 127.0.0.1."); // a dotted address is not resolved
    d.Disconnect();
}

TEST(TcpClient, BoundPortRangeIsUsed)
{
    const int high = sockettest::UnusedPort();
    int boundPort = 0;
    LoopbackPeer peer([&](int fd) {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        boundPort = ntohs(sa.sin_port);
    });
    Client c(peer.Port());
    c.BoundPortMin = high - 1;
    c.BoundPortMax = high;
    c.Connect();
    peer.Join();
    EXPECT_TRUE(boundPort == high || boundPort == high - 1) << boundPort;
    c.Disconnect();
}

TEST(TcpClient, ThousandConnectCyclesLeakNothing)
{
    const int n = 1000;
    LoopbackPeer peer([](int fd) { sockettest::SendRaw(fd, "hi\r\n"); }, n);
    const int fdsBefore = sockettest::OpenFdCount();
    const int threadsBefore = TIdThread::ThreadCount();
    for (int i = 0; i < n; ++i) {
        Client c(peer.Port());
        c.Connect(i % 2 ? 5000 : -1);
        ASSERT_EQ(c.ReadLn(), "hi");
        c.Disconnect();
    }
    peer.Join();
    EXPECT_EQ(sockettest::OpenFdCount(), fdsBefore);
    EXPECT_EQ(TIdThread::ThreadCount(), threadsBefore);
    EXPECT_EQ(TIdComponent::ComponentCount(), 0);
}

TEST(TcpClient, AntiFreezePumpsEventsDuringMainThreadConnect)
{
    // A listener with a full queue again: the connect waits, and the
    // anti-freeze keeps the event loop running meanwhile.
    FullBacklogListener listener;
    ASSERT_NO_FATAL_FAILURE(listener.Open());

    TIdAntiFreeze af;
    af.IdleTimeOut = 20;
    EXPECT_THROW(TIdAntiFreeze(), EIdException); // only one per application
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(10);
    Client c(listener.Port());
    EXPECT_THROW(c.Connect(300), EIdConnectTimeout);
    EXPECT_GT(ticks, 3);
}

TEST(TcpClient, AntiFreezePumpsEventsDuringLongMainThreadRead)
{
    LoopbackPeer peer([](int fd) { sockettest::RecvUntilClose(fd, 3000); });
    TIdAntiFreeze af;
    af.IdleTimeOut = 20;
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(10);
    Client c(peer.Port());
    c.Connect();
    c.ReadTimeout = 300;
    EXPECT_THROW(c.ReadLn(), EIdReadTimeout);
    EXPECT_GT(ticks, 5);
    c.Disconnect();
}
