#include "fax/fax_pcx_input.h"

#include "fax/fax_bitmap_input.h"
#include "serial/ad_except.h"

#include <algorithm>

namespace {

constexpr int kBad = AdErr::ecBadGraphicsFormat;
constexpr uint32_t kPcxHeaderSize = 128;
constexpr uint32_t kDcxSignature = 0x3ADE68B1;
constexpr uint32_t kDcxMaxEntries = 1024;

TFaxPcxData& Pcx(TAbsFaxCvt& cvt)
{
    return static_cast<TFaxPcxData&>(*cvt.InData);
}

uint16_t Get16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[1] << 8 | p[0]);
}

uint32_t Get32(const uint8_t* p)
{
    return uint32_t{p[3]} << 24 | uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
}

// Reads the header of the next page and makes it the current page.
int StartPage(TAbsFaxCvt& cvt)
{
    TFaxPcxData& d = Pcx(cvt);
    if (d.NextPage >= d.PageOffsets.size())
        return kBad;
    const uint32_t offset = d.PageOffsets[d.NextPage++];
    uint8_t h[kPcxHeaderSize];
    if (!d.File.ReadAt(offset, h, sizeof h))
        return kBad;
    const uint16_t xMin = Get16(h + 4), yMin = Get16(h + 6);
    const uint16_t xMax = Get16(h + 8), yMax = Get16(h + 10);
    const uint16_t lineBytes = Get16(h + 66);
    // Manufacturer 10, a known version, run-length coding, one bit in one
    // plane.
    if (h[0] != 10 || h[1] > 5 || h[1] == 1 || h[2] != 1 || h[3] != 1 || h[65] != 1 ||
        xMax < xMin || yMax < yMin)
        return kBad;
    const uint32_t width = uint32_t{xMax} - xMin + 1;
    const uint32_t height = uint32_t{yMax} - yMin + 1;
    if (width > kMaxImageWidth || height > kMaxImageHeight || lineBytes < (width + 7) / 8)
        return kBad;
    TPcxPage& p = d.Page;
    p = TPcxPage();
    p.Width = width;
    p.Height = height;
    const unsigned shade0 = h[16] + h[17] + h[18];
    const unsigned shade1 = h[19] + h[20] + h[21];
    p.ZeroIsBlack = shade0 <= shade1;
    p.Row.assign(lineBytes, 0);
    d.File.StartRange(uint64_t{offset} + kPcxHeaderSize, d.File.Size());
    d.PageReady = true;
    bcFitImage(cvt, width);
    return 0;
}

bool DecodeRow(TImageSource& file, TPcxPage& p)
{
    std::size_t n = 0;
    while (n < p.Row.size()) {
        if (p.Repeat > 0) {
            const std::size_t k = std::min<std::size_t>(p.Repeat, p.Row.size() - n);
            std::fill_n(p.Row.begin() + static_cast<std::ptrdiff_t>(n), k, p.RepeatByte);
            p.Repeat -= static_cast<unsigned>(k);
            n += k;
            continue;
        }
        const int c = file.Next();
        if (c < 0)
            return false;
        if (c < 0xC0) {
            p.Row[n++] = static_cast<uint8_t>(c);
            continue;
        }
        const int b = file.Next();
        if (b < 0)
            return false;
        p.Repeat = static_cast<unsigned>(c & 0x3F);
        p.RepeatByte = static_cast<uint8_t>(b);
    }
    return true;
}

int OpenPcx(TAbsFaxCvt& cvt, const std::string& fileName)
{
    TFaxPcxData& d = Pcx(cvt);
    d = TFaxPcxData();
    if (const int rc = d.File.Open(fileName); rc != 0)
        return rc;
    cvt.BytesRead = 0;
    cvt.BytesToRead = static_cast<int64_t>(d.File.Size());
    return 0;
}

int FirstPage(TAbsFaxCvt& cvt)
{
    const int rc = StartPage(cvt);
    if (rc != 0)
        Pcx(cvt).File.Close();
    return rc;
}

} // namespace

int pcInitPcxConverter(std::unique_ptr<TAbsFaxCvt>& cvt)
{
    acInitFaxConverter(cvt, nullptr, pcGetPcxRasterLine, pcOpenFile, pcCloseFile, "PCX");
    cvt->InData = std::make_unique<TFaxPcxData>();
    return 0;
}

void pcDonePcxConverter(std::unique_ptr<TAbsFaxCvt>& cvt)
{
    acDoneFaxConverter(cvt);
}

int pcOpenFile(TAbsFaxCvt& cvt, const std::string& fileName)
{
    if (const int rc = OpenPcx(cvt, fileName); rc != 0)
        return rc;
    Pcx(cvt).PageOffsets = {0};
    return FirstPage(cvt);
}

void pcCloseFile(TAbsFaxCvt& cvt)
{
    Pcx(cvt) = TFaxPcxData();
}

int pcGetPcxRasterLine(TAbsFaxCvt& cvt, uint8_t* data, int& len, bool& endOfPage, bool& morePages)
{
    TFaxPcxData& d = Pcx(cvt);
    len = static_cast<int>(cvt.ResWidth / 8);
    if (!d.PageReady)
        if (const int rc = StartPage(cvt); rc != 0)
            return rc;
    TPcxPage& p = d.Page;
    morePages = d.NextPage < d.PageOffsets.size();
    endOfPage = p.CurrRow >= p.Height;
    if (endOfPage) {
        d.PageReady = false;
        return 0;
    }
    if (!DecodeRow(d.File, p))
        return kBad;
    if (p.ZeroIsBlack)
        for (uint8_t& b : p.Row)
            b = static_cast<uint8_t>(~b);
    bcCopyMonoRow(cvt, p.Row.data(), p.Width, data);
    ++p.CurrRow;
    cvt.BytesRead = static_cast<int64_t>(d.File.Position());
    return 0;
}

int dcInitDcxConverter(std::unique_ptr<TAbsFaxCvt>& cvt)
{
    acInitFaxConverter(cvt, nullptr, dcGetDcxRasterLine, dcOpenFile, dcCloseFile, "DCX");
    cvt->InData = std::make_unique<TFaxPcxData>();
    return 0;
}

void dcDoneDcxConverter(std::unique_ptr<TAbsFaxCvt>& cvt)
{
    acDoneFaxConverter(cvt);
}

int dcOpenFile(TAbsFaxCvt& cvt, const std::string& fileName)
{
    if (const int rc = OpenPcx(cvt, fileName); rc != 0)
        return rc;
    TFaxPcxData& d = Pcx(cvt);
    uint8_t word[4];
    if (!d.File.ReadAt(0, word, 4) || Get32(word) != kDcxSignature) {
        d.File.Close();
        return kBad;
    }
    uint32_t tableEnd = 4;
    for (uint32_t i = 0; i < kDcxMaxEntries; ++i) {
        if (!d.File.ReadAt(4 + 4 * uint64_t{i}, word, 4)) {
            d.File.Close();
            return kBad;
        }
        tableEnd += 4;
        if (Get32(word) == 0)
            break;
        d.PageOffsets.push_back(Get32(word));
    }
    const bool inside = std::all_of(d.PageOffsets.begin(), d.PageOffsets.end(), [&](uint32_t ofs) {
        return ofs >= tableEnd && uint64_t{ofs} + kPcxHeaderSize <= d.File.Size();
    });
    if (d.PageOffsets.empty() || !inside) {
        d.File.Close();
        return kBad;
    }
    return FirstPage(cvt);
}

void dcCloseFile(TAbsFaxCvt& cvt)
{
    pcCloseFile(cvt);
}

int dcGetDcxRasterLine(TAbsFaxCvt& cvt, uint8_t* data, int& len, bool& endOfPage, bool& morePages)
{
    return pcGetPcxRasterLine(cvt, data, len, endOfPage, morePages);
}
