#pragma once

#include "netproto/message/id_coder_3to4.h"

// The RFC 2045 base64 alphabet.
inline constexpr std::string_view IdBase64Table =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

class TIdEncoderMIME : public TIdEncoder3to4 {
public:
    TIdEncoderMIME() : TIdEncoder3to4(IdBase64Table, '=') {}
};

class TIdDecoderMIME : public TIdDecoder4to3 {
public:
    TIdDecoderMIME();
    static const DecodeTable& Base64DecodeTable();
};
