#include "platform/gui_message.h"
#include "platform/thread.h"
#include "support/test_host.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include <atomic>
#include <map>
#include <thread>
#include <vector>

namespace {

TEST(GuiMessage, PostsAndSendsFromManyThreadsArriveOnceInOrder)
{
    constexpr int kThreads = 6;
    constexpr int kPosts = 2000;
    constexpr int kSends = 200;
    std::map<uintptr_t, std::vector<intptr_t>> seen; // GUI thread only
    int sends = 0;
    bool offGuiThread = false;
    TGuiReceiver receiver([&](uint32_t msg, uintptr_t w, intptr_t l) -> intptr_t {
        offGuiThread |= !IsGuiThread();
        if (msg == 1)
            seen[w].push_back(l);
        if (msg == 2)
            ++sends;
        return l * 2;
    });
    std::atomic<int> sendFailures{0};
    std::vector<std::unique_ptr<TThread>> threads;
    for (int t = 0; t < kThreads; ++t) {
        TGuiTarget target = receiver.Target();
        threads.push_back(std::make_unique<TThread>([=, &sendFailures](TThread&) {
            for (int i = 0; i < kPosts; ++i) {
                target.Post(1, static_cast<uintptr_t>(t), i);
                if (i % (kPosts / kSends) == 0) {
                    auto r = target.Send(2, 0, i, 10000);
                    if (!r || *r != i * 2)
                        ++sendFailures;
                }
            }
        }));
    }
    for (auto& t : threads)
        t->Resume();
    size_t expected = static_cast<size_t>(kThreads) * kPosts;
    auto total = [&] {
        size_t n = 0;
        for (auto& [k, v] : seen)
            n += v.size();
        return n;
    };
    ASSERT_TRUE(PumpUntil([&] { return total() >= expected && sends == kThreads * kSends; }));
    for (auto& t : threads)
        ASSERT_TRUE(t->WaitFor(5000));
    QCoreApplication::processEvents();
    EXPECT_EQ(total(), expected) << "no message duplicated";
    EXPECT_EQ(sendFailures, 0);
    EXPECT_FALSE(offGuiThread);
    for (auto& [k, v] : seen)
        for (size_t i = 0; i < v.size(); ++i)
            ASSERT_EQ(v[i], static_cast<intptr_t>(i)) << "thread " << k;
}

TEST(GuiMessage, SendTimeOutIsHonouredAndLateMessageDropped)
{
    int handled = 0;
    TGuiReceiver receiver([&](uint32_t, uintptr_t, intptr_t) -> intptr_t { return ++handled; });
    std::optional<intptr_t> result{-1};
    int64_t waited = 0;
    // The GUI thread does not pump, so the send must give up by itself.
    TThread sender([&](TThread&) {
        QElapsedTimer t;
        t.start();
        result = receiver.Send(7, 0, 0, 100);
        waited = t.elapsed();
    });
    sender.Resume();
    ASSERT_TRUE(sender.WaitFor(5000));
    EXPECT_FALSE(result.has_value());
    EXPECT_GE(waited, 100);
    EXPECT_LT(waited, 3000);
    QCoreApplication::processEvents();
    EXPECT_EQ(handled, 0) << "a timed-out message never runs late";
}

TEST(GuiMessage, SendOnGuiThreadCallsDirectly)
{
    TGuiReceiver receiver([](uint32_t m, uintptr_t w, intptr_t l) -> intptr_t {
        return static_cast<intptr_t>(m + w) + l;
    });
    EXPECT_EQ(receiver.Send(1, 2, 3, 0), 6);
}

TEST(GuiMessage, ReceiverDestroyedWhileSendersWaitFailsThem)
{
    auto receiver =
        std::make_unique<TGuiReceiver>([](uint32_t, uintptr_t, intptr_t) -> intptr_t { return 1; });
    TGuiTarget target = receiver->Target();
    std::atomic<int> failed{0};
    std::atomic<int> waiting{0};
    std::vector<std::unique_ptr<TThread>> senders;
    for (int i = 0; i < 4; ++i) {
        senders.push_back(std::make_unique<TThread>([&, target](TThread&) {
            ++waiting;
            if (!target.Send(1, 0, 0, INFINITE))
                ++failed;
        }));
        senders.back()->Resume();
    }
    while (waiting < 4)
        SleepMs(1);
    SleepMs(30); // let them reach the wait
    receiver.reset();
    for (auto& s : senders)
        ASSERT_TRUE(s->WaitFor(5000)) << "a sender hung on a destroyed receiver";
    EXPECT_EQ(failed, 4);
    EXPECT_FALSE(target.Alive());
    EXPECT_FALSE(target.Post(1));
    EXPECT_FALSE(target.Send(1, 0, 0, 10).has_value());
    QCoreApplication::processEvents();
}

TEST(GuiMessage, APayloadNoHandlerGetsIsDropped)
{
    static int dropped;
    dropped = 0;
    const auto drop = [](uintptr_t w) { dropped += static_cast<int>(w); };
    int handled = 0;
    {
        TGuiReceiver receiver([&](uint32_t, uintptr_t w, intptr_t) -> intptr_t {
            handled += static_cast<int>(w);
            return 0;
        });
        EXPECT_TRUE(receiver.Target().Post(1, 10, 0, drop));
        EXPECT_TRUE(PumpUntil([&] { return handled == 10; }));
        // Still queued when the receiver goes: its payload is dropped.
        EXPECT_TRUE(receiver.Target().Post(1, 100, 0, drop));
        EXPECT_EQ(dropped, 0);
    }
    EXPECT_EQ(dropped, 100);
    EXPECT_FALSE(TGuiTarget().Post(1, 1000, 0, drop));
    EXPECT_EQ(dropped, 1100);
    QCoreApplication::processEvents();
    EXPECT_EQ(handled, 10);
}

TEST(GuiMessage, ExceptionInHandlerIsDropped)
{
    TGuiReceiver receiver(
        [](uint32_t, uintptr_t, intptr_t) -> intptr_t { throw std::runtime_error("x"); });
    EXPECT_EQ(receiver.Send(1, 0, 0, 0), 0);
    receiver.Post(1);
    QCoreApplication::processEvents();
}

} // namespace

TEST(GuiCallQueue, CallsFromAWorkerRunInOrderAndDroppedOnesAreFreed)
{
    auto queue = std::make_unique<TGuiCallQueue>();
    // Plain data written by the worker and read by the calls: a sanitized
    // run checks that the hand-over orders them.
    std::vector<int> written(100);
    std::vector<int> ran;
    TThread worker([&, target = queue->Target()](TThread&) {
        for (int i = 0; i < 100; ++i) {
            written[i] = i;
            TGuiCallQueue::Post(target, [&, i] { ran.push_back(written[i]); });
        }
    });
    worker.Resume();
    worker.WaitFor();
    ASSERT_TRUE(PumpUntil([&] { return ran.size() == 100; }));
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(ran[i], i);

    auto held = std::make_shared<int>(0);
    EXPECT_TRUE(queue->Post([held] { FAIL() << "ran after its queue went"; }));
    const TGuiTarget target = queue->Target();
    queue.reset();
    EXPECT_FALSE(TGuiCallQueue::Post(target, [held] { FAIL(); }));
    QCoreApplication::processEvents();
    EXPECT_EQ(held.use_count(), 1);
}
