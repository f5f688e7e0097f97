#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

// The TIFF, PCX and DCX readers' view of their file: bytes at an offset, and
// a buffered byte stream over a range of the file for the run-length codes.
// Nothing is read past the file's end or the range's end.

// The largest page the readers take: 32768 pixels a row (a raster buffer
// holds no more) and 32767 rows (the tallest page the unpacker turns back
// into a picture). A header past either is damaged, not a fax page.
inline constexpr uint32_t kMaxImageWidth = 32768;
inline constexpr uint32_t kMaxImageHeight = 32767;

class TImageSource {
public:
    // -2 when the file does not exist, a file error code when it cannot be
    // read.
    int Open(const std::string& fileName);
    void Close();
    uint64_t Size() const { return Size_; }

    // Exactly `count` bytes at `offset`, else false.
    bool ReadAt(uint64_t offset, void* bytes, std::size_t count);

    // Bytes from `begin` up to `end` (cut at the file's end), one at a time.
    void StartRange(uint64_t begin, uint64_t end);
    // The next byte of the range, or -1 at its end or on a read error.
    int Next()
    {
        if (BufPos_ == BufLen_ && !Fill())
            return -1;
        return Buf_[BufPos_++];
    }
    // Up to `count` bytes of the range; how many were there.
    std::size_t Take(uint8_t* bytes, std::size_t count);
    // Where the range has been read to.
    uint64_t Position() const { return RangePos_ - (BufLen_ - BufPos_); }

private:
    bool Fill();

    struct Closer {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> File_;
    uint64_t Size_ = 0;
    uint64_t RangePos_ = 0; // next file byte to buffer
    uint64_t RangeEnd_ = 0;
    std::array<uint8_t, 4096> Buf_{};
    std::size_t BufPos_ = 0;
    std::size_t BufLen_ = 0;
};
