#include "mail/local_mail_text.h"

#include <algorithm>

#include "core/message_store.h"

namespace {

constexpr std::string_view kDefusedEnvelopePrefix = "X-";
constexpr size_t kPieceSize = 64 * 1024;

} // namespace

namespace LocalMailText {

std::string QueueFileText(const std::vector<std::string>& recipients, std::string_view message,
                          const std::string& outsideClient)
{
    std::string out;
    out.reserve(message.size() + message.size() / 32 + recipients.size() * 40);
    TQueueFileWriter writer(
        recipients, [&out](std::string_view piece) { out += piece; }, outsideClient);
    writer.Feed(message);
    writer.Finish();
    return out;
}

TQueueFileWriter::TQueueFileWriter(const std::vector<std::string>& recipients, TOut out,
                                   const std::string& outsideClient)
    : FOut(std::move(out))
{
    const std::vector<std::string> lastFirst(recipients.rbegin(), recipients.rend());
    FBuf = MessageStore::AddEnvelope(lastFirst, {}, outsideClient);
}

void TQueueFileWriter::Put(char c)
{
    ++FMessageBytes;
    if (!FFirstLine) {
        FBuf += c;
        return;
    }
    FFirst += c;
    if (FFirst.size() >= MessageStore::kEnvelopeTagLength)
        EndFirstLine();
}

void TQueueFileWriter::EndFirstLine()
{
    if (!FFirstLine)
        return;
    // The store takes every leading envelope line for the envelope: a
    // message opening with one would add a recipient of its own choosing.
    if (MessageStore::IsEnvelopeLine(FFirst)) {
        FBuf += kDefusedEnvelopePrefix;
        FMessageBytes += kDefusedEnvelopePrefix.size();
    }
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
            FMessageBytes += 2;
            FAfterCR = c == '\r';
            FInLine = false;
        } else {
            Put(c);
            FInLine = true;
        }
        if (FBuf.size() >= kPieceSize)
            Flush();
    }
}

void TQueueFileWriter::Finish()
{
    if (FInLine) {
        EndFirstLine();
        FBuf += "\r\n";
        FMessageBytes += 2;
        FInLine = false;
    }
    Flush();
}

TRetrieveWriter::TRetrieveWriter(std::string start, TOut out)
    : FOut(std::move(out)), FBuf(std::move(start))
{
}

void TRetrieveWriter::Flush()
{
    if (FBuf.empty())
        return;
    FStarted = true;
    FOut(FBuf);
    FBuf.clear();
}

void TRetrieveWriter::Feed(std::string_view data)
{
    size_t i = 0;
    while (i < data.size()) {
        const char c = data[i];
        if (FAfterCR) {
            FAfterCR = false;
            if (c == '\n') {
                ++i; // the LF of a CR LF already written
                continue;
            }
        }
        if (c == '\r' || c == '\n') {
            FBuf += "\r\n";
            FAfterCR = c == '\r';
            FInLine = false;
            ++i;
        } else {
            if (!FInLine && c == '.')
                FBuf += '.';
            const size_t end = std::min(data.find_first_of("\r\n", i), data.size());
            FBuf.append(data.substr(i, end - i));
            FInLine = true;
            i = end;
        }
        if (FBuf.size() >= kPieceSize)
            Flush();
    }
}

void TRetrieveWriter::Finish()
{
    if (FInLine)
        FBuf += "\r\n";
    FInLine = false;
    FBuf += ".\r\n";
    Flush();
}

} // namespace LocalMailText
