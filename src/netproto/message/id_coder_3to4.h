#pragma once

#include "netproto/message/id_coder.h"

#include <array>

// Codes 3 bytes as 4 characters of a 64-character table.
class TIdEncoder3to4 : public TIdEncoder {
public:
    // A byte count other than "to the end" must be a multiple of 3.
    std::string Encode(std::istream& stream, std::int32_t byteCount = IdMaxByteCount) override;
    std::string EncodeBytes(std::string_view bytes) override;

protected:
    TIdEncoder3to4(std::string_view codingTable, char fillChar)
        : CodingTable(codingTable), FillChar(fillChar)
    {
    }
    void EncodeGroups(std::string_view bytes, char* out) const;

    std::string_view CodingTable;
    char FillChar;
};

class TIdDecoder4to3 : public TIdDecoder {
public:
    // Raises on a length that is not a multiple of 4 and on a character
    // outside the table (other than the fill in the last two places).
    std::string DecodeBytes(std::string_view text) override;

    using DecodeTable = std::array<std::uint8_t, 256>;
    static DecodeTable MakeDecodeTable(std::string_view codingTable);

protected:
    TIdDecoder4to3(const DecodeTable& table, char fillChar) : Table(table), FillChar(fillChar) {}
    void DecodeGroups(std::string_view text, std::string& out) const;

    const DecodeTable& Table;
    char FillChar;
};
