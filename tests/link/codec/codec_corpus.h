#pragma once

#include <string>
#include <vector>

// The codec benchmark's corpora besides the mail, made the same on every
// machine from fixed seeds; the codec tests use them too.
namespace CodecCorpus {

struct Kind {
    const char* name;
    std::vector<std::string> items;
};

// Runs of one byte: a white fax page, erased flash, data with zero padding.
std::vector<std::string> Runs();
// Short patterns repeated: periods of 2 to 31 bytes.
std::vector<std::string> Patterns();
// Bitmaps with runs: a fax page of text lines (one bit a pixel) and a
// screen picture of flat areas (a byte a pixel).
std::vector<std::string> Bitmaps();
// Random bytes.
std::vector<std::string> Random();

// The four above, by name.
std::vector<Kind> All();

} // namespace CodecCorpus
