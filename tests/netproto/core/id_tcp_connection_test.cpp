#include "netproto/core/id_tcp_client.h"
#include "socket_test_helpers.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <future>
#include <sstream>
#include <thread>

using sockettest::LoopbackPeer;
using sockettest::SendRaw;

namespace {

void Pause(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

struct Client : TIdTCPClient {
    explicit Client(int port)
    {
        Host = "127.0.0.1";
        Port = port;
    }
};

} // namespace

TEST(TcpConnection, LineSplitAcrossSegmentsAtEveryByte)
{
    // The last part ends at CR LF only: a cut between CR and LF must not end it.
    const std::string wire = "HELO a.b\r\nNEXT\nx\ry\r\n.\r\n";
    for (size_t cut = 1; cut < wire.size(); ++cut) {
        LoopbackPeer peer([&](int fd) {
            SendRaw(fd, wire.substr(0, cut));
            Pause(3);
            SendRaw(fd, wire.substr(cut));
            sockettest::RecvUntilClose(fd, 2000);
        });
        Client c(peer.Port());
        c.Connect();
        EXPECT_EQ(c.ReadLn(), "HELO a.b") << cut;
        EXPECT_EQ(c.ReadLn(), "NEXT") << cut;
        std::vector<std::string> text;
        EXPECT_EQ(c.Capture(&text), 1) << cut;
        EXPECT_EQ(text, std::vector<std::string>{"x\ry"}) << cut;
        c.Disconnect();
    }
}

TEST(TcpConnection, MaxLineLengthBoundaries)
{
    const std::string l16383(16383, 'a'), l16384(16384, 'b'), l16385(16385, 'c');
    LoopbackPeer peer([&](int fd) {
        SendRaw(fd, l16383 + "\r\n" + l16384 + "\r\n" + l16385 + "\r\nafter\r\n" + l16385 + "\n");
        sockettest::RecvUntilClose(fd, 3000);
    });
    Client c(peer.Port());
    c.Connect();
    EXPECT_EQ(c.ReadLn(), l16383);
    EXPECT_EQ(c.ReadLn(), l16384); // exactly the maximum, CR LF not counted
    try {
        c.ReadLn();
        ADD_FAILURE();
    } catch (const EIdReadLnMaxLineLengthExceeded& e) {
        EXPECT_STREQ(e.what(), "Max line length exceeded.");
    }
    // The refused line is gone; the session goes on with the next one.
    EXPECT_EQ(c.ReadLn(), "after");
    c.MaxLineAction = maSplit;
    EXPECT_EQ(c.ReadLn(), std::string(16384, 'c'));
    EXPECT_TRUE(c.ReadLnSplit());
    EXPECT_EQ(c.ReadLn(), "c");
    EXPECT_FALSE(c.ReadLnSplit());
    c.Disconnect();
}

TEST(TcpConnection, OverlongLineArrivingInPartsIsSkippedToItsEnd)
{
    LoopbackPeer peer([&](int fd) {
        SendRaw(fd, std::string(20000, 'x'));
        Pause(20);
        SendRaw(fd, std::string(20000, 'y'));
        Pause(20);
        SendRaw(fd, "zz\r\nQUIT\r\n");
        sockettest::RecvUntilClose(fd, 3000);
    });
    Client c(peer.Port());
    c.Connect();
    EXPECT_THROW(c.ReadLn(), EIdReadLnMaxLineLengthExceeded);
    EXPECT_EQ(c.ReadLn(), "QUIT");
    c.Disconnect();
}

TEST(TcpConnection, PeerClosingMidLine)
{
    LoopbackPeer peer([&](int fd) { SendRaw(fd, "abc"); }, 2);
    {
        Client c(peer.Port());
        c.Connect();
        EXPECT_THROW(c.ReadLn(), EIdConnClosedGracefully);
    }
    Client c(peer.Port());
    c.Connect();
    char buf[3];
    c.ReadBuffer(buf, 3);
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_THROW(c.ReadBuffer(buf, 1), EIdConnClosedGracefully);
}

TEST(TcpConnection, CarriageReturnTerminatorLeavesLineFeed)
{
    LoopbackPeer peer([&](int fd) {
        SendRaw(fd, "abc\r\ndef\r");
        sockettest::RecvUntilClose(fd, 2000);
    });
    Client c(peer.Port());
    c.Connect();
    EXPECT_EQ(c.ReadLn("\r"), "abc");
    EXPECT_EQ(c.ReadLn("\r"), "\ndef");
    c.Disconnect();
}

TEST(TcpConnection, MultiLineResponsesAndSendCmd)
{
    LoopbackPeer peer([&](int fd) {
        SendRaw(fd, "250-first\r\n251 not the end\r\n250-x\r\n250 last\r\n");
        std::string got = sockettest::RecvUntil(fd, "NOOP\r\n");
        SendRaw(fd, got == "NOOP\r\n" ? "550 no\r\n" : "999 bad\r\n");
        sockettest::RecvUntil(fd, "QUIT\r\n");
        SendRaw(fd, "221 bye\r\n");
        sockettest::RecvUntilClose(fd, 2000);
    });
    Client c(peer.Port());
    c.Connect();
    EXPECT_EQ(c.GetResponse(250), 250);
    ASSERT_EQ(c.LastCmdResult().Text().size(), 4u);
    EXPECT_EQ(c.LastCmdResult().Text()[3], "last");
    try {
        c.SendCmd("NOOP", 250);
        ADD_FAILURE();
    } catch (const EIdProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyErrorCode(), 550);
        EXPECT_STREQ(e.what(), "no");
    }
    EXPECT_EQ(c.SendCmd("QUIT", -1), 221);
    c.Disconnect();
}

TEST(TcpConnection, ReadLnWaitSkipsBlankLines)
{
    LoopbackPeer peer([&](int fd) {
        SendRaw(fd, "\r\n  \r\n\t\r\n  x \r\n");
        sockettest::RecvUntilClose(fd, 2000);
    });
    Client c(peer.Port());
    c.Connect();
    EXPECT_EQ(c.ReadLnWait(3), "");
    EXPECT_EQ(c.ReadLnWait(3), "x");
    c.Disconnect();
}

TEST(TcpConnection, CaptureUnstuffsAndEndsOnlyAtCrLfDotCrLf)
{
    LoopbackPeer peer([&](int fd) {
        // A bare LF "." LF inside the text must not end it.
        SendRaw(fd, "a\r\n..b\r\nc\n.\nd\r\n.\r\nnext\r\n");
        SendRaw(fd, "a\r\n..b\r\n.\r\n");
        sockettest::RecvUntilClose(fd, 2000);
    });
    Client c(peer.Port());
    c.Connect();
    std::vector<std::string> lines;
    EXPECT_EQ(c.Capture(&lines), 3);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "a");
    EXPECT_EQ(lines[1], ".b");
    EXPECT_EQ(lines[2], "c\n.\nd");
    EXPECT_EQ(c.ReadLn(), "next");
    std::ostringstream os;
    EXPECT_EQ(c.Capture(&os, ".", false), 2);
    EXPECT_EQ(os.str(), "a\r\n..b\r\n");
    c.Disconnect();
}

TEST(TcpConnection, WritesStuffDotsAndBufferUntilFlushed)
{
    std::string got;
    LoopbackPeer peer([&](int fd) { got = sockettest::RecvUntilClose(fd, 3000); });
    {
        Client c(peer.Port());
        c.Connect();
        c.WriteRFCStrings({".", ".x", "y"});
        c.OpenWriteBuffer();
        c.Write("buffered ");
        c.WriteLn("line");
        c.CloseWriteBuffer();
        std::istringstream in("stream data");
        int workBegin = 0, workEnd = 0;
        c.OnWorkBegin = [&](TIdComponent*, TWorkMode m, int32_t) { workBegin += m == wmWrite; };
        c.OnWorkEnd = [&](TIdComponent*, TWorkMode m) { workEnd += m == wmWrite; };
        c.WriteStream(in);
        c.WriteInteger(0x01020304);
        EXPECT_EQ(workBegin, 1);
        EXPECT_EQ(workEnd, 1);
        c.Disconnect();
    }
    peer.Join();
    EXPECT_EQ(got, std::string("..\r\n..x\r\ny\r\n.\r\nbuffered line\r\nstream data") +
                       std::string("\x01\x02\x03\x04", 4));
}

TEST(TcpConnection, ReadTimeouts)
{
    LoopbackPeer peer([&](int fd) {
        Pause(300);
        SendRaw(fd, "late\r\n");
        Pause(300);
        SendRaw(fd, "slow");
        Pause(600);
        SendRaw(fd, "ly\r\n");
        sockettest::RecvUntilClose(fd, 3000);
    });
    Client c(peer.Port());
    c.Connect();
    // An explicit time-out hands back an empty line and a flag.
    EXPECT_EQ(c.ReadLn("\n", 50), "");
    EXPECT_TRUE(c.ReadLnTimedOut());
    // The default time-out raises.
    c.ReadTimeout = 50;
    EXPECT_THROW(c.ReadLn(), EIdReadTimeout);
    // 0 and any other value below 1 wait without limit.
    c.ReadTimeout = -1;
    EXPECT_EQ(c.ReadLn(), "late");
    EXPECT_FALSE(c.ReadLnTimedOut());
    // A whole-line limit counts from the first wait, not from each byte.
    EXPECT_THROW(c.ReadLnWithin("\r\n", 250), EIdReadTimeout);
    EXPECT_EQ(c.ReadLnWithin("\r\n", 2000), "slowly");
    c.Disconnect();
}

TEST(TcpConnection, AWaitWithoutLimitAfterALimitedOneWaitsForTheData)
{
    LoopbackPeer peer([&](int fd) {
        Pause(700);
        SendRaw(fd, "late\r\n");
        sockettest::RecvUntilClose(fd, 3000);
    });
    Client c(peer.Port());
    c.Connect();
    // The time-outs a read leaves on its socket must not bound the next one.
    EXPECT_THROW(c.ReadLnWithin("\r\n", 300), EIdReadTimeout);
    c.ReadTimeout = 0;
    EXPECT_EQ(c.ReadLn(), "late");
    c.Disconnect();
}

// A peer sends its next line only once it has read the last reply: a line
// wait counts from the last bytes the peer took of what was written before,
// and a peer that takes nothing still times out.
TEST(TcpConnection, ALineWaitCountsFromTheLastBytesThePeerTookOfTheReply)
{
    const std::string reply(384 * 1024, 'r');
    std::promise<void> finished;
    LoopbackPeer peer(
        [&](int fd) {
            // About 400 KB a second: the reply takes two time-outs to read.
            size_t got = 0;
            char piece[8 * 1024];
            while (got < reply.size()) {
                pollfd p{fd, POLLIN, 0};
                if (::poll(&p, 1, 10000) != 1)
                    return;
                const ssize_t n = ::recv(fd, piece, sizeof piece, 0);
                if (n <= 0)
                    return;
                got += static_cast<size_t>(n);
                Pause(20);
            }
            SendRaw(fd, "next\r\n");
            // The second reply it does not read.
            finished.get_future().wait_for(std::chrono::seconds(10));
        },
        1, 16 * 1024);
    Client c(peer.Port());
    c.Connect();
    // The whole reply fits in the send buffer: the write ends at once.
    const int buffer = 1024 * 1024;
    c.Socket()->Binding()->SetSockOpt(Id_SOL_SOCKET, IdWinsock2::WS_SO_SNDBUF, &buffer,
                                      sizeof buffer);
    c.Write(reply);
    EXPECT_EQ(c.ReadLnWithin("\r\n", 500), "next");
    c.Write(reply);
    EXPECT_THROW(c.ReadLnWithin("\r\n", 500), EIdReadTimeout);
    finished.set_value();
    c.Disconnect();
}

TEST(TcpConnection, DefaultReadTimeoutIsBounded)
{
    TIdTCPConnection c;
    EXPECT_GT(c.ReadTimeout, 0);
    EXPECT_GE(IdReadTimeoutSMTP, 5 * 60 * 1000);
    EXPECT_GE(IdReadTimeoutPOP3, 10 * 60 * 1000);
}

TEST(TcpConnection, InterceptSeesAndChangesTraffic)
{
    std::string got;
    LoopbackPeer peer([&](int fd) {
        SendRaw(fd, "hello\r\n");
        got = sockettest::RecvUntil(fd, "\r\n");
    });
    TIdConnectionIntercept icpt;
    icpt.OnReceive = [](TIdConnectionIntercept*, std::string& b) {
        for (auto& ch : b)
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    };
    icpt.OnSend = [](TIdConnectionIntercept*, std::string& b) { b = "[" + b; };
    Client c(peer.Port());
    c.Intercept = &icpt;
    c.Connect();
    EXPECT_EQ(icpt.Connection(), &c);
    EXPECT_EQ(c.ReadLn(), "HELLO");
    c.WriteLn("x");
    c.Disconnect();
    EXPECT_EQ(icpt.Connection(), nullptr);
    peer.Join();
    EXPECT_EQ(got, "[x\r\n");
}

TEST(TcpConnection, WriteToVanishedPeerRaisesSocketError)
{
    // The peer resets only once the client has finished connecting: a reset
    // during Connect is a failed connect, not the write this test is about.
    std::atomic<bool> connected{false};
    LoopbackPeer peer([&](int fd) {
        while (!connected)
            Pause(1);
        // Reset at once: unread data plus close sends RST.
        linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    });
    Client c(peer.Port());
    c.Connect();
    connected = true;
    peer.Join();
    Pause(20);
    std::string big(1 << 16, 'z');
    try {
        for (int i = 0; i < 50; ++i)
            c.Write(big);
        ADD_FAILURE();
    } catch (const EIdSocketError& e) {
        EXPECT_TRUE(e.LastError() == 10054 || e.LastError() == 10058 || e.LastError() == 10053)
            << e.LastError();
    } catch (const EIdConnClosedGracefully&) {
    }
    EXPECT_FALSE(c.Connected());
}

TEST(TcpConnection, ManagedBufferPacksAfterThreshold)
{
    TIdManagedBuffer b;
    int64_t removed = 0;
    b.OnBytesRemoved = [&](int64_t n) { removed += n; };
    std::string data(40000, 'q');
    data[32768] = 'r';
    b.Append(data.data(), data.size());
    for (int i = 0; i < 32; ++i)
        b.Remove(1024);
    EXPECT_EQ(b.Size(), 40000 - 32768);
    EXPECT_EQ(b.Memory()[0], 'r');
    EXPECT_EQ(removed, 32768);
    EXPECT_THROW(b.Remove(b.Size() + 1), EIdNotEnoughDataInBuffer);
    std::string out;
    b.Extract(b.Size(), out);
    EXPECT_EQ(b.Size(), 0);
}
