#pragma once

#include <string>

// One station per data root. A second station there would run a second
// router on the same queue and save the tables and the INI file over the
// first one's, so the program holds an exclusive flock on the data directory
// itself for its whole life and a second start ends before it writes
// anything.
//
// Choices made here:
// - The directory is locked, not a file in it: nothing is written for the
//   lock, and no file can be removed from under it while it is held.
// - The kernel lets go when the process ends, however it ends (kill -9
//   too); the descriptor is closed on exec, so no program the station runs
//   keeps the directory after it.
// - A directory whose file system cannot lock it (Unavailable) does not
//   stop the station: it runs as it always did, and the caller says so.
class TStationLock {
public:
    enum class TState { Held, HeldElsewhere, Unavailable };

    explicit TStationLock(const std::string& dir);
    ~TStationLock();
    TStationLock(const TStationLock&) = delete;
    TStationLock& operator=(const TStationLock&) = delete;

    TState State() const { return FState; }
    // Why the lock could not be taken (Unavailable), as strerror says.
    const std::string& Error() const { return FError; }

private:
    int FFd = -1;
    TState FState = TState::Unavailable;
    std::string FError;
};

// The refusal of a second station in `dir`: a box naming the directory
// (answered at once where there is no display) and its text on standard
// error.
void ReportStationRunning(const std::string& dir);
