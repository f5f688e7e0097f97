#pragma once

#include "netlib/base/ip_base.h"
#include "netlib/sock/ip_async_select.h"
#include "netlib/sock/ip_log.h"
#include "netlib/sock/ip_socket.h"
#include "platform/gui_message.h"

#include <QTimer>

#include <netdb.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The component behind every socket client and server of the library: its
// window (a GUI-thread message receiver) gets the socket notifications
// (asynchronous select), the replies of name and service look-ups (made on
// a worker thread each), its interval timer and its internal messages, and
// turns them into calls on its sockets and into its events.
//
// Decisions:
// - A host name that does not resolve is an error (11001, "Host not
//   found"), never a connect to 0.0.0.0; "name:port" is that host and port
//   even when the name has no dot.
// - An exception in the timer path is reported (standard error, as the
//   application's handler) and the timer keeps running.
// - The elapsed time between ticks is new - old as unsigned 32-bit.
// - Received lines wait in the control, in order, for their posted message;
//   a control freed with lines pending frees them with it. A disconnect is
//   reported after every line received before it: the lines still waiting
//   are delivered first.
// - Windows of terminals are TGuiTargets.

enum TIpSockProtocol { spTcp, spUdp };

using TIpAddressReplyEvent = std::function<void(QObject* sender, uint32_t handle, in_addr address)>;
using TIpErrorEvent =
    std::function<void(QObject* sender, uint32_t socket, int errCode, const std::string& errStr)>;
using TIpErrorReplyEvent =
    std::function<void(QObject* sender, uint32_t handle, int errCode, const std::string& errStr)>;
using TIpIdleTimeoutEvent = std::function<void(QObject* sender, uint32_t socket, bool& reset)>;
using TIpItemSentEvent =
    std::function<void(QObject* sender, uint32_t socket, uint32_t handle, uint32_t remaining)>;
using TIpNameReplyEvent =
    std::function<void(QObject* sender, uint32_t handle, const std::string& name)>;
using TIpPortReplyEvent = std::function<void(QObject* sender, uint32_t handle, int port)>;
using TIpReadLineEvent =
    std::function<void(QObject* sender, uint32_t socket, const std::string& line)>;
using TIpServiceReplyEvent =
    std::function<void(QObject* sender, uint32_t handle, const std::string& service)>;
using TIpStatusEvent =
    std::function<void(QObject* sender, uint32_t socket, TIpStatusType event,
                       const TIpConnRec& connection, const TIpSockStatRec& statRec)>;

inline constexpr uint32_t WM_TIMER = 0x0113;
inline constexpr uint32_t WM_QUERYENDSESSION = 0x0011;

// Reports an exception the way the application's handler would.
void IpHandleException(const std::exception& e);

class TIpSockControl : public TIpBaseComponent {
    Q_OBJECT
public:
    explicit TIpSockControl(QObject* owner = nullptr);
    ~TIpSockControl() override;

    TIpAddressReplyEvent OnAddressReply;
    TIpErrorEvent OnError;
    TIpErrorReplyEvent OnErrorReply;
    TIpIdleTimeoutEvent OnIdleTimeout;
    TIpItemSentEvent OnItemSent;
    TIpNameReplyEvent OnNameReply;
    TIpPortReplyEvent OnPortReply;
    TIpReadLineEvent OnReadLine;
    TIpServiceReplyEvent OnServiceReply;
    TIpStatusEvent OnStatus;

    TIpDebugLog& DebugLog() { return *FDebugLog; }
    TIpEventLog& EventLog() { return *FEventLog; }
    TIpDataInits& SockInits() { return FSockInits; }
    TIpSockProtocol SockProtocol() const { return FSockProtocol; }
    virtual void SetSockProtocol(TIpSockProtocol value);
    TIpStatusSet StatusEvents{stConnect, stDisconnect, stProgress};
    uint32_t TimerInterval() const { return FTimerInterval; }
    void SetTimerInterval(uint32_t ms);
    // When set, a received line fires OnReadLine at once instead of through
    // the window.
    bool DirectLineDelivery = false;
    int32_t DefaultLocalAddress() const { return FDefaultLocalAddressIndex; }
    void SetDefaultLocalAddress(int32_t index);
    uint16_t GetDefaultLocalPort() const;
    void SetDefaultLocalPort(uint16_t port);
    const sockaddr_in& DefaultLocalSockAddr() const { return FDefaultLocalAddr; }
    int SocketType() const { return FSocketType; }
    const std::string& ProtocolName() const { return FProtocolName; }

    // The window: sockets post to it, terminals are told through theirs.
    TGuiTarget Window() const { return FWindow->Target(); }
    TIpAsyncSelect& AsyncSelect() { return *FAsync; }

    static std::string GetLogString(uint32_t d1, uint32_t d2, uint32_t d3, uint32_t d4,
                                    std::string_view data = {});
    TIpLogStringClass LogStringClass() const override { return &TIpSockControl::GetLogString; }

    // Events, each fired only when assigned.
    virtual void DoAddressReply(uint32_t handle, in_addr address);
    virtual void DoError(uint32_t socket, int errCode, const std::string& errStr);
    virtual void DoErrorReply(uint32_t handle, int errCode, const std::string& errStr);
    virtual void DoIdleTimeout(uint32_t socket, bool& reset);
    virtual void DoItemSent(uint32_t socket, uint32_t handle, uint32_t remaining);
    virtual void DoNameReply(uint32_t handle, const std::string& name);
    virtual void DoPortReply(uint32_t handle, int port);
    virtual void DoReadLine(uint32_t socket, const std::string& line);
    virtual void DoServiceReply(uint32_t handle, const std::string& service);
    virtual void DoStatus(uint32_t socket, TIpStatusType event, const TIpConnRec& connRec);

    // The socket of that handle; none (or EIpNoSocketError) when absent.
    virtual TIpBaseSocket* scGetSocket(uint32_t socket, bool raiseIfMissing);
    virtual bool GetActiveSockets() const { return false; }

    // Per-socket services by handle.
    uint32_t scPutBlock(uint32_t socket, const void* data, uint32_t size, bool closeWhenDone);
    uint32_t scPutString(uint32_t socket, const std::string& s, bool closeWhenDone);
    uint32_t scPutStream(uint32_t socket, std::istream* stream, bool closeWhenDone);
    void scResetStats(uint32_t socket);
    void scStatusSnapshot(uint32_t socket, TIpSockStatRec& statRec);
    bool scAttachTerminal(uint32_t socket, const TGuiTarget& wnd);
    void scDetachTerminal(uint32_t socket, const TGuiTarget& wnd);
    void SetMasterTerminal(uint32_t socket, TIpTelnetTerminal* control);
    TIpTelnetTerminal* GetMasterTerminal(uint32_t socket);
    virtual void RegisterTerminal(const TGuiTarget& wnd);
    virtual void DeRegisterTerminal(const TGuiTarget& wnd);

    // Blocking look-ups; addresses in network order, ports in host order.
    uint32_t LookupAddress(const std::string& host);
    std::string LookupName(uint32_t addr);
    uint16_t LookupPort(const std::string& service);
    std::string LookupService(uint16_t port);
    // Look-ups on a worker thread; the reply comes through the window. The
    // result is the request's handle.
    uint32_t RequestAddressLookup(const std::string& host);
    uint32_t RequestNameLookup(uint32_t addr);
    uint32_t RequestPortLookup(const std::string& service);
    uint32_t RequestServiceLookup(uint16_t port);

    uint32_t String2NetAddr(const std::string& s);
    std::string NetAddr2String(uint32_t addr);
    uint32_t htonl(uint32_t v);
    uint16_t htons(uint16_t v);
    uint32_t ntohl(uint32_t v);
    uint16_t ntohs(uint16_t v);
    std::string GetLocalHost();
    int GetHostAddressCount();
    std::string GetHostAddress(int index);
    static std::string ExtractAddress(const hostent* host, int index);
    static int ExtractAddressCount(const hostent* host);
    static std::string ExtractAlias(const hostent* host, int index);
    static int ExtractAliasCount(const hostent* host);
    static std::string ExtractName(const hostent* host);
    uint16_t ExtractPort(const servent* serv);
    static std::string ExtractService(const servent* serv);
    uint16_t GetwsVersion() const;
    uint16_t GetwsHighVersion() const;
    std::string GetwsDescription() const;
    std::string GetwsSystemStatus() const;
    int GetwsMaxSockets() const { return 0; }
    int GetwsMaxDatagram() const { return 0; }
    int GetModuleVersion() const;
    int GetLastError();

    // Fills addr from the URL's host and port (DefaultPort when it names
    // none). No host: "Destination address required"; a host that does not
    // resolve: 11001.
    void scString2SockAddr(const std::string& url, sockaddr_in& addr, uint16_t defaultPort);

    // The window procedure; public so tests can drive it as the stack would.
    virtual intptr_t WndProc(uint32_t msg, uintptr_t wParam, intptr_t lParam);

protected:
    virtual void scFreeSocket(uint32_t socket) = 0;
    virtual void scAccept(uint32_t /*socket*/) {}
    virtual void scClose(uint32_t socket);
    virtual void scConnect(uint32_t socket);
    virtual void scOob(uint32_t socket);
    virtual void scRead(uint32_t socket);
    virtual void scTimer();
    virtual void scTimerBroadcast(uint32_t /*elapsed*/) {}
    virtual void scWrite(uint32_t socket);

    TIpDataSocket* DataSocket(uint32_t socket, bool raiseIfMissing);
    TIpWinSockAccess& WinSock() const;
    std::vector<TGuiTarget> FTerminals;

private:
    struct TLookup;
    void CMIpAsyncResult(uintptr_t handle, intptr_t lParam);
    void CMIpSockMessage(uint32_t socket, intptr_t lParam);
    void CMIpLineMessage();
    // Fires OnReadLine for the lines still waiting for their message.
    void DeliverWaitingLines();
    uint32_t StartLookup(int kind, std::function<void(TLookup&)> work);

    std::unique_ptr<TGuiReceiver> FWindow;
    std::unique_ptr<TIpAsyncSelect> FAsync;
    std::unique_ptr<TIpDebugLog> FDebugLog;
    std::unique_ptr<TIpEventLog> FEventLog;
    TIpDataInits FSockInits;
    TIpSockProtocol FSockProtocol = spTcp;
    uint32_t FTimerInterval = 0;
    QTimer FTimer;
    uint32_t FLastTick = 0;
    int32_t FDefaultLocalAddressIndex = 0;
    sockaddr_in FDefaultLocalAddr{};
    std::string FProtocolName = "tcp";
    int FSocketType = 1;
    std::mutex FLookupLock;
    std::vector<std::unique_ptr<TLookup>> FLookups;
    uint32_t FLastLookup = 0;
    std::deque<std::pair<uint32_t, std::string>> FLines; // socket, line
};
