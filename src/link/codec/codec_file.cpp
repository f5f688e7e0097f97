#include "link/codec/codec_file.h"

#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace CodecFile {

TOutput::TOutput(std::string path) : FPath(std::move(path))
{
    struct stat st;
    const bool exists = ::stat(FPath.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        FFile = std::fopen(FPath.c_str(), "wb");
        return;
    }
    FTemp = FPath + ".tmpXXXXXX";
    const int fd = ::mkstemp(FTemp.data());
    if (fd < 0) {
        FTemp.clear();
        return;
    }
    // A received item is the user's private data; a file it replaces keeps
    // the permissions the operator gave it.
    ::fchmod(fd, exists ? st.st_mode & 07777 : 0600);
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
        // The item counts as received from here on: its directory entry
        // must survive a power cut. (The codec builds without the platform
        // library, so it syncs the directory itself.)
        const size_t slash = FPath.rfind('/');
        const std::string dir = slash == std::string::npos ? "."
                                : slash == 0               ? "/"
                                                           : FPath.substr(0, slash);
        const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dirFd >= 0) {
            ::fsync(dirFd);
            ::close(dirFd);
        }
        return true;
    }
    ::unlink(FTemp.c_str());
    FTemp.clear();
    return false;
}

} // namespace CodecFile
