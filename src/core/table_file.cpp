#include "core/table_file.h"

#include "core/core_report.h"
#include "core/table_base.h"

#include <sys/stat.h>

#include "platform/atomic_file.h"
#include "platform/data_root.h"

namespace TableFile {

std::vector<Record> Parse(std::string_view data, const Format& format)
{
    std::vector<Record> records;
    Record fields(format.fields);
    size_t index = 0;
    bool lineHasBytes = false;
    for (char c : data) {
        if (c == '\r')
            continue;
        if (c == '\n') {
            if (lineHasBytes)
                records.push_back(fields);
            fields.assign(format.fields, std::string());
            index = 0;
            lineHasBytes = false;
            continue;
        }
        lineHasBytes = true;
        bool inLast = index + 1 == format.fields;
        if (c == format.separator && !(inLast && format.lastTakesRest)) {
            ++index;
            continue;
        }
        if (index < format.fields)
            fields[index] += c;
    }
    // A last line without LF is dropped.
    return records;
}

std::string Serialize(const std::vector<Record>& records, const Format& format)
{
    std::string out;
    for (const Record& r : records) {
        for (size_t i = 0; i < format.fields; ++i) {
            if (i < r.size())
                out += r[i];
            if (format.terminated || i + 1 < format.fields)
                out += format.separator;
        }
        out += "\r\n";
    }
    return out;
}

std::vector<Record> Load(const Format& format, bool* unreadable)
{
    const std::string path = DataRoot::Path(format.file);
    std::string data;
    const bool read = ReadWholeFile(path, data);
    if (unreadable) {
        struct stat st;
        // A directory in the file's place holds nothing to keep.
        *unreadable = !read && ::lstat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
    }
    if (!read)
        return {};
    return Parse(data, format);
}

void Save(const std::vector<Record>& records, const Format& format)
{
    WriteFileAtomic(DataRoot::Path(format.file), Serialize(records, format));
}

void CheckField(const std::string& value, const Format& format, size_t index, const char* fieldName)
{
    bool last = index + 1 == format.fields;
    for (char c : value) {
        if (c == '\r' || c == '\n')
            throw ETableFieldError(std::string(fieldName) + " must not contain a line break (" +
                                   format.file + ")");
        if (c == format.separator && !(last && format.lastTakesRest))
            throw ETableFieldError(std::string(fieldName) + " must not contain \"" +
                                   std::string(1, format.separator) + "\" (" + format.file + ")");
    }
}

} // namespace TableFile

void ReportTableSaveError(const char* file, const std::string& reason)
{
    CoreReport::Error(std::string("Error Saving ") + file + "\n" + reason);
}

void ReportTableReadError(const char* file)
{
    CoreReport::Error(std::string("Error Reading ") + file + "\n" + DataRoot::Path(file) +
                      "\nThe file is kept as it is until the station is restarted.");
}
