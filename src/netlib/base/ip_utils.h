#pragma once

#include <array>
#include <cstdint>
#include <istream>
#include <string>

// String, path, file and number utilities of the internet component library.
// Texts are 8-bit strings; positions are 1-based and 0 means "not found".
// Every comparison is exact (case-sensitive).
//
// Decided here:
// - SafeYield: one call handles every event that waits for the calling
//   thread (Qt's dispatcher hands them out in one pass, not one at a time),
//   and the result names the first of them by its event type and its
//   receiver, as a message identifier and window handle would. A quit asked
//   for meanwhile is never swallowed: it ends the event loops that run.

int CharPos(char c, const std::string& s);
// First occurrence at or after idx; 0 when idx is outside 1..length.
int CharPosIdx(char c, const std::string& s, int idx);
// The n-th occurrence from the start; 0 when n < 1 or there are fewer.
int NthCharPos(char c, const std::string& s, int n);
int RCharPos(char c, const std::string& s);
// Last occurrence at or before idx; 0 when idx is outside 1..length.
int RCharPosIdx(char c, const std::string& s, int idx);
// The n-th occurrence counted from the end.
int RNthCharPos(char c, const std::string& s, int n);
// Start of the last occurrence of sub; 0 when either is empty or sub is longer.
int RPos(const std::string& sub, const std::string& s);
// First occurrence of sub starting at or after idx.
int PosIdx(const std::string& sub, const std::string& s, int idx);
// Without leading and trailing spaces (only the space character).
std::string AllTrimSpaces(const std::string& s);

// 0 when the first size bytes are equal, 1 or -1 as the first differing byte
// of a is greater or smaller (as unsigned bytes).
int IpCompStruct(const void* a, const void* b, uint32_t size);
uint32_t IpCharCount(const void* buffer, uint32_t size, char c);
inline int IpMaxInt(int a, int b)
{
    return a > b ? a : b;
}
inline int IpMinInt(int a, int b)
{
    return a < b ? a : b;
}

// IPv4 address classes; the first octet is in the high byte.
bool InClassA(uint32_t addr);
bool InClassB(uint32_t addr);
bool InClassC(uint32_t addr);
bool InClassD(uint32_t addr);
bool InMulticast(uint32_t addr);

// The Internet checksum: bytes at even offsets are the low byte of a word,
// folded once, complemented. A count of 0 gives start unchanged.
uint16_t InternetSumPrim(const void* data, uint32_t count, uint32_t start);
// Over the stream from its position, in blocks of 2048 bytes.
uint16_t InternetSumOfStream(std::istream& stream, uint32_t start);
// Raises std::system_error when the file cannot be opened.
uint16_t InternetSumOfFile(const std::string& fileName);

// MD5 of the stream from its position to its end, as bytes or as 32
// lower-case hexadecimal digits.
void MD5SumOfStreamDigest(std::istream& stream, std::array<uint8_t, 16>& digest);
std::string MD5SumOfStream(std::istream& stream);
// Raises std::system_error when the file cannot be opened.
std::string MD5SumOfFile(const std::string& fileName);
void MD5SumOfStringDigest(const std::string& s, std::array<uint8_t, 16>& digest);
std::string MD5SumOfString(const std::string& s);

std::string AppendBackSlash(const std::string& s);
std::string RemoveBackSlash(const std::string& s);
std::string AppendSlash(const std::string& s);
std::string RemoveSlash(const std::string& s);
// "/" to "\" and "|" to ":"; a leading "\" before a drive is dropped.
std::string NetToDOSPath(const std::string& s);
// ":" to "|" and "\" to "/".
std::string DOSToNetPath(const std::string& s);
bool DirExists(const std::string& dir);
// The system's temporary directory, ending in "/".
std::string GetTemporaryPath();
// Creates a new empty file "IP_<unique>.TMP" in path and returns its name;
// "" when none can be made.
std::string GetTemporaryFile(const std::string& path);
// The MIME type the system registers for the file's extension; "" when none.
std::string GetLocalContent(const std::string& fileName);

namespace IpUtils {
// Handles the events that wait for the calling thread, without waiting for
// more. 0 when none waited; otherwise, on the application's thread, the low
// 16 bits of the first event's type with the low 16 bits of its receiver's
// address above them, and on any other thread 1. (Named by its unit: the
// serial library has a SafeYield of its own.)
uint32_t SafeYield();
} // namespace IpUtils
