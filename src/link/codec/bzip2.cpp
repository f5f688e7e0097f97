#include "link/codec/bzip2.h"

#include "link/codec/codec_file.h"

#include <bzlib.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <vector>

struct Bzip2Library::Api {
    int (*compressInit)(bz_stream*, int, int, int);
    int (*compress)(bz_stream*, int);
    int (*compressEnd)(bz_stream*);
    int (*decompressInit)(bz_stream*, int, int);
    int (*decompress)(bz_stream*);
    int (*decompressEnd)(bz_stream*);
};

namespace {

constexpr int kBlockSize100k = 1;
constexpr std::size_t kChunk = 64 * 1024;

template <class Fn> bool Bind(void* handle, const char* name, Fn& fn, std::string& error)
{
    void* sym = dlsym(handle, name);
    if (!sym) {
        error = std::string("missing function ") + name;
        return false;
    }
    fn = reinterpret_cast<Fn>(sym);
    return true;
}

// Feeds the stream from read() into step() and its output to write() until
// the stream ends. step(strm, inputEnded) runs the library once and returns
// its code; `okCode(inputEnded)` is the code that asks for another round.
// With `inputMustEnd`, input that runs out before the stream ends is an
// error rather than a loop without progress.
// read(buf, size) -> bytes placed, 0 at end, -1 on failure; write(buf, size) -> ok.
template <class Step, class OkCode, class Read, class Write>
Bzip2Error Pump(bz_stream& strm, Step step, OkCode okCode, bool inputMustEnd, Read read,
                Write write)
{
    std::vector<char> in(kChunk);
    std::vector<char> out(kChunk);
    bool inputEnded = false;
    for (;;) {
        if (!inputEnded && strm.avail_in == 0) {
            const long got = read(in.data(), in.size());
            if (got < 0)
                return Bzip2Error::ReadFailed;
            strm.next_in = in.data();
            strm.avail_in = static_cast<unsigned>(got);
            inputEnded = got == 0;
        }
        strm.next_out = out.data();
        strm.avail_out = static_cast<unsigned>(out.size());
        const int rc = step(strm, inputEnded);
        const std::size_t produced = out.size() - strm.avail_out;
        if (produced > 0 && !write(out.data(), produced))
            return Bzip2Error::WriteFailed;
        if (rc == BZ_STREAM_END)
            return Bzip2Error::None;
        if (rc != okCode(inputEnded)) {
            const Bzip2Error result = Bzip2ErrorFromCode(rc);
            return result == Bzip2Error::None ? Bzip2Error::Unknown : result;
        }
        // No more input and nothing more coming out: the stream was cut short.
        if (inputMustEnd && inputEnded && strm.avail_in == 0 && produced == 0)
            return Bzip2Error::UnexpectedEof;
    }
}

// Ends the library's stream however the pump leaves (a writer may throw).
struct StreamEnd {
    int (*end)(bz_stream*);
    bz_stream& strm;
    ~StreamEnd() { end(&strm); }
};

template <class Read, class Write>
Bzip2Error CompressStream(const Bzip2Library& lib, Read read, Write write)
{
    const Bzip2Library::Api* api = lib.api();
    if (!api)
        return Bzip2Error::LibraryMissing;
    bz_stream strm{};
    const int rc = api->compressInit(&strm, kBlockSize100k, 0, 0);
    if (rc != BZ_OK)
        return Bzip2ErrorFromCode(rc);
    const StreamEnd end{api->compressEnd, strm};
    return Pump(
        strm,
        [api](bz_stream& s, bool finishing) {
            return api->compress(&s, finishing ? BZ_FINISH : BZ_RUN);
        },
        [](bool finishing) { return finishing ? BZ_FINISH_OK : BZ_RUN_OK; }, false, read, write);
}

template <class Read, class Write>
Bzip2Error DecompressStream(const Bzip2Library& lib, Read read, Write write)
{
    const Bzip2Library::Api* api = lib.api();
    if (!api)
        return Bzip2Error::LibraryMissing;
    bz_stream strm{};
    const int rc = api->decompressInit(&strm, 0, 0);
    if (rc != BZ_OK)
        return Bzip2ErrorFromCode(rc);
    const StreamEnd end{api->decompressEnd, strm};
    return Pump(
        strm, [api](bz_stream& s, bool) { return api->decompress(&s); }, [](bool) { return BZ_OK; },
        true, read, write);
}

auto FileReader(std::FILE* f)
{
    return [f](char* buf, std::size_t size) -> long {
        const std::size_t got = std::fread(buf, 1, size, f);
        if (got == 0 && std::ferror(f))
            return -1;
        return static_cast<long>(got);
    };
}

auto FileWriter(std::FILE* f)
{
    return [f](const char* buf, std::size_t size) { return std::fwrite(buf, 1, size, f) == size; };
}

auto BufferReader(std::string_view& rest)
{
    return [&rest](char* buf, std::size_t size) -> long {
        const std::size_t n = std::min(size, rest.size());
        std::memcpy(buf, rest.data(), n);
        rest.remove_prefix(n);
        return static_cast<long>(n);
    };
}

auto BufferWriter(std::string& out)
{
    return [&out](const char* buf, std::size_t size) {
        out.append(buf, size);
        return true;
    };
}

template <class Run>
Bzip2Error RunOnFiles(const std::string& inputPath, const std::string& outputPath,
                      const Bzip2Library& lib, Run run)
{
    if (!lib.IsLoaded())
        return Bzip2Error::LibraryMissing;
    CodecFile::FilePtr in(std::fopen(inputPath.c_str(), "rb"));
    if (!in)
        return Bzip2Error::OpenFailed;
    CodecFile::TOutput out(outputPath);
    if (!out.File())
        return Bzip2Error::OpenFailed;
    Bzip2Error result = run(in.get(), out.File());
    if (result == Bzip2Error::None && !out.Commit())
        result = Bzip2Error::WriteFailed;
    return result;
}

} // namespace

const char* Bzip2ErrorText(Bzip2Error error)
{
    switch (error) {
    case Bzip2Error::None:
        return "no error";
    case Bzip2Error::LibraryMissing:
        return "bzip2 library not available";
    case Bzip2Error::Sequence:
        return "bzip2: calls out of sequence";
    case Bzip2Error::Param:
        return "bzip2: invalid parameter";
    case Bzip2Error::Memory:
        return "bzip2: out of memory";
    case Bzip2Error::Data:
        return "bzip2: corrupt data";
    case Bzip2Error::DataMagic:
        return "bzip2: not a bzip2 stream";
    case Bzip2Error::Io:
        return "bzip2: input/output error";
    case Bzip2Error::UnexpectedEof:
        return "bzip2: stream ends too early";
    case Bzip2Error::OutBufferFull:
        return "bzip2: output buffer full";
    case Bzip2Error::Config:
        return "bzip2: library built wrongly for this machine";
    case Bzip2Error::Unknown:
        return "bzip2: unknown error";
    case Bzip2Error::OpenFailed:
        return "bzip2: cannot open file";
    case Bzip2Error::ReadFailed:
        return "bzip2: cannot read input";
    case Bzip2Error::WriteFailed:
        return "bzip2: cannot write output";
    }
    return "bzip2: unknown error";
}

Bzip2Error Bzip2ErrorFromCode(int code)
{
    switch (code) {
    case BZ_OK:
    case BZ_RUN_OK:
    case BZ_FLUSH_OK:
    case BZ_FINISH_OK:
    case BZ_STREAM_END:
        return Bzip2Error::None;
    case BZ_SEQUENCE_ERROR:
        return Bzip2Error::Sequence;
    case BZ_PARAM_ERROR:
        return Bzip2Error::Param;
    case BZ_MEM_ERROR:
        return Bzip2Error::Memory;
    case BZ_DATA_ERROR:
        return Bzip2Error::Data;
    case BZ_DATA_ERROR_MAGIC:
        return Bzip2Error::DataMagic;
    case BZ_IO_ERROR:
        return Bzip2Error::Io;
    case BZ_UNEXPECTED_EOF:
        return Bzip2Error::UnexpectedEof;
    case BZ_OUTBUFF_FULL:
        return Bzip2Error::OutBufferFull;
    case BZ_CONFIG_ERROR:
        return Bzip2Error::Config;
    default:
        return Bzip2Error::Unknown;
    }
}

Bzip2Library::Bzip2Library(const char* soname)
{
    handle_ = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = dlerror();
        loadError_ = why ? why : "cannot load library";
        return;
    }
    auto api = std::make_unique<Api>();
    if (Bind(handle_, "BZ2_bzCompressInit", api->compressInit, loadError_) &&
        Bind(handle_, "BZ2_bzCompress", api->compress, loadError_) &&
        Bind(handle_, "BZ2_bzCompressEnd", api->compressEnd, loadError_) &&
        Bind(handle_, "BZ2_bzDecompressInit", api->decompressInit, loadError_) &&
        Bind(handle_, "BZ2_bzDecompress", api->decompress, loadError_) &&
        Bind(handle_, "BZ2_bzDecompressEnd", api->decompressEnd, loadError_))
        api_ = std::move(api);
}

Bzip2Library::~Bzip2Library()
{
    if (handle_)
        dlclose(handle_);
}

const Bzip2Library& Bzip2Library::Default()
{
    static const Bzip2Library lib;
    return lib;
}

Bzip2Error Bzip2Compress(std::FILE* input, std::FILE* output, const Bzip2Library& lib)
{
    return CompressStream(lib, FileReader(input), FileWriter(output));
}

Bzip2Error Bzip2Decompress(std::FILE* input, std::FILE* output, const Bzip2Library& lib)
{
    return DecompressStream(lib, FileReader(input), FileWriter(output));
}

Bzip2Error Bzip2CompressFile(const std::string& inputPath, const std::string& outputPath,
                             const Bzip2Library& lib)
{
    return RunOnFiles(inputPath, outputPath, lib,
                      [&](std::FILE* in, std::FILE* out) { return Bzip2Compress(in, out, lib); });
}

Bzip2Error Bzip2DecompressFile(const std::string& inputPath, const std::string& outputPath,
                               const Bzip2Library& lib)
{
    return RunOnFiles(inputPath, outputPath, lib,
                      [&](std::FILE* in, std::FILE* out) { return Bzip2Decompress(in, out, lib); });
}

Bzip2Error Bzip2CompressBuffer(std::string_view input, std::string& output, const Bzip2Library& lib)
{
    output.clear();
    return CompressStream(lib, BufferReader(input), BufferWriter(output));
}

Bzip2Error Bzip2DecompressBuffer(std::string_view input, std::string& output,
                                 const Bzip2Library& lib)
{
    output.clear();
    return DecompressStream(lib, BufferReader(input), BufferWriter(output));
}
