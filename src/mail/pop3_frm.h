#pragma once

#include <QWidget>
#include <memory>
#include <string>

#include "mail/local_server.h"
#include "mail/pop3_mailbox.h"
#include "netproto/protocols/id_pop3_server.h"

class TConfig;
class TMsgStatusFrm;
class TUserList;

// The local POP3 service: a hidden window holding the POP3 server through
// which the mail clients of the LAN fetch their users' mailboxes. Each
// message file is deleted once it has been retrieved whole.
class TPOP3Frm : public QWidget {
    Q_OBJECT
public:
    TPOP3Frm(QWidget* owner, TMsgStatusFrm* msgStatus, TConfig* config, TUserList* users);
    ~TPOP3Frm() override;

    // On: a new server on the configured POP3 port replaces any running one;
    // a port that cannot be bound raises the socket layer's error. Off: stops
    // and frees the server. GUI thread only.
    bool SetServerActive(bool on);
    // Stores the port as the configured POP3 port; a listening server is
    // restarted on it.
    bool SetPort(int port);
    bool Listening() const;
    TIdPOP3Server* Server() const { return FServer.Get(); }

    // Server events, on the connection threads.
    void POP3BeforeCommand(TIdTCPServer* sender, const std::string& line, TIdPeerThread* thread);
    void POP3CheckUser(TIdPeerThread& thread, TIdPOP3ServerThread& pop3Thread);
    void POP3Stat(TIdCommand& command);
    void POP3List(TIdCommand& command, int messageNum);
    void POP3Retr(TIdCommand& command, int messageNum);
    void POP3Dele(TIdCommand& command, int messageNum);
    void POP3Quit(TIdCommand& command);
    void POP3Top(TIdCommand& command, int messageNum, int numLines);

    // The wait before each command (tests shorten it).
    int BeforeCommandDelayMs = 50;

private:
    // The connection's login record; null (and the refusal written) when
    // the connection has none.
    TPOPInfo* Info(TIdCommand& command);

    TConfig* FConfig;
    TPOP3Mailbox FMailbox;
    TLocalServer<TIdPOP3Server> FServer;
};
