#include "fax/fax_bitmap_input.h"

#include "serial/ad_except.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

TFaxBitmapData& Bitmap(TAbsFaxCvt& cvt)
{
    return static_cast<TFaxBitmapData&>(*cvt.InData);
}

// Format_Mono with 1 = black, whatever the picture's own colour table says.
QImage BlackIsOne(const QImage& image)
{
    QImage mono = image.convertToFormat(QImage::Format_Mono);
    const bool oneIsDark = mono.colorCount() < 2 || qGray(mono.color(1)) < qGray(mono.color(0));
    if (!oneIsDark)
        mono.invertPixels();
    mono.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    return mono;
}

uint32_t Le(const QByteArray& b, int offset, int size)
{
    uint32_t v = 0;
    for (int i = size - 1; i >= 0; --i)
        v = v << 8 | static_cast<uint8_t>(b[offset + i]);
    return v;
}

// The bytes a BMP file must hold for what its headers say: file header,
// information header and pixel data (uncompressed: rows of 4-byte units;
// run-length coded: the stated image size). 0 when the headers cannot tell,
// which leaves the file to the reader.
int64_t BmpBytesNeeded(const QByteArray& b)
{
    if (b.size() < 18 || b[0] != 'B' || b[1] != 'M')
        return 0;
    const int64_t infoSize = Le(b, 14, 4);
    if (b.size() < 14 + infoSize)
        return 14 + infoSize;
    int64_t width, height, bits, compression = 0, imageSize = 0;
    if (infoSize == 12) {
        width = Le(b, 18, 2);
        height = Le(b, 20, 2);
        bits = Le(b, 24, 2);
    } else if (infoSize >= 40) {
        width = static_cast<int32_t>(Le(b, 18, 4));
        height = static_cast<int32_t>(Le(b, 22, 4));
        bits = Le(b, 28, 2);
        compression = Le(b, 30, 4);
        imageSize = Le(b, 34, 4);
    } else {
        return 0;
    }
    // Where the pixels start; a missing offset is taken at its least.
    int64_t start = Le(b, 10, 4);
    if (start < 14 + infoSize)
        start = 14 + infoSize;
    int64_t data = 0;
    if (compression == 0 || compression == 3 || compression == 6) {
        if (width <= 0 || bits <= 0)
            return 0;
        const int64_t row = (width * bits + 31) / 32 * 4;
        const int64_t rows = std::abs(height);
        if (rows > (std::numeric_limits<int64_t>::max() - start) / row)
            return std::numeric_limits<int64_t>::max();
        data = row * rows;
    } else if (compression == 1 || compression == 2) {
        data = imageSize;
    }
    return start + data;
}

void SetBit(uint8_t* raster, unsigned bit)
{
    raster[bit >> 3] |= static_cast<uint8_t>(0x80 >> (bit & 7));
}

} // namespace

void bcFitImage(TAbsFaxCvt& cvt, unsigned imageWidth)
{
    const long width = static_cast<long>(cvt.ResWidth);
    const long margin = static_cast<long>(cvt.LeftMargin);
    const long image = static_cast<long>(imageWidth);
    cvt.DoubleWidth =
        !cvt.UseHighRes && (cvt.Flags & fcDoubleWidth) && width - 2 * margin >= 2 * image;
    cvt.HalfHeight = !cvt.UseHighRes && !cvt.DoubleWidth && (cvt.Flags & fcHalfHeight);
    cvt.CenterOfs = 0;
    if (cvt.Flags & fcCenterImage) {
        const long ofs =
            cvt.DoubleWidth ? (width - 2 * (image + margin)) / 32 : (width - image - margin) / 16;
        cvt.CenterOfs = static_cast<unsigned>(std::max(0L, ofs));
    }
}

void bcCopyMonoRow(const TAbsFaxCvt& cvt, const uint8_t* row, unsigned imageWidth, uint8_t* raster)
{
    const unsigned start = cvt.CenterOfs * 8;
    const unsigned count = std::min(imageWidth, cvt.ResWidth > start ? cvt.ResWidth - start : 0u);
    std::memset(raster, 0, cvt.ResWidth / 8);
    const unsigned whole = count / 8;
    std::memcpy(raster + cvt.CenterOfs, row, whole);
    for (unsigned x = whole * 8; x < count; ++x)
        if ((row[x >> 3] >> (7 - (x & 7))) & 1)
            SetBit(raster, start + x);
}

uint16_t bcDitherThreshold(unsigned x, unsigned y)
{
    unsigned a = x % 32;
    unsigned b = y % 32;
    unsigned d = 0;
    for (int i = 0; i < 4; ++i) {
        d = d << 2 | ((a ^ b) & 1) << 1 | (b & 1);
        a >>= 1;
        b >>= 1;
    }
    // Level d of 256 becomes the middle of its 1/256 share of 0..765.
    return static_cast<uint16_t>((2 * d + 1) * 765 / 512);
}

int bcInitBitmapConverter(std::unique_ptr<TAbsFaxCvt>& cvt)
{
    acInitFaxConverter(cvt, nullptr, bcGetBitmapRasterLine, bcOpenBitmap, bcCloseBitmap, "");
    auto data = std::make_unique<TFaxBitmapData>();
    for (unsigned x = 0; x < 32; ++x)
        for (unsigned y = 0; y < 32; ++y)
            data->DitherMap[x][y] = bcDitherThreshold(x, y);
    cvt->InData = std::move(data);
    return 0;
}

void bcDoneBitmapConverter(std::unique_ptr<TAbsFaxCvt>& cvt)
{
    acDoneFaxConverter(cvt);
}

int bcSetInputBitmap(TAbsFaxCvt& cvt, const QImage& image)
{
    if (image.isNull())
        return AdErr::ecBadArgument;
    TFaxBitmapData& b = Bitmap(cvt);
    b.Mono = image.depth() == 1;
    b.Image = b.Mono ? BlackIsOne(image) : image.convertToFormat(QImage::Format_RGB32);
    if (b.Image.isNull())
        return AdErr::ecOutOfMemory;
    return 0;
}

int bcOpenBitmap(TAbsFaxCvt& cvt, const std::string&)
{
    TFaxBitmapData& b = Bitmap(cvt);
    if (b.Image.isNull())
        return AdErr::ecBadArgument;
    b.Width = static_cast<unsigned>(b.Image.width());
    b.Height = static_cast<unsigned>(b.Image.height());
    b.BytesPerRow = static_cast<unsigned>(b.Image.bytesPerLine());
    b.CurrRow = 0;
    cvt.BytesRead = 0;
    cvt.BytesToRead = int64_t{b.BytesPerRow} * b.Height;
    bcFitImage(cvt, b.Width);
    return 0;
}

void bcCloseBitmap(TAbsFaxCvt&) {}

int bcGetBitmapRasterLine(TAbsFaxCvt& cvt, uint8_t* data, int& len, bool& endOfPage,
                          bool& morePages)
{
    TFaxBitmapData& b = Bitmap(cvt);
    morePages = false;
    len = static_cast<int>(cvt.ResWidth / 8);
    endOfPage = b.CurrRow >= b.Height;
    if (endOfPage)
        return 0;
    const int y = static_cast<int>(b.CurrRow++);
    if (b.Mono) {
        bcCopyMonoRow(cvt, b.Image.constScanLine(y), b.Width, data);
    } else {
        const unsigned start = cvt.CenterOfs * 8;
        const unsigned count = std::min(b.Width, cvt.ResWidth > start ? cvt.ResWidth - start : 0u);
        std::memset(data, 0, cvt.ResWidth / 8);
        const QRgb* row = reinterpret_cast<const QRgb*>(b.Image.constScanLine(y));
        const auto& map = b.DitherMap;
        for (unsigned x = 0; x < count; ++x) {
            const int sum = qRed(row[x]) + qGreen(row[x]) + qBlue(row[x]);
            if (sum < map[x % 32][static_cast<unsigned>(y) % 32])
                SetBit(data, start + x);
        }
    }
    cvt.BytesRead += b.BytesPerRow;
    return 0;
}

int bcInitBmpConverter(std::unique_ptr<TAbsFaxCvt>& cvt)
{
    bcInitBitmapConverter(cvt);
    cvt->GetLine = bcGetBmpRasterLine;
    cvt->OpenCall = bcOpenFile;
    cvt->CloseCall = bcCloseFile;
    cvt->DefExt = "BMP";
    return 0;
}

void bcDoneBmpConverter(std::unique_ptr<TAbsFaxCvt>& cvt)
{
    acDoneFaxConverter(cvt);
}

int bcReadBmpFile(const std::string& fileName, QImage& image, std::string* why)
{
    image = QImage();
    const QString name = QFile::decodeName(QByteArray::fromStdString(fileName));
    if (!QFileInfo::exists(name)) {
        if (why)
            *why = "is missing";
        return AdErr::ecFileNotFound;
    }
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly)) {
        if (why)
            *why = "cannot be opened";
        return AdErr::ecBadGraphicsFormat;
    }
    const QByteArray bytes = file.readAll();
    if (const int64_t need = BmpBytesNeeded(bytes); need > bytes.size()) {
        if (why)
            *why = "is cut short: its header promises " + std::to_string(need) +
                   " bytes, the file holds " + std::to_string(bytes.size());
        return AdErr::ecBadGraphicsFormat;
    }
    QBuffer buffer;
    buffer.setData(bytes);
    QImageReader reader(&buffer, "bmp");
    reader.setAutoDetectImageFormat(false);
    image = reader.read();
    if (image.isNull()) {
        if (why)
            *why = "is not a Windows bitmap";
        return AdErr::ecBadGraphicsFormat;
    }
    return 0;
}

int bcOpenFile(TAbsFaxCvt& cvt, const std::string& fileName)
{
    QImage image;
    if (const int rc = bcReadBmpFile(fileName, image); rc != 0)
        return rc;
    if (const int rc = bcSetInputBitmap(cvt, image); rc != 0)
        return rc;
    return bcOpenBitmap(cvt, fileName);
}

void bcCloseFile(TAbsFaxCvt& cvt)
{
    Bitmap(cvt).Image = QImage();
}

int bcGetBmpRasterLine(TAbsFaxCvt& cvt, uint8_t* data, int& len, bool& endOfPage, bool& morePages)
{
    return bcGetBitmapRasterLine(cvt, data, len, endOfPage, morePages);
}
