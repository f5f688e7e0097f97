#include "netproto/core/id_winsock2.h"

#include "netproto/core/id_winsock2_detail.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

namespace IdWinsock2 {

const in6_addr IdIPv6Any = IN6ADDR_ANY_INIT;
const in6_addr IdIPv6Loopback = IN6ADDR_LOOPBACK_INIT;

namespace {

std::atomic<bool> GLoaded{false};
thread_local int GLastError = 0;

std::string CallTitle(const char* name)
{
    return std::string("Error on call Winsock2 library function ") + name;
}

} // namespace

namespace Detail {

// Every entry checks that the table was started: a call before WSAStartup
// fails with WSANOTINITIALISED, as a call into an unloaded library would.
void Need(const char* name)
{
    if (!GLoaded.load(std::memory_order_acquire))
        throw EIdWS2StubError(WSANOTINITIALISED, CallTitle(name));
}

void NotSupported(const char* name)
{
    Need(name);
    throw EIdWS2StubError(WSAEOPNOTSUPP, CallTitle(name));
}

int Fail()
{
    GLastError = ErrnoToWSAError(errno);
    return SOCKET_ERROR;
}

int SetError(int error)
{
    GLastError = error;
    return SOCKET_ERROR;
}

int Fd(TSocket s)
{
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}

bool Blocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL, 0);
    return flags >= 0 && !(flags & O_NONBLOCK);
}

bool CheckSocket(TSocket s)
{
    struct stat st {};
    if (::fstat(Fd(s), &st) != 0 || !S_ISSOCK(st.st_mode)) {
        GLastError = WSAENOTSOCK;
        return false;
    }
    return true;
}

} // namespace Detail

using namespace Detail;

namespace {

// WinSock's socket level and option numbers to Linux's.
void MapOption(int& level, int& opt)
{
    if (level != WS_SOL_SOCKET)
        return;
    level = SOL_SOCKET;
    switch (opt) {
    case WS_SO_REUSEADDR:
        opt = SO_REUSEADDR;
        break;
    case WS_SO_KEEPALIVE:
        opt = SO_KEEPALIVE;
        break;
    case WS_SO_LINGER:
        opt = SO_LINGER;
        break;
    case WS_SO_SNDBUF:
        opt = SO_SNDBUF;
        break;
    case WS_SO_RCVBUF:
        opt = SO_RCVBUF;
        break;
    case WS_SO_ERROR:
        opt = SO_ERROR;
        break;
    case WS_SO_DEBUG:
        opt = SO_DEBUG;
        break;
    case WS_SO_DONTROUTE:
        opt = SO_DONTROUTE;
        break;
    case WS_SO_BROADCAST:
        opt = SO_BROADCAST;
        break;
    case WS_SO_TYPE:
        opt = SO_TYPE;
        break;
    default:
        break;
    }
}

// Storage for the per-thread results of the database look-ups.
struct HostStore {
    std::string name;
    std::vector<in_addr> addrs;
    std::vector<char*> addrPtrs;
    char* aliases[1] = {nullptr};
    hostent h{};
};
thread_local HostStore GHost;

struct ServStore {
    servent s{};
    char buf[1024];
};
thread_local ServStore GServ;

struct ProtoStore {
    protoent p{};
    char buf[1024];
};
thread_local ProtoStore GProto;
thread_local char GNtoaBuf[16];

int AddrInfoError(int rc)
{
    switch (rc) {
    case EAI_NONAME:
#ifdef EAI_NODATA
    case EAI_NODATA:
#endif
    case EAI_FAMILY:
        return WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
        return WSATRY_AGAIN;
    case EAI_MEMORY:
        return WSAENOBUFS;
    case EAI_SYSTEM:
        return ErrnoToWSAError(errno);
    default:
        return WSANO_RECOVERY;
    }
}

const hostent* FillHost(const std::string& name, std::vector<in_addr> addrs)
{
    HostStore& st = GHost;
    st.name = name;
    st.addrs = std::move(addrs);
    st.addrPtrs.clear();
    for (auto& a : st.addrs)
        st.addrPtrs.push_back(reinterpret_cast<char*>(&a));
    st.addrPtrs.push_back(nullptr);
    st.h.h_name = st.name.data();
    st.h.h_aliases = st.aliases;
    st.h.h_addrtype = AF_INET;
    st.h.h_length = 4;
    st.h.h_addr_list = st.addrPtrs.data();
    return &st.h;
}

// The bytes of `fd`'s send queue that its peer has not taken yet; -1 when
// the socket cannot tell.
int Unsent(int fd)
{
    int n = 0;
    return ::ioctl(fd, SIOCOUTQ, &n) == 0 ? n : -1;
}

// The rest of a blocking send whose first try took `done` bytes. WinSock's
// send takes all or fails. Its time-out, `limit` (zero: none), ends the call
// only when the peer has taken nothing for that long: Linux wakes a sender
// only once a third of its send buffer is free, and with the buffer grown to
// megabytes a client that reads slowly but steadily would be cut off. So the
// wait is cut into looks, and the send queue shrinking, or the kernel taking
// more bytes, starts the time-out again.
int SendRest(int fd, const char* buf, int done, int len, int flags, std::chrono::microseconds limit)
{
    using namespace std::chrono;
    const auto look =
        std::clamp(duration_cast<milliseconds>(limit) / 8, milliseconds(10), milliseconds(1000));
    auto taken = steady_clock::now();
    int unsent = Unsent(fd);
    while (done < len) {
        const ssize_t n = ::send(fd, buf + done, static_cast<size_t>(len - done),
                                 flags | MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<int>(n);
            taken = steady_clock::now();
            unsent = Unsent(fd);
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)
            return Fail();
        int wait = -1;
        if (limit > microseconds::zero()) {
            const int queued = Unsent(fd);
            if (queued >= 0 && queued < unsent)
                taken = steady_clock::now();
            unsent = queued;
            const auto left = taken + limit - steady_clock::now();
            if (left <= steady_clock::duration::zero())
                return SetError(WSAETIMEDOUT);
            wait = static_cast<int>(std::min(ceil<milliseconds>(left), look).count());
        }
        pollfd p{fd, POLLOUT, 0};
        if (::poll(&p, 1, wait) < 0 && errno != EINTR)
            return Fail();
    }
    return done;
}

} // namespace

namespace {

// The system's text for an error code: WinSock's own for "not started",
// the C library's for an errno value.
std::string SystemErrorText(uint32_t error)
{
    if (error == 0)
        return std::string();
    if (error == static_cast<uint32_t>(WSANOTINITIALISED))
        return "Either the application has not called WSAStartup, or WSAStartup failed.";
    if (error == static_cast<uint32_t>(WSAEOPNOTSUPP))
        return "The attempted operation is not supported for the type of object referenced.";
    return std::strerror(static_cast<int>(error));
}

} // namespace

EIdWS2StubError::EIdWS2StubError(uint32_t error, const std::string& title)
    : EIdException(BuildMessage(error, SystemErrorText(error), title)), FWin32Error(error),
      FWin32ErrorText(SystemErrorText(error)), FTitle(title)
{
}

std::string EIdWS2StubError::BuildMessage(uint32_t error, const std::string& text,
                                          const std::string& title)
{
    // The title is the message that matters; the system text goes in front.
    if (error == 0)
        return title;
    return text + ": " + title;
}

int ErrnoToWSAError(int err)
{
    switch (err) {
    case 0:
        return 0;
    case EINTR:
        return WSAEINTR;
    case EBADF:
        return WSAEBADF;
    case EACCES:
    case EPERM:
        return WSAEACCES;
    case EFAULT:
        return WSAEFAULT;
    case EINVAL:
        return WSAEINVAL;
    case EMFILE:
    case ENFILE:
        return WSAEMFILE;
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
        return WSAEWOULDBLOCK;
    case EINPROGRESS:
        return WSAEINPROGRESS;
    case EALREADY:
        return WSAEALREADY;
    case ENOTSOCK:
        return WSAENOTSOCK;
    case EDESTADDRREQ:
        return WSAEDESTADDRREQ;
    case EMSGSIZE:
        return WSAEMSGSIZE;
    case EPROTOTYPE:
        return WSAEPROTOTYPE;
    case ENOPROTOOPT:
        return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
        return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
        return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
        return WSAEOPNOTSUPP;
    case EPFNOSUPPORT:
        return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT:
        return WSAEAFNOSUPPORT;
    case EADDRINUSE:
        return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
        return WSAEADDRNOTAVAIL;
    case ENETDOWN:
        return WSAENETDOWN;
    case ENETUNREACH:
        return WSAENETUNREACH;
    case ENETRESET:
        return WSAENETRESET;
    case ECONNABORTED:
        return WSAECONNABORTED;
    case ECONNRESET:
        return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
        return WSAENOBUFS;
    case EISCONN:
        return WSAEISCONN;
    case ENOTCONN:
        return WSAENOTCONN;
    case EPIPE:
    case ESHUTDOWN:
        return WSAESHUTDOWN;
    case ETOOMANYREFS:
        return WSAETOOMANYREFS;
    case ETIMEDOUT:
        return WSAETIMEDOUT;
    case ECONNREFUSED:
        return WSAECONNREFUSED;
    case ELOOP:
        return WSAELOOP;
    case ENAMETOOLONG:
        return WSAENAMETOOLONG;
    case EHOSTDOWN:
        return WSAEHOSTDOWN;
    case EHOSTUNREACH:
        return WSAEHOSTUNREACH;
    case ENOTEMPTY:
        return WSAENOTEMPTY;
    default:
        return WSAEINVAL;
    }
}

int WSAStartup(uint16_t versionRequested, TWSAData* data)
{
    bool expected = false;
    if (!GLoaded.compare_exchange_strong(expected, true))
        return 0;
    if (data) {
        data->wVersion = versionRequested;
        data->wHighVersion = 0x0202;
        std::snprintf(data->szDescription, sizeof data->szDescription, "POSIX sockets");
        std::snprintf(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
    }
    return 0;
}

void UnloadWinsock2()
{
    GLoaded.store(false, std::memory_order_release);
}
bool Winsock2Loaded()
{
    return GLoaded.load(std::memory_order_acquire);
}

int WSACleanup()
{
    Need("WSACleanup");
    return 0;
}

int WSAGetLastError()
{
    Need("WSAGetLastError");
    return GLastError;
}

void WSASetLastError(int error)
{
    Need("WSASetLastError");
    GLastError = error;
}

TSocket accept(TSocket s, sockaddr* addr, int* addrlen)
{
    Need("accept");
    socklen_t len = addrlen ? static_cast<socklen_t>(*addrlen) : 0;
    int fd;
    do {
        fd = ::accept4(Fd(s), addr, addrlen ? &len : nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // A listener shut down from another thread reports EINVAL here; it
        // is the Linux form of "the listener was closed under us".
        if (errno == EINVAL)
            errno = EINTR;
        Fail();
        return INVALID_SOCKET;
    }
    if (addrlen)
        *addrlen = static_cast<int>(len);
    AfterAccept(s, static_cast<TSocket>(fd));
    return static_cast<TSocket>(fd);
}

int bind(TSocket s, const sockaddr* addr, int namelen)
{
    Need("bind");
    if (::bind(Fd(s), addr, static_cast<socklen_t>(namelen)) != 0)
        return Fail();
    return 0;
}

int closesocket(TSocket s)
{
    Need("closesocket");
    BeforeClose(s);
    if (::close(Fd(s)) != 0 && errno != EINTR)
        return Fail();
    return 0;
}

int connect(TSocket s, const sockaddr* name, int namelen)
{
    Need("connect");
    if (::connect(Fd(s), name, static_cast<socklen_t>(namelen)) != 0) {
        // A non-blocking connect under way is "would block" in WinSock.
        if (errno == EINPROGRESS) {
            AfterConnect(s);
            GLastError = WSAEWOULDBLOCK;
            return SOCKET_ERROR;
        }
        return Fail();
    }
    AfterConnect(s);
    return 0;
}

int ioctlsocket(TSocket s, long cmd, uint32_t* argp)
{
    Need("ioctlsocket");
    if (!argp) {
        GLastError = WSAEFAULT;
        return SOCKET_ERROR;
    }
    if (cmd == WS_FIONBIO) {
        int flags = ::fcntl(Fd(s), F_GETFL, 0);
        if (flags < 0)
            return Fail();
        flags = *argp ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
        if (::fcntl(Fd(s), F_SETFL, flags) < 0)
            return Fail();
        return 0;
    }
    if (cmd == WS_FIONREAD || cmd == WS_SIOCOUTQ) {
        int n = 0;
        if (::ioctl(Fd(s), cmd == WS_FIONREAD ? FIONREAD : SIOCOUTQ, &n) < 0)
            return Fail();
        *argp = static_cast<uint32_t>(n);
        return 0;
    }
    GLastError = WSAEINVAL;
    return SOCKET_ERROR;
}

int getpeername(TSocket s, sockaddr* name, int* namelen)
{
    Need("getpeername");
    socklen_t len = static_cast<socklen_t>(*namelen);
    if (::getpeername(Fd(s), name, &len) != 0)
        return Fail();
    *namelen = static_cast<int>(len);
    return 0;
}

int getsockname(TSocket s, sockaddr* name, int* namelen)
{
    Need("getsockname");
    socklen_t len = static_cast<socklen_t>(*namelen);
    if (::getsockname(Fd(s), name, &len) != 0)
        return Fail();
    *namelen = static_cast<int>(len);
    return 0;
}

int getsockopt(TSocket s, int level, int optname, void* optval, int* optlen)
{
    Need("getsockopt");
    MapOption(level, optname);
    socklen_t len = static_cast<socklen_t>(*optlen);
    if (::getsockopt(Fd(s), level, optname, optval, &len) != 0)
        return Fail();
    *optlen = static_cast<int>(len);
    return 0;
}

uint32_t htonl(uint32_t v)
{
    Need("htonl");
    return ::htonl(v);
}

uint16_t htons(uint16_t v)
{
    Need("htons");
    return ::htons(v);
}

uint32_t inet_addr(const char* cp)
{
    Need("inet_addr");
    return ::inet_addr(cp);
}

const char* inet_ntoa(in_addr in)
{
    Need("inet_ntoa");
    const auto* b = reinterpret_cast<const unsigned char*>(&in.s_addr);
    std::snprintf(GNtoaBuf, sizeof GNtoaBuf, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return GNtoaBuf;
}

int listen(TSocket s, int backlog)
{
    Need("listen");
    if (::listen(Fd(s), backlog) != 0)
        return Fail();
    AfterListen(s);
    return 0;
}

uint32_t ntohl(uint32_t v)
{
    Need("ntohl");
    return ::ntohl(v);
}

uint16_t ntohs(uint16_t v)
{
    Need("ntohs");
    return ::ntohs(v);
}

int recv(TSocket s, void* buf, int len, int flags)
{
    Need("recv");
    const int n = Transfer(s, len, [&](size_t size) { return ::recv(Fd(s), buf, size, flags); });
    AfterRecv(s);
    return n;
}

int recvfrom(TSocket s, void* buf, int len, int flags, sockaddr* from, int* fromlen)
{
    Need("recvfrom");
    socklen_t fl = fromlen ? static_cast<socklen_t>(*fromlen) : 0;
    const int n = Transfer(s, len, [&](size_t size) {
        return ::recvfrom(Fd(s), buf, size, flags, from, fromlen ? &fl : nullptr);
    });
    if (n >= 0 && fromlen)
        *fromlen = static_cast<int>(fl);
    AfterRecv(s);
    return n;
}

int select(int /*nfds*/, TFDSet* readfds, TFDSet* writefds, TFDSet* exceptfds,
           const timeval* timeout)
{
    Need("select");
    // poll has no descriptor limit and no FD_SETSIZE overflow; the sets keep
    // their WinSock layout for the callers.
    std::vector<pollfd> pfds;
    struct Origin {
        TFDSet* set;
        short events;
    };
    const Origin origins[3] = {{readfds, POLLIN}, {writefds, POLLOUT}, {exceptfds, POLLPRI}};
    for (const auto& o : origins) {
        if (!o.set)
            continue;
        for (uint32_t i = 0; i < o.set->fd_count && i < WS_FD_SETSIZE; ++i)
            pfds.push_back({Fd(o.set->fd_array[i]), o.events, 0});
    }
    int timeoutMs = -1;
    if (timeout) {
        long long ms = static_cast<long long>(timeout->tv_sec) * 1000 + timeout->tv_usec / 1000;
        timeoutMs = ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int rc;
    for (;;) {
        rc = ::poll(pfds.data(), pfds.size(), timeoutMs);
        if (rc >= 0 || errno != EINTR)
            break;
        if (timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            timeoutMs = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
    }
    if (rc < 0)
        return Fail();
    for (const auto& p : pfds) {
        if (p.fd >= 0 && (p.revents & POLLNVAL)) {
            // WinSock fails the whole select for a handle that is not a socket.
            GLastError = WSAENOTSOCK;
            return SOCKET_ERROR;
        }
    }
    // Refill every set with its ready entries. Hang-up and error count as
    // readable (the next recv reports them) and as writable.
    int count = 0;
    size_t k = 0;
    for (const auto& o : origins) {
        if (!o.set)
            continue;
        uint32_t n = o.set->fd_count < WS_FD_SETSIZE ? o.set->fd_count : WS_FD_SETSIZE;
        uint32_t out = 0;
        for (uint32_t i = 0; i < n; ++i, ++k) {
            short re = pfds[k].revents;
            bool ready = false;
            if (o.events == POLLIN)
                ready = re & (POLLIN | POLLHUP | POLLERR);
            else if (o.events == POLLOUT)
                ready = re & (POLLOUT | POLLHUP | POLLERR);
            else
                ready = re & (POLLPRI | POLLERR);
            if (ready)
                o.set->fd_array[out++] = o.set->fd_array[i];
        }
        o.set->fd_count = out;
        count += static_cast<int>(out);
    }
    return count;
}

int send(TSocket s, const void* buf, int len, int flags)
{
    Need("send");
    if (len < 0)
        return SetError(WSAEFAULT);
    const int fd = Fd(s);
    // MSG_NOSIGNAL: a peer that went away is an error code, not a SIGPIPE
    // that ends the program. MSG_DONTWAIT: a blocking socket waits in
    // SendRest, which counts what the peer takes.
    ssize_t n;
    do {
        n = ::send(fd, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n == len)
        return len;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
        return Fail();
    if (!Blocking(fd)) {
        if (n >= 0)
            return static_cast<int>(n);
        SetError(WSAEWOULDBLOCK);
        AfterSendBlocked(s);
        return SOCKET_ERROR;
    }
    timeval tv{};
    socklen_t size = sizeof tv;
    if (::getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &size) != 0)
        return Fail();
    return SendRest(fd, static_cast<const char*>(buf), n > 0 ? static_cast<int>(n) : 0, len, flags,
                    std::chrono::seconds(tv.tv_sec) + std::chrono::microseconds(tv.tv_usec));
}

int sendto(TSocket s, const void* buf, int len, int flags, const sockaddr* to, int tolen)
{
    Need("sendto");
    const int n = Transfer(s, len, [&](size_t size) {
        return ::sendto(Fd(s), buf, size, flags | MSG_NOSIGNAL, to, static_cast<socklen_t>(tolen));
    });
    if (n == SOCKET_ERROR && GLastError == WSAEWOULDBLOCK)
        AfterSendBlocked(s);
    return n;
}

int setsockopt(TSocket s, int level, int optname, const void* optval, int optlen)
{
    Need("setsockopt");
    if (level == WS_SOL_SOCKET && (optname == WS_SO_SNDTIMEO || optname == WS_SO_RCVTIMEO)) {
        // WinSock takes the time-out as milliseconds in 32 bits, Linux as a timeval.
        if (!optval || optlen < static_cast<int>(sizeof(uint32_t))) {
            GLastError = WSAEFAULT;
            return SOCKET_ERROR;
        }
        uint32_t ms = 0;
        std::memcpy(&ms, optval, sizeof ms);
        timeval tv{};
        tv.tv_sec = static_cast<time_t>(ms / 1000);
        tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
        const int opt = optname == WS_SO_SNDTIMEO ? SO_SNDTIMEO : SO_RCVTIMEO;
        if (::setsockopt(Fd(s), SOL_SOCKET, opt, &tv, sizeof tv) != 0)
            return Fail();
        return 0;
    }
    MapOption(level, optname);
    if (::setsockopt(Fd(s), level, optname, optval, static_cast<socklen_t>(optlen)) != 0)
        return Fail();
    return 0;
}

int shutdown(TSocket s, int how)
{
    Need("shutdown");
    int h = how == SD_RECEIVE ? SHUT_RD : how == SD_SEND ? SHUT_WR : SHUT_RDWR;
    if (::shutdown(Fd(s), h) != 0)
        return Fail();
    return 0;
}

TSocket socket(int af, int type, int protocol)
{
    Need("socket");
    int fd = ::socket(af, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) {
        Fail();
        return INVALID_SOCKET;
    }
    return static_cast<TSocket>(fd);
}

const hostent* gethostbyaddr(const char* addr, int len, int type)
{
    Need("gethostbyaddr");
    if (!addr || len != 4 || type != AF_INET) {
        GLastError = WSAEFAULT;
        return nullptr;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    std::memcpy(&sa.sin_addr, addr, 4);
    char host[NI_MAXHOST];
    int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr,
                           0, NI_NAMEREQD);
    if (rc != 0) {
        GLastError = AddrInfoError(rc);
        return nullptr;
    }
    in_addr a;
    std::memcpy(&a, addr, 4);
    return FillHost(host, {a});
}

const hostent* gethostbyname(const char* name)
{
    Need("gethostbyname");
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* res = nullptr;
    int rc = ::getaddrinfo(name, nullptr, &hints, &res);
    if (rc != 0) {
        GLastError = AddrInfoError(rc);
        return nullptr;
    }
    std::vector<in_addr> addrs;
    std::string canon = res && res->ai_canonname ? res->ai_canonname : name;
    for (addrinfo* p = res; p; p = p->ai_next) {
        if (p->ai_family != AF_INET)
            continue;
        in_addr a = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr;
        bool dup = false;
        for (const auto& x : addrs)
            dup = dup || x.s_addr == a.s_addr;
        if (!dup)
            addrs.push_back(a);
    }
    ::freeaddrinfo(res);
    if (addrs.empty()) {
        GLastError = WSANO_DATA;
        return nullptr;
    }
    return FillHost(canon, std::move(addrs));
}

int gethostname(char* name, int namelen)
{
    Need("gethostname");
    if (::gethostname(name, static_cast<size_t>(namelen)) != 0)
        return Fail();
    return 0;
}

const servent* getservbyport(int port, const char* proto)
{
    Need("getservbyport");
    servent* out = nullptr;
    if (::getservbyport_r(port, proto, &GServ.s, GServ.buf, sizeof GServ.buf, &out) != 0 || !out) {
        GLastError = WSANO_DATA;
        return nullptr;
    }
    return out;
}

const servent* getservbyname(const char* name, const char* proto)
{
    Need("getservbyname");
    servent* out = nullptr;
    if (::getservbyname_r(name, proto, &GServ.s, GServ.buf, sizeof GServ.buf, &out) != 0 || !out) {
        GLastError = WSANO_DATA;
        return nullptr;
    }
    return out;
}

const protoent* getprotobynumber(int number)
{
    Need("getprotobynumber");
    protoent* out = nullptr;
    if (::getprotobynumber_r(number, &GProto.p, GProto.buf, sizeof GProto.buf, &out) != 0 || !out) {
        GLastError = WSANO_DATA;
        return nullptr;
    }
    return out;
}

const protoent* getprotobyname(const char* name)
{
    Need("getprotobyname");
    protoent* out = nullptr;
    if (!name || ::getprotobyname_r(name, &GProto.p, GProto.buf, sizeof GProto.buf, &out) != 0 ||
        !out) {
        GLastError = WSANO_DATA;
        return nullptr;
    }
    return out;
}

int WSAIsBlocking()
{
    Need("WSAIsBlocking");
    return 0;
}

int WSAUnhookBlockingHook()
{
    NotSupported("WSAUnhookBlockingHook");
}

TBlockingHook WSASetBlockingHook(TBlockingHook)
{
    NotSupported("WSASetBlockingHook");
}

int WSACancelBlockingCall()
{
    NotSupported("WSACancelBlockingCall");
}

int __WSAFDIsSet(TSocket s, TFDSet* set)
{
    Need("__WSAFDIsSet");
    for (uint32_t i = 0; i < set->fd_count; ++i)
        if (set->fd_array[i] == s)
            return 1;
    return 0;
}

} // namespace IdWinsock2
