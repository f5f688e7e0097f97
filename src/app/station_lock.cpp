#include "app/station_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/dialogs.h"

TStationLock::TStationLock(const std::string& dir)
{
    const std::string path = dir + "/" + kStationLockFile;
    // Non-blocking: a FIFO put there must not hang the start.
    const int fd =
        ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        const int err = errno;
        FError =
            path + (err == ELOOP ? ": is a symbolic link" : ": " + std::string(std::strerror(err)));
        return;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        FError = path + ": not a regular file";
        return;
    }
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &whole) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EAGAIN || err == EACCES)
            FState = TState::HeldElsewhere;
        else
            FError = path + ": " + std::strerror(err);
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
