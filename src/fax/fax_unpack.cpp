#include "fax/fax_unpack.h"

#include "fax/fax_convert.h"
#include "fax/fax_t4_codes.h"
#include "platform/atomic_file.h"
#include "serial/ad_except.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <system_error>

namespace {

constexpr int32_t kEolLeaf = -10000;
// Node reached by eleven zeros: more zeros are fill and stay there.
constexpr unsigned kFillDepth = 11;

void AddCode(std::vector<TTreeNode>& tree, const char* bits, int32_t leaf)
{
    int32_t node = 0;
    for (std::size_t i = 0; bits[i]; ++i) {
        const int b = bits[i] - '0';
        if (!bits[i + 1]) {
            tree[static_cast<std::size_t>(node)].Next[static_cast<std::size_t>(b)] = leaf;
            return;
        }
        int32_t next = tree[static_cast<std::size_t>(node)].Next[static_cast<std::size_t>(b)];
        if (next <= 0) {
            next = static_cast<int32_t>(tree.size());
            tree[static_cast<std::size_t>(node)].Next[static_cast<std::size_t>(b)] = next;
            tree.emplace_back();
        }
        node = next;
    }
}

std::vector<TTreeNode> BuildTree(std::span<const TT4Code> codes)
{
    std::vector<TTreeNode> tree(1);
    for (const auto& c : codes)
        AddCode(tree, c.Bits, -(c.Run + 1));
    for (const auto& c : T4::ExtendedMakeUpCodes())
        AddCode(tree, c.Bits, -(c.Run + 1));
    AddCode(tree, T4::kEol, kEolLeaf);
    int32_t node = 0;
    for (unsigned i = 0; i < kFillDepth; ++i)
        node = tree[static_cast<std::size_t>(node)].Next[0];
    tree[static_cast<std::size_t>(node)].Next[0] = node;
    return tree;
}

void SetRun(uint8_t* line, unsigned from, unsigned count)
{
    unsigned i = from;
    const unsigned end = from + count;
    for (; i < end && (i & 7); ++i)
        line[i >> 3] |= static_cast<uint8_t>(0x80 >> (i & 7));
    if (end - i >= 8) {
        std::memset(line + (i >> 3), 0xFF, (end - i) >> 3);
        i += (end - i) & ~7u;
    }
    for (; i < end; ++i)
        line[i >> 3] |= static_cast<uint8_t>(0x80 >> (i & 7));
}

// Decodes one page of an open reader.
class PageDecoder {
public:
    PageDecoder(TUnpackFax& u, unsigned page) : U_(u), Page_(page) {}

    int Run(TApfReader& reader)
    {
        U_.LineBuffer.fill(0);
        U_.LineBits = 0;
        U_.LinesOut = 0;
        U_.WhiteCount = 0;
        std::vector<uint8_t> chunk;
        bool pageDone = false;
        while (!pageDone) {
            if (const int rc = reader.ReadChunk(chunk); rc != 0)
                return rc;
            if (chunk.empty())
                break;
            U_.BytesRead += static_cast<uint32_t>(reader.BytesRead() - CountedSoFar_);
            CountedSoFar_ = reader.BytesRead();
            for (uint8_t byte : chunk) {
                if (const int rc = Byte(byte, pageDone); rc != 0 || pageDone)
                    return rc;
                if (U_.Flags & ufAbort)
                    return AdErr::ecUnpackAbort;
                if ((U_.Flags & ufYield) && U_.LinesOut / 16 != Served_) {
                    Served_ = U_.LinesOut / 16;
                    if (const int rc = FaxServeQueue(); rc != 0)
                        return rc;
                }
            }
            Status();
        }
        // Data ran out without end codes: a complete last line still counts.
        if (!pageDone && IsFullLine())
            return EndOfLine();
        return 0;
    }

    int Finish()
    {
        int rc = 0;
        const unsigned held = U_.WhiteCount;
        if (held > 0 && U_.WSFrom != U_.WSTo)
            rc = Blank(held < U_.WSFrom ? held : U_.WSTo);
        U_.WhiteCount = 0;
        U_.BytesRead = std::min(U_.BytesRead, U_.BytesToUnpack);
        Status();
        return rc;
    }

private:
    bool IsFullLine() const { return U_.LineBits == kStandardWidth || U_.LineBits == kWideWidth; }

    void Status()
    {
        if (U_.StatusFunc)
            U_.StatusFunc(U_, U_.FileName, Page_, std::min(U_.BytesRead, U_.BytesToUnpack),
                          U_.BytesToUnpack);
    }

    int Byte(uint8_t byte, bool& pageDone)
    {
        for (unsigned i = 0; i < 8; ++i) {
            const unsigned bit = (byte >> i) & 1;
            if (Skipping_) {
                if (bit)
                    continue;
                Skipping_ = false;
            }
            const std::vector<TTreeNode>& tree = Black_ ? U_.BlackTree : U_.WhiteTree;
            const int32_t entry = tree[static_cast<std::size_t>(Node_)].Next[bit];
            if (entry > 0) {
                Node_ = entry;
                continue;
            }
            Node_ = 0;
            if (entry == 0) {
                ++U_.BadCodes;
                Skipping_ = true;
                continue;
            }
            if (entry == kEolLeaf) {
                if (const int rc = EndOfLine(); rc != 0)
                    return rc;
                BeforeFirstEol_ = false;
                if (++EolCount_ >= 3) {
                    pageDone = true;
                    return 0;
                }
                continue;
            }
            const unsigned run = static_cast<unsigned>(-entry - 1);
            if (!BeforeFirstEol_ && U_.LineBits + run <= kUnpackLineBytes * 8) {
                if (Black_)
                    SetRun(U_.LineBuffer.data(), U_.LineBits, run);
                U_.LineBits += run;
            }
            if (run < 64)
                Black_ = !Black_;
            EolCount_ = 0;
        }
        return 0;
    }

    int EndOfLine()
    {
        int rc = 0;
        if (U_.LineBits > 0 && IsFullLine())
            rc = Line(U_.LineBuffer.data(), U_.LineBits / 8);
        std::memset(U_.LineBuffer.data(), 0, (U_.LineBits + 7) / 8);
        U_.LineBits = 0;
        Black_ = false;
        return rc;
    }

    int Line(const uint8_t* data, unsigned len)
    {
        if (U_.WSFrom != 0 && U_.WSTo != 0) {
            if (std::all_of(data, data + len, [](uint8_t b) { return b == 0; })) {
                ++U_.WhiteCount;
                return 0;
            }
            if (U_.WhiteCount > 0) {
                const unsigned n = U_.WhiteCount >= U_.WSFrom ? U_.WSTo : U_.WhiteCount;
                U_.WhiteCount = 0;
                if (const int rc = Blank(n); rc != 0)
                    return rc;
            }
        }
        return Output(data, len);
    }

    int Blank(unsigned count)
    {
        const std::vector<uint8_t> white(U_.PageHeader.LineWidth() / 8, 0);
        for (unsigned i = 0; i < count; ++i)
            if (const int rc = Output(white.data(), static_cast<unsigned>(white.size())); rc != 0)
                return rc;
        return 0;
    }

    int Output(const uint8_t* data, unsigned len)
    {
        std::array<uint8_t, kUnpackLineBytes> out;
        const bool halve =
            !U_.PageHeader.Fine() && !(U_.Flags & ufDoubleHeight) && (U_.Flags & ufHalfWidth);
        if (U_.Inverted || halve) {
            std::memcpy(out.data(), data, len);
            data = out.data();
        }
        if (U_.Inverted)
            for (unsigned i = 0; i < len; ++i)
                out[i] = static_cast<uint8_t>(~out[i]);
        unsigned times = 1;
        if (!U_.PageHeader.Fine()) {
            if (U_.Flags & ufDoubleHeight) {
                times = 2;
            } else if (halve) {
                for (unsigned i = 0; i < len / 2; ++i) {
                    uint8_t v = 0;
                    const unsigned pair = static_cast<unsigned>(out[2 * i] << 8 | out[2 * i + 1]);
                    for (unsigned b = 0; b < 8; ++b)
                        if ((pair >> (14 - 2 * b)) & 3)
                            v |= static_cast<uint8_t>(0x80 >> b);
                    out[i] = v;
                }
                len /= 2;
            }
        }
        for (unsigned t = 0; t < times; ++t) {
            ++U_.LinesOut;
            if (U_.OutputLine)
                if (const int rc = U_.OutputLine(U_, 0, data, len, Page_); rc != 0)
                    return rc;
        }
        return 0;
    }

    TUnpackFax& U_;
    unsigned Page_;
    int32_t Node_ = 0;
    bool Black_ = false;
    bool BeforeFirstEol_ = true;
    bool Skipping_ = false;
    unsigned EolCount_ = 0;
    unsigned Served_ = 0;
    uint32_t CountedSoFar_ = 0;
};

// Decodes pages `first`..`last` of the file to the unpacker's output
// routine, between one starting and one ending call. With `skipHeader` the
// record's copy of the file header stands for the file's, when it holds one.
int UnpackPages(TUnpackFax& u, const std::string& fileName, unsigned first, unsigned last,
                bool skipHeader = false)
{
    if (fileName.empty())
        return AdErr::ecFileNotFound;
    TApfReader reader;
    const bool known = skipHeader && u.FaxHeader.HasSignature();
    if (const int rc = known ? reader.Open(fileName, u.FaxHeader) : reader.Open(fileName); rc != 0)
        return rc;
    u.FileName = fileName;
    u.FaxHeader = reader.Header();
    if (last == 0)
        last = u.FaxHeader.PageCount;
    u.BytesToUnpack = 0;
    for (unsigned p = first; p <= last; ++p) {
        TPageHeaderRec ph;
        if (const int rc = reader.SeekPage(p, ph); rc != 0)
            return rc;
        u.BytesToUnpack += ph.ImgLength;
    }
    u.BytesRead = 0;
    int rc = u.OutputLine ? u.OutputLine(u, upStarting, nullptr, 0, first) : 0;
    for (unsigned p = first; p <= last && rc == 0; ++p) {
        u.CurPage = p;
        rc = reader.SeekPage(p, u.PageHeader);
        if (rc == 0) {
            PageDecoder decoder(u, p);
            rc = decoder.Run(reader);
            if (rc == 0)
                rc = decoder.Finish();
        }
    }
    if (rc == 0 && u.OutputLine)
        rc = u.OutputLine(u, upEnding, nullptr, 0, last);
    return rc;
}

bool Scaled(const TUnpackFax& u)
{
    return u.HMult != u.HDiv || u.VMult != u.VDiv;
}

// Nearest-neighbour scaling of packed lines, 1 = black.
TUnpackBuffer Scale(const TUnpackBuffer& in, const TUnpackFax& u)
{
    TUnpackBuffer out;
    const unsigned inWidth = in.WidthBytes * 8;
    const unsigned outWidth = static_cast<unsigned>(uint64_t{inWidth} * u.HMult / u.HDiv);
    out.Lines = static_cast<unsigned>(uint64_t{in.Lines} * u.VMult / u.VDiv);
    out.WidthBytes = (outWidth + 7) / 8;
    out.Bits.assign(std::size_t{out.WidthBytes} * out.Lines, 0);
    for (unsigned y = 0; y < out.Lines; ++y) {
        const unsigned sy = static_cast<unsigned>(uint64_t{y} * u.VDiv / u.VMult);
        const uint8_t* src = &in.Bits[std::size_t{sy} * in.WidthBytes];
        uint8_t* dst = &out.Bits[std::size_t{y} * out.WidthBytes];
        for (unsigned x = 0; x < outWidth; ++x) {
            const unsigned sx = static_cast<unsigned>(uint64_t{x} * u.HDiv / u.HMult);
            if ((src[sx >> 3] >> (7 - (sx & 7))) & 1)
                dst[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
        }
    }
    return out;
}

// Unpacks to the packed buffer with the bitmap output routine, scaled.
int UnpackToBuffer(TUnpackFax& u, const std::string& fileName, unsigned first, unsigned last,
                   TUnpackBuffer& buffer, bool skipHeader = false)
{
    TUnpackLineFunc saved = std::move(u.OutputLine);
    const bool savedInvert = u.Inverted;
    u.OutputLine = upPutMemoryBitmapLine;
    u.Inverted = false;
    int rc = UnpackPages(u, fileName, first, last, skipHeader);
    u.OutputLine = std::move(saved);
    u.Inverted = savedInvert;
    if (rc != 0)
        return rc;
    buffer = Scaled(u) ? Scale(u.Buffer, u) : std::move(u.Buffer);
    u.Buffer = {};
    return 0;
}

int UnpackToBitmap(TUnpackFax& u, const std::string& fileName, unsigned first, unsigned last,
                   TMemoryBitmapDesc& desc, bool invert)
{
    desc = {};
    TUnpackBuffer buffer;
    if (const int rc = UnpackToBuffer(u, fileName, first, last, buffer); rc != 0)
        return rc;
    if (buffer.Lines == 0)
        return 0;
    const unsigned width = std::max(buffer.WidthBytes, 1u) * 8;
    QImage image(static_cast<int>(width), static_cast<int>(buffer.Lines), QImage::Format_Mono);
    if (image.isNull())
        return AdErr::ecCantMakeBitmap;
    // Index 1 is black, or white when inverted (a monochrome device bitmap).
    if (invert)
        image.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
    else
        image.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    for (unsigned y = 0; y < buffer.Lines; ++y) {
        uint8_t* row = image.scanLine(static_cast<int>(y));
        std::memset(row, invert ? 0xFF : 0, static_cast<std::size_t>(image.bytesPerLine()));
        const uint8_t* src = &buffer.Bits[std::size_t{y} * buffer.WidthBytes];
        for (unsigned i = 0; i < buffer.WidthBytes; ++i)
            row[i] = invert ? static_cast<uint8_t>(~src[i]) : src[i];
    }
    desc.Width = width;
    desc.Height = buffer.Lines;
    desc.Bitmap = std::move(image);
    u.MemBmp = desc;
    return 0;
}

std::string OutName(const std::string& inName, const std::string& outName, const char* ext)
{
    return outName.empty() ? ForceExt(inName, ext) : ForceDefaultExt(outName, ext);
}

void Put16(std::string& s, std::size_t at, uint32_t v)
{
    s[at] = static_cast<char>(v);
    s[at + 1] = static_cast<char>(v >> 8);
}

void Put32(std::string& s, std::size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s[at + static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
}

// Page `page` as the output routine gets its lines, packed to the longest
// line (shorter ones padded white), 1 = black.
int CollectPage(TUnpackFax& u, const std::string& fileName, unsigned page, TUnpackBuffer& out)
{
    std::vector<std::vector<uint8_t>> lines;
    TUnpackLineFunc saved = std::move(u.OutputLine);
    const bool savedInvert = u.Inverted;
    u.Inverted = false;
    u.OutputLine = [&lines](TUnpackFax&, int flags, const uint8_t* data, unsigned len, unsigned) {
        if (flags != 0)
            return 0;
        try {
            lines.emplace_back(data, data + len);
        } catch (const std::bad_alloc&) {
            return AdErr::ecOutOfMemory;
        }
        return 0;
    };
    const int rc = upUnpackPage(u, fileName, page);
    u.OutputLine = std::move(saved);
    u.Inverted = savedInvert;
    if (rc != 0)
        return rc;
    out = {};
    for (const auto& line : lines)
        out.WidthBytes = std::max(out.WidthBytes, static_cast<unsigned>(line.size()));
    if (out.WidthBytes == 0)
        return AdErr::ecCantMakeBitmap;
    out.Lines = static_cast<unsigned>(lines.size());
    try {
        out.Bits.assign(std::size_t{out.WidthBytes} * out.Lines, 0);
    } catch (const std::bad_alloc&) {
        return AdErr::ecOutOfMemory;
    }
    for (unsigned y = 0; y < out.Lines; ++y)
        std::copy(lines[y].begin(), lines[y].end(), &out.Bits[std::size_t{y} * out.WidthBytes]);
    return 0;
}

int CollectFile(TUnpackFax& u, const std::string& fileName, std::vector<TUnpackBuffer>& pages)
{
    TFaxHeaderRec header;
    if (const int rc = upGetFaxHeader(u, fileName, header); rc != 0)
        return rc;
    if (header.PageCount == 0)
        return AdErr::ecCantMakeBitmap;
    pages.assign(header.PageCount, {});
    for (unsigned p = 1; p <= header.PageCount; ++p)
        if (const int rc = CollectPage(u, fileName, p, pages[p - 1]); rc != 0)
            return rc;
    return 0;
}

// The pages one below the other, as wide as the widest.
TUnpackBuffer Stack(const std::vector<TUnpackBuffer>& pages)
{
    TUnpackBuffer out;
    for (const auto& p : pages) {
        out.WidthBytes = std::max(out.WidthBytes, p.WidthBytes);
        out.Lines += p.Lines;
    }
    out.Bits.assign(std::size_t{out.WidthBytes} * out.Lines, 0);
    std::size_t row = 0;
    for (const auto& p : pages)
        for (unsigned y = 0; y < p.Lines; ++y, ++row)
            std::memcpy(&out.Bits[row * out.WidthBytes], &p.Bits[std::size_t{y} * p.WidthBytes],
                        p.WidthBytes);
    return out;
}

int WriteOut(const std::string& fileName, const std::string& bytes)
{
    try {
        WriteFileAtomic(fileName, bytes);
    } catch (const std::system_error& e) {
        return FileErrorCode(e.code().value());
    }
    return 0;
}

constexpr unsigned kMaxPcxLines = 65536;
constexpr uint32_t kDcxSignature = 0x3ADE68B1;
constexpr unsigned kDcxTableEntries = 1024;

// A PCX image: one plane of one bit, 1 = white, each line run-length coded
// on its own.
int PcxImage(const TUnpackBuffer& b, std::string& out)
{
    if (b.Lines > kMaxPcxLines)
        return AdErr::ecBadArgument;
    std::string f(128, '\0');
    f[0] = 10; // manufacturer
    f[1] = 2;  // version
    f[2] = 1;  // run-length coding
    f[3] = 1;  // bits per pixel
    Put16(f, 8, b.WidthBytes * 8 - 1);
    Put16(f, 10, b.Lines - 1);
    Put16(f, 12, 200); // dots per inch
    Put16(f, 14, 200);
    f[19] = f[20] = f[21] = static_cast<char>(0xFF); // palette: black, white
    f[65] = 1;                                       // planes
    Put16(f, 66, b.WidthBytes);
    Put16(f, 68, 1); // palette kind: colour or black and white
    for (unsigned y = 0; y < b.Lines; ++y) {
        const uint8_t* line = &b.Bits[std::size_t{y} * b.WidthBytes];
        for (unsigned i = 0; i < b.WidthBytes;) {
            const uint8_t v = static_cast<uint8_t>(~line[i]);
            unsigned run = 1;
            while (i + run < b.WidthBytes && run < 63 && line[i + run] == line[i])
                ++run;
            if (run > 1 || (v & 0xC0) == 0xC0)
                f += static_cast<char>(0xC0 | run);
            f += static_cast<char>(v);
            i += run;
        }
    }
    out += f;
    return 0;
}

int DcxFile(const std::vector<TUnpackBuffer>& pages, std::string& out)
{
    if (pages.size() >= kDcxTableEntries)
        return AdErr::ecBadArgument;
    out.assign(4 + 4 * std::size_t{kDcxTableEntries}, '\0');
    Put32(out, 0, kDcxSignature);
    for (std::size_t i = 0; i < pages.size(); ++i) {
        Put32(out, 4 + 4 * i, static_cast<uint32_t>(out.size()));
        if (const int rc = PcxImage(pages[i], out); rc != 0)
            return rc;
    }
    return 0;
}

// PackBits: runs of two or more equal bytes as a count -1..-127 and the
// byte, anything else as literal stretches of up to 128 bytes.
void PackBits(const uint8_t* row, unsigned n, std::string& out)
{
    for (unsigned i = 0; i < n;) {
        unsigned run = 1;
        while (i + run < n && run < 128 && row[i + run] == row[i])
            ++run;
        if (run > 1) {
            out += static_cast<char>(1 - static_cast<int>(run));
            out += static_cast<char>(row[i]);
            i += run;
            continue;
        }
        const unsigned start = i;
        while (i < n && i - start < 128 && !(i + 1 < n && row[i] == row[i + 1]))
            ++i;
        out += static_cast<char>(i - start - 1);
        out.append(reinterpret_cast<const char*>(row + start), i - start);
    }
}

// A little-endian TIFF of one directory and one PackBits strip, white is
// zero.
std::string TiffFile(const TUnpackBuffer& b)
{
    constexpr unsigned kEntries = 9;
    constexpr uint32_t kImageOffset = 8 + 2 + kEntries * 12 + 4;
    std::string f(kImageOffset, '\0');
    f[0] = f[1] = 'I';
    Put16(f, 2, 42);
    Put32(f, 4, 8);
    Put16(f, 8, kEntries);
    for (unsigned y = 0; y < b.Lines; ++y)
        PackBits(&b.Bits[std::size_t{y} * b.WidthBytes], b.WidthBytes, f);
    enum : uint16_t { kShort = 3, kLong = 4 };
    struct Entry {
        uint16_t Tag, Type;
        uint32_t Value;
    };
    const Entry entries[kEntries] = {
        {254, kLong, 1},                                              // new subfile type
        {256, kLong, b.WidthBytes * 8},                               // image width
        {257, kLong, b.Lines},                                        // image length
        {258, kShort, 1},                                             // bits per sample
        {259, kShort, 32773},                                         // PackBits
        {262, kShort, 0},                                             // white is zero
        {273, kLong, kImageOffset},                                   // strip offset
        {278, kLong, b.Lines},                                        // rows per strip
        {279, kLong, static_cast<uint32_t>(f.size() - kImageOffset)}, // strip byte count
    };
    for (unsigned i = 0; i < kEntries; ++i) {
        const std::size_t at = 10 + 12 * std::size_t{i};
        Put16(f, at, entries[i].Tag);
        Put16(f, at + 2, entries[i].Type);
        Put32(f, at + 4, 1);
        if (entries[i].Type == kShort)
            Put16(f, at + 8, entries[i].Value);
        else
            Put32(f, at + 8, entries[i].Value);
    }
    return f; // the link to a next directory stays 0
}

enum class TPictureFile { Pcx, Dcx, Tiff };

// Page `page` of the file, or all its pages for 0, as a picture file.
int WritePictures(TUnpackFax& u, const std::string& inName, const std::string& outName,
                  unsigned page, TPictureFile kind)
{
    std::vector<TUnpackBuffer> pages(1);
    int rc = page == 0 ? CollectFile(u, inName, pages) : CollectPage(u, inName, page, pages[0]);
    std::string f;
    const char* ext = "PCX";
    if (rc == 0) {
        switch (kind) {
        case TPictureFile::Pcx:
            rc = PcxImage(Stack(pages), f);
            break;
        case TPictureFile::Dcx:
            rc = DcxFile(pages, f);
            ext = "DCX";
            break;
        case TPictureFile::Tiff:
            f = TiffFile(Stack(pages));
            ext = "TIF";
            break;
        }
    }
    return rc != 0 ? rc : WriteOut(OutName(inName, outName, ext), f);
}

} // namespace

int upInitFaxUnpacker(std::unique_ptr<TUnpackFax>& unpacker, void* data, TUnpackLineFunc outputLine)
{
    unpacker = std::make_unique<TUnpackFax>();
    unpacker->UserData = data;
    unpacker->OutputLine = std::move(outputLine);
    static const std::vector<TTreeNode> white = BuildTree(T4::WhiteCodes());
    static const std::vector<TTreeNode> black = BuildTree(T4::BlackCodes());
    unpacker->WhiteTree = white;
    unpacker->BlackTree = black;
    return 0;
}

void upDoneFaxUnpacker(std::unique_ptr<TUnpackFax>& unpacker)
{
    unpacker.reset();
}

void upOptionsOn(TUnpackFax& unpacker, uint16_t options)
{
    const uint16_t both = ufDoubleHeight | ufHalfWidth;
    if ((options & both) == both)
        return;
    if (options & both)
        unpacker.Flags &= static_cast<uint16_t>(~both);
    unpacker.Flags |= options;
}

void upOptionsOff(TUnpackFax& unpacker, uint16_t options)
{
    unpacker.Flags &= static_cast<uint16_t>(~options);
}

bool upOptionsAreOn(const TUnpackFax& unpacker, uint16_t options)
{
    return (unpacker.Flags & options) == options;
}

void upSetStatusCallback(TUnpackFax& unpacker, TUnpackStatusFunc callback)
{
    unpacker.StatusFunc = std::move(callback);
}

int upSetWhitespaceCompression(TUnpackFax& unpacker, unsigned from, unsigned to)
{
    if (to > from || (from == 0 && to != 0))
        return AdErr::ecBadArgument;
    unpacker.WSFrom = from;
    unpacker.WSTo = to;
    return 0;
}

void upSetScaling(TUnpackFax& unpacker, unsigned hMult, unsigned hDiv, unsigned vMult,
                  unsigned vDiv)
{
    unpacker.HMult = std::max(hMult, 1u);
    unpacker.HDiv = std::max(hDiv, 1u);
    unpacker.VMult = std::max(vMult, 1u);
    unpacker.VDiv = std::max(vDiv, 1u);
}

int upGetFaxHeader(TUnpackFax& unpacker, const std::string& fileName, TFaxHeaderRec& header)
{
    const int rc = ApfReadHeader(fileName, header);
    if (rc == 0)
        unpacker.FaxHeader = header;
    return rc;
}

int upGetPageHeader(TUnpackFax& unpacker, const std::string& fileName, unsigned page,
                    TPageHeaderRec& header)
{
    const int rc = ApfReadPageHeader(fileName, page, header);
    if (rc == 0 && page > 0)
        unpacker.PageHeader = header;
    return rc;
}

int upUnpackPage(TUnpackFax& unpacker, const std::string& fileName, unsigned page)
{
    if (page == 0)
        return AdErr::ecFaxBadFormat;
    if (!Scaled(unpacker))
        return UnpackPages(unpacker, fileName, page, page);
    TUnpackBuffer buffer;
    if (const int rc = UnpackToBuffer(unpacker, fileName, page, page, buffer); rc != 0)
        return rc;
    if (!unpacker.OutputLine)
        return 0;
    int rc = unpacker.OutputLine(unpacker, upStarting, nullptr, 0, page);
    for (unsigned y = 0; y < buffer.Lines && rc == 0; ++y)
        rc = unpacker.OutputLine(unpacker, 0, &buffer.Bits[std::size_t{y} * buffer.WidthBytes],
                                 buffer.WidthBytes, page);
    return rc != 0 ? rc : unpacker.OutputLine(unpacker, upEnding, nullptr, 0, page);
}

int upUnpackFile(TUnpackFax& unpacker, const std::string& fileName)
{
    if (!Scaled(unpacker))
        return UnpackPages(unpacker, fileName, 1, 0);
    TUnpackBuffer buffer;
    if (const int rc = UnpackToBuffer(unpacker, fileName, 1, 0, buffer); rc != 0)
        return rc;
    if (!unpacker.OutputLine)
        return 0;
    int rc = unpacker.OutputLine(unpacker, upStarting, nullptr, 0, 1);
    for (unsigned y = 0; y < buffer.Lines && rc == 0; ++y)
        rc = unpacker.OutputLine(unpacker, 0, &buffer.Bits[std::size_t{y} * buffer.WidthBytes],
                                 buffer.WidthBytes, unpacker.CurPage);
    return rc != 0 ? rc : unpacker.OutputLine(unpacker, upEnding, nullptr, 0, unpacker.CurPage);
}

int upUnpackPageToBitmap(TUnpackFax& unpacker, const std::string& fileName, unsigned page,
                         TMemoryBitmapDesc& desc, bool invert)
{
    if (page == 0)
        return AdErr::ecFaxBadFormat;
    return UnpackToBitmap(unpacker, fileName, page, page, desc, invert);
}

int upUnpackFileToBitmap(TUnpackFax& unpacker, const std::string& fileName, TMemoryBitmapDesc& desc,
                         bool invert)
{
    return UnpackToBitmap(unpacker, fileName, 1, 0, desc, invert);
}

int upUnpackPageToBuffer(TUnpackFax& unpacker, const std::string& fileName, unsigned page,
                         TUnpackBuffer& buffer, bool skipHeaderRead)
{
    if (page == 0)
        return AdErr::ecFaxBadFormat;
    return UnpackToBuffer(unpacker, fileName, page, page, buffer, skipHeaderRead);
}

int upUnpackFileToBuffer(TUnpackFax& unpacker, const std::string& fileName, TUnpackBuffer& buffer)
{
    return UnpackToBuffer(unpacker, fileName, 1, 0, buffer);
}

int upPutMemoryBitmapLine(TUnpackFax& u, int flags, const uint8_t* data, unsigned len, unsigned)
{
    try {
        if (flags & upStarting) {
            u.Mem.clear();
            u.Mem.reserve(std::size_t{kMemBlockLines} * kMemSlotBytes);
            u.MemLines = 0;
            u.MemWidth = 0;
            return 0;
        }
        if (flags & upEnding) {
            TUnpackBuffer& b = u.Buffer;
            b.WidthBytes = u.MemLines == 0 ? 0 : std::max(2u, (u.MemWidth + 1) & ~1u);
            b.Lines = u.MemLines;
            b.Bits.assign(std::size_t{b.WidthBytes} * b.Lines, 0);
            for (unsigned y = 0; y < b.Lines; ++y)
                std::memcpy(&b.Bits[std::size_t{y} * b.WidthBytes],
                            &u.Mem[std::size_t{y} * kMemSlotBytes], b.WidthBytes);
            u.Mem.clear();
            u.Mem.shrink_to_fit();
            return 0;
        }
        if (u.MemLines > 0 && u.MemLines % kMemBlockLines == 0)
            u.Mem.reserve(u.Mem.size() + std::size_t{kMemBlockLines} * kMemSlotBytes);
        const std::size_t at = u.Mem.size();
        u.Mem.resize(at + kMemSlotBytes, 0);
        len = std::min(len, kMemSlotBytes);
        std::memcpy(&u.Mem[at], data, len);
        unsigned used = len;
        while (used > 0 && u.Mem[at + used - 1] == 0)
            --used;
        u.MemWidth = std::max(u.MemWidth, used);
        ++u.MemLines;
        return 0;
    } catch (const std::bad_alloc&) {
        return AdErr::ecOutOfMemory;
    }
}

int WriteMonoBmp(const QImage& image, const std::string& fileName)
{
    const QImage mono = image.convertToFormat(QImage::Format_Mono);
    if (mono.isNull())
        return AdErr::ecCantMakeBitmap;
    const unsigned width = static_cast<unsigned>(mono.width());
    const unsigned height = static_cast<unsigned>(mono.height());
    if (height > kMaxBmpHeight)
        return AdErr::ecBmpTooBig;
    // Palette index 0 black, 1 white: flip the bits where the picture has
    // black at 1.
    const bool flip = mono.colorCount() < 2 || qGray(mono.color(1)) < qGray(mono.color(0));
    const unsigned stride = (width + 31) / 32 * 4;
    const uint32_t offset = 14 + 40 + 8;
    std::string f(offset + std::size_t{stride} * height, '\0');
    f[0] = 'B';
    f[1] = 'M';
    Put32(f, 2, static_cast<uint32_t>(f.size()));
    Put32(f, 10, offset);
    Put32(f, 14, 40);
    Put32(f, 18, width);
    Put32(f, 22, height);
    Put16(f, 26, 1);
    Put16(f, 28, 1);
    Put32(f, 34, stride * height);
    Put32(f, 38, 7874); // 200 dots per inch
    Put32(f, 42, 7874);
    Put32(f, 46, 2);
    Put32(f, 58, 0x00FFFFFF); // black at 54, white at 58
    const unsigned rowBytes = (width + 7) / 8;
    for (unsigned y = 0; y < height; ++y) {
        const uint8_t* src = mono.constScanLine(static_cast<int>(height - 1 - y));
        char* dst = &f[offset + std::size_t{y} * stride];
        for (unsigned i = 0; i < rowBytes; ++i)
            dst[i] = static_cast<char>(flip ? ~src[i] : src[i]);
        if (width % 8) // pad bits white
            dst[rowBytes - 1] = static_cast<char>(dst[rowBytes - 1] | (0xFF >> (width % 8)));
    }
    return WriteOut(fileName, f);
}

int upUnpackPageToBmp(TUnpackFax& unpacker, const std::string& inName, const std::string& outName,
                      unsigned page)
{
    TMemoryBitmapDesc desc;
    if (const int rc = upUnpackPageToBitmap(unpacker, inName, page, desc, false); rc != 0)
        return rc;
    if (desc.Bitmap.isNull())
        return AdErr::ecCantMakeBitmap;
    return WriteMonoBmp(desc.Bitmap, OutName(inName, outName, "BMP"));
}

int upUnpackFileToBmp(TUnpackFax& unpacker, const std::string& inName, const std::string& outName)
{
    TMemoryBitmapDesc desc;
    if (const int rc = upUnpackFileToBitmap(unpacker, inName, desc, false); rc != 0)
        return rc;
    if (desc.Bitmap.isNull())
        return AdErr::ecCantMakeBitmap;
    return WriteMonoBmp(desc.Bitmap, OutName(inName, outName, "BMP"));
}

int upUnpackPageToPcx(TUnpackFax& unpacker, const std::string& inName, const std::string& outName,
                      unsigned page)
{
    return page == 0 ? AdErr::ecFaxBadFormat
                     : WritePictures(unpacker, inName, outName, page, TPictureFile::Pcx);
}

int upUnpackFileToPcx(TUnpackFax& unpacker, const std::string& inName, const std::string& outName)
{
    return WritePictures(unpacker, inName, outName, 0, TPictureFile::Pcx);
}

int upUnpackPageToDcx(TUnpackFax& unpacker, const std::string& inName, const std::string& outName,
                      unsigned page)
{
    return page == 0 ? AdErr::ecFaxBadFormat
                     : WritePictures(unpacker, inName, outName, page, TPictureFile::Dcx);
}

int upUnpackFileToDcx(TUnpackFax& unpacker, const std::string& inName, const std::string& outName)
{
    return WritePictures(unpacker, inName, outName, 0, TPictureFile::Dcx);
}

int upUnpackPageToTiff(TUnpackFax& unpacker, const std::string& inName, const std::string& outName,
                       unsigned page)
{
    return page == 0 ? AdErr::ecFaxBadFormat
                     : WritePictures(unpacker, inName, outName, page, TPictureFile::Tiff);
}

int upUnpackFileToTiff(TUnpackFax& unpacker, const std::string& inName, const std::string& outName)
{
    return WritePictures(unpacker, inName, outName, 0, TPictureFile::Tiff);
}
