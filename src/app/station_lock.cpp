#include "app/station_lock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/dialogs.h"

TStationLock::TStationLock(const std::string& dir)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        FError = std::strerror(errno);
        return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        ::close(fd);
        if (err == EWOULDBLOCK)
            FState = TState::HeldElsewhere;
        else
            FError = std::strerror(err);
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
