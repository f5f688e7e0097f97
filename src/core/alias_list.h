#pragma once

#include <string>

#include "core/table_base.h"

// One alias: mail for an Internet address goes to an HF address instead.
struct TAlias {
    std::string Address{}; // Internet e-mail address
    std::string Alias{};   // HF address, user + "@" + station
    std::string User{};    // HF user
    std::string Station{}; // HF station
};

// The alias table in alias.dat, kept sorted by Internet address (letter case
// ignored; equal addresses keep their order). Fields must be free of ":" and
// line breaks (ETableFieldError).
class TAliasList : public TTableBase<TAlias> {
public:
    TAliasList();  // loads alias.dat
    ~TAliasList(); // saves alias.dat

    TAliasList(const TAliasList&) = delete;
    TAliasList& operator=(const TAliasList&) = delete;

    void Load();

    // The four fields of the entry; all empty for an index out of range.
    void Get(int index, std::string& address, std::string& alias, std::string& user,
             std::string& station) const;
    TAlias Get(int index) const;
    // Index of the first entry for that Internet address (letter case
    // ignored), or -1.
    int IndexOfAddress(const std::string& address) const;

    // Each change sorts and saves.
    void Add(const std::string& address, const std::string& alias, const std::string& user,
             const std::string& station);
    bool Modify(int index, const std::string& address, const std::string& alias,
                const std::string& user, const std::string& station);
    bool Delete(int index);
    void Clear();

private:
    void CheckAlias(const TAlias& a) const;
    void SortLocked();
};
