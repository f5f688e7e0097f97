#include "link/codec/pklib_file.h"

#include "link/codec/codec_file.h"

#include <vector>

namespace {

template <class Run>
unsigned RunOnFiles(const std::string& inputPath, const std::string& outputPath, Run run)
{
    CodecFile::FilePtr in(std::fopen(inputPath.c_str(), "rb"));
    if (!in)
        return kPklibFileError;
    CodecFile::TOutput out(outputPath);
    if (!out.File())
        return kPklibFileError;
    PklibFilePair pair{in.get(), out.File()};
    unsigned result = run(pair);
    // A read error looks like end of input to the codec; it must not pass as success.
    if (result == kPklibNoError && std::ferror(in.get()))
        result = kPklibFileError;
    if (result == kPklibNoError && !out.Commit())
        result = kPklibFileError;
    return result;
}

} // namespace

unsigned PklibReadFile(char* buf, unsigned* size, void* context)
{
    auto* pair = static_cast<PklibFilePair*>(context);
    return static_cast<unsigned>(std::fread(buf, 1, *size, pair->input));
}

unsigned PklibWriteFile(char* buf, unsigned* size, void* context)
{
    auto* pair = static_cast<PklibFilePair*>(context);
    return static_cast<unsigned>(std::fwrite(buf, 1, *size, pair->output));
}

unsigned PklibCompressFile(const std::string& inputPath, const std::string& outputPath,
                           unsigned literalCoding, unsigned dictSize)
{
    return RunOnFiles(inputPath, outputPath, [&](PklibFilePair& pair) {
        std::vector<char> work(kPklibCompressWorkSize);
        return PklibCompress(PklibReadFile, PklibWriteFile, work.data(), &pair, &literalCoding,
                             &dictSize);
    });
}

unsigned PklibDecompressFile(const std::string& inputPath, const std::string& outputPath)
{
    return RunOnFiles(inputPath, outputPath, [&](PklibFilePair& pair) {
        std::vector<char> work(kPklibExpandWorkSize);
        return PklibDecompress(PklibReadFile, PklibWriteFile, work.data(), &pair);
    });
}
