#include "platform/data_root.h"

#include <mutex>
#include <unistd.h>

#include <climits>

namespace {
std::mutex g_lock;
std::string g_root;
bool g_captured = false;
} // namespace

namespace DataRoot {

void Capture()
{
    std::lock_guard lock(g_lock);
    if (g_captured)
        return;
    char buf[PATH_MAX];
    g_root = getcwd(buf, sizeof buf) ? buf : ".";
    g_captured = true;
}

void Set(const std::string& dir)
{
    std::lock_guard lock(g_lock);
    g_root = dir;
    while (g_root.size() > 1 && g_root.back() == '/')
        g_root.pop_back();
    g_captured = true;
}

const std::string& Get()
{
    if (!g_captured)
        Capture();
    return g_root;
}

std::string Path(const std::string& relative)
{
    return Get() + "/" + relative;
}

} // namespace DataRoot
