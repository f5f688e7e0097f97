#include "mail/gateway_schedule.h"

namespace {

std::tm Local(std::time_t t)
{
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

int DayOf(const std::tm& t)
{
    return (t.tm_year + 1900) * 1000 + t.tm_yday;
}

int SecondsOf(const std::tm& t)
{
    return t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec;
}

} // namespace

int TGatewaySchedule::SecondsOfDay(TDateTime time)
{
    int h = 0;
    int m = 0;
    int s = 0;
    DateTime::DecodeTimeOfDay(time, h, m, s);
    return h * 3600 + m * 60 + s;
}

void TGatewaySchedule::UpdateScheduledFlags(const std::tm& now, const TSettings& settings)
{
    const int t = SecondsOf(now);
    for (int i = 0; i < 4; ++i)
        ScheduleDone[i] = t > SecondsOfDay(settings.Times[i]);
    FFlagsDay = DayOf(now);
}

void TGatewaySchedule::SetNextPoll(std::time_t now, int minutes)
{
    NextPollTime = now + static_cast<std::time_t>(minutes) * 60;
}

TGatewaySchedule::TDue TGatewaySchedule::Tick(std::time_t now, const TSettings& settings,
                                              int& index)
{
    const std::tm local = Local(now);
    if (RefreshPending.exchange(false)) {
        UpdateScheduledFlags(local, settings);
    } else if (DayOf(local) != FFlagsDay) {
        for (bool& done : ScheduleDone)
            done = false;
        FFlagsDay = DayOf(local);
    }
    if (settings.PollingOn && now > NextPollTime)
        return TDue::Poll;
    const int t = SecondsOf(local);
    for (int i = 0; i < 4; ++i) {
        if (settings.TimesEnabled[i] && !ScheduleDone[i] && t > SecondsOfDay(settings.Times[i])) {
            ScheduleDone[i] = true;
            index = i;
            return TDue::Scheduled;
        }
    }
    return TDue::None;
}
