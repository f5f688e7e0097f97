#include "core/core_report.h"

#include <cstdio>
#include <mutex>

#include "platform/dialogs.h"

namespace {
std::mutex g_lock;
CoreReport::Handler g_handler;

constexpr size_t kMaxWaiting = 200;
constexpr size_t kLinesShown = 10;
constexpr size_t kTextShown = 60;

std::mutex g_logLock;
CoreReport::Handler g_logHandler;
std::vector<std::string> g_waiting;
} // namespace

namespace CoreReport {

void SetErrorHandler(Handler handler)
{
    std::lock_guard lock(g_lock);
    g_handler = std::move(handler);
}

void Error(const std::string& text)
{
    Handler handler;
    {
        std::lock_guard lock(g_lock);
        handler = g_handler;
    }
    if (handler)
        handler(text);
    else
        ShowMessageBox(text, "Error", MB_OK, TMsgIcon::Warning);
}

void SetLogHandler(Handler handler)
{
    std::vector<std::string> waiting;
    {
        std::lock_guard lock(g_logLock);
        g_logHandler = handler;
        // Setting none drops the waiting lines.
        waiting.swap(g_waiting);
        if (!handler)
            return;
    }
    for (const std::string& text : waiting)
        handler(text);
}

void Log(const std::string& text)
{
    std::fprintf(stderr, "skipmail: %s\n", text.c_str());
    Handler handler;
    {
        std::lock_guard lock(g_logLock);
        handler = g_logHandler;
        if (!handler) {
            if (g_waiting.size() < kMaxWaiting)
                g_waiting.push_back(text);
            return;
        }
    }
    handler(text);
}

void LogFileLines(const std::string& file, const TFileLines& lines, const std::string& what)
{
    for (size_t i = 0; i < lines.size() && i < kLinesShown; ++i) {
        std::string shown = lines[i].second.substr(0, kTextShown);
        for (char& c : shown)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
                c = '?';
        if (lines[i].second.size() > kTextShown)
            shown += "...";
        Log(file + " line " + std::to_string(lines[i].first) + " " + what + ": " + shown);
    }
    if (lines.size() > kLinesShown)
        Log(file + ": " + std::to_string(lines.size() - kLinesShown) + " more such lines");
}

} // namespace CoreReport
