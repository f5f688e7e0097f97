#include "netproto/message/id_message_client.h"

TIdMessageClient::TIdMessageClient()
{
    // Internet servers answer within minutes (RFC 5321 section 4.5.3.2); a
    // peer that stops answering must not hold the caller longer.
    ReadTimeout = IdReadTimeoutSMTP;
}

void TIdMessageClient::QuitAndClose() noexcept
{
    try {
        if (Connected())
            WriteLn("QUIT");
    } catch (...) {
    }
    try {
        TIdTCPClient::Disconnect();
    } catch (...) {
    }
}
