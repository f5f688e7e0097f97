// Implode/explode codec of the "PKLIB" transfer method: LZ77 with fixed prefix
// codes. Neither entry point opens files or allocates memory; input and output
// go through the caller's callbacks and all state lives in the caller's work area.
//
// Decided here:
// - The expander takes the four-byte stream of an empty input (result 0, no
//   output) where a five-byte minimum would refuse it with 3: the transfer
//   would then fail every empty item, and a mail item would be offered again
//   and again. Three bytes or fewer still give 3.
#pragma once

#include <cstddef>

// Places up to *size bytes in buf and returns how many; 0 means end of input.
using PklibReadFn = unsigned (*)(char* buf, unsigned* size, void* context);
// Takes the *size bytes in buf and returns how many it took. Fewer than *size
// means the output failed: the codec stops and reports kPklibWriteFailed.
using PklibWriteFn = unsigned (*)(char* buf, unsigned* size, void* context);

enum PklibLiteralCoding : unsigned {
    kPklibBinary = 0,
    kPklibAscii = 1,
};

enum PklibResult : unsigned {
    kPklibNoError = 0,
    kPklibInvalidDictSize = 1, // compress: size not 1024/2048/4096; expand: byte 1 not 4-6
    kPklibInvalidMode = 2,     // literal coding neither 0 nor 1
    kPklibBadData = 3,         // expand: input too short to be a stream
    kPklibAbort = 4,           // expand: input ended before the end mark
    kPklibWriteFailed = 5,     // the write callback did not take all bytes
    kPklibFileError = 6,       // file helpers: a file could not be opened, read or closed
};

// Work areas the caller supplies, at least this large. Any alignment will do.
inline constexpr std::size_t kPklibCompressWorkSize = 36312;
inline constexpr std::size_t kPklibExpandWorkSize = 12596;

// Reads the whole input and writes the whole stream. *literalCoding is
// kPklibBinary or kPklibAscii, *dictSize 1024, 2048 or 4096. On 1 or 2 nothing
// is read or written.
unsigned PklibCompress(PklibReadFn read, PklibWriteFn write, char* workArea, void* context,
                       unsigned* literalCoding, unsigned* dictSize);

// Expands one stream up to its end mark. Whatever was decoded before an error
// has been written when the call returns.
unsigned PklibDecompress(PklibReadFn read, PklibWriteFn write, char* workArea, void* context);
