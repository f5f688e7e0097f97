#include "platform/thread.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <system_error>

namespace {

std::atomic<int> gFailThreads{0};
std::mutex gLiveLock;
std::condition_variable gLiveChanged;
int gLive = 0;

template <typename Pred>
bool WaitWithBound(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
                   uint32_t timeoutMs, Pred pred)
{
    if (timeoutMs == INFINITE) {
        cv.wait(lock, pred);
        return true;
    }
    return cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), pred);
}

} // namespace

TThread::TThread() = default;

TThread::TThread(std::function<void(TThread&)> body) : FBody(std::move(body)) {}

TThread::~TThread()
{
    if (FStarted && IsCurrent() && !FFinished) {
        // The body would go on running on freed members.
        std::fputs("TThread destroyed by its own running body\n", stderr);
        std::abort();
    }
    TerminateAndWait();
}

void TThread::Execute()
{
    if (FBody)
        FBody(*this);
}

void TThread::Resume()
{
    std::lock_guard guard(FLock);
    if (FStarted)
        return;
    {
        std::lock_guard live(gLiveLock);
        ++gLive;
    }
    FStarted = true;
    try {
        FThread = NewSystemThread([this] { Run(); });
    } catch (...) {
        // No thread: a waiter must not wait for a body that never runs.
        FStarted = false;
        {
            std::lock_guard live(gLiveLock);
            --gLive;
        }
        gLiveChanged.notify_all();
        throw;
    }
    FThreadId = FThread.get_id();
}

void TThread::Run()
{
    {
        // Resume() sets the id after the thread starts; wait for it so that
        // IsCurrent() holds inside the body.
        std::lock_guard guard(FLock);
    }
    try {
        Execute();
    } catch (const std::exception& e) {
        std::lock_guard guard(FLock);
        FFatalError = e.what();
    } catch (...) {
        std::lock_guard guard(FLock);
        FFatalError = "unknown exception";
    }
    {
        std::lock_guard guard(FLock);
        FFinished = true;
    }
    FDone.notify_all();
    {
        std::lock_guard live(gLiveLock);
        --gLive;
    }
    gLiveChanged.notify_all();
}

bool TThread::WaitFor(uint32_t timeoutMs)
{
    std::unique_lock lock(FLock);
    if (!FStarted)
        return true;
    if (IsCurrent())
        return FFinished; // a thread cannot wait for its own end
    if (!WaitWithBound(FDone, lock, timeoutMs, [this] { return FFinished.load(); }))
        return false;
    lock.unlock();
    // Only one caller joins; the others just saw the body end.
    std::lock_guard guard(FLock);
    if (FThread.joinable() && !IsCurrent())
        FThread.join();
    return true;
}

void TThread::TerminateAndWait()
{
    Terminate();
    if (!FStarted)
        return;
    if (IsCurrent())
        return;
    WaitFor(INFINITE);
}

std::string TThread::FatalError() const
{
    std::lock_guard guard(FLock);
    return FFatalError;
}

int TThread::LiveCount()
{
    std::lock_guard live(gLiveLock);
    return gLive;
}

bool TThread::WaitForAll(uint32_t timeoutMs)
{
    std::unique_lock live(gLiveLock);
    return WaitWithBound(gLiveChanged, live, timeoutMs, [] { return gLive == 0; });
}

TEvent::TEvent(bool manualReset, bool initialState)
    : FManualReset(manualReset), FSignalled(initialState)
{
}

void TEvent::SetEvent()
{
    {
        std::lock_guard guard(FLock);
        FSignalled = true;
    }
    if (FManualReset)
        FCond.notify_all();
    else
        FCond.notify_one();
}

void TEvent::ResetEvent()
{
    std::lock_guard guard(FLock);
    FSignalled = false;
}

bool TEvent::WaitFor(uint32_t timeoutMs)
{
    std::unique_lock lock(FLock);
    if (!WaitWithBound(FCond, lock, timeoutMs, [this] { return FSignalled; }))
        return false;
    if (!FManualReset)
        FSignalled = false;
    return true;
}

std::thread NewSystemThread(std::function<void()> body)
{
    int left = gFailThreads.load();
    while (left > 0 && !gFailThreads.compare_exchange_weak(left, left - 1)) {
    }
    if (left > 0)
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again),
                                "cannot create a thread");
    return std::thread(std::move(body));
}

void FailNextSystemThreads(int count)
{
    gFailThreads = count;
}

void SleepMs(uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
