#include "netlib/sock/ip_sock_control.h"

#include "netlib/base/ip_const.h"
#include "netlib/base/ip_url.h"
#include "netproto/core/id_global.h"
#include "platform/clock.h"

#include <QtGlobal>

#include <arpa/inet.h>
#include <netdb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace ws = IdWinsock2;

namespace {

int AddrInfoToWsa(int rc)
{
    switch (rc) {
    case EAI_AGAIN:
        return ws::WSATRY_AGAIN;
    case EAI_FAIL:
        return ws::WSANO_RECOVERY;
    case EAI_NODATA:
        return ws::WSANO_DATA;
    default:
        return ws::WSAHOST_NOT_FOUND;
    }
}

std::string Endpoint(const std::string& address, uint16_t port)
{
    return address + ":" + std::to_string(port);
}

} // namespace

void IpHandleException(const std::exception& e)
{
    qWarning("%s", e.what());
}

struct TIpSockControl::TLookup {
    uint32_t Handle = 0;
    int Kind = 0;
    std::thread Worker;
    int Error = 0;
    uint32_t Address = 0;
    std::string Name;
    int Port = 0;
    ~TLookup()
    {
        if (Worker.joinable())
            Worker.join();
    }
};

TIpSockControl::TIpSockControl(QObject* owner)
    : TIpBaseComponent(owner),
      FWindow(std::make_unique<TGuiReceiver>(
          [this](uint32_t msg, uintptr_t w, intptr_t l) { return WndProc(msg, w, l); })),
      FAsync(std::make_unique<TIpAsyncSelect>(FWindow->Target(), CM_IPSOCKMESSAGE)),
      FDebugLog(std::make_unique<TIpDebugLog>(this)), FEventLog(std::make_unique<TIpEventLog>(this))
{
    FEventLog->SetFileName("event.log");
    FEventLog->SetDateTimeFormat("yyyy.mm.dd hh:nn:ss");
    FDefaultLocalAddr = IpAnyAddress();
    QObject::connect(&FTimer, &QTimer::timeout, [this] { WndProc(WM_TIMER, 1, 0); });
    SetTimerInterval(500);
}

TIpSockControl::~TIpSockControl()
{
    SetTimerInterval(0);
    {
        std::vector<std::unique_ptr<TLookup>> pending;
        {
            std::lock_guard guard(FLookupLock);
            pending.swap(FLookups);
        }
        // Last first; each waits for its worker.
        while (!pending.empty())
            pending.pop_back();
    }
    if (!FDebugLog->BufferEmpty()) {
        try {
            FDebugLog->DumpLog();
        } catch (const std::exception& e) {
            IpHandleException(e);
        }
    }
    FWindow.reset();
}

TIpWinSockAccess& TIpSockControl::WinSock() const
{
    TIpWinSockAccess* w = IpWinSockAccess();
    if (!w)
        throw EIpAccessException(
            IpFormat(IpConst::SAccessProcErr, {"socket", "the socket library is not started"}));
    return *w;
}

// ---- Settings ------------------------------------------------------------------

void TIpSockControl::SetSockProtocol(TIpSockProtocol value)
{
    if (GetActiveSockets())
        throw EIpActiveError(IpStr(IpConst::SActiveErr));
    FSockProtocol = value;
    FProtocolName = value == spTcp ? "tcp" : "udp";
    FSocketType = value == spTcp ? 1 : 2;
}

void TIpSockControl::SetTimerInterval(uint32_t ms)
{
    if (ms == FTimerInterval)
        return;
    FTimerInterval = ms;
    FTimer.stop();
    if (ms != 0) {
        FTimer.start(static_cast<int>(ms));
        FLastTick = Clock::TickCount();
    }
}

void TIpSockControl::SetDefaultLocalAddress(int32_t index)
{
    if (index == FDefaultLocalAddressIndex)
        return;
    if (index < 0 || index >= GetHostAddressCount())
        throw EIpIndexError(IpStr(IpConst::SIndexErr));
    FDefaultLocalAddressIndex = index;
    FDefaultLocalAddr.sin_addr.s_addr = index > 0 ? String2NetAddr(GetHostAddress(index)) : 0;
}

uint16_t TIpSockControl::GetDefaultLocalPort() const
{
    return ::ntohs(FDefaultLocalAddr.sin_port);
}

void TIpSockControl::SetDefaultLocalPort(uint16_t port)
{
    FDefaultLocalAddr.sin_port = ::htons(port);
}

// ---- Window ----------------------------------------------------------------------

intptr_t TIpSockControl::WndProc(uint32_t msg, uintptr_t wParam, intptr_t lParam)
{
    const auto socket = static_cast<uint32_t>(wParam);
    try {
        switch (msg) {
        case WM_TIMER:
            // A failing tick is reported; the timer keeps running.
            scTimer();
            return 0;
        case WM_QUERYENDSESSION:
            return 1;
        case CM_IPASYNCRESULT:
            CMIpAsyncResult(wParam, lParam);
            return 0;
        case CM_IPSOCKMESSAGE:
            CMIpSockMessage(socket, lParam);
            return 0;
        case CM_IPFREESOCKET:
            if (TIpBaseSocket* s = scGetSocket(socket, false)) {
                if (s->HasSocket())
                    s->bsCloseSocket();
                scFreeSocket(socket);
            }
            return 0;
        case CM_IPLINEMESSAGE:
            CMIpLineMessage();
            return 0;
        case CM_IPTERMRESIZE:
            if (TIpDataSocket* s = DataSocket(socket, false))
                s->dsSendTerminalSize();
            return 0;
        default:
            return 0;
        }
    } catch (const std::exception& e) {
        IpHandleException(e);
    }
    return 0;
}

void TIpSockControl::CMIpSockMessage(uint32_t socket, intptr_t lParam)
{
    const uint32_t event = IpLoWord(lParam);
    const int error = static_cast<int>(IpHiWord(lParam));
    try {
        if (error != 0) {
            DoError(socket, error,
                    IpFormat(IpConst::SWinSockErr,
                             {error, WinSockErrorMessage(error), SocketEventName(event)}));
            if (event == FD_CLOSE)
                scClose(socket);
            return;
        }
        switch (event) {
        case FD_READ:
            scRead(socket);
            break;
        case FD_WRITE:
            scWrite(socket);
            break;
        case FD_OOB:
            scOob(socket);
            break;
        case FD_ACCEPT:
            scAccept(socket);
            break;
        case FD_CONNECT:
            scConnect(socket);
            break;
        case FD_CLOSE:
            scClose(socket);
            break;
        }
    } catch (const EIpWinSockError& e) {
        DoError(socket, e.ErrorCode(), e.what());
    } catch (const std::exception& e) {
        IpHandleException(e);
    }
}

void TIpSockControl::CMIpLineMessage()
{
    // The line may have gone out already, ahead of a disconnect.
    if (FLines.empty())
        return;
    const auto [socket, line] = std::move(FLines.front());
    FLines.pop_front();
    if (OnReadLine)
        OnReadLine(this, socket, line);
}

void TIpSockControl::DeliverWaitingLines()
{
    while (!FLines.empty()) {
        try {
            CMIpLineMessage();
        } catch (const std::exception& e) {
            // As at the window: a failing handler is reported, the rest goes on.
            IpHandleException(e);
        }
    }
}

void TIpSockControl::scTimer()
{
    const uint32_t now = Clock::TickCount();
    const uint32_t elapsed = now - FLastTick;
    FLastTick = now;
    scTimerBroadcast(elapsed);
}

TIpBaseSocket* TIpSockControl::scGetSocket(uint32_t, bool raiseIfMissing)
{
    if (raiseIfMissing)
        throw EIpNoSocketError(IpStr(IpConst::SNoSockErr));
    return nullptr;
}

TIpDataSocket* TIpSockControl::DataSocket(uint32_t socket, bool raiseIfMissing)
{
    auto* s = dynamic_cast<TIpDataSocket*>(scGetSocket(socket, raiseIfMissing));
    if (!s && raiseIfMissing)
        throw EIpNoSocketError(IpStr(IpConst::SNoSockErr));
    return s;
}

void TIpSockControl::scClose(uint32_t socket)
{
    if (TIpBaseSocket* s = scGetSocket(socket, false)) {
        s->bsClose();
        scFreeSocket(socket);
    }
}

void TIpSockControl::scConnect(uint32_t socket)
{
    if (TIpBaseSocket* s = scGetSocket(socket, false))
        s->bsConnect();
}

void TIpSockControl::scOob(uint32_t socket)
{
    if (TIpBaseSocket* s = scGetSocket(socket, false))
        s->bsOob();
}

void TIpSockControl::scRead(uint32_t socket)
{
    if (TIpBaseSocket* s = scGetSocket(socket, false))
        s->bsRead();
}

void TIpSockControl::scWrite(uint32_t socket)
{
    if (TIpBaseSocket* s = scGetSocket(socket, false))
        s->bsWrite();
}

// ---- Events ----------------------------------------------------------------------

void TIpSockControl::DoAddressReply(uint32_t handle, in_addr address)
{
    if (OnAddressReply)
        OnAddressReply(this, handle, address);
}

void TIpSockControl::DoError(uint32_t socket, int errCode, const std::string& errStr)
{
    if (OnError)
        OnError(this, socket, errCode, errStr);
}

void TIpSockControl::DoErrorReply(uint32_t handle, int errCode, const std::string& errStr)
{
    if (OnErrorReply)
        OnErrorReply(this, handle, errCode, errStr);
}

void TIpSockControl::DoIdleTimeout(uint32_t socket, bool& reset)
{
    if (OnIdleTimeout)
        OnIdleTimeout(this, socket, reset);
}

void TIpSockControl::DoItemSent(uint32_t socket, uint32_t handle, uint32_t remaining)
{
    if (OnItemSent)
        OnItemSent(this, socket, handle, remaining);
}

void TIpSockControl::DoNameReply(uint32_t handle, const std::string& name)
{
    if (OnNameReply)
        OnNameReply(this, handle, name);
}

void TIpSockControl::DoPortReply(uint32_t handle, int port)
{
    if (OnPortReply)
        OnPortReply(this, handle, port);
}

void TIpSockControl::DoServiceReply(uint32_t handle, const std::string& service)
{
    if (OnServiceReply)
        OnServiceReply(this, handle, service);
}

void TIpSockControl::DoReadLine(uint32_t socket, const std::string& line)
{
    if (DirectLineDelivery) {
        if (OnReadLine)
            OnReadLine(this, socket, line);
        return;
    }
    FLines.emplace_back(socket, line);
    Window().Post(CM_IPLINEMESSAGE, socket, 0);
}

void TIpSockControl::DoStatus(uint32_t socket, TIpStatusType event, const TIpConnRec& connRec)
{
    if (event == stDisconnect)
        DeliverWaitingLines();
    if (OnStatus && StatusEvents.Has(event)) {
        TIpSockStatRec rec;
        if (TIpDataSocket* s = DataSocket(socket, false))
            s->StatusSnapshot(rec);
        OnStatus(this, socket, event, connRec, rec);
    }
    if (event == stProgress)
        return;
    try {
        const std::string local = Endpoint(NetAddr2String(connRec.LocalAddress), connRec.LocalPort);
        const std::string remote =
            Endpoint(NetAddr2String(connRec.RemoteAddress), connRec.RemotePort);
        EventLog().WriteEventString(
            IpFormat(event == stConnect ? IpConst::SEventConnect : IpConst::SEventDisconnect,
                     {local, remote}));
    } catch (const std::exception& e) {
        IpHandleException(e);
    }
}

// ---- Per-socket services ---------------------------------------------------------

uint32_t TIpSockControl::scPutBlock(uint32_t socket, const void* data, uint32_t size,
                                    bool closeWhenDone)
{
    return DataSocket(socket, true)->PutBlock(data, size, closeWhenDone);
}

uint32_t TIpSockControl::scPutString(uint32_t socket, const std::string& s, bool closeWhenDone)
{
    return DataSocket(socket, true)->PutString(s, closeWhenDone);
}

uint32_t TIpSockControl::scPutStream(uint32_t socket, std::istream* stream, bool closeWhenDone)
{
    return DataSocket(socket, true)->PutStream(stream, closeWhenDone);
}

void TIpSockControl::scResetStats(uint32_t socket)
{
    DataSocket(socket, true)->ResetStats();
}

void TIpSockControl::scStatusSnapshot(uint32_t socket, TIpSockStatRec& statRec)
{
    DataSocket(socket, true)->StatusSnapshot(statRec);
}

bool TIpSockControl::scAttachTerminal(uint32_t socket, const TGuiTarget& wnd)
{
    TIpDataSocket* s = DataSocket(socket, false);
    if (s)
        s->dsAttachTerminal(wnd);
    return s != nullptr;
}

void TIpSockControl::scDetachTerminal(uint32_t socket, const TGuiTarget& wnd)
{
    if (TIpDataSocket* s = DataSocket(socket, false))
        s->dsDetachTerminal(wnd);
}

void TIpSockControl::SetMasterTerminal(uint32_t socket, TIpTelnetTerminal* control)
{
    if (TIpDataSocket* s = DataSocket(socket, false))
        s->SetMasterTerminal(control);
}

TIpTelnetTerminal* TIpSockControl::GetMasterTerminal(uint32_t socket)
{
    TIpDataSocket* s = DataSocket(socket, false);
    return s ? s->MasterTerminal() : nullptr;
}

void TIpSockControl::RegisterTerminal(const TGuiTarget& wnd)
{
    FTerminals.push_back(wnd);
}

void TIpSockControl::DeRegisterTerminal(const TGuiTarget& wnd)
{
    std::erase(FTerminals, wnd);
}

// ---- Look-ups and conversions ------------------------------------------------------

uint32_t TIpSockControl::LookupAddress(const std::string& host)
{
    const hostent* h = WinSock().GetGetHostByName()(host.c_str());
    if (!h || !h->h_addr_list || !h->h_addr_list[0])
        return 0;
    uint32_t addr;
    std::memcpy(&addr, h->h_addr_list[0], sizeof addr);
    return addr;
}

std::string TIpSockControl::LookupName(uint32_t addr)
{
    const hostent* h =
        WinSock().GetGetHostByAddr()(reinterpret_cast<const char*>(&addr), 4, AF_INET);
    return h && h->h_name ? h->h_name : "";
}

uint16_t TIpSockControl::LookupPort(const std::string& service)
{
    const servent* s = WinSock().GetGetServByName()(service.c_str(), FProtocolName.c_str());
    return s ? ::ntohs(static_cast<uint16_t>(s->s_port)) : 0;
}

std::string TIpSockControl::LookupService(uint16_t port)
{
    const servent* s = WinSock().GetGetServByPort()(::htons(port), FProtocolName.c_str());
    return s && s->s_name ? s->s_name : "";
}

uint32_t TIpSockControl::StartLookup(int kind, std::function<void(TLookup&)> work)
{
    auto record = std::make_unique<TLookup>();
    TLookup* r = record.get();
    r->Kind = kind;
    {
        std::lock_guard guard(FLookupLock);
        r->Handle = ++FLastLookup;
        FLookups.push_back(std::move(record));
    }
    const TGuiTarget window = Window();
    const uint32_t handle = r->Handle;
    r->Worker = std::thread([r, work = std::move(work), window, handle] {
        work(*r);
        window.Post(CM_IPASYNCRESULT, handle, IpMakeLong(0, static_cast<uint32_t>(r->Error)));
    });
    return handle;
}

uint32_t TIpSockControl::RequestAddressLookup(const std::string& host)
{
    return StartLookup(0, [host](TLookup& r) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* result = nullptr;
        const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &result);
        if (rc != 0 || !result) {
            r.Error = AddrInfoToWsa(rc);
            return;
        }
        r.Address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr.s_addr;
        ::freeaddrinfo(result);
    });
}

uint32_t TIpSockControl::RequestNameLookup(uint32_t addr)
{
    return StartLookup(1, [addr](TLookup& r) {
        sockaddr_in sa = IpAnyAddress();
        sa.sin_addr.s_addr = addr;
        char name[NI_MAXHOST];
        const int rc = ::getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, name,
                                     sizeof name, nullptr, 0, NI_NAMEREQD);
        if (rc != 0)
            r.Error = AddrInfoToWsa(rc);
        else
            r.Name = name;
    });
}

uint32_t TIpSockControl::RequestPortLookup(const std::string& service)
{
    return StartLookup(2, [service, proto = FProtocolName](TLookup& r) {
        servent entry{}, *found = nullptr;
        char buf[1024];
        if (::getservbyname_r(service.c_str(), proto.c_str(), &entry, buf, sizeof buf, &found) !=
                0 ||
            !found)
            r.Error = ws::WSANO_DATA;
        else
            r.Port = ::ntohs(static_cast<uint16_t>(found->s_port));
    });
}

uint32_t TIpSockControl::RequestServiceLookup(uint16_t port)
{
    return StartLookup(3, [port, proto = FProtocolName](TLookup& r) {
        servent entry{}, *found = nullptr;
        char buf[1024];
        if (::getservbyport_r(::htons(port), proto.c_str(), &entry, buf, sizeof buf, &found) != 0 ||
            !found)
            r.Error = ws::WSANO_DATA;
        else
            r.Name = found->s_name;
    });
}

void TIpSockControl::CMIpAsyncResult(uintptr_t handle, intptr_t lParam)
{
    std::unique_ptr<TLookup> record;
    {
        std::lock_guard guard(FLookupLock);
        auto it = std::find_if(FLookups.begin(), FLookups.end(),
                               [&](const auto& r) { return r->Handle == handle; });
        if (it == FLookups.end())
            return;
        record = std::move(*it);
        FLookups.erase(it);
    }
    if (record->Worker.joinable())
        record->Worker.join();
    const auto h = static_cast<uint32_t>(handle);
    const int error = static_cast<int>(IpHiWord(lParam));
    if (error != 0) {
        DoErrorReply(h, error,
                     IpFormat(IpConst::SWinSockErr,
                              {error, WinSockErrorMessage(error), AsyncLookupName(record->Kind)}));
        return;
    }
    switch (record->Kind) {
    case 0: {
        in_addr a{};
        a.s_addr = record->Address;
        DoAddressReply(h, a);
        break;
    }
    case 1:
        DoNameReply(h, record->Name);
        break;
    case 2:
        DoPortReply(h, record->Port);
        break;
    case 3:
        DoServiceReply(h, record->Name);
        break;
    }
}

uint32_t TIpSockControl::String2NetAddr(const std::string& s)
{
    return WinSock().GetINet_Addr()(s.substr(0, 15).c_str());
}

std::string TIpSockControl::NetAddr2String(uint32_t addr)
{
    in_addr a{};
    a.s_addr = addr;
    return WinSock().GetINet_Ntoa()(a);
}

uint32_t TIpSockControl::htonl(uint32_t v)
{
    return WinSock().Gethtonl()(v);
}

uint16_t TIpSockControl::htons(uint16_t v)
{
    return WinSock().Gethtons()(v);
}

uint32_t TIpSockControl::ntohl(uint32_t v)
{
    return WinSock().Getntohl()(v);
}

uint16_t TIpSockControl::ntohs(uint16_t v)
{
    return WinSock().Getntohs()(v);
}

std::string TIpSockControl::GetLocalHost()
{
    char name[256] = {};
    if (WinSock().GetGetHostName()(name, sizeof name) != 0)
        return "";
    return name;
}

int TIpSockControl::GetHostAddressCount()
{
    const std::string host = GetLocalHost();
    if (host.empty())
        return 0;
    return ExtractAddressCount(WinSock().GetGetHostByName()(host.c_str()));
}

std::string TIpSockControl::GetHostAddress(int index)
{
    const std::string host = GetLocalHost();
    if (host.empty())
        return "";
    return ExtractAddress(WinSock().GetGetHostByName()(host.c_str()), index);
}

namespace {

int CountList(char* const* list)
{
    if (!list)
        return 0;
    int n = 0;
    while (n < 256 && list[n])
        ++n;
    return n == 256 ? 0 : n;
}

} // namespace

int TIpSockControl::ExtractAddressCount(const hostent* host)
{
    return host ? CountList(host->h_addr_list) : 0;
}

int TIpSockControl::ExtractAliasCount(const hostent* host)
{
    return host ? CountList(host->h_aliases) : 0;
}

std::string TIpSockControl::ExtractAddress(const hostent* host, int index)
{
    if (index > 0 && index >= ExtractAddressCount(host))
        throw EIpIndexError(IpStr(IpConst::SIndexErr));
    if (!host || !host->h_addr_list || !host->h_addr_list[index])
        return "";
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, host->h_addr_list[index], text, sizeof text);
    return text;
}

std::string TIpSockControl::ExtractAlias(const hostent* host, int index)
{
    if (index > 0 && index >= ExtractAliasCount(host))
        throw EIpIndexError(IpStr(IpConst::SIndexErr));
    if (!host || !host->h_aliases || !host->h_aliases[index])
        return "";
    return host->h_aliases[index];
}

std::string TIpSockControl::ExtractName(const hostent* host)
{
    return host && host->h_name ? host->h_name : "";
}

uint16_t TIpSockControl::ExtractPort(const servent* serv)
{
    return serv ? ntohs(static_cast<uint16_t>(serv->s_port)) : 0;
}

std::string TIpSockControl::ExtractService(const servent* serv)
{
    return serv && serv->s_name ? serv->s_name : "";
}

uint16_t TIpSockControl::GetwsVersion() const
{
    TIpWinSockAccess* w = IpWinSockAccess();
    return w ? w->WsaData().wVersion : 0;
}

uint16_t TIpSockControl::GetwsHighVersion() const
{
    TIpWinSockAccess* w = IpWinSockAccess();
    return w ? w->WsaData().wHighVersion : 0;
}

std::string TIpSockControl::GetwsDescription() const
{
    TIpWinSockAccess* w = IpWinSockAccess();
    return w ? w->WsaData().szDescription : "";
}

std::string TIpSockControl::GetwsSystemStatus() const
{
    TIpWinSockAccess* w = IpWinSockAccess();
    return w ? w->WsaData().szSystemStatus : "";
}

int TIpSockControl::GetModuleVersion() const
{
    TIpWinSockAccess* w = IpWinSockAccess();
    return w ? w->LoadedLevel() : 0;
}

int TIpSockControl::GetLastError()
{
    return WinSock().GetWsaGetLastError()();
}

void TIpSockControl::scString2SockAddr(const std::string& url, sockaddr_in& addr,
                                       uint16_t defaultPort)
{
    addr = IpAnyAddress();
    TIpAddrRec rec;
    IpParseURL(url, rec);
    // "name:port" with a name without dots parses as a scheme and a path of
    // digits; as a socket address it is that host and its port.
    const bool digits =
        !rec.Host.empty() && rec.Host.find_first_not_of("0123456789") == std::string::npos;
    if (rec.Port.empty() && digits && std::string(TrimBlanks(url)) == rec.Scheme + ":" + rec.Host) {
        rec.Port = rec.Host;
        rec.Host = rec.Scheme;
    }
    const uint16_t port =
        rec.Port.empty() ? defaultPort : static_cast<uint16_t>(std::atoi(rec.Port.c_str()));
    addr.sin_port = htons(port);
    if (rec.Host.empty())
        throw EIpWinSockError(ws::WSAEDESTADDRREQ, "Connect");
    if (rec.Host == "255.255.255.255") {
        addr.sin_addr.s_addr = INADDR_BROADCAST;
        return;
    }
    addr.sin_addr.s_addr = String2NetAddr(rec.Host);
    if (addr.sin_addr.s_addr == INADDR_NONE)
        addr.sin_addr.s_addr = LookupAddress(rec.Host);
    // A name that does not resolve must not become a connect to 0.0.0.0.
    if (addr.sin_addr.s_addr == 0)
        throw EIpWinSockError(ws::WSAHOST_NOT_FOUND, "gethostbyname");
}

// ---- Debug-log texts ---------------------------------------------------------------

std::string TIpSockControl::GetLogString(uint32_t d1, uint32_t d2, uint32_t, uint32_t d4,
                                         std::string_view data)
{
    const char* unit = d4 == 1 ? "byte" : "bytes";
    char line[128];
    switch (d2) {
    case dtHighRead:
        std::snprintf(line, sizeof line, "Read - %u %s read from socket %u\r\n", d4, unit, d1);
        break;
    case dtHighWrite:
        std::snprintf(line, sizeof line, "Write - %u %s written to socket %u\r\n", d4, unit, d1);
        break;
    case dtLowRecv:
        std::snprintf(line, sizeof line, "[%u] Recv API: %u %s read\r\n", d1, d4, unit);
        break;
    case dtLowSend:
        std::snprintf(line, sizeof line, "[%u] Send API: %u %s written\r\n", d1, d4, unit);
        break;
    default:
        return "";
    }
    std::string out = line;
    for (size_t offset = 0; offset < data.size(); offset += 16) {
        char head[32];
        std::snprintf(head, sizeof head, "  %06zx: ", offset);
        out += head;
        std::string chars;
        for (size_t j = 0; j < 16; ++j) {
            if (j == 8)
                out += ' ';
            if (offset + j < data.size()) {
                const auto b = static_cast<uint8_t>(data[offset + j]);
                char hex[4];
                std::snprintf(hex, sizeof hex, "%02X ", b);
                out += hex;
                chars += b < 32 || b > 126 ? '.' : static_cast<char>(b);
            } else {
                out += "   ";
                chars += ' ';
            }
        }
        out += ": " + chars + "\r\n";
    }
    return out;
}
