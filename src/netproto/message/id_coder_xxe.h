#pragma once

#include "netproto/message/id_coder_uue.h"

inline constexpr std::string_view IdXXETable =
    "+-0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

class TIdEncoderXXE : public TIdEncoderUUEBase {
public:
    TIdEncoderXXE() : TIdEncoderUUEBase(IdXXETable, IdXXETable[0]) {}
};

class TIdDecoderXXE : public TIdDecoderUUEBase {
public:
    TIdDecoderXXE();
    static const DecodeTable& XXEDecodeTable();
};
