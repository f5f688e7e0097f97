#pragma once

#include <ctime>
#include <functional>
#include <string>

#include "platform/date_time.h"

// Stamps and times of day as the core's files and logs write them. The core
// stores only time-of-day values as TDateTime (scheduled links, the gateway's
// connection times).

namespace DateTime {

// The local and UTC clocks; tests may pin "now" to a fixed instant.
std::tm NowLocal();
// Seconds since the Unix epoch, from the same clock.
std::time_t NowTime();
std::tm NowUtc();
void SetNowForTest(std::function<std::time_t()> source);

// "dd-mmm-yy" with English month abbreviations, e.g. "07-Mar-24".
std::string FormatDate(const std::tm& t);
// "hh:nn:ss", 24-hour clock.
std::string FormatTime(const std::tm& t);
// "hh:nn".
std::string FormatHourMinute(const std::tm& t);
// "mmdd", as in daily log file names.
std::string FormatMonthDay(const std::tm& t);
// "[dd-mmm-yy hh:nn:ss]", the stamp of the mailbox log and the gateway logs.
std::string BracketStamp(const std::tm& t);

// Time of day as a fraction of a day.
TDateTime TimeOfDay(int hour, int minute, int second = 0);
// The time-of-day part of a value, split into hours, minutes and seconds
// (rounded to the nearest second, so 0.375 is exactly 09:00:00).
void DecodeTimeOfDay(TDateTime value, int& hour, int& minute, int& second);
// "hh:mm" of the time-of-day part.
std::string FormatTimeOfDay(TDateTime value);
// Reads "h:mm", "hh:mm" or "hh:mm:ss" (24-hour). False on anything else.
bool ParseTimeOfDay(const std::string& text, TDateTime& value);

} // namespace DateTime
