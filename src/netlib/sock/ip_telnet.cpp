// The telnet layer of a data socket: escapes outgoing 0xFF, filters commands
// out of received data, answers option negotiation for a fixed set of options
// and the STATUS and TERMINAL-TYPE subnegotiations, and sends the window size
// of its master terminal. It never starts a negotiation of its own.
#include "netlib/sock/ip_sock_control.h"
#include "netlib/sock/ip_socket.h"

#include <cstring>

namespace {

constexpr uint8_t IAC = 0xFF;
constexpr uint8_t DONT = 0xFE;
constexpr uint8_t DO = 0xFD;
constexpr uint8_t WONT = 0xFC;
constexpr uint8_t WILL = 0xFB;
constexpr uint8_t SB = 0xFA;
constexpr uint8_t SE = 0xF0;
constexpr uint8_t kBinary = 0;
constexpr uint8_t kStatus = 5;
constexpr uint8_t kTerminalType = 24;
constexpr uint8_t kNaws = 31;

std::string Doubled(std::string_view s, char c)
{
    std::string out;
    out.reserve(s.size());
    for (char b : s) {
        out += b;
        if (b == c)
            out += b;
    }
    return out;
}

std::string Subnegotiation(uint8_t option, std::string_view body)
{
    return std::string{static_cast<char>(IAC), static_cast<char>(SB), static_cast<char>(option)} +
           std::string(body) + std::string{static_cast<char>(IAC), static_cast<char>(SE)};
}

} // namespace

std::string TIpDataSocket::dsTelnetSnd(std::string_view source)
{
    return Doubled(source, static_cast<char>(IAC));
}

uint32_t TIpDataSocket::dsTelnetRcv(uint8_t* data, uint32_t count)
{
    auto guard = Guard();
    if (count == 0)
        return 0;
    const bool binary = FPeerPerforming[kBinary];
    if (FTelnetCarry.empty() && binary && !std::memchr(data, IAC, count))
        return count;
    FTelnetCarry.append(reinterpret_cast<const char*>(data), count);
    const std::string& buf = FTelnetCarry;
    const size_t n = buf.size();
    auto at = [&](size_t i) { return static_cast<uint8_t>(buf[i]); };
    std::string out;
    size_t i = 0;
    while (i < n) {
        if (FTelnetSkipping) {
            // The rest of an over-long subnegotiation, up to its IAC SE.
            while (i < n && !(at(i) == IAC && i + 1 < n && at(i + 1) == SE))
                i += (at(i) == IAC && i + 1 < n) ? 2 : 1;
            if (i >= n || (at(i) == IAC && i + 1 >= n))
                break;
            i += 2;
            FTelnetSkipping = false;
            continue;
        }
        const uint8_t b = at(i);
        if (b != IAC) {
            // NVT: CR NUL stands for a bare CR.
            if (!binary && b == 0 && FTelnetLastCR) {
                FTelnetLastCR = false;
                ++i;
                continue;
            }
            out += static_cast<char>(b);
            FTelnetLastCR = b == '\r';
            ++i;
            continue;
        }
        if (i + 1 >= n)
            break;
        const uint8_t command = at(i + 1);
        if (command == IAC) {
            out += static_cast<char>(IAC);
            FTelnetLastCR = false;
            i += 2;
            continue;
        }
        if (command == SB) {
            size_t j = i + 2;
            while (j + 1 < n && !(at(j) == IAC && at(j + 1) == SE))
                j += at(j) == IAC ? 2 : 1;
            if (j + 1 < n) {
                if (j - (i + 2) <= MaxSubnegotiation)
                    dsHandleSubnegotiation(std::string_view(buf).substr(i + 2, j - i - 2));
                i = j + 2;
                continue;
            }
            if (n - i > MaxSubnegotiation + 2) {
                FTelnetSkipping = true;
                i += 2;
                continue;
            }
            break;
        }
        if (i + 2 >= n)
            break;
        i += dsHandleTelnet(command, at(i + 2)) ? 3 : 2;
    }
    FTelnetCarry.erase(0, i);
    const auto written = static_cast<uint32_t>(std::min<size_t>(out.size(), count));
    std::memcpy(data, out.data(), written);
    return written;
}

bool TIpDataSocket::dsHandleTelnet(uint8_t command, uint8_t option)
{
    auto guard = Guard();
    if (command < WILL || command > DONT)
        return false;
    if (FLogOptions.Has(loTelnet))
        FOwner->DebugLog().AddDebugEntry(nullptr, FHandle, dtTelnet, deTelnetReceived,
                                         command * 256u + option);
    switch (command) {
    case DO:
        if (FPerforming[option])
            break;
        if (FOffered[option])
            dsEnableTelnetHostOption(option);
        else
            dsSendTelnet(WONT, option);
        break;
    case DONT:
        if (FPerforming[option]) {
            FPerforming[option] = false;
            dsSendTelnet(WONT, option);
        }
        break;
    case WILL:
        if (FPeerPerforming[option])
            break;
        if (FAccepted[option]) {
            FPeerPerforming[option] = true;
            dsSendTelnet(DO, option);
        } else
            dsSendTelnet(DONT, option);
        break;
    case WONT:
        if (FPeerPerforming[option]) {
            FPeerPerforming[option] = false;
            dsSendTelnet(DONT, option);
        }
        break;
    }
    return true;
}

void TIpDataSocket::dsSendTelnet(uint8_t command, uint8_t option)
{
    auto guard = Guard();
    if (!FTelnet)
        return;
    if (FLogOptions.Has(loTelnet))
        FOwner->DebugLog().AddDebugEntry(nullptr, FHandle, dtTelnet, deTelnetSent,
                                         command * 256u + option);
    SendInternal(
        std::string{static_cast<char>(IAC), static_cast<char>(command), static_cast<char>(option)});
}

void TIpDataSocket::dsEnableTelnetHostOption(uint8_t option)
{
    auto guard = Guard();
    FPerforming[option] = true;
    // The peer learns of the option before it gets its first subnegotiation.
    dsSendTelnet(WILL, option);
    if (option == kNaws)
        dsSendTerminalSize();
}

void TIpDataSocket::dsHandleSubnegotiation(std::string_view data)
{
    if (data.size() < 2 || data[1] != 1)
        return;
    if (data[0] == kStatus)
        dsSendTelnetStatus();
    else if (data[0] == kTerminalType)
        dsSendTerminal();
}

void TIpDataSocket::dsSendTelnetStatus()
{
    auto guard = Guard();
    if (!FTelnet || !FPerforming[kStatus])
        return;
    std::string list;
    for (uint8_t o = 0; o < 50; ++o) {
        if (FPerforming[o])
            list += {static_cast<char>(WILL), static_cast<char>(o)};
        if (FPeerPerforming[o])
            list += {static_cast<char>(DO), static_cast<char>(o)};
    }
    list = Doubled(Doubled(list, static_cast<char>(IAC)), static_cast<char>(SB));
    SendInternal(Subnegotiation(kStatus, std::string(1, '\0') + list));
}

void TIpDataSocket::dsSendTerminal()
{
    auto guard = Guard();
    if (!FTelnet || !FPerforming[kTerminalType])
        return;
    const std::string name = FMasterTerminal ? FMasterTerminal->TelnetTermType() : "dumb";
    SendInternal(Subnegotiation(kTerminalType,
                                std::string(1, '\0') + Doubled(name, static_cast<char>(IAC))));
}

void TIpDataSocket::dsSendTerminalSize()
{
    auto guard = Guard();
    if (!FTelnet || !FPerforming[kNaws] || !FMasterTerminal)
        return;
    const std::array<uint8_t, 4> size = FMasterTerminal->TelnetTermSize();
    const std::string bytes(reinterpret_cast<const char*>(size.data()), size.size());
    SendInternal(Subnegotiation(kNaws, Doubled(bytes, static_cast<char>(IAC))));
}
