#include "link/codec/pklib.h"

#include "link/codec/pklib_tables.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include <sanitizer/asan_interface.h>

namespace {

constexpr unsigned kMaxRepetition = 516; // longest repetition the compressor emits
constexpr unsigned kSlotSize = 4096;     // new input per cycle
constexpr unsigned kCompressWindow = 4096 + 4096 + kMaxRepetition;
constexpr unsigned kHashCount = 2304;
constexpr unsigned kOutBlock = 2048;
constexpr unsigned kInBlock = 2048;
constexpr unsigned kEndMark = 773;
constexpr unsigned kDecodeError = 774;
constexpr unsigned kSymbolCount = 774;

// The expander flushes once its output reaches 8192; the longest copy the stream
// can ask for (518) may start at 8191.
constexpr unsigned kExpandFlushAt = 8192;
constexpr unsigned kExpandWindow = kExpandFlushAt + 518;

template <class State> State* PlaceState(char* workArea, std::size_t size)
{
    void* p = workArea;
    std::size_t space = size;
    if (!std::align(alignof(State), sizeof(State), p, space))
        return nullptr;
    return ::new (p) State;
}

// Under AddressSanitizer the part of the caller's work area after the state is
// off limits while the codec runs, so a window overrun shows up at once.
class SlackGuard {
public:
    SlackGuard(const void* stateEnd, const char* areaEnd)
        : begin_(stateEnd),
          size_(static_cast<std::size_t>(areaEnd - static_cast<const char*>(stateEnd)))
    {
        ASAN_POISON_MEMORY_REGION(begin_, size_);
    }
    ~SlackGuard() { ASAN_UNPOISON_MEMORY_REGION(begin_, size_); }
    SlackGuard(const SlackGuard&) = delete;
    SlackGuard& operator=(const SlackGuard&) = delete;

private:
    const void* begin_;
    std::size_t size_;
};

// ---------------------------------------------------------------- compressor

struct CompressState {
    PklibReadFn read;
    PklibWriteFn write;
    void* context;
    unsigned dictCode;
    unsigned distMask;
    unsigned coding;
    unsigned dictSize;
    unsigned outIndex;
    unsigned outBits;
    unsigned validEnd;    // window offset after the last byte of real input
    unsigned sortedCount; // positions in the sorted table this cycle
    bool writeFailed;
    std::uint8_t symbolBits[kSymbolCount];
    std::uint16_t symbolValues[kSymbolCount];
    std::uint16_t failure[kMaxRepetition + 1];
    std::uint16_t hashToIndex[kHashCount];
    std::uint8_t out[kOutBlock + 2];
    std::uint16_t sorted[kCompressWindow];
    std::uint8_t window[kCompressWindow]; // last, so that the unused rest of the area guards it
};

static_assert(sizeof(CompressState) + alignof(CompressState) - 1 <= kPklibCompressWorkSize);

struct Match {
    unsigned length = 0;
    unsigned distance = 0;
};

bool WriteAll(PklibWriteFn write, void* context, std::uint8_t* buf, unsigned size)
{
    unsigned asked = size;
    return write(reinterpret_cast<char*>(buf), &asked, context) >= size;
}

void FlushBlock(CompressState& s)
{
    if (!s.writeFailed && !WriteAll(s.write, s.context, s.out, kOutBlock))
        s.writeFailed = true;
    const std::uint8_t partial = s.out[kOutBlock];
    std::memset(s.out, 0, sizeof s.out);
    s.out[0] = partial;
    s.outIndex -= kOutBlock;
}

void OutputBits(CompressState& s, unsigned count, unsigned value)
{
    if (count > 8) {
        OutputBits(s, 8, value & 0xFF);
        count -= 8;
        value >>= 8;
    }
    const unsigned shifted = (value & ((1u << count) - 1)) << s.outBits;
    s.out[s.outIndex] |= static_cast<std::uint8_t>(shifted);
    s.outBits += count;
    if (s.outBits >= 8) {
        s.outBits -= 8;
        ++s.outIndex;
        s.out[s.outIndex] |= static_cast<std::uint8_t>(shifted >> 8);
    }
    if (s.outIndex >= kOutBlock)
        FlushBlock(s);
}

unsigned Hash(const CompressState& s, unsigned pos)
{
    return s.window[pos] * 4u + s.window[pos + 1] * 5u;
}

// Counting sort of the positions [from, to) by the hash of their first two bytes.
void SortBuffer(CompressState& s, unsigned from, unsigned to)
{
    std::fill(std::begin(s.hashToIndex), std::end(s.hashToIndex), 0);
    s.sortedCount = to > from ? to - from : 0;
    if (to <= from)
        return;
    for (unsigned pos = from; pos < to; ++pos)
        ++s.hashToIndex[Hash(s, pos)];
    unsigned total = 0;
    for (auto& entry : s.hashToIndex) {
        total += entry;
        entry = static_cast<std::uint16_t>(total);
    }
    for (unsigned pos = to; pos-- > from;)
        s.sorted[--s.hashToIndex[Hash(s, pos)]] = static_cast<std::uint16_t>(pos);
}

// Extends the border table of the bytes at pattern to cover prefixes up to `to`.
void ExtendFailure(CompressState& s, const std::uint8_t* pattern, unsigned from, unsigned to)
{
    for (unsigned k = std::max(from + 1, 2u); k <= to; ++k) {
        unsigned j = s.failure[k - 1];
        while (j > 0 && pattern[j] != pattern[k - 1])
            j = s.failure[j];
        if (pattern[j] == pattern[k - 1])
            ++j;
        s.failure[k] = static_cast<std::uint16_t>(j);
    }
}

// Longest earlier match for the bytes at p, ties going to the nearest candidate;
// only a match of the full 516 ends the search early. Comparisons stop at the
// real end of the input, so the result does not depend on what the window
// held before; near that end, candidates that all reach it tie, and the
// nearest wins.
Match FindRepetition(CompressState& s, unsigned p)
{
    const unsigned cap = std::min(kMaxRepetition, s.validEnd - p);
    if (cap < 2)
        return {};
    const std::uint8_t* w = s.window;
    const std::uint8_t* pat = w + p;
    const unsigned hash = Hash(s, p);
    const unsigned oldest = p + 1 > s.dictSize ? p + 1 - s.dictSize : 0;
    const unsigned limit = p - 1; // distance 1 is never used
    const unsigned count = s.sortedCount;

    unsigned idx = s.hashToIndex[hash];
    while (idx < count && s.sorted[idx] < oldest)
        ++idx;
    s.hashToIndex[hash] = static_cast<std::uint16_t>(idx);

    // First stage: plain comparisons until a match longer than 10 turns up.
    unsigned best = 1;
    unsigned bestPos = 0;
    bool longFound = false;
    for (; idx < count && s.sorted[idx] < limit; ++idx) {
        const std::uint8_t* c = w + s.sorted[idx];
        if (c[best - 1] != pat[best - 1] || c[0] != pat[0])
            continue;
        // Equal first bytes and equal hashes mean equal second bytes.
        unsigned n = 2;
        while (n < cap && c[n] == pat[n])
            ++n;
        if (n >= best) {
            best = n;
            bestPos = s.sorted[idx];
            if (best > 10) {
                longFound = true;
                break;
            }
        }
    }
    if (!longFound)
        return best >= 2 ? Match{best, p - bestPos} : Match{};
    if (best == kMaxRepetition)
        return {best, p - bestPos};
    ++idx;
    if (idx >= count || s.sorted[idx] >= limit)
        return {best, p - bestPos};

    // Second stage: skip candidates that the border table proves shorter.
    s.failure[0] = 0;
    s.failure[1] = 0;
    ExtendFailure(s, pat, 1, best);
    unsigned lastPos = bestPos;
    unsigned lastLen = best;
    for (;;) {
        const unsigned known = lastLen > 0 ? s.failure[lastLen] : 0;
        const unsigned skipTo = lastPos + std::max(1u, lastLen - known);
        while (idx < count && s.sorted[idx] < skipTo)
            ++idx;
        if (idx >= count || s.sorted[idx] >= limit)
            return {best, p - bestPos};
        const unsigned cand = s.sorted[idx];
        unsigned n = cand == skipTo ? known : 0;
        while (n < cap && w[cand + n] == pat[n])
            ++n;
        if (n >= best) {
            if (n > best) {
                ExtendFailure(s, pat, best, n);
                best = n;
            }
            bestPos = cand;
            if (best == kMaxRepetition)
                return {best, p - bestPos};
        }
        lastPos = cand;
        lastLen = n;
        ++idx;
    }
}

void EmitLiteral(CompressState& s, unsigned p)
{
    const unsigned byte = s.window[p];
    OutputBits(s, s.symbolBits[byte], s.symbolValues[byte]);
}

void EmitRepetition(CompressState& s, const Match& m)
{
    const unsigned entry = 256 + m.length - 2;
    OutputBits(s, s.symbolBits[entry], s.symbolValues[entry]);
    const unsigned d = m.distance - 1;
    if (m.length == 2) {
        const PklibCode& code = kPklibDistanceCodes[d >> 2];
        OutputBits(s, code.bits, code.value);
        OutputBits(s, 2, d & 3);
    } else {
        const PklibCode& code = kPklibDistanceCodes[d >> s.dictCode];
        OutputBits(s, code.bits, code.value);
        OutputBits(s, s.dictCode, d & s.distMask);
    }
}

bool TooFarForTwo(const Match& m)
{
    return m.length == 2 && m.distance - 1 >= 256;
}

// Codes the positions from p up to end with one step of lazy matching.
void CodeCycle(CompressState& s, unsigned& p, unsigned end, bool last)
{
    Match m;
    bool carried = false;
    while (p < end && !s.writeFailed) {
        if (!carried)
            m = FindRepetition(s, p);
        carried = false;
        if (m.length == 0 || TooFarForTwo(m)) {
            EmitLiteral(s, p++);
            continue;
        }
        if (last && p + m.length > end) {
            m.length = end - p;
            if (m.length < 2 || TooFarForTwo(m)) {
                EmitLiteral(s, p++);
                continue;
            }
            EmitRepetition(s, m);
            p += m.length;
            continue;
        }
        if (m.length < 8 && p + 1 < end) {
            const Match next = FindRepetition(s, p + 1);
            if (next.length > m.length + 1 ||
                (next.length == m.length + 1 && m.distance - 1 > 128)) {
                EmitLiteral(s, p++);
                m = next;
                carried = true;
                continue;
            }
        }
        EmitRepetition(s, m);
        p += m.length;
    }
}

void WriteCompressed(CompressState& s)
{
    std::memset(s.out, 0, sizeof s.out);
    std::memset(s.window, 0, sizeof s.window);
    s.out[0] = static_cast<std::uint8_t>(s.coding);
    s.out[1] = static_cast<std::uint8_t>(s.dictCode);
    s.outIndex = 2;
    s.outBits = 0;
    s.writeFailed = false;

    // Window: dictionary, 516 held-back bytes of look-ahead, then the new slot.
    const unsigned slotStart = s.dictSize + kMaxRepetition;
    unsigned p = slotStart;
    for (unsigned cycle = 0;; ++cycle) {
        unsigned got = 0;
        bool atEnd = false;
        while (got < kSlotSize) {
            unsigned asked = kSlotSize - got;
            const unsigned n =
                s.read(reinterpret_cast<char*>(s.window + slotStart + got), &asked, s.context);
            if (n == 0) {
                atEnd = true;
                break;
            }
            got += std::min(n, kSlotSize - got);
        }
        if (atEnd && got == 0 && cycle == 0)
            break;

        s.validEnd = slotStart + got;
        const unsigned end = atEnd ? s.validEnd : s.validEnd - kMaxRepetition;
        unsigned from;
        if (cycle == 0)
            from = slotStart;
        else if (cycle == 1 && s.dictSize == 4096)
            from = p - 3580; // the first byte of input
        else
            from = p - s.dictSize;
        // A position is indexed only when both its hashed bytes are real input.
        SortBuffer(s, from, std::min(end + 1, s.validEnd - 1));
        CodeCycle(s, p, end, atEnd);
        if (atEnd || s.writeFailed)
            break;
        std::memmove(s.window, s.window + kSlotSize, s.dictSize + kMaxRepetition);
        p -= kSlotSize;
    }
    if (s.writeFailed)
        return;
    OutputBits(s, s.symbolBits[kEndMark], s.symbolValues[kEndMark]);
    const unsigned used = s.outIndex + (s.outBits > 0 ? 1 : 0);
    if (used > 0 && !WriteAll(s.write, s.context, s.out, used))
        s.writeFailed = true;
}

// ------------------------------------------------------------------ expander

struct ExpandState {
    PklibReadFn read;
    PklibWriteFn write;
    void* context;
    unsigned coding;
    unsigned dictCode;
    unsigned distMask;
    unsigned outPos;
    unsigned bitBuf;    // low 8 bits always valid
    unsigned extraBits; // valid bits above the low 8
    unsigned inPos;
    unsigned inCount;
    bool writeFailed;
    std::uint8_t in[kInBlock];
    std::uint8_t distIndex[256];
    std::uint8_t lengthIndex[256];
    std::uint8_t asciiFirst[256];       // codes of up to 8 bits, 255 = longer code
    std::uint8_t asciiDrop4[256];       // after 4 dropped bits
    std::uint8_t asciiDrop6[128];       // after 6 dropped bits
    std::uint8_t asciiDrop8[256];       // after 8 dropped bits
    std::uint8_t asciiRestBits[256];    // bits left to drop after the lookup
    std::uint8_t window[kExpandWindow]; // last, so that the unused rest of the area guards it
};

static_assert(sizeof(ExpandState) + alignof(ExpandState) - 1 <= kPklibExpandWorkSize);

void GenDecodeTable(std::uint8_t* table, unsigned size, unsigned index, unsigned bits,
                    unsigned value)
{
    for (unsigned slot = value; slot < size; slot += 1u << bits)
        table[slot] = static_cast<std::uint8_t>(index);
}

void GenAsciiTables(ExpandState& s)
{
    std::memset(s.asciiFirst, 0, sizeof s.asciiFirst);
    std::memset(s.asciiDrop4, 0, sizeof s.asciiDrop4);
    std::memset(s.asciiDrop6, 0, sizeof s.asciiDrop6);
    std::memset(s.asciiDrop8, 0, sizeof s.asciiDrop8);
    for (unsigned c = 256; c-- > 0;) {
        const unsigned bits = kPklibAsciiCodes[c].bits;
        const unsigned code = kPklibAsciiCodes[c].value;
        if (bits <= 8) {
            GenDecodeTable(s.asciiFirst, 256, c, bits, code);
            s.asciiRestBits[c] = static_cast<std::uint8_t>(bits);
        } else if ((code & 0xFF) != 0) {
            s.asciiFirst[code & 0xFF] = 0xFF;
            if ((code & 0x3F) != 0) {
                GenDecodeTable(s.asciiDrop4, 256, c, bits - 4, code >> 4);
                s.asciiRestBits[c] = static_cast<std::uint8_t>(bits - 4);
            } else {
                GenDecodeTable(s.asciiDrop6, 128, c, bits - 6, code >> 6);
                s.asciiRestBits[c] = static_cast<std::uint8_t>(bits - 6);
            }
        } else {
            GenDecodeTable(s.asciiDrop8, 256, c, bits - 8, code >> 8);
            s.asciiRestBits[c] = static_cast<std::uint8_t>(bits - 8);
        }
    }
}

// Drops n (at most 8) bits; false when the input ran out.
bool WasteBits(ExpandState& s, unsigned n)
{
    if (n <= s.extraBits) {
        s.bitBuf >>= n;
        s.extraBits -= n;
        return true;
    }
    s.bitBuf >>= s.extraBits;
    if (s.inPos >= s.inCount) {
        unsigned asked = kInBlock;
        const unsigned got = s.read(reinterpret_cast<char*>(s.in), &asked, s.context);
        if (got == 0)
            return false;
        s.inCount = std::min(got, kInBlock);
        s.inPos = 0;
    }
    s.bitBuf |= static_cast<unsigned>(s.in[s.inPos++]) << 8;
    s.bitBuf >>= n - s.extraBits;
    s.extraBits = s.extraBits + 8 - n;
    return true;
}

unsigned DecodeLiteral(ExpandState& s)
{
    if (s.bitBuf & 1) {
        if (!WasteBits(s, 1))
            return kDecodeError;
        const unsigned index = s.lengthIndex[s.bitBuf & 0xFF];
        const PklibLengthCode& code = kPklibLengthCodes[index];
        if (!WasteBits(s, code.bits))
            return kDecodeError;
        unsigned extra = 0;
        if (code.extraBits) {
            extra = s.bitBuf & ((1u << code.extraBits) - 1);
            // The end mark may be the very last bits of the input.
            if (!WasteBits(s, code.extraBits) && !(index == 15 && extra == 255))
                return kDecodeError;
        }
        return 256 + code.base + extra;
    }
    if (!WasteBits(s, 1))
        return kDecodeError;
    if (s.coding == kPklibBinary) {
        const unsigned byte = s.bitBuf & 0xFF;
        return WasteBits(s, 8) ? byte : kDecodeError;
    }
    unsigned c;
    if (s.bitBuf & 0xFF) {
        c = s.asciiFirst[s.bitBuf & 0xFF];
        if (c == 0xFF) {
            if (s.bitBuf & 0x3F) {
                if (!WasteBits(s, 4))
                    return kDecodeError;
                c = s.asciiDrop4[s.bitBuf & 0xFF];
            } else {
                if (!WasteBits(s, 6))
                    return kDecodeError;
                c = s.asciiDrop6[s.bitBuf & 0x7F];
            }
        }
    } else {
        if (!WasteBits(s, 8))
            return kDecodeError;
        c = s.asciiDrop8[s.bitBuf & 0xFF];
    }
    return WasteBits(s, s.asciiRestBits[c]) ? c : kDecodeError;
}

// Returns the distance, or 0 when the input ran out.
unsigned DecodeDistance(ExpandState& s, unsigned length)
{
    const unsigned index = s.distIndex[s.bitBuf & 0xFF];
    if (!WasteBits(s, kPklibDistanceCodes[index].bits))
        return 0;
    unsigned d;
    if (length == 2) {
        d = (index << 2) | (s.bitBuf & 3);
        if (!WasteBits(s, 2))
            return 0;
    } else {
        d = (index << s.dictCode) | (s.bitBuf & s.distMask);
        if (!WasteBits(s, s.dictCode))
            return 0;
    }
    return d + 1;
}

unsigned ExpandData(ExpandState& s)
{
    s.outPos = 4096;
    unsigned symbol;
    while ((symbol = DecodeLiteral(s)) < kEndMark) {
        if (symbol < 256) {
            s.window[s.outPos++] = static_cast<std::uint8_t>(symbol);
        } else {
            const unsigned length = symbol - 254;
            const unsigned distance = DecodeDistance(s, length);
            if (distance == 0) {
                symbol = kDecodeError;
                break;
            }
            // Distances reach at most 4096 back and outPos never drops below
            // 4096; the copy may overlap what it writes.
            std::uint8_t* dst = s.window + s.outPos;
            const std::uint8_t* src = dst - distance;
            for (unsigned i = 0; i < length; ++i)
                dst[i] = src[i];
            s.outPos += length;
        }
        if (s.outPos >= kExpandFlushAt) {
            if (!WriteAll(s.write, s.context, s.window + 4096, 4096))
                return kPklibWriteFailed;
            std::memmove(s.window, s.window + 4096, s.outPos - 4096);
            s.outPos -= 4096;
        }
    }
    if (s.outPos > 4096 && !WriteAll(s.write, s.context, s.window + 4096, s.outPos - 4096))
        return kPklibWriteFailed;
    return symbol == kEndMark ? kPklibNoError : kPklibAbort;
}

} // namespace

unsigned PklibCompress(PklibReadFn read, PklibWriteFn write, char* workArea, void* context,
                       unsigned* literalCoding, unsigned* dictSize)
{
    unsigned dictCode;
    switch (dictSize ? *dictSize : 0) {
    case 1024:
        dictCode = 4;
        break;
    case 2048:
        dictCode = 5;
        break;
    case 4096:
        dictCode = 6;
        break;
    default:
        return kPklibInvalidDictSize;
    }
    if (!literalCoding || (*literalCoding != kPklibBinary && *literalCoding != kPklibAscii))
        return kPklibInvalidMode;

    CompressState* state = PlaceState<CompressState>(workArea, kPklibCompressWorkSize);
    CompressState& s = *state;
    const SlackGuard guard(std::end(s.window), workArea + kPklibCompressWorkSize);
    s.read = read;
    s.write = write;
    s.context = context;
    s.coding = *literalCoding;
    s.dictSize = *dictSize;
    s.dictCode = dictCode;
    s.distMask = (1u << dictCode) - 1;

    // Literal entries carry the flag bit 0 in front of the byte's code.
    for (unsigned i = 0; i < 256; ++i) {
        if (s.coding == kPklibBinary) {
            s.symbolBits[i] = 9;
            s.symbolValues[i] = static_cast<std::uint16_t>(i * 2);
        } else {
            s.symbolBits[i] = static_cast<std::uint8_t>(kPklibAsciiCodes[i].bits + 1);
            s.symbolValues[i] = static_cast<std::uint16_t>(kPklibAsciiCodes[i].value * 2);
        }
    }
    // Length entries: flag bit 1, the length code, then its extra bits.
    unsigned entry = 256;
    for (const PklibLengthCode& code : kPklibLengthCodes) {
        for (unsigned extra = 0; extra < (1u << code.extraBits); ++extra, ++entry) {
            s.symbolBits[entry] = static_cast<std::uint8_t>(code.bits + code.extraBits + 1);
            s.symbolValues[entry] =
                static_cast<std::uint16_t>((extra << (code.bits + 1)) | (code.value * 2u) | 1u);
        }
    }

    WriteCompressed(s);
    return s.writeFailed ? kPklibWriteFailed : kPklibNoError;
}

unsigned PklibDecompress(PklibReadFn read, PklibWriteFn write, char* workArea, void* context)
{
    ExpandState* state = PlaceState<ExpandState>(workArea, kPklibExpandWorkSize);
    ExpandState& s = *state;
    const SlackGuard guard(std::end(s.window), workArea + kPklibExpandWorkSize);
    s.read = read;
    s.write = write;
    s.context = context;

    // The stream of an empty input is 4 bytes long; anything shorter is no stream.
    s.inCount = 0;
    while (s.inCount < 4) {
        unsigned asked = kInBlock - s.inCount;
        const unsigned got = read(reinterpret_cast<char*>(s.in + s.inCount), &asked, context);
        if (got == 0)
            break;
        s.inCount += std::min(got, kInBlock - s.inCount);
    }
    if (s.inCount < 4)
        return kPklibBadData;

    s.dictCode = s.in[1];
    if (s.dictCode < 4 || s.dictCode > 6)
        return kPklibInvalidDictSize;
    s.distMask = 0xFFFFu >> (16 - s.dictCode);
    s.coding = s.in[0];
    if (s.coding != kPklibBinary && s.coding != kPklibAscii)
        return kPklibInvalidMode;
    s.bitBuf = s.in[2];
    s.extraBits = 0;
    s.inPos = 3;

    // History before the first byte reads as zeros.
    std::memset(s.window, 0, sizeof s.window);
    if (s.coding == kPklibAscii)
        GenAsciiTables(s);
    for (unsigned i = 16; i-- > 0;)
        GenDecodeTable(s.lengthIndex, 256, i, kPklibLengthCodes[i].bits,
                       kPklibLengthCodes[i].value);
    for (unsigned i = 64; i-- > 0;)
        GenDecodeTable(s.distIndex, 256, i, kPklibDistanceCodes[i].bits,
                       kPklibDistanceCodes[i].value);
    return ExpandData(s);
}
