#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mail/gateway_exchange.h"

class TAccountList;
class TConfig;
class TIdIOHandlerSocket;
class TIdPOP3;
class TIdSMTP;
class TIdTCPConnection;

// The mail gateway's exchange with the Internet: the outbox MAIL/GATEWAY
// goes to the one SMTP server of [GATEWAY] SMTPADDRESS over one connection
// (after a POP3 login first, or with EHLO and AUTH LOGIN, when so set), and
// each enabled account's POP3 mailbox is fetched into QUEUE, addressed to
// the account's HF user. A message that keeps failing, or that is too big to
// fetch, goes back to its sender as a "failure notice" through the queue.
//
// Choices where the station's settings leave room:
// - A reply is read whole, multi-line replies included, and must come
//   within ReplyTimeoutMs; 250 and 251 both accept a recipient.
// - Message lines end in CR LF, a line starting with "." gets one more, and
//   "." CR LF follows the last line: the server gets the message as stored.
// - The envelope sender is SMTPMAILFROM when set, on every message of the
//   connection, else the address of the header's From field ("Name <a@b>"
//   and "a@b (Name)" both give a@b); a failure notice's empty sender stays
//   empty either way ("MAIL FROM:<>").
// - Failures are counted per outbox file (not stored): a file's sixth
//   failure returns it. A connection stopped by the operator counts none.
// - Queue files are named by the millisecond tick count, or the next free
//   number above it; a message is deleted on the server only once it is
//   queued (or returned), and one the server will not hand over is kept.
// - A notice that cannot be written keeps the message where it was.
// - An outbox file without a "RCPT:" line goes back to its sender at once
//   (instead of its first line, whatever it says, being taken for the
//   recipient and tried six times): a header line taken for an address
//   would send the message to whoever it names.
class TMailExchange : public TGatewayExchange {
public:
    using TLog = std::function<void(const std::string& text, bool show)>;

    static constexpr int kFailureLimit = 5;
    static constexpr int kQuotedLines = 50;
    // The error a notice for an outbox file without a recipient gives.
    static constexpr const char* kNoRecipient = "The message names no recipient.";

    TMailExchange(TConfig* config, TAccountList* accounts, TLog log);
    ~TMailExchange() override;

    // The Internet servers' ports (25 and 110).
    int SmtpPort = 25;
    int Pop3Port = 110;
    // The longest wait for one reply or line from a server.
    int ReplyTimeoutMs = 5 * 60 * 1000;

    void Begin() override;
    void SendMail() override;
    void ReceiveMail() override;
    int CountOutgoingMail() override;
    void Abort() override;
    bool Aborted() const override { return FAborted; }

    // Writes a failure notice for the message (its lines; "RCPT: " + the
    // sender is put in front of them) into QUEUE and gives the address it
    // goes to: the From address, or "admin" when there is none. The error
    // text, or else errormsg.txt, says why. Empty when it cannot be written.
    std::optional<std::string> ReturnMail(std::vector<std::string>& lines,
                                          const std::string& errorText);

    // The header's From field (continuation lines joined), or empty.
    static std::string GetFromLine(const std::vector<std::string>& lines);
    // The address of a From field: inside the angle brackets when there are
    // some (possibly empty), else the word holding "@" once comments and
    // quoted names are gone.
    static std::string GetSenderAddress(const std::string& line);
    // The sender for log lines: the From address, or "unknown".
    static std::string GetMessageSender(const std::vector<std::string>& lines);

    // How often the outbox file has failed so far.
    int SendFailures(const std::string& fileName) const;

private:
    // Sends one message over the open connection; false with the failing
    // reply in `reply`.
    bool SendOne(const std::string& mailFrom, const std::vector<std::string>& recipients,
                 const std::vector<std::string>& body, std::string& reply);
    // Returns an outbox file that has no "RCPT:" line to its sender and
    // deletes it; false (nothing done) when the file names a recipient.
    bool ReturnUnaddressed(const std::string& path, const std::string& name);
    // Sends a line and waits for the reply `code`.
    bool Command(const std::string& line, const char* code, std::string& reply);
    std::string ReadReply(const char* code);
    void FetchAccount(const std::string& hfAddress, const std::string& user,
                      const std::string& password, const std::string& server);
    // Closes the connection (QUIT first); a failure of that is of no use.
    static void Disconnect(TIdTCPConnection& connection);
    void Log(const std::string& text, bool show = true) { FLog(text, show); }

    TConfig* FConfig;
    TAccountList* FAccounts;
    TLog FLog;
    // One socket handler per client, kept for the exchange's life (and
    // outliving the clients), so that Abort always finds the socket to cut.
    std::unique_ptr<TIdIOHandlerSocket> FSmtpSocket;
    std::unique_ptr<TIdIOHandlerSocket> FPop3Socket;
    std::unique_ptr<TIdSMTP> SMTPClient;
    std::unique_ptr<TIdPOP3> IdPOP3;
    std::atomic<bool> FAborted{false};
    mutable std::mutex FFailuresLock;
    std::map<std::string, int> FFailures;
};
