#pragma once

#include "netlib/base/ip_base.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// The two logs of a socket control: a debug log that records socket activity
// into a ring buffer in memory and writes it to a text file on request, and
// an event log that appends one time-stamped line per call to a text file.
// Both are off until enabled.
//
// Decisions:
// - An entry's header holds the writer's text function as a whole pointer
//   (8 bytes), then the tick and D1-D4 (4 bytes each): 28 bytes, packed.
//   A data entry's bytes follow the header; its text function gets them as
//   bytes, never as a 4-byte address.
// - A ring of size 0 (or any entry as large as the ring) records nothing.
// - A file that cannot be opened raises std::system_error; the entries not
//   yet written stay in the ring.

class TIpSockControl;

enum TIpWriteMode { wmOverwrite, wmAppend };

// Entry types (D2) the log itself knows; any type with bit 31 set carries data.
inline constexpr uint32_t dtLogEnabled = 1;
inline constexpr uint32_t dtLogDisabled = 2;
inline constexpr uint32_t dtTelnet = 3;
inline constexpr uint32_t dtString = 0x80000000u;
// Telnet entry directions (D3).
inline constexpr uint32_t deTelnetReceived = 1;
inline constexpr uint32_t deTelnetSent = 2;

class TIpBaseLog {
public:
    explicit TIpBaseLog(TIpSockControl* owner) : FOwner(owner) {}
    virtual ~TIpBaseLog() = default;
    TIpBaseLog(const TIpBaseLog&) = delete;
    TIpBaseLog& operator=(const TIpBaseLog&) = delete;

    void LockLog() const { FLock.lock(); }
    void UnlockLog() const { FLock.unlock(); }

    bool Enabled() const;
    virtual void SetEnabled(bool value);
    std::string FileName() const;
    virtual void SetFileName(const std::string& value);
    TIpSockControl* Owner() const { return FOwner; }

protected:
    std::unique_lock<std::recursive_mutex> Guard() const
    {
        return std::unique_lock<std::recursive_mutex>(FLock);
    }

    bool FEnabled = false;
    std::string FFileName;

private:
    mutable std::recursive_mutex FLock;
    TIpSockControl* FOwner;
};

class TIpDebugLog : public TIpBaseLog {
public:
    static constexpr uint32_t HeaderSize = 28;

    explicit TIpDebugLog(TIpSockControl* owner);

    // Adds one entry; nothing while disabled. For a data type (bit 31 set)
    // the d4 bytes at `data` follow the header.
    void AddDebugEntry(TIpLogStringClass s, uint32_t d1, uint32_t d2, uint32_t d3, uint32_t d4,
                       const void* data = nullptr);
    void WriteDebugString(const std::string& s);
    // Writes every entry to the file, oldest first, and empties the ring.
    void DumpLog();
    void ClearBuffer();

    bool BufferEmpty() const;
    uint32_t BufferFree() const;
    uint32_t BufferSize() const;
    // A new size empties the ring; the same size keeps it.
    void SetBufferSize(uint32_t value);
    TIpWriteMode WriteMode() const;
    void SetWriteMode(TIpWriteMode value);

    // Allocates the ring on first enabling; logs the switch either way.
    void SetEnabled(bool value) override;

    // "0012.345 : " for 12345 ms.
    static std::string TimeStamp(uint32_t elapsedMs);

private:
    struct TEntry {
        TIpLogStringClass Class = nullptr;
        uint32_t Tick = 0;
        uint32_t D1 = 0, D2 = 0, D3 = 0, D4 = 0;
        std::string Data;
    };
    void Put(const uint8_t* bytes, uint32_t count);
    void Get(uint8_t* bytes, uint32_t count);
    bool dlPopDebugEntry(TEntry& entry);
    std::string EntryText(const TEntry& entry) const;
    std::string HeaderBlock() const;

    uint32_t FBufferSize = 65536;
    TIpWriteMode FWriteMode = wmOverwrite;
    std::vector<uint8_t> FRing;
    uint32_t FTail = 0;
    uint32_t FHead = 0;
    uint32_t FStartTick;
};

class TIpEventLog : public TIpBaseLog {
public:
    using TIpBaseLog::TIpBaseLog;

    // Appends "<now in DateTimeFormat> <s>" and CR LF; nothing while disabled.
    void WriteEventString(const std::string& s);
    std::string DateTimeFormat() const;
    void SetDateTimeFormat(const std::string& value);

private:
    std::string FDateTimeFormat;
};

// A date-time written by a format of the tokens yyyy, yy, mm (the month, or
// the minutes after hh), dd, hh, nn, ss and zzz; other characters are copied.
std::string IpFormatDateTime(const std::string& format, double value);

// The name of a telnet option (0 to 49) for the log; "[n]" for others.
std::string TelnetOptionName(uint8_t option);
