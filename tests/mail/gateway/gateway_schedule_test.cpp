#include <gtest/gtest.h>

#include "mail/gateway/gateway_test_helpers.h"
#include "mail/gateway_schedule.h"

namespace {

std::tm Local(std::time_t t)
{
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

struct Clock {
    TGatewaySchedule Schedule;
    TGatewaySchedule::TSettings Settings;

    // The gateway starts: the flags are worked out.
    void Start(std::time_t t) { Schedule.UpdateScheduledFlags(Local(t), Settings); }
    void Time(int i, int h, int m)
    {
        Settings.Times[i] = DateTime::TimeOfDay(h, m);
        Settings.TimesEnabled[i] = true;
    }
    // What a tick at that moment starts: "poll", "time N" or "".
    std::string Tick(std::time_t now)
    {
        int index = -1;
        switch (Schedule.Tick(now, Settings, index)) {
        case TGatewaySchedule::TDue::Poll:
            return "poll";
        case TGatewaySchedule::TDue::Scheduled:
            return "time " + std::to_string(index + 1);
        default:
            return "";
        }
    }
};

} // namespace

TEST(GatewayScheduleTest, PollIsDueOnceItsMomentHasPassed)
{
    const std::time_t start = MarchAt(7, 9, 0, 0);
    Clock c;
    c.Start(start);
    c.Settings.PollingOn = true;
    c.Schedule.SetNextPoll(start, 1);
    EXPECT_EQ(c.Tick(start + 60), "");
    EXPECT_EQ(c.Tick(start + 61), "poll");
    c.Settings.PollingOn = false;
    EXPECT_EQ(c.Tick(start + 62), "");
}

TEST(GatewayScheduleTest, ATimeAlreadyPassedAtStartWaitsForTheNextDay)
{
    Clock c;
    c.Time(0, 10, 0);
    c.Start(MarchAt(7, 11, 0, 0));
    EXPECT_EQ(c.Tick(MarchAt(7, 11, 0, 1)), "");
    EXPECT_EQ(c.Tick(MarchAt(8, 9, 59, 59)), "");
    EXPECT_EQ(c.Tick(MarchAt(8, 10, 0, 0)), "");
    EXPECT_EQ(c.Tick(MarchAt(8, 10, 0, 1)), "time 1");
    EXPECT_EQ(c.Tick(MarchAt(8, 10, 0, 2)), "");
    EXPECT_EQ(c.Tick(MarchAt(8, 23, 59, 59)), "");
}

TEST(GatewayScheduleTest, ATimeJustAfterMidnightFiresEveryDay)
{
    Clock c;
    c.Time(0, 0, 1);
    c.Start(MarchAt(7, 0, 0, 30));
    for (int day = 7; day <= 9; ++day) {
        EXPECT_EQ(c.Tick(MarchAt(day, 0, 0, 59)), "") << day;
        EXPECT_EQ(c.Tick(MarchAt(day, 0, 1, 1)), "time 1") << day;
        EXPECT_EQ(c.Tick(MarchAt(day, 0, 3, 0)), "") << day;
    }
    // A day on which no tick came near midnight: the time is still made.
    EXPECT_EQ(c.Tick(MarchAt(11, 8, 0, 0)), "time 1");
}

TEST(GatewayScheduleTest, OneConnectionPerTickPollFirstAndDisabledTimesNever)
{
    const std::time_t start = MarchAt(7, 8, 0, 0);
    Clock c;
    c.Time(2, 9, 0);
    c.Time(0, 9, 0);
    c.Time(1, 9, 5);
    c.Settings.TimesEnabled[1] = false;
    c.Start(start);
    c.Settings.PollingOn = true;
    c.Schedule.SetNextPoll(start, 60);
    EXPECT_EQ(c.Tick(MarchAt(7, 9, 0, 1)), "poll");
    c.Schedule.SetNextPoll(MarchAt(7, 9, 0, 1), 60);
    EXPECT_EQ(c.Tick(MarchAt(7, 9, 0, 2)), "time 1");
    EXPECT_EQ(c.Tick(MarchAt(7, 9, 0, 3)), "time 3");
    EXPECT_EQ(c.Tick(MarchAt(7, 9, 30, 0)), "");
}

TEST(GatewayScheduleTest, RefreshMarksTimesPassedDuringAConnectionDone)
{
    Clock c;
    c.Time(0, 9, 30);
    c.Time(1, 11, 0);
    c.Start(MarchAt(7, 9, 0, 0));
    c.Schedule.RefreshPending = true;
    EXPECT_EQ(c.Tick(MarchAt(7, 10, 0, 0)), "");
    EXPECT_FALSE(c.Schedule.RefreshPending);
    EXPECT_EQ(c.Tick(MarchAt(7, 11, 0, 1)), "time 2");
}
