#include "platform/atomic_file.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {

[[noreturn]] void Fail(const std::string& what, const std::string& path)
{
    throw std::system_error(errno, std::generic_category(), what + " " + path);
}

std::atomic<TAtomicWriteHook> gHook{nullptr};

} // namespace

void SetAtomicWriteHook(TAtomicWriteHook hook)
{
    gHook = hook;
}

void WriteFileAtomic(const std::string& path, std::string_view data)
{
    std::string tmp = path + ".tmpXXXXXX";
    int fd = mkstemp(tmp.data());
    if (fd < 0)
        Fail("cannot create", tmp);
    // A replaced file keeps its permissions (a table the operator opened to
    // a group stays open); a new one is the user's alone, since the station's
    // files hold mail, addresses and passwords.
    struct stat old;
    const mode_t mode =
        stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode) ? old.st_mode & 07777 : 0600;
    fchmod(fd, mode);
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            int saved = errno;
            close(fd);
            unlink(tmp.c_str());
            errno = saved;
            Fail("cannot write", tmp);
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    // The descriptor is closed whether or not the flush worked.
    const bool synced = fsync(fd) == 0;
    int saved = errno;
    const bool closed = close(fd) == 0;
    if (!closed && synced)
        saved = errno;
    if (!synced || !closed) {
        unlink(tmp.c_str());
        errno = saved;
        Fail("cannot flush", tmp);
    }
    if (TAtomicWriteHook hook = gHook)
        hook(tmp);
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        int saved = errno;
        unlink(tmp.c_str());
        errno = saved;
        Fail("cannot rename to", path);
    }
    const size_t slash = path.rfind('/');
    SyncDirectory(slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash));
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
