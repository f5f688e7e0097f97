#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// The station's tables are 8-bit text files in the data root, one record per
// line. Writers end every line with CR LF; readers skip every CR (so files
// from older writers with CR CR LF read the same), end a record at LF, skip
// empty lines and read a last line that has no LF as well (a hand edit).
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

// A line that no record can hold without losing some of it: text in a field
// beyond the format's count, or a control character (binary garbage, a stray
// editor byte). It is kept out of the records and written back as it was.
struct BadLine {
    std::string text; // the line without its line end
    size_t number;    // line number in the file, from 1
    size_t before;    // records read before it: it goes back in that place
};

// Missing fields read as empty, and so do empty fields beyond the format's
// count. Bad lines go to `badLines` when given, else they are dropped.
std::vector<Record> Parse(std::string_view data, const Format& format,
                          std::vector<BadLine>* badLines = nullptr);
// The records, and the bad lines back in their places (before the record
// with their `before` index, the rest at the end).
std::string Serialize(const std::vector<Record>& records, const Format& format,
                      const std::vector<BadLine>& badLines = {});

// Loads DataRoot/<file>; a missing file gives no records. A file that is
// there but cannot be read gives none either, and `unreadable` (when given)
// is set, so that the caller does not save an empty table over it.
std::vector<Record> Load(const Format& format, bool* unreadable = nullptr,
                         std::vector<BadLine>* badLines = nullptr);
// Saves atomically; throws std::system_error when the file cannot be written.
void Save(const std::vector<Record>& records, const Format& format,
          const std::vector<BadLine>& badLines = {});

} // namespace TableFile

// A field value that the table's file cannot hold (its separator, a control
// character other than tab).
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
