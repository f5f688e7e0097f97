// Memory callbacks, a stream builder and an independent bit-by-bit token
// reader for the implode codec tests.
#pragma once

#include "link/codec/pklib.h"

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

struct MemIo {
    std::string_view input;
    std::size_t inputPos = 0;
    std::size_t readChunk = std::numeric_limits<std::size_t>::max(); // most per read call
    std::string output;
    std::size_t writeLimit = std::numeric_limits<std::size_t>::max(); // output fails beyond
    std::vector<unsigned> readAsks;                                   // sizes asked for
    std::vector<unsigned> writeSizes;                                 // sizes given
};

unsigned MemRead(char* buf, unsigned* size, void* context);
unsigned MemWrite(char* buf, unsigned* size, void* context);

struct ImplodeResult {
    unsigned code = 0;
    std::string stream;
};

using PklibCompressFn = unsigned (*)(PklibReadFn, PklibWriteFn, char*, void*, unsigned*, unsigned*);

// Runs the compressor on data. fill is the byte the work area holds beforehand.
ImplodeResult Implode(std::string_view data, unsigned coding, unsigned dictSize,
                      std::uint8_t fill = 0, PklibCompressFn compress = PklibCompress);

struct ExplodeResult {
    unsigned code = 0;
    std::string output;
};

ExplodeResult Explode(std::string_view stream, std::uint8_t fill = 0);

struct Token {
    bool literal = true;
    std::uint8_t byte = 0;
    unsigned length = 0;
    unsigned distance = 0;
    bool operator==(const Token&) const = default;
};

Token Lit(std::uint8_t byte);
Token Rep(unsigned length, unsigned distance);

// Codes tokens and the end mark into a stream, as the format describes it.
std::string BuildStream(unsigned coding, unsigned dictCode, const std::vector<Token>& tokens);

struct ParsedStream {
    bool complete = false; // the end mark was found
    std::vector<Token> tokens;
};

// Reads a stream bit by bit against the code tables, without lookup tables.
ParsedStream ParseStream(std::string_view stream);
// Replays tokens into bytes (history before the start reads as zeros).
std::string Replay(const std::vector<Token>& tokens);

std::string RandomBytes(std::size_t n, std::uint32_t seed);
std::string MailText(std::size_t n, std::uint32_t seed);
std::string ReadFileBytes(const std::string& path);
