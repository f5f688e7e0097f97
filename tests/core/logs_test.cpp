#include <gtest/gtest.h>

#include <thread>

#include "core/daily_log.h"
#include "core/date_time.h"
#include "core/mailbox_log.h"
#include "temp_root_helpers.h"

namespace {

// 7 March 2024 09:05:03 in local time.
std::time_t LocalInstant(int year, int mon, int day, int h, int m, int s)
{
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = mon - 1;
    t.tm_mday = day;
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

struct PinnedClock {
    explicit PinnedClock(std::time_t t)
    {
        DateTime::SetNowForTest([t] { return t; });
    }
    ~PinnedClock() { DateTime::SetNowForTest(nullptr); }
};

int CountLines(const std::string& text)
{
    int n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

} // namespace

TEST(MailboxLog, StampsLinesAndKeepsTheLast1000)
{
    TempRoot root;
    PinnedClock clock(LocalInstant(2024, 3, 7, 9, 5, 3));
    // An existing file from an earlier run, 998 lines long.
    std::string old;
    for (int i = 0; i < 998; ++i)
        old += "old " + std::to_string(i) + "\r\n";
    root.WriteFile("mailbox_log.txt", old);

    TMailboxLog log;
    std::vector<std::string> seen;
    log.SetOnLine([&](const std::string& line) { seen.push_back(line); });
    EXPECT_EQ(log.AddLogLine("User: joe connected"), "[07-Mar-24 09:05:03]  User: joe connected");
    log.AddLogLine("second");
    EXPECT_EQ(CountLines(root.ReadFile("mailbox_log.txt")), 1000);
    log.AddLogLine("third");
    std::string text = root.ReadFile("mailbox_log.txt");
    EXPECT_EQ(CountLines(text), 1000);
    EXPECT_EQ(text.substr(0, 7), "old 1\r\n");
    EXPECT_EQ(text.substr(text.size() - 29), "[07-Mar-24 09:05:03]  third\r\n");
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1], "[07-Mar-24 09:05:03]  second");
}

TEST(MailboxLog, ManyThreadsLoseNoLineAndKeepTheCut)
{
    TempRoot root;
    TMailboxLog log;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 150; ++i)
                log.AddLogLine("t" + std::to_string(t) + " line " + std::to_string(i));
        });
    for (auto& th : threads)
        th.join();
    std::string text = root.ReadFile("mailbox_log.txt");
    EXPECT_EQ(CountLines(text), 1000);
    // Every line whole: stamp, two blanks, text, CR LF.
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find("\r\n", pos);
        ASSERT_NE(eol, std::string::npos);
        std::string line = text.substr(pos, eol - pos);
        EXPECT_EQ(line[0], '[');
        EXPECT_EQ(line.substr(19, 4), "]  t");
        pos = eol + 2;
    }
    // A new writer over the same file keeps cutting it.
    TMailboxLog again;
    again.AddLogLine("after restart");
    EXPECT_EQ(CountLines(root.ReadFile("mailbox_log.txt")), 1000);
}

TEST(DailyLog, OneFilePerDayUnderLogs)
{
    TempRoot root;
    TDailyLog link("LINKCTRL_");
    TDailyLog gateway("MAIL_GATEWAY_");
    {
        PinnedClock clock(LocalInstant(2024, 3, 7, 9, 5, 3));
        EXPECT_EQ(link.AddTimedLine("Modem configuration successful"),
                  "09:05:03  Modem configuration successful");
        EXPECT_EQ(gateway.AddStampedLine("Mail Gateway has started"),
                  "[07-Mar-24 09:05:03]  Mail Gateway has started");
        link.AddTimedLine("second");
        EXPECT_TRUE(link.LastWriteOk());
    }
    {
        PinnedClock clock(LocalInstant(2024, 12, 25, 23, 59, 59));
        link.AddTimedLine("next day");
    }
    EXPECT_EQ(root.ReadFile("LOGS/LINKCTRL_0307.TXT"),
              "09:05:03  Modem configuration successful\r\n09:05:03  second\r\n");
    EXPECT_EQ(root.ReadFile("LOGS/MAIL_GATEWAY_0307.TXT"),
              "[07-Mar-24 09:05:03]  Mail Gateway has started\r\n");
    EXPECT_EQ(root.ReadFile("LOGS/LINKCTRL_1225.TXT"), "23:59:59  next day\r\n");
}

TEST(DailyLog, UnwritableLogsDirectoryIsReported)
{
    TempRoot root;
    root.WriteFile("LOGS", "a file where the directory should be");
    TDailyLog log("FAX_GATEWAY_");
    EXPECT_FALSE(log.AppendLine("x"));
    log.AddStampedLine("y");
    EXPECT_FALSE(log.LastWriteOk());
}
