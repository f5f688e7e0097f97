#include "support/sim_helper.h"

#include "platform/command_line.h"

#include <algorithm>
#include <charconv>
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

std::optional<int> ReadSimOptions(int argc, char** argv, const char* program, const char* usage,
                                  const std::vector<TSimOption>& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (CommandLine::IsHelp(arg))
            return CommandLine::Help(usage);
        const auto option = std::find_if(options.begin(), options.end(),
                                         [&](const TSimOption& o) { return o.Name == arg; });
        if (option == options.end())
            return CommandLine::Unknown(program, arg, usage);
        if (option->HasValue && i + 1 == argc)
            return CommandLine::Refuse(program, arg + " needs a value", usage);
        const std::string value = option->HasValue ? argv[++i] : "";
        std::string why;
        if (!option->Take(value, why))
            return CommandLine::Refuse(program, arg + " " + value + ": " + why, usage);
    }
    return std::nullopt;
}

std::function<bool(const std::string&, std::string&)> SetFlag(bool& to)
{
    return [&to](const std::string&, std::string&) {
        to = true;
        return true;
    };
}

bool TakeCount(const std::string& value, int& to, std::string& why)
{
    const char* end = value.data() + value.size();
    int count = 0;
    const auto [last, ec] = std::from_chars(value.data(), end, count);
    if (value.empty() || ec != std::errc() || last != end || count < 0) {
        why = "not a whole number from 0 up";
        return false;
    }
    to = count;
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
