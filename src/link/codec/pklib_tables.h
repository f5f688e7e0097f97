// Fixed prefix codes of the implode stream format. Every value is sent from its
// least significant bit upwards.
#pragma once

#include <array>
#include <cstdint>

struct PklibCode {
    std::uint8_t bits;
    std::uint16_t value;
};

struct PklibLengthCode {
    std::uint8_t bits;
    std::uint8_t value;
    std::uint8_t extraBits;
    std::uint16_t base;
};

// Literal codes of the ASCII coding, 4 to 13 bits.
extern const std::array<PklibCode, 256> kPklibAsciiCodes;
// Length codes: length = base + extra value + 2.
extern const std::array<PklibLengthCode, 16> kPklibLengthCodes;
// Codes of the upper six bits of (distance - 1).
extern const std::array<PklibCode, 64> kPklibDistanceCodes;
