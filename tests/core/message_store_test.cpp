#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <linux/capability.h>
#include <random>
#include <set>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "core/date_time.h"
#include "core/message_store.h"
#include "core/user_list.h"
#include "platform/data_root.h"
#include "support/shell_command.h"
#include "temp_root_helpers.h"

namespace fs = std::filesystem;
using namespace MessageStore;

namespace {

std::vector<std::string> Names(const std::string& dir)
{
    std::vector<std::string> names;
    for (const TMessageFile& f : ListMessages(dir))
        names.push_back(f.Name);
    return names;
}

} // namespace

TEST(MessageStore, NumberingTakesOneMoreThanTheLargestNumericName)
{
    TempRoot root;
    std::string dir = root.Path("QUEUE");
    fs::create_directories(dir);
    int bad = -1;
    EXPECT_EQ(NextMessageNumber(dir, &bad), 1u);
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(NextMessageNumber(root.Path("missing")), 1u);

    root.WriteFile("QUEUE/7.msg", "x");
    root.WriteFile("QUEUE/12.msg", "x");
    root.WriteFile("QUEUE/99.txt", "x");  // not a message file
    root.WriteFile("QUEUE/abc.msg", "x"); // not numeric
    root.WriteFile("QUEUE/-5.msg", "x");  // not numeric either
    root.WriteFile("QUEUE/1e3.msg", "x");
    EXPECT_EQ(NextMessageNumber(dir, &bad), 13u);
    EXPECT_EQ(bad, 3);

    // Tick-named files of the gateways beyond 32 bits, and a name beyond 64
    // bits, which does not count as a number.
    root.WriteFile("QUEUE/4294967295.msg", "x");
    EXPECT_EQ(NextMessageNumber(dir), 4294967296u);
    root.WriteFile("QUEUE/18446744073709551614.msg", "x");
    EXPECT_EQ(NextMessageNumber(dir), 18446744073709551615u);
    root.WriteFile("QUEUE/99999999999999999999.msg", "x");
    EXPECT_EQ(NextMessageNumber(dir, &bad), 18446744073709551615u);
    EXPECT_EQ(bad, 4);
    root.WriteFile("QUEUE/18446744073709551615.msg", "x");
    EXPECT_THROW(NextMessageNumber(dir), std::system_error);
}

// Whatever changes the directory (this process, another one, a rename in or
// out, a removal of the largest number) the next number is one more than
// the largest numeric name there, as a plain listing finds it.
TEST(MessageStore, NumberingFollowsEveryChangeToTheDirectory)
{
    TempRoot root;
    const std::string dir = root.Path("QUEUE");
    const std::string aside = root.Path("aside");
    fs::create_directories(dir);
    fs::create_directories(aside);
    auto listed = [&](int& other) {
        std::uint64_t highest = 0;
        other = 0;
        for (const auto& e : fs::directory_iterator(dir)) {
            const std::string name = e.path().filename().string();
            if (!IsMessageFileName(name))
                continue;
            std::uint64_t n = 0;
            if (ParseMessageNumber(name, n))
                highest = std::max(highest, n);
            else
                ++other;
        }
        return highest + 1;
    };
    std::mt19937 random(7);
    auto pick = [&](const std::string& in) -> std::string {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(in))
            names.push_back(e.path().filename().string());
        if (names.empty())
            return {};
        return names[random() % names.size()];
    };
    for (int step = 0; step < 600; ++step) {
        const std::string n = std::to_string(random() % 400 + 1);
        switch (random() % 8) {
        case 0:
        case 1:
            WriteNewMessage(dir, "x");
            break;
        case 2:
            root.WriteFile("QUEUE/" + n + ".msg", "x");
            break;
        case 3:
        case 4: {
            const std::string name = pick(dir);
            if (!name.empty())
                fs::remove(dir + "/" + name);
            break;
        }
        case 5: { // out and back in under another name
            const std::string name = pick(dir);
            if (!name.empty())
                fs::rename(dir + "/" + name, aside + "/" + name);
            const std::string back = pick(aside);
            if (!back.empty())
                fs::rename(aside + "/" + back,
                           dir + "/" + (random() % 3 ? n + ".msg" : "n" + n + ".msg"));
            break;
        }
        case 6:
            root.WriteFile("QUEUE/" + n + (random() % 2 ? ".txt" : "x.msg"), "x");
            break;
        case 7:
            if (step % 50 == 7) // another process
                RunShell("cd '" + dir + "' && touch " + n + "0.msg && rm -f " + n + ".msg");
            else if (const std::string name = pick(dir); !name.empty())
                fs::rename(dir + "/" + name, dir + "/" + n + ".msg");
            break;
        }
        int other = 0;
        int bad = -1;
        const std::uint64_t expected = listed(other);
        ASSERT_EQ(NextMessageNumber(dir, &bad), expected) << "step " << step;
        ASSERT_EQ(bad, other) << "step " << step;
    }
    // The directory replaced by another of the same name.
    fs::rename(dir, root.Path("old"));
    fs::create_directories(dir);
    EXPECT_EQ(NextMessageNumber(dir), 1u);
    root.WriteFile("QUEUE/5.msg", "x");
    EXPECT_EQ(NextMessageNumber(dir), 6u);
    fs::remove_all(dir);
    EXPECT_EQ(NextMessageNumber(dir), 1u);
    EXPECT_THROW(WriteNewMessage(dir, "x"), std::system_error);
}

namespace {

// Whether this thread may list `dir`.
bool Listable(const std::string& dir)
{
    DIR* d = ::opendir(dir.c_str());
    if (d)
        ::closedir(d);
    return d != nullptr;
}

// Runs `fn` on a thread of its own without the capabilities that let root
// read any directory, so that it meets the directories' permissions.
template <class Fn> void WithoutOverridingPermissions(Fn fn)
{
    std::thread([&] {
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2]{};
        if (::syscall(SYS_capget, &header, data) == 0) {
            for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH})
                data[0].effective &= ~(1u << cap);
            ::syscall(SYS_capset, &header, data);
        }
        fn();
    }).join();
}

} // namespace

// A queue holding thousands of messages (mail held through days of poor
// propagation) costs each new message no more than an empty one: numbering
// does not read the directory, so it works even where the directory cannot
// be listed.
TEST(MessageStore, NumberingDoesNotReadTheDirectory)
{
    TempRoot root;
    const std::string dir = root.Path("QUEUE");
    fs::create_directories(dir);
    for (int i = 1; i <= 3000; ++i)
        root.WriteFile("QUEUE/" + std::to_string(i) + ".msg", "x");
    root.WriteFile("QUEUE/odd.msg", "x");
    EXPECT_EQ(NextMessageNumber(dir), 3001u);

    ASSERT_EQ(::chmod(dir.c_str(), 0300), 0); // no listing
    bool listed = true;
    std::vector<std::string> paths;
    std::uint64_t next = 0;
    int bad = 0;
    WithoutOverridingPermissions([&] {
        listed = Listable(dir);
        if (listed)
            return;
        try {
            for (int i = 0; i < 3; ++i)
                paths.push_back(WriteNewMessage(dir, "new"));
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
        }
    });
    ASSERT_FALSE(listed) << "the directory is still listed";
    EXPECT_EQ(paths,
              (std::vector<std::string>{dir + "/3001.msg", dir + "/3002.msg", dir + "/3003.msg"}));
    // Removals made elsewhere count as well.
    for (const char* name : {"3003.msg", "3002.msg", "3000.msg"})
        fs::remove(dir + "/" + name);
    WithoutOverridingPermissions([&] { next = NextMessageNumber(dir, &bad); });
    EXPECT_EQ(next, 3002u);
    EXPECT_EQ(bad, 1);
    ::chmod(dir.c_str(), 0700);
}

namespace {

// Fills the root's QUEUE with 1.msg to `last`.msg, each holding its number,
// and has the numbering read it (the index holds it from then on).
void FillAndNumber(const TempRoot& root, int last)
{
    for (int i = 1; i <= last; ++i)
        root.WriteFile("QUEUE/" + std::to_string(i) + ".msg", std::to_string(i));
    ASSERT_EQ(NextMessageNumber(root.Path("QUEUE")), static_cast<std::uint64_t>(last) + 1);
}

std::string Numbered(const std::string& dir, int n)
{
    return dir + "/" + std::to_string(n) + ".msg";
}

} // namespace

// The kernel notes an exchange of two names (renameat2 RENAME_EXCHANGE, `mv
// --exchange`) of 29.msg and 30.msg as moves from 29 to 30 and from 30 to 29,
// which read alike to two renames: the index may forget 30.msg, which still
// exists. A number found taken makes it read the directory again, so every
// writer (the SMTP server's, the router's, the link's adopted files) still
// gets the next free number and no message is refused.
TEST(MessageStore, ExchangedNamesNeverRefuseAMessage)
{
    TempRoot root;
    const std::string dir = root.Path("QUEUE");
    ASSERT_NO_FATAL_FAILURE(FillAndNumber(root, 30));
    std::vector<std::string> paths;
    for (int i = 0; i < 9; ++i) {
        // The two highest exchange their names before each new message.
        const int highest = 30 + i;
        const int err = ExchangeNames(Numbered(dir, highest - 1), Numbered(dir, highest));
        ASSERT_EQ(err, 0) << std::strerror(err);
        const std::string text = "new " + std::to_string(i);
        try {
            switch (i % 3) {
            case 0:
                paths.push_back(WriteNewMessage(dir, text));
                break;
            case 1:
                paths.push_back(
                    WriteNewMessageFrom(dir, [&](const TContentWriter& write) { write(text); }));
                break;
            case 2: { // a finished file handed in, as the link's received mail
                const std::string file = root.Path("incoming");
                root.WriteFile("incoming", text);
                paths.push_back(AdoptNewMessage(dir, file));
                break;
            }
            }
        } catch (const std::exception& e) {
            ADD_FAILURE() << "message " << i << ": " << e.what();
        }
    }
    std::vector<std::string> expected;
    for (int n = 31; n <= 39; ++n)
        expected.push_back(Numbered(dir, n));
    EXPECT_EQ(paths, expected);
    // Nothing was overwritten: every old and new text is there once.
    std::multiset<std::string> texts, expectedTexts;
    for (const std::string& name : Names(dir))
        texts.insert(ReadFile(dir + "/" + name));
    for (int i = 1; i <= 30; ++i)
        expectedTexts.insert(std::to_string(i));
    for (int i = 0; i < 9; ++i)
        expectedTexts.insert("new " + std::to_string(i));
    EXPECT_EQ(texts, expectedTexts);
    EXPECT_EQ(NextMessageNumber(dir), 40u);
}

// On a data root that another host writes (NFS, SMB, a FUSE mount written
// from underneath) no note comes of that host's changes, and the index
// offers a number that is taken. It reads the directory again, and the
// message gets the next free number as a whole reading gave it before the
// index.
TEST(MessageStore, ChangesWithoutNotesNeverRefuseAMessage)
{
    TempRoot root;
    const std::string dir = root.Path("QUEUE");
    ASSERT_NO_FATAL_FAILURE(FillAndNumber(root, 30));
    int next = 31;
    for (int round = 0; round < 4; ++round) {
        // The other host stores three messages; nothing of it is noted.
        for (int k = 0; k < 3; ++k)
            root.WriteFile("QUEUE/" + std::to_string(next++) + ".msg", "theirs");
        DropChangeNotesForTest();
        for (int k = 0; k < 2; ++k) {
            std::string path;
            try {
                path = WriteNewMessage(dir, "ours");
            } catch (const std::exception& e) {
                ADD_FAILURE() << "round " << round << ": " << e.what();
            }
            EXPECT_EQ(path, Numbered(dir, next++)) << "round " << round;
            // In odd rounds not even our own messages are noted.
            if (round % 2)
                DropChangeNotesForTest();
        }
    }
    EXPECT_EQ(Names(dir).size(), 50u);
    EXPECT_EQ(ReadFile(Numbered(dir, 31)), "theirs");
    EXPECT_EQ(ReadFile(Numbered(dir, 34)), "ours");
}

// A directory that cannot be listed (see NumberingDoesNotReadTheDirectory)
// cannot be read again when a number is found taken: the index keeps what it
// holds, the taken name with it, and every message still gets the next free
// number.
TEST(MessageStore, ExchangedNamesInADirectoryThatCannotBeListed)
{
    TempRoot root;
    const std::string dir = root.Path("QUEUE");
    // More than the tries a message gets: counting up from 1 would not do.
    ASSERT_NO_FATAL_FAILURE(FillAndNumber(root, 1200));
    ASSERT_EQ(::chmod(dir.c_str(), 0300), 0); // no listing
    bool listed = true;
    std::vector<std::string> paths;
    WithoutOverridingPermissions([&] {
        listed = Listable(dir);
        if (listed)
            return;
        for (int i = 0; i < 3; ++i) {
            const int highest = 1200 + i;
            const int err = ExchangeNames(Numbered(dir, highest - 1), Numbered(dir, highest));
            if (err != 0) {
                ADD_FAILURE() << std::strerror(err);
                return;
            }
            try {
                paths.push_back(WriteNewMessage(dir, "new"));
            } catch (const std::exception& e) {
                ADD_FAILURE() << "message " << i << ": " << e.what();
            }
        }
    });
    ::chmod(dir.c_str(), 0700);
    ASSERT_FALSE(listed) << "the directory is still listed";
    EXPECT_EQ(paths, (std::vector<std::string>{Numbered(dir, 1201), Numbered(dir, 1202),
                                               Numbered(dir, 1203)}));
    EXPECT_EQ(Names(dir).size(), 1203u);
}

TEST(MessageStore, ListsNumericallyThenByNameWithSizes)
{
    TempRoot root;
    root.WriteFile("MAIL/joe/10.msg", "0123456789");
    root.WriteFile("MAIL/joe/9.msg", "abc");
    root.WriteFile("MAIL/joe/0100.msg", "");
    root.WriteFile("MAIL/joe/b.msg", "b");
    root.WriteFile("MAIL/joe/A.MSG", "a");
    root.WriteFile("MAIL/joe/note.txt", "n");
    fs::create_directories(root.Path("MAIL/joe/dir.msg"));
    std::string dir = UserMailDir("joe");
    EXPECT_EQ(Names(dir),
              (std::vector<std::string>{"9.msg", "10.msg", "0100.msg", "A.MSG", "b.msg"}));
    EXPECT_EQ(ListMessages(dir)[1].Size, 10u);
    EXPECT_TRUE(ListMessages(root.Path("nothing")).empty());
}

TEST(MessageStore, WritesWholeNumberedFiles)
{
    TempRoot root;
    std::string dir = root.Path("QUEUE");
    fs::create_directories(dir);
    root.WriteFile("QUEUE/zz.msg", "x");
    int bad = 0;
    std::string path = WriteNewMessage(dir, "hello\r\n", &bad);
    EXPECT_EQ(path, dir + "/1.msg");
    EXPECT_EQ(bad, 1);
    EXPECT_EQ(root.ReadFile("QUEUE/1.msg"), "hello\r\n");
    EXPECT_EQ(WriteNewMessage(dir, std::string("a\0b", 3)), dir + "/2.msg");
    EXPECT_EQ(root.ReadFile("QUEUE/2.msg"), std::string("a\0b", 3));
    // Only the message files are left, no temporaries.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 3);
    EXPECT_THROW(WriteNewMessage(root.Path("absent"), "x"), std::system_error);
}

TEST(MessageStore, ANamedMessageNeverReplacesAFileOfThatName)
{
    TempRoot root;
    std::string dir = root.Path("QUEUE");
    fs::create_directories(dir);
    root.WriteFile("QUEUE/4000000000.msg", "old");
    EXPECT_EQ(WriteMessageAs(dir, 4000000000u, "new"), dir + "/4000000001.msg");
    EXPECT_EQ(WriteMessageAs(dir, 4000000000u, "newer"), dir + "/4000000002.msg");
    EXPECT_EQ(root.ReadFile("QUEUE/4000000000.msg"), "old");
    EXPECT_EQ(root.ReadFile("QUEUE/4000000002.msg"), "newer");
    EXPECT_EQ(WriteMessageAs(dir, 7, "seven"), dir + "/7.msg");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 4);
}

TEST(MessageStore, SixteenConcurrentWritersNeverShareANumber)
{
    TempRoot root;
    std::string dir = root.Path("QUEUE");
    fs::create_directories(dir);
    constexpr int kThreads = 16, kEach = 40;
    std::vector<std::vector<std::string>> paths(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                std::string body = "writer " + std::to_string(t) + " item " + std::to_string(i) +
                                   "\r\n" + std::string(static_cast<size_t>(i) * 97, 'x');
                paths[t].push_back(WriteNewMessage(dir, body));
            }
        });
    for (auto& th : threads)
        th.join();

    std::set<std::string> all;
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kEach; ++i) {
            const std::string& p = paths[t][i];
            EXPECT_TRUE(all.insert(p).second) << p;
            std::string rel = p.substr(dir.size() - 5);
            std::string expected = "writer " + std::to_string(t) + " item " + std::to_string(i) +
                                   "\r\n" + std::string(static_cast<size_t>(i) * 97, 'x');
            EXPECT_EQ(root.ReadFile(rel), expected);
        }
    std::vector<TMessageFile> files = ListMessages(dir);
    ASSERT_EQ(files.size(), size_t{kThreads * kEach});
    // Numbers run from 1 without a gap.
    EXPECT_EQ(files.front().Name, "1.msg");
    EXPECT_EQ(files.back().Name, std::to_string(kThreads * kEach) + ".msg");
}

TEST(MessageStore, AKilledWriterLeavesNoPartialMessage)
{
    TempRoot root;
    std::string dir = root.Path("QUEUE");
    fs::create_directories(dir);
    // Each message states its own length in its first line.
    const std::string fill(256 * 1024, 'm');
    for (int round = 0; round < 3; ++round) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 0;; ++i) {
                std::string body = fill.substr(0, fill.size() - static_cast<size_t>(i % 1000));
                WriteNewMessage(dir, std::to_string(body.size()) + "\r\n" + body);
            }
        }
        usleep(150000 + round * 50000);
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
    }
    std::vector<TMessageFile> files = ListMessages(dir);
    EXPECT_FALSE(files.empty());
    for (const TMessageFile& f : files) {
        std::string data = root.ReadFile("QUEUE/" + f.Name);
        size_t eol = data.find("\r\n");
        ASSERT_NE(eol, std::string::npos) << f.Name;
        EXPECT_EQ(std::stoul(data.substr(0, eol)), data.size() - eol - 2) << f.Name;
    }
    // Leftover temporaries are cleared at start-up.
    RemoveStaleTemporaries(dir);
    EXPECT_EQ(
        static_cast<size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator())),
        files.size());
}

TEST(MessageStore, StaleTemporariesGoAndEverythingElseStays)
{
    TempRoot root;
    const std::vector<std::string> stale = {
        "users.dat.tmpAb3xYz",         "skipmail.INI.tmp000001",     "mailbox_log.txt.tmpQQQQQQ",
        "QUEUE/~msg-a1B2c3.tmp",       "QUEUE/17.msg.tmpzzzzzz",     "MAIL/bob/~msg-XXXXXX.tmp",
        "STATIONS/S2/~msg-000000.tmp", "QUEUE/5.msg.route.tmpAb12Cd"};
    const std::vector<std::string> kept = {
        "users.dat",        "notes.tmp",         "report.tmpabcdef",
        "QUEUE/1.msg",      "QUEUE/~msg-.tmp",   "QUEUE/.tmp123456",
        "MAIL/bob/2.msg",   "STATIONS/S2/3.msg", "Files/x.dat.tmpabcdef",
        "QUEUE/5.msg.route"};
    for (const auto& name : stale)
        root.WriteFile(name, "partial");
    for (const auto& name : kept)
        root.WriteFile(name, "whole");
    RemoveStaleTemporariesEverywhere();
    for (const auto& name : stale)
        EXPECT_FALSE(root.Exists(name)) << name;
    for (const auto& name : kept)
        EXPECT_TRUE(root.Exists(name)) << name;
}

TEST(MessageStore, EnvelopeLines)
{
    std::string file = AddEnvelope({"c@B", "joe"}, "Subject: x\r\n\r\nRCPT: not an envelope\r\n");
    EXPECT_EQ(file, "RCPT: c@B\r\nRCPT: joe\r\nSubject: x\r\n\r\nRCPT: not an envelope\r\n");
    std::string body;
    EXPECT_EQ(SplitEnvelope(file, &body), (std::vector<std::string>{"c@B", "joe"}));
    EXPECT_EQ(body, "Subject: x\r\n\r\nRCPT: not an envelope\r\n");
    EXPECT_EQ(SplitEnvelope("RCPT: a\nRCPT: b\r\r\nbody", &body),
              (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(body, "body");
    EXPECT_TRUE(SplitEnvelope("From: x\r\n", &body).empty());
    EXPECT_EQ(SplitEnvelope("RCPT: last", &body), (std::vector<std::string>{"last"}));
    EXPECT_EQ(body, "");
    // Older writers: any letter case, blanks or none after the colon.
    EXPECT_EQ(SplitEnvelope("rcpt:\t<x@y> \r\nRcpt:z\r\nRCPT\r\n", &body),
              (std::vector<std::string>{"<x@y>", "z"}));
    EXPECT_EQ(body, "RCPT\r\n");
}

// Mail from a client outside the station's networks says so in one more
// envelope line; files without it are mail from inside.
TEST(MessageStore, EnvelopeNamesAnOutsideClient)
{
    const std::string file =
        AddEnvelope({"c@B", "joe"}, "Subject: x\r\n\r\nhi\r\n", "198.51.100.7");
    EXPECT_EQ(file, "RCPT: c@B\r\nRCPT: joe\r\nX-Outside-Client: 198.51.100.7\r\n"
                    "Subject: x\r\n\r\nhi\r\n");
    std::string body;
    TEnvelope envelope = ReadEnvelope(file, &body);
    EXPECT_EQ(envelope.Recipients, (std::vector<std::string>{"c@B", "joe"}));
    EXPECT_EQ(envelope.OutsideClient, "198.51.100.7");
    EXPECT_EQ(body, "Subject: x\r\n\r\nhi\r\n");
    EXPECT_EQ(SplitEnvelope(file, &body), (std::vector<std::string>{"c@B", "joe"}));
    EXPECT_EQ(body, "Subject: x\r\n\r\nhi\r\n");

    const std::vector<std::pair<std::string, std::string>> cases = {
        {"RCPT: a\r\nSubject: x\r\n", ""},
        {"RCPT: a\r\nx-outside-client:10.1.2.3 \r\n\r\n", "10.1.2.3"},
        {"RCPT: a\r\nX-Outside-Client:\r\nRCPT: b\r\n", "unknown"},
        // Only among the leading lines.
        {"RCPT: a\r\nSubject: x\r\nX-Outside-Client: 10.1.2.3\r\n", ""},
        {"RCPT: a\r\nX-Outside-Clients: 10.1.2.3\r\n", ""},
    };
    for (const auto& [text, client] : cases)
        EXPECT_EQ(ReadEnvelope(text).OutsideClient, client) << text;
    EXPECT_EQ(ReadEnvelope("RCPT: a\r\nX-Outside-Client:\r\nRCPT: b\r\n").Recipients,
              (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(AddEnvelope({"a"}, "m"), "RCPT: a\r\nm");
    for (const char* line : {"RCPT:", "rcpt: x", "X-OUTSIDE-CLIENT: y", "x-outside-client:"})
        EXPECT_TRUE(IsEnvelopeLine(line)) << line;
    for (const char* line : {"RCPT", "X-Outside-Client", "Subject: RCPT: x", ""})
        EXPECT_FALSE(IsEnvelopeLine(line)) << line;
}

// Mail is the user's private data whatever the umask: message files 0600,
// the directories the station makes 0700.
TEST(MessageStore, MailFilesAndDirectoriesAreTheUsersAlone)
{
    TempRoot root;
    const mode_t umaskBefore = ::umask(022);
    EXPECT_TRUE(CreateWorkingDirectories().empty());
    EXPECT_TRUE(EnsureDirectory(UserMailDir("bob")));
    const std::string path = WriteNewMessage(root.Path("QUEUE"), "RCPT: bob\r\n\r\nhi\r\n");
    ::umask(umaskBefore);
    for (const char* d : {"QUEUE", "MAIL", "MAIL/admin", "MAIL/bob", "TEMP/SMTP", "Files"})
        EXPECT_EQ(fs::status(root.Path(d)).permissions(), fs::perms(0700)) << d;
    EXPECT_EQ(fs::status(path).permissions(), fs::perms(0600));
}

TEST(MessageStore, DirectoriesHaveOneSpellingAndUnsafeNamesAreRefused)
{
    TempRoot root;
    EXPECT_TRUE(CreateWorkingDirectories().empty());
    for (const char* d : {"QUEUE", "MAIL/GATEWAY", "MAIL/admin", "MAIL/FAX", "MAIL/Fax2",
                          "STATIONS", "TEMP/STATIONS", "TEMP/SMTP", "Files", "LOGS", "OUTFAX"})
        EXPECT_TRUE(fs::is_directory(root.Path(d))) << d;
    EXPECT_EQ(StationDir("ALPHA"), root.Path("STATIONS/ALPHA"));
    EXPECT_THROW(UserMailDir("../etc"), std::invalid_argument);
    EXPECT_THROW(StationDir(""), std::invalid_argument);
    EXPECT_FALSE(IsSafeName(".."));
    EXPECT_FALSE(IsSafeName("a\\b"));
    EXPECT_TRUE(IsSafeName("Fax2"));
}

// RETR hands the file to the client as it is: no line ends are changed and
// a NUL or 8-bit byte survives; whatever cannot be read is empty.
TEST(UserMailbox, LoadMessageIsTheWholeFileOrNothing)
{
    TempRoot root;
    root.WriteFile("users.dat", "joe:46362616:\r\n");
    TUserList users;
    const std::string odd("a\r\nb\nc\rd\0e\xE9\xFF\r\n.\r\n", 17);
    root.WriteFile("MAIL/joe/1.msg", odd);
    root.WriteFile("MAIL/joe/2.msg", "");
    std::string big(300 * 1024, 'x');
    big[123457] = '\0';
    root.WriteFile("MAIL/joe/3.msg", big);
    fs::create_directories(root.Path("MAIL/joe/4.msg"));
    root.WriteFile("users.dat.msg", "outside");

    EXPECT_EQ(users.LoadMessage("joe", "1.msg"), odd);
    EXPECT_EQ(users.LoadMessage("joe", "2.msg"), "");
    EXPECT_TRUE(users.LoadMessage("joe", "3.msg") == big);
    for (const auto& [user, file] : std::vector<std::pair<std::string, std::string>>{
             {"joe", "404.msg"},             // gone since the listing
             {"joe", "4.msg"},               // a directory cannot be read
             {"joe", "../../users.dat.msg"}, // leaves the mailbox
             {"..", "users.dat.msg"},
             {"nobody", "1.msg"}})
        EXPECT_EQ(users.LoadMessage(user, file), "") << user << "/" << file;
}

TEST(UserMailbox, ListDeleteAndLastConnection)
{
    TempRoot root;
    root.WriteFile("users.dat", "joe:46362616:\r\n");
    TUserList users;
    int hook = 0;
    users.SetOnChanged([&] { ++hook; });
    std::vector<std::string> list;
    int count = 0;
    long long octets = 0;
    users.GetMessageList(users.Get(0), list, count, octets); // creates MAIL/joe
    EXPECT_TRUE(fs::is_directory(root.Path("MAIL/joe")));
    EXPECT_EQ(count, 0);

    root.WriteFile("MAIL/joe/2.msg", "two\r\n.\r\n");
    root.WriteFile("MAIL/joe/11.msg", std::string("el\0ven\n", 7));
    users.GetMessageList(users.Get(0), list, count, octets);
    EXPECT_EQ(list, (std::vector<std::string>{"2.msg:8", "11.msg:7"}));
    EXPECT_EQ(count, 2);
    EXPECT_EQ(octets, 15);

    users.DeleteMessage("joe", "../../users.dat");
    EXPECT_TRUE(root.Exists("users.dat"));
    users.DeleteMessage("joe", "2.msg");
    users.DeleteMessage("joe", "2.msg"); // already gone: no error
    EXPECT_FALSE(root.Exists("MAIL/joe/2.msg"));
    EXPECT_EQ(hook, 2);

    // 2026-12-06 16:52:09 UTC
    DateTime::SetNowForTest([] { return std::time_t{1796575929}; });
    users.SetLastConnection("joe");
    users.SetLastConnection("JOE"); // names are case-sensitive: nobody
    DateTime::SetNowForTest(nullptr);
    EXPECT_EQ(users.Get(0).LastConnection, "[06-Dec-26 16:52 UTC]");
    EXPECT_EQ(root.ReadFile("users.dat"), "joe:46362616:[06-Dec-26 16:52 UTC]\r\n");
    EXPECT_EQ(hook, 3);
}
