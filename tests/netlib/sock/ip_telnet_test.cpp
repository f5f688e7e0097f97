// The telnet layer against a scripted peer, busybox telnetd and telnetlib.
#include "netlib/sock/ip_sock_clients.h"
#include "sock_test_helpers.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <sys/stat.h>

#include <fstream>

using namespace socktest;

namespace {

class Telnet : public ::testing::Test {
protected:
    static void SetUpTestSuite() { StartSockets(); }
};

struct Terminal : TIpTelnetTerminal {
    std::string TelnetTermType() const override { return "VT100"; }
    std::array<uint8_t, 4> TelnetTermSize() const override { return {0, 80, 0, 24}; }
};

// A telnet client that hands its connection to the terminal once it is up.
struct TelnetClient {
    TIpClient Client;
    Terminal Term;
    Events Ev{Client};

    TelnetClient()
    {
        Client.SockInits().SocketOptions = {soTelnet};
        Client.OnStatus = [this](QObject*, uint32_t socket, TIpStatusType event, const TIpConnRec&,
                                 const TIpSockStatRec&) {
            if (event == stConnect)
                Client.SetMasterTerminal(socket, &Term);
        };
    }
};

std::string Bytes(std::initializer_list<int> bytes)
{
    std::string out;
    for (int b : bytes)
        out += static_cast<char>(b);
    return out;
}

TEST_F(Telnet, NegotiationRepliesAndNvtDataAgainstAScriptedPeer)
{
    PyPeer peer("telnetneg");
    TelnetClient telnet;
    TIpClient& client = telnet.Client;
    Events& ev = telnet.Ev;
    client.ConnectSocket(Loopback(peer.Port()));
    ASSERT_TRUE(PumpUntil([&] { return ev.Lines.size() == 2; }));
    // NVT: CR NUL is a bare CR; IAC IAC one 0xFF.
    EXPECT_EQ(ev.Lines[0], "a\rb\r\n");
    EXPECT_EQ(ev.Lines[1], "c\xff\r\n");
    client.PutString("\xff\r\n", false);
    const std::string replies = peer.Finish()["replies"];
    // WILL NAWS comes before the window size; the type goes out on request.
    EXPECT_EQ(replies, "fffb1f"
                       "fffa1f00500018fff0"
                       "fffb18"
                       "fffd01"
                       "fffe18"
                       "fffc01"
                       "fffa18005654313030fff0"
                       "ffff0d0a");
    client.CloseSocket();
}

TEST_F(Telnet, TheReceiveFilterKeepsUnfinishedCommandsAndCapsSubnegotiations)
{
    TIpClient owner;
    TIpDataInits inits;
    inits.SocketOptions = {soTelnet};
    TIpDataSocket s(&owner, IdWinsock2::INVALID_SOCKET, IpAnyAddress(), &inits, nullptr);
    auto feed = [&](const std::string& in) {
        std::string buf = in;
        const uint32_t n = s.dsTelnetRcv(reinterpret_cast<uint8_t*>(buf.data()),
                                         static_cast<uint32_t>(buf.size()));
        return buf.substr(0, n);
    };
    EXPECT_EQ(feed("ab" + Bytes({255, 250, 24})), "ab");
    EXPECT_EQ(feed(Bytes({1, 255})), "");
    EXPECT_EQ(feed(Bytes({240}) + "cd"), "cd");
    EXPECT_EQ(feed(Bytes({255})), "");
    EXPECT_EQ(feed(Bytes({241}) + "x"), "x"); // IAC NOP, then data
    EXPECT_EQ(feed("\r"), "\r");
    EXPECT_EQ(feed(std::string(1, '\0') + "\r\n"), "\r\n");
    // A subnegotiation past the cap is dropped whole, however it is split.
    const std::string body(6000, 'q');
    EXPECT_EQ(feed(Bytes({255, 250, 24}) + body.substr(0, 5000)), "");
    EXPECT_EQ(feed(body.substr(5000) + Bytes({255, 240}) + "z"), "z");
    // In binary mode every byte passes.
    EXPECT_EQ(feed(Bytes({255, 251, 0})), "");
    EXPECT_EQ(feed(std::string("\r\0\n", 3)), std::string("\r\0\n", 3));
    EXPECT_EQ(feed(std::string("\r\0", 2) + Bytes({255, 255})), std::string("\r\0\xff", 3));
    EXPECT_EQ(TIpDataSocket::dsTelnetSnd("a\xff"), "a\xff\xff");
}

TEST_F(Telnet, WindowSizeReachesBusyboxTelnetd)
{
    QTemporaryDir dir;
    const std::string login = dir.path().toStdString() + "/login.sh";
    // The size is asked again until the window size has arrived, for as long
    // as a busy machine may need (a minute at most).
    std::ofstream(login) << "#!/bin/sh\nfor i in $(seq 300); do\n"
                            "  s=$(stty size); echo \"$s\"; [ \"$s\" = '24 80' ] && exec sleep 60\n"
                            "  sleep 0.2\ndone\n";
    ::chmod(login.c_str(), 0755);
    const int port = FreePort();
    Daemon telnetd;
    if (!telnetd.Start("busybox", {"telnetd", "-F", "-K", "-p", std::to_string(port), "-b",
                                   "127.0.0.1", "-f", "/dev/null", "-l", login}))
        SKIP_WITHOUT_TOOL("busybox is not installed");
    if (!telnetd.WaitListening(port))
        SKIP_WITHOUT_TOOL("busybox has no telnetd");
    TelnetClient telnet;
    TIpClient& client = telnet.Client;
    Events& ev = telnet.Ev;
    client.ConnectSocket(Loopback(port));
    ASSERT_TRUE(PumpUntil(
        [&] { return std::find(ev.Lines.begin(), ev.Lines.end(), "24 80\r\n") != ev.Lines.end(); },
        60000));
    client.CloseSocket();
}

TEST_F(Telnet, PythonTelnetlibTalksToATelnetServer)
{
    QProcess probe;
    probe.start("python3", {"-W", "ignore", "-c", "import telnetlib"});
    if (!probe.waitForFinished(10000) || probe.exitCode() != 0)
        SKIP_WITHOUT_TOOL("this Python has no telnetlib");
    TIpServer server;
    server.SockInits().SocketOptions = {soTelnet};
    server.OnReadLine = [&](QObject*, uint32_t socket, const std::string& line) {
        server.PutString(socket, "got " + line, false);
    };
    server.SetActive(true);
    const char* script = R"(
import sys, telnetlib
tn = telnetlib.Telnet("127.0.0.1", int(sys.argv[1]), 10)
tn.write(b"caf\xff\r\n")
print(tn.read_until(b"\r\n", 10).hex())
tn.close()
)";
    QProcess python;
    python.start("python3",
                 {"-W", "ignore", "-c", script, QString::number(server.ListeningPort())});
    ASSERT_TRUE(python.waitForStarted(5000));
    ASSERT_TRUE(PumpUntil([&] { return python.state() == QProcess::NotRunning; }, 15000));
    EXPECT_EQ(python.readAllStandardOutput().trimmed().toStdString(), "676f7420636166ff0d0a");
}

} // namespace
