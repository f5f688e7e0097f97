#include "platform/gui_message.h"

#include "platform/thread.h"

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

namespace GuiMessageDetail {

struct TSendState {
    enum TPhase { Waiting, Running, Done, Abandoned, Failed };
    std::mutex lock;
    std::condition_variable changed;
    TPhase phase = Waiting;
    intptr_t result = 0;
};

class TMessageEvent : public QEvent {
public:
    static QEvent::Type EventType()
    {
        static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
        return type;
    }
    TMessageEvent(uint32_t m, uintptr_t w, intptr_t l, std::shared_ptr<TSendState> s,
                  void (*d)(uintptr_t) = nullptr)
        : QEvent(EventType()), msg(m), wParam(w), lParam(l), send(std::move(s)), drop(d)
    {
    }
    // Deleted unhandled (its receiver went): what the wParam owns goes too.
    ~TMessageEvent() override
    {
        if (drop)
            drop(wParam);
    }
    uint32_t msg;
    uintptr_t wParam;
    intptr_t lParam;
    std::shared_ptr<TSendState> send; // null for a posted message
    void (*drop)(uintptr_t);          // cleared once a handler has the message
};

class TReceiverObject;

struct TChannel {
    std::mutex lock;
    bool alive = true;
    std::unique_ptr<TReceiverObject> object;
    TGuiMessageHandler handler;
    std::set<std::shared_ptr<TSendState>> pending;

    intptr_t Call(uint32_t msg, uintptr_t w, intptr_t l)
    {
        try {
            return handler(msg, w, l);
        } catch (...) {
            // As at the message loop: an escaped exception is dropped.
            return 0;
        }
    }
};

class TReceiverObject : public QObject {
public:
    explicit TReceiverObject(TChannel* channel) : FChannel(channel) {}

    bool event(QEvent* e) override
    {
        {
            // Senders queue under this lock; taking it here orders their
            // writes before these reads in terms ThreadSanitizer can see
            // (Qt's own queue lock is invisible to it).
            std::lock_guard guard(FChannel->lock);
        }
        if (e->type() != TMessageEvent::EventType())
            return QObject::event(e);
        auto* m = static_cast<TMessageEvent*>(e);
        if (!m->send) {
            m->drop = nullptr;
            FChannel->Call(m->msg, m->wParam, m->lParam);
            return true;
        }
        {
            std::lock_guard guard(m->send->lock);
            if (m->send->phase != TSendState::Waiting)
                return true; // the sender gave up
            m->send->phase = TSendState::Running;
        }
        intptr_t result = FChannel->Call(m->msg, m->wParam, m->lParam);
        {
            std::lock_guard guard(m->send->lock);
            m->send->result = result;
            m->send->phase = TSendState::Done;
        }
        m->send->changed.notify_all();
        return true;
    }

private:
    TChannel* FChannel;
};

} // namespace GuiMessageDetail

using namespace GuiMessageDetail;

bool IsGuiThread()
{
    if (QCoreApplication* app = QCoreApplication::instance())
        return QThread::currentThread() == app->thread();
    static const std::thread::id first = std::this_thread::get_id();
    return std::this_thread::get_id() == first;
}

TGuiTarget::TGuiTarget(std::shared_ptr<TChannel> channel) : FChannel(std::move(channel)) {}

bool TGuiTarget::Alive() const
{
    if (!FChannel)
        return false;
    std::lock_guard guard(FChannel->lock);
    return FChannel->alive;
}

bool TGuiTarget::Post(uint32_t msg, uintptr_t wParam, intptr_t lParam) const
{
    return Post(msg, wParam, lParam, nullptr);
}

bool TGuiTarget::Post(uint32_t msg, uintptr_t wParam, intptr_t lParam,
                      void (*drop)(uintptr_t wParam)) const
{
    if (FChannel) {
        // Posting under the lock keeps the object alive until the event is
        // queued.
        std::lock_guard guard(FChannel->lock);
        if (FChannel->alive) {
            QCoreApplication::postEvent(FChannel->object.get(),
                                        new TMessageEvent(msg, wParam, lParam, nullptr, drop));
            return true;
        }
    }
    if (drop)
        drop(wParam);
    return false;
}

std::optional<intptr_t> TGuiTarget::Send(uint32_t msg, uintptr_t wParam, intptr_t lParam,
                                         uint32_t timeoutMs) const
{
    if (!FChannel)
        return std::nullopt;
    if (IsGuiThread()) {
        {
            std::lock_guard guard(FChannel->lock);
            if (!FChannel->alive)
                return std::nullopt;
        }
        return FChannel->Call(msg, wParam, lParam);
    }
    auto state = std::make_shared<TSendState>();
    {
        std::lock_guard guard(FChannel->lock);
        if (!FChannel->alive)
            return std::nullopt;
        FChannel->pending.insert(state);
        QCoreApplication::postEvent(FChannel->object.get(),
                                    new TMessageEvent(msg, wParam, lParam, state));
    }
    std::optional<intptr_t> result;
    {
        std::unique_lock lock(state->lock);
        auto finished = [&] {
            return state->phase == TSendState::Done || state->phase == TSendState::Failed;
        };
        if (timeoutMs == INFINITE)
            state->changed.wait(lock, finished);
        else
            state->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), finished);
        if (state->phase == TSendState::Done)
            result = state->result;
        else if (state->phase == TSendState::Waiting)
            state->phase = TSendState::Abandoned;
    }
    std::lock_guard guard(FChannel->lock);
    FChannel->pending.erase(state);
    return result;
}

TGuiReceiver::TGuiReceiver(TGuiMessageHandler handler)
{
    auto channel = std::make_shared<TChannel>();
    channel->handler = std::move(handler);
    channel->object = std::make_unique<TReceiverObject>(channel.get());
    if (QCoreApplication* app = QCoreApplication::instance())
        if (channel->object->thread() != app->thread())
            channel->object->moveToThread(app->thread());
    FTarget = TGuiTarget(std::move(channel));
}

TGuiReceiver::~TGuiReceiver()
{
    TChannel& ch = *FTarget.FChannel;
    std::unique_ptr<TReceiverObject> object;
    {
        std::lock_guard guard(ch.lock);
        ch.alive = false;
        object = std::move(ch.object);
        for (const auto& s : ch.pending) {
            {
                std::lock_guard g(s->lock);
                if (s->phase == TSendState::Waiting)
                    s->phase = TSendState::Failed;
            }
            s->changed.notify_all();
        }
    }
    // Deleting the object (here, outside the lock) drops the events still
    // queued for it.
}

namespace {

constexpr uint32_t kRunCallMsg = 1;

void DropCall(uintptr_t wParam)
{
    std::unique_ptr<std::function<void()>>(reinterpret_cast<std::function<void()>*>(wParam));
}

} // namespace

TGuiCallQueue::TGuiCallQueue()
    : FReceiver([](uint32_t msg, uintptr_t wParam, intptr_t) -> intptr_t {
          if (msg != kRunCallMsg)
              return 0;
          std::unique_ptr<std::function<void()>> f(
              reinterpret_cast<std::function<void()>*>(wParam));
          (*f)();
          return 0;
      })
{
}

bool TGuiCallQueue::Post(const TGuiTarget& queue, std::function<void()> f)
{
    auto owned = std::make_unique<std::function<void()>>(std::move(f));
    return queue.Post(kRunCallMsg, reinterpret_cast<uintptr_t>(owned.release()), 0, DropCall);
}
