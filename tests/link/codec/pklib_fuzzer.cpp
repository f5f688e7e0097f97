// libFuzzer entry: any bytes as a stream for the expander, and as input for a
// compress/expand round trip.
#include "link/codec/pklib.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Io {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t pos = 0;
    std::string out;
};

unsigned Read(char* buf, unsigned* size, void* context)
{
    auto* io = static_cast<Io*>(context);
    const std::size_t n = std::min<std::size_t>(*size, io->size - io->pos);
    std::memcpy(buf, io->data + io->pos, n);
    io->pos += n;
    return static_cast<unsigned>(n);
}

unsigned Write(char* buf, unsigned* size, void* context)
{
    static_cast<Io*>(context)->out.append(buf, *size);
    return *size;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<char> expandWork(kPklibExpandWorkSize);
    Io stream{data, size};
    const unsigned code = PklibDecompress(Read, Write, expandWork.data(), &stream);
    if (code > kPklibAbort)
        std::abort();

    std::vector<char> compressWork(kPklibCompressWorkSize);
    Io plain{data, size};
    unsigned coding = size % 2;
    unsigned dict = 1024u << (size % 3);
    if (PklibCompress(Read, Write, compressWork.data(), &plain, &coding, &dict) != kPklibNoError)
        std::abort();
    Io back{reinterpret_cast<const std::uint8_t*>(plain.out.data()), plain.out.size()};
    if (PklibDecompress(Read, Write, expandWork.data(), &back) != kPklibNoError ||
        back.out != std::string(reinterpret_cast<const char*>(data), size))
        std::abort();
    return 0;
}
