#include "core/mailbox_log.h"

#include <filesystem>

#include "core/date_time.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"

namespace {

// The whole lines of the text, without their CR LF; a last line without its
// line end is left out.
std::vector<std::string> WholeLines(const std::string& data)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = data.find('\n', start)) != std::string::npos; start = end + 1) {
        size_t stop = end;
        if (stop > start && data[stop - 1] == '\r')
            --stop;
        lines.push_back(data.substr(start, stop - start));
    }
    return lines;
}

} // namespace

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

void TMailboxLog::OpenLocked()
{
    m_opened = true;
    m_torn = !CutTornLineLocked();
}

bool TMailboxLog::CutTornLineLocked()
{
    std::string data;
    if (!ReadWholeFile(m_path, data)) {
        std::error_code ec;
        return !std::filesystem::exists(m_path, ec) && !ec;
    }
    m_lineCount = 0;
    for (char c : data)
        m_lineCount += c == '\n';
    // A crash or a full disk in the middle of an append leaves a torn last
    // line; the next line must not be glued to it.
    const size_t whole = data.rfind('\n') + 1; // 0 when there is no line end
    if (whole == data.size())
        return true;
    std::error_code ec;
    std::filesystem::resize_file(m_path, whole, ec);
    return !ec;
}

void TMailboxLog::TrimLocked()
{
    std::string data;
    if (ReadWholeFile(m_path, data)) {
        std::vector<std::string> lines = WholeLines(data);
        const size_t from = lines.size() > kMaxLines ? lines.size() - kMaxLines : 0;
        std::string kept;
        for (size_t i = from; i < lines.size(); ++i)
            kept += lines[i] + "\r\n";
        try {
            WriteFileAtomic(m_path, kept);
        } catch (const std::exception&) {
            // The file keeps its lines; the cut is tried again kMaxLines on.
        }
    }
    m_lineCount = kMaxLines;
}

std::string TMailboxLog::AddLogLine(const std::string& text)
{
    std::string line = FormatLine(DateTime::NowLocal(), text);
    LineHook hook;
    {
        std::lock_guard lock(m_lock);
        if (!m_opened)
            OpenLocked();
        else if (m_torn)
            m_torn = !CutTornLineLocked();
        // A line that cannot be written is lost from the file only. Where a
        // torn line could not be cut, this one still starts a line.
        const bool written = AppendToFile(m_path, (m_torn ? "\r\n" : "") + line + "\r\n");
        m_torn = !written;
        if (written && ++m_lineCount > kTrimAt)
            TrimLocked();
        hook = m_onLine;
    }
    if (hook)
        hook(line);
    return line;
}

std::vector<std::string> TMailboxLog::LastLines()
{
    std::string data;
    {
        std::lock_guard lock(m_lock);
        if (!ReadWholeFile(m_path, data))
            return {};
    }
    std::vector<std::string> lines = WholeLines(data);
    if (lines.size() > kMaxLines)
        lines.erase(lines.begin(), lines.end() - kMaxLines);
    return lines;
}
