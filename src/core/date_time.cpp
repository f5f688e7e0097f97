#include "core/date_time.h"

#include <cmath>
#include <cstdio>
#include <mutex>

namespace {

std::mutex g_clockLock;
std::function<std::time_t()> g_nowSource;

std::time_t NowSeconds()
{
    std::lock_guard lock(g_clockLock);
    return g_nowSource ? g_nowSource() : std::time(nullptr);
}

const char* const kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::string Format(const char* fmt, int a, int b, int c = 0)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, fmt, a, b, c);
    return buf;
}

} // namespace

namespace DateTime {

std::time_t NowTime()
{
    return NowSeconds();
}

std::tm NowLocal()
{
    std::time_t now = NowSeconds();
    std::tm t{};
    localtime_r(&now, &t);
    return t;
}

std::tm NowUtc()
{
    std::time_t now = NowSeconds();
    std::tm t{};
    gmtime_r(&now, &t);
    return t;
}

void SetNowForTest(std::function<std::time_t()> source)
{
    std::lock_guard lock(g_clockLock);
    g_nowSource = std::move(source);
}

std::string FormatDate(const std::tm& t)
{
    int month = t.tm_mon >= 0 && t.tm_mon < 12 ? t.tm_mon : 0;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02d-%s-%02d", t.tm_mday, kMonths[month],
                  (t.tm_year + 1900) % 100);
    return buf;
}

std::string FormatTime(const std::tm& t)
{
    return Format("%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
}

std::string FormatHourMinute(const std::tm& t)
{
    return Format("%02d:%02d", t.tm_hour, t.tm_min);
}

std::string FormatMonthDay(const std::tm& t)
{
    return Format("%02d%02d", t.tm_mon + 1, t.tm_mday);
}

std::string BracketStamp(const std::tm& t)
{
    return "[" + FormatDate(t) + " " + FormatTime(t) + "]";
}

TDateTime TimeOfDay(int hour, int minute, int second)
{
    return (hour * 3600.0 + minute * 60.0 + second) / 86400.0;
}

void DecodeTimeOfDay(TDateTime value, int& hour, int& minute, int& second)
{
    double fraction = std::fabs(value - std::trunc(value));
    long secs = std::lround(fraction * 86400.0) % 86400;
    hour = static_cast<int>(secs / 3600);
    minute = static_cast<int>(secs / 60 % 60);
    second = static_cast<int>(secs % 60);
}

std::string FormatTimeOfDay(TDateTime value)
{
    int h = 0, m = 0, s = 0;
    DecodeTimeOfDay(value, h, m, s);
    return Format("%02d:%02d", h, m);
}

bool ParseTimeOfDay(const std::string& text, TDateTime& value)
{
    int parts[3] = {0, 0, 0};
    int count = 0;
    size_t i = 0;
    while (count < 3) {
        size_t start = i;
        int n = 0;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 2)
            n = n * 10 + (text[i++] - '0');
        if (i == start)
            return false;
        parts[count++] = n;
        if (i == text.size())
            break;
        if (text[i] != ':')
            return false;
        ++i;
    }
    if (i != text.size() || count < 2)
        return false;
    if (parts[0] > 23 || parts[1] > 59 || parts[2] > 59)
        return false;
    value = TimeOfDay(parts[0], parts[1], parts[2]);
    return true;
}

} // namespace DateTime
