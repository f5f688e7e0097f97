// The transfer's file-to-file use of the implode codec.
#pragma once

#include "link/codec/pklib.h"

#include <cstdio>
#include <string>

// Context of the file callbacks: a pair of open files.
struct PklibFilePair {
    std::FILE* input = nullptr;
    std::FILE* output = nullptr;
};

// Plain read of up to *size bytes from the pair's input file.
unsigned PklibReadFile(char* buf, unsigned* size, void* context);
// Plain write of *size bytes to the pair's output file; returns the count written.
unsigned PklibWriteFile(char* buf, unsigned* size, void* context);

// Compress or expand a whole file into another. Returns the codec's result, or
// kPklibFileError when a file cannot be opened, read, written or closed.
unsigned PklibCompressFile(const std::string& inputPath, const std::string& outputPath,
                           unsigned literalCoding = kPklibAscii, unsigned dictSize = 4096);
unsigned PklibDecompressFile(const std::string& inputPath, const std::string& outputPath);
