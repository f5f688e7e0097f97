#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The station-to-station bytes inside the link data (codes and layout in
// modem_frame.h, namespace LinkCode): building them, and splitting the
// peer's stream into item data, rings and messages.
namespace LinkWire {

// Item data as it goes on the link: 0x00 and 0x01 escaped.
std::string EscapeData(std::string_view data);
// A message body: every byte below 0x20 escaped.
std::string EscapeText(std::string_view text);
// The bytes of an escaped message body; false on a broken escape.
bool UnescapeText(std::string_view escaped, std::string& text);

using TFields = std::vector<std::pair<char, std::string>>;
// 0x01, the code, the fields (key "=" escaped value, 0x1F between), 0x02.
std::string Message(uint8_t code, const TFields& fields);
// 0x01 0xB3, the escaped text, 0x02.
std::string Chat(std::string_view text);
// 0x01 0xB4 and the code byte.
std::string Ring(uint8_t code);

// The fields of a message body by key, the last of a key counting; false
// when a field is malformed.
bool ParseFields(std::string_view body, std::map<char, std::string>& fields);

// Splits the peer's in-band stream. Bytes may arrive in any pieces.
class TParser {
public:
    // A run of item data (unescaped).
    std::function<void(std::string_view data)> OnData;
    // A whole message: its code and its body as sent (still escaped). A
    // body longer than the bound is dropped unseen.
    std::function<void(uint8_t code, std::string_view body)> OnMessage;
    std::function<void(uint8_t code)> OnRing;

    void Feed(const char* bytes, size_t n);
    void Reset();
    // Messages dropped for their length.
    int Overlong() const { return FOverlong; }

private:
    enum class TState { Data, Intro, RingCode, RingEscape, Body, Skip };
    void FlushData();
    TState FState = TState::Data;
    uint8_t FCode = 0;
    std::string FData;
    std::string FBody;
    int FOverlong = 0;
};

// CRC-32 (the common polynomial, reflected, as zlib's), continued from `crc`.
uint32_t Crc32(std::string_view data, uint32_t crc = 0);
// `value` as `digits` upper-case hex digits (item IDs, CRCs).
std::string Hex(uint64_t value, int digits);

} // namespace LinkWire
