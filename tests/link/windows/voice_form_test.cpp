// Voice mode and the hardware abort on the link control window, with the
// bytes they put on the modem port.
#include <gtest/gtest.h>

#include <QLabel>

#include <filesystem>
#include <fstream>

#include "link/modem_frame.h"
#include "link/windows/voice_form.h"
#include "platform/text.h"
#include "support/scripted_dialogs.h"
#include "window_helpers.h"

namespace {

std::vector<std::string> RadioCommands(TModemSimPty& sim)
{
    return sim.With([](TModemSimCore&, TSimRadio& r) { return r.Commands(); });
}

TEST(VoiceMode, EndsTheLinkAndHoldsCallsAndScanningUntilOk)
{
    TOneStation one("ICOM M710");
    TLinkCtrlFrm& form = *one.Home.Form;
    one.Home.Config->AleVeskar.Enabled = true;
    ASSERT_TRUE(one.Home.Ready());
    ASSERT_TRUE(one.LinkWithField());
    form.AddAutoLinkEntry("FIELD", "Auto", 0); // due at once
    const size_t radioBefore = RadioCommands(one.Sim).size();

    TScriptedDialogs dialogs;
    dialogs.ExpectDialog("TVoiceForm", [&](QDialog& d) {
        EXPECT_EQ(FromQt(d.windowTitle()), "Voice ");
        EXPECT_EQ(FromQt(form.StatusLabel->text()), "Paused");
        EXPECT_TRUE(PumpUntil([&] { return one.Sent(ModemFrame::kCmdDisconnect); }));
        // The modem reports the link's end while the operator speaks.
        one.Sim.Send(TModemSimCore::Message(ModemFrame::kMsgDisconnected, ""));
        EXPECT_TRUE(PumpUntil([&] { return !form.IsLinked(); }));
        form.ScanTimerTimer();
        form.ALETimer.OnTimer();
        EXPECT_FALSE(form.Link().CallUnderway());
        EXPECT_FALSE(form.EndLinkTimer.Enabled());
        EXPECT_TRUE(
            PumpUntil([&] { return RadioCommands(one.Sim).back() == "$PICOA,90,01,REMOTE,OFF"; }));
        return static_cast<int>(QDialog::Accepted);
    });
    form.VoiceBtnClick();
    EXPECT_NE(one.Home.Log().find("Disconnecting from Station: FIELD"), std::string::npos);
    const std::vector<std::string> radio = RadioCommands(one.Sim);
    EXPECT_EQ(std::vector<std::string>(radio.begin() + radioBefore, radio.end()),
              (std::vector<std::string>{"$PICOA,90,01,REMOTE,OFF"}))
        << "no tuning and no remote-on while the radio is the operator's";
    EXPECT_EQ(FromQt(form.StatusLabel->text()), "");
    EXPECT_TRUE(form.ALETimer.Enabled());
    EXPECT_EQ(FromQt(form.LinkStateLabel->text()), "Idle");
}

// Voice mode and abort take the modem off an automatic attempt; the attempt
// comes again DELAY minutes later, on the next day when that is after
// midnight, and the operator's choice uses none of the entry's attempts.
TEST(VoiceMode, AbortOrVoiceRequeueTheAutomaticAttemptAFullDelayLater)
{
    TOneStation one;
    TLinkCtrlFrm& form = *one.Home.Form;
    TConfig& config = *one.Home.Config;
    config.AleVeskar.Enabled = true;
    config.AleVeskar.Attempts = 3;
    config.AleVeskar.Delay = 5;
    const TDateTime beforeMidnight = 45000 + (23 * 60 + 58) / 1440.0;
    form.Link().Now = [&] { return beforeMidnight; };

    // Not configured: the box, and the abort goes out all the same.
    one.Sim.With([](TModemSimCore& m, TSimRadio&) { m.answerInit = false; });
    ASSERT_EQ(form.OpenModemPort(one.Home.Port), 1);
    {
        TScriptedDialogs boxes;
        boxes.ExpectBox("Modem is not configured", IDOK);
        form.HardwareAbortClick();
    }
    EXPECT_TRUE(PumpUntil([&] { return one.Sent(ModemFrame::kCmdAbort); }));
    one.Sim.With([](TModemSimCore& m, TSimRadio&) { m.answerInit = true; });
    ASSERT_TRUE(one.Home.Ready());

    std::filesystem::create_directories(one.Home.Root + "/STATIONS/FIELD");
    std::ofstream(one.Home.Root + "/STATIONS/FIELD/1.msg") << "RCPT: bob@FIELD\r\n\r\nhi\r\n";
    for (void (TLinkCtrlFrm::*command)() :
         {&TLinkCtrlFrm::HardwareAbortClick, &TLinkCtrlFrm::VoiceBtnClick}) {
        form.AddAutoLinkEntry("FIELD", "Auto", beforeMidnight);
        form.ALETimerTimer();
        ASSERT_TRUE(form.Link().AutoLinkAttempt());
        ASSERT_TRUE(form.SelCallTimer.Enabled());
        (form.*command)();
        EXPECT_FALSE(form.Link().CallUnderway());
        EXPECT_FALSE(form.SelCallTimer.Enabled());
        ASSERT_EQ(form.AutoLinkQueue.size(), 1u);
        EXPECT_EQ(form.AutoLinkQueue[0].Type, "Auto");
        EXPECT_NEAR(form.AutoLinkQueue[0].NextAttempt, beforeMidnight + 5 / 1440.0, 1e-6);
    }
    EXPECT_EQ(form.AutoLinkQueue[0].Attempts, 3);
    EXPECT_NE(one.Home.Log().find("Aborting"), std::string::npos);
    EXPECT_TRUE(form.ScanTimer.Enabled());
    EXPECT_TRUE(PumpUntil([&] { return one.Sent(ModemFrame::kCmdDisconnect); }));
}

// A scheduled attempt that the operator takes the modem off comes again as
// "Auto" DELAY minutes later, beside its scheduled entry, although the
// station is not called automatically and holds nothing waiting.
TEST(VoiceMode, AbortOrVoiceDuringAScheduledAttemptQueueAnAutoAttempt)
{
    TOneStation one;
    TLinkCtrlFrm& form = *one.Home.Form;
    TConfig& config = *one.Home.Config;
    config.AleVeskar.Enabled = true;
    config.AleVeskar.Attempts = 3;
    config.AleVeskar.Delay = 5;
    const TDateTime now = 45000.5;
    form.Link().Now = [&] { return now; };
    ASSERT_TRUE(one.Home.Ready());
    for (void (TLinkCtrlFrm::*command)() :
         {&TLinkCtrlFrm::HardwareAbortClick, &TLinkCtrlFrm::VoiceBtnClick}) {
        form.AutoLinkQueue.clear();
        form.AddAutoLinkEntry("FIELD", "Scheduled", now);
        form.ALETimerTimer();
        ASSERT_TRUE(form.Link().AutoLinkAttempt());
        (form.*command)();
        ASSERT_EQ(form.AutoLinkQueue.size(), 2u);
        for (const TAutoLinkEntry& e : form.AutoLinkQueue) {
            EXPECT_EQ(e.StationName, "FIELD");
            EXPECT_EQ(e.Attempts, 3) << e.Type;
            EXPECT_NEAR(e.NextAttempt, now + 5 / 1440.0, 1e-6) << e.Type;
        }
        EXPECT_EQ(form.AutoLinkQueue[1].Type, "Auto");
    }
}

} // namespace
