// The base of the mail clients: a TCP client that writes a message to its
// connection as RFC 822/MIME text and reads one back.
#pragma once

#include "netproto/core/id_tcp_client.h"

class TIdMessageClient : public TIdTCPClient {
public:
    TIdMessageClient();

protected:
    // After a failed greeting or login: a "QUIT" that is not waited for,
    // then the connection closes. Never raises, so the failure that led here
    // is the one the caller sees.
    void QuitAndClose() noexcept;
};
