// Windows Sockets 2 shaped function table over the POSIX socket calls.
//
// The components were written against WinSock: error numbers, the descriptor
// set layout, the "startup before use" rule. Keeping that shape here lets the
// rest of the socket layer follow it while the calls underneath are Linux's:
// send without SIGPIPE, poll in place of select, getaddrinfo in place of
// gethostbyname, and errno turned into the WinSock error number of the
// calling thread.
//
// Rows without a Linux counterpart (blocking hooks, name-space services,
// protocol catalogue, QoS, multipoint, duplicating a socket for another
// process) raise EIdWS2StubError with the call's name and WSAEOPNOTSUPP, as
// a name missing from the library would; the components never call them.
// The rows that are bound:
// - a blocking send takes all its bytes or fails, where Linux's may give
//   back a part: the socket's send time-out ends it with WSAETIMEDOUT,
//   however much went, once the peer has taken nothing for that long. What
//   the peer takes counts however Linux paces the sender, whose wait for
//   room in a buffer of megabytes can outlast the time-out at a slow reader;
// - the async select rows (WSAAsyncSelect, WSAEventSelect) run on the
//   process's socket watcher (id_async_select), with WinSock's re-enabling
//   by recv, send, accept and connect, and accepted sockets inheriting the
//   listener's select; both put the socket into non-blocking mode;
// - the asynchronous database look-ups run on a thread each and post their
//   result, copied into the caller's buffer, to the caller's window;
// - event objects are event descriptors, manual reset;
// - overlapped calls complete before they return: the result goes into the
//   overlapped record and its event is set; completion routines are refused
//   (WSAEOPNOTSUPP), as nothing here runs them;
// - TransmitFile is sendfile, AcceptEx is accept4 whose connection takes the
//   caller's accept socket's handle.
#pragma once

#include "netproto/core/id_global.h"
#include "platform/gui_message.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstdint>
#include <string>

// glibc may define the byte-order functions as macros; the table declares its
// own functions of those names.
#undef htonl
#undef htons
#undef ntohl
#undef ntohs

namespace IdWinsock2 {

using TSocket = uint32_t;
constexpr TSocket INVALID_SOCKET = 0xFFFFFFFFu;
constexpr int SOCKET_ERROR = -1;
constexpr int WS_FD_SETSIZE = 64;

// WinSock error numbers the layer produces.
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAECANCELLED = 10103;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// Socket-level options in WinSock numbering; translated for setsockopt and
// getsockopt.
constexpr int WS_SOL_SOCKET = 0xFFFF;
constexpr int WS_SO_DEBUG = 0x0001;
constexpr int WS_SO_REUSEADDR = 0x0004;
constexpr int WS_SO_KEEPALIVE = 0x0008;
constexpr int WS_SO_DONTROUTE = 0x0010;
constexpr int WS_SO_BROADCAST = 0x0020;
constexpr int WS_SO_LINGER = 0x0080;
constexpr int WS_SO_SNDBUF = 0x1001;
constexpr int WS_SO_RCVBUF = 0x1002;
// Milliseconds, 32 bits; 0 waits without limit.
constexpr int WS_SO_SNDTIMEO = 0x1005;
constexpr int WS_SO_RCVTIMEO = 0x1006;
constexpr int WS_SO_ERROR = 0x1007;
constexpr int WS_SO_TYPE = 0x1008;

constexpr long WS_FIONBIO = 0x8004667E;
constexpr long WS_FIONREAD = 0x4004667F;
constexpr long WS_SIOCATMARK = 0x40047307;
// This binding's own ioctlsocket command: the bytes sent that the peer has
// not yet taken (Linux's SIOCOUTQ).
constexpr long WS_SIOCOUTQ = 0x4004737F;

// Network events of WSAAsyncSelect and WSAEventSelect, and their bit
// numbers in TWSANetworkEvents::iErrorCode.
constexpr uint32_t FD_READ = 0x01;
constexpr uint32_t FD_WRITE = 0x02;
constexpr uint32_t FD_OOB = 0x04;
constexpr uint32_t FD_ACCEPT = 0x08;
constexpr uint32_t FD_CONNECT = 0x10;
constexpr uint32_t FD_CLOSE = 0x20;
constexpr int FD_MAX_EVENTS = 10;

// A window message's LParam for select and look-up results.
inline intptr_t WSAMAKESELECTREPLY(uint32_t event, uint32_t error)
{
    return static_cast<intptr_t>((event & 0xFFFF) | ((error & 0xFFFF) << 16));
}
inline intptr_t WSAMAKEASYNCREPLY(uint32_t bufLen, uint32_t error)
{
    return WSAMAKESELECTREPLY(bufLen, error);
}
inline uint32_t WSAGETSELECTEVENT(intptr_t lParam)
{
    return static_cast<uint32_t>(lParam) & 0xFFFF;
}
inline uint32_t WSAGETSELECTERROR(intptr_t lParam)
{
    return (static_cast<uint32_t>(lParam) >> 16) & 0xFFFF;
}
constexpr int MAXGETHOSTSTRUCT = 1024;

// Event objects.
using TWSAEvent = uintptr_t;
constexpr TWSAEvent WSA_INVALID_EVENT = 0;
constexpr uint32_t WSA_MAXIMUM_WAIT_EVENTS = 64;
constexpr uint32_t WSA_WAIT_EVENT_0 = 0;
constexpr uint32_t WSA_WAIT_TIMEOUT = 258;
constexpr uint32_t WSA_WAIT_FAILED = 0xFFFFFFFF;
constexpr uint32_t WSA_INFINITE = 0xFFFFFFFF;
constexpr int WSA_INVALID_HANDLE = 6;
constexpr int WSA_INVALID_PARAMETER = 87;

struct TWSANetworkEvents {
    int32_t lNetworkEvents = 0;
    int iErrorCode[FD_MAX_EVENTS] = {};
};

struct TWSABuf {
    uint32_t len = 0;
    char* buf = nullptr;
};

// Overlapped requests complete inside the call: Internal gets the WinSock
// error (0 for success), InternalHigh the byte count, and hEvent is set.
// Offset and OffsetHigh give TransmitFile's file position.
struct TWSAOverlapped {
    uintptr_t Internal = 0;
    uintptr_t InternalHigh = 0;
    uint32_t Offset = 0;
    uint32_t OffsetHigh = 0;
    TWSAEvent hEvent = WSA_INVALID_EVENT;
};
using TWSAOverlappedCompletionRoutine = void (*)(uint32_t error, uint32_t transferred,
                                                 TWSAOverlapped* overlapped, uint32_t flags);

// WSAAccept's condition function: CF_ACCEPT, CF_REJECT or CF_DEFER (the
// connection is offered again by the next WSAAccept on that listener).
// The identities are the peer's and the local address; there is no
// connect data, QoS or group.
struct TQualityOfService;
using TConditionProc = int (*)(const TWSABuf* callerId, const TWSABuf* callerData,
                               TQualityOfService* sqos, TQualityOfService* gqos,
                               const TWSABuf* calleeId, TWSABuf* calleeData, uint32_t* group,
                               uintptr_t callbackData);
constexpr int CF_ACCEPT = 0;
constexpr int CF_REJECT = 1;
constexpr int CF_DEFER = 2;

// TransmitFile: the buffers sent before and after the file, and its flags.
struct TTransmitFileBuffers {
    const void* Head = nullptr;
    uint32_t HeadLength = 0;
    const void* Tail = nullptr;
    uint32_t TailLength = 0;
};
constexpr uint32_t TF_DISCONNECT = 0x01;
constexpr uint32_t TF_REUSE_SOCKET = 0x02;

// WSARecvEx: the message did not fit the buffer.
constexpr int MSG_PARTIAL = 0x8000;

// A request handle of the asynchronous calls.
using THandle = uintptr_t;
using TBlockingHook = int (*)();

// Records that only the rows without a Linux counterpart take; nothing here
// fills them.
struct TWSAProtocolInfoA;
struct TWSAProtocolInfoW;
struct TWSAQuerySetA;
struct TWSAQuerySetW;
struct TWSAServiceClassInfoA;
struct TWSAServiceClassInfoW;
struct TWSANameSpaceInfoA;
struct TWSANameSpaceInfoW;
struct TGUID;

// The WinSock descriptor set: a count followed by the handles.
struct TFDSet {
    uint32_t fd_count = 0;
    TSocket fd_array[WS_FD_SETSIZE] = {};
};

struct TWSAData {
    uint16_t wVersion = 0;
    uint16_t wHighVersion = 0;
    char szDescription[257] = {};
    char szSystemStatus[129] = {};
};

// Raised by the table itself: a call before WSAStartup, or a failed load.
class EIdWS2StubError : public EIdException {
public:
    EIdWS2StubError(uint32_t error, const std::string& title);
    uint32_t Win32Error() const { return FWin32Error; }
    const std::string& Win32ErrorText() const { return FWin32ErrorText; }
    const std::string& Title() const { return FTitle; }

private:
    static std::string BuildMessage(uint32_t error, const std::string& text,
                                    const std::string& title);
    uint32_t FWin32Error;
    std::string FWin32ErrorText;
    std::string FTitle;
};

// Loads the table: the first call starts it, later ones return 0 at once.
int WSAStartup(uint16_t versionRequested, TWSAData* data);
// Puts the table back into its unloaded state; the next call of any function
// needs a new WSAStartup.
void UnloadWinsock2();
bool Winsock2Loaded();

int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);

TSocket accept(TSocket s, sockaddr* addr, int* addrlen);
int bind(TSocket s, const sockaddr* addr, int namelen);
int closesocket(TSocket s);
int connect(TSocket s, const sockaddr* name, int namelen);
int ioctlsocket(TSocket s, long cmd, uint32_t* argp);
int getpeername(TSocket s, sockaddr* name, int* namelen);
int getsockname(TSocket s, sockaddr* name, int* namelen);
int getsockopt(TSocket s, int level, int optname, void* optval, int* optlen);
uint32_t htonl(uint32_t v);
uint16_t htons(uint16_t v);
uint32_t inet_addr(const char* cp);
const char* inet_ntoa(in_addr in);
int listen(TSocket s, int backlog);
uint32_t ntohl(uint32_t v);
uint16_t ntohs(uint16_t v);
int recv(TSocket s, void* buf, int len, int flags);
int recvfrom(TSocket s, void* buf, int len, int flags, sockaddr* from, int* fromlen);
// timeout none = wait without limit. Counts every ready entry of the three sets.
int select(int nfds, TFDSet* readfds, TFDSet* writefds, TFDSet* exceptfds, const timeval* timeout);
int send(TSocket s, const void* buf, int len, int flags);
int sendto(TSocket s, const void* buf, int len, int flags, const sockaddr* to, int tolen);
int setsockopt(TSocket s, int level, int optname, const void* optval, int optlen);
int shutdown(TSocket s, int how);
TSocket socket(int af, int type, int protocol);
// Results live in storage of the calling thread until its next call.
const hostent* gethostbyaddr(const char* addr, int len, int type);
const hostent* gethostbyname(const char* name);
int gethostname(char* name, int namelen);
const servent* getservbyport(int port, const char* proto);
const servent* getservbyname(const char* name, const char* proto);
const protoent* getprotobynumber(int number);
const protoent* getprotobyname(const char* name);
int __WSAFDIsSet(TSocket s, TFDSet* set);

// Blocking hooks: nothing ever blocks inside one here.
int WSAIsBlocking();
int WSAUnhookBlockingHook();
TBlockingHook WSASetBlockingHook(TBlockingHook hook);
int WSACancelBlockingCall();

// Asynchronous look-ups: the entry is copied into `buf` and `msg` posted to
// `window` with the request handle and WSAMAKEASYNCREPLY(length, error)
// (the length needed when the error is WSAENOBUFS). `buf` must live until
// then, or until the request is cancelled. 0 when no request was started.
THandle WSAAsyncGetServByName(const TGuiTarget& window, uint32_t msg, const char* name,
                              const char* proto, char* buf, int buflen);
THandle WSAAsyncGetServByPort(const TGuiTarget& window, uint32_t msg, int port, const char* proto,
                              char* buf, int buflen);
THandle WSAAsyncGetProtoByName(const TGuiTarget& window, uint32_t msg, const char* name, char* buf,
                               int buflen);
THandle WSAAsyncGetProtoByNumber(const TGuiTarget& window, uint32_t msg, int number, char* buf,
                                 int buflen);
THandle WSAAsyncGetHostByName(const TGuiTarget& window, uint32_t msg, const char* name, char* buf,
                              int buflen);
THandle WSAAsyncGetHostByAddr(const TGuiTarget& window, uint32_t msg, const char* addr, int len,
                              int type, char* buf, int buflen);
// After it returns 0 nothing is written into the request's buffer and no
// message comes.
int WSACancelAsyncRequest(THandle request);
// `msg` to `window` with the socket as WParam and WSAMAKESELECTREPLY(event,
// error); mask 0 stops.
int WSAAsyncSelect(TSocket s, const TGuiTarget& window, uint32_t msg, long event);

// WinSock 2.
TSocket WSAAccept(TSocket s, sockaddr* addr, int* addrlen, TConditionProc condition,
                  uintptr_t callbackData);
bool WSACloseEvent(TWSAEvent event);
int WSAConnect(TSocket s, const sockaddr* name, int namelen, const TWSABuf* callerData,
               TWSABuf* calleeData, TQualityOfService* sqos, TQualityOfService* gqos);
TWSAEvent WSACreateEvent();
int WSADuplicateSocketA(TSocket s, uint32_t processId, TWSAProtocolInfoA* info);
int WSADuplicateSocketW(TSocket s, uint32_t processId, TWSAProtocolInfoW* info);
int WSAEnumNetworkEvents(TSocket s, TWSAEvent event, TWSANetworkEvents* events);
int WSAEnumProtocolsA(int* protocols, TWSAProtocolInfoA* buffer, uint32_t* bufferLength);
int WSAEnumProtocolsW(int* protocols, TWSAProtocolInfoW* buffer, uint32_t* bufferLength);
int WSAEventSelect(TSocket s, TWSAEvent event, long networkEvents);
bool WSAGetOverlappedResult(TSocket s, const TWSAOverlapped* overlapped, uint32_t* transfer,
                            bool wait, uint32_t* flags);
bool WSAGetQosByName(TSocket s, TWSABuf* qosName, TQualityOfService* qos);
int WSAHtonl(TSocket s, uint32_t hostlong, uint32_t* netlong);
int WSAHtons(TSocket s, uint16_t hostshort, uint16_t* netshort);
// FIONBIO, FIONREAD and SIOCATMARK.
int WSAIoctl(TSocket s, uint32_t code, const void* inBuffer, uint32_t inLength, void* outBuffer,
             uint32_t outLength, uint32_t* bytesReturned, TWSAOverlapped* overlapped,
             TWSAOverlappedCompletionRoutine completion);
TSocket WSAJoinLeaf(TSocket s, const sockaddr* name, int namelen, const TWSABuf* callerData,
                    TWSABuf* calleeData, TQualityOfService* sqos, TQualityOfService* gqos,
                    uint32_t flags);
int WSANtohl(TSocket s, uint32_t netlong, uint32_t* hostlong);
int WSANtohs(TSocket s, uint16_t netshort, uint16_t* hostshort);
int WSARecv(TSocket s, TWSABuf* buffers, uint32_t count, uint32_t* received, uint32_t* flags,
            TWSAOverlapped* overlapped, TWSAOverlappedCompletionRoutine completion);
int WSARecvDisconnect(TSocket s, TWSABuf* disconnectData);
int WSARecvFrom(TSocket s, TWSABuf* buffers, uint32_t count, uint32_t* received, uint32_t* flags,
                sockaddr* from, int* fromlen, TWSAOverlapped* overlapped,
                TWSAOverlappedCompletionRoutine completion);
bool WSAResetEvent(TWSAEvent event);
int WSASend(TSocket s, const TWSABuf* buffers, uint32_t count, uint32_t* sent, uint32_t flags,
            TWSAOverlapped* overlapped, TWSAOverlappedCompletionRoutine completion);
int WSASendDisconnect(TSocket s, const TWSABuf* disconnectData);
int WSASendTo(TSocket s, const TWSABuf* buffers, uint32_t count, uint32_t* sent, uint32_t flags,
              const sockaddr* to, int tolen, TWSAOverlapped* overlapped,
              TWSAOverlappedCompletionRoutine completion);
bool WSASetEvent(TWSAEvent event);
// A protocol record is refused (WSAEINVAL): none can be had here.
TSocket WSASocketA(int af, int type, int protocol, const TWSAProtocolInfoA* info, uint32_t group,
                   uint32_t flags);
TSocket WSASocketW(int af, int type, int protocol, const TWSAProtocolInfoW* info, uint32_t group,
                   uint32_t flags);
// Waits for one (or all) of the events; alertable waits never end early,
// as nothing queues completion routines.
uint32_t WSAWaitForMultipleEvents(uint32_t count, const TWSAEvent* events, bool waitAll,
                                  uint32_t timeoutMs, bool alertable);
// "a.b.c.d:port", "[v6]:port" (the port left out when it is 0).
int WSAAddressToStringA(const sockaddr* address, uint32_t addressLength,
                        const TWSAProtocolInfoA* info, char* out, uint32_t* outLength);
int WSAAddressToStringW(const sockaddr* address, uint32_t addressLength,
                        const TWSAProtocolInfoW* info, char16_t* out, uint32_t* outLength);
int WSAStringToAddressA(const char* text, int family, const TWSAProtocolInfoA* info,
                        sockaddr* address, int* addressLength);
int WSAStringToAddressW(const char16_t* text, int family, const TWSAProtocolInfoW* info,
                        sockaddr* address, int* addressLength);
int WSALookupServiceBeginA(const TWSAQuerySetA* restrictions, uint32_t flags, THandle* lookup);
int WSALookupServiceBeginW(const TWSAQuerySetW* restrictions, uint32_t flags, THandle* lookup);
int WSALookupServiceNextA(THandle lookup, uint32_t flags, uint32_t* bufferLength,
                          TWSAQuerySetA* results);
int WSALookupServiceNextW(THandle lookup, uint32_t flags, uint32_t* bufferLength,
                          TWSAQuerySetW* results);
int WSALookupServiceEnd(THandle lookup);
int WSAInstallServiceClassA(const TWSAServiceClassInfoA* info);
int WSAInstallServiceClassW(const TWSAServiceClassInfoW* info);
int WSARemoveServiceClass(const TGUID* classId);
int WSAGetServiceClassInfoA(const TGUID* provider, const TGUID* classId, uint32_t* bufferLength,
                            TWSAServiceClassInfoA* info);
int WSAGetServiceClassInfoW(const TGUID* provider, const TGUID* classId, uint32_t* bufferLength,
                            TWSAServiceClassInfoW* info);
int WSAEnumNameSpaceProvidersA(uint32_t* bufferLength, TWSANameSpaceInfoA* buffer);
int WSAEnumNameSpaceProvidersW(uint32_t* bufferLength, TWSANameSpaceInfoW* buffer);
int WSAGetServiceClassNameByClassIdA(const TGUID* classId, char* name, uint32_t* bufferLength);
int WSAGetServiceClassNameByClassIdW(const TGUID* classId, char16_t* name, uint32_t* bufferLength);
int WSASetServiceA(const TWSAQuerySetA* info, int operation, uint32_t flags);
int WSASetServiceW(const TWSAQuerySetW* info, int operation, uint32_t flags);
int WSAProviderConfigChange(THandle* notification, TWSAOverlapped* overlapped,
                            TWSAOverlappedCompletionRoutine completion);

// The names without the A suffix bind to the same "A" exports.
inline constexpr auto& WSADuplicateSocket = WSADuplicateSocketA;
inline constexpr auto& WSAEnumProtocols = WSAEnumProtocolsA;
inline constexpr auto& WSASocket = WSASocketA;
inline constexpr auto& WSAAddressToString = WSAAddressToStringA;
inline constexpr auto& WSAStringToAddress = WSAStringToAddressA;
inline constexpr auto& WSALookupServiceBegin = WSALookupServiceBeginA;
inline constexpr auto& WSALookupServiceNext = WSALookupServiceNextA;
inline constexpr auto& WSAInstallServiceClass = WSAInstallServiceClassA;
inline constexpr auto& WSAGetServiceClassInfo = WSAGetServiceClassInfoA;
inline constexpr auto& WSAEnumNameSpaceProviders = WSAEnumNameSpaceProvidersA;
inline constexpr auto& WSAGetServiceClassNameByClassId = WSAGetServiceClassNameByClassIdA;
inline constexpr auto& WSASetService = WSASetServiceA;

// The extension functions. `file` is a descriptor (-1: the buffers only);
// bytesToWrite 0 sends the file to its end. The connection that AcceptEx
// takes from the listener replaces acceptSocket's descriptor; with
// receiveDataLength above 0 it waits for the first data. Each address slot
// must hold 16 bytes more than the address.
bool TransmitFile(TSocket s, int file, uint32_t bytesToWrite, uint32_t bytesPerSend,
                  TWSAOverlapped* overlapped, const TTransmitFileBuffers* buffers, uint32_t flags);
bool AcceptEx(TSocket listenSocket, TSocket acceptSocket, void* outputBuffer,
              uint32_t receiveDataLength, uint32_t localAddressLength, uint32_t remoteAddressLength,
              uint32_t* bytesReceived, TWSAOverlapped* overlapped);
void GetAcceptExSockaddrs(void* outputBuffer, uint32_t receiveDataLength,
                          uint32_t localAddressLength, uint32_t remoteAddressLength,
                          sockaddr** localSockaddr, int* localSockaddrLength,
                          sockaddr** remoteSockaddr, int* remoteSockaddrLength);
// Sets MSG_PARTIAL in *flags when a message did not fit.
int WSARecvEx(TSocket s, void* buf, int len, int* flags);

// The IPv6 any-address and loopback address.
extern const in6_addr IdIPv6Any;
extern const in6_addr IdIPv6Loopback;

// Maps an errno value to the WinSock error number.
int ErrnoToWSAError(int err);

// shutdown() directions.
constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;

} // namespace IdWinsock2
