#pragma once

#include "fax/fax_convert.h"

#include <csignal>
#include <cstdint>
#include <cups/raster.h>
#include <vector>

// CUPS raster input of the conversion engine: the pages of one-bit raster
// streams, as CUPS's filters make them for the fax printer, each page fitted
// to the fax line as a bitmap is (bcFitImage: centred, a wider page loses its
// right part).
//
// Choices made here:
// - Black is 1 in the K colour space and 0 in W; other colour spaces and
//   depths are refused with -8002, as is a stream without pages.
// - A job of several documents arrives as their streams one after the
//   other, each opened by its own sync word and of its own kind (compressed
//   or not, byte order); every page of every one is read, in order. A
//   document without pages (its sync word alone) adds none.
// - Bytes that are no raster where a stream or a page should begin, or a
//   stream that ends inside its sync word or a header, fail with -8002 and
//   Damaged: never taken for the end of the job.
// - CUPS's stream reader keeps what it is handed in a buffer of its own,
//   lost with its stream; it is handed one byte a call, so the start of the
//   next document is never in it.
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
    // Something that is no raster came where a stream or page should begin
    // (-8002 then means that).
    bool Damaged = false;
    unsigned Pages = 0; // pages begun
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
    // Read from Fd and not yet handed on: In[InPos, InEnd).
    std::vector<uint8_t> In;
    size_t InPos = 0;
    size_t InEnd = 0;
    bool InEnded = false;
    bool InFailed = false;
};

// Reads the stream from fd (not closed here).
int rcInitRasterConverter(std::unique_ptr<TAbsFaxCvt>& cvt, int fd);
void rcDoneRasterConverter(std::unique_ptr<TAbsFaxCvt>& cvt);
// Reads the first page's header.
int rcOpenRaster(TAbsFaxCvt& cvt, const std::string& fileName);
void rcCloseRaster(TAbsFaxCvt& cvt);
int rcGetRasterLine(TAbsFaxCvt& cvt, uint8_t* data, int& len, bool& endOfPage, bool& morePages);
