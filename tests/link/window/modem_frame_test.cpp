// The modem stream: command frames, link data escaping and the message
// parser with its per-code payload lengths.
#include <gtest/gtest.h>

#include "link/modem_frame.h"

namespace {

struct TSeen {
    std::vector<std::pair<int, std::string>> messages;
    std::string data;
};

TSeen Parse(const std::string& stream)
{
    TSeen seen;
    ModemFrame::TParser p;
    p.OnMessage = [&](uint8_t c, const std::string& pl) { seen.messages.emplace_back(c, pl); };
    p.OnData = [&](uint8_t b) { seen.data += static_cast<char>(b); };
    for (char c : stream)
        p.Feed(static_cast<uint8_t>(c));
    return seen;
}

std::string S(std::initializer_list<int> bytes)
{
    std::string out;
    for (int b : bytes)
        out += static_cast<char>(b);
    return out;
}

} // namespace

TEST(ModemFrame, CommandsAndLinkData)
{
    EXPECT_EQ(ModemFrame::Command(0x07), (std::vector<uint8_t>{0x80, 0x07}));
    EXPECT_EQ(ModemFrame::Command(0x6D, {0xC3, 0x80}),
              (std::vector<uint8_t>{0x80, 0x6D, 0x80, 0xC3, 0x80, 0x80}));
    EXPECT_EQ(ModemFrame::LinkData(S({0x41, 0x80, 0x81, 0x01})),
              (std::vector<uint8_t>{0x41, 0x81, 0x80, 0x81, 0x81, 0x01}));
}

TEST(ModemFrame, MessagesByPayloadKind)
{
    // Status without payload, a radio byte, a version text ended by 0x00, and
    // a counted echo, with link data around them.
    const std::string stream =
        S({'x',  0x80, 0x68, 0x80, 0x35, 0x80, 0x24, 0x81, 0x80, 0x80, 0x70, 0x80, 'D',
           0x80, '1',  0x80, 0x00, 0x80, 0x6A, 0x80, 0x02, 0x80, 0x80, 0x80, 'z',  'y'});
    TSeen seen = Parse(stream);
    ASSERT_EQ(seen.messages.size(), 4u);
    EXPECT_EQ(seen.messages[0], (std::pair<int, std::string>{0x68, ""}));
    EXPECT_EQ(seen.messages[1], (std::pair<int, std::string>{0x35, "$"}));
    EXPECT_EQ(seen.messages[2], (std::pair<int, std::string>{0x70, "D1"}));
    EXPECT_EQ(seen.messages[3], (std::pair<int, std::string>{0x6A, S({0x80, 'z'})}));
    EXPECT_EQ(seen.data, S({'x', 0x80, 'y'}));
}

TEST(ModemFrame, DataInsideAPayloadAndOverlongText)
{
    // Link data between payload pairs stays data; the message completes.
    TSeen seen = Parse(S({0x80, 0x35, 'a', 0x81, 0x81, 0x80, 0x11}));
    ASSERT_EQ(seen.messages.size(), 1u);
    EXPECT_EQ(seen.messages[0].second, S({0x11}));
    EXPECT_EQ(seen.data, S({'a', 0x81}));
    // A text that never ends is cut at its longest length.
    std::string longText = S({0x80, 0x71});
    for (int i = 0; i < 40; ++i)
        longText += S({0x80, 'v'});
    seen = Parse(longText);
    ASSERT_GE(seen.messages.size(), 1u);
    EXPECT_EQ(seen.messages[0].second, std::string(32, 'v'));
}
