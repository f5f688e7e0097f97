#pragma once

#include <cstdint>

// The source of the 32-bit millisecond tick counter: a steady clock, so wall
// clock changes never move it. The value wraps after 2^32 ms; elapsed time is
// the unsigned difference of two readings.
namespace Clock {

uint32_t TickCount();

// Test hook: the counter reads `value` now and counts on from there, so a test
// can start it just below the wrap.
void SetTickOrigin(uint32_t value);
// Back to the natural origin (the steady clock's own).
void ResetTickOrigin();

// True once (now - start) has reached `interval`, across the wrap too.
inline bool TickElapsed(uint32_t start, uint32_t now, uint32_t interval)
{
    return static_cast<uint32_t>(now - start) >= interval;
}

} // namespace Clock
