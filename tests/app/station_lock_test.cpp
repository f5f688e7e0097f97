#include <gtest/gtest.h>

#include <QProcess>
#include <filesystem>
#include <sys/stat.h>

#include "app/station_lock.h"
#include "support/scripted_dialogs.h"
#include "support/test_files.h"
#include "support/test_host.h"

namespace fs = std::filesystem;

namespace {

// `source` seen at `target` through bindfs, which passes fcntl locks on to
// the files beneath it as NFS passes them to its server; unmounted at
// destruction. Mounted() is false where it could not mount.
class TLockForwardingMount {
public:
    TLockForwardingMount(const std::string& source, const std::string& target) : FTarget(target)
    {
        fs::create_directories(target);
        FMounted = QProcess::execute("bindfs", {"--multithreaded", "--enable-lock-forwarding",
                                                QString::fromStdString(source),
                                                QString::fromStdString(target)}) == 0;
    }
    ~TLockForwardingMount()
    {
        if (FMounted && QProcess::execute("fusermount", {"-u", QString::fromStdString(FTarget)}))
            QProcess::execute("umount", {"-l", QString::fromStdString(FTarget)});
    }
    TLockForwardingMount(const TLockForwardingMount&) = delete;
    TLockForwardingMount& operator=(const TLockForwardingMount&) = delete;

    bool Mounted() const { return FMounted; }

private:
    std::string FTarget;
    bool FMounted = false;
};

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
// locked where it points, and the station is told why it runs unlocked.
TEST(StationLockTest, ALinkInPlaceOfTheLockFileIsNotFollowed)
{
    TScratch dir;
    fs::create_directory(dir.Path("elsewhere"));
    fs::create_symlink(dir.Path("elsewhere/target"), dir.Path("skipmail.lock"));
    TStationLock lock(dir.Dir());
    EXPECT_EQ(lock.State(), TStationLock::TState::Unavailable);
    EXPECT_NE(lock.Error().find("skipmail.lock"), std::string::npos) << lock.Error();
    EXPECT_FALSE(fs::exists(dir.Path("elsewhere/target")));
}

// A station reaching the data root through a network or FUSE file system
// sees the one that runs there, and the other way round.
TEST(StationLockTest, AMountThatPassesLocksOnSeesTheHolder)
{
    if (!HaveProgram("bindfs"))
        SKIP_WITHOUT_TOOL("bindfs is not installed");
    if (!fs::exists("/dev/fuse"))
        SKIP_WITHOUT_TOOL("this machine has no FUSE (/dev/fuse)");
    TScratch scratch;
    const std::string data = scratch.Path("data");
    fs::create_directory(data);
    TLockForwardingMount mount(data, scratch.Path("mnt"));
    if (!mount.Mounted())
        SKIP_WITHOUT_TOOL("bindfs cannot mount here");
    {
        TStationLock here(data);
        ASSERT_EQ(here.State(), TStationLock::TState::Held);
        EXPECT_EQ(TStationLock(scratch.Path("mnt")).State(), TStationLock::TState::HeldElsewhere);
    }
    TStationLock there(scratch.Path("mnt"));
    ASSERT_EQ(there.State(), TStationLock::TState::Held);
    EXPECT_EQ(TStationLock(data).State(), TStationLock::TState::HeldElsewhere);
}

TEST(StationLockTest, TheRefusalNamesTheDirectoryInABox)
{
    TScriptedDialogs dialogs;
    dialogs.ExpectBox("already running in /srv/station.", IDOK);
    ReportStationRunning("/srv/station");
    ASSERT_EQ(dialogs.Records().size(), 1u);
    EXPECT_EQ(dialogs.Records()[0].title, "Station Already Running");
    EXPECT_EQ(dialogs.Records()[0].icon, TMsgIcon::Error);
}
