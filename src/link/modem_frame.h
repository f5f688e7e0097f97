#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The HF modem's serial stream.
// - Command frames: 0x80, the command byte, then each argument byte as the
//   pair 0x80, byte.
// - Message frames: 0x80, the message code, then a payload whose length the
//   code sets (kMessageLengths), each payload byte again as 0x80, byte.
// - Every other byte is link data; 0x81 escapes a literal byte, so link
//   data bytes 0x80 and 0x81 go out as 0x81 0x80 and 0x81 0x81.
namespace ModemFrame {

inline constexpr uint8_t kMarker = 0x80;
inline constexpr uint8_t kDataEscape = 0x81;

// Commands to the modem.
inline constexpr uint8_t kCmdAbort = 0x06;      // hardware abort
inline constexpr uint8_t kCmdDisconnect = 0x07; // end the link
inline constexpr uint8_t kCmdConfigure = 0x50;  // configure; answered by kMsgConfigured
inline constexpr uint8_t kCmdVersions = 0x51;   // report the three versions
// Radio-port byte group: 0x80 0x34, the byte, 0x80 0x33 (radio/radio_wire.h).
inline constexpr uint8_t kCmdRadioStart = 0x34;
inline constexpr uint8_t kCmdRadioEnd = 0x33;

// Messages from the modem.
inline constexpr uint8_t kMsgRadioByte = 0x35;  // one byte from the radio port
inline constexpr uint8_t kMsgConfigured = 0x68; // "Modem configuration successful"
// The modem's own hardware failed; one byte, the modem's error number. The
// station ends after telling the operator.
inline constexpr uint8_t kMsgHardwareError = 0x6F;
inline constexpr uint8_t kMsgTxEcho = 0x6A;     // count, then the bytes transmitted
inline constexpr uint8_t kMsgDspVersion = 0x70; // texts of up to 32 bytes ended by 0x00
inline constexpr uint8_t kMsgCpuVersion = 0x71;
inline constexpr uint8_t kMsgWaveform = 0x72;

enum class TPayloadKind { Fixed, Text, Counted };
struct TPayloadLength {
    TPayloadKind kind;
    int n; // Fixed: the count; Text: the longest text; Counted: unused
};
// Unknown codes carry no payload.
TPayloadLength MessageLength(uint8_t code);

std::vector<uint8_t> Command(uint8_t command, std::initializer_list<uint8_t> args = {});
// Link data as it goes on the stream (0x81 before 0x80 and 0x81).
std::vector<uint8_t> LinkData(const std::string& bytes);

// Splits the modem's stream into messages and link data. A payload byte
// pair may be preceded by link data bytes; they are handed on as data.
class TParser {
public:
    std::function<void(uint8_t code, const std::string& payload)> OnMessage;
    std::function<void(uint8_t b)> OnData;

    void Feed(uint8_t b);
    void Reset();

private:
    void Deliver();
    enum class TState { Data, Escape, Marker, Payload, PayloadByte };
    TState FState = TState::Data;
    bool FInMessage = false;
    uint8_t FCode = 0;
    TPayloadLength FLength{TPayloadKind::Fixed, 0};
    int FCount = -1; // Counted: the count once read
    std::string FPayload;
};

} // namespace ModemFrame
