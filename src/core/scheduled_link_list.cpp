#include "core/scheduled_link_list.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "core/text_util.h"

namespace {

TDateTime ReadTime(const std::string& text)
{
    TDateTime t = 0;
    if (DateTime::ParseTimeOfDay(text, t))
        return t;
    // A date-time number: the fraction is the time of day.
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (!text.empty() && end && *end == '\0' && std::isfinite(value))
        return std::fabs(value - std::trunc(value));
    return 0;
}

TScheduledLink FromRecord(const TableFile::Record& r)
{
    return TScheduledLink{r[0], ReadTime(r[1])};
}

TableFile::Record ToRecord(const TScheduledLink& l)
{
    return {l.StationName, DateTime::FormatTimeOfDay(l.Time)};
}

double SortKey(TDateTime t)
{
    int h = 0, m = 0, s = 0;
    DateTime::DecodeTimeOfDay(t, h, m, s);
    return h * 3600 + m * 60 + s;
}

} // namespace

TScheduledLinkList::TScheduledLinkList() : TTableBase(TableFile::kSchedule, FromRecord, ToRecord)
{
    Load();
}

TScheduledLinkList::~TScheduledLinkList()
{
    Save();
}

void TScheduledLinkList::Load()
{
    LoadRecords([this] { SortLocked(); });
}

void TScheduledLinkList::SortLocked()
{
    std::stable_sort(m_items.begin(), m_items.end(),
                     [](const TScheduledLink& a, const TScheduledLink& b) {
                         return SortKey(a.Time) < SortKey(b.Time);
                     });
}

TScheduledLink TScheduledLinkList::Get(int index) const
{
    return GetAt(index);
}

void TScheduledLinkList::Add(const TScheduledLink& link)
{
    Check(link.StationName, 0, "Station name");
    Update([&] {
        m_items.push_back(link);
        SortLocked();
        return true;
    });
}

int TScheduledLinkList::FindLocked(const std::string& stationName, const std::string& time) const
{
    for (size_t i = 0; i < m_items.size(); ++i)
        if (SameTextIgnoreCase(m_items[i].StationName, stationName) &&
            DateTime::FormatTimeOfDay(m_items[i].Time) == time)
            return static_cast<int>(i);
    return -1;
}

TScheduledLink TScheduledLinkList::Find(const std::string& stationName,
                                        const std::string& time) const
{
    std::lock_guard lock(m_lock);
    int i = FindLocked(stationName, time);
    return i < 0 ? TScheduledLink{} : m_items[i];
}

bool TScheduledLinkList::Modify(const std::string& stationName, const std::string& time,
                                const TScheduledLink& link)
{
    Check(link.StationName, 0, "Station name");
    return Update([&] {
        int i = FindLocked(stationName, time);
        if (i < 0)
            return false;
        m_items[i] = link;
        SortLocked();
        return true;
    });
}

bool TScheduledLinkList::Delete(const std::string& stationName, const std::string& time)
{
    return Update([&] {
        int i = FindLocked(stationName, time);
        if (i < 0)
            return false;
        m_items.erase(m_items.begin() + i);
        return true;
    });
}
