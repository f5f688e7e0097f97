// One socket with its local and peer addresses, and the collection of a
// server's listening bindings.
#pragma once

#include "netproto/core/id_global.h"
#include "netproto/core/id_stack.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class EIdSocketHandleError : public EIdException {
public:
    using EIdException::EIdException;
};
class EIdCouldNotBindSocket : public EIdSocketHandleError {
public:
    EIdCouldNotBindSocket()
        : EIdSocketHandleError("Could not bind socket. Address and port are already in use.")
    {
    }
};
class EIdCanNotBindPortInRange : public EIdSocketHandleError {
public:
    using EIdSocketHandleError::EIdSocketHandleError;
};
class EIdInvalidPortRange : public EIdSocketHandleError {
public:
    using EIdSocketHandleError::EIdSocketHandleError;
};

class TIdSocketHandles;

class TIdSocketHandle {
public:
    explicit TIdSocketHandle(TIdSocketHandles* collection = nullptr);
    virtual ~TIdSocketHandle();
    TIdSocketHandle(const TIdSocketHandle&) = delete;
    TIdSocketHandle& operator=(const TIdSocketHandle&) = delete;

    void Reset(bool resetLocal = true);
    void AllocateSocket(int socketType = Id_SOCK_STREAM, int protocol = 0);
    void CloseSocket();
    // Wakes a thread blocked in Readable or Accept on this socket without
    // closing it. Closing a descriptor does not wake such a thread on Linux,
    // and its number may be reused at once; so a listener is stopped by
    // setting the owner's flag, calling this, joining the thread, then
    // CloseSocket.
    void Interrupt();
    void Bind();
    int Connect(int family = Id_PF_INET);
    void Listen(int queueCount);
    // False when the listener was closed or interrupted under the wait.
    bool Accept(TIdStackSocketHandle listenSocket);
    void SetPeer(const std::string& address, int port);
    int Recv(void* buffer, int length, int flags);
    int Send(const void* buffer, int length, int flags);
    int RecvFrom(void* buffer, int length, int flags, std::string& address, int& port);
    void SetSockOpt(int level, int option, const void* value, int length);
    // Time-out in ms; -2 waits without limit.
    bool Readable(int timeout = -2);
    // Readable, then Recv: false when the time-out ran out first.
    bool ReceiveWithin(void* buffer, int length, int timeout, int& count);
    void Assign(const TIdSocketHandle& other);
    static bool SelectOne(TIdStackSocketHandle socket, int timeout);

    TIdStackSocketHandle Handle() const { return FHandle.load(); }
    bool HandleAllocated() const { return FHandleAllocated.load(); }

    std::string IP;
    std::string PeerIP;
    int Port = 0;
    int PeerPort = 0;
    int ClientPortMin = 0;
    int ClientPortMax = 0;

    // Refresh the addresses from the socket.
    void UpdateBindingLocal();
    void UpdateBindingPeer();

private:
    bool TryBind();
    bool ReadableOnce(int timeout);

    // Close and Interrupt may come from different threads: the lock keeps a
    // shutdown from reaching a descriptor number already closed and reused.
    std::mutex FCloseLock;
    std::atomic<TIdStackSocketHandle> FHandle{Id_INVALID_SOCKET};
    std::atomic<bool> FHandleAllocated{false};
    // The socket's receive time-out in ms as last set (0: none), so that it
    // is set again only when a wait asks for another.
    uint32_t FRecvTimeout = 0;
};

class TIdSocketHandles {
public:
    TIdSocketHandles() = default;
    TIdSocketHandle& Add();
    int Count() const { return static_cast<int>(FItems.size()); }
    TIdSocketHandle& Items(int index) { return *FItems.at(static_cast<size_t>(index)); }
    void Delete(int index);
    void Clear() { FItems.clear(); }

    int DefaultPort = 0;

private:
    std::vector<std::unique_ptr<TIdSocketHandle>> FItems;
};
