// Two hundred messages over the simulated air, with HOME's own router on
// both sides of the link: it files what its users send for FIELD into
// STATIONS/FIELD, and what FIELD sends into the users' mailboxes.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <filesystem>
#include <memory>

#include "core/alias_list.h"
#include "core/config.h"
#include "core/message_store.h"
#include "core/router.h"
#include "core/station_list.h"
#include "core/user_list.h"
#include "link/session/air_helpers.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"

namespace {

std::string Message(const std::string& from, const std::string& to, int n)
{
    std::string text = "From: " + from + "\r\nTo: " + to + "\r\nSubject: traffic " +
                       std::to_string(n) + "\r\n\r\n";
    for (int line = 0; line < 10 + n % 37; ++line)
        text += "position " + std::to_string(n * 100 + line) + " \x01\xe9\x80 ok\r\n";
    return text + ".\r\n..\r\n";
}

std::vector<std::string> Sorted(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

TEST(LinkWithRouter, TwoHundredMessagesReachTheirMailboxesOnce)
{
    QTemporaryDir dir(TAirPair::TempTemplate());
    ASSERT_TRUE(dir.isValid());
    TAirPair pair(dir.path().toStdString());
    TAirPair::TEnd& home = pair.End(0);
    TAirPair::TEnd& field = pair.End(1);
    DataRoot::Set(home.Root);
    WriteFileAtomic(home.Root + "/stations.dat", "HOME,,0001,,DISABLED,,,,\r\n"
                                                 "FIELD,,0002,,ENABLED,,,,\r\n");
    WriteFileAtomic(home.Root + "/users.dat", "bob::\r\n");
    TConfig config(home.Root + "/skipmail.INI");
    TStationList stations;
    TUserList users;
    TAliasList aliases;
    TRouter router(&config, &stations, &users, &aliases, nullptr);
    router.TurnIntervalMs = 0;
    router.PauseMs = 0;

    std::vector<std::string> toField, toBob;
    for (int n = 0; n < 100; ++n) {
        const std::string out = Message("bob@HOME", "carol@FIELD", n);
        toField.push_back("RCPT: carol@FIELD\r\n" + out);
        MessageStore::WriteNewMessage(home.Root + "/QUEUE", toField.back());
        toBob.push_back(Message("carol@FIELD", "bob@HOME", 1000 + n));
        TAirPair::PutMail(field, "HOME", std::to_string(n + 1) + ".msg",
                          "RCPT: bob@HOME\r\n" + toBob.back());
    }
    router.Resume();
    const auto files = [](const std::string& path) {
        return MessageStore::ListMessages(path).size();
    };
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return files(home.Root + "/STATIONS/FIELD") == 100; }, 60000));

    ASSERT_TRUE(pair.Link());
    ASSERT_TRUE(pair.Exchange());
    ASSERT_TRUE(QTest::qWaitFor([&] { return files(home.Root + "/MAIL/bob") == 100; }, 60000));
    router.TerminateAndWait();

    EXPECT_EQ(Sorted(TAirPair::Contents(field.Root, "QUEUE")), Sorted(toField));
    EXPECT_EQ(Sorted(TAirPair::Contents(home.Root, "MAIL/bob")), Sorted(toBob));
    EXPECT_EQ(files(home.Root + "/STATIONS/FIELD"), 0u);
    EXPECT_EQ(files(field.Root + "/STATIONS/HOME"), 0u);
    EXPECT_EQ(files(home.Root + "/QUEUE"), 0u);
}

} // namespace
