#include "netproto/core/id_thread.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cxxabi.h>
#include <map>
#include <typeinfo>

namespace {

std::mutex GThreadCountLock;
int GThreadCount = 0;
// The class of each started thread, for the exit log.
std::map<const TIdThread*, std::string> GThreadNames;

std::string Demangle(const char* name)
{
    int status = 0;
    char* out = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    std::string result = status == 0 && out ? out : name;
    std::free(out);
    return result;
}

// The program's end waits for the connection threads, looking every 5 s,
// but never for ever: a thread stuck in a system call must not hang the exit.
struct ThreadExitWait {
    ~ThreadExitWait() { TIdThread::WaitForAllThreads(5000, 30000); }
} GThreadExitWait;

} // namespace

// ---- TIdThreadDeleter / TIdBaseThread ---------------------------------------

void TIdThreadDeleter::operator()(TIdBaseThread* thread) const
{
    if (!thread)
        return;
    thread->FinishBeforeDestroy();
    delete thread;
}

TIdBaseThread::TIdBaseThread(bool createSuspended) : FSuspended(true)
{
    (void)createSuspended; // the system thread starts on the first Resume either way
}

TIdBaseThread::~TIdBaseThread()
{
    // The deleter joined already; a plain delete of a running thread would
    // otherwise leave a thread running on freed memory.
    if (FThread.joinable()) {
        if (std::this_thread::get_id() == FThread.get_id())
            FThread.detach();
        else
            FThread.join();
    }
}

void TIdBaseThread::FinishBeforeDestroy()
{
    if (IsCurrentThread()) {
        // Freeing itself at the end of Execute: nothing left to wait for.
        std::lock_guard<std::mutex> lock(FMutex);
        if (FThread.joinable())
            FThread.detach();
        return;
    }
    bool started;
    {
        std::lock_guard<std::mutex> lock(FMutex);
        started = FStarted;
    }
    if (!started)
        return;
    Terminate();
    Resume();
    WaitFor();
}

void TIdBaseThread::Resume()
{
    std::lock_guard<std::mutex> lock(FMutex);
    if (!FStarted) {
        // Marked running before the system thread exists: its first look at
        // the flags must not find it suspended. The system error goes to the
        // caller, and the object stays a thread that never ran: nothing waits
        // for it, and it can be freed.
        FSuspended = false;
        try {
            FThread = NewSystemThread([this] { ThreadProc(); });
        } catch (...) {
            FSuspended = true;
            throw;
        }
        FStarted = true;
        FThreadId = FThread.get_id();
        return;
    }
    FSuspended = false;
    FCond.notify_all();
}

void TIdBaseThread::Suspend()
{
    std::unique_lock<std::mutex> lock(FMutex);
    FSuspended = true;
    FCond.wait(lock, [this] { return !FSuspended; });
}

bool TIdBaseThread::Suspended() const
{
    return FSuspended;
}

void TIdBaseThread::Terminate()
{
    std::lock_guard<std::mutex> lock(FMutex);
    FTerminated = true;
}

bool TIdBaseThread::Terminated() const
{
    return FTerminated;
}

bool TIdBaseThread::Started() const
{
    std::lock_guard<std::mutex> lock(FMutex);
    return FStarted;
}

bool TIdBaseThread::Finished() const
{
    std::lock_guard<std::mutex> lock(FMutex);
    return FFinished;
}

bool TIdBaseThread::FreeOnTerminate() const
{
    std::lock_guard<std::mutex> lock(FMutex);
    return FSelf != nullptr;
}

bool TIdBaseThread::IsCurrentThread() const
{
    std::lock_guard<std::mutex> lock(FMutex);
    return FStarted && std::this_thread::get_id() == FThreadId;
}

void TIdBaseThread::WaitFor()
{
    {
        std::unique_lock<std::mutex> lock(FMutex);
        if (!FStarted)
            return;
        FCond.wait(lock, [this] { return FFinished; });
    }
    std::lock_guard<std::mutex> lock(FMutex);
    if (FThread.joinable() && std::this_thread::get_id() != FThread.get_id())
        FThread.join();
}

void TIdBaseThread::SetSelfOwner(std::unique_ptr<TIdBaseThread, TIdThreadDeleter> self)
{
    std::unique_lock<std::mutex> lock(FMutex);
    if (FFinished || !FStarted) {
        // Already ended (or never ran): free it here and now.
        lock.unlock();
        self.reset();
        return;
    }
    FSelf = std::move(self);
}

void TIdBaseThread::ThreadProc()
{
    // An exception that leaves a thread ends the whole program; here it ends
    // only this thread, which still reports itself finished to its waiters.
    try {
        Execute();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "netproto: thread ended by exception: %s\n", e.what());
    } catch (...) {
        std::fprintf(stderr, "netproto: thread ended by unknown exception\n");
    }
    std::unique_ptr<TIdBaseThread, TIdThreadDeleter> self;
    {
        std::lock_guard<std::mutex> lock(FMutex);
        FFinished = true;
        self = std::move(FSelf);
        FCond.notify_all();
    }
    // Freeing itself: the deleter sees the current thread and detaches.
}

// ---- TIdThread --------------------------------------------------------------

TIdThread::TIdThread(bool createSuspended)
    : TIdBaseThread(createSuspended), FStopped(createSuspended)
{
    std::lock_guard<std::mutex> lock(GThreadCountLock);
    ++GThreadCount;
}

TIdThread::~TIdThread()
{
    Cleanup();
    {
        // A Terminate from another thread may still hold the lock of a
        // thread that ended and frees itself; it must let go first.
        std::lock_guard<std::mutex> lock(FLock);
    }
    std::lock_guard<std::mutex> lock(GThreadCountLock);
    --GThreadCount;
    GThreadNames.erase(this);
}

int TIdThread::ThreadCount()
{
    std::lock_guard<std::mutex> lock(GThreadCountLock);
    return GThreadCount;
}

bool TIdThread::WaitForAllThreads(int intervalMs, int limitMs)
{
    int waited = 0;
    for (;;) {
        int n = 0;
        std::string names;
        {
            std::lock_guard<std::mutex> lock(GThreadCountLock);
            n = GThreadCount;
            for (const auto& [thread, name] : GThreadNames)
                names += " " + name;
        }
        if (n == 0)
            return true;
        if (waited >= limitMs) {
            std::fprintf(stderr, "netproto: gave up after %d ms waiting for %d thread(s):%s\n",
                         waited, n, names.c_str());
            return false;
        }
        std::fprintf(stderr, "netproto: waiting for %d thread(s) to end:%s\n", n, names.c_str());
        const int step = std::min(intervalMs, limitMs - waited);
        std::this_thread::sleep_for(std::chrono::milliseconds(step));
        waited += step;
    }
}

bool TIdThread::StoppedLocked() const
{
    return Terminated() || FStopped || Suspended();
}

bool TIdThread::Stopped() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return StoppedLocked();
}

void TIdThread::Start()
{
    {
        // The object is complete by now, so its dynamic class is the real one.
        std::lock_guard<std::mutex> lock(GThreadCountLock);
        GThreadNames[this] = Demangle(typeid(*this).name());
    }
    std::unique_lock<std::mutex> lock(FLock);
    if (!StoppedLocked())
        return;
    // A terminated thread stays stopped and runs to its end. The run loop
    // reads the flag under this lock, so it sees the new value.
    const bool stopped = Terminated();
    if (Started()) {
        Resume();
        FStopped = stopped;
        FStopCond.notify_all();
        return;
    }
    // The system thread is made outside the lock, which its run loop takes
    // first: it would sleep on it until this call returns. A thread the
    // system cannot make stays stopped.
    const bool was = FStopped;
    FStopped = stopped;
    lock.unlock();
    try {
        Resume();
    } catch (...) {
        lock.lock();
        FStopped = was;
        throw;
    }
}

void TIdThread::WaitWhileStopped()
{
    // Checked and waited under one lock, so a Start between the run loop's
    // look and its wait is never lost.
    std::unique_lock<std::mutex> lock(FLock);
    FStopCond.wait(lock, [this] { return !FStopped || Terminated(); });
}

void TIdThread::Stop()
{
    std::lock_guard<std::mutex> lock(FLock);
    if (!StoppedLocked()) {
        if (StopMode == 0)
            TIdBaseThread::Terminate();
        FStopped = true;
    }
}

void TIdThread::Terminate()
{
    std::lock_guard<std::mutex> lock(FLock);
    FStopped = true;
    TIdBaseThread::Terminate();
    FStopCond.notify_all();
}

void TIdThread::TerminateAndWaitFor()
{
    if (FreeOnTerminate())
        throw EIdThreadTerminateAndWaitFor();
    Terminate();
    // A thread the system never made has nothing to run to its end.
    if (!Started())
        return;
    Start();
    WaitFor();
}

void TIdThread::FreeOnTermination(TIdThreadPtr thread)
{
    TIdThread* t = thread.get();
    if (!t)
        return;
    t->SetSelfOwner(std::unique_ptr<TIdBaseThread, TIdThreadDeleter>(thread.release()));
}

void TIdThread::Cleanup()
{
    Data.reset();
}

void TIdThread::DoException(const std::exception& e)
{
    if (OnException)
        OnException(this, e);
}

void TIdThread::DoStopped()
{
    if (OnStopped)
        OnStopped(this);
}

void TIdThread::Execute()
{
    try {
        BeforeExecute();
        try {
            while (!Terminated()) {
                if (Stopped()) {
                    DoStopped();
                    if (Stopped()) {
                        if (Terminated())
                            break;
                        WaitWhileStopped();
                        if (Terminated())
                            break;
                    }
                }
                BeforeRun();
                try {
                    while (!Stopped()) {
                        try {
                            Run();
                        } catch (...) {
                            Terminate();
                            throw;
                        }
                    }
                } catch (...) {
                    AfterRun();
                    Cleanup();
                    throw;
                }
                AfterRun();
                Cleanup();
            }
        } catch (...) {
            AfterExecute();
            throw;
        }
        AfterExecute();
    } catch (const std::exception& e) {
        TerminatingExceptionMessage = e.what();
        TerminatingExceptionClass = typeid(e).name();
        try {
            DoException(e);
        } catch (...) {
            Terminate();
            throw;
        }
        Terminate();
    } catch (...) {
        TerminatingExceptionMessage = "unknown exception";
        Terminate();
    }
}

// ---- TIdThreadList / managers -------------------------------------------------

void TIdThreadList::Add(TIdThread* thread)
{
    std::lock_guard<std::mutex> lock(FLock);
    FList.push_back(thread);
}

void TIdThreadList::Remove(TIdThread* thread)
{
    std::lock_guard<std::mutex> lock(FLock);
    FList.erase(std::remove(FList.begin(), FList.end(), thread), FList.end());
}

bool TIdThreadList::Contains(TIdThread* thread) const
{
    std::lock_guard<std::mutex> lock(FLock);
    return std::find(FList.begin(), FList.end(), thread) != FList.end();
}

int TIdThreadList::Count() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return static_cast<int>(FList.size());
}

std::vector<TIdThread*> TIdThreadList::Snapshot() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FList;
}

bool ListCountBelow(const TIdThreadList* list, int limit)
{
    return !list || limit > list->Count();
}

TIdThreadMgr::TIdThreadMgr() = default;
TIdThreadMgr::~TIdThreadMgr() = default;

TIdThreadPtr TIdThreadMgr::CreateNewThread()
{
    if (!ThreadClass)
        throw EIdThreadClassNotSpecified();
    TIdThreadPtr t = ThreadClass();
    t->Priority = ThreadPriority;
    return t;
}

TIdThreadMgrDefault::~TIdThreadMgrDefault()
{
    // Threads still handed out end with the manager.
    for (TIdThread* t : ActiveThreads.Snapshot())
        ReleaseThread(t);
}

TIdThread* TIdThreadMgrDefault::GetThread()
{
    TIdThreadPtr t = CreateNewThread();
    TIdThread* raw = t.get();
    {
        std::lock_guard<std::mutex> lock(FOwnedLock);
        FOwned.push_back(std::move(t));
    }
    ActiveThreads.Add(raw);
    return raw;
}

TIdThreadPtr TIdThreadMgrDefault::TakeOwned(TIdThread* thread)
{
    std::lock_guard<std::mutex> lock(FOwnedLock);
    for (auto it = FOwned.begin(); it != FOwned.end(); ++it) {
        if (it->get() == thread) {
            TIdThreadPtr p = std::move(*it);
            FOwned.erase(it);
            return p;
        }
    }
    return nullptr;
}

void TIdThreadMgrDefault::ReleaseThread(TIdThread* thread)
{
    if (!ActiveThreads.Contains(thread))
        return;
    ActiveThreads.Remove(thread);
    TIdThreadPtr owned = TakeOwned(thread);
    if (!owned)
        return;
    if (thread->IsCurrentThread()) {
        // Never wait for oneself: the thread ends and frees itself.
        thread->Terminate();
        TIdThread::FreeOnTermination(std::move(owned));
        return;
    }
    if (!thread->Suspended())
        thread->TerminateAndWaitFor();
    owned.reset();
}
