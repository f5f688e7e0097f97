#pragma once

#include <string>
#include <vector>

// The screen (rows of text, trailing blanks removed) that tmux shows after
// the bytes have been written to an 80 x 24 pane without output processing.
// Empty when tmux cannot be run.
std::vector<std::string> TmuxScreen(const std::string& bytes, int cols = 80, int rows = 24);

// Output of a shell command (standard output only), or empty on failure.
std::string RunCommand(const std::string& command);

// Joins screen rows with newlines, for readable failure messages.
std::string JoinRows(const std::vector<std::string>& rows);
