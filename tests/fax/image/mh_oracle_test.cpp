// Our MH coder and decoder against independent ones: netpbm's pbmtog3 and
// g3topbm, and libtiff's fax2tiff.
#include "fax/fax_convert.h"
#include "fax/fax_unpack.h"
#include "fax_image_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

// Codes every row of the picture with the given margin into a one-page APF.
void CodePicture(const Picture& picture, unsigned margin, const std::string& path)
{
    std::unique_ptr<TAbsFaxCvt> cvt;
    acInitFaxConverter(cvt, nullptr, nullptr, nullptr, nullptr, "");
    acSetResolutionWidth(*cvt, picture.Width == kWideWidth ? 2 : 1);
    acSetMargins(*cvt, margin, 0);
    cvt->OutFileName = path;
    ASSERT_EQ(acCreateOutputFile(*cvt), 0);
    for (unsigned y = 0; y < picture.Height; ++y) {
        const auto row = RasterRow(picture, y);
        acCompressRasterLine(*cvt, row.data());
        ASSERT_EQ(acOutToFileCallback(*cvt, cvt->DataLine.data(), static_cast<int>(cvt->ByteOfs),
                                      false, false),
                  0);
    }
    ASSERT_EQ(acOutToFileCallback(*cvt, nullptr, 0, true, false), 0);
    ASSERT_EQ(acCloseOutputFile(*cvt), 0);
}

Picture Shifted(const Picture& in, unsigned margin)
{
    Picture out = MakePicture(in.Width, in.Height);
    for (unsigned y = 0; y < in.Height; ++y)
        for (unsigned x = margin; x < in.Width; ++x)
            out.At(x, y) = in.At(x - margin, y);
    return out;
}

std::string G3Of(const std::string& apf, const TScratch& dir)
{
    const std::string g3 = dir.Path("page.g3");
    RunShell("python3 " + ScriptDir() + "/apf_to_g3.py " + apf + " 1 > " + g3);
    return g3;
}

TEST(MhOracle, OurCoderDecodedByG3ToPbm)
{
    TScratch dir;
    for (unsigned width : {kStandardWidth, kWideWidth}) {
        for (unsigned margin : {0u, 50u, 7u}) {
            const Picture in = TestPattern(width, 150, width + margin);
            const std::string apf = dir.Path("coded.apf");
            CodePicture(in, margin, apf);
            const std::string g3 = G3Of(apf, dir);
            const Picture out = FromPbm(RunShell("g3topbm -reversebits " + g3));
            EXPECT_EQ(out, Shifted(in, margin)) << width << " " << margin;
            // Our own decoder reads it back the same way.
            EXPECT_EQ(UnpackedPage(apf), Shifted(in, margin)) << width << " " << margin;
        }
    }
}

TEST(MhOracle, Fax2TiffAcceptsOurPages)
{
    TScratch dir;
    const Picture in = TestPattern(kStandardWidth, 200, 5);
    const std::string apf = dir.Path("coded.apf");
    CodePicture(in, 50, apf);
    const std::string g3 = G3Of(apf, dir);
    const std::string tif = dir.Path("page.tif");
    const std::string warnings =
        RunShell("fax2tiff -1 -L -o " + tif + " " + g3 + " 2>&1 >/dev/null");
    EXPECT_EQ(warnings, "");
    // fax2tiff counts the end-of-page EOLs as further (white) rows.
    const Picture out = FromPbm(RunShell("tifftopnm " + tif + " 2>/dev/null"));
    ASSERT_EQ(out.Width, kStandardWidth);
    ASSERT_EQ(out.Height, 200u + 7);
    Picture top = out;
    top.Height = 200;
    top.Pixels.resize(std::size_t{kStandardWidth} * 200);
    EXPECT_EQ(top, Shifted(in, 50));
    EXPECT_TRUE(std::all_of(out.Pixels.begin() + static_cast<std::ptrdiff_t>(top.Pixels.size()),
                            out.Pixels.end(), [](uint8_t p) { return p == 0; }));
}

TEST(MhOracle, PbmToG3DecodedByOurUnpacker)
{
    TScratch dir;
    const Picture in = TestPattern(kStandardWidth, 180, 9);
    WriteFile(dir.Path("in.pbm"), ToPbm(in));
    const std::string g3 = RunShell("pbmtog3 -reversebits " + dir.Path("in.pbm"));
    ASSERT_FALSE(g3.empty());
    // As the receive engine stores a page: raw code data with the sender's
    // own end codes.
    const std::string apf = dir.Path("received.apf");
    TApfWriter w;
    ASSERT_EQ(w.Create(apf), 0);
    ASSERT_EQ(w.BeginPage(ffHighRes), 0);
    ASSERT_EQ(w.AddData(reinterpret_cast<const uint8_t*>(g3.data()), g3.size()), 0);
    ASSERT_EQ(w.EndPage(), 0);
    ASSERT_EQ(w.Close("REMOTE"), 0);
    EXPECT_EQ(UnpackedPage(apf), in);
}

} // namespace
