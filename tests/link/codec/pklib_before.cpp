// The compressor as it was before its search was rebuilt, kept as the oracle
// that the product's streams must equal byte for byte (and as the "before"
// of the codec benchmark).
#include "pklib_before.h"

#include "link/codec/pklib_tables.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr unsigned kMaxRepetition = 516; // longest repetition the compressor emits
constexpr unsigned kSlotSize = 4096;     // new input per cycle
constexpr unsigned kCompressWindow = 4096 + 4096 + kMaxRepetition;
constexpr unsigned kOutBlock = 2048;
constexpr unsigned kEndMark = 773;
constexpr unsigned kSymbolCount = 774;

template <class State> State* PlaceState(char* workArea, std::size_t size)
{
    void* p = workArea;
    std::size_t space = size;
    if (!std::align(alignof(State), sizeof(State), p, space))
        return nullptr;
    return ::new (p) State;
}

// ---------------------------------------------------------------- compressor
//
// The search returns the longest earlier match within the dictionary (distance
// 1 never used), ties going to the nearest candidate, except that a match of
// the full 516 goes to the farthest one; comparisons stop at the real end of
// the input. Candidates of three bytes and more come from hash chains, walked
// nearest first; a pair only counts within 256 bytes, so pairs have chains of
// their own that reach that far. A position enters the chains once the search
// may offer it.

constexpr unsigned kHeadCount = 4096;         // chain heads, by a hash of three bytes
constexpr unsigned kRingMask = kSlotSize - 1; // chain links, by window offset
constexpr unsigned kPairReach = 256;          // farthest a pair may lie
constexpr unsigned kPairHeadCount = 2048;     // pair chain heads, by a hash of two bytes

struct CompressState {
    PklibReadFn read;
    PklibWriteFn write;
    void* context;
    unsigned dictCode;
    unsigned distMask;
    unsigned coding;
    unsigned dictSize;
    unsigned outIndex;
    unsigned bitCount;    // bits waiting in bitBuf
    std::uint64_t bitBuf; // next bits of the stream, lowest first
    unsigned validEnd;    // window offset after the last byte of real input
    unsigned cycleFrom;   // oldest offset this cycle's searches may offer
    unsigned indexed;     // offsets below this are in the chains
    bool writeFailed;
    std::uint8_t symbolBits[kSymbolCount];
    std::uint16_t symbolValues[kSymbolCount];
    // Offsets in the window, 0 for none: offset 0 is never a candidate.
    std::uint16_t head[kHeadCount];
    std::uint16_t prev[kSlotSize];
    std::uint16_t pairHead[kPairHeadCount];
    std::uint16_t pairPrev[kPairReach];
    std::uint8_t out[kOutBlock + 8];
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

// Writes one full block and keeps what follows it.
void FlushBlock(CompressState& s)
{
    if (!s.writeFailed && !WriteAll(s.write, s.context, s.out, kOutBlock))
        s.writeFailed = true;
    s.outIndex -= kOutBlock;
    std::memmove(s.out, s.out + kOutBlock, s.outIndex);
}

inline void OutputBits(CompressState& s, unsigned count, unsigned value)
{
    s.bitBuf |= static_cast<std::uint64_t>(value & ((1u << count) - 1)) << s.bitCount;
    s.bitCount += count;
    if (s.bitCount < 32)
        return;
    std::uint8_t* o = s.out + s.outIndex;
    o[0] = static_cast<std::uint8_t>(s.bitBuf);
    o[1] = static_cast<std::uint8_t>(s.bitBuf >> 8);
    o[2] = static_cast<std::uint8_t>(s.bitBuf >> 16);
    o[3] = static_cast<std::uint8_t>(s.bitBuf >> 24);
    s.outIndex += 4;
    s.bitBuf >>= 32;
    s.bitCount -= 32;
    if (s.outIndex >= kOutBlock)
        FlushBlock(s);
}

// Moves the whole bytes out of the bit buffer and writes a full block, so
// that blocks leave before the next read, as soon as they are complete.
void FlushWholeBytes(CompressState& s)
{
    while (s.bitCount >= 8) {
        s.out[s.outIndex++] = static_cast<std::uint8_t>(s.bitBuf);
        s.bitBuf >>= 8;
        s.bitCount -= 8;
    }
    if (s.outIndex >= kOutBlock)
        FlushBlock(s);
}

std::uint64_t Load64(const std::uint8_t* p)
{
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

// How many of the first `cap` bytes at a and b agree.
inline unsigned MatchLength(const std::uint8_t* a, const std::uint8_t* b, unsigned cap)
{
    unsigned n = 0;
    if constexpr (kLittleEndian) {
        for (; n + 8 <= cap; n += 8) {
            const std::uint64_t x = Load64(a + n) ^ Load64(b + n);
            if (x != 0)
                return n + static_cast<unsigned>(std::countr_zero(x)) / 8;
        }
    }
    while (n < cap && a[n] == b[n])
        ++n;
    return n;
}

inline unsigned Hash3(const std::uint8_t* p)
{
    const std::uint32_t v = (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
    return (v * 0x9E3779B1u) >> 20;
}

inline unsigned Hash2(const std::uint8_t* p)
{
    const std::uint32_t v = (std::uint32_t{p[0]} << 8) | p[1];
    return (v * 0x9E3779B1u) >> 21;
}

// Enters the offsets below `to` into the chains.
inline void IndexUpTo(CompressState& s, unsigned to)
{
    for (unsigned q = s.indexed; q < to; ++q) {
        const unsigned h = Hash3(s.window + q);
        s.prev[q & kRingMask] = s.head[h];
        s.head[h] = static_cast<std::uint16_t>(q);
        const unsigned h2 = Hash2(s.window + q);
        s.pairPrev[q % kPairReach] = s.pairHead[h2];
        s.pairHead[h2] = static_cast<std::uint16_t>(q);
    }
    s.indexed = std::max(s.indexed, to);
}

// The window moves back by one slot: so do the offsets in the chains. The
// ring of links is as long as a slot, so each link keeps its place.
void ShiftIndex(CompressState& s)
{
    const auto shift = [](std::uint16_t& v) {
        v = static_cast<std::uint16_t>(v >= kSlotSize ? v - kSlotSize : 0);
    };
    std::for_each(std::begin(s.head), std::end(s.head), shift);
    std::for_each(std::begin(s.prev), std::end(s.prev), shift);
    std::for_each(std::begin(s.pairHead), std::end(s.pairHead), shift);
    std::for_each(std::begin(s.pairPrev), std::end(s.pairPrev), shift);
    s.indexed -= kSlotSize;
}

// Nearest pair of the bytes at p, at least `lo` and at most p - 2; 0 for none.
// Links older than the reach of pairs may have been overwritten: they are
// checked against `lo` before they are followed.
unsigned NearestPair(const CompressState& s, unsigned p, unsigned lo)
{
    const std::uint8_t* w = s.window;
    for (unsigned c = s.pairHead[Hash2(w + p)]; c >= lo; c = s.pairPrev[c % kPairReach])
        if (w[c] == w[p] && w[c + 1] == w[p + 1])
            return c;
    return 0;
}

// The search at p for a match of at least `atLeast` (2 or more) bytes.
Match FindRepetition(CompressState& s, unsigned p, unsigned atLeast)
{
    const unsigned cap = std::min(kMaxRepetition, s.validEnd - p);
    if (cap < atLeast)
        return {};
    const std::uint8_t* w = s.window;
    const std::uint8_t* pat = w + p;
    const unsigned lo = std::max(p + 1 > s.dictSize ? p + 1 - s.dictSize : 0, s.cycleFrom);
    IndexUpTo(s, p - 1);

    unsigned best = std::max(atLeast, 3u) - 1;
    unsigned bestPos = 0;
    if (cap >= 3) {
        unsigned c = s.head[Hash3(pat)];
        for (; c >= lo; c = s.prev[c & kRingMask]) {
            if (w[c + best] != pat[best])
                continue;
            const unsigned n = MatchLength(w + c, pat, cap);
            if (n > best) {
                best = n;
                bestPos = c;
                if (n == cap)
                    break;
            }
        }
        // A full 516 goes to the farthest candidate that has it.
        if (best == kMaxRepetition)
            for (c = s.prev[c & kRingMask]; c >= lo; c = s.prev[c & kRingMask])
                if (w[c + best - 1] == pat[best - 1] && MatchLength(w + c, pat, best) == best)
                    bestPos = c;
    }
    if (bestPos != 0)
        return {best, p - bestPos};
    if (atLeast > 2)
        return {};
    const unsigned pair = NearestPair(s, p, std::max(lo, p - kPairReach));
    return pair != 0 ? Match{2, p - pair} : Match{};
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
        OutputBits(s, code.bits + 2u, code.value | ((d & 3) << code.bits));
    } else {
        const PklibCode& code = kPklibDistanceCodes[d >> s.dictCode];
        OutputBits(s, code.bits + s.dictCode, code.value | ((d & s.distMask) << code.bits));
    }
}

// Codes the positions from p up to end with one step of lazy matching: a
// match shorter than 8 yields to one at p + 1 that is two bytes longer, or
// one byte longer when the first lies more than 129 back.
void CodeCycle(CompressState& s, unsigned& p, unsigned end)
{
    Match m;
    bool carried = false;
    while (p < end && !s.writeFailed) {
        if (!carried)
            m = FindRepetition(s, p, 2);
        carried = false;
        if (m.length == 0) {
            EmitLiteral(s, p++);
            continue;
        }
        if (m.length < 8 && p + 1 < end) {
            const Match next = FindRepetition(s, p + 1, m.length + (m.distance - 1 > 128 ? 1 : 2));
            if (next.length != 0) {
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
    std::memset(s.head, 0, sizeof s.head);
    std::memset(s.pairHead, 0, sizeof s.pairHead);
    s.out[0] = static_cast<std::uint8_t>(s.coding);
    s.out[1] = static_cast<std::uint8_t>(s.dictCode);
    s.outIndex = 2;
    s.bitBuf = 0;
    s.bitCount = 0;
    s.writeFailed = false;

    // Window: dictionary, 516 held-back bytes of look-ahead, then the new slot.
    const unsigned slotStart = s.dictSize + kMaxRepetition;
    unsigned p = slotStart;
    s.indexed = slotStart;
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
        // The second cycle of the largest dictionary offers nothing below
        // the offset 3580 before its first position.
        if (cycle == 0)
            s.cycleFrom = slotStart;
        else if (cycle == 1 && s.dictSize == 4096)
            s.cycleFrom = p - 3580;
        else
            s.cycleFrom = 0;
        CodeCycle(s, p, end);
        FlushWholeBytes(s);
        if (atEnd || s.writeFailed)
            break;
        std::memmove(s.window, s.window + kSlotSize, s.dictSize + kMaxRepetition);
        ShiftIndex(s);
        p -= kSlotSize;
    }
    if (s.writeFailed)
        return;
    OutputBits(s, s.symbolBits[kEndMark], s.symbolValues[kEndMark]);
    FlushWholeBytes(s);
    if (s.bitCount > 0)
        s.out[s.outIndex++] = static_cast<std::uint8_t>(s.bitBuf);
    if (s.outIndex > 0 && !s.writeFailed && !WriteAll(s.write, s.context, s.out, s.outIndex))
        s.writeFailed = true;
}

} // namespace

unsigned PklibCompressBefore(PklibReadFn read, PklibWriteFn write, char* workArea, void* context,
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
