#include <gtest/gtest.h>

#include <QTest>
#include <csignal>

#include "app/signal_watcher.h"
#include "app/skip_application.h"
#include "support/scripted_dialogs.h"

TEST(SignalWatcherTest, TermAndIntReachTheGuiThread)
{
    std::vector<int> received;
    {
        TSignalWatcher watcher([&](int signo) { received.push_back(signo); });
        std::raise(SIGTERM);
        std::raise(SIGINT);
        EXPECT_TRUE(QTest::qWaitFor([&] { return received.size() == 2; }, 2000));
    }
    EXPECT_EQ(received, (std::vector<int>{SIGTERM, SIGINT}));
    // A second watcher may follow the first.
    TSignalWatcher again([&](int signo) { received.push_back(signo); });
    std::raise(SIGTERM);
    EXPECT_TRUE(QTest::qWaitFor([&] { return received.size() == 3; }, 2000));
}

TEST(SignalWatcherTest, HangupStopsAsTermUnlessStartedUnderNohup)
{
    std::vector<int> received;
    {
        TSignalWatcher watcher([&](int signo) { received.push_back(signo); });
        std::raise(SIGHUP);
        EXPECT_TRUE(QTest::qWaitFor([&] { return received.size() == 1; }, 2000));
    }
    EXPECT_EQ(received, std::vector<int>{SIGHUP});
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction before {};
    ASSERT_EQ(sigaction(SIGHUP, &ignore, &before), 0);
    {
        TSignalWatcher watcher([&](int signo) { received.push_back(signo); });
        std::raise(SIGHUP);
        // The pipe's reader had its chance: a later signal arrives alone.
        std::raise(SIGTERM);
        EXPECT_TRUE(QTest::qWaitFor([&] { return received.size() == 2; }, 2000));
    }
    EXPECT_EQ(received, (std::vector<int>{SIGHUP, SIGTERM}));
    struct sigaction after {};
    ASSERT_EQ(sigaction(SIGHUP, &before, &after), 0);
    EXPECT_EQ(after.sa_handler, SIG_IGN);
}

namespace {

// A host whose box reports another error while it is open.
class TNestedErrorHost : public TDialogHost {
public:
    int MessageBox(const std::string& text, const std::string& title, TMsgIcon, int) override
    {
        Boxes.push_back(title + ": " + text);
        if (Boxes.size() == 1)
            LoopErrors::Report("second failure");
        return IDOK;
    }
    int ExecModal(QDialog&) override { return 0; }
    std::vector<std::string> Boxes;
};

} // namespace

TEST(LoopErrorsTest, ErrorIsLoggedShownOnceAndProgramGoesOn)
{
    std::vector<std::string> logged;
    LoopErrors::SetLogSink([&](const std::string& line) { logged.push_back(line); });
    TNestedErrorHost host;
    TDialogHost* previous = SetDialogHost(&host);
    const int before = LoopErrors::ReportedCount();
    LoopErrors::Report("disk on fire");
    SetDialogHost(previous);
    LoopErrors::SetLogSink(nullptr);
    EXPECT_EQ(LoopErrors::ReportedCount() - before, 2);
    EXPECT_EQ(logged, (std::vector<std::string>{"Error: disk on fire", "Error: second failure"}));
    // The error met while the dialog was open is logged, not stacked.
    EXPECT_EQ(host.Boxes, std::vector<std::string>{"Error: disk on fire"});
}

// Headless, the platform plugin's two notices about windows are dropped;
// every other message, its other "does not support" notices too, reaches
// the handler that was there before.
TEST(HeadlessNoticesTest, OnlyNoticesNoOperatorActsOnAreDropped)
{
    static std::vector<std::string> seen;
    const QtMessageHandler before =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& message) {
            seen.push_back(message.toStdString());
        });
    DropHeadlessNotices();
    qWarning("This plugin does not support raise()");
    qWarning("This plugin does not support propagateSizeHints()");
    qWarning("This plugin does not support lower()");
    qWarning("This plugin does not support raise() here");
    qWarning("QStandardPaths: wrong permissions on runtime directory /tmp/runtime-nobody");
    qCritical("This plugin does not support raise()");
    qInstallMessageHandler(before);
    EXPECT_EQ(seen, (std::vector<std::string>{"This plugin does not support lower()",
                                              "This plugin does not support raise() here",
                                              "QStandardPaths: wrong permissions on runtime "
                                              "directory /tmp/runtime-nobody",
                                              "This plugin does not support raise()"}));
}
