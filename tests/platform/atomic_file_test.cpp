#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QTemporaryDir>
#include <filesystem>

#include "platform/atomic_file.h"

namespace fs = std::filesystem;

// Each test has a directory of its own: several test runs may share the machine.
TEST(AtomicFile, ReplacesWholeAndLeavesNoTemporaries)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const fs::path dir = tmp.path().toStdString();
    std::string path = (dir / "f.dat").string();
    WriteFileAtomic(path, "first\r\n");
    WriteFileAtomic(path, std::string("sec\0ond\r\n", 9));
    std::string got;
    ASSERT_TRUE(ReadWholeFile(path, got));
    EXPECT_EQ(got, std::string("sec\0ond\r\n", 9));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    EXPECT_THROW(WriteFileAtomic((dir / "missing" / "x").string(), "x"), std::system_error);
}

TEST(AtomicFile, AppendCreatesAndExtendsAndReportsFailure)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const fs::path dir = tmp.path().toStdString();
    std::string path = (dir / "log.txt").string();
    EXPECT_TRUE(AppendToFile(path, "one\r\n"));
    EXPECT_TRUE(AppendToFile(path, std::string("t\0o\r\n", 5)));
    std::string got;
    ASSERT_TRUE(ReadWholeFile(path, got));
    EXPECT_EQ(got, std::string("one\r\nt\0o\r\n", 10));
    EXPECT_FALSE(AppendToFile((dir / "missing" / "x").string(), "x"));
    // A full device takes the bytes only in part, or not at all.
    if (fs::exists("/dev/full")) {
        EXPECT_FALSE(AppendToFile("/dev/full", "x"));
    }
}

TEST(AtomicFile, ReadFailsOnAnUnreadableFileInsteadOfGivingPartOfIt)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const fs::path dir = tmp.path().toStdString();
    std::string got = "kept";
    EXPECT_FALSE(ReadWholeFile((dir / "missing").string(), got));
    // A directory opens but every read fails.
    EXPECT_FALSE(ReadWholeFile(dir.string(), got));
    EXPECT_EQ(got, "kept");
    const std::string big(200000, 'x');
    WriteFileAtomic((dir / "big").string(), big);
    ASSERT_TRUE(ReadWholeFile((dir / "big").string(), got));
    EXPECT_EQ(got, big);
}

// New files are the user's alone whatever the umask; a replaced file keeps
// the permissions the operator gave it.
TEST(AtomicFile, NewFilesAreTheUsersAloneAndAReplacedFileKeepsItsPermissions)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const mode_t umaskBefore = ::umask(022);
    const std::string path = (fs::path(tmp.path().toStdString()) / "users.dat").string();
    WriteFileAtomic(path, "a\r\n");
    EXPECT_EQ(fs::status(path).permissions(), fs::perms(0600));
    fs::permissions(path, fs::perms(0640));
    WriteFileAtomic(path, "b\r\n");
    EXPECT_EQ(fs::status(path).permissions(), fs::perms(0640));
    const std::string log = (fs::path(tmp.path().toStdString()) / "log.txt").string();
    EXPECT_TRUE(AppendToFile(log, "line\r\n"));
    EXPECT_EQ(fs::status(log).permissions(), fs::perms(0600));
    ::umask(umaskBefore);
}
