#include "fax/fax_raster_input.h"

#include "fax/fax_bitmap_input.h"
#include "serial/ad_except.h"

#include <cerrno>
#include <unistd.h>

namespace {

// Above any page a filter makes at fax resolutions (a metre wide at 2400 dpi).
constexpr unsigned kMaxBytesPerLine = 1u << 20;
constexpr unsigned kFineLinesPerInch = 150;

TFaxRasterData& Raster(TAbsFaxCvt& cvt)
{
    return static_cast<TFaxRasterData&>(*cvt.InData);
}

bool Stopped(const TFaxRasterData& r)
{
    return r.Stop && *r.Stop;
}

ssize_t ReadStream(void* context, unsigned char* buffer, size_t length)
{
    auto& r = *static_cast<TFaxRasterData*>(context);
    for (;;) {
        if (Stopped(r))
            return -1;
        const ssize_t n = ::read(r.Fd, buffer, length);
        if (n < 0 && errno == EINTR)
            continue;
        return n;
    }
}

int StartPage(TAbsFaxCvt& cvt, const cups_page_header2_t& h)
{
    TFaxRasterData& r = Raster(cvt);
    const bool white = h.cupsColorSpace == CUPS_CSPACE_W || h.cupsColorSpace == CUPS_CSPACE_SW;
    if (h.cupsBitsPerColor != 1 || h.cupsBitsPerPixel != 1 ||
        (!white && h.cupsColorSpace != CUPS_CSPACE_K) || h.cupsWidth == 0 ||
        h.cupsBytesPerLine < (h.cupsWidth + 7) / 8 || h.cupsBytesPerLine > kMaxBytesPerLine) {
        r.WrongKind = true;
        return AdErr::ecBadGraphicsFormat;
    }
    r.Width = h.cupsWidth;
    r.Height = h.cupsHeight;
    r.BytesPerLine = h.cupsBytesPerLine;
    r.WhiteIsOne = white;
    r.PageFine = h.HWResolution[1] > kFineLinesPerInch;
    r.RowsRead = 0;
    r.Repeat = false;
    r.Row.assign(r.BytesPerLine, 0);
    bcFitImage(cvt, r.Width);
    // The page has a resolution of its own; the file's decides.
    cvt.HalfHeight = r.PageFine && !cvt.UseHighRes;
    return 0;
}

} // namespace

TFaxRasterData::~TFaxRasterData()
{
    if (Raster)
        cupsRasterClose(Raster);
}

int rcInitRasterConverter(std::unique_ptr<TAbsFaxCvt>& cvt, int fd)
{
    acInitFaxConverter(cvt, nullptr, rcGetRasterLine, rcOpenRaster, rcCloseRaster, "");
    acOptionsOff(*cvt, 0xFFFF);
    acOptionsOn(*cvt, fcCenterImage);
    acSetMargins(*cvt, 0, 0);
    auto data = std::make_unique<TFaxRasterData>();
    data->Fd = fd;
    cvt->InData = std::move(data);
    return 0;
}

void rcDoneRasterConverter(std::unique_ptr<TAbsFaxCvt>& cvt)
{
    acDoneFaxConverter(cvt);
}

int rcOpenRaster(TAbsFaxCvt& cvt, const std::string&)
{
    TFaxRasterData& r = Raster(cvt);
    rcCloseRaster(cvt);
    r.Raster = cupsRasterOpenIO(ReadStream, &r, CUPS_RASTER_READ);
    if (!r.Raster)
        return Stopped(r) ? AdErr::ecConvertAbort : AdErr::ecBadGraphicsFormat;
    cups_page_header2_t h;
    if (!cupsRasterReadHeader2(r.Raster, &h))
        return Stopped(r) ? AdErr::ecConvertAbort : AdErr::ecBadGraphicsFormat;
    if (r.TakeResolution)
        acSetResolutionMode(cvt, h.HWResolution[1] > kFineLinesPerInch);
    return StartPage(cvt, h);
}

void rcCloseRaster(TAbsFaxCvt& cvt)
{
    TFaxRasterData& r = Raster(cvt);
    if (r.Raster)
        cupsRasterClose(r.Raster);
    r.Raster = nullptr;
}

int rcGetRasterLine(TAbsFaxCvt& cvt, uint8_t* data, int& len, bool& endOfPage, bool& morePages)
{
    TFaxRasterData& r = Raster(cvt);
    len = static_cast<int>(cvt.ResWidth / 8);
    endOfPage = false;
    morePages = true;
    if (r.Repeat) {
        r.Repeat = false;
        bcCopyMonoRow(cvt, r.Row.data(), r.Width, data);
        return 0;
    }
    if (r.RowsRead >= r.Height) {
        endOfPage = true;
        cups_page_header2_t h;
        morePages = r.Raster && cupsRasterReadHeader2(r.Raster, &h) != 0;
        if (Stopped(r))
            return AdErr::ecConvertAbort;
        return morePages ? StartPage(cvt, h) : 0;
    }
    if (!r.Raster || cupsRasterReadPixels(r.Raster, r.Row.data(), r.BytesPerLine) != r.BytesPerLine)
        return Stopped(r) ? AdErr::ecConvertAbort : AdErr::ecDeviceRead;
    ++r.RowsRead;
    if (r.WhiteIsOne)
        for (uint8_t& b : r.Row)
            b = static_cast<uint8_t>(~b);
    bcCopyMonoRow(cvt, r.Row.data(), r.Width, data);
    r.Repeat = !r.PageFine && cvt.UseHighRes;
    cvt.BytesRead += r.BytesPerLine;
    return 0;
}
