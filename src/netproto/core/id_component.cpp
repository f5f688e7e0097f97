#include "netproto/core/id_component.h"

#include "netproto/core/id_stack.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <atomic>
#include <memory>
#include <mutex>

namespace {

std::mutex GComponentLock;
int GComponentCount = 0;
std::unique_ptr<TIdStack> GStackOwner;
std::atomic<TIdAntiFreezeBase*> GAntiFreeze{nullptr};

const char* const StatusFormats[] = {"Resolving hostname %s.",
                                     "Connecting to %s.",
                                     "Connected.",
                                     "Disconnecting.",
                                     "Disconnected.",
                                     "%s",
                                     "%s",
                                     "%s",
                                     "%s"};

std::string FillFormat(const char* fmt, const std::string& arg)
{
    std::string out = fmt;
    auto p = out.find("%s");
    if (p != std::string::npos)
        out.replace(p, 2, arg);
    return out;
}

} // namespace

TIdComponent::TIdComponent()
{
    std::lock_guard<std::mutex> lock(GComponentLock);
    if (++GComponentCount == 1) {
        try {
            GStackOwner = CreateStack();
        } catch (...) {
            --GComponentCount;
            throw;
        }
        GStack = GStackOwner.get();
    }
}

TIdComponent::~TIdComponent()
{
    std::lock_guard<std::mutex> lock(GComponentLock);
    if (--GComponentCount == 0) {
        GStack = nullptr;
        GStackOwner.reset();
    }
}

int TIdComponent::ComponentCount()
{
    std::lock_guard<std::mutex> lock(GComponentLock);
    return GComponentCount;
}

void TIdComponent::BeginWork(TWorkMode mode, int32_t size)
{
    WorkInfo& w = FWorkInfos[mode];
    if (++w.Level == 1) {
        w.Max = size;
        w.Count = 0;
        if (OnWorkBegin)
            OnWorkBegin(this, mode, size);
    }
}

void TIdComponent::DoWork(TWorkMode mode, int32_t count)
{
    WorkInfo& w = FWorkInfos[mode];
    if (w.Level > 0) {
        w.Count += count;
        if (OnWork)
            OnWork(this, mode, w.Count);
    }
}

void TIdComponent::EndWork(TWorkMode mode)
{
    WorkInfo& w = FWorkInfos[mode];
    if (w.Level == 1 && OnWorkEnd)
        OnWorkEnd(this, mode);
    // Unbalanced EndWork calls never drive the level below zero.
    if (w.Level > 0)
        --w.Level;
}

void TIdComponent::DoStatus(TIdStatus status, const std::string& arg)
{
    if (OnStatus)
        OnStatus(this, status, FillFormat(StatusFormats[status], arg));
}

std::string TIdComponent::LocalName()
{
    return GStack->HostName();
}

TIdAntiFreezeBase::TIdAntiFreezeBase()
{
    TIdAntiFreezeBase* expected = nullptr;
    if (!GAntiFreeze.compare_exchange_strong(expected, this))
        throw EIdException("Only one TIdAntiFreeze can exist per application.");
}

TIdAntiFreezeBase::~TIdAntiFreezeBase()
{
    TIdAntiFreezeBase* self = this;
    GAntiFreeze.compare_exchange_strong(self, nullptr);
}

TIdAntiFreezeBase* TIdAntiFreezeBase::Instance()
{
    return GAntiFreeze.load();
}

bool TIdAntiFreezeBase::ShouldUse()
{
    TIdAntiFreezeBase* a = GAntiFreeze.load();
    return a && InMainThread() && a->Active;
}

void TIdAntiFreezeBase::DoProcess(bool idle, bool overrideIdle)
{
    if (!ShouldUse())
        return;
    TIdAntiFreezeBase* a = GAntiFreeze.load();
    if (idle || !a->OnlyWhenIdle || overrideIdle)
        a->Process();
}

void TIdAntiFreeze::Process()
{
    // Only ever called on the main thread (ShouldUse checks it).
    if (!QCoreApplication::instance())
        return;
    if (ApplicationHasPriority)
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    else
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
}
