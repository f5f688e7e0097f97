#include "fax/fax_bitmap_input.h"
#include "fax/fax_convert.h"
#include "fax/fax_text_input.h"
#include "fax/fax_unpack.h"
#include "fax_image_helpers.h"
#include "serial/ad_except.h"

#include <gtest/gtest.h>

#include <QImage>
#include <cstring>
#include <filesystem>

namespace {

struct TextOptions {
    bool Fine = false;
    unsigned LinesPerPage = 0;
    unsigned TopMargin = 0;
};

int ConvertText(const std::string& text, const std::string& apf, const TScratch& dir,
                TextOptions o = {})
{
    WriteFile(dir.Path("doc.txt"), text);
    std::unique_ptr<TAbsFaxCvt> cvt;
    fcInitTextConverter(cvt);
    acSetResolutionMode(*cvt, o.Fine);
    acSetMargins(*cvt, 50, o.TopMargin);
    fcSetLinesPerPage(*cvt, o.LinesPerPage);
    fcLoadFont(*cvt, "APFAX.FNT", kStandardFontCode, o.Fine);
    const int rc = acConvertToFile(*cvt, dir.Path("doc.txt"), apf);
    fcDoneTextConverter(cvt);
    return rc;
}

unsigned Pages(const std::string& apf)
{
    TFaxHeaderRec h;
    EXPECT_EQ(ApfReadHeader(apf, h), 0);
    return h.PageCount;
}

unsigned LineRecords(const std::string& apf, unsigned page)
{
    TApfReader r;
    TPageHeaderRec p;
    EXPECT_EQ(r.Open(apf), 0);
    EXPECT_EQ(r.SeekPage(page, p), 0);
    unsigned n = 0;
    std::vector<uint8_t> chunk;
    while (r.ReadChunk(chunk) == 0 && !chunk.empty())
        ++n;
    return n - 1; // the page-end record
}

// Character cells with ink in each 16-row text band, 20 pixels a cell from
// the 50-pixel margin.
std::vector<unsigned> InkedCells(const Picture& p)
{
    std::vector<unsigned> perLine;
    for (unsigned band = 0; band + 16 <= p.Height; band += 16) {
        unsigned cells = 0;
        for (unsigned c = 0; 50 + 20 * c < p.Width; ++c) {
            bool ink = false;
            for (unsigned y = band; y < band + 16 && !ink; ++y)
                for (unsigned x = 50 + 20 * c; x < std::min(70 + 20 * c, p.Width) && !ink; ++x)
                    ink = p.At(x, y);
            cells += ink;
        }
        perLine.push_back(cells);
    }
    return perLine;
}

TEST(TextConversion, EveryLineEndAndEmptyDocument)
{
    TScratch dir;
    const std::string apf = dir.Path("out.apf");
    ASSERT_EQ(ConvertText("", apf, dir), 0);
    EXPECT_EQ(Pages(apf), 1u);
    EXPECT_EQ(LineRecords(apf, 1), 1u); // one white line

    // CR, LF, CR LF and a last line without an end: four text lines.
    ASSERT_EQ(ConvertText("ab\ncd\ref\r\ngh", apf, dir), 0);
    EXPECT_EQ(Pages(apf), 1u);
    EXPECT_EQ(LineRecords(apf, 1), 4u * 16);
    EXPECT_EQ(InkedCells(UnpackedPage(apf, 1)), (std::vector<unsigned>{2, 2, 2, 2}));

    // Fine resolution doubles every glyph row; the top margin adds blank lines.
    ASSERT_EQ(ConvertText("ab\ncd\n", apf, dir, {.Fine = true, .TopMargin = 5}), 0);
    EXPECT_EQ(LineRecords(apf, 1), 5u + 2 * 32);
}

TEST(TextConversion, LongLinesWrapWithoutLosingText)
{
    TScratch dir;
    const std::string apf = dir.Path("out.apf");
    std::string words;
    for (int i = 0; i < 30; ++i)
        words += "abcdefghi ";
    ASSERT_EQ(ConvertText(std::string(200, 'x') + "\n" + words + "\n\tX\n", apf, dir), 0);
    const auto cells = InkedCells(UnpackedPage(apf, 1));
    unsigned xs = 0, letters = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_LE(cells[i], 84u);
        xs += cells[i];
    }
    EXPECT_EQ(xs, 200u);
    for (std::size_t i = 3; i + 1 < cells.size(); ++i) {
        EXPECT_EQ(cells[i] % 9, 0u) << "a word was split";
        letters += cells[i];
    }
    EXPECT_EQ(letters, 270u);
    // The tab puts X in column 4 of the last line.
    const Picture p = UnpackedPage(apf, 1);
    const unsigned last = p.Height - 16;
    bool ink = false;
    for (unsigned y = last; y < p.Height; ++y)
        for (unsigned x = 50 + 80; x < 50 + 100; ++x)
            ink |= p.At(x, y) != 0;
    EXPECT_TRUE(ink);
    EXPECT_EQ(cells.back(), 1u);
}

TEST(TextConversion, PageBreaks)
{
    TScratch dir;
    const std::string apf = dir.Path("out.apf");
    std::string lines;
    for (int i = 1; i <= 61; ++i)
        lines += "line " + std::to_string(i) + "\r\n";
    ASSERT_EQ(ConvertText(lines, apf, dir, {.LinesPerPage = 60}), 0);
    ASSERT_EQ(Pages(apf), 2u);
    EXPECT_EQ(LineRecords(apf, 1), 60u * 16);
    EXPECT_EQ(InkedCells(UnpackedPage(apf, 2)), (std::vector<unsigned>{6})); // "line 61"

    // A form feed starts the next page with the text after it.
    ASSERT_EQ(ConvertText("one\ftwo\nthree\f", apf, dir), 0);
    ASSERT_EQ(Pages(apf), 2u);
    EXPECT_EQ(InkedCells(UnpackedPage(apf, 1)), (std::vector<unsigned>{3}));
    EXPECT_EQ(InkedCells(UnpackedPage(apf, 2)), (std::vector<unsigned>{3, 5}));
}

TEST(TextConversion, FailuresLeaveNoFile)
{
    TScratch dir;
    const std::string apf = dir.Path("out.apf");
    std::unique_ptr<TAbsFaxCvt> cvt;
    fcInitTextConverter(cvt);
    fcLoadFont(*cvt, "", kSmallFontCode, false);
    EXPECT_EQ(acConvertToFile(*cvt, dir.Path("missing.txt"), apf), AdErr::ecFileNotFound);
    WriteFile(dir.Path("doc.txt"), std::string(5000, 'a'));
    int calls = 0;
    acSetStatusCallback(*cvt,
                        [&](TAbsFaxCvt&, int flag, void*) { return flag == 0 && ++calls == 20; });
    EXPECT_EQ(acConvertToFile(*cvt, dir.Path("doc.txt"), apf), AdErr::ecConvertAbort);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Dir()), {}), 1);
    // The output name follows the input when none is given.
    acSetStatusCallback(*cvt, nullptr);
    EXPECT_EQ(acConvertToFile(*cvt, dir.Path("doc.txt"), ""), 0);
    EXPECT_TRUE(std::filesystem::exists(dir.Path("doc.APF")));
    EXPECT_EQ(acConvertToFile(*cvt, dir.Path("doc.txt"), dir.Path("named")), 0);
    EXPECT_TRUE(std::filesystem::exists(dir.Path("named.APF")));
}

TEST(LineCoder, WhiteLinesAndHeaderRows)
{
    std::unique_ptr<TAbsFaxCvt> cvt;
    fcInitTextConverter(cvt);
    std::array<uint8_t, 256> white{};
    for (unsigned margin : {0u, 50u}) {
        acSetMargins(*cvt, margin, 0);
        acCompressRasterLine(*cvt, white.data());
        EXPECT_EQ(std::vector<uint8_t>(cvt->DataLine.begin(), cvt->DataLine.begin() + cvt->ByteOfs),
                  std::vector<uint8_t>(kApfBlankLine.begin(), kApfBlankLine.end()));
    }
    // A header row as the transmit engine draws it: the text's glyph row.
    fcLoadFont(*cvt, "", kSmallFontCode, false);
    std::array<uint8_t, kFaxLineBufSize> raster{};
    EXPECT_EQ(fcRasterizeText(*cvt, "HI", 2, raster.data()), 3); // 24 pixels
    EXPECT_NE(raster[0], 0);
    int len = 0;
    uint8_t end[12];
    acMakeEndOfPage(*cvt, end, len);
    EXPECT_EQ(len, 12);
}

QImage Grey(int level, int w = 64, int h = 64)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(qRgb(level, level, level));
    return image;
}

int ConvertBitmap(const QImage& image, const std::string& apf, bool fine = true)
{
    std::unique_ptr<TAbsFaxCvt> cvt;
    bcInitBitmapConverter(cvt);
    acSetResolutionMode(*cvt, fine);
    if (const int rc = bcSetInputBitmap(*cvt, image); rc != 0)
        return rc;
    return acConvertToFile(*cvt, "", apf);
}

// Black pixels of page 1 per pixel of a 64 x 64 picture.
double BlackShare(const std::string& apf)
{
    const Picture p = UnpackedPage(apf, 1);
    return static_cast<double>(std::count(p.Pixels.begin(), p.Pixels.end(), 1)) / (64.0 * 64);
}

TEST(BitmapConversion, DitherHalfTonesMidGrey)
{
    TScratch dir;
    const std::string apf = dir.Path("grey.apf");
    ASSERT_EQ(ConvertBitmap(Grey(128), apf), 0);
    EXPECT_NEAR(BlackShare(apf), 0.5, 0.03);
    ASSERT_EQ(ConvertBitmap(Grey(64), apf), 0);
    EXPECT_NEAR(BlackShare(apf), 0.75, 0.03);
    ASSERT_EQ(ConvertBitmap(Grey(0), apf), 0);
    EXPECT_EQ(BlackShare(apf), 1.0);
    ASSERT_EQ(ConvertBitmap(Grey(255), apf), 0);
    EXPECT_EQ(LineRecords(apf, 1), 64u); // every row coded, the last one too
    EXPECT_EQ(BlackShare(apf), 0.0);
    EXPECT_EQ(ConvertBitmap(QImage(), apf), AdErr::ecBadArgument);
}

TEST(BitmapConversion, MonochromeCopiedWhateverThePalette)
{
    TScratch dir;
    const std::string apf = dir.Path("mono.apf");
    QImage one(10, 1, QImage::Format_Mono);
    one.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)}); // index 0 black
    one.fill(1);
    one.setPixel(3, 0, 0);
    ASSERT_EQ(ConvertBitmap(one, apf), 0);
    EXPECT_EQ(LineRecords(apf, 1), 1u); // a one-row picture is one coded line
    const Picture p = UnpackedPage(apf, 1);
    // Centred after the margin: (1728 - 10 - 50) / 16 = 104 bytes in.
    const unsigned x0 = 50 + 104 * 8;
    for (unsigned x = 0; x < p.Width; ++x)
        EXPECT_EQ(p.At(x, 0), x == x0 + 3) << x;

    // Standard resolution doubles a picture that fits twice.
    QImage wide(600, 2, QImage::Format_Mono);
    wide.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    wide.fill(1);
    ASSERT_EQ(ConvertBitmap(wide, apf, false), 0);
    const Picture d = UnpackedPage(apf, 1);
    const unsigned start = 2 * (50 + (1728 - 2 * 650) / 32 * 8);
    EXPECT_EQ(d.At(start - 1, 0), 0);
    EXPECT_EQ(d.At(start, 0), 1);
    EXPECT_EQ(d.At(start + 1199, 0), 1);
    EXPECT_EQ(d.At(start + 1200, 0), 0);
}

TEST(BitmapConversion, BmpFilesFromNetpbm)
{
    TScratch dir;
    Picture in = TestPattern(400, 40, 3);
    WriteFile(dir.Path("in.pbm"), ToPbm(in));
    const unsigned x0 = 50 + (1728 - 400 - 50) / 16 * 8;
    for (int bpp : {1, 4, 8, 24}) {
        const std::string bmp = dir.Path("in" + std::to_string(bpp) + ".bmp");
        RunShell("ppmtobmp -bpp " + std::to_string(bpp) + " " + dir.Path("in.pbm") + " > " + bmp +
                 " 2>/dev/null");
        ASSERT_EQ(FromPbm(RunShell("bmptopnm " + bmp + " 2>/dev/null | ppmtopgm | pgmtopbm -th")),
                  in);
        std::unique_ptr<TAbsFaxCvt> cvt;
        bcInitBmpConverter(cvt);
        acSetResolutionMode(*cvt, true);
        ASSERT_EQ(acConvertToFile(*cvt, bmp, dir.Path("out.apf")), 0) << bpp;
        const Picture p = UnpackedPage(dir.Path("out.apf"), 1);
        ASSERT_EQ(p.Height, in.Height);
        for (unsigned y = 0; y < in.Height; ++y)
            for (unsigned x = 0; x < in.Width; ++x)
                ASSERT_EQ(p.At(x0 + x, y), in.At(x, y)) << bpp << " " << x << "," << y;
    }
    std::unique_ptr<TAbsFaxCvt> cvt;
    bcInitBmpConverter(cvt);
    EXPECT_EQ(acConvertToFile(*cvt, dir.Path("in.pbm"), ""), AdErr::ecBadGraphicsFormat);
    EXPECT_EQ(acConvertToFile(*cvt, dir.Path("none.bmp"), ""), AdErr::ecFileNotFound);
}

// A Windows bitmap whose pixel data end before its header says is refused
// whole, as netpbm refuses it, rather than converted with made-up rows; one
// that holds all its rows converts, whatever follows them.
TEST(BitmapConversion, BmpFilesCutShortAreRefused)
{
    TScratch dir;
    WriteFile(dir.Path("in.pbm"), ToPbm(TestPattern(203, 30, 5)));
    auto convert = [&](const std::string& bytes) {
        WriteFile(dir.Path("x.bmp"), bytes);
        std::filesystem::remove(dir.Path("x.apf"));
        std::unique_ptr<TAbsFaxCvt> cvt;
        bcInitBmpConverter(cvt);
        const int rc = acConvertToFile(*cvt, dir.Path("x.bmp"), dir.Path("x.apf"));
        EXPECT_EQ(std::filesystem::exists(dir.Path("x.apf")), rc == 0);
        return rc;
    };
    for (int bpp : {1, 4, 8, 24}) {
        const std::string bmp = RunShell("ppmtobmp -bpp " + std::to_string(bpp) + " " +
                                         dir.Path("in.pbm") + " 2>/dev/null");
        ASSERT_GT(bmp.size(), 62u);
        const uint32_t offset = static_cast<uint8_t>(bmp[10]) | static_cast<uint8_t>(bmp[11]) << 8;
        for (std::size_t cut : {bmp.size() - 1, (offset + bmp.size()) / 2, std::size_t{offset},
                                std::size_t{offset} - 1, std::size_t{30}}) {
            const std::string what = std::to_string(bpp) + " bpp cut at " + std::to_string(cut);
            WriteFile(dir.Path("cut.bmp"), bmp.substr(0, cut));
            EXPECT_NE(
                RunShellCommand("bmptopnm " + dir.Path("cut.bmp") + " >/dev/null 2>&1").Status, 0)
                << what;
            EXPECT_EQ(convert(bmp.substr(0, cut)), AdErr::ecBadGraphicsFormat) << what;
        }
        EXPECT_EQ(convert(bmp), 0) << bpp;
        EXPECT_EQ(convert(bmp + std::string(100, '\0')), 0) << bpp;
    }

    // Rows stored top down (a negative height) count the same.
    std::string topDown = RunShell("ppmtobmp -bpp 24 " + dir.Path("in.pbm") + " 2>/dev/null");
    const int32_t down = -30;
    std::memcpy(&topDown[22], &down, 4);
    EXPECT_EQ(convert(topDown), 0);
    EXPECT_EQ(convert(topDown.substr(0, topDown.size() - 3)), AdErr::ecBadGraphicsFormat);

    // Run-length coded rows: the data's size is the header's image size.
    std::string rle("BM\0\0\0\0\0\0\0\0\x3e\0\0\0", 14);
    const uint32_t info[] = {40, 8, 2, 0x00080001, 1, 10, 2835, 2835, 2, 2};
    rle.append(reinterpret_cast<const char*>(info), sizeof info);
    rle.append("\0\0\0\0\xff\xff\xff\0", 8);                    // black, white
    rle.append("\x08\x00\x00\x00\x08\x01\x00\x00\x00\x01", 10); // two rows, end
    EXPECT_EQ(convert(rle), 0);
    EXPECT_EQ(convert(rle.substr(0, rle.size() - 3)), AdErr::ecBadGraphicsFormat);
}

} // namespace
