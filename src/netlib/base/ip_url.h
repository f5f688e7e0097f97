#pragma once

#include "platform/date_time.h"

#include <bitset>
#include <string>
#include <string_view>
#include <vector>

// URL, escape, response-line, cookie and Internet-date functions of the
// library's utilities. Texts are 8-bit strings; string lists are vectors.
//
// Decisions:
// - Escapes are written "%XX" with two upper-case digits (a code below 16
//   keeps its leading zero, so the escape reads back). A "%" not followed by
//   two hexadecimal digits is copied unchanged instead of failing the text.
// - The zone bias is the zone's real offset at that moment: a zone without
//   daylight time keeps its base bias.
// - A date is read with its zone (a number or an RFC 822 zone name) and
//   turned into local time; a date without a known zone is UTC.
//   The zone written is the local offset at the date written, hours and
//   minutes.

using TIpCharSet = std::bitset<256>;
// The set of the given characters.
TIpCharSet IpCharSet(std::string_view chars);

// Every character of s in the set becomes "%" and its code in two digits.
std::string PutEscapes(const std::string& s, const TIpCharSet& escapes);
// Each "%XX" whose character is in the set becomes that character.
std::string RemoveEscapes(const std::string& s, const TIpCharSet& escapes);
// Clears the list and adds the pieces of s between "&"s; no list, nothing.
void SplitParams(const std::string& s, std::vector<std::string>* list);
// "HTTP/1.0 200 OK" gives "1.0", "200" and "OK".
void SplitHttpResponse(const std::string& s, std::string& version, std::string& code,
                       std::string& message);
// The status line becomes four "Name=value" lines on top; every header line
// after them gets "=" in place of its first ":".
void FieldFix(std::vector<std::string>& list);
// The file name after the last "/" when it has a "."; "" otherwise.
std::string ExtractEntityName(const std::string& url);
// Up to and including the last "/"; "" without one.
std::string ExtractEntityPath(const std::string& url);
// The path one segment up ("/a/b/" gives "/a/"); "/" stays "/".
std::string GetParentPath(const std::string& path);
// Adds the fields of s between ";"s, trimmed; the cookie keywords get a "$".
void SplitCookieFields(const std::string& s, std::vector<std::string>& list);

// The parts of a URL as IpParseURL finds them.
struct TIpAddrRec {
    std::string Scheme;
    std::string UserName;
    std::string Password;
    std::string Host;
    std::string Port;
    std::string Path;
    std::string Fragment;
    std::string Query;
    char QueryDelim = 0; // '?', '&' or 0
};

// Splits the URL; true when it was complete enough to stop in an accepting
// state.
bool IpParseURL(const std::string& url, TIpAddrRec& rec);
// New resolved against Old.
std::string BuildURL(const std::string& oldUrl, const std::string& newUrl);

// Minutes such that UTC = local time + bias, now.
int TimeZoneBias();
// "Tue, 04 Dec 2018 13:05:09 +0100" of a local date-time.
std::string DateTimeToINetDateTimeStr(TDateTime value);
// The local date-time of an Internet date; 1 January 1970, 00:00, when the
// text cannot be read. A date or time that does not exist raises
// std::invalid_argument.
TDateTime INetDateStrToDateTime(const std::string& s);
// 1 January 1970, 00:00: what INetDateStrToDateTime gives for unreadable text.
inline constexpr TDateTime IpNoDate = UnixEpochDateTime;
