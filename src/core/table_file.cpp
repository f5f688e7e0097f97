#include "core/table_file.h"

#include "core/core_report.h"
#include "core/table_base.h"

#include <algorithm>
#include <sys/stat.h>

#include "platform/atomic_file.h"
#include "platform/data_root.h"

namespace TableFile {

namespace {

bool IsControl(char c)
{
    const auto b = static_cast<unsigned char>(c);
    return (b < 0x20 && c != '\t') || b == 0x7F;
}

enum class LineKind { Empty, Record, Bad };

// Reads one line (without its LF) into `fields`.
LineKind ReadLine(std::string_view line, const Format& format, Record& fields)
{
    fields.assign(format.fields, std::string());
    size_t index = 0;
    bool hasBytes = false;
    for (char c : line) {
        if (c == '\r')
            continue;
        if (IsControl(c))
            return LineKind::Bad;
        hasBytes = true;
        const bool inLast = index + 1 == format.fields;
        if (c == format.separator && !(inLast && format.lastTakesRest)) {
            ++index;
            continue;
        }
        if (index >= format.fields)
            return LineKind::Bad;
        fields[index] += c;
    }
    return hasBytes ? LineKind::Record : LineKind::Empty;
}

} // namespace

std::vector<Record> Parse(std::string_view data, const Format& format,
                          std::vector<BadLine>* badLines)
{
    std::vector<Record> records;
    Record fields;
    size_t number = 0;
    for (size_t pos = 0; pos < data.size();) {
        const size_t end = std::min(data.find('\n', pos), data.size());
        std::string_view line = data.substr(pos, end - pos);
        pos = end + 1;
        ++number;
        switch (ReadLine(line, format, fields)) {
        case LineKind::Record:
            records.push_back(std::move(fields));
            break;
        case LineKind::Bad:
            if (badLines) {
                while (!line.empty() && line.back() == '\r')
                    line.remove_suffix(1);
                badLines->push_back({std::string(line), number, records.size()});
            }
            break;
        case LineKind::Empty:
            break;
        }
    }
    return records;
}

std::string Serialize(const std::vector<Record>& records, const Format& format,
                      const std::vector<BadLine>& badLines)
{
    std::string out;
    auto bad = badLines.begin();
    auto putBadLines = [&](size_t upTo) {
        for (; bad != badLines.end() && bad->before <= upTo; ++bad)
            out += bad->text + "\r\n";
    };
    for (size_t n = 0; n < records.size(); ++n) {
        putBadLines(n);
        const Record& r = records[n];
        for (size_t i = 0; i < format.fields; ++i) {
            if (i < r.size())
                out += r[i];
            if (format.terminated || i + 1 < format.fields)
                out += format.separator;
        }
        out += "\r\n";
    }
    putBadLines(static_cast<size_t>(-1));
    return out;
}

std::vector<Record> Load(const Format& format, bool* unreadable, std::vector<BadLine>* badLines)
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
    return Parse(data, format, badLines);
}

void Save(const std::vector<Record>& records, const Format& format,
          const std::vector<BadLine>& badLines)
{
    WriteFileAtomic(DataRoot::Path(format.file), Serialize(records, format, badLines));
}

void CheckField(const std::string& value, const Format& format, size_t index, const char* fieldName)
{
    bool last = index + 1 == format.fields;
    for (char c : value) {
        if (IsControl(c))
            throw ETableFieldError(std::string(fieldName) +
                                   " must not contain a line break or control character (" +
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

void ReportTableBadLines(const char* file, const std::vector<TableFile::BadLine>& lines)
{
    CoreReport::TFileLines numbered;
    for (const TableFile::BadLine& line : lines)
        numbered.emplace_back(line.number, line.text);
    CoreReport::LogFileLines(file, numbered, "cannot be read and is kept as it is");
}
