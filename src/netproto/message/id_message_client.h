// The base of the mail clients: a TCP client that writes a message to its
// connection as RFC 822/MIME text and reads one back.
//
// Every line written for a message is dot-stuffed, header, body and encoder
// output alike, and ends in CR LF: a bare CR or LF inside a line ends the
// line there (RFC 5321 section 2.3.8), so no server can take part of a line
// for the end of the message.
//
// The header lines the client makes (the message's, its parts') are folded
// to the message line length where a blank, TAB or comma outside quotes
// allows, each continuation line beginning with the fold string; a header
// written with NoEncode goes out as it is. Body lines are never folded.
#pragma once

#include "netproto/core/id_tcp_client.h"
#include "netproto/message/id_message_coder.h"

#include <istream>
#include <string>

class TIdMessage;
class TIdText;
class TIdAttachment;

// The lines of a message text that was captured already (dot-stuffing
// undone, no "." line): lines end at CR LF only, as on the wire.
class TIdMessageTextReader : public TIdMessageLineReader {
public:
    explicit TIdMessageTextReader(std::istream& text) : FText(text) {}
    bool ReadLine(std::string& line) override;

private:
    std::istream& FText;
};

class TIdMessageClient : public TIdTCPClient {
public:
    TIdMessageClient();

    int MsgLineLength = 79;
    // Must begin with a blank or TAB, or nothing is folded: a continuation
    // line that does not would start a header field of its own.
    std::string MsgLineFold = "\t";

    // Writes the message; with its NoEncode, the Headers and Body lines as
    // they are.
    virtual void SendMsg(TIdMessage& message, bool headersOnly = false);
    // Reads header lines into the message's Headers until a line equals the
    // terminator (an empty one: until an empty line or the end of the
    // message), then the properties. Returns the line that ended the header,
    // "." for the end of the message.
    virtual std::string ReceiveHeader(TIdMessage& message, const std::string& altTerm = "");
    // Reads the body up to the delimiter line: into Body, or into parts
    // through the decoders unless the message's NoDecode is set.
    virtual void ReceiveBody(TIdMessage& message, const std::string& delimiter = ".");
    // A whole message from the connection, up to its "." line.
    void ReceiveMessage(TIdMessage& message);
    // A whole message from a captured text.
    void ReceiveMessage(TIdMessage& message, std::istream& text);

protected:
    virtual void SendHeader(TIdMessage& message);
    virtual void SendBody(TIdMessage& message);
    virtual void WriteBodyText(TIdMessage& message);
    // One line of a message: dot-stuffed, ended by CR LF.
    void WriteMessageLine(const std::string& line);
    // A header line: folded as above, then as WriteMessageLine.
    void WriteHeaderLine(const std::string& line);
    // After a failed greeting or login: a "QUIT" that is not waited for,
    // then the connection closes. Never raises, so the failure that led here
    // is the one the caller sees.
    void QuitAndClose() noexcept;

private:
    std::string ReadHeader(TIdMessage& message, TIdMessageLineReader& reader,
                           const std::string& altTerm);
    void ReadBody(TIdMessage& message, TIdMessageLineReader& reader);
    void WriteTextPart(const TIdText& part);
    void WriteAttachment(const TIdAttachment& part);
    // The lines coded as the transfer encoding says.
    void WriteCoded(const std::vector<std::string>& lines, const std::string& transferEncoding);
};
