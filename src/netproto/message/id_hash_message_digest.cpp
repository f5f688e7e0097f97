#include "netproto/message/id_hash_message_digest.h"

#include <bit>
#include <cstring>

namespace {

std::uint32_t Rol(std::uint32_t v, int n)
{
    return std::rotl(v, n);
}

void LoadWords(const std::array<std::uint8_t, 64>& block, std::uint32_t (&x)[16])
{
    for (int i = 0; i < 16; ++i) {
        x[i] = static_cast<std::uint32_t>(block[i * 4]) |
               (static_cast<std::uint32_t>(block[i * 4 + 1]) << 8) |
               (static_cast<std::uint32_t>(block[i * 4 + 2]) << 16) |
               (static_cast<std::uint32_t>(block[i * 4 + 3]) << 24);
    }
}

// Reads up to 64 bytes; returns how many came.
std::size_t ReadBlock(std::istream& stream, std::array<std::uint8_t, 64>& block)
{
    stream.read(reinterpret_cast<char*>(block.data()), 64);
    return static_cast<std::size_t>(stream.gcount());
}

} // namespace

TIdDigest128 TIdHashMessageDigest4::HashStream(std::istream& stream)
{
    State = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u};
    std::uint64_t total = 0;
    std::size_t got = 0;
    // A stream already at its end (or failed) gives no bytes; its count of
    // an earlier read does not count.
    while (stream.good() && (got = ReadBlock(stream, Block)) == 64) {
        total += 64;
        TransformBlock();
        got = 0;
    }
    total += got;
    // Leave the stream readable at its end rather than in a failed state.
    stream.clear(stream.rdstate() & ~std::ios::failbit);

    Block[got] = 0x80;
    std::memset(Block.data() + got + 1, 0, 63 - got);
    if (got + 1 > 56) {
        TransformBlock();
        Block.fill(0);
    }
    const std::uint64_t bits = total * 8;
    for (int i = 0; i < 8; ++i) {
        Block[56 + i] = static_cast<std::uint8_t>(bits >> (8 * i));
    }
    TransformBlock();
    TIdDigest128 digest;
    digest.Words = State;
    return digest;
}

std::uint32_t TIdHashMessageDigest4::F(std::uint32_t x, std::uint32_t y, std::uint32_t z)
{
    return (x & y) | (~x & z);
}

std::uint32_t TIdHashMessageDigest4::G(std::uint32_t x, std::uint32_t y, std::uint32_t z)
{
    return (x & y) | (x & z) | (y & z);
}

std::uint32_t TIdHashMessageDigest4::H(std::uint32_t x, std::uint32_t y, std::uint32_t z)
{
    return x ^ y ^ z;
}

void TIdHashMessageDigest4::TransformBlock()
{
    std::uint32_t x[16];
    LoadWords(Block, x);
    std::uint32_t a = State[0], b = State[1], c = State[2], d = State[3];

    static constexpr int s1[4] = {3, 7, 11, 19};
    for (int i = 0; i < 16; ++i) {
        const std::uint32_t t = Rol(a + F(b, c, d) + x[i], s1[i % 4]);
        a = d, d = c, c = b, b = t;
    }
    static constexpr int s2[4] = {3, 5, 9, 13};
    static constexpr int o2[16] = {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
    for (int i = 0; i < 16; ++i) {
        const std::uint32_t t = Rol(a + G(b, c, d) + x[o2[i]] + 0x5A827999u, s2[i % 4]);
        a = d, d = c, c = b, b = t;
    }
    static constexpr int s3[4] = {3, 9, 11, 15};
    static constexpr int o3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    for (int i = 0; i < 16; ++i) {
        const std::uint32_t t = Rol(a + H(b, c, d) + x[o3[i]] + 0x6ED9EBA1u, s3[i % 4]);
        a = d, d = c, c = b, b = t;
    }
    State[0] += a;
    State[1] += b;
    State[2] += c;
    State[3] += d;
}

std::uint32_t TIdHashMessageDigest5::G(std::uint32_t x, std::uint32_t y, std::uint32_t z)
{
    return (x & z) | (y & ~z);
}

std::uint32_t TIdHashMessageDigest5::I(std::uint32_t x, std::uint32_t y, std::uint32_t z)
{
    return y ^ (x | ~z);
}

void TIdHashMessageDigest5::TransformBlock()
{
    static constexpr std::uint32_t k[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
        0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
        0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
        0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
        0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
        0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
        0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
        0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
        0xeb86d391};
    static constexpr int s[4][4] = {
        {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

    std::uint32_t x[16];
    LoadWords(Block, x);
    std::uint32_t a = State[0], b = State[1], c = State[2], d = State[3];
    for (int i = 0; i < 64; ++i) {
        std::uint32_t f;
        int g;
        switch (i / 16) {
        case 0:
            f = F(b, c, d), g = i;
            break;
        case 1:
            f = G(b, c, d), g = (5 * i + 1) % 16;
            break;
        case 2:
            f = H(b, c, d), g = (3 * i + 5) % 16;
            break;
        default:
            f = I(b, c, d), g = (7 * i) % 16;
            break;
        }
        const std::uint32_t t = b + Rol(a + f + k[i] + x[g], s[i / 16][i % 4]);
        a = d, d = c, c = b, b = t;
    }
    State[0] += a;
    State[1] += b;
    State[2] += c;
    State[3] += d;
}
