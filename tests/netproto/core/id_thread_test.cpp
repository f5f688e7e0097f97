#include "netproto/core/id_thread.h"
#include "support/test_host.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <system_error>
#include <thread>

namespace {

using namespace std::chrono_literals;

struct CountingThread : TIdThread {
    std::atomic<int> runs{0};
    std::atomic<int> stoppedEvents{0};
    std::atomic<bool> throwInRun{false};
    std::atomic<bool>* destroyed = nullptr;
    CountingThread()
    {
        OnStopped = [this](TIdThread*) { ++stoppedEvents; };
    }
    ~CountingThread() override
    {
        if (destroyed)
            *destroyed = true;
    }
    void Run() override
    {
        ++runs;
        if (throwInRun)
            throw EIdException("run failed");
        std::this_thread::sleep_for(1ms);
    }
};

TIdThreadPtr MakeCounting()
{
    return TIdThreadPtr(new CountingThread);
} // NOLINT

} // namespace

// A thread the system cannot make: the error reaches the caller, and the
// object can be waited for and freed at once, and started again later.
TEST(IdThread, AThreadTheSystemCannotMakeRaisesAndIsNotWaitedFor)
{
    const int before = TIdThread::ThreadCount();
    {
        auto t = TIdThreadPtr(new CountingThread);
        FailNextSystemThreads(1);
        EXPECT_THROW(t->Start(), std::system_error);
        EXPECT_TRUE(t->Stopped());
        t->TerminateAndWaitFor();
        EXPECT_EQ(static_cast<CountingThread*>(t.get())->runs.load(), 0);
    }
    EXPECT_EQ(TIdThread::ThreadCount(), before);
    auto t = TIdThreadPtr(new CountingThread);
    FailNextSystemThreads(1);
    EXPECT_THROW(t->Start(), std::system_error);
    t->Start();
    EXPECT_TRUE(PumpUntil([&] { return static_cast<CountingThread*>(t.get())->runs > 0; }));
}

TEST(IdThread, StartRunsAndTerminateEnds)
{
    auto t = MakeCounting();
    auto* c = static_cast<CountingThread*>(t.get());
    EXPECT_TRUE(t->Stopped()); // created suspended
    t->Start();
    ASSERT_TRUE(PumpUntil([&] { return c->runs > 2; }));
    t->TerminateAndWaitFor();
    EXPECT_TRUE(t->Finished());
    // Start on a terminated thread leaves it stopped.
    t->Start();
    EXPECT_TRUE(t->Stopped());
}

TEST(IdThread, StopModeOneSuspendsAndStartResumes)
{
    auto t = MakeCounting();
    auto* c = static_cast<CountingThread*>(t.get());
    t->StopMode = 1;
    t->Start();
    ASSERT_TRUE(PumpUntil([&] { return c->runs > 0; }));
    t->Stop();
    ASSERT_TRUE(PumpUntil([&] { return c->stoppedEvents > 0; }));
    EXPECT_FALSE(t->Terminated());
    std::this_thread::sleep_for(20ms);
    const int frozen = c->runs;
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(c->runs, frozen);
    t->Start();
    ASSERT_TRUE(PumpUntil([&] { return c->runs > frozen; }));
    t.reset(); // the deleter terminates and waits
}

TEST(IdThread, ExceptionInRunEndsThreadAfterDoException)
{
    auto t = MakeCounting();
    auto* c = static_cast<CountingThread*>(t.get());
    std::atomic<int> seen{0};
    t->OnException = [&](TIdThread*, const std::exception& e) {
        if (std::string(e.what()) == "run failed")
            ++seen;
    };
    c->throwInRun = true;
    t->Start();
    t->WaitFor();
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(c->runs, 1); // it does not restart
    EXPECT_EQ(t->TerminatingExceptionMessage, "run failed");
    EXPECT_TRUE(t->Terminated());
}

TEST(IdThread, AThrowingExceptionHandlerEndsOnlyItsThread)
{
    auto t = MakeCounting();
    auto* c = static_cast<CountingThread*>(t.get());
    t->OnException = [](TIdThread*, const std::exception&) {
        throw std::runtime_error("handler failed");
    };
    c->throwInRun = true;
    t->Start();
    t->WaitFor();
    EXPECT_TRUE(t->Finished());
    EXPECT_TRUE(t->Terminated());
    EXPECT_EQ(t->TerminatingExceptionMessage, "run failed");
}

TEST(IdThread, ManagerWithoutClassRaises)
{
    TIdThreadMgrDefault mgr;
    try {
        mgr.GetThread();
        ADD_FAILURE();
    } catch (const EIdThreadClassNotSpecified& e) {
        EXPECT_STREQ(e.what(), "Thread Class Not Specified.");
    }
}

TEST(IdThread, ReleaseFromOwnThreadFreesItselfAtEnd)
{
    std::atomic<bool> destroyed{false};
    TIdThreadMgrDefault mgr;
    std::atomic<bool> released{false};
    struct SelfReleasing : TIdThread {
        TIdThreadMgr* mgr = nullptr;
        std::atomic<bool>* released = nullptr;
        std::atomic<bool>* destroyed = nullptr;
        ~SelfReleasing() override { *destroyed = true; }
        void Run() override
        {
            mgr->ReleaseThread(this); // returns at once
            *released = true;
        }
    };
    mgr.ThreadClass = [&] {
        auto* raw = new SelfReleasing; // NOLINT: handed to the deleter at once
        TIdThreadPtr p(raw);
        raw->mgr = &mgr;
        raw->released = &released;
        raw->destroyed = &destroyed;
        return p;
    };
    const int before = TIdThread::ThreadCount();
    TIdThread* t = mgr.GetThread();
    EXPECT_EQ(mgr.ActiveThreads.Count(), 1);
    EXPECT_FALSE(ListCountBelow(&mgr.ActiveThreads, 1));
    EXPECT_TRUE(ListCountBelow(&mgr.ActiveThreads, 2));
    EXPECT_TRUE(ListCountBelow(nullptr, 0));
    t->Start();
    ASSERT_TRUE(PumpUntil([&] { return destroyed.load(); }));
    EXPECT_TRUE(released);
    EXPECT_EQ(mgr.ActiveThreads.Count(), 0);
    ASSERT_TRUE(PumpUntil([&] { return TIdThread::ThreadCount() == before; }));
}

TEST(IdThread, ReleaseFromAnotherThreadWaitsAndFrees)
{
    std::atomic<bool> destroyed{false};
    TIdThreadMgrDefault mgr;
    mgr.ThreadClass = [&] {
        auto p = MakeCounting();
        static_cast<CountingThread*>(p.get())->destroyed = &destroyed;
        return p;
    };
    TIdThread* running = mgr.GetThread();
    TIdThread* suspended = mgr.GetThread();
    running->Start();
    mgr.ReleaseThread(running);
    EXPECT_TRUE(destroyed);
    destroyed = false;
    mgr.ReleaseThread(suspended); // never started: freed without running
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(mgr.ActiveThreads.Count(), 0);
    mgr.ReleaseThread(suspended); // no longer in the list: left alone
}

TEST(IdThread, TerminateAndWaitForOnSelfFreeingThreadRaises)
{
    struct Waiting : TIdThread {
        std::atomic<bool>* go = nullptr;
        std::atomic<bool>* raised = nullptr;
        std::atomic<bool>* destroyed = nullptr;
        ~Waiting() override { *destroyed = true; }
        void Run() override
        {
            while (!*go)
                std::this_thread::sleep_for(1ms);
            try {
                TerminateAndWaitFor();
            } catch (const EIdThreadTerminateAndWaitFor& e) {
                *raised = std::string(e.what()) ==
                          "Cannot call TerminateAndWaitFor on FreeAndTerminate threads";
            }
            Terminate();
        }
    };
    std::atomic<bool> go{false}, raised{false}, destroyed{false};
    auto* raw = new Waiting; // NOLINT: handed to the deleter at once
    TIdThreadPtr p(raw);
    raw->go = &go;
    raw->raised = &raised;
    raw->destroyed = &destroyed;
    p->Start();
    TIdThread::FreeOnTermination(std::move(p));
    go = true;
    ASSERT_TRUE(PumpUntil([&] { return destroyed.load(); }));
    EXPECT_TRUE(raised);
}

TEST(IdThread, WaitForAllThreadsIsBounded)
{
    auto t = MakeCounting();
    t->Start();
    EXPECT_FALSE(TIdThread::WaitForAllThreads(10, 30));
    t.reset();
    EXPECT_TRUE(TIdThread::WaitForAllThreads(10, 30));
}
