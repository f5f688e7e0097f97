#pragma once

#include "netproto/core/id_async_select.h"
#include "netproto/core/id_winsock2.h"
#include "platform/gui_message.h"

#include <cstdint>

// Asynchronous select for the library's sockets: the process's socket
// watcher (with WinSock's re-enabling rules) posting WinSock notification
// messages to a control's window, WParam the socket's id and LParam the
// event and its error. Readiness is judged on the control's (GUI) thread,
// so what the control posts while handling a socket's connect comes before
// the socket's first data.

using IdWinsock2::FD_ACCEPT;
using IdWinsock2::FD_CLOSE;
using IdWinsock2::FD_CONNECT;
using IdWinsock2::FD_OOB;
using IdWinsock2::FD_READ;
using IdWinsock2::FD_WRITE;

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

class TIpAsyncSelect : public TIdAsyncSelect {
public:
    // Posts `message` to `window` with WParam = the socket's id.
    TIpAsyncSelect(TGuiTarget window, uint32_t message)
        : TIdAsyncSelect(TDelivery::OnThisThread), FWindow(std::move(window)), FMessage(message)
    {
    }

    using TIdAsyncSelect::Select;
    void Select(uint32_t id, int fd, uint32_t mask)
    {
        Select(id, fd, mask,
               [window = FWindow, message = FMessage](uint32_t socket, uint32_t event, int error) {
                   window.Post(message, socket, IpMakeLong(event, static_cast<uint32_t>(error)));
               });
    }

private:
    TGuiTarget FWindow;
    uint32_t FMessage;
};
