#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "core/daily_log.h"
#include "core/date_time.h"
#include "core/mailbox_log.h"
#include "platform/atomic_file.h"
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

ino_t Inode(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

std::string NumberedLines(const std::string& prefix, int from, int to)
{
    std::string text;
    for (int i = from; i < to; ++i)
        text += prefix + std::to_string(i) + "\r\n";
    return text;
}

void DieInTheCut(const std::string&)
{
    _exit(3);
}

} // namespace

// A full log grows by appends alone; only past twice its size is it cut
// back, in one replace, to the last 1000 lines.
TEST(MailboxLog, AppendsLinesAndCutsToTheLast1000PastTwiceThat)
{
    TempRoot root;
    PinnedClock clock(LocalInstant(2024, 3, 7, 9, 5, 3));
    const std::string old = NumberedLines("old ", 0, 1998);
    root.WriteFile("mailbox_log.txt", old);
    const std::string path = root.Path("mailbox_log.txt");
    const ino_t before = Inode(path);

    TMailboxLog log;
    std::vector<std::string> seen;
    log.SetOnLine([&](const std::string& line) { seen.push_back(line); });
    EXPECT_EQ(log.AddLogLine("User: joe connected"), "[07-Mar-24 09:05:03]  User: joe connected");
    log.AddLogLine("second");
    EXPECT_EQ(root.ReadFile("mailbox_log.txt"), old +
                                                    "[07-Mar-24 09:05:03]  User: joe connected\r\n"
                                                    "[07-Mar-24 09:05:03]  second\r\n");
    EXPECT_EQ(Inode(path), before) << "appended, not rewritten";

    log.AddLogLine("third");
    std::string text = root.ReadFile("mailbox_log.txt");
    EXPECT_EQ(CountLines(text), 1000);
    EXPECT_EQ(text.substr(0, 10), "old 1001\r\n");
    EXPECT_EQ(text.substr(text.size() - 29), "[07-Mar-24 09:05:03]  third\r\n");
    const std::vector<std::string> last = log.LastLines();
    ASSERT_EQ(last.size(), 1000u);
    EXPECT_EQ(last.front(), "old 1001");
    EXPECT_EQ(last.back(), "[07-Mar-24 09:05:03]  third");
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
            for (int i = 0; i < 300; ++i)
                log.AddLogLine("t" + std::to_string(t) + " line " + std::to_string(i));
        });
    for (auto& th : threads)
        th.join();
    // 2400 lines: cut to 1000 at the 2001st, then 399 more.
    std::string text = root.ReadFile("mailbox_log.txt");
    EXPECT_EQ(CountLines(text), 1399);
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
    // A new writer over the same file counts its lines and cuts it in time.
    TMailboxLog again;
    for (int i = 0; i < 601; ++i)
        again.AddLogLine("after restart");
    EXPECT_EQ(CountLines(root.ReadFile("mailbox_log.txt")), 2000);
    again.AddLogLine("after restart");
    EXPECT_EQ(CountLines(root.ReadFile("mailbox_log.txt")), 1000);
}

// A crash while the file is cut leaves every line, the new one too; the next
// run cuts it.
TEST(MailboxLog, CrashDuringTheCutLosesNoLine)
{
    TempRoot root;
    PinnedClock clock(LocalInstant(2024, 3, 7, 9, 5, 3));
    const std::string old = NumberedLines("old ", 0, 2000);
    root.WriteFile("mailbox_log.txt", old);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        SetAtomicWriteHook(&DieInTheCut);
        TMailboxLog log;
        log.AddLogLine("the 2001st");
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(WEXITSTATUS(status), 3) << "the cut must have reached the hook";
    EXPECT_EQ(root.ReadFile("mailbox_log.txt"), old + "[07-Mar-24 09:05:03]  the 2001st\r\n");

    TMailboxLog log;
    log.AddLogLine("next run");
    const std::vector<std::string> last = log.LastLines();
    EXPECT_EQ(CountLines(root.ReadFile("mailbox_log.txt")), 1000);
    ASSERT_EQ(last.size(), 1000u);
    EXPECT_EQ(last[997], "old 1999");
    EXPECT_EQ(last[998], "[07-Mar-24 09:05:03]  the 2001st");
}

// A crash in the middle of an append leaves a torn last line: it is dropped,
// not glued to the next one.
TEST(MailboxLog, ATornLastLineIsDroppedBeforeTheNext)
{
    TempRoot root;
    PinnedClock clock(LocalInstant(2024, 3, 7, 9, 5, 3));
    root.WriteFile("mailbox_log.txt", "[07-Mar-24 09:00:00]  one\r\n[07-Mar-24 09:0");
    TMailboxLog log;
    EXPECT_EQ(log.LastLines(), std::vector<std::string>{"[07-Mar-24 09:00:00]  one"});
    log.AddLogLine("two");
    EXPECT_EQ(root.ReadFile("mailbox_log.txt"),
              "[07-Mar-24 09:00:00]  one\r\n[07-Mar-24 09:05:03]  two\r\n");
}

// A full disk cuts a line short; once there is room again the next line
// starts a line of its own, and a restart reads every line whole.
TEST(MailboxLog, ALineCutShortByAFullDiskIsNotGluedToTheNext)
{
    TempRoot root;
    PinnedClock clock(LocalInstant(2024, 3, 7, 9, 5, 3));
    const std::string one = "[07-Mar-24 09:00:00]  one\r\n";
    root.WriteFile("mailbox_log.txt", one);
    TMailboxLog log;
    log.AddLogLine("before");
    const std::string before = one + "[07-Mar-24 09:05:03]  before\r\n";
    ASSERT_EQ(root.ReadFile("mailbox_log.txt"), before);
    {
        // The file may grow by ten bytes more: the next line is cut there.
        struct rlimit old {};
        ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
        struct rlimit full = old;
        full.rlim_cur = before.size() + 10;
        const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &full), 0);
        log.AddLogLine("cut short by the full disk");
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldSignal);
    }
    ASSERT_EQ(root.ReadFile("mailbox_log.txt"), before + "[07-Mar-24") << "the disk was full";
    log.AddLogLine("after");
    EXPECT_EQ(root.ReadFile("mailbox_log.txt"), before + "[07-Mar-24 09:05:03]  after\r\n");
    TMailboxLog restarted;
    EXPECT_EQ(restarted.LastLines(),
              (std::vector<std::string>{"[07-Mar-24 09:00:00]  one", "[07-Mar-24 09:05:03]  before",
                                        "[07-Mar-24 09:05:03]  after"}));
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
