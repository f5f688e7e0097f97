#include "netlib/mime/ip_stream.h"

#include "netlib/base/ip_base.h"
#include "netlib/base/ip_const.h"
#include "netlib/base/ip_utils.h"
#include "platform/atomic_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {

std::string SystemErrorText(int code)
{
    return std::system_category().message(code);
}

int64_t SeekTarget(int64_t offset, int origin, int64_t position, int64_t size)
{
    switch (origin) {
    case soFromBeginning:
        return offset;
    case soFromCurrent:
        return position + offset;
    case soFromEnd:
        return size + offset;
    default:
        throw EIpBaseException(IpStr(IpConst::SBadSeekOrigin));
    }
}

} // namespace

int64_t TIpStream::GetSize()
{
    const int64_t position = Seek(0, soFromCurrent);
    const int64_t size = Seek(0, soFromEnd);
    Seek(position, soFromBeginning);
    return size;
}

void TIpStream::WriteBuffer(const void* buffer, int64_t count)
{
    if (count > 0 && Write(buffer, count) != count)
        throw EIpBaseException(IpStr(IpConst::SCannotWriteToStream));
}

int64_t TIpStream::CopyFrom(TIpStream& source, int64_t count)
{
    if (count == 0) {
        source.SetPosition(0);
        count = source.GetSize();
    }
    if (const char* memory = source.Memory()) {
        const int64_t position = source.GetPosition();
        count = std::min(count, source.GetSize() - position);
        WriteBuffer(memory + position, count);
        source.SetPosition(position + count);
        return count;
    }
    char buffer[65536];
    int64_t done = 0;
    while (done < count) {
        const int64_t got = source.Read(buffer, std::min<int64_t>(sizeof buffer, count - done));
        if (got <= 0)
            break;
        WriteBuffer(buffer, got);
        done += got;
    }
    return done;
}

// Memory stream

int64_t TIpMemoryStream::Read(void* buffer, int64_t count)
{
    const int64_t n =
        std::clamp<int64_t>(int64_t(FData.size()) - FPosition, 0, std::max<int64_t>(count, 0));
    if (n > 0)
        std::memcpy(buffer, FData.data() + FPosition, size_t(n));
    FPosition += n;
    return n;
}

int64_t TIpMemoryStream::Write(const void* buffer, int64_t count)
{
    if (count <= 0 || FPosition < 0)
        return 0;
    const auto end = size_t(FPosition + count);
    if (end > FData.size())
        FData.resize(end);
    std::memcpy(FData.data() + FPosition, buffer, size_t(count));
    FPosition += count;
    return count;
}

int64_t TIpMemoryStream::Seek(int64_t offset, int origin)
{
    FPosition = std::max<int64_t>(0, SeekTarget(offset, origin, FPosition, int64_t(FData.size())));
    return FPosition;
}

void TIpMemoryStream::SetSize(int64_t size)
{
    FData.resize(size_t(std::max<int64_t>(size, 0)));
    FPosition = std::min<int64_t>(FPosition, size);
}

// Memory-mapped file

TIpMemMapStream::TIpMemMapStream(std::string fileName, bool readOnly, bool deleteOnFree)
    : FReadOnly(readOnly), FDeleteOnFree(deleteOnFree), FFileName(std::move(fileName))
{
}

TIpMemMapStream::~TIpMemMapStream()
{
    try {
        CloseMap();
    } catch (...) {
        // A destructor cannot report; the file is closed below all the same.
    }
    CloseFile();
    if (FDeleteOnFree && !FFileName.empty())
        ::unlink(FFileName.c_str());
}

void TIpMemMapStream::RaiseFileError() const
{
    throw EIpBaseException(SystemErrorText(errno) + IpStr(IpConst::SFileName) + FFileName);
}

void TIpMemMapStream::RequireOpen(const char* method) const
{
    if (FFile < 0)
        throw EIpBaseException(IpFormat(IpConst::SMemMapMustBeOpen, {method}));
}

void TIpMemMapStream::Open()
{
    OpenFile();
    try {
        OpenMap();
    } catch (...) {
        CloseFile();
        throw;
    }
}

void TIpMemMapStream::OpenFile()
{
    if (FFileName.empty())
        throw EIpBaseException(IpStr(IpConst::SMemMapFilenameRequired));
    if (FFile >= 0)
        throw EIpBaseException(IpFormat(IpConst::SMemMapMustBeClosed, {"Open"}));
    struct stat st;
    FExisted = ::stat(FFileName.c_str(), &st) == 0;
    // Reading a file that is not there is an error, not a reason to make it.
    const int flags = FReadOnly ? O_RDONLY : O_RDWR | O_CREAT;
    FFile = ::open(FFileName.c_str(), flags | O_CLOEXEC, 0600);
    if (FFile < 0)
        RaiseFileError();
}

void TIpMemMapStream::OpenMap()
{
    if (FExisted) {
        struct stat st;
        if (::fstat(FFile, &st) != 0)
            RaiseFileError();
        if (S_ISDIR(st.st_mode)) {
            errno = EISDIR;
            RaiseFileError();
        }
        FDataSize = st.st_size;
        FMappedSize = st.st_size;
    } else if (::ftruncate(FFile, FMappedSize) != 0) {
        RaiseFileError();
    }
    FPosition = 0;
    if (FMappedSize == 0)
        return;
    const int protection = FReadOnly ? PROT_READ : PROT_READ | PROT_WRITE;
    void* view = ::mmap(nullptr, size_t(FMappedSize), protection, MAP_SHARED, FFile, 0);
    if (view == MAP_FAILED)
        RaiseFileError();
    FView = static_cast<char*>(view);
    ::madvise(FView, size_t(FMappedSize), FReadOnly ? MADV_SEQUENTIAL : MADV_RANDOM);
}

void TIpMemMapStream::CloseMap()
{
    if (!FView)
        return;
    if (!FReadOnly)
        ::msync(FView, size_t(FMappedSize), MS_ASYNC);
    ::munmap(FView, size_t(FMappedSize));
    FView = nullptr;
}

void TIpMemMapStream::CloseFile()
{
    if (FFile < 0)
        return;
    // The mapping's slack past the data never stays in the file.
    if (!FReadOnly && FView == nullptr)
        (void)::ftruncate(FFile, FDataSize);
    ::close(FFile);
    FFile = -1;
}

int64_t TIpMemMapStream::Read(void* buffer, int64_t count)
{
    RequireOpen("Read");
    if (FPosition < 0 || FPosition >= FDataSize || count <= 0)
        return 0;
    const int64_t n = std::min(count, FDataSize - FPosition);
    std::memcpy(buffer, FView + FPosition, size_t(n));
    FPosition += n;
    return n;
}

int64_t TIpMemMapStream::Write(const void* buffer, int64_t count)
{
    RequireOpen("Write");
    if (FReadOnly || count <= 0 || FPosition < 0)
        return 0;
    if (FPosition + count > FMappedSize) {
        if (Growable)
            Resize(std::max(int64_t(double(FMappedSize) * GrowthFactor) + FMappedSize,
                            FPosition + count));
        else
            count = std::max<int64_t>(0, FMappedSize - FPosition);
    }
    if (count > 0)
        std::memcpy(FView + FPosition, buffer, size_t(count));
    FPosition += count;
    FDataSize = std::max(FDataSize, FPosition);
    return count;
}

int64_t TIpMemMapStream::Seek(int64_t offset, int origin)
{
    RequireOpen("Seek");
    if (origin == soFromBeginning && offset < 0)
        throw EIpBaseException(IpStr(IpConst::SOriginFromBegin));
    if (origin == soFromEnd && offset > 0)
        throw EIpBaseException(IpStr(IpConst::SOriginFromEnd));
    FPosition = SeekTarget(offset, origin, FPosition, FDataSize);
    return FPosition;
}

void TIpMemMapStream::SetSize(int64_t size)
{
    size = std::max<int64_t>(size, 0);
    if (FFile >= 0)
        Resize(size);
    FMappedSize = size;
}

void TIpMemMapStream::Resize(int64_t size)
{
    const int64_t keep = size >= FMappedSize ? FPosition : 0;
    const int64_t dataSize = std::min(FDataSize, size);
    CloseMap();
    if (::ftruncate(FFile, size) != 0)
        RaiseFileError();
    FMappedSize = size;
    FExisted = true;
    OpenMap();
    // The bytes written so far stay the data; a grown mapping adds room, not data.
    FDataSize = dataSize;
    FPosition = keep;
}

// Download file

TIpDownloadFileStream::TIpDownloadFileStream(const std::string& directory)
{
    FPath = RemoveSlash(RemoveBackSlash(directory));
    if (FPath.empty() || !DirExists(FPath))
        throw EIpBaseException(IpStr(IpConst::SBadPath));
    FFileName = GetTemporaryFile(FPath);
    if (FFileName.empty())
        RaiseFileError();
    FHandle = ::open(FFileName.c_str(), O_RDWR | O_CLOEXEC);
    if (FHandle < 0)
        RaiseFileError();
}

TIpDownloadFileStream::~TIpDownloadFileStream()
{
    if (FHandle >= 0) {
        ::fsync(FHandle);
        ::close(FHandle);
    }
    if (!FRenamed && !FFileName.empty())
        ::unlink(FFileName.c_str());
}

void TIpDownloadFileStream::RaiseFileError() const
{
    throw EIpBaseException(SystemErrorText(errno) + IpStr(IpConst::SFileName) + FFileName);
}

int64_t TIpDownloadFileStream::Read(void* buffer, int64_t count)
{
    const ssize_t n = ::read(FHandle, buffer, size_t(std::max<int64_t>(count, 0)));
    if (n < 0)
        RaiseFileError();
    return n;
}

int64_t TIpDownloadFileStream::Write(const void* buffer, int64_t count)
{
    const ssize_t n = ::write(FHandle, buffer, size_t(std::max<int64_t>(count, 0)));
    if (n < 0)
        RaiseFileError();
    return n;
}

int64_t TIpDownloadFileStream::Seek(int64_t offset, int origin)
{
    static constexpr int whence[] = {SEEK_SET, SEEK_CUR, SEEK_END};
    if (origin < 0 || origin > 2)
        throw EIpBaseException(IpStr(IpConst::SBadSeekOrigin));
    const off_t at = ::lseek(FHandle, offset, whence[origin]);
    if (at < 0)
        RaiseFileError();
    return at;
}

void TIpDownloadFileStream::SetSize(int64_t size)
{
    if (::ftruncate(FHandle, size) != 0)
        RaiseFileError();
}

void TIpDownloadFileStream::Reopen(const std::string& path)
{
    FFileName = path;
    FHandle = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (FHandle < 0)
        RaiseFileError();
}

void TIpDownloadFileStream::Rename(const std::string& name)
{
    ::close(FHandle);
    FHandle = -1;
    const std::string target = FPath + "/" + name;
    if (::rename(FFileName.c_str(), target.c_str()) != 0)
        RaiseFileError();
    FRenamed = true;
    Reopen(target);
}

void TIpDownloadFileStream::Move(const std::string& path)
{
    ::lseek(FHandle, 0, SEEK_SET);
    try {
        TAtomicFileWriter copy(path);
        char buffer[65536];
        for (;;) {
            const ssize_t n = ::read(FHandle, buffer, sizeof buffer);
            if (n < 0)
                RaiseFileError();
            if (n == 0)
                break;
            copy.Write(std::string_view(buffer, size_t(n)));
        }
        copy.Commit();
    } catch (const std::system_error& e) {
        throw EIpBaseException(e.what());
    }
    ::close(FHandle);
    FHandle = -1;
    // The temporary file stays beside the copy, as it was.
    FRenamed = true;
    Reopen(path);
}
