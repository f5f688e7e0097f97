#pragma once

#include "netproto/message/id_coder_3to4.h"

// A line of the UU and XX forms: one character for the byte count, then the
// groups. Callers hand over 45 bytes per line.
class TIdEncoderUUEBase : public TIdEncoder3to4 {
public:
    std::string EncodeBytes(std::string_view bytes) override;

protected:
    using TIdEncoder3to4::TIdEncoder3to4;
};

class TIdDecoderUUEBase : public TIdDecoder4to3 {
public:
    std::string DecodeBytes(std::string_view text) override;

protected:
    using TIdDecoder4to3::TIdDecoder4to3;
};

// The value 0 is written as a backquote, not a blank.
inline constexpr std::string_view IdUUETable =
    "`!\"#$%&'()*+,-./0123456789:;<=>?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_";

class TIdEncoderUUE : public TIdEncoderUUEBase {
public:
    TIdEncoderUUE() : TIdEncoderUUEBase(IdUUETable, IdUUETable[0]) {}
};

class TIdDecoderUUE : public TIdDecoderUUEBase {
public:
    TIdDecoderUUE();
    // Older encoders write the value 0 as a blank.
    std::string DecodeBytes(std::string_view text) override;
    static const DecodeTable& UUEDecodeTable();
};
