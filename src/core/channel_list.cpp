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

TChannelList::TChannelList() : TTableBase(TableFile::kChannels, FromRecord, ToRecord)
{
    Load();
}

TChannelList::~TChannelList()
{
    Save();
}

void TChannelList::Load()
{
    LoadRecords();
}

void TChannelList::CheckChannel(const TChannel& c) const
{
    Check(c.TransmitFreq, 0, "Transmit frequency");
    Check(c.ReceiveFreq, 1, "Receive frequency");
    Check(c.SideBand, 2, "Side band");
}

TChannel TChannelList::Get(int index) const
{
    return GetAt(index);
}

void TChannelList::Add(const TChannel& channel)
{
    CheckChannel(channel);
    Append(channel);
}

bool TChannelList::Modify(const TChannel& channel, int index)
{
    CheckChannel(channel);
    return ReplaceAt(index, channel);
}

bool TChannelList::Delete(int index)
{
    return EraseAt(index);
}
