// The compressor as it stood before its search was rebuilt on a three-byte
// index, kept only as the reference for the differential test: the new one
// must write the very same bytes.
#include "reference_implode_helpers.h"

#include "link/codec/pklib_tables.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

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

} // namespace

namespace {
unsigned Compress(PklibReadFn read, PklibWriteFn write, void* context, unsigned* literalCoding,
                  unsigned* dictSize)
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

    auto state = std::make_unique<CompressState>();
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
} // namespace

ImplodeResult ReferenceImplode(std::string_view data, unsigned coding, unsigned dictSize)
{
    MemIo io;
    io.input = data;
    ImplodeResult r;
    r.code = Compress(MemRead, MemWrite, &io, &coding, &dictSize);
    r.stream = std::move(io.output);
    return r;
}
