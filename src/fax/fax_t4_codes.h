#pragma once

#include <array>
#include <cstdint>
#include <span>

// The T.4 one-dimensional (Modified Huffman) code words: terminating codes
// for runs 0-63 and make-up codes for multiples of 64 of each colour, the
// extended make-up codes 1792-2560 shared by both colours, and the EOL.
// Bits are given in transmission order, first bit leftmost.
struct TT4Code {
    uint16_t Run;
    const char* Bits;
};

namespace T4 {

// The longest run one make-up code covers.
inline constexpr unsigned kMaxMakeUp = 2560;

std::span<const TT4Code> WhiteCodes();
std::span<const TT4Code> BlackCodes();
// Used by both colours.
std::span<const TT4Code> ExtendedMakeUpCodes();
inline constexpr const char* kEol = "000000000001";

// A code prepared for LSB-first output: bit 0 of Value is the code's first
// bit in time.
struct TPackedCode {
    uint32_t Value = 0;
    uint8_t Length = 0;
};
// Terminating (0-63) and make-up (run / 64, 1-40) codes of one colour.
struct TPackedTable {
    std::array<TPackedCode, 64> Terminating{};
    std::array<TPackedCode, 41> MakeUp{};
};
const TPackedTable& PackedWhite();
const TPackedTable& PackedBlack();

} // namespace T4
