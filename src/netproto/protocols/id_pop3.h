// The POP3 client (RFC 1939) that fetches a mailbox: login with USER/PASS
// or APOP, the message count, raw retrieval, deletion and QUIT.
//
// Choices where the RFC leaves room:
// - Disconnect waits for the reply to "QUIT": only that reply says that the
//   server carried out the deletions. A refusal, or no reply at all, raises
//   after the connection was closed.
// - A STAT reply without a size ("+OK 3") gives its count.
#pragma once

#include "netproto/message/id_message_client.h"

#include <string>
#include <vector>

// The codes that GetResponse gives the two replies.
constexpr int IdPOP3OK = 1;
constexpr int IdPOP3ERR = 2;

class TIdPOP3 : public TIdMessageClient {
public:
    TIdPOP3();

    // Log in with APOP instead of USER/PASS.
    bool APOP = false;
    std::string Password;
    std::string Username;

    // Connects, reads the greeting and logs in. On any failure the
    // connection is closed and the failure raised.
    void Connect(int timeout = -1) override;
    // "QUIT" when connected, its reply read, then the connection closes;
    // raises when the server did not confirm.
    void Disconnect() override;
    // One reply: "+OK" gives IdPOP3OK, "-ERR" IdPOP3ERR, anything else
    // raises.
    using TIdMessageClient::GetResponse;
    int GetResponse(const std::vector<int>& allowedResponses) override;

    // STAT: the number of messages.
    int CheckMessages();
    // RETR: the message lines as stored, without the final "." line; false
    // when the server refuses.
    bool RetrieveRaw(int messageNumber, std::vector<std::string>& lines);
    // DELE: true when marked; a refusal raises.
    bool Delete(int messageNumber);
};
