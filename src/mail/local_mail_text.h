#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The two text conversions of the local mail servers.
namespace LocalMailText {

// A queue file for a message received from a mail client: one "RCPT: " line
// per recipient, the last recipient first, the outside client's line when
// the client is outside the station's networks (see core/message_store.h),
// then the message. Every line ends in CR LF: a bare LF or CR in the message
// also ends a line, and a last line without a line end gets one. A first
// message line that would read as one more envelope line gets "X-" in front.
std::string QueueFileText(const std::vector<std::string>& recipients, std::string_view message,
                          const std::string& outsideClient = {});

// The same text made from a message fed in pieces of any size, handed on in
// pieces, so that a message of any size takes little memory.
class TQueueFileWriter {
public:
    using TOut = std::function<void(std::string_view)>;
    TQueueFileWriter(const std::vector<std::string>& recipients, TOut out,
                     const std::string& outsideClient = {});
    void Feed(std::string_view data);
    // Ends the last line and hands on what is held.
    void Finish();
    // The size of the message part made so far (without the envelope), as
    // the router counts it against the size limit.
    uint64_t MessageBytes() const { return FMessageBytes; }

private:
    void Put(char c);
    void EndFirstLine();
    void Flush();
    TOut FOut;
    std::string FBuf;
    // The first line is held until it is known not to read as an envelope line.
    bool FFirstLine = true;
    std::string FFirst;
    bool FAfterCR = false;
    bool FInLine = false;
    uint64_t FMessageBytes = 0;
};

// A stored message as a POP3 client must receive it after the "+OK" line:
// every line ended by CR LF (a bare LF or CR ends a line too), every line
// that begins with "." given one more ".", and the closing "." line, which
// stands on a line of its own also when the message has no last line end.
// Made from the message fed in pieces of any size and handed on in pieces
// of about 64 KB after the text it starts with (the "+OK" line), so that
// sending a message of any size takes little memory.
class TRetrieveWriter {
public:
    using TOut = std::function<void(std::string_view)>;
    TRetrieveWriter(std::string start, TOut out);
    void Feed(std::string_view data);
    // Ends the last line, adds the "." line and hands on what is held.
    void Finish();
    // Whether any text has been handed on yet.
    bool Started() const { return FStarted; }

private:
    void Flush();
    TOut FOut;
    std::string FBuf;
    bool FStarted = false;
    bool FAfterCR = false;
    bool FInLine = false;
};

} // namespace LocalMailText
