#pragma once

#include <exception>
#include <memory>

#include "netproto/protocols/id_tcp_server.h"

// The live server of a local mail service: created anew at every start and
// freed at every stop, so a start always binds the port configured now.
// GUI thread only.
template <class TServer> class TLocalServer {
public:
    TLocalServer() = default;
    TLocalServer(const TLocalServer&) = delete;
    TLocalServer& operator=(const TLocalServer&) = delete;
    ~TLocalServer() { Stop(); }

    // Stops and frees the running server; the old server stops listening
    // before a new one binds.
    void Stop()
    {
        if (!FServer)
            return;
        // A stop that times out still ends every connection: the server's
        // destructor waits for them.
        try {
            FServer->SetActive(false);
        } catch (const std::exception&) {
        }
        FServer.reset();
    }

    // A new server in place of any running one, not yet listening.
    TServer& Renew()
    {
        Stop();
        FServer = std::make_unique<TServer>();
        return *FServer;
    }

    // Listens on the port; a port that cannot be bound raises the socket
    // layer's error and leaves the server not listening.
    void Start(int port)
    {
        FServer->SetDefaultPort(port);
        // Connections closed by the server leave the port in TIME_WAIT; a
        // restart must still be able to bind it. Another listener on it
        // still refuses.
        FServer->ReuseSocket = rsTrue;
        FServer->SetActive(true);
    }

    bool Listening() const { return FServer && FServer->Active(); }
    TServer* Get() const { return FServer.get(); }

private:
    std::unique_ptr<TServer> FServer;
};
