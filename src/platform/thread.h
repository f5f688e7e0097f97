#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// Threads and synchronisation standing in for the Windows kernel objects.
// Waits take milliseconds; INFINITE waits without bound.
inline constexpr uint32_t INFINITE = 0xFFFFFFFFu;

enum class TThreadPriority {
    tpIdle,
    tpLowest,
    tpLower,
    tpNormal,
    tpHigher,
    tpHighest,
    tpTimeCritical
};

// A thread that is created suspended and starts on Resume(). The body is
// either the function given to the constructor or an override of Execute().
// Terminate() only sets a flag the body polls (Terminated()).
//
// A class deriving from TThread must stop the thread in its own destructor
// (TerminateAndWait()), since Execute() may use its members. The base
// destructor asks the thread to end and joins it as the last safeguard: no
// thread object ever leaves a detached thread behind.
class TThread {
public:
    TThread();
    explicit TThread(std::function<void(TThread&)> body);
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    // Starts a suspended thread; nothing once started.
    void Resume();
    void Start() { Resume(); }
    bool Started() const { return FStarted; }
    bool Finished() const { return FFinished; }

    void Terminate() { FTerminated = true; }
    bool Terminated() const { return FTerminated; }

    // Waits until the body has returned: true when it has, false when the
    // time ran out. A thread never started counts as finished.
    bool WaitFor(uint32_t timeoutMs = INFINITE);
    // Terminate() and wait without bound for a started thread. A thread never
    // resumed is not started. Called from the thread's own body it only sets
    // the flag.
    void TerminateAndWait();

    // The system's id of the running thread (default id before Resume()).
    std::thread::id ThreadId() const { return FThreadId; }
    bool IsCurrent() const { return std::this_thread::get_id() == FThreadId; }

    // Kept for callers that set and read it; Linux gives ordinary threads
    // no priorities to change without privileges.
    void SetPriority(TThreadPriority priority) { FPriority = priority; }
    TThreadPriority Priority() const { return FPriority; }

    // Whatever escaped the body, as text (empty when nothing did).
    std::string FatalError() const;

    // Threads of this class that have started and not yet ended, process wide.
    static int LiveCount();
    // Waits until LiveCount() is 0; false when the time ran out.
    static bool WaitForAll(uint32_t timeoutMs);

protected:
    virtual void Execute();

private:
    void Run();

    std::function<void(TThread&)> FBody;
    std::thread FThread;
    std::atomic<std::thread::id> FThreadId{};
    std::atomic<bool> FStarted{false};
    std::atomic<bool> FFinished{false};
    std::atomic<bool> FTerminated{false};
    std::atomic<TThreadPriority> FPriority{TThreadPriority::tpNormal};
    mutable std::mutex FLock;
    std::condition_variable FDone;
    std::string FFatalError;
};

// A Windows event: manual reset stays signalled until reset; auto reset
// releases one waiter and resets itself.
class TEvent {
public:
    explicit TEvent(bool manualReset = true, bool initialState = false);
    void SetEvent();
    void ResetEvent();
    // True when signalled within the time.
    bool WaitFor(uint32_t timeoutMs = INFINITE);

private:
    std::mutex FLock;
    std::condition_variable FCond;
    bool FManualReset;
    bool FSignalled;
};

// A critical section: the owning thread may enter again.
class TCriticalSection {
public:
    void Enter() { FLock.lock(); }
    void Leave() { FLock.unlock(); }
    bool TryEnter() { return FLock.try_lock(); }
    // For std::lock_guard / std::unique_lock.
    void lock() { Enter(); }
    void unlock() { Leave(); }
    bool try_lock() { return TryEnter(); }

private:
    std::recursive_mutex FLock;
};

// The calling thread sleeps (Windows Sleep).
void SleepMs(uint32_t ms);

// Makes a system thread running `body`. Raises std::system_error, as
// std::thread does, when the system makes none; every thread class makes its
// threads here.
std::thread NewSystemThread(std::function<void()> body);
// Tests: the next `count` calls of NewSystemThread fail as they would on a
// system out of threads.
void FailNextSystemThreads(int count);
