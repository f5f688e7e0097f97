#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

// Problems that the core shows the operator as a message box ("Error Creating
// Directory\n" + path and the like). They may arise on any thread; by default
// they go to the platform dialog host, which shows them on the GUI thread. The
// application may install a handler of its own instead.
namespace CoreReport {

using Handler = std::function<void(const std::string& text)>;

void SetErrorHandler(Handler handler);
void Error(const std::string& text);

// Problems for the record rather than a box (a line of a file that cannot be
// read): standard error at once, and the log handler (the mailbox log). The
// settings are read before the mailbox log exists, so lines logged while no
// handler is set wait for the next one (the first 200 of them); setting none
// drops them.
void SetLogHandler(Handler handler);
void Log(const std::string& text);

// Numbered lines of a file, as read.
using TFileLines = std::vector<std::pair<size_t, std::string>>;
// Logs "<file> line <n> <what>: <text>" for the first ten lines, with
// control characters shown as "?" and long texts cut, then how many more
// such lines there are.
void LogFileLines(const std::string& file, const TFileLines& lines, const std::string& what);

} // namespace CoreReport
