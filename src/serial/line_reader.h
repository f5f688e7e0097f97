#pragma once

#include <cstdint>
#include <istream>
#include <string>

// Reads CR-ended text lines from a stream in 4096-byte pages. An LF right
// after a CR is skipped; a short last page that does not end in CR gets one;
// a final Ctrl-Z is dropped.
class TLineReader {
public:
    explicit TLineReader(std::istream& stream);

    // The next line without its CR; at the end of the data an empty line,
    // with Eof() then true.
    std::string NextLine();

    bool Eof() const { return Eof_; }
    int64_t BytesRead() const { return BytesRead_; }
    int64_t FileSize() const { return FileSize_; }

private:
    bool ReadPage();

    static constexpr std::size_t kPageSize = 4096;
    std::istream& Stream_;
    std::string Page_;
    std::size_t Pos_ = 0;
    bool Eof_ = false;
    bool SkipLf_ = false;
    int64_t BytesRead_ = 0;
    int64_t FileSize_ = 0;
};
