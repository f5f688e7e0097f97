#include "core/core_report.h"

#include <mutex>

#include "platform/dialogs.h"

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
        ShowMessageBox(text, "Error", MB_OK, TMsgIcon::Warning);
}

} // namespace CoreReport
