#pragma once

#include <string>
#include <string_view>
#include <vector>

using OracleRecord = std::vector<std::string>;

// Runs tests/netproto/message/oracle.py with one record per input and
// returns its answers in the same order.
std::vector<OracleRecord> AskPython(const std::string& command,
                                    const std::vector<OracleRecord>& records);

// Output of a shell command; fails the current test when it cannot start.
std::string RunShell(const std::string& command);

// A fresh directory under the system's temporary path.
std::string MakeScratchDir();

std::string RandomBytes(std::size_t n, unsigned seed);
