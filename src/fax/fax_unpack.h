#pragma once

#include "fax/apf_file.h"

#include <QImage>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The unpacker: decodes the T.4 MH pages of an APF file back into raster
// lines (most significant bit first, 1 = black unless inverted) and hands
// them to an output routine, to an in-memory bitmap or to a PCX, DCX, TIFF
// or BMP file.
//
// Choices made here:
// - Any number of fill zeros before an EOL is taken as fill, so lines
//   padded by the sending machine decode like our own.
// - A line that is complete (1728 or 2048 pixels) when a page's data run
//   out without end-of-page codes is still output; decoding never reads
//   past the page (see TApfReader).
// - The message queue is served each time the count of lines output
//   reaches a further multiple of 16, and the status routine is called
//   once per record or block read.
// - The PCX, DCX and TIFF writers take the lines as the output routine gets
//   them (options and scaling applied), each at its full length; the file
//   forms of PCX and TIFF put the pages one below the other, narrower pages
//   padded with white. PCX lines are stored 1 = white under the palette
//   black, white; TIFF lines 1 = black (white is zero). A DCX holds the
//   usual table of 1024 offsets, so at most 1023 pages.
// - The TIFF image follows its directory and the directory's 4-byte link to
//   a next one (0): it starts at 122, not inside that link.
// - A page that gives no lines cannot be written (-8005), as for BMP.

// Option flags.
inline constexpr uint16_t ufYield = 1;
inline constexpr uint16_t ufDoubleHeight = 2;
inline constexpr uint16_t ufHalfWidth = 4;
inline constexpr uint16_t ufAbort = 8;
inline constexpr uint16_t ufDefaultOptions = ufYield | ufDoubleHeight;

// Output routine flags.
inline constexpr int upStarting = 1;
inline constexpr int upEnding = 2;

// Decoded line buffer: 512 bytes of pixels and a margin.
inline constexpr std::size_t kUnpackLineBytes = 512;
// Lines per step of the memory bitmap, and bytes per line slot.
inline constexpr unsigned kMemBlockLines = 1024;
inline constexpr unsigned kMemSlotBytes = 256;
// The tallest bitmap a BMP file takes.
inline constexpr unsigned kMaxBmpHeight = 32767;

struct TUnpackFax;

// (unpacker, flags, line data, length in bytes, page number) -> error code.
using TUnpackLineFunc =
    std::function<int(TUnpackFax&, int flags, const uint8_t* data, unsigned len, unsigned page)>;
// (unpacker, file name, page, bytes unpacked, bytes to unpack).
using TUnpackStatusFunc = std::function<void(TUnpackFax&, const std::string& fileName,
                                             unsigned page, uint32_t done, uint32_t total)>;

struct TMemoryBitmapDesc {
    unsigned Width = 0;  // pixels
    unsigned Height = 0; // lines
    QImage Bitmap;       // Format_Mono; null when the page gave no lines
};

// The lines of a page or file packed to the width of the widest inked line
// (rounded up to an even number of bytes).
struct TUnpackBuffer {
    unsigned WidthBytes = 0;
    unsigned Lines = 0;
    std::vector<uint8_t> Bits; // WidthBytes * Lines
};

// A decoding tree entry: > 0 the next node, < 0 a leaf, 0 no code.
struct TTreeNode {
    std::array<int32_t, 2> Next{};
};

struct TUnpackFax {
    void* UserData = nullptr;
    unsigned CurPage = 0;
    uint16_t Flags = ufDefaultOptions;
    unsigned WSFrom = 0;
    unsigned WSTo = 0;
    unsigned WhiteCount = 0;
    uint32_t BytesToUnpack = 0;
    uint32_t BytesRead = 0;
    std::vector<TTreeNode> WhiteTree;
    std::vector<TTreeNode> BlackTree;
    std::array<uint8_t, kUnpackLineBytes + 16> LineBuffer{};
    unsigned LineBits = 0; // pixels decoded on the current line
    unsigned LinesOut = 0; // lines output on the page
    uint32_t BadCodes = 0;
    TFaxHeaderRec FaxHeader;
    TPageHeaderRec PageHeader;
    TUnpackLineFunc OutputLine;
    TUnpackStatusFunc StatusFunc;
    // The memory bitmap being built.
    std::vector<uint8_t> Mem;
    unsigned MemLines = 0;
    unsigned MemWidth = 0; // bytes
    unsigned HMult = 1, HDiv = 1, VMult = 1, VDiv = 1;
    TMemoryBitmapDesc MemBmp;
    TUnpackBuffer Buffer;
    bool Inverted = false;
    std::string FileName;
};

int upInitFaxUnpacker(std::unique_ptr<TUnpackFax>& unpacker, void* data,
                      TUnpackLineFunc outputLine);
void upDoneFaxUnpacker(std::unique_ptr<TUnpackFax>& unpacker);

// Setting double height or half width clears the other; asking for both
// at once changes nothing.
void upOptionsOn(TUnpackFax& unpacker, uint16_t options);
void upOptionsOff(TUnpackFax& unpacker, uint16_t options);
bool upOptionsAreOn(const TUnpackFax& unpacker, uint16_t options);
void upSetStatusCallback(TUnpackFax& unpacker, TUnpackStatusFunc callback);
// Runs of `from` or more white lines become `to` lines; -1002 when `to`
// exceeds `from`, or `from` is 0 and `to` is not.
int upSetWhitespaceCompression(TUnpackFax& unpacker, unsigned from, unsigned to);
void upSetScaling(TUnpackFax& unpacker, unsigned hMult, unsigned hDiv, unsigned vMult,
                  unsigned vDiv);

int upGetFaxHeader(TUnpackFax& unpacker, const std::string& fileName, TFaxHeaderRec& header);
int upGetPageHeader(TUnpackFax& unpacker, const std::string& fileName, unsigned page,
                    TPageHeaderRec& header);

// Lines to the output routine.
int upUnpackPage(TUnpackFax& unpacker, const std::string& fileName, unsigned page);
int upUnpackFile(TUnpackFax& unpacker, const std::string& fileName);
// One monochrome bitmap of the page, or of all pages one below the other.
// Inverted bitmaps have 1 = white.
int upUnpackPageToBitmap(TUnpackFax& unpacker, const std::string& fileName, unsigned page,
                         TMemoryBitmapDesc& desc, bool invert);
int upUnpackFileToBitmap(TUnpackFax& unpacker, const std::string& fileName, TMemoryBitmapDesc& desc,
                         bool invert);
// The same lines (scaled) in a packed buffer, 1 = black. With
// `skipHeaderRead` the file header is not read again: the one the record
// holds (from upGetFaxHeader or an unpack of the same file) is taken; a
// record that holds none reads it.
int upUnpackPageToBuffer(TUnpackFax& unpacker, const std::string& fileName, unsigned page,
                         TUnpackBuffer& buffer, bool skipHeaderRead = false);
int upUnpackFileToBuffer(TUnpackFax& unpacker, const std::string& fileName, TUnpackBuffer& buffer);
// The output routine of the bitmap and buffer forms.
int upPutMemoryBitmapLine(TUnpackFax& unpacker, int flags, const uint8_t* data, unsigned len,
                          unsigned page);

// File writers: an output name without extension gets the writer's
// extension (".PCX", ".DCX", ".TIF"); an empty one is the input name with
// it. A PCX image taller than 65536 lines and a DCX of more than 1023 pages
// give -1002.
int upUnpackPageToPcx(TUnpackFax& unpacker, const std::string& inName, const std::string& outName,
                      unsigned page);
int upUnpackFileToPcx(TUnpackFax& unpacker, const std::string& inName, const std::string& outName);
int upUnpackPageToDcx(TUnpackFax& unpacker, const std::string& inName, const std::string& outName,
                      unsigned page);
int upUnpackFileToDcx(TUnpackFax& unpacker, const std::string& inName, const std::string& outName);
int upUnpackPageToTiff(TUnpackFax& unpacker, const std::string& inName, const std::string& outName,
                       unsigned page);
int upUnpackFileToTiff(TUnpackFax& unpacker, const std::string& inName, const std::string& outName);

// BMP files (-8054 above 32767 lines). An output name without extension
// gets ".BMP"; an empty one is the input name with ".BMP".
int upUnpackPageToBmp(TUnpackFax& unpacker, const std::string& inName, const std::string& outName,
                      unsigned page);
int upUnpackFileToBmp(TUnpackFax& unpacker, const std::string& inName, const std::string& outName);

// Writes a monochrome picture as a Windows bitmap file with a 40-byte
// information header and the palette black, white; the file is replaced
// whole. 0, -8054 when too tall, or a file error code.
int WriteMonoBmp(const QImage& image, const std::string& fileName);
