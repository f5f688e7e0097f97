#include "netlib/base/ip_base.h"
#include "netlib/term/ip_term_buffer.h"

#include <gtest/gtest.h>

namespace {

std::string RowText(const TIpTerminalBuffer& b, int row)
{
    const uint8_t* p = b.GetLineCharPtr(row);
    std::string s(reinterpret_cast<const char*>(p), size_t(b.ColCount()));
    s.erase(s.find_last_not_of(' ') + 1);
    return s;
}

TEST(IpTerminalBuffer, NewBufferHasItsDefaultGeometryAndTabStops)
{
    TIpTerminalBuffer b(false);
    EXPECT_EQ(b.ColCount(), 80);
    EXPECT_EQ(b.RowCount(), 24);
    EXPECT_EQ(b.SVRowCount(), 200);
    EXPECT_EQ(b.Row(), 1);
    EXPECT_EQ(b.Col(), 1);
    std::vector<int> stops;
    for (int i = 0; i < 12; ++i) {
        b.DoHorzTab();
        stops.push_back(b.Col());
    }
    EXPECT_EQ(stops, (std::vector<int>{9, 17, 25, 33, 41, 49, 57, 65, 73, 80, 80, 80}));
    b.DoBackHorzTab();
    EXPECT_EQ(b.Col(), 73);
}

TEST(IpTerminalBuffer, AutoWrapIsDeferredUntilTheNextCharacter)
{
    TIpTerminalBuffer b(false);
    b.WriteString(std::string(80, 'a'));
    EXPECT_EQ(b.Col(), 80);
    EXPECT_TRUE(b.PendingWrap());
    b.WriteChar('b');
    EXPECT_EQ(b.Row(), 2);
    EXPECT_EQ(b.Col(), 2);
    EXPECT_EQ(RowText(b, 2), "b");

    TIpTerminalBuffer eager(false);
    eager.UseAutoWrapDelay = false;
    eager.WriteString(std::string(80, 'a'));
    EXPECT_EQ(eager.Row(), 2);
    EXPECT_EQ(eager.Col(), 1);
}

TEST(IpTerminalBuffer, AFullBottomRowWrapsAndScrolls)
{
    TIpTerminalBuffer b(false);
    b.SetCursorPosition(24, 1);
    b.WriteString(std::string(80, 'a') + "bc");
    EXPECT_EQ(RowText(b, 23), std::string(80, 'a'));
    EXPECT_EQ(RowText(b, 24), "bc");
    EXPECT_EQ(b.Row(), 24);
    EXPECT_EQ(b.Col(), 3);
}

TEST(IpTerminalBuffer, LineFeedAtTheBottomPushesTheTopRowIntoTheScrollback)
{
    TIpTerminalBuffer b(false);
    b.WriteString("top");
    b.SetCursorPosition(24, 1);
    b.DoLineFeed();
    EXPECT_EQ(RowText(b, 0), "top");
    EXPECT_EQ(RowText(b, 1), "");
    EXPECT_EQ(b.Row(), 24);
}

TEST(IpTerminalBuffer, ScrollRegionScrollsOnlyItsRowsAndOnlyFromInside)
{
    TIpTerminalBuffer b(false);
    for (int r = 1; r <= 24; ++r) {
        b.SetCursorPosition(r, 1);
        b.WriteString("r" + std::to_string(r));
    }
    b.SetScrollRegion(10, 5);
    EXPECT_TRUE(b.UseScrollRegion());
    EXPECT_EQ(b.Row(), 5);
    b.SetCursorPosition(10, 1);
    b.DoLineFeed();
    EXPECT_EQ(RowText(b, 4), "r4");
    EXPECT_EQ(RowText(b, 5), "r6");
    EXPECT_EQ(RowText(b, 9), "r10");
    EXPECT_EQ(RowText(b, 10), "");
    EXPECT_EQ(RowText(b, 11), "r11");
    EXPECT_EQ(RowText(b, 0), "");

    // Below the region the cursor walks to the screen's end and scrolls nothing.
    b.SetCursorPosition(20, 1);
    for (int i = 0; i < 6; ++i)
        b.DoLineFeed();
    EXPECT_EQ(b.Row(), 24);
    EXPECT_EQ(RowText(b, 5), "r6");
    b.MoveCursorUp(false);
    EXPECT_EQ(b.Row(), 23);

    b.SetScrollRegion(1, 24);
    EXPECT_FALSE(b.UseScrollRegion());
    EXPECT_EQ(b.Row(), 1);
    EXPECT_EQ(b.Col(), 1);
}

TEST(IpTerminalBuffer, HostValuesAreClampedToTheArrays)
{
    TIpTerminalBuffer b(false);
    b.SetCursorPosition(0, 0);
    EXPECT_EQ(b.Row(), 0); // the last scroll-back row
    EXPECT_EQ(b.Col(), 1);
    b.SetCursorPosition(100000, 100000);
    EXPECT_EQ(b.Row(), 24);
    EXPECT_EQ(b.Col(), 80);
    b.SetCursorPosition(-100000, 5);
    EXPECT_EQ(b.Row(), 1 - 176);
    b.SetScrollRegion(-7, 9999);
    EXPECT_FALSE(b.UseScrollRegion());
    b.SetCursorPosition(3, 3);
    b.InsertChars(1 << 30);
    b.DeleteChars(1 << 30);
    b.InsertLines(1 << 30);
    b.DeleteLines(1 << 30);
    b.EraseChars(1 << 30);
    EXPECT_EQ(RowText(b, 3), "");
}

TEST(IpTerminalBuffer, EraseScreenKeepsTheOldScreenInTheScrollback)
{
    TIpTerminalBuffer b(false);
    b.WriteString("first");
    b.SetCursorPosition(24, 1);
    b.WriteString("last");
    b.EraseScreen();
    EXPECT_EQ(RowText(b, 1), "");
    EXPECT_EQ(RowText(b, -23), "first");
    EXPECT_EQ(RowText(b, 0), "last");
    EXPECT_EQ(b.Row(), 24);

    b.SetSVRowCount(30);
    EXPECT_EQ(b.SVRowCount(), 30);
    EXPECT_EQ(RowText(b, 0), "last");
    EXPECT_EQ(RowText(b, -5), "");
    EXPECT_EQ(b.GetLineCharPtr(-6), nullptr);
}

TEST(IpTerminalBuffer, EditingShiftsAllAttributesWithTheCharacters)
{
    TIpTerminalBuffer b(false);
    b.WriteString("abcdef");
    b.SetCursorPosition(1, 2);
    b.SetForeColor(0x0000FF);
    b.InsertChars(2);
    EXPECT_EQ(RowText(b, 1), "a  bcdef");
    EXPECT_EQ(b.GetLineForeColorPtr(1)[1], 0x0000FFu); // opened in the current rendition
    EXPECT_EQ(b.GetLineForeColorPtr(1)[3], 0xC0C0C0u);
    b.DeleteChars(3);
    EXPECT_EQ(RowText(b, 1), "acdef");
    b.SetCursorPosition(1, 3);
    b.EraseToEOL();
    EXPECT_EQ(RowText(b, 1), "ac");
    b.UseInsertMode = true;
    b.SetCursorPosition(1, 1);
    b.WriteChar('x');
    EXPECT_EQ(RowText(b, 1), "xac");
}

TEST(IpTerminalBuffer, InvalidRectanglesMergeIntoOneBoundingRectangle)
{
    TIpTerminalBuffer b(false);
    TIpRect r;
    ASSERT_TRUE(b.GetInvalidRect(r));
    EXPECT_EQ(r, (TIpRect{1, 1, 80, 24}));
    EXPECT_FALSE(b.HasDisplayChanged());
    b.SetCursorPosition(3, 5);
    b.WriteChar('x');
    b.SetCursorPosition(7, 2);
    b.WriteChar('y');
    ASSERT_TRUE(b.GetInvalidRect(r));
    EXPECT_EQ(r, (TIpRect{2, 3, 5, 7}));
    EXPECT_FALSE(b.GetInvalidRect(r));

    // Scrolling the whole screen moves the scroll-back too, which a window
    // may be showing.
    b.SetCursorPosition(24, 1);
    b.DoLineFeed();
    ASSERT_TRUE(b.GetInvalidRect(r));
    EXPECT_EQ(r, (TIpRect{1, 1 - 176, 80, 24}));
    b.EraseScreen();
    ASSERT_TRUE(b.GetInvalidRect(r));
    EXPECT_EQ(r.Top, 1 - 176);
}

TEST(IpTerminalBuffer, CountsBelowTwoAndShortQueueReadsRaise)
{
    TIpTerminalBuffer b(false);
    try {
        b.SetColCount(1);
        FAIL();
    } catch (const EIpBaseException& e) {
        EXPECT_STREQ(e.what(), "TIpTerminalBuffer.tbSetColCount: new count too small");
    }
    EXPECT_EQ(b.ColCount(), 80);
    b.SetRowCount(201); // above the scroll-back: ignored
    EXPECT_EQ(b.RowCount(), 24);

    TaaByteQueue q;
    q.Put("abc", 3);
    try {
        q.Remove(4);
        FAIL();
    } catch (const EIpBaseException& e) {
        EXPECT_STREQ(e.what(),
                     "Not enough data in queue (3 bytes) to satisfy read request (4 bytes)");
    }
    EXPECT_EQ(q.Count(), 3);
    const std::string big(1000, 'z');
    q.Put(big.data(), int(big.size()));
    EXPECT_EQ(q.Capacity() % 64, 0);
    q.Remove(3);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(q.Peek(1000)), 1000), big);
}

} // namespace
