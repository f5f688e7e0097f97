#include "app/station_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
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

// True when a station holds `path` locked: asked with a read lock, which needs
// the file open for reading only and conflicts with the station's write lock.
bool SeenHeld(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st {};
    const bool held =
        ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && HeldByAnother(LockWhole(fd, F_RDLCK));
    ::close(fd);
    return held;
}

} // namespace

TStationLock::TStationLock(const std::string& dir)
{
    const std::string path = dir + "/" + kStationLockFile;
    // Non-blocking: a FIFO put there must not hang the start.
    const int fd =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        const int err = errno;
        if (err == ELOOP) {
            FError = path + ": is a symbolic link";
            return;
        }
        FError = path + ": cannot be opened for writing: " + std::strerror(err);
        // A read-only view of a running station's folder, or another user's
        // file that may be read: the holder is still seen.
        if (SeenHeld(path))
            FState = TState::HeldElsewhere;
        return;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        FError = path + ": not a regular file";
        return;
    }
    if (const int err = LockWhole(fd, F_WRLCK); err != 0) {
        ::close(fd);
        if (HeldByAnother(err)) {
            FState = TState::HeldElsewhere;
            return;
        }
        FError = path + ": " + std::strerror(err);
        if (NoLocksKept(err))
            FState = TState::NoLocks;
        return;
    }
    FFd = fd;
    FState = TState::Held;
}

TStationLock::~TStationLock()
{
    if (FFd >= 0)
        ::close(FFd);
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
