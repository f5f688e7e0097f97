#include "netproto/protocols/id_pop3.h"

#include "netproto/message/id_hash_message_digest.h"

#include <cerrno>
#include <cstdlib>

TIdPOP3::TIdPOP3()
{
    Port = 110;
}

int TIdPOP3::GetResponse(const std::vector<int>& allowedResponses)
{
    const std::string line = ReadLnWait();
    FLastCmdResult.ParseReply({line});
    const std::string code = UpperAscii(FLastCmdResult.TextCode());
    if (code == "+OK") {
        FLastCmdResult.SetNumericCode(IdPOP3OK);
    } else if (code == "-ERR") {
        FLastCmdResult.SetNumericCode(IdPOP3ERR);
    } else {
        throw EIdException("Unrecognized POP3 Response Header:\n\"" + LastCmdResultText() + "\"");
    }
    return CheckResponse(FLastCmdResult.NumericCode(), allowedResponses);
}

void TIdPOP3::Connect(int timeout)
{
    TIdMessageClient::Connect(timeout);
    try {
        GetResponse(IdPOP3OK);
        if (APOP) {
            const auto& text = LastCmdResult().Text();
            const std::string greeting = text.empty() ? std::string() : text.front();
            const size_t open = greeting.find('<');
            const size_t close = open == std::string::npos ? open : greeting.find('>', open);
            if (close == std::string::npos)
                throw EIdException("Server do not support APOP (no timestamp)");
            const std::string stamp = greeting.substr(open, close - open + 1);
            TIdHashMessageDigest5 md5;
            SendCmd("APOP " + Username + " " +
                        TIdHash128::DigestToHexLower(md5.HashText(stamp + Password)),
                    IdPOP3OK);
        } else {
            SendCmd("USER " + Username, IdPOP3OK);
            SendCmd("PASS " + Password, IdPOP3OK);
        }
    } catch (...) {
        QuitAndClose();
        throw;
    }
}

void TIdPOP3::Disconnect()
{
    if (!Connected()) {
        TIdMessageClient::Disconnect();
        return;
    }
    try {
        SendCmd("QUIT", IdPOP3OK);
    } catch (...) {
        TIdMessageClient::Disconnect();
        throw;
    }
    TIdMessageClient::Disconnect();
}

int TIdPOP3::CheckMessages()
{
    SendCmd("STAT", IdPOP3OK);
    const auto& text = LastCmdResult().Text();
    std::string count = text.empty() ? std::string() : text.front();
    if (count.empty())
        return 0;
    count = FetchToken(count, " ");
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(count.c_str(), &end, 10);
    if (count.empty() || *end != '\0' || errno != 0 || value < INT32_MIN || value > INT32_MAX)
        throw EIdException("'" + count + "' is not a valid integer value");
    return static_cast<int>(value);
}

bool TIdPOP3::RetrieveRaw(int messageNumber, std::vector<std::string>& lines)
{
    if (SendCmd("RETR " + std::to_string(messageNumber)) != IdPOP3OK)
        return false;
    // A message line has no length limit of its own: the message is kept
    // whole anyway, and a long line must not make it unfetchable.
    const int32_t limit = MaxLineLength;
    MaxLineLength = 0;
    try {
        Capture(&lines);
    } catch (...) {
        MaxLineLength = limit;
        throw;
    }
    MaxLineLength = limit;
    return true;
}

bool TIdPOP3::Delete(int messageNumber)
{
    return SendCmd("DELE " + std::to_string(messageNumber), IdPOP3OK) == IdPOP3OK;
}
