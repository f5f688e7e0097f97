#include "netlib/term/ip_term_parser.h"

#include <gtest/gtest.h>

namespace {

struct TOutcome {
    TIpParserCmdType Result;
    int Command;
    std::vector<int> Args;
};

// Feeds the bytes and reports what the last one gave.
TOutcome Feed(TIpVT100Parser& p, const std::string& bytes)
{
    TIpParserCmdType r = pctNone;
    for (char c : bytes)
        r = p.ProcessChar(c);
    std::vector<int> args;
    for (int i = 0; i < p.ArgumentCount(); ++i)
        args.push_back(p.Argument(i));
    return {r, p.Command(), args};
}

TOutcome Feed(const std::string& bytes)
{
    TIpVT100Parser p(false);
    return Feed(p, bytes);
}

void ExpectCommand(const std::string& bytes, int command, std::vector<int> args)
{
    const TOutcome o = Feed(bytes);
    EXPECT_EQ(o.Result, pctComplete) << bytes.substr(1);
    EXPECT_EQ(o.Command, command) << bytes.substr(1);
    EXPECT_EQ(o.Args, args) << bytes.substr(1);
}

TEST(IpVT100Parser, CharactersAndCompleteCommands)
{
    EXPECT_EQ(Feed("A").Result, pctChar);
    EXPECT_EQ(Feed("A").Command, 1);
    EXPECT_EQ(Feed("\x80").Result, pct8bitChar);
    ExpectCommand("\x1b[H", 2, {1, 1});
    ExpectCommand("\x1b[5;H", 2, {5, 1});
    ExpectCommand("\x1b[;7H", 2, {1, 7});
    ExpectCommand("\x1b[m", 16, {0});
    ExpectCommand("\x1b[1;4;31m", 16, {1, 4, 31});
    ExpectCommand("\x1b[?25l", 90, {-2, 25});
    ExpectCommand("\x1b[0c", 41, {0});
    ExpectCommand("\x1b[6n", 19, {6});
    ExpectCommand("\x1b[x", 126, {-1});
    ExpectCommand("\x1b[3;20r", 113, {3, 20});
    ExpectCommand("\x1b(0", 129, {0, 0});
    ExpectCommand("\x1b)B", 129, {1, 66});
    ExpectCommand("\x1b#8", 122, {});
    ExpectCommand("\x1b#3", 123, {0});
    ExpectCommand("\x1b=", 13, {-2, 999});
    ExpectCommand("\x1bZ", 41, {0});
    ExpectCommand("\x1b[61\"p", 89, {});
    ExpectCommand("\x0c", 117, {});
    ExpectCommand("\x0b", 117, {});
}

TEST(IpVT100Parser, MalformedSequencesEndWithNothingToDo)
{
    EXPECT_EQ(Feed("\x1b[1;2A").Result, pctNone);
    EXPECT_EQ(Feed("\x1b[1:2m").Result, pctNone);
    EXPECT_EQ(Feed("\x1b(C").Result, pctNone);
    EXPECT_EQ(Feed("\x1b#7").Result, pctNone);
    EXPECT_EQ(Feed("\x1b[99999999999m").Result, pctNone);
    EXPECT_EQ(Feed("\x1b[z").Result, pctNone);
    // The next byte starts afresh.
    EXPECT_EQ(Feed("\x1b[1:2mQ").Result, pctChar);
}

TEST(IpVT100Parser, ControlBytesInsideASequenceActAndTheSequenceGoesOn)
{
    TIpVT100Parser p(false);
    const TOutcome bs = Feed(p, "\x1b[2\x08");
    EXPECT_EQ(bs.Result, pctComplete);
    EXPECT_EQ(bs.Command, 116);
    EXPECT_EQ(p.Sequence(), "\x08");
    const TOutcome j = Feed(p, "J");
    EXPECT_EQ(j.Command, 50);
    EXPECT_EQ(j.Args, std::vector<int>{2});

    // VT52 cursor addressing keeps its first coordinate across a control byte.
    TIpVT100Parser v(false);
    Feed(v, "\x1b[?2l");
    Feed(v, "\x1bY%\r");
    const TOutcome pos = Feed(v, "*");
    EXPECT_EQ(pos.Command, 2);
    EXPECT_EQ(pos.Args, (std::vector<int>{6, 11}));
}

TEST(IpVT100Parser, CanAndSubCancelTheSequence)
{
    for (const char* cancel : {"\x18", "\x1a"}) {
        TIpVT100Parser p(false);
        EXPECT_EQ(Feed(p, std::string("\x1b[2") + cancel).Result, pctNone);
        const TOutcome j = Feed(p, "J");
        EXPECT_EQ(j.Result, pctChar);
        EXPECT_EQ(j.Command, 1);
    }
}

TEST(IpVT100Parser, OverlongSequencesAndArgumentListsAreDropped)
{
    TIpVT100Parser p(false);
    EXPECT_EQ(Feed(p, "\x1b[" + std::string(10000, ' ')).Result, pctPending);
    EXPECT_EQ(Feed(p, "m").Result, pctNone);
    EXPECT_EQ(Feed(p, "m").Result, pctChar);

    std::string many = "\x1b[";
    for (int i = 0; i < 100; ++i)
        many += "1;";
    EXPECT_EQ(Feed(many + "m").Result, pctNone);
    many = "\x1b[";
    for (int i = 0; i < 63; ++i)
        many += "1;";
    EXPECT_EQ(Feed(many + "1m").Args.size(), 64u);
}

TEST(IpVT100Parser, VT52ModeComesAndGoes)
{
    TIpVT100Parser p(false);
    Feed(p, "\x1b[?2l");
    EXPECT_TRUE(p.InVT52Mode());
    const TOutcome up = Feed(p, "\x1b"
                                "A");
    EXPECT_EQ(up.Command, 3);
    EXPECT_EQ(up.Args, std::vector<int>{1});
    EXPECT_EQ(Feed(p, "\x1bZ").Args, std::vector<int>{52});
    EXPECT_EQ(Feed(p, "\x1b<").Command, 13);
    EXPECT_FALSE(p.InVT52Mode());
    EXPECT_EQ(Feed(p, "\x1b"
                      "A")
                  .Result,
              pctNone);
}

} // namespace
