#include "netlib/mime/ip_text_stream.h"

#include "netlib/base/ip_base.h"
#include "netlib/base/ip_const.h"

#include <algorithm>
#include <cstring>

// Buffered stream

TIpBufferedStream::TIpBufferedStream() : FBuffer(new char[BufferSize]) {}

TIpBufferedStream::TIpBufferedStream(TIpStream* stream) : TIpBufferedStream()
{
    if (!stream)
        throw EIpBaseException(IpStr(IpConst::SNoStreamErr));
    FStream = stream;
    TIpBufferedStream::bsInitForNewStream();
}

TIpBufferedStream::~TIpBufferedStream()
{
    try {
        Flush();
    } catch (...) {
        // Nothing can report from here; the owner flushes first when it cares.
    }
}

void TIpBufferedStream::bsInitForNewStream()
{
    FSize = FStream ? FStream->GetSize() : 0;
    FBufLen = 0;
    FBufOffset = 0;
    FBufPos = 0;
    FDirty = false;
}

void TIpBufferedStream::bsSetStream(TIpStream* stream)
{
    if (stream == FStream)
        return;
    Flush();
    FStream = stream;
    if (FOwned.get() != stream)
        FOwned.reset();
    bsInitForNewStream();
}

void TIpBufferedStream::SetOwnedStream(std::unique_ptr<TIpStream> stream)
{
    Flush();
    FOwned = std::move(stream);
    FStream = FOwned.get();
    bsInitForNewStream();
}

void TIpBufferedStream::Flush()
{
    if (!FDirty || !FStream)
        return;
    if (FStream->Seek(FBufOffset, soFromBeginning) != FBufOffset)
        throw EIpBaseException(IpStr(IpConst::SNoSeekForWrite));
    if (FStream->Write(FBuffer.get(), FBufLen) != FBufLen)
        throw EIpBaseException(IpStr(IpConst::SCannotWriteToStream));
    FDirty = false;
}

void TIpBufferedStream::FreeStream()
{
    Flush();
    FStream = nullptr;
    FOwned.reset();
    bsInitForNewStream();
}

void TIpBufferedStream::LoadBuffer()
{
    if (FStream->Seek(FBufOffset, soFromBeginning) != FBufOffset)
        throw EIpBaseException(IpStr(IpConst::SNoSeekForRead));
    FBufLen = std::max<int64_t>(0, FStream->Read(FBuffer.get(), BufferSize));
}

void TIpBufferedStream::NextBuffer()
{
    Flush();
    FBufOffset += BufferSize;
    FBufPos = 0;
    FBufLen = 0;
}

bool TIpBufferedStream::ReadChar(char& c)
{
    return Read(&c, 1) == 1;
}

int64_t TIpBufferedStream::Read(void* buffer, int64_t count)
{
    if (!FStream)
        return 0;
    auto* out = static_cast<char*>(buffer);
    int64_t left = std::min(count, FSize - Position());
    int64_t done = 0;
    while (left > 0) {
        if (FBufLen == 0)
            LoadBuffer();
        const int64_t n = std::min(FBufLen - FBufPos, left);
        if (n <= 0)
            break; // the stream under us holds less than we were told
        std::memcpy(out + done, FBuffer.get() + FBufPos, size_t(n));
        FBufPos += n;
        done += n;
        left -= n;
        if (FBufPos == BufferSize)
            NextBuffer();
    }
    return done;
}

int64_t TIpBufferedStream::Write(const void* buffer, int64_t count)
{
    if (!FStream || count <= 0)
        return 0;
    const auto* in = static_cast<const char*>(buffer);
    int64_t done = 0;
    while (done < count) {
        // A partial overwrite keeps the rest of the block.
        if (FBufLen == 0 && FBufOffset < FSize)
            LoadBuffer();
        const int64_t n = std::min(BufferSize - FBufPos, count - done);
        std::memcpy(FBuffer.get() + FBufPos, in + done, size_t(n));
        FDirty = true;
        FBufPos += n;
        done += n;
        FBufLen = std::max(FBufLen, FBufPos);
        FSize = std::max(FSize, Position());
        if (FBufPos == BufferSize)
            NextBuffer();
    }
    return count;
}

int64_t TIpBufferedStream::Seek(int64_t offset, int origin)
{
    if (!FStream)
        return 0;
    int64_t target;
    switch (origin) {
    case soFromBeginning:
        target = offset;
        break;
    case soFromCurrent:
        if (offset == 0)
            return Position();
        target = Position() + offset;
        break;
    case soFromEnd:
        target = FSize + offset;
        break;
    default:
        throw EIpBaseException(IpStr(IpConst::SBadSeekOrigin));
    }
    target = std::clamp<int64_t>(target, 0, FSize);
    const int64_t blockStart = target - target % BufferSize;
    if (blockStart != FBufOffset) {
        Flush();
        FBufOffset = blockStart;
        FBufLen = 0;
    }
    FBufPos = target - blockStart;
    return target;
}

void TIpBufferedStream::SetSize(int64_t size)
{
    if (!FStream)
        return;
    Flush();
    FStream->SetSize(size);
    const int64_t position = std::min(Position(), size);
    bsInitForNewStream();
    FSize = size;
    Seek(position, soFromBeginning);
}

// Text stream

TIpAnsiTextStream::TIpAnsiTextStream() : TIpBufferedStream()
{
    ResetIndex();
}

TIpAnsiTextStream::TIpAnsiTextStream(TIpStream* stream) : TIpBufferedStream(stream)
{
    ResetIndex();
}

TIpAnsiTextStream::TIpAnsiTextStream(std::unique_ptr<TIpStream> stream) : TIpBufferedStream()
{
    if (!stream)
        throw EIpBaseException(IpStr(IpConst::SNoStreamErr));
    SetOwnedStream(std::move(stream));
}

TIpAnsiTextStream::~TIpAnsiTextStream() = default;

void TIpAnsiTextStream::bsInitForNewStream()
{
    TIpBufferedStream::bsInitForNewStream();
    ResetIndex();
}

void TIpAnsiTextStream::ResetIndex()
{
    FIndex.assign(1, LinePair{0, 0});
    FLinesPerPair = 1;
    FLineCount = -1;
    FCurLine = 0;
    FCurPos = 0;
}

void TIpAnsiTextStream::atsSetLineTerm(TIpLineTerminator terminator)
{
    if (Position() != 0 || terminator == FLineTerm)
        return;
    FLineTerm = terminator;
    ResetIndex();
}

void TIpAnsiTextStream::atsSetLineEndCh(char c)
{
    if (Position() != 0 || c == FLineEndCh)
        return;
    FLineEndCh = c;
    ResetIndex();
}

void TIpAnsiTextStream::atsSetLineLen(int length)
{
    if (Position() != 0 || length == FLineLen)
        return;
    if (length < 1 || length > 1024)
        throw EIpBaseException(IpStr(IpConst::SBadLineLength));
    FLineLen = length;
    ResetIndex();
}

bool TIpAnsiTextStream::ReadLine(std::string& line)
{
    line.clear();
    if (AtEndOfStream())
        return false;
    if (FLineTerm == ltNone) {
        line.resize(size_t(FLineLen));
        line.resize(size_t(Read(line.data(), FLineLen)));
        return true;
    }
    char end;
    switch (FLineTerm) {
    case ltCR:
        end = '\r';
        break;
    case ltLF:
    case ltCRLF:
        end = '\n';
        break;
    case ltOther:
        end = FLineEndCh;
        break;
    default:
        throw EIpBaseException(IpStr(IpConst::SBadLineTerminator));
    }
    while (Position() < FSize) {
        if (FBufLen == 0)
            LoadBuffer();
        const char* start = FBuffer.get() + FBufPos;
        const int64_t avail = std::min(FBufLen - FBufPos, FSize - Position());
        if (avail <= 0)
            break;
        const auto* hit = static_cast<const char*>(std::memchr(start, end, size_t(avail)));
        const int64_t take = hit ? hit - start : avail;
        line.append(start, size_t(take));
        FBufPos += hit ? take + 1 : take;
        if (FBufPos == BufferSize)
            NextBuffer();
        if (hit) {
            if (FLineTerm == ltCRLF && !line.empty() && line.back() == '\r')
                line.pop_back();
            break;
        }
    }
    return true;
}

std::string TIpAnsiTextStream::ReadLine()
{
    std::string line;
    ReadLine(line);
    if (FStream && FLineTerm == ltNone)
        line.resize(size_t(FLineLen), ' ');
    return line;
}

int TIpAnsiTextStream::ReadLineArray(char* buffer, int max)
{
    std::string line;
    ReadLine(line);
    const int n = std::min<int>(int(line.size()), std::max(max, 0));
    std::memcpy(buffer, line.data(), size_t(n));
    if (FStream && FLineTerm == ltNone) {
        const int padded = std::min(max, FLineLen);
        std::memset(buffer + n, ' ', size_t(std::max(0, padded - n)));
        return std::max(n, padded);
    }
    return n;
}

char* TIpAnsiTextStream::ReadLineZ(char* buffer, int max)
{
    buffer[ReadLineArray(buffer, max)] = '\0';
    return buffer;
}

void TIpAnsiTextStream::WriteLine(std::string_view text)
{
    WriteLineArray(text.data(), int(text.size()));
}

void TIpAnsiTextStream::WriteLineZ(const char* text)
{
    WriteLineArray(text, text ? int(std::strlen(text)) : 0);
}

void TIpAnsiTextStream::WriteLineArray(const char* buffer, int length)
{
    if (!FStream)
        return;
    if (!buffer)
        length = 0;
    switch (FLineTerm) {
    case ltNone: {
        const int n = std::min(length, FLineLen);
        WriteBuffer(buffer, n);
        const std::string pad(size_t(FLineLen - n), ' ');
        WriteBuffer(pad.data(), int64_t(pad.size()));
        return;
    }
    case ltCR:
        WriteBuffer(buffer, length);
        WriteBuffer("\r", 1);
        return;
    case ltLF:
        WriteBuffer(buffer, length);
        WriteBuffer("\n", 1);
        return;
    case ltCRLF:
        WriteBuffer(buffer, length);
        WriteBuffer("\r\n", 2);
        return;
    case ltOther:
        WriteBuffer(buffer, length);
        WriteBuffer(&FLineEndCh, 1);
        return;
    }
    throw EIpBaseException(IpStr(IpConst::SBadLineTerminator));
}

void TIpAnsiTextStream::IndexMore()
{
    const LinePair last = FIndex.back();
    Seek(last.Offset, soFromBeginning);
    std::string line;
    for (int64_t i = 0; i < FLinesPerPair; ++i) {
        if (!ReadLine(line)) {
            FLineCount = last.Line + i;
            return;
        }
    }
    const LinePair next{last.Line + FLinesPerPair, Position()};
    // A full index keeps every second pair at twice the spacing; the pair
    // dropped last lies between the last one kept and the new one.
    if (FIndex.size() == 2048) {
        std::vector<LinePair> halved;
        halved.reserve(1024);
        for (size_t i = 0; i < FIndex.size(); i += 2)
            halved.push_back(FIndex[i]);
        FIndex = std::move(halved);
        FLinesPerPair *= 2;
    }
    FIndex.push_back(next);
}

const TIpAnsiTextStream::LinePair& TIpAnsiTextStream::PairBefore(int64_t target,
                                                                 bool byOffset) const
{
    const auto it = std::upper_bound(FIndex.begin(), FIndex.end(), target,
                                     [byOffset](int64_t value, const LinePair& pair) {
                                         return value < (byOffset ? pair.Offset : pair.Line);
                                     });
    return *(it == FIndex.begin() ? it : it - 1);
}

int64_t TIpAnsiTextStream::SeekLine(int64_t line)
{
    if (!FStream)
        return 0;
    if (line == FCurLine) {
        Seek(FCurPos, soFromBeginning);
        return FCurLine;
    }
    if (line <= 0) {
        Seek(0, soFromBeginning);
        FCurLine = FCurPos = 0;
        return 0;
    }
    while (FLineCount < 0 && FIndex.back().Line < line)
        IndexMore();
    if (FLineCount >= 0 && line >= FLineCount) {
        Seek(0, soFromEnd);
        return FLineCount;
    }
    const LinePair pair = PairBefore(line, false);
    Seek(pair.Offset, soFromBeginning);
    int64_t current = pair.Line;
    std::string text;
    while (current < line && !AtEndOfStream()) {
        ReadLine(text);
        ++current;
    }
    FCurLine = current;
    FCurPos = Position();
    return current;
}

int64_t TIpAnsiTextStream::SeekNearestLine(int64_t offset)
{
    if (!FStream)
        return 0;
    if (offset == FCurPos) {
        Seek(FCurPos, soFromBeginning);
        return FCurLine;
    }
    if (offset <= 0) {
        Seek(0, soFromBeginning);
        FCurLine = FCurPos = 0;
        return 0;
    }
    while (FLineCount < 0 && FIndex.back().Offset <= offset)
        IndexMore();
    if (FLineCount >= 0 && offset >= FSize) {
        Seek(0, soFromEnd);
        return FLineCount;
    }
    const LinePair pair = PairBefore(offset, true);
    Seek(pair.Offset, soFromBeginning);
    int64_t current = pair.Line;
    std::string text;
    while (!AtEndOfStream()) {
        const int64_t start = Position();
        ReadLine(text);
        if (Position() > offset) {
            Seek(start, soFromBeginning);
            break;
        }
        ++current;
    }
    FCurLine = current;
    FCurPos = Position();
    return current;
}

int64_t TIpAnsiTextStream::GetLineCount()
{
    return FLineCount < 0 ? 2147483647 : FLineCount;
}

// Byte stream

bool TIpByteStream::Read(uint8_t& byte)
{
    if (FPos >= FLen) {
        FLen = std::max<int64_t>(0, FStream.Read(FBuffer.data(), int64_t(FBuffer.size())));
        FPos = 0;
        if (FLen == 0)
            return false;
    }
    byte = FBuffer[size_t(FPos++)];
    return true;
}
