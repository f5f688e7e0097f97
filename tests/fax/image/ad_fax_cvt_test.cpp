#include "fax/ad_fax_cvt.h"
#include "fax_image_helpers.h"
#include "serial/ad_except.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

namespace fs = std::filesystem;

Picture Bar(unsigned width, unsigned height, unsigned from, unsigned to)
{
    Picture p = MakePicture(width, height);
    for (unsigned x = from; x < to; ++x)
        p.At(x, height / 2) = 1;
    return p;
}

bool Black(const QImage& image, int x, int y)
{
    return qGray(image.pixel(x, y)) == 0;
}

TEST(FaxConverterComponent, GatewayRoadAndRefusals)
{
    TScratch dir;
    TApdFaxConverter cvt;
    cvt.SetDocumentFile(dir.Path("LETTER.TXT"));
    EXPECT_EQ(cvt.OutFileName(), dir.Path("LETTER.APF"));
    WriteFile(dir.Path("LETTER.TXT"), "Dear station,\r\nthe fax works.\r\n");
    EXPECT_THROW(cvt.ConvertToFile(), EBadArgument); // idNone
    EXPECT_FALSE(fs::exists(dir.Path("LETTER.APF")));
    cvt.SetInputDocumentType(TFaxInputDocumentType::idTiff);
    EXPECT_THROW(cvt.ConvertToFile(), EBadGraphicsFormat);

    // As the fax gateway sets it up.
    cvt.SetInputDocumentType(TFaxInputDocumentType::idText);
    cvt.SetResolution(TFaxResolution::frHigh);
    cvt.SetTopMargin(50);
    cvt.ConvertToFile();
    TApdFaxUnpacker u;
    u.SetInFileName(dir.Path("LETTER.APF"));
    EXPECT_EQ(u.OutFileName(), dir.Path("LETTER"));
    EXPECT_EQ(u.GetNumPages(), 1);
    EXPECT_TRUE(u.GetFaxResolution());
    EXPECT_FALSE(u.GetFaxWidth());

    // A picture page in between keeps the text settings.
    cvt.SetOutFileName(dir.Path("picture.fax"));
    QImage picture(1654, 2338, QImage::Format_RGB32);
    picture.fill(qRgb(200, 200, 200));
    cvt.ConvertBitmapToFile(picture);
    EXPECT_EQ(cvt.InputDocumentType(), TFaxInputDocumentType::idText);
    u.SetInFileName(dir.Path("picture.fax"));
    EXPECT_EQ(u.GetNumPages(), 1);

    // Coded lines to the event; an abort from the status event.
    int lines = 0;
    int pages = 0;
    cvt.OnOutputLine = [&](TApdCustomFaxConverter*, const uint8_t*, int, bool eop, bool) {
        (eop ? pages : lines)++;
    };
    cvt.Convert();
    EXPECT_EQ(pages, 1);
    EXPECT_EQ(lines, 50 + 2 * 32);
    cvt.OnStatus = [](TApdCustomFaxConverter*, bool, bool, int, int line, int, int, bool& abort) {
        abort = line == 10;
    };
    cvt.SetOutFileName(dir.Path("stopped.apf"));
    EXPECT_THROW(cvt.ConvertToFile(), EConvertAbort);
    EXPECT_FALSE(fs::exists(dir.Path("stopped.apf")));

    cvt.SetOptions(coYieldOften);
    EXPECT_EQ(cvt.Options(), coYieldOften | coYield);
}

TEST(FaxUnpackerComponent, PagesBecomeWholeBitmaps)
{
    TScratch dir;
    const std::string path = dir.Path("fax.apf");
    // Page 1 standard, inked to 600 pixels; page 2 fine and wide, inked near
    // its right edge; page 3 without a single line.
    WriteApfPages(path, {{Bar(kStandardWidth, 10, 0, 600), 0},
                         {Bar(kWideWidth, 10, 1990, 2010), ffHighRes | ffHighWidth},
                         {MakePicture(kStandardWidth, 0), ffHighRes}});
    TApdFaxUnpacker u;
    u.SetInFileName(path);
    ASSERT_EQ(u.GetNumPages(), 3);

    QImage p1 = u.UnpackPageToBitmap(1);
    EXPECT_EQ(p1.width(), 1728);
    EXPECT_EQ(p1.height(), 20); // standard resolution, double height
    EXPECT_TRUE(Black(p1, 599, 10));
    EXPECT_FALSE(Black(p1, 600, 10));
    EXPECT_FALSE(Black(p1, 1700, 10));

    const QImage p2 = u.UnpackPageToBitmap(2);
    EXPECT_EQ(p2.width(), 2048);
    EXPECT_EQ(p2.height(), 10);
    EXPECT_TRUE(Black(p2, 2000, 5));

    std::vector<int> blank;
    u.OnBlankPage = [&](TApdCustomFaxUnpacker*, int page) { blank.push_back(page); };
    const QImage p3 = u.UnpackPageToBitmap(3);
    EXPECT_EQ(blank, std::vector<int>{3});
    EXPECT_EQ(p3.width(), 1728);
    EXPECT_GT(p3.height(), 2000);
    EXPECT_FALSE(Black(p3, 100, 100));

    const QImage all = u.UnpackFileToBitmap();
    EXPECT_EQ(all.width(), 2048);
    EXPECT_EQ(all.height(), 30);

    u.SetOutFileName(dir.Path("page2"));
    u.UnpackPageToBmp(2);
    const QImage bmp(QString::fromStdString(dir.Path("page2.BMP")));
    EXPECT_EQ(bmp.size(), QSize(2048, 10));

    u.SetHorizMult(0);
    EXPECT_EQ(u.HorizMult(), 1u);
    EXPECT_THROW(u.UnpackPageToBitmap(4), EFaxBadFormat);
}

// Every second row, from the first.
Picture EverySecondRow(const Picture& in)
{
    Picture out = MakePicture(in.Width, in.Height / 2);
    for (unsigned y = 0; y < out.Height; ++y)
        for (unsigned x = 0; x < in.Width; ++x)
            out.At(x, y) = in.At(x, 2 * y);
    return out;
}

TEST(FaxConverterComponent, ResolutionConversionHalvesAndDoublesLines)
{
    TScratch dir;
    const std::string path = dir.Path("fax.apf");
    const Picture fine = TestPattern(kStandardWidth, 101, 3);
    const Picture standard = TestPattern(kWideWidth, 40, 4);
    WriteApfPages(path, {{fine, ffHighRes}, {standard, ffHighWidth}});
    const std::string stamp = ReadFile(path).substr(0, 32);
    TApdFaxConverter cvt;
    TApdFaxUnpacker u;
    u.SetInFileName(path);
    auto flags = [&](unsigned page) {
        TPageHeaderRec ph;
        EXPECT_EQ(ApfReadPageHeader(path, page, ph), 0);
        return ph.ImgFlags & (ffHighRes | ffHighWidth);
    };

    cvt.ConvertToLowRes(path);
    ASSERT_EQ(u.GetNumPages(), 2);
    EXPECT_EQ(UnpackedPage(path, 1), EverySecondRow(fine));
    EXPECT_EQ(flags(1), 0);
    EXPECT_EQ(UnpackedPage(path, 2), standard); // already standard: kept
    EXPECT_EQ(flags(2), ffHighWidth);
    EXPECT_EQ(ReadFile(path).substr(0, 32), stamp); // station ID and time stay

    cvt.ConvertToHighRes(path);
    ASSERT_EQ(u.GetNumPages(), 2);
    EXPECT_EQ(UnpackedPage(path, 1), EachRowTwice(EverySecondRow(fine)));
    EXPECT_EQ(flags(1), ffHighRes);
    EXPECT_EQ(UnpackedPage(path, 2), EachRowTwice(standard));
    EXPECT_EQ(flags(2), ffHighRes | ffHighWidth);

    WriteFile(dir.Path("text.apf"), "not a fax");
    EXPECT_THROW(cvt.ConvertToHighRes(dir.Path("text.apf")), EFaxBadFormat);
    EXPECT_EQ(ReadFile(dir.Path("text.apf")), "not a fax");
}

TEST(FaxUnpackerComponent, FileWritersNameTheirOutput)
{
    TScratch dir;
    WriteApfPages(dir.Path("fax.apf"), {{Bar(kStandardWidth, 4, 0, 10), ffHighRes}});
    TApdFaxUnpacker u;
    u.SetInFileName(dir.Path("fax.apf"));
    u.UnpackFileToTiff();
    u.UnpackPageToDcx(1);
    u.SetOutFileName(dir.Path("page.pcx"));
    u.UnpackPageToPcx(1);
    for (const char* name : {"fax.TIF", "fax.DCX", "page.pcx"})
        EXPECT_TRUE(fs::exists(dir.Path(name))) << name;
    EXPECT_THROW(u.UnpackPageToTiff(2), EFaxBadFormat);
    u.SetInFileName("");
    EXPECT_THROW(u.UnpackFileToPcx(), EInOutError);
}

TEST(FaxUnpackerComponent, ExtractPage)
{
    TScratch dir;
    const std::string path = dir.Path("two.apf");
    WriteApfPages(path, {{Bar(kStandardWidth, 4, 0, 10), 0}, {Bar(kStandardWidth, 6, 5, 9), 0}});
    TApdFaxUnpacker u;
    u.SetInFileName(path);
    u.SetOutFileName(dir.Path("second"));
    u.ExtractPage(2);
    TApdFaxUnpacker one;
    one.SetInFileName(dir.Path("second.APF"));
    EXPECT_EQ(one.GetNumPages(), 1);
    EXPECT_EQ(one.UnpackPageToBitmap(1).height(), 12);
    EXPECT_EQ(ReadFile(dir.Path("second.APF")).substr(0, 32), ReadFile(path).substr(0, 32));

    EXPECT_THROW(u.ExtractPage(3), EInvalidPageNumber);
    u.SetOutFileName(path);
    try {
        u.ExtractPage(1);
        ADD_FAILURE() << "extracted onto its own input";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), 5);
    }
    u.SetInFileName(dir.Path("none.apf"));
    EXPECT_THROW(u.ExtractPage(1), EInOutError);
    WriteFile(dir.Path("text.apf"), "not a fax at all, just text");
    u.SetInFileName(dir.Path("text.apf"));
    EXPECT_THROW(u.ExtractPage(1), EFaxBadFormat);
    EXPECT_FALSE(TApdFaxUnpacker::IsAnAPFFile(dir.Path("text.apf")));
}

} // namespace
