#include "netproto/core/id_async_select.h"

#include "netproto/core/id_winsock2.h"
#include "platform/gui_message.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace ws = IdWinsock2;

namespace {

struct TWatch {
    uint64_t Serial = 0;
    int Fd = -1;
    uint32_t Mask = 0;
    TIdAsyncSelect::TNotify Notify;
    // The owner's thread that judges readiness, or none: the watcher's.
    TGuiTarget Queue;
    bool Listening = false;
    bool Connecting = false;
    bool Closed = false;
    bool ReadArmed = false;
    bool WriteArmed = false;
};

using TKey = std::pair<const TIdAsyncSelect*, uint32_t>;

} // namespace

// The process's one watching thread and every watch of every object.
class TIdAsyncSelect::TWatcher {
public:
    ~TWatcher()
    {
        {
            std::lock_guard guard(Lock);
            FStop = true;
            WakeLocked();
        }
        if (FThread.joinable())
            FThread.join();
        if (FWake >= 0)
            ::close(FWake);
    }

    static std::shared_ptr<TWatcher> Instance()
    {
        static std::mutex lock;
        static std::weak_ptr<TWatcher> current;
        std::lock_guard guard(lock);
        std::shared_ptr<TWatcher> w = current.lock();
        if (!w) {
            w = std::make_shared<TWatcher>();
            current = w;
        }
        return w;
    }

    TWatch* Find(const TIdAsyncSelect* owner, uint32_t id)
    {
        auto it = Watches.find({owner, id});
        return it == Watches.end() ? nullptr : &it->second;
    }

    // Makes the thread look at the watches again; starts it the first time.
    void WakeLocked()
    {
        if (FWake < 0) {
            if (FStop)
                return;
            FWake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
            if (FWake < 0)
                throw EIdException("No event descriptor for the socket watcher");
            FThread = std::thread([this] { Run(); });
        }
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(FWake, &one, sizeof one);
    }

    void Post(const TKey& key, TWatch& w, uint32_t event, int error)
    {
        if (w.Notify)
            w.Notify(key.second, event, error);
    }

    void Readable(const TKey& key, TWatch& w);
    void Writable(const TKey& key, TWatch& w);
    // Readiness seen by the thread: judged here, or handed to the owner's
    // thread, which judges it if the watch is still the same by then.
    void Ready(const TKey& key, TWatch& w, bool readable, bool writable);

    std::mutex Lock;
    std::map<TKey, TWatch> Watches;
    uint64_t NextSerial = 1;

private:
    void Run();

    int FWake = -1;
    bool FStop = false;
    std::thread FThread;
};

void TIdAsyncSelect::TWatcher::Readable(const TKey& key, TWatch& w)
{
    w.ReadArmed = false;
    if (w.Listening) {
        if (w.Mask & ws::FD_ACCEPT)
            Post(key, w, ws::FD_ACCEPT, 0);
        return;
    }
    char probe;
    ssize_t n;
    do {
        n = ::recv(w.Fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        // Waiting data: FD_READ when selected; either way the next recv
        // re-enables the watch.
        if (w.Mask & ws::FD_READ)
            Post(key, w, ws::FD_READ, 0);
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        w.ReadArmed = true;
        return;
    }
    // End of stream or a broken connection: the last notification.
    w.Closed = true;
    w.WriteArmed = false;
    if (w.Mask & ws::FD_CLOSE)
        Post(key, w, ws::FD_CLOSE, n < 0 ? ws::ErrnoToWSAError(errno) : 0);
}

void TIdAsyncSelect::TWatcher::Writable(const TKey& key, TWatch& w)
{
    w.WriteArmed = false;
    if (w.Closed)
        return;
    if (!w.Connecting) {
        if (w.Mask & ws::FD_WRITE)
            Post(key, w, ws::FD_WRITE, 0);
        return;
    }
    w.Connecting = false;
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(w.Fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        error = errno;
    const int wsError = error ? ws::ErrnoToWSAError(error) : 0;
    if (w.Mask & ws::FD_CONNECT)
        Post(key, w, ws::FD_CONNECT, wsError);
    if (wsError)
        return;
    if (w.Mask & ws::FD_WRITE)
        Post(key, w, ws::FD_WRITE, 0);
    w.ReadArmed = true;
}

void TIdAsyncSelect::TWatcher::Ready(const TKey& key, TWatch& w, bool readable, bool writable)
{
    if (!w.Queue.Alive()) {
        if (readable)
            Readable(key, w);
        if (writable && w.WriteArmed)
            Writable(key, w);
        return;
    }
    // Not watched again until the owner's thread has judged it. The queue
    // belongs to the owner, which keeps the watcher alive.
    w.ReadArmed = w.ReadArmed && !readable;
    w.WriteArmed = w.WriteArmed && !writable;
    const uint64_t serial = w.Serial;
    TGuiCallQueue::Post(w.Queue, [this, key, serial, readable, writable] {
        std::lock_guard guard(Lock);
        auto it = Watches.find(key);
        if (it == Watches.end() || it->second.Serial != serial)
            return;
        if (readable)
            Readable(key, it->second);
        if (writable && !it->second.Closed)
            Writable(key, it->second);
        // What was judged here may arm the watch again.
        WakeLocked();
    });
}

void TIdAsyncSelect::TWatcher::Run()
{
    std::unique_lock guard(Lock);
    std::vector<pollfd> fds;
    std::vector<std::pair<TKey, uint64_t>> polled;
    while (!FStop) {
        fds.assign(1, pollfd{FWake, POLLIN, 0});
        polled.clear();
        for (const auto& [key, w] : Watches) {
            const short events =
                static_cast<short>((w.ReadArmed ? POLLIN : 0) | (w.WriteArmed ? POLLOUT : 0));
            if (!events)
                continue;
            fds.push_back({w.Fd, events, 0});
            polled.emplace_back(key, w.Serial);
        }
        guard.unlock();
        int rc;
        do {
            rc = ::poll(fds.data(), fds.size(), -1);
        } while (rc < 0 && errno == EINTR);
        guard.lock();
        uint64_t drained;
        while (::read(FWake, &drained, sizeof drained) > 0) {
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            const short re = fds[i].revents;
            if (!re)
                continue;
            auto it = Watches.find(polled[i - 1].first);
            // Removed or selected anew while the thread was polling.
            if (it == Watches.end() || it->second.Serial != polled[i - 1].second)
                continue;
            TWatch& w = it->second;
            if (re & POLLNVAL) {
                // Closed without Remove: nothing more can come.
                w.ReadArmed = w.WriteArmed = false;
                continue;
            }
            Ready(it->first, w, w.ReadArmed && (re & (POLLIN | POLLHUP | POLLERR)),
                  w.WriteArmed && (re & (POLLOUT | POLLHUP | POLLERR)));
        }
    }
}

TIdAsyncSelect::TIdAsyncSelect(TDelivery delivery) : FWatcher(TWatcher::Instance())
{
    if (delivery == TDelivery::OnThisThread)
        FQueue = std::make_unique<TGuiCallQueue>();
}

TIdAsyncSelect::~TIdAsyncSelect()
{
    std::lock_guard guard(FWatcher->Lock);
    std::erase_if(FWatcher->Watches, [this](const auto& e) { return e.first.first == this; });
}

void TIdAsyncSelect::Select(uint32_t id, int fd, uint32_t mask, TNotify notify)
{
    std::lock_guard guard(FWatcher->Lock);
    const TKey key{this, id};
    if (FWatcher->Watches.erase(key))
        --FCount;
    if (mask == 0 || fd < 0)
        return;
    TWatch& w = FWatcher->Watches[key];
    ++FCount;
    w.Serial = FWatcher->NextSerial++;
    w.Fd = fd;
    w.Mask = mask;
    w.Notify = std::move(notify);
    if (FQueue)
        w.Queue = FQueue->Target();
    int accepting = 0;
    socklen_t len = sizeof accepting;
    sockaddr_storage peer{};
    socklen_t peerLen = sizeof peer;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &len) == 0 && accepting) {
        w.Listening = true;
        w.ReadArmed = true;
    } else if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) == 0) {
        w.ReadArmed = true;
        if (mask & ws::FD_WRITE)
            FWatcher->Post(key, w, ws::FD_WRITE, 0);
    }
    FWatcher->WakeLocked();
}

void TIdAsyncSelect::Remove(uint32_t id)
{
    std::lock_guard guard(FWatcher->Lock);
    if (FWatcher->Watches.erase({this, id})) {
        --FCount;
        FWatcher->WakeLocked();
    }
}

void TIdAsyncSelect::Inherit(uint32_t listenerId, uint32_t id, int fd)
{
    uint32_t mask;
    TNotify notify;
    {
        std::lock_guard guard(FWatcher->Lock);
        const TWatch* listener = FWatcher->Find(this, listenerId);
        if (!listener)
            return;
        mask = listener->Mask;
        notify = listener->Notify;
    }
    Select(id, fd, mask, std::move(notify));
}

bool TIdAsyncSelect::Any() const
{
    return FCount.load(std::memory_order_relaxed) > 0;
}

namespace {

// Arms a watch under the lock when `change` says so.
template <class Change> void Rearm(TIdAsyncSelect::TWatcher& watcher, TWatch* w, Change change)
{
    if (w && change(*w))
        watcher.WakeLocked();
}

} // namespace

void TIdAsyncSelect::Listening(uint32_t id)
{
    std::lock_guard guard(FWatcher->Lock);
    Rearm(*FWatcher, FWatcher->Find(this, id), [](TWatch& w) {
        w.Listening = true;
        w.Connecting = false;
        return w.ReadArmed = true;
    });
}

void TIdAsyncSelect::Connecting(uint32_t id)
{
    std::lock_guard guard(FWatcher->Lock);
    Rearm(*FWatcher, FWatcher->Find(this, id), [](TWatch& w) {
        w.Connecting = true;
        return w.WriteArmed = true;
    });
}

void TIdAsyncSelect::Received(uint32_t id)
{
    std::lock_guard guard(FWatcher->Lock);
    Rearm(*FWatcher, FWatcher->Find(this, id), [](TWatch& w) {
        if (w.Closed || w.Listening || w.Connecting || w.ReadArmed)
            return false;
        return w.ReadArmed = true;
    });
}

void TIdAsyncSelect::Accepted(uint32_t id)
{
    std::lock_guard guard(FWatcher->Lock);
    Rearm(*FWatcher, FWatcher->Find(this, id), [](TWatch& w) {
        if (!w.Listening || w.ReadArmed)
            return false;
        return w.ReadArmed = true;
    });
}

void TIdAsyncSelect::SendBlocked(uint32_t id)
{
    std::lock_guard guard(FWatcher->Lock);
    Rearm(*FWatcher, FWatcher->Find(this, id), [](TWatch& w) {
        if (w.Closed || w.WriteArmed)
            return false;
        return w.WriteArmed = true;
    });
}
