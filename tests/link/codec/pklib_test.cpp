#include "codec_corpus.h"
#include "codec_helpers.h"
#include "link/codec/pklib.h"
#include "link/codec/pklib_file.h"
#include "link/codec/pklib_tables.h"
#include "pklib_before.h"
#include "support/test_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>

#include <unistd.h>

namespace {

std::string Bytes(std::initializer_list<unsigned> values)
{
    std::string s;
    for (unsigned v : values)
        s.push_back(static_cast<char>(v));
    return s;
}

struct CodecCase {
    unsigned coding;
    unsigned dictSize;
};

const CodecCase kAllCases[] = {
    {kPklibBinary, 1024}, {kPklibBinary, 2048}, {kPklibBinary, 4096},
    {kPklibAscii, 1024},  {kPklibAscii, 2048},  {kPklibAscii, 4096},
};

unsigned DictCode(unsigned dictSize)
{
    return dictSize == 1024 ? 4 : dictSize == 2048 ? 5 : 6;
}

// Round trip through both the codec's expander and the bit-by-bit reader, and
// check that the compressor keeps the format's limits.
void CheckRoundTrip(const std::string& data, const CodecCase& c, const std::string& what)
{
    SCOPED_TRACE(what + " coding " + std::to_string(c.coding) + " dict " +
                 std::to_string(c.dictSize));
    const ImplodeResult packed = Implode(data, c.coding, c.dictSize);
    ASSERT_EQ(packed.code, kPklibNoError);
    ASSERT_GE(packed.stream.size(), 4u);
    EXPECT_EQ(static_cast<unsigned>(packed.stream[0]), c.coding);
    EXPECT_EQ(static_cast<unsigned>(packed.stream[1]), DictCode(c.dictSize));

    const ExplodeResult unpacked = Explode(packed.stream);
    EXPECT_EQ(unpacked.code, kPklibNoError);
    EXPECT_TRUE(unpacked.output == data) << "expanded size " << unpacked.output.size();

    const ParsedStream parsed = ParseStream(packed.stream);
    ASSERT_TRUE(parsed.complete);
    EXPECT_TRUE(Replay(parsed.tokens) == data);
    for (const Token& t : parsed.tokens) {
        if (t.literal)
            continue;
        ASSERT_GE(t.length, 2u);
        ASSERT_LE(t.length, 516u);
        ASSERT_GE(t.distance, 2u) << "distance 1 is never used";
        ASSERT_LT(t.distance, c.dictSize);
        if (t.length == 2) {
            ASSERT_LE(t.distance, 256u);
        }
    }
}

TEST(PklibTables, AsciiTableHasTheKnownRowsAndIsACompletePrefixCode)
{
    const std::map<unsigned, PklibCode> telling = {
        {0x20, {4, 0x000F}},  {0x61, {5, 0x0007}},  {0x65, {5, 0x001B}},  {0x41, {6, 0x0031}},
        {0x0A, {7, 0x0062}},  {0x0D, {7, 0x0022}},  {0x30, {7, 0x005C}},  {0x09, {8, 0x00B8}},
        {0x00, {11, 0x0490}}, {0x7F, {12, 0x03A0}}, {0x80, {13, 0x0240}}, {0xFF, {13, 0x0000}},
    };
    for (const auto& [byte, code] : telling) {
        EXPECT_EQ(kPklibAsciiCodes[byte].bits, code.bits) << byte;
        EXPECT_EQ(kPklibAsciiCodes[byte].value, code.value) << byte;
    }

    // Complete: the code lengths fill the code space exactly (Kraft sum 1);
    // prefix-free: no code is the low end of another.
    std::uint64_t kraft = 0;
    for (const PklibCode& c : kPklibAsciiCodes) {
        ASSERT_GE(c.bits, 4);
        ASSERT_LE(c.bits, 13);
        ASSERT_LT(c.value, 1u << c.bits);
        kraft += std::uint64_t{1} << (13 - c.bits);
    }
    EXPECT_EQ(kraft, std::uint64_t{1} << 13);
    for (unsigned a = 0; a < 256; ++a)
        for (unsigned b = 0; b < 256; ++b) {
            if (a == b || kPklibAsciiCodes[a].bits > kPklibAsciiCodes[b].bits)
                continue;
            const unsigned mask = (1u << kPklibAsciiCodes[a].bits) - 1;
            ASSERT_NE(kPklibAsciiCodes[a].value, kPklibAsciiCodes[b].value & mask)
                << a << " is a prefix of " << b;
        }
}

TEST(PklibTables, AsciiTableMatchesTheSharedDataFile)
{
    const char* dataDir = std::getenv("SKIPMAIL_DATA_DIR");
    const std::string path =
        std::string(dataDir ? dataDir : CODEC_TEST_DATA_DIR) + "/implode-ascii-table.txt";
    std::ifstream file(path);
    if (!file)
        SKIP_WITHOUT_TOOL("no " + path);
    std::string line;
    unsigned rows = 0;
    while (std::getline(file, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        unsigned byte = 0, bits = 0, value = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%x %u %x", &byte, &bits, &value), 3) << line;
        ASSERT_LT(byte, 256u);
        EXPECT_EQ(kPklibAsciiCodes[byte].bits, bits) << line;
        EXPECT_EQ(kPklibAsciiCodes[byte].value, value) << line;
        ++rows;
    }
    EXPECT_EQ(rows, 256u);
}

TEST(PklibTables, LengthAndDistanceCodesAreCompletePrefixCodes)
{
    std::uint64_t kraft = 0;
    unsigned next = 0;
    for (const PklibLengthCode& c : kPklibLengthCodes) {
        kraft += std::uint64_t{1} << (8 - c.bits);
        EXPECT_EQ(c.base, next);
        next = c.base + (1u << c.extraBits);
    }
    EXPECT_EQ(kraft, 256u);
    EXPECT_EQ(next - 1 + 2, 519u) << "lengths run from 2 to 519";

    kraft = 0;
    for (const PklibCode& c : kPklibDistanceCodes)
        kraft += std::uint64_t{1} << (8 - c.bits);
    EXPECT_EQ(kraft, 256u);
    EXPECT_EQ(kPklibDistanceCodes[0].bits, 2);
    EXPECT_EQ(kPklibDistanceCodes[0].value, 0x03);
    EXPECT_EQ(kPklibDistanceCodes[63].bits, 8);
    EXPECT_EQ(kPklibDistanceCodes[63].value, 0x00);

    // Every row against the format's published rows, copied separately.
    const unsigned lengthRows[16][4] = {
        {3, 0x05, 0, 0},  {2, 0x03, 0, 1},  {3, 0x01, 0, 2},   {3, 0x06, 0, 3},
        {4, 0x0A, 0, 4},  {4, 0x02, 0, 5},  {4, 0x0C, 0, 6},   {5, 0x14, 0, 7},
        {5, 0x04, 1, 8},  {5, 0x18, 2, 10}, {5, 0x08, 3, 14},  {6, 0x30, 4, 22},
        {6, 0x10, 5, 38}, {6, 0x20, 6, 70}, {7, 0x40, 7, 134}, {7, 0x00, 8, 262}};
    for (unsigned i = 0; i < 16; ++i) {
        EXPECT_EQ(kPklibLengthCodes[i].bits, lengthRows[i][0]) << i;
        EXPECT_EQ(kPklibLengthCodes[i].value, lengthRows[i][1]) << i;
        EXPECT_EQ(kPklibLengthCodes[i].extraBits, lengthRows[i][2]) << i;
        EXPECT_EQ(kPklibLengthCodes[i].base, lengthRows[i][3]) << i;
    }
    const char* distanceValues =
        "03 0D 05 19 09 11 01 3E 1E 2E 0E 36 16 26 06 3A 1A 2A 0A 32 12 22 42 02 7C 3C 5C 1C 6C "
        "2C 4C 0C 74 34 54 14 64 24 44 04 78 38 58 18 68 28 48 08 F0 70 B0 30 D0 50 90 10 E0 60 "
        "A0 20 C0 40 80 00";
    for (unsigned i = 0; i < 64; ++i) {
        const unsigned bits = i == 0 ? 2 : i <= 2 ? 4 : i <= 6 ? 5 : i <= 21 ? 6 : i <= 47 ? 7 : 8;
        EXPECT_EQ(kPklibDistanceCodes[i].bits, bits) << i;
        EXPECT_EQ(kPklibDistanceCodes[i].value,
                  std::stoul(std::string(distanceValues + 3 * i, 2), nullptr, 16))
            << i;
    }
}

TEST(PklibVectors, EmptyInputIsTheFourByteStreamAndExpands)
{
    EXPECT_EQ(Implode("", kPklibAscii, 4096).stream, Bytes({0x01, 0x06, 0x01, 0xFF}));
    EXPECT_EQ(Implode("", kPklibBinary, 1024).stream, Bytes({0x00, 0x04, 0x01, 0xFF}));
    for (const CodecCase& c : kAllCases)
        CheckRoundTrip("", c, "empty");

    const ExplodeResult r = Explode(Bytes({0x01, 0x06, 0x01, 0xFF}));
    EXPECT_EQ(r.code, kPklibNoError);
    EXPECT_EQ(r.output, "");
}

// The compressor's choice of tokens, by brute force from the format's rules,
// for input that fits one cycle (under 4096 bytes, so every earlier byte is
// a candidate): the longest earlier match within the dictionary (distance 1
// never used, comparisons stopping at the end of input), ties going to the
// nearest candidate and only a match of 516 ending the search early; then
// the lazy rule and the length-2 distance limit.
struct ModelMatch {
    unsigned length = 0;
    unsigned distance = 0;
};

ModelMatch ModelSearch(std::string_view in, unsigned p, unsigned dictSize)
{
    const unsigned cap = std::min<unsigned>(516, static_cast<unsigned>(in.size()) - p);
    if (cap < 2)
        return {};
    ModelMatch best{1, 0};
    const unsigned first = p + 1 > dictSize ? p + 1 - dictSize : 0;
    for (unsigned c = first; c + 2 <= p; ++c) {
        unsigned n = 0;
        while (n < cap && in[c + n] == in[p + n])
            ++n;
        if (n >= 2 && n >= best.length) {
            best = {n, p - c};
            if (n == 516)
                break;
        }
    }
    return best.length >= 2 ? best : ModelMatch{};
}

std::vector<Token> ModelTokens(std::string_view in, unsigned dictSize)
{
    std::vector<Token> out;
    const unsigned end = static_cast<unsigned>(in.size());
    auto tooFar = [](const ModelMatch& m) { return m.length == 2 && m.distance > 256; };
    unsigned p = 0;
    ModelMatch m;
    bool carried = false;
    while (p < end) {
        if (!carried)
            m = ModelSearch(in, p, dictSize);
        carried = false;
        if (m.length == 0 || tooFar(m)) {
            out.push_back(Lit(static_cast<std::uint8_t>(in[p++])));
            continue;
        }
        if (m.length < 8 && p + 1 < end) {
            const ModelMatch next = ModelSearch(in, p + 1, dictSize);
            if (next.length > m.length + 1 ||
                (next.length == m.length + 1 && m.distance - 1 > 128)) {
                out.push_back(Lit(static_cast<std::uint8_t>(in[p++])));
                m = next;
                carried = true;
                continue;
            }
        }
        out.push_back(Rep(m.length, m.distance));
        p += m.length;
    }
    return out;
}

void ExpectModelTokens(const std::string& data, const std::string& what)
{
    for (unsigned dict : {1024u, 2048u, 4096u}) {
        SCOPED_TRACE(what + ", dictionary " + std::to_string(dict));
        const ParsedStream p = ParseStream(Implode(data, kPklibBinary, dict).stream);
        ASSERT_TRUE(p.complete);
        const std::vector<Token> want = ModelTokens(data, dict);
        ASSERT_EQ(p.tokens.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i)
            ASSERT_EQ(p.tokens[i], want[i]) << "token " << i;
    }
}

// A run of one byte that ends the input: every candidate reaches the end,
// and the nearest one wins (distance 2), not the first found.
TEST(PklibSearch, AtTheEndOfInputTiesGoToTheNearestCandidate)
{
    for (unsigned dict : {1024u, 2048u, 4096u}) {
        const ParsedStream p =
            ParseStream(Implode(std::string(600, 'a'), kPklibAscii, dict).stream);
        ASSERT_TRUE(p.complete);
        EXPECT_EQ(p.tokens, (std::vector<Token>{Lit('a'), Lit('a'), Rep(516, 2), Rep(82, 2)}))
            << "dictionary " << dict;
    }
    // Equal repeats, the input ending inside the last: the nearest copy.
    const ParsedStream p = ParseStream(Implode("wxyz1wxyz2wxyz3wxy", kPklibAscii, 4096).stream);
    ASSERT_TRUE(p.complete);
    EXPECT_EQ(p.tokens.back(), Rep(3, 5));
}

// Crafted cases of each rule, and varied data ending at every distance from
// a cycle's start, against the model.
TEST(PklibSearch, TokensFollowTheSearchAndLazyRules)
{
    std::string filler;
    for (unsigned b = 0x20; filler.size() < 300; ++b)
        filler.push_back(static_cast<char>(b & 0xFF));
    // Lazy rule: a match one longer at p + 1 wins only when the first lies
    // more than 129 back; two longer always wins.
    ExpectModelTokens("abcde" + filler.substr(0, 100) + "Xbcdef" + filler.substr(100, 60) +
                          "abcdef",
                      "one longer, near");
    ExpectModelTokens("abcde" + filler.substr(0, 200) + "Xbcdef" + filler.substr(200, 60) +
                          "abcdef",
                      "one longer, far");
    ExpectModelTokens("abcd" + filler.substr(0, 50) + "Xbcdefg" + filler.substr(50, 50) + "abcdefg",
                      "two longer");
    // Length 2: the nearest pair, and none beyond 256.
    ExpectModelTokens("AB" + filler.substr(0, 250) + "AB" + filler.substr(0, 5) + "AB", "pairs");
    // Repeats farther than the smaller dictionaries reach.
    const std::string block = RandomBytes(700, 11);
    ExpectModelTokens(block + MailText(900, 3) + block + block.substr(0, 300), "far repeats");
    for (std::uint32_t seed = 1; seed <= 6; ++seed) {
        std::string small;
        std::uint32_t x = seed;
        for (unsigned i = 0; i < 1500 + seed * 300; ++i) {
            x = x * 1103515245u + 12345u;
            small.push_back("abcd"[(x >> 16) & 3]);
        }
        ExpectModelTokens(small, "four letters, seed " + std::to_string(seed));
        ExpectModelTokens(MailText(2000 + seed * 300, seed), "mail text");
    }
    ExpectModelTokens(std::string(1500, 'q') + "r" + std::string(700, 'q'), "runs");
}

// Inputs of several cycles, where the index, the window moves and the last
// cycle's end come in: the streams are pinned, so that a faster search must
// choose the very same tokens.
std::uint64_t Fnv1a(std::string_view data)
{
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : data)
        h = (h ^ c) * 1099511628211ull;
    return h;
}

std::string PinnedInput(int which)
{
    switch (which) {
    case 0:
        return MailText(20000, 9);
    case 1: {
        const std::string block = RandomBytes(3000, 4);
        return block + MailText(2500, 2) + block + block.substr(100, 1800);
    }
    case 2:
        return std::string(9000, 'z') + "end" + std::string(4093, 'z');
    default: {
        std::string s;
        std::uint32_t x = 5;
        for (unsigned i = 0; i < 12289; ++i) {
            x = x * 1103515245u + 12345u;
            s.push_back("abcd"[(x >> 16) & 3]);
        }
        return s;
    }
    }
}

TEST(PklibSearch, MultiCycleStreamsArePinned)
{
    struct Pin {
        int input;
        unsigned dictSize;
        std::size_t size;
        std::uint64_t hash;
    };
    const Pin pins[] = {
        {0, 1024, 5232, 0xDBE2C94C037F79D0ull},  {0, 2048, 5010, 0x6085C594248E217Cull},
        {0, 4096, 4803, 0xE6F0F7C46E1CC935ull},  {1, 1024, 12043, 0x3DB9462FCD733318ull},
        {1, 2048, 12033, 0x4A17E5A3C39C6C17ull}, {1, 4096, 9444, 0x9CD460701045CE76ull},
        {2, 1024, 98, 0x23DB089C869C0585ull},    {2, 2048, 101, 0x4174D82C7A57AC33ull},
        {2, 4096, 104, 0x33E37EB94DD5C696ull},   {3, 1024, 4560, 0x619019C29D84D949ull},
        {3, 2048, 4538, 0xB0AC08C679F6F277ull},  {3, 4096, 4502, 0x1FBA2FAE41B5F743ull},
    };
    for (const Pin& pin : pins) {
        const std::string data = PinnedInput(pin.input);
        const ImplodeResult r = Implode(data, kPklibAscii, pin.dictSize);
        ASSERT_EQ(r.code, kPklibNoError);
        EXPECT_EQ(r.stream.size(), pin.size) << "input " << pin.input << ", " << pin.dictSize;
        EXPECT_EQ(Fnv1a(r.stream), pin.hash) << "input " << pin.input << ", " << pin.dictSize;
        EXPECT_TRUE(Explode(r.stream).output == data);
    }
}

// Inputs that stress the search: mixtures of text, noise, runs, short
// periods, small alphabets (long candidate lists, many ties) and copies of
// earlier stretches from near and far, at lengths around the cycle borders.
std::string SearchStressInput(std::uint32_t seed)
{
    std::mt19937 rng(seed);
    const std::size_t borders[] = {0, 2, 515, 516, 517, 3580, 4095, 4096, 4097, 7676, 8192};
    std::size_t size =
        rng() % 3 == 0 ? 4096 * (1 + rng() % 4) + borders[rng() % 11] - 516 : rng() % 26000;
    std::string s;
    while (s.size() < size) {
        const std::size_t n = 1 + rng() % 1500;
        switch (rng() % 7) {
        case 0:
            s += MailText(n, rng());
            break;
        case 1:
            s += RandomBytes(n % 300, rng());
            break;
        case 2:
            s += std::string(n, static_cast<char>(rng()));
            break;
        case 3:
        case 4:
            if (!s.empty()) {
                const std::size_t back = 1 + rng() % std::min<std::size_t>(s.size(), 5000);
                const std::size_t len = 2 + rng() % 700;
                for (std::size_t i = 0; i < len; ++i)
                    s.push_back(s[s.size() - back]);
            }
            break;
        case 5: {
            const unsigned period = 1 + rng() % 9;
            for (std::size_t i = 0; i < n; ++i)
                s.push_back(static_cast<char>('a' + i % period));
            break;
        }
        default:
            for (std::size_t i = 0; i < n; ++i)
                s.push_back("ab\x00\xFF"[rng() % (2 + seed % 3)]);
        }
    }
    s.resize(size);
    return s;
}

// One hash per setting over the streams of 200 such inputs and the pinned
// ones above: checked against the compressor before its search was rebuilt,
// so that any other search must choose the very same tokens.
TEST(PklibSearch, StreamsOfStressInputsArePinned)
{
    std::vector<std::string> inputs;
    for (std::uint32_t seed = 1; seed <= 200; ++seed)
        inputs.push_back(SearchStressInput(seed));
    for (int i = 0; i < 4; ++i)
        inputs.push_back(PinnedInput(i));
    struct Pin {
        unsigned coding;
        unsigned dictSize;
        std::uint64_t hash;
    };
    const Pin pins[] = {
        {kPklibBinary, 1024, 0x171848A731D70CD1ull}, {kPklibBinary, 2048, 0x07B892C6119C5984ull},
        {kPklibBinary, 4096, 0x1F3BE5B180272453ull}, {kPklibAscii, 1024, 0x90AF92B0898582B4ull},
        {kPklibAscii, 2048, 0x7F7311C4F5807257ull},  {kPklibAscii, 4096, 0x4423F23E9FC0C4D2ull},
    };
    for (const Pin& pin : pins) {
        std::uint64_t h = 14695981039346656037ull;
        for (const std::string& in : inputs) {
            const ImplodeResult r = Implode(in, pin.coding, pin.dictSize);
            ASSERT_EQ(r.code, kPklibNoError);
            h = (h ^ Fnv1a(r.stream)) * 1099511628211ull;
        }
        EXPECT_EQ(h, pin.hash) << "coding " << pin.coding << ", dictionary " << pin.dictSize;
    }
}

// Stretches that repeat with one period, 2 to 600 bytes, some of them broken
// by a changed byte, and runs of two byte values of every length: where the
// search and the chains take runs and periodic stretches at once.
std::string PeriodicInput(std::uint32_t seed)
{
    std::mt19937 rng(seed);
    const std::size_t size = 3000 + rng() % 30000;
    std::string s;
    while (s.size() < size) {
        if (rng() % 3 == 0) {
            const char bytes[2] = {static_cast<char>(rng()), static_cast<char>(rng() % 3)};
            for (std::size_t n = rng() % 400; n > 0; --n)
                s.append(1 + rng() % (rng() % 2 ? 40 : 600), bytes[rng() % 2]);
            continue;
        }
        const std::size_t period = 2 + (rng() % 4 == 0 ? rng() % 600 : rng() % 12);
        // Units of two byte values hold runs of their own.
        std::string unit = RandomBytes(period, rng());
        if (rng() % 2)
            for (char& c : unit)
                c = (c & 1) ? 'b' : 'a';
        const std::size_t length = rng() % 5000;
        for (std::size_t i = 0; i < length; ++i)
            s.push_back(unit[i % period]);
        if (!s.empty() && rng() % 2)
            s[s.size() - 1 - rng() % std::min<std::size_t>(s.size(), 700)] ^= 1;
    }
    return s;
}

// The search was rebuilt to take runs and periodic stretches at once; its
// streams must be those of the search before, byte for byte, at every
// setting: over the benchmark's corpora (runs, patterns, bitmaps, random
// bytes; the first 40000 bytes of each item), the stress inputs above and
// periodic inputs.
TEST(PklibSearch, StreamsEqualThoseOfTheSearchBefore)
{
    std::vector<std::string> inputs;
    for (const CodecCorpus::Kind& kind : CodecCorpus::All())
        for (const std::string& item : kind.items)
            inputs.push_back(item.substr(0, 40000));
    for (std::uint32_t seed = 1; seed <= 40; ++seed) {
        inputs.push_back(SearchStressInput(1000 + seed));
        inputs.push_back(PeriodicInput(seed));
    }
    for (const CodecCase& c : kAllCases)
        for (std::size_t i = 0; i < inputs.size(); ++i) {
            const ImplodeResult now = Implode(inputs[i], c.coding, c.dictSize);
            const ImplodeResult before =
                Implode(inputs[i], c.coding, c.dictSize, 0, PklibCompressBefore);
            ASSERT_EQ(now.code, kPklibNoError);
            ASSERT_EQ(before.code, kPklibNoError);
            ASSERT_TRUE(now.stream == before.stream)
                << "input " << i << ", coding " << c.coding << ", dictionary " << c.dictSize;
        }
}

TEST(PklibVectors, EqualBytesUseDistanceTwoNeverOne)
{
    const ImplodeResult r = Implode("aaaaaaaa", kPklibAscii, 4096);
    ASSERT_EQ(r.code, kPklibNoError);
    EXPECT_EQ(r.stream, BuildStream(kPklibAscii, 6, {Lit('a'), Lit('a'), Rep(6, 2)}));
    // The same, packed by hand from the format's rows: 'a' is flag 0 then
    // (5, 0x07); length 6 is flag 1 then (4, 0x0A); distance 2 is (2, 0x03)
    // then 000001; the end mark is flag 1, (7, 0x00) and eight 1 bits.
    EXPECT_EQ(r.stream, Bytes({0x01, 0x06, 0x8E, 0x53, 0x0F, 0x02, 0xFE, 0x01}));
    const ExplodeResult back = Explode(r.stream);
    EXPECT_EQ(back.code, kPklibNoError);
    EXPECT_EQ(back.output, "aaaaaaaa");
}

TEST(PklibVectors, LengthTwoMatchReachesBackAtMost256Bytes)
{
    // Filler of distinct bytes holds no repeated pair.
    std::string filler;
    for (unsigned b = 0; filler.size() < 254; ++b)
        if (b != 'A' && b != 'B')
            filler.push_back(static_cast<char>(b));

    const std::string near = "AB" + filler + "AB"; // distance 256
    ParsedStream p = ParseStream(Implode(near, kPklibBinary, 1024).stream);
    ASSERT_TRUE(p.complete);
    EXPECT_EQ(p.tokens.back(), Rep(2, 256));

    const std::string far = "AB" + filler + "@AB"; // distance 257
    p = ParseStream(Implode(far, kPklibBinary, 1024).stream);
    ASSERT_TRUE(p.complete);
    ASSERT_EQ(p.tokens.size(), far.size());
    EXPECT_EQ(p.tokens.back(), Lit('B'));
}

TEST(PklibVectors, LongestRepetitionIs516AndTheExpanderTakes518)
{
    const std::string run(2000, 'x');
    const ParsedStream p = ParseStream(Implode(run, kPklibAscii, 4096).stream);
    ASSERT_TRUE(p.complete);
    EXPECT_EQ(p.tokens[2], Rep(516, 2));
    EXPECT_EQ(Replay(p.tokens), run);

    const std::string stream = BuildStream(kPklibBinary, 6, {Lit('x'), Lit('y'), Rep(518, 2)});
    const ExplodeResult r = Explode(stream);
    EXPECT_EQ(r.code, kPklibNoError);
    std::string expected;
    for (int i = 0; i < 520; ++i)
        expected.push_back(i % 2 ? 'y' : 'x');
    EXPECT_EQ(r.output, expected);
}

TEST(PklibVectors, ExpanderTakesA518CopyStartingAtTheLastWindowByte)
{
    // 4095 literals bring the output to the last position before a flush.
    std::vector<Token> tokens;
    std::string expected;
    for (unsigned i = 0; i < 4095; ++i) {
        tokens.push_back(Lit(static_cast<std::uint8_t>(i * 7)));
        expected.push_back(static_cast<char>(i * 7));
    }
    tokens.push_back(Rep(518, 4095));
    for (unsigned i = 0; i < 518; ++i)
        expected.push_back(expected[expected.size() - 4095]);
    tokens.push_back(Lit('z'));
    expected.push_back('z');
    const ExplodeResult r = Explode(BuildStream(kPklibBinary, 6, tokens));
    EXPECT_EQ(r.code, kPklibNoError);
    EXPECT_TRUE(r.output == expected);
}

TEST(PklibVectors, Dictionary4096NeverUsesDistance4096)
{
    const std::string block = RandomBytes(4096, 7);
    const std::string data = block + block.substr(0, 600);
    const ParsedStream p = ParseStream(Implode(data, kPklibBinary, 4096).stream);
    ASSERT_TRUE(p.complete);
    for (const Token& t : p.tokens)
        if (!t.literal) {
            EXPECT_LE(t.distance, 4095u);
        }
    EXPECT_EQ(Replay(p.tokens), data);
}

TEST(PklibVectors, ExactlyOneSlotTakesASecondCycleThatReadsNothing)
{
    const std::string half = MailText(2048, 3);
    const std::string data = half + half;
    std::vector<char> work(kPklibCompressWorkSize);
    MemIo io;
    io.input = data;
    io.readChunk = 1000;
    unsigned coding = kPklibAscii, dict = 4096;
    ASSERT_EQ(PklibCompress(MemRead, MemWrite, work.data(), &io, &coding, &dict), kPklibNoError);
    EXPECT_EQ(io.readAsks, (std::vector<unsigned>{4096, 3096, 2096, 1096, 96, 4096}));
    const ParsedStream p = ParseStream(io.output);
    ASSERT_TRUE(p.complete);
    EXPECT_EQ(Replay(p.tokens), data);
    // The second half is one repetition of the first, broken only at 516 bytes.
    EXPECT_LT(p.tokens.size(), 2048u + 6u);

    // The same bytes in one read give the same stream.
    EXPECT_EQ(Implode(data, kPklibAscii, 4096).stream, io.output);
}

TEST(PklibVectors, CallbacksSeeTheBlockSizes)
{
    const std::string data = RandomBytes(20000, 11);
    std::vector<char> work(kPklibCompressWorkSize);
    MemIo io;
    io.input = data;
    unsigned coding = kPklibBinary, dict = 2048;
    ASSERT_EQ(PklibCompress(MemRead, MemWrite, work.data(), &io, &coding, &dict), kPklibNoError);
    ASSERT_GE(io.writeSizes.size(), 2u);
    for (std::size_t i = 0; i + 1 < io.writeSizes.size(); ++i)
        EXPECT_EQ(io.writeSizes[i], 2048u);
    // Whole slots of 4096, then the rest of the last slot, then the end.
    EXPECT_EQ(io.readAsks, (std::vector<unsigned>{4096, 4096, 4096, 4096, 4096, 480}));

    std::vector<char> expandWork(kPklibExpandWorkSize);
    MemIo back;
    back.input = io.output;
    ASSERT_EQ(PklibDecompress(MemRead, MemWrite, expandWork.data(), &back), kPklibNoError);
    EXPECT_TRUE(back.output == data);
    for (std::size_t i = 0; i + 1 < back.writeSizes.size(); ++i)
        EXPECT_EQ(back.writeSizes[i], 4096u);
    EXPECT_EQ(back.writeSizes.back(), 20000u % 4096);
    for (unsigned ask : back.readAsks)
        EXPECT_EQ(ask, 2048u);
}

TEST(PklibRoundTrip, SizesAroundTheCycleBoundaries)
{
    for (std::size_t n : {1u, 2u, 3u, 4095u, 4096u, 4097u, 8192u, 12289u}) {
        const std::string text = MailText(n, static_cast<std::uint32_t>(n));
        const std::string random = RandomBytes(n, static_cast<std::uint32_t>(n));
        for (const CodecCase& c : kAllCases) {
            CheckRoundTrip(text, c, "text " + std::to_string(n));
            CheckRoundTrip(random, c, "random " + std::to_string(n));
        }
    }
}

TEST(PklibRoundTrip, AllByteValuesRunsAndMixedData)
{
    std::string all;
    for (int rep = 0; rep < 3; ++rep)
        for (int b = 0; b < 256; ++b)
            all.push_back(static_cast<char>(b));
    std::string runs;
    for (int b = 0; b < 40; ++b)
        runs += std::string(static_cast<std::size_t>(37 * b + 1), static_cast<char>(b * 13));
    runs += std::string(30000, '\0') + std::string(9000, '\xFF');
    std::string periodic;
    for (int i = 0; i < 30000; ++i)
        periodic.push_back(static_cast<char>("abcab"[i % 5] + (i % 3001 == 0)));
    const std::string mixed = MailText(9000, 5) + RandomBytes(5000, 6) + MailText(9000, 5);
    for (const CodecCase& c : kAllCases) {
        CheckRoundTrip(all, c, "all bytes");
        CheckRoundTrip(runs, c, "runs");
        CheckRoundTrip(periodic, c, "periodic");
        CheckRoundTrip(mixed, c, "mixed");
    }
}

TEST(PklibRoundTrip, FilesOnThisMachine)
{
    std::vector<std::string> files;
    for (const char* path :
         {"/usr/share/common-licenses/GPL-3", "/usr/share/common-licenses/Apache-2.0",
          "/etc/services", "/bin/true", "/bin/ls"})
        if (std::filesystem::exists(path))
            files.push_back(path);
    const char* source = std::getenv("SKIPMAIL_SOURCE_DIR");
    files.push_back(std::string(source ? source : CODEC_TEST_SOURCE_DIR) +
                    "/src/link/codec/pklib.cpp");
    ASSERT_FALSE(files.empty());
    for (const std::string& path : files) {
        std::string data = ReadFileBytes(path);
        if (data.size() > 200000)
            data.resize(200000);
        for (const CodecCase& c : kAllCases)
            CheckRoundTrip(data, c, path);
    }
}

TEST(PklibRoundTrip, ShortReadsGiveTheSameStream)
{
    const std::string data = MailText(15000, 9);
    const std::string whole = Implode(data, kPklibAscii, 4096).stream;
    for (std::size_t chunk : {1u, 7u, 2047u}) {
        std::vector<char> work(kPklibCompressWorkSize);
        MemIo io;
        io.input = data;
        io.readChunk = chunk;
        unsigned coding = kPklibAscii, dict = 4096;
        ASSERT_EQ(PklibCompress(MemRead, MemWrite, work.data(), &io, &coding, &dict), 0u);
        EXPECT_EQ(io.output, whole) << chunk;

        std::vector<char> expandWork(kPklibExpandWorkSize);
        MemIo back;
        back.input = whole;
        back.readChunk = chunk;
        ASSERT_EQ(PklibDecompress(MemRead, MemWrite, expandWork.data(), &back), 0u) << chunk;
        EXPECT_TRUE(back.output == data) << chunk;
    }
}

TEST(PklibRoundTrip, OutputDoesNotDependOnWhatTheWorkAreaHeld)
{
    for (std::size_t n : {1u, 2u, 3u, 517u, 4097u, 12289u}) {
        const std::string data = MailText(n, 21) + std::string(n % 7, 'e');
        for (const CodecCase& c : kAllCases) {
            const std::string zero = Implode(data, c.coding, c.dictSize, 0x00).stream;
            EXPECT_EQ(Implode(data, c.coding, c.dictSize, 0xFF).stream, zero) << n;
            EXPECT_EQ(Implode(data, c.coding, c.dictSize, 0x65).stream, zero) << n;
        }
    }
    // A foreign stream that reaches back before the first byte reads zeros.
    const std::string stream = BuildStream(kPklibBinary, 6, {Lit('q'), Rep(10, 4000)});
    const ExplodeResult a = Explode(stream, 0x00);
    const ExplodeResult b = Explode(stream, 0xAB);
    EXPECT_EQ(a.code, kPklibNoError);
    EXPECT_EQ(a.output, "q" + std::string(10, '\0'));
    EXPECT_EQ(b.output, a.output);
}

TEST(PklibRoundTrip, UnalignedWorkAreasOfExactSize)
{
    const std::string data = MailText(10000, 2);
    std::vector<char> work(kPklibCompressWorkSize + 1);
    MemIo io;
    io.input = data;
    unsigned coding = kPklibAscii, dict = 4096;
    ASSERT_EQ(PklibCompress(MemRead, MemWrite, work.data() + 1, &io, &coding, &dict), 0u);

    std::vector<char> expandWork(kPklibExpandWorkSize + 3);
    MemIo back;
    back.input = io.output;
    ASSERT_EQ(PklibDecompress(MemRead, MemWrite, expandWork.data() + 3, &back), 0u);
    EXPECT_TRUE(back.output == data);
}

TEST(PklibResultCodes, CompressRejectsBadArgumentsWithoutTouchingCallbacks)
{
    std::vector<char> work(kPklibCompressWorkSize);
    MemIo io;
    io.input = "data";
    unsigned coding = kPklibAscii;
    for (unsigned dict : {0u, 512u, 1000u, 4095u, 8192u}) {
        EXPECT_EQ(PklibCompress(MemRead, MemWrite, work.data(), &io, &coding, &dict),
                  kPklibInvalidDictSize);
    }
    unsigned badCoding = 2;
    unsigned badDict = 3000;
    EXPECT_EQ(PklibCompress(MemRead, MemWrite, work.data(), &io, &badCoding, &badDict),
              kPklibInvalidDictSize)
        << "dictionary size is tested first";
    unsigned dict = 2048;
    EXPECT_EQ(PklibCompress(MemRead, MemWrite, work.data(), &io, &badCoding, &dict),
              kPklibInvalidMode);
    EXPECT_TRUE(io.readAsks.empty());
    EXPECT_TRUE(io.writeSizes.empty());
}

TEST(PklibResultCodes, ExpandHeaderChecks)
{
    EXPECT_EQ(Explode("").code, kPklibBadData);
    EXPECT_EQ(Explode(Bytes({0x01})).code, kPklibBadData);
    EXPECT_EQ(Explode(Bytes({0x01, 0x06, 0x01})).code, kPklibBadData);
    EXPECT_EQ(Explode(Bytes({0x01, 0x07, 0x01, 0xFF, 0x00})).code, kPklibInvalidDictSize);
    EXPECT_EQ(Explode(Bytes({0x01, 0x03, 0x01, 0xFF, 0x00})).code, kPklibInvalidDictSize);
    EXPECT_EQ(Explode(Bytes({0x02, 0x07, 0x01, 0xFF, 0x00})).code, kPklibInvalidDictSize)
        << "byte 1 is tested before byte 0";
    EXPECT_EQ(Explode(Bytes({0x02, 0x06, 0x01, 0xFF, 0x00})).code, kPklibInvalidMode);
    EXPECT_EQ(Explode(Bytes({0x00, 0x05, 0x01, 0xFF})).code, kPklibNoError);
    // Four bytes that are not a whole stream.
    EXPECT_EQ(Explode(Bytes({0x00, 0x05, 0x00, 0x00})).code, kPklibAbort);
}

TEST(PklibResultCodes, CutStreamGivesAbortAndTheBytesSoFar)
{
    const std::string data = MailText(30000, 4);
    const std::string stream = Implode(data, kPklibAscii, 4096).stream;
    for (std::size_t cut :
         {std::size_t{5}, std::size_t{100}, stream.size() / 2, stream.size() - 2}) {
        const ExplodeResult r = Explode(stream.substr(0, cut));
        EXPECT_EQ(r.code, kPklibAbort) << cut;
        EXPECT_LT(r.output.size(), data.size());
        EXPECT_TRUE(data.compare(0, r.output.size(), r.output) == 0) << cut;
    }
    const ExplodeResult late = Explode(stream.substr(0, stream.size() / 2));
    EXPECT_GT(late.output.size(), 8192u) << "full pieces and the rest are written";

    // Trailing bytes after the end mark are left alone.
    const ExplodeResult extra = Explode(stream + "trailing");
    EXPECT_EQ(extra.code, kPklibNoError);
    EXPECT_TRUE(extra.output == data);
}

TEST(PklibResultCodes, FailingWriteIsReported)
{
    const std::string data = MailText(20000, 8);
    for (std::size_t limit : {0u, 1u, 2048u, 3000u}) {
        std::vector<char> work(kPklibCompressWorkSize);
        MemIo io;
        io.input = data;
        io.writeLimit = limit;
        unsigned coding = kPklibAscii, dict = 4096;
        EXPECT_EQ(PklibCompress(MemRead, MemWrite, work.data(), &io, &coding, &dict),
                  kPklibWriteFailed)
            << limit;
    }
    const std::string stream = Implode(data, kPklibAscii, 4096).stream;
    for (std::size_t limit : {0u, 4095u, 4096u, 19999u}) {
        std::vector<char> work(kPklibExpandWorkSize);
        MemIo io;
        io.input = stream;
        io.writeLimit = limit;
        EXPECT_EQ(PklibDecompress(MemRead, MemWrite, work.data(), &io), kPklibWriteFailed) << limit;
    }
}

class PklibFiles : public testing::Test {
protected:
    void SetUp() override
    {
        dir_ =
            std::filesystem::temp_directory_path() / ("pklib_files_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string PathOf(const char* name) const { return (dir_ / name).string(); }
    void Write(const char* name, const std::string& bytes) const
    {
        std::ofstream(PathOf(name), std::ios::binary) << bytes;
    }
    std::filesystem::path dir_;
};

// An empty item crosses the link as the four-byte stream and arrives as an
// empty file, not as a failed expansion.
TEST_F(PklibFiles, AnEmptyFileGoesThroughAndComesOutEmpty)
{
    Write("in", "");
    ASSERT_EQ(PklibCompressFile(PathOf("in"), PathOf("packed")), kPklibNoError);
    EXPECT_EQ(ReadFileBytes(PathOf("packed")), Bytes({0x01, 0x06, 0x01, 0xFF}));
    Write("out", "earlier");
    ASSERT_EQ(PklibDecompressFile(PathOf("packed"), PathOf("out")), kPklibNoError);
    ASSERT_TRUE(std::filesystem::exists(PathOf("out")));
    EXPECT_EQ(ReadFileBytes(PathOf("out")), "");
}

TEST_F(PklibFiles, FileToFileRoundTripAndErrors)
{
    const std::string data = MailText(50000, 12) + RandomBytes(3000, 1);
    Write("in", data);
    ASSERT_EQ(PklibCompressFile(PathOf("in"), PathOf("packed")), kPklibNoError);
    EXPECT_EQ(ReadFileBytes(PathOf("packed")), Implode(data, kPklibAscii, 4096).stream);
    ASSERT_EQ(PklibDecompressFile(PathOf("packed"), PathOf("out")), kPklibNoError);
    EXPECT_TRUE(ReadFileBytes(PathOf("out")) == data);

    EXPECT_EQ(PklibCompressFile(PathOf("missing"), PathOf("x")), kPklibFileError);
    EXPECT_EQ(PklibDecompressFile(PathOf("packed"), PathOf("no/such/dir/out")), kPklibFileError);
    // A directory opens for reading but cannot be read.
    EXPECT_EQ(PklibCompressFile(dir_.string(), PathOf("y")), kPklibFileError);
    if (std::filesystem::exists("/dev/full")) {
        const unsigned r = PklibDecompressFile(PathOf("packed"), "/dev/full");
        EXPECT_TRUE(r == kPklibWriteFailed || r == kPklibFileError) << r;
    }

    Write("short", ReadFileBytes(PathOf("packed")).substr(0, 100));
    EXPECT_EQ(PklibDecompressFile(PathOf("short"), PathOf("out2")), kPklibAbort);
    // A failed run leaves no half file, spoils no file already there and
    // leaves no temporary behind.
    EXPECT_FALSE(std::filesystem::exists(PathOf("out2")));
    Write("kept", "earlier");
    EXPECT_EQ(PklibDecompressFile(PathOf("short"), PathOf("kept")), kPklibAbort);
    EXPECT_EQ(ReadFileBytes(PathOf("kept")), "earlier");
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
        EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();
}

} // namespace
