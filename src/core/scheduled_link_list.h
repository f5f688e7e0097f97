#pragma once

#include <string>

#include "core/date_time.h"
#include "core/table_base.h"

// A time of day at which this station calls a station by itself.
struct TScheduledLink {
    std::string StationName{};
    TDateTime Time = 0; // only the time of day counts
};

// The scheduled-link table in schedule.dat, kept sorted by time of day
// (links at the same time keep their order). A record is stored as
// name + ";" + "hh:mm" + ";"; a time written as a day fraction is read too.
// The name must be free of ";" and line breaks (ETableFieldError).
class TScheduledLinkList : public TTableBase<TScheduledLink> {
public:
    TScheduledLinkList();  // loads schedule.dat
    ~TScheduledLinkList(); // saves schedule.dat

    TScheduledLinkList(const TScheduledLinkList&) = delete;
    TScheduledLinkList& operator=(const TScheduledLinkList&) = delete;

    void Load();

    // A copy of the link; an index out of range gives an empty link.
    TScheduledLink Get(int index) const;
    // Appends, sorts and saves.
    void Add(const TScheduledLink& link);
    // The first link whose station name equals `stationName` (letter case
    // ignored) and whose time reads `time` as "hh:mm"; an empty link (empty
    // name, time 0) when none does.
    TScheduledLink Find(const std::string& stationName, const std::string& time) const;
    // Replaces the link that Find gives by `link`, sorts and saves. False
    // when Find gives none.
    bool Modify(const std::string& stationName, const std::string& time,
                const TScheduledLink& link);
    // Removes the link that Find gives and saves. False when there is none.
    bool Delete(const std::string& stationName, const std::string& time);

private:
    int FindLocked(const std::string& stationName, const std::string& time) const;
    void SortLocked();
};
