// What the binding's source files share; not for callers of the binding.
#pragma once

#include "netproto/core/id_winsock2.h"

#include <cerrno>

namespace IdWinsock2::Detail {

// Raises WSANOTINITIALISED with the call's name before WSAStartup.
void Need(const char* name);
// The answer of a row without a Linux counterpart, after Need.
[[noreturn]] void NotSupported(const char* name);
// errno as the calling thread's WinSock error; SOCKET_ERROR.
int Fail();
// `error` as the calling thread's WinSock error; SOCKET_ERROR.
int SetError(int error);
int Fd(TSocket s);
// Whether `fd` is in blocking mode (false when it cannot be told).
bool Blocking(int fd);
// WSAENOTSOCK (false) unless `s` is an open socket.
bool CheckSocket(TSocket s);

// One send or receive of `len` bytes, made again when a signal cut it short:
// the byte count, or SOCKET_ERROR. A negative length is refused as WinSock
// refuses it, rather than read as a huge buffer.
template <class Call> int Transfer(TSocket s, int len, Call call)
{
    if (len < 0)
        return SetError(WSAEFAULT);
    ssize_t n;
    do {
        n = call(static_cast<size_t>(len));
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        // On a blocking socket "would block" means its send or receive
        // time-out ran out, which WinSock reports as timed out.
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && Blocking(Fd(s)))
            return SetError(WSAETIMEDOUT);
        return Fail();
    }
    return static_cast<int>(n);
}

// What the socket calls tell the async select of a selected socket.
void AfterListen(TSocket s);
void AfterConnect(TSocket s);
void AfterRecv(TSocket s);
void AfterAccept(TSocket listener, TSocket accepted);
void AfterSendBlocked(TSocket s);
// Ends the socket's select, its event record and its deferred connections.
void BeforeClose(TSocket s);

// WSAAccept's deferred connections of a listener: the oldest one taken
// (-1 when there is none), and one more kept.
int TakeDeferred(TSocket listener);
void Defer(TSocket listener, int fd);

} // namespace IdWinsock2::Detail
