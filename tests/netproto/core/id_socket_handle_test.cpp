#include "netproto/core/id_iohandler.h"
#include "netproto/core/id_tcp_client.h"
#include "netproto/core/id_thread.h"
#include "socket_test_helpers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

// Keeps the global stack alive for the raw handle tests.
struct StackUser : ::testing::Test {
    TIdComponent holder;
};

struct Listener {
    explicit Listener(int port = 0)
    {
        h.IP = "127.0.0.1";
        h.Port = port;
        h.AllocateSocket();
        h.Bind();
        h.Listen(15);
    }
    TIdSocketHandle h;
};

} // namespace

using SocketHandle = StackUser;

TEST_F(SocketHandle, PortZeroBindsSystemChosenPort)
{
    TIdSocketHandle h;
    h.IP = "127.0.0.1";
    h.AllocateSocket();
    h.Bind();
    EXPECT_GT(h.Port, 0);
    EXPECT_EQ(h.IP, "127.0.0.1");
    h.CloseSocket();
    EXPECT_FALSE(h.HandleAllocated());
    h.CloseSocket(); // nothing the second time
}

TEST_F(SocketHandle, PortRangeSkipsTakenPorts)
{
    // Three free neighbouring ports; the top two are taken.
    const int base = sockettest::UnusedPort() - 2;
    Listener top(base + 2);
    Listener mid(base + 1);

    TIdSocketHandle h;
    h.IP = "127.0.0.1";
    h.ClientPortMin = base;
    h.ClientPortMax = base + 2;
    h.AllocateSocket();
    h.Bind();
    EXPECT_EQ(h.Port, base);

    TIdSocketHandle full;
    full.IP = "127.0.0.1";
    full.ClientPortMin = base;
    full.ClientPortMax = base + 2;
    full.AllocateSocket();
    // Listen on the last free one, then nothing in the range is left.
    h.Listen(1);
    try {
        full.Bind();
        ADD_FAILURE();
    } catch (const EIdCanNotBindPortInRange& e) {
        EXPECT_EQ(std::string(e.what()), "Can not bind in port range (" + std::to_string(base) +
                                             " - " + std::to_string(base + 2) + ")");
    }

    TIdSocketHandle bad;
    bad.ClientPortMin = 6000;
    bad.ClientPortMax = 5000;
    bad.AllocateSocket();
    try {
        bad.Bind();
        ADD_FAILURE();
    } catch (const EIdInvalidPortRange& e) {
        EXPECT_STREQ(e.what(), "Invalid Port Range (6000 - 5000)");
    }
}

TEST_F(SocketHandle, FixedPortInUseRaisesAndRestartBindsAtOnce)
{
    int port;
    {
        Listener l;
        port = l.h.Port;
        TIdSocketHandle again;
        again.IP = "127.0.0.1";
        again.Port = port;
        again.AllocateSocket();
        try {
            again.Bind();
            ADD_FAILURE();
        } catch (const EIdCouldNotBindSocket& e) {
            EXPECT_STREQ(e.what(), "Could not bind socket. Address and port are already in use.");
        }
        // A connection that the server side closes first leaves TIME_WAIT.
        TIdTCPClient c;
        c.Host = "127.0.0.1";
        c.Port = port;
        c.Connect();
        TIdSocketHandle accepted;
        ASSERT_TRUE(accepted.Accept(l.h.Handle()));
        accepted.CloseSocket();
        c.Disconnect();
    }
    Listener restarted(port); // SO_REUSEADDR: no wait for TIME_WAIT
    EXPECT_EQ(restarted.h.Port, port);
}

TEST_F(SocketHandle, ListenerStopWakesBlockedAcceptWhileClientsAreConnected)
{
    Listener l;
    std::vector<std::unique_ptr<TIdTCPClient>> clients;
    std::vector<std::unique_ptr<TIdIOHandler>> served;
    for (int i = 0; i < 3; ++i) {
        auto c = std::make_unique<TIdTCPClient>();
        c->Host = "127.0.0.1";
        c->Port = l.h.Port;
        c->Connect();
        clients.push_back(std::move(c));
        TIdServerIOHandlerSocket server;
        served.push_back(server.Accept(l.h.Handle(), nullptr));
        ASSERT_NE(served.back(), nullptr);
    }

    std::atomic<bool> stop{false};
    std::atomic<int> acceptResults{0};
    std::thread listener([&] {
        while (!stop) {
            TIdSocketHandle h;
            if (h.Accept(l.h.Handle()))
                ++acceptResults;
            else
                break;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    // The stop: flag, shutdown to wake the blocked accept, join, then close.
    stop = true;
    l.h.Interrupt();
    listener.join();
    l.h.CloseSocket();
    EXPECT_EQ(acceptResults.load(), 0);

    // The connections already made go on working.
    TIdTCPConnection conn;
    conn.SetIOHandler(served[1].get());
    clients[1]->WriteLn("still here");
    EXPECT_EQ(conn.ReadLn(), "still here");
    for (auto& c : clients)
        c->Disconnect();
    EXPECT_THROW(conn.ReadLn(), EIdConnClosedGracefully);
}

TEST_F(SocketHandle, ServerHandlerAcceptStopsWithItsThread)
{
    Listener l;
    struct Waiter : TIdThread {
        TIdStackSocketHandle listen = 0;
        std::atomic<bool> returnedEmpty{false};
        void Run() override
        {
            TIdServerIOHandlerSocket server;
            returnedEmpty = server.Accept(listen, this) == nullptr;
            Stop();
        }
    };
    TIdThreadPtr t(new Waiter); // NOLINT: owned by the deleter at once
    auto* w = static_cast<Waiter*>(t.get());
    w->listen = l.h.Handle();
    t->Start();
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    t->Terminate();
    t->WaitFor();
    EXPECT_TRUE(w->returnedEmpty);
}

TEST_F(SocketHandle, ReadableOnClosedHandleRaisesGracefulClose)
{
    TIdSocketHandle h;
    EXPECT_THROW(h.Readable(10), EIdConnClosedGracefully);
}

TEST(ComponentBase, StackLivesWithComponents)
{
    ASSERT_EQ(TIdComponent::ComponentCount(), 0);
    EXPECT_EQ(GStack, nullptr);
    {
        TIdComponent a;
        TIdStack* first = GStack;
        ASSERT_NE(first, nullptr);
        {
            TIdComponent b;
            EXPECT_EQ(GStack, first);
            EXPECT_EQ(TIdComponent::ComponentCount(), 2);
        }
        EXPECT_EQ(GStack, first);
    }
    EXPECT_EQ(GStack, nullptr);
    TIdComponent again; // a new stack, with no second start-up needed
    EXPECT_NE(GStack, nullptr);
    EXPECT_TRUE(StackStarted());
}

TEST(ComponentBase, WorkEventsNest)
{
    TIdComponent c;
    int begins = 0, ends = 0, last = -1;
    c.OnWorkBegin = [&](TIdComponent*, TWorkMode, int32_t) { ++begins; };
    c.OnWorkEnd = [&](TIdComponent*, TWorkMode) { ++ends; };
    c.OnWork = [&](TIdComponent*, TWorkMode, int32_t n) { last = n; };
    c.DoWork(wmRead, 5);
    EXPECT_EQ(last, -1); // outside BeginWork nothing happens
    c.BeginWork(wmRead, 100);
    c.BeginWork(wmRead, 7);
    c.DoWork(wmRead, 5);
    c.DoWork(wmRead, 6);
    EXPECT_EQ(last, 11);
    c.EndWork(wmRead);
    EXPECT_EQ(ends, 0);
    c.EndWork(wmRead);
    EXPECT_EQ(begins, 1);
    EXPECT_EQ(ends, 1);
}

TEST(ComponentBase, AntiFreezeOnlyOnMainThread)
{
    TIdAntiFreeze af;
    EXPECT_TRUE(TIdAntiFreezeBase::ShouldUse());
    bool other = true;
    std::thread t([&] { other = TIdAntiFreezeBase::ShouldUse(); });
    t.join();
    EXPECT_FALSE(other);
    af.Active = false;
    EXPECT_FALSE(TIdAntiFreezeBase::ShouldUse());
}

TEST_F(SocketHandle, InterruptWakesConnectionBlockedInReadLn)
{
    Listener l;
    TIdTCPClient client;
    client.Host = "127.0.0.1";
    client.Port = l.h.Port;
    client.Connect();
    TIdServerIOHandlerSocket server;
    auto handler = server.Accept(l.h.Handle(), nullptr);
    ASSERT_NE(handler, nullptr);
    auto* socket = static_cast<TIdIOHandlerSocket*>(handler.get());

    std::atomic<bool> ended{false};
    std::thread reader([&] {
        TIdTCPConnection conn;
        conn.SetIOHandler(std::move(handler));
        try {
            conn.ReadLn();
        } catch (const EIdConnClosedGracefully&) {
            ended = true;
        }
        conn.Disconnect(); // the thread closes its own socket
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    socket->Binding()->Interrupt();
    reader.join();
    EXPECT_TRUE(ended);
    client.Disconnect();
}

TEST_F(SocketHandle, ServeFileOnSocketSendsTheWholeFile)
{
    const std::string path = ::testing::TempDir() + "serve_file_test.bin";
    std::string content(100000, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 7);
    {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(content.data(), 1, content.size(), f);
        std::fclose(f);
    }
    std::string got;
    sockettest::LoopbackPeer peer([&](int fd) { got = sockettest::RecvUntilClose(fd, 3000); });
    TIdTCPClient c;
    c.Host = "127.0.0.1";
    c.Port = peer.Port();
    c.Connect();
    EXPECT_EQ(GStack->ServeFileOnSocket(c.Socket()->Binding()->Handle(), path),
              static_cast<int64_t>(content.size()));
    EXPECT_EQ(c.WriteFile(path), static_cast<int64_t>(content.size()));
    EXPECT_THROW(c.WriteFile(path + ".missing"), EIdFileNotFound);
    c.Disconnect();
    peer.Join();
    EXPECT_EQ(got, content + content);
    std::remove(path.c_str());
}
