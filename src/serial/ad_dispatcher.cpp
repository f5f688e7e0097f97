#include "serial/ad_dispatcher.h"

#include "platform/clock.h"
#include "serial/ad_except.h"
#include "serial/ad_misc.h"

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

using namespace AdErr;
using Guard = std::lock_guard<TCriticalSection>;

namespace {

std::mutex gPortListLock;
std::vector<TApdBaseDispatcher*> gPortList;

int EnterPortList(TApdBaseDispatcher* d)
{
    std::lock_guard guard(gPortListLock);
    for (std::size_t i = 0; i < gPortList.size(); ++i)
        if (!gPortList[i]) {
            gPortList[i] = d;
            return static_cast<int>(i);
        }
    gPortList.push_back(d);
    return static_cast<int>(gPortList.size() - 1);
}

void LeavePortList(int handle)
{
    std::lock_guard guard(gPortListLock);
    if (handle >= 0 && static_cast<std::size_t>(handle) < gPortList.size())
        gPortList[handle] = nullptr;
}

constexpr std::size_t kChunk = 4096;

} // namespace

TApdBaseDispatcher* TApdBaseDispatcher::PortListEntry(int handle)
{
    std::lock_guard guard(gPortListLock);
    if (handle < 0 || static_cast<std::size_t>(handle) >= gPortList.size())
        return nullptr;
    return gPortList[handle];
}

TApdBaseDispatcher::TApdBaseDispatcher()
    : EventThread_([this](TThread& t) { EventThread(t); }),
      DispatchThread_([this](TThread& t) { DispatchThread(t); }),
      OutputThread_([this](TThread& t) { OutputThread(t); })
{
    StopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    InWakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TApdBaseDispatcher::~TApdBaseDispatcher()
{
    CloseCom(0);
    StopDispatch();
    if (StopFd_ >= 0)
        ::close(StopFd_);
    if (InWakeFd_ >= 0)
        ::close(InWakeFd_);
}

void TApdBaseDispatcher::Wake(int fd)
{
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t r = ::write(fd, &one, sizeof one);
}

void TApdBaseDispatcher::Drain(int fd)
{
    uint64_t value = 0;
    [[maybe_unused]] ssize_t r = ::read(fd, &value, sizeof value);
}

int TApdBaseDispatcher::OpenCom(const std::string& path, std::size_t inSize, std::size_t outSize)
{
    if (StopFd_ < 0 || InWakeFd_ < 0)
        return ecNoHandles;
    if (path.empty())
        return ecBadId;
    if (inSize == 0 || outSize == 0)
        return ecBadArgument;
    const int r = Device_.Open(path);
    if (r < 0)
        return r;
    {
        Guard guard(Lock_);
        InBuf_.Resize(inSize);
        OutBuf_.Resize(outSize);
    }
    const int lr = Device_.SetLine(Line_);
    if (lr < 0) {
        Device_.Close();
        return lr;
    }
    Device_.SetModemLines(Dtr_, Rts_);
    Handle_ = EnterPortList(this);
    return 0;
}

void TApdBaseDispatcher::StartDispatcher()
{
    EventThread_.Resume();
    DispatchThread_.Resume();
    OutputThread_.Resume();
}

uint32_t TApdBaseDispatcher::DefaultDrainTimeout() const
{
    Guard guard(Lock_);
    const uint64_t bytes = OutBuf_.Used() + static_cast<uint64_t>(Device_.OutputQueued());
    const uint64_t ms = 500 + bytes * 10 * 1000 / std::max<uint32_t>(Line_.Baud, 1);
    return static_cast<uint32_t>(std::min<uint64_t>(ms, 5000));
}

void TApdBaseDispatcher::CloseCom(uint32_t drainTimeoutMs)
{
    ShuttingDown_ = true;
    if (!Device_.IsOpen())
        return;
    const uint32_t start = Clock::TickCount();
    auto left = [&] {
        const uint32_t spent = Clock::TickCount() - start;
        return spent >= drainTimeoutMs ? 0u : drainTimeoutMs - spent;
    };
    if (OutputThread_.Started()) {
        for (;;) {
            {
                Guard guard(Lock_);
                if (OutBuf_.Empty() || DeviceError_ != 0)
                    break;
            }
            const uint32_t wait = left();
            if (wait == 0)
                break;
            OutputProgress_.WaitFor(std::min<uint32_t>(wait, 50));
        }
    }
    bool drained = false;
    {
        Guard guard(Lock_);
        drained = OutBuf_.Empty();
    }
    if (drained && DeviceError_ == 0)
        drained = Device_.Drain(left());
    Wake(StopFd_);
    EventThread_.Terminate();
    OutputThread_.Terminate();
    OutputEvent_.SetEvent();
    EventThread_.WaitFor(INFINITE);
    OutputThread_.WaitFor(INFINITE);
    Guard guard(Lock_);
    if (!drained)
        Device_.FlushOutput(); // nobody takes it: do not hang in close()
    Device_.Close();
}

void TApdBaseDispatcher::StopDispatch()
{
    DispatchThread_.Terminate();
    DispatchEvent_.SetEvent();
    if (!DispatchThread_.IsCurrent())
        DispatchThread_.WaitFor(INFINITE);
    if (Handle_ >= 0) {
        LeavePortList(Handle_);
        Handle_ = -1;
    }
}

void TApdBaseDispatcher::SetDataEventSink(std::function<bool(uint32_t)> sink)
{
    Guard guard(Lock_);
    DataSink_ = std::move(sink);
}

// --- device side -------------------------------------------------------

long TApdBaseDispatcher::ReadDevice()
{
    std::size_t room = InBuf_.Free();
    if (room == 0 || !Device_.IsOpen())
        return 0;
    uint8_t buf[kChunk];
    long total = 0;
    while (room > 0) {
        const long got = Device_.ReadSome(buf, std::min(room, sizeof buf));
        if (got <= 0)
            return total > 0 ? total : got;
        InBuf_.Put(buf, static_cast<std::size_t>(got));
        total += got;
        room -= static_cast<std::size_t>(got);
        if (static_cast<std::size_t>(got) < sizeof buf)
            break;
    }
    return total;
}

void TApdBaseDispatcher::CheckThrottleLocked()
{
    const bool flow = (HWOptions_ & (hfUseDTR | hfUseRTS)) || (SWOptions_ & sfReceiveFlow);
    if (!flow || Throttled_ || FlowFull_ == 0 || InBuf_.Used() < FlowFull_)
        return;
    Throttled_ = true;
    if (HWOptions_ & hfUseDTR)
        Device_.SetDtr(false);
    if (HWOptions_ & hfUseRTS)
        Device_.SetRts(false);
    if ((SWOptions_ & sfReceiveFlow) && Device_.IsOpen())
        ::tcflow(Device_.Fd(), TCIOFF);
}

// After bytes left the input buffer: resume the peer and the reader.
void TApdBaseDispatcher::AfterTakeLocked()
{
    if (Throttled_ && InBuf_.Used() <= FlowResume_) {
        Throttled_ = false;
        if (HWOptions_ & hfUseDTR)
            Device_.SetDtr(Dtr_);
        if (HWOptions_ & hfUseRTS)
            Device_.SetRts(Rts_);
        if ((SWOptions_ & sfReceiveFlow) && Device_.IsOpen())
            ::tcflow(Device_.Fd(), TCION);
    }
    if (ReaderParked_ && !Throttled_ && InBuf_.Free() > 0) {
        ReaderParked_ = false;
        Wake(InWakeFd_);
    }
}

void TApdBaseDispatcher::DeviceLost()
{
    int expected = 0;
    DeviceError_.compare_exchange_strong(expected, ecHardware);
    OutputProgress_.SetEvent();
    OutputEvent_.SetEvent();
    DispatchEvent_.SetEvent();
}

void TApdBaseDispatcher::EventThread(TThread& self)
{
    while (!self.Terminated()) {
        bool wantRead = false;
        {
            Guard guard(Lock_);
            wantRead = !Throttled_ && InBuf_.Free() > 0;
            ReaderParked_ = !wantRead;
        }
        pollfd fds[3] = {{StopFd_, POLLIN, 0}, {InWakeFd_, POLLIN, 0}, {Device_.Fd(), POLLIN, 0}};
        const int r = ::poll(fds, wantRead ? 3 : 2, -1);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            DeviceLost();
            return;
        }
        if (fds[0].revents)
            return;
        if (fds[1].revents)
            Drain(InWakeFd_);
        if (!wantRead || fds[2].revents == 0)
            continue;
        long got = 0;
        {
            Guard guard(Lock_);
            got = ReadDevice();
            if (got > 0) {
                NewData_ = true;
                CheckThrottleLocked();
            }
        }
        if (got > 0)
            DispatchEvent_.SetEvent();
        const bool hangup = (fds[2].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        if (got < 0 || (got == 0 && hangup)) {
            // The device went away (unplugged adapter, closed peer): stop
            // here instead of spinning on a dead descriptor.
            DeviceLost();
            return;
        }
    }
}

void TApdBaseDispatcher::OutputThread(TThread& self)
{
    uint8_t chunk[kChunk];
    while (!self.Terminated() && DeviceError_ == 0) {
        std::size_t n = 0;
        uint64_t generation = 0;
        uint32_t hwOptions = 0;
        {
            Guard guard(Lock_);
            n = OutBuf_.Peek(chunk, sizeof chunk);
            generation = OutGeneration_;
            hwOptions = HWOptions_;
        }
        if (n == 0) {
            OutputEvent_.WaitFor(INFINITE);
            continue;
        }
        if (hwOptions & hfRequireDSR) {
            uint32_t status = 0;
            // Devices without modem lines report nothing; do not wait for them.
            if (Device_.ReadModemStatus(status) && !(status & kMsDSR)) {
                OutputEvent_.WaitFor(20);
                continue;
            }
        }
        const long put = Device_.WriteSome(chunk, n);
        if (put < 0) {
            DeviceLost();
            return;
        }
        if (put == 0) {
            pollfd fds[2] = {{StopFd_, POLLIN, 0}, {Device_.Fd(), POLLOUT, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
                DeviceLost();
                return;
            }
            if (fds[0].revents)
                return;
            if (fds[1].revents & (POLLERR | POLLNVAL)) {
                DeviceLost();
                return;
            }
            continue;
        }
        {
            Guard guard(Lock_);
            if (generation == OutGeneration_)
                OutBuf_.Discard(static_cast<std::size_t>(put));
        }
        OutputProgress_.SetEvent();
        DispatchEvent_.SetEvent();
    }
}

int TApdBaseDispatcher::ProcessCommunications()
{
    long got = 0;
    {
        Guard guard(Lock_);
        if (!Device_.IsOpen() || DeviceError_ != 0)
            return DeviceError_;
        got = ReadDevice();
        if (got > 0) {
            NewData_ = true;
            CheckThrottleLocked();
        }
    }
    if (got > 0)
        DispatchEvent_.SetEvent();
    return 0;
}

// --- dispatch ------------------------------------------------------------

uint32_t TApdBaseDispatcher::NextWaitMs()
{
    Guard guard(Lock_);
    uint32_t wait = INFINITE;
    if (EventBusy_)
        return wait; // clearing the flag wakes the thread
    if (RetryDataEvent_)
        wait = 100;
    const uint32_t now = Clock::TickCount();
    for (const auto& t : Triggers_.Triggers) {
        if (!t.IsTimer || !t.Active)
            continue;
        const uint32_t span = static_cast<uint32_t>(std::max<int32_t>(t.Ticks, 0)) * kMsPerTick;
        const uint32_t spent = now - t.StartMs;
        wait = std::min(wait, spent >= span ? 0u : span - spent);
    }
    return wait;
}

void TApdBaseDispatcher::DispatchThread(TThread& self)
{
    while (!self.Terminated()) {
        const uint32_t wait = NextWaitMs();
        if (wait > 0)
            DispatchEvent_.WaitFor(wait);
        if (self.Terminated())
            return;
        RunDispatch();
    }
}

void TApdBaseDispatcher::RunDispatch()
{
    struct Note {
        uint32_t Msg;
        uint32_t WParam;
    };
    std::vector<Note> notes;
    std::vector<TApdNotifyProc> handlers;
    std::function<bool(uint32_t)> sink;
    uint32_t avail = 0;
    bool dataEvent = false;
    int32_t lParam = 0;
    {
        Guard guard(Lock_);
        if (EventBusy_)
            return;
        lParam = static_cast<int32_t>(static_cast<uint32_t>(Handle_) << 16);
        if (DeviceError_ != 0 && !LossNoted_ && !Triggers_.Handlers.empty()) {
            LossNoted_ = true;
            notes.push_back({apw_TriggerDeviceLost, 0});
        }
        avail = static_cast<uint32_t>(InBuf_.Used());
        if (avail > 0 && avail >= Triggers_.LengthTrigger && NewData_) {
            notes.push_back({apw_TriggerAvail, avail});
            dataEvent = true;
            NewData_ = false;
        }
        // A data event the GUI thread did not take in time is offered again
        // to the GUI thread only.
        if (RetryDataEvent_ && avail > 0)
            dataEvent = true;
        RetryDataEvent_ = false;
        const uint32_t now = Clock::TickCount();
        std::vector<std::pair<uint32_t, int>> fired; // (overdue order, handle)
        for (auto& t : Triggers_.Triggers) {
            if (!t.Active || !t.IsTimer)
                continue;
            const uint32_t span = static_cast<uint32_t>(std::max<int32_t>(t.Ticks, 0)) * kMsPerTick;
            if (Clock::TickElapsed(t.StartMs, now, span)) {
                t.Active = false;
                fired.push_back({(now - t.StartMs) - span, t.Handle});
            }
        }
        // The longest overdue fired first: that is the order they ran out.
        std::stable_sort(fired.begin(), fired.end(),
                         [](const auto& a, const auto& b) { return a.first > b.first; });
        for (const auto& f : fired)
            notes.push_back({apw_TriggerTimer, static_cast<uint32_t>(f.second)});
        for (auto& t : Triggers_.Triggers) {
            if (!t.Active || t.IsTimer)
                continue;
            const bool hit = (t.StatusType == stOutBuffFree && OutBuf_.Free() >= t.Value) ||
                             (t.StatusType == stOutBuffUsed && OutBuf_.Used() <= t.Value);
            if (hit) {
                t.Active = false;
                notes.push_back({apw_TriggerStatus, static_cast<uint32_t>(t.Handle)});
            }
        }
        if (notes.empty() && !dataEvent)
            return;
        handlers = Triggers_.Handlers;
        sink = DataSink_;
    }
    for (const Note& n : notes)
        for (TApdNotifyProc proc : handlers) {
            try {
                proc(n.Msg, n.WParam, lParam);
            } catch (...) {
                // As at a message loop: a failing handler must not end the
                // dispatch thread, which every later trigger needs.
            }
        }
    if (dataEvent && sink && !sink(avail)) {
        Guard guard(Lock_);
        RetryDataEvent_ = true;
    }
}

// --- line settings --------------------------------------------------------

int TApdBaseDispatcher::SetLine(uint32_t baud, TParity parity, uint8_t dataBits, uint8_t stopBits)
{
    Guard guard(Lock_);
    LineSettings next{baud, parity, dataBits, stopBits};
    if (Device_.IsOpen()) {
        const int r = Device_.SetLine(next);
        if (r < 0)
            return r;
    } else if (!SerialDevice::BaudSupported(baud)) {
        return ecBaudRate;
    }
    Line_ = next;
    return 0;
}

void TApdBaseDispatcher::GetLine(uint32_t& baud, TParity& parity, uint8_t& dataBits,
                                 uint8_t& stopBits) const
{
    Guard guard(Lock_);
    baud = Line_.Baud;
    parity = Line_.Parity;
    dataBits = Line_.DataBits;
    stopBits = Line_.StopBits;
}

int TApdBaseDispatcher::ChangeBaud(uint32_t baud)
{
    Guard guard(Lock_);
    return SetLine(baud, Line_.Parity, Line_.DataBits, Line_.StopBits);
}

int TApdBaseDispatcher::SetCommBuffers(std::size_t inSize, std::size_t outSize)
{
    Guard guard(Lock_);
    if (inSize == 0 || outSize == 0)
        return ecBadArgument;
    // Shrinking below what is buffered would drop data.
    if (inSize < InBuf_.Used() || outSize < OutBuf_.Used())
        return ecBadArgument;
    if (inSize != InBuf_.Capacity())
        InBuf_.Resize(inSize);
    if (outSize != OutBuf_.Capacity())
        OutBuf_.Resize(outSize);
    AfterTakeLocked();
    return 0;
}

// --- buffers --------------------------------------------------------------

bool TApdBaseDispatcher::CharReady()
{
    Guard guard(Lock_);
    return !InBuf_.Empty();
}

int TApdBaseDispatcher::GetChar(uint8_t& ch)
{
    Guard guard(Lock_);
    if (InBuf_.Get(&ch, 1) == 0)
        return ecBufferIsEmpty;
    AfterTakeLocked();
    return 0;
}

int TApdBaseDispatcher::PeekChar(uint8_t& ch, std::size_t index)
{
    Guard guard(Lock_);
    if (InBuf_.Peek(&ch, 1, index) == 0)
        return ecBufferIsEmpty;
    return 0;
}

int TApdBaseDispatcher::GetBlock(uint8_t* buffer, std::size_t n)
{
    Guard guard(Lock_);
    const std::size_t got = InBuf_.Get(buffer, n);
    if (got == 0 && n > 0)
        return ecBufferIsEmpty;
    AfterTakeLocked();
    return static_cast<int>(got);
}

std::size_t TApdBaseDispatcher::InBuffUsed()
{
    Guard guard(Lock_);
    return InBuf_.Used();
}

std::size_t TApdBaseDispatcher::InBuffFree()
{
    Guard guard(Lock_);
    return InBuf_.Free();
}

int TApdBaseDispatcher::OutputAvailableLocked(std::size_t n) const
{
    if (ShuttingDown_ || !Device_.IsOpen())
        return ecCommNotOpen;
    if (DeviceError_ != 0)
        return DeviceError_;
    if (OutBuf_.Free() < n)
        return ecOutputBufferTooSmall;
    return 0;
}

int TApdBaseDispatcher::PutChar(uint8_t ch)
{
    const int r = PutBlock(&ch, 1);
    return r < 0 ? r : 0;
}

int TApdBaseDispatcher::PutString(const std::string& s)
{
    const int r = PutBlock(s.data(), s.size());
    return r < 0 ? r : 0;
}

int TApdBaseDispatcher::PutBlock(const void* buffer, std::size_t n)
{
    {
        Guard guard(Lock_);
        const int r = OutputAvailableLocked(n);
        if (r < 0)
            return r;
        OutBuf_.Put(static_cast<const uint8_t*>(buffer), n);
    }
    if (n > 0)
        OutputEvent_.SetEvent();
    return static_cast<int>(n);
}

std::size_t TApdBaseDispatcher::OutBuffUsed()
{
    Guard guard(Lock_);
    return OutBuf_.Used();
}

std::size_t TApdBaseDispatcher::OutBuffFree()
{
    Guard guard(Lock_);
    return OutBuf_.Free();
}

int TApdBaseDispatcher::FlushInBuffer()
{
    Guard guard(Lock_);
    Device_.FlushInput();
    InBuf_.Clear();
    NewData_ = false;
    RetryDataEvent_ = false;
    AfterTakeLocked();
    return 0;
}

int TApdBaseDispatcher::FlushOutBuffer()
{
    {
        Guard guard(Lock_);
        OutBuf_.Clear();
        ++OutGeneration_;
        Device_.FlushOutput();
    }
    OutputProgress_.SetEvent();
    DispatchEvent_.SetEvent();
    return 0;
}

// --- modem lines and flow -------------------------------------------------

int TApdBaseDispatcher::SetModem(bool dtr, bool rts)
{
    Guard guard(Lock_);
    Dtr_ = dtr;
    Rts_ = rts;
    return Device_.IsOpen() ? Device_.SetModemLines(dtr, rts) : 0;
}

int TApdBaseDispatcher::SetDTR(bool on)
{
    Guard guard(Lock_);
    Dtr_ = on;
    return Device_.IsOpen() ? Device_.SetDtr(on) : 0;
}

int TApdBaseDispatcher::SetRTS(bool on)
{
    Guard guard(Lock_);
    Rts_ = on;
    return Device_.IsOpen() ? Device_.SetRts(on) : 0;
}

uint32_t TApdBaseDispatcher::GetModemStatus()
{
    Guard guard(Lock_);
    uint32_t status = 0;
    Device_.ReadModemStatus(status);
    return status;
}

bool TApdBaseDispatcher::CheckDCD()
{
    return (GetModemStatus() & kMsDCD) != 0;
}

bool TApdBaseDispatcher::CheckCTS()
{
    return (GetModemStatus() & kMsCTS) != 0;
}

bool TApdBaseDispatcher::CheckDSR()
{
    return (GetModemStatus() & kMsDSR) != 0;
}

void TApdBaseDispatcher::ApplyDeviceFlowLocked()
{
    if (!Device_.IsOpen())
        return;
    DeviceFlow flow;
    flow.RtsCts = (HWOptions_ & hfRequireCTS) != 0;
    flow.XonXoffIn = (SWOptions_ & sfReceiveFlow) != 0;
    flow.XonXoffOut = (SWOptions_ & sfTransmitFlow) != 0;
    flow.XonChar = XOnChar_;
    flow.XoffChar = XOffChar_;
    Device_.SetFlow(flow);
}

int TApdBaseDispatcher::SWFlowEnable(uint32_t bufferFull, uint32_t bufferResume, uint32_t options)
{
    Guard guard(Lock_);
    if (bufferResume > bufferFull || bufferFull > InBuf_.Capacity())
        return ecBadArgument;
    SWOptions_ = options & (sfTransmitFlow | sfReceiveFlow);
    FlowFull_ = bufferFull;
    FlowResume_ = bufferResume;
    ApplyDeviceFlowLocked();
    AfterTakeLocked();
    CheckThrottleLocked();
    return 0;
}

int TApdBaseDispatcher::SWFlowDisable()
{
    Guard guard(Lock_);
    SWOptions_ = 0;
    if (Throttled_ && !(HWOptions_ & (hfUseDTR | hfUseRTS)) && Device_.IsOpen())
        ::tcflow(Device_.Fd(), TCION);
    if (!(HWOptions_ & (hfUseDTR | hfUseRTS)))
        Throttled_ = false;
    ApplyDeviceFlowLocked();
    AfterTakeLocked();
    return 0;
}

int TApdBaseDispatcher::SWFlowChars(uint8_t xon, uint8_t xoff)
{
    Guard guard(Lock_);
    XOnChar_ = xon;
    XOffChar_ = xoff;
    ApplyDeviceFlowLocked();
    return 0;
}

int TApdBaseDispatcher::HWFlowOptions(uint32_t bufferFull, uint32_t bufferResume, uint32_t options)
{
    Guard guard(Lock_);
    options &= hfUseDTR | hfUseRTS | hfRequireDSR | hfRequireCTS;
    if (options && (bufferResume > bufferFull || bufferFull > InBuf_.Capacity()))
        return ecBadArgument;
    const bool wasThrottled = Throttled_;
    // Lines that stop being flow lines return to their set state.
    if (wasThrottled) {
        if ((HWOptions_ & hfUseDTR) && !(options & hfUseDTR))
            Device_.SetDtr(Dtr_);
        if ((HWOptions_ & hfUseRTS) && !(options & hfUseRTS))
            Device_.SetRts(Rts_);
    }
    HWOptions_ = options;
    if (options) {
        FlowFull_ = bufferFull;
        FlowResume_ = bufferResume;
    }
    if (!(HWOptions_ & (hfUseDTR | hfUseRTS)) && !(SWOptions_ & sfReceiveFlow))
        Throttled_ = false;
    ApplyDeviceFlowLocked();
    AfterTakeLocked();
    CheckThrottleLocked();
    return 0;
}

// --- triggers -------------------------------------------------------------

int TApdBaseDispatcher::ChangeLengthTrigger(uint32_t count)
{
    {
        Guard guard(Lock_);
        Triggers_.LengthTrigger = count;
        NewData_ = NewData_ || !InBuf_.Empty();
    }
    DispatchEvent_.SetEvent();
    return 0;
}

int TApdBaseDispatcher::AddTimerTrigger()
{
    Guard guard(Lock_);
    if (Triggers_.Triggers.size() >= kMaxTriggers)
        return ecNoMoreTriggers;
    TTriggerSet::Trigger t;
    t.Handle = NextHandle_++;
    t.IsTimer = true;
    Triggers_.Triggers.push_back(t);
    return t.Handle;
}

int TApdBaseDispatcher::AddStatusTrigger(int type)
{
    Guard guard(Lock_);
    if (type != stOutBuffFree && type != stOutBuffUsed)
        return ecBadArgument;
    if (Triggers_.Triggers.size() >= kMaxTriggers)
        return ecNoMoreTriggers;
    TTriggerSet::Trigger t;
    t.Handle = NextHandle_++;
    t.IsTimer = false;
    t.StatusType = type;
    Triggers_.Triggers.push_back(t);
    return t.Handle;
}

int TApdBaseDispatcher::SetTimerTrigger(int handle, int32_t ticks, bool activate)
{
    {
        Guard guard(Lock_);
        auto it = std::find_if(Triggers_.Triggers.begin(), Triggers_.Triggers.end(),
                               [&](const auto& t) { return t.Handle == handle && t.IsTimer; });
        if (it == Triggers_.Triggers.end())
            return ecBadTriggerHandle;
        if (ticks != 0)
            it->Ticks = ticks;
        it->Active = activate;
        it->StartMs = Clock::TickCount();
    }
    DispatchEvent_.SetEvent();
    return 0;
}

int TApdBaseDispatcher::SetStatusTrigger(int handle, uint32_t value, bool activate)
{
    {
        Guard guard(Lock_);
        auto it = std::find_if(Triggers_.Triggers.begin(), Triggers_.Triggers.end(),
                               [&](const auto& t) { return t.Handle == handle && !t.IsTimer; });
        if (it == Triggers_.Triggers.end())
            return ecBadTriggerHandle;
        it->Value = value;
        it->Active = activate;
    }
    DispatchEvent_.SetEvent();
    return 0;
}

int TApdBaseDispatcher::RemoveTrigger(int handle)
{
    Guard guard(Lock_);
    auto& list = Triggers_.Triggers;
    auto it =
        std::find_if(list.begin(), list.end(), [&](const auto& t) { return t.Handle == handle; });
    if (it == list.end())
        return ecBadTriggerHandle;
    list.erase(it);
    return 0;
}

int TApdBaseDispatcher::RemoveAllTriggers()
{
    Guard guard(Lock_);
    Triggers_.Triggers.clear();
    Triggers_.LengthTrigger = 1;
    return 0;
}

int TApdBaseDispatcher::RegisterProcTriggerHandler(TApdNotifyProc proc)
{
    if (!proc)
        return ecBadArgument;
    Guard guard(Lock_);
    Triggers_.Handlers.push_back(proc);
    return 0;
}

int TApdBaseDispatcher::DeregisterProcTriggerHandler(TApdNotifyProc proc)
{
    Guard guard(Lock_);
    auto& list = Triggers_.Handlers;
    list.erase(std::remove(list.begin(), list.end(), proc), list.end());
    return 0;
}

TTriggerSet TApdBaseDispatcher::ExportTriggers()
{
    Guard guard(Lock_);
    return Triggers_;
}

void TApdBaseDispatcher::ImportTriggers(TTriggerSet set)
{
    {
        Guard guard(Lock_);
        Triggers_ = std::move(set);
        for (const auto& t : Triggers_.Triggers)
            NextHandle_ = std::max(NextHandle_, t.Handle + 1);
    }
    DispatchEvent_.SetEvent();
}

void TApdBaseDispatcher::SetDataPointer(void* p, int index)
{
    Guard guard(Lock_);
    if (index >= 1 && index <= 3)
        DataPointers_[index - 1] = p;
}

void* TApdBaseDispatcher::GetDataPointer(int index)
{
    Guard guard(Lock_);
    return index >= 1 && index <= 3 ? DataPointers_[index - 1] : nullptr;
}

void TApdBaseDispatcher::SetEventBusy(bool& oldValue, bool newValue)
{
    {
        Guard guard(Lock_);
        oldValue = EventBusy_;
        EventBusy_ = newValue;
    }
    if (!newValue)
        DispatchEvent_.SetEvent();
}

void TApdBaseDispatcher::AddDispatchEntry(int, int, uint32_t, const void*, std::size_t) {}
