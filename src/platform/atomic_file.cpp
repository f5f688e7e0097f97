#include "platform/atomic_file.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path)
{
    throw std::system_error(errno, std::generic_category(), what + " " + path);
}

std::atomic<TAtomicWriteHook> gHook{nullptr};

// The folder whose entries a rename into `path` changes.
std::string FolderOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

void SetAtomicWriteHook(TAtomicWriteHook hook)
{
    gHook = hook;
}

TAtomicFileWriter::TAtomicFileWriter(const std::string& path, unsigned newMode)
    : FPath(path), FTemp(path + ".tmpXXXXXX")
{
    FFd = mkstemp(FTemp.data());
    if (FFd < 0)
        Fail("cannot create", FTemp);
    // A replaced file keeps its permissions (a table the operator opened to
    // a group stays open); a new one is by default the user's alone, since
    // the station's files hold mail, addresses and passwords.
    struct stat old;
    const mode_t mode =
        stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode) ? old.st_mode & 07777 : newMode;
    fchmod(FFd, mode);
}

TAtomicFileWriter::~TAtomicFileWriter()
{
    Abandon();
}

void TAtomicFileWriter::Abandon()
{
    if (FFd >= 0) {
        close(FFd);
        unlink(FTemp.c_str());
        FFd = -1;
    }
}

void TAtomicFileWriter::Write(std::string_view data)
{
    if (FFd < 0) {
        errno = EBADF;
        Fail("cannot write", FTemp);
    }
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = write(FFd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int saved = errno;
            Abandon();
            errno = saved;
            Fail("cannot write", FTemp);
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

void TAtomicFileWriter::Commit()
{
    if (FFd < 0) {
        errno = EBADF;
        Fail("cannot flush", FTemp);
    }
    // The descriptor is closed whether or not the flush worked.
    const bool synced = fsync(FFd) == 0;
    int saved = errno;
    const bool closed = close(FFd) == 0;
    FFd = -1;
    if (!closed && synced)
        saved = errno;
    if (!synced || !closed) {
        unlink(FTemp.c_str());
        errno = saved;
        Fail("cannot flush", FTemp);
    }
    if (TAtomicWriteHook hook = gHook)
        hook(FTemp);
    if (rename(FTemp.c_str(), FPath.c_str()) != 0) {
        int saved = errno;
        unlink(FTemp.c_str());
        errno = saved;
        Fail("cannot rename to", FPath);
    }
    SyncDirectory(FolderOf(FPath));
}

namespace {

// One try at `to`, never replacing it: false with errno EEXIST when the
// name is taken.
bool MoveIfFree(const std::string& from, const std::string& to)
{
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without the flag: a link takes no name that is there.
    if (::link(from.c_str(), to.c_str()) != 0)
        return false;
    ::unlink(from.c_str());
    return true;
}

// The first of `path`, "<stem>-1<ext>", "<stem>-2<ext>", ... that `take`
// gets (false with errno EEXIST: taken); throws std::system_error.
template <class F> std::string FirstFreeName(const std::string& path, F take)
{
    const std::size_t slash = path.rfind('/');
    const std::size_t dot = path.rfind('.');
    const std::size_t cut =
        dot != std::string::npos && (slash == std::string::npos || dot > slash + 1) ? dot
                                                                                    : path.size();
    // Enough for every job a queue could number again.
    constexpr int kMaxTries = 10000;
    std::string name = path;
    for (int n = 1; n <= kMaxTries; ++n) {
        if (take(name)) {
            SyncDirectory(FolderOf(path));
            return name;
        }
        if (errno != EEXIST)
            Fail("cannot rename to", name);
        name = path.substr(0, cut) + "-" + std::to_string(n) + path.substr(cut);
    }
    errno = EEXIST;
    Fail("no free name for", path);
}

// The name /proc gives the open file `fd`, through which linkat names a
// file that has none.
std::string ProcName(int fd)
{
    return "/proc/self/fd/" + std::to_string(fd);
}

// Names the unnamed file open on `fd` `to`, which must be free.
bool LinkIfFree(int fd, const std::string& to)
{
    return ::linkat(AT_FDCWD, ProcName(fd).c_str(), AT_FDCWD, to.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

} // namespace

std::string RenameNoReplace(const std::string& temp, const std::string& path)
{
    return FirstFreeName(path, [&](const std::string& name) { return MoveIfFree(temp, name); });
}

namespace {

// A named temporary is "<name>.skipmail-part-" and six of mkstemp's letters.
constexpr std::string_view kTempMark = ".skipmail-part-";
constexpr std::size_t kTempLetters = 6;

// The extension of the last element of `name` ("" for none), in lower case.
std::string ExtensionOf(std::string_view name)
{
    const std::size_t slash = name.rfind('/');
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash + 2) ||
        dot == 0)
        return "";
    std::string ext(name.substr(dot + 1));
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return ext;
}

// A name this writer gives its temporaries, for a file of the extension
// `ext` (a name of another extension is another kind of file's).
bool IsTemporaryName(std::string_view name, const std::string& ext)
{
    if (name.size() <= kTempMark.size() + kTempLetters)
        return false;
    const std::size_t at = name.size() - kTempLetters - kTempMark.size();
    if (name.substr(at, kTempMark.size()) != kTempMark)
        return false;
    const std::string_view letters = name.substr(at + kTempMark.size());
    return std::all_of(letters.begin(), letters.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }) &&
           !ext.empty() && ExtensionOf(name.substr(0, at)) == ext;
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// True when the file open on `fd` holds nothing, or begins as `signature`
// does (a header cut short by a kill included).
bool BeginsAsOurs(int fd, std::string_view signature)
{
    std::string head(signature.size(), '\0');
    ssize_t n;
    do
        n = ::pread(fd, head.data(), head.size(), 0);
    while (n < 0 && errno == EINTR);
    return n >= 0 &&
           head.compare(0, static_cast<size_t>(n), signature, 0, static_cast<size_t>(n)) == 0;
}

// Removes the named temporaries beside `path` that this writer made and no
// writer holds any more (one killed outright: nothing else removes its
// file), as atomic_file.h says. Each is taken by its lock first, so a live
// writer's file is never touched, and removed only while this lock holds,
// under the name checked to be that file's: a writer that made its file but
// did not yet hold it finds it gone and makes another. A file that has its
// whole name too (a commit by link cut short) keeps it.
void RemoveStaleTemporaries(const std::string& path, std::string_view signature)
{
    DIR* dir = ::opendir(FolderOf(path).c_str());
    if (!dir)
        return;
    const std::string ext = ExtensionOf(path);
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir))
        if (IsTemporaryName(e->d_name, ext))
            names.emplace_back(e->d_name);
    const int at = ::dirfd(dir);
    for (const std::string& name : names) {
        // Not waiting on a FIFO of that name, nor following a link.
        const int fd = ::openat(at, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0)
            continue;
        struct stat held, named;
        if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && held.st_uid == ::geteuid() &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            ::fstatat(at, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
            SameFile(held, named) && BeginsAsOurs(fd, signature))
            ::unlinkat(at, name.c_str(), 0);
        ::close(fd);
    }
    ::closedir(dir);
}

// A named temporary beside `path`, held by its writer until it is closed.
int OpenNamed(const std::string& path, std::string& tempName, std::string_view signature)
{
    RemoveStaleTemporaries(path, signature);
    // A try is lost only to a sweep that took the file before its lock.
    constexpr int kMaxTries = 100;
    for (int n = 0; n < kMaxTries; ++n) {
        std::string name = path + std::string(kTempMark) + std::string(kTempLetters, 'X');
        const int fd = ::mkostemp(name.data(), O_CLOEXEC);
        if (fd < 0)
            return -1;
        while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
        }
        // A sweep may have taken it between its making and its lock.
        struct stat held, named;
        if (::fstat(fd, &held) == 0 && ::lstat(name.c_str(), &named) == 0 &&
            SameFile(held, named)) {
            tempName = name;
            return fd;
        }
        ::close(fd);
    }
    errno = EAGAIN;
    return -1;
}

} // namespace

int OpenUnnamed(const std::string& path, unsigned mode, std::string& tempName,
                std::string_view signature)
{
    tempName.clear();
    if (::access("/proc/self/fd", F_OK) == 0) {
        const int fd = ::open(FolderOf(path).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::fchmod(fd, mode);
            return fd;
        }
        // Anything but a file system without such files is the folder's
        // fault, and a named file would fail the same way.
        if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
            return -1;
    }
    const int fd = OpenNamed(path, tempName, signature);
    if (fd >= 0)
        ::fchmod(fd, mode);
    return fd;
}

void CommitOver(int fd, const std::string& tempName, const std::string& path)
{
    std::string temp = tempName;
    if (temp.empty()) {
        // linkat never replaces: the file gets a name of its own for the
        // moment it takes to rename it over `path`.
        for (int n = 0; temp.empty(); ++n) {
            const std::string name =
                path + ".commit" + std::to_string(::getpid()) + "-" + std::to_string(n);
            if (LinkIfFree(fd, name))
                temp = name;
            else if (errno != EEXIST || n >= 100)
                Fail("cannot commit", path);
        }
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int saved = errno;
        ::unlink(temp.c_str());
        errno = saved;
        Fail("cannot rename to", path);
    }
    SyncDirectory(FolderOf(path));
}

std::string CommitNoReplace(int fd, const std::string& tempName, const std::string& path)
{
    if (!tempName.empty())
        return RenameNoReplace(tempName, path);
    return FirstFreeName(path, [&](const std::string& name) { return LinkIfFree(fd, name); });
}

void WriteFileAtomic(const std::string& path, std::string_view data, unsigned newMode)
{
    TAtomicFileWriter writer(path, newMode);
    writer.Write(data);
    writer.Commit();
}

void SyncDirectory(const std::string& dir)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

bool AppendToFile(const std::string& path, std::string_view data)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    bool ok = true;
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        data.remove_prefix(static_cast<size_t>(n));
    }
    return ::close(fd) == 0 && ok;
}

bool ReadWholeFile(const std::string& path, std::string& out)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    // A read that fails part way must not pass for the whole file: callers
    // would file a cut message or save a cut table over the operator's file.
    std::string data;
    char buf[64 * 1024];
    bool ok = true;
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            ok = false;
            break;
        }
        if (n == 0)
            break;
        data.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    if (!ok)
        return false;
    out = std::move(data);
    return true;
}

unsigned NewFileMode()
{
    // Read, not set: umask() would change it for every thread meanwhile.
    std::string status;
    if (ReadWholeFile("/proc/self/status", status))
        if (const std::size_t at = status.find("\nUmask:"); at != std::string::npos)
            return 0666 & ~static_cast<unsigned>(std::strtoul(status.c_str() + at + 7, nullptr, 8));
    return 0644;
}

bool ReadAtMost(int fd, size_t limit, std::string& out)
{
    std::string data;
    char buf[64 * 1024];
    for (;;) {
        const size_t want = std::min(sizeof buf, limit + 1 - data.size());
        const ssize_t n = ::read(fd, buf, want);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        data.append(buf, static_cast<size_t>(n));
        if (data.size() > limit) {
            errno = EFBIG;
            return false;
        }
    }
    out = std::move(data);
    return true;
}
