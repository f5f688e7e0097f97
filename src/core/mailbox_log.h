#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

// The mailbox log: each line is "[dd-mmm-yy hh:nn:ss]", two blanks and the
// text (local clock), appended to mailbox_log.txt in the data root, which
// keeps its last 1000 lines. Safe to call from any thread; the Mailbox Status
// window shows the lines through the line hook.
//
// A new line is only appended. Once the file passes kTrimAt lines it is cut
// back to its last kMaxLines in one atomic replace, so a line costs about
// its own length twice in writes however full the log is, and a crash at any
// point loses at most the line being written: a cut replaces the file whole,
// and a line torn by a crash or a full disk is dropped before the next one is
// appended.
class TMailboxLog {
public:
    static constexpr const char* kFileName = "mailbox_log.txt";
    static constexpr size_t kMaxLines = 1000;
    static constexpr size_t kTrimAt = 2 * kMaxLines;

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

    // The file's last kMaxLines whole lines, oldest first, without line ends.
    std::vector<std::string> LastLines();

    static std::string FormatLine(const std::tm& time, const std::string& text);

    const std::string& Path() const { return m_path; }

private:
    void OpenLocked();
    // Cuts a torn last line off the file; false when the file may still end
    // in one.
    bool CutTornLineLocked();
    void TrimLocked();

    std::string m_path;
    std::mutex m_lock;
    bool m_opened = false;
    size_t m_lineCount = 0; // whole lines in the file, as far as this writer knows
    bool m_torn = false;    // the last append failed: the file may end in part of a line
    LineHook m_onLine;
};
