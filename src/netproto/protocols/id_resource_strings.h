#pragma once

// Fixed texts that the servers and clients send or raise.

// Threaded TCP server.
inline constexpr const char* RSNoCommandHandlerFound = "No command handler found.";
inline constexpr const char* RSNoExecuteHandlerFound = "No execute handler found.";
inline constexpr const char* RSTerminateThreadTimeout = "Terminate Thread Timeout";

// SMTP server defaults; "%s" is filled in by the caller.
inline constexpr const char* RSSMTPSvrOk = "Ok";
inline constexpr const char* RSSMTPSvrStartData = "Start mail input; end with <CRLF>.<CRLF>";
inline constexpr const char* RSSMTPSvrAddressOk = "%s Address Okay";
inline constexpr const char* RSSMTPSvrAddressError = "%s Address Error";
inline constexpr const char* RSSMTPSvrAddressWillForward = "User not local, Will forward";
inline constexpr const char* RSSMTPSvrWelcome = "Welcome to the SKIPMAIL SMTP Server";
inline constexpr const char* RSSMTPSvrHello = "Hello %s";
inline constexpr const char* RSSMTPSvrNoHello = "Polite people say HELO";
inline constexpr const char* RSSMTPSvrCmdGeneralError = "Syntax Error - Command not understood: %s";
inline constexpr const char* RSSMTPSvrXServer = "SkipMail SMTP Server";
inline constexpr const char* RSSMTPSvrReceivedHeader =
    "by DNSName [127.0.0.1] running SkipMail SMTP";
inline constexpr const char* RSSMTPSvrAuthFailed = "Authentication Failed";
inline constexpr const char* RSSMTPSvrEHLONotSupported = "Command Not Recognised";
inline constexpr const char* RSSMTPSvrQuitReply = "Signing Off";

// POP3.
inline constexpr const char* RSPOP3SvrNotHandled = "Command Not Handled: %s";
inline constexpr const char* RSPOP3UnrecognizedPOP3ResponseHeader =
    "Unrecognized POP3 Response Header:\n\"%s\"";
inline constexpr const char* RSPOP3ServerDoNotSupportAPOP =
    "Server do not support APOP (no timestamp)";

// Message client, coders and parts.
inline constexpr const char* RSUnrecognizedUUEEncodingScheme = "Unrecognized UUE encoding scheme.";
inline constexpr const char* RSMessageEncoderNotFound = "Message encoder not found";
inline constexpr const char* RSUnknownMessagePartType = "Unknown Message Part Type.";
inline constexpr const char* RSInvalidEncodingUU =
    "Invalid Encoding. UU only allows Body and Attachments";
inline constexpr const char* RSTIdMessagePartCreate =
    "TIdMessagePart can not be created.  Use descendant classes. ";
inline constexpr const char* RSMsgClientEncodingText = "Encoding text";
inline constexpr const char* RSMsgClientEncodingAttachment = "Encoding attachment";
