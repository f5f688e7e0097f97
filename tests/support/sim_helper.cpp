#include "support/sim_helper.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
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

bool TakeFlag(int& argc, char** argv, const char* flag)
{
    const auto end = argv + argc;
    const auto kept =
        std::remove_if(argv + 1, end, [&](const char* arg) { return std::strcmp(arg, flag) == 0; });
    if (kept == end)
        return false;
    argc = static_cast<int>(kept - argv);
    argv[argc] = nullptr;
    return true;
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
