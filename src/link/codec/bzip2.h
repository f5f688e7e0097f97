// The "BZIP2" transfer method: libbz2's stream interface, loaded at run time so
// that a station without the library still runs (and reports it).
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

enum class Bzip2Error {
    None,
    LibraryMissing, // the library or one of its functions could not be loaded
    Sequence,       // BZ_SEQUENCE_ERROR
    Param,          // BZ_PARAM_ERROR
    Memory,         // BZ_MEM_ERROR
    Data,           // BZ_DATA_ERROR
    DataMagic,      // BZ_DATA_ERROR_MAGIC
    Io,             // BZ_IO_ERROR
    UnexpectedEof,  // BZ_UNEXPECTED_EOF, or the input ended inside the stream
    OutBufferFull,  // BZ_OUTBUFF_FULL
    Config,         // BZ_CONFIG_ERROR
    Unknown,        // any other return code
    OpenFailed,     // a file could not be opened
    ReadFailed,     // reading the input failed
    WriteFailed,    // writing or closing the output failed
};

const char* Bzip2ErrorText(Bzip2Error error);
// Maps one of the library's return codes; the success codes give None.
Bzip2Error Bzip2ErrorFromCode(int code);

// One loaded copy of the library. Default() loads "libbz2.so.1.0" once per process.
class Bzip2Library {
public:
    explicit Bzip2Library(const char* soname = "libbz2.so.1.0");
    ~Bzip2Library();
    Bzip2Library(const Bzip2Library&) = delete;
    Bzip2Library& operator=(const Bzip2Library&) = delete;

    static const Bzip2Library& Default();

    bool IsLoaded() const { return api_ != nullptr; }
    // Why loading failed (empty when loaded).
    const std::string& LoadError() const { return loadError_; }

    struct Api;
    const Api* api() const { return api_.get(); }

private:
    void* handle_ = nullptr;
    std::unique_ptr<Api> api_;
    std::string loadError_;
};

// Compression uses block size 1 (100 000 bytes), the method's fixed choice.
Bzip2Error Bzip2Compress(std::FILE* input, std::FILE* output,
                         const Bzip2Library& lib = Bzip2Library::Default());
Bzip2Error Bzip2Decompress(std::FILE* input, std::FILE* output,
                           const Bzip2Library& lib = Bzip2Library::Default());

Bzip2Error Bzip2CompressFile(const std::string& inputPath, const std::string& outputPath,
                             const Bzip2Library& lib = Bzip2Library::Default());
Bzip2Error Bzip2DecompressFile(const std::string& inputPath, const std::string& outputPath,
                               const Bzip2Library& lib = Bzip2Library::Default());

Bzip2Error Bzip2CompressBuffer(std::string_view input, std::string& output,
                               const Bzip2Library& lib = Bzip2Library::Default());
Bzip2Error Bzip2DecompressBuffer(std::string_view input, std::string& output,
                                 const Bzip2Library& lib = Bzip2Library::Default());
