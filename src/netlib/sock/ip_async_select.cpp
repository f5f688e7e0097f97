#include "netlib/sock/ip_async_select.h"

#include "netproto/core/id_winsock2.h"

#include <QSocketNotifier>

#include <sys/socket.h>

#include <cerrno>

struct TIpAsyncSelect::TWatch {
    int Fd = -1;
    uint32_t Mask = 0;
    bool Listening = false;
    bool Connecting = false;
    bool Closed = false;
    std::unique_ptr<QSocketNotifier> Read;
    std::unique_ptr<QSocketNotifier> Write;
};

TIpAsyncSelect::TIpAsyncSelect(TGuiTarget window, uint32_t message)
    : FWindow(std::move(window)), FMessage(message)
{
}

TIpAsyncSelect::~TIpAsyncSelect() = default;

TIpAsyncSelect::TWatch* TIpAsyncSelect::Find(uint32_t id)
{
    auto it = FWatches.find(id);
    return it == FWatches.end() ? nullptr : it->second.get();
}

void TIpAsyncSelect::Post(uint32_t id, uint32_t event, int error)
{
    FWindow.Post(FMessage, id, IpMakeLong(event, static_cast<uint32_t>(error)));
}

void TIpAsyncSelect::Select(uint32_t id, int fd, uint32_t mask)
{
    Remove(id);
    if (mask == 0 || fd < 0)
        return;
    auto watch = std::make_unique<TWatch>();
    watch->Fd = fd;
    watch->Mask = mask;
    watch->Read = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
    watch->Write = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write);
    watch->Read->setEnabled(false);
    watch->Write->setEnabled(false);
    QObject::connect(watch->Read.get(), &QSocketNotifier::activated, [this, id] { Readable(id); });
    QObject::connect(watch->Write.get(), &QSocketNotifier::activated, [this, id] { Writable(id); });
    int accepting = 0;
    socklen_t len = sizeof accepting;
    sockaddr_storage peer{};
    socklen_t peerLen = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len) == 0 && accepting) {
        watch->Listening = true;
        watch->Read->setEnabled(true);
    } else if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) == 0) {
        watch->Read->setEnabled(true);
        if (mask & FD_WRITE)
            Post(id, FD_WRITE, 0);
    }
    FWatches[id] = std::move(watch);
}

void TIpAsyncSelect::Remove(uint32_t id)
{
    FWatches.erase(id);
}

void TIpAsyncSelect::Connecting(uint32_t id)
{
    if (TWatch* w = Find(id)) {
        w->Connecting = true;
        w->Write->setEnabled(true);
    }
}

void TIpAsyncSelect::Received(uint32_t id)
{
    if (TWatch* w = Find(id); w && !w->Closed && !w->Listening && !w->Connecting)
        w->Read->setEnabled(true);
}

void TIpAsyncSelect::Accepted(uint32_t id)
{
    if (TWatch* w = Find(id); w && w->Listening)
        w->Read->setEnabled(true);
}

void TIpAsyncSelect::SendBlocked(uint32_t id)
{
    if (TWatch* w = Find(id); w && !w->Closed)
        w->Write->setEnabled(true);
}

void TIpAsyncSelect::Readable(uint32_t id)
{
    TWatch* w = Find(id);
    if (!w)
        return;
    w->Read->setEnabled(false);
    if (w->Listening) {
        if (w->Mask & FD_ACCEPT)
            Post(id, FD_ACCEPT, 0);
        return;
    }
    char probe;
    ssize_t n;
    do {
        n = ::recv(w->Fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        if (w->Mask & FD_READ)
            Post(id, FD_READ, 0);
        else
            w->Read->setEnabled(true);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        w->Read->setEnabled(true);
        return;
    }
    // End of stream or a broken connection: the last notification.
    w->Closed = true;
    w->Write->setEnabled(false);
    if (w->Mask & FD_CLOSE)
        Post(id, FD_CLOSE, n < 0 ? IdWinsock2::ErrnoToWSAError(errno) : 0);
}

void TIpAsyncSelect::Writable(uint32_t id)
{
    TWatch* w = Find(id);
    if (!w)
        return;
    w->Write->setEnabled(false);
    if (w->Closed)
        return;
    if (!w->Connecting) {
        if (w->Mask & FD_WRITE)
            Post(id, FD_WRITE, 0);
        return;
    }
    w->Connecting = false;
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(w->Fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        error = errno;
    const int wsError = error ? IdWinsock2::ErrnoToWSAError(error) : 0;
    if (w->Mask & FD_CONNECT)
        Post(id, FD_CONNECT, wsError);
    if (wsError)
        return;
    if (w->Mask & FD_WRITE)
        Post(id, FD_WRITE, 0);
    w->Read->setEnabled(true);
}
