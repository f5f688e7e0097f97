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
    TQueueFileWriter writer(recipients, [&out](std::string_view piece) { out += piece; });
    writer.Feed(message);
    writer.Finish();
    return out;
}

TQueueFileWriter::TQueueFileWriter(const std::vector<std::string>& recipients, TOut out)
    : FOut(std::move(out))
{
    for (auto it = recipients.rbegin(); it != recipients.rend(); ++it) {
        FBuf += MessageStore::kEnvelopePrefix;
        FBuf += *it;
        FBuf += "\r\n";
    }
}

void TQueueFileWriter::Put(char c)
{
    if (!FFirstLine) {
        FBuf += c;
        return;
    }
    FFirst += c;
    // Five characters tell whether the line opens with "RCPT:".
    if (FFirst.size() >= 5)
        EndFirstLine();
}

void TQueueFileWriter::EndFirstLine()
{
    if (!FFirstLine)
        return;
    // The store takes every leading "RCPT:" line for the envelope: a message
    // opening with one would add a recipient of its own choosing.
    if (!MessageStore::SplitEnvelope(FFirst).empty())
        FBuf += kDefusedEnvelopePrefix;
    FBuf += FFirst;
    FFirst.clear();
    FFirstLine = false;
}

void TQueueFileWriter::Flush()
{
    if (!FBuf.empty())
        FOut(FBuf);
    FBuf.clear();
}

void TQueueFileWriter::Feed(std::string_view data)
{
    for (char c : data) {
        if (FAfterCR) {
            FAfterCR = false;
            if (c == '\n')
                continue; // the LF of a CR LF already written
        }
        if (c == '\r' || c == '\n') {
            EndFirstLine();
            FBuf += "\r\n";
            FAfterCR = c == '\r';
            FInLine = false;
        } else {
            Put(c);
            FInLine = true;
        }
        if (FBuf.size() >= 64 * 1024)
            Flush();
    }
}

void TQueueFileWriter::Finish()
{
    if (FInLine) {
        EndFirstLine();
        FBuf += "\r\n";
        FInLine = false;
    }
    Flush();
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
