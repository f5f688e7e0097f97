// The SMTP server towards the mail clients of the LAN: command order and
// argument checks, sender and recipient events, and the captured message
// handed to an event as a stream, as header and body lines, or parsed into
// its parts.
//
// Every receive mode captures the message the same way first (size, line
// and storage limits included). A message that the parsed mode cannot read
// is refused with 554 and the session goes on; the attachments it reads go
// to temporary files that are deleted with the message after the event.
//
// Decided here:
// - RCPT with no address ("TO:" alone, or "<>") would go to OnCommandRCPT
//   with an empty address, and the station's event forwards every address
//   (251); we answer 501 and never ask the event: an empty recipient names
//   no mailbox, so the message would be taken with 250 and filed nowhere.
#pragma once

#include "netproto/message/id_email_address.h"
#include "netproto/protocols/id_tcp_server.h"

#include <cstdint>
#include <functional>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

class TIdMessage;

class TIdSMTPGreeting {
public:
    TIdSMTPGreeting();
    std::string HelloReply = "Hello %s";
    std::string NoHello = "Polite people say HELO";
    std::string AuthFailed = "Authentication Failed";
    // Three lines: "250-" and the local host name, "250-AUTH LOGIN", "250 HELP".
    std::vector<std::string> EHLOReply;
    std::string EHLONotSupported = "Command Not Recognised";
};

class TIdSMTPRcpReplies {
public:
    std::string AddressOkReply = "%s Address Okay";
    std::string AddressErrorReply = "%s Address Error";
    std::string AddressWillForwardReply = "User not local, Will forward";
};

class TIdSMTPDataReplies {
public:
    std::string StartDataReply = "Start mail input; end with <CRLF>.<CRLF>";
    std::string EndDataReply = "Ok";
};

class TIdSMTPMessages {
public:
    void Assign(const TIdSMTPMessages& source) { *this = source; }

    std::string NoopReply = "Ok";
    std::string RSetReply = "Ok";
    std::string QuitReply = "Signing Off";
    std::string ErrorReply = "Syntax Error - Command not understood: %s";
    std::string SequenceError;
    std::string NotLoggedIn;
    std::string ReceivedHeader = "by DNSName [127.0.0.1] running SkipMail SMTP";
    std::string XServer = "SkipMail SMTP Server";
    std::string SyntaxErrorReply = "Syntax Error - Command not understood: %s";
    TIdSMTPGreeting Greeting;
    TIdSMTPRcpReplies RcpReplies;
    TIdSMTPDataReplies DataReplies;
};

enum TIdSMTPReceiveMode { rmRaw, rmMessage, rmMessageParsed };
enum TIdStreamType { stFileStream, stMemoryStream };

// The state of one SMTP connection.
class TIdSMTPServerThread : public TIdPeerThread {
public:
    TIdSMTPServerThread();
    // Forgets the sender and the recipients.
    void ResetTransaction();

    // 0 fresh, 1 greeted, 2 sender accepted, 3 recipient accepted, 4 message received.
    uint8_t SMTPState = 0;
    std::string From;
    TIdEMailAddressList RCPTList;
    bool HELO = false;
    bool EHLO = false;
    std::string Username;
    std::string Password;
    bool LoggedIn = false;

protected:
    void BeforeRun() override;
};

class TIdSMTPServer : public TIdTCPServer {
public:
    TIdSMTPServer();
    ~TIdSMTPServer() override;

    bool AuthMode = false;
    TIdSMTPMessages Messages;
    TIdSMTPReceiveMode ReceiveMode = rmRaw;
    bool AllowEHLO = false;
    bool NoDecode = false;
    bool NoEncode = false;
    TIdStreamType RawStreamType = stFileStream;
    // A message longer than this (bytes, after dot-stuffing is undone) is
    // read to its end and refused with 552; the session goes on.
    int64_t MaxMessageSize = 64 * 1024 * 1024;
    // A memory stream holds at most this many bytes; a longer message moves
    // on to a temporary file, so memory stays bounded.
    int64_t MemoryStreamLimit = 1024 * 1024;
    // Where the temporary files of received messages go; empty: the system's
    // temporary directory.
    std::string TempDirectory;
    // The longest line accepted inside a message.
    int32_t MaxDataLineLength = 1024 * 1024;
    // Recipients of one message; more are refused with 452.
    int32_t MaxRecipients = 1000;

    // The stream is at position 0; the event may replace it. The server frees
    // it afterwards and deletes a temporary file it made.
    std::function<void(TIdCommand& sender, std::unique_ptr<std::iostream>& stream,
                       TIdEMailAddressList& rcpt, std::string& customError)>
        OnReceiveRaw;
    // The message of rmMessage holds the header lines and the body lines as
    // received; that of rmMessageParsed is read into its properties and
    // parts, with the envelope recipients that its header does not name in
    // its BccList. Both carry the "X-Server" header.
    using TReceiveMessageEvent =
        std::function<void(TIdCommand& sender, TIdMessage& message, TIdEMailAddressList& rcpt,
                           std::string& customError)>;
    TReceiveMessageEvent OnReceiveMessage;
    TReceiveMessageEvent OnReceiveMessageParsed;
    std::function<void(TIdCommand& sender, bool& accept, bool& toForward,
                       const std::string& emailAddress, std::string& customError)>
        OnCommandRCPT;
    std::function<void(TIdCommand& sender, bool& accept, const std::string& emailAddress)>
        OnCommandMAIL;
    TIdCommandEvent OnCommandAUTH;
    std::function<void(TIdCommand& sender, bool& accept, const std::string& username,
                       const std::string& password)>
        CheckUser;
    TIdCommandEvent OnCommandHELP;
    TIdCommandEvent OnCommandSOML;
    TIdCommandEvent OnCommandSEND;
    TIdCommandEvent OnCommandSAML;
    TIdCommandEvent OnCommandVRFY;
    TIdCommandEvent OnCommandEXPN;
    TIdCommandEvent OnCommandTURN;

protected:
    void InitializeCommandHandlers() override;

private:
    void CommandAUTH(TIdCommand& command);
    void CommandFamily(TIdCommand& command, const TIdCommandEvent& event);
    void CommandRSET(TIdCommand& command);
    void CommandDATA(TIdCommand& command);
    void CommandHELO(TIdCommand& command);
    void CommandEHLO(TIdCommand& command);
    void CommandMAIL(TIdCommand& command);
    void CommandRCPT(TIdCommand& command);
    // Reads the message up to the "." line into a stream; false when it
    // was refused (the reason is in error).
    bool CaptureRaw(TIdCommand& command, std::unique_ptr<std::iostream>& stream,
                    std::string& tempFile, std::string& error);
    // The message modes: the captured text as a message, to its event.
    void ReceiveMessage(TIdCommand& command, std::istream& text, std::string& customError);
};
