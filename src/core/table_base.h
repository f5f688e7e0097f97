#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/table_file.h"

// What every table shares: its records by value, its own lock, its file, and
// the change hook that windows use to refresh their views. Callers never lock;
// each public operation of a table is one locked step.
//
// The change hook runs on the thread that made the change, after the table's
// lock is released, so it may read the table again. A window must carry the
// refresh to the GUI thread itself.
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
        std::lock_guard lock(m_lock);
        return SaveLocked();
    }

protected:
    explicit TTableBase(const TableFile::Format& format) : m_format(format) {}
    ~TTableBase() = default;

    void LoadRecords(TRecord (*fromRecord)(const TableFile::Record&))
    {
        std::lock_guard lock(m_lock);
        m_items.clear();
        for (const TableFile::Record& r : TableFile::Load(m_format))
            m_items.push_back(fromRecord(r));
    }

    void SetToRecord(TableFile::Record (*toRecord)(const TRecord&)) { m_toRecord = toRecord; }

    bool SaveLocked();

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
    ChangeHook m_onChanged;
    TableFile::Record (*m_toRecord)(const TRecord&) = nullptr;
};

// Reports a failed save as "Error Saving <file>\n<reason>"; the table in
// memory keeps the change and is written again at its next save.
void ReportTableSaveError(const char* file, const std::string& reason);

template <class TRecord> bool TTableBase<TRecord>::SaveLocked()
{
    std::vector<TableFile::Record> records;
    records.reserve(m_items.size());
    for (const TRecord& item : m_items)
        records.push_back(m_toRecord(item));
    try {
        TableFile::Save(records, m_format);
        return true;
    } catch (const std::exception& e) {
        ReportTableSaveError(m_format.file, e.what());
        return false;
    }
}
