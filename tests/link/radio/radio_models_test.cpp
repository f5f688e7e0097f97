// Per model: set-up, tuning, one scan step and the channel read-out, as
// exact bytes on the modem port, run against the simulated radios.
#include <gtest/gtest.h>

#include "link/radio/radio_wire.h"
#include "radio_rig_helpers.h"

namespace {

const std::vector<std::string> kChannels = {"14313.250/14313.250/USB", "07102.500/07100.000/LSB"};

std::string Settings(int speed, bool vx)
{
    std::vector<uint8_t> v = RadioWire::PortSettings(speed, vx);
    return std::string(v.begin(), v.end());
}

struct TModelCase {
    const char* type;
    int speed;
    std::string init;                        // radio bytes of the set-up (scan start included)
    std::string tune2;                       // radio bytes for tuning channel 2
    std::string scan1;                       // radio bytes of the first scan step (channel 1)
    uint32_t wait;                           // ms that tuning waits
    std::string chLabel, freqLabel, sbLabel; // after tuning channel 2
};

std::string Nmea(const std::string& id, std::initializer_list<const char*> tails)
{
    std::string out;
    for (const char* t : tails)
        out += "$PICOA,90," + id + "," + t + "\r\n";
    return out;
}

std::vector<TModelCase> Cases()
{
    std::vector<TModelCase> v;
    for (auto [type, id] : {std::pair{"ICOM M710", "01"}, std::pair{"ICOM M802", "08"},
                            std::pair{"ICOM IC-F7000", "10"}})
        v.push_back({type, 4800, Nmea(id, {"REMOTE,ON", "AGC,OFF", "NB,OFF"}),
                     Nmea(id, {"MODE,LSB", "TXF,07.102500", "RXF,07.100000"}),
                     Nmea(id, {"REMOTE,ON", "MODE,USB", "TXF,14.313250", "RXF,14.313250"}), 3000,
                     "002", "07102.5", "LSB"});
    for (auto [type, addr] : {std::pair{"ICOM IC-718", 0x5E}, std::pair{"ICOM IC-78", 0x62}})
        v.push_back({type, 9600, "",
                     Bytes({0xFE, 0xFE, addr, 0xE0, 0x05, 0x00, 0x25, 0x10, 0x07, 0x00, 0xFD}) +
                         Bytes({0xFE, 0xFE, addr, 0xE0, 0x06, 0x00, 0x01, 0xFD}),
                     Bytes({0xFE, 0xFE, addr, 0xE0, 0x05, 0x50, 0x32, 0x31, 0x14, 0x00, 0xFD}) +
                         Bytes({0xFE, 0xFE, addr, 0xE0, 0x06, 0x01, 0x01, 0xFD}),
                     0, "002", "7102.5", "LSB"});
    for (const char* type : {"BARRETT 950", "BARRETT 2050"})
        v.push_back({type, 9600,
                     "XN0\r\nXOY\r\nPC0001R14313250T14313250HHBU\r\nPC0001ZNSY\r\n"
                     "PC0002R07100000T07102500HHBL\r\nPC0002ZNSN\r\nXS0\r\nERS7\r\nER2\r\nXN1\r\n",
                     "XC002\r\n", "", 0, "", "", ""});
    {
        std::string readout;
        char buf[32];
        for (int n = 1; n <= 99; ++n) {
            std::snprintf(buf, sizeof buf, "MC%03d\rIF\r", n);
            readout += buf;
        }
        v.push_back(
            {"KENWOOD TK-90", 9600, readout, "MC002\rMC\r", "MC001\rMC\r", 0, "002", "", ""});
    }
    {
        std::string readout;
        char buf[32];
        for (int n = 1; n <= 79; ++n) {
            std::snprintf(buf, sizeof buf, "MC%03d;IF;\r\n", n);
            readout += buf;
        }
        v.push_back(
            {"KENWOOD TRC-80", 9600, readout, "MC002;MC;\r\n", "MC001;MC;\r\n", 0, "002", "", ""});
    }
    v.push_back({"KENWOOD TS-850", 4800, "", "MD1;IF;FA00007102500;IF;", "MD2;IF;FA00014313250;IF;",
                 0, "002", "07102.5", "LSB"});
    v.push_back({"VERTEX VX-1700", 4800, "",
                 Bytes({0x00, 0x00, 0x71, 0x00, 0x0A, 0x50, 0x02, 0x71, 0x00, 0x8A, 0x00, 0x00,
                        0x00, 0x08, 0x0C}),
                 Bytes({0x25, 0x13, 0x43, 0x01, 0x0A, 0x25, 0x13, 0x43, 0x01, 0x8A, 0x00, 0x00,
                        0x00, 0x09, 0x0C}),
                 1000, "002", "7100.0", "LSB"});
    return v;
}

void PrintTo(const TModelCase& c, std::ostream* os)
{
    *os << c.type;
}

class RadioModel : public ::testing::TestWithParam<TModelCase> {};

} // namespace

TEST_P(RadioModel, InitTuneScanStepExactBytes)
{
    const TModelCase& c = GetParam();
    TRadioRig rig(c.type, kChannels, "YN");
    rig.config->Radio950.ResumeScan = "2";
    const bool vx = std::string(c.type) == "VERTEX VX-1700";

    // Set-up: port settings first, then the model's commands one by one.
    rig.radio->InitRadio();
    EXPECT_EQ(rig.speeds, std::vector<int>{c.speed});
    rig.Pump();
    EXPECT_EQ(rig.modem.radioBytes, c.init);
    EXPECT_EQ(rig.port, Settings(c.speed, vx) + Wrapped(c.init));
    EXPECT_TRUE(rig.radio->QueuedCommands().empty());
    EXPECT_FALSE(rig.radio->AwaitingReply()) << "every command was answered";

    // Tuning channel 2, with the wait running the queue through the clock.
    rig.radio->SetScanning(false);
    rig.Pump();
    rig.ClearCapture();
    rig.radio->TuneChannel(2);
    rig.Pump();
    EXPECT_EQ(rig.modem.radioBytes, c.tune2);
    EXPECT_EQ(rig.port, Wrapped(c.tune2));
    EXPECT_EQ(rig.pumps, static_cast<int>(c.wait / 100));
    EXPECT_EQ(rig.Label(TRadioLabel::Channel), c.chLabel);
    EXPECT_EQ(rig.Label(TRadioLabel::Freq), c.freqLabel);
    EXPECT_EQ(rig.Label(TRadioLabel::SideBand), c.sbLabel);

    // One scan step from the start visits channel 1.
    rig.radio->SetScanning(true);
    rig.Pump();
    rig.ClearCapture();
    rig.radio->ScanTimerTimer();
    rig.Pump();
    EXPECT_EQ(rig.modem.radioBytes, c.scan1);
    EXPECT_EQ(rig.port, Wrapped(c.scan1));
    EXPECT_EQ(rig.pumps, static_cast<int>(c.wait / 100)) << "a scan step never waits";
}

INSTANTIATE_TEST_SUITE_P(AllModels, RadioModel, ::testing::ValuesIn(Cases()), [](const auto& info) {
    std::string n;
    for (char ch : std::string(info.param.type))
        if (std::isalnum(static_cast<unsigned char>(ch)))
            n += ch;
    return n;
});

TEST(RadioInit, NoneOnlyEmptiesAndStopsScanning)
{
    TRadioRig rig("NONE", kChannels, "YY");
    rig.radio->QueueRadioCommand("X");
    rig.scanTimer.SetEnabled(true);
    rig.radio->InitRadio();
    EXPECT_TRUE(rig.radio->QueuedCommands().empty());
    EXPECT_FALSE(rig.scanTimer.Enabled());
    EXPECT_TRUE(rig.speeds.empty());
    EXPECT_TRUE(rig.port.empty());
}

TEST(RadioInit, BarrettWithoutChannelsAndUnknownResume)
{
    TRadioRig rig("BARRETT 2050", {}, "");
    rig.config->Radio950.ResumeScan = "7";
    rig.radio->InitRadio();
    EXPECT_EQ(rig.radio->QueuedCommands(),
              (std::vector<std::string>{"XN0", "XOY", "XS0", "ERS7", "XN1"}));
    EXPECT_FALSE(rig.scanTimer.Enabled());
}

TEST(RadioInit, QueryRadioChannelsOnlyForKenwoodMemoryRadios)
{
    TRadioRig tk("KENWOOD TK-90", {}, "");
    tk.radio->QueryRadioChannels();
    EXPECT_EQ(tk.radio->QueuedCommands().size(), 99u);
    EXPECT_EQ(tk.radio->QueuedCommands().front(), "MC001\rIF\r");
    TRadioRig ic("ICOM M710", {}, "");
    ic.radio->QueryRadioChannels();
    EXPECT_TRUE(ic.radio->QueuedCommands().empty());
}

TEST(RadioTune, ChannelOutOfRangeLogsAndTunesNothing)
{
    TRadioRig rig("ICOM M802", kChannels, "YY");
    for (int n : {0, -3, 3}) {
        rig.lines.clear();
        rig.radio->TuneChannel(n);
        ASSERT_EQ(rig.lines.size(), 1u) << n;
        EXPECT_EQ(rig.lines[0], (std::pair<std::string, bool>{"Channel Error!", true}));
        EXPECT_TRUE(rig.radio->QueuedCommands().empty());
        EXPECT_TRUE(rig.labels.empty());
        EXPECT_EQ(rig.pumps, 0);
    }
}

TEST(RadioTune, IcomM802LowBandAndLabels)
{
    TRadioRig rig("ICOM M802", {"02182.000/02182.000/LSB"}, "Y");
    rig.answer = false;
    rig.simRadio.SetSilent(true);
    rig.radio->TuneChannel(1);
    EXPECT_EQ(rig.Label(TRadioLabel::Freq), "02182.0");
    EXPECT_EQ(rig.modem.radioBytes, "$PICOA,90,08,MODE,LSB\r\n");
    EXPECT_EQ(rig.radio->QueuedCommands(),
              (std::vector<std::string>{"$PICOA,90,08,MODE,LSB", "$PICOA,90,08,TXF,02.182000",
                                        "$PICOA,90,08,RXF,02.182000"}));
}

TEST(RadioTune, CivFrequencyOfWrongLengthIsRefused)
{
    TRadioRig rig("ICOM IC-78", {"143132500/143132500/USB"}, "Y");
    rig.radio->TuneChannel(1);
    EXPECT_TRUE(rig.Logged("Error setting frequency"));
    EXPECT_TRUE(rig.radio->QueuedCommands().empty());
    EXPECT_EQ(rig.Label(TRadioLabel::Channel), "001");
    EXPECT_EQ(rig.Label(TRadioLabel::SideBand), "USB");
}

TEST(RadioTune, TuningPurgesStaleScanCommands)
{
    TRadioRig rig("ICOM M710", kChannels, "YY");
    rig.simRadio.SetSilent(true);
    rig.answer = false;
    rig.radio->SetScanning(true);
    rig.radio->ScanTimerTimer(); // queues four sentences for channel 1
    rig.radio->RadioCmdProcessTimer();
    ASSERT_EQ(rig.radio->QueuedCommands().size(), 4u);
    rig.radio->SetScanning(false);
    rig.radio->TuneChannel(2);
    // Only the sentence in flight stays before the call's tuning.
    EXPECT_EQ(
        rig.radio->QueuedCommands(),
        (std::vector<std::string>{"$PICOA,90,01,REMOTE,ON", "$PICOA,90,01,MODE,LSB",
                                  "$PICOA,90,01,TXF,07.102500", "$PICOA,90,01,RXF,07.100000"}));
}

TEST(RadioShutdown, RemoteOffGoesStraightToThePort)
{
    for (auto [type, id] : {std::pair{"ICOM M710", "01"}, std::pair{"ICOM M802", "08"},
                            std::pair{"ICOM IC-F7000", "10"}}) {
        TRadioRig rig(type, {}, "");
        rig.radio->QueueRadioCommand(std::string("$PICOA,90,") + id + ",NB,OFF");
        rig.radio->SendRemoteOff();
        EXPECT_EQ(rig.port, Wrapped(std::string("$PICOA,90,") + id + ",REMOTE,OFF\r\n"));
        EXPECT_EQ(rig.radio->QueuedCommands().size(), 1u) << "the queue is left alone";
    }
    TRadioRig other("KENWOOD TS-850", {}, "");
    other.radio->SendRemoteOff();
    EXPECT_TRUE(other.port.empty());
}
