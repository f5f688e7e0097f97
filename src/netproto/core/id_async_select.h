// Asynchronous select: a socket's readiness becomes WinSock's network events
// (FD_READ ... FD_CLOSE), handed to a notify function, with WinSock's
// re-enabling rules:
// - FD_CONNECT once when a connect completes (its error in the high word);
//   a connect that succeeded is followed by one FD_WRITE;
// - FD_WRITE once when a connected socket is selected, then only after a
//   send that would have blocked, as soon as the socket can write again;
// - FD_READ once while data waits, again only after the next recv;
// - FD_ACCEPT once while a connection waits, again only after accept;
// - FD_CLOSE at the end of the stream (or its error), after the data before
//   it has been read; nothing follows it.
// An event that is not selected is not watched for until its re-enabling
// call, so unread data of a socket that did not ask for FD_READ never keeps
// the watcher busy.
//
// One thread of the process watches every selected socket (WinSock's events
// come whether or not any thread runs a message loop). The notify function
// runs under the watcher's lock: it hands the event on (a posted message, a
// set event object) and never calls back in here. Where it runs is the
// object's choice:
// - on the watcher's thread, as soon as the socket is ready;
// - on the thread that made the object (one with an event loop), which the
//   watcher hands each readiness to: whatever that thread's handlers post
//   while handling one notification comes before the next notification of
//   the socket (a connect's status is handled before the data after it).
//
// Sockets are known by an id of the caller's: a notification of a socket
// whose watch was removed or replaced in the meantime is dropped, even when
// a new socket got the same descriptor.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

class TGuiCallQueue;

class TIdAsyncSelect {
public:
    using TNotify = std::function<void(uint32_t id, uint32_t event, int error)>;
    enum class TDelivery { OnWatcherThread, OnThisThread };

    explicit TIdAsyncSelect(TDelivery delivery = TDelivery::OnWatcherThread);
    // Stops watching every socket of this object.
    ~TIdAsyncSelect();
    TIdAsyncSelect(const TIdAsyncSelect&) = delete;
    TIdAsyncSelect& operator=(const TIdAsyncSelect&) = delete;

    // Watches the socket for the events of the mask (a new select replaces
    // the old one; mask 0 stops). A listening socket is watched for
    // connections; a connected one gets its first FD_WRITE at once.
    void Select(uint32_t id, int fd, uint32_t mask, TNotify notify);
    // Stops watching; call before the descriptor is closed.
    void Remove(uint32_t id);
    // A socket accepted from a watched listener gets the listener's events
    // and notify function.
    void Inherit(uint32_t listenerId, uint32_t id, int fd);
    // True while any socket of this object is watched; cheap, for the
    // socket calls that re-enable events.
    bool Any() const;

    // The re-enabling calls, made right after the matching socket call.
    void Listening(uint32_t id);
    void Connecting(uint32_t id);
    void Received(uint32_t id);
    void Accepted(uint32_t id);
    void SendBlocked(uint32_t id);

    class TWatcher;

private:
    std::shared_ptr<TWatcher> FWatcher;
    // Made and freed on the object's thread; its hand-overs die with it.
    std::unique_ptr<TGuiCallQueue> FQueue;
    std::atomic<int> FCount{0};
};
