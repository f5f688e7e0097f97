#pragma once

#include "fax/fax_convert.h"
#include "fax/fax_image_source.h"

#include <vector>

// PCX and DCX input of the conversion engine: a PCX file is one page, a DCX
// file a table of page offsets with a PCX picture at each.
//
// Choices made here:
// - Only black-and-white pictures are read: 1 bit per pixel in one plane,
//   run-length coded. Colour planes, palette pictures and uncoded data give
//   -8002.
// - Which pixel value is black follows the header's palette when its first
//   two colours differ (the darker one); otherwise 0 is black, as
//   Paintbrush draws it.
// - Runs may carry on from one row into the next; data that end before the
//   last row stop the conversion with -8002.
// - Each page is fitted to the line by its own width, as a bitmap is.
// - The DCX table ends at a 0 entry or after 1024 entries; a page offset
//   that points into the signature or the table, or past the file's end,
//   gives -8002.

// One PCX picture in a file.
struct TPcxPage {
    uint32_t Width = 0;
    uint32_t Height = 0;
    uint32_t CurrRow = 0; // rows handed out
    bool ZeroIsBlack = true;
    std::vector<uint8_t> Row; // one coded row (the header's bytes per line)
    // A run still due from the previous row.
    unsigned Repeat = 0;
    uint8_t RepeatByte = 0;
};

struct TFaxPcxData : TFaxInputData {
    TImageSource File;
    std::vector<uint32_t> PageOffsets; // one entry for a PCX file
    std::size_t NextPage = 0;          // index into PageOffsets
    bool PageReady = false;
    TPcxPage Page;
};

int pcInitPcxConverter(std::unique_ptr<TAbsFaxCvt>& cvt);
void pcDonePcxConverter(std::unique_ptr<TAbsFaxCvt>& cvt);
// -2 when missing, -8002 when not a PCX picture this reader takes.
int pcOpenFile(TAbsFaxCvt& cvt, const std::string& fileName);
void pcCloseFile(TAbsFaxCvt& cvt);
int pcGetPcxRasterLine(TAbsFaxCvt& cvt, uint8_t* data, int& len, bool& endOfPage, bool& morePages);

int dcInitDcxConverter(std::unique_ptr<TAbsFaxCvt>& cvt);
void dcDoneDcxConverter(std::unique_ptr<TAbsFaxCvt>& cvt);
// -2 when missing, -8002 without the signature or with a bad table or first
// page.
int dcOpenFile(TAbsFaxCvt& cvt, const std::string& fileName);
void dcCloseFile(TAbsFaxCvt& cvt);
int dcGetDcxRasterLine(TAbsFaxCvt& cvt, uint8_t* data, int& len, bool& endOfPage, bool& morePages);
