// The radio command queue: byte groups on the modem stream, the queue's
// rules, and the dead-man watch.
#include <gtest/gtest.h>

#include <algorithm>

#include "link/radio/radio_wire.h"
#include "radio_rig_helpers.h"

namespace {

std::string Encoded(const std::string& command, bool crlf)
{
    std::vector<uint8_t> v = RadioWire::Encode(command, crlf);
    return std::string(v.begin(), v.end());
}

const std::string kCrLf = Bytes({0x80, 0x34, 0x0D, 0x80, 0x33, 0x80, 0x34, 0x0A, 0x80, 0x33});

} // namespace

TEST(RadioWire, ByteGroupsEscapesAndTrailer)
{
    // 0x80 and 0x81 get the 0x81 prefix inside their group.
    EXPECT_EQ(Encoded("\x80", false), Bytes({0x80, 0x34, 0x81, 0x80, 0x80, 0x33}));
    EXPECT_EQ(Encoded("\x80", true), Bytes({0x80, 0x34, 0x81, 0x80, 0x80, 0x33}) + kCrLf);
    EXPECT_EQ(Encoded("A", false), Bytes({0x80, 0x34, 0x41, 0x80, 0x33}));
    // 0x01 0xA0 / 0x01 0xA1 stand for 0x00 / 0x01.
    EXPECT_EQ(Encoded(Bytes({0x01, 0xA0, 0x01, 0xA1}), false),
              Bytes({0x80, 0x34, 0x00, 0x80, 0x33, 0x80, 0x34, 0x01, 0x80, 0x33}));
    // An escape with another byte sends both in one group; a 0x80/0x81 there
    // is still prefixed, so the modem never sees a bare frame byte.
    EXPECT_EQ(Encoded(Bytes({0x01, 0x42}), false), Bytes({0x80, 0x34, 0x01, 0x42, 0x80, 0x33}));
    EXPECT_EQ(Encoded(Bytes({0x01, 0x80}), false),
              Bytes({0x80, 0x34, 0x01, 0x81, 0x80, 0x80, 0x33}));
    EXPECT_EQ(Encoded(Bytes({0x01, 0x81}), false),
              Bytes({0x80, 0x34, 0x01, 0x81, 0x81, 0x80, 0x33}));
    // A lone escape at the end sends nothing.
    EXPECT_EQ(Encoded(Bytes({0x42, 0x01}), false), Bytes({0x80, 0x34, 0x42, 0x80, 0x33}));
    EXPECT_EQ(RadioWire::EscapeFrame({0x00, 0x01, 0x02, 0xFD}), Bytes({1, 0xA0, 1, 0xA1, 2, 0xFD}));
}

TEST(RadioWire, HexDumpShowsRadioBytes)
{
    EXPECT_EQ(RadioWire::HexDump(RadioWire::EscapeFrame({0x00, 0x00, 0x01, 0x09, 0x0C})),
              "[00] [00] [01] [09] [0c] ");
    EXPECT_EQ(RadioWire::HexDump(Bytes({0x01, 0x42, 0xFA})), "[fa] ");
}

TEST(RadioWire, PortErrorsAreLoggedPerGroupAndSendingGoesOn)
{
    struct TCase {
        std::string command;
        bool crlf;
        const char* error;
    } cases[] = {
        {Bytes({0x01, 0xA0}), false, "Hardware Communication Error #33"},
        {Bytes({0x01, 0xA1}), false, "Hardware Communication Error #34"},
        {Bytes({0x01, 0x42}), false, "Hardware Communication Error #35"},
        {Bytes({0x80}), false, "Hardware Communication Error #34"},
        {Bytes({0x81}), false, "Hardware Communication Error #34"},
        {"Z", false, "Hardware Communication Error #36"},
    };
    for (const TCase& c : cases) {
        std::string sent;
        std::vector<std::string> log;
        int fail = 1;
        RadioWire::SendCommand(
            c.command + "Q", c.crlf,
            [&](uint8_t b) {
                if (fail > 0) {
                    --fail;
                    throw std::runtime_error("port");
                }
                sent += static_cast<char>(b);
            },
            [&](const std::string& l) { log.push_back(l); });
        ASSERT_EQ(log.size(), 1u) << c.error;
        EXPECT_EQ(log[0], c.error);
        EXPECT_EQ(sent.substr(sent.size() - 5), Bytes({0x80, 0x34, 'Q', 0x80, 0x33}));
    }
    // The trailer is one guarded group of its own.
    std::vector<std::string> log;
    int calls = 0;
    RadioWire::SendCommand(
        "Q", true,
        [&](uint8_t) {
            if (++calls > 5)
                throw std::runtime_error("port");
        },
        [&](const std::string& l) { log.push_back(l); });
    EXPECT_EQ(log, std::vector<std::string>{"Hardware Communication Error #37"});
}

TEST(RadioQueue, DedupeAgainstLastEntryOnlyAndEmptyRefused)
{
    TRadioRig rig("ICOM M710", {}, "");
    rig.radio->QueueRadioCommand("A");
    rig.radio->QueueRadioCommand("A");
    EXPECT_EQ(rig.radio->QueuedCommands(), (std::vector<std::string>{"A"}));
    rig.radio->QueueRadioCommand("B");
    rig.radio->QueueRadioCommand("A");
    rig.radio->QueueRadioCommand("a");
    EXPECT_EQ(rig.radio->QueuedCommands(), (std::vector<std::string>{"A", "B", "A", "a"}));
    rig.radio->QueueRadioCommand("");
    EXPECT_EQ(rig.radio->QueuedCommands().size(), 4u);
}

TEST(RadioQueue, OneCommandInFlightAndCrLfOnlyForTextModels)
{
    TRadioRig rig("ICOM M710", {}, "");
    rig.simRadio.SetSilent(true);
    rig.radio->QueueRadioCommand("$PICOA,90,01,NB,OFF");
    rig.radio->QueueRadioCommand("$PICOA,90,01,AGC,OFF");
    rig.radio->RadioCmdProcessTimer();
    rig.radio->RadioCmdProcessTimer();
    EXPECT_EQ(rig.port, Wrapped("$PICOA,90,01,NB,OFF\r\n"));
    EXPECT_TRUE(rig.radio->AwaitingReply());
    EXPECT_EQ(rig.cmdTimer.Interval(), 50);
    EXPECT_TRUE(rig.cmdTimer.Enabled());

    TRadioRig ts("KENWOOD TS-850", {}, "");
    ts.radio->QueueRadioCommand("MD1;IF;");
    ts.radio->RadioCmdProcessTimer();
    EXPECT_EQ(ts.port, Wrapped("MD1;IF;"));
}

TEST(RadioQueue, NoneSendsNothingAndLinkHoldsTheQueue)
{
    TRadioRig none("NONE", {}, "");
    none.radio->QueueRadioCommand("X");
    for (int i = 0; i < 5; ++i)
        none.radio->RadioCmdProcessTimer();
    EXPECT_TRUE(none.port.empty());
    EXPECT_TRUE(none.cmdTimer.Enabled());

    TRadioRig rig("BARRETT 950", {}, "");
    rig.linked = true;
    rig.radio->QueueRadioCommand("XC001");
    rig.radio->RadioCmdProcessTimer();
    EXPECT_TRUE(rig.port.empty());
    EXPECT_EQ(rig.cmdTimer.Interval(), 2000);
    EXPECT_TRUE(rig.cmdTimer.Enabled());
    rig.linked = false;
    rig.Pump();
    EXPECT_EQ(rig.cmdTimer.Interval(), 50);
    EXPECT_EQ(rig.modem.radioBytes, "XC001\r\n");
}

TEST(RadioDeadMan, UnansweredCommandIsResentAfterTheFourthTick)
{
    TRadioRig rig("ICOM M710", {}, "");
    rig.simRadio.SetSilent(true);
    rig.radio->QueueRadioCommand("$PICOA,90,01,NB,OFF");
    rig.radio->RadioCmdProcessTimer();
    for (int tick = 1; tick <= 3; ++tick) {
        rig.radio->RadioDeadManTimer();
        rig.radio->RadioCmdProcessTimer();
        EXPECT_TRUE(rig.radio->AwaitingReply()) << tick;
    }
    EXPECT_EQ(rig.port, Wrapped("$PICOA,90,01,NB,OFF\r\n"));
    rig.radio->RadioDeadManTimer();
    EXPECT_FALSE(rig.radio->AwaitingReply());
    EXPECT_EQ(rig.radio->DeadManCount(), 0);
    EXPECT_TRUE(rig.Logged("Error: No response from radio cmd: $PICOA,90,01,NB,OFF"));
    EXPECT_TRUE(rig.Logged("Attempting to send command again..."));
    for (const auto& l : rig.lines)
        EXPECT_FALSE(l.second) << "radio queue lines go to the log file only";
    rig.radio->RadioCmdProcessTimer();
    EXPECT_EQ(rig.port, Wrapped("$PICOA,90,01,NB,OFF\r\n$PICOA,90,01,NB,OFF\r\n"));
    EXPECT_EQ(rig.radio->QueuedCommands().size(), 1u);
    EXPECT_TRUE(rig.deadManTimer.Enabled());
}

TEST(RadioDeadMan, Vx1700DropsAndTheNextCommandGetsItsOwnFourTicks)
{
    TRadioRig rig("VERTEX VX-1700", {}, "");
    rig.simRadio.SetSilent(true);
    const std::string first = RadioWire::EscapeFrame({0x00, 0x00, 0x00, 0x09, 0x0C});
    const std::string second = RadioWire::EscapeFrame({0x25, 0x13, 0x43, 0x01, 0x0A});
    rig.radio->QueueRadioCommand(first);
    rig.radio->QueueRadioCommand(second);
    rig.radio->RadioCmdProcessTimer();
    for (int tick = 1; tick <= 4; ++tick)
        rig.radio->RadioDeadManTimer();
    EXPECT_TRUE(rig.Logged("Error: No response from radio cmd: [00] [00] [00] [09] [0c] "));
    EXPECT_TRUE(rig.Logged("Ignoring Radio Command..."));
    EXPECT_EQ(rig.radio->QueuedCommands(), std::vector<std::string>{second});
    // The drop leaves the count at 0: the next command is not dropped at the
    // next tick but after its own four.
    rig.radio->RadioCmdProcessTimer();
    for (int tick = 1; tick <= 3; ++tick) {
        rig.radio->RadioDeadManTimer();
        EXPECT_EQ(rig.radio->QueuedCommands().size(), 1u) << tick;
    }
    rig.radio->RadioDeadManTimer();
    EXPECT_TRUE(rig.radio->QueuedCommands().empty());
}

// After a drop the VX-1700 answers again, each command just after a tick
// found it in flight: none of them is dropped.
TEST(RadioDeadMan, Vx1700AnsweringAgainAfterADropLosesNoCommand)
{
    TRadioRig rig("VERTEX VX-1700", {}, "");
    rig.simRadio.SetSilent(true);
    const std::vector<std::string> commands = {
        RadioWire::EscapeFrame({0x00, 0x00, 0x00, 0x09, 0x0C}),
        RadioWire::EscapeFrame({0x25, 0x13, 0x43, 0x01, 0x0A}),
        RadioWire::EscapeFrame({0x00, 0x00, 0x00, 0x01, 0x0C})};
    for (const std::string& c : commands)
        rig.radio->QueueRadioCommand(c);
    rig.radio->RadioCmdProcessTimer();
    for (int tick = 1; tick <= 4; ++tick)
        rig.radio->RadioDeadManTimer();
    ASSERT_EQ(rig.radio->QueuedCommands().size(), 2u);
    rig.simRadio.SetSilent(false);
    for (int n = 0; n < 2; ++n) {
        rig.radio->RadioCmdProcessTimer();
        rig.radio->RadioDeadManTimer();
        rig.Deliver();
    }
    EXPECT_TRUE(rig.radio->QueuedCommands().empty());
    EXPECT_EQ(std::count_if(rig.lines.begin(), rig.lines.end(),
                            [](const auto& l) { return l.first == "Ignoring Radio Command..."; }),
              1);
    EXPECT_EQ(std::count_if(rig.lines.begin(), rig.lines.end(),
                            [](const auto& l) { return l.first == "VX-1700 Command Processed"; }),
              2);
}

TEST(RadioDeadMan, ANewHeadStartsItsCountAfresh)
{
    TRadioRig rig("ICOM IC-718", {}, "");
    const std::string a = RadioWire::EscapeFrame({0xFE, 0xFE, 0x5E, 0xE0, 0x06, 0x01, 0x01, 0xFD});
    const std::string b = RadioWire::EscapeFrame({0xFE, 0xFE, 0x5E, 0xE0, 0x06, 0x00, 0x01, 0xFD});
    rig.radio->QueueRadioCommand(a);
    rig.radio->QueueRadioCommand(b);
    rig.simRadio.SetSilent(true);
    rig.radio->RadioCmdProcessTimer();
    rig.radio->RadioDeadManTimer();
    rig.radio->RadioDeadManTimer();
    rig.radio->RadioDeadManTimer();
    EXPECT_EQ(rig.radio->DeadManCount(), 2);
    // The radio answers A late; B goes out with a fresh count.
    rig.radio->ProcessRadioByte(0xFE);
    for (int x : {0xFE, 0xE0, 0x5E, 0xFB, 0xFD})
        rig.radio->ProcessRadioByte(static_cast<uint8_t>(x));
    EXPECT_TRUE(rig.Logged("ICOM IC-718 <- : OK"));
    rig.radio->RadioCmdProcessTimer();
    rig.radio->RadioDeadManTimer();
    EXPECT_EQ(rig.radio->DeadManCount(), 0);
    rig.radio->RadioDeadManTimer();
    rig.radio->RadioDeadManTimer();
    EXPECT_TRUE(rig.radio->AwaitingReply());
    EXPECT_FALSE(rig.Logged("Attempting to send command again..."));
}

TEST(RadioReplies, BarrettOkReleasesHeadAndXonSendsTheNext)
{
    TRadioRig rig("BARRETT 950", {}, "");
    rig.radio->QueueRadioCommand("XN1");
    rig.radio->QueueRadioCommand("XN0");
    rig.radio->RadioCmdProcessTimer();
    for (char c : std::string("OK\r\n"))
        rig.radio->ProcessRadioByte(static_cast<uint8_t>(c));
    EXPECT_TRUE(rig.Logged("Enabled Scan"));
    EXPECT_TRUE(rig.aleTimer.Enabled());
    EXPECT_TRUE(rig.radio->AwaitingReply()) << "OK alone does not release the queue";
    rig.modem.radioBytes.clear();
    rig.radio->ProcessRadioByte(0x11);
    EXPECT_EQ(rig.modem.radioBytes, "XN0\r\n") << "0x11 sends the next command at once";
    for (char c : std::string("OK\r\n"))
        rig.radio->ProcessRadioByte(static_cast<uint8_t>(c));
    EXPECT_TRUE(rig.Logged("Disabled Scan"));
    EXPECT_FALSE(rig.aleTimer.Enabled());
    for (char c : std::string("OK\r\n"))
        rig.radio->ProcessRadioByte(static_cast<uint8_t>(c));
    EXPECT_TRUE(rig.Logged("BARRETT <- : OK without CMD?"));
}

TEST(RadioReplies, UnaskedAnswersReleaseNothing)
{
    TRadioRig rig("ICOM M710", {}, "");
    rig.radio->QueueRadioCommand("$PICOA,90,01,NB,OFF");
    rig.cmdTimer.SetEnabled(false);
    for (char c : std::string("$PICOA,01,90,SQL,ON\r\n"))
        rig.radio->ProcessRadioByte(static_cast<uint8_t>(c));
    // The '$' ran the queue tick, which sent the command; nothing was dropped.
    EXPECT_EQ(rig.radio->QueuedCommands().size(), 1u);
    EXPECT_TRUE(rig.radio->AwaitingReply());
    EXPECT_EQ(rig.modem.radioBytes, "$PICOA,90,01,NB,OFF\r\n");
}

TEST(RadioReplies, CivOkAndNgFromTheirOwnAddressOnly)
{
    for (auto [type, addr] : {std::pair{"ICOM IC-718", 0x5E}, std::pair{"ICOM IC-78", 0x62}}) {
        const std::string name = type;
        const int other = addr == 0x5E ? 0x62 : 0x5E;
        TRadioRig rig(type, {}, "");
        rig.simRadio.SetSilent(true);
        rig.radio->QueueRadioCommand("A");
        rig.radio->QueueRadioCommand("B");
        rig.radio->QueueRadioCommand("C");
        rig.radio->RadioCmdProcessTimer();
        // The other model's OK and the echo of our own frame release nothing.
        for (int x : {0xFE, 0xFE, 0xE0, other, 0xFB, 0xFD, 0xFE, 0xFE, addr, 0xE0, 0xFB, 0xFD})
            rig.radio->ProcessRadioByte(static_cast<uint8_t>(x));
        EXPECT_EQ(rig.radio->QueuedCommands().size(), 3u) << name;
        EXPECT_TRUE(rig.radio->AwaitingReply());
        for (int x : {0xFE, 0xFE, 0xE0, addr, 0xFB, 0xFD})
            rig.radio->ProcessRadioByte(static_cast<uint8_t>(x));
        EXPECT_TRUE(rig.Logged(name + " <- : OK"));
        EXPECT_EQ(rig.radio->QueuedCommands(), (std::vector<std::string>{"B", "C"}));
        EXPECT_FALSE(rig.radio->AwaitingReply());
        rig.radio->RadioCmdProcessTimer();
        for (int x : {0xFE, 0xFE, 0xE0, addr, 0xFA, 0xFD})
            rig.radio->ProcessRadioByte(static_cast<uint8_t>(x));
        EXPECT_TRUE(rig.Logged(name + " <- : NG"));
        EXPECT_EQ(rig.radio->QueuedCommands(), std::vector<std::string>{"C"})
            << "a refused command is not sent again";
    }
}

TEST(RadioReplies, Vx1700ProcessedAndErrorBothRelease)
{
    TRadioRig rig("VERTEX VX-1700", {}, "");
    rig.simRadio.SetSilent(true);
    rig.radio->QueueRadioCommand(RadioWire::EscapeFrame({0x00, 0x00, 0x00, 0x09, 0x0C}));
    rig.radio->QueueRadioCommand(RadioWire::EscapeFrame({0x00, 0x00, 0x00, 0x08, 0x0C}));
    rig.radio->RadioCmdProcessTimer();
    rig.radio->ProcessRadioByte(kVx1700Error);
    EXPECT_TRUE(rig.Logged("VX-1700 Command Error"));
    EXPECT_EQ(rig.radio->QueuedCommands().size(), 1u);
    rig.radio->RadioCmdProcessTimer();
    rig.radio->ProcessRadioByte(kVx1700Processed);
    EXPECT_TRUE(rig.Logged("VX-1700 Command Processed"));
    EXPECT_TRUE(rig.radio->QueuedCommands().empty());
    EXPECT_FALSE(rig.radio->AwaitingReply());
}

TEST(RadioReplies, InitialisationForgetsAHalfReadReply)
{
    TRadioRig rig("ICOM IC-718", {}, "");
    for (int x : {0xFE, 0xFE, 0xE0})
        rig.radio->ProcessRadioByte(static_cast<uint8_t>(x));
    EXPECT_EQ(rig.radio->ReplyBuffer().size(), 3u);
    rig.radio->InitRadio();
    EXPECT_TRUE(rig.radio->ReplyBuffer().empty());
}
