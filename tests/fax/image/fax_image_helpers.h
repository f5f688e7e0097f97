#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "fax/fax_scratch_helpers.h"
#include "support/shell_command.h"

using FaxTest::ReadFile;
using FaxTest::TScratch;
using FaxTest::WriteFile;

// The shared test script folder (tests/fax/image).
std::string ScriptDir();

// A monochrome picture, one byte per pixel, 1 = black.
struct Picture {
    unsigned Width = 0;
    unsigned Height = 0;
    std::vector<uint8_t> Pixels;
    uint8_t At(unsigned x, unsigned y) const { return Pixels[y * Width + x]; }
    uint8_t& At(unsigned x, unsigned y) { return Pixels[y * Width + x]; }
    bool operator==(const Picture&) const = default;
};

Picture MakePicture(unsigned width, unsigned height);
// Text shapes, stripes and random specks: many run lengths of both colours.
Picture TestPattern(unsigned width, unsigned height, unsigned seed);
// Raw PBM (P4) to and from a picture.
std::string ToPbm(const Picture& picture);
Picture FromPbm(const std::string& pbm);
// Each row twice, as a standard page unpacked with double height.
Picture EachRowTwice(const Picture& picture);
// A raster line (MSB first, 1 = black) of picture row y.
std::vector<uint8_t> RasterRow(const Picture& picture, unsigned y);

// The lines the unpacker outputs for a page, as a picture (options as the
// unpacker's flags); a code error fails the running test.
Picture UnpackedPage(const std::string& apf, unsigned page = 1, uint16_t options = 0);

// A file of pages coded from pictures with no margin (flags: fine, wide).
void WriteApfPages(const std::string& path, const std::vector<std::pair<Picture, uint16_t>>& pages);

// A copy of a file with one to four random edits: a bit flipped, a byte set,
// the file cut, bytes put in or taken out, or four bytes set to a large value
// or to an offset inside the file. `position` picks where each edit goes,
// given the file's size at that moment.
std::string Mutate(std::string file, std::mt19937& rng,
                   const std::function<std::size_t(std::size_t size)>& position);
