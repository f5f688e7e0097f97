#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTest>
#include <thread>

#include "core/message_store.h"
#include "core/msg_status_frm.h"
#include "core/router.h"
#include "core/router_helpers.h"
#include "platform/atomic_file.h"

namespace {

bool Has(const std::vector<std::string>& lines, const std::string& part)
{
    for (const auto& l : lines) {
        if (l.find(part) != std::string::npos)
            return true;
    }
    return false;
}

} // namespace

TEST(MsgStatusFrmTest, LogLinesFromAnyThreadReachViewAndFileInOrder)
{
    TStationFixture s;
    WriteFileAtomic(s.Path("mailbox_log.txt"), "[01-Jan-26 10:00:00]  from an earlier run\r\n");
    TMsgStatusFrm frm(nullptr, s.Config.get());
    EXPECT_EQ(frm.LogLines(),
              std::vector<std::string>{"[01-Jan-26 10:00:00]  from an earlier run"});
    std::thread worker([&] {
        for (int i = 0; i < 20; ++i)
            frm.AddLogLine("line " + std::to_string(i));
    });
    worker.join();
    (void)QTest::qWaitFor([&] { return frm.LogLines().size() == 21; }, 30000);
    const auto lines = frm.LogLines();
    ASSERT_EQ(lines.size(), 21u);
    for (int i = 0; i < 20; ++i) {
        const std::string& l = lines[static_cast<size_t>(i) + 1];
        const std::string tail = "]  line " + std::to_string(i);
        ASSERT_GE(l.size(), tail.size());
        EXPECT_EQ(l.substr(l.size() - tail.size()), tail);
        EXPECT_EQ(l[0], '[');
    }
    std::string file;
    ReadWholeFile(s.Path("mailbox_log.txt"), file);
    EXPECT_NE(file.find("  line 19\r\n"), std::string::npos);
}

// The log file runs up to twice the 1000 lines between its cuts; the window
// opens with the last 1000.
TEST(MsgStatusFrmTest, OpensWithTheLast1000LinesOfTheLog)
{
    TStationFixture s;
    std::string text;
    for (int i = 0; i < 1500; ++i)
        text += "[01-Jan-26 10:00:00]  line " + std::to_string(i) + "\r\n";
    WriteFileAtomic(s.Path("mailbox_log.txt"), text);
    TMsgStatusFrm frm(nullptr, s.Config.get());
    const auto lines = frm.LogLines();
    ASSERT_EQ(lines.size(), 1000u);
    EXPECT_EQ(lines.front(), "[01-Jan-26 10:00:00]  line 500");
    EXPECT_EQ(lines.back(), "[01-Jan-26 10:00:00]  line 1499");
}

TEST(MsgStatusFrmTest, UserAndStationLinesFollowTheRouter)
{
    TStationFixture s;
    TMsgStatusFrm frm(nullptr, s.Config.get());
    frm.AttachTables(s.Stations.get(), s.Users.get());
    EXPECT_EQ(frm.UserLines(), std::vector<std::string>{"bob | 0 | 0 | "});
    EXPECT_EQ(frm.StationLines(), (std::vector<std::string>{"S2 | 0", "S3 | 0", "GW | 0"}));

    TRouter router(s.Config.get(), s.Stations.get(), s.Users.get(), s.Aliases.get(), &frm);
    router.PauseMs = 0;
    const std::string body = Message("a@S2");
    s.Queue("1.msg", "RCPT: bob\r\nRCPT: carol@S2\r\n" + body);
    std::thread turn([&] { router.ProcessNextMessage(); });
    turn.join();
    (void)QTest::qWaitFor([&] { return Has(frm.StationLines(), "S2 | 1"); }, 30000);
    EXPECT_EQ(frm.UserLines(),
              std::vector<std::string>{"bob | 1 | " + std::to_string(body.size()) + " | "});
    EXPECT_TRUE(Has(frm.StationLines(), "S2 | 1"));
    EXPECT_TRUE(Has(frm.LogLines(), "for bob delivered to mailbox bob"));

    // A table change refreshes the lines by itself.
    s.Users->Add({"carol", "pw", ""});
    s.Users->SetLastConnection("bob");
    (void)QTest::qWaitFor([&] { return frm.UserLines().size() == 2; }, 30000);
    const auto users = frm.UserLines();
    ASSERT_EQ(users.size(), 2u);
    EXPECT_TRUE(users[0].find(" UTC]") != std::string::npos);
    EXPECT_EQ(users[1], "carol | 0 | 0 | ");
}
