// The link's documentation (modem_frame.h) is all another station needs: a
// peer written from its words alone (tests/support/link_peer.py, with
// Python's own CRC-32 and bzip2) links with this station over the simulated
// sky and exchanges mail with it both ways, speaking either protocol version.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <algorithm>
#include <filesystem>

#include "link/windows/window_helpers.h"
#include "support/peer_process.h"
#include "support/sky_sim.h"
#include "support/test_files.h"

namespace fs = std::filesystem;

namespace {

// The contents of the files of `dir` with the extension, sorted.
std::vector<std::string> Contents(const fs::path& dir, const std::string& extension)
{
    std::vector<std::string> all;
    if (fs::is_directory(dir))
        for (const auto& e : fs::directory_iterator(dir))
            if (e.path().extension() == extension)
                all.push_back(ReadFile(e.path()));
    std::sort(all.begin(), all.end());
    return all;
}

// A message of `lines` lines carrying the bytes the link must escape.
std::string Message(const std::string& from, const std::string& to, const std::string& subject,
                    int lines)
{
    std::string m = "From: " + from + "\r\nTo: " + to + "\r\nSubject: " + subject + "\r\n\r\n";
    static const char kBytes[] = "ctl \x01\x02\x1F\x00 caf\xE9 \x80\x81";
    const std::string bytes(kBytes, sizeof kBytes - 1);
    for (int i = 0; i < lines; ++i)
        m += "line " + std::to_string(i) + ": " + bytes + " end\r\n";
    return m;
}

} // namespace

TEST(LinkPeer, APeerWrittenFromTheDocumentationExchangesMailBothWays)
{
    QTemporaryDir tmp;
    const fs::path dir = tmp.path().toStdString();
    TSkyPty sky({.LinkMs = 300}, {"NONE", "NONE"});
    TStationRig home((dir / "HOME").string(), "HOME", "0001", "NONE", sky.SlavePath(0));
    home.AddStation("PEER", "0003");
    ASSERT_TRUE(home.Ready());

    for (const int protocol : {1, 2})
        for (const bool peerCalls : {false, true}) {
            const std::string name = std::string(peerCalls ? "calling" : "called") + " version " +
                                     std::to_string(protocol);
            SCOPED_TRACE(name);
            const fs::path round = dir / name;
            // A long message, which compresses, and a short one, which goes as
            // it is, each way.
            const std::string subject = round.filename().string();
            const std::vector<std::string> toPeer = {Message("alice@HOME", "bob@PEER", subject, 60),
                                                     Message("alice@HOME", "bob@PEER", subject, 1)};
            const std::vector<std::string> toHome = {Message("bob@PEER", "alice@HOME", subject, 40),
                                                     Message("bob@PEER", "alice@HOME", subject, 1)};
            fs::remove_all(home.Root + "/QUEUE");
            std::vector<std::string> sent, expected;
            std::vector<std::string> args = {
                sky.SlavePath(1), "PEER", "0003",       (round / "out").string(), "--know",
                "0001",           "HOME", "--protocol", std::to_string(protocol)};
            for (size_t i = 0; i < toPeer.size(); ++i) {
                sent.push_back("RCPT: bob@PEER\r\n" + toPeer[i]);
                WriteFile(home.Root + "/STATIONS/PEER/" + std::to_string(i + 1) + ".msg",
                          sent.back());
                const fs::path file = round / ("mail" + std::to_string(i + 1) + ".txt");
                WriteFile(file, toHome[i]);
                args.insert(args.end(), {"--mail", "alice@HOME", file.string()});
                expected.push_back("RCPT: alice@HOME\r\n" + toHome[i]);
            }
            if (peerCalls)
                args.insert(args.end(), {"--call", "0001"});
            PeerProcess peer("link_peer.py", args);
            ASSERT_TRUE(peer.Ready()) << peer.SkipReason();
            if (!peerCalls) {
                ASSERT_TRUE(home.Form->CallStation("PEER", 0, true));
            }

            const fs::path out = round / "out";
            ASSERT_TRUE(PumpUntil([&] {
                return fs::is_empty(home.Root + "/STATIONS/PEER") &&
                       Contents(out, ".item").size() == 2 &&
                       fs::is_directory(home.Root + "/QUEUE") &&
                       Contents(home.Root + "/QUEUE", ".msg").size() == 2;
            })) << home.Log()
                << ReadFile(out / "log.txt");
            if (!peerCalls) {
                // HOME, the caller, ends the link at its next check.
                ASSERT_TRUE(
                    PumpUntil([&] { return home.Form->Link().Session()->AllCountsZero(); }));
                home.Form->EndLinkTimerTimer();
            }
            ASSERT_TRUE(PumpUntil([&] {
                return !home.Form->IsLinked() &&
                       ReadFile(out / "log.txt").find("link ended") != std::string::npos;
            })) << ReadFile(out / "log.txt");

            std::sort(sent.begin(), sent.end());
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(Contents(home.Root + "/QUEUE", ".msg"), expected);
            EXPECT_EQ(Contents(out, ".item"), sent);
            EXPECT_EQ(Contents(out, ".rcpt"),
                      (std::vector<std::string>{"bob@PEER\n", "bob@PEER\n"}));
            std::vector<std::string> messages = toPeer;
            std::sort(messages.begin(), messages.end());
            EXPECT_EQ(Contents(out, ".eml"), messages);
            const std::string log = ReadFile(out / "log.txt");
            EXPECT_NE(log.find("exchange of version " + std::to_string(protocol)),
                      std::string::npos)
                << log;
            EXPECT_NE(log.find("by BZIP2"), std::string::npos) << log;
            EXPECT_NE(log.find("by NONE"), std::string::npos) << log;
            EXPECT_EQ(log.find("malformed"), std::string::npos) << log;
            EXPECT_EQ(log.find("refused"), std::string::npos) << log;
        }
}
