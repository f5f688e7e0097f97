// Intercepts see, and may change, every buffer a connection sends or receives.
#pragma once

#include "netproto/core/id_component.h"

#include <functional>
#include <string>

class TIdTCPConnection;
class TIdConnectionIntercept;

using TIdInterceptNotifyEvent =
    std::function<void(TIdConnectionIntercept* sender, TIdTCPConnection* connection)>;
using TIdInterceptStreamEvent =
    std::function<void(TIdConnectionIntercept* sender, std::string& buffer)>;

class TIdConnectionIntercept : public TIdBaseComponent {
public:
    virtual void NestedConnect(TIdTCPConnection* connection);
    virtual void NestedDisconnect();
    virtual void NestedReceive(std::string& buffer);
    virtual void NestedSend(std::string& buffer);
    virtual void Connect(TIdTCPConnection* connection);
    virtual void Disconnect();
    virtual void Receive(std::string& buffer);
    virtual void Send(std::string& buffer);

    TIdTCPConnection* Connection() const { return FConnection; }
    // A further intercept this one chains to (not owned).
    TIdConnectionIntercept* Intercept = nullptr;

    TIdInterceptNotifyEvent OnConnect;
    TIdInterceptNotifyEvent OnDisconnect;
    TIdInterceptStreamEvent OnReceive;
    TIdInterceptStreamEvent OnSend;

private:
    TIdTCPConnection* FConnection = nullptr;
};

// Declared for the servers' use; nothing makes an instance.
class TIdServerIntercept : public TIdBaseComponent {
public:
    virtual void Init() = 0;
    virtual TIdConnectionIntercept* Accept(TIdTCPConnection* connection) = 0;
};
