#pragma once

#include "netlib/mime/ip_text_stream.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

// The transfer coders of MIME bodies. Encoders read the data from memory and
// write body text (CR LF line ends) to a stream; decoders read body text and
// write the data to a stream. Each reports progress and stops, returning
// false, when the handler sets abort; each raises EIpBaseException with the
// library's text on input it cannot decode.
//
// Decisions:
// - Quoted-printable: CR LF, a lone LF and a lone CR are each a line break.
//   Lines stay within 76 characters: a long word is broken with soft breaks
//   ("=" at the line end) and a blank or TAB at the end of a real line is
//   written as =20 or =09, so no break is ever lost or invented. Decoding
//   keeps 8-bit bytes and an empty line, and runs to the end of the data.
// - Uuencode always ends with the zero-length line and "end", whatever the
//   data's length. Its decoder skips everything up to a "begin " line when
//   there is one, and stops at the zero-length line or at "end".
// - BinHex file names are cut to the 63 characters the format allows.

// done of total bytes; set abort to stop.
using TIpCoderProgress = std::function<void(int64_t done, int64_t total, bool& abort)>;

bool IpEncodeBase64(std::string_view data, TIpStream& out, const TIpCoderProgress& progress);
bool IpDecodeBase64(TIpStream& body, TIpStream& out, const TIpCoderProgress& progress);

bool IpEncodeQuoted(std::string_view data, TIpStream& out, const TIpCoderProgress& progress);
bool IpDecodeQuoted(TIpAnsiTextStream& body, TIpStream& out, const TIpCoderProgress& progress);

bool IpEncodeUU(std::string_view data, const std::string& fileName, TIpStream& out,
                const TIpCoderProgress& progress);
bool IpDecodeUU(TIpAnsiTextStream& body, TIpStream& out, const TIpCoderProgress& progress);

bool IpEncodeBinHex(std::string_view data, const std::string& fileName, TIpStream& out,
                    const TIpCoderProgress& progress);
bool IpDecodeBinHex(TIpAnsiTextStream& body, TIpStream& out, const TIpCoderProgress& progress);

// Copies the data line by line, each line ended with CR LF.
bool IpEncodeLines(std::string_view data, TIpStream& out, const TIpCoderProgress& progress);

// CRC-16 of BinHex 4.0: polynomial 0x1021, starting from crc.
uint16_t IpBinHexCrc(std::string_view bytes, uint16_t crc = 0);

inline constexpr std::string_view IpBinHexTable =
    "!\"#$%&'()*+,-012345689@ABCDEFGHIJKLMNPQRSTUVXYZ[`abcdefhijklmpqr";
inline constexpr int IpBinHexMaxName = 63;
