#pragma once

#include "platform/thread.h"
#include "serial/ring_buffer.h"
#include "serial/serial_device.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Trigger messages handed to registered trigger procedures.
inline constexpr uint32_t apw_TriggerAvail = 0x7E01;
inline constexpr uint32_t apw_TriggerData = 0x7E02;
inline constexpr uint32_t apw_TriggerTimer = 0x7E03;
inline constexpr uint32_t apw_TriggerStatus = 0x7E04;
// Once, when the device fails or goes away (DeviceError() says which): a
// handler waiting for data or a timer learns of it at once.
inline constexpr uint32_t apw_TriggerDeviceLost = 0x7E05;

// Status trigger types.
inline constexpr int stNotActive = 0;
inline constexpr int stOutBuffFree = 3; // fires when at least Value bytes are free
inline constexpr int stOutBuffUsed = 4; // fires when at most Value bytes are used

// Hardware flow options.
inline constexpr uint32_t hfUseDTR = 0x01;
inline constexpr uint32_t hfUseRTS = 0x02;
inline constexpr uint32_t hfRequireDSR = 0x04;
inline constexpr uint32_t hfRequireCTS = 0x08;
// Software flow options.
inline constexpr uint32_t sfTransmitFlow = 0x01; // obey XOFF/XON from the peer
inline constexpr uint32_t sfReceiveFlow = 0x02;  // send XOFF/XON as the input buffer fills

// A trigger procedure: (Msg, wParam = trigger handle or byte count,
// lParam = port handle << 16). Called in the dispatch thread.
using TApdNotifyProc = void (*)(uint32_t Msg, uint32_t wParam, int32_t lParam);

// The triggers of a port, kept across a reopen.
struct TTriggerSet {
    struct Trigger {
        int Handle = 0;
        bool IsTimer = true;
        bool Active = false;
        int32_t Ticks = 0;    // timer
        uint32_t StartMs = 0; // timer
        int StatusType = 0;   // status
        uint32_t Value = 0;   // status
    };
    uint32_t LengthTrigger = 1;
    std::vector<Trigger> Triggers;
    std::vector<TApdNotifyProc> Handlers;
};

// The working part of an open port: the device, its input and output
// buffers, the triggers, and three threads started in this order:
// - event: moves received bytes from the device into the input buffer;
// - dispatch: fires triggers and data events;
// - output: writes the output buffer to the device.
// Every call locks for itself; results are 0 or byte counts, or negative
// library error codes.
class TApdBaseDispatcher {
public:
    static constexpr int kMaxTriggers = 50;

    TApdBaseDispatcher();
    ~TApdBaseDispatcher();
    TApdBaseDispatcher(const TApdBaseDispatcher&) = delete;
    TApdBaseDispatcher& operator=(const TApdBaseDispatcher&) = delete;

    // Opens the device with buffers of the given sizes and enters the port
    // list. No threads yet.
    int OpenCom(const std::string& path, std::size_t inSize, std::size_t outSize);
    // Starts the event, dispatch and output threads.
    void StartDispatcher();
    // Refuses further output, waits (bounded) until buffered and queued
    // output has gone to the device, stops the event and output threads and
    // closes the device; undrained output is discarded. The dispatch thread
    // keeps running until StopDispatch (it may be waiting for the GUI).
    void CloseCom(uint32_t drainTimeoutMs);
    // Ends the dispatch thread; the dispatcher leaves the port list.
    void StopDispatch();
    // Drain time worth the buffered output at the line's rate, bounded.
    uint32_t DefaultDrainTimeout() const;

    // Position in the port list (the high word of trigger lParams).
    int Handle() const { return Handle_; }
    static TApdBaseDispatcher* PortListEntry(int handle);

    // Called in the dispatch thread for every data event; false when it was
    // not delivered (the event is then offered again).
    void SetDataEventSink(std::function<bool(uint32_t count)> sink);

    int SetLine(uint32_t baud, TParity parity, uint8_t dataBits, uint8_t stopBits);
    void GetLine(uint32_t& baud, TParity& parity, uint8_t& dataBits, uint8_t& stopBits) const;
    int ChangeBaud(uint32_t baud);
    int SetCommBuffers(std::size_t inSize, std::size_t outSize);

    bool CharReady();
    int GetChar(uint8_t& ch);
    int PeekChar(uint8_t& ch, std::size_t index);
    // Takes up to n bytes; the count, or ecBufferIsEmpty.
    int GetBlock(uint8_t* buffer, std::size_t n);
    std::size_t InBuffUsed();
    std::size_t InBuffFree();
    int PutChar(uint8_t ch);
    int PutString(const std::string& s);
    // All or nothing: ecOutputBufferTooSmall when the block does not fit.
    int PutBlock(const void* buffer, std::size_t n);
    std::size_t OutBuffUsed();
    std::size_t OutBuffFree();
    int FlushInBuffer();
    int FlushOutBuffer();

    int SetModem(bool dtr, bool rts);
    int SetDTR(bool on);
    int SetRTS(bool on);
    uint32_t GetModemStatus();
    bool CheckDCD();
    bool CheckCTS();
    bool CheckDSR();

    int SWFlowEnable(uint32_t bufferFull, uint32_t bufferResume, uint32_t options);
    int SWFlowDisable();
    int SWFlowChars(uint8_t xon, uint8_t xoff);
    int HWFlowOptions(uint32_t bufferFull, uint32_t bufferResume, uint32_t options);
    int HWFlowDisable() { return HWFlowOptions(0, 0, 0); }

    int ChangeLengthTrigger(uint32_t count);
    int AddTimerTrigger();
    int AddStatusTrigger(int type);
    int SetTimerTrigger(int handle, int32_t ticks, bool activate);
    int SetStatusTrigger(int handle, uint32_t value, bool activate);
    int RemoveTrigger(int handle);
    int RemoveAllTriggers();
    int RegisterProcTriggerHandler(TApdNotifyProc proc);
    int DeregisterProcTriggerHandler(TApdNotifyProc proc);
    TTriggerSet ExportTriggers();
    void ImportTriggers(TTriggerSet set);

    void SetDataPointer(void* p, int index);
    void* GetDataPointer(int index);
    // While set, no trigger procedure or data event runs; they wait.
    void SetEventBusy(bool& oldValue, bool newValue);
    // Dispatch logging stays off in this system.
    void AddDispatchEntry(int type, int subType, uint32_t data, const void* text, std::size_t len);
    // Moves what the device holds into the input buffer now, for callers
    // that poll without returning to the dispatch thread.
    virtual int ProcessCommunications();

    // ecHardware once the device failed or went away; 0 otherwise.
    int DeviceError() const { return DeviceError_.load(); }
    // The device open, as found at the open (set before the threads start).
    TDeviceId DeviceId() const { return Device_.Id(); }
    bool ShuttingDown() const { return ShuttingDown_.load(); }

private:
    void EventThread(TThread& self);
    void DispatchThread(TThread& self);
    void OutputThread(TThread& self);
    // Under Lock_: reads what fits from the device. Byte count or error.
    long ReadDevice();
    void CheckThrottleLocked();
    void AfterTakeLocked();
    void ApplyDeviceFlowLocked();
    void DeviceLost();
    void RunDispatch();
    uint32_t NextWaitMs();
    int OutputAvailableLocked(std::size_t n) const;
    static void Wake(int fd);
    static void Drain(int fd);

    mutable TCriticalSection Lock_;
    SerialDevice Device_;
    LineSettings Line_;
    RingBuffer InBuf_;
    RingBuffer OutBuf_;
    uint64_t OutGeneration_ = 0;
    bool Throttled_ = false;
    bool ReaderParked_ = false;
    uint32_t HWOptions_ = 0;
    uint32_t SWOptions_ = 0;
    uint32_t FlowFull_ = 0;
    uint32_t FlowResume_ = 0;
    uint8_t XOnChar_ = 0x11;
    uint8_t XOffChar_ = 0x13;
    bool Dtr_ = true;
    bool Rts_ = true;

    TTriggerSet Triggers_;
    int NextHandle_ = 1;
    bool NewData_ = false;
    bool RetryDataEvent_ = false;
    bool EventBusy_ = false;
    bool LossNoted_ = false; // the handlers were told of the device's loss
    std::array<void*, 3> DataPointers_{};
    std::function<bool(uint32_t)> DataSink_;

    std::atomic<bool> ShuttingDown_{false};
    std::atomic<int> DeviceError_{0};
    int Handle_ = -1;
    int StopFd_ = -1;   // written once at stop; never drained
    int InWakeFd_ = -1; // wakes the event thread when input space frees
    TEvent DispatchEvent_{false, false};
    TEvent OutputEvent_{false, false};
    TEvent OutputProgress_{false, false};
    TThread EventThread_;
    TThread DispatchThread_;
    TThread OutputThread_;
};
