#include "netlib/base/ip_url.h"

#include "netlib/base/ip_utils.h"
#include "netproto/core/id_global.h"

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

bool IsLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool IsSlash(char c)
{
    return c == '/' || c == '\\';
}

bool Contains(const std::string& s, char c)
{
    return s.find(c) != std::string::npos;
}

std::string TakeWord(std::string& word)
{
    std::string out = std::move(word);
    word.clear();
    return out;
}

} // namespace

TIpCharSet IpCharSet(std::string_view chars)
{
    TIpCharSet set;
    for (char c : chars)
        set.set(static_cast<unsigned char>(c));
    return set;
}

std::string PutEscapes(const std::string& s, const TIpCharSet& escapes)
{
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        const auto code = static_cast<unsigned char>(c);
        if (!escapes.test(code)) {
            out += c;
            continue;
        }
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", code);
        out += hex;
    }
    return out;
}

std::string RemoveEscapes(const std::string& s, const TIpCharSet& escapes)
{
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && HexDigitValue(s[i + 1]) >= 0 &&
            HexDigitValue(s[i + 2]) >= 0) {
            const int code = HexDigitValue(s[i + 1]) * 16 + HexDigitValue(s[i + 2]);
            if (escapes.test(static_cast<size_t>(code))) {
                out += static_cast<char>(code);
                i += 2;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

void SplitParams(const std::string& s, std::vector<std::string>* list)
{
    if (!list)
        return;
    list->clear();
    size_t start = 0;
    for (;;) {
        const size_t amp = s.find('&', start);
        list->push_back(
            s.substr(start, amp == std::string::npos ? std::string::npos : amp - start));
        if (amp == std::string::npos)
            return;
        start = amp + 1;
    }
}

void SplitHttpResponse(const std::string& s, std::string& version, std::string& code,
                       std::string& message)
{
    version.clear();
    code.clear();
    message.clear();
    const size_t first = s.find(' ');
    if (first == std::string::npos) {
        message = s;
        return;
    }
    if (first > 5)
        version = s.substr(5, first - 5);
    const size_t second = s.find(' ', first + 1);
    if (second == std::string::npos) {
        message = s.substr(first + 1);
        return;
    }
    code = s.substr(first + 1, second - first - 1);
    message = s.substr(second + 1);
}

void FieldFix(std::vector<std::string>& list)
{
    if (list.empty())
        return;
    const std::string head = list.front();
    list.erase(list.begin());
    std::string version, code, message;
    SplitHttpResponse(head, version, code, message);
    list.insert(list.begin(),
                {"FullHead=" + head, "Version=" + version, "MsgID=" + code, "Message=" + message});
    for (size_t i = 4; i < list.size(); ++i) {
        const size_t colon = list[i].find(':');
        if (colon != std::string::npos)
            list[i][colon] = '=';
    }
}

std::string ExtractEntityName(const std::string& url)
{
    const size_t slash = url.rfind('/');
    if (slash == std::string::npos)
        return "";
    std::string name = url.substr(slash + 1);
    return Contains(name, '.') ? name : "";
}

std::string ExtractEntityPath(const std::string& url)
{
    const size_t slash = url.rfind('/');
    return slash == std::string::npos ? "" : url.substr(0, slash + 1);
}

std::string GetParentPath(const std::string& path)
{
    if (path == "/")
        return path;
    std::string p = path;
    if (!p.empty() && p.back() == '/')
        p.pop_back();
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? "" : p.substr(0, slash + 1);
}

void SplitCookieFields(const std::string& s, std::vector<std::string>& list)
{
    static const char* const kKeywords[] = {"Version=", "Path=", "Domain=", "Max-Age="};
    size_t start = 0;
    for (;;) {
        const size_t semi = s.find(';', start);
        std::string field(TrimBlanks(std::string_view(s).substr(
            start, semi == std::string::npos ? std::string::npos : semi - start)));
        for (const char* k : kKeywords)
            if (field.rfind(k, 0) == 0) {
                field.insert(field.begin(), '$');
                break;
            }
        list.push_back(field);
        if (semi == std::string::npos)
            return;
        start = semi + 1;
    }
}

bool IpParseURL(const std::string& url, TIpAddrRec& rec)
{
    rec = TIpAddrRec{};
    std::string word, pathBuf;
    bool schemeSeen = false;
    const bool hasAt = Contains(url, '@');
    int state = 0;
    auto endPath = [&](char c) {
        const std::string trimmed = AllTrimSpaces(pathBuf);
        if (!trimmed.empty())
            rec.Path = trimmed;
        pathBuf.clear();
        if (c == '?' || c == '&')
            rec.QueryDelim = c;
    };
    for (size_t i = 0; i < url.size() && state != 1; ++i) {
        const char c = url[i];
        switch (state) {
        case 0:
        case 2:
            if (c == ' ')
                state = 2;
            else if (IsLetter(c) || (state == 2 && (c == '-' || c == '_'))) {
                word += c;
                state = 3;
            } else if (IsDigit(c)) {
                rec.Host += c;
                state = 7;
            } else if (c == '.' || IsSlash(c)) {
                pathBuf += c;
                state = 11;
            } else
                state = 1;
            break;
        case 3:
            if (IsLetter(c) || IsDigit(c) || c == '-' || c == '.' || c == '_')
                word += c;
            else if (IsSlash(c)) {
                if (!schemeSeen && !Contains(word, '.'))
                    pathBuf = TakeWord(word);
                else
                    rec.Host = TakeWord(word);
                pathBuf += c;
                state = 11;
            } else if (c == ':' || c == '|') {
                if (word.size() == 1) {
                    pathBuf = TakeWord(word) + c;
                    state = 6;
                } else if (Contains(word, '.')) {
                    rec.Host = TakeWord(word);
                    state = 10;
                } else if (rec.Scheme.empty()) {
                    rec.Scheme = TakeWord(word);
                    schemeSeen = true;
                    state = 5;
                } else
                    state = 4;
            } else if (c == '@') {
                rec.UserName = TakeWord(word);
                state = 7;
            } else {
                rec.Host = TakeWord(word);
                state = 7;
            }
            break;
        case 4:
            if (c == '@') {
                rec.UserName = TakeWord(word);
                state = 7;
            } else if (IsSlash(c)) {
                rec.Scheme = TakeWord(word);
                schemeSeen = true;
                state = 5;
            } else if (IsDigit(c)) {
                rec.Host = TakeWord(word);
                rec.Port += c;
                state = 10;
            } else if (c == ':') {
                rec.UserName = TakeWord(word);
                state = 9;
            } else if (IsLetter(c)) {
                rec.UserName = TakeWord(word);
                rec.Password += c;
                state = 9;
            }
            break;
        case 5:
            if (c == '/')
                break;
            if (c == '.' || c == '\\') {
                pathBuf += c;
                state = 6;
            } else {
                word = std::string(1, c);
                state = hasAt ? 8 : 3;
            }
            break;
        case 6:
            if (c == '#') {
                endPath(c);
                state = 12;
            } else if (c == '?' || c == '&') {
                endPath(c);
                state = 13;
            } else
                pathBuf += c;
            break;
        case 7:
            if (c == ':')
                state = 10;
            else if (c == ' ')
                state = 14;
            else if (IsSlash(c)) {
                pathBuf += c;
                state = 11;
            } else if (IsLetter(c) || IsDigit(c) || c == '-' || c == '.' || c == '_')
                rec.Host += c;
            break;
        case 8:
            if (c == ':' || c == '|') {
                if (word.size() == 1) {
                    pathBuf = TakeWord(word) + c;
                    state = 6;
                } else {
                    rec.UserName = TakeWord(word);
                    state = 9;
                }
            } else if (c == '@') {
                rec.UserName = TakeWord(word);
                state = 7;
            } else
                word += c;
            break;
        case 9:
            if (c == '@')
                state = 7;
            else
                rec.Password += c;
            break;
        case 10:
            if (c == ' ')
                state = 14;
            else if (IsDigit(c))
                rec.Port += c;
            else if (IsSlash(c)) {
                pathBuf += c;
                state = 11;
            } else
                state = 1;
            break;
        case 11:
            if (c == ' ')
                state = 14;
            else if (c == '#') {
                endPath(c);
                state = 12;
            } else if (c == '?' || c == '&') {
                endPath(c);
                state = 13;
            } else
                pathBuf += c;
            break;
        case 12:
            if (c == '?' || c == '&') {
                endPath(c);
                state = 13;
            } else
                rec.Fragment += c;
            break;
        case 13:
            if (c == ' ')
                state = 14;
            else
                rec.Query += c;
            break;
        case 14:
            if (c != ' ')
                state = 1;
            break;
        }
    }
    if (!word.empty())
        rec.Host = word;
    if (rec.Path.empty()) {
        rec.Path = AllTrimSpaces(pathBuf);
        if (rec.Path.empty())
            rec.Path = "/";
    }
    switch (state) {
    case 6:
    case 7:
    case 10:
    case 11:
    case 12:
    case 13:
    case 14:
        return true;
    default:
        return false;
    }
}

std::string BuildURL(const std::string& oldUrl, const std::string& newUrl)
{
    if (oldUrl.empty())
        return newUrl;
    if (newUrl.empty())
        return oldUrl;
    TIpAddrRec oldRec, newRec;
    IpParseURL(oldUrl, oldRec);
    IpParseURL(newUrl, newRec);
    const std::string base = oldRec.Scheme.empty() ? "" : oldRec.Scheme + "://";
    const std::string port = oldRec.Port.empty() ? "" : ":" + oldRec.Port;
    if (UpperAscii(newRec.Scheme) == "FILE")
        return newRec.Scheme + "://" + newRec.Path;
    if (!newRec.Scheme.empty())
        return newUrl;
    if (newUrl[0] == '/')
        return base + oldRec.Host + port + newUrl;
    if (newUrl[0] != '.') {
        if (UpperAscii(oldRec.Scheme) == "FILE") {
            const size_t end = oldRec.Path.find_last_of("\\:");
            return base + (end == std::string::npos ? "" : oldRec.Path.substr(0, end + 1)) + newUrl;
        }
        std::string dir = ExtractEntityPath(DOSToNetPath(oldRec.Path));
        if (!dir.empty() && dir[0] == '/')
            dir.erase(0, 1);
        std::string out = base;
        if (!oldRec.Host.empty())
            out += oldRec.Host + port + "/";
        return out + dir + newUrl;
    }
    std::string dir = ExtractEntityPath(DOSToNetPath(oldRec.Path));
    if (dir.empty() || dir.back() != '/')
        dir += '/';
    std::string rest = newUrl.size() >= 2 ? newUrl.substr(2) : "";
    size_t up = newUrl.find("../");
    if (up != std::string::npos) {
        size_t last = up;
        while (up != std::string::npos) {
            dir = GetParentPath(dir);
            if (dir.empty())
                dir = "/";
            last = up;
            up = newUrl.find("../", up + 3);
        }
        rest = newUrl.substr(last + 3);
    }
    std::string out = base + oldRec.Host + port + dir + rest;
    const size_t dot = out.find("/./");
    if (dot != std::string::npos)
        out.replace(dot, 3, "/");
    return out;
}

int TimeZoneBias()
{
    return -LocalOffsetMinutesAtLocal(Now());
}

std::string DateTimeToINetDateTimeStr(TDateTime value)
{
    int year, month, day, hour, minute, second, msec;
    DecodeDate(value, year, month, day);
    DecodeTime(value, hour, minute, second, msec);
    const int offset = LocalOffsetMinutesAtLocal(value);
    const int absOffset = offset < 0 ? -offset : offset;
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d %c%02d%02d",
                  IdDayNames[DayOfWeek(value) - 1], day, IdMonthNames[month - 1], year, hour,
                  minute, second, offset < 0 ? '-' : '+', absOffset / 60, absOffset % 60);
    return text;
}

namespace {

struct TDateTokens {
    std::string Weekday, Day, Month, Year, Hour, Minute, Second, Zone;
    bool Am = false;
    bool Pm = false;
};

// Minutes east of UTC of a zone word or number; false when unknown.
bool ZoneOffset(const std::string& zone, int& minutes)
{
    if ((zone[0] == '+' || zone[0] == '-') && zone.size() == 5) {
        const int value = std::atoi(zone.c_str() + 1);
        minutes = (value / 100) * 60 + value % 100;
        if (zone[0] == '-')
            minutes = -minutes;
        return true;
    }
    static const struct {
        const char* Name;
        int Hours;
    } kZones[] = {{"GMT", 0},  {"UT", 0},   {"UTC", 0},  {"Z", 0},    {"EST", -5}, {"EDT", -4},
                  {"CST", -6}, {"CDT", -5}, {"MST", -7}, {"MDT", -6}, {"PST", -8}, {"PDT", -7}};
    const std::string upper = UpperAscii(zone);
    for (const auto& z : kZones)
        if (upper == z.Name) {
            minutes = z.Hours * 60;
            return true;
        }
    return false;
}

int Number(const std::string& digits)
{
    // Tokens hold digits only; a long one cannot be a valid field.
    return digits.size() > 6 ? 1000000 : std::atoi(digits.c_str());
}

} // namespace

TDateTime INetDateStrToDateTime(const std::string& s)
{
    TDateTokens t;
    int state = 0;
    for (char c : s) {
        const bool letter = IsLetter(c);
        const bool digit = IsDigit(c);
        int next = 24;
        switch (state) {
        case 0:
            if (c == ' ')
                next = 1;
            else if (letter)
                t.Weekday += c, next = 2;
            else if (digit)
                t.Day += c, next = 4;
            break;
        case 1:
            if (c == ' ')
                next = 1;
            else if (letter)
                t.Weekday += c, next = 2;
            break;
        case 2:
            if (letter)
                t.Weekday += c, next = 2;
            else if (c == ' ' || c == ',')
                next = 3;
            break;
        case 3:
            if (c == ' ')
                next = 3;
            else if (digit)
                t.Day += c, next = 4;
            else if (letter)
                t.Month += c, next = 6;
            break;
        case 4:
            if (digit)
                t.Day += c, next = 4;
            else if (c == ' ')
                next = 5;
            else if (c == '-')
                next = 8;
            break;
        case 5:
            if (c == ' ')
                next = 5;
            else if (letter)
                t.Month += c, next = 8;
            break;
        case 6:
            if (letter)
                t.Month += c, next = 6;
            else if (c == ' ')
                next = 7;
            break;
        case 7:
            if (c == ' ')
                next = 7;
            else if (digit)
                t.Day += c, next = 10;
            break;
        case 8:
            if (letter)
                t.Month += c, next = 8;
            else if (c == ' ')
                next = 9;
            else if (c == '-')
                next = 11;
            break;
        case 9:
            if (c == ' ')
                next = 9;
            else if (digit)
                t.Year += c, next = 11;
            break;
        case 10:
            if (digit)
                t.Day += c, next = 10;
            else if (c == ' ')
                next = 12;
            else if (c == ',')
                next = 21;
            break;
        case 11:
            if (digit)
                t.Year += c, next = 11;
            else if (c == ' ')
                next = 12;
            break;
        case 12:
            if (c == ' ')
                next = 12;
            else if (digit)
                t.Hour += c, next = 13;
            break;
        case 13:
            if (digit)
                t.Hour += c, next = 13;
            else if (c == ':')
                next = 14;
            break;
        case 14:
            if (digit)
                t.Minute += c, next = 14;
            else if (c == ':')
                next = 15;
            else if (c == ' ')
                t.Second = "00", next = 16;
            break;
        case 15:
            if (digit)
                t.Second += c, next = 15;
            else if (c == ' ')
                next = 16;
            else if (c == 'A' || c == 'a')
                t.Am = true, next = 19;
            else if (c == 'P' || c == 'p')
                t.Pm = true, next = 20;
            break;
        case 16:
            if (c == ' ')
                next = 16;
            else if (digit)
                t.Year += c, next = 17;
            else if (c == '+' || c == '-')
                t.Zone += c, next = 22;
            else if (letter)
                t.Zone += c, next = 23;
            break;
        case 17:
            if (digit)
                t.Year += c, next = 17;
            else if (c == ' ')
                next = 18;
            break;
        case 18:
            if (c == ' ')
                next = 18;
            break;
        case 19:
        case 20:
            if (c == ' ' || c == 'M' || c == 'm')
                next = 16;
            break;
        case 21:
            if (c == ' ')
                next = 21;
            else if (digit)
                t.Year += c, next = 11;
            break;
        case 22:
            if (digit)
                t.Zone += c, next = 22;
            else if (c == ' ')
                next = 18;
            break;
        case 23:
            if (letter)
                t.Zone += c, next = 23;
            else if (c == ' ') {
                const std::string upper = UpperAscii(t.Zone);
                if (upper == "AM" || upper == "PM") {
                    (upper == "AM" ? t.Am : t.Pm) = true;
                    t.Zone.clear();
                    next = 23;
                } else
                    next = 18;
            }
            break;
        }
        state = next;
        if (state == 24)
            return IpNoDate;
    }
    if (state == 23) {
        const std::string upper = UpperAscii(t.Zone);
        if (upper == "AM" || upper == "PM") {
            (upper == "AM" ? t.Am : t.Pm) = true;
            t.Zone.clear();
        }
    }
    if (state == 14) {
        t.Second = "00";
        state = 15;
    }
    if (state != 15 && state != 16 && state != 17 && state != 18 && state != 22 && state != 23)
        return IpNoDate;

    static const std::string kMonths = "JANUARY  FEBRUARY MARCH    APRIL    MAY      JUNE     "
                                       "JULY     AUGUST   SEPTEMBEROCTOBER  NOVEMBER DECEMBER ";
    const std::string monthName = UpperAscii(t.Month);
    int month = 0;
    if (!monthName.empty() && monthName.size() <= 9)
        for (int m = 0; m < 12 && !month; ++m)
            if (kMonths.compare(static_cast<size_t>(m) * 9, monthName.size(), monthName) == 0)
                month = m + 1;
    if (t.Year.empty() || t.Day.empty() || t.Hour.empty() || t.Minute.empty() || t.Second.empty())
        return IpNoDate;
    int year = Number(t.Year);
    if (t.Year.size() == 2)
        year += year >= 70 ? 1900 : 2000;
    const int day = Number(t.Day);
    int hour = Number(t.Hour);
    const int minute = Number(t.Minute);
    const int second = Number(t.Second);
    if (day < 1 || day > 31 || month < 1 || year == 0)
        return IpNoDate;
    if (t.Pm && hour < 12)
        hour += 12;
    if (t.Am && hour == 12)
        hour = 0;
    if (hour > 24 || minute > 60 || second > 60)
        return IpNoDate;
    TDateTime date, time;
    if (!TryEncodeDate(year, month, day, date))
        throw std::invalid_argument("Invalid argument to date encode");
    if (!TryEncodeTime(hour, minute, second, 0, time))
        throw std::invalid_argument("Invalid argument to time encode");
    const TDateTime written = date + time;
    // No zone (or one not known) is read as UTC, as mail and web dates mean.
    int zoneMinutes = 0;
    if (!t.Zone.empty() && !ZoneOffset(t.Zone, zoneMinutes))
        zoneMinutes = 0;
    return UtcToLocal(written - zoneMinutes / 1440.0);
}
