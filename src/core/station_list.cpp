#include "core/station_list.h"

#include <algorithm>

#include "core/message_store.h"
#include "core/text_util.h"

namespace {

TStation FromRecord(const TableFile::Record& r)
{
    return TStation{r[0], r[1], r[2], r[3], r[4], r[5], r[6], r[7]};
}

TableFile::Record ToRecord(const TStation& s)
{
    return {s.Name,     s.Call,         s.SelCall,        s.RouteVia,
            s.AutoCall, s.ChannelFlags, s.LastConnection, s.LinkQuality};
}

constexpr int kQualitySlots = 4;

} // namespace

bool IsDirectRoute(const std::string& routeVia)
{
    return routeVia.empty() || SameTextIgnoreCase(routeVia, "DIRECT");
}

TStationList::TStationList() : TTableBase(TableFile::kStations, FromRecord, ToRecord)
{
    Load();
}

TStationList::~TStationList()
{
    Save();
}

void TStationList::Load()
{
    LoadRecords();
}

void TStationList::CheckStation(const TStation& s) const
{
    Check(s.Name, 0, "Station name");
    Check(s.Call, 1, "Call sign");
    Check(s.SelCall, 2, "Selective-call ID");
    Check(s.RouteVia, 3, "Route-via station");
    Check(s.AutoCall, 4, "Automatic-call flag");
    Check(s.ChannelFlags, 5, "Channel flags");
    Check(s.LastConnection, 6, "Last connection");
    Check(s.LinkQuality, 7, "Link quality");
    if (!s.Name.empty() && !MessageStore::IsSafeName(s.Name))
        throw ETableFieldError("Station name \"" + s.Name +
                               "\" cannot name a directory (stations.dat)");
}

TStation TStationList::Get(int index) const
{
    return GetAt(index);
}

int TStationList::IndexOfLocked(const std::string& name) const
{
    for (size_t i = 0; i < m_items.size(); ++i)
        if (SameTextIgnoreCase(m_items[i].Name, name))
            return static_cast<int>(i);
    return -1;
}

int TStationList::IndexOf(const std::string& name) const
{
    std::lock_guard lock(m_lock);
    return IndexOfLocked(name);
}

void TStationList::Add(const TStation& station)
{
    CheckStation(station);
    Append(station);
}

bool TStationList::Modify(const TStation& station, int index)
{
    CheckStation(station);
    return Update([&] {
        if (!ValidIndex(index))
            return false;
        TStation updated = station;
        updated.ChannelFlags = m_items[index].ChannelFlags;
        m_items[index] = std::move(updated);
        return true;
    });
}

bool TStationList::Delete(int index)
{
    return EraseAt(index);
}

int TStationList::GetChannelCount() const
{
    std::lock_guard lock(m_lock);
    return m_items.empty() ? 0 : static_cast<int>(m_items[0].ChannelFlags.size());
}

bool TStationList::IsChannelEnabled(int stationIndex, int channelIndex) const
{
    std::lock_guard lock(m_lock);
    if (!ValidIndex(stationIndex) || channelIndex < 0)
        return false;
    const std::string& flags = m_items[stationIndex].ChannelFlags;
    return static_cast<size_t>(channelIndex) < flags.size() && flags[channelIndex] == 'Y';
}

void TStationList::SetChannelEnabled(int stationIndex, int channelIndex, bool enabled)
{
    Update([&] {
        if (!ValidIndex(stationIndex) || channelIndex < 0)
            return false;
        std::string& flags = m_items[stationIndex].ChannelFlags;
        if (flags.size() <= static_cast<size_t>(channelIndex))
            flags.resize(channelIndex + 1, 'N');
        flags[channelIndex] = enabled ? 'Y' : 'N';
        return true;
    });
}

bool TStationList::GetLinkQualities(const std::string& name, int channel, int& q1, int& q2, int& q3,
                                    int& q4) const
{
    int* out[kQualitySlots] = {&q1, &q2, &q3, &q4};
    for (int* q : out)
        *q = 5;
    std::lock_guard lock(m_lock);
    int index = IndexOfLocked(name);
    if (index < 0 || channel < 0)
        return false;
    const std::string& lq = m_items[index].LinkQuality;
    for (int slot = 0; slot < kQualitySlots; ++slot) {
        size_t pos = static_cast<size_t>(channel) * kQualitySlots + slot;
        if (pos < lq.size())
            *out[slot] = std::max(5, (static_cast<unsigned char>(lq[pos]) - '0') * 5);
    }
    return true;
}

bool TStationList::SetLinkQualities(const std::string& name, int channel, int s1, int s2, int s3,
                                    int s4)
{
    return Update([&] {
        int index = IndexOfLocked(name);
        if (index < 0 || channel < 0)
            return false;
        std::string& lq = m_items[index].LinkQuality;
        size_t first = static_cast<size_t>(channel) * kQualitySlots;
        if (lq.size() < first + kQualitySlots)
            lq.resize(first + kQualitySlots, '@');
        int steps[kQualitySlots] = {s1, s2, s3, s4};
        for (int slot = 0; slot < kQualitySlots; ++slot)
            lq[first + slot] = static_cast<char>('0' + std::clamp(steps[slot], 1, 20));
        return true;
    });
}

void TStationList::DeleteChannel(int channel)
{
    if (channel < 0)
        return;
    Update([&] {
        for (TStation& s : m_items) {
            if (static_cast<size_t>(channel) < s.ChannelFlags.size())
                s.ChannelFlags.erase(channel, 1);
            size_t first = static_cast<size_t>(channel) * kQualitySlots;
            if (first < s.LinkQuality.size())
                s.LinkQuality.erase(first, kQualitySlots);
        }
        return true;
    });
}
