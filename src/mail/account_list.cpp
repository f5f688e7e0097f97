#include "mail/account_list.h"

#include "core/core_report.h"

namespace {

// The last field takes the rest of the line: fields past the seventh are
// split off it again and kept aside.
constexpr TableFile::Format kAccounts{TAccountList::kFileName, ':', 7, false, true};

TAccount FromRecord(const TableFile::Record& r)
{
    TAccount a{r[0], r[1], r[2], r[3], r[4], r[5], r[6]};
    if (const size_t colon = a.Status.find(':'); colon != std::string::npos) {
        a.Rest = a.Status.substr(colon);
        a.Status.resize(colon);
    }
    return a;
}

TableFile::Record ToRecord(const TAccount& a)
{
    return {a.HFAddress, a.Station,   a.EmailAddress,   a.User,
            a.Password,  a.POPServer, a.Status + a.Rest};
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
    for (const TAccount& a : GetAll())
        if (!a.Rest.empty())
            CoreReport::Log(std::string(kFileName) + ": the account " + a.HFAddress +
                            " has more than seven fields; it is read from the first seven and "
                            "the rest is kept as it is");
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
    // The last field may hold ":" in the file, but a state holding one would
    // read back cut.
    if (a.Status.find(':') != std::string::npos)
        throw ETableFieldError(std::string("State must not contain \":\" (") + kFileName + ")");
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
