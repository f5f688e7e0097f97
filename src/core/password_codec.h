#pragma once

#include <optional>
#include <string>

// Stored passwords (users.dat and the INI file): the "%02X" pairs of the
// password's bytes, the whole text then reversed, so "abcd" is "46362616".
// Passwords are plain text in memory; these are the only two conversions.
std::string EncodePassword(const std::string& plain);

// Reverses EncodePassword. Hex digits of either case are read. A text that is
// not such an encoding (odd length, a non-hex character) gives nothing: the
// password is unknown, which is not the same as an empty one.
std::optional<std::string> DecodePassword(const std::string& stored);
