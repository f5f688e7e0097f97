#include "netproto/core/id_intercept.h"

void TIdConnectionIntercept::NestedConnect(TIdTCPConnection* connection)
{
    if (Intercept)
        Intercept->Connect(connection);
}

void TIdConnectionIntercept::NestedDisconnect()
{
    if (Intercept)
        Intercept->Disconnect();
}

void TIdConnectionIntercept::NestedReceive(std::string& buffer)
{
    if (Intercept)
        Intercept->Receive(buffer);
}

void TIdConnectionIntercept::NestedSend(std::string& buffer)
{
    if (Intercept)
        Intercept->Send(buffer);
}

void TIdConnectionIntercept::Connect(TIdTCPConnection* connection)
{
    FConnection = connection;
    if (OnConnect)
        OnConnect(this, connection);
    NestedConnect(connection);
}

void TIdConnectionIntercept::Disconnect()
{
    NestedDisconnect();
    if (OnDisconnect)
        OnDisconnect(this, FConnection);
    FConnection = nullptr;
}

void TIdConnectionIntercept::Receive(std::string& buffer)
{
    NestedReceive(buffer);
    if (OnReceive)
        OnReceive(this, buffer);
}

void TIdConnectionIntercept::Send(std::string& buffer)
{
    if (OnSend)
        OnSend(this, buffer);
    NestedSend(buffer);
}
