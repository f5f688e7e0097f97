#include "netlib/sock/ip_sock_clients.h"

#include "netlib/base/ip_const.h"
#include "netproto/core/id_global.h"

#include <algorithm>

namespace ws = IdWinsock2;

namespace {

std::vector<std::string> Sorted(std::vector<std::string> list)
{
    std::sort(list.begin(), list.end());
    return list;
}

} // namespace

// ---- Single client ---------------------------------------------------------------

TIpCustomClient::TIpCustomClient(QObject* owner) : TIpSockControl(owner) {}

TIpCustomClient::~TIpCustomClient()
{
    FSocket.reset();
}

TIpBaseSocket* TIpCustomClient::scGetSocket(uint32_t socket, bool raiseIfMissing)
{
    if (FSocket && FSocket->Handle() == socket)
        return FSocket.get();
    if (raiseIfMissing)
        throw EIpNoSocketError(IpStr(IpConst::SNoSockErr));
    return nullptr;
}

TIpDataSocket& TIpCustomClient::Socket() const
{
    if (!FSocket)
        throw EIpNoSocketError(IpStr(IpConst::SNoSockErr));
    return *FSocket;
}

uint32_t TIpCustomClient::ccConnectSocket(const std::string& url)
{
    if (FSocket && FSocket->Connected())
        throw EIpWinSockError(ws::WSAEISCONN, "Connect");
    if (!FSocket || !FSocket->HasSocket())
        FSocket = std::make_unique<TIpDataSocket>(this, ws::INVALID_SOCKET, DefaultLocalSockAddr(),
                                                  &SockInits(), &FSocksServer);
    sockaddr_in addr;
    scString2SockAddr(url, addr, DefaultPort);
    FSocket->bsConnectSocket(addr, url);
    return FSocket->Handle();
}

void TIpCustomClient::ccCloseSocket(uint32_t socket)
{
    if (TIpBaseSocket* s = scGetSocket(socket, false)) {
        s->bsCloseSocket();
        scFreeSocket(socket);
    }
}

void TIpCustomClient::scFreeSocket(uint32_t socket)
{
    if (FSocket && FSocket->Handle() == socket)
        FSocket.reset();
}

void TIpCustomClient::scTimerBroadcast(uint32_t elapsed)
{
    if (FSocket)
        FSocket->bsTimer(elapsed);
}

void TIpCustomClient::DoStatus(uint32_t socket, TIpStatusType event, const TIpConnRec& connRec)
{
    TIpSockControl::DoStatus(socket, event, connRec);
    if (event == stProgress)
        return;
    for (const TGuiTarget& t : FTerminals)
        t.Post(CM_IPSOCKETSTATUS, socket, IpMakeLong(event == stConnect ? 1 : 2, 1));
}

void TIpCustomClient::RegisterTerminal(const TGuiTarget& wnd)
{
    if (FSocket && FSocket->Connected())
        wnd.Post(CM_IPSOCKETSTATUS, FSocket->Handle(), IpMakeLong(1, 1));
    TIpSockControl::RegisterTerminal(wnd);
}

void TIpClient::CloseSocket()
{
    if (FSocket)
        ccCloseSocket(FSocket->Handle());
}

uint32_t TIpClient::PutBlock(const void* data, uint32_t size, bool closeWhenDone)
{
    return Socket().PutBlock(data, size, closeWhenDone);
}

uint32_t TIpClient::PutString(const std::string& s, bool closeWhenDone)
{
    return Socket().PutString(s, closeWhenDone);
}

uint32_t TIpClient::PutStream(std::istream* stream, bool closeWhenDone)
{
    return Socket().PutStream(stream, closeWhenDone);
}

void TIpClient::ResetStats()
{
    Socket().ResetStats();
}

void TIpClient::StatusSnapshot(TIpSockStatRec& statRec)
{
    Socket().StatusSnapshot(statRec);
}

bool TIpClient::GetConnected() const
{
    return FSocket && FSocket->Connected();
}

uint32_t TIpClient::GetSocketHandle() const
{
    return FSocket ? FSocket->Handle() : ws::INVALID_SOCKET;
}

// ---- Socket list -----------------------------------------------------------------

void TIpSocketList::Add(std::unique_ptr<TIpDataSocket> socket)
{
    auto guard = Guard();
    auto& bucket = FBuckets[socket->Handle() % BucketCount];
    bucket.insert(bucket.begin(), socket.get());
    FList.push_back(std::move(socket));
}

void TIpSocketList::Unlink(TIpDataSocket* socket)
{
    if (socket)
        std::erase(FBuckets[socket->Handle() % BucketCount], socket);
}

void TIpSocketList::Delete(int index)
{
    auto guard = Guard();
    if (index < 0 || index >= GetCount())
        return;
    // Out of the list before it goes, so nothing it reports finds it half gone.
    std::unique_ptr<TIpDataSocket> gone = std::move(FList[static_cast<size_t>(index)]);
    Unlink(gone.get());
    FList.erase(FList.begin() + index);
    gone.reset();
}

void TIpSocketList::Put(int index, std::unique_ptr<TIpDataSocket> socket)
{
    auto guard = Guard();
    if (index < 0 || index >= GetCount())
        return;
    std::unique_ptr<TIpDataSocket> old = std::move(FList[static_cast<size_t>(index)]);
    Unlink(old.get());
    auto& bucket = FBuckets[socket->Handle() % BucketCount];
    bucket.insert(bucket.begin(), socket.get());
    FList[static_cast<size_t>(index)] = std::move(socket);
    old.reset();
}

TIpDataSocket* TIpSocketList::FindPtr(uint32_t handle) const
{
    auto guard = Guard();
    for (TIpDataSocket* s : FBuckets[handle % BucketCount])
        if (s->Handle() == handle)
            return s;
    return nullptr;
}

int TIpSocketList::Find(uint32_t handle) const
{
    auto guard = Guard();
    TIpDataSocket* s = FindPtr(handle);
    if (!s)
        return -1;
    for (size_t i = 0; i < FList.size(); ++i)
        if (FList[i].get() == s)
            return static_cast<int>(i);
    return -1;
}

void TIpSocketList::FreeSocket(uint32_t handle)
{
    auto guard = Guard();
    Delete(Find(handle));
}

TIpDataSocket* TIpSocketList::Get(int index) const
{
    auto guard = Guard();
    return index >= 0 && index < GetCount() ? FList[static_cast<size_t>(index)].get() : nullptr;
}

int TIpSocketList::GetCount() const
{
    auto guard = Guard();
    return static_cast<int>(FList.size());
}

void TIpSocketList::BroadcastClose()
{
    auto guard = Guard();
    while (!FList.empty()) {
        const int last = GetCount() - 1;
        FList.back()->bsCloseSocket();
        Delete(last);
    }
}

void TIpSocketList::BroadcastTimer(uint32_t elapsed)
{
    auto guard = Guard();
    // By handle: a socket freed by another's tick is skipped, not touched.
    std::vector<uint32_t> handles;
    for (const auto& s : FList)
        handles.push_back(s->Handle());
    for (uint32_t h : handles)
        if (TIpDataSocket* s = FindPtr(h))
            s->bsTimer(elapsed);
}

// ---- Multi-socket controls ---------------------------------------------------------

TIpMultiSockControl::TIpMultiSockControl(QObject* owner) : TIpSockControl(owner) {}

TIpMultiSockControl::~TIpMultiSockControl()
{
    FSockets.BroadcastClose();
}

TIpBaseSocket* TIpMultiSockControl::scGetSocket(uint32_t socket, bool raiseIfMissing)
{
    TIpDataSocket* s = FSockets.FindPtr(socket);
    if (!s && raiseIfMissing)
        throw EIpNoSocketError(IpStr(IpConst::SNoSockErr));
    return s;
}

TIpDataSocket& TIpMultiSockControl::Socket(uint32_t socket)
{
    return *DataSocket(socket, true);
}

void TIpMultiSockControl::DoStatus(uint32_t socket, TIpStatusType event, const TIpConnRec& connRec)
{
    TIpSockControl::DoStatus(socket, event, connRec);
    if (event == stProgress)
        return;
    for (const TGuiTarget& t : FTerminals)
        t.Post(CM_IPSOCKETSTATUS, socket, IpMakeLong(event == stConnect ? 1 : 2, 0));
}

TIpDataSocket* TIpMultiSockControl::msAddDataSocket(IpWs::TSocket socket)
{
    auto s = std::make_unique<TIpDataSocket>(this, socket, DefaultLocalSockAddr(), &SockInits(),
                                             nullptr);
    TIpDataSocket* added = s.get();
    FSockets.Add(std::move(s));
    return added;
}

void TIpMultiSockControl::msCloseAll()
{
    FSockets.BroadcastClose();
}

void TIpMultiSockControl::msCloseSocket(uint32_t socket)
{
    Socket(socket).bsCloseSocket();
    FSockets.FreeSocket(socket);
}

void TIpMultiSockControl::scFreeSocket(uint32_t socket)
{
    FSockets.FreeSocket(socket);
}

void TIpMultiSockControl::scTimerBroadcast(uint32_t elapsed)
{
    FSockets.BroadcastTimer(elapsed);
}

uint32_t TIpCustomMultiClient::mcConnectSocket(const std::string& url)
{
    auto s = std::make_unique<TIpDataSocket>(this, ws::INVALID_SOCKET, DefaultLocalSockAddr(),
                                             &SockInits(), &FSocksServer);
    TIpDataSocket* added = s.get();
    FSockets.Add(std::move(s));
    try {
        sockaddr_in addr;
        scString2SockAddr(url, addr, DefaultPort);
        added->bsConnectSocket(addr, url);
    } catch (...) {
        // A connect that cannot start leaves no socket behind.
        FSockets.FreeSocket(added->Handle());
        throw;
    }
    return added->Handle();
}

void TIpCustomMultiClient::mcConnectThisSocket(uint32_t socket, const std::string& url)
{
    TIpDataSocket& s = Socket(socket);
    if (s.Connected())
        throw EIpWinSockError(ws::WSAEISCONN, "Connect");
    sockaddr_in addr;
    try {
        scString2SockAddr(url, addr, DefaultPort);
    } catch (const EIpWinSockError& e) {
        DoError(socket, e.ErrorCode(),
                IpFormat(IpConst::SWinSockErr, {e.ErrorCode(), WinSockErrorMessage(e.ErrorCode()),
                                                SocketEventName(FD_CONNECT)}));
        return;
    }
    s.bsConnectSocket(addr, url);
}

// ---- Server ------------------------------------------------------------------------

TIpCustomServer::TIpCustomServer(QObject* owner) : TIpMultiSockControl(owner) {}

TIpCustomServer::~TIpCustomServer()
{
    FListenSocket.reset();
}

void TIpCustomServer::SetActive(bool value)
{
    if (value == FActive)
        return;
    if (value)
        FListenSocket = std::make_unique<TIpListenSocket>(
            this, ws::INVALID_SOCKET, DefaultLocalSockAddr(), &SockInits(), nullptr);
    else
        FListenSocket.reset();
    FActive = value;
}

void TIpCustomServer::Loaded()
{
    if (FActive && !FListenSocket)
        FListenSocket = std::make_unique<TIpListenSocket>(
            this, ws::INVALID_SOCKET, DefaultLocalSockAddr(), &SockInits(), nullptr);
}

uint16_t TIpCustomServer::ListeningPort() const
{
    if (!FListenSocket)
        return 0;
    sockaddr_in addr{};
    int len = sizeof addr;
    FListenSocket->LockSock();
    const int rc = WinSock().GetGetSockName()(FListenSocket->Descriptor(),
                                              reinterpret_cast<sockaddr*>(&addr), &len);
    FListenSocket->UnlockSock();
    return rc == 0 ? ::ntohs(addr.sin_port) : 0;
}

void TIpCustomServer::SetHostsAllow(const std::vector<std::string>& list)
{
    FHostsAllow = Sorted(list);
}

void TIpCustomServer::SetHostsDeny(const std::vector<std::string>& list)
{
    FHostsDeny = Sorted(list);
}

bool TIpCustomServer::GetActiveSockets() const
{
    return FListenSocket != nullptr || TIpMultiSockControl::GetActiveSockets();
}

TIpBaseSocket* TIpCustomServer::scGetSocket(uint32_t socket, bool raiseIfMissing)
{
    if (IsListener(socket))
        return FListenSocket.get();
    return TIpMultiSockControl::scGetSocket(socket, raiseIfMissing);
}

void TIpCustomServer::scFreeSocket(uint32_t socket)
{
    if (IsListener(socket))
        FListenSocket.reset();
    else
        TIpMultiSockControl::scFreeSocket(socket);
}

void TIpCustomServer::scAccept(uint32_t socket)
{
    if (!IsListener(socket))
        return;
    cdAcceptConnection();
    if (FListenSocket)
        FListenSocket->bsAccept();
}

bool TIpCustomServer::cdMatchList(const std::string& peer, const std::vector<std::string>& list)
{
    for (const std::string& entry : list) {
        if (UpperAscii(entry) == "ALL" || entry == peer)
            return true;
        if (!entry.empty() && entry.back() == '.' && peer.rfind(entry, 0) == 0)
            return true;
    }
    return false;
}

void TIpCustomServer::DoReject(TIpRejectType reason, std::string& msg)
{
    if (OnReject)
        OnReject(this, reason, msg);
}

void TIpCustomServer::cdAcceptConnection()
{
    TIpWinSockAccess& w = WinSock();
    sockaddr_in peer{};
    int len = sizeof peer;
    const IpWs::TSocket accepted =
        w.GetAccept()(FListenSocket->Descriptor(), reinterpret_cast<sockaddr*>(&peer), &len);
    const int error = accepted == ws::INVALID_SOCKET ? w.GetWsaGetLastError()() : 0;
    AsyncSelect().Accepted(FListenSocket->Handle());
    if (accepted == ws::INVALID_SOCKET) {
        if (error == ws::WSAEWOULDBLOCK)
            return;
        throw EIpWinSockError(error, "Accept");
    }
    TIpDataSocket* s = msAddDataSocket(accepted);
    std::string msg;
    if (static_cast<uint32_t>(FSockets.GetCount()) > MaxClients) {
        DoReject(rtCount, msg);
        s->PutString(msg, true);
        return;
    }
    const std::string address = NetAddr2String(peer.sin_addr.s_addr);
    if (cdMatchList(address, FHostsAllow) || !cdMatchList(address, FHostsDeny)) {
        s->bsConnect();
        return;
    }
    DoReject(rtDenied, msg);
    s->PutString(msg, true);
}
