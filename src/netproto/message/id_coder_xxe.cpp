#include "netproto/message/id_coder_xxe.h"

const TIdDecoder4to3::DecodeTable& TIdDecoderXXE::XXEDecodeTable()
{
    static const DecodeTable table = MakeDecodeTable(IdXXETable);
    return table;
}

TIdDecoderXXE::TIdDecoderXXE() : TIdDecoderUUEBase(XXEDecodeTable(), '~') {}
