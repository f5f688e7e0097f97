#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The station's tables are 8-bit text files in the data root, one record per
// line. Writers end every line with CR LF; readers skip every CR (so files
// from older writers with CR CR LF read the same), end a record at LF, skip
// empty lines and drop a last line that has no LF.
namespace TableFile {

inline constexpr const char* Stations = "stations.dat";
inline constexpr const char* Channels = "channels.dat";
inline constexpr const char* Users = "users.dat";
inline constexpr const char* Alias = "alias.dat";
inline constexpr const char* Schedule = "schedule.dat";

using Record = std::vector<std::string>;

struct Format {
    const char* file; // file name in the data root, for paths and messages
    char separator;
    size_t fields;
    // true: every field is followed by the separator ("a,b,c,");
    // false: the separator stands between fields ("a:b:c").
    bool terminated;
    // true: the last field takes the rest of the line, separators included
    // (users.dat, whose last-connection stamp holds "hh:nn").
    bool lastTakesRest;
};

// The file formats, in one place.
inline constexpr Format kStations{Stations, ',', 8, true, false};
inline constexpr Format kChannels{Channels, ':', 3, true, false};
inline constexpr Format kUsers{Users, ':', 3, false, true};
inline constexpr Format kAlias{Alias, ':', 4, false, false};
inline constexpr Format kSchedule{Schedule, ';', 2, true, false};

// Missing fields read as empty; fields beyond the format's count are dropped.
std::vector<Record> Parse(std::string_view data, const Format& format);
std::string Serialize(const std::vector<Record>& records, const Format& format);

// Loads DataRoot/<file>; a missing file gives no records. A file that is
// there but cannot be read gives none either, and `unreadable` (when given)
// is set, so that the caller does not save an empty table over it.
std::vector<Record> Load(const Format& format, bool* unreadable = nullptr);
// Saves atomically; throws std::system_error when the file cannot be written.
void Save(const std::vector<Record>& records, const Format& format);

} // namespace TableFile

// A field value that the table's file cannot hold (its separator, CR or LF).
// Raised before the table changes.
class ETableFieldError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

namespace TableFile {

// Throws ETableFieldError naming the field when the value cannot be stored
// as field number `index` (from 0) of the format.
void CheckField(const std::string& value, const Format& format, size_t index,
                const char* fieldName);

} // namespace TableFile
