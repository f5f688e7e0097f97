#include "support/fax_line.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern "C" {
#include <spandsp.h>
}

namespace {
constexpr int kStep = 160;              // 20 ms at 8 kHz
constexpr long kRingInterval = 16000;   // a RING every 2 s of line time
constexpr long kTerminalHangup = 8000;  // a finished terminal drops the line 1 s later
constexpr std::size_t kReadChunk = 256; // AT bytes fed per read, so flow control bites

constexpr int kLogLevel = int(SPAN_LOG_SHOW_SEVERITY) | int(SPAN_LOG_FLOW);

bool LogWanted()
{
    const char* v = std::getenv("SKIPMAIL_FAXLINE_LOG");
    return v && *v && std::strcmp(v, "0") != 0;
}
} // namespace

struct TFaxLine::TEnd {
    TFaxLine* Line = nullptr;
    int Index = 0;
    bool IsModem = false;
    // Modem end.
    t31_state_t* T31 = nullptr;
    int Master = -1;
    int SlaveKeep = -1; // keeps the line readable while the DTE reopens it
    std::string SlavePath;
    std::string ToDte;
    bool Holding = false;
    std::string CommandLine;
    std::string Log;
    // Terminal end.
    fax_state_t* Fax = nullptr;
    TTerminalSetup Setup;
    TTerminalResult Result;
    long HangupIn = -1; // samples until a finished terminal drops the line
};

struct TFaxLine::TCallbacks {
    static int AtTx(at_state_t*, void* user, const uint8_t* buf, size_t len)
    {
        auto* e = static_cast<TEnd*>(user);
        e->ToDte.append(reinterpret_cast<const char*>(buf), len);
        return 0;
    }

    static int ModemControl(t31_state_t*, void* user, int op, const char* num)
    {
        auto* e = static_cast<TEnd*>(user);
        TFaxLine& line = *e->Line;
        switch (op) {
        case AT_MODEM_CONTROL_CALL: {
            const std::string number = num ? num : "";
            const int other = 1 - e->Index;
            if (number.find(kNoDialToneNumber) != std::string::npos)
                t31_call_event(e->T31, AT_CALL_EVENT_NO_DIALTONE);
            else if (number.find(kNoAnswerNumber) != std::string::npos)
                t31_call_event(e->T31, AT_CALL_EVENT_NO_ANSWER);
            else if (number.find(kBusyNumber) != std::string::npos || line.FInCall ||
                     !line.FEnds[other] || line.FRingEnd >= 0)
                t31_call_event(e->T31, AT_CALL_EVENT_BUSY);
            else {
                line.FRingEnd = other;
                line.FRingCaller = e->Index;
                line.FRingSamples = 0;
            }
            break;
        }
        case AT_MODEM_CONTROL_ANSWER:
            if (line.FRingEnd == e->Index)
                line.Connect(line.FRingCaller);
            break;
        case AT_MODEM_CONTROL_HANGUP:
        case AT_MODEM_CONTROL_ONHOOK:
            line.HangUpFrom(e->Index);
            break;
        case AT_MODEM_CONTROL_CTS:
            e->Holding = num == nullptr;
            break;
        default:
            break;
        }
        return 0;
    }

    static void PhaseE(t30_state_t* t30, void* user, int completion)
    {
        auto* e = static_cast<TEnd*>(user);
        t30_stats_t stats{};
        t30_get_transfer_statistics(t30, &stats);
        {
            std::lock_guard lock(e->Line->FLock);
            e->Result.Done = true;
            e->Result.Completion = completion;
            e->Result.PagesTx = stats.pages_tx;
            e->Result.PagesRx = stats.pages_rx;
            e->Result.BitRate = stats.bit_rate;
            // T.30 pads identities with blanks.
            std::string id = t30_get_rx_ident(t30) ? t30_get_rx_ident(t30) : "";
            id.erase(id.find_last_not_of(' ') + 1);
            e->Result.RemoteIdent = id;
        }
        e->HangupIn = kTerminalHangup;
        e->Line->FDone.notify_all();
    }
};

TFaxLine::TFaxLine() = default;

TFaxLine::~TFaxLine()
{
    Stop();
    for (auto& e : FEnds) {
        if (!e)
            continue;
        if (e->T31)
            t31_free(e->T31);
        if (e->Fax)
            fax_free(e->Fax);
        if (e->Master >= 0)
            ::close(e->Master);
        if (e->SlaveKeep >= 0)
            ::close(e->SlaveKeep);
    }
}

std::string TFaxLine::AddModem(int end)
{
    FEnds[end] = MakeModem(end);
    return FEnds[end]->SlavePath;
}

std::unique_ptr<TFaxLine::TEnd> TFaxLine::MakeModem(int end)
{
    auto e = std::make_unique<TEnd>();
    e->Line = this;
    e->Index = end;
    e->IsModem = true;
    e->Master = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (e->Master < 0 || ::grantpt(e->Master) != 0 || ::unlockpt(e->Master) != 0)
        throw std::runtime_error("fax line: no pseudo-terminal");
    e->SlavePath = ::ptsname(e->Master);
    e->SlaveKeep = ::open(e->SlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    ::tcgetattr(e->SlaveKeep, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(e->SlaveKeep, TCSANOW, &t);
    e->T31 = t31_init(nullptr, &TCallbacks::AtTx, e.get(), &TCallbacks::ModemControl, e.get(),
                      nullptr, nullptr);
    if (!e->T31)
        throw std::runtime_error("fax line: t31_init failed");
    t31_set_transmit_on_idle(e->T31, 1);
    if (LogWanted())
        span_log_set_level(t31_get_logging_state(e->T31), kLogLevel);
    return e;
}

void TFaxLine::UnplugModem(int end)
{
    OnLine([this, end] {
        if (!FEnds[end] || !FEnds[end]->IsModem)
            return;
        if (FRingEnd == end)
            FRingEnd = -1;
        HangUpFrom(end);
        std::unique_ptr<TEnd> gone;
        {
            std::lock_guard lock(FLock);
            gone = std::move(FEnds[end]);
        }
        ::close(gone->Master);
        ::close(gone->SlaveKeep);
        t31_free(gone->T31);
    });
}

std::string TFaxLine::PlugModem(int end)
{
    std::unique_ptr<TEnd> fresh = MakeModem(end);
    const std::string path = fresh->SlavePath;
    OnLine([&] {
        std::lock_guard lock(FLock);
        FEnds[end] = std::move(fresh);
    });
    return path;
}

void TFaxLine::OnLine(std::function<void()> task)
{
    if (!FThread.joinable()) {
        task();
        return;
    }
    std::unique_lock lock(FLock);
    FTask = std::move(task);
    FDone.wait(lock, [&] { return !FTask; });
}

void TFaxLine::TakeTask()
{
    std::function<void()> task;
    {
        std::lock_guard lock(FLock);
        if (!FTask)
            return;
        task = FTask;
    }
    task();
    {
        std::lock_guard lock(FLock);
        FTask = nullptr;
    }
    FDone.notify_all();
}

void TFaxLine::AddTerminal(int end, const TTerminalSetup& setup)
{
    FEnds[end] = MakeTerminal(end, setup);
}

std::unique_ptr<TFaxLine::TEnd> TFaxLine::MakeTerminal(int end, const TTerminalSetup& setup)
{
    auto e = std::make_unique<TEnd>();
    e->Line = this;
    e->Index = end;
    e->Setup = setup;
    InitTerminal(*e);
    return e;
}

void TFaxLine::InitTerminal(TEnd& e)
{
    if (e.Fax)
        fax_free(e.Fax);
    {
        std::lock_guard lock(FLock);
        e.Result = {};
    }
    e.HangupIn = -1;
    const TTerminalSetup& setup = e.Setup;
    e.Fax = fax_init(nullptr, setup.Calling ? 1 : 0);
    if (!e.Fax)
        throw std::runtime_error("fax line: fax_init failed");
    fax_set_transmit_on_idle(e.Fax, 1);
    t30_state_t* t30 = fax_get_t30_state(e.Fax);
    t30_set_tx_ident(t30, setup.Ident.c_str());
    t30_set_supported_modems(t30, setup.Modems);
    t30_set_ecm_capability(t30, 0);
    t30_set_supported_compressions(t30, T30_SUPPORT_T4_1D_COMPRESSION);
    t30_set_supported_resolutions(t30, T30_SUPPORT_STANDARD_RESOLUTION |
                                           (setup.Fine ? T30_SUPPORT_FINE_RESOLUTION : 0));
    if (!setup.SendTiff.empty())
        t30_set_tx_file(t30, setup.SendTiff.c_str(), -1, -1);
    if (!setup.ReceiveTiff.empty())
        t30_set_rx_file(t30, setup.ReceiveTiff.c_str(), -1);
    t30_set_phase_e_handler(t30, &TCallbacks::PhaseE, &e);
    if (LogWanted()) {
        span_log_set_level(fax_get_logging_state(e.Fax), kLogLevel);
        span_log_set_level(t30_get_logging_state(t30), kLogLevel);
    }
}

void TFaxLine::RearmTerminal(int end, const TTerminalSetup& setup)
{
    std::lock_guard lock(FLock);
    FRearmEnd = end;
    FRearm = setup;
}

void TFaxLine::TakeRearm()
{
    int end;
    TTerminalSetup setup;
    {
        std::lock_guard lock(FLock);
        end = FRearmEnd;
        if (end < 0 || FInCall || FRingEnd >= 0)
            return;
        setup = FRearm;
        FRearmEnd = -1;
    }
    std::unique_ptr<TEnd> fresh = MakeTerminal(end, setup);
    std::unique_ptr<TEnd> old;
    {
        std::lock_guard lock(FLock);
        old = std::move(FEnds[end]);
        FEnds[end] = std::move(fresh);
    }
    if (old && old->Fax)
        fax_free(old->Fax);
    if (setup.Calling) {
        FRingEnd = 1 - end;
        FRingCaller = end;
        FRingSamples = 0;
    }
}

void TFaxLine::Start()
{
    for (int i = 0; i < 2; ++i) {
        if (FEnds[i] && !FEnds[i]->IsModem && FEnds[i]->Setup.Calling) {
            FRingEnd = 1 - i;
            FRingCaller = i;
            FRingSamples = 0;
        }
    }
    FStop = false;
    FThread = std::thread([this] { Run(); });
}

void TFaxLine::Stop()
{
    FStop = true;
    if (FThread.joinable())
        FThread.join();
}

bool TFaxLine::WaitTerminal(int end, int timeoutMs)
{
    std::unique_lock lock(FLock);
    return FDone.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return FEnds[end] && FEnds[end]->Result.Done; });
}

TFaxLine::TTerminalResult TFaxLine::TerminalResult(int end)
{
    std::lock_guard lock(FLock);
    return FEnds[end] ? FEnds[end]->Result : TTerminalResult{};
}

std::string TFaxLine::ModemLog(int end)
{
    std::lock_guard lock(FLock);
    return FEnds[end] ? FEnds[end]->Log : std::string();
}

void TFaxLine::Run()
{
    using Clock = std::chrono::steady_clock;
    const auto step = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double, std::milli>(20.0 / (Speed > 0 ? Speed : 1.0)));
    auto next = Clock::now();
    while (!FStop) {
        TakeTask();
        TakeRearm();
        for (auto& e : FEnds)
            if (e && e->IsModem)
                PumpPty(*e);
        Step();
        for (auto& e : FEnds)
            if (e && e->IsModem)
                FlushPty(*e);
        next += step;
        const auto now = Clock::now();
        if (next < now - std::chrono::milliseconds(200))
            next = now; // fell behind: do not rush to catch up
        std::this_thread::sleep_until(next);
    }
}

void TFaxLine::PumpPty(TEnd& e)
{
    uint8_t buf[kReadChunk];
    for (int rounds = 0; rounds < 64 && !e.Holding; ++rounds) {
        const ssize_t n = ::read(e.Master, buf, sizeof buf);
        if (n <= 0)
            break;
        {
            std::lock_guard lock(FLock);
            for (ssize_t i = 0; i < n; ++i) {
                const char c = static_cast<char>(buf[i]);
                if (c == '\r') {
                    if (e.CommandLine.size() >= 2 &&
                        (e.CommandLine.rfind("AT", 0) == 0 || e.CommandLine.rfind("at", 0) == 0))
                        e.Log += e.CommandLine + "\n";
                    e.CommandLine.clear();
                } else if (c >= 32 && c < 127 && e.CommandLine.size() < 200) {
                    e.CommandLine += c;
                } else {
                    e.CommandLine.clear(); // page or frame data, not a command
                }
            }
        }
        t31_at_rx(e.T31, reinterpret_cast<const char*>(buf), static_cast<int>(n));
    }
}

void TFaxLine::FlushPty(TEnd& e)
{
    while (!e.ToDte.empty()) {
        const ssize_t n = ::write(e.Master, e.ToDte.data(), e.ToDte.size());
        if (n <= 0)
            break; // the DTE is not reading; keep the rest for the next step
        e.ToDte.erase(0, static_cast<std::size_t>(n));
    }
}

void TFaxLine::Step()
{
    if (FRingEnd >= 0) {
        FRingSamples -= kStep;
        if (FRingSamples <= 0) {
            FRingSamples = kRingInterval;
            Ring(FRingEnd);
        }
    }
    std::array<std::array<int16_t, kStep>, 2> out{};
    for (int i = 0; i < 2; ++i) {
        TEnd* e = FEnds[i].get();
        if (!e || Idle(*e))
            continue;
        const int n = e->IsModem ? t31_tx(e->T31, out[i].data(), kStep)
                                 : fax_tx(e->Fax, out[i].data(), kStep);
        for (int k = std::max(n, 0); k < kStep; ++k)
            out[i][k] = 0;
    }
    for (int i = 0; i < 2; ++i) {
        TEnd* e = FEnds[i].get();
        if (!e || Idle(*e))
            continue;
        std::array<int16_t, kStep> in{};
        if (FInCall)
            in = out[1 - i];
        if (e->IsModem)
            t31_rx(e->T31, in.data(), kStep);
        else
            fax_rx(e->Fax, in.data(), kStep);
        if (!e->IsModem && e->HangupIn >= 0) {
            e->HangupIn -= kStep;
            if (e->HangupIn < 0)
                HangUpFrom(i);
        }
    }
}

bool TFaxLine::Idle(const TEnd& e) const
{
    // An answering terminal waits, silent, for its call.
    return !e.IsModem && !e.Setup.Calling && !FInCall;
}

void TFaxLine::Ring(int end)
{
    TEnd* e = FEnds[end].get();
    if (!e)
        return;
    if (e->IsModem) {
        t31_call_event(e->T31, AT_CALL_EVENT_ALERTING);
        return;
    }
    // A terminal answers at once, fresh: its answering timers start now.
    InitTerminal(*e);
    Connect(FRingCaller);
}

void TFaxLine::Connect(int caller)
{
    FRingEnd = -1;
    FInCall = true;
    TEnd* c = FEnds[caller].get();
    TEnd* a = FEnds[1 - caller].get();
    // In spandsp's terms the caller is "connected" (it sends CNG and listens)
    // and the called side has "answered" (it sends CED).
    if (c && c->IsModem)
        t31_call_event(c->T31, AT_CALL_EVENT_CONNECTED);
    if (a && a->IsModem)
        t31_call_event(a->T31, AT_CALL_EVENT_ANSWERED);
}

void TFaxLine::HangUpFrom(int end)
{
    if (FRingCaller == end)
        FRingEnd = -1;
    if (!FInCall)
        return;
    FInCall = false;
    TEnd* other = FEnds[1 - end].get();
    if (other && other->IsModem)
        t31_call_event(other->T31, AT_CALL_EVENT_HANGUP);
}
