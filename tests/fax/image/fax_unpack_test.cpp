#include "fax/fax_t4_codes.h"
#include "fax/fax_unpack.h"
#include "fax_image_helpers.h"
#include "serial/ad_except.h"

#include <gtest/gtest.h>

namespace {

// Builds MH code, least significant bit first.
class Code {
public:
    Code& Bits(uint32_t value, unsigned length)
    {
        for (unsigned i = 0; i < length; ++i, ++Bit_) {
            if (Bit_ / 8 >= Bytes_.size())
                Bytes_.push_back(0);
            if ((value >> i) & 1)
                Bytes_[Bit_ / 8] |= static_cast<uint8_t>(1 << (Bit_ % 8));
        }
        return *this;
    }
    Code& Eol() { return Bits(0x800, 12); }
    Code& Run(unsigned n, bool black)
    {
        const auto& t = black ? T4::PackedBlack() : T4::PackedWhite();
        if (n >= 64)
            Bits(t.MakeUp[n / 64].Value, t.MakeUp[n / 64].Length);
        return Bits(t.Terminating[n % 64].Value, t.Terminating[n % 64].Length);
    }
    // A line of white, then `black` pixels, then white to `width`.
    Code& Line(unsigned black, unsigned width = kStandardWidth, unsigned at = 100)
    {
        Eol();
        if (black == 0)
            return Run(width, false);
        return Run(at, false).Run(black, true).Run(width - at - black, false);
    }
    Code& Rtc()
    {
        for (int i = 0; i < 6; ++i)
            Eol();
        return *this;
    }
    const std::vector<uint8_t>& Bytes() const { return Bytes_; }

private:
    std::vector<uint8_t> Bytes_;
    unsigned Bit_ = 0;
};

void WriteRawPages(const std::string& path, const std::vector<std::pair<Code, uint16_t>>& pages)
{
    TApfWriter w;
    ASSERT_EQ(w.Create(path), 0);
    for (const auto& [code, flags] : pages) {
        ASSERT_EQ(w.BeginPage(flags), 0);
        ASSERT_EQ(w.AddData(code.Bytes().data(), code.Bytes().size()), 0);
        ASSERT_EQ(w.EndPage(), 0);
    }
    ASSERT_EQ(w.Close("T"), 0);
}

// Black pixels of each line output for page 1.
struct Result {
    int Rc = 0;
    std::vector<unsigned> Black;
    std::vector<unsigned> Lengths;
    uint32_t BadCodes = 0;
};

Result Unpack(const std::string& path, uint16_t options = 0, unsigned wsFrom = 0, unsigned wsTo = 0)
{
    Result r;
    std::unique_ptr<TUnpackFax> u;
    upInitFaxUnpacker(u, nullptr,
                      [&](TUnpackFax&, int flags, const uint8_t* d, unsigned len, unsigned) {
                          if (flags == 0) {
                              unsigned n = 0;
                              for (unsigned i = 0; i < len; ++i)
                                  n += static_cast<unsigned>(__builtin_popcount(d[i]));
                              r.Black.push_back(n);
                              r.Lengths.push_back(len);
                          }
                          return 0;
                      });
    u->Flags = 0;
    upOptionsOn(*u, options);
    EXPECT_EQ(upSetWhitespaceCompression(*u, wsFrom, wsTo), 0);
    r.Rc = upUnpackPage(*u, path, 1);
    r.BadCodes = u->BadCodes;
    return r;
}

using V = std::vector<unsigned>;

TEST(Unpacker, LinesAndPageEnds)
{
    TScratch dir;
    const std::string path = dir.Path("p.apf");
    Code c;
    c.Run(5, true).Run(20, false); // before the first EOL: ignored
    c.Line(3);
    c.Eol().Run(100, false).Run(3, true).Run(1624, false); // 1727 pixels: dropped
    c.Line(4, kWideWidth);
    c.Line(5).Rtc();
    c.Line(6).Eol(); // after the page's end
    WriteRawPages(path, {{c, ffHighRes}});
    Result r = Unpack(path);
    EXPECT_EQ(r.Rc, 0);
    EXPECT_EQ(r.Black, (V{3, 4, 5}));
    EXPECT_EQ(r.Lengths, (V{216, 256, 216}));

    // Our own page-end record, after the last line, ends the page at its
    // third EOL; a line whose data run out unterminated still counts.
    Code own;
    own.Line(7);
    for (uint8_t b : kApfPageEnd)
        own.Bits(b, 8);
    own.Line(8);
    Code cut;
    cut.Line(9).Line(10); // no end codes at all
    WriteRawPages(path, {{own, ffHighRes}, {cut, ffHighRes}});
    EXPECT_EQ(Unpack(path).Black, (V{7}));
    std::unique_ptr<TUnpackFax> u;
    upInitFaxUnpacker(u, nullptr, nullptr);
    TUnpackBuffer b;
    ASSERT_EQ(upUnpackPageToBuffer(*u, path, 2, b), 0);
    EXPECT_EQ(b.Lines, 2u);
    EXPECT_EQ(upUnpackPageToBuffer(*u, path, 3, b), AdErr::ecFaxBadFormat);
    EXPECT_EQ(upUnpackPageToBuffer(*u, "", 1, b), AdErr::ecFileNotFound);
}

// With the skip flag a page is found through the header the record read
// before: the file's header is not read again (here it has been spoilt
// since). A record that holds no header reads the file's.
TEST(Unpacker, PageToBufferCanSkipTheHeaderRead)
{
    TScratch dir;
    const std::string path = dir.Path("p.apf");
    Code first, second;
    first.Line(3).Rtc();
    second.Line(5).Line(6).Rtc();
    WriteRawPages(path, {{first, ffHighRes}, {second, ffHighRes}});
    std::unique_ptr<TUnpackFax> u;
    upInitFaxUnpacker(u, nullptr, nullptr);
    TFaxHeaderRec h;
    ASSERT_EQ(upGetFaxHeader(*u, path, h), 0);
    TUnpackBuffer whole;
    ASSERT_EQ(upUnpackPageToBuffer(*u, path, 2, whole), 0);
    ASSERT_EQ(whole.Lines, 2u);

    std::string bytes = ReadFile(path);
    bytes[0] = 'X';
    WriteFile(path, bytes);
    TUnpackBuffer b;
    EXPECT_EQ(upUnpackPageToBuffer(*u, path, 2, b), AdErr::ecFaxBadFormat);
    ASSERT_EQ(upUnpackPageToBuffer(*u, path, 2, b, true), 0);
    EXPECT_EQ(b.Lines, whole.Lines);
    EXPECT_EQ(b.Bits, whole.Bits);
    EXPECT_EQ(upUnpackPageToBuffer(*u, path, 3, b, true), AdErr::ecFaxBadFormat);

    std::unique_ptr<TUnpackFax> fresh;
    upInitFaxUnpacker(fresh, nullptr, nullptr);
    EXPECT_EQ(upUnpackPageToBuffer(*fresh, path, 2, b, true), AdErr::ecFaxBadFormat);
}

TEST(Unpacker, BadCodesDropOnlyTheirLine)
{
    TScratch dir;
    const std::string path = dir.Path("p.apf");
    Code c;
    c.Line(3);
    // A code that does not exist inside a line of 1727 pixels.
    c.Eol().Run(100, false).Bits(0x100, 9).Run(50, true).Run(1577, false);
    c.Line(4).Line(5).Rtc();
    WriteRawPages(path, {{c, ffHighRes}});
    const Result r = Unpack(path);
    EXPECT_EQ(r.Black, (V{3, 4, 5}));
    EXPECT_GT(r.BadCodes, 0u);
}

TEST(Unpacker, WhitespaceAndScalingOptions)
{
    TScratch dir;
    const std::string path = dir.Path("p.apf");
    auto gap = [](unsigned white) {
        Code c;
        c.Line(1);
        for (unsigned i = 0; i < white; ++i)
            c.Line(0);
        c.Line(2).Line(0).Rtc();
        return c;
    };
    WriteRawPages(path, {{gap(12), ffHighRes}});
    EXPECT_EQ(Unpack(path, 0, 10, 2).Black, (V{1, 0, 0, 2, 0}));
    WriteRawPages(path, {{gap(9), ffHighRes}});
    EXPECT_EQ(Unpack(path, 0, 10, 2).Black.size(), 1u + 9 + 1 + 1);
    std::unique_ptr<TUnpackFax> u;
    upInitFaxUnpacker(u, nullptr, nullptr);
    EXPECT_EQ(upSetWhitespaceCompression(*u, 2, 10), AdErr::ecBadArgument);
    EXPECT_EQ(upSetWhitespaceCompression(*u, 0, 1), AdErr::ecBadArgument);

    // Double height and half width touch standard-resolution pages only.
    WriteRawPages(path, {{gap(0), 0}});
    EXPECT_EQ(Unpack(path, ufDoubleHeight).Black, (V{1, 1, 2, 2, 0, 0}));
    const Result half = Unpack(path, ufHalfWidth);
    EXPECT_EQ(half.Lengths, (V{108, 108, 108}));
    EXPECT_EQ(half.Black, (V{1, 1, 0}));
    EXPECT_EQ(Unpack(path, ufDoubleHeight | ufHalfWidth).Black.size(), 3u);
    WriteRawPages(path, {{gap(0), ffHighRes}});
    EXPECT_EQ(Unpack(path, ufDoubleHeight).Black.size(), 3u);

    upOptionsOn(*u, ufHalfWidth);
    EXPECT_FALSE(upOptionsAreOn(*u, ufDoubleHeight));
    upOptionsOn(*u, ufDoubleHeight | ufHalfWidth);
    EXPECT_TRUE(upOptionsAreOn(*u, ufHalfWidth));
    EXPECT_FALSE(upOptionsAreOn(*u, ufDoubleHeight));
}

TEST(Unpacker, MemoryBitmapAndBmpFiles)
{
    TScratch dir;
    const std::string path = dir.Path("p.apf");
    Code c;
    c.Line(600, kStandardWidth, 0).Line(0).Line(0).Line(0).Rtc();
    WriteRawPages(path, {{c, ffHighRes}, {Code().Rtc(), ffHighRes}});
    std::unique_ptr<TUnpackFax> u;
    upInitFaxUnpacker(u, nullptr, nullptr);
    TMemoryBitmapDesc d;
    ASSERT_EQ(upUnpackPageToBitmap(*u, path, 1, d, false), 0);
    EXPECT_EQ(d.Width, 608u); // the widest inked line, in whole even bytes
    EXPECT_EQ(d.Height, 4u);
    EXPECT_EQ(d.Bitmap.pixelIndex(599, 0), 1);
    EXPECT_EQ(d.Bitmap.pixelIndex(600, 0), 0);
    ASSERT_EQ(upUnpackPageToBitmap(*u, path, 2, d, true), 0);
    EXPECT_TRUE(d.Bitmap.isNull()); // no lines, no bitmap

    upSetScaling(*u, 1, 2, 1, 2);
    ASSERT_EQ(upUnpackPageToBitmap(*u, path, 1, d, true), 0);
    EXPECT_EQ(d.Width, 304u);
    EXPECT_EQ(d.Height, 2u);
    EXPECT_EQ(qGray(d.Bitmap.pixel(0, 0)), 0);
    EXPECT_EQ(qGray(d.Bitmap.pixel(0, 1)), 255);
    upSetScaling(*u, 1, 1, 1, 1);

    // Read back by netpbm.
    ASSERT_EQ(upUnpackPageToBmp(*u, path, dir.Path("page"), 1), 0);
    const Picture bmp = FromPbm(RunShell("bmptopnm " + dir.Path("page.BMP") + " 2>/dev/null"));
    ASSERT_EQ(bmp.Width, 608u);
    ASSERT_EQ(bmp.Height, 4u);
    for (unsigned x = 0; x < bmp.Width; ++x)
        ASSERT_EQ(bmp.At(x, 0), x < 600) << x;
    EXPECT_EQ(WriteMonoBmp(QImage(8, 32768, QImage::Format_Mono), dir.Path("tall.bmp")),
              AdErr::ecBmpTooBig);
}

} // namespace
