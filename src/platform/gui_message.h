#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

// Messages to the GUI thread, standing in for hidden notification windows
// and window messages. A TGuiReceiver lives on the GUI thread and handles
// each message there; any thread posts or sends to it through the receiver
// or through a TGuiTarget handle. Handles stay safe after the receiver is
// gone: posts and sends then fail instead of touching freed memory.

using TGuiMessageHandler = std::function<intptr_t(uint32_t msg, uintptr_t wParam, intptr_t lParam)>;

namespace GuiMessageDetail {
struct TChannel;
}

// A handle for posting and sending to a receiver from any thread.
class TGuiTarget {
public:
    TGuiTarget() = default;

    // Queues the message; false when the receiver is gone.
    bool Post(uint32_t msg, uintptr_t wParam = 0, intptr_t lParam = 0) const;
    // The same for a wParam that owns memory: `drop` frees it whenever no
    // handler gets the message (the receiver is gone, or goes before the
    // message is handled); a handler that gets it owns it.
    bool Post(uint32_t msg, uintptr_t wParam, intptr_t lParam,
              void (*drop)(uintptr_t wParam)) const;
    // Has the GUI thread handle the message and returns the handler's result.
    // Called on the GUI thread it runs the handler directly. Empty when the
    // receiver is gone, is destroyed while the sender waits, or the time runs
    // out; a message timed out before its handler started is then dropped,
    // so it never runs late. timeoutMs INFINITE (0xFFFFFFFF) waits without
    // bound.
    std::optional<intptr_t> Send(uint32_t msg, uintptr_t wParam, intptr_t lParam,
                                 uint32_t timeoutMs) const;
    bool Alive() const;
    // The same receiver (or both empty).
    bool operator==(const TGuiTarget& other) const { return FChannel == other.FChannel; }

private:
    friend class TGuiReceiver;
    explicit TGuiTarget(std::shared_ptr<GuiMessageDetail::TChannel> channel);
    std::shared_ptr<GuiMessageDetail::TChannel> FChannel;
};

class TGuiReceiver {
public:
    // Create and destroy on the GUI thread (the thread of the application
    // object). Exceptions escaping the handler are discarded, as at the
    // message loop, and a send then returns 0.
    explicit TGuiReceiver(TGuiMessageHandler handler);
    // Pending posted messages are dropped; waiting senders return empty.
    ~TGuiReceiver();
    TGuiReceiver(const TGuiReceiver&) = delete;
    TGuiReceiver& operator=(const TGuiReceiver&) = delete;

    TGuiTarget Target() const { return FTarget; }
    bool Post(uint32_t msg, uintptr_t wParam = 0, intptr_t lParam = 0) const
    {
        return FTarget.Post(msg, wParam, lParam);
    }
    std::optional<intptr_t> Send(uint32_t msg, uintptr_t wParam, intptr_t lParam,
                                 uint32_t timeoutMs) const
    {
        return FTarget.Send(msg, wParam, lParam, timeoutMs);
    }

private:
    TGuiTarget FTarget;
};

// Functions run on the thread that made the queue, in the order posted, from
// any thread. Unlike Qt's queued calls, the hand-over is one that
// ThreadSanitizer sees, so a sanitized run reports only real races.
class TGuiCallQueue {
public:
    TGuiCallQueue();

    // False, and `f` dropped unrun, once the queue is gone.
    bool Post(std::function<void()> f) const { return Post(Target(), std::move(f)); }
    static bool Post(const TGuiTarget& queue, std::function<void()> f);
    // A handle a worker may keep past the queue's life.
    TGuiTarget Target() const { return FReceiver.Target(); }

private:
    TGuiReceiver FReceiver;
};

// True on the thread of the application object (or on the first thread that
// asked, when there is no application object).
bool IsGuiThread();
