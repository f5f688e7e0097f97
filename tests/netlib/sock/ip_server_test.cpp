// The library's server and multi-client against each other and raw sockets.
#include "netlib/sock/ip_sock_clients.h"
#include "sock_test_helpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace socktest;

namespace {

class SockServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() { StartSockets(); }
};

// A plain socket from `source` to the server, and what it reads.
struct RawClient {
    int Fd = -1;
    std::string Received;
    bool Closed = false;

    RawClient(const char* source, int port)
    {
        Fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        ::inet_pton(AF_INET, source, &from.sin_addr);
        ::bind(Fd, reinterpret_cast<sockaddr*>(&from), sizeof from);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::connect(Fd, reinterpret_cast<sockaddr*>(&to), sizeof to);
        ::fcntl(Fd, F_SETFL, O_NONBLOCK);
    }
    ~RawClient() { ::close(Fd); }
    // Reads what is there; true once the server has closed.
    bool Poll()
    {
        char buf[256];
        for (;;) {
            const ssize_t n = ::recv(Fd, buf, sizeof buf, 0);
            if (n > 0)
                Received.append(buf, static_cast<size_t>(n));
            else {
                Closed = Closed || n == 0;
                return Closed;
            }
        }
    }
};

struct ServerLog {
    std::vector<TIpRejectType> Rejects;
    int Connects = 0;
    explicit ServerLog(TIpServer& server, const std::string& message = "")
    {
        server.OnReject = [this, message](QObject*, TIpRejectType reason, std::string& msg) {
            Rejects.push_back(reason);
            msg = message;
        };
        server.OnStatus = [this](QObject*, uint32_t, TIpStatusType event, const TIpConnRec&,
                                 const TIpSockStatRec&) {
            if (event == stConnect)
                ++Connects;
        };
    }
};

TEST_F(SockServer, EchoesToSeveralClientsAndCloseWhenDoneFreesOnlyItsSocket)
{
    TIpServer server;
    server.OnReadLine = [&](QObject*, uint32_t socket, const std::string& line) {
        server.PutString(socket, "echo " + line, false);
    };
    server.SetActive(true);
    const int port = server.ListeningPort();
    ASSERT_NE(port, 0);

    TIpMultiClient client;
    std::vector<std::pair<uint32_t, std::string>> lines;
    client.OnReadLine = [&](QObject*, uint32_t socket, const std::string& line) {
        lines.emplace_back(socket, line);
    };
    const uint32_t a = client.ConnectSocket(Loopback(port));
    const uint32_t b = client.ConnectSocket(Loopback(port));
    EXPECT_EQ(client.PutString(a, "one\r\n", false), 1u); // queued until connected
    client.PutString(b, "two\r\n", false);
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 2; }));
    EXPECT_EQ(server.GetSocketCount(), 2);

    client.PutString(a, "last\r\n", true);
    ASSERT_TRUE(PumpUntil([&] { return client.GetSocketCount() == 1; }));
    client.PutString(b, "three\r\n", false);
    ASSERT_TRUE(PumpUntil([&] { return lines.size() == 3; }));
    // Each socket's lines in order; the two sockets' in any order.
    std::vector<std::pair<uint32_t, std::string>> expected = {
        {a, "echo one\r\n"}, {b, "echo two\r\n"}, {b, "echo three\r\n"}};
    std::stable_sort(lines.begin(), lines.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    EXPECT_EQ(lines, expected);
    EXPECT_TRUE(client.GetConnected(b));
    EXPECT_THROW(client.GetConnected(a), EIpNoSocketError);
    // The server saw the first client go and freed its socket.
    EXPECT_TRUE(PumpUntil([&] { return server.GetSocketCount() == 1; }));
    client.CloseAll();
    EXPECT_TRUE(PumpUntil([&] { return server.GetSocketCount() == 0; }));
}

TEST_F(SockServer, TheClientOverTheLimitGetsTheRejectMessageAndIsClosed)
{
    TIpServer server;
    server.MaxClients = 2;
    ServerLog log(server, "busy\r\n");
    server.SetActive(true);
    const int port = server.ListeningPort();
    RawClient c1("127.0.0.1", port), c2("127.0.0.1", port);
    ASSERT_TRUE(PumpUntil([&] { return log.Connects == 2; }));
    RawClient c3("127.0.0.1", port);
    ASSERT_TRUE(PumpUntil([&] { return c3.Poll(); }));
    EXPECT_EQ(c3.Received, "busy\r\n");
    EXPECT_EQ(log.Rejects, (std::vector<TIpRejectType>{rtCount}));
    EXPECT_FALSE(c1.Poll());
    EXPECT_FALSE(c2.Poll());
    EXPECT_TRUE(PumpUntil([&] { return server.GetSocketCount() == 2; }));
}

TEST_F(SockServer, EveryAllowAndDenyEntryIsTried)
{
    EXPECT_TRUE(TIpCustomServer::cdMatchList("10.0.0.7", {"10.0.0.", "10.0.0.5"}));
    EXPECT_FALSE(TIpCustomServer::cdMatchList("10.0.1.7", {"10.0.0.", "10.0.0.5"}));
    EXPECT_TRUE(TIpCustomServer::cdMatchList("10.0.0.7", {"all"}));
    EXPECT_FALSE(TIpCustomServer::cdMatchList("10.0.0.7", {}));

    struct Case {
        std::vector<std::string> Allow, Deny;
        bool Near, Far; // accepted from 127.0.0.7, from 127.0.1.7
    };
    const Case cases[] = {
        {{}, {"127.0.0."}, false, true},
        // An entry that sorts between the prefix and the address is no way
        // round the prefix.
        {{}, {"127.0.0.", "127.0.0.5"}, false, true},
        {{"127.0.1.7"}, {"ALL"}, false, true},
        {{"ALL"}, {"ALL"}, true, true},
    };
    for (const Case& c : cases) {
        TIpServer server;
        server.SetHostsAllow(c.Allow);
        server.SetHostsDeny(c.Deny);
        ServerLog log(server);
        server.SetActive(true);
        const int port = server.ListeningPort();
        RawClient nearClient("127.0.0.7", port);
        ASSERT_TRUE(PumpUntil([&] { return log.Connects + log.Rejects.size() == 1; }));
        RawClient farClient("127.0.1.7", port);
        ASSERT_TRUE(PumpUntil([&] { return log.Connects + log.Rejects.size() == 2; }));
        // A rejection without a message closes at once.
        if (!c.Near) {
            EXPECT_TRUE(PumpUntil([&] { return nearClient.Poll(); }));
        }
        if (!c.Far) {
            EXPECT_TRUE(PumpUntil([&] { return farClient.Poll(); }));
        }
        EXPECT_EQ(log.Connects, int(c.Near) + int(c.Far));
        EXPECT_EQ(nearClient.Received + farClient.Received, "");
        for (TIpRejectType r : log.Rejects)
            EXPECT_EQ(r, rtDenied);
    }
}

TEST_F(SockServer, SocketsWhoseHandlesShareABucketStayReachable)
{
    TIpMultiClient owner;
    auto make = [&] {
        return std::make_unique<TIpDataSocket>(&owner, IdWinsock2::INVALID_SOCKET, IpAnyAddress(),
                                               nullptr, nullptr);
    };
    auto first = make();
    std::unique_ptr<TIpDataSocket> second;
    while (!second || second->Handle() - first->Handle() < TIpSocketList::BucketCount)
        second = make();
    ASSERT_EQ(second->Handle() - first->Handle(), TIpSocketList::BucketCount);
    const uint32_t h1 = first->Handle(), h2 = second->Handle();
    TIpSocketList list;
    list.Add(std::move(first));
    list.Add(std::move(second));
    EXPECT_EQ(list.Find(h2), 1);
    list.FreeSocket(h1);
    EXPECT_EQ(list.FindPtr(h1), nullptr);
    ASSERT_NE(list.FindPtr(h2), nullptr);
    EXPECT_EQ(list.Find(h2), 0);
}

} // namespace
