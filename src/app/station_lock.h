#pragma once

#include <string>

// One station per data root. A second station there would run a second
// router on the same queue and save the tables and the INI file over the
// first one's, so the program holds the lock file `skipmail.lock` of the data
// root locked for its whole life and a second start ends before it writes
// anything.
//
// Choices made here:
// - A regular file is locked with an open file description lock
//   (F_OFD_SETLK): network and FUSE file systems pass such a lock on to the
//   machine that keeps the files (flock on the directory never leaves one
//   kernel), so a station reaching the data root through such a mount sees
//   the one that runs there. A classic fcntl lock would do too, but it goes
//   whenever the process closes any descriptor of the file.
// - The file is created when missing, never through a symbolic link, and it
//   is never replaced or removed: a new file would be a new inode, and two
//   stations could each hold a lock on one of them. It stays empty.
// - The kernel (or the file server) lets go when the process ends, however
//   it ends (kill -9 too); the descriptor is closed on exec, so no program
//   the station runs keeps the lock after it.
// - A lock file that cannot be made, opened for writing or locked (a
//   symbolic link, another user's file, a read-only view of the folder)
//   ends the start as a held lock does: a station that cannot lock cannot
//   tell whether another runs, and one that cannot write the lock file
//   cannot run on that data root anyway. Where only reading is allowed,
//   asking who holds the file (F_OFD_GETLK) still sees a running station.
// - A station holds a write lock. A read lock in its way is another
//   program's, and the refusal says so rather than that a station runs.
// - Only a file system that keeps no locks at all (NoLocks) lets the station
//   run unlocked, as it always did there; the caller says so.
// - Asked (TMode::Ask) rather than taken, the same rules give the answer a
//   station starting now would get, without making the file or taking any
//   lock (F_OFD_GETLK names the holder's lock): the demo scripts and
//   scripts/station-running ask the program itself (skipmail
//   --station-running DIR), so the two never disagree. A folder not made
//   yet gets the answer for the folder as `mkdir -p` would make it.
// - A held lock names the process that holds it where the kernel tells:
//   the lock tables give no process for an open file description lock, so
//   it is found among the processes' descriptors (/proc/PID/fdinfo), which
//   this user may read for its own processes; a holder on another machine
//   or of another user goes unnamed.
inline constexpr const char* kStationLockFile = "skipmail.lock";

class TStationLock {
public:
    // Unlockable: the station must not run here; NoLocks: it runs unlocked;
    // Free, only asked: a station starting now would hold the lock.
    enum class TState { Held, HeldElsewhere, Unlockable, NoLocks, Free };
    enum class TMode { Take, Ask };

    explicit TStationLock(const std::string& dir, TMode mode = TMode::Take);
    ~TStationLock();
    TStationLock(const TStationLock&) = delete;
    TStationLock& operator=(const TStationLock&) = delete;

    TState State() const { return FState; }
    // Why the lock could not be taken (Unlockable, NoLocks): the lock file's
    // name and what went wrong.
    const std::string& Error() const { return FError; }
    // The process holding the lock (HeldElsewhere); 0 where none is seen.
    int HolderPid() const { return FHolder; }

private:
    int FFd = -1;
    int FHolder = 0;
    TState FState = TState::Unlockable;
    std::string FError;
};

// The station's answer for `dir`, as scripts/station-running gives it: 0
// where a station runs there (naming its process and how to stop it where
// known) or where none can start (why), on standard output; 1 where one
// could start (or run unlocked).
int AnswerStationRunning(const std::string& dir);

// The refusal of a second station in `dir`: a box naming the directory
// (answered at once where there is no display) and its text on standard
// error.
void ReportStationRunning(const std::string& dir);

// The refusal to run in `dir` whose lock file cannot be locked (`why`, as
// Error() gives it), the same way.
void ReportStationUnlockable(const std::string& dir, const std::string& why);
