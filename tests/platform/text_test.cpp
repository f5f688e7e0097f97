#include <gtest/gtest.h>

#include "platform/text.h"

TEST(Text, Windows1252RoundTripsEveryByte)
{
    std::string all;
    for (int b = 1; b < 256; ++b)
        all.push_back(static_cast<char>(b));
    EXPECT_EQ(FromQt(ToQt(all)), all);
    EXPECT_EQ(ToQt("\x80").at(0).unicode(), 0x20AC); // euro sign
    EXPECT_EQ(ToQt("\xE9").at(0).unicode(), 0x00E9);
}

TEST(Text, UnrepresentableBecomesQuestionMark)
{
    EXPECT_EQ(FromQt(QString::fromUtf8("a\xE2\x82\xAC\xE4\xB8\xAD")), "a\x80?");
}

TEST(Text, FromQtWholeTellsWhetherEveryCharacterWasKept)
{
    std::string out;
    EXPECT_TRUE(FromQtWhole(QString::fromUtf8("B\xC3\xBCro \xE2\x82\xAC?"), out));
    EXPECT_EQ(out, "B\xFCro \x80?");
    EXPECT_FALSE(FromQtWhole(QString::fromUtf8("a\xE4\xB8\xAD"), out));
    EXPECT_EQ(out, "a?");
    EXPECT_TRUE(FromQtWhole(QString(), out));
    EXPECT_EQ(out, "");
}
