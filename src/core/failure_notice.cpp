#include "core/failure_notice.h"

#include "core/text_util.h"

namespace FailureNotice {
namespace {

// Calls `fn` with each line (without CR LF) until it returns false.
template <typename Fn> void ForEachLine(std::string_view text, Fn fn)
{
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        const size_t next = end == std::string_view::npos ? text.size() : end + 1;
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (!fn(line))
            return;
        pos = next;
    }
}

} // namespace

std::string SenderAddress(std::string_view line)
{
    std::string result;
    bool colonPassed = false;
    for (char c : line) {
        if (!colonPassed) {
            if (c == ':')
                colonPassed = true;
            continue;
        }
        if (c == ' ' || c == '"') {
            result.clear();
        } else if (c != '<' && c != '>') {
            result += c;
        }
    }
    return result.empty() ? "UNKNOWN" : result;
}

namespace {

// The header's first From line, if any.
bool FindFromLine(std::string_view message, std::string_view& from)
{
    bool found = false;
    ForEachLine(message, [&](std::string_view line) {
        if (line.empty())
            return false; // end of the header
        if (line.size() > 6 && UpperCase(std::string(line.substr(0, 4))) == "FROM") {
            from = line;
            found = true;
            return false;
        }
        return true;
    });
    return found;
}

} // namespace

std::string MessageSender(std::string_view message)
{
    std::string_view from;
    return FindFromLine(message, from) ? SenderAddress(from) : "unknown";
}

bool FromMailSystem(std::string_view message)
{
    std::string_view from;
    return FindFromLine(message, from) && SenderAddress(from) == "UNKNOWN";
}

std::string Build(const std::string& recipient, const std::string& subject,
                  const std::vector<std::string>& failedAddresses, const std::string& errorText,
                  std::string_view message)
{
    std::string out;
    auto line = [&out](std::string_view text) {
        out.append(text);
        out.append("\r\n");
    };
    line("RCPT: " + recipient);
    line("To: " + recipient);
    line("From: \"Mail System\" <>");
    line("Subject: " + subject);
    line("");
    line("Hi. This is the Mail System");
    line("I'm afraid I was not able to deliver your message to the following");
    line("address. This is a permanent error; I've given up. Sorry it did not");
    line("work out.");
    line("");
    for (const auto& address : failedAddresses)
        line("<" + address + ">");
    if (!failedAddresses.empty())
        line("");
    line("The Error provided was:");
    line("");
    line(errorText);
    line("");
    line(" --Below this line is a copy of the message.");
    line(" ");
    int count = 0;
    ForEachLine(message, [&](std::string_view text) {
        line(text);
        return ++count < kQuotedLines;
    });
    return out;
}

} // namespace FailureNotice
