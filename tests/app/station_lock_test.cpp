#include <gtest/gtest.h>

#include <QProcess>
#include <filesystem>

#include "app/station_lock.h"
#include "support/scripted_dialogs.h"
#include "support/test_files.h"

TEST(StationLockTest, OneHolderPerDirectoryUntilItEnds)
{
    TScratch dir;
    {
        TStationLock first(dir.Dir());
        EXPECT_EQ(first.State(), TStationLock::TState::Held);
        // Another open of the directory, as another process makes it.
        TStationLock second(dir.Dir());
        EXPECT_EQ(second.State(), TStationLock::TState::HeldElsewhere);
        EXPECT_EQ(first.State(), TStationLock::TState::Held);
        // Nothing is written for it.
        EXPECT_TRUE(std::filesystem::is_empty(dir.Dir()));
    }
    TStationLock next(dir.Dir());
    EXPECT_EQ(next.State(), TStationLock::TState::Held);
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

TEST(StationLockTest, TheRefusalNamesTheDirectoryInABox)
{
    TScriptedDialogs dialogs;
    dialogs.ExpectBox("already running in /srv/station.", IDOK);
    ReportStationRunning("/srv/station");
    ASSERT_EQ(dialogs.Records().size(), 1u);
    EXPECT_EQ(dialogs.Records()[0].title, "Station Already Running");
    EXPECT_EQ(dialogs.Records()[0].icon, TMsgIcon::Error);
}
