#include "fax/fax_raster_input.h"

#include "fax/fax_bitmap_input.h"
#include "serial/ad_except.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace {

// Above any page a filter makes at fax resolutions (a metre wide at 2400 dpi).
constexpr unsigned kMaxBytesPerLine = 1u << 20;
constexpr unsigned kFineLinesPerInch = 150;
constexpr size_t kInputBufferSize = 64 * 1024;

TFaxRasterData& Raster(TAbsFaxCvt& cvt)
{
    return static_cast<TFaxRasterData&>(*cvt.InData);
}

bool Stopped(const TFaxRasterData& r)
{
    return r.Stop && *r.Stop;
}

// Reads until `need` bytes wait or the input ends; the bytes waiting.
size_t Fill(TFaxRasterData& r, size_t need)
{
    if (r.InEnd - r.InPos >= need)
        return r.InEnd - r.InPos;
    if (r.In.empty())
        r.In.resize(kInputBufferSize);
    if (r.InPos > 0) {
        std::memmove(r.In.data(), r.In.data() + r.InPos, r.InEnd - r.InPos);
        r.InEnd -= r.InPos;
        r.InPos = 0;
    }
    while (r.InEnd < need && !r.InEnded && !r.InFailed && !Stopped(r)) {
        const ssize_t n = ::read(r.Fd, r.In.data() + r.InEnd, r.In.size() - r.InEnd);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            r.InFailed = true;
        else if (n == 0)
            r.InEnded = true;
        else
            r.InEnd += static_cast<size_t>(n);
    }
    return r.InEnd - r.InPos;
}

// CUPS's reader of one stream: a byte a call (see the header).
ssize_t ReadStream(void* context, unsigned char* buffer, size_t length)
{
    auto& r = *static_cast<TFaxRasterData*>(context);
    if (length == 0)
        return 0;
    if (Fill(r, 1) == 0)
        return r.InFailed || Stopped(r) ? -1 : 0;
    *buffer = r.In[r.InPos++];
    return 1;
}

// The sync words a stream opens with, in either byte order.
bool OpensStream(const uint8_t* bytes)
{
    uint32_t sync;
    std::memcpy(&sync, bytes, sizeof sync);
    for (const uint32_t known : {CUPS_RASTER_SYNC, CUPS_RASTER_REVSYNC, CUPS_RASTER_SYNCv1,
                                 CUPS_RASTER_REVSYNCv1, CUPS_RASTER_SYNCv2, CUPS_RASTER_REVSYNCv2,
                                 CUPS_RASTER_SYNCapple, CUPS_RASTER_REVSYNCapple})
        if (sync == known)
            return true;
    return false;
}

int Unreadable(TFaxRasterData& r)
{
    if (Stopped(r))
        return AdErr::ecConvertAbort;
    if (r.InFailed)
        return AdErr::ecDeviceRead;
    r.Damaged = true;
    return AdErr::ecBadGraphicsFormat;
}

// The next page's header, from the stream under way or from the next
// document's; `found` is false when the input ends between pages.
int NextHeader(TFaxRasterData& r, cups_page_header2_t& h, bool& found)
{
    found = false;
    for (;;) {
        const size_t waiting = Fill(r, 4);
        if (Stopped(r) || r.InFailed)
            return Unreadable(r);
        if (waiting == 0)
            return 0;
        if (waiting >= 4 && OpensStream(r.In.data() + r.InPos)) {
            if (r.Raster)
                cupsRasterClose(r.Raster);
            r.Raster = cupsRasterOpenIO(ReadStream, &r, CUPS_RASTER_READ);
            if (!r.Raster)
                return Unreadable(r);
            continue;
        }
        if (!r.Raster || !cupsRasterReadHeader2(r.Raster, &h))
            return Unreadable(r);
        found = true;
        return 0;
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
    ++r.Pages;
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
    cups_page_header2_t h;
    bool found = false;
    if (const int rc = NextHeader(r, h, found); rc != 0)
        return rc;
    if (!found)
        return AdErr::ecBadGraphicsFormat;
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
        bool found = false;
        const int rc = NextHeader(r, h, found);
        morePages = found;
        if (rc != 0)
            return rc;
        return found ? StartPage(cvt, h) : 0;
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
