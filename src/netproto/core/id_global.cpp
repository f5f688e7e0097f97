#include "netproto/core/id_global.h"

#include "platform/clock.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

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

const char* const IdDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const IdMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                      "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

namespace {

// Upper case of a Windows-1252 byte (the texts are 8-bit; the case pairs
// keep their lengths, so positions carry over).
char Upper1252(char ch)
{
    auto c = static_cast<unsigned char>(ch);
    if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
        c = static_cast<unsigned char>(c - 32);
    else if (c == 0x9A || c == 0x9C || c == 0x9E)
        c = static_cast<unsigned char>(c - 16);
    else if (c == 0xFF)
        c = 0x9F;
    return static_cast<char>(c);
}

std::string UpperCase(std::string s)
{
    for (char& c : s)
        c = Upper1252(c);
    return s;
}

bool IsTrimmed(char c)
{
    return static_cast<unsigned char>(c) <= ' ';
}

std::string TrimLeft(const std::string& s)
{
    size_t b = 0;
    while (b < s.size() && IsTrimmed(s[b]))
        ++b;
    return s.substr(b);
}

std::string Trim(const std::string& s)
{
    return std::string(TrimBlanks(s));
}

// Decimal number (optional sign, blanks around) or the default.
int ToIntDef(const std::string& text, int def)
{
    std::string t = Trim(text);
    size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == '-' || t[i] == '+'))
        negative = t[i++] == '-';
    if (i == t.size())
        return def;
    int64_t n = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9')
            return def;
        n = n * 10 + (t[i] - '0');
        if (n > INT32_MAX)
            return def;
    }
    return static_cast<int>(negative ? -n : n);
}

std::string FetchAt(std::string& text, size_t found, size_t delimiterLength, bool remove)
{
    if (found == std::string::npos) {
        std::string result = text;
        if (remove)
            text.clear();
        return result;
    }
    std::string result = text.substr(0, found);
    if (remove)
        text.erase(0, found + delimiterLength);
    return result;
}

size_t Find(const std::string& text, const std::string& delimiter)
{
    // An empty delimiter is never found.
    return delimiter.empty() ? std::string::npos : text.find(delimiter);
}

} // namespace

std::string FetchToken(std::string& text, const std::string& delimiter, bool remove)
{
    return FetchAt(text, Find(text, delimiter), delimiter.size(), remove);
}

std::string FetchTokenNoCase(std::string& text, const std::string& delimiter, bool remove)
{
    return FetchAt(text, Find(UpperCase(text), UpperCase(delimiter)), delimiter.size(), remove);
}

std::string_view TrimBlanks(std::string_view text)
{
    while (!text.empty() && IsTrimmed(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsTrimmed(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string UpperAscii(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

bool SameTextLocale(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && UpperCase(a) == UpperCase(b);
}

int FindInStrArray(const std::string& text, const std::vector<std::string>& items, int highIndex,
                   bool caseSensitive)
{
    int last = MinOf(highIndex, static_cast<int>(items.size()) - 1);
    for (int i = 0; i <= last; ++i)
        if (caseSensitive ? items[static_cast<size_t>(i)] == text
                          : SameTextLocale(items[static_cast<size_t>(i)], text))
            return i;
    return -1;
}

int DayNameToNumber(const std::string& text)
{
    std::string u = UpperCase(text);
    for (int i = 0; i < 7; ++i)
        if (u == UpperCase(IdDayNames[i]))
            return i + 1;
    return 0;
}

int MonthNameToNumber(const std::string& text)
{
    std::string u = UpperCase(text);
    for (int i = 0; i < 12; ++i)
        if (u == UpperCase(IdMonthNames[i]))
            return i + 1;
    return 0;
}

TDateTime LocalOffsetFromUTC()
{
    return LocalOffsetFromUTC(Now());
}

TDateTime LocalOffsetFromUTC(TDateTime localTime)
{
    // The zone rules of TZ always give an offset (UTC when the zone is
    // unknown), so EIdFailedToRetreiveTimeZoneInfo has no cause here.
    int bias = -LocalOffsetMinutesAtLocal(localTime);
    TDateTime t = 0;
    TryEncodeTime(std::abs(bias) / 60, std::abs(bias) % 60, 0, 0, t);
    return bias > 0 ? -t : t;
}

void FormatZoneOffset(bool useGMTWord, std::string& out, TDateTime offset)
{
    long minutes = std::lround(offset * 1440.0);
    if (minutes == 0 && useGMTWord) {
        out = "GMT";
        return;
    }
    long m = std::labs(minutes);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%c%02ld%02ld", minutes < 0 ? '-' : '+', m / 60 % 100, m % 60);
    out = buf;
}

TDateTime ParseZoneOffset(const std::string& text)
{
    if (text.empty() || (text[0] != '+' && text[0] != '-'))
        return 0;
    if (text.size() < 5)
        return 0;
    for (size_t i = 1; i < 5; ++i)
        if (text[i] < '0' || text[i] > '9')
            return 0;
    int hours = (text[1] - '0') * 10 + (text[2] - '0');
    int minutes = (text[3] - '0') * 10 + (text[4] - '0');
    TDateTime t = (hours * 60 + minutes) / 1440.0;
    return text[0] == '-' ? -t : t;
}

std::string FormatInternetDate(TDateTime value, bool useGMTWord)
{
    int year, month, day, hour, minute, second, msec;
    DecodeDate(value, year, month, day);
    DecodeTime(value, hour, minute, second, msec);
    std::string zone;
    FormatZoneOffset(useGMTWord, zone, LocalOffsetFromUTC(value));
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s, %d %s %d %02d:%02d:%02d %s",
                  IdDayNames[DayOfWeek(value) - 1], day, IdMonthNames[month - 1], year, hour,
                  minute, second, zone.c_str());
    return buf;
}

TDateTime ParseInternetDate(std::string& text)
{
    // Folded or doubled blanks count as one blank.
    std::string value;
    for (char c : Trim(text)) {
        bool blank = IsTrimmed(c);
        if (blank && !value.empty() && value.back() == ' ')
            continue;
        value += blank ? ' ' : c;
    }
    text = value;
    if (value.empty())
        return 0;
    if (DayNameToNumber(value.substr(0, 3)) > 0) {
        if (value.size() > 4 && value[3] == ',' && value[4] != ' ')
            value.insert(4, " ");
        FetchToken(value, " ");
    }
    size_t dash = value.find('-');
    size_t blank = value.find(' ');
    std::string delimiter =
        dash != std::string::npos && dash > 0 && blank != std::string::npos && dash < blank ? "-"
                                                                                            : " ";
    int day, month;
    if (MonthNameToNumber(FetchToken(value, delimiter, false)) == 0) {
        day = ToIntDef(FetchToken(value, delimiter), 1);
        month = MonthNameToNumber(FetchToken(value, delimiter));
    } else {
        month = MonthNameToNumber(FetchToken(value, delimiter));
        day = ToIntDef(FetchToken(value, delimiter), 1);
    }
    std::string yearToken = FetchToken(value, " ");
    int year = ToIntDef(yearToken, 1900);
    if (year == 1900) {
        // The time came before the year.
        year = ToIntDef(value, 1900);
        value = yearToken;
    }
    if (year >= 0 && year < 80)
        year += 2000;
    else if (year >= 80 && year <= 99)
        year += 1900;

    TDateTime date = 0, time = 0;
    if (!TryEncodeDate(year, month, day, date)) {
        text = TrimLeft(value);
        return 0;
    }
    if (value.find(':') != std::string::npos) {
        std::string t = FetchToken(value, " ");
        int hour = ToIntDef(FetchToken(t, ":"), 0);
        int minute = ToIntDef(FetchToken(t, ":"), 0);
        int second = ToIntDef(FetchToken(t, " "), 0);
        if (!TryEncodeTime(hour, minute, second, 0, time)) {
            text = TrimLeft(value);
            return 0;
        }
    }
    text = TrimLeft(value);
    return date + time;
}

TDateTime InternetDateToLocal(const std::string& text)
{
    std::string rest = text;
    TDateTime value = ParseInternetDate(rest);
    if (value == 0)
        return 0;
    TDateTime offset = rest.size() >= 5 ? ParseZoneOffset(rest.substr(0, 5)) : 0;
    return UtcToLocal(value - offset);
}

const std::string& IdTempDirectory()
{
    static const std::string dir = [] {
        const char* env = std::getenv("TMPDIR");
        return IncludeBackslash(env && *env ? env : "/tmp");
    }();
    return dir;
}

std::string MakeTempFileName(const std::string& directory)
{
    std::string dir = directory.empty() ? IdTempDirectory() : IncludeBackslash(directory);
    // Like the system call: a 4-digit hex number from the clock, counted up
    // until a name is free.
    unsigned start = (IdGetTickCount() ^ static_cast<unsigned>(getpid()) * 2654435761u) & 0xFFFF;
    for (unsigned i = 0; i < 0x10000; ++i) {
        unsigned n = (start + i) & 0xFFFF;
        if (n == 0)
            continue;
        char name[16];
        std::snprintf(name, sizeof name, "Stn%04X.TMP", n);
        std::string path = dir + name;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            close(fd);
            return path;
        }
        if (errno != EEXIST)
            throw EIdException("Cannot create a temporary file in " + dir + ": " +
                               std::strerror(errno));
    }
    throw EIdException("Cannot create a temporary file in " + dir + ": no free name");
}

void SplitCommaList(std::vector<std::string>& list, const std::string& text)
{
    list.clear();
    std::string part;
    bool quoted = false;
    auto flush = [&] {
        std::string t = Trim(part);
        if (!t.empty())
            list.push_back(t);
        part.clear();
        quoted = false;
    };
    for (char c : text) {
        if (c == ',' && !quoted) {
            flush();
            continue;
        }
        if (c == '"')
            quoted = !quoted;
        part += c;
    }
    flush();
}

int FindInMemory(const std::string& pattern, const char* buffer, int length)
{
    if (pattern.empty() || length < 0 || pattern.size() > static_cast<size_t>(length))
        return 0;
    std::string_view hay(buffer, static_cast<size_t>(length));
    size_t at = hay.find(pattern);
    return at == std::string_view::npos ? 0 : static_cast<int>(at) + 1;
}

int FindFrom(const std::string& pattern, const std::string& text, int start)
{
    if (start < 1)
        start = 1;
    if (pattern.empty() || text.size() < pattern.size() || text.size() < static_cast<size_t>(start))
        return 0;
    size_t at = text.find(pattern, static_cast<size_t>(start - 1));
    return at == std::string::npos ? 0 : static_cast<int>(at) + 1;
}

std::string IncludeBackslash(const std::string& text)
{
    if (!text.empty() && (text.back() == '/' || text.back() == '\\'))
        return text;
    return text + "/";
}

namespace {

void Split(const std::string& text, std::vector<TIdTextPiece>& list, const std::string& delimiter,
           bool trimParts, int positionShift)
{
    list.clear();
    auto add = [&](size_t from, size_t to) {
        std::string part = text.substr(from, to - from);
        if (trimParts)
            part = Trim(part);
        if (!part.empty())
            list.push_back(TIdTextPiece{part, static_cast<int>(from) + 1 + positionShift});
    };
    size_t from = 0;
    if (!delimiter.empty())
        for (size_t at = text.find(delimiter); at != std::string::npos;
             at = text.find(delimiter, from)) {
            add(from, at);
            from = at + delimiter.size();
        }
    add(from, text.size());
}

} // namespace

void SplitAtDelimiter(const std::string& text, std::vector<TIdTextPiece>& list,
                      const std::string& delimiter)
{
    Split(text, list, delimiter, false, 0);
}

void SplitAtDelimiterTrimmed(const std::string& text, std::vector<TIdTextPiece>& list,
                             const std::string& delimiter)
{
    std::string trimmed = Trim(text);
    int leading = static_cast<int>(text.size() - TrimLeft(text).size());
    Split(trimmed, list, delimiter, true, leading);
}

int CharSetKindFromLocale()
{
    std::string locale;
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* v = std::getenv(name);
        if (v && *v) {
            locale = v;
            break;
        }
    }
    if (locale.rfind("zh_CN", 0) == 0)
        return 0;
    if (locale.rfind("zh", 0) == 0)
        return 1;
    if (locale.rfind("ja", 0) == 0)
        return 2;
    if (locale.rfind("ko", 0) == 0)
        return 3;
    return 4;
}

void TIdReadMemoryStream::SetPointer(const void* data, int64_t size)
{
    FData = static_cast<const char*>(data);
    FSize = size < 0 ? 0 : size;
    FPosition = 0;
}

int64_t TIdReadMemoryStream::Read(void* buffer, int64_t count)
{
    if (count <= 0 || FPosition >= FSize)
        return 0;
    int64_t n = std::min(count, FSize - FPosition);
    std::memcpy(buffer, FData + FPosition, static_cast<size_t>(n));
    FPosition += n;
    return n;
}

int64_t TIdReadMemoryStream::Seek(int64_t offset, TSeekOrigin origin)
{
    switch (origin) {
    case soBeginning:
        FPosition = offset;
        break;
    case soCurrent:
        FPosition += offset;
        break;
    case soEnd:
        FPosition = FSize + offset;
        break;
    }
    if (FPosition < 0)
        FPosition = 0;
    return FPosition;
}
