// Damaged APF files: every outcome of the reader and the unpacker is a
// result code, and nothing outside their buffers is touched (this file also
// runs in a build with AddressSanitizer).
#include "fax/apf_file.h"
#include "fax/fax_convert.h"
#include "fax/fax_unpack.h"
#include "fax_image_helpers.h"

#include <gtest/gtest.h>

#include <random>

namespace {

// Two files to damage: pages of line records from the coder, and raw pages
// as the receive engine stores them.
std::vector<std::string> Seeds(const TScratch& dir)
{
    std::vector<std::string> seeds;
    for (bool raw : {false, true}) {
        std::unique_ptr<TAbsFaxCvt> cvt;
        acInitFaxConverter(cvt, nullptr, nullptr, nullptr, nullptr, "");
        TApfWriter w;
        const std::string path = dir.Path("seed.apf");
        EXPECT_EQ(w.Create(path), 0);
        for (unsigned page = 0; page < 2; ++page) {
            const Picture pic = TestPattern(page ? kWideWidth : kStandardWidth, 24, page);
            acSetResolutionWidth(*cvt, page ? 2 : 1);
            EXPECT_EQ(w.BeginPage(static_cast<uint16_t>((raw ? 0 : ffLengthWords) |
                                                        (page ? ffHighWidth : ffHighRes))),
                      0);
            for (unsigned y = 0; y < pic.Height; ++y) {
                const auto row = RasterRow(pic, y);
                acCompressRasterLine(*cvt, row.data());
                if (raw)
                    w.AddData(cvt->DataLine.data(), cvt->ByteOfs);
                else
                    w.AddLine(cvt->DataLine.data(), cvt->ByteOfs);
            }
            if (raw)
                w.AddData(kApfPageEnd.data(), kApfPageEnd.size());
            EXPECT_EQ(w.EndPage(), 0);
        }
        EXPECT_EQ(w.Close("SEED"), 0);
        seeds.push_back(ReadFile(path));
    }
    return seeds;
}

// Header and page-header fields are hit more often than code bytes.
std::size_t Position(std::mt19937& rng, std::size_t size)
{
    const std::size_t range = rng() % 3 == 0 ? std::min<std::size_t>(size, 100) : size;
    return range == 0 ? 0 : rng() % range;
}

TEST(ApfMutation, DamagedFilesGiveResultCodes)
{
    TScratch dir;
    const std::string path = dir.Path("damaged.apf");
    const auto seeds = Seeds(dir);
    std::mt19937 rng(20240307);
    std::unique_ptr<TUnpackFax> u;
    upInitFaxUnpacker(u, nullptr, [](TUnpackFax&, int, const uint8_t* d, unsigned len, unsigned) {
        unsigned sum = 0;
        for (unsigned i = 0; i < len; ++i)
            sum += d[i]; // every byte handed out must be readable
        return sum == 0xFFFFFFFF ? -1 : 0;
    });
    for (int round = 0; round < 600; ++round) {
        WriteFile(path, Mutate(seeds[static_cast<std::size_t>(round) % 2], rng,
                               [&](std::size_t size) { return Position(rng, size); }));
        u->Flags = 0;
        upOptionsOn(*u, static_cast<uint16_t>(rng() % 3 * 2)); // none, double height, half width
        upSetWhitespaceCompression(*u, round % 5 == 0 ? 3 : 0, round % 5 == 0 ? 1 : 0);
        TFaxHeaderRec h;
        if (ApfReadHeader(path, h) != 0)
            continue;
        for (unsigned page = 1; page <= std::min<unsigned>(h.PageCount, 3); ++page) {
            const int rc = upUnpackPage(*u, path, page);
            ASSERT_LE(rc, 0);
            TMemoryBitmapDesc d;
            if (upUnpackPageToBitmap(*u, path, page, d, round % 2 == 0) == 0 &&
                !d.Bitmap.isNull()) {
                ASSERT_LE(d.Width, kUnpackLineBytes * 8);
                ASSERT_EQ(d.Height, static_cast<unsigned>(d.Bitmap.height()));
            }
        }
        TUnpackBuffer b;
        ASSERT_LE(upUnpackFileToBuffer(*u, path, b), 0);
    }
}

} // namespace
