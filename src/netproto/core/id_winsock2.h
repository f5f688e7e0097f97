// Windows Sockets 2 shaped function table over the POSIX socket calls.
//
// The components were written against WinSock: error numbers, the descriptor
// set layout, the "startup before use" rule. Keeping that shape here lets the
// rest of the socket layer follow it while the calls underneath are Linux's:
// send without SIGPIPE, poll in place of select, getaddrinfo in place of
// gethostbyname, and errno turned into the WinSock error number of the
// calling thread.
#pragma once

#include "netproto/core/id_global.h"

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
int __WSAFDIsSet(TSocket s, TFDSet* set);

// Maps an errno value to the WinSock error number.
int ErrnoToWSAError(int err);

// shutdown() directions.
constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;

} // namespace IdWinsock2
