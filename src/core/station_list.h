#pragma once

#include <string>

#include "core/table_base.h"

// One known station: a row of eight texts.
struct TStation {
    std::string Name{};           // at most 12 characters
    std::string Call{};           // call sign, at most 8 characters
    std::string SelCall{};        // selective-call ID
    std::string RouteVia{};       // route-via station; empty or "DIRECT" for a direct route
    std::string AutoCall{};       // "ENABLED" or "DISABLED"
    std::string ChannelFlags{};   // one "Y" or "N" per channel, in channel order
    std::string LastConnection{}; // stamp of the last link
    std::string LinkQuality{};    // four characters per channel: "0" + quality in 5 % steps
};

// A route-via text that means the station is reached directly: empty or
// "DIRECT" (letter case ignored).
bool IsDirectRoute(const std::string& routeVia);

// The ordered station table in stations.dat; entry 0 is this station.
// Every field must be free of "," and line breaks (ETableFieldError), and the
// name must be usable as a directory name under STATIONS.
class TStationList : public TTableBase<TStation> {
public:
    TStationList();  // loads stations.dat
    ~TStationList(); // saves stations.dat

    TStationList(const TStationList&) = delete;
    TStationList& operator=(const TStationList&) = delete;

    void Load();

    // A copy of the record; an index outside 0..Count-1 gives an empty record.
    TStation Get(int index) const;
    // Index of the station of that name (letter case ignored), or -1.
    int IndexOf(const std::string& name) const;

    // Appends the record, saves and runs the change hook.
    void Add(const TStation& station);
    // Replaces the record at index but keeps that entry's stored channel
    // flags; saves. False for an index out of range.
    bool Modify(const TStation& station, int index);
    // Removes the record; saves and runs the change hook.
    bool Delete(int index);

    // Length of this station's (entry 0's) channel flag text.
    int GetChannelCount() const;
    // "Y" at that channel of that station's flags; false for any index out
    // of range, a channel past the flag text included.
    bool IsChannelEnabled(int stationIndex, int channelIndex) const;
    // Writes "Y" or "N" at the channel's position, padding a shorter flag
    // text with "N", and saves.
    void SetChannelEnabled(int stationIndex, int channelIndex, bool enabled);

    // The four link qualities in percent for that channel of the station
    // found by name (letter case ignored): (character - "0") x 5, never
    // below 5. False, with all four 5, when the station is unknown.
    bool GetLinkQualities(const std::string& name, int channel, int& q1, int& q2, int& q3,
                          int& q4) const;
    // Writes "0" + each step (1-20, clamped) at the channel's four positions,
    // lengthening the field with "@" (80 %) where needed, and saves. False
    // when the station is unknown.
    bool SetLinkQualities(const std::string& name, int channel, int s1, int s2, int s3, int s4);
    // Removes the channel's flag and its four quality characters from every
    // station, and saves.
    void DeleteChannel(int channel);

private:
    void CheckStation(const TStation& station) const;
    int IndexOfLocked(const std::string& name) const;
};
