#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <string>

// The mailbox log: each line is "[dd-mmm-yy hh:nn:ss]", two blanks and the
// text (local clock), appended to mailbox_log.txt in the data root, which
// keeps its last 1000 lines. Safe to call from any thread; the Mailbox Status
// window shows the lines through the line hook.
class TMailboxLog {
public:
    static constexpr const char* kFileName = "mailbox_log.txt";
    static constexpr size_t kMaxLines = 1000;

    // Runs on the writer's thread, outside the log's lock, with the line as
    // written (without line end).
    using LineHook = std::function<void(const std::string& line)>;

    // DataRoot/mailbox_log.txt unless a path is given.
    explicit TMailboxLog(std::string path = std::string());

    TMailboxLog(const TMailboxLog&) = delete;
    TMailboxLog& operator=(const TMailboxLog&) = delete;

    void SetOnLine(LineHook hook);

    // Writes the stamped line and gives it back. A file that cannot be
    // written loses the line there (the hook still gets it).
    std::string AddLogLine(const std::string& text);

    static std::string FormatLine(const std::tm& time, const std::string& text);

    const std::string& Path() const { return m_path; }

private:
    void LoadLocked();

    std::string m_path;
    std::mutex m_lock;
    bool m_loaded = false;
    std::deque<std::string> m_lines; // the file's lines, at most kMaxLines
    LineHook m_onLine;
};
