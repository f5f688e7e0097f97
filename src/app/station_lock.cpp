#include "app/station_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
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

// The holder of the lock file seen through `fd`, open for reading only
// where writing is not allowed: F_UNLCK where none is seen.
int SeenHolder(int fd)
{
    struct stat st {};
    return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? Holder(fd) : F_UNLCK;
}

// 0 where this user may make the lock file in `dir`, making `dir` first
// where it is missing as `mkdir -p` would; else the errno in the way.
int MakeableDir(const std::filesystem::path& dir)
{
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0)
        return errno == ENOENT && dir.has_relative_path() ? MakeableDir(dir.parent_path()) : errno;
    if (!S_ISDIR(st.st_mode))
        return ENOTDIR;
    return ::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0 ? 0 : errno;
}

// Calls `f` with each name in the folder `dir` but . and ..; false where
// the folder cannot be read.
template <class F> bool EachName(const std::string& dir, F f)
{
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return false;
    while (const dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            f(std::string(e->d_name));
    ::closedir(d);
    return true;
}

// The process holding a write lock on the file open at `fd`, 0 where none
// is seen: each descriptor's fdinfo lists the locks its open file
// description holds, with the file's device and inode as /proc/locks has
// them.
int WriteLockHolder(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return 0;
    char key[64];
    std::snprintf(key, sizeof key, " %02x:%02x:%llu ", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long long>(st.st_ino));
    int holder = 0;
    EachName("/proc", [&](const std::string& pid) {
        if (holder || pid.find_first_not_of("0123456789") != std::string::npos)
            return;
        const std::string info = "/proc/" + pid + "/fdinfo";
        EachName(info, [&](const std::string& n) {
            std::ifstream in(info + "/" + n);
            for (std::string line; !holder && std::getline(in, line);)
                if (line.rfind("lock:", 0) == 0 && line.find(key) != std::string::npos &&
                    line.find(" WRITE ") != std::string::npos)
                    holder = std::stoi(pid);
        });
    });
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
        // if its user may write into the folder, or make the folder first.
        if (!take && err == ENOENT) {
            const bool missing = ::access(dir.c_str(), F_OK) != 0 && errno == ENOENT;
            err = MakeableDir(dir);
            if (err == 0) {
                FState = TState::Free;
                return;
            }
            if (missing) {
                FError = dir + ": cannot be made: " + std::strerror(err);
                return;
            }
        }
        FError = path + ": cannot be opened for writing: " + std::strerror(err);
        // A read-only view of a running station's folder, or another user's
        // file that may be read: the holder is still seen.
        const int seen = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (seen >= 0 && SeenHolder(seen) == F_WRLCK) {
            FState = TState::HeldElsewhere;
            FHolder = WriteLockHolder(seen);
        }
        if (seen >= 0)
            ::close(seen);
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
    if (holder == F_WRLCK)
        FHolder = WriteLockHolder(fd);
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
        if (lock.HolderPid() > 0)
            std::printf("a station is already running in %s (process %d: kill %d stops it)\n",
                        absolute.c_str(), lock.HolderPid(), lock.HolderPid());
        else
            std::printf("a station is already running in %s\n", absolute.c_str());
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
