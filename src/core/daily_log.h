#pragma once

#include <atomic>
#include <ctime>
#include <mutex>
#include <string>

// A daily log file under LOGS: prefix + "mmdd" + ".TXT" (LINKCTRL_,
// MAIL_GATEWAY_, FAX_GATEWAY_), a new file each day by its name. Lines are
// appended with CR LF and never removed. Safe to call from any thread.
class TDailyLog {
public:
    explicit TDailyLog(std::string prefix);

    TDailyLog(const TDailyLog&) = delete;
    TDailyLog& operator=(const TDailyLog&) = delete;

    // DataRoot/LOGS/<prefix><mmdd>.TXT for that day.
    std::string PathFor(const std::tm& day) const;
    std::string TodaysPath() const;

    // Appends the line to today's file, creating LOGS when missing. False
    // when LOGS or the file cannot be written; the caller reports that
    // ("Error Creating FILES Directory\n" + path and the like).
    bool AppendLine(const std::string& line);

    // "hh:nn:ss", two blanks and the text: the link control's lines.
    std::string AddTimedLine(const std::string& text);
    // "[dd-mmm-yy hh:nn:ss]", two blanks and the text: the gateways' lines.
    std::string AddStampedLine(const std::string& text);
    // Whether the last Add...Line reached the file.
    bool LastWriteOk() const { return m_lastOk; }

private:
    std::string m_prefix;
    std::mutex m_lock;
    std::atomic<bool> m_lastOk{true};
};
