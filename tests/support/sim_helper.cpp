#include "support/sim_helper.h"

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <poll.h>
#include <system_error>
#include <unistd.h>

void StopOnSignals(void (*onStop)(int))
{
    for (const int sig : {SIGTERM, SIGINT})
        if (std::signal(sig, SIG_IGN) != SIG_IGN)
            std::signal(sig, onStop);
    std::signal(SIGUSR2, onStop);
}

bool InputEnded()
{
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (::poll(&input, 1, 0) <= 0)
        return false;
    char buf[256];
    return ::read(STDIN_FILENO, buf, sizeof buf) == 0;
}

bool LinkPty(const std::string& pty, const std::string& link)
{
    ::unlink(link.c_str());
    if (::symlink(pty.c_str(), link.c_str()) != 0) {
        std::perror("symlink");
        return false;
    }
    return true;
}

void UnlinkOwnPty(const std::string& pty, const std::string& link)
{
    std::error_code ec;
    if (std::filesystem::read_symlink(link, ec) == pty && !ec)
        ::unlink(link.c_str());
}
