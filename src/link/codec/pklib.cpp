#include "link/codec/pklib.h"

#include "link/codec/pklib_tables.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include <sanitizer/asan_interface.h>

namespace {

constexpr unsigned kMaxRepetition = 516; // longest repetition the compressor emits
constexpr unsigned kSlotSize = 4096;     // new input per cycle
constexpr unsigned kCompressWindow = 4096 + 4096 + kMaxRepetition;
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
//
// The search returns the longest earlier match within the dictionary (distance
// 1 never used), ties going to the nearest candidate, except that a match of
// the full 516 goes to the farthest one; comparisons stop at the real end of
// the input. Candidates of three bytes and more come from hash chains, walked
// nearest first; a pair only counts within 256 bytes, so pairs have chains of
// their own that reach that far. A position enters the chains once the search
// may offer it.
//
// Runs of one byte and short repeated patterns fill whole chains with
// candidates that match alike. The search and the chains take such
// stretches whole, so that the work per match does not grow with the
// dictionary:
// - A position that continues a run of one byte (the byte before it and the
//   two after it are the same) links to the run's first position, flagged
//   kRunLink, instead of to the position before it. When the searched bytes
//   open with a run of that byte, the run's candidates are judged together
//   from the lengths of the two runs (JudgeRun); otherwise the run is
//   stepped over.
// - When a match longer than any nearer one overlaps the searched bytes
//   (its distance k is at most its length), the bytes before it repeat with
//   period k back to where that breaks. No candidate in that stretch
//   matches longer and those k apart match as long, so a full 516 goes to
//   the farthest of them; the walk goes on below the stretch.
// - The positions of a coded match whose bytes repeat with a short period
//   enter the chains by copying the links one period back (IndexRepeating),
//   and the pair chains take only the positions that a later pair may reach.

constexpr unsigned kHeadCount = 4096;         // chain heads, by a hash of three bytes
constexpr unsigned kRingMask = kSlotSize - 1; // chain links, by window offset
constexpr unsigned kRunLink = 0x8000;         // link flag: the run's first position
constexpr unsigned kOffsetMask = 0x7FFF;
constexpr unsigned kPairReach = 256;      // farthest a pair may lie
constexpr unsigned kPairHeadCount = 2048; // pair chain heads, by a hash of two bytes

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
    unsigned runFloor;    // offsets above this may continue a run indexed before them
    // The last periodic stretch found: w[z] == w[z + period] for z in
    // [periodFrom, periodTo), and not at periodFrom - 1 unless that lies
    // below the search's reach. period 0: none.
    unsigned period;
    unsigned periodFrom;
    unsigned periodTo;
    // The last coded match whose bytes repeat with a short period: w[x] ==
    // w[x - repPeriod] for x in [repFrom, repTo). repPeriod 0: none.
    unsigned repPeriod;
    unsigned repFrom;
    unsigned repTo;
    bool writeFailed;
    std::uint8_t symbolBits[kSymbolCount];
    std::uint16_t symbolValues[kSymbolCount];
    // Offsets in the window, 0 for none: offset 0 is never a candidate.
    std::uint16_t head[kHeadCount];
    std::uint16_t prev[kSlotSize];
    std::uint16_t pairHead[kPairHeadCount];
    std::uint16_t pairPrev[kPairReach];
    std::uint8_t out[kOutBlock + 8];
    // Last, so that the unused rest of the area guards it; the search
    // loads 4 bytes at a time, and so may read 3 past the end.
    std::uint8_t window[kCompressWindow + 3];
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

// Stores the 8 bytes of v at p, lowest first.
inline void StoreLittle64(std::uint8_t* p, std::uint64_t v)
{
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(p, &v, sizeof v);
    } else {
        for (int i = 0; i < 8; ++i)
            p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// The bit writer's state, held in locals while a cycle is coded: a store
// into the block could alias anything in the work area, and would otherwise
// make the compiler load the state again after every code.
struct BitSink {
    std::uint64_t buf; // next bits of the stream, lowest first
    unsigned count;    // bits waiting in buf, fewer than 8 between codes
    unsigned index;    // next byte of the block
};

BitSink TakeBits(const CompressState& s)
{
    return {s.bitBuf, s.bitCount, s.outIndex};
}

void PutBits(CompressState& s, const BitSink& b)
{
    s.bitBuf = b.buf;
    s.bitCount = b.count;
    s.outIndex = b.index;
}

// A code (value, of count bits) has at most 16 bits, so the whole bytes go
// out in one store (into the block's spare bytes) and no branch depends on
// the codes' lengths.
inline void OutputBits(CompressState& s, BitSink& b, unsigned count, unsigned value)
{
    b.buf |= static_cast<std::uint64_t>(value) << b.count;
    b.count += count;
    StoreLittle64(s.out + b.index, b.buf);
    const unsigned bytes = b.count / 8;
    b.index += bytes;
    b.buf >>= 8 * bytes;
    b.count %= 8;
    if (b.index >= kOutBlock) {
        s.outIndex = b.index;
        FlushBlock(s);
        b.index = s.outIndex;
    }
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

// How many of the first `cap` bytes at p are b.
inline unsigned RunLength(const std::uint8_t* p, std::uint8_t b, unsigned cap)
{
    unsigned n = 0;
    if constexpr (kLittleEndian) {
        const std::uint64_t all = 0x0101010101010101ull * b;
        for (; n + 8 <= cap; n += 8) {
            const std::uint64_t x = Load64(p + n) ^ all;
            if (x != 0)
                return n + static_cast<unsigned>(std::countr_zero(x)) / 8;
        }
    }
    while (n < cap && p[n] == b)
        ++n;
    return n;
}

// Chains are found by a hash of the three bytes at a position, pairs by a
// hash of its two; both are taken from a 32-bit load that starts one byte
// before it (any hash will do: only its equality for equal bytes matters).
inline std::uint32_t Load32(const std::uint8_t* p)
{
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline std::uint32_t LoadFromBefore(const std::uint8_t* p)
{
    std::uint32_t v;
    std::memcpy(&v, p - 1, sizeof v);
    return v;
}

inline unsigned Hash3(std::uint32_t fromBefore)
{
    const std::uint32_t three = kLittleEndian ? fromBefore >> 8 : fromBefore & 0xFFFFFF;
    return (three * 0x9E3779B1u) >> 20;
}

inline unsigned Hash2(std::uint32_t fromBefore)
{
    return (((fromBefore >> 8) & 0xFFFF) * 0x9E3779B1u) >> 21;
}

// Enters the offset q, whose bytes from q - 1 on are v, into the chains;
// true when q goes on with a run.
[[gnu::always_inline]] inline bool IndexOne(CompressState& s, unsigned q, std::uint32_t v)
{
    const unsigned h = Hash3(v);
    // A run goes on at q when the byte before it and the two after it are
    // the same: q - 1 is of the same run, and it is the head of this chain.
    if (v == (v & 0xFF) * 0x01010101u && q > s.runFloor) {
        const unsigned before = s.prev[(q - 1) & kRingMask];
        s.prev[q & kRingMask] =
            static_cast<std::uint16_t>(before & kRunLink ? before : (q - 1) | kRunLink);
        s.head[h] = static_cast<std::uint16_t>(q);
        return true;
    }
    s.prev[q & kRingMask] = s.head[h];
    s.head[h] = static_cast<std::uint16_t>(q);
    return false;
}

[[gnu::always_inline]] inline void IndexPair(CompressState& s, unsigned q, std::uint32_t v)
{
    const unsigned h2 = Hash2(v);
    s.pairPrev[q % kPairReach] = s.pairHead[h2];
    s.pairHead[h2] = static_cast<std::uint16_t>(q);
}

// Enters the offsets from q up to end into the chains (pair chains from
// pairsFrom on). The rest of a run goes in at once: each of its offsets
// links to the run's start, and the last becomes the head.
void IndexRange(CompressState& s, unsigned q, unsigned end, unsigned pairsFrom)
{
    for (; q < end; ++q) {
        const std::uint32_t v = LoadFromBefore(s.window + q);
        const bool run = IndexOne(s, q, v);
        if (q >= pairsFrom)
            IndexPair(s, q, v);
        if (run && q + 1 < end) {
            // The offsets after q go on with the run while the byte 3 on is b.
            const unsigned more = RunLength(s.window + q + 3, s.window[q], end - q - 1);
            const std::uint16_t link = s.prev[q & kRingMask];
            for (unsigned i = q + 1; i <= q + more; ++i)
                s.prev[i & kRingMask] = link;
            for (unsigned i = std::max(q + 1, pairsFrom); i <= q + more; ++i)
                IndexPair(s, i, v);
            q += more;
            s.head[Hash3(v)] = static_cast<std::uint16_t>(q);
        }
    }
}

// Enters the offsets from `from` up to end into the chains: all lie within
// the last coded match whose bytes repeat those k before them, at least k
// into it. The links there repeat too, k later (a run's start included,
// when that too lies within the match), and the latest of each chain is
// among the last k offsets. Pair links repeat likewise once the pairs 2k
// before are in. Returns where it stopped: a run that began before the
// match is left to IndexRange.
unsigned IndexRepeating(CompressState& s, unsigned from, unsigned end, unsigned k,
                        unsigned pairsFrom)
{
    bool runs = false; // within one period, and so within all
    for (unsigned x = from - k; x < from; ++x)
        runs |= (s.prev[x & kRingMask] & kRunLink) != 0;
    unsigned q = from;
    if (!runs) {
        for (; q < end; ++q)
            s.prev[q & kRingMask] = static_cast<std::uint16_t>(s.prev[(q - k) & kRingMask] + k);
    } else {
        for (; q < end; ++q) {
            const unsigned before = s.prev[(q - k) & kRingMask];
            if (before & kRunLink) {
                const unsigned start = (before & kOffsetMask) + k;
                if (start <= s.repFrom)
                    break;
                s.prev[q & kRingMask] = static_cast<std::uint16_t>(start | kRunLink);
            } else {
                s.prev[q & kRingMask] = static_cast<std::uint16_t>(before + k);
            }
        }
    }
    const unsigned lastFrom = std::max(from, q - std::min(q, k));
    for (unsigned x = lastFrom; x < q; ++x)
        s.head[Hash3(LoadFromBefore(s.window + x))] = static_cast<std::uint16_t>(x);

    unsigned x = std::max(from, pairsFrom);
    const unsigned copyFrom = k < kPairReach / 2 ? pairsFrom + 2 * k : ~0u;
    for (; x < q && x < copyFrom; ++x)
        IndexPair(s, x, LoadFromBefore(s.window + x));
    if (x < q) {
        for (; x < q; ++x)
            s.pairPrev[x % kPairReach] =
                static_cast<std::uint16_t>(s.pairPrev[(x - k) % kPairReach] + k);
        for (unsigned y = std::max(lastFrom, copyFrom); y < q; ++y)
            s.pairHead[Hash2(LoadFromBefore(s.window + y))] = static_cast<std::uint16_t>(y);
    }
    return q;
}

// Enters the offsets below `to` into the chains: mostly the one offset that
// the last search left out, or those of the match just coded. Pair chains
// take only the offsets that a pair at `to` or later may reach.
[[gnu::always_inline]] inline void IndexUpTo(CompressState& s, unsigned to)
{
    unsigned q = s.indexed;
    if (q >= to)
        return;
    const unsigned pairsFrom = to + 1 - kPairReach; // to is above the dictionary's size
    if (q + 1 < to) {
        const unsigned k = s.repPeriod;
        const unsigned from = s.repFrom + k;
        const unsigned end = std::min(to, s.repTo - 2);
        if (k != 0 && q <= from && from < end) {
            IndexRange(s, q, from, pairsFrom);
            q = IndexRepeating(s, from, end, k, pairsFrom);
        }
        IndexRange(s, q, to, pairsFrom);
    } else {
        const std::uint32_t v = LoadFromBefore(s.window + q);
        IndexOne(s, q, v);
        IndexPair(s, q, v);
    }
    s.indexed = to;
}

// The window moves back by one slot: so do the offsets in the chains. The
// ring of links is as long as a slot, so each link keeps its place.
void ShiftIndex(CompressState& s)
{
    const auto shift = [](std::uint16_t& v) {
        v = static_cast<std::uint16_t>(v >= kSlotSize ? v - kSlotSize : 0);
    };
    std::for_each(std::begin(s.head), std::end(s.head), shift);
    std::for_each(std::begin(s.prev), std::end(s.prev), [](std::uint16_t& v) {
        const unsigned offset = v & kOffsetMask;
        v = static_cast<std::uint16_t>((v & kRunLink) |
                                       (offset >= kSlotSize ? offset - kSlotSize : 0));
    });
    std::for_each(std::begin(s.pairHead), std::end(s.pairHead), shift);
    std::for_each(std::begin(s.pairPrev), std::end(s.pairPrev), shift);
    s.indexed -= kSlotSize;
    s.runFloor = s.runFloor > kSlotSize ? s.runFloor - kSlotSize : 0;
    s.period = 0;
    s.repPeriod = 0;
}

// Nearest pair of the bytes at p (whose bytes from p - 1 on are key), at
// least `lo` and at most p - 2; 0 for none. Links older than the reach of
// pairs may have been overwritten: they are checked against `lo` before they
// are followed.
[[gnu::always_inline]] inline unsigned NearestPair(const CompressState& s, unsigned p,
                                                   std::uint32_t key, unsigned lo)
{
    const std::uint8_t* w = s.window;
    for (unsigned c = s.pairHead[Hash2(key)]; c >= lo; c = s.pairPrev[c % kPairReach])
        if (w[c] == w[p] && w[c + 1] == w[p + 1])
            return c;
    return 0;
}

// A search's standing as the walk goes from the nearest candidate outwards.
struct Search {
    unsigned best;     // longest match so far
    unsigned nearest;  // its nearest candidate; 0 for none
    unsigned farthest; // once best is 516: the farthest candidate with it
};

// Judges the candidates from..c, all within one run of the byte that opens
// the searched bytes at pat: the searched bytes are a run of rp of it, then
// another byte, or (rp == cap) that byte up to cap. A candidate whose run
// is shorter than rp matches its run's length, a longer one matches rp, and
// one whose run is exactly rp long goes on past it.
void JudgeRun(const std::uint8_t* w, const std::uint8_t* pat, unsigned cap, unsigned rp,
              unsigned from, unsigned c, Search& r)
{
    const std::uint8_t b = pat[0];
    unsigned length = 0, nearest = 0, farthest = 0;
    if (rp == cap) {
        const unsigned run = RunLength(w + c, b, cap);
        const unsigned end = c + run; // the run's end, when it ends within cap
        if (run == cap) {
            length = cap, nearest = c, farthest = from;
        } else if (end - from >= cap) {
            length = cap, nearest = end - cap, farthest = from;
        } else {
            length = end - from, nearest = from;
        }
    } else {
        const unsigned run = RunLength(w + c, b, rp + 1);
        const unsigned end = c + run;
        if (run > rp) {
            length = rp, nearest = c;
        } else if (end - from >= rp) {
            nearest = farthest = end - rp;
            length = rp + MatchLength(w + end, pat + rp, cap - rp);
        } else {
            length = end - from, nearest = from;
        }
    }
    if (length > r.best) {
        r.best = length;
        r.nearest = nearest;
    }
    if (length == kMaxRepetition)
        r.farthest = farthest;
}

// The first offset, not below lo, from which the bytes repeat with period k
// up to c (where a match of n overlapping its own bytes shows them to repeat
// up to c + n).
unsigned PeriodicFrom(CompressState& s, unsigned c, unsigned k, unsigned n, unsigned lo)
{
    if (s.period == k && s.periodFrom <= c && c <= s.periodTo) {
        s.periodTo = std::max(s.periodTo, c + n);
        return std::max(s.periodFrom, lo);
    }
    const std::uint8_t* w = s.window;
    unsigned z = c;
    if constexpr (kLittleEndian) {
        for (; z >= lo + 8; z -= 8) {
            const std::uint64_t x = Load64(w + z - 8) ^ Load64(w + z - 8 + k);
            if (x != 0) {
                z -= static_cast<unsigned>(std::countl_zero(x)) / 8;
                break;
            }
        }
    }
    while (z > lo && w[z - 1] == w[z - 1 + k])
        --z;
    s.period = k;
    s.periodFrom = z;
    s.periodTo = c + n;
    return z;
}

// The walk of the chain from its head c for a match at p of at least
// `atLeast` (3 or more) bytes.
[[gnu::noinline]] Match WalkChain(CompressState& s, unsigned p, unsigned atLeast, unsigned cap,
                                  unsigned lo, unsigned c)
{
    const std::uint8_t* w = s.window;
    const std::uint8_t* pat = w + p;
    const bool runOpens = pat[0] == pat[1] && pat[1] == pat[2];
    unsigned rp = 0;         // the length of that run, once needed
    unsigned skipFrom = ~0u; // candidates from here up lie in a periodic stretch done
    Search r{atLeast - 1, 0, 0};
    while (c >= lo) {
        const unsigned link = s.prev[c & kRingMask];
        if (link & kRunLink) {
            const unsigned start = link & kOffsetMask;
            if (runOpens && w[c] == pat[0]) {
                if (rp == 0)
                    rp = RunLength(pat, pat[0], cap);
                JudgeRun(w, pat, cap, rp, std::max(start, lo), c, r);
                if (r.best == cap && cap < kMaxRepetition)
                    break;
            }
            if (start < lo)
                break;
            c = s.prev[start & kRingMask];
            continue;
        }
        if (c >= skipFrom) {
            c = link;
            continue;
        }
        if (r.best < cap) {
            if (w[c + r.best] == pat[r.best]) {
                const unsigned n = MatchLength(w + c, pat, cap);
                if (n > r.best) {
                    r.best = n;
                    r.nearest = r.farthest = c;
                    if (n == cap && cap < kMaxRepetition)
                        break;
                    if (p - c <= n) {
                        // The match overlaps the searched bytes.
                        const unsigned k = p - c;
                        skipFrom = PeriodicFrom(s, c, k, n, lo);
                        r.farthest = c - (c - skipFrom) / k * k;
                        c = s.prev[r.farthest & kRingMask];
                        continue;
                    }
                }
            }
        } else if (w[c + cap - 1] == pat[cap - 1] && MatchLength(w + c, pat, cap) == cap) {
            r.farthest = c;
        }
        c = link;
    }
    if (r.nearest == 0)
        return {};
    return {r.best, p - (r.best == kMaxRepetition ? r.farthest : r.nearest)};
}

// The cycle's limits, held in locals: a store into the output block could
// alias the work area's fields, which would be loaded again every time.
struct Limits {
    unsigned validEnd;  // s.validEnd
    unsigned dictSize;  // s.dictSize
    unsigned cycleFrom; // s.cycleFrom
};

// The search at p for a match of at least `atLeast` (2 or more) bytes. Most
// positions have no candidate whose first three bytes agree: those are
// found here, and only the others walk their chain.
[[gnu::always_inline]] inline Match FindRepetition(CompressState& s, const Limits& l, unsigned p,
                                                   unsigned atLeast)
{
    const unsigned cap = std::min(kMaxRepetition, l.validEnd - p);
    if (cap < atLeast)
        return {};
    // p never lies below the dictionary's size.
    const unsigned lo = std::max(p + 1 - l.dictSize, l.cycleFrom);
    IndexUpTo(s, p - 1);
    const std::uint32_t key = LoadFromBefore(s.window + p);
    if (cap >= 3) {
        // The first two candidates are judged without branches, which
        // random bytes would mispredict: the walk is needed only when one
        // of them agrees or a third is in reach (a run's link, flagged, is
        // above any offset, and so counts as in reach).
        constexpr std::uint32_t kFirstThree = kLittleEndian ? 0x00FFFFFFu : 0xFFFFFF00u;
        const unsigned c0 = s.head[Hash3(key)];
        const unsigned c1 = s.prev[c0 & kRingMask];
        const unsigned c2 = s.prev[c1 & kRingMask];
        const std::uint32_t three = Load32(s.window + p) & kFirstThree;
        // A link out of reach may hold anything (the ring starts unset).
        const auto agrees = [&](unsigned c) {
            const unsigned at = std::min(c & kOffsetMask, kCompressWindow - 1);
            return (Load32(s.window + at) & kFirstThree) == three;
        };
        if ((c0 >= lo) & (agrees(c0) | ((c1 >= lo) & (agrees(c1) | (c2 >= lo))))) {
            const Match m = WalkChain(s, p, std::max(atLeast, 3u), cap, lo, c0);
            if (m.length != 0 || atLeast > 2)
                return m;
        }
    }
    if (atLeast > 2)
        return {};
    const unsigned pair = NearestPair(s, p, key, std::max(lo, p - kPairReach));
    return pair != 0 ? Match{2, p - pair} : Match{};
}

void EmitLiteral(CompressState& s, BitSink& b, unsigned p)
{
    const unsigned byte = s.window[p];
    OutputBits(s, b, s.symbolBits[byte], s.symbolValues[byte]);
}

void EmitRepetition(CompressState& s, BitSink& b, const Match& m)
{
    const unsigned entry = 256 + m.length - 2;
    OutputBits(s, b, s.symbolBits[entry], s.symbolValues[entry]);
    const unsigned d = m.distance - 1;
    if (m.length == 2) {
        const PklibCode& code = kPklibDistanceCodes[d >> 2];
        OutputBits(s, b, code.bits + 2u, code.value | ((d & 3) << code.bits));
    } else {
        const PklibCode& code = kPklibDistanceCodes[d >> s.dictCode];
        OutputBits(s, b, code.bits + s.dictCode, code.value | ((d & s.distMask) << code.bits));
    }
}

// Codes the positions from p up to end with one step of lazy matching: a
// match shorter than 8 yields to one at p + 1 that is two bytes longer, or
// one byte longer when the first lies more than 129 back.
void CodeCycle(CompressState& s, unsigned& p, unsigned end)
{
    BitSink b = TakeBits(s);
    const Limits l{s.validEnd, s.dictSize, s.cycleFrom};
    Match m;
    bool carried = false;
    while (p < end && !s.writeFailed) {
        if (!carried)
            m = FindRepetition(s, l, p, 2);
        carried = false;
        if (m.length == 0) {
            EmitLiteral(s, b, p++);
            continue;
        }
        if (m.length < 8 && p + 1 < end) {
            const Match next =
                FindRepetition(s, l, p + 1, m.length + (m.distance - 1 > 128 ? 1 : 2));
            if (next.length != 0) {
                EmitLiteral(s, b, p++);
                m = next;
                carried = true;
                continue;
            }
        }
        EmitRepetition(s, b, m);
        // The chains take the bytes of a match that repeat with a short
        // period at once: those of a match that overlaps itself, or of one
        // within the periodic stretch that its search found.
        if (m.distance <= m.length) {
            s.repPeriod = m.distance;
            s.repFrom = p;
            s.repTo = p + m.length;
        } else if (s.period != 0 && s.periodFrom + s.period <= p &&
                   p + m.length <= s.periodTo + s.period) {
            s.repPeriod = s.period;
            s.repFrom = p;
            s.repTo = p + m.length;
        }
        p += m.length;
    }
    PutBits(s, b);
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
    s.runFloor = slotStart;
    s.period = 0;
    s.repPeriod = 0;
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
        if (atEnd || s.writeFailed)
            break;
        std::memmove(s.window, s.window + kSlotSize, s.dictSize + kMaxRepetition);
        ShiftIndex(s);
        p -= kSlotSize;
    }
    if (s.writeFailed)
        return;
    BitSink b = TakeBits(s);
    OutputBits(s, b, s.symbolBits[kEndMark], s.symbolValues[kEndMark]);
    PutBits(s, b);
    if (s.bitCount > 0)
        s.out[s.outIndex++] = static_cast<std::uint8_t>(s.bitBuf);
    if (s.outIndex > 0 && !s.writeFailed && !WriteAll(s.write, s.context, s.out, s.outIndex))
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
    // Bits of the stream, lowest first: bitCount of them (at least 8 between
    // symbols) are loaded; above them may lie the next bytes of the block.
    std::uint64_t bitBuf;
    unsigned bitCount;
    unsigned inPos;
    unsigned inCount;
    bool writeFailed;
    std::uint8_t in[kInBlock];
    const struct DecodeTables* tables;
    // Last, so that the unused rest of the area guards it; copies may run 7
    // bytes past their end.
    std::uint8_t window[kExpandWindow + 8];
};

static_assert(sizeof(ExpandState) + alignof(ExpandState) - 1 <= kPklibExpandWorkSize);

void GenDecodeTable(std::uint8_t* table, unsigned size, unsigned index, unsigned bits,
                    unsigned value)
{
    for (unsigned slot = value; slot < size; slot += 1u << bits)
        table[slot] = static_cast<std::uint8_t>(index);
}

constexpr unsigned kAsciiSlots = 1u << 13; // the longest ASCII literal code has 13 bits

// The decode tables, by the next 8 bits of the stream. They are the same for
// every stream, so they are made once and shared; the work area holds only a
// stream's state.
struct DecodeTables {
    std::uint8_t lengthIndex[256];
    std::uint8_t distIndex[256];
    // The same with what the fast decoder needs, in one load each.
    std::uint32_t length[256]; // code bits | extra bits << 8 | base << 16
    std::uint16_t dist[256];   // index | code bits << 8
    // The ASCII coding's literals.
    std::uint16_t first[256]; // code of up to 8 bits: byte | bits << 8; 0xFF: longer code
    std::uint8_t drop4[256];  // after 4 dropped bits
    std::uint8_t drop6[128];  // after 6 dropped bits
    std::uint8_t drop8[256];  // after 8 dropped bits
    std::uint8_t rest[256];   // bits left to drop after the lookup
    // The fast decoder's ASCII literals, in one lookup of as many bits as
    // the longest code has (text is mostly literals, and the four tables
    // above branch on the code's length): byte | bits with the flag << 8.
    std::uint16_t ascii[kAsciiSlots];
};

const DecodeTables& Tables()
{
    static const DecodeTables tables = [] {
        DecodeTables t{};
        for (unsigned i = 16; i-- > 0;)
            GenDecodeTable(t.lengthIndex, 256, i, kPklibLengthCodes[i].bits,
                           kPklibLengthCodes[i].value);
        for (unsigned i = 64; i-- > 0;)
            GenDecodeTable(t.distIndex, 256, i, kPklibDistanceCodes[i].bits,
                           kPklibDistanceCodes[i].value);
        for (unsigned i = 0; i < 256; ++i) {
            const PklibLengthCode& code = kPklibLengthCodes[t.lengthIndex[i]];
            t.length[i] = code.bits | code.extraBits << 8 | static_cast<unsigned>(code.base) << 16;
            t.dist[i] = static_cast<std::uint16_t>(t.distIndex[i] |
                                                   kPklibDistanceCodes[t.distIndex[i]].bits << 8);
        }
        std::uint8_t first[256] = {};
        for (unsigned c = 256; c-- > 0;) {
            const unsigned bits = kPklibAsciiCodes[c].bits;
            const unsigned code = kPklibAsciiCodes[c].value;
            if (bits <= 8) {
                GenDecodeTable(first, 256, c, bits, code);
                t.rest[c] = static_cast<std::uint8_t>(bits);
            } else if ((code & 0xFF) != 0) {
                first[code & 0xFF] = 0xFF;
                if ((code & 0x3F) != 0) {
                    GenDecodeTable(t.drop4, 256, c, bits - 4, code >> 4);
                    t.rest[c] = static_cast<std::uint8_t>(bits - 4);
                } else {
                    GenDecodeTable(t.drop6, 128, c, bits - 6, code >> 6);
                    t.rest[c] = static_cast<std::uint8_t>(bits - 6);
                }
            } else {
                GenDecodeTable(t.drop8, 256, c, bits - 8, code >> 8);
                t.rest[c] = static_cast<std::uint8_t>(bits - 8);
            }
        }
        for (unsigned i = 0; i < 256; ++i)
            t.first[i] = static_cast<std::uint16_t>(
                first[i] == 0xFF ? 0xFF : first[i] | t.rest[first[i]] << 8);
        for (unsigned c = 0; c < 256; ++c) {
            const unsigned bits = kPklibAsciiCodes[c].bits;
            for (unsigned slot = kPklibAsciiCodes[c].value; slot < kAsciiSlots; slot += 1u << bits)
                t.ascii[slot] = static_cast<std::uint16_t>(c | (bits + 1) << 8);
        }
        return t;
    }();
    return tables;
}

// Loads bytes of the block until `need` bits are there, reading the next
// block only when this one is used up; false when the input ran out.
[[gnu::noinline]] bool LoadBits(ExpandState& s, unsigned need)
{
    for (;;) {
        while (s.bitCount <= 56 && s.inPos < s.inCount) {
            s.bitBuf |= static_cast<std::uint64_t>(s.in[s.inPos++]) << s.bitCount;
            s.bitCount += 8;
        }
        if (s.bitCount >= need)
            return true;
        unsigned asked = kInBlock;
        const unsigned got = s.read(reinterpret_cast<char*>(s.in), &asked, s.context);
        if (got == 0)
            return false;
        s.inCount = std::min(got, kInBlock);
        s.inPos = 0;
    }
}

// Drops n (at most 8) bits and keeps 8 more in view; false when the input ran
// out.
inline bool WasteBits(ExpandState& s, unsigned n)
{
    if (s.bitCount < n + 8 && !LoadBits(s, n + 8))
        return false;
    s.bitBuf >>= n;
    s.bitCount -= n;
    return true;
}

unsigned DecodeLiteral(ExpandState& s)
{
    if (s.bitBuf & 1) {
        if (!WasteBits(s, 1))
            return kDecodeError;
        const unsigned index = s.tables->lengthIndex[s.bitBuf & 0xFF];
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
    const DecodeTables& t = *s.tables;
    unsigned c;
    if (s.bitBuf & 0xFF) {
        c = t.first[s.bitBuf & 0xFF] & 0xFF;
        if (c == 0xFF) {
            if (s.bitBuf & 0x3F) {
                if (!WasteBits(s, 4))
                    return kDecodeError;
                c = t.drop4[s.bitBuf & 0xFF];
            } else {
                if (!WasteBits(s, 6))
                    return kDecodeError;
                c = t.drop6[s.bitBuf & 0x7F];
            }
        }
    } else {
        if (!WasteBits(s, 8))
            return kDecodeError;
        c = t.drop8[s.bitBuf & 0xFF];
    }
    return WasteBits(s, t.rest[c]) ? c : kDecodeError;
}

// Returns the distance, or 0 when the input ran out.
unsigned DecodeDistance(ExpandState& s, unsigned length)
{
    const unsigned index = s.tables->distIndex[s.bitBuf & 0xFF];
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

// The longest symbol with its distance takes 30 bits; with 8 more in view
// none of its steps can run out of input.
constexpr unsigned kFastBits = 38;

// What the fast decoder reads, copied out of the work area: stores of bytes
// into the window may alias anything in it, so the compiler would otherwise
// load these again after every byte.
struct FastDecode {
    unsigned coding;
    unsigned dictCode;
    const DecodeTables* tables;
};

// DecodeLiteral and DecodeDistance in one, straight from the bit buffer,
// when at least kFastBits bits are there. Sets distance for a repetition.
inline unsigned DecodeFast(const FastDecode& f, std::uint64_t& bits, unsigned& count,
                           unsigned& distance)
{
    const std::uint64_t b = bits;
    unsigned used = 1;
    unsigned symbol;
    if (b & 1) {
        const std::uint32_t code = f.tables->length[(b >> 1) & 0xFF];
        const unsigned extraBits = (code >> 8) & 0xFF;
        used += code & 0xFF;
        symbol = 256 + (code >> 16) + (static_cast<unsigned>(b >> used) & ((1u << extraBits) - 1));
        used += extraBits;
        if (symbol < kEndMark) {
            const unsigned entry = f.tables->dist[(b >> used) & 0xFF];
            const unsigned dist = entry & 0xFF;
            used += entry >> 8;
            const unsigned lowBits = symbol == 256 ? 2 : f.dictCode;
            distance =
                ((dist << lowBits) | (static_cast<unsigned>(b >> used) & ((1u << lowBits) - 1))) +
                1;
            used += lowBits;
        }
    } else if (f.coding == kPklibBinary) {
        symbol = (b >> 1) & 0xFF;
        used += 8;
    } else {
        const unsigned entry = f.tables->ascii[(b >> 1) & (kAsciiSlots - 1)];
        symbol = entry & 0xFF;
        used = entry >> 8;
    }
    bits = b >> used;
    count -= used;
    return symbol;
}

unsigned ExpandData(ExpandState& s)
{
    const FastDecode f{s.coding, s.dictCode, s.tables};
    std::uint8_t* const window = s.window;
    // The bit buffer and the positions stay in locals (see FastDecode) and go
    // back to the work area around the calls that use it there.
    std::uint64_t bits = s.bitBuf;
    unsigned count = s.bitCount;
    unsigned inPos = s.inPos;
    unsigned inCount = s.inCount;
    unsigned out = 4096;
    const auto save = [&] {
        s.bitBuf = bits;
        s.bitCount = count;
        s.inPos = inPos;
    };
    unsigned symbol;
    for (;;) {
        if constexpr (kLittleEndian) {
            // As many whole bytes of the block as fit, in one 64-bit read.
            if (count <= 56 && inPos + 8 <= inCount) {
                bits |= Load64(s.in + inPos) << count;
                const unsigned bytes = (63 - count) / 8;
                inPos += bytes;
                count += bytes * 8;
            }
        }
        unsigned distance = 0;
        if (count >= kFastBits) {
            symbol = DecodeFast(f, bits, count, distance);
        } else {
            save();
            symbol = DecodeLiteral(s);
            if (symbol > 255 && symbol < kEndMark &&
                (distance = DecodeDistance(s, symbol - 254)) == 0)
                symbol = kDecodeError;
            bits = s.bitBuf;
            count = s.bitCount;
            inPos = s.inPos;
            inCount = s.inCount;
        }
        if (symbol >= kEndMark)
            break;
        if (symbol < 256) {
            window[out++] = static_cast<std::uint8_t>(symbol);
            // Text is mostly literals: those that follow go straight on while
            // the bits for one are there.
            if (f.coding == kPklibAscii) {
                while (out < kExpandFlushAt) {
                    if (count <= 13) {
                        if (!kLittleEndian || inPos + 8 > inCount)
                            break;
                        bits |= Load64(s.in + inPos) << count;
                        const unsigned bytes = (63 - count) / 8;
                        inPos += bytes;
                        count += bytes * 8;
                    }
                    if (bits & 1)
                        break;
                    const unsigned entry = f.tables->ascii[(bits >> 1) & (kAsciiSlots - 1)];
                    window[out++] = static_cast<std::uint8_t>(entry);
                    const unsigned used = entry >> 8;
                    bits >>= used;
                    count -= used;
                }
            }
        } else {
            const unsigned length = symbol - 254;
            // Distances reach at most 4096 back and out never drops below
            // 4096; the copy may overlap what it writes.
            std::uint8_t* dst = window + out;
            const std::uint8_t* src = dst - distance;
            if (distance >= 8) {
                for (unsigned i = 0; i < length; i += 8)
                    std::memcpy(dst + i, src + i, 8);
            } else {
                for (unsigned i = 0; i < length; ++i)
                    dst[i] = src[i];
            }
            out += length;
        }
        if (out >= kExpandFlushAt) {
            if (!WriteAll(s.write, s.context, window + 4096, 4096))
                return kPklibWriteFailed;
            std::memmove(window, window + 4096, out - 4096);
            out -= 4096;
        }
    }
    if (out > 4096 && !WriteAll(s.write, s.context, window + 4096, out - 4096))
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
    s.bitCount = 8;
    s.inPos = 3;

    // History before the first byte reads as zeros.
    std::memset(s.window, 0, sizeof s.window);
    s.tables = &Tables();
    return ExpandData(s);
}
