#include "fax/ad_fax_cvt.h"
#include "fax/fax_raster_input.h"
#include "raster_helpers.h"
#include "serial/ad_except.h"

#include <gtest/gtest.h>

#include <QImage>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

namespace {

struct RasterResult {
    int Rc = 0;
    bool WrongKind = false;
    bool Damaged = false;
};

RasterResult Convert(const TScratch& dir, const std::string& stream, const std::string& out,
                     bool fine, bool takeResolution = false)
{
    const std::string in = dir.Path("in.raster");
    WriteFile(in, stream);
    const int fd = ::open(in.c_str(), O_RDONLY);
    std::unique_ptr<TAbsFaxCvt> cvt;
    rcInitRasterConverter(cvt, fd);
    auto& raster = static_cast<TFaxRasterData&>(*cvt->InData);
    raster.TakeResolution = takeResolution;
    acSetResolutionMode(*cvt, fine);
    RasterResult r;
    r.Rc = acConvertToFile(*cvt, "", out);
    r.WrongKind = raster.WrongKind;
    r.Damaged = raster.Damaged;
    rcDoneRasterConverter(cvt);
    ::close(fd);
    std::filesystem::remove(in);
    return r;
}

// The same picture through the converter's bitmap path.
Picture AsBitmapPathFitsIt(const TScratch& dir, const Picture& p)
{
    QImage image(static_cast<int>(p.Width), static_cast<int>(p.Height), QImage::Format_Mono);
    image.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    for (unsigned y = 0; y < p.Height; ++y)
        for (unsigned x = 0; x < p.Width; ++x)
            image.setPixel(static_cast<int>(x), static_cast<int>(y), p.At(x, y));
    TApdFaxConverter cvt;
    cvt.SetOptions(coCenterImage);
    cvt.SetLeftMargin(0);
    cvt.SetResolution(TFaxResolution::frHigh);
    cvt.SetOutFileName(dir.Path("bitmap.apf"));
    cvt.ConvertBitmapToFile(image);
    return UnpackedPage(dir.Path("bitmap.apf"));
}

bool PageFine(const std::string& apf, unsigned page)
{
    TPageHeaderRec ph;
    EXPECT_EQ(ApfReadPageHeader(apf, page, ph), 0);
    return ph.Fine();
}

std::vector<std::string> Files(const TScratch& dir)
{
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.Dir()))
        names.push_back(e.path().filename().string());
    return names;
}

TEST(RasterInput, PagesAreFittedAsBitmapsAre)
{
    // Widths: the fax line, A4 and US Letter at 204 dpi.
    for (const unsigned width : {1728u, 1686u, 1734u}) {
        for (const cups_cspace_t space : {CUPS_CSPACE_K, CUPS_CSPACE_W}) {
            SCOPED_TRACE(testing::Message() << width << " pixels, colour space " << space);
            TScratch dir;
            const Picture p = TestPattern(width, 120, width);
            RasterPage page;
            page.Pixels = p;
            page.Space = space;
            ASSERT_EQ(Convert(dir, RasterStream({page}), dir.Path("out.apf"), true).Rc, 0);
            const Picture got = UnpackedPage(dir.Path("out.apf"));
            EXPECT_EQ(got, AsBitmapPathFitsIt(dir, p));
            if (width == kStandardWidth) {
                EXPECT_EQ(got, p);
            }
            EXPECT_TRUE(PageFine(dir.Path("out.apf"), 1));
        }
    }
}

TEST(RasterInput, EveryPageInOrderAtTheFilesResolution)
{
    TScratch dir;
    const Picture a = TestPattern(kStandardWidth, 90, 1), b = TestPattern(kStandardWidth, 61, 2),
                  c = TestPattern(kStandardWidth, 40, 3);
    RasterPage fine{a, 196}, standard{b, 98}, third{c, 196};
    const std::string stream = RasterStream({fine, standard, third});

    // A fine file: the standard page gives each line twice.
    ASSERT_EQ(Convert(dir, stream, dir.Path("fine.apf"), true).Rc, 0);
    EXPECT_EQ(UnpackedPage(dir.Path("fine.apf"), 1), a);
    EXPECT_EQ(UnpackedPage(dir.Path("fine.apf"), 2), EachRowTwice(b));
    EXPECT_EQ(UnpackedPage(dir.Path("fine.apf"), 3), c);
    TApdFaxUnpacker u;
    u.SetInFileName(dir.Path("fine.apf"));
    EXPECT_EQ(u.GetNumPages(), 3);

    // A standard file: a fine page keeps every second line.
    ASSERT_EQ(Convert(dir, stream, dir.Path("std.apf"), false).Rc, 0);
    Picture half = MakePicture(kStandardWidth, (a.Height + 1) / 2);
    for (unsigned y = 0; y < half.Height; ++y)
        for (unsigned x = 0; x < half.Width; ++x)
            half.At(x, y) = a.At(x, 2 * y);
    EXPECT_EQ(UnpackedPage(dir.Path("std.apf"), 1), half);
    EXPECT_EQ(UnpackedPage(dir.Path("std.apf"), 2), b);
    EXPECT_FALSE(PageFine(dir.Path("std.apf"), 1));

    // Taking the stream's resolution: that of its first page.
    ASSERT_EQ(Convert(dir, RasterStream({standard}), dir.Path("own.apf"), true, true).Rc, 0);
    EXPECT_FALSE(PageFine(dir.Path("own.apf"), 1));
    EXPECT_EQ(UnpackedPage(dir.Path("own.apf"), 1), b);
}

// A job of several documents reaches the backend as their streams one
// after the other, each with its own sync word and of its own kind.
TEST(RasterInput, EveryDocumentOfAJobInOrder)
{
    TScratch dir;
    const Picture a = TestPattern(kStandardWidth, 90, 11), b = TestPattern(kStandardWidth, 45, 12),
                  c = TestPattern(kStandardWidth, 70, 13), d = TestPattern(1686, 60, 14);
    RasterPage white{c, 196};
    white.Space = CUPS_CSPACE_W;
    const std::string empty = RasterStream({});
    ASSERT_EQ(empty.size(), 4u) << "a document without pages is its sync word alone";
    const std::string job = RasterStream({{a, 196}, {b, 98}}) + empty +
                            RasterStream({white}, CUPS_RASTER_WRITE) + RasterStream({{d, 196}});

    ASSERT_EQ(Convert(dir, job, dir.Path("job.apf"), true).Rc, 0);
    TApdFaxUnpacker u;
    u.SetInFileName(dir.Path("job.apf"));
    ASSERT_EQ(u.GetNumPages(), 4);
    EXPECT_EQ(UnpackedPage(dir.Path("job.apf"), 1), a);
    EXPECT_EQ(UnpackedPage(dir.Path("job.apf"), 2), EachRowTwice(b));
    EXPECT_EQ(UnpackedPage(dir.Path("job.apf"), 3), c);
    EXPECT_EQ(UnpackedPage(dir.Path("job.apf"), 4), AsBitmapPathFitsIt(dir, d));

    // The file's resolution is the first document's.
    ASSERT_EQ(Convert(dir, RasterStream({{b, 98}}) + RasterStream({{a, 196}}), dir.Path("own.apf"),
                      true, true)
                  .Rc,
              0);
    EXPECT_FALSE(PageFine(dir.Path("own.apf"), 2));
    EXPECT_EQ(UnpackedPage(dir.Path("own.apf"), 1), b);
}

TEST(RasterInput, ABadStreamLeavesNoFile)
{
    const Picture p = TestPattern(kStandardWidth, 50, 4);
    RasterPage good{p};
    RasterPage deep{p};
    deep.BitsPerPixel = 8;
    RasterPage colour{p};
    colour.Space = CUPS_CSPACE_RGB;
    const std::string whole = RasterStream({good, good});
    const std::string second = RasterStream({good});
    std::string badHeader = second.substr(0, 4);
    badHeader.append(sizeof(cups_page_header2_t), '\xFF');
    struct Case {
        const char* Name;
        std::string Stream;
        int Rc;
        bool WrongKind;
        bool Damaged;
    };
    const Case cases[] = {
        {"nothing", "", AdErr::ecBadGraphicsFormat, false, false},
        {"no raster", "%PDF-1.4 not a raster\n", AdErr::ecBadGraphicsFormat, false, true},
        {"eight bits", RasterStream({deep}), AdErr::ecBadGraphicsFormat, true, false},
        {"colour", RasterStream({colour}), AdErr::ecBadGraphicsFormat, true, false},
        {"good page, then eight bits", RasterStream({good, deep}), AdErr::ecBadGraphicsFormat, true,
         false},
        {"cut inside page 2", whole.substr(0, whole.size() * 3 / 4), AdErr::ecDeviceRead, false,
         false},
        // A second document that is not all there, or not raster at all, is
        // never taken for the end of the job.
        {"second document eight bits", whole + RasterStream({deep}), AdErr::ecBadGraphicsFormat,
         true, false},
        {"second document cut inside its page", whole + second.substr(0, second.size() * 3 / 4),
         AdErr::ecDeviceRead, false, false},
        {"second document cut inside its header", whole + second.substr(0, 100),
         AdErr::ecBadGraphicsFormat, false, true},
        {"second document cut inside its sync word", whole + second.substr(0, 2),
         AdErr::ecBadGraphicsFormat, false, true},
        {"second document with a damaged header", whole + badHeader, AdErr::ecBadGraphicsFormat,
         false, true},
        {"something else after the first document", whole + "%PDF-1.4 not a raster\n",
         AdErr::ecBadGraphicsFormat, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TScratch dir;
        const RasterResult r = Convert(dir, c.Stream, dir.Path("out.apf"), true);
        EXPECT_EQ(r.Rc, c.Rc);
        EXPECT_EQ(r.WrongKind, c.WrongKind);
        EXPECT_EQ(r.Damaged, c.Damaged);
        EXPECT_EQ(Files(dir), std::vector<std::string>{});
    }
}

} // namespace
