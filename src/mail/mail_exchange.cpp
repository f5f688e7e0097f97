#include "mail/mail_exchange.h"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "core/config.h"
#include "core/message_store.h"
#include "core/text_util.h"
#include "mail/account_list.h"
#include "mail/fetch_record.h"
#include "mail/gateway_config_frm.h"
#include "netproto/core/id_global.h"
#include "netproto/core/id_iohandler.h"
#include "netproto/protocols/id_pop3.h"
#include "netproto/protocols/id_smtp.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "platform/dialogs.h"

namespace {

constexpr int kPop3ConnectTimeoutMs = 5000;
constexpr int kSmtpConnectTimeoutMs = 6000;
// Blank lines skipped before a reply counts as missing.
constexpr int kReplyAttempts = 6000;

// The settings one connection works with, taken at its start.
struct TSendSettings {
    std::string Server;
    std::string MailFrom;
    bool PopBeforeSmtp;
    bool EhloLogin;
    std::string User;
    std::string Password;
};

TSendSettings SendSettings(TConfig& config)
{
    auto lock = config.Lock();
    const TConfig::TGateway& g = config.Gateway;
    return {g.SmtpAddress,         g.SmtpMailFrom, g.SmtpAuthEnabled,
            g.SmtpEhloAuthEnabled, g.SmtpAuthUser, g.SmtpAuthPass};
}

// The lines of a stored message: LF ends a line, a CR before it goes, and a
// last line without LF still counts.
std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        const size_t next = end == std::string::npos ? text.size() : end + 1;
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(std::move(line));
        pos = next;
    }
    return lines;
}

std::string JoinLines(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& l : lines)
        text += l + "\r\n";
    return text;
}

bool StartsWithNoCase(const std::string& text, std::string_view prefix)
{
    return text.size() >= prefix.size() &&
           UpperCase(text.substr(0, prefix.size())) == UpperCase(std::string(prefix));
}

std::string Trimmed(std::string_view text)
{
    return std::string(TrimBlanks(text));
}

// Makes sure the directory exists; the box says so when it cannot be made.
void EnsureDir(const std::string& path, const char* message)
{
    if (!MessageStore::EnsureDirectory(path))
        ShowMessageBox(message + path, "Error", MB_OK, TMsgIcon::Warning);
}

std::string QueueDir()
{
    const std::string dir = MessageStore::DirPath(DirName::Queue);
    EnsureDir(dir, "Error Creating Mail Directory\n");
    return dir;
}

std::string OutboxDir()
{
    EnsureDir(MessageStore::DirPath(DirName::Mail), "Error Creating Mail Directory\n");
    const std::string dir = MessageStore::DirPath(DirName::MailGateway);
    EnsureDir(dir, "Error Finding Mail/Gateway Directory\n");
    return dir;
}

// The header's From field, continuation lines joined.
std::optional<std::string> FromField(const std::vector<std::string>& lines)
{
    std::optional<std::string> field;
    for (const std::string& line : lines) {
        if (line.empty())
            break; // the end of the header
        if (field && (line[0] == ' ' || line[0] == '\t')) {
            *field += line;
            continue;
        }
        if (field)
            break;
        const size_t colon = line.find(':');
        if (colon != std::string::npos && UpperCase(Trimmed(line.substr(0, colon))) == "FROM")
            field = line;
    }
    return field;
}

// A failure notice: its From address is "<>". It keeps that empty sender on
// the wire, so that no server ever answers it with another notice.
bool IsFailureNotice(const std::vector<std::string>& lines)
{
    const std::optional<std::string> field = FromField(lines);
    return field && field->find("<>") != std::string::npos &&
           TMailExchange::GetSenderAddress(*field).empty();
}

} // namespace

TMailExchange::TMailExchange(TConfig* config, TAccountList* accounts, TLog log)
    : FConfig(config), FAccounts(accounts), FLog(std::move(log)),
      FSmtpSocket(std::make_unique<TIdIOHandlerSocket>()),
      FPop3Socket(std::make_unique<TIdIOHandlerSocket>()), SMTPClient(std::make_unique<TIdSMTP>()),
      IdPOP3(std::make_unique<TIdPOP3>())
{
    // Opening once gives each handler the socket object it keeps for good.
    for (TIdIOHandlerSocket* handler : {FSmtpSocket.get(), FPop3Socket.get()}) {
        handler->Open();
        handler->Close();
    }
    SMTPClient->SetIOHandler(FSmtpSocket.get());
    IdPOP3->SetIOHandler(FPop3Socket.get());
}

TMailExchange::~TMailExchange()
{
    Disconnect(*SMTPClient);
    Disconnect(*IdPOP3);
}

void TMailExchange::Begin()
{
    FAborted = false;
}

void TMailExchange::Abort()
{
    FAborted = true;
    for (TIdIOHandlerSocket* handler : {FSmtpSocket.get(), FPop3Socket.get()})
        handler->Binding()->Interrupt();
}

void TMailExchange::Disconnect(TIdTCPConnection& connection)
{
    try {
        connection.Disconnect();
    } catch (const std::exception&) {
    }
}

int TMailExchange::SendFailures(const std::string& fileName) const
{
    std::lock_guard lock(FFailuresLock);
    auto it = FFailures.find(fileName);
    return it == FFailures.end() ? 0 : it->second;
}

int TMailExchange::CountOutgoingMail()
{
    return static_cast<int>(MessageStore::ListMessages(OutboxDir()).size());
}

std::string TMailExchange::GetFromLine(const std::vector<std::string>& lines)
{
    const std::optional<std::string> field = FromField(lines);
    return field ? GetSenderAddress(*field) : std::string();
}

std::string TMailExchange::GetSenderAddress(const std::string& line)
{
    const size_t colon = line.find(':');
    const std::string value = colon == std::string::npos ? line : line.substr(colon + 1);
    // Comments and quoted names go first: they may hold anything.
    std::string plain;
    int depth = 0;
    bool quoted = false;
    for (size_t i = 0; i < value.size(); ++i) {
        const char c = value[i];
        if (c == '\\' && (quoted || depth > 0)) {
            ++i;
        } else if (quoted) {
            quoted = c != '"';
        } else if (depth > 0) {
            depth += c == '(' ? 1 : c == ')' ? -1 : 0;
        } else if (c == '"') {
            quoted = true;
        } else if (c == '(') {
            depth = 1;
        } else {
            plain += c;
        }
    }
    if (const size_t open = plain.find('<'); open != std::string::npos) {
        const size_t close = plain.find('>', open);
        return Trimmed(plain.substr(open + 1, close == std::string::npos ? std::string::npos
                                                                         : close - open - 1));
    }
    std::string first;
    size_t pos = 0;
    while (pos < plain.size()) {
        const size_t start = plain.find_first_not_of(" \t,", pos);
        if (start == std::string::npos)
            break;
        const size_t end = std::min(plain.find_first_of(" \t,", start), plain.size());
        const std::string word = plain.substr(start, end - start);
        if (word.find('@') != std::string::npos)
            return word;
        if (first.empty())
            first = word;
        pos = end;
    }
    return first;
}

std::string TMailExchange::GetMessageSender(const std::vector<std::string>& lines)
{
    const std::string address = GetFromLine(lines);
    return address.empty() ? "unknown" : address;
}

std::optional<std::string> TMailExchange::ReturnMail(std::vector<std::string>& lines,
                                                     const std::string& errorText)
{
    const std::string queue = QueueDir();
    std::string sender = GetFromLine(lines);
    if (sender.empty() || UpperCase(sender) == "UNKNOWN")
        sender = "admin";
    lines.insert(lines.begin(), std::string(MessageStore::kEnvelopePrefix) + sender);

    std::string reason = errorText;
    if (reason.empty()) {
        std::string file;
        if (ReadWholeFile(DataRoot::Path(TGatewayConfigFrm::kErrorMsgFile), file)) {
            while (!file.empty() && (file.back() == '\n' || file.back() == '\r'))
                file.pop_back();
            reason = file;
        } else {
            reason = TGatewayConfigFrm::kDefaultErrorMsg;
        }
    }
    std::vector<std::string> notice = {
        std::string(MessageStore::kEnvelopePrefix) + sender,
        "To: " + sender,
        "From: \"Mail System\" <>",
        "Subject: failure notice",
        "",
        "Hi. This is the Mail System",
        "I'm afraid I was not able to deliver your Internet message",
        "address. This is a permanent error; I've given up. Sorry it did not",
        "work out.",
        "",
        "The Error provided was:",
        "",
        reason,
        "",
        " --Below this line is a copy of the message.",
        " ",
    };
    const size_t quoted = std::min<size_t>(lines.size(), kQuotedLines);
    notice.insert(notice.end(), lines.begin(), lines.begin() + static_cast<long>(quoted));
    try {
        MessageStore::WriteMessageAs(queue, IdGetTickCount(), JoinLines(notice));
    } catch (const std::exception& e) {
        Log(std::string("Error: Can not write a failure notice: ") + e.what());
        return std::nullopt;
    }
    return sender;
}

std::string TMailExchange::ReadReply(const char* code)
{
    try {
        const uint32_t start = IdGetTickCount();
        auto nextLine = [&] {
            for (int attempt = 0; attempt < kReplyAttempts; ++attempt) {
                const uint32_t spent = IdGetTickCount() - start;
                if (spent >= static_cast<uint32_t>(ReplyTimeoutMs))
                    throw EIdReadTimeout();
                std::string line = Trimmed(
                    SMTPClient->ReadLnWithin("\n", ReplyTimeoutMs - static_cast<int32_t>(spent)));
                if (!line.empty())
                    return line;
            }
            return std::string();
        };
        // A multi-line reply ends with the line whose code has no "-".
        std::string line = nextLine();
        while (line.size() >= 4 && line[3] == '-')
            line = nextLine();
        return line;
    } catch (const std::exception&) {
        return std::string("SMTP: ") + code + " Message Timeout Error";
    }
}

bool TMailExchange::Command(const std::string& line, const char* code, std::string& reply)
{
    Log("SMTP: Sending " + line, false);
    Log(std::string("SMTP: Waiting for ") + code + " Status Message", false);
    try {
        SMTPClient->WriteLn(line);
    } catch (const std::exception&) {
        reply = std::string("SMTP: ") + code + " Message Timeout Error";
        return false;
    }
    reply = ReadReply(code);
    return reply.compare(0, 3, code) == 0;
}

bool TMailExchange::SendOne(const std::string& mailFrom, const std::vector<std::string>& recipients,
                            const std::vector<std::string>& body, std::string& reply)
{
    if (!Command("MAIL FROM:<" + mailFrom + ">", "250", reply))
        return false;
    Log("SMTP: Received 250 Message", false);
    for (const std::string& recipient : recipients) {
        // 251 forwards: our own station's server answers it to every recipient.
        if (!Command("RCPT TO:<" + recipient + ">", "250", reply) &&
            reply.compare(0, 3, "251") != 0)
            return false;
        Log("SMTP: Received 250 Status Message", false);
    }
    if (!Command("DATA", "354", reply))
        return false;
    Log("SMTP: Received 354 Status Message", false);
    std::string data;
    for (const std::string& line : body) {
        if (!line.empty() && line[0] == '.')
            data += '.';
        data += line + "\r\n";
    }
    data += ".\r\n";
    try {
        SMTPClient->WriteBuffer(data.data(), static_cast<int>(data.size()));
    } catch (const std::exception&) {
        reply = "SMTP: 250 Message Timeout Error";
        return false;
    }
    Log("SMTP: Finished sending data", false);
    Log("SMTP: Waiting for 250 Status Message", false);
    reply = ReadReply("250");
    if (reply.compare(0, 3, "250") != 0)
        return false;
    Log("SMTP: Received 250 Status Message", false);
    return true;
}

bool TMailExchange::ReturnUnaddressed(const std::string& path, const std::string& name)
{
    std::ifstream in(path, std::ios::binary);
    std::string first;
    if (!in || (std::getline(in, first) && StartsWithNoCase(first, "RCPT:")))
        return false;
    in.close();
    std::string text;
    if (!ReadWholeFile(path, text))
        return false;
    std::vector<std::string> lines = SplitLines(text);
    Log("SMTP: No recipient in " + name);
    // Kept where it is when no notice can be written.
    if (const std::optional<std::string> to = ReturnMail(lines, kNoRecipient)) {
        Log("SMTP: Returning mail to: " + *to);
        std::remove(path.c_str());
    }
    return true;
}

void TMailExchange::SendMail()
{
    const std::string outbox = OutboxDir();
    std::vector<MessageStore::TMessageFile> files = MessageStore::ListMessages(outbox);
    std::erase_if(files, [&](const MessageStore::TMessageFile& f) {
        return ReturnUnaddressed(outbox + "/" + f.Name, f.Name);
    });
    {
        // Counts of files that are gone (sent or removed elsewhere) go too.
        std::lock_guard lock(FFailuresLock);
        std::erase_if(FFailures, [&](const auto& entry) {
            return std::none_of(files.begin(), files.end(),
                                [&](const auto& f) { return f.Name == entry.first; });
        });
    }
    if (files.empty()) {
        Log("No messages to Send at this time");
        return;
    }
    const TSendSettings s = SendSettings(*FConfig);
    if (s.PopBeforeSmtp) {
        Log("SMTP: Authenticating POP User before Sending Mail");
        IdPOP3->Username = s.User;
        IdPOP3->Password = s.Password;
        IdPOP3->SetHost(s.Server);
        IdPOP3->SetPort(Pop3Port);
        IdPOP3->ReadTimeout = ReplyTimeoutMs;
        try {
            IdPOP3->Connect(kPop3ConnectTimeoutMs);
        } catch (const std::exception&) {
            Log("Error: Can not authenticate " + s.User + " on " + s.Server);
            return;
        }
        Disconnect(*IdPOP3);
    }
    if (s.EhloLogin) {
        SMTPClient->Username = s.User;
        SMTPClient->Password = s.Password;
        SMTPClient->SetUseEhlo(true);
        SMTPClient->SetAuthenticationType(atLogin);
    } else {
        SMTPClient->SetUseEhlo(false);
    }
    Log("Sending " + std::to_string(files.size()) + " Messages");
    SMTPClient->SetHost(s.Server);
    SMTPClient->SetPort(SmtpPort);
    SMTPClient->ReadTimeout = ReplyTimeoutMs;

    bool connected = false;
    for (const MessageStore::TMessageFile& file : files) {
        if (FAborted)
            break;
        const std::string path = outbox + "/" + file.Name;
        std::string text;
        if (!ReadWholeFile(path, text))
            continue; // taken away meanwhile
        std::vector<std::string> lines = SplitLines(text);
        std::vector<std::string> recipients;
        while (!lines.empty() && StartsWithNoCase(lines.front(), "RCPT:")) {
            std::string address;
            for (char c : lines.front().substr(lines.front().find(':') + 1))
                if (c != ' ' && c != '\t')
                    address += c;
            recipients.push_back(address);
            lines.erase(lines.begin());
        }
        if (recipients.empty())
            continue; // its lines changed since: the next run returns it
        if (!connected) {
            Log("SMTP: Connecting to Server", false);
            try {
                SMTPClient->Connect(kSmtpConnectTimeoutMs);
            } catch (const std::exception&) {
            }
            if (!SMTPClient->Connected()) {
                Log("SMTP: Error Connecting to " + s.Server);
                return;
            }
            connected = true;
            if (s.EhloLogin) {
                Log("SMTP: Authenticating SMTP User", false);
                bool ok = false;
                try {
                    ok = SMTPClient->Authenticate();
                } catch (const std::exception&) {
                }
                Log(ok ? "SMTP: Authenticated " + s.User + " (EHLO)"
                       : "Error: Can not authenticate " + s.User + " (EHLO Login)");
            }
        }
        // SMTPMAILFROM goes on every message of the connection: a server that
        // wants it would refuse the others' own (HF) senders.
        const std::string mailFrom =
            s.MailFrom.empty() || IsFailureNotice(lines) ? GetFromLine(lines) : s.MailFrom;
        std::string reply;
        if (SendOne(mailFrom, recipients, lines, reply)) {
            std::remove(path.c_str());
            Log("SMTP: Deleted mail from server", false);
            std::lock_guard lock(FFailuresLock);
            FFailures.erase(file.Name);
            continue;
        }

        Log("SMTP: Error Sending Mail to " + s.Server);
        Log("SMTP: Error Response was: " + reply);
        Disconnect(*SMTPClient);
        if (FAborted)
            return; // stopped by the operator: no failure of the message
        int failures;
        {
            std::lock_guard lock(FFailuresLock);
            failures = FFailures[file.Name];
        }
        if (failures >= kFailureLimit) {
            if (std::optional<std::string> to = ReturnMail(lines, reply)) {
                Log("SMTP: Returning mail to: " + *to);
                std::remove(path.c_str());
                Log("Finished Sending Mail");
                std::lock_guard lock(FFailuresLock);
                FFailures.erase(file.Name);
            }
            return;
        }
        {
            std::lock_guard lock(FFailuresLock);
            FFailures[file.Name] = failures + 1;
        }
        Log("SMTP: " + std::to_string(kFailureLimit - failures - 1) +
            "  more attempts this message");
        return;
    }
    Disconnect(*SMTPClient);
    Log("Finished Sending Mail");
}

void TMailExchange::FetchAccount(const std::string& hfAddress, const std::string& user,
                                 const std::string& password, const std::string& server)
{
    IdPOP3->Username = user;
    Log("Checking mail for " + user);
    IdPOP3->Password = password;
    IdPOP3->SetHost(server);
    IdPOP3->SetPort(Pop3Port);
    IdPOP3->ReadTimeout = ReplyTimeoutMs;
    try {
        IdPOP3->Connect(kPop3ConnectTimeoutMs);
    } catch (const std::exception&) {
        Log("Error: Can not connect to server for " + user);
        Log("Error: Can not fetch mail for " + user);
        return;
    }
    const std::string queue = QueueDir();
    int32_t limit;
    bool returnError;
    {
        auto lock = FConfig->Lock();
        limit = FConfig->Gateway.MaxMailFilterSize;
        returnError = FConfig->Gateway.ReturnErrorEnabled;
    }
    try {
        // What a fetch cut off before QUIT left on the server is known again.
        TFetchRecord record(server, user);
        const int count = IdPOP3->CheckMessages();
        Log("Receiving " + std::to_string(count) + " messages for " + user);
        for (int n = 1; n <= count && !FAborted; ++n) {
            std::vector<std::string> lines;
            if (!IdPOP3->RetrieveRaw(n, lines)) {
                // Kept on the server: it was never queued.
                Log("Error: Can not retrieve message " + std::to_string(n) + " for " + user);
                continue;
            }
            const std::string digest = TFetchRecord::Digest(JoinLines(lines));
            lines.insert(lines.begin(), std::string(MessageStore::kEnvelopePrefix) + hfAddress);
            int64_t size = 0;
            for (const std::string& l : lines)
                size += static_cast<int64_t>(l.size()) + 2;
            Log("Received Message " + std::to_string(n) + " (" + std::to_string(size) + " Bytes)");
            if (record.TakenBefore(digest)) {
                Log("Message " + std::to_string(n) + " was fetched before; deleted on the server");
                IdPOP3->Delete(n);
                continue;
            }
            if (size > limit && returnError) {
                const std::optional<std::string> sender = ReturnMail(lines, std::string());
                if (!sender)
                    continue;
                Log("Message exceeded max allowed size");
                Log("Returning mail to " + *sender);
            } else if (size > limit) {
                const std::string sender = GetMessageSender(lines);
                Log("Message received from Sender (" + sender + ") exceeded maximum message size");
                Log("Deleted Mail from " + sender);
            } else {
                MessageStore::WriteMessageAs(queue, IdGetTickCount(), JoinLines(lines));
            }
            // Recorded only once queued: a crash in between costs a duplicate,
            // not the message. Unrecorded, it is still deleted: the fetch
            // goes on as it would have without the record.
            try {
                record.Add(digest);
            } catch (const std::exception& e) {
                Log("Error: Can not record message " + std::to_string(n) + " for " + user + ": " +
                    e.what());
            }
            IdPOP3->Delete(n);
        }
        // QUIT makes the server carry out the deletions; it raises unless
        // the server confirms them.
        IdPOP3->Disconnect();
        try {
            record.Clear();
        } catch (const std::exception& e) {
            Log(std::string("Error: Can not record the fetch for ") + user + ": " + e.what());
        }
    } catch (const std::exception&) {
        Log("Error: Can not fetch mail for " + user);
        Disconnect(*IdPOP3);
    }
}

void TMailExchange::ReceiveMail()
{
    QueueDir();
    for (const TAccount& account : FAccounts->GetAll()) {
        if (FAborted)
            break;
        if (account.Enabled())
            FetchAccount(account.HFAddress, account.User, account.Password, account.POPServer);
    }
    Log("Finished Receiving Mail");
}
