// TIFF, PCX and DCX files into APF pages, checked pixel for pixel against
// the pictures netpbm and libtiff's tools wrote them from.
#include "fax/ad_fax_cvt.h"
#include "fax/fax_pcx_input.h"
#include "fax/fax_tiff_input.h"
#include "fax_image_helpers.h"
#include "image_input_helpers.h"
#include "serial/ad_except.h"

#include <gtest/gtest.h>

#include <QImage>
#include <chrono>
#include <filesystem>
#include <random>

namespace {

namespace fs = std::filesystem;

// Where a page differs from the picture drawn at its top left on white, or
// "" when it does not.
std::string Difference(const Picture& page, const Picture& pic)
{
    if (page.Height != pic.Height)
        return "height " + std::to_string(page.Height) + " for " + std::to_string(pic.Height);
    for (unsigned y = 0; y < page.Height; ++y)
        for (unsigned x = 0; x < page.Width; ++x)
            if (page.At(x, y) != (x < pic.Width ? pic.At(x, y) : 0))
                return "pixel " + std::to_string(x) + "," + std::to_string(y);
    return "";
}

// The file as the oracle reads it back must be the picture.
void ExpectOracleReads(const std::string& command, const Picture& pic)
{
    ASSERT_EQ(FromPbm(RunShell(command + " 2>/dev/null | ppmtopgm | pgmtopbm -th")), pic)
        << command;
}

QImage ToImage(const Picture& pic)
{
    QImage image(static_cast<int>(pic.Width), static_cast<int>(pic.Height), QImage::Format_Mono);
    image.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    for (unsigned y = 0; y < pic.Height; ++y)
        for (unsigned x = 0; x < pic.Width; ++x)
            image.setPixel(static_cast<int>(x), static_cast<int>(y), pic.At(x, y));
    return image;
}

TEST(TiffInput, EveryLayoutTheToolsWrite)
{
    TScratch dir;
    const Picture pic = TestPattern(1001, 70, 1);
    WriteFile(dir.Path("in.pbm"), ToPbm(pic));
    const std::string in = dir.Path("in.pbm");
    const std::string packed = dir.Path("packbits.tif");
    RunShell("pnmtotiff -packbits " + in + " > " + packed + " 2>/dev/null");
    const std::vector<std::pair<std::string, std::string>> layouts = {
        {"none", "pnmtotiff -none " + in + " > "},
        {"packbits", "cp " + packed + " "},
        {"white is zero", "pnmtotiff -packbits -miniswhite " + in + " > "},
        {"big-endian strips", "tiffcp -B -r 9 " + packed + " "},
        {"big-endian rows", "tiffcp -B -c none -r 1 " + packed + " "},
        {"lsb first", "tiffcp -f lsb2msb -c none -r 16 " + packed + " "},
    };
    for (const auto& [name, command] : layouts) {
        SCOPED_TRACE(name);
        const std::string tif = dir.Path("x.tif");
        RunShell(command + tif + " 2>/dev/null");
        ExpectOracleReads("tifftopnm " + tif, pic);
        ASSERT_EQ(ConvertImage(TImageKind::Tiff, tif, dir.Path("x.apf")), 0);
        EXPECT_EQ(Difference(UnpackedPage(dir.Path("x.apf"), 1), pic), "");
    }

    // Any other compression is refused and leaves no file.
    for (const std::string c : {"g3", "lzw"}) {
        RunShell("tiffcp -c " + c + " " + packed + " " + dir.Path("c.tif"));
        EXPECT_EQ(ConvertImage(TImageKind::Tiff, dir.Path("c.tif"), dir.Path("c.apf")),
                  AdErr::ecBadGraphicsFormat)
            << c;
        EXPECT_FALSE(fs::exists(dir.Path("c.apf")));
    }
    EXPECT_EQ(ConvertImage(TImageKind::Tiff, dir.Path("none.tif"), dir.Path("c.apf")),
              AdErr::ecFileNotFound);
}

TEST(PcxInput, BlackFollowsThePalette)
{
    TScratch dir;
    const Picture pic = TestPattern(1003, 60, 2);
    WriteFile(dir.Path("in.pbm"), ToPbm(pic));
    const std::string pcx = dir.Path("in.pcx");
    RunShell("ppmtopcx " + dir.Path("in.pbm") + " > " + pcx + " 2>/dev/null");
    ExpectOracleReads("pcxtoppm " + pcx, pic);
    ASSERT_EQ(ConvertImage(TImageKind::Pcx, pcx, dir.Path("x.apf")), 0);
    EXPECT_EQ(Difference(UnpackedPage(dir.Path("x.apf"), 1), pic), "");

    // With the palette's two colours swapped (and with no palette at all)
    // the page is what the oracle shows.
    std::string bytes = ReadFile(pcx);
    const std::string palette = bytes.substr(16, 6);
    for (const std::string& swapped :
         {palette.substr(3, 3) + palette.substr(0, 3), std::string(6, '\0')}) {
        bytes.replace(16, 6, swapped);
        WriteFile(pcx, bytes);
        const Picture shown =
            FromPbm(RunShell("pcxtoppm " + pcx + " 2>/dev/null | ppmtopgm | pgmtopbm -th"));
        ASSERT_EQ(ConvertImage(TImageKind::Pcx, pcx, dir.Path("x.apf")), 0);
        EXPECT_EQ(Difference(UnpackedPage(dir.Path("x.apf"), 1), shown), "");
    }
}

TEST(DcxInput, EachPageFromItsPcx)
{
    TScratch dir;
    std::vector<Picture> pics;
    std::vector<std::string> pcx;
    for (unsigned width : {1001u, 600u, 1728u}) {
        pics.push_back(TestPattern(width, 30 + width % 7, width));
        WriteFile(dir.Path("p.pbm"), ToPbm(pics.back()));
        pcx.push_back(RunShell("ppmtopcx " + dir.Path("p.pbm") + " 2>/dev/null"));
    }
    const std::string dcx = dir.Path("in.dcx");
    WriteFile(dcx, Dcx(pcx));
    ASSERT_EQ(ConvertImage(TImageKind::Dcx, dcx, dir.Path("x.apf")), 0);
    TFaxHeaderRec h;
    ASSERT_EQ(ApfReadHeader(dir.Path("x.apf"), h), 0);
    ASSERT_EQ(h.PageCount, 3);
    for (unsigned page = 1; page <= 3; ++page)
        EXPECT_EQ(Difference(UnpackedPage(dir.Path("x.apf"), page), pics[page - 1]), "") << page;
}

// Through the converter component with its defaults (standard resolution,
// doubling and centring on, margin 50), every page of every kind is coded as
// the same picture handed in as a bitmap: narrow pages doubled, wide ones cut.
TEST(ImageInput, PagesFittedAsBitmapsAre)
{
    TScratch dir;
    const std::vector<Picture> pics = {TestPattern(600, 40, 5), TestPattern(2000, 33, 6)};
    std::vector<std::string> tiffs, pcxs;
    for (std::size_t i = 0; i < pics.size(); ++i) {
        const std::string pbm = dir.Path("p" + std::to_string(i) + ".pbm");
        WriteFile(pbm, ToPbm(pics[i]));
        tiffs.push_back(dir.Path("p" + std::to_string(i) + ".tif"));
        RunShell("pnmtotiff -packbits " + pbm + " > " + tiffs.back() + " 2>/dev/null");
        pcxs.push_back(RunShell("ppmtopcx " + pbm + " 2>/dev/null"));
    }
    RunShell("tiffcp " + tiffs[0] + " " + tiffs[1] + " " + dir.Path("two.tif"));
    WriteFile(dir.Path("two.dcx"), Dcx(pcxs));
    WriteFile(dir.Path("one.pcx"), pcxs[0]);

    TApdFaxConverter cvt;
    std::vector<Picture> expected;
    for (std::size_t i = 0; i < pics.size(); ++i) {
        cvt.SetOutFileName(dir.Path("bitmap.apf"));
        cvt.ConvertBitmapToFile(ToImage(pics[i]));
        expected.push_back(UnpackedPage(dir.Path("bitmap.apf"), 1));
    }
    using K = TFaxInputDocumentType;
    for (const auto& [kind, file, pages] : {std::tuple{K::idTiff, "two.tif", 2u},
                                            {K::idDcx, "two.dcx", 2u},
                                            {K::idPcx, "one.pcx", 1u}}) {
        SCOPED_TRACE(file);
        cvt.SetInputDocumentType(kind);
        cvt.SetDocumentFile(dir.Path(file));
        cvt.ConvertToFile();
        TFaxHeaderRec h;
        ASSERT_EQ(ApfReadHeader(cvt.OutFileName(), h), 0);
        ASSERT_EQ(h.PageCount, pages);
        for (unsigned page = 1; page <= pages; ++page)
            EXPECT_TRUE(UnpackedPage(cvt.OutFileName(), page) == expected[page - 1]) << page;
    }
    cvt.SetDocumentFile(dir.Path("p0.pbm"));
    EXPECT_THROW(cvt.ConvertToFile(), EBadGraphicsFormat);
}

// What a reader must refuse with -8002, leaving no output.
void ExpectRefused(TImageKind kind, const std::string& bytes, const TScratch& dir,
                   const std::string& what)
{
    WriteFile(dir.Path("bad.img"), bytes);
    fs::remove(dir.Path("bad.apf"));
    EXPECT_EQ(ConvertImage(kind, dir.Path("bad.img"), dir.Path("bad.apf")),
              AdErr::ecBadGraphicsFormat)
        << what;
    EXPECT_FALSE(fs::exists(dir.Path("bad.apf"))) << what;
}

TEST(ImageInputBadFiles, TruncatedFilesAndOffsetsPastTheEnd)
{
    TScratch dir;
    const TSeedFiles seeds(dir);
    for (const auto& seed : seeds.Files) {
        for (std::size_t cut : {std::size_t{0}, std::size_t{3}, std::size_t{7}, seed.DataBegin + 20,
                                seed.Bytes.size() / 2, seed.DataEnd - 1})
            ExpectRefused(seed.Kind, seed.Bytes.substr(0, cut), dir,
                          seed.Name + " cut at " + std::to_string(cut));
    }
    // A strip beyond the file's end, reaching past it, or shorter than its
    // rows, uncompressed and PackBits.
    const std::string tif = seeds.Find("none.tif");
    const auto size = static_cast<uint32_t>(tif.size());
    ExpectRefused(TImageKind::Tiff, WithTiffTag(tif, 273, size + 100), dir, "strip offset");
    ExpectRefused(TImageKind::Tiff, WithTiffTag(tif, 273, size - 10), dir, "strip end");
    ExpectRefused(TImageKind::Tiff, WithTiffTag(tif, 279, 0x7FFFFFFF), dir, "strip bytes");
    ExpectRefused(TImageKind::Tiff, WithTiffTag(tif, 279, TiffTag(tif, 279) - 1), dir,
                  "strip short");
    const std::string packed = seeds.Find("packbits.tif");
    ExpectRefused(TImageKind::Tiff, WithTiffTag(packed, 279, TiffTag(packed, 279) - 1), dir,
                  "packed strip short");
    // DCX pages outside the file, in its signature or table, or none.
    const std::string dcx = seeds.Find("two.dcx");
    const auto dcxSize = static_cast<uint32_t>(dcx.size());
    for (uint32_t ofs : {dcxSize, dcxSize - 100, 0x7FFFFFF0u, 1u, 4u, 8u, 12u})
        ExpectRefused(TImageKind::Dcx, WithLong(dcx, 8, ofs), dir, "page " + std::to_string(ofs));
    ExpectRefused(TImageKind::Dcx, WithLong(dcx, 4, 0), dir, "no pages");
    ExpectRefused(TImageKind::Dcx, WithLong(dcx, 0, 0x3ADE68B2), dir, "signature");
}

TEST(ImageInputBadFiles, SizesNoFaxPageHas)
{
    TScratch dir;
    const TSeedFiles seeds(dir);
    const std::string tif = seeds.Find("none.tif");
    // Refused at once, whatever rows the header promises.
    const auto start = std::chrono::steady_clock::now();
    for (uint32_t width : {0u, 32769u, 0xFFFFFFFFu})
        ExpectRefused(TImageKind::Tiff, WithTiffTag(tif, 256, width), dir, "width");
    for (uint32_t height : {0u, 32768u, 0xFFFFFFFFu})
        ExpectRefused(TImageKind::Tiff, WithTiffTag(tif, 257, height), dir, "height");
    ExpectRefused(TImageKind::Tiff, WithTiffTag(tif, 278, 0), dir, "rows per strip");

    const std::string pcx = seeds.Find("one.pcx");
    ExpectRefused(TImageKind::Pcx, WithShort(pcx, 8, 0xFFFF), dir, "width 65536");
    ExpectRefused(TImageKind::Pcx, WithShort(WithShort(pcx, 6, 9), 10, 8), dir, "y max < y min");
    ExpectRefused(TImageKind::Pcx, WithShort(pcx, 66, 2), dir, "bytes per line short");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));

    // The widest and the tallest page taken still convert; one more is
    // refused.
    for (const auto& [width, height, wider, taller] :
         {std::tuple{32768u, 3u, 1u, 0u}, std::tuple{8u, 32767u, 0u, 1u}}) {
        WriteFile(dir.Path("edge.pcx"), WhitePcx(width, height));
        EXPECT_EQ(ConvertImage(TImageKind::Pcx, dir.Path("edge.pcx"), dir.Path("edge.apf")), 0)
            << width << " x " << height;
        ExpectRefused(TImageKind::Pcx, WhitePcx(width + wider, height + taller), dir, "one more");
    }
}

TEST(ImageInputBadFiles, ColoursPlanesAndPalettesNotRead)
{
    TScratch dir;
    WriteFile(dir.Path("c.ppm"), "P3\n3 2\n255\n255 0 0  0 0 255  9 9 9\n0 0 0  1 2 3  200 0 0\n");
    WriteFile(dir.Path("two.ppm"), "P3\n3 1\n255\n255 0 0  0 0 255  255 0 0\n");
    WriteFile(dir.Path("b.pbm"), ToPbm(TestPattern(20, 4, 1)));
    const std::string c = dir.Path("c.ppm"), b = dir.Path("b.pbm");
    for (const std::string& command :
         {"pnmtotiff " + c, "pnmtotiff -truecolor " + c,
          "pnmtotiff -indexbits=1 " + dir.Path("two.ppm"), "ppmtopgm " + c + " | pnmtotiff"}) {
        RunShell(command + " > " + dir.Path("x.tif") + " 2>/dev/null");
        ExpectRefused(TImageKind::Tiff, ReadFile(dir.Path("x.tif")), dir, command);
    }
    for (const std::string option : {"-8bit", "-24bit", "-planes=4", "-planes=2"})
        ExpectRefused(TImageKind::Pcx, RunShell("ppmtopcx " + option + " " + b + " 2>/dev/null"),
                      dir, option);
}

TEST(ImageInputBadFiles, RandomBytesAfterAValidHeader)
{
    TScratch dir;
    const TSeedFiles seeds(dir);
    std::mt19937 rng(7);
    for (const auto& seed : seeds.Files) {
        for (int round = 0; round < 40; ++round) {
            std::string bytes = seed.Bytes;
            for (std::size_t i = seed.DataBegin; i < seed.DataEnd; ++i)
                bytes[i] = static_cast<char>(rng());
            WriteFile(dir.Path("r.img"), bytes);
            const int rc = ConvertImage(seed.Kind, dir.Path("r.img"), dir.Path("r.apf"));
            ASSERT_TRUE(rc == 0 || rc == AdErr::ecBadGraphicsFormat) << seed.Name << " " << rc;
            ASSERT_EQ(fs::exists(dir.Path("r.apf")), rc == 0) << seed.Name;
            fs::remove(dir.Path("r.apf"));
        }
    }
}

} // namespace
