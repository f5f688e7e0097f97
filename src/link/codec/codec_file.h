// Files for the codecs' file-to-file use.
#pragma once

#include <cstdio>
#include <memory>
#include <string>

namespace CodecFile {

struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, Closer>;

// The output of a coder. It is written to a temporary file beside the target
// and takes the target's name only on Commit(), so a coder that fails or is
// cut short leaves no half file under that name and spoils no file already
// there. A target that is not a regular file (a device) is written in place.
class TOutput {
public:
    explicit TOutput(std::string path);
    // Discards what was written unless committed.
    ~TOutput();
    TOutput(const TOutput&) = delete;
    TOutput& operator=(const TOutput&) = delete;

    // Null when the output could not be opened.
    std::FILE* File() const { return FFile; }
    // Flushes, closes and names the file; false when any of that failed (the
    // target is then as it was).
    bool Commit();

private:
    std::string FPath;
    std::string FTemp; // empty when written in place
    std::FILE* FFile = nullptr;
};

} // namespace CodecFile
