#include "link/radio/radio_wire.h"

#include <cstdio>
#include <exception>

namespace RadioWire {

std::string EscapeFrame(const std::vector<uint8_t>& frame)
{
    std::string out;
    for (uint8_t b : frame) {
        if (b == 0x00) {
            out += '\x01';
            out += '\xA0';
        } else if (b == 0x01) {
            out += '\x01';
            out += '\xA1';
        } else {
            out += static_cast<char>(b);
        }
    }
    return out;
}

std::string EscapeFrame(std::initializer_list<uint8_t> frame)
{
    return EscapeFrame(std::vector<uint8_t>(frame));
}

namespace {

// Walks a command with its escape state, which starts clear: `plain` gets a
// byte outside an escape, `escaped` the 0x00 or 0x01 that 0x01 0xA0 or
// 0x01 0xA1 stand for, and `pair` the byte c of any other escape 0x01 c.
// A lone 0x01 at the end calls nothing.
template <class Plain, class Escaped, class Pair>
void Walk(const std::string& command, Plain plain, Escaped escaped, Pair pair)
{
    bool escape = false;
    for (char ch : command) {
        const uint8_t b = static_cast<uint8_t>(ch);
        if (escape) {
            escape = false;
            if (b == 0xA0)
                escaped(uint8_t{0x00});
            else if (b == 0xA1)
                escaped(uint8_t{0x01});
            else
                pair(b);
        } else if (b == 0x01) {
            escape = true;
        } else {
            plain(b);
        }
    }
}

void AppendRadioByte(std::vector<uint8_t>& group, uint8_t b)
{
    if (b == 0x80 || b == 0x81)
        group.push_back(0x81);
    group.push_back(b);
}

std::vector<uint8_t> Group(std::initializer_list<uint8_t> radioBytes)
{
    std::vector<uint8_t> g{0x80, kGroupStart};
    for (uint8_t b : radioBytes)
        AppendRadioByte(g, b);
    g.push_back(0x80);
    g.push_back(kGroupEnd);
    return g;
}

struct TGroup {
    std::vector<uint8_t> bytes;
    const char* error;
};

// The command as guarded groups, in sending order.
std::vector<TGroup> Groups(const std::string& command, bool crlf)
{
    std::vector<TGroup> out;
    Walk(
        command,
        [&](uint8_t b) {
            out.push_back({Group({b}), b == 0x80 || b == 0x81
                                           ? "Hardware Communication Error #34"
                                           : "Hardware Communication Error #36"});
        },
        [&](uint8_t b) {
            out.push_back({Group({b}), b == 0x00 ? "Hardware Communication Error #33"
                                                 : "Hardware Communication Error #34"});
        },
        // Both bytes in one group; a 0x80/0x81 still gets its prefix so the
        // modem never reads it as a frame byte.
        [&](uint8_t c) {
            out.push_back({Group({0x01, c}), "Hardware Communication Error #35"});
        });
    if (crlf) {
        std::vector<uint8_t> g = Group({0x0D});
        std::vector<uint8_t> lf = Group({0x0A});
        g.insert(g.end(), lf.begin(), lf.end());
        out.push_back({g, "Hardware Communication Error #37"});
    }
    return out;
}

} // namespace

void SendCommand(const std::string& command, bool crlf, const TPut& put, const TLog& logError)
{
    for (const TGroup& g : Groups(command, crlf)) {
        try {
            for (uint8_t b : g.bytes)
                put(b);
        } catch (const std::exception&) {
            logError(g.error);
        }
    }
}

std::vector<uint8_t> Encode(const std::string& command, bool crlf)
{
    std::vector<uint8_t> out;
    for (const TGroup& g : Groups(command, crlf))
        out.insert(out.end(), g.bytes.begin(), g.bytes.end());
    return out;
}

std::string HexDump(const std::string& command)
{
    std::string out;
    const auto show = [&out](uint8_t b) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "[%02x] ", b);
        out += buf;
    };
    Walk(command, show, show, [](uint8_t) {});
    return out;
}

std::vector<uint8_t> PortSettings(int speed, bool vx1700)
{
    // Appended a byte at a time: GCC 12 at -O3 takes the inserts of lists
    // for copies past the end of the vector.
    std::vector<uint8_t> out{0x80, 0x6D, 0x80, 0xC3, 0x80, 0x69};
    if (speed == 4800 || speed == 9600) {
        out.push_back(0x80);
        out.push_back(speed == 4800 ? 0x03 : 0x04);
    }
    for (uint8_t b : {0x80, 0x6B, 0x80, vx1700 ? 0x01 : 0x00})
        out.push_back(b);
    return out;
}

} // namespace RadioWire
