#include "mail/local_mail_text.h"

#include "core/message_store.h"

namespace {

constexpr std::string_view kDefusedEnvelopePrefix = "X-";

// Calls line(text) for each line of `data`; a line ends at CR LF, LF or CR,
// and a last line without an end counts as a line. Empty data has no line.
template <class F> void ForEachLine(std::string_view data, F&& line)
{
    size_t start = 0;
    while (start < data.size()) {
        size_t end = data.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            line(data.substr(start));
            return;
        }
        line(data.substr(start, end - start));
        start = end + 1;
        if (data[end] == '\r' && start < data.size() && data[start] == '\n')
            ++start;
    }
}

} // namespace

namespace LocalMailText {

std::string QueueFileText(const std::vector<std::string>& recipients, std::string_view message)
{
    std::string out;
    out.reserve(message.size() + message.size() / 32 + recipients.size() * 40);
    for (auto it = recipients.rbegin(); it != recipients.rend(); ++it) {
        out += MessageStore::kEnvelopePrefix;
        out += *it;
        out += "\r\n";
    }
    bool first = true;
    ForEachLine(message, [&](std::string_view l) {
        // The store takes every leading "RCPT:" line for the envelope: a
        // message opening with one would add a recipient of its own choosing.
        if (first && !MessageStore::SplitEnvelope(l).empty())
            out += kDefusedEnvelopePrefix;
        first = false;
        out += l;
        out += "\r\n";
    });
    return out;
}

std::string RetrieveText(std::string_view stored)
{
    std::string out;
    out.reserve(stored.size() + stored.size() / 32 + 5);
    ForEachLine(stored, [&](std::string_view l) {
        if (!l.empty() && l.front() == '.')
            out += '.';
        out += l;
        out += "\r\n";
    });
    out += ".\r\n";
    return out;
}

} // namespace LocalMailText
