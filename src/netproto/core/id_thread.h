// Threads of the servers: a thread with a stoppable, restartable run loop,
// a process-wide count of live threads, and the manager that hands threads
// out per connection and takes them back.
#pragma once

#include "netproto/core/id_component.h"
#include "netproto/core/id_global.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class EIdThreadMgrError : public EIdException {
public:
    using EIdException::EIdException;
};
class EIdThreadClassNotSpecified : public EIdThreadMgrError {
public:
    EIdThreadClassNotSpecified() : EIdThreadMgrError("Thread Class Not Specified.") {}
};
class EIdThreadException : public EIdException {
public:
    using EIdException::EIdException;
};
class EIdThreadTerminateAndWaitFor : public EIdThreadException {
public:
    EIdThreadTerminateAndWaitFor()
        : EIdThreadException("Cannot call TerminateAndWaitFor on FreeAndTerminate threads")
    {
    }
};

// Frees a thread: terminates it, lets a suspended one run to its end, waits,
// then deletes. A thread freeing itself from its own Execute is detached.
class TIdBaseThread;
struct TIdThreadDeleter {
    void operator()(TIdBaseThread* thread) const;
};

// The framework thread: created suspended (the system thread starts on the
// first Resume, so a derived object is complete before Execute runs), can
// suspend itself, be resumed, terminated and waited for. A first Resume for
// which the system makes no thread raises its error and leaves the object
// unstarted.
class TIdBaseThread {
public:
    explicit TIdBaseThread(bool createSuspended = true);
    virtual ~TIdBaseThread();
    TIdBaseThread(const TIdBaseThread&) = delete;
    TIdBaseThread& operator=(const TIdBaseThread&) = delete;

    void Resume();
    bool Suspended() const;
    virtual void Terminate();
    bool Terminated() const;
    // Waits for Execute to end (never called from the thread itself).
    void WaitFor();
    // Whether the system thread was made (on the first Resume).
    bool Started() const;
    bool Finished() const;
    bool FreeOnTerminate() const;
    bool IsCurrentThread() const;
    // Stored only: a process without privileges cannot raise thread priorities.
    TThreadPriority Priority = TThreadPriority::tpNormal;

protected:
    virtual void Execute() = 0;
    // Called from the thread itself only.
    void Suspend();
    // Called by the deleter before the object goes: ends and joins the thread
    // while every derived member still exists.
    void FinishBeforeDestroy();

    // Hands the object its own ownership; it deletes itself when Execute ends.
    void SetSelfOwner(std::unique_ptr<TIdBaseThread, TIdThreadDeleter> self);

private:
    friend struct TIdThreadDeleter;
    void ThreadProc();
    std::unique_ptr<TIdBaseThread, TIdThreadDeleter> FSelf;

    mutable std::mutex FMutex;
    std::condition_variable FCond;
    std::thread FThread;
    std::thread::id FThreadId;
    bool FStarted = false;
    // Written under the lock, read without it: a thread being made looks at
    // them before the call that makes it has let the lock go.
    std::atomic<bool> FSuspended{true};
    std::atomic<bool> FTerminated{false};
    bool FFinished = false;
    bool FFreeOnTerminate = false;
};

class TIdThread;
using TIdThreadPtr = std::unique_ptr<TIdThread, TIdThreadDeleter>;

class TIdThread : public TIdBaseThread {
public:
    explicit TIdThread(bool createSuspended = true);
    ~TIdThread() override;

    void Start();
    void Stop();
    bool Stopped() const;
    void Terminate() override;
    void TerminateAndWaitFor();
    // Marks the thread to free itself when Execute ends, handing it the
    // ownership; the caller must not touch it afterwards except through
    // Terminate while it still runs.
    static void FreeOnTermination(TIdThreadPtr thread);

    // The thread's data object (the server puts a connection's data here).
    std::unique_ptr<TIdBaseComponent> Data;
    uint8_t StopMode = 0; // 0: Stop terminates; 1: Stop only suspends the run loop
    std::string TerminatingExceptionMessage;
    std::string TerminatingExceptionClass;
    std::function<void(TIdThread* sender, const std::exception& e)> OnException;
    std::function<void(TIdThread* sender)> OnStopped;

    // Live TIdThread objects in the process.
    static int ThreadCount();
    // Waits, looking every intervalMs, until no TIdThread is left or limitMs
    // passed; logs what it still waits for. True when none is left.
    static bool WaitForAllThreads(int intervalMs, int limitMs);

protected:
    void Execute() override;
    virtual void AfterRun() {}
    virtual void AfterExecute() {}
    virtual void BeforeExecute() {}
    virtual void BeforeRun() {}
    virtual void Cleanup();
    virtual void DoException(const std::exception& e);
    virtual void DoStopped();
    virtual void Run() = 0;

private:
    bool StoppedLocked() const;
    // Waits while stopped and not terminated (the run loop's suspension).
    void WaitWhileStopped();
    mutable std::mutex FLock;
    std::condition_variable FStopCond;
    bool FStopped;
};

// A list of threads guarded by its own lock.
class TIdThreadList {
public:
    void Add(TIdThread* thread);
    void Remove(TIdThread* thread);
    bool Contains(TIdThread* thread) const;
    int Count() const;
    std::vector<TIdThread*> Snapshot() const;

private:
    mutable std::mutex FLock;
    std::vector<TIdThread*> FList;
};

class TIdThreadMgr : public TIdBaseComponent {
public:
    TIdThreadMgr();
    ~TIdThreadMgr() override;

    virtual TIdThreadPtr CreateNewThread();
    // The manager hands the thread out and keeps it in ActiveThreads until
    // ReleaseThread frees it.
    virtual TIdThread* GetThread() = 0;
    virtual void ReleaseThread(TIdThread* thread) = 0;
    virtual void TerminateThreads() {}

    TIdThreadList ActiveThreads;
    // Makes a new thread, created suspended.
    std::function<TIdThreadPtr()> ThreadClass;
    TThreadPriority ThreadPriority = TThreadPriority::tpNormal;
};

class TIdThreadMgrDefault : public TIdThreadMgr {
public:
    ~TIdThreadMgrDefault() override;
    TIdThread* GetThread() override;
    void ReleaseThread(TIdThread* thread) override;

private:
    TIdThreadPtr TakeOwned(TIdThread* thread);
    std::mutex FOwnedLock;
    std::vector<TIdThreadPtr> FOwned;
};

bool ListCountBelow(const TIdThreadList* list, int limit);
