#include "netproto/message/id_coder_3to4.h"

#include "netproto/core/id_global.h"

std::string TIdEncoder3to4::Encode(std::istream& stream, std::int32_t byteCount)
{
    if (byteCount != IdMaxByteCount && byteCount % 3 != 0) {
        throw EIdException("Uneven size in Encode.");
    }
    return EncodeBytes(ReadBytes(stream, byteCount));
}

std::string TIdEncoder3to4::EncodeBytes(std::string_view bytes)
{
    std::string out((bytes.size() + 2) / 3 * 4, '\0');
    EncodeGroups(bytes, out.data());
    return out;
}

void TIdEncoder3to4::EncodeGroups(std::string_view bytes, char* out) const
{
    const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
    const char* table = CodingTable.data();
    std::size_t n = bytes.size();
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const std::uint32_t v =
            (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
        *out++ = table[v >> 18];
        *out++ = table[(v >> 12) & 63];
        *out++ = table[(v >> 6) & 63];
        *out++ = table[v & 63];
    }
    const std::size_t rest = n - i;
    if (rest > 0) {
        std::uint32_t v = std::uint32_t{in[i]} << 16;
        if (rest == 2) {
            v |= std::uint32_t{in[i + 1]} << 8;
        }
        *out++ = table[v >> 18];
        *out++ = table[(v >> 12) & 63];
        *out++ = rest == 2 ? table[(v >> 6) & 63] : FillChar;
        *out++ = FillChar;
    }
}

TIdDecoder4to3::DecodeTable TIdDecoder4to3::MakeDecodeTable(std::string_view codingTable)
{
    DecodeTable table;
    table.fill(255);
    for (std::size_t i = 0; i < codingTable.size(); ++i) {
        table[static_cast<unsigned char>(codingTable[i])] = static_cast<std::uint8_t>(i);
    }
    return table;
}

std::string TIdDecoder4to3::DecodeBytes(std::string_view text)
{
    if (text.size() % 4 != 0) {
        throw EIdException("Uneven size in DecodeToStream.");
    }
    std::string out;
    out.reserve(text.size() / 4 * 3);
    DecodeGroups(text, out);
    return out;
}

void TIdDecoder4to3::DecodeGroups(std::string_view text, std::string& out) const
{
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    const auto fill = static_cast<unsigned char>(FillChar);
    const std::size_t start = out.size();
    out.resize(start + n / 4 * 3);
    char* dst = out.data() + start;
    for (std::size_t i = 0; i < n; i += 4) {
        const unsigned d1 = Table[in[i]];
        const unsigned d2 = Table[in[i + 1]];
        const bool fill3 = in[i + 2] == fill;
        const bool fill4 = in[i + 3] == fill;
        const unsigned d3 = fill3 ? 0 : Table[in[i + 2]];
        const unsigned d4 = fill3 || fill4 ? 0 : Table[in[i + 3]];
        // A stray character would otherwise become 255 and garble the group
        // without anyone noticing.
        if ((d1 | d2 | d3 | d4) > 63) {
            throw EIdException("Invalid character in DecodeToStream.");
        }
        const std::uint32_t v = (d1 << 18) | (d2 << 12) | (d3 << 6) | d4;
        *dst++ = static_cast<char>(v >> 16);
        if (!fill3) {
            *dst++ = static_cast<char>(v >> 8);
            if (!fill4) {
                *dst++ = static_cast<char>(v);
            }
        }
    }
    out.resize(static_cast<std::size_t>(dst - out.data()));
}
