#include "netlib/sock/ip_socket.h"

#include "netlib/base/ip_const.h"
#include "netlib/sock/ip_sock_control.h"

#include <atomic>
#include <cstring>

namespace ws = IdWinsock2;

namespace {

constexpr int kSoDebug = ws::WS_SO_DEBUG;
constexpr int kSoDontRoute = ws::WS_SO_DONTROUTE;
constexpr int kSoBroadcast = ws::WS_SO_BROADCAST;
constexpr int kIpProtoTcp = 6;
constexpr int kTcpNoDelay = 1;

// A terminal's copy of received bytes that no terminal took.
void DropTermData(uintptr_t wParam)
{
    IpTakeTermData(wParam).reset();
}

uint32_t NextSocketHandle()
{
    // Never INVALID_SOCKET, never reused while the process runs.
    static std::atomic<uint32_t> last{0};
    uint32_t id = ++last;
    if (id == ws::INVALID_SOCKET)
        id = ++last;
    return id;
}

} // namespace

sockaddr_in IpAnyAddress()
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    return a;
}

// ---- SOCKS server settings ---------------------------------------------------

std::string TIpSocksServerInfo::Address() const
{
    auto guard = PropertyGuard();
    return FAddress;
}
void TIpSocksServerInfo::SetAddress(const std::string& value)
{
    auto guard = PropertyGuard();
    FAddress = value;
}
std::string TIpSocksServerInfo::Password() const
{
    auto guard = PropertyGuard();
    return FPassword;
}
void TIpSocksServerInfo::SetPassword(const std::string& value)
{
    auto guard = PropertyGuard();
    FPassword = value;
}
uint16_t TIpSocksServerInfo::Port() const
{
    auto guard = PropertyGuard();
    return FPort;
}
void TIpSocksServerInfo::SetPort(uint16_t value)
{
    auto guard = PropertyGuard();
    FPort = value;
}
TIpSocksVersion TIpSocksServerInfo::SocksVersion() const
{
    auto guard = PropertyGuard();
    return FSocksVersion;
}
void TIpSocksServerInfo::SetSocksVersion(TIpSocksVersion value)
{
    auto guard = PropertyGuard();
    FSocksVersion = value;
}
std::string TIpSocksServerInfo::UserCode() const
{
    auto guard = PropertyGuard();
    return FUserCode;
}
void TIpSocksServerInfo::SetUserCode(const std::string& value)
{
    auto guard = PropertyGuard();
    FUserCode = value;
}
void TIpSocksServerInfo::Assign(const TIpSocksServerInfo& source)
{
    if (&source == this)
        return;
    const std::string address = source.Address(), password = source.Password(),
                      user = source.UserCode();
    const uint16_t port = source.Port();
    const TIpSocksVersion version = source.SocksVersion();
    auto guard = PropertyGuard();
    FAddress = address;
    FPassword = password;
    FPort = port;
    FSocksVersion = version;
    FUserCode = user;
}

// ---- Base socket -------------------------------------------------------------

TIpBaseSocket::TIpBaseSocket(TIpSockControl* owner, IpWs::TSocket socket,
                             const sockaddr_in& localAddr, const TIpBaseInits* inits,
                             const TIpSocksServerInfo* socksInfo, uint32_t asyncMask)
    : FOwner(owner), FHandle(NextSocketHandle()), FAsyncMask(asyncMask)
{
    if (socksInfo)
        FSocksServer.Assign(*socksInfo);
    FSocksState = FSocksServer.Address().empty() ? 0 : 1;
    TIpWinSockAccess& w = WinSock();
    try {
        if (socket == ws::INVALID_SOCKET) {
            FSocketType = owner->SocketType();
            FSocket = w.GetSocket()(AF_INET, FSocketType, 0);
            if (FSocket == ws::INVALID_SOCKET)
                throw EIpWinSockError(w.GetWsaGetLastError()(), "Socket");
            uint32_t nonBlocking = 1;
            w.GetIOCtlSocket()(FSocket, ws::WS_FIONBIO, &nonBlocking);
            bsSetAsyncOptions();
            if (inits)
                SetSocketOptions(inits->SocketOptions);
            const sockaddr_in any = IpAnyAddress();
            if (localAddr.sin_port != any.sin_port ||
                localAddr.sin_addr.s_addr != any.sin_addr.s_addr) {
                FLocalAddr = localAddr;
                if (w.GetBind()(FSocket, reinterpret_cast<const sockaddr*>(&FLocalAddr),
                                sizeof FLocalAddr) == ws::SOCKET_ERROR)
                    throw EIpWinSockError(w.GetWsaGetLastError()(), "Bind");
            } else
                FLocalAddr = any;
        } else {
            FSocket = socket;
            int type = 0;
            int len = sizeof type;
            if (w.GetGetSockOpt()(FSocket, ws::WS_SOL_SOCKET, ws::WS_SO_TYPE, &type, &len) ==
                ws::SOCKET_ERROR)
                throw EIpWinSockError(w.GetWsaGetLastError()(), "GetSockOpt");
            FSocketType = type;
            uint32_t nonBlocking = 1;
            w.GetIOCtlSocket()(FSocket, ws::WS_FIONBIO, &nonBlocking);
            bsSetAsyncOptions();
            if (inits)
                SetSocketOptions(inits->SocketOptions);
            int size = sizeof FLocalAddr;
            w.GetGetSockName()(FSocket, reinterpret_cast<sockaddr*>(&FLocalAddr), &size);
            size = sizeof FRemoteAddr;
            w.GetGetPeerName()(FSocket, reinterpret_cast<sockaddr*>(&FRemoteAddr), &size);
        }
    } catch (...) {
        if (FSocket != ws::INVALID_SOCKET) {
            FOwner->AsyncSelect().Remove(FHandle);
            w.GetCloseSocket()(FSocket);
        }
        throw;
    }
}

TIpBaseSocket::~TIpBaseSocket()
{
    if (FSocket != ws::INVALID_SOCKET) {
        FOwner->AsyncSelect().Remove(FHandle);
        if (TIpWinSockAccess* w = IpWinSockAccess())
            w->GetCloseSocket()(FSocket);
    }
}

TIpWinSockAccess& TIpBaseSocket::WinSock() const
{
    TIpWinSockAccess* w = IpWinSockAccess();
    if (!w)
        throw EIpAccessException(
            IpFormat(IpConst::SAccessProcErr, {"socket", "the socket library is not started"}));
    return *w;
}

int TIpBaseSocket::Fd() const
{
    return FSocket == ws::INVALID_SOCKET ? -1 : static_cast<int>(FSocket);
}

bool TIpBaseSocket::HasSocket() const
{
    auto guard = Guard();
    return FSocket != ws::INVALID_SOCKET;
}

bool TIpBaseSocket::Connected() const
{
    auto guard = Guard();
    return FConnected;
}

uint8_t TIpBaseSocket::SocksState() const
{
    auto guard = Guard();
    return FSocksState;
}

#define IP_CONNECTED_GETTER(type, name, expr)                                                      \
    type TIpBaseSocket::name() const                                                               \
    {                                                                                              \
        auto guard = Guard();                                                                      \
        if (!FConnected)                                                                           \
            throw EIpNotConnectedError(IpStr(IpConst::SwsaENotConn));                              \
        return expr;                                                                               \
    }
IP_CONNECTED_GETTER(uint32_t, GetLocalAddress, FLocalAddr.sin_addr.s_addr)
IP_CONNECTED_GETTER(uint16_t, GetLocalPort, FLocalAddr.sin_port)
IP_CONNECTED_GETTER(uint32_t, GetRemoteAddress, FRemoteAddr.sin_addr.s_addr)
IP_CONNECTED_GETTER(uint16_t, GetRemotePort, FRemoteAddr.sin_port)
#undef IP_CONNECTED_GETTER

std::string TIpBaseSocket::GetURL() const
{
    auto guard = Guard();
    return FURL;
}

int TIpBaseSocket::bsGetLastError() const
{
    return WinSock().GetWsaGetLastError()();
}

TIpConnRec TIpBaseSocket::ConnRec() const
{
    auto guard = Guard();
    TIpConnRec rec;
    rec.RemoteAddress = FRemoteAddr.sin_addr.s_addr;
    rec.RemotePort = ::ntohs(FRemoteAddr.sin_port);
    rec.LocalAddress = FLocalAddr.sin_addr.s_addr;
    rec.LocalPort = ::ntohs(FLocalAddr.sin_port);
    return rec;
}

void TIpBaseSocket::bsSetAsyncOptions()
{
    if (FSocket != ws::INVALID_SOCKET)
        FOwner->AsyncSelect().Select(FHandle, Fd(), FAsyncMask);
}

void TIpBaseSocket::SetSocketOptions(const TIpSockOptionSet& options)
{
    auto guard = Guard();
    TIpWinSockAccess& w = WinSock();
    auto set = [&](int level, int option, bool on) {
        const int32_t value = on ? -1 : 0;
        if (w.GetSetSockOpt()(FSocket, level, option, &value, sizeof value) == ws::SOCKET_ERROR)
            throw EIpWinSockError(w.GetWsaGetLastError()(), "SetSockOpt");
    };
    if (FSocketType == 2)
        set(ws::WS_SOL_SOCKET, kSoBroadcast, options.Has(soBroadcast));
    if (FSocketType == 1) {
        set(kIpProtoTcp, kTcpNoDelay, options.Has(soNoDelay));
        set(ws::WS_SOL_SOCKET, ws::WS_SO_KEEPALIVE, options.Has(soKeepAlive));
    }
    set(ws::WS_SOL_SOCKET, kSoDebug, options.Has(soDebug));
    set(ws::WS_SOL_SOCKET, kSoDontRoute, options.Has(soDontRoute));
    set(ws::WS_SOL_SOCKET, ws::WS_SO_REUSEADDR, options.Has(soReuseAddr));
    FDiscardReceived = options.Has(soDiscardReceived);
    FEchoReceived = options.Has(soEchoReceived);
    FEchoSent = options.Has(soEchoSent);
    FStripHighBit = options.Has(soStripHighBit);
    FTelnet = options.Has(soTelnet);
}

TIpSockOptionSet TIpBaseSocket::GetSocketOptions() const
{
    auto guard = Guard();
    TIpWinSockAccess& w = WinSock();
    TIpSockOptionSet options;
    auto get = [&](int level, int option, TIpSockOptions flag) {
        int32_t value = 0;
        int len = sizeof value;
        if (w.GetGetSockOpt()(FSocket, level, option, &value, &len) == ws::SOCKET_ERROR)
            throw EIpWinSockError(w.GetWsaGetLastError()(), "GetSockOpt");
        if (value)
            options.Include(flag);
    };
    if (FSocketType == 2)
        get(ws::WS_SOL_SOCKET, kSoBroadcast, soBroadcast);
    if (FSocketType == 1) {
        get(kIpProtoTcp, kTcpNoDelay, soNoDelay);
        get(ws::WS_SOL_SOCKET, ws::WS_SO_KEEPALIVE, soKeepAlive);
    }
    get(ws::WS_SOL_SOCKET, kSoDebug, soDebug);
    get(ws::WS_SOL_SOCKET, kSoDontRoute, soDontRoute);
    get(ws::WS_SOL_SOCKET, ws::WS_SO_REUSEADDR, soReuseAddr);
    const std::pair<bool, TIpSockOptions> flags[] = {{FDiscardReceived, soDiscardReceived},
                                                     {FEchoReceived, soEchoReceived},
                                                     {FEchoSent, soEchoSent},
                                                     {FStripHighBit, soStripHighBit},
                                                     {FTelnet, soTelnet}};
    for (const auto& [on, flag] : flags)
        if (on)
            options.Include(flag);
    return options;
}

void TIpBaseSocket::bsConnectSocket(const sockaddr_in& addr, const std::string& url)
{
    auto guard = Guard();
    TIpWinSockAccess& w = WinSock();
    FURL = url;
    FRemoteAddr = addr;
    sockaddr_in target = addr;
    const char* api = "Connect";
    if (FSocksState != 0) {
        api = "SocksConnect";
        target = IpAnyAddress();
        target.sin_port = ::htons(FSocksServer.Port());
        const std::string server = FSocksServer.Address();
        target.sin_addr.s_addr = FOwner->String2NetAddr(server);
        if (target.sin_addr.s_addr == INADDR_NONE)
            target.sin_addr.s_addr = FOwner->LookupAddress(server);
        if (target.sin_addr.s_addr == 0)
            throw EIpWinSockError(ws::WSAHOST_NOT_FOUND, api);
    }
    if (w.GetConnect()(FSocket, reinterpret_cast<const sockaddr*>(&target), sizeof target) ==
        ws::SOCKET_ERROR) {
        const int error = w.GetWsaGetLastError()();
        if (error != ws::WSAEWOULDBLOCK)
            throw EIpWinSockError(error, api);
    }
    FOwner->AsyncSelect().Connecting(FHandle);
}

void TIpBaseSocket::bsConnect()
{
    auto guard = Guard();
    int size = sizeof FLocalAddr;
    WinSock().GetGetSockName()(FSocket, reinterpret_cast<sockaddr*>(&FLocalAddr), &size);
    FConnected = true;
    if (FSocksState == 1) {
        FSocksState = 2;
        bsHandleSocksConnect();
        return;
    }
    FOwner->DoStatus(FHandle, stConnect, ConnRec());
}

void TIpBaseSocket::bsClose()
{
    auto guard = Guard();
    FConnected = false;
}

void TIpBaseSocket::bsCloseSocket()
{
    auto guard = Guard();
    if (FSocket != ws::INVALID_SOCKET) {
        FOwner->AsyncSelect().Remove(FHandle);
        WinSock().GetCloseSocket()(FSocket);
        FSocket = ws::INVALID_SOCKET;
    }
    FConnected = false;
    // Reported with the socket's own handle while the object still exists.
    FOwner->DoStatus(FHandle, stDisconnect, ConnRec());
}

// ---- Data socket ---------------------------------------------------------------

TIpDataSocket::TIpDataSocket(TIpSockControl* owner, IpWs::TSocket socket,
                             const sockaddr_in& localAddr, const TIpBaseInits* inits,
                             const TIpSocksServerInfo* socksInfo)
    : TIpBaseSocket(owner, socket, localAddr, inits, socksInfo, FdDataMask)
{
    for (uint8_t o : {0, 3, 5, 24, 31})
        FOffered[o] = true;
    for (uint8_t o : {0, 1, 3})
        FAccepted[o] = true;
    const auto* data = dynamic_cast<const TIpDataInits*>(inits);
    const TIpDataInits defaults;
    const TIpDataInits& from = data ? *data : defaults;
    FFixedLineLength = from.FixedLineLength;
    FIdleTimeout = from.IdleTimeout;
    FLineTermChar = from.LineTermChar;
    FLineTerminator = from.LineTerminator;
    FLogOptions = from.LogOptions;
    FReceiveMode = from.ReceiveMode;
    FStripLineTerminator = from.StripLineTerminator;
    SetReceiveBufferSize(from.ReceiveBufferSize);
    SetSendBufferSize(from.SendBufferSize);
}

TIpDataSocket::~TIpDataSocket() = default;

#define IP_DATA_PROPERTY(type, name)                                                               \
    type TIpDataSocket::name() const                                                               \
    {                                                                                              \
        auto guard = Guard();                                                                      \
        return F##name;                                                                            \
    }                                                                                              \
    void TIpDataSocket::Set##name(type value)                                                      \
    {                                                                                              \
        auto guard = Guard();                                                                      \
        F##name = value;                                                                           \
    }
IP_DATA_PROPERTY(uint32_t, FixedLineLength)
IP_DATA_PROPERTY(uint32_t, IdleTimeout)
IP_DATA_PROPERTY(char, LineTermChar)
IP_DATA_PROPERTY(TIpLineTerminator, LineTerminator)
IP_DATA_PROPERTY(TIpTelnetTerminal*, MasterTerminal)
IP_DATA_PROPERTY(TIpReceiveMode, ReceiveMode)
IP_DATA_PROPERTY(std::ostream*, ReceiveStream)
IP_DATA_PROPERTY(bool, StripLineTerminator)
#undef IP_DATA_PROPERTY

TIpLogOptionSet TIpDataSocket::LogOptions() const
{
    auto guard = Guard();
    return FLogOptions;
}

void TIpDataSocket::SetLogOptions(const TIpLogOptionSet& value)
{
    auto guard = Guard();
    FLogOptions = value;
}

uint32_t TIpDataSocket::IdleTime() const
{
    auto guard = Guard();
    return FIdleTime;
}

namespace {

// Sets a stack buffer size, halving it while the stack refuses for any
// reason but "no such option" or "invalid". A buffer already that large is
// left alone: Linux stops tuning a buffer whose size is set.
void SetBufferOption(TIpWinSockAccess& w, IpWs::TSocket s, int option, int32_t size)
{
    int32_t current = 0;
    int len = sizeof current;
    if (w.GetGetSockOpt()(s, ws::WS_SOL_SOCKET, option, &current, &len) == 0 && current >= size)
        return;
    while (size >= 1461) {
        if (w.GetSetSockOpt()(s, ws::WS_SOL_SOCKET, option, &size, sizeof size) == 0)
            return;
        const int error = w.GetWsaGetLastError()();
        if (error == ws::WSAENOPROTOOPT || error == ws::WSAEINVAL)
            return;
        size /= 2;
    }
}

int32_t GetBufferOption(TIpWinSockAccess& w, IpWs::TSocket s, int option)
{
    int32_t size = 0;
    int len = sizeof size;
    if (w.GetGetSockOpt()(s, ws::WS_SOL_SOCKET, option, &size, &len) == 0)
        return size;
    const int error = w.GetWsaGetLastError()();
    if (error == ws::WSAENOPROTOOPT || error == ws::WSAEINVAL)
        return 0;
    throw EIpWinSockError(error, "getsockopt");
}

} // namespace

int32_t TIpDataSocket::GetReceiveBufferSize() const
{
    auto guard = Guard();
    return GetBufferOption(WinSock(), FSocket, ws::WS_SO_RCVBUF);
}

void TIpDataSocket::SetReceiveBufferSize(int32_t size)
{
    auto guard = Guard();
    SetBufferOption(WinSock(), FSocket, ws::WS_SO_RCVBUF, size);
}

int32_t TIpDataSocket::GetSendBufferSize() const
{
    auto guard = Guard();
    return GetBufferOption(WinSock(), FSocket, ws::WS_SO_SNDBUF);
}

void TIpDataSocket::SetSendBufferSize(int32_t size)
{
    auto guard = Guard();
    SetBufferOption(WinSock(), FSocket, ws::WS_SO_SNDBUF, size);
}

void TIpDataSocket::ResetStats()
{
    auto guard = Guard();
    FStats.DataReceived = FStats.DataSent = FStats.StackReceived = FStats.StackSent = 0;
}

void TIpDataSocket::StatusSnapshot(TIpSockStatRec& rec) const
{
    auto guard = Guard();
    rec = FStats;
}

void TIpDataSocket::dsAttachTerminal(const TGuiTarget& wnd)
{
    auto guard = Guard();
    FTerminals.push_back(wnd);
}

void TIpDataSocket::dsDetachTerminal(const TGuiTarget& wnd)
{
    auto guard = Guard();
    std::erase(FTerminals, wnd);
}

void TIpDataSocket::LogData(uint32_t type, const void* data, uint32_t size)
{
    FOwner->DebugLog().AddDebugEntry(&TIpSockControl::GetLogString, FHandle, type, 0, size, data);
}

// ---- Receiving ---------------------------------------------------------------------

void TIpDataSocket::bsRead()
{
    auto guard = Guard();
    FIdleTime = 0;
    while (dsReadData(false) > 0)
        while (dsCheckRead()) {
        }
}

uint32_t TIpDataSocket::dsReadData(bool closing)
{
    auto guard = Guard();
    if (FSocket == ws::INVALID_SOCKET || (!closing && !FConnected))
        return 0;
    if (FReadIndex == FFillIndex)
        FReadIndex = FFillIndex = 0;
    TIpWinSockAccess& w = WinSock();
    uint8_t* at = FInBuf + FFillIndex;
    const int got = w.GetRecv()(FSocket, at, static_cast<int>(InputBufferSize - FFillIndex), 0);
    const int error = got == ws::SOCKET_ERROR ? w.GetWsaGetLastError()() : 0;
    FOwner->AsyncSelect().Received(FHandle);
    if (got == ws::SOCKET_ERROR) {
        if (error == ws::WSAEWOULDBLOCK || error == ws::WSAENOTCONN || closing)
            return 0;
        throw EIpWinSockError(error, "Recv");
    }
    uint32_t n = static_cast<uint32_t>(got);
    if (n > 0 && FLogOptions.Has(loLowData))
        LogData(dtLowRecv, at, n);
    FStats.StackReceived += n;
    FStats.ConnStackReceived += n;
    if (n > 0 && SocksPending())
        n = dsSocksRcv(at, n);
    if (FTelnet)
        n = dsTelnetRcv(at, n);
    if (FStripHighBit)
        for (uint32_t i = 0; i < n; ++i)
            at[i] &= 0x7F;
    if (FEchoReceived && n > 0)
        dsPutData(at, n, nullptr, false, true, false);
    if (FDiscardReceived)
        n = 0;
    if (n > 0 && FLogOptions.Has(loHighData))
        LogData(dtHighRead, at, n);
    if (n > 0)
        for (const TGuiTarget& t : FTerminals) {
            // The terminal frees the copy; when it is gone first, the message does.
            auto copy = std::make_unique<std::string>(reinterpret_cast<const char*>(at), n);
            t.Post(CM_IPTERMDATA, reinterpret_cast<uintptr_t>(copy.release()), n, DropTermData);
        }
    FStats.DataReceived += n;
    FStats.ConnDataReceived += n;
    if (n > 0)
        FActivity = true;
    FFillIndex += n;
    // Bytes a layer consumed still count as read: the caller reads on.
    return got > 0 ? std::max<uint32_t>(n, 1) : 0;
}

bool TIpDataSocket::dsCheckRead()
{
    auto guard = Guard();
    if (FReadIndex == FFillIndex)
        return false;
    switch (FReceiveMode) {
    case rmLine: {
        const bool delivered = dsExtractLine(false);
        if (FPartialLine.size() > MaxLineBuf) {
            FPartialLine.clear();
            FOwner->DoError(FHandle, 8001, IpStr(IpConst::SReadLineErr));
        }
        // Spill only when no terminator is left, so no line is glued to the next.
        if (!delivered && FFillIndex == InputBufferSize) {
            const uint32_t spill = FFillIndex - FReadIndex - 2;
            FPartialLine.append(reinterpret_cast<const char*>(FInBuf + FReadIndex), spill);
            FReadIndex += spill;
            if (FPartialLine.size() > MaxLineBuf) {
                FPartialLine.clear();
                FOwner->DoError(FHandle, 8001, IpStr(IpConst::SReadLineErr));
            }
        }
        if (FReadIndex != 0 && FFillIndex > InputBufferSize / 2) {
            std::memmove(FInBuf, FInBuf + FReadIndex, FFillIndex - FReadIndex);
            FFillIndex -= FReadIndex;
            FReadIndex = 0;
        }
        return delivered;
    }
    case rmStream:
        if (!FReceiveStream)
            throw EIpProgrammerError(IpStr(IpConst::SNoStreamErr));
        FReceiveStream->write(reinterpret_cast<const char*>(FInBuf + FReadIndex),
                              FFillIndex - FReadIndex);
        FReadIndex = FFillIndex;
        return false;
    case rmAny:
        return dsExtractLine(true);
    }
    return false;
}

bool TIpDataSocket::dsExtractLine(bool flush)
{
    auto guard = Guard();
    const uint32_t unread = FFillIndex - FReadIndex;
    if (unread == 0)
        return false;
    const char* start = reinterpret_cast<const char*>(FInBuf + FReadIndex);
    std::string line;
    if (FLineTerminator == ltNone || flush) {
        const size_t length = flush ? FPartialLine.size() + unread : FFixedLineLength;
        if (length == 0 || FPartialLine.size() + unread < length)
            return false;
        const size_t take = length - FPartialLine.size();
        line = FPartialLine + std::string(start, take);
        FReadIndex += static_cast<uint32_t>(take);
    } else {
        char term;
        switch (FLineTerminator) {
        case ltCR:
            term = '\r';
            break;
        case ltLF:
        case ltCRLF:
            term = '\n';
            break;
        case ltOther:
            term = FLineTermChar;
            break;
        default:
            throw EIpBaseException("Bad terminator");
        }
        uint32_t i = 0;
        for (; i < unread; ++i)
            if (start[i] == term && (FLineTerminator != ltCRLF || (i > 0 && start[i - 1] == '\r')))
                break;
        if (i == unread)
            return false;
        line = FPartialLine + std::string(start, i + 1);
        if (FStripLineTerminator)
            line.resize(line.size() - (FLineTerminator == ltCRLF ? 2 : 1));
        FReadIndex += i + 1;
    }
    FPartialLine.clear();
    FOwner->DoReadLine(FHandle, line);
    return true;
}

// ---- Sending ---------------------------------------------------------------------

uint32_t TIpDataSocket::PutBlock(const void* data, uint32_t size, bool closeWhenDone)
{
    return dsPutData(data, size, nullptr, closeWhenDone, false, false);
}

uint32_t TIpDataSocket::PutString(const std::string& s, bool closeWhenDone)
{
    return dsPutData(s.data(), static_cast<uint32_t>(s.size()), nullptr, closeWhenDone, false,
                     false);
}

uint32_t TIpDataSocket::PutStream(std::istream* stream, bool closeWhenDone)
{
    return dsPutData(nullptr, 0, stream, closeWhenDone, false, false);
}

void TIpDataSocket::dsRefreshQueueItemBuffer(TSendQueueItem& item)
{
    const size_t limit = FTelnet ? 1024 : 1460;
    std::string chunk(limit, '\0');
    item.Stream->read(chunk.data(), static_cast<std::streamsize>(limit));
    chunk.resize(static_cast<size_t>(item.Stream->gcount()));
    if (chunk.size() < limit)
        item.Stream = nullptr;
    item.DataSize = static_cast<uint32_t>(chunk.size());
    item.Buffer = FTelnet ? dsTelnetSnd(chunk) : std::move(chunk);
    item.Position = 0;
}

uint32_t TIpDataSocket::dsPutData(const void* data, uint32_t size, std::istream* stream,
                                  bool closeWhenDone, bool internal, bool raw)
{
    auto guard = Guard();
    TSendQueueItem item;
    item.CloseWhenDone = closeWhenDone;
    item.Internal = internal;
    item.Stream = stream;
    if (!stream) {
        const std::string_view bytes(static_cast<const char*>(data), data ? size : 0);
        item.Buffer = FTelnet && !raw ? dsTelnetSnd(bytes) : std::string(bytes);
        item.DataSize = size;
    } else
        dsRefreshQueueItemBuffer(item);
    // While SOCKS negotiates, its own requests go before the data waiting.
    auto at = FQueue.end();
    if (internal && SocksPending())
        at = std::find_if(FQueue.begin(), FQueue.end(),
                          [](const TSendQueueItem& q) { return !q.Internal && q.Position == 0; });
    at = FQueue.insert(at, std::move(item));
    // An item that lands first goes out at once while the stack takes it.
    if (at == FQueue.begin() && FCanWrite && (internal || !SocksPending())) {
        bool done = false;
        while (FCanWrite && !(done = dsSendQueueItem(FQueue.front()))) {
        }
        if (done) {
            ItemDone(FQueue.front().CloseWhenDone);
            return 0;
        }
    }
    at->Handle = ++FLastQueueHandle;
    return at->Handle;
}

bool TIpDataSocket::dsSendQueueItem(TSendQueueItem& item)
{
    auto guard = Guard();
    if (!FCanWrite || FSocket == ws::INVALID_SOCKET)
        return false;
    TIpWinSockAccess& w = WinSock();
    const int left = static_cast<int>(item.Buffer.size() - item.Position);
    const int sent =
        left == 0 ? 0 : w.GetSend()(FSocket, item.Buffer.data() + item.Position, left, 0);
    FIdleTime = 0;
    if (sent == ws::SOCKET_ERROR) {
        const int error = w.GetWsaGetLastError()();
        if (error != ws::WSAEWOULDBLOCK)
            throw EIpWinSockError(error, "send");
        FCanWrite = false;
        FOwner->AsyncSelect().SendBlocked(FHandle);
        return false;
    }
    if (sent > 0 && FLogOptions.Has(loLowData))
        LogData(dtLowSend, item.Buffer.data() + item.Position, static_cast<uint32_t>(sent));
    if (sent < left) {
        item.Position += static_cast<size_t>(sent);
        return false;
    }
    FStats.StackSent += static_cast<uint32_t>(item.Buffer.size());
    FStats.ConnStackSent += static_cast<uint32_t>(item.Buffer.size());
    if (!item.Internal) {
        FStats.DataSent += item.DataSize;
        FStats.ConnDataSent += item.DataSize;
        if (FLogOptions.Has(loHighData) && !item.Buffer.empty())
            LogData(dtHighWrite, item.Buffer.data(), static_cast<uint32_t>(item.Buffer.size()));
    }
    FActivity = true;
    if (item.Stream) {
        dsRefreshQueueItemBuffer(item);
        return false;
    }
    return true;
}

void TIpDataSocket::ItemDone(bool closeWhenDone)
{
    if (closeWhenDone) {
        bsCloseSocket();
        FOwner->Window().Post(CM_IPFREESOCKET, FHandle, 0);
        return;
    }
    FQueue.pop_front();
}

bool TIpDataSocket::dsCheckSendQueue()
{
    auto guard = Guard();
    if (FSocket == ws::INVALID_SOCKET || FQueue.empty() || !FCanWrite)
        return false;
    TSendQueueItem& item = FQueue.front();
    if (!item.Internal && SocksPending())
        return false;
    // On until the item is done or the stack would block: only a blocked
    // send brings the next FD_WRITE.
    while (!dsSendQueueItem(item))
        if (!FCanWrite || FSocket == ws::INVALID_SOCKET)
            return false;
    const uint32_t handle = item.Handle;
    const bool closeWhenDone = item.CloseWhenDone;
    const bool internal = item.Internal;
    const auto remaining = static_cast<uint32_t>(FQueue.size() - 1);
    if (!internal)
        FOwner->DoItemSent(FHandle, handle, remaining);
    ItemDone(closeWhenDone);
    return !closeWhenDone;
}

void TIpDataSocket::bsWrite()
{
    auto guard = Guard();
    if (FSocket == ws::INVALID_SOCKET)
        return;
    FCanWrite = true;
    while (dsCheckSendQueue()) {
    }
}

void TIpDataSocket::SendInternal(const std::string& bytes)
{
    dsPutData(bytes.data(), static_cast<uint32_t>(bytes.size()), nullptr, false, true, true);
}

// ---- Timer and close -----------------------------------------------------------

void TIpDataSocket::bsTimer(uint32_t elapsed)
{
    auto guard = Guard();
    if (FActivity) {
        FActivity = false;
        FOwner->DoStatus(FHandle, stProgress, ConnRec());
    }
    dsIncIdleTime(elapsed);
}

void TIpDataSocket::dsIncIdleTime(uint32_t elapsed)
{
    FIdleTime += elapsed;
    if (FIdleTimeout != 0 && FIdleTime > FIdleTimeout)
        dsIdleTimeout();
}

void TIpDataSocket::dsIdleTimeout()
{
    bool reset = false;
    FOwner->DoIdleTimeout(FHandle, reset);
    if (reset)
        FIdleTime = 0;
}

void TIpDataSocket::bsClose()
{
    auto guard = Guard();
    if (FConnected)
        bsCloseSocket();
}

void TIpDataSocket::bsCloseSocket()
{
    auto guard = Guard();
    const bool hadSocket = FSocket != ws::INVALID_SOCKET;
    FConnected = false;
    FCanWrite = false;
    FQueue.clear();
    if (hadSocket) {
        WinSock().GetShutdown()(FSocket, ws::SD_SEND);
        while (dsReadData(true) > 0)
            while (dsCheckRead()) {
            }
        dsExtractLine(true);
    }
    TIpBaseSocket::bsCloseSocket();
}

void TIpDataSocket::bsConnectSocket(const sockaddr_in& addr, const std::string& url)
{
    auto guard = Guard();
    FReadIndex = FFillIndex = 0;
    FStats = TIpSockStatRec{};
    FActivity = false;
    FSocksCarry.clear();
    TIpBaseSocket::bsConnectSocket(addr, url);
}

// ---- Listening socket ------------------------------------------------------------

TIpListenSocket::TIpListenSocket(TIpSockControl* owner, IpWs::TSocket socket,
                                 const sockaddr_in& localAddr, const TIpBaseInits* inits,
                                 const TIpSocksServerInfo* socksInfo)
    : TIpBaseSocket(owner, socket, localAddr, inits, socksInfo, FdListenMask)
{
    TIpWinSockAccess& w = WinSock();
    if (w.GetListen()(FSocket, 5) == ws::SOCKET_ERROR) {
        const int error = w.GetWsaGetLastError()();
        throw EIpWinSockError(error, "Listen");
    }
    // Selected again now that it listens, so connections are watched for.
    bsSetAsyncOptions();
}
