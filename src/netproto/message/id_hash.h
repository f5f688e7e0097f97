#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <string>
#include <string_view>

// A 128-bit digest as four words; as bytes each word goes least significant
// byte first, the order in which MD4 and MD5 publish their output.
struct TIdDigest128 {
    std::array<std::uint32_t, 4> Words{};

    std::array<std::uint8_t, 16> Bytes() const;
    bool operator==(const TIdDigest128&) const = default;
};

class TIdHash {
public:
    virtual ~TIdHash() = default;
};

class TIdHash128 : public TIdHash {
public:
    // Digests the bytes from the stream's position to its end; the stream is
    // left at its end.
    virtual TIdDigest128 HashStream(std::istream& stream) = 0;

    TIdDigest128 HashText(std::string_view text);

    // 32 upper-case hexadecimal digits, byte by byte, high nibble first.
    static std::string DigestToHex(const TIdDigest128& digest);
    // The same in lower case, as the APOP login sends it.
    static std::string DigestToHexLower(const TIdDigest128& digest);
};
