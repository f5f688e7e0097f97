#include "netproto/core/id_global.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

namespace {

// Sets TZ for the scope of a test and restores it.
class TZScope {
public:
    explicit TZScope(const char* zone)
    {
        if (const char* old = getenv("TZ"))
            FOld = old, FHad = true;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~TZScope()
    {
        if (FHad)
            setenv("TZ", FOld.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::string FOld;
    bool FHad = false;
};

struct TFields {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
};

TFields Fields(TDateTime v)
{
    TFields f;
    int ms;
    DecodeDate(v, f.y, f.mo, f.d);
    DecodeTime(v, f.h, f.mi, f.s, ms);
    return f;
}

std::string Show(TDateTime v)
{
    if (v == 0)
        return "None";
    TFields f = Fields(v);
    std::ostringstream o;
    o << f.y << ' ' << f.mo << ' ' << f.d << ' ' << f.h << ' ' << f.mi << ' ' << f.s;
    return o.str();
}

TEST(InternetDate, ParsesTheListedForms)
{
    std::string text = "Tue, 3 Jun 08 10:05:01 +0200";
    EXPECT_EQ(Show(ParseInternetDate(text)), "2008 6 3 10 5 1");
    EXPECT_EQ(text, "+0200");
    text = "Tue,3 Jun 1998";
    EXPECT_EQ(Show(ParseInternetDate(text)), "1998 6 3 0 0 0");
    text = "03-Jun-98 10:05:01";
    EXPECT_EQ(Show(ParseInternetDate(text)), "1998 6 3 10 5 1");
    text = "03-Jun-98";
    EXPECT_EQ(ParseInternetDate(text), 0) << "split at blanks only: no month";
    std::string a = "Jun 3 10:05:01 1998", b = "3 Jun 1998 10:05:01";
    EXPECT_EQ(ParseInternetDate(a), ParseInternetDate(b));
    EXPECT_EQ(Show(ParseInternetDate(a = "Jun 3 10:05:01 1998")), "1998 6 3 10 5 1");
    text = "  Wed,   4   Jul  79  23:59 GMT ";
    EXPECT_EQ(Show(ParseInternetDate(text)), "2079 7 4 23 59 0");
    EXPECT_EQ(text, "GMT");
    text = "1 Jan 80";
    EXPECT_EQ(Show(ParseInternetDate(text)), "1980 1 1 0 0 0");
}

TEST(InternetDate, BadTextGivesNoDateWithoutRaising)
{
    const char* bad[] = {"",
                         "   ",
                         "Tue, 3 Foo 2008 10:00:00",
                         "32 Jun 2008 10:00:00",
                         "31 Apr 2008",
                         "29 Feb 2007",
                         "3 Jun 2008 24:00:00",
                         "3 Jun 2008 10:60:00",
                         "3 Jun 2008 10:05:99",
                         "-3 Jun 2008",
                         "garbage",
                         "Mon,",
                         "3 Jun 99999"};
    for (const char* b : bad) {
        std::string text = b;
        TDateTime v = 1;
        EXPECT_NO_THROW(v = ParseInternetDate(text)) << b;
        EXPECT_EQ(v, 0) << b;
        EXPECT_EQ(InternetDateToLocal(b), 0) << b;
    }
    std::string text = "x 3 Jun 2008 10:05";
    EXPECT_EQ(ParseInternetDate(text), 0) << "non-numeric day becomes 1, then no month";
    text = "Jun x 2008";
    EXPECT_EQ(Show(ParseInternetDate(text)), "2008 6 1 0 0 0") << "non-numeric day is 1";
    text = "3 Jun 2008 1a:05";
    EXPECT_EQ(Show(ParseInternetDate(text)), "2008 6 3 0 5 0") << "non-numeric hour is 0";
}

TEST(InternetDate, ZoneOffsets)
{
    std::string out;
    FormatZoneOffset(true, out, 0);
    EXPECT_EQ(out, "GMT");
    FormatZoneOffset(false, out, 0);
    EXPECT_EQ(out, "+0000");
    FormatZoneOffset(false, out, -5.0 / 24);
    EXPECT_EQ(out, "-0500");
    FormatZoneOffset(true, out, 5.5 / 24);
    EXPECT_EQ(out, "+0530");
    FormatZoneOffset(false, out, ParseZoneOffset("-0330"));
    EXPECT_EQ(out, "-0330");
    EXPECT_DOUBLE_EQ(ParseZoneOffset("+0200"), 2.0 / 24);
    EXPECT_EQ(ParseZoneOffset("GMT"), 0);
    EXPECT_EQ(ParseZoneOffset("+02"), 0);
    EXPECT_EQ(ParseZoneOffset("+0a00"), 0);
    EXPECT_EQ(ParseZoneOffset(""), 0);
}

TEST(InternetDate, FormatAndLocalUnderTZ)
{
    TDateTime d = 0, t = 0;
    TryEncodeDate(2018, 3, 5, d);
    TryEncodeTime(14, 3, 9, 0, t);
    {
        TZScope tz("Europe/Berlin");
        EXPECT_EQ(FormatInternetDate(d + t, false), "Mon, 5 Mar 2018 14:03:09 +0100");
        TryEncodeDate(2018, 7, 5, d);
        EXPECT_EQ(FormatInternetDate(d + t, false), "Thu, 5 Jul 2018 14:03:09 +0200")
            << "the offset of that date, summer time";
        EXPECT_EQ(Show(InternetDateToLocal("Tue, 3 Jun 2008 10:05:01 +0200")), "2008 6 3 10 5 1");
        EXPECT_EQ(Show(InternetDateToLocal("Tue, 3 Jun 2008 10:05:01 GMT")), "2008 6 3 12 5 1");
    }
    {
        TZScope tz("UTC");
        EXPECT_EQ(FormatInternetDate(d + t, true), "Thu, 5 Jul 2018 14:03:09 GMT");
        EXPECT_EQ(LocalOffsetFromUTC(), 0);
        EXPECT_EQ(Show(InternetDateToLocal("Tue, 3 Jun 2008 10:05:01 -0500")), "2008 6 3 15 5 1");
        EXPECT_EQ(Show(InternetDateToLocal("Tue, 3 Jun 2008 01:05:01 +0200")), "2008 6 2 23 5 1");
    }
    {
        TZScope tz("America/St_Johns");
        std::string zone;
        TryEncodeDate(2018, 1, 10, d);
        FormatZoneOffset(false, zone, LocalOffsetFromUTC(d));
        EXPECT_EQ(zone, "-0330");
    }
}

// ---- Oracle: Python's email.utils --------------------------------------

std::vector<std::string> RunOracle(const char* tz, const std::vector<std::string>& requests)
{
    QTemporaryDir dir;
    std::string in = dir.path().toStdString() + "/requests.txt";
    {
        std::ofstream f(in, std::ios::binary);
        for (const auto& r : requests)
            f << r << "\n";
    }
    const char* src = getenv("SKIPMAIL_SOURCE_DIR");
    std::string script =
        std::string(src ? src : "../..") + "/tests/netproto/core/internet_date_oracle.py";
    std::string cmd = std::string("TZ='") + tz + "' python3 '" + script + "' < '" + in + "'";
    std::vector<std::string> lines;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p)
        return lines;
    char buf[512];
    while (fgets(buf, sizeof buf, p)) {
        std::string l = buf;
        while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
            l.pop_back();
        lines.push_back(l);
    }
    EXPECT_EQ(pclose(p), 0) << cmd;
    return lines;
}

// Samples of the forms both sides read the same way: day names or none,
// four-digit and two-digit years (not 69-79, which the two centuries split
// differently), with and without seconds, numeric zones and GMT.
std::vector<std::string> DateTexts()
{
    std::mt19937 rng(20260);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::vector<std::string> out = {"Tue, 3 Jun 08 10:05:01 +0200", "Jun 3 10:05:01 1998",
                                    "Sun, 29 Feb 2004 00:00:00 -1200", "1 Jan 2000 23:59:59 +1400"};
    for (int i = 0; i < 300; ++i) {
        int y = pick(1980, 2060), mo = pick(1, 12), d = pick(1, 28);
        TDateTime date = 0;
        TryEncodeDate(y, mo, d, date);
        char zone[32];
        int zm = pick(-12 * 60, 14 * 60) / 15 * 15;
        std::snprintf(zone, sizeof zone, "%c%02d%02d", zm < 0 ? '-' : '+', std::abs(zm) / 60,
                      std::abs(zm) % 60);
        std::string z = pick(0, 5) == 0 ? "GMT" : zone;
        std::string year = std::to_string(y);
        if (pick(0, 2) == 0 && (y < 2069 && (y >= 2000 || y >= 1980)))
            year = (y % 100 < 10 ? "0" : "") + std::to_string(y % 100);
        char time[48];
        if (pick(0, 3) == 0)
            std::snprintf(time, sizeof time, "%02d:%02d", pick(0, 23), pick(0, 59));
        else
            std::snprintf(time, sizeof time, "%02d:%02d:%02d", pick(0, 23), pick(0, 59),
                          pick(0, 59));
        std::string day = std::to_string(d);
        if (pick(0, 1) == 0 && d < 10)
            day = "0" + day;
        std::string text = day + " " + IdMonthNames[mo - 1] + " " + year + " " + time + " " + z;
        if (pick(0, 2) != 0)
            text = std::string(IdDayNames[DayOfWeek(date) - 1]) + ", " + text;
        out.push_back(text);
    }
    return out;
}

TEST(InternetDateOracle, ParsingAgreesWithPython)
{
    std::vector<std::string> texts = DateTexts();
    std::vector<std::string> requests;
    for (const auto& t : texts)
        requests.push_back("P\t" + t);
    std::vector<std::string> expected = RunOracle("UTC", requests);
    ASSERT_EQ(expected.size(), texts.size()) << "python3 oracle did not answer";
    for (size_t i = 0; i < texts.size(); ++i) {
        std::string rest = texts[i];
        TDateTime v = ParseInternetDate(rest);
        long zone = std::lround(ParseZoneOffset(rest.substr(0, 5)) * 86400);
        std::string got = Show(v) + " " + std::to_string(zone);
        EXPECT_EQ(got, expected[i]) << texts[i];
    }
}

TEST(InternetDateOracle, FormattingAndLocalTimeAgreeWithPythonUnderTZ)
{
    std::mt19937 rng(4101);
    std::uniform_int_distribution<int64_t> when(315532800, 2871763200); // 1980 .. 2061
    std::vector<int64_t> instants;
    for (int i = 0; i < 120; ++i)
        instants.push_back(when(rng));
    std::vector<std::string> texts = DateTexts();
    for (const char* zone : {"UTC", "Europe/Berlin", "America/New_York", "Asia/Kolkata",
                             "America/St_Johns", "Pacific/Chatham"}) {
        TZScope tz(zone);
        std::vector<std::string> requests;
        std::vector<int64_t> used;
        for (int64_t t : instants) {
            // A local time in the hour a clock change repeats names two
            // instants; leave those out.
            TDateTime utc = UnixToDateTime(t);
            if (LocalOffsetMinutesAtUtc(utc - 3.0 / 24) != LocalOffsetMinutesAtUtc(utc + 3.0 / 24))
                continue;
            used.push_back(t);
            requests.push_back("F\t" + std::to_string(t));
        }
        for (const auto& text : texts)
            requests.push_back("L\t" + text);
        std::vector<std::string> expected = RunOracle(zone, requests);
        ASSERT_EQ(expected.size(), requests.size()) << zone;
        size_t k = 0;
        for (int64_t t : used) {
            std::string python = expected[k++];
            // Python writes the day with a leading zero.
            if (python.size() > 6 && python[5] == '0')
                python.erase(5, 1);
            EXPECT_EQ(FormatInternetDate(UtcToLocal(UnixToDateTime(t)), false), python)
                << zone << " at " << t;
        }
        for (const auto& text : texts)
            EXPECT_EQ(Show(InternetDateToLocal(text)), expected[k++]) << zone << ": " << text;
    }
}

} // namespace
