#include <gtest/gtest.h>

#include <QProcess>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "app/station_lock.h"
#include "support/bindfs_mount.h"
#include "support/scripted_dialogs.h"
#include "support/test_files.h"
#include "support/test_host.h"

namespace fs = std::filesystem;

// Failures name the state.
void PrintTo(TStationLock::TState state, std::ostream* os)
{
    static const char* const names[] = {"Held", "HeldElsewhere", "Unlockable", "NoLocks", "Free"};
    *os << names[static_cast<int>(state)];
}

namespace {

// `source` seen read-only at `target` through a bind mount, which shares the
// files' locks; unmounted at destruction.
class TReadOnlyBindMount {
public:
    TReadOnlyBindMount(const std::string& source, const std::string& target) : FTarget(target)
    {
        fs::create_directories(target);
        FMounted = QProcess::execute("mount", {"--bind", "-o", "ro", QString::fromStdString(source),
                                               QString::fromStdString(target)}) == 0;
    }
    ~TReadOnlyBindMount()
    {
        if (FMounted)
            QProcess::execute("umount", {QString::fromStdString(FTarget)});
    }
    TReadOnlyBindMount(const TReadOnlyBindMount&) = delete;
    TReadOnlyBindMount& operator=(const TReadOnlyBindMount&) = delete;

    bool Mounted() const { return FMounted; }

private:
    std::string FTarget;
    bool FMounted = false;
};

// `view` is a read-only view of the fresh folder `data`. A station reaching
// its data root through it cannot write there, so it never runs; it still
// sees the one that runs in `data`, and says so.
void ExpectAReadOnlyViewEndsTheStart(const std::string& data, const std::string& view)
{
    // No station has run: the lock file cannot even be made. Asked, the
    // lock says so too, and makes nothing where it could.
    EXPECT_EQ(TStationLock(view).State(), TStationLock::TState::Unlockable);
    const TStationLock asked(view, TStationLock::TMode::Ask);
    EXPECT_EQ(asked.State(), TStationLock::TState::Unlockable);
    EXPECT_EQ(asked.Error(), view + "/skipmail.lock: cannot be opened for writing: Read-only file "
                                    "system");
    EXPECT_EQ(TStationLock(data, TStationLock::TMode::Ask).State(), TStationLock::TState::Free);
    EXPECT_FALSE(fs::exists(data + "/skipmail.lock"));
    {
        TStationLock here(data);
        ASSERT_EQ(here.State(), TStationLock::TState::Held);
        EXPECT_EQ(TStationLock(view).State(), TStationLock::TState::HeldElsewhere);
        EXPECT_EQ(TStationLock(view, TStationLock::TMode::Ask).State(),
                  TStationLock::TState::HeldElsewhere);
    }
    TStationLock there(view);
    EXPECT_EQ(there.State(), TStationLock::TState::Unlockable);
    EXPECT_NE(there.Error().find("Read-only file system"), std::string::npos) << there.Error();
    EXPECT_EQ(TStationLock(view, TStationLock::TMode::Ask).Error(), there.Error());
    // The look through the view left nothing that keeps a station out.
    EXPECT_EQ(TStationLock(data).State(), TStationLock::TState::Held);
}

} // namespace

TEST(StationLockTest, OneHolderPerDirectoryUntilItEnds)
{
    TScratch dir;
    const std::string lockFile = dir.Path("skipmail.lock");
    struct stat made {};
    {
        TStationLock first(dir.Dir());
        EXPECT_EQ(first.State(), TStationLock::TState::Held);
        // Another open of the file, as another process makes it.
        TStationLock second(dir.Dir());
        EXPECT_EQ(second.State(), TStationLock::TState::HeldElsewhere);
        EXPECT_EQ(first.State(), TStationLock::TState::Held);
        // Named by the process that holds it, as the kernel tells.
        EXPECT_EQ(second.HolderPid(), ::getpid());
        EXPECT_EQ(TStationLock(dir.Dir(), TStationLock::TMode::Ask).HolderPid(), ::getpid());
        // Nothing is written for it but the empty lock file, the user's own.
        ASSERT_EQ(::stat(lockFile.c_str(), &made), 0);
        EXPECT_EQ(made.st_size, 0);
        EXPECT_EQ(made.st_mode & 0777, 0600u);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.Dir()), fs::directory_iterator()), 1);
    }
    TStationLock next(dir.Dir());
    EXPECT_EQ(next.State(), TStationLock::TState::Held);
    // The same file: a new one would let two stations each lock one.
    struct stat now {};
    ASSERT_EQ(::stat(lockFile.c_str(), &now), 0);
    EXPECT_EQ(now.st_ino, made.st_ino);
}

// A program the station started (a dial-up, a print job) may outlive it;
// the directory must not stay locked with it.
TEST(StationLockTest, ProgramsTheStationRunsDoNotKeepTheDirectory)
{
    TScratch dir;
    QProcess child;
    {
        TStationLock lock(dir.Dir());
        ASSERT_EQ(lock.State(), TStationLock::TState::Held);
        child.start("sleep", {"30"});
        ASSERT_TRUE(child.waitForStarted(10000));
    }
    EXPECT_EQ(TStationLock(dir.Dir()).State(), TStationLock::TState::Held);
    child.kill();
    child.waitForFinished(10000);
}

// A link in place of the lock file is not followed: nothing is created or
// locked where it points, and the station does not run, since it cannot
// tell whether another does; whether it points at nothing or at a file.
TEST(StationLockTest, ALinkInPlaceOfTheLockFileIsNotFollowed)
{
    TScratch dir;
    fs::create_directory(dir.Path("elsewhere"));
    fs::create_symlink(dir.Path("elsewhere/target"), dir.Path("skipmail.lock"));
    TStationLock lock(dir.Dir());
    EXPECT_EQ(lock.State(), TStationLock::TState::Unlockable);
    EXPECT_NE(lock.Error().find("skipmail.lock: is a symbolic link"), std::string::npos)
        << lock.Error();
    EXPECT_FALSE(fs::exists(dir.Path("elsewhere/target")));

    // Another station's lock file: the link neither takes it nor sees it.
    TStationLock other(dir.Path("elsewhere"));
    ASSERT_EQ(other.State(), TStationLock::TState::Held);
    fs::remove(dir.Path("skipmail.lock"));
    fs::create_symlink(dir.Path("elsewhere/skipmail.lock"), dir.Path("skipmail.lock"));
    EXPECT_EQ(TStationLock(dir.Dir()).State(), TStationLock::TState::Unlockable);
    EXPECT_EQ(TStationLock(dir.Path("elsewhere")).State(), TStationLock::TState::HeldElsewhere);
}

// A station reaching the data root through a network or FUSE file system
// sees the one that runs there, and the other way round.
TEST(StationLockTest, AMountThatPassesLocksOnSeesTheHolder)
{
    if (const std::string missing = WithoutBindfs(); !missing.empty())
        SKIP_WITHOUT_TOOL(missing);
    TScratch scratch;
    const std::string data = scratch.Path("data");
    fs::create_directory(data);
    TLockForwardingMount mount(data, scratch.Path("mnt"));
    if (!mount.Mounted())
        SKIP_WITHOUT_TOOL(kBindfsCannotMount);
    {
        TStationLock here(data);
        ASSERT_EQ(here.State(), TStationLock::TState::Held);
        EXPECT_EQ(TStationLock(scratch.Path("mnt")).State(), TStationLock::TState::HeldElsewhere);
    }
    TStationLock there(scratch.Path("mnt"));
    ASSERT_EQ(there.State(), TStationLock::TState::Held);
    EXPECT_EQ(TStationLock(data).State(), TStationLock::TState::HeldElsewhere);
}

// A read-only view of a station's folder, as a read-only bind mount gives
// (or another machine's read-only export).
TEST(StationLockTest, AReadOnlyBindMountSeesTheHolderAndEndsTheStart)
{
    if (::geteuid() != 0)
        SKIP_WITHOUT_TOOL("a bind mount needs root");
    TScratch scratch;
    const std::string data = scratch.Path("data");
    fs::create_directory(data);
    TReadOnlyBindMount mount(data, scratch.Path("mnt"));
    if (!mount.Mounted())
        SKIP_WITHOUT_TOOL("mount cannot bind-mount here");
    ExpectAReadOnlyViewEndsTheStart(data, scratch.Path("mnt"));
}

TEST(StationLockTest, AReadOnlyMountThatPassesLocksOnSeesTheHolderAndEndsTheStart)
{
    if (const std::string missing = WithoutBindfs(); !missing.empty())
        SKIP_WITHOUT_TOOL(missing);
    TScratch scratch;
    const std::string data = scratch.Path("data");
    fs::create_directory(data);
    TLockForwardingMount mount(data, scratch.Path("mnt"), true);
    if (!mount.Mounted())
        SKIP_WITHOUT_TOOL(kBindfsCannotMount);
    ExpectAReadOnlyViewEndsTheStart(data, scratch.Path("mnt"));
}

// Asked rather than taken, the lock gives the answer a station starting now
// would get, and changes nothing: no file is made, no lock is left or held
// even for a moment (a station starting meanwhile is not refused).
TEST(StationLockTest, AskedItGivesTheTakersAnswerAndChangesNothing)
{
    using TMode = TStationLock::TMode;
    using TState = TStationLock::TState;
    TScratch dir;
    EXPECT_EQ(TStationLock(dir.Dir(), TMode::Ask).State(), TState::Free);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Dir()), fs::directory_iterator()), 0);
    // A folder not made yet: as `mkdir -p` would make it, where it can.
    EXPECT_EQ(TStationLock(dir.Path("not/made"), TMode::Ask).State(), TState::Free);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Dir()), fs::directory_iterator()), 0);
    WriteFile(dir.Path("file"), "");
    const TStationLock underFile(dir.Path("file/sub"), TMode::Ask);
    EXPECT_EQ(underFile.State(), TState::Unlockable);
    EXPECT_EQ(underFile.Error(), dir.Path("file/sub/skipmail.lock") +
                                     ": cannot be opened for writing: Not a directory");
    fs::remove(dir.Path("file"));
    {
        TStationLock held(dir.Dir());
        ASSERT_EQ(held.State(), TState::Held);
        EXPECT_EQ(TStationLock(dir.Dir(), TMode::Ask).State(), TState::HeldElsewhere);
    }
    EXPECT_EQ(TStationLock(dir.Dir(), TMode::Ask).State(), TState::Free);
    EXPECT_EQ(TStationLock(dir.Dir()).State(), TState::Held);

    // Where the station refuses, for the same reason in the same words.
    const std::string path = dir.Path("skipmail.lock");
    fs::remove(path);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(TStationLock(dir.Dir(), TMode::Ask).Error(), path + ": not a regular file");
    EXPECT_EQ(TStationLock(dir.Dir()).Error(), path + ": not a regular file");
    fs::remove(path);
    fs::create_symlink(dir.Path("nowhere"), path);
    const TStationLock asked(dir.Dir(), TMode::Ask);
    EXPECT_EQ(asked.State(), TState::Unlockable);
    EXPECT_EQ(asked.Error(), TStationLock(dir.Dir()).Error());
    EXPECT_FALSE(fs::exists(dir.Path("nowhere")));
}

// A station holds a write lock; a read lock on the file is another
// program's: the start ends, saying so rather than that a station runs, and
// asked, the lock says the same.
TEST(StationLockTest, AReadLockIsAnotherProgramsNotAStation)
{
    TScratch dir;
    QProcess other;
    other.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    other.start("python3", {"-c",
                            "import fcntl, os, sys\n"
                            "fd = os.open(sys.argv[1], os.O_RDONLY | os.O_CREAT, 0o600)\n"
                            "fcntl.lockf(fd, fcntl.LOCK_SH)\n"
                            "print('held', flush=True)\n"
                            "sys.stdin.read()\n",
                            QString::fromStdString(dir.Path("skipmail.lock"))});
    ASSERT_TRUE(other.waitForReadyRead(20000));
    ASSERT_EQ(other.readLine().trimmed(), "held");
    const std::string why =
        dir.Path("skipmail.lock") + ": read-locked by another program, not by a station";
    TStationLock lock(dir.Dir());
    EXPECT_EQ(lock.State(), TStationLock::TState::Unlockable);
    EXPECT_EQ(lock.Error(), why);
    const TStationLock asked(dir.Dir(), TStationLock::TMode::Ask);
    EXPECT_EQ(asked.State(), TStationLock::TState::Unlockable);
    EXPECT_EQ(asked.Error(), why);
    other.closeWriteChannel();
    ASSERT_TRUE(other.waitForFinished(20000));
    EXPECT_EQ(TStationLock(dir.Dir()).State(), TStationLock::TState::Held);
}

TEST(StationLockTest, TheRefusalNamesTheDirectoryInABox)
{
    TScriptedDialogs dialogs;
    dialogs.ExpectBox("already running in /srv/station.", IDOK);
    ReportStationRunning("/srv/station");
    dialogs.ExpectBox("Cannot lock the data directory /srv/station "
                      "(/srv/station/skipmail.lock: is a symbolic link).",
                      IDOK);
    ReportStationUnlockable("/srv/station", "/srv/station/skipmail.lock: is a symbolic link");
    ASSERT_EQ(dialogs.Records().size(), 2u);
    EXPECT_EQ(dialogs.Records()[0].title, "Station Already Running");
    EXPECT_EQ(dialogs.Records()[0].icon, TMsgIcon::Error);
    EXPECT_EQ(dialogs.Records()[1].title, "Data Directory Not Locked");
    EXPECT_EQ(dialogs.Records()[1].icon, TMsgIcon::Error);
}
