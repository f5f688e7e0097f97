#include "netproto/core/id_global.h"

#include "platform/clock.h"

#include <thread>

namespace {

// Static start-up runs on the main thread, before main().
const std::thread::id gMainThreadId = std::this_thread::get_id();

} // namespace

uint32_t IdGetTickCount()
{
    return Clock::TickCount();
}

bool IdTicksElapsed(uint32_t start, uint32_t interval)
{
    return Clock::TickElapsed(start, IdGetTickCount(), interval);
}

void IdSleep(uint32_t milliseconds)
{
    SleepMs(milliseconds);
}

bool InMainThread()
{
    return std::this_thread::get_id() == gMainThreadId;
}

bool IsCurrentThread(const TThread& thread)
{
    return thread.IsCurrent();
}

void SetThreadPriorityOf(TThread& thread, TThreadPriority priority)
{
    thread.SetPriority(priority);
}
