// Every test program runs inside a QApplication so that widgets, timers and
// GUI-thread messaging work; QT_QPA_PLATFORM=offscreen needs no display.
#include "platform/qt_runtime_folder.h"
#include "support/scripted_dialogs.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("SKIPMAIL_SOURCE_DIR", SKIPMAIL_TEST_SOURCE_DIR, 0);
    setenv("SKIPMAIL_DATA_DIR", SKIPMAIL_TEST_DATA_DIR, 0);
    // What Qt and the programs a test runs keep for a user (a file dialog's
    // history, caches) goes to the build's folder, never the user's home.
    const std::string home = SKIPMAIL_TEST_HOME;
    setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (home + "/cache").c_str(), 1);
    setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
    setenv("XDG_STATE_HOME", (home + "/state").c_str(), 1);
    // The Python peers a test starts write no __pycache__ into the checkout.
    setenv("PYTHONDONTWRITEBYTECODE", "1", 1);
    const TQtRuntimeFolder runtimeFolder;
    QApplication app(argc, argv);
    // A box nobody scripted would wait for a click that never comes.
    TNoDialogs noDialogs;
    SetDialogHost(&noDialogs);
    testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    SetDialogHost(nullptr);
    return rc;
}
