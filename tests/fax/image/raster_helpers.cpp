#include "raster_helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>

namespace {

ssize_t Collect(void* context, unsigned char* buffer, size_t length)
{
    static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(buffer), length);
    return static_cast<ssize_t>(length);
}

} // namespace

std::string RasterStream(const std::vector<RasterPage>& pages, cups_mode_t mode)
{
    std::string stream;
    cups_raster_t* r = cupsRasterOpenIO(Collect, &stream, mode);
    for (const RasterPage& page : pages) {
        cups_page_header2_t h;
        std::memset(&h, 0, sizeof h);
        const Picture& p = page.Pixels;
        h.HWResolution[0] = 204;
        h.HWResolution[1] = page.LinesPerInch;
        h.PageSize[0] = p.Width * 72 / 204;
        h.PageSize[1] = p.Height * 72 / page.LinesPerInch;
        h.cupsWidth = p.Width;
        h.cupsHeight = p.Height;
        h.cupsBitsPerColor = page.BitsPerPixel;
        h.cupsBitsPerPixel = page.BitsPerPixel;
        h.cupsBytesPerLine = (p.Width * page.BitsPerPixel + 7) / 8;
        h.cupsColorOrder = CUPS_ORDER_CHUNKED;
        h.cupsColorSpace = page.Space;
        h.cupsNumColors = 1;
        EXPECT_TRUE(cupsRasterWriteHeader2(r, &h));
        std::vector<unsigned char> row(h.cupsBytesPerLine);
        for (unsigned y = 0; y < p.Height; ++y) {
            std::fill(row.begin(), row.end(), 0);
            for (unsigned x = 0; x < p.Width; ++x) {
                const bool bit = p.At(x, y) != (page.Space == CUPS_CSPACE_W);
                if (page.BitsPerPixel == 1)
                    row[x / 8] |= static_cast<unsigned char>(bit << (7 - x % 8));
                else
                    row[x * page.BitsPerPixel / 8] = bit ? 0xFF : 0;
            }
            EXPECT_EQ(cupsRasterWritePixels(r, row.data(), h.cupsBytesPerLine), h.cupsBytesPerLine);
        }
    }
    cupsRasterClose(r);
    return stream;
}
