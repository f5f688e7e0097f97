#include "netlib/term/ip_term_emulator.h"
#include "netlib/term/ip_terminal.h"
#include "netlib/term/term_helpers.h"
#include "support/test_host.h"

#include <gtest/gtest.h>

#include <array>
#include <sstream>

namespace {

// A terminal that is the master of its connection and records what it sends.
class TRecordingTerminal : public TIpCustomTerminal {
public:
    bool IsMasterTerminal() const override { return Master; }
    void SendToHost(const char* data, int count) override { Sent.append(data, size_t(count)); }
    bool Master = true;
    std::string Sent;
};

std::vector<std::string> Ours(const std::string& bytes)
{
    TIpVT100Emulator e;
    e.ProcessString(bytes);
    return e.ScreenText();
}

std::string Lines(int n)
{
    std::string s;
    for (int i = 1; i <= n; ++i)
        s += "line " + std::to_string(i) + "\r\n";
    return s;
}

// Byte streams whose screens tmux must show the same.
const std::pair<const char*, std::string> Streams[] = {
    {"cursor motion and erasure",
     "\x1b[2J\x1b[5;10Hhello\x1b[2;3Habcdef\x1b[3D\x1b[K\x1b[3B\x1b[2Cx\x1b[1K\x1b[8;1H" +
         Lines(5) + "\x1b[10;5H\x1b[0J\x1b[3;3H\x1b[1J"},
    {"scroll region, index and reverse index", Lines(24) + "\x1b[5;10r\x1b[10;1H" + Lines(4) +
                                                   "\x1b[5;1H\x1bM\x1bMtop\x1b[10;1H\x1b"
                                                   "D" +
                                                   "\x1b"
                                                   "Enext\x1b[r\x1b[24;1H\r\n\r\nend"},
    {"wrap at the bottom right corner", "\x1b[24;1H" + std::string(85, 'w') + "\x1b[24;80Hz!" +
                                            "\x1b[?7l\x1b[1;75H" + std::string(10, 'n')},
    {"insert and delete characters and lines",
     Lines(12) + "\x1b[2;3H\x1b[4@\x1b[4;1H\x1b[2P\x1b[6;1H\x1b[2L\x1b[10;1H\x1b[3M" +
         "\x1b[1;3H\x1b[4hINS\x1b[4l"},
    {"tab stops",
     std::string(
         "a\tb\tc\r\n\x1b[3g\x1b[1;5H\x1bH\x1b[1;30H\x1bH\x1b[2;1Hx\ty\tz\tw\r\n\x1b[5;5H\x1b[0g") +
         "\r\t1\t2"},
    {"save and restore cursor, relative origin",
     std::string("\x1b[3;7Hsaved\x1b"
                 "7\x1b[20;20Hmoved\x1b"
                 "8here\x1b[5;15r\x1b[?6h\x1b[2;2Horigin") +
         "\x1b[99;1Hbottom\x1b[?6l\x1b[r\x1b[1;1H"},
    {"out-of-range host values",
     std::string("\x1b[0;0Ha\x1b[999;999Hb\x1b[0Ac\x1b[0Bd\x1b[999D\x1b[0Ce\x1b[50;1r\x1b[30;2r") +
         "f\x1b[12;12H\x1b[0Mg\x1b[0Lh\x1b[0Pi\x1b[0@j"},
    {"controls inside sequences", "\x1b[2;\r1Hab\x1b[3\n;\bHcd\x1b[4;\t5Hef\x1b[1\x18HZ\x1b[2;2\x1a"
                                  "H"},
    {"line drawing and character sets", "\x1b(0lqqk\x1b(B\r\n\x1b)0\x0eqx\x0fqx\r\n\x1b(Aabc#"},
};

TEST(IpVT100Emulator, ScreensMatchTmuxForTheSameBytes)
{
    if (RunCommand("command -v tmux").empty())
        SKIP_WITHOUT_TOOL("tmux is not installed");
    for (const auto& [name, bytes] : Streams) {
        const auto reference = TmuxScreen(bytes);
        ASSERT_EQ(reference.size(), 24u) << name;
        EXPECT_EQ(JoinRows(Ours(bytes)), JoinRows(reference)) << name;
    }
}

TEST(IpVT100Emulator, AnswersTheHostOnlyAsMasterTerminal)
{
    TRecordingTerminal t;
    TIpVT100Emulator e;
    t.SetEmulator(&e);
    e.ProcessString("\x1b[5;10H\x1b[6n");
    EXPECT_EQ(t.Sent, "\x1b[5;10R");
    t.Sent.clear();
    e.ProcessString("\x1b[3;20r\x1b[?6h\x1b[6n");
    EXPECT_EQ(t.Sent, "\x1b[1;1R");
    t.Sent.clear();
    e.ProcessString("\x1b[c\x1b[5n\x1b[x\x1b[1x\x05");
    EXPECT_EQ(t.Sent, "\x1b[?1;0c\x1b[0n\x1b[2;1;1;120;120;1;0x\x1b[3;1;1;120;120;1;0xvOVEvuda");
    t.Sent.clear();
    e.ProcessString("\x1b[?2l\x1bZ");
    EXPECT_EQ(t.Sent, "\x1b/Z");
    t.Master = false;
    t.Sent.clear();
    e.ProcessString("\x1b<\x1b[c\x1b[6n\x05");
    EXPECT_EQ(t.Sent, "");
}

TEST(IpVT100Emulator, RenditionCharacterSetsAndEightBitBytes)
{
    TIpVT100Emulator e;
    TIpTerminalBuffer& b = *e.Buffer();
    e.ProcessString("\x1b[1;31mR\x1b[mN\x1b[7;44mV");
    EXPECT_EQ(b.GetLineAttrPtr(1)[0], IpAttr(tcaBold));
    EXPECT_EQ(b.GetLineForeColorPtr(1)[0], 0x000080u);
    EXPECT_EQ(b.GetLineForeColorPtr(1)[1], b.DefForeColor());
    EXPECT_EQ(b.GetLineAttrPtr(1)[1], 0);
    EXPECT_EQ(b.GetLineAttrPtr(1)[2], IpAttr(tcaReverse));
    EXPECT_EQ(b.GetLineBackColorPtr(1)[2], 0x800000u);

    e.ProcessString("\x1b[m\r\n\x1b(0q\x1b(Bq\x1b)0\x0eq\x0fq");
    EXPECT_EQ(std::vector<int>(b.GetLineCharSetPtr(2), b.GetLineCharSetPtr(2) + 4),
              (std::vector<int>{2, 0, 2, 0}));

    // 0xC4 is drawn as the line-drawing q; 0x80 is dropped.
    e.ProcessString("\r\n\xc4\x80|");
    EXPECT_EQ(e.ScreenText()[2], "q|");
    EXPECT_EQ(b.GetLineCharSetPtr(3)[0], 2);
    EXPECT_EQ(b.CharSet(), 0);
    e.DisplayUpperASCII = true;
    e.ProcessString("\x80");
    EXPECT_EQ(b.GetLineCharPtr(3)[2], 0x80);
}

TEST(IpVT100Emulator, ModesAlignmentAndColumns)
{
    TIpVT100Emulator e;
    TIpTerminalBuffer& b = *e.Buffer();
    e.ProcessString("abc\x1b#8");
    for (const auto& row : e.ScreenText())
        EXPECT_EQ(row, std::string(80, 'E'));
    EXPECT_EQ(b.DefAnsiChar(), ' ');
    e.ProcessString("\x1b[?3h");
    EXPECT_EQ(b.ColCount(), 132);
    e.ProcessString("\x1b[?3l");
    EXPECT_EQ(b.ColCount(), 80);
    e.ProcessString("\x1b[?1h\x1b=\x1b[?5h");
    EXPECT_TRUE(e.AppCursorKeys());
    EXPECT_TRUE(e.AppKeypad());
    EXPECT_TRUE(e.ReverseScreen());
    e.ProcessString("\x1b[1;3q");
    EXPECT_EQ(e.LEDs(), 5);
    e.ProcessString("\x1b"
                    "c");
    EXPECT_FALSE(e.AppCursorKeys());
    EXPECT_FALSE(e.ReverseScreen());
    EXPECT_EQ(e.ScreenText()[0], "");
}

TEST(IpVT100Emulator, RestoringAnUnsavedCursorGoesHomeInTheDefaultRendition)
{
    TIpVT100Emulator e;
    TIpTerminalBuffer& b = *e.Buffer();
    e.ProcessString("\x1b[31;1m\x1b[10;10H\x1b"
                    "8x");
    EXPECT_EQ(b.Row(), 1);
    EXPECT_EQ(b.Col(), 2);
    EXPECT_EQ(b.GetLineForeColorPtr(1)[0], 0xC0C0C0u);
    EXPECT_EQ(b.GetLineAttrPtr(1)[0], 0);
}

TEST(IpVT100Emulator, KeysSendTheBytesTerminfoListsForVT100AndVT52)
{
    if (RunCommand("command -v infocmp").empty())
        SKIP_WITHOUT_TOOL("infocmp is not installed");
    // The key behind each final byte of an application-mode key sequence.
    auto keyFor = [](char final, TIpShiftState& shift) -> uint16_t {
        shift = 0;
        if (final >= 'p' && final <= 'y')
            return uint16_t(IpVK::Numpad0 + (final - 'p'));
        if (final >= 'A' && final <= 'D')
            return std::array<uint16_t, 4>{IpVK::Up, IpVK::Down, IpVK::Right,
                                           IpVK::Left}[size_t(final - 'A')];
        if (final >= 'P' && final <= 'S')
            return uint16_t(IpVK::F1 + (final - 'P'));
        if (final == 'l') {
            shift = ssCtrl;
            return IpVK::Decimal;
        }
        if (final == 'n')
            return IpVK::Decimal;
        if (final == 'M')
            return IpVK::Execute;
        if (final == 'm')
            return IpVK::Add;
        return 0;
    };
    for (const std::string term : {"vt100", "vt52"}) {
        TRecordingTerminal t;
        TIpVT100Emulator e;
        t.SetEmulator(&e);
        // Keypad transmit mode, as the terminfo entries describe their keys.
        e.ProcessString(term == "vt100" ? "\x1b[?1h\x1b=" : "\x1b[?2l\x1b=");
        std::istringstream caps(RunCommand("infocmp -1 " + term));
        std::string line;
        int checked = 0;
        while (std::getline(caps, line)) {
            const auto eq = line.find('=');
            if (line.size() < 3 || line[1] != 'k' || eq == std::string::npos)
                continue;
            std::string value = line.substr(eq + 1);
            value.pop_back(); // the comma
            TIpShiftState shift = 0;
            uint16_t key = 0;
            std::string expected;
            if (value == "^H") {
                key = IpVK::Back;
                shift = ssShift;
                expected = "\b";
            } else if (value.rfind("\\E", 0) == 0) {
                expected = "\x1b" + value.substr(2);
                key = keyFor(value.back(), shift);
            }
            ASSERT_NE(key, 0) << term << " " << line;
            t.Sent.clear();
            e.KeyDown(key, shift);
            EXPECT_EQ(key, 0);
            EXPECT_EQ(t.Sent, expected) << term << " " << line;
            ++checked;
        }
        EXPECT_GE(checked, 15) << term;
    }
}

TEST(IpVT100Emulator, CursorKeysFollowTheModesAndRepeatFollowsAutoRepeat)
{
    TRecordingTerminal t;
    TIpVT100Emulator e;
    t.SetEmulator(&e);
    uint16_t key = IpVK::Up;
    e.KeyDown(key, 0);
    EXPECT_EQ(t.Sent, "\x1b[A");
    e.ProcessString("\x1b[20h");
    t.Sent.clear();
    key = IpVK::Execute; // keypad Enter in numeric mode: CR, then LF in new-line mode
    e.KeyDown(key, 0);
    EXPECT_EQ(t.Sent, "\r\n");
    e.ProcessString("\x1b[?8l");
    t.Sent.clear();
    key = IpVK::Up | IpKeyRepeatFlag;
    e.KeyDown(key, 0);
    EXPECT_EQ(key, 0);
    EXPECT_EQ(t.Sent, "");
    key = 'A'; // a letter is left to the character handling
    e.KeyDown(key, 0);
    EXPECT_EQ(key, 'A');
}

TEST(IpTTYEmulator, TabsMoveControlsAreIgnoredAndEchoFollowsHalfDuplex)
{
    TRecordingTerminal t;
    TIpTTYEmulator e;
    t.SetEmulator(&e);
    e.ProcessString("a\tb\x1b[1mc\x01");
    EXPECT_EQ(e.ScreenText()[0], "a       b[1mc");
    char ch = 'x';
    e.KeyPress(ch);
    EXPECT_EQ(t.Sent, "x");
    EXPECT_EQ(e.ScreenText()[0], "a       b[1mc");
    ch = '\b';
    e.KeyPress(ch);
    t.HalfDuplex = true;
    ch = 'y';
    e.KeyPress(ch);
    EXPECT_EQ(t.Sent, "x\x7fy");
    EXPECT_EQ(e.ScreenText()[0], "a       b[1mcy");
}

} // namespace
