#include "netproto/message/id_coder.h"

std::string TIdEncoder::ReadBytes(std::istream& stream, std::int32_t byteCount)
{
    std::string bytes;
    char buf[8192];
    std::size_t left = byteCount < 0 ? 0 : static_cast<std::size_t>(byteCount);
    while (left > 0 && stream.good()) {
        stream.read(buf, static_cast<std::streamsize>(std::min(left, sizeof buf)));
        const auto got = static_cast<std::size_t>(stream.gcount());
        bytes.append(buf, got);
        left -= got;
    }
    stream.clear(stream.rdstate() & ~std::ios::failbit);
    return bytes;
}

std::string TIdEncoder::Encode(std::istream& stream, std::int32_t byteCount)
{
    return EncodeBytes(ReadBytes(stream, byteCount));
}

void TIdDecoder::DecodeToStream(std::string_view text, std::ostream& stream)
{
    const std::string bytes = DecodeBytes(text);
    stream.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}
