#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/table_file.h"

// Reports a failed save as "Error Saving <file>\n<reason>"; the table in
// memory keeps the change and is written again at its next save.
void ReportTableSaveError(const char* file, const std::string& reason);
// Reports a table file that is there but could not be read.
void ReportTableReadError(const char* file);
// Logs the lines of a table file that no record can hold.
void ReportTableBadLines(const char* file, const std::vector<TableFile::BadLine>& lines);

// What every table shares: its records by value, its own lock, its file, and
// the change hook that windows use to refresh their views. Callers never lock;
// each public operation of a table is one locked step.
//
// The change hook runs on the thread that made the change, after the table's
// lock is released, so it may read the table again. A window must carry the
// refresh to the GUI thread itself. A failed save is reported after the lock
// is released too: the report may wait for the GUI thread, which may be
// waiting for the table.
template <class TRecord> class TTableBase {
public:
    using ChangeHook = std::function<void()>;

    void SetOnChanged(ChangeHook hook)
    {
        std::lock_guard lock(m_lock);
        m_onChanged = std::move(hook);
    }

    int Count() const
    {
        std::lock_guard lock(m_lock);
        return static_cast<int>(m_items.size());
    }

    // A copy of every record, taken in one step (for iterating while other
    // threads may change the table).
    std::vector<TRecord> GetAll() const
    {
        std::lock_guard lock(m_lock);
        return m_items;
    }

    // Writes the file now; false (and the error reported) when it cannot.
    bool Save()
    {
        std::optional<std::string> error;
        {
            std::lock_guard lock(m_lock);
            error = WriteLocked();
        }
        return !Report(error);
    }

protected:
    using FromRecordFn = TRecord (*)(const TableFile::Record&);
    using ToRecordFn = TableFile::Record (*)(const TRecord&);

    TTableBase(const TableFile::Format& format, FromRecordFn fromRecord, ToRecordFn toRecord)
        : m_format(format), m_fromRecord(fromRecord), m_toRecord(toRecord)
    {
    }
    ~TTableBase() = default;

    // Replaces the records by the file's; `arrange` (if any) runs on them
    // before the lock is released.
    // A file that is there but cannot be read (its permissions, a disk
    // error) is reported and never saved over: the table starts empty and
    // its saves fail until a load succeeds. Lines that no record can hold
    // are logged and every save writes them back as they were.
    void LoadRecords(const std::function<void()>& arrange = {})
    {
        bool unreadable = false;
        std::vector<TableFile::BadLine> badLines;
        std::vector<TRecord> items;
        for (const TableFile::Record& r : TableFile::Load(m_format, &unreadable, &badLines))
            items.push_back(m_fromRecord(r));
        {
            std::lock_guard lock(m_lock);
            m_items = std::move(items);
            m_unreadable = unreadable;
            m_badLines = badLines;
            if (arrange)
                arrange();
        }
        if (unreadable)
            ReportTableReadError(m_format.file);
        ReportTableBadLines(m_format.file, badLines);
    }

    // One change: `change` runs under the lock and returns whether it changed
    // anything. When it did, the file is saved and the change hook runs.
    template <class Change> bool Update(Change change)
    {
        std::optional<std::string> error;
        {
            std::lock_guard lock(m_lock);
            if (!change())
                return false;
            error = WriteLocked();
        }
        Report(error);
        Changed();
        return true;
    }

    // A copy of the record; an index outside 0..Count-1 gives an empty record.
    TRecord GetAt(int index) const
    {
        std::lock_guard lock(m_lock);
        return ValidIndex(index) ? m_items[index] : TRecord{};
    }

    // Appends the record, saves and runs the change hook.
    void Append(const TRecord& record)
    {
        Update([&] {
            m_items.push_back(record);
            return true;
        });
    }

    // Replaces the record at `index`, saves and runs the change hook; false
    // for an index out of range.
    bool ReplaceAt(int index, const TRecord& record)
    {
        return Update([&] {
            if (!ValidIndex(index))
                return false;
            m_items[index] = record;
            return true;
        });
    }

    // Removes the record, saves and runs the change hook; false for an index
    // out of range.
    bool EraseAt(int index)
    {
        return Update([&] {
            if (!ValidIndex(index))
                return false;
            m_items.erase(m_items.begin() + index);
            return true;
        });
    }

    // Runs the change hook outside the lock.
    void Changed()
    {
        ChangeHook hook;
        {
            std::lock_guard lock(m_lock);
            hook = m_onChanged;
        }
        if (hook)
            hook();
    }

    bool ValidIndex(int index) const
    {
        return index >= 0 && static_cast<size_t>(index) < m_items.size();
    }

    void Check(const std::string& value, size_t index, const char* fieldName) const
    {
        TableFile::CheckField(value, m_format, index, fieldName);
    }

    mutable std::mutex m_lock;
    std::vector<TRecord> m_items;
    const TableFile::Format& m_format;

private:
    // The reason the file could not be written, if it could not.
    std::optional<std::string> WriteLocked()
    {
        if (m_unreadable)
            return std::string("the file could not be read at start and is kept as it is");
        std::vector<TableFile::Record> records;
        records.reserve(m_items.size());
        for (const TRecord& item : m_items)
            records.push_back(m_toRecord(item));
        try {
            TableFile::Save(records, m_format, m_badLines);
            return std::nullopt;
        } catch (const std::exception& e) {
            return std::string(e.what());
        }
    }

    bool Report(const std::optional<std::string>& error) const
    {
        if (error)
            ReportTableSaveError(m_format.file, *error);
        return error.has_value();
    }

    ChangeHook m_onChanged;
    bool m_unreadable = false;
    std::vector<TableFile::BadLine> m_badLines;
    FromRecordFn m_fromRecord;
    ToRecordFn m_toRecord;
};
