#pragma once

#include <array>
#include <cstdint>

// The built-in fax font: the small font (256 glyphs of 8 rows of 2 bytes,
// 12 pixels wide) at offset 0 and the standard font (256 glyphs of 16 rows
// of 3 bytes, 20 pixels wide) at offset 4096. Rows are most significant bit
// first, 1 = black; glyphs are indexed by Windows-1252 code.
inline constexpr std::size_t kFaxFontSize = 16384;
inline constexpr std::size_t kFaxStandardFontOffset = 4096;
extern const std::array<uint8_t, kFaxFontSize> kFaxFontResource;
