#include "netproto/core/id_socket_handle.h"

#include "netproto/core/id_component.h"

#include <cstdio>

namespace {

// Shorter waits are polled: a receive time-out counts in clock ticks and
// would overshoot them.
constexpr int kShortestReceiveWait = 100;

std::string RangeText(const char* fmt, int a, int b)
{
    char buf[128];
    std::snprintf(buf, sizeof buf, fmt, a, b);
    return buf;
}

} // namespace

TIdSocketHandle::TIdSocketHandle(TIdSocketHandles* collection)
{
    Reset();
    if (collection)
        Port = collection->DefaultPort;
}

TIdSocketHandle::~TIdSocketHandle()
{
    CloseSocket();
}

void TIdSocketHandle::Reset(bool resetLocal)
{
    FHandleAllocated = false;
    FHandle = Id_INVALID_SOCKET;
    FRecvTimeout = 0;
    if (resetLocal) {
        IP.clear();
        Port = 0;
    }
    PeerIP.clear();
    PeerPort = 0;
}

void TIdSocketHandle::AllocateSocket(int socketType, int protocol)
{
    if (HandleAllocated())
        CloseSocket();
    if (FHandleAllocated)
        Reset();
    FHandle = GStack->CreateSocketHandle(socketType, protocol);
    FHandleAllocated = true;
}

void TIdSocketHandle::CloseSocket()
{
    std::lock_guard<std::mutex> lock(FCloseLock);
    if (FHandleAllocated.exchange(false)) {
        TIdStackSocketHandle h = FHandle.load();
        GStack->Shutdown(h, IdWinsock2::SD_SEND);
        GStack->CloseSocket(h);
    }
}

void TIdSocketHandle::Interrupt()
{
    std::lock_guard<std::mutex> lock(FCloseLock);
    if (FHandleAllocated)
        GStack->Shutdown(FHandle, IdWinsock2::SD_BOTH);
}

bool TIdSocketHandle::TryBind()
{
    int rc = GStack->Bind(FHandle, Id_PF_INET, IP, Port);
    if (GStack->CheckForSocketError(rc, {Id_WSAEADDRINUSE}))
        return false;
    UpdateBindingLocal();
    return true;
}

void TIdSocketHandle::Bind()
{
    if (Port != 0 || ClientPortMin == 0 || ClientPortMax == 0) {
        // A server restarting on its fixed port must not wait out the old
        // connections' TIME_WAIT. Linux still refuses a port with a live listener.
        if (Port != 0) {
            int one = 1;
            GStack->SetSockOpt(FHandle, Id_SOL_SOCKET, Id_SO_REUSEADDR, &one, sizeof one);
        }
        if (!TryBind())
            throw EIdCouldNotBindSocket();
        return;
    }
    if (ClientPortMin > ClientPortMax)
        throw EIdInvalidPortRange(
            RangeText("Invalid Port Range (%d - %d)", ClientPortMin, ClientPortMax));
    for (int p = ClientPortMax; p >= ClientPortMin; --p) {
        Port = p;
        if (TryBind())
            return;
    }
    throw EIdCanNotBindPortInRange(
        RangeText("Can not bind in port range (%d - %d)", ClientPortMin, ClientPortMax));
}

int TIdSocketHandle::Connect(int family)
{
    int rc = GStack->Connect(FHandle, family, PeerIP, PeerPort);
    if (rc != Id_SOCKET_ERROR) {
        UpdateBindingLocal();
        UpdateBindingPeer();
    }
    return rc;
}

void TIdSocketHandle::Listen(int queueCount)
{
    // Accepted connections take the flag over from the listener; without it
    // their TIME_WAIT would block the next bind of this port.
    int one = 1;
    GStack->SetSockOpt(FHandle, Id_SOL_SOCKET, Id_SO_REUSEADDR, &one, sizeof one);
    GStack->CheckForSocketError(GStack->Listen(FHandle, queueCount));
}

bool TIdSocketHandle::Accept(TIdStackSocketHandle listenSocket)
{
    Reset();
    std::string addr;
    int port = 0;
    TIdStackSocketHandle h = GStack->Accept(listenSocket, addr, port);
    if (h == Id_INVALID_SOCKET) {
        // A listener closed under the accept reads as EINTR or ENOTSOCK: no
        // connection, and no error. Any other failure raises.
        GStack->CheckForSocketError(Id_SOCKET_ERROR, {Id_WSAEINTR, Id_WSAENOTSOCK});
        return false;
    }
    FHandle = h;
    FHandleAllocated = true;
    UpdateBindingLocal();
    PeerIP = addr;
    PeerPort = port;
    return true;
}

void TIdSocketHandle::SetPeer(const std::string& address, int port)
{
    PeerIP = address;
    PeerPort = port;
}

int TIdSocketHandle::Recv(void* buffer, int length, int flags)
{
    return GStack->Recv(FHandle, buffer, length, flags);
}

int TIdSocketHandle::Send(const void* buffer, int length, int flags)
{
    return GStack->Send(FHandle, buffer, length, flags);
}

int TIdSocketHandle::RecvFrom(void* buffer, int length, int flags, std::string& address, int& port)
{
    return GStack->RecvFrom(FHandle, buffer, length, flags, address, port);
}

void TIdSocketHandle::SetSockOpt(int level, int option, const void* value, int length)
{
    GStack->CheckForSocketError(GStack->SetSockOpt(FHandle, level, option, value, length));
}

bool TIdSocketHandle::ReadableOnce(int timeout)
{
    if (!FHandleAllocated)
        throw EIdConnClosedGracefully();
    TIdSocketListWindows list;
    list.Add(FHandle);
    bool readable = GStack->Select(&list, nullptr, timeout) == 1;
    TIdAntiFreezeBase::DoProcess(!readable);
    return readable;
}

bool TIdSocketHandle::Readable(int timeout)
{
    if (!TIdAntiFreezeBase::ShouldUse())
        return ReadableOnce(timeout);
    // On the main thread every wait is cut into slices of IdleTimeOut with
    // the event loop run between them, finite waits included: a long read
    // time-out must not freeze the window for its whole length.
    const int idle = TIdAntiFreezeBase::Instance()->IdleTimeOut > 0
                         ? TIdAntiFreezeBase::Instance()->IdleTimeOut
                         : 1;
    if (timeout == -2) {
        while (!ReadableOnce(idle)) {
        }
        return true;
    }
    if (timeout <= idle)
        return ReadableOnce(timeout);
    const uint32_t start = IdGetTickCount();
    for (;;) {
        const uint32_t elapsed = IdGetTickCount() - start;
        if (elapsed >= static_cast<uint32_t>(timeout))
            return false;
        const int left = timeout - static_cast<int>(elapsed);
        if (ReadableOnce(left < idle ? left : idle))
            return true;
    }
}

bool TIdSocketHandle::ReceiveWithin(void* buffer, int length, int timeout, int& count)
{
    if (!FHandleAllocated)
        throw EIdConnClosedGracefully();
    // A thread that waits in the receive itself saves a poll and its timer
    // per read; the main thread's waits are cut into slices for its events.
    const bool direct =
        !TIdAntiFreezeBase::ShouldUse() && (timeout == -2 || timeout >= kShortestReceiveWait);
    const uint32_t wanted = timeout == -2 ? 0 : static_cast<uint32_t>(timeout);
    if (direct && wanted != FRecvTimeout &&
        GStack->SetSockOpt(FHandle, Id_SOL_SOCKET, Id_SO_RCVTIMEO, &wanted, sizeof wanted) !=
            Id_SOCKET_ERROR)
        FRecvTimeout = wanted;
    if (!direct || wanted != FRecvTimeout) {
        if (!Readable(timeout))
            return false;
        count = Recv(buffer, length, 0);
        return true;
    }
    count = Recv(buffer, length, 0);
    if (count != Id_SOCKET_ERROR || GStack->GetLastSocketError() != Id_WSAETIMEDOUT)
        return true;
    // Data that came just as the time ran out, or a connection that timed
    // out itself (it polls readable), is read as the poll would have.
    if (!Readable(0))
        return false;
    count = Recv(buffer, length, 0);
    return true;
}

void TIdSocketHandle::Assign(const TIdSocketHandle& other)
{
    IP = other.IP;
    Port = other.Port;
    PeerIP = other.PeerIP;
    PeerPort = other.PeerPort;
}

bool TIdSocketHandle::SelectOne(TIdStackSocketHandle socket, int timeout)
{
    TIdSocketListWindows list;
    list.Add(socket);
    bool readable = GStack->Select(&list, nullptr, timeout) == 1;
    TIdAntiFreezeBase::DoProcess(!readable);
    return readable;
}

void TIdSocketHandle::UpdateBindingLocal()
{
    int family = 0;
    GStack->GetSockName(FHandle, family, IP, Port);
}

void TIdSocketHandle::UpdateBindingPeer()
{
    int family = 0;
    GStack->GetPeerName(FHandle, family, PeerIP, PeerPort);
}

TIdSocketHandle& TIdSocketHandles::Add()
{
    FItems.push_back(std::make_unique<TIdSocketHandle>(this));
    return *FItems.back();
}

void TIdSocketHandles::Delete(int index)
{
    FItems.erase(FItems.begin() + index);
}
