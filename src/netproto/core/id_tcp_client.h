// The connection that connects out; the mail clients descend from it.
#pragma once

#include "netproto/core/id_tcp_connection.h"

#include <functional>
#include <string>

class TIdTCPClient : public TIdTCPConnection {
public:
    TIdTCPClient() = default;

    virtual void SetHost(const std::string& value) { Host = value; }
    virtual void SetPort(int value) { Port = value; }
    virtual void DoOnConnected();
    // Time-out in ms: -1 and 0 connect directly, -2 waits without limit.
    virtual void Connect(int timeout = -1);
    virtual std::string ConnectAndGetAll();

    std::string BoundIP;
    int BoundPort = 0;
    int BoundPortMax = 0;
    int BoundPortMin = 0;
    std::string Host;
    std::function<void(TIdTCPClient* sender)> OnConnected;
    int Port = 0;
};
