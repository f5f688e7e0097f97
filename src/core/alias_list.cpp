#include "core/alias_list.h"

#include <algorithm>

#include "core/text_util.h"

namespace {

TAlias FromRecord(const TableFile::Record& r)
{
    return TAlias{r[0], r[1], r[2], r[3]};
}

TableFile::Record ToRecord(const TAlias& a)
{
    return {a.Address, a.Alias, a.User, a.Station};
}

} // namespace

TAliasList::TAliasList() : TTableBase(TableFile::kAlias, FromRecord, ToRecord)
{
    Load();
}

TAliasList::~TAliasList()
{
    Save();
}

void TAliasList::Load()
{
    LoadRecords();
}

void TAliasList::CheckAlias(const TAlias& a) const
{
    Check(a.Address, 0, "Internet address");
    Check(a.Alias, 1, "Alias");
    Check(a.User, 2, "HF user");
    Check(a.Station, 3, "Station");
}

void TAliasList::SortLocked()
{
    std::stable_sort(m_items.begin(), m_items.end(), [](const TAlias& a, const TAlias& b) {
        return CompareTextIgnoreCase(a.Address, b.Address) < 0;
    });
}

void TAliasList::Get(int index, std::string& address, std::string& alias, std::string& user,
                     std::string& station) const
{
    TAlias a = Get(index);
    address = a.Address;
    alias = a.Alias;
    user = a.User;
    station = a.Station;
}

TAlias TAliasList::Get(int index) const
{
    return GetAt(index);
}

int TAliasList::IndexOfAddress(const std::string& address) const
{
    std::lock_guard lock(m_lock);
    for (size_t i = 0; i < m_items.size(); ++i)
        if (SameTextIgnoreCase(m_items[i].Address, address))
            return static_cast<int>(i);
    return -1;
}

void TAliasList::Add(const std::string& address, const std::string& alias, const std::string& user,
                     const std::string& station)
{
    TAlias a{address, alias, user, station};
    CheckAlias(a);
    Update([&] {
        m_items.push_back(std::move(a));
        SortLocked();
        return true;
    });
}

bool TAliasList::Modify(int index, const std::string& address, const std::string& alias,
                        const std::string& user, const std::string& station)
{
    TAlias a{address, alias, user, station};
    CheckAlias(a);
    return Update([&] {
        if (!ValidIndex(index))
            return false;
        m_items[index] = std::move(a);
        SortLocked();
        return true;
    });
}

bool TAliasList::Delete(int index)
{
    return EraseAt(index);
}

void TAliasList::Clear()
{
    Update([&] {
        m_items.clear();
        return true;
    });
}
