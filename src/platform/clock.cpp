#include "platform/clock.h"

#include <atomic>
#include <chrono>

namespace {

std::atomic<int64_t> gOffset{0};

int64_t RawMilliseconds()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace

namespace Clock {

uint32_t TickCount()
{
    return static_cast<uint32_t>(static_cast<uint64_t>(RawMilliseconds() + gOffset.load()));
}

void SetTickOrigin(uint32_t value)
{
    gOffset = static_cast<int64_t>(value) - RawMilliseconds();
}

void ResetTickOrigin()
{
    gOffset = 0;
}

} // namespace Clock
