#include "fax/fax_tiff_input.h"

#include "fax/fax_bitmap_input.h"
#include "serial/ad_except.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace {

constexpr uint16_t kImageWidth = 256;
constexpr uint16_t kImageLength = 257;
constexpr uint16_t kBitsPerSample = 258;
constexpr uint16_t kCompression = 259;
constexpr uint16_t kPhotometric = 262;
constexpr uint16_t kFillOrder = 266;
constexpr uint16_t kStripOffsets = 273;
constexpr uint16_t kSamplesPerPixel = 277;
constexpr uint16_t kRowsPerStrip = 278;
constexpr uint16_t kStripByteCounts = 279;

constexpr uint32_t kUncompressed = 1;
constexpr uint32_t kPackBits = 32773;

constexpr int kBad = AdErr::ecBadGraphicsFormat;

TFaxTiffData& Tiff(TAbsFaxCvt& cvt)
{
    return static_cast<TFaxTiffData&>(*cvt.InData);
}

uint16_t Get16(const TFaxTiffData& t, const uint8_t* p)
{
    return static_cast<uint16_t>(t.BigEndian ? p[0] << 8 | p[1] : p[1] << 8 | p[0]);
}

uint32_t Get32(const TFaxTiffData& t, const uint8_t* p)
{
    return t.BigEndian ? uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3]
                       : uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

struct Entry {
    uint16_t Type = 0;
    uint32_t Count = 0;
    const uint8_t* Field = nullptr; // the value, or the offset of the values
};

// Bytes of one value of the integer types a reader of these tags meets.
unsigned TypeSize(uint16_t type)
{
    switch (type) {
    case 1: // BYTE
        return 1;
    case 3: // SHORT
        return 2;
    case 4: // LONG
        return 4;
    default:
        return 0;
    }
}

// The first `count` values of an entry; false when its type is not an
// integer type, it has fewer values, or they lie outside the file.
bool Values(TFaxTiffData& t, const Entry& e, uint32_t count, std::vector<uint32_t>& out)
{
    const unsigned size = TypeSize(e.Type);
    if (size == 0 || e.Count < count)
        return false;
    std::vector<uint8_t> raw(std::size_t{size} * count);
    if (uint64_t{size} * e.Count <= 4)
        std::memcpy(raw.data(), e.Field, raw.size());
    else if (!t.File.ReadAt(Get32(t, e.Field), raw.data(), raw.size()))
        return false;
    out.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* p = raw.data() + std::size_t{i} * size;
        out[i] = size == 1 ? p[0] : size == 2 ? Get16(t, p) : Get32(t, p);
    }
    return true;
}

// A one-value tag; a missing tag keeps the default.
bool Scalar(TFaxTiffData& t, const std::map<uint16_t, Entry>& dir, uint16_t tag, uint32_t& value)
{
    const auto it = dir.find(tag);
    if (it == dir.end())
        return true;
    std::vector<uint32_t> v;
    if (!Values(t, it->second, 1, v))
        return false;
    value = v[0];
    return true;
}

// Reads the directory at `offset` and makes it the current page.
int StartPage(TAbsFaxCvt& cvt, uint32_t offset)
{
    TFaxTiffData& t = Tiff(cvt);
    if (offset < 8 || !t.SeenDirs.insert(offset).second)
        return kBad;
    uint8_t countBytes[2];
    if (!t.File.ReadAt(offset, countBytes, 2))
        return kBad;
    const uint16_t entries = Get16(t, countBytes);
    std::vector<uint8_t> raw(std::size_t{entries} * 12 + 4);
    if (entries == 0 || !t.File.ReadAt(uint64_t{offset} + 2, raw.data(), raw.size()))
        return kBad;
    std::map<uint16_t, Entry> dir;
    for (uint16_t i = 0; i < entries; ++i) {
        const uint8_t* p = raw.data() + std::size_t{i} * 12;
        dir.emplace(Get16(t, p), Entry{Get16(t, p + 2), Get32(t, p + 4), p + 8});
    }
    t.NextDir = Get32(t, raw.data() + std::size_t{entries} * 12);

    uint32_t width = 0, height = 0, bits = 1, compression = kUncompressed, photometric = 0;
    uint32_t fillOrder = 1, samples = 1;
    if (!dir.contains(kImageWidth) || !dir.contains(kImageLength) || !dir.contains(kStripOffsets) ||
        !Scalar(t, dir, kImageWidth, width) || !Scalar(t, dir, kImageLength, height) ||
        !Scalar(t, dir, kBitsPerSample, bits) || !Scalar(t, dir, kCompression, compression) ||
        !Scalar(t, dir, kPhotometric, photometric) || !Scalar(t, dir, kFillOrder, fillOrder) ||
        !Scalar(t, dir, kSamplesPerPixel, samples))
        return kBad;
    uint32_t rowsPerStrip = height;
    if (!Scalar(t, dir, kRowsPerStrip, rowsPerStrip))
        return kBad;
    if (width == 0 || width > kMaxImageWidth || height == 0 || height > kMaxImageHeight ||
        bits != 1 || samples != 1 || photometric > 1 || fillOrder < 1 || fillOrder > 2 ||
        (compression != kUncompressed && compression != kPackBits) || rowsPerStrip == 0)
        return kBad;
    rowsPerStrip = std::min(rowsPerStrip, height);
    const uint32_t strips = (height + rowsPerStrip - 1) / rowsPerStrip;
    const uint32_t rowBytes = (width + 7) / 8;
    if (!Values(t, dir.at(kStripOffsets), strips, t.StripOffsets))
        return kBad;
    const auto counts = dir.find(kStripByteCounts);
    if (counts != dir.end()) {
        if (!Values(t, counts->second, strips, t.StripBytes))
            return kBad;
    } else {
        // Without counts a strip runs to its rows' end, or (PackBits) as far
        // as the file goes.
        t.StripBytes.assign(strips, 0);
        for (uint32_t s = 0; s < strips; ++s) {
            const uint64_t room =
                t.File.Size() - std::min<uint64_t>(t.StripOffsets[s], t.File.Size());
            const uint32_t rows = std::min(rowsPerStrip, height - s * rowsPerStrip);
            t.StripBytes[s] = static_cast<uint32_t>(compression == kPackBits
                                                        ? std::min<uint64_t>(room, UINT32_MAX)
                                                        : uint64_t{rows} * rowBytes);
        }
    }
    for (uint32_t s = 0; s < strips; ++s) {
        const uint32_t rows = std::min(rowsPerStrip, height - s * rowsPerStrip);
        if (uint64_t{t.StripOffsets[s]} + t.StripBytes[s] > t.File.Size() ||
            (compression == kUncompressed && t.StripBytes[s] < uint64_t{rows} * rowBytes))
            return kBad;
    }
    t.Width = width;
    t.Height = height;
    t.RowsPerStrip = rowsPerStrip;
    t.PackBits = compression == kPackBits;
    t.BlackIsZero = photometric == 1;
    t.LsbFirst = fillOrder == 2;
    t.Row.assign(rowBytes, 0);
    t.CurrRow = 0;
    t.PageReady = true;
    bcFitImage(cvt, width);
    return 0;
}

bool UnpackBitsRow(TFaxTiffData& t)
{
    std::size_t n = 0;
    while (n < t.Row.size()) {
        if (t.Literal > 0) {
            const std::size_t k = std::min<std::size_t>(t.Literal, t.Row.size() - n);
            if (t.File.Take(t.Row.data() + n, k) != k)
                return false;
            t.Literal -= static_cast<unsigned>(k);
            n += k;
        } else if (t.Repeat > 0) {
            const std::size_t k = std::min<std::size_t>(t.Repeat, t.Row.size() - n);
            std::memset(t.Row.data() + n, t.RepeatByte, k);
            t.Repeat -= static_cast<unsigned>(k);
            n += k;
        } else {
            const int c = t.File.Next();
            if (c < 0)
                return false;
            if (c < 128) {
                t.Literal = static_cast<unsigned>(c) + 1;
            } else if (c > 128) {
                const int b = t.File.Next();
                if (b < 0)
                    return false;
                t.Repeat = 257 - static_cast<unsigned>(c);
                t.RepeatByte = static_cast<uint8_t>(b);
            }
        }
    }
    return true;
}

uint8_t Reversed(uint8_t b)
{
    b = static_cast<uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
    b = static_cast<uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
    return static_cast<uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

} // namespace

int tcInitTiffConverter(std::unique_ptr<TAbsFaxCvt>& cvt)
{
    acInitFaxConverter(cvt, nullptr, tcGetTiffRasterLine, tcOpenFile, tcCloseFile, "TIF");
    cvt->InData = std::make_unique<TFaxTiffData>();
    return 0;
}

void tcDoneTiffConverter(std::unique_ptr<TAbsFaxCvt>& cvt)
{
    acDoneFaxConverter(cvt);
}

int tcOpenFile(TAbsFaxCvt& cvt, const std::string& fileName)
{
    TFaxTiffData& t = Tiff(cvt);
    t = TFaxTiffData();
    if (const int rc = t.File.Open(fileName); rc != 0)
        return rc;
    cvt.BytesRead = 0;
    cvt.BytesToRead = static_cast<int64_t>(t.File.Size());
    uint8_t h[8];
    if (!t.File.ReadAt(0, h, sizeof h) || h[0] != h[1] || (h[0] != 'I' && h[0] != 'M')) {
        t.File.Close();
        return kBad;
    }
    t.BigEndian = h[0] == 'M';
    if (Get16(t, h + 2) != 42) {
        t.File.Close();
        return kBad;
    }
    const int rc = StartPage(cvt, Get32(t, h + 4));
    if (rc != 0)
        t.File.Close();
    return rc;
}

void tcCloseFile(TAbsFaxCvt& cvt)
{
    Tiff(cvt) = TFaxTiffData();
}

int tcGetTiffRasterLine(TAbsFaxCvt& cvt, uint8_t* data, int& len, bool& endOfPage, bool& morePages)
{
    TFaxTiffData& t = Tiff(cvt);
    len = static_cast<int>(cvt.ResWidth / 8);
    if (!t.PageReady)
        if (const int rc = StartPage(cvt, t.NextDir); rc != 0)
            return rc;
    morePages = t.NextDir != 0;
    endOfPage = t.CurrRow >= t.Height;
    if (endOfPage) {
        t.PageReady = false;
        return 0;
    }
    const uint32_t strip = t.CurrRow / t.RowsPerStrip;
    if (t.CurrRow % t.RowsPerStrip == 0) {
        t.File.StartRange(t.StripOffsets[strip],
                          uint64_t{t.StripOffsets[strip]} + t.StripBytes[strip]);
        t.Literal = t.Repeat = 0;
    }
    const bool whole =
        t.PackBits ? UnpackBitsRow(t) : t.File.Take(t.Row.data(), t.Row.size()) == t.Row.size();
    if (!whole)
        return kBad;
    for (uint8_t& b : t.Row) {
        if (t.LsbFirst)
            b = Reversed(b);
        if (t.BlackIsZero)
            b = static_cast<uint8_t>(~b);
    }
    bcCopyMonoRow(cvt, t.Row.data(), t.Width, data);
    ++t.CurrRow;
    cvt.BytesRead = static_cast<int64_t>(t.File.Position());
    return 0;
}
