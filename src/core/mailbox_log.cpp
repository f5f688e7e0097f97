#include "core/mailbox_log.h"

#include "core/date_time.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"

TMailboxLog::TMailboxLog(std::string path)
    : m_path(path.empty() ? DataRoot::Path(kFileName) : std::move(path))
{
}

void TMailboxLog::SetOnLine(LineHook hook)
{
    std::lock_guard lock(m_lock);
    m_onLine = std::move(hook);
}

std::string TMailboxLog::FormatLine(const std::tm& time, const std::string& text)
{
    return DateTime::BracketStamp(time) + "  " + text;
}

void TMailboxLog::LoadLocked()
{
    m_loaded = true;
    m_lines.clear();
    std::string data;
    if (!ReadWholeFile(m_path, data))
        return;
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find('\n', start);
        size_t stop = end == std::string::npos ? data.size() : end;
        std::string line = data.substr(start, stop - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        m_lines.push_back(std::move(line));
        if (m_lines.size() > kMaxLines)
            m_lines.pop_front();
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
}

std::string TMailboxLog::AddLogLine(const std::string& text)
{
    std::string line = FormatLine(DateTime::NowLocal(), text);
    LineHook hook;
    {
        std::lock_guard lock(m_lock);
        if (!m_loaded)
            LoadLocked();
        bool cut = m_lines.size() >= kMaxLines;
        m_lines.push_back(line);
        while (m_lines.size() > kMaxLines)
            m_lines.pop_front();
        if (cut) {
            // Full: the file is rewritten whole with its last 1000 lines.
            std::string all;
            for (const std::string& l : m_lines)
                all += l + "\r\n";
            try {
                WriteFileAtomic(m_path, all);
            } catch (const std::exception&) {
                // The line is lost from the file only; the window still shows it.
            }
        } else {
            // A line that cannot be written is lost from the file only.
            AppendToFile(m_path, line + "\r\n");
        }
        hook = m_onLine;
    }
    if (hook)
        hook(line);
    return line;
}
