#include "socket_test_helpers.h"
#include "support/test_host.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace sockettest {

namespace {

int ListenLoopback(int& port, int window)
{
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (window > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 16) != 0)
        throw std::runtime_error("test listener");
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    port = ntohs(sa.sin_port);
    return fd;
}

} // namespace

LoopbackPeer::LoopbackPeer(std::function<void(int fd)> script, int clients, int window)
{
    FListen = ListenLoopback(FPort, window);
    FThread = std::thread([this, script, clients] {
        for (int i = 0; i < clients; ++i) {
            pollfd p{FListen, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0)
                return;
            int c = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                return;
            int one = 1;
            ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            script(c);
            ::close(c);
        }
    });
}

void LoopbackPeer::Join()
{
    if (FThread.joinable())
        FThread.join();
}

LoopbackPeer::~LoopbackPeer()
{
    Join();
    ::close(FListen);
}

void SendRaw(int fd, const std::string& data)
{
    size_t pos = 0;
    while (pos < data.size()) {
        ssize_t n = ::send(fd, data.data() + pos, data.size() - pos, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        pos += static_cast<size_t>(n);
    }
}

std::string RecvUntil(int fd, const std::string& marker, int timeoutMs)
{
    std::string out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    while (marker.empty() || out.find(marker) == std::string::npos) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        end - std::chrono::steady_clock::now())
                                        .count());
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, left) <= 0)
            break;
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::string RecvUntilClose(int fd, int timeoutMs)
{
    return RecvUntil(fd, "", timeoutMs);
}

int UnusedPort()
{
    return FreePortRange(3) + 2;
}

int OpenFdCount()
{
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d))
            ++n;
        ::closedir(d);
    }
    return n;
}

} // namespace sockettest
