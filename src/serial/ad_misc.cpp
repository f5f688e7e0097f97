#include "serial/ad_misc.h"

#include "platform/clock.h"
#include "serial/ad_port.h"

#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <chrono>
#include <thread>

std::string ComName(unsigned portNumber)
{
    return "COM" + std::to_string(portNumber);
}

std::string AddBackSlash(const std::string& path)
{
    if (!path.empty() && (path.back() == '/' || path.back() == '\\' || path.back() == ':'))
        return path;
    return path + "/";
}

uint32_t AdTimeGetTime()
{
    return Clock::TickCount();
}

void DelayMS(uint32_t ms)
{
    const uint32_t start = AdTimeGetTime();
    while (AdTimeGetTime() - start < ms) {
        // Sleeping in small slices keeps the wait exact enough without burning a core.
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

namespace {
bool OnGuiThread()
{
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}
} // namespace

bool AdAppQuitting()
{
    auto* app = QCoreApplication::instance();
    return !app || QCoreApplication::closingDown();
}

uint32_t SafeYield()
{
    if (AdAppQuitting())
        return kQuitMessageId;
    if (OnGuiThread())
        QCoreApplication::processEvents();
    return AdAppQuitting() ? kQuitMessageId : 0;
}

void DelayTicks(int32_t ticks, bool yield)
{
    if (ticks <= 0)
        return;
    const uint32_t span = static_cast<uint32_t>(ticks) * kMsPerTick;
    const uint32_t start = AdTimeGetTime();
    const bool pump = yield && OnGuiThread();
    while (AdTimeGetTime() - start < span) {
        if (pump) {
            if (SafeYield() == kQuitMessageId)
                return;
        } else if (AdAppQuitting()) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

int32_t Secs2Ticks(int32_t secs)
{
    return static_cast<int32_t>((static_cast<int64_t>(secs) * 1675) / 92);
}

int32_t Ticks2Secs(int32_t ticks)
{
    return static_cast<int32_t>(((static_cast<int64_t>(ticks) + 9) * 92) / 1675);
}

bool FlagIsSet(uint32_t flags, uint32_t bit)
{
    return (flags & bit) != 0;
}

TApdCustomComPort* SearchComPort(QObject* owner)
{
    if (!owner)
        return nullptr;
    // Depth first, in the order the components were made.
    for (QObject* child : owner->children()) {
        if (auto* port = qobject_cast<TApdCustomComPort*>(child))
            return port;
        if (auto* port = SearchComPort(child))
            return port;
    }
    return nullptr;
}

void NewTimer(EventTimer& timer, int32_t ticks)
{
    timer.StartMs = AdTimeGetTime();
    timer.ExpireTicks = ticks;
}

void NewTimerSecs(EventTimer& timer, int32_t secs)
{
    NewTimer(timer, Secs2Ticks(secs));
}

int32_t ElapsedTime(const EventTimer& timer)
{
    return static_cast<int32_t>((AdTimeGetTime() - timer.StartMs) / kMsPerTick);
}

bool TimerExpired(const EventTimer& timer)
{
    if (timer.ExpireTicks <= 0)
        return true;
    const uint32_t elapsed = AdTimeGetTime() - timer.StartMs;
    return elapsed >= static_cast<uint32_t>(timer.ExpireTicks) * kMsPerTick;
}

int32_t ElapsedTimeInSecs(const EventTimer& timer)
{
    return static_cast<int32_t>((AdTimeGetTime() - timer.StartMs) / 1000);
}

int32_t RemainingTime(const EventTimer& timer)
{
    const int32_t left = timer.ExpireTicks - ElapsedTime(timer);
    return left > 0 ? left : 0;
}

int32_t RemainingTimeInSecs(const EventTimer& timer)
{
    return Ticks2Secs(RemainingTime(timer));
}
