// The binding's WinSock 2 rows and extension functions, except the
// asynchronous ones.
#include "netproto/core/id_winsock2.h"
#include "netproto/core/id_winsock2_detail.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace IdWinsock2 {

using namespace Detail;

namespace {

// An overlapped request that completed inside the call.
void Complete(TWSAOverlapped* overlapped, uint64_t bytes)
{
    if (!overlapped)
        return;
    overlapped->Internal = 0;
    overlapped->InternalHigh = static_cast<uintptr_t>(bytes);
    if (overlapped->hEvent != WSA_INVALID_EVENT)
        WSASetEvent(overlapped->hEvent);
}

std::vector<iovec> Vectors(const TWSABuf* buffers, uint32_t count)
{
    std::vector<iovec> out(count);
    for (uint32_t i = 0; i < count; ++i)
        out[i] = {buffers[i].buf, buffers[i].len};
    return out;
}

int ReceiveMessage(const char* name, TSocket s, TWSABuf* buffers, uint32_t count,
                   uint32_t* received, uint32_t* flags, sockaddr* from, int* fromlen,
                   TWSAOverlapped* overlapped, TWSAOverlappedCompletionRoutine completion)
{
    Need(name);
    if (completion)
        return SetError(WSAEOPNOTSUPP);
    if ((!buffers && count) || !received)
        return SetError(WSAEFAULT);
    std::vector<iovec> iov = Vectors(buffers, count);
    msghdr m{};
    m.msg_name = from;
    m.msg_namelen = from && fromlen ? static_cast<socklen_t>(*fromlen) : 0;
    m.msg_iov = iov.data();
    m.msg_iovlen = iov.size();
    const int inFlags = flags ? static_cast<int>(*flags) : 0;
    const int n = Transfer(s, 0, [&](size_t) { return ::recvmsg(Fd(s), &m, inFlags); });
    AfterRecv(s);
    if (n == SOCKET_ERROR)
        return SOCKET_ERROR;
    *received = static_cast<uint32_t>(n);
    if (flags)
        *flags = (m.msg_flags & MSG_TRUNC) ? MSG_PARTIAL : 0;
    if (from && fromlen)
        *fromlen = static_cast<int>(m.msg_namelen);
    Complete(overlapped, static_cast<uint64_t>(n));
    return 0;
}

int SendMessage(const char* name, TSocket s, const TWSABuf* buffers, uint32_t count, uint32_t* sent,
                uint32_t flags, const sockaddr* to, int tolen, TWSAOverlapped* overlapped,
                TWSAOverlappedCompletionRoutine completion)
{
    Need(name);
    if (completion)
        return SetError(WSAEOPNOTSUPP);
    if ((!buffers && count) || !sent)
        return SetError(WSAEFAULT);
    std::vector<iovec> iov = Vectors(buffers, count);
    msghdr m{};
    m.msg_name = const_cast<sockaddr*>(to);
    m.msg_namelen = to ? static_cast<socklen_t>(tolen) : 0;
    m.msg_iov = iov.data();
    m.msg_iovlen = iov.size();
    const int n = Transfer(
        s, 0, [&](size_t) { return ::sendmsg(Fd(s), &m, static_cast<int>(flags) | MSG_NOSIGNAL); });
    if (n == SOCKET_ERROR) {
        if (WSAGetLastError() == WSAEWOULDBLOCK)
            AfterSendBlocked(s);
        return SOCKET_ERROR;
    }
    *sent = static_cast<uint32_t>(n);
    Complete(overlapped, static_cast<uint64_t>(n));
    return 0;
}

template <class T> int ByteOrder(const char* name, TSocket s, T value, T* out, T (*convert)(T))
{
    Need(name);
    if (!CheckSocket(s))
        return SOCKET_ERROR;
    if (!out)
        return SetError(WSAEFAULT);
    *out = convert(value);
    return 0;
}

// A protocol record cannot be had here, nor a socket group.
TSocket NewSocket(const char* name, int af, int type, int protocol, bool info, uint32_t group)
{
    Need(name);
    if (info || group) {
        SetError(WSAEINVAL);
        return INVALID_SOCKET;
    }
    return socket(af, type, protocol);
}

// ---- Address texts -----------------------------------------------------------------

std::string AddressText(const sockaddr* address, uint32_t length)
{
    char host[INET6_ADDRSTRLEN];
    if (address->sa_family == AF_INET && length >= sizeof(sockaddr_in)) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(address);
        ::inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
        const uint16_t port = ::ntohs(a->sin_port);
        return port ? std::string(host) + ":" + std::to_string(port) : host;
    }
    if (address->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(address);
        ::inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
        std::string text = host;
        if (a->sin6_scope_id)
            text += "%" + std::to_string(a->sin6_scope_id);
        const uint16_t port = ::ntohs(a->sin6_port);
        return port ? "[" + text + "]:" + std::to_string(port) : text;
    }
    return {};
}

template <class Char>
int AddressToString(const char* name, const sockaddr* address, uint32_t length, Char* out,
                    uint32_t* outLength)
{
    Need(name);
    if (!address || !outLength)
        return SetError(WSAEFAULT);
    const std::string text = AddressText(address, length);
    if (text.empty())
        return SetError(WSAEINVAL);
    const uint32_t need = static_cast<uint32_t>(text.size() + 1);
    if (!out || *outLength < need) {
        *outLength = need;
        return SetError(WSAEFAULT);
    }
    std::copy(text.begin(), text.end(), out);
    out[text.size()] = 0;
    *outLength = need;
    return 0;
}

bool ParsePort(const std::string& text, uint16_t& port)
{
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    const unsigned long value = std::stoul(text);
    port = static_cast<uint16_t>(value);
    return value <= 0xFFFF;
}

int StringToAddress(const std::string& text, int family, sockaddr* address, int* addressLength)
{
    if (!address || !addressLength)
        return SetError(WSAEFAULT);
    std::string host = text;
    uint16_t port = 0;
    if (family == AF_INET) {
        const size_t colon = host.rfind(':');
        if (colon != std::string::npos) {
            if (!ParsePort(host.substr(colon + 1), port))
                return SetError(WSAEINVAL);
            host.resize(colon);
        }
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = ::htons(port);
        if (::inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1)
            return SetError(WSAEINVAL);
        if (*addressLength < static_cast<int>(sizeof a)) {
            *addressLength = sizeof a;
            return SetError(WSAEFAULT);
        }
        std::memcpy(address, &a, sizeof a);
        *addressLength = sizeof a;
        return 0;
    }
    if (family != AF_INET6)
        return SetError(WSAEINVAL);
    if (!host.empty() && host.front() == '[') {
        const size_t close = host.find(']');
        if (close == std::string::npos)
            return SetError(WSAEINVAL);
        const std::string rest = host.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || !ParsePort(rest.substr(1), port)))
            return SetError(WSAEINVAL);
        host = host.substr(1, close - 1);
    }
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = ::htons(port);
    const size_t percent = host.find('%');
    if (percent != std::string::npos) {
        uint16_t scope;
        if (!ParsePort(host.substr(percent + 1), scope))
            return SetError(WSAEINVAL);
        a.sin6_scope_id = scope;
        host.resize(percent);
    }
    if (::inet_pton(AF_INET6, host.c_str(), &a.sin6_addr) != 1)
        return SetError(WSAEINVAL);
    if (*addressLength < static_cast<int>(sizeof a)) {
        *addressLength = sizeof a;
        return SetError(WSAEFAULT);
    }
    std::memcpy(address, &a, sizeof a);
    *addressLength = sizeof a;
    return 0;
}

// ---- TransmitFile --------------------------------------------------------------------

// Keeps a send to a peer that went away from ending the program: SIGPIPE is
// blocked on this thread meanwhile, and one it raised is taken back.
class TNoSigPipe {
public:
    TNoSigPipe()
    {
        sigemptyset(&FPipe);
        sigaddset(&FPipe, SIGPIPE);
        sigset_t pending;
        sigpending(&pending);
        FWasPending = sigismember(&pending, SIGPIPE) == 1;
        pthread_sigmask(SIG_BLOCK, &FPipe, &FOld);
    }
    ~TNoSigPipe()
    {
        sigset_t pending;
        sigpending(&pending);
        if (!FWasPending && sigismember(&pending, SIGPIPE) == 1) {
            const timespec none{};
            sigtimedwait(&FPipe, nullptr, &none);
        }
        pthread_sigmask(SIG_SETMASK, &FOld, nullptr);
    }
    TNoSigPipe(const TNoSigPipe&) = delete;
    TNoSigPipe& operator=(const TNoSigPipe&) = delete;

private:
    sigset_t FPipe;
    sigset_t FOld;
    bool FWasPending = false;
};

// Waits until the socket can take more; false (errno set) on failure.
bool WaitWritable(int fd)
{
    pollfd p{fd, POLLOUT, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, -1);
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
}

// Sends every byte, waiting whenever the socket is full; 0 or the errno.
template <class Step> int SendAllOf(int fd, uint64_t total, uint64_t& sent, Step step)
{
    uint64_t done = 0;
    while (done < total) {
        const ssize_t n = step(total - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitWritable(fd))
                continue;
            return errno;
        }
        if (n == 0)
            break; // the file ended early: what it held is sent
        done += static_cast<uint64_t>(n);
        sent += static_cast<uint64_t>(n);
    }
    return 0;
}

int SendBuffer(int fd, const void* data, uint32_t length, bool more, uint64_t& sent)
{
    if (!data || length == 0)
        return 0;
    const auto* bytes = static_cast<const char*>(data);
    uint64_t offset = 0;
    return SendAllOf(fd, length, sent, [&](uint64_t left) {
        const ssize_t n = ::send(fd, bytes + offset, left, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
        if (n > 0)
            offset += static_cast<uint64_t>(n);
        return n;
    });
}

// ---- AcceptEx ---------------------------------------------------------------------

// An address slot: its length, then the address where the buffer's own
// alignment allows, within the 16 bytes each slot has to spare.
constexpr uint32_t SlotSpare = 16;

size_t SlotAddressOffset(const void* buffer, size_t slot)
{
    const auto base = reinterpret_cast<uintptr_t>(buffer) + slot + sizeof(uint32_t);
    const uintptr_t aligned =
        (base + alignof(sockaddr_in6) - 1) / alignof(sockaddr_in6) * alignof(sockaddr_in6);
    return slot + sizeof(uint32_t) + (aligned - base);
}

void WriteSlot(void* buffer, size_t slot, const sockaddr_storage& address, socklen_t length)
{
    auto* bytes = static_cast<char*>(buffer);
    const uint32_t n = length;
    std::memcpy(bytes + slot, &n, sizeof n);
    std::memcpy(bytes + SlotAddressOffset(buffer, slot), &address, length);
}

void ReadSlot(void* buffer, size_t slot, sockaddr** address, int* length)
{
    auto* bytes = static_cast<char*>(buffer);
    uint32_t n;
    std::memcpy(&n, bytes + slot, sizeof n);
    if (address)
        *address = reinterpret_cast<sockaddr*>(bytes + SlotAddressOffset(buffer, slot));
    if (length)
        *length = static_cast<int>(n);
}

} // namespace

// ---- Rows bound to Linux calls --------------------------------------------------------

TSocket WSAAccept(TSocket s, sockaddr* addr, int* addrlen, TConditionProc condition,
                  uintptr_t callbackData)
{
    Need("WSAAccept");
    sockaddr_storage peer{};
    int peerLen = sizeof peer;
    int fd = TakeDeferred(s);
    if (fd >= 0) {
        socklen_t len = sizeof peer;
        ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len);
        peerLen = static_cast<int>(len);
    } else {
        const TSocket accepted = accept(s, reinterpret_cast<sockaddr*>(&peer), &peerLen);
        if (accepted == INVALID_SOCKET)
            return INVALID_SOCKET;
        fd = static_cast<int>(accepted);
    }
    if (condition) {
        sockaddr_storage local{};
        socklen_t localLen = sizeof local;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen);
        const TWSABuf callerId{static_cast<uint32_t>(peerLen), reinterpret_cast<char*>(&peer)};
        const TWSABuf calleeId{localLen, reinterpret_cast<char*>(&local)};
        uint32_t group = 0;
        const int verdict = condition(&callerId, nullptr, nullptr, nullptr, &calleeId, nullptr,
                                      &group, callbackData);
        if (verdict != CF_ACCEPT) {
            BeforeClose(static_cast<TSocket>(fd));
            if (verdict == CF_DEFER) {
                Defer(s, fd);
                SetError(WSATRY_AGAIN);
            } else {
                ::close(fd);
                SetError(verdict == CF_REJECT ? WSAECONNREFUSED : WSAEINVAL);
            }
            return INVALID_SOCKET;
        }
    }
    AfterAccept(s, static_cast<TSocket>(fd));
    if (addr && addrlen) {
        const int n = std::min(*addrlen, peerLen);
        std::memcpy(addr, &peer, static_cast<size_t>(std::max(n, 0)));
        *addrlen = peerLen;
    }
    return static_cast<TSocket>(fd);
}

int WSAConnect(TSocket s, const sockaddr* name, int namelen, const TWSABuf* /*callerData*/,
               TWSABuf* calleeData, TQualityOfService* sqos, TQualityOfService* gqos)
{
    Need("WSAConnect");
    // TCP carries no connect data; there is no QoS to grant.
    if (sqos || gqos)
        return SetError(WSAEOPNOTSUPP);
    if (calleeData)
        calleeData->len = 0;
    return connect(s, name, namelen);
}

bool WSAGetOverlappedResult(TSocket /*s*/, const TWSAOverlapped* overlapped, uint32_t* transfer,
                            bool /*wait*/, uint32_t* flags)
{
    Need("WSAGetOverlappedResult");
    if (!overlapped || !transfer) {
        SetError(WSAEFAULT);
        return false;
    }
    if (overlapped->Internal != 0) {
        SetError(static_cast<int>(overlapped->Internal));
        return false;
    }
    *transfer = static_cast<uint32_t>(overlapped->InternalHigh);
    if (flags)
        *flags = 0;
    return true;
}

int WSAHtonl(TSocket s, uint32_t hostlong, uint32_t* netlong)
{
    return ByteOrder<uint32_t>("WSAHtonl", s, hostlong, netlong,
                               [](uint32_t v) { return ::htonl(v); });
}

int WSAHtons(TSocket s, uint16_t hostshort, uint16_t* netshort)
{
    return ByteOrder<uint16_t>("WSAHtons", s, hostshort, netshort,
                               [](uint16_t v) { return ::htons(v); });
}

int WSANtohl(TSocket s, uint32_t netlong, uint32_t* hostlong)
{
    return ByteOrder<uint32_t>("WSANtohl", s, netlong, hostlong,
                               [](uint32_t v) { return ::ntohl(v); });
}

int WSANtohs(TSocket s, uint16_t netshort, uint16_t* hostshort)
{
    return ByteOrder<uint16_t>("WSANtohs", s, netshort, hostshort,
                               [](uint16_t v) { return ::ntohs(v); });
}

int WSAIoctl(TSocket s, uint32_t code, const void* inBuffer, uint32_t inLength, void* outBuffer,
             uint32_t outLength, uint32_t* bytesReturned, TWSAOverlapped* overlapped,
             TWSAOverlappedCompletionRoutine completion)
{
    Need("WSAIoctl");
    if (completion)
        return SetError(WSAEOPNOTSUPP);
    uint32_t value = 0;
    uint32_t returned = 0;
    if (code == static_cast<uint32_t>(WS_FIONBIO)) {
        if (!inBuffer || inLength < sizeof value)
            return SetError(WSAEFAULT);
        std::memcpy(&value, inBuffer, sizeof value);
        if (ioctlsocket(s, WS_FIONBIO, &value) != 0)
            return SOCKET_ERROR;
    } else if (code == static_cast<uint32_t>(WS_FIONREAD) ||
               code == static_cast<uint32_t>(WS_SIOCATMARK)) {
        if (!outBuffer || outLength < sizeof value)
            return SetError(WSAEFAULT);
        if (code == static_cast<uint32_t>(WS_FIONREAD)) {
            if (ioctlsocket(s, WS_FIONREAD, &value) != 0)
                return SOCKET_ERROR;
        } else {
            int atMark = 0;
            if (::ioctl(Fd(s), SIOCATMARK, &atMark) != 0)
                return Fail();
            value = atMark ? 1 : 0;
        }
        std::memcpy(outBuffer, &value, sizeof value);
        returned = sizeof value;
    } else {
        return SetError(WSAEINVAL);
    }
    if (bytesReturned)
        *bytesReturned = returned;
    Complete(overlapped, returned);
    return 0;
}

int WSARecv(TSocket s, TWSABuf* buffers, uint32_t count, uint32_t* received, uint32_t* flags,
            TWSAOverlapped* overlapped, TWSAOverlappedCompletionRoutine completion)
{
    return ReceiveMessage("WSARecv", s, buffers, count, received, flags, nullptr, nullptr,
                          overlapped, completion);
}

int WSARecvFrom(TSocket s, TWSABuf* buffers, uint32_t count, uint32_t* received, uint32_t* flags,
                sockaddr* from, int* fromlen, TWSAOverlapped* overlapped,
                TWSAOverlappedCompletionRoutine completion)
{
    return ReceiveMessage("WSARecvFrom", s, buffers, count, received, flags, from, fromlen,
                          overlapped, completion);
}

int WSASend(TSocket s, const TWSABuf* buffers, uint32_t count, uint32_t* sent, uint32_t flags,
            TWSAOverlapped* overlapped, TWSAOverlappedCompletionRoutine completion)
{
    return SendMessage("WSASend", s, buffers, count, sent, flags, nullptr, 0, overlapped,
                       completion);
}

int WSASendTo(TSocket s, const TWSABuf* buffers, uint32_t count, uint32_t* sent, uint32_t flags,
              const sockaddr* to, int tolen, TWSAOverlapped* overlapped,
              TWSAOverlappedCompletionRoutine completion)
{
    return SendMessage("WSASendTo", s, buffers, count, sent, flags, to, tolen, overlapped,
                       completion);
}

// TCP has no disconnect data; the direction is shut down.
int WSARecvDisconnect(TSocket s, TWSABuf* /*disconnectData*/)
{
    Need("WSARecvDisconnect");
    return shutdown(s, SD_RECEIVE);
}

int WSASendDisconnect(TSocket s, const TWSABuf* /*disconnectData*/)
{
    Need("WSASendDisconnect");
    return shutdown(s, SD_SEND);
}

TSocket WSASocketA(int af, int type, int protocol, const TWSAProtocolInfoA* info, uint32_t group,
                   uint32_t /*flags*/)
{
    return NewSocket("WSASocketA", af, type, protocol, info != nullptr, group);
}

TSocket WSASocketW(int af, int type, int protocol, const TWSAProtocolInfoW* info, uint32_t group,
                   uint32_t /*flags*/)
{
    return NewSocket("WSASocketW", af, type, protocol, info != nullptr, group);
}

int WSAAddressToStringA(const sockaddr* address, uint32_t addressLength,
                        const TWSAProtocolInfoA* /*info*/, char* out, uint32_t* outLength)
{
    return AddressToString("WSAAddressToStringA", address, addressLength, out, outLength);
}

int WSAAddressToStringW(const sockaddr* address, uint32_t addressLength,
                        const TWSAProtocolInfoW* /*info*/, char16_t* out, uint32_t* outLength)
{
    return AddressToString("WSAAddressToStringW", address, addressLength, out, outLength);
}

int WSAStringToAddressA(const char* text, int family, const TWSAProtocolInfoA* /*info*/,
                        sockaddr* address, int* addressLength)
{
    Need("WSAStringToAddressA");
    if (!text)
        return SetError(WSAEFAULT);
    return StringToAddress(text, family, address, addressLength);
}

int WSAStringToAddressW(const char16_t* text, int family, const TWSAProtocolInfoW* /*info*/,
                        sockaddr* address, int* addressLength)
{
    Need("WSAStringToAddressW");
    if (!text)
        return SetError(WSAEFAULT);
    // Address texts are ASCII; anything else cannot be one.
    std::string narrow;
    for (; *text; ++text) {
        if (*text > 0x7F)
            return SetError(WSAEINVAL);
        narrow += static_cast<char>(*text);
    }
    return StringToAddress(narrow, family, address, addressLength);
}

bool TransmitFile(TSocket s, int file, uint32_t bytesToWrite, uint32_t bytesPerSend,
                  TWSAOverlapped* overlapped, const TTransmitFileBuffers* buffers, uint32_t flags)
{
    Need("TransmitFile");
    // sendfile writes into any descriptor; WinSock's call takes sockets only.
    if (!CheckSocket(s))
        return false;
    const int fd = Fd(s);
    uint64_t sent = 0;
    int error = 0;
    {
        TNoSigPipe noSigPipe;
        if (buffers)
            error = SendBuffer(fd, buffers->Head, buffers->HeadLength, true, sent);
        if (!error && file >= 0) {
            // An overlapped request names the file position; otherwise the
            // file's own position is used and moved.
            off_t offset = 0;
            off_t* position = nullptr;
            if (overlapped) {
                offset = static_cast<off_t>((static_cast<uint64_t>(overlapped->OffsetHigh) << 32) |
                                            overlapped->Offset);
                position = &offset;
            }
            uint64_t total = bytesToWrite;
            if (total == 0) {
                struct stat st {};
                const off_t at = position ? offset : ::lseek(file, 0, SEEK_CUR);
                if (::fstat(file, &st) != 0 || at < 0)
                    error = errno;
                else if (st.st_size > at)
                    total = static_cast<uint64_t>(st.st_size - at);
            }
            const uint64_t chunk = bytesPerSend ? bytesPerSend : uint64_t{1} << 30;
            if (!error)
                error = SendAllOf(fd, total, sent, [&](uint64_t left) {
                    return ::sendfile(fd, file, position, std::min(left, chunk));
                });
        }
        if (!error && buffers)
            error = SendBuffer(fd, buffers->Tail, buffers->TailLength, false, sent);
    }
    if (!error && (flags & TF_DISCONNECT) && ::shutdown(fd, SHUT_WR) != 0)
        error = errno;
    if (error) {
        SetError(ErrnoToWSAError(error));
        return false;
    }
    Complete(overlapped, sent);
    return true;
}

bool AcceptEx(TSocket listenSocket, TSocket acceptSocket, void* outputBuffer,
              uint32_t receiveDataLength, uint32_t localAddressLength, uint32_t remoteAddressLength,
              uint32_t* bytesReceived, TWSAOverlapped* overlapped)
{
    Need("AcceptEx");
    if (!CheckSocket(acceptSocket))
        return false;
    sockaddr_storage local{};
    socklen_t localLen = sizeof local;
    if (::getsockname(Fd(listenSocket), reinterpret_cast<sockaddr*>(&local), &localLen) != 0) {
        Fail();
        return false;
    }
    if (!outputBuffer || localAddressLength < localLen + SlotSpare ||
        remoteAddressLength < localLen + SlotSpare) {
        SetError(WSAEFAULT);
        return false;
    }
    sockaddr_storage peer{};
    socklen_t peerLen = sizeof peer;
    int fd;
    do {
        fd =
            ::accept4(Fd(listenSocket), reinterpret_cast<sockaddr*>(&peer), &peerLen, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        Fail();
        return false;
    }
    // The connection takes over the accept socket's handle.
    BeforeClose(acceptSocket);
    const int moved = ::dup3(fd, Fd(acceptSocket), O_CLOEXEC);
    const int dupError = errno;
    ::close(fd);
    if (moved < 0) {
        SetError(ErrnoToWSAError(dupError));
        return false;
    }
    AfterAccept(listenSocket, acceptSocket);
    int received = 0;
    if (receiveDataLength > 0) {
        received = Transfer(acceptSocket, static_cast<int>(receiveDataLength), [&](size_t size) {
            return ::recv(Fd(acceptSocket), outputBuffer, size, 0);
        });
        AfterRecv(acceptSocket);
        if (received == SOCKET_ERROR)
            return false;
    }
    localLen = sizeof local;
    ::getsockname(Fd(acceptSocket), reinterpret_cast<sockaddr*>(&local), &localLen);
    WriteSlot(outputBuffer, receiveDataLength, local, localLen);
    WriteSlot(outputBuffer, receiveDataLength + localAddressLength, peer, peerLen);
    if (bytesReceived)
        *bytesReceived = static_cast<uint32_t>(received);
    Complete(overlapped, static_cast<uint64_t>(received));
    return true;
}

void GetAcceptExSockaddrs(void* outputBuffer, uint32_t receiveDataLength,
                          uint32_t localAddressLength, uint32_t /*remoteAddressLength*/,
                          sockaddr** localSockaddr, int* localSockaddrLength,
                          sockaddr** remoteSockaddr, int* remoteSockaddrLength)
{
    Need("GetAcceptExSockaddrs");
    if (!outputBuffer)
        return;
    ReadSlot(outputBuffer, receiveDataLength, localSockaddr, localSockaddrLength);
    ReadSlot(outputBuffer, receiveDataLength + localAddressLength, remoteSockaddr,
             remoteSockaddrLength);
}

int WSARecvEx(TSocket s, void* buf, int len, int* flags)
{
    Need("WSARecvEx");
    iovec iov{buf, len > 0 ? static_cast<size_t>(len) : 0};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    const int inFlags = flags ? *flags : 0;
    const int n = Transfer(s, len, [&](size_t) { return ::recvmsg(Fd(s), &m, inFlags); });
    AfterRecv(s);
    if (n != SOCKET_ERROR && flags)
        *flags = (m.msg_flags & MSG_TRUNC) ? MSG_PARTIAL : 0;
    return n;
}

// ---- Rows without a Linux counterpart -----------------------------------------------------

int WSADuplicateSocketA(TSocket, uint32_t, TWSAProtocolInfoA*)
{
    NotSupported("WSADuplicateSocketA");
}

int WSADuplicateSocketW(TSocket, uint32_t, TWSAProtocolInfoW*)
{
    NotSupported("WSADuplicateSocketW");
}

int WSAEnumProtocolsA(int*, TWSAProtocolInfoA*, uint32_t*)
{
    NotSupported("WSAEnumProtocolsA");
}

int WSAEnumProtocolsW(int*, TWSAProtocolInfoW*, uint32_t*)
{
    NotSupported("WSAEnumProtocolsW");
}

bool WSAGetQosByName(TSocket, TWSABuf*, TQualityOfService*)
{
    NotSupported("WSAGetQosByName");
}

TSocket WSAJoinLeaf(TSocket, const sockaddr*, int, const TWSABuf*, TWSABuf*, TQualityOfService*,
                    TQualityOfService*, uint32_t)
{
    NotSupported("WSAJoinLeaf");
}

int WSALookupServiceBeginA(const TWSAQuerySetA*, uint32_t, THandle*)
{
    NotSupported("WSALookupServiceBeginA");
}

int WSALookupServiceBeginW(const TWSAQuerySetW*, uint32_t, THandle*)
{
    NotSupported("WSALookupServiceBeginW");
}

int WSALookupServiceNextA(THandle, uint32_t, uint32_t*, TWSAQuerySetA*)
{
    NotSupported("WSALookupServiceNextA");
}

int WSALookupServiceNextW(THandle, uint32_t, uint32_t*, TWSAQuerySetW*)
{
    NotSupported("WSALookupServiceNextW");
}

int WSALookupServiceEnd(THandle)
{
    NotSupported("WSALookupServiceEnd");
}

int WSAInstallServiceClassA(const TWSAServiceClassInfoA*)
{
    NotSupported("WSAInstallServiceClassA");
}

int WSAInstallServiceClassW(const TWSAServiceClassInfoW*)
{
    NotSupported("WSAInstallServiceClassW");
}

int WSARemoveServiceClass(const TGUID*)
{
    NotSupported("WSARemoveServiceClass");
}

int WSAGetServiceClassInfoA(const TGUID*, const TGUID*, uint32_t*, TWSAServiceClassInfoA*)
{
    NotSupported("WSAGetServiceClassInfoA");
}

int WSAGetServiceClassInfoW(const TGUID*, const TGUID*, uint32_t*, TWSAServiceClassInfoW*)
{
    NotSupported("WSAGetServiceClassInfoW");
}

int WSAEnumNameSpaceProvidersA(uint32_t*, TWSANameSpaceInfoA*)
{
    NotSupported("WSAEnumNameSpaceProvidersA");
}

int WSAEnumNameSpaceProvidersW(uint32_t*, TWSANameSpaceInfoW*)
{
    NotSupported("WSAEnumNameSpaceProvidersW");
}

int WSAGetServiceClassNameByClassIdA(const TGUID*, char*, uint32_t*)
{
    NotSupported("WSAGetServiceClassNameByClassIdA");
}

int WSAGetServiceClassNameByClassIdW(const TGUID*, char16_t*, uint32_t*)
{
    NotSupported("WSAGetServiceClassNameByClassIdW");
}

int WSASetServiceA(const TWSAQuerySetA*, int, uint32_t)
{
    NotSupported("WSASetServiceA");
}

int WSASetServiceW(const TWSAQuerySetW*, int, uint32_t)
{
    NotSupported("WSASetServiceW");
}

int WSAProviderConfigChange(THandle*, TWSAOverlapped*, TWSAOverlappedCompletionRoutine)
{
    NotSupported("WSAProviderConfigChange");
}

} // namespace IdWinsock2
