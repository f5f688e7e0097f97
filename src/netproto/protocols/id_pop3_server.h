// The POP3 server towards the mail clients of the LAN: it keeps each
// connection's login state and hands every mailbox operation to an event,
// which writes its own reply.
//
// Decided here:
// - PASS: taking the first word of the argument would cut a password at a
//   blank inside it; we take the argument without the blanks around it, so
//   a blank a client sends after the password is no part of it, and a
//   password with a blank (the user dialog takes one) can still log in.
#pragma once

#include "netproto/protocols/id_tcp_server.h"

#include <cstdint>
#include <functional>
#include <string>

// The state of one POP3 connection.
class TIdPOP3ServerThread : public TIdPeerThread {
public:
    std::string Username;
    std::string Password;
    // 0 = not logged in, 1 = logged in; CheckUser and OnAPOP grant the login.
    uint8_t State = 0;
    // The reply to a login that CheckUser refuses; empty: "-ERR Login failed".
    std::string LoginRefusal;

protected:
    void BeforeRun() override;
};

class TIdPOP3Server : public TIdTCPServer {
public:
    TIdPOP3Server();
    ~TIdPOP3Server() override;

    using TMessageNumberEvent = std::function<void(TIdCommand& sender, int messageNum)>;

    std::function<void(TIdPeerThread& thread, TIdPOP3ServerThread& pop3Thread)> CheckUser;
    TMessageNumberEvent OnLIST;
    TMessageNumberEvent OnRETR;
    TMessageNumberEvent OnDELE;
    TMessageNumberEvent OnUIDL;
    TIdCommandEvent OnSTAT;
    TIdCommandEvent OnRSET;
    TIdCommandEvent OnQUIT;
    std::function<void(TIdCommand& sender, int messageNum, int numLines)> OnTOP;
    std::function<void(TIdCommand& sender, const std::string& mailboxID, const std::string& digest)>
        OnAPOP;

protected:
    void InitializeCommandHandlers() override;

private:
    void CommandUSER(TIdCommand& command);
    void CommandPASS(TIdCommand& command);
    void CommandMessageNumber(TIdCommand& command, const char* word,
                              const TMessageNumberEvent& event);
    void CommandDELE(TIdCommand& command);
    void CommandNoParameter(TIdCommand& command, const char* word, const TIdCommandEvent& event);
    void CommandTOP(TIdCommand& command);
    void CommandAPOP(TIdCommand& command);
    void CommandQUIT(TIdCommand& command);
    // Writes an error line that is the whole reply (no table reply follows).
    static void Refuse(TIdCommand& command, const std::string& line);
    // "-ERR Please login first" unless logged in; true when logged in.
    static bool LoggedIn(TIdCommand& command);
};
