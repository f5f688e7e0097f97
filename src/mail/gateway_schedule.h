#pragma once

#include <atomic>
#include <ctime>

#include "core/date_time.h"

// When the mail gateway connects by itself: every CHECKMAILINTERVAL minutes
// while polling is on, and at up to four times of day. The gateway window
// asks once a second (POPTimer) which connection is due.
//
// Choices where the station's settings leave room:
// - A time of day fires once a day, at the first tick after it. Times that
//   had already passed when the flags were worked out (start, closing the
//   settings, the end of a dial-up connection) count as done for that day.
// - A new day clears the flags whenever it is first seen, so every time,
//   one minute past midnight included, fires each day, and a day on which
//   no tick ran near midnight does not leave the flags set for good.
// - At most one connection is due per tick; a poll goes before the times.
// - Clock times are local, to whole seconds.
class TGatewaySchedule {
public:
    struct TSettings {
        bool PollingOn = false;
        int IntervalMinutes = 20;
        TDateTime Times[4] = {0, 0, 0, 0}; // only the time of day counts
        bool TimesEnabled[4] = {false, false, false, false};
    };

    enum class TDue { None, Poll, Scheduled };

    // The moment after which the next polled connection is due.
    std::time_t NextPollTime = 0;
    // Connection time i has been made today, or had passed when the flags
    // were worked out.
    bool ScheduleDone[4] = {false, false, false, false};
    // Work the flags out again at the next tick (set after a dial-up
    // connection; its hang-up watchdog reads it too).
    std::atomic<bool> RefreshPending{false};

    // ScheduleDone[i] := the time of day `now` is past time i.
    void UpdateScheduledFlags(const std::tm& now, const TSettings& settings);
    // NextPollTime := now + `minutes`.
    void SetNextPoll(std::time_t now, int minutes);
    // One tick: what is due now. A due time is marked done; `index` gets
    // its number (0-3).
    TDue Tick(std::time_t now, const TSettings& settings, int& index);

    // Seconds since midnight of a time-of-day value.
    static int SecondsOfDay(TDateTime time);

private:
    int FFlagsDay = -1; // the day the flags belong to
};
