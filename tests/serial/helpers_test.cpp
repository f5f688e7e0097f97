#include "platform/data_root.h"
#include "serial/ad_misc.h"
#include "serial/ad_port.h"
#include "serial/line_reader.h"
#include "serial/port_path.h"
#include "serial/ring_buffer.h"
#include "support/test_files.h"

#include <QTemporaryDir>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

TEST(SerialHelpers, TickConversionsAndNames)
{
    EXPECT_EQ(Secs2Ticks(0), 0);
    EXPECT_EQ(Secs2Ticks(1), 18);
    EXPECT_EQ(Secs2Ticks(10), 182);
    EXPECT_EQ(Secs2Ticks(60), 1092);
    EXPECT_EQ(Ticks2Secs(0), 0);
    EXPECT_EQ(Ticks2Secs(18), 1);
    EXPECT_EQ(Ticks2Secs(182), 10);
    EXPECT_EQ(Ticks2Secs(9), 0);
    EXPECT_EQ(ComName(3), "COM3");
    EXPECT_EQ(ComName(254), "COM254");
    EXPECT_EQ(AddBackSlash("C:/fax"), "C:/fax/");
    EXPECT_EQ(AddBackSlash("dir/"), "dir/");
    EXPECT_EQ(AddBackSlash("dir\\"), "dir\\");
    EXPECT_EQ(AddBackSlash(""), "/");
    EXPECT_TRUE(FlagIsSet(0x12, 0x02));
    EXPECT_FALSE(FlagIsSet(0x12, 0x01));
}

TEST(SerialHelpers, EventTimersAndDelays)
{
    EventTimer t;
    NewTimer(t, 40);
    EXPECT_FALSE(TimerExpired(t));
    EXPECT_LE(RemainingTime(t), 40);
    EXPECT_GE(RemainingTime(t), 30);
    NewTimer(t, 2);
    DelayMS(120);
    EXPECT_TRUE(TimerExpired(t));
    EXPECT_EQ(RemainingTime(t), 0);
    EXPECT_GE(ElapsedTime(t), 2);
    NewTimerSecs(t, 10);
    EXPECT_EQ(t.ExpireTicks, 182);
    EXPECT_EQ(ElapsedTimeInSecs(t), 0);
    EXPECT_GE(RemainingTimeInSecs(t), 9);
    const uint32_t start = AdTimeGetTime();
    DelayTicks(2, true);
    EXPECT_GE(AdTimeGetTime() - start, 110u);
    EXPECT_EQ(SafeYield(), 0u);
}

TEST(SerialHelpers, RingBufferWrapsAndResizes)
{
    RingBuffer rb(8);
    const uint8_t data[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(rb.Put(data, 6), 6u);
    uint8_t out[16] = {};
    EXPECT_EQ(rb.Get(out, 4), 4u);
    EXPECT_EQ(rb.Put(data, 9), 6u); // only what fits
    EXPECT_EQ(rb.Used(), 8u);
    EXPECT_EQ(rb.Free(), 0u);
    EXPECT_EQ(rb.Peek(out, 3, 1), 3u);
    EXPECT_EQ(out[0], 6);
    EXPECT_EQ(rb.Get(out, 16), 8u);
    const uint8_t expect[] = {5, 6, 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(std::memcmp(out, expect, 8), 0);
    rb.Put(data, 5);
    rb.Resize(16);
    EXPECT_EQ(rb.Used(), 5u);
    EXPECT_EQ(rb.Get(out, 16), 5u);
    EXPECT_EQ(out[4], 5);
}

TEST(SerialHelpers, LineReaderPagesAndEndings)
{
    std::istringstream plain("one\r\ntwo\rthree");
    TLineReader r(plain);
    EXPECT_EQ(r.FileSize(), 14);
    EXPECT_EQ(r.NextLine(), "one");
    EXPECT_EQ(r.NextLine(), "two");
    EXPECT_EQ(r.NextLine(), "three"); // short last page gets its CR
    EXPECT_FALSE(r.Eof());
    EXPECT_EQ(r.NextLine(), "");
    EXPECT_TRUE(r.Eof());
    EXPECT_EQ(r.BytesRead(), 14);

    std::istringstream ctrlz("a\r\nb\r\n\x1A");
    TLineReader z(ctrlz);
    EXPECT_EQ(z.NextLine(), "a");
    EXPECT_EQ(z.NextLine(), "b");
    // The short last page ends in LF, not CR, so it gets a CR of its own:
    // one empty line before the end.
    EXPECT_EQ(z.NextLine(), "");
    EXPECT_FALSE(z.Eof());
    EXPECT_EQ(z.NextLine(), "");
    EXPECT_TRUE(z.Eof());

    // A CR LF split across the 4096-byte page boundary, and a line longer
    // than a page.
    std::string big(4095, 'x');
    big += "\r\n";
    big += std::string(5000, 'y') + "\r\nend";
    std::istringstream pages(big);
    TLineReader p(pages);
    EXPECT_EQ(p.NextLine(), std::string(4095, 'x'));
    EXPECT_EQ(p.NextLine(), std::string(5000, 'y'));
    EXPECT_EQ(p.NextLine(), "end");
    EXPECT_EQ(p.NextLine(), "");
    EXPECT_TRUE(p.Eof());

    std::istringstream empty("");
    TLineReader e(empty);
    EXPECT_EQ(e.NextLine(), "");
    EXPECT_TRUE(e.Eof());
}

TEST(SerialHelpers, ComPortPathOrder)
{
    TempRoot dir;
    ::unsetenv("SKIPMAIL_COM7");
    EXPECT_EQ(ComPortPath(7), "/dev/ttyS6");
    EXPECT_EQ(ComPortPath(1), "/dev/ttyS0");
    EXPECT_EQ(ComPortPath(0), "");
    {
        std::ofstream ini(ComPortIniFile(), std::ios::binary);
        ini << "[GENERAL]\r\nCOM7=/wrong\r\n[PORTS]\r\nCOM7=/dev/ttyUSB0\r\n";
    }
    EXPECT_EQ(ComPortPath(7), "/dev/ttyUSB0");
    EXPECT_EQ(ComPortPath(8), "/dev/ttyS7");
    ::setenv("SKIPMAIL_COM7", "/dev/pts/77", 1);
    EXPECT_EQ(ComPortPath(7), "/dev/pts/77");
    ::unsetenv("SKIPMAIL_COM7");
}

TEST(SerialHelpers, SearchComPortFindsNestedPorts)
{
    QObject form;
    EXPECT_EQ(SearchComPort(&form), nullptr);
    auto* panel = new QObject(&form);
    auto* nested = new TApdComPort(panel);
    EXPECT_EQ(SearchComPort(&form), nested);
    new TApdComPort(&form);
    EXPECT_EQ(SearchComPort(&form), nested); // depth first, in order made
    EXPECT_EQ(SearchComPort(nullptr), nullptr);
    EXPECT_FALSE(nested->Version().empty());
}
