#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// How radio commands travel. A command is a byte string handed on as a
// zero-terminated text, so 0x01 escapes: 0x01 0xA0 stands for 0x00 and
// 0x01 0xA1 for 0x01. Each radio byte goes to the modem in a group of its
// own, 0x80 0x34, the byte, 0x80 0x33, with 0x81 before a byte 0x80 or 0x81.
namespace RadioWire {

inline constexpr uint8_t kGroupStart = 0x34; // after 0x80
inline constexpr uint8_t kGroupEnd = 0x33;   // after 0x80

// A byte frame as a command string (0x00 and 0x01 escaped).
std::string EscapeFrame(const std::vector<uint8_t>& frame);
std::string EscapeFrame(std::initializer_list<uint8_t> frame);

using TPut = std::function<void(uint8_t)>;
using TLog = std::function<void(const std::string&)>;

// Sends the command as byte groups, then CR LF when `crlf`. Each group is
// sent under its own guard: a failing port logs "Hardware Communication
// Error #nn" and sending goes on with the next byte. A lone 0x01 at the end
// sends nothing.
void SendCommand(const std::string& command, bool crlf, const TPut& put, const TLog& logError);

// The modem bytes SendCommand would write (for tests and the simulators).
std::vector<uint8_t> Encode(const std::string& command, bool crlf);

// "[hh] " per radio byte, lower-case hex; an escape followed by anything
// but 0xA0/0xA1 shows nothing.
std::string HexDump(const std::string& command);

// The modem's radio-port settings for a speed (4800 or 9600; another speed
// leaves its byte out), the last byte 0x01 for the VERTEX VX-1700.
std::vector<uint8_t> PortSettings(int speed, bool vx1700);

} // namespace RadioWire
