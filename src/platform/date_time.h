#pragma once

#include <cstdint>
#include <ctime>

// Date-times as the system stores them: days since 30 December 1899, the
// fraction being the time of day. Local time unless a name says UTC.
using TDateTime = double;

// Unix time 0 as a TDateTime.
inline constexpr TDateTime UnixEpochDateTime = 25569.0;

// False (and `out` untouched) for a date that does not exist.
bool TryEncodeDate(int year, int month, int day, TDateTime& out);
// False unless hour 0-23, minute and second 0-59, msec 0-999.
bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& out);
void DecodeDate(TDateTime value, int& year, int& month, int& day);
void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& msec);
// 1 = Sunday ... 7 = Saturday.
int DayOfWeek(TDateTime value);

// Seconds since the Unix epoch to a date-time on the same scale and back.
TDateTime UnixToDateTime(int64_t seconds);
int64_t DateTimeToUnix(TDateTime value);

// The current local date-time.
TDateTime Now();
// Local time minus UTC, in minutes, at the given UTC or local date-time
// (the zone rules of TZ, daylight saving time included).
int LocalOffsetMinutesAtUtc(TDateTime utc);
int LocalOffsetMinutesAtLocal(TDateTime local);
// UTC to local time by the zone rules of that instant.
TDateTime UtcToLocal(TDateTime utc);
