#pragma once

#include "netproto/message/id_coder.h"

// Quoted-printable (RFC 2045). Line breaks of the input stay line breaks;
// lines are kept short with soft breaks.
class TIdEncoderQuotedPrintable : public TIdEncoder {
public:
    std::string EncodeBytes(std::string_view bytes) override;
};

class TIdDecoderQuotedPrintable : public TIdDecoder {
public:
    std::string DecodeBytes(std::string_view text) override;
};
