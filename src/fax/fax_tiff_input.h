#pragma once

#include "fax/fax_convert.h"
#include "fax/fax_image_source.h"

#include <set>
#include <vector>

// TIFF input of the conversion engine: black-and-white TIFF files in either
// byte order, uncompressed or PackBits, in one or more strips; each image
// directory is a page.
//
// Choices made here:
// - Only 1 bit per sample and one sample per pixel, photometric 0 (white is
//   zero; also when the tag is missing) or 1 (black is zero). Any other
//   image kind or compression, or a directory that does not hold together,
//   gives -8002.
// - A fill order of 2 (least significant bit first) is honoured.
// - Each page is fitted to the line by its own width, as a bitmap is.
// - A page's strips are checked against the file's size when the page
//   starts; strip data that end before the strip's rows do stop the
//   conversion with -8002.
// - PackBits runs may carry on from one row into the next.
// - The chain of directories is followed until a directory comes round a
//   second time: that is a damaged file (-8002), not a loop.

struct TFaxTiffData : TFaxInputData {
    TImageSource File;
    bool BigEndian = false;
    std::set<uint32_t> SeenDirs;
    uint32_t NextDir = 0; // 0: the current page is the last
    bool PageReady = false;
    // The current page.
    uint32_t Width = 0;
    uint32_t Height = 0;
    uint32_t RowsPerStrip = 0;
    bool PackBits = false;
    bool BlackIsZero = false;
    bool LsbFirst = false;
    std::vector<uint32_t> StripOffsets;
    std::vector<uint32_t> StripBytes;
    std::vector<uint8_t> Row;
    uint32_t CurrRow = 0; // rows handed out
    // PackBits state between rows: literal bytes or repeats still due.
    unsigned Literal = 0;
    unsigned Repeat = 0;
    uint8_t RepeatByte = 0;
};

int tcInitTiffConverter(std::unique_ptr<TAbsFaxCvt>& cvt);
void tcDoneTiffConverter(std::unique_ptr<TAbsFaxCvt>& cvt);
// -2 when missing, -8002 when not a TIFF file this reader takes.
int tcOpenFile(TAbsFaxCvt& cvt, const std::string& fileName);
void tcCloseFile(TAbsFaxCvt& cvt);
int tcGetTiffRasterLine(TAbsFaxCvt& cvt, uint8_t* data, int& len, bool& endOfPage, bool& morePages);
