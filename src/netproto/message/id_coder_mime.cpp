#include "netproto/message/id_coder_mime.h"

const TIdDecoder4to3::DecodeTable& TIdDecoderMIME::Base64DecodeTable()
{
    static const DecodeTable table = MakeDecodeTable(IdBase64Table);
    return table;
}

TIdDecoderMIME::TIdDecoderMIME() : TIdDecoder4to3(Base64DecodeTable(), '=') {}
