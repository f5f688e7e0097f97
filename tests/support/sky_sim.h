#pragma once

#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/modem_sim.h"
#include "support/sim_radio.h"

// Simulated modems under one sky: what one station transmits over a link
// reaches the other after a delay, at an HF data rate, written from the
// frame and call rules alone:
// - 0x21 registers a modem's selective-call ID (four digits) and private
//   network code;
// - 0x20 calls an ID: the caller hears 0x40 (calling), then 0x41 with the
//   peer's ID once linked (the called modem hears 0x44 with the caller's ID
//   once it hears the call, and 0x41 with it as the link comes up, LinkMs
//   later), or 0x42 when nobody answers; with busy-channel detection asked
//   for (option bit 0) on a busy channel, 0x43 and no call;
// - a call is heard where the called radio receives on the frequency the
//   calling one transmits on (anywhere when either radio's frequency is not
//   known): it stays on the air for its call length (the command's fifth
//   argument, in seconds) until the called radio comes to it;
// - while linked, link data leaves a modem at the data rate; each byte is
//   echoed to its sender (0x6A) as it goes and delivered to the peer (0x81
//   before 0x80 and 0x81) after the delay;
// - half duplex (an HF modem's channel): one modem of a link transmits at a
//   time. It keeps the channel while it has data queued; once it has none
//   and the other modem has, the channel turns: the other starts when the
//   end of the last transmission has reached it and its own turnaround has
//   passed. The first to send on a new link starts at once;
// - when a link comes up, each modem reports its statistics (0x73-0x75);
// - 0x07 ends the link once the data queued has gone, 0x06 and the
//   configure command 0x50 at once; both modems then hear 0x45 (before the
//   0x68 that answers 0x50). Each gives up a call under way, silently.
// Faults: a modem that answers no call, a busy channel, the link dropping
// after N bytes, a byte arriving changed, a modem whose transmissions never
// arrive.
//
// The core keeps no clock of its own: callers pass the time in
// milliseconds, so tests and the air-time benchmark run on a clock of their
// own and the pseudo-terminal sky on the steady clock.
class TSkyCore {
public:
    struct TOptions {
        int BitRate = 0; // bits per second over the air; 0: unthrottled
        int DelayMs = 0; // from transmission to arrival
        int CallMs = 0;  // from a call to its outcome
        int LinkMs = 0;  // from the called modem's 0x44 to the link (0x41)
        bool HalfDuplex = false;
        int TurnaroundMs = 0; // half duplex: from hearing the other's end to sending
    };
    static constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

    explicit TSkyCore(TOptions options);
    TSkyCore(const TSkyCore&) = delete;
    TSkyCore& operator=(const TSkyCore&) = delete;

    // A modem with its radio (none for "NONE"); gives its index.
    int AddModem(const std::string& radioType = "NONE");
    int ModemCount() const { return static_cast<int>(FModems.size()); }

    // Bytes from station `i` at `nowMs`.
    void Feed(int i, const std::string& bytes, uint64_t nowMs);
    // Carries out everything due at `nowMs`.
    void Advance(uint64_t nowMs);
    // When something is next due; kNever when the sky is quiet.
    uint64_t NextDueMs() const;
    // What station `i` has to read since the last call.
    std::string TakeOutput(int i);
    bool HasOutput() const;

    TModemSimCore& Modem(int i) { return FModems[i]->Core; }
    TSimRadio& Radio(int i) { return *FModems[i]->SimRadio; }
    bool Linked(int i) const { return FModems[i]->Peer >= 0; }
    const std::string& Address(int i) const { return FModems[i]->Id; }
    // Link data bytes that left any modem over a link.
    uint64_t BytesCarried() const { return FCarried; }
    int CallsPlaced() const { return FCalls; }

    // Faults.
    void SetAnswering(int i, bool answering) { FModems[i]->Answering = answering; }
    void SetChannelBusy(bool busy) { FBusy = busy; }
    // The link drops once this many more bytes have crossed it (both ways).
    void DropLinkAfter(uint64_t bytes) { FDropAt = FCarried + bytes; }
    // The byte with this number (from 0, counted over every link) that
    // modem `from` transmits arrives changed.
    void CorruptByte(int from, uint64_t index) { FModems[from]->CorruptAt = index; }
    void SetSilent(int i, bool silent) { FModems[i]->Silent = silent; }

private:
    struct TPending {
        uint64_t DueMs;
        std::string Bytes; // for the station, already framed
    };
    struct TModem {
        std::unique_ptr<TSimRadio> SimRadio;
        TModemSimCore Core;
        std::string Id;
        std::string Code;
        bool Answering = true;
        bool Silent = false;
        int Peer = -1;
        bool Calling = false;
        bool Disconnecting = false;
        std::string Tx;          // waiting to be transmitted
        double NextTxMs = 0;     // when the next byte may leave
        bool HasChannel = false; // half duplex: this end holds the channel
        uint64_t Sent = 0;       // bytes transmitted over links
        uint64_t CorruptAt = std::numeric_limits<uint64_t>::max();
        std::deque<TPending> Arrivals;
        std::string Output;
        explicit TModem(const std::string& radioType);
    };
    struct TCallOutcome {
        uint64_t DueMs;
        int Caller;
        int Callee;             // -1: nobody answers
        uint64_t EndMs;         // the call leaves the air
        bool Answering = false; // the called modem heard it and links at DueMs
    };

    void Command(int i, uint8_t command, const std::vector<uint8_t>& args, std::string& out);
    void Transmit(int i, uint64_t nowMs);
    // Half duplex: modem `i` may transmit now, the channel turned to it if
    // its peer is done; false while the peer keeps it.
    bool TakeChannel(int i);
    // When modem `i` may next send a byte; kNever while it waits for its
    // peer's transmission to end.
    uint64_t TxDueMs(const TModem& m) const;
    void EndLink(int i, bool withReport);
    // Modem `i` stops the call it placed; nobody hears of it.
    void GiveUpCall(int i);
    int FindCallee(int caller, const std::string& id) const;
    // The called radio receives on the calling radio's frequency.
    bool Hears(int callee, int caller) const;
    void Deliver(int i, uint64_t dueMs, std::string bytes);

    TOptions FOptions;
    std::vector<std::unique_ptr<TModem>> FModems;
    std::deque<TCallOutcome> FCallOutcomes;
    uint64_t FNowMs = 0;
    uint64_t FCarried = 0;
    uint64_t FDropAt = std::numeric_limits<uint64_t>::max();
    bool FBusy = false;
    int FCalls = 0;
};

// The sky behind pseudo-terminals: each modem's station opens SlavePath(i)
// as its serial port. A thread carries the sky on the steady clock until
// destruction.
class TSkyPty {
public:
    TSkyPty(TSkyCore::TOptions options, const std::vector<std::string>& radioTypes);
    ~TSkyPty();
    TSkyPty(const TSkyPty&) = delete;
    TSkyPty& operator=(const TSkyPty&) = delete;

    std::string SlavePath(int i) const;
    // The station's serial device goes away (its pseudo-terminal is closed),
    // while the modem and its link go on; ReplugPort brings a new one
    // (SlavePath changes).
    void UnplugPort(int i);
    void ReplugPort(int i);

    // Runs `f` on the sky under its lock.
    template <class F> auto WithSky(F f)
    {
        std::lock_guard lock(FLock);
        return f(FSky);
    }
    // Runs `f` on modem `i` and its radio under the lock.
    template <class F> auto With(int i, F f)
    {
        std::lock_guard lock(FLock);
        return f(FSky.Modem(i), FSky.Radio(i));
    }
    // Writes raw bytes to station `i`.
    void Send(int i, const std::string& bytes);

private:
    struct TPort {
        int Master = -1;
        int Keep = -1;
        std::string SlavePath;
    };
    static TPort OpenPort();
    static void ClosePort(TPort& port);
    void Run();
    uint64_t NowMs() const;
    void Flush();

    std::mutex FLock;
    // Guards FPorts; never held together with FLock.
    mutable std::mutex FPortLock;
    TSkyCore FSky;
    std::vector<TPort> FPorts;
    int FWakeRead = -1;
    int FWakeWrite = -1;
    std::thread FThread;
};

// One modem alone under the sky: every call goes unanswered (after
// `options.CallMs`), and link data is echoed as sent into empty air.
class TModemSimPty {
public:
    explicit TModemSimPty(const std::string& radioType = "NONE", TSkyCore::TOptions options = {})
        : FSky(options, {radioType})
    {
    }

    std::string SlavePath() const { return FSky.SlavePath(0); }
    void UnplugPort() { FSky.UnplugPort(0); }
    void ReplugPort() { FSky.ReplugPort(0); }
    template <class F> auto With(F f) { return FSky.With(0, f); }
    // Runs `f` on the sky (its faults) under the lock.
    template <class F> auto WithSky(F f) { return FSky.WithSky(f); }
    void Send(const std::string& bytes) { FSky.Send(0, bytes); }

private:
    TSkyPty FSky;
};
