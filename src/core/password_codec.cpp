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

bool DecodePassword(const std::string& stored, std::string& plain)
{
    plain.clear();
    if (stored.size() % 2 != 0)
        return false;
    std::string hex(stored.rbegin(), stored.rend());
    std::string out;
    out.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        int hi = HexDigitValue(hex[i]);
        int lo = HexDigitValue(hex[i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        out += static_cast<char>(hi << 4 | lo);
    }
    plain = std::move(out);
    return true;
}

std::string DecodePassword(const std::string& stored)
{
    std::string plain;
    DecodePassword(stored, plain);
    return plain;
}
