#include "core/password_codec.h"

#include <algorithm>

#include "netproto/core/id_global.h"

std::string EncodePassword(const std::string& plain)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(plain.size() * 2);
    // Bytes are taken unsigned: characters above 127 give two digits too.
    for (unsigned char c : plain) {
        out += digits[c >> 4];
        out += digits[c & 0x0F];
    }
    std::reverse(out.begin(), out.end());
    return out;
}

std::optional<std::string> DecodePassword(const std::string& stored)
{
    if (stored.size() % 2 != 0)
        return std::nullopt;
    std::string hex(stored.rbegin(), stored.rend());
    std::string plain;
    plain.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = HexDigitValue(hex[i]);
        int lo = HexDigitValue(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        plain += static_cast<char>(hi << 4 | lo);
    }
    return plain;
}
