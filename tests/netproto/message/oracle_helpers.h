#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "support/shell_command.h"

using OracleRecord = std::vector<std::string>;

// Runs tests/netproto/message/oracle.py with one record per input and
// returns its answers in the same order.
std::vector<OracleRecord> AskPython(const std::string& command,
                                    const std::vector<OracleRecord>& records);

// A fresh directory under the system's temporary path.
std::string MakeScratchDir();

std::string RandomBytes(std::size_t n, unsigned seed);

// Whitespace runs as one blank, trimmed: the form both unfoldings agree on.
std::string Normalized(std::string_view s);
