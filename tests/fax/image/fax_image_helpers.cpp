#include "fax_image_helpers.h"

#include "fax/fax_convert.h"
#include "fax/fax_unpack.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>

std::string ScriptDir()
{
    const char* dir = std::getenv("SKIPMAIL_SOURCE_DIR");
    return std::string(dir ? dir : ".") + "/tests/fax/image";
}

Picture MakePicture(unsigned width, unsigned height)
{
    Picture p;
    p.Width = width;
    p.Height = height;
    p.Pixels.assign(std::size_t{width} * height, 0);
    return p;
}

Picture TestPattern(unsigned width, unsigned height, unsigned seed)
{
    Picture p = MakePicture(width, height);
    std::mt19937 rng(seed);
    for (unsigned y = 0; y < height; ++y) {
        const unsigned band = y / 16 % 4;
        for (unsigned x = 0; x < width; ++x) {
            uint8_t v = 0;
            if (band == 0)
                v = (x / (1 + y % 7)) % 2; // short runs of every length
            else if (band == 1)
                v = (x + y) % 97 < 40; // long diagonal bars
            else if (band == 2)
                v = rng() % 23 == 0; // specks
            p.At(x, y) = v;
        }
        if (y % 50 == 3) // a full black line and a line black at both ends
            std::fill_n(&p.At(0, y), width, uint8_t{1});
        if (y % 50 == 4) {
            p.At(0, y) = 1;
            p.At(width - 1, y) = 1;
        }
    }
    return p;
}

std::string ToPbm(const Picture& picture)
{
    std::string out =
        "P4\n" + std::to_string(picture.Width) + " " + std::to_string(picture.Height) + "\n";
    for (unsigned y = 0; y < picture.Height; ++y) {
        const auto row = RasterRow(picture, y);
        out.append(row.begin(), row.end());
    }
    return out;
}

Picture FromPbm(const std::string& pbm)
{
    std::istringstream in(pbm);
    std::string magic;
    unsigned w = 0, h = 0;
    in >> magic >> w >> h;
    in.get();
    Picture p = MakePicture(w, h);
    if (magic != "P4") {
        ADD_FAILURE() << "not a raw PBM";
        return p;
    }
    const unsigned bpr = (w + 7) / 8;
    std::string row(bpr, '\0');
    for (unsigned y = 0; y < h; ++y) {
        in.read(row.data(), bpr);
        for (unsigned x = 0; x < w; ++x)
            p.At(x, y) = (static_cast<uint8_t>(row[x / 8]) >> (7 - x % 8)) & 1;
    }
    return p;
}

Picture EachRowTwice(const Picture& picture)
{
    Picture out = MakePicture(picture.Width, picture.Height * 2);
    for (unsigned y = 0; y < out.Height; ++y)
        for (unsigned x = 0; x < picture.Width; ++x)
            out.At(x, y) = picture.At(x, y / 2);
    return out;
}

std::vector<uint8_t> RasterRow(const Picture& picture, unsigned y)
{
    std::vector<uint8_t> row((picture.Width + 7) / 8, 0);
    for (unsigned x = 0; x < picture.Width; ++x)
        if (picture.At(x, y))
            row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
    return row;
}

void WriteApfPages(const std::string& path, const std::vector<std::pair<Picture, uint16_t>>& pages)
{
    std::unique_ptr<TAbsFaxCvt> cvt;
    acInitFaxConverter(cvt, nullptr, nullptr, nullptr, nullptr, "");
    acSetMargins(*cvt, 0, 0);
    TApfWriter w;
    ASSERT_EQ(w.Create(path), 0);
    for (const auto& [pic, flags] : pages) {
        acSetResolutionWidth(*cvt, (flags & ffHighWidth) ? 2 : 1);
        ASSERT_EQ(w.BeginPage(flags | ffLengthWords), 0);
        for (unsigned y = 0; y < pic.Height; ++y) {
            const auto row = RasterRow(pic, y);
            acCompressRasterLine(*cvt, row.data());
            ASSERT_EQ(w.AddLine(cvt->DataLine.data(), cvt->ByteOfs), 0);
        }
        ASSERT_EQ(w.EndPage(), 0);
    }
    ASSERT_EQ(w.Close("ID"), 0);
}

std::string Mutate(std::string f, std::mt19937& rng,
                   const std::function<std::size_t(std::size_t size)>& position)
{
    const unsigned edits = 1 + rng() % 4;
    for (unsigned e = 0; e < edits; ++e) {
        const std::size_t pos = position(f.size());
        switch (rng() % 7) {
        case 0:
            if (pos < f.size())
                f[pos] = static_cast<char>(f[pos] ^ (1 << (rng() % 8)));
            break;
        case 1:
            if (pos < f.size())
                f[pos] = static_cast<char>(rng());
            break;
        case 2:
            f.resize(pos);
            break;
        case 3:
            f.insert(pos, std::string(1 + rng() % 40, static_cast<char>(rng())));
            break;
        case 4:
            f.erase(pos, rng() % 40);
            break;
        case 5: // an offset to elsewhere in the file (little-endian)
            for (std::size_t i = pos, v = rng() % (f.size() + 64); i < std::min(pos + 4, f.size());
                 ++i, v >>= 8)
                f[i] = static_cast<char>(v);
            break;
        default: // a large or odd 16/32-bit value
            for (std::size_t i = pos; i < std::min(pos + 4, f.size()); ++i)
                f[i] = static_cast<char>(rng() % 2 ? 0xFF : rng());
        }
    }
    return f;
}

Picture UnpackedPage(const std::string& apf, unsigned page, uint16_t options)
{
    Picture out;
    std::unique_ptr<TUnpackFax> u;
    upInitFaxUnpacker(u, nullptr,
                      [&](TUnpackFax&, int flags, const uint8_t* data, unsigned len, unsigned) {
                          if (flags == 0) {
                              out.Width = len * 8;
                              out.Pixels.resize(std::size_t{out.Width} * ++out.Height);
                              for (unsigned x = 0; x < out.Width; ++x)
                                  out.At(x, out.Height - 1) = (data[x / 8] >> (7 - x % 8)) & 1;
                          }
                          return 0;
                      });
    u->Flags = options;
    EXPECT_EQ(upUnpackPage(*u, apf, page), 0);
    EXPECT_EQ(u->BadCodes, 0u);
    return out;
}
