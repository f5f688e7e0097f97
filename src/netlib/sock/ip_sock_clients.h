#pragma once

#include "netlib/sock/ip_sock_control.h"

#include <array>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The socket components an application places: a client with one connection
// (TIpClient), a client with any number (TIpMultiClient) and a server that
// accepts connections up to a limit, with allow and deny lists of peer
// addresses (TIpServer).
//
// Decisions:
// - An allow or deny entry matches a peer address when it is "ALL" (any
//   case), equal to the address, or ends in "." and begins the address;
//   every entry is tried, so no entry sorted between a prefix and the
//   address gets round HostsDeny.
// - The server listens on ListenPort; port 0 lets the system choose
//   (ListeningPort tells which).

class TIpCustomClient : public TIpSockControl {
    Q_OBJECT
public:
    explicit TIpCustomClient(QObject* owner = nullptr);
    ~TIpCustomClient() override;

    uint16_t DefaultPort = 0;
    TIpSocksServerInfo& SocksServer() { return FSocksServer; }

    TIpBaseSocket* scGetSocket(uint32_t socket, bool raiseIfMissing) override;
    bool GetActiveSockets() const override { return FSocket != nullptr; }
    void DoStatus(uint32_t socket, TIpStatusType event, const TIpConnRec& connRec) override;
    void RegisterTerminal(const TGuiTarget& wnd) override;

protected:
    virtual uint32_t ccConnectSocket(const std::string& url);
    virtual void ccCloseSocket(uint32_t socket);
    void scFreeSocket(uint32_t socket) override;
    void scTimerBroadcast(uint32_t elapsed) override;
    // The socket, or EIpNoSocketError.
    TIpDataSocket& Socket() const;

    std::unique_ptr<TIpDataSocket> FSocket;
    TIpSocksServerInfo FSocksServer;
};

// The e-mail client base: a single client and nothing more.
class TIpCustomEmailClass : public TIpCustomClient {
    Q_OBJECT
public:
    using TIpCustomClient::TIpCustomClient;
};

class TIpClient : public TIpCustomClient {
    Q_OBJECT
public:
    using TIpCustomClient::TIpCustomClient;

    uint32_t ConnectSocket(const std::string& url) { return ccConnectSocket(url); }
    void CloseSocket();
    uint32_t PutBlock(const void* data, uint32_t size, bool closeWhenDone);
    uint32_t PutString(const std::string& s, bool closeWhenDone);
    uint32_t PutStream(std::istream* stream, bool closeWhenDone);
    void ResetStats();
    void StatusSnapshot(TIpSockStatRec& statRec);
    bool GetConnected() const;
    uint32_t GetSocketHandle() const;

#define IP_CLIENT_PROPERTY(type, name)                                                             \
    type Get##name() const                                                                         \
    {                                                                                              \
        return Socket().name();                                                                    \
    }                                                                                              \
    void Set##name(type value)                                                                     \
    {                                                                                              \
        Socket().Set##name(value);                                                                 \
    }
    IP_CLIENT_PROPERTY(uint32_t, FixedLineLength)
    IP_CLIENT_PROPERTY(uint32_t, IdleTimeout)
    IP_CLIENT_PROPERTY(char, LineTermChar)
    IP_CLIENT_PROPERTY(TIpLineTerminator, LineTerminator)
    IP_CLIENT_PROPERTY(TIpLogOptionSet, LogOptions)
    IP_CLIENT_PROPERTY(TIpReceiveMode, ReceiveMode)
    IP_CLIENT_PROPERTY(std::ostream*, ReceiveStream)
    IP_CLIENT_PROPERTY(bool, StripLineTerminator)
#undef IP_CLIENT_PROPERTY
    int32_t GetReceiveBufferSize() const
    {
        return Socket().GetReceiveBufferSize();
    }
    void SetReceiveBufferSize(int32_t size)
    {
        Socket().SetReceiveBufferSize(size);
    }
    int32_t GetSendBufferSize() const
    {
        return Socket().GetSendBufferSize();
    }
    void SetSendBufferSize(int32_t size)
    {
        Socket().SetSendBufferSize(size);
    }
    TIpSockOptionSet GetSocketOptions() const
    {
        return Socket().GetSocketOptions();
    }
    void SetSocketOptions(const TIpSockOptionSet& options)
    {
        Socket().SetSocketOptions(options);
    }
    uint32_t GetIdleTime() const
    {
        return Socket().IdleTime();
    }
    uint32_t GetLocalAddress() const
    {
        return Socket().GetLocalAddress();
    }
    uint16_t GetLocalPort() const
    {
        return Socket().GetLocalPort();
    }
    uint32_t GetRemoteAddress() const
    {
        return Socket().GetRemoteAddress();
    }
    uint16_t GetRemotePort() const
    {
        return Socket().GetRemotePort();
    }
    std::string GetURL() const
    {
        return Socket().GetURL();
    }
};

// The sockets of a multi-socket control, in the order of adding and by handle
// in 127 buckets. Freeing a socket removes it; the list owns its sockets.
class TIpSocketList {
public:
    static constexpr uint32_t BucketCount = 127;

    TIpSocketList() = default;
    TIpSocketList(const TIpSocketList&) = delete;
    TIpSocketList& operator=(const TIpSocketList&) = delete;

    void Add(std::unique_ptr<TIpDataSocket> socket);
    void Delete(int index);
    void Put(int index, std::unique_ptr<TIpDataSocket> socket);
    int Find(uint32_t handle) const;
    TIpDataSocket* FindPtr(uint32_t handle) const;
    void FreeSocket(uint32_t handle);
    TIpDataSocket* Get(int index) const;
    int GetCount() const;
    // Closes and frees every socket, last first.
    void BroadcastClose();
    void BroadcastTimer(uint32_t elapsed);
    void LockList() const { FLock.lock(); }
    void UnlockList() const { FLock.unlock(); }

private:
    std::unique_lock<std::recursive_mutex> Guard() const
    {
        return std::unique_lock<std::recursive_mutex>(FLock);
    }
    void Unlink(TIpDataSocket* socket);

    std::vector<std::unique_ptr<TIpDataSocket>> FList;
    std::array<std::vector<TIpDataSocket*>, BucketCount> FBuckets;
    mutable std::recursive_mutex FLock;
};

class TIpMultiSockControl : public TIpSockControl {
    Q_OBJECT
public:
    explicit TIpMultiSockControl(QObject* owner = nullptr);
    ~TIpMultiSockControl() override;

    TIpBaseSocket* scGetSocket(uint32_t socket, bool raiseIfMissing) override;
    bool GetActiveSockets() const override { return FSockets.GetCount() > 0; }
    void DoStatus(uint32_t socket, TIpStatusType event, const TIpConnRec& connRec) override;
    int GetSocketCount() const { return FSockets.GetCount(); }
    TIpSocketList& SocketList() { return FSockets; }
    // A data socket on an accepted descriptor, added to the list.
    TIpDataSocket* msAddDataSocket(IpWs::TSocket socket);
    void ResetStats(uint32_t socket) { scResetStats(socket); }
    void StatusSnapshot(uint32_t socket, TIpSockStatRec& rec) { scStatusSnapshot(socket, rec); }
    bool GetConnected(uint32_t socket) { return Socket(socket).Connected(); }

#define IP_MULTI_PROPERTY(type, name)                                                              \
    type Get##name(uint32_t socket)                                                                \
    {                                                                                              \
        return Socket(socket).name();                                                              \
    }                                                                                              \
    void Set##name(uint32_t socket, type value)                                                    \
    {                                                                                              \
        Socket(socket).Set##name(value);                                                           \
    }
    IP_MULTI_PROPERTY(uint32_t, FixedLineLength)
    IP_MULTI_PROPERTY(uint32_t, IdleTimeout)
    IP_MULTI_PROPERTY(char, LineTermChar)
    IP_MULTI_PROPERTY(TIpLineTerminator, LineTerminator)
    IP_MULTI_PROPERTY(TIpLogOptionSet, LogOptions)
    IP_MULTI_PROPERTY(TIpReceiveMode, ReceiveMode)
    IP_MULTI_PROPERTY(std::ostream*, ReceiveStream)
    IP_MULTI_PROPERTY(bool, StripLineTerminator)
#undef IP_MULTI_PROPERTY
    TIpSockOptionSet GetSocketOptions(uint32_t socket)
    {
        return Socket(socket).GetSocketOptions();
    }
    void SetSocketOptions(uint32_t socket, const TIpSockOptionSet& options)
    {
        Socket(socket).SetSocketOptions(options);
    }
    uint32_t GetRemoteAddress(uint32_t socket)
    {
        return Socket(socket).GetRemoteAddress();
    }
    uint16_t GetRemotePort(uint32_t socket)
    {
        return Socket(socket).GetRemotePort();
    }

protected:
    virtual void msCloseAll();
    virtual void msCloseSocket(uint32_t socket);
    void scFreeSocket(uint32_t socket) override;
    void scTimerBroadcast(uint32_t elapsed) override;
    TIpDataSocket& Socket(uint32_t socket);

    TIpSocketList FSockets;
};

class TIpCustomMultiClient : public TIpMultiSockControl {
    Q_OBJECT
public:
    using TIpMultiSockControl::TIpMultiSockControl;

    uint16_t DefaultPort = 0;
    TIpSocksServerInfo& SocksServer() { return FSocksServer; }
    // Connects a listed socket that is not connected.
    void mcConnectThisSocket(uint32_t socket, const std::string& url);

protected:
    virtual uint32_t mcConnectSocket(const std::string& url);

    TIpSocksServerInfo FSocksServer;
};

class TIpMultiClient : public TIpCustomMultiClient {
    Q_OBJECT
public:
    using TIpCustomMultiClient::TIpCustomMultiClient;

    uint32_t ConnectSocket(const std::string& url) { return mcConnectSocket(url); }
    void CloseSocket(uint32_t socket) { msCloseSocket(socket); }
    void CloseAll() { msCloseAll(); }
    uint32_t PutBlock(uint32_t socket, const void* data, uint32_t size, bool closeWhenDone)
    {
        return scPutBlock(socket, data, size, closeWhenDone);
    }
    uint32_t PutString(uint32_t socket, const std::string& s, bool closeWhenDone)
    {
        return scPutString(socket, s, closeWhenDone);
    }
    uint32_t PutStream(uint32_t socket, std::istream* stream, bool closeWhenDone)
    {
        return scPutStream(socket, stream, closeWhenDone);
    }
};

enum TIpRejectType { rtCount, rtDenied };
using TIpRejectEvent = std::function<void(QObject* sender, TIpRejectType reason, std::string& msg)>;

class TIpCustomServer : public TIpMultiSockControl {
    Q_OBJECT
public:
    explicit TIpCustomServer(QObject* owner = nullptr);
    ~TIpCustomServer() override;

    bool Active() const { return FActive; }
    virtual void SetActive(bool value);
    // After the settings are loaded: listens when Active is set.
    void Loaded();
    const std::vector<std::string>& HostsAllow() const { return FHostsAllow; }
    void SetHostsAllow(const std::vector<std::string>& list);
    const std::vector<std::string>& HostsDeny() const { return FHostsDeny; }
    void SetHostsDeny(const std::vector<std::string>& list);
    uint32_t MaxClients = 10;
    TIpRejectEvent OnReject;
    uint16_t ListenPort() const { return GetDefaultLocalPort(); }
    void SetListenPort(uint16_t port) { SetDefaultLocalPort(port); }
    // The port the listening socket is bound to; 0 while inactive.
    uint16_t ListeningPort() const;

    TIpBaseSocket* scGetSocket(uint32_t socket, bool raiseIfMissing) override;
    bool GetActiveSockets() const override;
    static bool cdMatchList(const std::string& peer, const std::vector<std::string>& list);

protected:
    virtual void cdAcceptConnection();
    virtual void DoReject(TIpRejectType reason, std::string& msg);
    void scFreeSocket(uint32_t socket) override;
    void scAccept(uint32_t socket) override;

    bool FActive = false;
    std::vector<std::string> FHostsAllow{"ALL"};
    std::vector<std::string> FHostsDeny;
    std::unique_ptr<TIpListenSocket> FListenSocket;

private:
    bool IsListener(uint32_t socket) const
    {
        return FListenSocket && FListenSocket->Handle() == socket;
    }
};

class TIpServer : public TIpCustomServer {
    Q_OBJECT
public:
    using TIpCustomServer::TIpCustomServer;

    void CloseSocket(uint32_t socket) { msCloseSocket(socket); }
    void CloseAll() { msCloseAll(); }
    uint32_t PutBlock(uint32_t socket, const void* data, uint32_t size, bool closeWhenDone)
    {
        return scPutBlock(socket, data, size, closeWhenDone);
    }
    uint32_t PutString(uint32_t socket, const std::string& s, bool closeWhenDone)
    {
        return scPutString(socket, s, closeWhenDone);
    }
    uint32_t PutStream(uint32_t socket, std::istream* stream, bool closeWhenDone)
    {
        return scPutStream(socket, stream, closeWhenDone);
    }
};
