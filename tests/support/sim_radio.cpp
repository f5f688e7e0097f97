#include "support/sim_radio.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

TSimRadio::TSimRadio(std::string type) : FType(std::move(type)) {}

namespace {
bool Starts(const std::string& s, const char* p)
{
    return s.rfind(p, 0) == 0;
}

// "14.313250" (MHz) in Hz.
uint64_t MhzToHz(const std::string& text)
{
    return static_cast<uint64_t>(std::llround(std::atof(text.c_str()) * 1e6));
}
} // namespace

std::string TSimRadio::Kenwood(const std::string& part)
{
    char buf[64];
    const bool tk90 = FType == "KENWOOD TK-90";
    const char end = tk90 ? '\r' : ';';
    if (part == "MC") {
        std::snprintf(buf, sizeof buf, "MC%03d%c", FChannel, end);
        return buf;
    }
    if (part == "IF")
        return "IF" + FFreqHz + std::string(1, end);
    if (Starts(part, "MC") && part.size() == 5)
        FChannel = std::atoi(part.c_str() + 2);
    else if (Starts(part, "FA") && part.size() == 13) {
        FFreqHz = part.substr(2);
        FRxHz = FTxHz = std::strtoull(FFreqHz.c_str(), nullptr, 10);
    } else if (part == "MD1")
        FMode = "LSB";
    else if (part == "MD2")
        FMode = "USB";
    return std::string();
}

std::string TSimRadio::Feed(uint8_t b)
{
    FBuf += static_cast<char>(b);
    std::string answer;
    if (Starts(FType, "ICOM M") || FType == "ICOM IC-F7000") {
        if (b != '\n')
            return std::string();
        std::string line = FBuf.substr(0, FBuf.size() >= 2 ? FBuf.size() - 2 : 0);
        FBuf.clear();
        FCommands.push_back(line);
        if (Starts(line, "$PICOA,90,") && line.size() > 13) {
            answer = "$PICOA," + line.substr(10, 2) + ",90," + line.substr(13) + "\r\n";
            const std::string what = line.substr(13);
            if (Starts(what, "RXF,"))
                FRxHz = MhzToHz(what.substr(4));
            else if (Starts(what, "TXF,"))
                FTxHz = MhzToHz(what.substr(4));
        }
    } else if (FType == "ICOM IC-718" || FType == "ICOM IC-78") {
        if (b != 0xFD)
            return std::string();
        const uint8_t addr = FType == "ICOM IC-78" ? 0x62 : 0x5E;
        std::string frame = FBuf;
        FBuf.clear();
        FCommands.push_back(frame);
        const bool mine = frame.size() >= 6 && static_cast<uint8_t>(frame[0]) == 0xFE &&
                          static_cast<uint8_t>(frame[1]) == 0xFE &&
                          static_cast<uint8_t>(frame[2]) == addr &&
                          static_cast<uint8_t>(frame[3]) == 0xE0;
        if (mine && static_cast<uint8_t>(frame[4]) == 0x05 && frame.size() == 11) {
            std::string hz;
            for (int i = 9; i >= 5; --i) {
                char two[3];
                std::snprintf(two, sizeof two, "%02x", static_cast<uint8_t>(frame[i]));
                hz += two;
            }
            FFreqHz = "0" + hz;
            FRxHz = FTxHz = std::strtoull(hz.c_str(), nullptr, 10);
        } else if (mine && static_cast<uint8_t>(frame[4]) == 0x06 && frame.size() == 8) {
            FMode = frame[5] == 1 ? "USB" : "LSB";
        }
        const bool ok = mine && (static_cast<uint8_t>(frame[4]) == 0x05 ||
                                 static_cast<uint8_t>(frame[4]) == 0x06);
        answer = {'\xFE', '\xFE', '\xE0', static_cast<char>(addr), ok ? '\xFB' : '\xFA', '\xFD'};
    } else if (Starts(FType, "BARRETT")) {
        if (b != '\n')
            return std::string();
        std::string line = FBuf.substr(0, FBuf.size() >= 2 ? FBuf.size() - 2 : 0);
        FBuf.clear();
        FCommands.push_back(line);
        if (Starts(line, "XC"))
            FChannel = std::atoi(line.c_str() + 2);
        answer = "OK\r\n\x11";
    } else if (Starts(FType, "KENWOOD")) {
        const char end = FType == "KENWOOD TK-90" ? '\r' : ';';
        if (b == '\r' && end != '\r') {
            FBuf.pop_back();
            return std::string();
        }
        if (b == '\n') {
            FBuf.pop_back();
            return std::string();
        }
        if (b != static_cast<uint8_t>(end))
            return std::string();
        std::string part = FBuf.substr(0, FBuf.size() - 1);
        FBuf.clear();
        FCommands.push_back(part);
        answer = Kenwood(part);
    } else if (FType == "VERTEX VX-1700") {
        if (FBuf.size() < 5)
            return std::string();
        std::string frame = FBuf;
        FBuf.clear();
        FCommands.push_back(frame);
        const uint8_t op = static_cast<uint8_t>(frame[4]);
        const bool known = op == 0x0A || op == 0x8A || op == 0x0C;
        answer = std::string(1, known ? '\x00' : '\xFF');
    } else {
        FBuf.clear();
    }
    return FSilent ? std::string() : answer;
}
