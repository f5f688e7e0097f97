#include "link/codec/codec_file.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace CodecFile {

TOutput::TOutput(std::string path) : FPath(std::move(path))
{
    struct stat st;
    if (::stat(FPath.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        FFile = std::fopen(FPath.c_str(), "wb");
        return;
    }
    FTemp = FPath + ".tmpXXXXXX";
    const int fd = ::mkstemp(FTemp.data());
    if (fd < 0) {
        FTemp.clear();
        return;
    }
    ::fchmod(fd, 0644);
    FFile = ::fdopen(fd, "wb");
    if (!FFile) {
        ::close(fd);
        ::unlink(FTemp.c_str());
        FTemp.clear();
    }
}

TOutput::~TOutput()
{
    if (FFile)
        std::fclose(FFile);
    if (!FTemp.empty())
        ::unlink(FTemp.c_str());
}

bool TOutput::Commit()
{
    if (!FFile)
        return false;
    std::FILE* f = FFile;
    FFile = nullptr;
    bool ok = std::fflush(f) == 0;
    if (ok && !FTemp.empty())
        ok = ::fsync(::fileno(f)) == 0;
    ok = std::fclose(f) == 0 && ok;
    if (FTemp.empty())
        return ok;
    if (ok && ::rename(FTemp.c_str(), FPath.c_str()) == 0) {
        FTemp.clear();
        return true;
    }
    ::unlink(FTemp.c_str());
    FTemp.clear();
    return false;
}

} // namespace CodecFile
