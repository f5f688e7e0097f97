#include "netlib/term/ip_term_emulator.h"
#include "netlib/term/ip_terminal.h"
#include "netlib/term/term_helpers.h"
#include "support/test_host.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// vttest on a pseudo-terminal behind socat, on a loopback port of its own.
class TVttestHost {
public:
    bool Start()
    {
        for (int attempt = 0; attempt < 3 && FSocket < 0; ++attempt) {
            const int port = FreePort();
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.insert("TERM", "vt100");
            FSocat.setProcessEnvironment(env);
            FSocat.start("socat", {QString("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr").arg(port),
                                   "EXEC:vttest 24x80.132,pty,setsid,ctty,stderr"});
            if (!FSocat.waitForStarted(3000))
                return false;
            // socat may be slow to listen on a busy machine.
            QElapsedTimer timer;
            timer.start();
            while (FSocket < 0 && timer.elapsed() < 20000 && FSocat.state() == QProcess::Running) {
                QThread::msleep(50);
                FSocket = Connect(port);
            }
            if (FSocket < 0)
                Stop();
        }
        return FSocket >= 0;
    }
    void Stop()
    {
        if (FSocket >= 0)
            ::close(FSocket);
        FSocket = -1;
        FSocat.kill();
        FSocat.waitForFinished(3000);
    }
    ~TVttestHost() { Stop(); }

    void Send(const char* data, int count)
    {
        if (FSocket >= 0 && ::send(FSocket, data, size_t(count), MSG_NOSIGNAL) != count)
            ADD_FAILURE() << "send to vttest failed";
    }
    // What arrives until vttest waits for a key: a screen ends with its
    // prompt, the menu with its question, the start with the identify query.
    // A busy machine may hold vttest up anywhere, so no quiet time is taken
    // for the end; only a minute without the prompt gives up.
    std::string Receive()
    {
        static const char* const kEnds[] = {"Push <RETURN>",
                                            "Enter choice number (0 - 12): ", "\x1b[0c"};
        auto waiting = [](const std::string& got) {
            for (const char* end : kEnds) {
                const std::string e(end);
                if (got.size() >= e.size() && got.compare(got.size() - e.size(), e.size(), e) == 0)
                    return true;
            }
            return false;
        };
        std::string got;
        char buf[4096];
        QElapsedTimer timer;
        timer.start();
        while (!waiting(got)) {
            const qint64 left = 60000 - timer.elapsed();
            pollfd p{FSocket, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, int(left)) <= 0)
                break;
            const ssize_t n = ::recv(FSocket, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            got.append(buf, size_t(n));
        }
        return got;
    }

private:
    static int FreePort()
    {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
        ::close(s);
        return ntohs(a.sin_port);
    }
    static int Connect(int port)
    {
        const int s = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(uint16_t(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            return s;
        ::close(s);
        return -1;
    }
    QProcess FSocat;
    int FSocket = -1;
};

// The terminal answers vttest's queries over the connection.
class TVttestTerminal : public TIpCustomTerminal {
public:
    explicit TVttestTerminal(TVttestHost& host) : FHost(host) {}
    bool IsMasterTerminal() const override { return true; }
    void SendToHost(const char* data, int count) override { FHost.Send(data, count); }

private:
    TVttestHost& FHost;
};

// vttest's own description of a screen, where tmux shows it otherwise.
using TScreenCheck = void (*)(const std::vector<std::string>& screen);

struct TStep {
    const char* Keys;
    const char* Screen;           // compared when not null
    TScreenCheck Check = nullptr; // in place of tmux
};

// "The left/right margins should have letters in order": I to Z down the
// left edge and i to z down the right edge of rows 3 to 20.
void AutowrapLettersInOrder(const std::vector<std::string>& screen)
{
    for (int row = 3; row <= 20; ++row) {
        const std::string& line = screen[size_t(row - 1)];
        ASSERT_EQ(line.size(), 80u) << row;
        EXPECT_EQ(line.front(), 'I' + row - 3) << row;
        EXPECT_EQ(line.back(), 'i' + row - 3) << row;
        EXPECT_EQ(line.substr(1, 78), std::string(78, ' ')) << row;
    }
}

// The origin-mode line at the bottom, the other one above it.
void OriginModeLines(const std::vector<std::string>& screen)
{
    EXPECT_EQ(screen[23], "Origin mode test. This line should be at the bottom of the screen.");
    EXPECT_EQ(screen[22].rfind("This line should be the one above the bottom of the screen.", 0),
              0u);
}

TEST(IpVT100Emulator, VttestBasicScreensMatchTmux)
{
    if (RunCommand("for t in vttest socat tmux; do command -v $t; done | wc -l") != "3\n")
        SKIP_WITHOUT_TOOL("vttest, socat or tmux is not installed");
    TVttestHost host;
    ASSERT_TRUE(host.Start());
    TVttestTerminal terminal(host);
    TIpVT100Emulator vt;
    terminal.SetEmulator(&vt);

    // Cursor movements (menu 1) and screen features (menu 2): the 80-column
    // screens; tmux has no 132-column mode.
    const TStep steps[] = {
        {"", nullptr}, // the identify query; the answer goes back at once
        {"", "main menu"},
        {"1\r", "cursor movements: border"},
        {"\r", nullptr},
        {"\r", "autowrap, mixing control and print characters", AutowrapLettersInOrder},
        {"\r", nullptr},
        {"\r", "cursor-control characters inside escape sequences"},
        {"\r", "leading zeros in escape sequences"},
        {"\r", nullptr},
        {"2\r", "wrap around"},
        {"\r", "tab setting and resetting"},
        {"\r", nullptr},
        {"\r", "80 columns, light background"},
        {"\r", nullptr},
        {"\r", "80 columns, dark background"},
        {"\r", "soft scroll, region 12 to 13"},
        {"\r", "soft scroll, whole screen"},
        {"\r", "jump scroll, region 12 to 13"},
        {"\r", "jump scroll, whole screen"},
        {"\r", "origin mode, bottom lines", OriginModeLines},
        {"\r", "origin mode, top line"},
        {"\r", "graphic rendition, dark background"},
        {"\r", "graphic rendition, light background"},
    };
    std::string stream;
    for (const TStep& step : steps) {
        host.Send(step.Keys, int(strlen(step.Keys)));
        const std::string got = host.Receive();
        stream += got;
        vt.ProcessString(got);
        if (!step.Screen)
            continue;
        SCOPED_TRACE(step.Screen);
        if (step.Check)
            step.Check(vt.ScreenText());
        else
            EXPECT_EQ(JoinRows(vt.ScreenText()), JoinRows(TmuxScreen(stream)));
    }
}

} // namespace
