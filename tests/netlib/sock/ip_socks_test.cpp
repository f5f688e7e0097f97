// SOCKS negotiation against microsocks, dante and a scripted fake server.
#include "netlib/sock/ip_sock_clients.h"
#include "sock_test_helpers.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <arpa/inet.h>
#include <unistd.h>

#include <fstream>

using namespace socktest;

namespace {

class Socks : public ::testing::Test {
protected:
    static void SetUpTestSuite() { StartSockets(); }
};

// An echo server of our own as the destination behind the proxy.
struct EchoServer {
    TIpServer Server;
    EchoServer()
    {
        Server.OnReadLine = [this](QObject*, uint32_t socket, const std::string& line) {
            Server.PutString(socket, line, false);
        };
        Server.SetActive(true);
    }
    int Port() const { return Server.ListeningPort(); }
};

// Connects through the proxy, sends a line before the negotiation has ended
// and expects it back through the tunnel; the remote end stays the
// destination.
void ExpectTunnel(int proxyPort, TIpSocksVersion version, const std::string& user = "",
                  const std::string& password = "")
{
    EchoServer echo;
    TIpClient client;
    client.SocksServer().SetAddress("127.0.0.1");
    client.SocksServer().SetPort(static_cast<uint16_t>(proxyPort));
    client.SocksServer().SetSocksVersion(version);
    client.SocksServer().SetUserCode(user);
    client.SocksServer().SetPassword(password);
    Events ev(client);
    const uint32_t handle = client.ConnectSocket(Loopback(echo.Port()));
    client.PutString("through\r\n", false);
    ASSERT_TRUE(PumpUntil([&] { return !ev.Lines.empty() || !ev.Errors.empty(); }));
    ASSERT_TRUE(ev.Errors.empty()) << ev.Errors[0].second;
    EXPECT_EQ(ev.Lines[0], "through\r\n");
    EXPECT_TRUE(ev.Connected(handle));
    EXPECT_EQ(client.GetRemoteAddress(), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(ntohs(client.GetRemotePort()), echo.Port());
    client.CloseSocket();
}

TEST_F(Socks, Version5ThroughMicrosocksWithAndWithoutCredentials)
{
    const int open = FreePort();
    Daemon plain;
    if (!plain.Start("microsocks", {"-i", "127.0.0.1", "-p", std::to_string(open)}))
        SKIP_WITHOUT_TOOL("microsocks is not installed");
    ASSERT_TRUE(plain.WaitListening(open));
    ExpectTunnel(open, svSocks5);

    const int guarded = FreePort();
    Daemon withUser;
    ASSERT_TRUE(withUser.Start("microsocks", {"-i", "127.0.0.1", "-p", std::to_string(guarded),
                                              "-u", "op", "-P", "secret"}));
    ASSERT_TRUE(withUser.WaitListening(guarded));
    ExpectTunnel(guarded, svSocks5, "op", "secret");
}

TEST_F(Socks, Versions4And5ThroughDante)
{
    const int port = FreePort();
    QTemporaryDir dir;
    const std::string conf = dir.path().toStdString() + "/danted.conf";
    std::ofstream out(conf);
    out << "logoutput: stderr\n"
        << "internal: 127.0.0.1 port = " << port << "\n"
        << "external: 127.0.0.1\n"
        << "clientmethod: none\nsocksmethod: none\n";
    // Only root can switch to these users; anyone else runs dante as itself.
    if (::geteuid() == 0)
        out << "user.privileged: root\nuser.unprivileged: nobody\n";
    out << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
        << "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 }\n";
    out.close();
    Daemon dante;
    if (!dante.Start("danted", {"-f", conf, "-N", "1", "-p", dir.path().toStdString() + "/pid"}))
        SKIP_WITHOUT_TOOL("dante-server is not installed");
    ASSERT_TRUE(dante.WaitListening(port));
    ExpectTunnel(port, svSocks4, "op");
    ExpectTunnel(port, svSocks4a);
    ExpectTunnel(port, svSocks5);
}

TEST_F(Socks, SplitRepliesAreCollectedAndDataWaitsForTheNegotiation)
{
    PyPeer fake("socks5split");
    TIpClient client;
    client.SocksServer().SetAddress("127.0.0.1");
    client.SocksServer().SetPort(static_cast<uint16_t>(fake.Port()));
    client.SocksServer().SetSocksVersion(svSocks5);
    Events ev(client);
    client.ConnectSocket("127.0.0.1:4660");
    client.PutString("early\r\n", false);
    ASSERT_TRUE(PumpUntil([&] { return !ev.Lines.empty(); }));
    EXPECT_EQ(ev.Lines[0], "hello\r\n");
    EXPECT_EQ(ntohs(client.GetRemotePort()), 4660);
    client.CloseSocket();
    auto report = fake.Finish();
    EXPECT_EQ(report["offer"], "05020002");
    EXPECT_EQ(report["request"], "050100017f0000011234");
    EXPECT_EQ(report["after"], "6561726c790d0a");
}

TEST_F(Socks, RefusalsAndUnknownMethodsAreReportedAndClose)
{
    const std::pair<std::string, int> cases[] = {{"4", 91}, {"5:255", 255}, {"5:7", 7}};
    for (const auto& [arg, code] : cases) {
        PyPeer fake("socks_refuse", arg);
        TIpClient client;
        client.SocksServer().SetAddress("127.0.0.1");
        client.SocksServer().SetPort(static_cast<uint16_t>(fake.Port()));
        client.SocksServer().SetSocksVersion(arg == "4" ? svSocks4 : svSocks5);
        Events ev(client);
        const uint32_t handle = client.ConnectSocket("127.0.0.1:25");
        client.PutString("never\r\n", false);
        ASSERT_TRUE(PumpUntil([&] { return !client.GetActiveSockets(); })) << arg;
        ASSERT_EQ(ev.Errors.size(), 1u) << arg;
        EXPECT_EQ(ev.Errors[0].first, code);
        EXPECT_EQ(ev.Errors[0].second, "SOCKS request refused - " + std::to_string(code));
        EXPECT_FALSE(ev.Connected(handle));
        EXPECT_EQ(fake.Finish()["closed"], "0") << arg;
    }
}

} // namespace
