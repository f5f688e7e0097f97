#pragma once

#include <cstdint>
#include <string>

class QObject;
class TApdCustomComPort;

// Library ticks: 55 ms each, 18.2 a second.
inline constexpr uint32_t kMsPerTick = 55;

// "COM" followed by the number.
std::string ComName(unsigned portNumber);
// The path with a trailing separator unless it already ends in one.
std::string AddBackSlash(const std::string& path);
// Milliseconds of a running clock, wrapping at 2^32.
uint32_t AdTimeGetTime();
// Busy-waits on the millisecond clock without handling messages.
void DelayMS(uint32_t ms);
// Waits that many ticks, handling the GUI thread's messages meanwhile when
// asked (and when called on the GUI thread); stops early when the
// application is quitting.
void DelayTicks(int32_t ticks, bool yield);
int32_t Secs2Ticks(int32_t secs);
int32_t Ticks2Secs(int32_t ticks);
bool FlagIsSet(uint32_t flags, uint32_t bit);

// Handles pending GUI-thread messages once; gives 0x0012 (quit) when the
// application is quitting, else 0.
uint32_t SafeYield();
inline constexpr uint32_t kQuitMessageId = 0x0012;
// True once the application's event loop is ending.
bool AdAppQuitting();

// The first port component among those the owner holds, searched
// recursively, or none.
TApdCustomComPort* SearchComPort(QObject* owner);

// Event timer in ticks.
struct EventTimer {
    uint32_t StartMs = 0;
    int32_t ExpireTicks = 0;
};
void NewTimer(EventTimer& timer, int32_t ticks);
void NewTimerSecs(EventTimer& timer, int32_t secs);
bool TimerExpired(const EventTimer& timer);
int32_t ElapsedTime(const EventTimer& timer); // ticks
int32_t ElapsedTimeInSecs(const EventTimer& timer);
int32_t RemainingTime(const EventTimer& timer); // ticks
int32_t RemainingTimeInSecs(const EventTimer& timer);
