#include "mail/account_list.h"

namespace {

constexpr TableFile::Format kAccounts{TAccountList::kFileName, ':', 7, false, false};

TAccount FromRecord(const TableFile::Record& r)
{
    return TAccount{r[0], r[1], r[2], r[3], r[4], r[5], r[6]};
}

TableFile::Record ToRecord(const TAccount& a)
{
    return {a.HFAddress, a.Station, a.EmailAddress, a.User, a.Password, a.POPServer, a.Status};
}

} // namespace

TAccountList::TAccountList() : TTableBase(kAccounts, FromRecord, ToRecord)
{
    Load();
}

TAccountList::~TAccountList()
{
    Save();
}

void TAccountList::Load()
{
    LoadRecords();
}

TAccount TAccountList::Get(int index) const
{
    return GetAt(index);
}

std::string TAccountList::FieldProblem(const std::string& text)
{
    for (char c : text) {
        if (c == ':' || c == '\r' || c == '\n')
            return "An account field cannot hold \":\" or line breaks.";
    }
    return std::string();
}

void TAccountList::CheckAccount(const TAccount& a) const
{
    Check(a.HFAddress, 0, "HF address");
    Check(a.Station, 1, "Station");
    Check(a.EmailAddress, 2, "Email address");
    Check(a.User, 3, "User name");
    Check(a.Password, 4, "Password");
    Check(a.POPServer, 5, "Mail server");
    Check(a.Status, 6, "State");
}

void TAccountList::Add(const TAccount& account)
{
    CheckAccount(account);
    Append(account);
}

bool TAccountList::Modify(int index, const TAccount& account)
{
    CheckAccount(account);
    return ReplaceAt(index, account);
}

bool TAccountList::Delete(int index)
{
    return EraseAt(index);
}
