#include "platform/clock.h"
#include "platform/thread.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

struct TickOriginGuard {
    ~TickOriginGuard() { Clock::ResetTickOrigin(); }
};

TEST(Clock, ElapsedTimeAcrossTheWrap)
{
    TickOriginGuard guard;
    Clock::SetTickOrigin(0xFFFFFFFFu - 20);
    uint32_t start = Clock::TickCount();
    EXPECT_GE(start, 0xFFFFFFFFu - 25);
    EXPECT_FALSE(Clock::TickElapsed(start, Clock::TickCount(), 60));
    SleepMs(60);
    uint32_t now = Clock::TickCount();
    EXPECT_LT(now, start) << "the counter must have wrapped";
    EXPECT_TRUE(Clock::TickElapsed(start, now, 60));
    EXPECT_GE(static_cast<uint32_t>(now - start), 60u);
    EXPECT_LT(static_cast<uint32_t>(now - start), 5000u);
}

TEST(Clock, ElapsedComparisonIsUnsigned)
{
    EXPECT_TRUE(Clock::TickElapsed(0xFFFFFF00u, 0x00000010u, 0x110));
    EXPECT_FALSE(Clock::TickElapsed(0xFFFFFF00u, 0x00000010u, 0x111));
    EXPECT_FALSE(Clock::TickElapsed(100, 100, 1));
}

TEST(Thread, SuspendedUntilResumedAndTerminatedOnRequest)
{
    std::atomic<int> loops{0};
    TEvent started;
    TThread t([&](TThread& self) {
        started.SetEvent();
        while (!self.Terminated()) {
            ++loops;
            SleepMs(1);
        }
    });
    EXPECT_FALSE(started.WaitFor(30));
    EXPECT_EQ(loops, 0);
    t.Resume();
    EXPECT_TRUE(started.WaitFor(5000));
    EXPECT_FALSE(t.WaitFor(20)) << "bounded wait on a running thread";
    t.Terminate();
    EXPECT_TRUE(t.WaitFor(5000));
    EXPECT_TRUE(t.Finished());
}

TEST(Thread, DestructorStopsAndJoinsAndCountsLiveThreads)
{
    int before = TThread::LiveCount();
    {
        TThread t([](TThread& self) {
            while (!self.Terminated())
                SleepMs(1);
        });
        t.Resume();
        EXPECT_EQ(TThread::LiveCount(), before + 1);
    }
    EXPECT_TRUE(TThread::WaitForAll(5000));
    EXPECT_EQ(TThread::LiveCount(), 0);
    TThread never([](TThread&) {});
    EXPECT_TRUE(never.WaitFor(0));
}

TEST(Thread, ExceptionInBodyIsKept)
{
    TThread t([](TThread&) { throw std::runtime_error("boom"); });
    t.Resume();
    EXPECT_TRUE(t.WaitFor(5000));
    EXPECT_EQ(t.FatalError(), "boom");
}

TEST(Event, AutoResetReleasesOneWaiterManualResetAll)
{
    TEvent autoEvent(false, false);
    autoEvent.SetEvent();
    EXPECT_TRUE(autoEvent.WaitFor(0));
    EXPECT_FALSE(autoEvent.WaitFor(10));
    TEvent manual(true, false);
    manual.SetEvent();
    EXPECT_TRUE(manual.WaitFor(0));
    EXPECT_TRUE(manual.WaitFor(0));
    manual.ResetEvent();
    EXPECT_FALSE(manual.WaitFor(10));
}

TEST(CriticalSection, IsReentrant)
{
    TCriticalSection cs;
    cs.Enter();
    EXPECT_TRUE(cs.TryEnter());
    cs.Leave();
    cs.Leave();
    std::lock_guard guard(cs);
}

} // namespace
