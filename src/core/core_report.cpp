#include "core/core_report.h"

#include <cstdio>
#include <mutex>

namespace {
std::mutex g_lock;
CoreReport::Handler g_handler;
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
        std::fprintf(stderr, "%s\n", text.c_str());
}

} // namespace CoreReport
