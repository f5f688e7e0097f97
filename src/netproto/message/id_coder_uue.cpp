#include "netproto/message/id_coder_uue.h"

#include "netproto/core/id_global.h"

#include <algorithm>

std::string TIdEncoderUUEBase::EncodeBytes(std::string_view bytes)
{
    const std::size_t n = bytes.size();
    std::string out(1 + (n + 2) / 3 * 4, '\0');
    out[0] = CodingTable[n & 63];
    EncodeGroups(bytes, out.data() + 1);
    return out;
}

std::string TIdDecoderUUEBase::DecodeBytes(std::string_view text)
{
    if (text.empty()) {
        return {};
    }
    const unsigned n = Table[static_cast<unsigned char>(text[0])];
    if (n > 63) {
        throw EIdException("Invalid character in DecodeToStream.");
    }
    std::string groups(text.substr(1));
    const std::size_t len = n % 3 == 0 ? n / 3 * 4 : n / 3 * 4 + 4;
    // Positions past the text hold the value 0, as a line cut short by a
    // mailer would have carried.
    const char zero = static_cast<char>(std::find(Table.begin(), Table.end(), 0) - Table.begin());
    groups.resize(len, zero);
    if (n % 3 == 1) {
        groups[len - 2] = '~';
        groups[len - 1] = '~';
    } else if (n % 3 == 2) {
        groups[len - 1] = '~';
    }
    std::string out;
    out.reserve(n);
    DecodeGroups(groups, out);
    return out;
}

TIdDecoderUUE::TIdDecoderUUE() : TIdDecoderUUEBase(UUEDecodeTable(), '~') {}

const TIdDecoder4to3::DecodeTable& TIdDecoderUUE::UUEDecodeTable()
{
    static const DecodeTable table = MakeDecodeTable(IdUUETable);
    return table;
}

std::string TIdDecoderUUE::DecodeBytes(std::string_view text)
{
    std::string line(text);
    std::replace(line.begin(), line.end(), ' ', '`');
    return TIdDecoderUUEBase::DecodeBytes(line);
}
