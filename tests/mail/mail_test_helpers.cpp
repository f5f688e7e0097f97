#include "mail_test_helpers.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "core/config.h"
#include "core/msg_status_frm.h"
#include "core/user_list.h"
#include "platform/data_root.h"
#include "support/shell_command.h"

namespace {

sockaddr_in Loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

} // namespace

TLineClient::TLineClient(int port) : TLineClient(port, 0) {}

TLineClient::TLineClient(int port, int window)
{
    FFd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (window > 0)
        ::setsockopt(FFd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    sockaddr_in a = Loopback(port);
    if (::connect(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(FFd);
        FFd = -1;
    }
}

TLineClient::~TLineClient()
{
    if (FFd >= 0)
        ::close(FFd);
}

void TLineClient::Send(const std::string& bytes)
{
    size_t done = 0;
    while (FFd >= 0 && done < bytes.size()) {
        ssize_t n = ::send(FFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

std::string TLineClient::ReadLine(int timeoutMs)
{
    for (;;) {
        size_t lf = FBuffer.find('\n');
        if (lf != std::string::npos) {
            std::string line = FBuffer.substr(0, lf);
            FBuffer.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return line;
        }
        if (FFd < 0)
            return "<closed>";
        pollfd p{FFd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return "<timeout>";
        char buf[65536];
        ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
        if (n <= 0)
            return "<closed>";
        FBuffer.append(buf, static_cast<size_t>(n));
    }
}

std::string TLineClient::Command(const std::string& line)
{
    SendLine(line);
    return ReadLine();
}

std::vector<std::string> TLineClient::ReadUntilDot()
{
    std::vector<std::string> lines;
    for (;;) {
        std::string l = ReadLine();
        if (l == "." || l == "<closed>" || l == "<timeout>")
            return lines;
        lines.push_back(l);
    }
}

void TLineClient::Abort()
{
    if (FFd < 0)
        return;
    linger l{1, 0};
    ::setsockopt(FFd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(FFd);
    FFd = -1;
}

bool TLineClient::ReadSlowly(std::string& got, size_t step, int pauseMs,
                             const std::function<bool()>& enough)
{
    got += FBuffer;
    FBuffer.clear();
    std::string piece(step, '\0');
    while (!enough()) {
        if (FFd < 0)
            return false;
        pollfd p{FFd, POLLIN, 0};
        if (::poll(&p, 1, 10000) <= 0)
            return false;
        const ssize_t n = ::recv(FFd, piece.data(), piece.size(), 0);
        if (n <= 0)
            return false;
        got.append(piece.data(), static_cast<size_t>(n));
        if (pauseMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    }
    return true;
}

TPortHolder::TPortHolder()
{
    FFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(0);
    if (::bind(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(FFd, 1) != 0)
        throw std::runtime_error("cannot hold a port");
    socklen_t len = sizeof a;
    ::getsockname(FFd, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
}

TPortHolder::~TPortHolder()
{
    ::close(FFd);
}

TOutsideNetwork::TOutsideNetwork()
{
    // Named and numbered after the process, so that runs side by side do not
    // meet; 198.18.0.0/15 is set aside for tests of this kind.
    const int pid = static_cast<int>(::getpid());
    const std::string tag = std::to_string(pid);
    const std::string low = std::to_string((pid / 254) % 256) + "." + std::to_string(pid % 254 + 1);
    FName = "skipmail-outside-" + tag;
    FHostIp = "198.18." + low;
    FClientIp = "198.19." + low;
    const std::string host = "skh" + tag;
    const std::string client = "skc" + tag;
    const std::vector<std::string> steps = {
        "ip netns add " + FName,
        "ip link add " + host + " type veth peer name " + client + " netns " + FName,
        "ip addr add " + FHostIp + "/32 peer " + FClientIp + "/32 dev " + host,
        "ip link set " + host + " up",
        "ip -n " + FName + " addr add " + FClientIp + "/32 peer " + FHostIp + "/32 dev " + client,
        "ip -n " + FName + " link set " + client + " up",
    };
    RunShellCommand("ip netns del " + FName + " 2>/dev/null");
    for (const auto& step : steps) {
        const TShellResult r = RunShellCommand(step);
        if (r.Status != 0) {
            FError = step + ": " + r.Output;
            return;
        }
    }
    FReady = true;
}

TOutsideNetwork::~TOutsideNetwork()
{
    // The host's end of the pair goes with the namespace.
    RunShellCommand("ip netns del " + FName + " 2>/dev/null");
}

int TOutsideNetwork::Connect(int port) const
{
    if (!FReady)
        return -1;
    int fd = -1;
    // Only this thread enters the namespace; its socket stays there.
    std::thread([&] {
        const int ns = ::open(("/run/netns/" + FName).c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0)
            return;
        const bool entered = ::setns(ns, CLONE_NEWNET) == 0;
        ::close(ns);
        if (!entered)
            return;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, FHostIp.c_str(), &a.sin_addr);
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 20000) {
            fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
                return;
            ::close(fd);
            fd = -1;
            QThread::msleep(50);
        }
    }).join();
    return fd;
}

TMailRoot::TMailRoot()
{
    Config = std::make_unique<TConfig>();
    MsgStatus = std::make_unique<TMsgStatusFrm>(nullptr, Config.get());
    Users = std::make_unique<TUserList>();
}

TMailRoot::~TMailRoot()
{
    MsgStatus.reset();
    Users.reset();
    Config.reset();
}

std::string TMailRoot::Path(const std::string& relative) const
{
    return DataRoot::Path(relative);
}

std::vector<std::string> TMailRoot::LogLines() const
{
    std::string text = ReadFile(Path("mailbox_log.txt"));
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string l = text.substr(start, end - start);
        if (!l.empty() && l.back() == '\r')
            l.pop_back();
        lines.push_back(l);
        start = end + 1;
    }
    return lines;
}
