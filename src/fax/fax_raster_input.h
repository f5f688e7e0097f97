#pragma once

#include "fax/fax_convert.h"

#include <csignal>
#include <cstdint>
#include <cups/raster.h>
#include <vector>

// CUPS raster input of the conversion engine: the pages of a one-bit raster
// stream, as CUPS's filters make them for the fax printer, each page fitted
// to the fax line as a bitmap is (bcFitImage: centred, a wider page loses its
// right part).
//
// Choices made here:
// - Black is 1 in the K colour space and 0 in W; other colour spaces and
//   depths are refused with -8002, as is a stream without pages.
// - A page of more than 150 lines an inch is fine. A fine page in a
//   standard file keeps every second line; a standard page in a fine file
//   gives each line twice, so the page keeps its height.
// - A stream that ends inside a page fails with -161 (device read), so the
//   file is dropped rather than written with part of a page.
// - The converter starts without margins and with only the centre option: a
//   raster page is drawn at the fax's own width, and the stream comes off a
//   pipe where no GUI runs to yield to.

struct TFaxRasterData : TFaxInputData {
    ~TFaxRasterData() override;
    int Fd = -1;
    // A page header was refused (-8002 then means that, not "no pages").
    bool WrongKind = false;
    // The file takes the first page's resolution instead of the converter's.
    bool TakeResolution = false;
    // Set (from a signal handler too) to stop at the next read: -8003.
    volatile std::sig_atomic_t* Stop = nullptr;
    cups_raster_t* Raster = nullptr;
    unsigned Width = 0;  // pixels of the current page
    unsigned Height = 0; // rows of the current page
    unsigned BytesPerLine = 0;
    bool WhiteIsOne = false;
    bool PageFine = false;
    unsigned RowsRead = 0;
    bool Repeat = false; // the row just given goes out once more
    std::vector<uint8_t> Row;
};

// Reads the stream from fd (not closed here).
int rcInitRasterConverter(std::unique_ptr<TAbsFaxCvt>& cvt, int fd);
void rcDoneRasterConverter(std::unique_ptr<TAbsFaxCvt>& cvt);
// Reads the first page's header.
int rcOpenRaster(TAbsFaxCvt& cvt, const std::string& fileName);
void rcCloseRaster(TAbsFaxCvt& cvt);
int rcGetRasterLine(TAbsFaxCvt& cvt, uint8_t* data, int& len, bool& endOfPage, bool& morePages);
