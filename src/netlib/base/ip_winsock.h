#pragma once

#include "netlib/base/ip_base.h"
#include "netproto/core/id_winsock2.h"

#include <functional>
#include <string>

// The process-wide WinSock loader of the internet component library, the
// socket unit's exceptions and the texts of WinSock errors.
//
// Decisions:
// - The library table keeps the Windows file names: "ws2_32.dll" (level 2,
//   version 2.2) and "wsock32.dll" (level 1, version 1.1). The program's
//   loader offers the POSIX sockets binding (netproto's WinSock-shaped
//   table, errno mapped to WinSock numbers) under both names; at level 1 it
//   exports the WinSock 1.1 names only.
// - Entry points the binding answers with "not supported" (blocking hooks,
//   name-space services, protocol catalogue, QoS, multipoint, duplicating a
//   socket) are absent exports: their getters raise EIpAccessException, as
//   a missing export does, and hand out the untyped TIpProc.
// - The composition root creates the loader (IpSockStartup); a failing
//   start-up is reported and the program goes on with an unloaded loader
//   (level 0), whose getters raise instead of there being no loader at all.

namespace IpWs {
using TSocket = IdWinsock2::TSocket;
using TFDSet = IdWinsock2::TFDSet;
using TWSAData = IdWinsock2::TWSAData;

using TAccept = TSocket (*)(TSocket, sockaddr*, int*);
using TBind = int (*)(TSocket, const sockaddr*, int);
using TCloseSocket = int (*)(TSocket);
using TConnect = int (*)(TSocket, const sockaddr*, int);
using TGetHostByAddr = const hostent* (*)(const char*, int, int);
using TGetHostByName = const hostent* (*)(const char*);
using TGetHostName = int (*)(char*, int);
using TGetSockAddr = int (*)(TSocket, sockaddr*, int*);
using TGetProtoByName = const protoent* (*)(const char*);
using TGetProtoByNumber = const protoent* (*)(int);
using TGetServByName = const servent* (*)(const char*, const char*);
using TGetServByPort = const servent* (*)(int, const char*);
using TGetSockOpt = int (*)(TSocket, int, int, void*, int*);
using THtonl = uint32_t (*)(uint32_t);
using THtons = uint16_t (*)(uint16_t);
using TInetAddr = uint32_t (*)(const char*);
using TInetNtoa = const char* (*)(in_addr);
using TIoctlSocket = int (*)(TSocket, long, uint32_t*);
using TListen = int (*)(TSocket, int);
using TRecv = int (*)(TSocket, void*, int, int);
using TRecvFrom = int (*)(TSocket, void*, int, int, sockaddr*, int*);
using TSelect = int (*)(int, TFDSet*, TFDSet*, TFDSet*, const timeval*);
using TSend = int (*)(TSocket, const void*, int, int);
using TSendTo = int (*)(TSocket, const void*, int, int, const sockaddr*, int);
using TSetSockOpt = int (*)(TSocket, int, int, const void*, int);
using TShutdown = int (*)(TSocket, int);
using TSocketProc = TSocket (*)(int, int, int);
using TWsaCleanup = int (*)();
using TWsaGetLastError = int (*)();
using TWsaIsBlocking = int (*)();
using TWsaSetLastError = void (*)(int);
using TWsaStartup = int (*)(uint16_t, TWSAData*);
} // namespace IpWs

// X(getter, exported name, type) for each WinSock 1.1 entry point.
#define IP_WINSOCK1_PROCS(X)                                                                       \
    X(GetAccept, "accept", IpWs::TAccept)                                                          \
    X(GetBind, "bind", IpWs::TBind)                                                                \
    X(GetCloseSocket, "closesocket", IpWs::TCloseSocket)                                           \
    X(GetConnect, "connect", IpWs::TConnect)                                                       \
    X(GetGetHostByAddr, "gethostbyaddr", IpWs::TGetHostByAddr)                                     \
    X(GetGetHostByName, "gethostbyname", IpWs::TGetHostByName)                                     \
    X(GetGetHostName, "gethostname", IpWs::TGetHostName)                                           \
    X(GetGetPeerName, "getpeername", IpWs::TGetSockAddr)                                           \
    X(GetGetProtoByName, "getprotobyname", IpWs::TGetProtoByName)                                  \
    X(GetGetProtoByNumber, "getprotobynumber", IpWs::TGetProtoByNumber)                            \
    X(GetGetServByName, "getservbyname", IpWs::TGetServByName)                                     \
    X(GetGetServByPort, "getservbyport", IpWs::TGetServByPort)                                     \
    X(GetGetSockName, "getsockname", IpWs::TGetSockAddr)                                           \
    X(GetGetSockOpt, "getsockopt", IpWs::TGetSockOpt)                                              \
    X(Gethtonl, "htonl", IpWs::THtonl)                                                             \
    X(Gethtons, "htons", IpWs::THtons)                                                             \
    X(GetINet_Addr, "inet_addr", IpWs::TInetAddr)                                                  \
    X(GetINet_Ntoa, "inet_ntoa", IpWs::TInetNtoa)                                                  \
    X(GetIOCtlSocket, "ioctlsocket", IpWs::TIoctlSocket)                                           \
    X(GetListen, "listen", IpWs::TListen)                                                          \
    X(Getntohl, "ntohl", IpWs::THtonl)                                                             \
    X(Getntohs, "ntohs", IpWs::THtons)                                                             \
    X(GetRecv, "recv", IpWs::TRecv)                                                                \
    X(GetRecvFrom, "recvfrom", IpWs::TRecvFrom)                                                    \
    X(GetSelect, "select", IpWs::TSelect)                                                          \
    X(GetSend, "send", IpWs::TSend)                                                                \
    X(GetSendTo, "sendto", IpWs::TSendTo)                                                          \
    X(GetSetSockOpt, "setsockopt", IpWs::TSetSockOpt)                                              \
    X(GetShutdown, "shutdown", IpWs::TShutdown)                                                    \
    X(GetSocket, "socket", IpWs::TSocketProc)                                                      \
    X(GetWsaAsyncGetHostByAddr, "WSAAsyncGetHostByAddr",                                           \
      decltype(&IdWinsock2::WSAAsyncGetHostByAddr))                                                \
    X(GetWsaAsyncGetHostByName, "WSAAsyncGetHostByName",                                           \
      decltype(&IdWinsock2::WSAAsyncGetHostByName))                                                \
    X(GetWsaAsyncGetProtoByName, "WSAAsyncGetProtoByName",                                         \
      decltype(&IdWinsock2::WSAAsyncGetProtoByName))                                               \
    X(GetWsaAsyncGetProtoByNumber, "WSAAsyncGetProtoByNumber",                                     \
      decltype(&IdWinsock2::WSAAsyncGetProtoByNumber))                                             \
    X(GetWsaAsyncGetServByName, "WSAAsyncGetServByName",                                           \
      decltype(&IdWinsock2::WSAAsyncGetServByName))                                                \
    X(GetWsaAsyncGetServByPort, "WSAAsyncGetServByPort",                                           \
      decltype(&IdWinsock2::WSAAsyncGetServByPort))                                                \
    X(GetWsaAsyncSelect, "WSAAsyncSelect", decltype(&IdWinsock2::WSAAsyncSelect))                  \
    X(GetWsaCancelAsyncRequest, "WSACancelAsyncRequest",                                           \
      decltype(&IdWinsock2::WSACancelAsyncRequest))                                                \
    X(GetWsaCancelBlockingCall, "WSACancelBlockingCall", TIpProc)                                  \
    X(GetWsaCleanup, "WSACleanup", IpWs::TWsaCleanup)                                              \
    X(GetWsaGetLastError, "WSAGetLastError", IpWs::TWsaGetLastError)                               \
    X(GetWsaIsBlocking, "WSAIsBlocking", IpWs::TWsaIsBlocking)                                     \
    X(GetWsaSetBlockingHook, "WSASetBlockingHook", TIpProc)                                        \
    X(GetWsaSetLastError, "WSASetLastError", IpWs::TWsaSetLastError)                               \
    X(GetWsaStartup, "WSAStartup", IpWs::TWsaStartup)                                              \
    X(GetWsaUnhookBlockingHook, "WSAUnhookBlockingHook", TIpProc)

// X(getter, exported name, type) for each WinSock 2 entry point.
#define IP_WINSOCK2_PROCS(X)                                                                       \
    X(GetWsaAccept, "WSAAccept", decltype(&IdWinsock2::WSAAccept))                                 \
    X(GetWsaCloseEvent, "WSACloseEvent", decltype(&IdWinsock2::WSACloseEvent))                     \
    X(GetWsaConnect, "WSAConnect", decltype(&IdWinsock2::WSAConnect))                              \
    X(GetWsaCreateEvent, "WSACreateEvent", decltype(&IdWinsock2::WSACreateEvent))                  \
    X(GetWsaDuplicateSocket, "WSADuplicateSocketA", TIpProc)                                       \
    X(GetWsaEnumNetworkEvents, "WSAEnumNetworkEvents",                                             \
      decltype(&IdWinsock2::WSAEnumNetworkEvents))                                                 \
    X(GetWsaEnumProtocols, "WSAEnumProtocolsA", TIpProc)                                           \
    X(GetWsaEventSelect, "WSAEventSelect", decltype(&IdWinsock2::WSAEventSelect))                  \
    X(GetWsaGetOverlappedResult, "WSAGetOverlappedResult",                                         \
      decltype(&IdWinsock2::WSAGetOverlappedResult))                                               \
    X(GetWsaGetQosByName, "WSAGetQOSByName", TIpProc)                                              \
    X(GetWsaHtonl, "WSAHtonl", decltype(&IdWinsock2::WSAHtonl))                                    \
    X(GetWsaHtons, "WSAHtons", decltype(&IdWinsock2::WSAHtons))                                    \
    X(GetWsaIoctl, "WSAIoctl", decltype(&IdWinsock2::WSAIoctl))                                    \
    X(GetWsaJoinLeaf, "WSAJoinLeaf", TIpProc)                                                      \
    X(GetWsaNtohl, "WSANtohl", decltype(&IdWinsock2::WSANtohl))                                    \
    X(GetWsaNtohs, "WSANtohs", decltype(&IdWinsock2::WSANtohs))                                    \
    X(GetWsaRecv, "WSARecv", decltype(&IdWinsock2::WSARecv))                                       \
    X(GetWsaRecvDisconnect, "WSARecvDisconnect", decltype(&IdWinsock2::WSARecvDisconnect))         \
    X(GetWsaRecvFrom, "WSARecvFrom", decltype(&IdWinsock2::WSARecvFrom))                           \
    X(GetWsaResetEvent, "WSAResetEvent", decltype(&IdWinsock2::WSAResetEvent))                     \
    X(GetWsaSend, "WSASend", decltype(&IdWinsock2::WSASend))                                       \
    X(GetWsaSendDisconnect, "WSASendDisconnect", decltype(&IdWinsock2::WSASendDisconnect))         \
    X(GetWsaSendTo, "WSASendTo", decltype(&IdWinsock2::WSASendTo))                                 \
    X(GetWsaSetEvent, "WSASetEvent", decltype(&IdWinsock2::WSASetEvent))                           \
    X(GetWsaSocket, "WSASocketA", decltype(&IdWinsock2::WSASocketA))                               \
    X(GetWsaWaitForMultipleEvents, "WSAWaitForMultipleEvents",                                     \
      decltype(&IdWinsock2::WSAWaitForMultipleEvents))                                             \
    X(GetWsaAddressToString, "WSAAddressToStringA", decltype(&IdWinsock2::WSAAddressToStringA))    \
    X(GetWsaStringToAddress, "WSAStringToAddressA", decltype(&IdWinsock2::WSAStringToAddressA))    \
    X(GetWsaLookupServiceBegin, "WSALookupServiceBeginA", TIpProc)                                 \
    X(GetWsaLookupServiceNext, "WSALookupServiceNextA", TIpProc)                                   \
    X(GetWsaLookupServiceEnd, "WSALookupServiceEnd", TIpProc)                                      \
    X(GetWsaInstallServiceClass, "WSAInstallServiceClassA", TIpProc)                               \
    X(GetWsaRemoveServiceClass, "WSARemoveServiceClass", TIpProc)                                  \
    X(GetWsaGetServiceClassInfo, "WSAGetServiceClassInfoA", TIpProc)                               \
    X(GetWsaEnumNameSpaceProviders, "WSAEnumNameSpaceProvidersA", TIpProc)                         \
    X(GetWsaGetServiceClassNameByClassId, "WSAGetServiceClassNameByClassIdA", TIpProc)             \
    X(GetWsaSetService, "WSASetServiceA", TIpProc)                                                 \
    X(GetWsaProviderConfigChange, "WSAProviderConfigChange", TIpProc)

// The WinSock loader: picks the newest library present, starts it, and hands
// out entry points resolved by name on first use, under the object's lock.
class TIpWinSockAccess : public TIpBaseAccess {
public:
    // Loads and starts WinSock through the loader (the POSIX binding by
    // default). No library found: nothing is raised and the level stays 0.
    // A failing WSAStartup raises EIpWinSockError after unloading again.
    explicit TIpWinSockAccess(TIpModuleLoader* loader = nullptr);
    // Stops and unloads a loaded library (WSACleanup only when one is loaded).
    ~TIpWinSockAccess() override;

#define IP_WINSOCK_GETTER(getter, name, type) type getter();
    IP_WINSOCK1_PROCS(IP_WINSOCK_GETTER)
    IP_WINSOCK2_PROCS(IP_WINSOCK_GETTER)
#undef IP_WINSOCK_GETTER

    // 2 or 1 for the library loaded, 0 when none is.
    int LoadedLevel() const
    {
        return FLevel;
    }
    // What WSAStartup filled in.
    const IpWs::TWSAData& WsaData() const
    {
        return FWsaData;
    }

private:
    enum TSlot : int {
#define IP_WINSOCK_SLOT(getter, name, type) k##getter,
        IP_WINSOCK1_PROCS(IP_WINSOCK_SLOT) IP_WINSOCK2_PROCS(IP_WINSOCK_SLOT) kSlotCount
#undef IP_WINSOCK_SLOT
    };
    TIpProc Proc(TSlot slot, const char* name, bool needsWinSock2);
    void Unload();

    IpWs::TWSAData FWsaData;
    TIpProc FSlots[kSlotCount] = {};
    uint8_t FLevel = 0;
};

// The program's loader of WinSock libraries: the POSIX binding under both
// file names.
TIpModuleLoader& PosixWinSockLoader();

// A failed WinSock call.
class EIpWinSockError : public EIpBaseException {
public:
    // "WinSock Error (%d): %s, on API '%s'" with the code's text.
    EIpWinSockError(int32_t code, const std::string& api);
    int32_t ErrorCode() const { return FErrorCode; }

private:
    int32_t FErrorCode;
};

#define IP_SOCK_EXCEPTION(name)                                                                    \
    class name : public EIpBaseException {                                                         \
    public:                                                                                        \
        using EIpBaseException::EIpBaseException;                                                  \
    };
IP_SOCK_EXCEPTION(EIpActiveError)
IP_SOCK_EXCEPTION(EIpIndexError)
IP_SOCK_EXCEPTION(EIpNoSocketError)
IP_SOCK_EXCEPTION(EIpNotConnectedError)
IP_SOCK_EXCEPTION(EIpProgrammerError)
#undef IP_SOCK_EXCEPTION

// The text of a WinSock error code: the library's own for the codes it
// knows, the system's for any other.
std::string WinSockErrorMessage(int code);
// Names for error reports: an asynchronous lookup kind (0 to 3) and a socket
// event bit (FD_READ 1 ... FD_CLOSE 32); "" for anything else.
std::string AsyncLookupName(int kind);
std::string SocketEventName(int event);

// The one loader of the process: null before IpSockStartup and after the
// matching IpSockShutdown.
TIpWinSockAccess* IpWinSockAccess();
// Counted start-up: the first call creates the loader. A failing start-up
// goes to `report` and leaves an unloaded loader (level 0).
void IpSockStartup(const std::function<void(const std::string&)>& report,
                   TIpModuleLoader* loader = nullptr);
// The call matching the first start-up frees the loader.
void IpSockShutdown();

// Start-up and shut-down of the socket unit for the composition root.
class TIpSockUnit {
public:
    explicit TIpSockUnit(const std::function<void(const std::string&)>& report)
    {
        IpSockStartup(report);
    }
    ~TIpSockUnit() { IpSockShutdown(); }
    TIpSockUnit(const TIpSockUnit&) = delete;
    TIpSockUnit& operator=(const TIpSockUnit&) = delete;
};
