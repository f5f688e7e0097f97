#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

// APF fax image files: a 64-byte file header, then the pages one after the
// other, each a 16-byte page header and its data. Page n+1 starts right
// after page n's data; there is no page index. Code bytes are T.4
// one-dimensional (MH) code, least significant bit first, as a fax modem
// sends them. All integers are little-endian.
//
// Choices this unit makes where the format leaves room:
// - Writers write to a temporary file beside the target and rename it over
//   the target on Close, so neither a failure nor a crash leaves half a file.
// - A reader never hands out bytes past the end of the page it reads, even
//   when the page's end codes are damaged, and a record longer than 4096
//   bytes gives its first 4096 bytes, the rest skipped.

inline constexpr std::array<uint8_t, 6> kApfSignature{'A', 'P', 'F', '1', '0', 0x1A};
inline constexpr uint32_t kApfHeaderSize = 64;
inline constexpr uint32_t kApfPageHeaderSize = 16;
inline constexpr std::size_t kApfStationIdLen = 20;
// Longest record data a reader takes in one piece.
inline constexpr std::size_t kApfMaxRecord = 4096;

// Page flags.
inline constexpr uint16_t ffHighRes = 1;     // fine vertical resolution
inline constexpr uint16_t ffHighWidth = 2;   // 2048-pixel lines
inline constexpr uint16_t ffLengthWords = 4; // data is records with 16-bit lengths

// Line widths in pixels.
inline constexpr unsigned kStandardWidth = 1728;
inline constexpr unsigned kWideWidth = 2048;

// The record the converter writes for a blank line (1728 white pixels, also
// on wide pages) and the page-end record (a 16-bit EOL and seven 12-bit EOLs
// less their last four bits).
inline constexpr std::array<uint8_t, 6> kApfBlankLine{0x00, 0x80, 0xB2, 0x59, 0x01, 0x00};
inline constexpr std::array<uint8_t, 12> kApfPageEnd{0x00, 0x80, 0x00, 0x08, 0x80, 0x00,
                                                     0x08, 0x80, 0x00, 0x08, 0x80, 0x00};

struct TFaxHeaderRec {
    std::array<uint8_t, 6> Signature{};
    uint32_t FDateTime = 0; // MS-DOS packed date (high word) and time (low word)
    std::string StationID;  // at most 20 characters
    uint16_t PageCount = 0;
    uint32_t PageOfs = kApfHeaderSize;

    // A header of a new file: signature, first page at 64, nothing else.
    static TFaxHeaderRec Fresh();
    std::array<uint8_t, kApfHeaderSize> Encode() const;
    static TFaxHeaderRec Decode(const uint8_t* bytes);
    bool HasSignature() const { return Signature == kApfSignature; }
};

struct TPageHeaderRec {
    uint32_t ImgLength = 0; // bytes of page data after this header
    uint16_t ImgFlags = 0;

    std::array<uint8_t, kApfPageHeaderSize> Encode() const;
    static TPageHeaderRec Decode(const uint8_t* bytes);
    bool Fine() const { return ImgFlags & ffHighRes; }
    bool Wide() const { return ImgFlags & ffHighWidth; }
    bool LengthWords() const { return ImgFlags & ffLengthWords; }
    unsigned LineWidth() const { return Wide() ? kWideWidth : kStandardWidth; }
};

// Local time as an MS-DOS packed date and time (two-second resolution).
uint32_t DosDateTime(std::time_t when);

// The library error code for a failed file call's errno.
int FileErrorCode(int err);

// True when the file opens and begins with the signature.
bool awIsAnAPFFile(const std::string& fileName);

// Reads and checks the file header: -2 for an empty name, -8001 without the
// signature, a file error code when it cannot be read.
int ApfReadHeader(const std::string& fileName, TFaxHeaderRec& header);
// Finds page `page` (1-based) through the chain. Page 0 gives 0 and leaves
// `header` as it is; a page beyond the count or a broken chain gives -8001.
int ApfReadPageHeader(const std::string& fileName, unsigned page, TPageHeaderRec& header);

// Joins APF files into `dest` (replaced whole): the first with its header,
// the others without theirs, the page counts added. -8001 when a part cannot
// be read or lacks the signature, -1002 above 65535 pages.
int ApfJoinFiles(const std::vector<std::string>& parts, const std::string& dest);

// A fresh folder "~APF..." in the temporary directory for the parts of a
// join, removed with everything in it at destruction.
class TApfTempFolder {
public:
    // Throws std::system_error when no folder can be made.
    TApfTempFolder();
    ~TApfTempFolder();
    TApfTempFolder(const TApfTempFolder&) = delete;
    TApfTempFolder& operator=(const TApfTempFolder&) = delete;
    // The name of part n.
    std::string Path(unsigned n) const;

private:
    std::string Dir_;
};

// Reads an APF file page by page.
class TApfReader {
public:
    TApfReader() = default;
    ~TApfReader();
    TApfReader(const TApfReader&) = delete;
    TApfReader& operator=(const TApfReader&) = delete;

    int Open(const std::string& fileName);
    // As Open, with `header` (read from the file before) taken as the
    // file's header instead of reading it again.
    int Open(const std::string& fileName, const TFaxHeaderRec& header);
    void Close();
    bool IsOpen() const { return File_ != nullptr; }
    const TFaxHeaderRec& Header() const { return Header_; }

    // Walks the chain to page `page` (1..count) and makes it the current
    // page; its data is then read with ReadChunk.
    int SeekPage(unsigned page, TPageHeaderRec& header);
    // The next piece of the current page's code bytes: one record's data on
    // a page with length words, else a block of up to 4096 bytes. An empty
    // chunk with result 0 ends the page. Data that end early give -8001.
    int ReadChunk(std::vector<uint8_t>& chunk);
    // Page bytes consumed so far (length words included) and the page's
    // data length.
    uint32_t BytesRead() const { return BytesRead_; }
    uint32_t BytesToRead() const { return Page_.ImgLength; }
    // Where the current page's header lies in the file.
    uint64_t PageOffset() const { return PageOffset_; }

private:
    int OpenFile(const std::string& fileName, const TFaxHeaderRec* known);
    int ReadAt(uint64_t offset, uint8_t* bytes, std::size_t count);

    std::FILE* File_ = nullptr;
    uint64_t FileSize_ = 0;
    TFaxHeaderRec Header_;
    TPageHeaderRec Page_;
    uint64_t PageOffset_ = 0;
    uint32_t BytesRead_ = 0;
};

// Writes an APF file: pages of line records (the converter) or of raw code
// data (the receive engine). Every call returns 0 or an error code; after an
// error the writer refuses further work and Close deletes what was written.
class TApfWriter {
public:
    TApfWriter() = default;
    // An unclosed file is abandoned.
    ~TApfWriter();
    TApfWriter(const TApfWriter&) = delete;
    TApfWriter& operator=(const TApfWriter&) = delete;

    // Starts a new file that will replace `fileName` on Close, with the
    // mode NewMode or, without it, as the umask gives.
    int Create(const std::string& fileName);
    std::optional<unsigned> NewMode;
    // Close never replaces a file: where the name is taken the file gets
    // the first free "<name>-<n>.<ext>" (RenameNoReplace), and FileName
    // says which.
    bool NoReplace = false;
    bool IsOpen() const { return File_ != nullptr; }
    const std::string& FileName() const { return FileName_; }

    // Writes the header of a new page (length 0 until EndPage).
    int BeginPage(uint16_t flags);
    bool InPage() const { return InPage_; }
    // A line record: the 16-bit length, then the code bytes.
    int AddLine(const uint8_t* code, std::size_t length);
    // Code bytes without a length word (raw pages), counted in the page.
    int AddData(const uint8_t* bytes, std::size_t length);
    // Ends the page: on a page with length words the page-end record is
    // appended; the page count grows by one and the page header gets its
    // final length.
    int EndPage();
    // Cuts the file back to the start of the current page (a bad received
    // page); the page count stays.
    int DiscardPage();
    uint16_t PageCount() const { return Header_.PageCount; }
    // Bytes of the current page so far.
    uint32_t PageLength() const { return PageLength_; }

    // Ends an open page, stamps the header with the station ID (its first 20
    // characters) and the time, and puts the file in place.
    int Close(const std::string& stationId, std::time_t when = std::time(nullptr));
    // Drops the file: nothing is left behind.
    void Abandon();

private:
    int Write(const void* bytes, std::size_t count);
    int WriteAt(uint64_t offset, const void* bytes, std::size_t count);
    int Fail(int code);

    std::FILE* File_ = nullptr;
    std::string FileName_;
    std::string TempName_;
    TFaxHeaderRec Header_;
    bool InPage_ = false;
    uint16_t PageFlags_ = 0;
    uint64_t PageOffset_ = 0;
    uint32_t PageLength_ = 0;
    int Error_ = 0;
};
