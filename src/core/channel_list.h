#pragma once

#include <string>

#include "core/table_base.h"

// One radio channel. Frequencies are in kHz as nine characters, five digits
// with leading zeros, a point and three digits ("07102.500").
struct TChannel {
    std::string TransmitFreq{};
    std::string ReceiveFreq{};
    std::string SideBand{}; // "USB" or "LSB"
};

// The ordered channel table in channels.dat. Fields must be free of ":" and
// line breaks (ETableFieldError).
class TChannelList : public TTableBase<TChannel> {
public:
    TChannelList();  // loads channels.dat
    ~TChannelList(); // saves channels.dat

    TChannelList(const TChannelList&) = delete;
    TChannelList& operator=(const TChannelList&) = delete;

    void Load();

    // A copy of the record; an index outside 0..Count-1 gives an empty record.
    TChannel Get(int index) const;
    void Add(const TChannel& channel);
    bool Modify(const TChannel& channel, int index);
    bool Delete(int index);

private:
    void CheckChannel(const TChannel& channel) const;
};
