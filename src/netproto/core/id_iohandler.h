// I/O handlers: what a connection reads and writes through. The socket
// handler works over one socket handle, resolves and connects on the client
// side and can go through a SOCKS proxy; the server handler produces a
// connected handler per accepted connection.
#pragma once

#include "netproto/core/id_component.h"
#include "netproto/core/id_socket_handle.h"
#include "netproto/core/id_socks.h"

#include <memory>
#include <string>

class TIdThread;

class TIdIOHandler : public TIdComponent {
public:
    ~TIdIOHandler() override;

    virtual void AfterAccept() {}
    virtual void Close();
    // Time-out in ms: -1 and 0 connect directly (blocking), -2 waits without limit.
    virtual void ConnectClient(const std::string& host, int port, const std::string& boundIP,
                               int boundPort, int boundPortMin, int boundPortMax, int timeout);
    virtual bool Connected();
    virtual void Open();
    virtual bool Readable(int timeout = -2) = 0;
    virtual int Recv(void* buffer, int length) = 0;
    virtual int Send(const void* buffer, int length) = 0;
    // Readable, then Recv into `count`: false when the time-out ran out first.
    virtual bool ReceiveWithin(void* buffer, int length, int timeout, int& count);
    // The bytes sent that the peer has not taken yet; 0 when that cannot be
    // told.
    virtual int Unsent() { return 0; }

protected:
    bool FActive = false;
};

class TIdIOHandlerSocket : public TIdIOHandler {
public:
    TIdIOHandlerSocket() = default;
    ~TIdIOHandlerSocket() override;

    void Close() override;
    void ConnectClient(const std::string& host, int port, const std::string& boundIP, int boundPort,
                       int boundPortMin, int boundPortMax, int timeout) override;
    bool Connected() override;
    void Open() override;
    bool Readable(int timeout = -2) override;
    int Recv(void* buffer, int length) override;
    int Send(const void* buffer, int length) override;
    bool ReceiveWithin(void* buffer, int length, int timeout, int& count) override;
    int Unsent() override;

    TIdSocketHandle* Binding() const { return FBinding.get(); }
    bool UseNagle() const { return FUseNagle; }
    void SetUseNagle(bool value);
    // Created on first use.
    TIdSocksInfo& SocksInfo();
    // Copies the settings into the handler's own.
    void SetSocksInfo(const TIdSocksInfo& info);

private:
    void ApplyNagle();
    // Non-blocking connect polled in slices; the anti-freeze runs between
    // them. A connect cannot be aborted by closing its socket from another
    // thread on Linux, so the waiting happens here, on the caller's thread.
    void ConnectPolled(int timeout);

    std::unique_ptr<TIdSocketHandle> FBinding;
    bool FUseNagle = true;
    std::unique_ptr<TIdSocksInfo> FSocksInfo;
};

class TIdServerIOHandler : public TIdComponent {
public:
    virtual void Init() {}
    virtual std::unique_ptr<TIdIOHandler> Accept(TIdStackSocketHandle listenSocket,
                                                 TIdThread* listenerThread);
};

class TIdServerIOHandlerSocket : public TIdServerIOHandler {
public:
    // None when the listener thread was stopped or the listener closed.
    std::unique_ptr<TIdIOHandler> Accept(TIdStackSocketHandle listenSocket,
                                         TIdThread* listenerThread) override;
};
