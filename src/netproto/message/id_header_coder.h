#pragma once

#include "netproto/message/id_email_address.h"

#include <string>
#include <string_view>

// How header text goes out: 7-bit text, 8-bit text, or Japanese text that
// is turned from Shift-JIS into ISO-2022-JP first.
enum class TTransfer { bit7, bit8, iso2022jp };

// Replaces RFC 2047 encoded words of ISO and Windows charsets by their
// bytes; ISO-2022-JP words come out as Shift-JIS.
std::string DecodeHeaderWords(std::string_view text);

// Encodes the runs of words that hold control or 8-bit bytes (or one of
// `specials`) as encoded words with header encoding 'B' or 'Q'; '8' leaves
// the text as it is.
std::string EncodeHeaderWords(std::string_view text, std::string_view specials, TTransfer transfer,
                              char headerEncoding, std::string_view charset);

// One address with its name for a header: "name <address>".
std::string FormatAddressItem(const TIdEMailAddressItem& item, char headerEncoding,
                              TTransfer transfer, std::string_view charset);
// The items formatted as above, joined by ", ".
std::string FormatAddressList(const TIdEMailAddressList& list, char headerEncoding,
                              TTransfer transfer, std::string_view charset);

// The defaults for the system's language.
void DefaultHeaderCharset(TTransfer& transfer, char& headerEncoding, std::string& charset);
// The same for a language group as CharSetKindFromLocale gives it.
void DefaultHeaderCharsetFor(int charSetKind, TTransfer& transfer, char& headerEncoding,
                             std::string& charset);

std::string JisToShiftJis(std::string_view text);
std::string ShiftJisToJis(std::string_view text);
