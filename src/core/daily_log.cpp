#include "core/daily_log.h"

#include "core/date_time.h"
#include "core/message_store.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"

TDailyLog::TDailyLog(std::string prefix) : m_prefix(std::move(prefix)) {}

std::string TDailyLog::PathFor(const std::tm& day) const
{
    return DataRoot::Path(std::string(DirName::Logs) + "/" + m_prefix +
                          DateTime::FormatMonthDay(day) + ".TXT");
}

std::string TDailyLog::TodaysPath() const
{
    return PathFor(DateTime::NowLocal());
}

bool TDailyLog::AppendLine(const std::string& line)
{
    std::lock_guard lock(m_lock);
    if (!MessageStore::EnsureDirectory(MessageStore::DirPath(DirName::Logs))) {
        m_lastOk = false;
        return false;
    }
    const bool ok = AppendToFile(TodaysPath(), line + "\r\n");
    m_lastOk = ok;
    return ok;
}

std::string TDailyLog::AddTimedLine(const std::string& text)
{
    std::string line = DateTime::FormatTime(DateTime::NowLocal()) + "  " + text;
    AppendLine(line);
    return line;
}

std::string TDailyLog::AddStampedLine(const std::string& text)
{
    std::string line = DateTime::BracketStamp(DateTime::NowLocal()) + "  " + text;
    AppendLine(line);
    return line;
}
