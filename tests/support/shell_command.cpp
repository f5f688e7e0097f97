#include "support/shell_command.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sys/wait.h>

namespace {

// The command's exit code (-1 as above), its standard output in `out`.
int Run(const std::string& command, std::string& out)
{
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    char buf[4096];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, pipe)) > 0)
        out.append(buf, got);
    const int status = ::pclose(pipe);
    return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

TShellResult RunShellCommand(const std::string& command)
{
    TShellResult result;
    result.Status = Run(command + " 2>&1", result.Output);
    return result;
}

std::string RunShell(const std::string& command)
{
    std::string out;
    EXPECT_EQ(Run(command, out), 0) << command;
    return out;
}
