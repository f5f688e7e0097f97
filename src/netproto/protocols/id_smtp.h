// The SMTP client towards an Internet mail server: greeting, EHLO with HELO
// after a refusal, AUTH LOGIN, and the sending of one message.
//
// Choices where RFC 821 leaves room:
// - A recipient that the server refuses does not stop the message: the
//   others still get it, and each refusal is kept in RefusedRecipients.
//   Only when every recipient was refused does Send raise (with the last
//   refusal), and DATA is never sent.
// - Disconnect sends "QUIT" without waiting for its reply: nothing that the
//   server does after it can change what was sent.
#pragma once

#include "netproto/message/id_message_client.h"

#include <string>
#include <vector>

class TIdMessage;

enum TAuthenticationType { atNone, atLogin };

// A recipient that the server refused, with its reply.
struct TIdSMTPRefusal {
    std::string Address;
    int Code = 0;
    std::string Text;
};

class TIdSMTP : public TIdMessageClient {
public:
    TIdSMTP();

    // Copies the authentication type, host, mail agent, password, port and
    // user name.
    void Assign(const TIdSMTP& source);

    TAuthenticationType AuthenticationType() const { return FAuthenticationType; }
    // atLogin also switches EHLO on.
    void SetAuthenticationType(TAuthenticationType value);
    bool UseEhlo() const { return FUseEhlo; }
    // false also sets the authentication type to atNone.
    void SetUseEhlo(bool value);

    // The "X-Mailer" header that Send sets.
    std::string MailAgent;
    // Sent with EHLO/HELO; empty means the local host name.
    std::string HeloName;
    std::string Password;
    std::string Username;

    // The mechanisms that the last EHLO reply named.
    const std::vector<std::string>& AuthSchemesSupported() const { return FAuthSchemesSupported; }
    bool DidAuthenticate() const { return FDidAuthenticate; }
    // The recipients refused by the last Send.
    const std::vector<TIdSMTPRefusal>& RefusedRecipients() const { return FRefusedRecipients; }

    // Connects, reads the 220 greeting and says EHLO or HELO. On any failure
    // the connection is closed and the failure raised.
    void Connect(int timeout = -1) override;
    // "QUIT" when connected, then the connection closes.
    void Disconnect() override;

    bool IsAuthProtocolAvailable(TAuthenticationType type) const;
    // AUTH LOGIN for atLogin (true); atNone gives false. A refused step
    // raises.
    virtual bool Authenticate();
    // RSET, the login when it is due, MAIL FROM, RCPT TO for the recipients,
    // CC and BCC in turn, DATA and the message.
    virtual void Send(TIdMessage& message);
    // EXPN; the reply stays in LastCmdResult.
    virtual void Expand(const std::string& name);
    // VRFY; the first line of the reply.
    virtual std::string Verify(const std::string& name);

private:
    void CollectAuthSchemes();

    TAuthenticationType FAuthenticationType = atNone;
    bool FUseEhlo = true;
    std::vector<std::string> FAuthSchemesSupported;
    bool FDidAuthenticate = false;
    std::vector<TIdSMTPRefusal> FRefusedRecipients;
};
