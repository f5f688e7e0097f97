#pragma once

#include "fax_image_helpers.h"

#include <cups/raster.h>
#include <string>
#include <vector>

// A page of a CUPS raster stream as CUPS's filters write it for the fax
// printer: one bit a pixel at 204 dpi across.
struct RasterPage {
    Picture Pixels;
    unsigned LinesPerInch = 196;
    cups_cspace_t Space = CUPS_CSPACE_K; // W stores white as 1
    unsigned BitsPerPixel = 1;
};

// The pages as one raster stream, compressed as the filters send it unless
// another mode is asked for.
std::string RasterStream(const std::vector<RasterPage>& pages,
                         cups_mode_t mode = CUPS_RASTER_WRITE_COMPRESSED);
