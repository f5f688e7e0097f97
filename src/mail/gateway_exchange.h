#pragma once

// What one mail gateway connection does with the Internet mail servers:
// the outbox goes to the SMTP server, the enabled accounts' POP3 mailboxes
// come into the queue. Every call but Abort blocks on the network, so the
// calls run on the gateway's worker thread or on the dial-up thread, never
// on the GUI thread; the gateway runs at most one connection at a time.
class TGatewayExchange {
public:
    virtual ~TGatewayExchange() = default;

    // Starts a connection: clears an earlier Abort.
    virtual void Begin() = 0;
    // Sends every message waiting in MAIL/GATEWAY.
    virtual void SendMail() = 0;
    // Fetches every enabled account into QUEUE.
    virtual void ReceiveMail() = 0;
    // The number of messages waiting in MAIL/GATEWAY.
    virtual int CountOutgoingMail() = 0;
    // Any thread: the connection running now stops soon, its open
    // connections failing as if the server had closed them.
    virtual void Abort() = 0;
    virtual bool Aborted() const = 0;
};
