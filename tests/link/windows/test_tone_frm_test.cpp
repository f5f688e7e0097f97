// The test tone dialog from the link control window's menu, with the
// commands it sends the modem.
#include <gtest/gtest.h>

#include <QAction>
#include <QPushButton>
#include <QTest>

#include "link/modem_frame.h"
#include "link/windows/mouse_combo_box.h"
#include "link/windows/test_tone_frm.h"
#include "platform/text.h"
#include "support/scripted_dialogs.h"
#include "window_helpers.h"

namespace {

using namespace ModemFrame;

TEST(TestTones, EveryWayOfClosingTheDialogStopsTheTones)
{
    TOneStation one;
    ASSERT_TRUE(one.Home.Ready());
    // The configuration's own commands (its address, the version request)
    // are on their way still: counted from after them.
    ASSERT_TRUE(PumpUntil([&] { return one.Sent(ModemFrame::kCmdVersions); }));
    const size_t before =
        one.Sim.With([](TModemSimCore& m, TSimRadio&) { return m.commands.size(); });
    auto sentSince = [&] {
        return one.Sim.With([&](TModemSimCore& m, TSimRadio&) {
            return std::vector<uint8_t>(m.commands.begin() + before, m.commands.end());
        });
    };

    TScriptedDialogs dialogs;
    dialogs
        .ExpectDialog("TTestToneFrm",
                      [](QDialog& d) {
                          auto& frm = static_cast<TTestToneFrm&>(d);
                          EXPECT_EQ(FromQt(frm.windowTitle()), "Transmit Test Tones");
                          EXPECT_EQ(frm.ToneBox->currentText(), "Eight Tone Test");
                          // The choice is the mouse's: keys change nothing.
                          QTest::keyClick(frm.ToneBox, Qt::Key_Up);
                          EXPECT_EQ(frm.ToneBox->currentIndex(), 1);
                          frm.Button2->click();
                          EXPECT_EQ(frm.Button2->text(), "&Stop Test");
                          frm.Button2->click();
                          EXPECT_EQ(frm.Button2->text(), "&Start Test");
                          frm.Button1->click(); // OK with no test running
                          return frm.result();
                      })
        .ExpectDialog("TTestToneFrm", [](QDialog& d) {
            auto& frm = static_cast<TTestToneFrm&>(d);
            frm.ToneBox->setCurrentIndex(0);
            frm.Button2->click();
            frm.reject(); // Escape or the window's close button
            return frm.result();
        });
    one.Home.Form->SendTestTones1->trigger();
    one.Home.Form->SendTestTones1->trigger();
    const std::vector<uint8_t> expected{kCmdEightTones, kCmdStopTones, kCmdStopTones,
                                        kCmdSingleTone, kCmdStopTones};
    EXPECT_TRUE(PumpUntil([&] { return sentSince() == expected; }))
        << ::testing::PrintToString(sentSince());
}

TEST(TestTones, NotWhileLinked)
{
    TOneStation one;
    ASSERT_TRUE(one.Home.Ready());
    ASSERT_TRUE(one.LinkWithField());
    TScriptedDialogs boxes;
    boxes.ExpectBox("Disconnect VESKAR link and try again.", IDOK);
    one.Home.Form->SendTestTones1Click();
}

} // namespace
