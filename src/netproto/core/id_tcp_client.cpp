#include "netproto/core/id_tcp_client.h"

void TIdTCPClient::DoOnConnected()
{
    if (OnConnected)
        OnConnected(this);
}

void TIdTCPClient::Connect(int timeout)
{
    if (IOHandler() && IOHandler()->Connected())
        throw EIdAlreadyConnected("Already connected.");
    if (!IOHandler()) {
        auto handler = std::make_unique<TIdIOHandlerSocket>();
        handler->OnStatus = OnStatus;
        SetIOHandler(std::move(handler));
    }
    IOHandler()->Open();
    ResetConnection();
    IOHandler()->ConnectClient(Host, Port, BoundIP, BoundPort, BoundPortMin, BoundPortMax, timeout);
    if (Intercept)
        Intercept->Connect(this);
    DoStatus(hsConnected, Host);
    DoOnConnected();
}

std::string TIdTCPClient::ConnectAndGetAll()
{
    Connect(-1);
    std::string data = AllData();
    Disconnect();
    return data;
}
