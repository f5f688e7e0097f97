// Hostile input for the expander (and odd input for the compressor): every
// outcome is a result code, and nothing is touched outside the work area.
#include "codec_helpers.h"
#include "link/codec/pklib.h"

#include <gtest/gtest.h>

#include <random>

namespace {

constexpr std::size_t kGuard = 64;
constexpr char kGuardByte = '\x5A';

// A work area with guard bytes on both sides, at an odd offset.
class GuardedArea {
public:
    explicit GuardedArea(std::size_t size) : size_(size), bytes_(size + 2 * kGuard + 1, kGuardByte)
    {
    }
    char* data() { return bytes_.data() + kGuard + 1; }
    bool GuardsIntact() const
    {
        for (std::size_t i = 0; i < kGuard + 1; ++i)
            if (bytes_[i] != kGuardByte)
                return false;
        for (std::size_t i = kGuard + 1 + size_; i < bytes_.size(); ++i)
            if (bytes_[i] != kGuardByte)
                return false;
        return true;
    }

private:
    std::size_t size_;
    std::vector<char> bytes_;
};

unsigned GuardedExplode(const std::string& stream, std::string* output = nullptr)
{
    GuardedArea work(kPklibExpandWorkSize);
    MemIo io;
    io.input = stream;
    const unsigned code = PklibDecompress(MemRead, MemWrite, work.data(), &io);
    EXPECT_TRUE(work.GuardsIntact());
    // Each input bit yields at most 518 bytes.
    EXPECT_LE(io.output.size(), stream.size() * 8 * 518 + 518);
    if (output)
        *output = std::move(io.output);
    return code;
}

std::vector<std::string> SeedStreams()
{
    std::vector<std::string> seeds;
    const std::string text = MailText(1500, 31);
    std::string runs = std::string(700, 'a') + MailText(300, 2) + std::string(900, '\0');
    for (unsigned coding : {kPklibBinary, kPklibAscii}) {
        seeds.push_back(Implode(text, coding, 1024).stream);
        seeds.push_back(Implode(runs, coding, 4096).stream);
        seeds.push_back(Implode(RandomBytes(200, coding), coding, 2048).stream);
        seeds.push_back(Implode("", coding, 4096).stream);
    }
    return seeds;
}

TEST(PklibRobustness, EveryTruncationOfValidStreams)
{
    for (const std::string& seed : SeedStreams()) {
        for (std::size_t cut = 0; cut < seed.size(); ++cut) {
            const unsigned code = GuardedExplode(seed.substr(0, cut));
            if (cut < 4)
                ASSERT_EQ(code, kPklibBadData);
            else
                ASSERT_TRUE(code == kPklibAbort || code == kPklibNoError) << cut << " " << code;
        }
    }
}

TEST(PklibRobustness, EveryBitFlipOfValidStreams)
{
    for (const std::string& seed : SeedStreams()) {
        for (std::size_t bit = 0; bit < seed.size() * 8; ++bit) {
            std::string s = seed;
            s[bit / 8] = static_cast<char>(s[bit / 8] ^ (1 << (bit % 8)));
            const unsigned code = GuardedExplode(s);
            ASSERT_LE(code, kPklibAbort) << bit;
        }
    }
}

TEST(PklibRobustness, RandomStreamsWithValidHeaders)
{
    std::mt19937 rng(99);
    for (int i = 0; i < 3000; ++i) {
        std::string s = RandomBytes(4 + rng() % 3000, rng());
        s[0] = static_cast<char>(rng() % 2);
        s[1] = static_cast<char>(4 + rng() % 3);
        const unsigned code = GuardedExplode(s);
        ASSERT_TRUE(code == kPklibAbort || code == kPklibNoError) << i;
    }
    // Streams of long copies reaching as far back as the format allows.
    for (unsigned coding : {kPklibBinary, kPklibAscii}) {
        std::vector<Token> tokens{Lit(1)};
        std::size_t expected = 1;
        for (unsigned i = 0; i < 200; ++i) {
            tokens.push_back(Rep(518 - i % 3, 4096 - i % 5));
            expected += 518 - i % 3;
        }
        std::string out;
        EXPECT_EQ(GuardedExplode(BuildStream(coding, 6, tokens), &out), kPklibNoError);
        EXPECT_EQ(out.size(), expected);
    }
}

TEST(PklibRobustness, CompressorStaysInsideItsWorkArea)
{
    std::mt19937 rng(5);
    for (int i = 0; i < 40; ++i) {
        const std::size_t n = rng() % 14000;
        std::string data = i % 2 ? RandomBytes(n, rng()) : MailText(n, rng());
        if (i % 5 == 0)
            data += std::string(rng() % 2000, 'z');
        unsigned coding = i % 2, dict = 1024u << (i % 3);
        GuardedArea work(kPklibCompressWorkSize);
        MemIo io;
        io.input = data;
        io.readChunk = 1 + rng() % 5000;
        ASSERT_EQ(PklibCompress(MemRead, MemWrite, work.data(), &io, &coding, &dict), 0u);
        EXPECT_TRUE(work.GuardsIntact());
        std::string back;
        EXPECT_EQ(GuardedExplode(io.output, &back), kPklibNoError);
        EXPECT_TRUE(back == data);
    }
}

} // namespace
