#pragma once

#include <string>

// How a shell command ended: its exit code (-1 when it could not be run or
// did not exit by itself) and what it wrote.
struct TShellResult {
    int Status = -1;
    std::string Output;
};

// Runs the command through the shell; Output holds its standard output and
// standard error together.
TShellResult RunShellCommand(const std::string& command);

// The standard output of a command that must succeed: a command that cannot
// be run or exits with a code other than 0 fails the running test.
std::string RunShell(const std::string& command);
