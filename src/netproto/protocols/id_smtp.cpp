#include "netproto/protocols/id_smtp.h"

#include "netproto/core/id_stack.h"
#include "netproto/message/id_coder_mime.h"
#include "netproto/message/id_message.h"

#include <algorithm>
#include <sstream>

TIdSMTP::TIdSMTP()
{
    Port = 25;
}

void TIdSMTP::Assign(const TIdSMTP& source)
{
    SetAuthenticationType(source.FAuthenticationType);
    Host = source.Host;
    MailAgent = source.MailAgent;
    Password = source.Password;
    Port = source.Port;
    Username = source.Username;
}

void TIdSMTP::SetAuthenticationType(TAuthenticationType value)
{
    FAuthenticationType = value;
    if (value == atLogin)
        FUseEhlo = true;
}

void TIdSMTP::SetUseEhlo(bool value)
{
    FUseEhlo = value;
    if (!value)
        FAuthenticationType = atNone;
}

void TIdSMTP::Connect(int timeout)
{
    TIdMessageClient::Connect(timeout);
    try {
        GetResponse(220);
        FAuthSchemesSupported.clear();
        const std::string name = HeloName.empty() ? GStack->HostName() : HeloName;
        if (FUseEhlo && SendCmd("EHLO " + name) == 250) {
            CollectAuthSchemes();
            return;
        }
        SendCmd("HELO " + name, 250);
    } catch (...) {
        QuitAndClose();
        throw;
    }
}

void TIdSMTP::CollectAuthSchemes()
{
    for (const std::string& line : LastCmdResult().Text()) {
        const std::string head = UpperAscii(line.substr(0, 5));
        if (head != "AUTH " && head != "AUTH=")
            continue;
        std::string rest = line.substr(5);
        std::replace(rest.begin(), rest.end(), '=', ' ');
        std::istringstream words(rest);
        std::string word;
        while (words >> word)
            if (std::find(FAuthSchemesSupported.begin(), FAuthSchemesSupported.end(), word) ==
                FAuthSchemesSupported.end())
                FAuthSchemesSupported.push_back(word);
    }
}

void TIdSMTP::Disconnect()
{
    // A QUIT that cannot be written changes nothing that was sent.
    try {
        if (Connected())
            WriteLn("QUIT");
    } catch (const EIdException&) {
    }
    TIdMessageClient::Disconnect();
    FDidAuthenticate = false;
}

bool TIdSMTP::IsAuthProtocolAvailable(TAuthenticationType type) const
{
    return type == atLogin && std::find(FAuthSchemesSupported.begin(), FAuthSchemesSupported.end(),
                                        "LOGIN") != FAuthSchemesSupported.end();
}

bool TIdSMTP::Authenticate()
{
    bool result = false;
    if (FAuthenticationType == atLogin) {
        SendCmd("AUTH LOGIN", 334);
        SendCmd(TIdEncoder::EncodeText<TIdEncoderMIME>(Username), 334);
        SendCmd(TIdEncoder::EncodeText<TIdEncoderMIME>(Password), 235);
        result = true;
    }
    FDidAuthenticate = true;
    return result;
}

void TIdSMTP::Send(TIdMessage& message)
{
    FRefusedRecipients.clear();
    SendCmd("RSET");
    if (FAuthenticationType != atNone && IsAuthProtocolAvailable(FAuthenticationType) &&
        !FDidAuthenticate)
        Authenticate();
    SendCmd("MAIL FROM:<" + message.From.Address + ">", 250);
    int accepted = 0;
    for (const TIdEMailAddressList* list :
         {&message.Recipients, &message.CCList, &message.BccList}) {
        for (int i = 0; i < list->Count(); ++i) {
            const std::string& address = list->Items(i).Address;
            try {
                SendCmd("RCPT TO:<" + address + ">", std::vector<int>{250, 251});
                ++accepted;
            } catch (const EIdProtocolReplyError& e) {
                FRefusedRecipients.push_back({address, e.ReplyErrorCode(), e.Message()});
            }
        }
    }
    if (accepted == 0 && !FRefusedRecipients.empty()) {
        const TIdSMTPRefusal& last = FRefusedRecipients.back();
        throw EIdProtocolReplyError(last.Code, last.Text);
    }
    SendCmd("DATA", 354);
    message.ExtraHeaders.SetValues("X-Mailer", MailAgent);
    SendMsg(message);
    SendCmd(".", 250);
}

void TIdSMTP::Expand(const std::string& name)
{
    SendCmd("EXPN " + name, std::vector<int>{250, 251});
}

std::string TIdSMTP::Verify(const std::string& name)
{
    SendCmd("VRFY " + name, std::vector<int>{250, 251});
    const auto& text = LastCmdResult().Text();
    return text.empty() ? std::string() : text.front();
}
