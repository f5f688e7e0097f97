#include "core/channel_list.h"

namespace {

TChannel FromRecord(const TableFile::Record& r)
{
    return TChannel{r[0], r[1], r[2]};
}

TableFile::Record ToRecord(const TChannel& c)
{
    return {c.TransmitFreq, c.ReceiveFreq, c.SideBand};
}

} // namespace

TChannelList::TChannelList() : TTableBase(TableFile::kChannels)
{
    SetToRecord(ToRecord);
    Load();
}

TChannelList::~TChannelList()
{
    Save();
}

void TChannelList::Load()
{
    LoadRecords(FromRecord);
}

void TChannelList::CheckChannel(const TChannel& c) const
{
    Check(c.TransmitFreq, 0, "Transmit frequency");
    Check(c.ReceiveFreq, 1, "Receive frequency");
    Check(c.SideBand, 2, "Side band");
}

TChannel TChannelList::Get(int index) const
{
    std::lock_guard lock(m_lock);
    return ValidIndex(index) ? m_items[index] : TChannel{};
}

void TChannelList::Add(const TChannel& channel)
{
    CheckChannel(channel);
    {
        std::lock_guard lock(m_lock);
        m_items.push_back(channel);
        SaveLocked();
    }
    Changed();
}

bool TChannelList::Modify(const TChannel& channel, int index)
{
    CheckChannel(channel);
    {
        std::lock_guard lock(m_lock);
        if (!ValidIndex(index))
            return false;
        m_items[index] = channel;
        SaveLocked();
    }
    Changed();
    return true;
}

bool TChannelList::Delete(int index)
{
    {
        std::lock_guard lock(m_lock);
        if (!ValidIndex(index))
            return false;
        m_items.erase(m_items.begin() + index);
        SaveLocked();
    }
    Changed();
    return true;
}
