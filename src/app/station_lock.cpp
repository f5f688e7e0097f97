#include "app/station_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/dialogs.h"

namespace {

// Errors of a file system (or kernel) that keeps no locks at all, as
// opposed to a file that cannot be locked.
bool NoLocksKept(int err)
{
    return err == ENOLCK || err == EOPNOTSUPP || err == ENOSYS;
}

// An open file description lock of `type` on the whole file: 0, or the
// errno it failed with.
int LockWhole(int fd, short type)
{
    struct flock whole {};
    whole.l_type = type;
    whole.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLK, &whole) == 0 ? 0 : errno;
}

// The failure of a lock that another holder's lock stands in the way of.
bool HeldByAnother(int err)
{
    return err == EAGAIN || err == EACCES;
}

// What stands in the way of a station's write lock on the file open at `fd`
// (for reading will do), without taking a lock: F_UNLCK where nothing,
// F_WRLCK where a station holds it, F_RDLCK where another program holds a
// read lock; or -errno.
int Holder(int fd)
{
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_GETLK, &whole) == 0 ? whole.l_type : -errno;
}

// The holder of `path` seen through a descriptor for reading only, where
// writing is not allowed: F_UNLCK where none is seen.
int SeenHolder(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return F_UNLCK;
    struct stat st {};
    const int holder = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? Holder(fd) : F_UNLCK;
    ::close(fd);
    return holder;
}

} // namespace

TStationLock::TStationLock(const std::string& dir, TMode mode)
{
    const bool take = mode == TMode::Take;
    const std::string path = dir + "/" + kStationLockFile;
    // Non-blocking: a FIFO put there must not hang the start.
    const int fd = ::open(
        path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | (take ? O_CREAT : 0), 0600);
    if (fd < 0) {
        int err = errno;
        if (err == ELOOP) {
            FError = path + ": is a symbolic link";
            return;
        }
        // Asked where no station has run yet: a station would make the file,
        // if its user may write into the folder.
        if (!take && err == ENOENT) {
            if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0) {
                FState = TState::Free;
                return;
            }
            err = errno;
        }
        FError = path + ": cannot be opened for writing: " + std::strerror(err);
        // A read-only view of a running station's folder, or another user's
        // file that may be read: the holder is still seen.
        if (SeenHolder(path) == F_WRLCK)
            FState = TState::HeldElsewhere;
        return;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        FError = path + ": not a regular file";
        return;
    }
    int err = 0;
    if (take) {
        err = LockWhole(fd, F_WRLCK);
        if (err == 0) {
            FFd = fd;
            FState = TState::Held;
            return;
        }
    }
    // Taken or asked, in the way of the lock is a station's write lock or
    // another program's read lock; the question tells which.
    const int holder = err == 0 || HeldByAnother(err) ? Holder(fd) : -err;
    ::close(fd);
    if (holder == F_UNLCK) {
        // Gone since the lock failed: its holder was there a moment ago.
        FState = take ? TState::HeldElsewhere : TState::Free;
    } else if (holder == F_WRLCK) {
        FState = TState::HeldElsewhere;
    } else if (holder == F_RDLCK) {
        FError = path + ": read-locked by another program, not by a station";
    } else {
        FError = path + ": " + std::strerror(-holder);
        if (NoLocksKept(-holder))
            FState = TState::NoLocks;
    }
}

TStationLock::~TStationLock()
{
    if (FFd >= 0)
        ::close(FFd);
}

int AnswerStationRunning(const std::string& dir)
{
    std::error_code ec;
    std::string absolute = std::filesystem::absolute(dir, ec).lexically_normal().string();
    if (ec)
        absolute = dir;
    while (absolute.size() > 1 && absolute.back() == '/')
        absolute.pop_back();
    const TStationLock lock(absolute, TStationLock::TMode::Ask);
    switch (lock.State()) {
    case TStationLock::TState::HeldElsewhere:
        return 0;
    case TStationLock::TState::Unlockable:
        std::printf("%s: no station can start in %s\n", lock.Error().c_str(), absolute.c_str());
        return 0;
    default:
        return 1;
    }
}

void ReportStationRunning(const std::string& dir)
{
    const std::string text = "A station is already running in " + dir +
                             ".\n\nOnly one station can use a data directory; this one ends.";
    // Without a display the box layer writes the text to standard error
    // itself; once is enough.
    if (!NoDisplay())
        std::fprintf(stderr, "skipmail: A station is already running in %s\n", dir.c_str());
    ShowMessageBox(text, "Station Already Running", MB_OK, TMsgIcon::Error);
}

void ReportStationUnlockable(const std::string& dir, const std::string& why)
{
    const std::string text = "Cannot lock the data directory " + dir + " (" + why +
                             ").\n\nOnly one station can use a data directory, and this one "
                             "cannot make sure it is the only one there; it ends.";
    if (!NoDisplay())
        std::fprintf(stderr, "skipmail: cannot lock the data directory %s (%s); the station ends\n",
                     dir.c_str(), why.c_str());
    ShowMessageBox(text, "Data Directory Not Locked", MB_OK, TMsgIcon::Error);
}
