#include "netlib/sock/ip_log.h"

#include "netlib/base/ip_winsock.h"
#include "platform/clock.h"
#include "platform/date_time.h"

#include <sys/stat.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>

namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char buf[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

const char* const kTelnetOptions[50] = {"transmit binary",
                                        "echo",
                                        "reconnect",
                                        "suppress go-ahead",
                                        "approx msg size",
                                        "status",
                                        "timing mark",
                                        "remote trans & echo",
                                        "output line width",
                                        "output page size",
                                        "output C/R disp",
                                        "output horz tabs",
                                        "output horz tab disp",
                                        "output FF disp",
                                        "output vert tabs",
                                        "output vert tab disp",
                                        "output linefeed disp",
                                        "extended ASCII",
                                        "logout",
                                        "byte macro",
                                        "data entry terminal subcommands",
                                        "SUPDUP",
                                        "SUPDUP output",
                                        "send location",
                                        "terminal type",
                                        "end of record",
                                        "TACACS user ID",
                                        "output marking",
                                        "terminal loc num",
                                        "Telnet3270 Regime",
                                        "X.3-Pad operations",
                                        "negotiate about window size",
                                        "terminal speed",
                                        "toggle flow control",
                                        "line mode",
                                        "X display location",
                                        "environment variables",
                                        "authentication",
                                        "encryption option",
                                        "new environment variables",
                                        "TN3270E",
                                        "XAUTH",
                                        "character set",
                                        "telnet remote serial port (RSP)",
                                        "com port control option",
                                        "telnet suppress local echo",
                                        "telnet start TLS",
                                        "KERMIT",
                                        "SEND-URL",
                                        "FORWARD_X"};

bool FileExists(const std::string& name)
{
    struct stat st;
    return ::stat(name.c_str(), &st) == 0;
}

// Opens the log file as the logs do: appending to an existing file unless it
// is to be emptied, creating a missing one.
std::ofstream OpenLogFile(const std::string& name, bool truncate)
{
    std::ofstream file(name, std::ios::binary | (truncate ? std::ios::trunc : std::ios::app));
    if (!file)
        throw std::system_error(errno ? errno : EACCES, std::generic_category(),
                                "Cannot open file \"" + name + "\"");
    return file;
}

} // namespace

std::string TelnetOptionName(uint8_t option)
{
    return option < 50 ? kTelnetOptions[option] : Format("[%d]", option);
}

std::string IpFormatDateTime(const std::string& format, double value)
{
    int year, month, day, hour, minute, second, msec;
    DecodeDate(value, year, month, day);
    DecodeTime(value, hour, minute, second, msec);
    std::string out;
    char last = 0; // the previous token, so "mm" after "hh" reads as minutes
    for (size_t i = 0; i < format.size();) {
        const char c = static_cast<char>(format[i] | 0x20);
        size_t n = 0;
        while (c >= 'a' && c <= 'z' && i + n < format.size() && (format[i + n] | 0x20) == c)
            ++n;
        if (c == 'y' && n >= 4)
            out += Format("%04d", year);
        else if (c == 'y' && n >= 2)
            out += Format("%02d", year % 100);
        else if (c == 'm' && n >= 2 && last != 'h')
            out += Format("%02d", month);
        else if ((c == 'm' || c == 'n') && n >= 2)
            out += Format("%02d", minute);
        else if (c == 'd' && n >= 2)
            out += Format("%02d", day);
        else if (c == 'h' && n >= 2)
            out += Format("%02d", hour);
        else if (c == 's' && n >= 2)
            out += Format("%02d", second);
        else if (c == 'z' && n >= 3)
            out += Format("%03d", msec);
        else {
            out += format[i++];
            continue;
        }
        last = c;
        i += n;
    }
    return out;
}

// ---- Base ------------------------------------------------------------------

bool TIpBaseLog::Enabled() const
{
    auto guard = Guard();
    return FEnabled;
}

void TIpBaseLog::SetEnabled(bool value)
{
    auto guard = Guard();
    FEnabled = value;
}

std::string TIpBaseLog::FileName() const
{
    auto guard = Guard();
    return FFileName;
}

void TIpBaseLog::SetFileName(const std::string& value)
{
    auto guard = Guard();
    FFileName = value;
}

// ---- Debug log -------------------------------------------------------------

TIpDebugLog::TIpDebugLog(TIpSockControl* owner) : TIpBaseLog(owner), FStartTick(Clock::TickCount())
{
    FFileName = "debug.log";
}

void TIpDebugLog::SetEnabled(bool value)
{
    auto guard = Guard();
    if (value == FEnabled)
        return;
    if (value) {
        if (FRing.size() != FBufferSize)
            FRing.assign(FBufferSize, 0);
        FEnabled = true;
        AddDebugEntry(nullptr, 0, dtLogEnabled, 0, 0);
    } else {
        AddDebugEntry(nullptr, 0, dtLogDisabled, 0, 0);
        FEnabled = false;
    }
}

uint32_t TIpDebugLog::BufferFree() const
{
    auto guard = Guard();
    if (FBufferSize == 0)
        return 0;
    if (FHead >= FTail)
        return FBufferSize - (FHead - FTail) - 1;
    return FTail - FHead - 1;
}

bool TIpDebugLog::BufferEmpty() const
{
    auto guard = Guard();
    return FTail == FHead;
}

uint32_t TIpDebugLog::BufferSize() const
{
    auto guard = Guard();
    return FBufferSize;
}

void TIpDebugLog::SetBufferSize(uint32_t value)
{
    auto guard = Guard();
    if (value == FBufferSize)
        return;
    FBufferSize = value;
    if (!FRing.empty() || FEnabled)
        FRing.assign(value, 0);
    FTail = FHead = 0;
}

TIpWriteMode TIpDebugLog::WriteMode() const
{
    auto guard = Guard();
    return FWriteMode;
}

void TIpDebugLog::SetWriteMode(TIpWriteMode value)
{
    auto guard = Guard();
    FWriteMode = value;
}

void TIpDebugLog::ClearBuffer()
{
    auto guard = Guard();
    FTail = FHead = 0;
}

void TIpDebugLog::Put(const uint8_t* bytes, uint32_t count)
{
    // Wraps at the end of the ring.
    const uint32_t first = std::min(count, FBufferSize - FHead);
    std::memcpy(FRing.data() + FHead, bytes, first);
    std::memcpy(FRing.data(), bytes + first, count - first);
    FHead = (FHead + count) % FBufferSize;
}

void TIpDebugLog::Get(uint8_t* bytes, uint32_t count)
{
    const uint32_t first = std::min(count, FBufferSize - FTail);
    std::memcpy(bytes, FRing.data() + FTail, first);
    std::memcpy(bytes + first, FRing.data(), count - first);
    FTail = (FTail + count) % FBufferSize;
}

void TIpDebugLog::AddDebugEntry(TIpLogStringClass s, uint32_t d1, uint32_t d2, uint32_t d3,
                                uint32_t d4, const void* data)
{
    auto guard = Guard();
    if (!FEnabled)
        return;
    const bool hasData = (d2 & 0x80000000u) != 0;
    const uint64_t size = HeaderSize + (hasData ? uint64_t{d4} : 0);
    if (size >= FBufferSize || FRing.size() != FBufferSize)
        return;
    while (BufferFree() < size) {
        TEntry dropped;
        if (!dlPopDebugEntry(dropped))
            break;
    }
    uint8_t header[HeaderSize];
    const uint32_t fields[5] = {Clock::TickCount(), d1, d2, hasData ? 0 : d3, d4};
    std::memcpy(header, &s, sizeof s);
    std::memcpy(header + sizeof s, fields, sizeof fields);
    static_assert(sizeof(TIpLogStringClass) + sizeof(uint32_t) * 5 == HeaderSize);
    Put(header, HeaderSize);
    if (hasData && d4)
        Put(static_cast<const uint8_t*>(data), d4);
}

void TIpDebugLog::WriteDebugString(const std::string& s)
{
    AddDebugEntry(nullptr, 0xFFFFFFFFu, dtString, 0, static_cast<uint32_t>(s.size()), s.data());
}

bool TIpDebugLog::dlPopDebugEntry(TEntry& entry)
{
    auto guard = Guard();
    if (FTail == FHead)
        return false;
    uint8_t header[HeaderSize];
    Get(header, HeaderSize);
    uint32_t fields[5];
    std::memcpy(&entry.Class, header, sizeof entry.Class);
    std::memcpy(fields, header + sizeof entry.Class, sizeof fields);
    entry.Tick = fields[0];
    entry.D1 = fields[1];
    entry.D2 = fields[2];
    entry.D3 = fields[3];
    entry.D4 = fields[4];
    entry.Data.clear();
    if (entry.D2 & 0x80000000u) {
        entry.Data.resize(entry.D4);
        Get(reinterpret_cast<uint8_t*>(entry.Data.data()), entry.D4);
    }
    return true;
}

std::string TIpDebugLog::TimeStamp(uint32_t elapsedMs)
{
    std::string digits = Format("%07u", elapsedMs);
    digits.insert(digits.size() - 3, ".");
    return digits + " : ";
}

std::string TIpDebugLog::EntryText(const TEntry& e) const
{
    if (e.Class)
        return e.Class(e.D1, e.D2, e.D3, e.D4, e.Data);
    switch (e.D2) {
    case dtString:
        return e.Data;
    case dtLogEnabled:
        return "**** Logging Enabled\r\n";
    case dtLogDisabled:
        return "**** Logging Disabled\r\n";
    case dtTelnet: {
        const std::string direction = e.D3 == deTelnetReceived ? "received."
                                      : e.D3 == deTelnetSent   ? "sent."
                                                               : Format("[%8.8x]", e.D3);
        const uint8_t command = static_cast<uint8_t>(e.D4 >> 8);
        const char* const kCommands[] = {"WILL", "WON'T", "DO", "DON'T"};
        const std::string commandText =
            command >= 251 && command <= 254 ? kCommands[command - 251] : Format("[%d]", command);
        return Format("[%d] Telnet %s %s %s", static_cast<int>(e.D1), direction.c_str(),
                      commandText.c_str(), TelnetOptionName(static_cast<uint8_t>(e.D4)).c_str());
    }
    default:
        return Format("!!!! Unknown log entry : [%d][%8.8x][%8.8x][%8.8x]\r\n",
                      static_cast<int>(e.D1), e.D2, e.D3, e.D4);
    }
}

std::string TIpDebugLog::HeaderBlock() const
{
    utsname name{};
    ::uname(&name);
    int major = 0, minor = 0;
    std::sscanf(name.release, "%d.%d", &major, &minor);
    std::string description, status;
    uint16_t version = 0;
    if (TIpWinSockAccess* ws = IpWinSockAccess()) {
        description = ws->WsaData().szDescription;
        status = ws->WsaData().szSystemStatus;
        version = ws->WsaData().wVersion;
    }
    std::string out = "SkipMail internet library " + IpShortVersion() + " compiled with " +
                      "GCC " __VERSION__ "\r\n";
    out += Format("Operating System : %s %d.%d %s\r\n", name.sysname, major, minor, name.version);
    out += "Description : " + description + "\r\n";
    out += Format("Negotiated Version : $%4.4x\r\n", version);
    out += "System Status : " + status + "\r\n";
    out += std::string(77, '=') + "\r\n\r\n";
    return out;
}

void TIpDebugLog::DumpLog()
{
    auto guard = Guard();
    const bool exists = FileExists(FFileName);
    std::ofstream file = OpenLogFile(FFileName, !exists || FWriteMode == wmOverwrite);
    file.seekp(0, std::ios::end);
    if (file.tellp() == std::streampos(0))
        file << HeaderBlock();
    TEntry entry;
    while (dlPopDebugEntry(entry))
        file << TimeStamp(entry.Tick - FStartTick) << EntryText(entry) << "\r\n";
    file.close();
}

// ---- Event log -------------------------------------------------------------

void TIpEventLog::WriteEventString(const std::string& s)
{
    auto guard = Guard();
    if (!FEnabled)
        return;
    std::ofstream file = OpenLogFile(FFileName, false);
    file << IpFormatDateTime(FDateTimeFormat, Now()) << ' ' << s << "\r\n";
}

std::string TIpEventLog::DateTimeFormat() const
{
    auto guard = Guard();
    return FDateTimeFormat;
}

void TIpEventLog::SetDateTimeFormat(const std::string& value)
{
    auto guard = Guard();
    FDateTimeFormat = value;
}
