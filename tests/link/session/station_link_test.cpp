// Calls, link states, the idle checks and the automatic and scheduled
// linking, on a window of the test's own and a clock of its own.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <filesystem>
#include <fstream>

#include "core/channel_list.h"
#include "core/config.h"
#include "core/date_time.h"
#include "core/scheduled_link_list.h"
#include "core/station_list.h"
#include "link/link_wire.h"
#include "link/modem_frame.h"
#include "link/session/air_helpers.h"
#include "link/station_link.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"

namespace fs = std::filesystem;
using namespace LinkCode;

namespace {

class TFakeWindow : public TStationLinkHost {
public:
    std::vector<std::vector<uint8_t>> Commands; // command byte, then its arguments
    std::string Sent;                           // link data
    std::vector<std::string> Log;
    std::vector<int> Tuned;
    std::vector<bool> Scanning;
    std::vector<std::string> AleFailures;
    int LinkEnds = 0;
    bool Ready = true;
    // The port refuses writes, which takes the modem's readiness as the
    // window does.
    bool PortDead = false;

    bool PutModemBytes(const std::vector<uint8_t>& bytes) override
    {
        if (PortDead) {
            Ready = false;
            return false;
        }
        if (!bytes.empty() && bytes[0] == ModemFrame::kMarker) {
            std::vector<uint8_t> command;
            for (size_t i = 1; i < bytes.size(); i += 2)
                command.push_back(bytes[i]);
            Commands.push_back(command);
            return true;
        }
        for (size_t i = 0; i < bytes.size(); ++i)
            if (bytes[i] != ModemFrame::kDataEscape || ++i < bytes.size())
                Sent += static_cast<char>(bytes[i]);
        return true;
    }
    void AddStatusLine(const std::string& text, bool) override { Log.push_back(text); }
    bool CheckModemReady() override { return Ready; }
    bool ModemReady() const override { return Ready; }
    void SetScanning(bool start) override { Scanning.push_back(start); }
    void TuneChannel(int channel) override { Tuned.push_back(channel); }
    void HoldChannel() override {}
    void ResetDeadMan() override {}
    int CurrentChannel() const override { return 3; }
    bool RadioPresent() const override { return true; }
    void LinkEnded() override { ++LinkEnds; }
    void ShowLinkState(const std::string&) override {}
    void ShowCounts(const std::string&) override {}
    void ShowProgress(bool, uint64_t, uint64_t) override {}
    void AleFailure(const std::string& station) override { AleFailures.push_back(station); }
    void MailboxChanged() override {}

    int CountOf(uint8_t command) const
    {
        return static_cast<int>(std::count_if(Commands.begin(), Commands.end(),
                                              [&](const auto& c) { return c[0] == command; }));
    }
    bool Logged(const std::string& part) const
    {
        return std::any_of(Log.begin(), Log.end(),
                           [&](const std::string& l) { return l.find(part) != std::string::npos; });
    }
};

class StationLink : public ::testing::Test {
protected:
    void SetUp() override
    {
        Root = Dir.path().toStdString();
        DataRoot::Set(Root);
        WriteFileAtomic(Root + "/stations.dat", "HOME,,0001,,DISABLED,YYY,,,\r\n"
                                                "FIELD,,2,,ENABLED,NYY,,,\r\n"
                                                "FAR,,12a,,ENABLED,YYY,,,\r\n");
        WriteFileAtomic(Root + "/channels.dat", "07102.500:07102.500:LSB:\r\n"
                                                "10145.000:10145.000:USB:\r\n"
                                                "14313.250:14313.250:USB:\r\n");
        Config = std::make_unique<TConfig>(Root + "/skipmail.INI");
        Config->AleVeskar.Attempts = 3;
        Config->AleVeskar.Delay = 15;
        Config->AleVeskar.CallLength = 56;
        Stations = std::make_unique<TStationList>();
        Channels = std::make_unique<TChannelList>();
        Schedule = std::make_unique<TScheduledLinkList>();
        Link = std::make_unique<TStationLink>(*Config, *Stations, *Channels, *Schedule,
                                              TLinkTimers{SendFile, SelCall, EndLink, Ale, Scan},
                                              Window);
        Link->Now = [this] { return Clock; };
    }
    void PeerSays(const std::string& bytes) { Link->LinkData(bytes.data(), bytes.size()); }
    void PeerAnnounces(int mail)
    {
        PeerSays(LinkWire::Message(
            kAnnounce,
            {{'P', "1"}, {'T', "2"}, {'N', "FIELD"}, {'M', std::to_string(mail)}, {'F', "0"}}));
    }
    void PutMail(const std::string& station)
    {
        fs::create_directories(Root + "/STATIONS/" + station);
        std::ofstream(Root + "/STATIONS/" + station + "/1.msg")
            << "RCPT: bob@" << station << "\r\n\r\nhi\r\n";
    }

    QTemporaryDir Dir{TAirPair::TempTemplate()};
    std::string Root;
    TDateTime Clock = 45000.5; // noon: the third quarter of the day
    TWindowTimer SendFile{250, true}, SelCall{30000, false}, EndLink{10000, false},
        Ale{60000, false}, Scan{5000, false};
    TFakeWindow Window;
    std::unique_ptr<TConfig> Config;
    std::unique_ptr<TStationList> Stations;
    std::unique_ptr<TChannelList> Channels;
    std::unique_ptr<TScheduledLinkList> Schedule;
    std::unique_ptr<TStationLink> Link;
};

TEST_F(StationLink, ACallGoesToTheIdOnTheBestChannelBothMayUse)
{
    // FIELD may use channels 2 and 3; 3 linked better at this time of day.
    Stations->SetLinkQualities("FIELD", 1, 10, 10, 10, 10);
    Stations->SetLinkQualities("FIELD", 2, 10, 10, 16, 10);
    ASSERT_TRUE(Link->CallStation("FIELD", 0, false));
    EXPECT_EQ(Window.Tuned, std::vector<int>{3});
    EXPECT_EQ(Window.Scanning, std::vector<bool>{false});
    ASSERT_EQ(Window.Commands.size(), 1u);
    EXPECT_EQ(Window.Commands[0], (std::vector<uint8_t>{0x20, '0', '0', '0', '2', 56, 0}));
    EXPECT_TRUE(Link->AutoLinkAttempt());
    EXPECT_TRUE(SelCall.Enabled());
    EXPECT_EQ(SelCall.Interval(), 86000);
    EXPECT_FALSE(Link->CallStation("FIELD", 0, true)) << "one call at a time";

    // The modem never reports: the watch gives the call up.
    Link->SelCallTimerTimer();
    EXPECT_FALSE(Link->CallUnderway());
    EXPECT_EQ(Window.CountOf(0x06), 1);
    EXPECT_EQ(Window.LinkEnds, 1);

    EXPECT_FALSE(Link->CallStation("FAR", 0, true));
    EXPECT_TRUE(Window.Logged("Cannot call FAR: no valid Selective Call ID"));
    EXPECT_FALSE(Link->CallStation("NOWHERE", 0, true));
    Window.Ready = false;
    EXPECT_FALSE(Link->CallStation("FIELD", 2, true));
    EXPECT_EQ(Window.CountOf(0x20), 1);
}

// Between the modem's report of a station calling and the link, the radio
// must stay on the channel and the station must not call out.
TEST_F(StationLink, AnIncomingCallHoldsTheChannelUntilItLinksOrLapses)
{
    Link->ProcessLinkReport(ModemFrame::kMsgIncoming, "0002");
    EXPECT_TRUE(Link->CallUnderway()) << "what holds the scan and the automatic calls";
    EXPECT_FALSE(Link->CallStation("FIELD", 2, true));
    EXPECT_TRUE(SelCall.Enabled());
    EXPECT_EQ(SelCall.Interval(), 86000);
    Link->SelCallTimerTimer(); // no link came of it
    EXPECT_FALSE(Link->CallUnderway());
    EXPECT_EQ(Window.LinkEnds, 1);
    EXPECT_EQ(Window.CountOf(0x06), 1);

    Link->ProcessLinkReport(ModemFrame::kMsgIncoming, "0002");
    Link->ProcessLinkReport(ModemFrame::kMsgLinkUp, "0002");
    EXPECT_TRUE(Link->Linked());
    EXPECT_FALSE(Link->CallUnderway());
    EXPECT_FALSE(SelCall.Enabled());
}

TEST_F(StationLink, FifteenIdleChecksEndALinkAndAnUnreportedEndIsAborted)
{
    Link->AutoEnd = false;
    ASSERT_TRUE(Link->CallStation("FIELD", 2, true));
    Link->ProcessLinkReport(ModemFrame::kMsgLinkUp, "0002");
    ASSERT_TRUE(Link->Linked());
    EXPECT_EQ(EndLink.Interval(), 10000);
    EXPECT_FALSE(Scan.Enabled());
    Link->EndLinkTimerTimer(); // our announce was activity
    for (int i = 0; i < 10; ++i)
        Link->EndLinkTimerTimer();
    PeerAnnounces(0); // the peer speaks: the count starts again
    Link->EndLinkTimerTimer();
    for (int i = 0; i < 14; ++i)
        Link->EndLinkTimerTimer();
    EXPECT_EQ(Window.CountOf(0x07), 0) << "counts zero, but no automatic end was asked";
    Link->EndLinkTimerTimer();
    EXPECT_EQ(Window.CountOf(0x07), 1);
    EXPECT_TRUE(Window.Logged("No link activity: ending the link with FIELD"));
    Link->EndLinkTimerTimer();
    EXPECT_TRUE(Link->Linked());
    Link->EndLinkTimerTimer();
    EXPECT_FALSE(Link->Linked()) << "the modem never reported the end";
    EXPECT_EQ(Window.CountOf(0x06), 1);
    EXPECT_EQ(Window.LinkEnds, 1);
    EXPECT_FALSE(EndLink.Enabled());
}

TEST_F(StationLink, TheCallerEndsOnceNothingIsLeftTheCalledStationWaits)
{
    ASSERT_TRUE(Link->CallStation("FIELD", 2, true)); // automatic end asked
    Link->ProcessLinkReport(ModemFrame::kMsgLinkUp, "0002");
    Link->EndLinkTimerTimer();
    EXPECT_EQ(Window.CountOf(0x07), 0) << "the peer has not announced yet";
    PeerAnnounces(0);
    Link->EndLinkTimerTimer();
    EXPECT_EQ(Window.CountOf(0x07), 1);
    EXPECT_TRUE(Window.Logged("All mail and files exchanged"));
    Link->ProcessLinkReport(ModemFrame::kMsgDisconnected, "");
    EXPECT_FALSE(Link->Linked());

    // Called: checks 10500 ms apart, and only the idle count ends the link.
    Link->ProcessLinkReport(ModemFrame::kMsgIncoming, "0002");
    Link->ProcessLinkReport(ModemFrame::kMsgLinkUp, "0002");
    EXPECT_EQ(Link->LinkStation(), "FIELD");
    EXPECT_EQ(EndLink.Interval(), 10500);
    PeerAnnounces(0);
    Link->EndLinkTimerTimer();
    Link->EndLinkTimerTimer();
    EXPECT_EQ(Window.CountOf(0x07), 1);
}

TEST_F(StationLink, AutomaticLinksTryEveryAttemptThenReportTheFailure)
{
    Config->AleVeskar.Enabled = true;
    PutMail("FIELD");
    Link->ALETimerTimer();
    ASSERT_EQ(Link->AutoLinkQueue.size(), 1u);
    EXPECT_EQ(Window.CountOf(0x20), 1);
    EXPECT_EQ(Link->AutoLinkQueue[0].Attempts, 2);
    EXPECT_EQ(Ale.Interval(), 5000);
    Link->ALETimerTimer();
    EXPECT_EQ(Window.CountOf(0x20), 1) << "no second call while one is under way";

    const TDateTime minute = 1.0 / (24 * 60);
    for (int attempt = 2; attempt <= 3; ++attempt) {
        Link->ProcessLinkReport(ModemFrame::kMsgLinkFailed, "");
        EXPECT_EQ(Ale.Interval(), 1000);
        EXPECT_NEAR(Link->AutoLinkQueue[0].NextAttempt, Clock + 15 * minute, 1e-9);
        Clock += 14 * minute;
        Link->ALETimerTimer();
        EXPECT_EQ(Window.CountOf(0x20), attempt - 1) << "not yet due";
        Clock += minute;
        Link->ALETimerTimer();
        EXPECT_EQ(Window.CountOf(0x20), attempt);
    }
    EXPECT_TRUE(Window.AleFailures.empty());
    Link->ProcessLinkReport(ModemFrame::kMsgLinkFailed, "");
    EXPECT_EQ(Window.AleFailures, std::vector<std::string>{"FIELD"});
    EXPECT_TRUE(Link->AutoLinkQueue.empty());

    // A busy channel counts as an attempt too; a link ends the entry.
    Config->AleVeskar.BusyChannelDetect = true;
    Link->ALETimerTimer();
    Link->ProcessLinkReport(ModemFrame::kMsgChannelBusy, "");
    EXPECT_EQ(Link->AutoLinkQueue.at(0).Attempts, 2);
    EXPECT_EQ(Window.Scanning.back(), true);
    Clock += 15 * minute;
    Link->ALETimerTimer();
    Link->ProcessLinkReport(ModemFrame::kMsgLinkUp, "0002");
    EXPECT_TRUE(Link->Linked());
    EXPECT_TRUE(Link->AutoLinkQueue.empty());
}

// A call the modem could not take (its port failed on the call, or the
// modem was configured afresh during it) uses no attempt: however long the
// modem stays away, the entry waits with its attempts for the modem.
TEST_F(StationLink, AnAttemptTheModemCouldNotTakeUsesNoAttempt)
{
    Config->AleVeskar.Enabled = true;
    PutMail("FIELD");
    Window.PortDead = true;
    for (int hour = 0; hour < 5; ++hour, Clock += 1.0 / 24)
        Link->ALETimerTimer();
    EXPECT_TRUE(Window.AleFailures.empty());
    ASSERT_EQ(Link->AutoLinkQueue.size(), 1u);
    EXPECT_EQ(Link->AutoLinkQueue[0].Attempts, 3);
    EXPECT_FALSE(Link->CallUnderway());

    Window.PortDead = false;
    Window.Ready = true;
    Link->ALETimerTimer();
    EXPECT_EQ(Window.CountOf(0x20), 1);
    EXPECT_EQ(Link->AutoLinkQueue[0].Attempts, 2);
    Window.Ready = false;
    Link->ModemReset();
    EXPECT_FALSE(Link->CallUnderway());
    EXPECT_EQ(Link->AutoLinkQueue[0].Attempts, 3);
    EXPECT_LE(Link->AutoLinkQueue[0].NextAttempt, Clock) << "due once the modem is ready";
}

TEST_F(StationLink, NoAutomaticCallWhenTheMailHasGoneMeanwhile)
{
    Config->AleVeskar.Enabled = true;
    PutMail("FIELD");
    Link->ALETimerTimer();
    ASSERT_EQ(Window.CountOf(0x20), 1);
    Link->ProcessLinkReport(ModemFrame::kMsgLinkUp, "0002");
    Link->ALETimerTimer();                      // mid-link: the mail is still there
    fs::remove(Root + "/STATIONS/FIELD/1.msg"); // as its success answer does
    Link->ProcessLinkReport(ModemFrame::kMsgDisconnected, "");
    Link->ALETimerTimer();
    EXPECT_EQ(Window.CountOf(0x20), 1) << "a call for nothing";
    EXPECT_TRUE(Link->AutoLinkQueue.empty());

    // A file too large for any link would have the station call for ever.
    const std::string huge = Root + "/STATIONS/FIELD/Files/huge.iso";
    fs::create_directories(Root + "/STATIONS/FIELD/Files");
    std::ofstream(huge).close();
    fs::resize_file(huge, kMaxItemBytes + 1);
    Link->ALETimerTimer();
    EXPECT_EQ(Window.CountOf(0x20), 1);
    EXPECT_TRUE(Link->AutoLinkQueue.empty());
}

// Mail the peer refused on every try of a link waits DELAY minutes, as after
// a failed call: calling back at once would only have it refused again.
TEST_F(StationLink, MailThePeerRefusedWaitsTheDelayForTheNextCall)
{
    Config->AleVeskar.Enabled = true;
    PutMail("FIELD");
    Link->ALETimerTimer();
    Link->ProcessLinkReport(ModemFrame::kMsgLinkUp, "0002");
    PeerAnnounces(0);
    std::string id;
    LinkWire::TParser sent;
    sent.OnMessage = [&](uint8_t code, std::string_view body) {
        std::map<char, std::string> f;
        if (code == kHeader && LinkWire::ParseFields(body, f))
            id = f['I'];
    };
    sent.Feed(Window.Sent.data(), Window.Sent.size());
    ASSERT_FALSE(id.empty());
    for (int i = 0; i < TLinkSession::kMailTries; ++i)
        PeerSays(LinkWire::Message(kFailure, {{'I', id}, {'R', "disk full"}}));
    Link->ProcessLinkReport(ModemFrame::kMsgDisconnected, "");
    Link->ALETimerTimer();
    EXPECT_EQ(Window.CountOf(0x20), 1) << "called back at once";
    Clock += 15.0 / (24 * 60);
    Link->ALETimerTimer();
    EXPECT_EQ(Window.CountOf(0x20), 2);
}

// The operator's abort says nothing of the channel: the link quality stays,
// an aborted attempt keeps its attempt, and the station is not called again
// before DELAY minutes, whether or not the call had linked.
TEST_F(StationLink, TheOperatorsAbortIsNoChannelFailureAndTheNextCallWaits)
{
    Config->AleVeskar.Enabled = true;
    PutMail("FIELD");
    const TDateTime minute = 1.0 / (24 * 60);
    Link->ALETimerTimer();
    ASSERT_EQ(Window.CountOf(0x20), 1);
    Link->ProcessLinkReport(ModemFrame::kMsgLinkUp, "0002");
    PeerAnnounces(0); // the mail is under way
    ASSERT_NE(Window.Sent.find("K=MAIL"), std::string::npos);
    const std::string quality = Stations->Get(1).LinkQuality;
    Link->OperatorAbort();
    EXPECT_FALSE(Link->Linked());
    Link->ProcessLinkReport(ModemFrame::kMsgDisconnected, ""); // the modem's report of it
    EXPECT_EQ(Stations->Get(1).LinkQuality, quality);
    EXPECT_EQ(Window.LinkEnds, 1);

    for (int tick = 0; tick < 3; ++tick, Clock += 7 * minute)
        Link->ALETimerTimer();
    EXPECT_EQ(Window.CountOf(0x20), 1) << "called back before DELAY minutes";
    Link->ALETimerTimer();
    ASSERT_EQ(Window.CountOf(0x20), 2);
    ASSERT_EQ(Link->AutoLinkQueue.size(), 1u);
    EXPECT_EQ(Link->AutoLinkQueue[0].Attempts, 2);

    // Before the call links.
    Link->OperatorAbort();
    EXPECT_FALSE(Link->CallUnderway());
    EXPECT_EQ(Link->AutoLinkQueue[0].Attempts, 3);
    EXPECT_NEAR(Link->AutoLinkQueue[0].NextAttempt, Clock + 15 * minute, 1e-9);
    Link->ALETimerTimer();
    EXPECT_EQ(Window.CountOf(0x20), 2);
}

TEST_F(StationLink, AScheduledLinkCallsAtItsTimeThenWaitsForTheNextDay)
{
    Config->AleVeskar.Enabled = true;
    Clock = 45000 + DateTime::TimeOfDay(9, 59);
    Schedule->Add({"FIELD", DateTime::TimeOfDay(10, 0)});
    Link->BuildAutoLinkSchedule();
    ASSERT_EQ(Link->AutoLinkQueue.size(), 1u);
    EXPECT_NEAR(Link->AutoLinkQueue[0].NextAttempt, 45000 + DateTime::TimeOfDay(10, 0), 1e-9);
    Link->ALETimerTimer();
    EXPECT_EQ(Window.CountOf(0x20), 0);
    EXPECT_EQ(Ale.Interval(), 10000);
    Clock = 45000 + DateTime::TimeOfDay(10, 0, 30);
    Link->ALETimerTimer();
    EXPECT_EQ(Window.CountOf(0x20), 1);
    Link->ProcessLinkReport(ModemFrame::kMsgLinkUp, "0002");
    ASSERT_EQ(Link->AutoLinkQueue.size(), 1u);
    EXPECT_NEAR(Link->AutoLinkQueue[0].NextAttempt, 45001 + DateTime::TimeOfDay(10, 0), 1e-9);
    EXPECT_EQ(Link->AutoLinkQueue[0].Attempts, 3);
}

TEST_F(StationLink, LinkQualityFollowsTheShareOfItemsStored)
{
    ASSERT_TRUE(Link->CallStation("FIELD", 2, true));
    Link->ProcessLinkReport(ModemFrame::kMsgLinkUp, "0002");
    PeerAnnounces(2);
    const std::string good = "RCPT: bob\r\n\r\nhi\r\n";
    const auto offer = [&](const std::string& id, uint32_t crc) {
        char hex[9];
        std::snprintf(hex, sizeof hex, "%08X", crc);
        PeerSays(LinkWire::Message(kHeader, {{'I', id},
                                             {'K', "MAIL"},
                                             {'M', "NONE"},
                                             {'S', std::to_string(good.size())},
                                             {'C', hex},
                                             {'W', std::to_string(good.size())},
                                             {'X', hex}}));
        PeerSays(LinkWire::EscapeData(good));
        PeerSays(LinkWire::Message(kEnd, {{'I', id}}));
    };
    offer("00000000000000F1", LinkWire::Crc32(good));
    offer("00000000000000F2", LinkWire::Crc32(good) ^ 1);
    Link->ProcessLinkReport(ModemFrame::kMsgDisconnected, "");
    // Channel 2, noon: the stored 80 % and the measured 50 % make 65 %.
    EXPECT_EQ(Stations->Get(1).LinkQuality.substr(4, 4), "@@=@");
    EXPECT_TRUE(Window.Logged("Link quality with FIELD on channel 002: 65 %"));
}

} // namespace
