#pragma once

#include "netlib/mime/ip_stream.h"

#include <array>
#include <memory>
#include <string>
#include <vector>

// A 16 KB window over another stream, the line reader and writer on top of
// it, and a byte-at-a-time reader.
//
// The window touches the stream under it only in whole 16384-byte blocks
// aligned to 16384 (the last one may be short), so a mapped file is read and
// written block by block.
class TIpBufferedStream : public TIpStream {
public:
    static constexpr int64_t BufferSize = 16384;

    // Raises "Stream not assigned" without a stream.
    explicit TIpBufferedStream(TIpStream* stream);
    // Without a stream: Read, Write and Seek do nothing until one is set.
    TIpBufferedStream();
    ~TIpBufferedStream() override;
    TIpBufferedStream(const TIpBufferedStream&) = delete;
    TIpBufferedStream& operator=(const TIpBufferedStream&) = delete;

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, int origin) override;
    void SetSize(int64_t size) override;
    int64_t GetSize() override { return FSize; }

    // Writes pending bytes back to the old stream, then works on this one,
    // which stays the caller's.
    void bsSetStream(TIpStream* stream);
    // The same with a stream this object owns from now on.
    void SetOwnedStream(std::unique_ptr<TIpStream> stream);
    TIpStream* Stream() const { return FStream; }
    void Flush();
    // Writes pending bytes back and lets go of the stream (freeing it when
    // owned).
    void FreeStream();
    bool ReadChar(char& c);

protected:
    virtual void bsInitForNewStream();
    void LoadBuffer();
    void NextBuffer();
    int64_t Position() const { return FBufOffset + FBufPos; }

    int64_t FBufLen = 0;
    std::unique_ptr<char[]> FBuffer;
    int64_t FBufOffset = 0;
    int64_t FBufPos = 0;
    bool FDirty = false;
    int64_t FSize = 0;
    TIpStream* FStream = nullptr;
    std::unique_ptr<TIpStream> FOwned;
};

enum TIpLineTerminator : int { ltNone = 0, ltCR = 1, ltLF = 2, ltCRLF = 3, ltOther = 4 };

class TIpAnsiTextStream : public TIpBufferedStream {
public:
    explicit TIpAnsiTextStream(TIpStream* stream);
    // Over a stream it owns.
    explicit TIpAnsiTextStream(std::unique_ptr<TIpStream> stream);
    TIpAnsiTextStream();
    ~TIpAnsiTextStream() override;

    // Each takes effect only at position 0.
    void atsSetLineTerm(TIpLineTerminator terminator);
    void atsSetLineEndCh(char c);
    // Raises "Invalid line length" outside 1..1024.
    void atsSetLineLen(int length);
    TIpLineTerminator LineTerminator() const { return FLineTerm; }
    int FixedLineLength() const { return FLineLen; }

    bool AtEndOfStream() { return !FStream || Position() >= FSize; }
    std::string ReadLine();
    // The same into line; false, with line empty, when no line is left.
    bool ReadLine(std::string& line);
    int ReadLineArray(char* buffer, int max);
    char* ReadLineZ(char* buffer, int max);
    void WriteLine(std::string_view text);
    void WriteLineArray(const char* buffer, int length);
    void WriteLineZ(const char* text);

    // Put the stream at the start of a line and return its number (from 0).
    int64_t SeekLine(int64_t line);
    int64_t SeekNearestLine(int64_t offset);
    // The lines counted, or 2147483647 until the end has been reached.
    int64_t GetLineCount();

protected:
    void bsInitForNewStream() override;

private:
    struct LinePair {
        int64_t Line;
        int64_t Offset;
    };
    void ResetIndex();
    void IndexMore();
    // The last pair at or before the target, by line or by offset.
    const LinePair& PairBefore(int64_t target, bool byOffset) const;

    char FLineEndCh = '\n';
    int FLineLen = 80;
    TIpLineTerminator FLineTerm = ltCRLF;
    std::vector<LinePair> FIndex;
    int64_t FLinesPerPair = 1;
    int64_t FLineCount = -1;
    int64_t FCurLine = 0;
    int64_t FCurPos = 0;
};

// Reads a stream one byte at a time through 1024-byte refills.
class TIpByteStream {
public:
    explicit TIpByteStream(TIpStream& stream) : FStream(stream) {}
    bool Read(uint8_t& byte);
    int64_t GetPosition() { return FStream.GetPosition() - FLen + FPos; }
    int64_t GetSize() { return FStream.GetSize(); }

private:
    TIpStream& FStream;
    int64_t FLen = 0;
    int64_t FPos = 0;
    std::array<uint8_t, 1024> FBuffer{};
};
