#pragma once

#include <QWidget>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/router.h"
#include "mail/local_server.h"
#include "netproto/protocols/id_smtp_server.h"

class TConfig;
class TMsgStatusFrm;
class TIdCommand;
class TIdEMailAddressList;
class TIdPeerThread;

// A message larger than the size limit it is stored under.
class EMessageTooLarge : public std::runtime_error {
public:
    EMessageTooLarge() : std::runtime_error("message larger than the size limit") {}
};

// The local SMTP service: a hidden window holding the SMTP server towards
// the mail clients of the LAN. Every sender is accepted, and every recipient
// from a client on the station's networks; a client outside them reaches
// only the local users and the other stations (see relay_rule.h). Every
// message becomes the next numbered file of the queue directory with one
// envelope line per recipient; the router decides the rest.
class TSMTPFrm : public QWidget {
    Q_OBJECT
public:
    // Creates QUEUE, TEMP and TEMP/SMTP when missing and empties TEMP/SMTP;
    // starts nothing. Refused relays are logged in the Mailbox Status window
    // (none: not logged).
    TSMTPFrm(QWidget* owner, TMsgStatusFrm* msgStatus, TConfig* config);
    ~TSMTPFrm() override;

    // On: a new server on the configured SMTP port replaces any running one;
    // a port that cannot be bound raises the socket layer's error. Off: stops
    // and frees the server. GUI thread only.
    bool SetServerActive(bool on);
    bool Listening() const;
    TIdSMTPServer* Server() const { return FServer.Get(); }

    // Server events, on the connection threads.
    void SMTPBeforeCommand(TIdTCPServer* sender, const std::string& line, TIdPeerThread* thread);
    void SMTPCommandMAIL(TIdCommand& command, bool& accept, const std::string& address);
    void SMTPCommandRCPT(TIdCommand& command, bool& accept, bool& toForward,
                         const std::string& address, std::string& customError);
    void SMTPCheckUser(TIdCommand& command, bool& accepted, const std::string& userName,
                       const std::string& password);
    void SMTPReceiveRaw(TIdCommand& command, std::unique_ptr<std::iostream>& stream,
                        TIdEMailAddressList& recipients, std::string& customError);

    // Stores the message read from `message` (from its start; none: an empty
    // message) as the next queue file, copying it in pieces so that memory
    // stays bounded whatever its size, and gives its path. `outsideClient`:
    // the address of a client outside the station's networks, for the
    // envelope. Throws EMessageTooLarge, storing nothing, when the message
    // is larger than `maxMessageBytes` (0: no limit), and another error when
    // it cannot be read or written.
    std::string StoreMessage(const std::vector<std::string>& recipients, std::istream* message,
                             const std::string& outsideClient = {},
                             std::uint64_t maxMessageBytes = 0);
    // The full path the next message file would get now.
    std::string NextMessageFileName();

    // The wait before each command (tests shorten it).
    int BeforeCommandDelayMs = 50;
    // Where the router sends mail for the recipient; none: everything stays
    // in the HF network.
    std::function<Routing::TDestination(const std::string& address)> Destination;
    // The address the command's client connects from, empty when unknown
    // (tests put in others).
    std::function<std::string(TIdCommand& command)> ClientAddress;

private:
    // Shows the numbering problem on the GUI thread without holding up the
    // connection.
    void ReportNonNumeric(int count);
    // Whether the command's client is outside the station's networks.
    bool FromOutside(TIdCommand& command, std::string& client);
    // The first refused relay of a connection.
    void LogRefusedRelay(TIdCommand& command, const std::string& client,
                         const std::string& address);

    TMsgStatusFrm* FMsgStatus;
    TConfig* FConfig;
    TLocalServer<TIdSMTPServer> FServer;
    std::string FQueueDir;
    // TEMP/SMTP: the spool of messages larger than the server holds in memory.
    std::string FTempDir;
};
