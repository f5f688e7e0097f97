#include "platform/date_time.h"

#include <cmath>
#include <ctime>
#include <sys/time.h>

namespace {

constexpr int64_t kMsPerDay = 86400000;

// Days from 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(y + (month <= 2));
}

const int64_t kEpochDays = DaysFromCivil(1899, 12, 30);

// Whole days and milliseconds of the day, rounded to the millisecond.
void Split(TDateTime value, int64_t& days, int64_t& ms)
{
    if (value >= 0) {
        int64_t total = std::llround(value * kMsPerDay);
        days = total / kMsPerDay;
        ms = total % kMsPerDay;
    } else {
        // Before 1899: the integer part is the day, the fraction the time.
        days = static_cast<int64_t>(std::trunc(value));
        ms = std::llround(std::fabs(value - static_cast<double>(days)) * kMsPerDay);
        if (ms >= kMsPerDay)
            ms = kMsPerDay - 1;
    }
}

bool IsLeap(int y)
{
    return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int OffsetOf(time_t t)
{
    tzset();
    struct tm local {};
    if (!localtime_r(&t, &local))
        return 0;
    return static_cast<int>(local.tm_gmtoff / 60);
}

} // namespace

bool TryEncodeDate(int year, int month, int day, TDateTime& out)
{
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1)
        return false;
    int last = kDays[month - 1] + (month == 2 && IsLeap(year) ? 1 : 0);
    if (day > last)
        return false;
    out = static_cast<double>(
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kEpochDays);
    return true;
}

bool TryEncodeTime(int hour, int minute, int second, int msec, TDateTime& out)
{
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
        msec < 0 || msec > 999)
        return false;
    out = static_cast<double>(((hour * 60 + minute) * 60 + second) * 1000 + msec) / kMsPerDay;
    return true;
}

void DecodeDate(TDateTime value, int& year, int& month, int& day)
{
    int64_t days, ms;
    Split(value, days, ms);
    CivilFromDays(days + kEpochDays, year, month, day);
}

void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& msec)
{
    int64_t days, ms;
    Split(value, days, ms);
    msec = static_cast<int>(ms % 1000);
    second = static_cast<int>(ms / 1000 % 60);
    minute = static_cast<int>(ms / 60000 % 60);
    hour = static_cast<int>(ms / 3600000);
}

int DayOfWeek(TDateTime value)
{
    int64_t days, ms;
    Split(value, days, ms);
    // Day 0 (30 December 1899) was a Saturday.
    int64_t d = (days + 6) % 7;
    if (d < 0)
        d += 7;
    return static_cast<int>(d) + 1;
}

TDateTime UnixToDateTime(int64_t seconds)
{
    return UnixEpochDateTime + static_cast<double>(seconds) / 86400.0;
}

int64_t DateTimeToUnix(TDateTime value)
{
    return std::llround((value - UnixEpochDateTime) * 86400.0);
}

TDateTime Now()
{
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    int offset = OffsetOf(tv.tv_sec);
    return UnixToDateTime(tv.tv_sec + offset * 60) +
           static_cast<double>(tv.tv_usec / 1000) / kMsPerDay;
}

int LocalOffsetMinutesAtUtc(TDateTime utc)
{
    return OffsetOf(static_cast<time_t>(DateTimeToUnix(utc)));
}

int LocalOffsetMinutesAtLocal(TDateTime local)
{
    // The offset an hour either side may differ (a change of daylight time);
    // take the one that maps back onto the given local time, else the first.
    int64_t asUtc = DateTimeToUnix(local);
    int guess = OffsetOf(static_cast<time_t>(asUtc));
    int second = OffsetOf(static_cast<time_t>(asUtc - guess * 60));
    return OffsetOf(static_cast<time_t>(asUtc - second * 60)) == second ? second : guess;
}

TDateTime UtcToLocal(TDateTime utc)
{
    return utc + LocalOffsetMinutesAtUtc(utc) / 1440.0;
}
