// Every test program runs inside a QApplication so that widgets, timers and
// GUI-thread messaging work; QT_QPA_PLATFORM=offscreen needs no display.
#include "support/scripted_dialogs.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("SKIPMAIL_SOURCE_DIR", SKIPMAIL_TEST_SOURCE_DIR, 0);
    setenv("SKIPMAIL_DATA_DIR", SKIPMAIL_TEST_DATA_DIR, 0);
    QApplication app(argc, argv);
    // A box nobody scripted would wait for a click that never comes.
    TNoDialogs noDialogs;
    SetDialogHost(&noDialogs);
    testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    SetDialogHost(nullptr);
    return rc;
}
