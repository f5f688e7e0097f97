#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <string_view>
#include <vector>

#include <QTemporaryDir>
#include <filesystem>

#include "platform/atomic_file.h"
#include "support/bindfs_mount.h"
#include "support/test_files.h"
#include "support/test_host.h"

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

// Files that another writer made keep their bytes: the new one takes the
// first name that is free.
TEST(AtomicFile, ANoReplaceRenameTakesTheFirstFreeName)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const fs::path dir = tmp.path().toStdString();
    const auto read = [](const fs::path& path) {
        std::string got;
        EXPECT_TRUE(ReadWholeFile(path.string(), got)) << path;
        return got;
    };
    const auto temp = [&](const std::string& bytes) {
        const std::string path = (dir / "temp").string();
        WriteFileAtomic(path, bytes);
        return path;
    };
    WriteFileAtomic((dir / "FAX6.APF").string(), "earlier");
    WriteFileAtomic((dir / "FAX6-1.APF").string(), "earlier still");
    EXPECT_EQ(RenameNoReplace(temp("new"), (dir / "FAX6.APF").string()),
              (dir / "FAX6-2.APF").string());
    EXPECT_EQ(read(dir / "FAX6.APF"), "earlier");
    EXPECT_EQ(read(dir / "FAX6-1.APF"), "earlier still");
    EXPECT_EQ(read(dir / "FAX6-2.APF"), "new");
    EXPECT_FALSE(fs::exists(dir / "temp"));
    EXPECT_EQ(RenameNoReplace(temp("free"), (dir / "FAX7.APF").string()),
              (dir / "FAX7.APF").string());

    // A dot in a folder's name is no extension; a link, even to nothing,
    // holds its name and is not followed.
    fs::create_directory(dir / "a.d");
    WriteFileAtomic((dir / "a.d" / "fax").string(), "earlier");
    EXPECT_EQ(RenameNoReplace(temp("x"), (dir / "a.d" / "fax").string()),
              (dir / "a.d" / "fax-1").string());
    fs::create_symlink(dir / "nowhere", dir / "link.apf");
    EXPECT_EQ(RenameNoReplace(temp("y"), (dir / "link.apf").string()),
              (dir / "link-1.apf").string());
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
    EXPECT_THROW(RenameNoReplace((dir / "missing").string(), (dir / "z.apf").string()),
                 std::system_error);
    EXPECT_FALSE(fs::exists(dir / "z.apf"));
}

namespace {

// What every file of the writers below begins with.
constexpr std::string_view kSignature("SIG1\x1a", 5);

// A writer in a process of its own that opens its file for `fax` and ends
// by SIGKILL, which no handler sees, or stays until Release.
class TOtherWriter {
public:
    TOtherWriter(const std::string& fax, bool killed)
    {
        int ready[2], go[2];
        EXPECT_EQ(::pipe(ready), 0);
        EXPECT_EQ(::pipe(go), 0);
        Pid_ = ::fork();
        if (Pid_ == 0) {
            ::close(ready[0]);
            ::close(go[1]);
            std::string temp;
            const int fd = OpenUnnamed(fax, 0640, temp, kSignature);
            const std::string half = std::string(kSignature) + "half a fax";
            [[maybe_unused]] ssize_t n = ::write(fd, half.data(), half.size());
            temp += "\n";
            n = ::write(ready[1], temp.data(), temp.size());
            if (killed)
                ::kill(::getpid(), SIGKILL);
            char c;
            n = ::read(go[0], &c, 1);
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(go[0]);
        Go_ = go[1];
        char buffer[4096];
        const ssize_t n = ::read(ready[0], buffer, sizeof buffer);
        ::close(ready[0]);
        if (n > 0)
            Temp_.assign(buffer, static_cast<size_t>(n) - 1);
    }
    ~TOtherWriter() { Release(); }
    TOtherWriter(const TOtherWriter&) = delete;
    TOtherWriter& operator=(const TOtherWriter&) = delete;

    // The named temporary it holds (or held); empty for an unnamed one.
    const std::string& Temp() const { return Temp_; }
    // Lets it end, without removing its file, and waits for it: the
    // status waitpid gave.
    int Release()
    {
        if (Go_ >= 0)
            ::close(Go_);
        Go_ = -1;
        if (Pid_ > 0) {
            EXPECT_EQ(::waitpid(Pid_, &Status_, 0), Pid_);
        }
        Pid_ = -1;
        return Status_;
    }

private:
    pid_t Pid_ = -1;
    int Go_ = -1;
    int Status_ = 0;
    std::string Temp_;
};

} // namespace

// A file without a name until its commit: a writer killed outright leaves
// nothing; a commit names it whole, replacing or taking the first free
// name. On a file system without unnamed files (FUSE) the killed writer's
// named temporary stays until the next writer into that folder removes it;
// a live writer's, and anything not known to be a temporary of the writer's
// own, stays: a user's files that merely look like one keep their bytes.
TEST(AtomicFile, AnUnnamedFileAppearsOnlyAtItsCommit)
{
    const auto written = [](const std::string& fax, const std::string& bytes, std::string& temp) {
        const int fd = OpenUnnamed(fax, 0640, temp, kSignature);
        EXPECT_GE(fd, 0) << std::strerror(errno);
        EXPECT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        return fd;
    };
    const auto commits = [&](const fs::path& dir) {
        const std::string fax = (dir / "FAX8.APF").string();
        std::string temp;
        int fd = written(fax, "first", temp);
        EXPECT_EQ(CommitNoReplace(fd, temp, fax), fax);
        ::close(fd);
        fd = written(fax, "second", temp);
        EXPECT_EQ(CommitNoReplace(fd, temp, fax), (dir / "FAX8-1.APF").string());
        ::close(fd);
        fd = written(fax, "third", temp);
        CommitOver(fd, temp, fax);
        ::close(fd);
        std::string got;
        EXPECT_TRUE(ReadWholeFile(fax, got));
        EXPECT_EQ(got, "third");
        EXPECT_TRUE(ReadWholeFile((dir / "FAX8-1.APF").string(), got));
        EXPECT_EQ(got, "second");
        EXPECT_EQ(fs::status(fax).permissions(), fs::perms(0640));
    };

    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const fs::path dir = tmp.path().toStdString();
    const std::string fax = (dir / "FAX8.APF").string();
    {
        TOtherWriter killed(fax, true);
        ASSERT_TRUE(WIFSIGNALED(killed.Release()));
        EXPECT_EQ(killed.Temp(), "");
    }
    EXPECT_EQ(SortedNames(dir), std::vector<std::string>{});
    std::string temp;
    // Dropped before its commit.
    ::close(written(fax, "never", temp));
    EXPECT_EQ(temp, "");
    EXPECT_EQ(SortedNames(dir), std::vector<std::string>{});
    commits(dir);
    EXPECT_EQ(SortedNames(dir), (std::vector<std::string>{"FAX8-1.APF", "FAX8.APF"}));

    if (const std::string missing = WithoutBindfs(); !missing.empty())
        SKIP_WITHOUT_TOOL(missing);
    TScratch scratch;
    const fs::path source = scratch.Path("source"), view = scratch.Path("view");
    fs::create_directory(source);
    TLockForwardingMount mount(source, view);
    if (!mount.Mounted())
        SKIP_WITHOUT_TOOL(kBindfsCannotMount);
    const std::string faxThere = (view / "FAX8.APF").string();
    // FUSE keeps a file removed while it is open under a hidden name until
    // its last close has reached the file system.
    const auto namesThere = [&] {
        EXPECT_TRUE(PumpUntil(
            [&] {
                const std::vector<std::string> names = SortedNames(source);
                return std::none_of(names.begin(), names.end(), [](const std::string& name) {
                    return name.rfind(".fuse_hidden", 0) == 0;
                });
            },
            30000));
        return SortedNames(source);
    };
    // Names that are not a temporary of the writer's, or not one it may
    // take: a name a letter short, a link, a folder, another user's file.
    const std::string ours = std::string(kSignature) + "a page";
    WriteFileAtomic((source / "FAX8.APF.skipmail-part-Ab3dE").string(), ours);
    fs::create_symlink(source / "FAX8.APF.skipmail-part-Ab3dE",
                       source / "FAX8.APF.skipmail-part-link01");
    fs::create_directory(source / "FAX8.APF.skipmail-part-fold01");
    // The user's own files: a name of the earlier pattern or of the user's
    // making, a stem that is no name of this kind of file, bytes that are
    // no file of this writer's.
    for (const char* name : {"notes.part-000001", "backup.tar.part-000001", "FAX7.APF.part-000001",
                             "thesis.skipmail-part-chap01", "notes.txt.skipmail-part-000001"})
        WriteFileAtomic((source / name).string(), ours);
    WriteFileAtomic((source / "FAX7.APF.skipmail-part-mine01").string(), "my own notes");
    std::vector<std::string> kept = SortedNames(source);
    if (::geteuid() == 0) {
        WriteFileAtomic((source / "FAX8.APF.skipmail-part-other1").string(), ours);
        EXPECT_EQ(::chown((source / "FAX8.APF.skipmail-part-other1").c_str(), 65534, 65534), 0);
        kept = SortedNames(source);
    }
    // A writer killed before its first bytes reached the file, in a name
    // of any case.
    WriteFileAtomic((source / "fax6.apf.skipmail-part-empty1").string(), "");
    TOtherWriter killed(faxThere, true);
    ASSERT_TRUE(WIFSIGNALED(killed.Release()));
    const std::string stale = fs::path(killed.Temp()).filename().string();
    EXPECT_EQ(stale.rfind("FAX8.APF.skipmail-part-", 0), 0u) << stale;
    EXPECT_TRUE(fs::exists(source / stale));
    TOtherWriter live(faxThere, false);
    const std::string held = fs::path(live.Temp()).filename().string();
    ASSERT_FALSE(held.empty());

    // The next writer into the folder removes the killed ones' files and
    // none other.
    const std::string next = (view / "FAX9.APF").string();
    int fd = written(next, "next", temp);
    EXPECT_EQ(fs::path(temp).parent_path(), view);
    EXPECT_FALSE(fs::exists(source / stale));
    EXPECT_FALSE(fs::exists(source / "fax6.apf.skipmail-part-empty1"));
    EXPECT_TRUE(fs::exists(source / held));
    EXPECT_EQ(CommitNoReplace(fd, temp, next), next);
    ::close(fd);
    std::vector<std::string> now = kept;
    now.push_back("FAX9.APF");
    now.push_back(held);
    std::sort(now.begin(), now.end());
    EXPECT_EQ(namesThere(), now);
    // Once its writer has ended, it goes with the next.
    EXPECT_EQ(live.Release(), 0);
    commits(view);
    now = kept;
    for (const char* name : {"FAX8-1.APF", "FAX8.APF", "FAX9.APF"})
        now.push_back(name);
    std::sort(now.begin(), now.end());
    EXPECT_EQ(namesThere(), now);
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

// A bounded read takes a file up to its limit and refuses one beyond it
// without reading on, whatever the file's size said: a pipe stands in for a
// file that grows while it is read.
TEST(AtomicFile, ABoundedReadNeverReadsMuchPastItsLimit)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const fs::path dir = tmp.path().toStdString();
    const auto read = [&](const std::string& content, size_t limit, std::string& got) {
        const std::string path = (dir / "f").string();
        WriteFileAtomic(path, content);
        const int fd = ::open(path.c_str(), O_RDONLY);
        errno = 0;
        const bool ok = ReadAtMost(fd, limit, got);
        const int error = errno;
        ::close(fd);
        errno = error;
        return ok;
    };
    std::string got = "kept";
    EXPECT_TRUE(read("", 10, got));
    EXPECT_EQ(got, "");
    const std::string big(100000, 'x');
    ASSERT_TRUE(read(big, big.size(), got));
    EXPECT_EQ(got, big);
    got = "kept";
    EXPECT_FALSE(read(big, big.size() - 1, got));
    EXPECT_EQ(errno, EFBIG);
    EXPECT_EQ(got, "kept");

    int pipe[2];
    ASSERT_EQ(::pipe(pipe), 0);
    const std::string more(1100, 'y');
    ASSERT_EQ(::write(pipe[1], more.data(), more.size()), static_cast<ssize_t>(more.size()));
    ::close(pipe[1]);
    EXPECT_FALSE(ReadAtMost(pipe[0], 1000, got));
    EXPECT_EQ(errno, EFBIG);
    char rest[2000];
    EXPECT_EQ(::read(pipe[0], rest, sizeof rest), 99);
    ::close(pipe[0]);
    // A descriptor that cannot be read.
    EXPECT_FALSE(ReadAtMost(-1, 10, got));
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(got, "kept");
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
