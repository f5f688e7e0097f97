#include "platform/dialogs.h"
#include "platform/shell.h"
#include "support/scripted_dialogs.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QTimer>

#include <string>
#include <vector>

namespace {

TEST(Dialogs, ScriptedBoxesAndDialogsAreAnsweredAndRecorded)
{
    TScriptedDialogs script;
    script.ExpectBox("Password", IDNO).ExpectDialog("QDialog", [](QDialog& d) {
        d.setWindowTitle("Filled");
        return QDialog::Accepted;
    });
    EXPECT_EQ(ShowMessageBox("Wrong Password", "Password Error", MB_YESNO, TMsgIcon::Error), IDNO);
    QDialog dlg;
    dlg.setWindowTitle("Settings");
    EXPECT_EQ(ShowModal(dlg), QDialog::Accepted);
    EXPECT_EQ(dlg.windowTitle(), "Filled");
    ASSERT_EQ(script.Records().size(), 2u);
    EXPECT_EQ(script.Records()[0].title, "Password Error");
    EXPECT_EQ(script.Records()[0].buttons, MB_YESNO);
    EXPECT_EQ(script.Records()[0].icon, TMsgIcon::Error);
    EXPECT_TRUE(script.Records()[1].isDialog);
    EXPECT_EQ(script.Records()[1].title, "Settings");
}

TEST(Dialogs, UnexpectedBoxFailsTheTest)
{
    EXPECT_NONFATAL_FAILURE(ShowMessageBox("Surprise", "Title"), "unexpected message box");
    EXPECT_NONFATAL_FAILURE(
        {
            TScriptedDialogs script;
            script.ExpectDialog("", {});
            ShowMessageBox("B", "T", MB_OKCANCEL);
            QDialog d;
            ShowModal(d);
        },
        "unexpected message box");
    EXPECT_NONFATAL_FAILURE(
        {
            TScriptedDialogs script;
            script.ExpectBox("A", IDOK);
        },
        "never shown");
}

// Without a display (the tests run offscreen) no box may wait: each takes
// the answer of closing it, and its text reaches the log.
TEST(Dialogs, WithoutADisplayBoxesTakeTheirDefaultAndAreLogged)
{
    TQtDialogHost qt;
    TDialogHost* previous = SetDialogHost(&qt);
    std::vector<std::string> log;
    SetUnseenBoxLog([&](const std::string& line) { log.push_back(line); });
    // Should a box wait after all, the test closes it rather than hang.
    bool closedByTest = false;
    QTimer watchdog;
    watchdog.setInterval(500);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        if (QWidget* box = QApplication::activeModalWidget()) {
            closedByTest = true;
            box->close();
        }
    });
    watchdog.start();
    EXPECT_EQ(ShowMessageBox("Serial Port Already in Use.\n\nTry Another Serial Port?",
                             "Serial Port Error", MB_OKCANCEL),
              IDCANCEL);
    EXPECT_EQ(ShowMessageBox("Sure?", "Question", MB_YESNO), IDNO);
    QDialog dialog;
    dialog.setWindowTitle("Login");
    EXPECT_EQ(ShowModal(dialog), QDialog::Rejected);
    watchdog.stop();
    SetUnseenBoxLog(nullptr);
    SetDialogHost(previous);
    EXPECT_FALSE(closedByTest);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], "Serial Port Error: Serial Port Already in Use.  Try Another Serial Port?");
    EXPECT_NE(log[2].find("Login"), std::string::npos);
}

// Once the program ends, not even a host that could answer is asked.
TEST(Dialogs, AfterEndBoxesNoBoxReachesTheHost)
{
    TScriptedDialogs script; // any box fails the test
    EndBoxes();
    EXPECT_EQ(ShowMessageBox("Try Another Serial Port?", "Serial Port Error", MB_OKCANCEL),
              IDCANCEL);
    EXPECT_EQ(ShowMessageBox("Done.", "Note"), IDOK);
    EndBoxes(false);
}

TEST(Shell, StartsTheDesktopProgramsThroughTheLauncher)
{
    std::vector<std::string> started;
    Shell::SetLauncher([&](const std::string& program, const std::vector<std::string>& args) {
        started.push_back(program + " " + args.back());
        return true;
    });
    EXPECT_TRUE(Shell::OpenDocument("/data/Files/a.txt"));
    EXPECT_TRUE(Shell::ShowTextFile("/data/LOGS/x.log"));
    EXPECT_TRUE(Shell::PlaySoundAsync("doorbell.wav"));
    Shell::SetLauncher({});
    EXPECT_EQ(started,
              (std::vector<std::string>{"xdg-open /data/Files/a.txt", "xdg-open /data/LOGS/x.log",
                                        "aplay doorbell.wav"}));
    EXPECT_EQ(Shell::ProgramVersion(), SKIPMAIL_VERSION);
}

} // namespace
