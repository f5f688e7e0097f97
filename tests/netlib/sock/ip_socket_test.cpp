// Library sockets against scripted Python peers on loopback.
#include "netlib/sock/ip_sock_clients.h"
#include "sock_test_helpers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>

using namespace socktest;

namespace {

class SockTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { StartSockets(); }
};

using SockLines = SockTest;
using SockSend = SockTest;
using SockControl = SockTest;

TEST_F(SockLines, SplitLinesLoneLfAndTheLastLineBeforeTheDisconnect)
{
    // Lines delivered through the window and at once alike.
    for (const bool direct : {false, true}) {
        PyPeer peer("lines");
        TIpClient client;
        client.DirectLineDelivery = direct;
        Events ev(client);
        const uint32_t handle = client.ConnectSocket(Loopback(peer.Port()));
        ASSERT_TRUE(PumpUntil([&] { return ev.Disconnected(handle); }));
        Pump(50);
        EXPECT_EQ(ev.Lines, (std::vector<std::string>{"ab\r\n", "cd\r\n", "x\ny\r\n", "tail"}));
        // The last line comes before the disconnect, which names the
        // socket's own handle; then the socket is freed.
        ASSERT_GE(ev.Order.size(), 2u);
        EXPECT_EQ(ev.Order[ev.Order.size() - 2], "line:tail") << direct;
        EXPECT_EQ(ev.Order.back(), "disconnect") << direct;
        EXPECT_TRUE(ev.Connected(handle));
        EXPECT_TRUE(ev.Errors.empty());
        EXPECT_FALSE(client.GetActiveSockets());
        peer.Finish();
    }
}

TEST_F(SockLines, AFullBufferOfShortLinesIsNeverGluedTogether)
{
    PyPeer peer("glued");
    TIpClient client;
    // A stack buffer large enough that one read fills the 8192 bytes.
    client.SockInits().ReceiveBufferSize = 65536;
    Events ev(client);
    client.ConnectSocket(Loopback(peer.Port()));
    ASSERT_TRUE(PumpUntil([&] { return ev.Lines.size() >= 2049 || !ev.Errors.empty(); }));
    ASSERT_EQ(ev.Lines.size(), 2049u);
    for (size_t i = 0; i < 2048; ++i)
        ASSERT_EQ(ev.Lines[i], "abcdef\r\n") << i;
    EXPECT_EQ(ev.Lines.back(), "end\r\n");
    client.CloseSocket();
}

TEST_F(SockLines, UnterminatedRunsSpillIntoOneLineOrAreDroppedPastTheLimit)
{
    {
        PyPeer peer("unterminated", "8192");
        TIpClient client;
        client.SockInits().StripLineTerminator = true;
        Events ev(client);
        client.ConnectSocket(Loopback(peer.Port()));
        ASSERT_TRUE(PumpUntil([&] { return !ev.Lines.empty(); }));
        EXPECT_EQ(ev.Lines[0], std::string(8192, 'x') + "ok");
        client.CloseSocket();
    }
    {
        PyPeer peer("unterminated", "1153434");
        TIpClient client;
        Events ev(client);
        client.ConnectSocket(Loopback(peer.Port()));
        ASSERT_TRUE(PumpUntil([&] { return !ev.Lines.empty(); }, 15000));
        ASSERT_EQ(ev.Errors.size(), 1u);
        EXPECT_EQ(ev.Errors[0].first, 8001);
        EXPECT_EQ(ev.Errors[0].second, "Received line too long, exceeds MaxLineBuf");
        // Reception goes on: what followed the dropped part is the next line.
        EXPECT_LT(ev.Lines[0].size(), 1048576u);
        EXPECT_EQ(ev.Lines[0].substr(ev.Lines[0].size() - 4), "ok\r\n");
        client.CloseSocket();
    }
}

TEST_F(SockSend, AStalledPeerQueuesItemsThatGoOutWhenItReads)
{
    PyPeer peer("noread");
    TIpClient client;
    Events ev(client);
    const uint32_t handle = client.ConnectSocket(Loopback(peer.Port()));
    ASSERT_TRUE(PumpUntil([&] { return ev.Connected(handle); }));
    ASSERT_TRUE(PumpUntil([&] { return client.PutString("hello", false) == 0; }, 1000));
    const std::string block(4 << 20, 'b');
    const uint32_t first =
        client.PutBlock(block.data(), static_cast<uint32_t>(block.size()), false);
    const uint32_t second = client.PutString("bye", true);
    EXPECT_NE(first, 0u);
    EXPECT_EQ(second, first + 1);
    // The close-when-done item closes and frees the socket after its bytes.
    ASSERT_TRUE(PumpUntil([&] { return !client.GetActiveSockets(); }, 15000));
    EXPECT_EQ(ev.ItemsSent, (std::vector<uint32_t>{first, second}));
    EXPECT_TRUE(ev.Disconnected(handle));
    EXPECT_EQ(peer.Finish()["received"], std::to_string(5 + block.size() + 3));
    TIpSockStatRec stats;
    EXPECT_THROW(client.StatusSnapshot(stats), EIpNoSocketError);
}

TEST_F(SockSend, StreamsGoOutInChunksAndStreamModeWritesThrough)
{
    PyPeer peer("echo");
    TIpClient client;
    client.SockInits().ReceiveMode = rmStream;
    Events ev(client);
    std::ostringstream received;
    std::string data;
    for (int i = 0; i < 10000; ++i)
        data += static_cast<char>(i * 7);
    std::istringstream source(data);
    const uint32_t handle = client.ConnectSocket(Loopback(peer.Port()));
    client.SetReceiveStream(&received);
    client.PutStream(&source, false);
    ASSERT_TRUE(PumpUntil([&] { return received.str().size() >= data.size(); }));
    EXPECT_EQ(received.str(), data);
    EXPECT_TRUE(ev.Lines.empty());
    TIpSockStatRec stats;
    client.StatusSnapshot(stats);
    EXPECT_EQ(stats.DataSent, data.size());
    EXPECT_EQ(stats.ConnDataReceived, data.size());
    EXPECT_TRUE(ev.Connected(handle));
    client.CloseSocket();
}

TEST_F(SockSend, BufferSizesNeverShrinkTheStacksOwn)
{
    // Linux stops tuning a buffer whose size is set, and the defaults' 4096
    // bytes then hold a connection to a few tens of KB/s.
    const int plain = ::socket(AF_INET, SOCK_STREAM, 0);
    int receive = 0, send = 0;
    socklen_t len = sizeof receive;
    ::getsockopt(plain, SOL_SOCKET, SO_RCVBUF, &receive, &len);
    ::getsockopt(plain, SOL_SOCKET, SO_SNDBUF, &send, &len);
    ::close(plain);
    TIpClient owner;
    TIpDataSocket s(&owner, IdWinsock2::INVALID_SOCKET, IpAnyAddress(), &owner.SockInits(),
                    nullptr);
    EXPECT_EQ(s.GetReceiveBufferSize(), receive);
    EXPECT_EQ(s.GetSendBufferSize(), send);
    s.SetSendBufferSize(send * 4);
    EXPECT_GE(s.GetSendBufferSize(), send * 4);
}

TEST_F(SockSend, TerminalsGetTheDataAndTheConnectionState)
{
    PyPeer peer("echo");
    TIpClient client;
    std::vector<std::string> seen;
    std::string data;
    uint32_t handle = 0;
    TGuiReceiver terminal([&](uint32_t msg, uintptr_t w, intptr_t l) -> intptr_t {
        if (msg == CM_IPTERMDATA)
            data += *IpTakeTermData(w);
        else if (msg == CM_IPSOCKETSTATUS)
            seen.push_back(std::to_string(IpLoWord(l)) + "/" + std::to_string(IpHiWord(l)) +
                           (w == handle ? "" : " other"));
        return 0;
    });
    client.RegisterTerminal(terminal.Target());
    handle = client.ConnectSocket(Loopback(peer.Port()));
    ASSERT_TRUE(client.scAttachTerminal(handle, terminal.Target()));
    client.PutString("to the screen\r\n", false);
    ASSERT_TRUE(PumpUntil([&] { return data == "to the screen\r\n"; }));
    TGuiReceiver late([&](uint32_t msg, uintptr_t, intptr_t l) -> intptr_t {
        if (msg == CM_IPSOCKETSTATUS)
            seen.push_back("late " + std::to_string(IpLoWord(l)));
        return 0;
    });
    client.RegisterTerminal(late.Target());
    client.CloseSocket();
    EXPECT_TRUE(PumpUntil([&] { return seen.size() == 4; }));
    EXPECT_EQ(seen, (std::vector<std::string>{"1/1", "late 1", "2/1", "late 2"}));
}

TEST_F(SockControl, AHostThatDoesNotResolveIsAnErrorNotAConnectToAnyAddress)
{
    TIpClient client;
    try {
        client.ConnectSocket("http://x..invalid:80/");
        ADD_FAILURE() << "connected";
    } catch (const EIpWinSockError& e) {
        EXPECT_EQ(e.ErrorCode(), 11001);
    }
    try {
        client.ConnectSocket("http://0.0.0.0:80/");
        ADD_FAILURE() << "connected";
    } catch (const EIpWinSockError& e) {
        EXPECT_EQ(e.ErrorCode(), 11001);
    }
    sockaddr_in addr{};
    EXPECT_THROW(client.scString2SockAddr("", addr, 80), EIpWinSockError);
    client.scString2SockAddr("127.0.0.1:8080", addr, 80);
    EXPECT_EQ(ntohs(addr.sin_port), 8080);
    client.scString2SockAddr("127.0.0.1", addr, 80);
    EXPECT_EQ(ntohs(addr.sin_port), 80);
    EXPECT_EQ(addr.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    // A name without dots before the port is the host, not a scheme: never
    // the port read as a numeric address.
    client.scString2SockAddr("localhost:8080", addr, 80);
    EXPECT_EQ(ntohs(addr.sin_port), 8080);
    EXPECT_EQ(addr.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    client.scString2SockAddr("http://localhost:8080/", addr, 80);
    EXPECT_EQ(ntohs(addr.sin_port), 8080);
    EXPECT_EQ(addr.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
}

TEST_F(SockControl, ARefusedConnectIsReportedAndTheSocketStays)
{
    TIpClient client;
    Events ev(client);
    client.ConnectSocket(Loopback(FreePort()));
    ASSERT_TRUE(PumpUntil([&] { return !ev.Errors.empty(); }));
    EXPECT_EQ(ev.Errors[0].first, 10061);
    EXPECT_EQ(ev.Errors[0].second,
              "WinSock Error (10061): Connection refused, on API 'Fd_Connect'");
    EXPECT_TRUE(client.GetActiveSockets());
    EXPECT_FALSE(client.GetConnected());
    EXPECT_THROW(client.SetSockProtocol(spUdp), EIpActiveError);
    client.CloseSocket();
    EXPECT_FALSE(client.GetActiveSockets());
    TIpClient fresh;
    EXPECT_THROW(fresh.GetFixedLineLength(), EIpNoSocketError);
}

TEST_F(SockControl, AnExceptionInTheTimerIsReportedAndTheTimerGoesOn)
{
    PyPeer peer("echo");
    TIpClient client;
    client.SetTimerInterval(20);
    client.SockInits().IdleTimeout = 30;
    Events ev(client);
    int calls = 0;
    client.OnIdleTimeout = [&](QObject*, uint32_t, bool& reset) {
        reset = true;
        if (++calls == 1)
            throw std::runtime_error("handler failed");
    };
    const uint32_t handle = client.ConnectSocket(Loopback(peer.Port()));
    ASSERT_TRUE(PumpUntil([&] { return ev.Connected(handle); }));
    EXPECT_TRUE(PumpUntil([&] { return calls >= 3; }, 3000));
    EXPECT_EQ(client.TimerInterval(), 20u);
    client.SetTimerInterval(0);
    const int before = calls;
    Pump(150);
    EXPECT_EQ(calls, before);
    client.CloseSocket();
}

TEST_F(SockControl, LookupsReplyThroughTheWindow)
{
    TIpClient client;
    std::vector<std::string> replies;
    client.OnAddressReply = [&](QObject*, uint32_t h, in_addr a) {
        replies.push_back(std::to_string(h) + " address " + inet_ntoa(a));
    };
    client.OnNameReply = [&](QObject*, uint32_t h, const std::string& name) {
        replies.push_back(std::to_string(h) + " name " + name);
    };
    client.OnPortReply = [&](QObject*, uint32_t h, int port) {
        replies.push_back(std::to_string(h) + " port " + std::to_string(port));
    };
    client.OnServiceReply = [&](QObject*, uint32_t h, const std::string& s) {
        replies.push_back(std::to_string(h) + " service " + s);
    };
    client.OnErrorReply = [&](QObject*, uint32_t h, int code, const std::string& text) {
        replies.push_back(std::to_string(h) + " error " + std::to_string(code) + " " + text);
    };
    Events ev(client);
    const uint32_t a = client.RequestAddressLookup("localhost");
    const uint32_t n = client.RequestNameLookup(htonl(INADDR_LOOPBACK));
    const uint32_t p = client.RequestPortLookup("pop3");
    const uint32_t s = client.RequestServiceLookup(25);
    const uint32_t e = client.RequestPortLookup("no-such-service");
    ASSERT_TRUE(PumpUntil([&] { return replies.size() == 5; }));
    std::sort(replies.begin(), replies.end());
    std::vector<std::string> expected = {
        std::to_string(a) + " address 127.0.0.1", std::to_string(n) + " name localhost",
        std::to_string(p) + " port 110", std::to_string(s) + " service smtp",
        std::to_string(e) +
            " error 11004 WinSock Error (11004): Valid name, no data record of requested type, "
            "on API 'WsaAsyncGetServByName'"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(replies, expected);
    EXPECT_TRUE(ev.Errors.empty());
    // A reply nobody asked for is ignored.
    client.WndProc(CM_IPASYNCRESULT, a, 0);
    Pump(20);
    EXPECT_EQ(replies.size(), 5u);
    EXPECT_EQ(client.LookupPort("smtp"), 25);
    EXPECT_EQ(client.LookupService(110), "pop3");
    EXPECT_EQ(client.LookupAddress("localhost"), htonl(INADDR_LOOPBACK));
}

} // namespace
