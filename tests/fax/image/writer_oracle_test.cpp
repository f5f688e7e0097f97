// The unpacker's PCX, DCX and TIFF files read by independent readers:
// netpbm's tifftopnm and pcxtoppm, and libtiff's tiffinfo and tiffdump.
#include "fax/fax_unpack.h"
#include "fax_image_helpers.h"
#include "serial/ad_except.h"

#include <gtest/gtest.h>

namespace {

// The pictures one below the other, padded white to the widest.
Picture Stacked(const std::vector<Picture>& pictures)
{
    unsigned width = 0, height = 0;
    for (const auto& p : pictures) {
        width = std::max(width, p.Width);
        height += p.Height;
    }
    Picture out = MakePicture(width, height);
    unsigned top = 0;
    for (const auto& p : pictures) {
        for (unsigned y = 0; y < p.Height; ++y)
            for (unsigned x = 0; x < p.Width; ++x)
                out.At(x, top + y) = p.At(x, y);
        top += p.Height;
    }
    return out;
}

Picture FromPcx(const std::string& path)
{
    return FromPbm(RunShell("pcxtoppm " + path + " | ppmtopgm | pgmtopbm -threshold"));
}

uint32_t Le32(const std::string& s, std::size_t at)
{
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<uint8_t>(s[at + static_cast<std::size_t>(i)]);
    return v;
}

struct WriterRig {
    TScratch Dir;
    std::string Apf = Dir.Path("fax.apf");
    // Page 1 fine and 1728 wide, page 2 standard and 2048 wide.
    Picture Fine = TestPattern(kStandardWidth, 120, 1);
    Picture Wide = TestPattern(kWideWidth, 70, 2);
    std::unique_ptr<TUnpackFax> U;

    WriterRig()
    {
        WriteApfPages(Apf, {{Fine, ffHighRes}, {Wide, ffHighWidth}});
        upInitFaxUnpacker(U, nullptr, nullptr);
        U->Flags = ufDoubleHeight;
    }
};

TEST(WriterOracle, TiffReadByLibtiffAndNetpbm)
{
    WriterRig rig;
    const std::string page = rig.Dir.Path("page2");
    ASSERT_EQ(upUnpackPageToTiff(*rig.U, rig.Apf, page, 2), 0);
    EXPECT_EQ(FromPbm(RunShell("tifftopnm -quiet " + page + ".TIF")), EachRowTwice(rig.Wide));
    // The directory as written, and every strip decoded without a complaint.
    const TShellResult info = RunShellCommand("tiffinfo -D " + page + ".TIF");
    EXPECT_EQ(info.Status, 0);
    for (const char* want :
         {"Image Width: 2048 Image Length: 140", "Bits/Sample: 1", "Compression Scheme: PackBits",
          "Photometric Interpretation: min-is-white", "Rows/Strip: 140"})
        EXPECT_NE(info.Output.find(want), std::string::npos) << want << "\n" << info.Output;
    for (const char* bad : {"Warning", "Error", "rror"})
        EXPECT_EQ(info.Output.find(bad), std::string::npos) << info.Output;
    const std::string dump = RunShell("tiffdump " + page + ".TIF");
    EXPECT_NE(dump.find("Directory 0: offset 8 (0x8) next 0 (0)"), std::string::npos) << dump;
    EXPECT_NE(dump.find("StripOffsets (273) LONG (4) 1<122>"), std::string::npos) << dump;

    // The whole file: both pages in one picture; an empty name follows the
    // input.
    ASSERT_EQ(upUnpackFileToTiff(*rig.U, rig.Apf, ""), 0);
    EXPECT_EQ(FromPbm(RunShell("tifftopnm -quiet " + rig.Dir.Path("fax.TIF"))),
              Stacked({rig.Fine, EachRowTwice(rig.Wide)}));
}

TEST(WriterOracle, PcxAndDcxReadByNetpbm)
{
    WriterRig rig;
    ASSERT_EQ(upUnpackPageToPcx(*rig.U, rig.Apf, rig.Dir.Path("one.pcx"), 1), 0);
    EXPECT_EQ(FromPcx(rig.Dir.Path("one.pcx")), rig.Fine);
    ASSERT_EQ(upUnpackFileToPcx(*rig.U, rig.Apf, rig.Dir.Path("all")), 0);
    EXPECT_EQ(FromPcx(rig.Dir.Path("all.PCX")), Stacked({rig.Fine, EachRowTwice(rig.Wide)}));

    // A DCX: the signature, the table of page offsets ended by 0, then each
    // page a PCX image of its own width.
    ASSERT_EQ(upUnpackFileToDcx(*rig.U, rig.Apf, rig.Dir.Path("all")), 0);
    const std::string dcx = ReadFile(rig.Dir.Path("all.DCX"));
    ASSERT_GT(dcx.size(), 4100u);
    EXPECT_EQ(Le32(dcx, 0), 0x3ADE68B1u);
    const uint32_t first = Le32(dcx, 4), second = Le32(dcx, 8);
    EXPECT_EQ(Le32(dcx, 12), 0u);
    ASSERT_TRUE(first < second && second < dcx.size());
    WriteFile(rig.Dir.Path("p1.pcx"), dcx.substr(first, second - first));
    WriteFile(rig.Dir.Path("p2.pcx"), dcx.substr(second));
    EXPECT_EQ(FromPcx(rig.Dir.Path("p1.pcx")), rig.Fine);
    EXPECT_EQ(FromPcx(rig.Dir.Path("p2.pcx")), EachRowTwice(rig.Wide));

    ASSERT_EQ(upUnpackPageToDcx(*rig.U, rig.Apf, rig.Dir.Path("two"), 2), 0);
    const std::string one = ReadFile(rig.Dir.Path("two.DCX"));
    EXPECT_EQ(Le32(one, 8), 0u);
    WriteFile(rig.Dir.Path("two.pcx"), one.substr(Le32(one, 4)));
    EXPECT_EQ(FromPcx(rig.Dir.Path("two.pcx")), EachRowTwice(rig.Wide));
}

TEST(WriterOracle, PagesThatCannotBeWritten)
{
    WriterRig rig;
    EXPECT_EQ(upUnpackPageToTiff(*rig.U, rig.Apf, rig.Dir.Path("x.tif"), 3), AdErr::ecFaxBadFormat);
    WriteApfPages(rig.Dir.Path("blank.apf"), {{rig.Fine, 0}, {MakePicture(kStandardWidth, 0), 0}});
    EXPECT_EQ(upUnpackFileToDcx(*rig.U, rig.Dir.Path("blank.apf"), rig.Dir.Path("x.dcx")),
              AdErr::ecCantMakeBitmap);
    EXPECT_EQ(upUnpackPageToPcx(*rig.U, "", rig.Dir.Path("x.pcx"), 1), AdErr::ecFileNotFound);
}

} // namespace
