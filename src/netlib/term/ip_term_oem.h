#pragma once

#include <QString>
#include <cstdint>
#include <string_view>

// The PC OEM code page (437) that the mapped "Terminal" glyphs are numbered
// in: 0x00-0x1F and 0x7F are its pictures (smileys, arrows, house), not
// control characters.
char16_t IpOemToUnicode(uint8_t glyph);
QString IpOemToQt(std::string_view glyphs);
