// Scanning: which channels the steps visit, and when they do nothing.
#include <gtest/gtest.h>

#include "radio_rig_helpers.h"

namespace {

const std::vector<std::string> kFour = {"03000.000/03000.000/USB", "04000.000/04000.000/USB",
                                        "05000.000/05000.000/USB", "06000.000/06000.000/USB"};

// The channel each of `n` steps tuned ("" for none).
std::vector<std::string> Steps(TRadioRig& rig, int n)
{
    std::vector<std::string> out;
    for (int i = 0; i < n; ++i) {
        rig.labels.clear();
        rig.radio->ScanTimerTimer();
        rig.Pump();
        EXPECT_TRUE(rig.scanTimer.Enabled());
        out.push_back(rig.Label(TRadioLabel::Channel));
    }
    return out;
}

} // namespace

TEST(RadioScan, StepsVisitUsableChannelsWithoutWrapping)
{
    TRadioRig rig("ICOM IC-718", kFour, "YYNN");
    rig.radio->SetScanning(true);
    EXPECT_TRUE(rig.scanTimer.Enabled());
    EXPECT_EQ(rig.radioStatus, std::vector<std::string>{"Scanning"});
    EXPECT_EQ(Steps(rig, 6), (std::vector<std::string>{"001", "002", "", "001", "002", ""}));

    TRadioRig even("ICOM IC-718", kFour, "NYNY");
    even.radio->SetScanning(true);
    EXPECT_EQ(Steps(even, 4), (std::vector<std::string>{"002", "004", "002", "004"}));
}

// A call heard while a scan step waits in the queue: the radio stays on the
// channel it heard the call on, and that is the channel it reports.
TEST(RadioScan, AnIncomingCallHoldsTheChannelTheRadioIsOn)
{
    TRadioRig rig("ICOM M710", kFour, "YYYY");
    rig.radio->SetScanning(true);
    EXPECT_EQ(rig.radio->TunedChannel(), 0);
    EXPECT_EQ(Steps(rig, 2), (std::vector<std::string>{"001", "002"}));
    EXPECT_EQ(rig.radio->TunedChannel(), 2);
    rig.radio->ScanTimerTimer(); // channel 3's step, not yet sent
    rig.radio->HoldChannel();
    EXPECT_TRUE(rig.radio->QueuedCommands().empty());
    rig.Pump();
    EXPECT_EQ(rig.radio->TunedChannel(), 2);
    EXPECT_EQ(rig.simRadio.ReceiveHz(), 4000000u);
    EXPECT_EQ(rig.Label(TRadioLabel::Channel), "002");
    EXPECT_EQ(rig.Label(TRadioLabel::Freq), "04000.0");

    // A step whose receiving frequency went out is finished: the radio is on
    // that channel, in its mode too.
    TRadioRig civ("ICOM IC-718", {"03000.000/03000.000/LSB"}, "Y");
    civ.radio->SetScanning(true);
    civ.radio->ScanTimerTimer();
    civ.radio->RadioCmdProcessTimer(); // the frequency, in flight
    civ.radio->HoldChannel();
    EXPECT_EQ(civ.radio->QueuedCommands().size(), 2u);
    civ.Pump();
    EXPECT_EQ(civ.radio->TunedChannel(), 1);
    EXPECT_EQ(civ.simRadio.ReceiveHz(), 3000000u);
    EXPECT_EQ(civ.simRadio.Mode(), "LSB");
}

TEST(RadioScan, EmptyTableAndStop)
{
    TRadioRig rig("VERTEX VX-1700", {}, "");
    rig.radio->SetScanning(true);
    EXPECT_TRUE(rig.Logged("Scan Error: No Channels programmed"));
    EXPECT_FALSE(rig.scanTimer.Enabled());
    rig.lines.clear();
    rig.radio->SetScanning(false);
    EXPECT_TRUE(rig.lines.empty()) << "no channels: no \"Scan Stopped\"";

    TRadioRig two("VERTEX VX-1700", kFour, "YYYY");
    two.radio->SetScanning(true);
    two.radio->SetScanning(false);
    EXPECT_EQ(two.lines.back(), (std::pair<std::string, bool>{"Scan Stopped", true}));
    EXPECT_FALSE(two.scanTimer.Enabled());
}

TEST(RadioScan, BarrettScansByItself)
{
    TRadioRig rig("BARRETT 950", kFour, "YYYY");
    rig.radio->SetScanning(true);
    EXPECT_EQ(rig.radio->QueuedCommands(), std::vector<std::string>{"XN1"});
    EXPECT_FALSE(rig.scanTimer.Enabled());
    rig.radio->SetScanning(false);
    EXPECT_EQ(rig.radio->QueuedCommands(), (std::vector<std::string>{"XN1", "XN0"}));
    rig.scanTimer.SetEnabled(true);
    rig.radio->ScanTimerTimer();
    EXPECT_EQ(rig.radio->QueuedCommands().size(), 2u);
    EXPECT_TRUE(rig.scanTimer.Enabled());
}

TEST(RadioScan, PausedLinkedNotReadyAndBusyQueue)
{
    TRadioRig rig("ICOM M710", kFour, "YYYY");
    rig.radio->SetScanning(true);

    rig.voiceShowing = true;
    rig.radio->ScanTimerTimer();
    EXPECT_EQ(rig.Label(TRadioLabel::Status), "Paused");
    EXPECT_TRUE(rig.scanTimer.Enabled());
    rig.scanTimer.SetEnabled(false);
    rig.radio->SetScanning(true);
    EXPECT_FALSE(rig.scanTimer.Enabled()) << "voice mode ignores start requests";
    rig.voiceShowing = false;
    rig.radio->SetScanning(true);

    rig.linked = true;
    rig.radio->ScanTimerTimer();
    EXPECT_TRUE(rig.scanTimer.Enabled());
    EXPECT_TRUE(rig.radio->QueuedCommands().empty());
    rig.linked = false;
    rig.callUnderway = true;
    rig.radio->ScanTimerTimer();
    EXPECT_TRUE(rig.radio->QueuedCommands().empty());
    rig.callUnderway = false;

    // A silent radio: the next step waits until the last one is worked off.
    rig.simRadio.SetSilent(true);
    rig.radio->ScanTimerTimer();
    EXPECT_EQ(rig.radio->QueuedCommands().size(), 4u);
    rig.voiceShowing = true;
    rig.radio->ScanTimerTimer();
    rig.voiceShowing = false;
    rig.radio->ScanTimerTimer();
    EXPECT_EQ(rig.Label(TRadioLabel::Status), "Scanning") << "a held step still shows it";
    rig.radio->ScanTimerTimer();
    EXPECT_EQ(rig.radio->QueuedCommands().size(), 4u);
    EXPECT_EQ(rig.radio->ScanPosition(), 1);
    EXPECT_TRUE(rig.scanTimer.Enabled());

    rig.modemReady = false;
    rig.radio->ScanTimerTimer();
    EXPECT_FALSE(rig.scanTimer.Enabled());
    rig.radio->SetScanning(true);
    EXPECT_FALSE(rig.scanTimer.Enabled());
}
