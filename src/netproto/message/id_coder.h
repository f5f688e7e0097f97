#pragma once

#include <cstdint>
#include <istream>
#include <limits>
#include <ostream>
#include <string>
#include <string_view>

// Byte count meaning "to the end of the stream".
inline constexpr std::int32_t IdMaxByteCount = std::numeric_limits<std::int32_t>::max();

class TIdEncoder {
public:
    virtual ~TIdEncoder() = default;

    // Codes up to byteCount bytes from the stream's position (fewer when the
    // stream ends first).
    virtual std::string Encode(std::istream& stream, std::int32_t byteCount = IdMaxByteCount);
    // Codes a whole buffer in one go.
    virtual std::string EncodeBytes(std::string_view bytes) = 0;

    template <class TEncoder> static std::string EncodeText(std::string_view text)
    {
        TEncoder encoder;
        return encoder.EncodeBytes(text);
    }

protected:
    static std::string ReadBytes(std::istream& stream, std::int32_t byteCount);
};

class TIdDecoder {
public:
    virtual ~TIdDecoder() = default;

    // Appends the decoded bytes to the stream.
    void DecodeToStream(std::string_view text, std::ostream& stream);
    virtual std::string DecodeBytes(std::string_view text) = 0;

    template <class TDecoder> static std::string DecodeText(std::string_view text)
    {
        TDecoder decoder;
        return decoder.DecodeBytes(text);
    }
};
