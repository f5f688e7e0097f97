// Hostile input for the terminal under AddressSanitizer: mutated host byte
// streams for the VT100 emulator (with the geometry changing under it, and
// its window painting it) and mutated binary mapping tables. Bounded in count
// and time.

#include "netlib/term/ip_term_emulator.h"
#include "netlib/term/ip_term_mappings.h"
#include "netlib/term/ip_terminal.h"

#include <QApplication>
#include <chrono>
#include <gtest/gtest.h>
#include <random>

namespace {

const char* const Seeds[] = {
    "\x1b[2J\x1b[5;10Hhello\x1b[2;3Habcdef\x1b[3D\x1b[K\x1b[3B\x1b[2Cx\x1b[1K",
    "\x1b[5;10r\x1b[10;1Hline\r\nline\r\n\x1bM\x1bMtop\x1b"
    "D\x1b"
    "Enext\x1b[r",
    "\x1b[?7l\x1b[1;75Hnnnnnnnnnn\x1b[?7h\x1b[24;80Hzz",
    "\x1b[2;3H\x1b[4@\x1b[2P\x1b[2L\x1b[3M\x1b[4hINS\x1b[4l\x1b[3X",
    "a\tb\x1b[3g\x1bH\x1b[0g\x1b"
    "7\x1b[20;20H\x1b"
    "8\x1b[?6h\x1b[2;2H\x1b[?6l",
    "\x1b(0lqk\x1b(B\x1b)0\x0eqx\x0f\x1b#8\x1b#3\x1b#4\x1b#6\x1b#5\xc4\xb0\xda",
    "\x1b[?2l\x1b"
    "A\x1bY%*\x1bZ\x1b<\x1b[?3h\x1b[?3l\x1b[6n\x1b[c\x1b[x\x05",
    "\x1b[1;4;5;7;31;42m\x1b[m\x1b[1;2q\x1b[0q\x1b"
    "c\x1b[61\"p\x1b[?1h\x1b=",
};

const char Alphabet[] = "\x1b[;?0123456789ABCDHJKLMPXcfghlmnqrsuxy#()\x08\x09\x0a\x0d\x18 aq";

std::string Mutate(std::mt19937& rng, std::string s)
{
    const int edits = 1 + int(rng() % 8);
    for (int i = 0; i < edits; ++i) {
        const size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
        switch (rng() % 5) {
        case 0:
            s.insert(at, 1, Alphabet[rng() % (sizeof Alphabet - 1)]);
            break;
        case 1:
            if (at < s.size())
                s.erase(at, 1 + rng() % 4);
            break;
        case 2:
            if (at < s.size())
                s[at] = char(rng());
            break;
        case 3:
            s.insert(at, std::to_string(int(rng() % 100000) - 50000));
            break;
        default:
            s.insert(at, Seeds[rng() % std::size(Seeds)]);
            break;
        }
    }
    return s;
}

template <typename T> T Pick(std::mt19937& rng, std::initializer_list<T> values)
{
    return *(values.begin() + rng() % values.size());
}

TEST(IpTerminalMutation, HostStreamsStayInsideTheArrays)
{
    std::mt19937 rng(20261206);
    TIpVT100Emulator vt;
    TIpTerminalBuffer& b = *vt.Buffer();
    // Painted now and then, in a window that learns of no size change.
    TIpTerminal window;
    window.SetEmulator(&vt);
    window.resize(90 * window.CellWidth(), 30 * window.CellHeight());
    QImage image(window.size(), QImage::Format_RGB32);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int rounds = 0;
    for (; rounds < 4000 && std::chrono::steady_clock::now() < deadline; ++rounds) {
        if (rounds % 97 == 0) {
            b.SetSVRowCount(Pick(rng, {2, 3, 30, 200}));
            b.SetRowCount(Pick(rng, {2, 5, 24, 30}));
            b.SetColCount(Pick(rng, {2, 3, 80, 132}));
        }
        vt.ProcessString(Mutate(rng, Seeds[rng() % std::size(Seeds)]));
        ASSERT_GE(b.Col(), 1);
        ASSERT_LE(b.Col(), b.ColCount());
        ASSERT_GE(b.Row() + (b.UseAbsAddressing ? 0 : b.OriginRow() - 1),
                  1 - (b.SVRowCount() - b.RowCount()));
        ASSERT_LE(b.Row() + (b.UseAbsAddressing ? 0 : b.OriginRow() - 1), b.RowCount());
        ASSERT_EQ(vt.ScreenText().size(), size_t(b.RowCount()));
        TIpRect r;
        b.GetInvalidRect(r);
        vt.HasBlinkingText();
        if (rounds % 20 == 0)
            window.render(&image);
    }
    EXPECT_GE(rounds, 100);
}

TEST(IpTerminalMutation, MappingLoadersRefuseDamagedTables)
{
    std::mt19937 rng(7);
    const std::string keys = *IpProgramResources().Find("IPVT100KEYMAP");
    const std::string sets = *IpProgramResources().Find("IPVT100CHARSET");
    TIpKeyboardMapping k;
    TIpCharSetMapping c;
    for (int i = 0; i < 300; ++i) {
        std::string a = keys, s = sets;
        for (int e = 0; e < 3; ++e) {
            a[rng() % a.size()] = char(rng());
            s[rng() % s.size()] = char(rng());
        }
        a.resize(rng() % (a.size() + 1));
        if (k.LoadFromBinary(a))
            k.Get("DEC_UP1");
        if (c.LoadFromBinary(s)) {
            c.GenerateDrawScript("VT100-linedraw", "lqk");
            std::string font, text;
            while (c.GetNextDrawCommand(font, text)) {
            }
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
