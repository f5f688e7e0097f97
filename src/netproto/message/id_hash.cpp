#include "netproto/message/id_hash.h"

#include <sstream>

std::array<std::uint8_t, 16> TIdDigest128::Bytes() const
{
    std::array<std::uint8_t, 16> out{};
    for (std::size_t w = 0; w < 4; ++w) {
        for (std::size_t b = 0; b < 4; ++b) {
            out[w * 4 + b] = static_cast<std::uint8_t>(Words[w] >> (8 * b));
        }
    }
    return out;
}

TIdDigest128 TIdHash128::HashText(std::string_view text)
{
    std::istringstream stream{std::string(text)};
    return HashStream(stream);
}

namespace {

std::string ToHex(const TIdDigest128& digest, const char* digits)
{
    std::string out;
    out.reserve(32);
    for (std::uint8_t b : digest.Bytes()) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

} // namespace

std::string TIdHash128::DigestToHex(const TIdDigest128& digest)
{
    return ToHex(digest, "0123456789ABCDEF");
}

std::string TIdHash128::DigestToHexLower(const TIdDigest128& digest)
{
    return ToHex(digest, "0123456789abcdef");
}
