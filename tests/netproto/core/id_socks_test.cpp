#include "netproto/core/id_tcp_client.h"
#include "socket_test_helpers.h"
#include "support/test_host.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

using sockettest::LoopbackPeer;
using sockettest::SendRaw;

extern char** environ;

namespace {

std::string RecvN(int fd, size_t n)
{
    std::string out;
    char buf[512];
    while (out.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 3000) <= 0)
            break;
        ssize_t got = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
        if (got <= 0)
            break;
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

std::string RecvZeroTerminated(int fd)
{
    std::string out;
    for (;;) {
        std::string c = RecvN(fd, 1);
        if (c.empty() || c[0] == '\0')
            return out;
        out += c;
    }
}

// Sends a reply a byte at a time, so the client has to collect it.
void SendSlowly(int fd, const std::string& data)
{
    for (char c : data) {
        SendRaw(fd, std::string(1, c));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

struct SocksClient : TIdTCPClient {
    SocksClient(int proxyPort, TSocksVersion v, const std::string& host, int port)
    {
        Host = host;
        Port = port;
        auto h = std::make_unique<TIdIOHandlerSocket>();
        h->SocksInfo().Version = v;
        h->SocksInfo().Host = "127.0.0.1";
        h->SocksInfo().Port = proxyPort;
        socks = &h->SocksInfo();
        SetIOHandler(std::move(h));
    }
    TIdSocksInfo* socks;
};

} // namespace

TEST(Socks, Version4SendsResolvedAddressAndUser)
{
    std::string request;
    LoopbackPeer proxy([&](int fd) {
        request = RecvN(fd, 8);
        request += RecvZeroTerminated(fd);
        SendSlowly(fd, std::string("\0\x5a\0\0\0\0\0\0", 8));
        SendRaw(fd, "hello\r\n");
        sockettest::RecvUntilClose(fd, 2000);
    });
    SocksClient c(proxy.Port(), svSocks4, "127.0.0.2", 0x1234);
    c.socks->Username = "op";
    c.Connect();
    EXPECT_EQ(c.ReadLn(), "hello");
    c.Disconnect();
    proxy.Join();
    EXPECT_EQ(request, std::string("\x04\x01\x12\x34\x7f\0\0\x02op", 10));
}

TEST(Socks, Version4ANamesTheHostAfterTheUser)
{
    std::string head, user, host;
    LoopbackPeer proxy([&](int fd) {
        head = RecvN(fd, 8);
        user = RecvZeroTerminated(fd);
        host = RecvZeroTerminated(fd);
        SendRaw(fd, std::string("\0\x5a\0\0\0\0\0\0", 8));
        sockettest::RecvUntilClose(fd, 2000);
    });
    SocksClient c(proxy.Port(), svSocks4A, "mail.example", 25);
    c.socks->Username = "u";
    c.Connect();
    c.Disconnect();
    proxy.Join();
    EXPECT_EQ(head, std::string("\x04\x01\x00\x19\0\0\0\x01", 8));
    EXPECT_EQ(user, "u");
    EXPECT_EQ(host, "mail.example");
}

TEST(Socks, Version4Rejections)
{
    const std::pair<char, std::string> cases[] = {
        {91, "Request rejected or failed."},
        {92, "Request rejected because SOCKS server cannot connect."},
        {93, "Request rejected because the client program and identd report different user-ids."},
        {17, "Unknown socks error."}};
    for (const auto& [code, text] : cases) {
        LoopbackPeer proxy([&, code = code](int fd) {
            RecvN(fd, 8);
            RecvZeroTerminated(fd);
            SendRaw(fd, std::string("\0", 1) + code + std::string(6, '\0'));
            sockettest::RecvUntilClose(fd, 2000);
        });
        SocksClient c(proxy.Port(), svSocks4, "127.0.0.1", 25);
        try {
            c.Connect();
            ADD_FAILURE() << int(code);
        } catch (const EIdSocksError& e) {
            EXPECT_EQ(e.what(), text);
        }
        EXPECT_FALSE(c.Connected());
    }
}

TEST(Socks, Version5WithPasswordAndDomainBoundAddress)
{
    std::string greet, auth, req;
    LoopbackPeer proxy([&](int fd) {
        greet = RecvN(fd, 3);
        SendSlowly(fd, std::string("\x05\x02", 2));
        auth = RecvN(fd, 13);
        SendRaw(fd, std::string("\x01\x00", 2));
        req = RecvN(fd, 5 + 9 + 2);
        // Bound address given as a name: its length, the name, the port.
        SendSlowly(fd, std::string("\x05\x00\x00\x03\x07relay.x\x04\x00", 14));
        SendRaw(fd, "hello\r\n");
        sockettest::RecvUntilClose(fd, 2000);
    });
    SocksClient c(proxy.Port(), svSocks5, "127.0.0.1", 110);
    c.socks->Authentication = saUsernamePassword;
    c.socks->Username = "user";
    c.socks->Password = "secret";
    c.Connect();
    // Nothing of the bound address is left over to be read as data.
    EXPECT_EQ(c.ReadLn(), "hello");
    c.Disconnect();
    proxy.Join();
    EXPECT_EQ(greet, std::string("\x05\x01\x02", 3));
    EXPECT_EQ(auth, std::string("\x01\x04user\x06secret", 13));
    EXPECT_EQ(req, std::string("\x05\x01\x00\x03\x09"
                               "127.0.0.1\x00\x6e",
                               16));
}

TEST(Socks, Version5Failures)
{
    {
        LoopbackPeer proxy([&](int fd) {
            RecvN(fd, 3);
            SendRaw(fd, std::string("\x05\xff", 2));
            sockettest::RecvUntilClose(fd, 2000);
        });
        SocksClient c(proxy.Port(), svSocks5, "127.0.0.1", 25);
        try {
            c.Connect();
            ADD_FAILURE();
        } catch (const EIdSocksAuthMethodError& e) {
            EXPECT_STREQ(e.what(), "Invalid socks authentication method.");
        }
    }
    {
        LoopbackPeer proxy([&](int fd) {
            RecvN(fd, 3);
            SendRaw(fd, std::string("\x05\x00", 2));
            RecvN(fd, 5 + 9 + 2);
            SendRaw(fd, std::string("\x05\x05\x00\x01\0\0\0\0\0\0", 10));
            sockettest::RecvUntilClose(fd, 2000);
        });
        SocksClient c(proxy.Port(), svSocks5, "127.0.0.1", 25);
        try {
            c.Connect();
            ADD_FAILURE();
        } catch (const EIdSocksServerConnectionRefusedError& e) {
            EXPECT_STREQ(e.what(), "Connection refused.");
        }
    }
    {
        // A name too long for the length byte is refused before anything is sent.
        LoopbackPeer proxy([&](int fd) { sockettest::RecvUntilClose(fd, 2000); });
        SocksClient c(proxy.Port(), svSocks5, std::string(256, 'h'), 25);
        EXPECT_THROW(c.Connect(), EIdSocksError);
        EXPECT_FALSE(c.Connected());
    }
    {
        // The proxy goes away in the middle of its reply.
        LoopbackPeer proxy([&](int fd) {
            RecvN(fd, 3);
            SendRaw(fd, std::string("\x05", 1));
        });
        SocksClient c(proxy.Port(), svSocks5, "127.0.0.1", 25);
        EXPECT_THROW(c.Connect(), EIdSocksServerRespondError);
    }
}

TEST(Socks, Version5ThroughMicrosocksWhenInstalled)
{
    if (::access("/usr/bin/microsocks", X_OK) != 0)
        SKIP_WITHOUT_TOOL("microsocks is not installed");
    const int proxyPort = sockettest::UnusedPort();
    const std::string portText = std::to_string(proxyPort);
    const char* argv[] = {"microsocks",     "-i", "127.0.0.1", "-p",
                          portText.c_str(), "-b", "127.0.0.1", "-u",
                          "user",           "-P", "pw",        nullptr};
    pid_t pid = 0;
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    const int spawned = ::posix_spawn(&pid, "/usr/bin/microsocks", &quiet, nullptr,
                                      const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&quiet);
    ASSERT_EQ(spawned, 0);
    // Wait until it listens.
    bool up = false;
    for (int i = 0; i < 200 && !up; ++i) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(proxyPort));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        up = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        ::close(fd);
        if (!up)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (up) {
        LoopbackPeer target([](int fd) {
            SendRaw(fd, "220 ready\r\n");
            std::string line = sockettest::RecvUntil(fd, "\r\n");
            SendRaw(fd, "echo " + line);
        });
        SocksClient c(proxyPort, svSocks5, "127.0.0.1", target.Port());
        c.socks->Authentication = saUsernamePassword;
        c.socks->Username = "user";
        c.socks->Password = "pw";
        c.Connect(3000);
        EXPECT_EQ(c.ReadLn(), "220 ready");
        c.WriteLn("ping");
        EXPECT_EQ(c.ReadLn(), "echo ping");
        c.Disconnect();

        SocksClient wrong(proxyPort, svSocks5, "127.0.0.1", target.Port());
        wrong.socks->Authentication = saUsernamePassword;
        wrong.socks->Username = "user";
        wrong.socks->Password = "nope";
        EXPECT_THROW(wrong.Connect(3000), EIdSocksError);
    }
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
    EXPECT_TRUE(up);
}
