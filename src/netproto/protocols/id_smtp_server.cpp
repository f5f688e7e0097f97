#include "netproto/protocols/id_smtp_server.h"

#include "netproto/core/id_stack.h"
#include "netproto/message/id_coder_mime.h"
#include "netproto/message/id_message.h"
#include "netproto/message/id_message_client.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace {

std::string Trim(const std::string& s)
{
    return std::string(TrimBlanks(s));
}

bool HasControl(const std::string& s)
{
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7F)
            return true;
    return false;
}

// An address argument. Control characters are refused outright: the
// recipients end up as lines of a queue file, where a CR or LF would forge
// an extra line.
bool ParseAddress(const std::string& text, TIdEMailAddressItem& item, bool allowEmpty)
{
    if (HasControl(text))
        return false;
    try {
        item.SetText(text);
    } catch (const EIdException&) {
        return false;
    }
    if (HasControl(item.Address) || HasControl(item.Name))
        return false;
    return allowEmpty || !item.Address.empty();
}

const char* const ReplySyntaxError = "501 Syntax Error in parameters or arguments";

// The address after MAIL's "FROM:" or RCPT's "TO:" (any case). False when it
// is missing or does not parse; the 501 reply is then written.
bool AddressArgument(TIdCommand& command, const std::string& keyword, const char* usage,
                     bool allowEmpty, TIdEMailAddressItem& item)
{
    const std::string& arg = command.UnparsedParams();
    if (UpperAscii(arg.substr(0, keyword.size())) != keyword) {
        command.Connection().WriteLn(usage);
        return false;
    }
    if (!ParseAddress(Trim(arg.substr(keyword.size())), item, allowEmpty)) {
        command.Connection().WriteLn(ReplySyntaxError);
        return false;
    }
    return true;
}

TIdSMTPServerThread& SMTPThread(TIdCommand& command)
{
    return static_cast<TIdSMTPServerThread&>(*command.Thread());
}

// Deletes a temporary file when the DATA handler is done with it, however
// it ends.
struct TempFileGuard {
    std::string Path;
    ~TempFileGuard()
    {
        if (!Path.empty())
            std::remove(Path.c_str());
    }
};

} // namespace

TIdSMTPGreeting::TIdSMTPGreeting()
{
    const std::string host = GStack ? GStack->HostName() : std::string("localhost");
    EHLOReply = {"250-" + host, "250-AUTH LOGIN", "250 HELP"};
}

// ---- TIdSMTPServerThread ----------------------------------------------------------

TIdSMTPServerThread::TIdSMTPServerThread() = default;

void TIdSMTPServerThread::ResetTransaction()
{
    From.clear();
    RCPTList.Clear();
}

void TIdSMTPServerThread::BeforeRun()
{
    SMTPState = 0;
    From.clear();
    RCPTList.Clear();
    HELO = false;
    EHLO = false;
    Username.clear();
    Password.clear();
    LoggedIn = false;
    TIdPeerThread::BeforeRun();
}

// ---- TIdSMTPServer ----------------------------------------------------------------

TIdSMTPServer::TIdSMTPServer()
{
    SetDefaultPort(25);
    Greeting.SetReply(220, "Welcome to the SKIPMAIL SMTP Server");
    ReplyUnknownCommand.SetReply(500, "Syntax Error");
    ThreadClass = [] { return TIdThreadPtr(std::make_unique<TIdSMTPServerThread>().release()); };
    MaxConnections = 1000;
    // A burst of clients must not overflow the accept queue: a dropped
    // handshake leaves a client waiting for the greeting for many seconds.
    ListenQueue = 1024;
    MaxConnectionReply.SetReply(421, "Too many connections, try again later");
    ReadTimeout = IdReadTimeoutSMTP;
    ReplyReadTimeout.SetReply(421, "Idle time-out, closing connection");
    ReplyLineTooLong.SetReply(500, "Line too long");
}

TIdSMTPServer::~TIdSMTPServer()
{
    // The handlers below run on the peer threads: they must be over before
    // this part of the object goes.
    StopAndWait();
}

void TIdSMTPServer::InitializeCommandHandlers()
{
    auto add = [this](const char* word, std::function<void(TIdCommand&)> fn) -> TIdCommandHandler& {
        TIdCommandHandler& h = CommandHandlers().Add();
        h.Command = word;
        h.CmdDelimiter = ' ';
        h.OnCommand = std::move(fn);
        return h;
    };
    add("AUTH", [this](TIdCommand& c) { CommandAUTH(c); });
    add("HELP", [this](TIdCommand& c) { CommandFamily(c, OnCommandHELP); });
    add("SOML", [this](TIdCommand& c) { CommandFamily(c, OnCommandSOML); });
    add("SEND", [this](TIdCommand& c) { CommandFamily(c, OnCommandSEND); });
    add("SAML", [this](TIdCommand& c) { CommandFamily(c, OnCommandSAML); });
    add("VRFY", [this](TIdCommand& c) { CommandFamily(c, OnCommandVRFY); });
    add("EXPN", [this](TIdCommand& c) { CommandFamily(c, OnCommandEXPN); });
    add("TURN", [this](TIdCommand& c) { CommandFamily(c, OnCommandTURN); });
    add("RSET", [this](TIdCommand& c) {
        CommandRSET(c);
    }).ReplyNormal.SetReply(250, Messages.RSetReply);
    add("DATA", [this](TIdCommand& c) { CommandDATA(c); });
    add("HELO", [this](TIdCommand& c) { CommandHELO(c); });
    add("EHLO", [this](TIdCommand& c) { CommandEHLO(c); });
    add("MAIL", [this](TIdCommand& c) { CommandMAIL(c); });
    add("NOOP", nullptr).ReplyNormal.SetReply(250, Messages.NoopReply);
    TIdCommandHandler& quit = add("QUIT", nullptr);
    quit.ReplyNormal.SetReply(221, Messages.QuitReply);
    quit.Disconnect = true;
    add("RCPT", [this](TIdCommand& c) { CommandRCPT(c); });
}

void TIdSMTPServer::CommandFamily(TIdCommand& command, const TIdCommandEvent& event)
{
    if (event)
        event(command);
    else
        command.Connection().WriteLn("500 " +
                                     IdFormat(Messages.ErrorReply, command.UnparsedParams()));
}

void TIdSMTPServer::CommandRSET(TIdCommand& command)
{
    TIdSMTPServerThread& t = SMTPThread(command);
    t.ResetTransaction();
    t.SMTPState = (t.HELO || t.EHLO) ? 1 : 0;
}

void TIdSMTPServer::CommandHELO(TIdCommand& command)
{
    TIdSMTPServerThread& t = SMTPThread(command);
    TIdTCPServerConnection& c = command.Connection();
    if (t.SMTPState != 0) {
        c.WriteLn("503 " + Messages.SequenceError);
        return;
    }
    if (command.UnparsedParams().empty()) {
        c.WriteLn(ReplySyntaxError);
        return;
    }
    c.WriteLn("250 " + IdFormat(Messages.Greeting.HelloReply, command.UnparsedParams()));
    t.HELO = true;
    t.SMTPState = 1;
}

void TIdSMTPServer::CommandEHLO(TIdCommand& command)
{
    TIdSMTPServerThread& t = SMTPThread(command);
    TIdTCPServerConnection& c = command.Connection();
    if (!AllowEHLO) {
        c.WriteLn("500 " + Messages.Greeting.EHLONotSupported);
        return;
    }
    if (t.SMTPState != 0) {
        c.WriteLn("503 " + Messages.SequenceError);
        return;
    }
    if (command.UnparsedParams().empty()) {
        c.WriteLn(ReplySyntaxError);
        return;
    }
    c.WriteStrings(Messages.Greeting.EHLOReply);
    t.HELO = true;
    t.EHLO = true;
    t.SMTPState = 1;
}

void TIdSMTPServer::CommandMAIL(TIdCommand& command)
{
    TIdSMTPServerThread& t = SMTPThread(command);
    TIdTCPServerConnection& c = command.Connection();
    if (!t.HELO) {
        c.WriteLn("501 " + Messages.Greeting.NoHello);
        return;
    }
    if (AuthMode && !t.LoggedIn) {
        c.WriteLn("553 " + Messages.NotLoggedIn);
        return;
    }
    t.ResetTransaction();
    t.SMTPState = 1;
    TIdEMailAddressItem item;
    // The null sender "<>" of delivery reports is a valid sender.
    if (!AddressArgument(command, "FROM:",
                         "501 Parameter error! Example: mail from:<user@domain.com>", true, item))
        return;
    bool accept = true;
    if (OnCommandMAIL) {
        accept = false;
        OnCommandMAIL(command, accept, item.Address);
    }
    if (accept) {
        c.WriteLn("250 " + IdFormat(Messages.RcpReplies.AddressOkReply, item.Text()));
        t.From = item.Text();
        t.SMTPState = 2;
    } else {
        c.WriteLn("500 " + IdFormat(Messages.RcpReplies.AddressErrorReply, item.Text()));
    }
}

void TIdSMTPServer::CommandRCPT(TIdCommand& command)
{
    TIdSMTPServerThread& t = SMTPThread(command);
    TIdTCPServerConnection& c = command.Connection();
    if (t.SMTPState != 2 && t.SMTPState != 3) {
        c.WriteLn("503 " + Messages.SequenceError);
        return;
    }
    if (!t.HELO) {
        c.WriteLn("501 " + Messages.Greeting.NoHello);
        return;
    }
    TIdEMailAddressItem item;
    if (!AddressArgument(command,
                         "TO:", "501 Command parameter error! Example: rcpt to:<user@domain.com>",
                         false, item))
        return;
    if (MaxRecipients > 0 && t.RCPTList.Count() >= MaxRecipients) {
        c.WriteLn("452 Too many recipients");
        return;
    }
    if (!OnCommandRCPT) {
        t.RCPTList.Add().Assign(item);
        c.WriteLn("250 " + IdFormat(Messages.RcpReplies.AddressOkReply, item.Text()));
        t.SMTPState = 3;
        return;
    }
    bool accept = false;
    bool toForward = false;
    std::string customError;
    OnCommandRCPT(command, accept, toForward, item.Address, customError);
    if (!Trim(customError).empty()) {
        c.WriteLn(IdFormat(customError, item.Text()));
        return;
    }
    if (accept && toForward)
        c.WriteLn("251 " + IdFormat(Messages.RcpReplies.AddressWillForwardReply, item.Text()));
    else if (accept)
        c.WriteLn("250 " + IdFormat(Messages.RcpReplies.AddressOkReply, item.Text()));
    else
        c.WriteLn("500 " + IdFormat(Messages.RcpReplies.AddressErrorReply, item.Text()));
    if (accept) {
        t.RCPTList.Add().Assign(item);
        t.SMTPState = 3;
    }
}

bool TIdSMTPServer::CaptureRaw(TIdCommand& command, std::unique_ptr<std::iostream>& stream,
                               std::string& tempFile, std::string& error)
{
    TIdTCPServerConnection& c = command.Connection();
    const auto mode = std::ios::in | std::ios::out | std::ios::binary | std::ios::trunc;
    const bool inMemory = RawStreamType == stMemoryStream;
    // A temporary file that cannot be made fails the message like a write
    // that fails: the rest is read and refused, and the session goes on.
    auto openTempFile = [&]() -> std::unique_ptr<std::iostream> {
        try {
            tempFile = MakeTempFileName(TempDirectory);
        } catch (const EIdException&) {
            return nullptr;
        }
        return std::make_unique<std::fstream>(tempFile, mode);
    };
    stream = inMemory ? std::make_unique<std::stringstream>(mode) : openTempFile();
    bool spooled = !inMemory;
    bool tooBig = false;
    bool lineTooLong = false;
    bool writeFailed = !stream || !*stream;
    int64_t size = 0;
    for (;;) {
        std::string line;
        try {
            // Only CR LF ends a line here: a bare LF "." bare LF is text, so
            // no second message can be smuggled in behind an early end.
            line = ReadLineWithin(c, MaxDataLineLength, "\r\n");
        } catch (const EIdReadLnMaxLineLengthExceeded&) {
            lineTooLong = true;
            continue;
        }
        if (line == ".")
            break;
        if (tooBig || lineTooLong || writeFailed)
            continue; // read on to the end, keeping nothing
        if (line.size() >= 2 && line[0] == '.' && line[1] == '.')
            line.erase(0, 1);
        size += static_cast<int64_t>(line.size()) + 2;
        if (MaxMessageSize > 0 && size > MaxMessageSize) {
            tooBig = true;
            stream = std::make_unique<std::stringstream>(mode);
            continue;
        }
        if (!spooled && size > MemoryStreamLimit) {
            std::string held = static_cast<std::stringstream&>(*stream).str();
            spooled = true;
            std::unique_ptr<std::iostream> file = openTempFile();
            if (!file) {
                writeFailed = true;
                continue;
            }
            file->write(held.data(), static_cast<std::streamsize>(held.size()));
            stream = std::move(file);
        }
        stream->write(line.data(), static_cast<std::streamsize>(line.size()));
        stream->write("\r\n", 2);
        if (!*stream)
            writeFailed = true;
    }
    if (tooBig) {
        error = "552 Message size exceeds fixed maximum message size";
        return false;
    }
    if (lineTooLong) {
        error = "500 Line too long";
        return false;
    }
    if (writeFailed || !stream || !stream->flush()) {
        error = "452 Requested action not taken: insufficient system storage";
        return false;
    }
    stream->clear();
    stream->seekg(0);
    stream->seekp(0);
    return true;
}

void TIdSMTPServer::CommandDATA(TIdCommand& command)
{
    TIdSMTPServerThread& t = SMTPThread(command);
    TIdTCPServerConnection& c = command.Connection();
    if (t.SMTPState != 3) {
        c.WriteLn("503 " + Messages.SequenceError);
        return;
    }
    if (!t.HELO) {
        c.WriteLn("501 " + Messages.Greeting.NoHello);
        return;
    }
    c.WriteLn("354 " + Messages.DataReplies.StartDataReply);
    switch (ReceiveMode) {
    case rmRaw:
        if (!OnReceiveRaw)
            throw EIdTCPServerError("No OnReceiveRaw defined.");
        break;
    case rmMessage:
        if (!OnReceiveMessage)
            throw EIdTCPServerError("No OnReceiveMessage defined.");
        break;
    case rmMessageParsed:
        if (!OnReceiveMessageParsed)
            throw EIdTCPServerError("No OnReceiveMessageParsed defined.");
        break;
    }

    std::string customError;
    {
        TempFileGuard temp;
        std::unique_ptr<std::iostream> stream;
        if (CaptureRaw(command, stream, temp.Path, customError)) {
            if (ReceiveMode == rmRaw)
                OnReceiveRaw(command, stream, t.RCPTList, customError);
            else
                ReceiveMessage(command, *stream, customError);
        }
    }
    if (!Trim(customError).empty()) {
        c.WriteLn(customError);
        // A refused message ends its transaction: a second DATA must not
        // deliver to the same recipients again.
        t.ResetTransaction();
        t.SMTPState = 1;
        return;
    }
    c.WriteLn("250 " + Messages.DataReplies.EndDataReply);
    t.SMTPState = 4;
}

void TIdSMTPServer::ReceiveMessage(TIdCommand& command, std::istream& text,
                                   std::string& customError)
{
    TIdSMTPServerThread& t = SMTPThread(command);
    TIdMessage message;
    if (ReceiveMode == rmMessage) {
        TIdMessageTextReader reader(text);
        std::string line;
        while (reader.ReadLine(line) && !line.empty())
            message.Headers.Add(line);
        while (reader.ReadLine(line))
            message.Body.push_back(line);
        message.Headers.SetValues("X-Server", Messages.XServer);
        OnReceiveMessage(command, message, t.RCPTList, customError);
        return;
    }
    message.NoDecode = NoDecode;
    message.NoEncode = NoEncode;
    message.DeleteTempFiles = true;
    try {
        TIdMessageClient().ReceiveMessage(message, text);
    } catch (const EIdException& e) {
        customError = "554 Message cannot be read: " + e.Message();
        return;
    }
    message.Headers.SetValues("X-Server", Messages.XServer);
    auto named = [](const TIdEMailAddressList& list, const std::string& address) {
        for (int i = 0; i < list.Count(); ++i)
            if (UpperAscii(list.Items(i).Address) == UpperAscii(address))
                return true;
        return false;
    };
    for (int i = 0; i < t.RCPTList.Count(); ++i) {
        const TIdEMailAddressItem& item = t.RCPTList.Items(i);
        if (!named(message.Recipients, item.Address) && !named(message.CCList, item.Address))
            message.BccList.Add().Assign(item);
    }
    OnReceiveMessageParsed(command, message, t.RCPTList, customError);
}

void TIdSMTPServer::CommandAUTH(TIdCommand& command)
{
    TIdSMTPServerThread& t = SMTPThread(command);
    TIdTCPServerConnection& c = command.Connection();
    if (!t.EHLO) {
        c.WriteLn("500 " + IdFormat(Messages.ErrorReply, "AUTH"));
        return;
    }
    if (OnCommandAUTH) {
        OnCommandAUTH(command);
        return;
    }
    if (command.Params.empty()) {
        c.WriteLn("500 " + IdFormat(Messages.ErrorReply, "AUTH"));
        return;
    }
    // Only LOGIN is offered; any other mechanism would otherwise go on with
    // empty credentials.
    if (UpperAscii(command.Params[0]) != "LOGIN" || command.Params.size() > 2) {
        c.WriteLn("504 Unrecognized authentication type");
        return;
    }
    auto decode = [](const std::string& text, std::string& out) {
        const std::string t = Trim(text);
        if (t.empty() || t == "*")
            return false;
        try {
            out = TIdDecoder::DecodeText<TIdDecoderMIME>(t);
        } catch (const EIdException&) {
            return false;
        }
        // The name is echoed in the reply: a CR LF in it would forge a
        // reply line of its own.
        return !HasControl(out);
    };
    auto ask = [&](const char* prompt, std::string& out) {
        c.WriteLn("334 " + TIdEncoder::EncodeText<TIdEncoderMIME>(prompt));
        try {
            return decode(ReadLineWithin(c), out);
        } catch (const EIdReadLnMaxLineLengthExceeded&) {
            return false;
        }
    };
    std::string user;
    std::string password;
    bool ok = command.Params.size() == 2 ? decode(command.Params[1], user) : ask("Username:", user);
    ok = ok && ask("Password:", password);
    if (!ok) {
        c.WriteLn("535 " + Messages.Greeting.AuthFailed);
        return;
    }
    bool accept = true;
    if (CheckUser) {
        accept = false;
        CheckUser(command, accept, user, password);
    }
    t.LoggedIn = accept;
    t.Username = user;
    t.Password = password;
    if (accept)
        c.WriteLn("235 welcome " + Trim(user));
    else
        c.WriteLn("535 " + Messages.Greeting.AuthFailed);
}
