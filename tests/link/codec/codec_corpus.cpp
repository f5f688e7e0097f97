#include "codec_corpus.h"

#include <algorithm>
#include <cstdint>
#include <random>

namespace {

std::string RandomBytes(std::size_t n, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(rng());
    return s;
}

std::string Repeat(const std::string& pattern, std::size_t n)
{
    std::string s;
    while (s.size() < n)
        s += pattern;
    s.resize(n);
    return s;
}

// An A4 fax page at 1728 x 1100 pixels, one bit a pixel, black = 1: lines
// of text made of glyphs from a small random font, with white between.
std::string FaxPage(std::uint32_t seed)
{
    constexpr std::size_t kRowBytes = 216, kRows = 1100, kGlyphRows = 16;
    std::mt19937 rng(seed);
    // 40 glyphs, each one byte wide and 16 rows high, mostly white.
    std::vector<std::uint8_t> font(40 * kGlyphRows);
    for (std::uint8_t& b : font)
        b = static_cast<std::uint8_t>(rng() & rng() & rng());
    std::string page(kRowBytes * kRows, '\0');
    for (std::size_t top = 60; top + kGlyphRows < kRows - 60; top += 28) {
        // One line of text: words of glyphs with a blank byte between.
        std::vector<int> line(kRowBytes, -1);
        for (std::size_t x = 12; x < kRowBytes - 12;) {
            const std::size_t word = 2 + rng() % 9;
            for (std::size_t i = 0; i < word && x < kRowBytes - 12; ++i)
                line[x++] = static_cast<int>(rng() % 40);
            ++x;
        }
        for (std::size_t r = 0; r < kGlyphRows; ++r)
            for (std::size_t x = 0; x < kRowBytes; ++x)
                if (line[x] >= 0)
                    page[(top + r) * kRowBytes + x] =
                        static_cast<char>(font[static_cast<std::size_t>(line[x]) * kGlyphRows + r]);
    }
    return page;
}

// A 640 x 400 screen, a byte a pixel: a background, windows of flat colour
// with a border, and lines of "text" in them.
std::string ScreenPicture(std::uint32_t seed)
{
    constexpr std::size_t kWidth = 640, kHeight = 400;
    std::mt19937 rng(seed);
    std::string s(kWidth * kHeight, static_cast<char>(0x1E));
    const auto fill = [&](std::size_t x0, std::size_t y0, std::size_t x1, std::size_t y1,
                          std::uint8_t colour) {
        for (std::size_t y = y0; y < y1; ++y)
            for (std::size_t x = x0; x < x1; ++x)
                s[y * kWidth + x] = static_cast<char>(colour);
    };
    for (int w = 0; w < 6; ++w) {
        const std::size_t x0 = rng() % 400, y0 = rng() % 250;
        const std::size_t x1 = std::min(kWidth, x0 + 120 + rng() % 200);
        const std::size_t y1 = std::min(kHeight, y0 + 60 + rng() % 140);
        fill(x0, y0, x1, y1, 0x07);
        fill(x0 + 2, y0 + 2, x1 - 2, y0 + 16, 0x01);
        fill(x0 + 2, y0 + 18, x1 - 2, y1 - 2, 0xFF);
        for (std::size_t y = y0 + 22; y + 8 < y1 - 2; y += 12)
            for (std::size_t x = x0 + 6; x + 6 < x1 - 4; x += 6)
                if (rng() % 5 != 0)
                    for (std::size_t dy = 0; dy < 8; ++dy)
                        for (std::size_t dx = 0; dx < 5; ++dx)
                            if ((rng() & 3) == 0)
                                s[(y + dy) * kWidth + x + dx] = 0x00;
    }
    return s;
}

} // namespace

namespace CodecCorpus {

std::vector<std::string> Runs()
{
    return {
        std::string(216 * 1100, '\0'),                   // a white fax page
        std::string(65536, '\xFF'),                      // erased flash
        RandomBytes(3000, 1) + std::string(61000, '\0'), // zero padding
        RandomBytes(700, 2) + std::string(20000, ' ') + RandomBytes(700, 3) +
            std::string(20000, '\0'),
    };
}

std::vector<std::string> Patterns()
{
    return {
        Repeat(std::string("\x00\xFF", 2), 65536),
        Repeat("abc", 50000),
        Repeat("\xDE\xAD\xBE\xEF", 65536),
        Repeat("0123456789", 40000),
        Repeat("-=*=-=*=-=*=-\r\n", 30000),
        Repeat("Hello, this line repeats.\r\n\r\n", 60000),
    };
}

std::vector<std::string> Bitmaps()
{
    return {FaxPage(7), ScreenPicture(8), FaxPage(9)};
}

std::vector<std::string> Random()
{
    return {RandomBytes(65536, 11), RandomBytes(16384, 12), RandomBytes(100000, 13),
            RandomBytes(4096, 14)};
}

std::vector<Kind> All()
{
    return {
        {"runs", Runs()}, {"patterns", Patterns()}, {"bitmaps", Bitmaps()}, {"random", Random()}};
}

} // namespace CodecCorpus
