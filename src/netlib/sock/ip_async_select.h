#pragma once

#include "platform/gui_message.h"

#include <cstdint>
#include <map>
#include <memory>

// Asynchronous select: a socket's readiness, watched on the GUI event loop,
// becomes WinSock notification messages posted to a control's window, with
// WinSock's re-enabling rules:
// - FD_CONNECT once when a connect completes (its error in the high word);
//   a connect that succeeded is followed by one FD_WRITE;
// - FD_WRITE once when a connected socket is selected, then only after a
//   send that would have blocked, as soon as the socket can write again;
// - FD_READ once while data waits, again only after the next recv;
// - FD_ACCEPT once while a connection waits, again only after accept;
// - FD_CLOSE at the end of the stream (or its error), after the data before
//   it has been read; nothing follows it.
// Sockets are known by an id of the caller's, never by their descriptor: a
// message posted for a socket that is gone by the time it is handled names
// no other socket that reuses the descriptor.

inline constexpr uint32_t FD_READ = 0x01;
inline constexpr uint32_t FD_WRITE = 0x02;
inline constexpr uint32_t FD_OOB = 0x04;
inline constexpr uint32_t FD_ACCEPT = 0x08;
inline constexpr uint32_t FD_CONNECT = 0x10;
inline constexpr uint32_t FD_CLOSE = 0x20;

// A window message's LParam of two 16-bit halves.
inline intptr_t IpMakeLong(uint32_t low, uint32_t high)
{
    return static_cast<intptr_t>((low & 0xFFFF) | ((high & 0xFFFF) << 16));
}
inline uint32_t IpLoWord(intptr_t value)
{
    return static_cast<uint32_t>(value) & 0xFFFF;
}
inline uint32_t IpHiWord(intptr_t value)
{
    return (static_cast<uint32_t>(value) >> 16) & 0xFFFF;
}

class TIpAsyncSelect {
public:
    // Posts `message` to `window` with WParam = the socket's id.
    TIpAsyncSelect(TGuiTarget window, uint32_t message);
    ~TIpAsyncSelect();
    TIpAsyncSelect(const TIpAsyncSelect&) = delete;
    TIpAsyncSelect& operator=(const TIpAsyncSelect&) = delete;

    // Watches the socket for the events of the mask (a new mask replaces the
    // old one; 0 stops). A listening socket is watched for connections, a
    // connected one gets its first FD_WRITE.
    void Select(uint32_t id, int fd, uint32_t mask);
    // Stops watching; call before the descriptor is closed.
    void Remove(uint32_t id);

    // The re-enabling calls, made right after the matching socket call.
    void Connecting(uint32_t id);
    void Received(uint32_t id);
    void Accepted(uint32_t id);
    void SendBlocked(uint32_t id);

private:
    struct TWatch;
    TWatch* Find(uint32_t id);
    void Readable(uint32_t id);
    void Writable(uint32_t id);
    void Post(uint32_t id, uint32_t event, int error);

    TGuiTarget FWindow;
    uint32_t FMessage;
    std::map<uint32_t, std::unique_ptr<TWatch>> FWatches;
};
