// Base of every network component: ties each instance to the global socket
// stack, reports status and the progress of reads and writes. The anti-freeze
// keeps the GUI responsive while a blocking socket call runs on the main thread.
#pragma once

#include "netproto/core/id_global.h"

#include <cstdint>
#include <functional>
#include <string>

enum TIdStatus {
    hsResolving = 0,
    hsConnecting,
    hsConnected,
    hsDisconnecting,
    hsDisconnected,
    hsStatusText,
    ftpTransfer,
    ftpReady,
    ftpAborted
};

enum TWorkMode { wmRead = 0, wmWrite = 1 };

class TIdComponent;
using TIdStatusEvent =
    std::function<void(TIdComponent* sender, TIdStatus status, const std::string& text)>;
using TWorkEvent = std::function<void(TIdComponent* sender, TWorkMode mode, int32_t count)>;
using TWorkBeginEvent = std::function<void(TIdComponent* sender, TWorkMode mode, int32_t countMax)>;
using TWorkEndEvent = std::function<void(TIdComponent* sender, TWorkMode mode)>;

class TIdBaseComponent {
public:
    TIdBaseComponent() = default;
    virtual ~TIdBaseComponent() = default;
    TIdBaseComponent(const TIdBaseComponent&) = delete;
    TIdBaseComponent& operator=(const TIdBaseComponent&) = delete;
};

class TIdComponent : public TIdBaseComponent {
public:
    TIdComponent();
    ~TIdComponent() override;

    virtual void BeginWork(TWorkMode mode, int32_t size = 0);
    virtual void DoWork(TWorkMode mode, int32_t count);
    virtual void EndWork(TWorkMode mode);

    // Fills the status's text format with arg ("%s" formats) and fires OnStatus.
    void DoStatus(TIdStatus status, const std::string& arg = std::string());
    std::string LocalName();

    TIdStatusEvent OnStatus;
    TWorkEvent OnWork;
    TWorkBeginEvent OnWorkBegin;
    TWorkEndEvent OnWorkEnd;

    // Number of live components (the global stack lives while it is above 0).
    static int ComponentCount();

private:
    struct WorkInfo {
        int32_t Count = 0;
        int32_t Max = 0;
        int32_t Level = 0;
    };
    WorkInfo FWorkInfos[2];
};

class TIdAntiFreezeBase : public TIdBaseComponent {
public:
    TIdAntiFreezeBase();
    ~TIdAntiFreezeBase() override;

    virtual void Process() = 0;

    // An anti-freeze exists, the caller is the main thread, and it is active.
    static bool ShouldUse();
    static void DoProcess(bool idle = true, bool overrideIdle = false);
    static TIdAntiFreezeBase* Instance();

    bool Active = true;
    bool ApplicationHasPriority = true;
    int32_t IdleTimeOut = 250;
    bool OnlyWhenIdle = true;
};

class TIdAntiFreeze : public TIdAntiFreezeBase {
public:
    void Process() override;
};
