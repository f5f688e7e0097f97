#include "support/test_host.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStandardPaths>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

TEnvVar::TEnvVar(const char* name, const char* value) : Name_(name)
{
    if (const char* old = std::getenv(name))
        Old_ = old;
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
}

TEnvVar::~TEnvVar()
{
    if (Old_)
        setenv(Name_, Old_->c_str(), 1);
    else
        unsetenv(Name_);
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

int FreePort()
{
    return FreePortRange(1);
}

namespace {

bool Bindable(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return free;
}

} // namespace

int FreePortRange(int count)
{
    // Ports are taken below the kernel's ephemeral range (32768 up), from
    // which the connects and bind(0) of tests running in parallel draw: a
    // port found free there can be handed to someone else before the server
    // under test binds it. Each process starts at its own place.
    static std::atomic<unsigned> next{static_cast<unsigned>(::getpid()) * 151u};
    for (int tries = 0; tries < 4000; ++tries) {
        const int low = 20000 + static_cast<int>(next.fetch_add(1) % 12000u);
        bool free = low + count <= 32000;
        for (int port = low; free && port < low + count; ++port)
            free = Bindable(port);
        if (free)
            return low;
    }
    throw std::runtime_error("no free ports below the ephemeral range");
}

bool HaveProgram(const std::string& program)
{
    if (program.find('/') != std::string::npos)
        return ::access(program.c_str(), X_OK) == 0;
    return !QStandardPaths::findExecutable(QString::fromStdString(program)).isEmpty() ||
           !QStandardPaths::findExecutable(QString::fromStdString(program), {"/usr/sbin", "/sbin"})
                .isEmpty();
}

namespace {

long StatusKb(const char* key)
{
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind(key, 0) == 0)
            return std::atol(line.c_str() + std::strlen(key));
    return 0;
}

} // namespace

long CurrentRssKb()
{
    return StatusKb("VmRSS:");
}

long PeakRssKb()
{
    return StatusKb("VmHWM:");
}

void ResetPeakRss()
{
    std::ofstream("/proc/self/clear_refs") << "5";
}
