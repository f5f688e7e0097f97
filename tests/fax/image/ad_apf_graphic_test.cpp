#include "fax/ad_apf_graphic.h"
#include "fax_image_helpers.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>
#include <filesystem>

namespace {

Picture FromImage(const QImage& image)
{
    Picture p =
        MakePicture(static_cast<unsigned>(image.width()), static_cast<unsigned>(image.height()));
    for (unsigned y = 0; y < p.Height; ++y)
        for (unsigned x = 0; x < p.Width; ++x)
            p.At(x, y) = qGray(image.pixel(static_cast<int>(x), static_cast<int>(y))) < 128;
    return p;
}

QString Q(const std::string& path)
{
    return QString::fromStdString(path);
}

struct GraphicRig {
    TScratch Dir;
    std::string Apf = Dir.Path("fax.apf");
    Picture Fine = TestPattern(kStandardWidth, 90, 5);
    Picture Wide = TestPattern(kWideWidth, 40, 6);
    GraphicRig() { WriteApfPages(Apf, {{Fine, ffHighRes}, {Wide, ffHighWidth}}); }
};

TEST(ApfGraphic, QtImageFrameworkReadsAndWritesApf)
{
    GraphicRig rig;
    EXPECT_TRUE(QImageReader::supportedImageFormats().contains("apf"));
    QImageReader reader(Q(rig.Apf));
    ASSERT_EQ(reader.imageCount(), 2);
    EXPECT_EQ(FromImage(reader.read()), rig.Fine);
    EXPECT_EQ(FromImage(reader.read()), EachRowTwice(rig.Wide)); // standard: lines twice
    EXPECT_FALSE(reader.canRead());
    ASSERT_TRUE(reader.jumpToImage(0));
    EXPECT_EQ(FromImage(reader.read()), rig.Fine);

    // Found by its signature under any name; other files are not taken.
    std::filesystem::copy_file(rig.Apf, rig.Dir.Path("fax.dat"));
    QImageReader byContent(Q(rig.Dir.Path("fax.dat")));
    EXPECT_EQ(byContent.format(), "apf");
    WriteFile(rig.Dir.Path("text.apf"), "not a fax at all");
    EXPECT_TRUE(QImage(Q(rig.Dir.Path("text.apf"))).isNull());

    // A picture written as APF is one fine page of its pixels.
    QImage picture(Q(rig.Apf));
    picture.setPixel(3, 3, 0);
    ASSERT_TRUE(QImageWriter(Q(rig.Dir.Path("one.apf"))).write(picture));
    TApdFaxUnpacker u;
    u.SetInFileName(rig.Dir.Path("one.apf"));
    EXPECT_EQ(u.GetNumPages(), 1);
    EXPECT_TRUE(u.GetFaxResolution());
    EXPECT_EQ(UnpackedPage(rig.Dir.Path("one.apf")), FromImage(picture));
}

TEST(ApfGraphic, PagesLoadSaveAndStayInRange)
{
    GraphicRig rig;
    TApdAPFGraphic g;
    EXPECT_TRUE(g.GetEmpty());
    EXPECT_EQ(g.GetWidth(), 0);
    g.LoadFromFile(rig.Apf);
    ASSERT_EQ(g.NumPages(), 2);
    EXPECT_EQ(g.CurrentPage(), 0);
    g.SetCurrentPage(1);
    EXPECT_EQ(g.GetWidth(), 2048);
    EXPECT_EQ(g.GetHeight(), 80);
    EXPECT_THROW(g.SetCurrentPage(2), EApdAPFGraphicError);
    EXPECT_THROW(g.SetCurrentPage(-1), EApdAPFGraphicError);
    EXPECT_EQ(g.CurrentPage(), 1);

    // A third page appended; a gap is refused.
    QImage third(kStandardWidth, 30, QImage::Format_Mono);
    third.fill(1);
    third.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
    third.setPixel(100, 10, 0);
    try {
        g.SetPage(4, third);
        ADD_FAILURE() << "a page beyond the end was taken";
    } catch (const EApdAPFGraphicError& e) {
        EXPECT_STREQ(e.what(), "Invalid page");
    }
    g.SetPage(2, third);
    ASSERT_EQ(g.NumPages(), 3);

    // Saved and loaded again, through a stream: the same pixels, every page
    // fine.
    QBuffer stream;
    stream.open(QIODevice::ReadWrite);
    g.SaveToStream(stream);
    stream.seek(0);
    TApdAPFGraphic back;
    back.LoadFromStream(stream);
    ASSERT_EQ(back.NumPages(), 3);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(FromImage(back.Pages()[static_cast<std::size_t>(i)]),
                  FromImage(g.Pages()[static_cast<std::size_t>(i)]))
            << i;
    back.SaveToFile(rig.Dir.Path("back.apf"));
    EXPECT_EQ(UnpackedPage(rig.Dir.Path("back.apf"), 2), EachRowTwice(rig.Wide));

    TApdAPFGraphic copy;
    copy.Assign(g);
    EXPECT_EQ(copy.NumPages(), 3);
    EXPECT_EQ(copy.CurrentPage(), 1);
    QImage current;
    copy.AssignTo(current);
    EXPECT_EQ(current.size(), QSize(2048, 80));
    EXPECT_THROW(copy.SaveToClipboardFormat(), EApdAPFGraphicError);
}

} // namespace
