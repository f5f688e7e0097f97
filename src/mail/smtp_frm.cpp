#include "mail/smtp_frm.h"

#include <filesystem>
#include <iostream>
#include <iterator>
#include <sys/stat.h>
#include <system_error>

#include "core/config.h"
#include "core/message_store.h"
#include "core/msg_status_frm.h"
#include "mail/local_mail_text.h"
#include "mail/relay_rule.h"
#include "netproto/core/id_iohandler.h"
#include "netproto/core/id_socket_handle.h"
#include "platform/data_root.h"
#include "platform/dialogs.h"
#include "platform/thread.h"

namespace {

void MakeDirectory(const std::string& path, const char* failureText)
{
    if (!MessageStore::EnsureDirectory(path))
        ShowMessageBox(failureText + path, "Error", MB_OK, TMsgIcon::Warning);
}

// What one client connection has done so far (its thread's data).
struct TClientSession : TIdBaseComponent {
    bool RelayLogged = false;
};

} // namespace

TSMTPFrm::TSMTPFrm(QWidget* owner, TMsgStatusFrm* msgStatus, TConfig* config)
    : QWidget(owner), FMsgStatus(msgStatus), FConfig(config),
      FQueueDir(MessageStore::DirPath(DirName::Queue)),
      FTempDir(MessageStore::DirPath(DirName::TempSmtp))
{
    setWindowTitle("SMTPFrm");
    setObjectName("SMTPFrm");
    ClientAddress = [](TIdCommand& command) {
        if (!command.Thread() || !command.Thread()->Connection())
            return std::string();
        const TIdIOHandlerSocket* socket = command.Connection().Socket();
        return socket && socket->Binding() ? socket->Binding()->PeerIP : std::string();
    };
    MakeDirectory(FQueueDir, "Error Creating Mail Directory\n");
    MakeDirectory(MessageStore::DirPath(DirName::Temp), "Error Creating Temporary Directory\n");
    MakeDirectory(FTempDir, "Error Creating Temporary Directory\n");
    // Messages being received are spooled here: the user's alone. What a
    // station that was killed during a DATA left here was never
    // acknowledged, so its client sends it again.
    ::chmod(FTempDir.c_str(), 0700);
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(FTempDir, ec))
        std::filesystem::remove_all(entry.path(), ec);
}

TSMTPFrm::~TSMTPFrm()
{
    SetServerActive(false);
}

bool TSMTPFrm::Listening() const
{
    return FServer.Listening();
}

bool TSMTPFrm::SetServerActive(bool on)
{
    FServer.Stop();
    if (!on)
        return true;

    TIdSMTPServer& s = FServer.Renew();
    s.ReceiveMode = rmRaw;
    s.OnCommandMAIL = [this](TIdCommand& c, bool& accept, const std::string& a) {
        SMTPCommandMAIL(c, accept, a);
    };
    s.OnCommandRCPT = [this](TIdCommand& c, bool& accept, bool& forward, const std::string& a,
                             std::string& error) { SMTPCommandRCPT(c, accept, forward, a, error); };
    s.OnReceiveRaw = [this](TIdCommand& c, std::unique_ptr<std::iostream>& stream,
                            TIdEMailAddressList& rcpt,
                            std::string& error) { SMTPReceiveRaw(c, stream, rcpt, error); };
    s.OnBeforeCommandHandler = [this](TIdTCPServer* sender, const std::string& line,
                                      TIdPeerThread* thread) {
        SMTPBeforeCommand(sender, line, thread);
    };
    s.CheckUser = [this](TIdCommand& c, bool& accepted, const std::string& u,
                         const std::string& p) { SMTPCheckUser(c, accepted, u, p); };
    s.OnConnect = [](TIdPeerThread* thread) { thread->Data = std::make_unique<TClientSession>(); };
    // Two greeting lines: "220-Welcome ..." and "220 localhost".
    s.Greeting.Text().push_back("localhost");
    s.AllowEHLO = false;
    s.AuthMode = false;
    s.NoDecode = true;
    s.NoEncode = true;
    s.RawStreamType = stMemoryStream;
    s.TempDirectory = FTempDir;
    int port;
    {
        auto lock = FConfig->Lock();
        port = FConfig->Smtp.Port;
    }
    FServer.Start(port);
    return true;
}

void TSMTPFrm::SMTPBeforeCommand(TIdTCPServer*, const std::string&, TIdPeerThread*)
{
    // Only this connection's thread waits.
    if (BeforeCommandDelayMs > 0)
        SleepMs(static_cast<uint32_t>(BeforeCommandDelayMs));
}

void TSMTPFrm::SMTPCommandMAIL(TIdCommand&, bool& accept, const std::string&)
{
    accept = true;
}

bool TSMTPFrm::FromOutside(TIdCommand& command, std::string& client)
{
    client = ClientAddress(command);
    return !RelayRule::MayRelay(client, RelayRule::LocalInterfaces());
}

void TSMTPFrm::SMTPCommandRCPT(TIdCommand& command, bool& accept, bool& toForward,
                               const std::string& address, std::string& customError)
{
    customError.clear();
    accept = true;
    toForward = true;
    std::string client;
    if (!Destination || !FromOutside(command, client))
        return;
    const Routing::TDestination destination = Destination(address);
    customError = RelayRule::RefusalForOutside(destination);
    if (customError.empty())
        return;
    accept = false;
    if (RelayRule::IsRelayAttempt(destination))
        LogRefusedRelay(command, client, address);
}

void TSMTPFrm::LogRefusedRelay(TIdCommand& command, const std::string& client,
                               const std::string& address)
{
    auto* session =
        command.Thread() ? dynamic_cast<TClientSession*>(command.Thread()->Data.get()) : nullptr;
    if (session) {
        if (session->RelayLogged)
            return;
        session->RelayLogged = true;
    }
    if (FMsgStatus)
        FMsgStatus->AddLogLine("SMTP relaying refused to client " +
                               (client.empty() ? std::string("unknown") : client) + " for " +
                               address);
}

void TSMTPFrm::SMTPCheckUser(TIdCommand&, bool& accepted, const std::string&, const std::string&)
{
    accepted = true;
}

void TSMTPFrm::SMTPReceiveRaw(TIdCommand& command, std::unique_ptr<std::iostream>& stream,
                              TIdEMailAddressList& recipients, std::string& customError)
{
    std::vector<std::string> addresses;
    for (int i = 0; i < recipients.Count(); ++i)
        addresses.push_back(recipients.Items(i).Address);
    std::string client;
    std::string outsideClient;
    std::uint64_t limit = 0;
    if (FromOutside(command, client)) {
        // The router would return an oversize message to whatever sender
        // it names.
        outsideClient = client.empty() ? "unknown" : client;
        auto lock = FConfig->Lock();
        if (FConfig->Mail.MaxMailSize > 0)
            limit = static_cast<std::uint64_t>(FConfig->Mail.MaxMailSize) * 1024u;
    }
    try {
        StoreMessage(addresses, stream.get(), outsideClient, limit);
    } catch (const EMessageTooLarge&) {
        customError = "552 Message size exceeds fixed maximum message size";
    } catch (const std::exception&) {
        // The client must not take the message for delivered; it may retry.
        customError = "451 Requested action aborted: local error in processing";
    }
}

std::string TSMTPFrm::StoreMessage(const std::vector<std::string>& recipients,
                                   std::istream* message, const std::string& outsideClient,
                                   std::uint64_t maxMessageBytes)
{
    const auto tooLarge = [maxMessageBytes](std::uint64_t size) {
        if (maxMessageBytes > 0 && size > maxMessageBytes)
            throw EMessageTooLarge();
    };
    if (message) {
        // Storing only adds line ends: what is already too large as it came
        // is refused before anything is written.
        message->clear();
        message->seekg(0, std::ios::end);
        const std::streamoff size = message->tellg();
        if (size > 0)
            tooLarge(static_cast<std::uint64_t>(size));
    }
    int nonNumeric = 0;
    std::string path = MessageStore::WriteNewMessageFrom(
        FQueueDir,
        [&](const MessageStore::TContentWriter& write) {
            LocalMailText::TQueueFileWriter text(recipients, write, outsideClient);
            if (message) {
                message->clear();
                message->seekg(0);
                std::vector<char> buf(64 * 1024);
                while (message->read(buf.data(), static_cast<std::streamsize>(buf.size())) ||
                       message->gcount() > 0) {
                    text.Feed(std::string_view(buf.data(), static_cast<size_t>(message->gcount())));
                    tooLarge(text.MessageBytes());
                }
                if (message->bad())
                    throw std::runtime_error("cannot read the received message");
            }
            text.Finish();
            tooLarge(text.MessageBytes());
        },
        &nonNumeric);
    ReportNonNumeric(nonNumeric);
    return path;
}

std::string TSMTPFrm::NextMessageFileName()
{
    int nonNumeric = 0;
    std::uint64_t n = MessageStore::NextMessageNumber(FQueueDir, &nonNumeric);
    ReportNonNumeric(nonNumeric);
    return FQueueDir + "/" + std::to_string(n) + std::string(MessageStore::kExtension);
}

void TSMTPFrm::ReportNonNumeric(int count)
{
    if (count <= 0)
        return;
    QMetaObject::invokeMethod(
        this,
        [] { ShowMessageBox("Error converting str to int", "Error", MB_OK, TMsgIcon::Warning); },
        Qt::QueuedConnection);
}
