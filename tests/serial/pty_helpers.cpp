#include "serial/pty_helpers.h"

#include <QCoreApplication>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <thread>
#include <unistd.h>

PtyPair::PtyPair()
{
    char name[256] = {};
    if (::openpty(&Master_, &Slave_, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    SlavePath_ = name;
    // Raw from the start, so nothing written before the port opens is echoed.
    termios tio{};
    ::tcgetattr(Slave_, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(Slave_, TCSANOW, &tio);
    ::fcntl(Master_, F_SETFD, FD_CLOEXEC);
    ::fcntl(Slave_, F_SETFD, FD_CLOEXEC);
}

PtyPair::~PtyPair()
{
    CloseMaster();
    if (Slave_ >= 0)
        ::close(Slave_);
}

void PtyPair::Bind(unsigned comNumber) const
{
    ::setenv(("SKIPMAIL_COM" + std::to_string(comNumber)).c_str(), SlavePath_.c_str(), 1);
}

void PtyPair::Write(const std::string& bytes) const
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(Master_, bytes.data() + done, bytes.size() - done);
        if (n < 0)
            throw std::runtime_error("pty write failed");
        done += static_cast<std::size_t>(n);
    }
}

std::string PtyPair::Read(std::size_t n, int timeoutMs) const
{
    std::string out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[65536];
    while (out.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              end - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0)
            break;
        pollfd p{Master_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        const ssize_t got = ::read(Master_, buf, std::min(sizeof buf, n - out.size()));
        if (got <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
}

void PtyPair::CloseMaster()
{
    if (Master_ >= 0)
        ::close(Master_);
    Master_ = -1;
}

int CountOpenFds()
{
    int count = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d))
            ++count;
        ::closedir(d);
    }
    return count;
}
