#include "mail/smtp_frm.h"

#include <filesystem>
#include <iostream>
#include <iterator>
#include <sys/stat.h>
#include <system_error>

#include "core/config.h"
#include "core/message_store.h"
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

} // namespace

TSMTPFrm::TSMTPFrm(QWidget* owner, TMsgStatusFrm* /*msgStatus*/, TConfig* config)
    : QWidget(owner), FConfig(config), FQueueDir(MessageStore::DirPath(DirName::Queue)),
      FTempDir(MessageStore::DirPath(DirName::TempSmtp))
{
    setWindowTitle("SMTPFrm");
    setObjectName("SMTPFrm");
    ClientAddress = [](TIdCommand& command) {
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

void TSMTPFrm::SMTPCommandRCPT(TIdCommand& command, bool& accept, bool& toForward,
                               const std::string& address, std::string& customError)
{
    customError.clear();
    if (ForTheInternet && ForTheInternet(address) &&
        !RelayRule::MayRelay(ClientAddress(command), RelayRule::LocalInterfaces())) {
        accept = false;
        customError = "550 Relaying denied: mail for the Internet is taken from the local network "
                      "only";
        return;
    }
    accept = true;
    toForward = true;
}

void TSMTPFrm::SMTPCheckUser(TIdCommand&, bool& accepted, const std::string&, const std::string&)
{
    accepted = true;
}

void TSMTPFrm::SMTPReceiveRaw(TIdCommand&, std::unique_ptr<std::iostream>& stream,
                              TIdEMailAddressList& recipients, std::string& customError)
{
    std::vector<std::string> addresses;
    for (int i = 0; i < recipients.Count(); ++i)
        addresses.push_back(recipients.Items(i).Address);
    try {
        StoreMessage(addresses, stream.get());
    } catch (const std::exception&) {
        // The client must not take the message for delivered; it may retry.
        customError = "451 Requested action aborted: local error in processing";
    }
}

std::string TSMTPFrm::StoreMessage(const std::vector<std::string>& recipients,
                                   std::istream* message)
{
    int nonNumeric = 0;
    std::string path = MessageStore::WriteNewMessageFrom(
        FQueueDir,
        [&](const MessageStore::TContentWriter& write) {
            LocalMailText::TQueueFileWriter text(recipients, write);
            if (message) {
                message->clear();
                message->seekg(0);
                std::vector<char> buf(64 * 1024);
                while (message->read(buf.data(), static_cast<std::streamsize>(buf.size())) ||
                       message->gcount() > 0)
                    text.Feed(std::string_view(buf.data(), static_cast<size_t>(message->gcount())));
                if (message->bad())
                    throw std::runtime_error("cannot read the received message");
            }
            text.Finish();
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
