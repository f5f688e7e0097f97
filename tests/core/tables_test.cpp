#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <future>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "core/alias_list.h"
#include "core/channel_list.h"
#include "core/core_report.h"
#include "core/password_codec.h"
#include "core/scheduled_link_list.h"
#include "core/station_list.h"
#include "core/user_list.h"
#include "temp_root_helpers.h"

namespace {

const std::string kStations = "ALPHA,AL1,1231,,DISABLED,YYN,[06-Dec-26 16:52 UTC],@@@@@@@@<<<<,\r\n"
                              "BRAVO,BR2,1232,DIRECT,ENABLED,YNY,,@@@@4444@@@@,\r\n"
                              "CHARLIE,CH3,,BRAVO,DISABLED,NNN,,,\r\n";
const std::string kChannels = "07102.500:07102.500:USB:\r\n"
                              "14070.000:14072.000:LSB:\r\n";
const std::string kUsers = "admin:46362616:\r\n"
                           "joe:" +
                           EncodePassword("s3cr:t") + ":[06-Dec-26 16:52 UTC]\r\n";
const std::string kAlias = "a@x.org:joe@ALPHA:joe:ALPHA\r\n"
                           "B@y.org:admin@BRAVO:admin:BRAVO\r\n";
const std::string kSchedule = "BRAVO;06:30;\r\n"
                              "ALPHA;08:00;\r\n";

std::string WithCrCrLf(std::string s)
{
    std::string out;
    for (char c : s) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

// A hand edit often leaves the last line without its line end.
std::string WithoutLastLineEnd(std::string s)
{
    s.resize(s.size() - 2);
    return s;
}

std::string AsItIs(std::string s)
{
    return s;
}

void WriteAll(const TempRoot& root, std::string (*f)(std::string) = AsItIs)
{
    root.WriteFile("stations.dat", f(kStations));
    root.WriteFile("channels.dat", f(kChannels));
    root.WriteFile("users.dat", f(kUsers));
    root.WriteFile("alias.dat", f(kAlias));
    root.WriteFile("schedule.dat", f(kSchedule));
}

void ExpectContents()
{
    TStationList stations;
    ASSERT_EQ(stations.Count(), 3);
    TStation a = stations.Get(0);
    EXPECT_EQ(a.Name, "ALPHA");
    EXPECT_EQ(a.Call, "AL1");
    EXPECT_EQ(a.SelCall, "1231");
    EXPECT_EQ(a.RouteVia, "");
    EXPECT_EQ(a.AutoCall, "DISABLED");
    EXPECT_EQ(a.ChannelFlags, "YYN");
    EXPECT_EQ(a.LastConnection, "[06-Dec-26 16:52 UTC]");
    EXPECT_EQ(a.LinkQuality, "@@@@@@@@<<<<");
    EXPECT_EQ(stations.Get(2).RouteVia, "BRAVO");

    TChannelList channels;
    ASSERT_EQ(channels.Count(), 2);
    EXPECT_EQ(channels.Get(1).TransmitFreq, "14070.000");
    EXPECT_EQ(channels.Get(1).ReceiveFreq, "14072.000");
    EXPECT_EQ(channels.Get(1).SideBand, "LSB");

    TUserList users;
    ASSERT_EQ(users.Count(), 2);
    EXPECT_EQ(users.Get(0).Password, "abcd");
    EXPECT_EQ(users.Get(1).Password, "s3cr:t");
    EXPECT_EQ(users.Get(1).LastConnection, "[06-Dec-26 16:52 UTC]");

    TAliasList aliases;
    ASSERT_EQ(aliases.Count(), 2);
    std::string address, alias, user, station;
    aliases.Get(1, address, alias, user, station);
    EXPECT_EQ(address, "B@y.org");
    EXPECT_EQ(alias, "admin@BRAVO");
    EXPECT_EQ(user, "admin");
    EXPECT_EQ(station, "BRAVO");

    TScheduledLinkList links;
    ASSERT_EQ(links.Count(), 2);
    EXPECT_EQ(links.Get(0).StationName, "BRAVO");
    EXPECT_EQ(DateTime::FormatTimeOfDay(links.Get(0).Time), "06:30");
    EXPECT_EQ(DateTime::FormatTimeOfDay(links.Get(1).Time), "08:00");
}

void ExpectFilesAsWritten(const TempRoot& root)
{
    EXPECT_EQ(root.ReadFile("stations.dat"), kStations);
    EXPECT_EQ(root.ReadFile("channels.dat"), kChannels);
    EXPECT_EQ(root.ReadFile("users.dat"), kUsers);
    EXPECT_EQ(root.ReadFile("alias.dat"), kAlias);
    EXPECT_EQ(root.ReadFile("schedule.dat"), kSchedule);
}

} // namespace

TEST(TableFiles, GoldenFilesLoadAndSaveBackByteForByte)
{
    TempRoot root;
    WriteAll(root);
    ExpectContents(); // each table saves on destruction
    ExpectFilesAsWritten(root);
}

TEST(TableFiles, OlderCrCrLfFilesReadTheSameAndAreRewrittenWithCrLf)
{
    TempRoot root;
    WriteAll(root, WithCrCrLf);
    ExpectContents();
    ExpectFilesAsWritten(root);
}

TEST(TableFiles, ALastLineWithoutLineEndIsReadAndSavedWithOne)
{
    TempRoot root;
    WriteAll(root, WithoutLastLineEnd);
    ExpectContents();
    ExpectFilesAsWritten(root);
}

// Lines that no record can hold (a field too many, binary garbage) are
// logged, left out of the table and written back in their places at every
// save, also after the table has changed.
TEST(TableFiles, LinesThatCannotBeReadAreLoggedAndSurviveEverySave)
{
    TempRoot root;
    TLogProbe log;
    const std::string garbage("bin\0ary\x01:x", 10);
    root.WriteFile("channels.dat", "07102.500:07102.500:USB:\n"
                                   "\r\n"
                                   "03500.000\r\n"
                                   "01:02:03:04:05\n" +
                                       garbage +
                                       "\r\r\n"
                                       "09999.000:09999.000:USB:::\r\n");
    {
        TChannelList channels;
        ASSERT_EQ(channels.Count(), 3);
        EXPECT_EQ(channels.Get(1).TransmitFreq, "03500.000");
        EXPECT_EQ(channels.Get(1).ReceiveFreq, "");
        EXPECT_EQ(channels.Get(2).SideBand, "USB");  // empty fields too many lose nothing
        EXPECT_EQ(channels.Get(5).TransmitFreq, ""); // out of range: empty record
        EXPECT_EQ(log.Lines,
                  (std::vector<std::string>{
                      "channels.dat line 4 cannot be read and is kept as it is: 01:02:03:04:05",
                      "channels.dat line 5 cannot be read and is kept as it is: bin?ary?:x"}));
        channels.Modify(TChannel{"03600.000", "03600.000", "LSB"}, 1);
    }
    EXPECT_EQ(root.ReadFile("channels.dat"), "07102.500:07102.500:USB:\r\n"
                                             "03600.000:03600.000:LSB:\r\n"
                                             "01:02:03:04:05\r\n" +
                                                 garbage +
                                                 "\r\n"
                                                 "09999.000:09999.000:USB:\r\n");
    {
        TChannelList channels;
        while (channels.Count() > 0)
            channels.Delete(0);
    }
    EXPECT_EQ(root.ReadFile("channels.dat"), "01:02:03:04:05\r\n" + garbage + "\r\n");
}

TEST(TableFiles, MissingFilesGiveEmptyTablesAndEmptyTablesSaveEmptyFiles)
{
    TempRoot root;
    {
        TStationList stations;
        TUserList users;
        EXPECT_EQ(stations.Count(), 0);
        EXPECT_EQ(stations.GetChannelCount(), 0);
        EXPECT_FALSE(stations.IsChannelEnabled(0, 0));
        EXPECT_EQ(users.Count(), 0);
    }
    EXPECT_TRUE(root.Exists("stations.dat"));
    EXPECT_EQ(root.ReadFile("stations.dat"), "");
}

TEST(TableFiles, SeparatorsAndLineBreaksAreRefusedWithoutChangingTheTable)
{
    TempRoot root;
    WriteAll(root);
    TStationList stations;
    TStation s;
    s.Name = "DELTA";
    s.Call = "D,1";
    EXPECT_THROW(stations.Add(s), ETableFieldError);
    s.Call = "D1";
    s.LastConnection = "line\r\nbreak";
    EXPECT_THROW(stations.Add(s), ETableFieldError);
    s.LastConnection.clear();
    s.Name = "../x";
    EXPECT_THROW(stations.Add(s), ETableFieldError);
    EXPECT_THROW(stations.Modify(TStation{"A,B"}, 0), ETableFieldError);
    EXPECT_EQ(stations.Count(), 3);

    TUserList users;
    EXPECT_THROW(users.Add(TUser{"jo:e", "pw", ""}), ETableFieldError);
    EXPECT_THROW(users.Add(TUser{"..", "pw", ""}), ETableFieldError);
    EXPECT_THROW(users.Add(TUser{"a/b", "pw", ""}), ETableFieldError);
    EXPECT_NO_THROW(users.Add(TUser{"kim", "p:w,;\xE9", ""})); // stored as hex
    EXPECT_EQ(users.Count(), 3);

    TAliasList aliases;
    EXPECT_THROW(aliases.Add("x:y@z", "a@B", "a", "B"), ETableFieldError);
    EXPECT_THROW(aliases.Modify(0, "x@z", "a@B", "a", "B:C"), ETableFieldError);
    EXPECT_EQ(aliases.Get(0).Address, "a@x.org");

    TChannelList channels;
    EXPECT_THROW(channels.Add(TChannel{"1:2", "", "USB"}), ETableFieldError);
    EXPECT_THROW(channels.Add(TChannel{"1", std::string("2\0", 2), "USB"}), ETableFieldError);

    TScheduledLinkList links;
    EXPECT_THROW(links.Add(TScheduledLink{"A;B", 0}), ETableFieldError);
    EXPECT_EQ(links.Count(), 2);
}

TEST(TableFiles, UserWithSeparatorsInPasswordRoundTrips)
{
    TempRoot root;
    {
        TUserList users;
        users.Add(TUser{"kim", "p:w,;\xE9\x01", ""});
    }
    TUserList users;
    EXPECT_EQ(users.Get(0).Password, "p:w,;\xE9\x01");
}

// A password field that does not decode (a hand edit) is no password: the
// user is logged once and the field is saved back as it was until a new
// password is set.
TEST(UserList, APasswordThatDoesNotDecodeIsLoggedAndKept)
{
    TempRoot root;
    TLogProbe log;
    const std::string file = "carol:ZZZZ:\r\n"
                             "dave:26F62:[06-Dec-26 16:52 UTC]\r\n"
                             "bob::\r\n";
    root.WriteFile("users.dat", file);
    TUserList users;
    EXPECT_EQ(users.Get(0).Password, "");
    EXPECT_EQ(users.Get(1).Password, "");
    EXPECT_EQ(log.Lines, (std::vector<std::string>{
                             "users.dat: the password of user carol cannot be read (kept as it "
                             "is); the account refuses every login until its password is set",
                             "users.dat: the password of user dave cannot be read (kept as it "
                             "is); the account refuses every login until its password is set",
                             "users.dat: user bob has no password; the account refuses every "
                             "login until its password is set"}));
    EXPECT_TRUE(users.Save());
    EXPECT_EQ(root.ReadFile("users.dat"), file);
    TUser carol = users.Get(0);
    carol.Password = "new1";
    users.Modify(0, carol);
    EXPECT_EQ(root.ReadFile("users.dat"),
              "carol:" + EncodePassword("new1") + ":\r\n" + file.substr(file.find("dave")));
}

TEST(StationList, ChannelFlags)
{
    TempRoot root;
    WriteAll(root);
    TStationList stations;
    EXPECT_EQ(stations.GetChannelCount(), 3);
    EXPECT_TRUE(stations.IsChannelEnabled(0, 1));
    EXPECT_FALSE(stations.IsChannelEnabled(0, 2));
    EXPECT_FALSE(stations.IsChannelEnabled(0, 3)); // past the flag text
    EXPECT_FALSE(stations.IsChannelEnabled(0, -1));
    EXPECT_FALSE(stations.IsChannelEnabled(7, 0));

    stations.SetChannelEnabled(1, 3, true); // one short: appended
    EXPECT_EQ(stations.Get(1).ChannelFlags, "YNYY");
    stations.SetChannelEnabled(2, 5, true); // further: padded with N
    EXPECT_EQ(stations.Get(2).ChannelFlags, "NNNNNY");
    stations.SetChannelEnabled(0, 0, false);
    EXPECT_EQ(stations.Get(0).ChannelFlags, "NYN");
    EXPECT_NE(root.ReadFile("stations.dat").find("ALPHA,AL1,1231,,DISABLED,NYN,"),
              std::string::npos);

    // Modify keeps the stored flags but takes every other field.
    TStation edited = stations.Get(1);
    edited.Call = "BR9";
    edited.ChannelFlags = "NNNN";
    EXPECT_TRUE(stations.Modify(edited, 1));
    EXPECT_EQ(stations.Get(1).Call, "BR9");
    EXPECT_EQ(stations.Get(1).ChannelFlags, "YNYY");
    EXPECT_FALSE(stations.Modify(edited, 9));
}

TEST(StationList, LinkQualities)
{
    TempRoot root;
    WriteAll(root);
    TStationList stations;
    int q[4];
    EXPECT_TRUE(stations.GetLinkQualities("bravo", 1, q[0], q[1], q[2], q[3]));
    EXPECT_EQ(q[0], 20); // "4" is step 4
    EXPECT_TRUE(stations.GetLinkQualities("ALPHA", 2, q[0], q[1], q[2], q[3]));
    EXPECT_EQ(q[3], 60);
    // An empty field and an unknown station give the floor of 5 %.
    EXPECT_TRUE(stations.GetLinkQualities("CHARLIE", 0, q[0], q[1], q[2], q[3]));
    EXPECT_EQ(q[0], 5);
    EXPECT_FALSE(stations.GetLinkQualities("NOBODY", 0, q[0], q[1], q[2], q[3]));
    EXPECT_EQ(q[2], 5);

    EXPECT_TRUE(stations.SetLinkQualities("charlie", 1, 1, 20, 25, 0));
    EXPECT_EQ(stations.Get(2).LinkQuality, "@@@@1DD1");
    EXPECT_FALSE(stations.SetLinkQualities("NOBODY", 0, 1, 1, 1, 1));

    stations.DeleteChannel(1);
    EXPECT_EQ(stations.Get(0).ChannelFlags, "YN");
    EXPECT_EQ(stations.Get(0).LinkQuality, "@@@@<<<<");
    EXPECT_EQ(stations.Get(1).LinkQuality, "@@@@@@@@");
    EXPECT_EQ(stations.Get(2).LinkQuality, "@@@@");
    EXPECT_EQ(stations.IndexOf("Bravo"), 1);
    EXPECT_EQ(stations.IndexOf("ZULU"), -1);
}

TEST(StationList, AddAndDeleteRunTheChangeHookOutsideTheLock)
{
    TempRoot root;
    TStationList stations;
    int calls = 0;
    int seenCount = -1;
    stations.SetOnChanged([&] {
        ++calls;
        seenCount = stations.Count(); // would deadlock if run under the lock
    });
    stations.Add(TStation{"ALPHA"});
    stations.Add(TStation{"BRAVO"});
    EXPECT_EQ(seenCount, 2);
    EXPECT_TRUE(stations.Delete(0));
    EXPECT_FALSE(stations.Delete(5));
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(seenCount, 1);
    EXPECT_EQ(root.ReadFile("stations.dat"), "BRAVO,,,,,,,,\r\n");
}

TEST(TableFiles, AFailedSaveIsReportedOutsideTheLockAndKeptForTheNextSave)
{
    TempRoot root;
    // A directory where the file belongs makes every save fail.
    ASSERT_EQ(::mkdir(root.Path("channels.dat").c_str(), 0755), 0);
    TChannelList channels;
    {
        // The thread showing the report may read the table meanwhile.
        TReportProbe probe([&] { (void)channels.Count(); });
        channels.Add(TChannel{"07102.500", "07102.500", "USB"});
        ASSERT_EQ(probe.Reports.size(), 1u);
        EXPECT_EQ(probe.Reports[0].rfind("Error Saving channels.dat\n", 0), 0u) << probe.Reports[0];
        EXPECT_TRUE(probe.ProbeFinished);
        EXPECT_EQ(channels.Count(), 1);
        EXPECT_FALSE(channels.Save());
        EXPECT_EQ(probe.Reports.size(), 2u);
    }
    ASSERT_EQ(::rmdir(root.Path("channels.dat").c_str()), 0);
    EXPECT_TRUE(channels.Save());
    EXPECT_EQ(root.ReadFile("channels.dat"), "07102.500:07102.500:USB:\r\n");
}

TEST(AliasList, KeepsSortedByAddressIgnoringCase)
{
    TempRoot root;
    TAliasList aliases;
    aliases.Add("zed@x.org", "z@A", "z", "A");
    aliases.Add("Bob@x.org", "b@A", "b", "A");
    aliases.Add("alice@x.org", "a@A", "a", "A");
    aliases.Add("bob@x.org", "b2@A", "b2", "A");
    std::vector<std::string> order;
    for (const TAlias& a : aliases.GetAll())
        order.push_back(a.Alias);
    EXPECT_EQ(order, (std::vector<std::string>{"a@A", "b@A", "b2@A", "z@A"}));
    EXPECT_EQ(aliases.IndexOfAddress("ZED@X.ORG"), 3);

    EXPECT_TRUE(aliases.Modify(0, "zz@x.org", "a@A", "a", "A"));
    EXPECT_EQ(aliases.Get(3).Address, "zz@x.org");
    EXPECT_TRUE(aliases.Delete(0));
    EXPECT_EQ(aliases.Count(), 3);
    aliases.Clear();
    EXPECT_EQ(aliases.Count(), 0);
    EXPECT_EQ(root.ReadFile("alias.dat"), "");
}

TEST(ScheduledLinkList, SortFindModifyDelete)
{
    TempRoot root;
    WriteAll(root);
    TScheduledLinkList links;
    links.Add(TScheduledLink{"CHARLIE", DateTime::TimeOfDay(0, 5)});
    links.Add(TScheduledLink{"ALPHA", DateTime::TimeOfDay(6, 30)});
    ASSERT_EQ(links.Count(), 4);
    EXPECT_EQ(links.Get(0).StationName, "CHARLIE");
    EXPECT_EQ(links.Get(1).StationName, "BRAVO"); // same time: older first
    EXPECT_EQ(links.Get(2).StationName, "ALPHA");

    TScheduledLink found = links.Find("alpha", "08:00");
    EXPECT_EQ(found.StationName, "ALPHA");
    TScheduledLink none = links.Find("alpha", "08:05");
    EXPECT_EQ(none.StationName, "");
    EXPECT_EQ(none.Time, 0);

    // Moving 08:00 to 06:00 sorts it before the 06:30 links.
    EXPECT_TRUE(links.Modify("ALPHA", "08:00", TScheduledLink{"ALPHA", DateTime::TimeOfDay(6, 0)}));
    EXPECT_EQ(DateTime::FormatTimeOfDay(links.Get(1).Time), "06:00");
    EXPECT_FALSE(links.Modify("ALPHA", "08:00", TScheduledLink{"ALPHA", 0}));
    EXPECT_TRUE(links.Delete("Alpha", "06:00"));
    EXPECT_FALSE(links.Delete("Alpha", "06:00"));
    EXPECT_EQ(root.ReadFile("schedule.dat"), "CHARLIE;00:05;\r\nBRAVO;06:30;\r\nALPHA;06:30;\r\n");
}

TEST(ScheduledLinkList, ReadsDayFractionsAndSortsOnLoad)
{
    TempRoot root;
    root.WriteFile("schedule.dat", "A;0.75;\r\nB;45000.25;\r\nC;junk;\r\n");
    TScheduledLinkList links;
    ASSERT_EQ(links.Count(), 3);
    EXPECT_EQ(links.Get(0).StationName, "C");
    EXPECT_EQ(DateTime::FormatTimeOfDay(links.Get(1).Time), "06:00");
    EXPECT_EQ(DateTime::FormatTimeOfDay(links.Get(2).Time), "18:00");
}

TEST(UserList, AddCreatesMailboxAndTablesSurviveConcurrentUse)
{
    TempRoot root;
    TUserList users;
    std::atomic<int> hookCalls{0};
    users.SetOnChanged([&] { hookCalls++; });
    constexpr int kThreads = 8, kEach = 20;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                std::string name = "u" + std::to_string(t) + "_" + std::to_string(i);
                users.Add(TUser{name, "pw", ""});
                users.SetLastConnection(name);
                (void)users.GetAll();
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(users.Count(), kThreads * kEach);
    EXPECT_EQ(hookCalls.load(), 2 * kThreads * kEach);
    EXPECT_TRUE(root.Exists("MAIL/u3_7"));
    TUserList reread;
    EXPECT_EQ(reread.Count(), kThreads * kEach);
}

TEST(TableFiles, AKilledWriterLeavesTheOldFileOrTheNewOne)
{
    TempRoot root;
    for (int round = 0; round < 3; ++round) {
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            TUserList users;
            for (int i = users.Count();; ++i)
                users.Add(TUser{"u" + std::to_string(i), std::string(200, 'p'), ""});
        }
        usleep(100000 + round * 50000);
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
    }
    std::string text = root.ReadFile("users.dat");
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    TUserList users;
    ASSERT_GT(users.Count(), 0);
    for (int i = 0; i < users.Count(); ++i) {
        EXPECT_EQ(users.Get(i).Name, "u" + std::to_string(i));
        EXPECT_EQ(users.Get(i).Password, std::string(200, 'p'));
    }
}

// A table file that is there but cannot be read (here a link to itself, which
// no one can open) is reported, and no save ever replaces it with an empty
// table.
TEST(TableFiles, AFileThatCannotBeReadIsReportedAndNeverSavedOver)
{
    TempRoot root;
    ASSERT_EQ(::symlink("users.dat", root.Path("users.dat").c_str()), 0);
    TReportProbe probe([] {});
    {
        TUserList users;
        ASSERT_EQ(probe.Reports.size(), 1u);
        EXPECT_EQ(probe.Reports[0].rfind("Error Reading users.dat\n", 0), 0u) << probe.Reports[0];
        EXPECT_EQ(users.Count(), 0);
        users.Add(TUser{"kim", "pw", ""});
        EXPECT_EQ(users.Count(), 1);
        EXPECT_FALSE(users.Save());
    }
    ASSERT_EQ(probe.Reports.size(), 4u); // the add, the save, the destructor's save
    EXPECT_EQ(probe.Reports[3].rfind("Error Saving users.dat\n", 0), 0u) << probe.Reports[3];
    struct stat st;
    ASSERT_EQ(::lstat(root.Path("users.dat").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
}
