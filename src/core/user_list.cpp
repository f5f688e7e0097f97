#include "core/user_list.h"

#include <cstdio>
#include <unistd.h>

#include "core/core_report.h"
#include "core/date_time.h"
#include "core/message_store.h"
#include "core/password_codec.h"
#include "platform/atomic_file.h"

namespace {

TUser FromRecord(const TableFile::Record& r)
{
    std::optional<std::string> password = DecodePassword(r[1]);
    if (!password)
        return TUser{r[0], std::string(), r[2], r[1]};
    return TUser{r[0], *password, r[2]};
}

TableFile::Record ToRecord(const TUser& u)
{
    const bool keepUnread = u.Password.empty() && !u.UnreadPassword.empty();
    return {u.Name, keepUnread ? u.UnreadPassword : EncodePassword(u.Password), u.LastConnection};
}

// A file name handed in by a caller must stay inside the mailbox.
bool SafeFileName(const std::string& name)
{
    return MessageStore::IsSafeName(name);
}

} // namespace

TUserList::TUserList() : TTableBase(TableFile::kUsers, FromRecord, ToRecord)
{
    Load();
}

TUserList::~TUserList()
{
    Save();
}

void TUserList::Load()
{
    LoadRecords();
    for (const TUser& u : GetAll()) {
        if (!u.Password.empty())
            continue;
        CoreReport::Log(std::string(TableFile::Users) + ": " +
                        (u.UnreadPassword.empty() ? "user " + u.Name + " has no password"
                                                  : "the password of user " + u.Name +
                                                        " cannot be read (kept as it is)") +
                        "; the account refuses every login until its password is set");
    }
}

void TUserList::CheckUser(const TUser& u) const
{
    Check(u.Name, 0, "User name");
    if (!MessageStore::IsSafeName(u.Name))
        throw ETableFieldError("User name \"" + u.Name +
                               "\" cannot name a mailbox directory (users.dat)");
    // The password is stored as hex digits, so any byte is safe in it.
    Check(u.LastConnection, 2, "Last connection");
}

TUser TUserList::Get(int index) const
{
    return GetAt(index);
}

int TUserList::IndexOf(const std::string& name) const
{
    std::lock_guard lock(m_lock);
    for (size_t i = 0; i < m_items.size(); ++i)
        if (m_items[i].Name == name)
            return static_cast<int>(i);
    return -1;
}

void TUserList::Add(const TUser& user)
{
    CheckUser(user);
    // The mailbox comes first so that the change hook finds it.
    std::string dir = MessageStore::UserMailDir(user.Name);
    if (!MessageStore::EnsureDirectory(dir))
        CoreReport::Error("Error Creating Directory\n" + dir);
    Append(user);
}

bool TUserList::Modify(int index, const TUser& user)
{
    CheckUser(user);
    return ReplaceAt(index, user);
}

bool TUserList::Delete(int index)
{
    return EraseAt(index);
}

void TUserList::GetMessageList(const TUser& user, std::vector<std::string>& list, int& count,
                               long long& totalOctets) const
{
    if (!MessageStore::IsSafeName(user.Name)) {
        CoreReport::Error("Error Finding User's Mail Directory\n" + user.Name);
        return;
    }
    std::string dir = MessageStore::UserMailDir(user.Name);
    if (!MessageStore::EnsureDirectory(dir)) {
        CoreReport::Error("Error Finding User's Mail Directory\n" + dir);
        return;
    }
    for (const MessageStore::TMessageFile& f : MessageStore::ListMessages(dir)) {
        ++count;
        totalOctets += static_cast<long long>(f.Size);
        list.push_back(f.Name + ":" + std::to_string(f.Size));
    }
}

std::string TUserList::LoadMessage(const std::string& userName, const std::string& fileName) const
{
    std::string data;
    if (!MessageStore::IsSafeName(userName) || !SafeFileName(fileName))
        return data;
    ReadWholeFile(MessageStore::UserMailDir(userName) + "/" + fileName, data);
    return data;
}

void TUserList::DeleteMessage(const std::string& userName, const std::string& fileName)
{
    if (!MessageStore::IsSafeName(userName) || !SafeFileName(fileName))
        return;
    ::unlink((MessageStore::UserMailDir(userName) + "/" + fileName).c_str());
    Changed();
}

void TUserList::SetLastConnection(const std::string& userName)
{
    std::tm now = DateTime::NowUtc();
    std::string stamp =
        "[" + DateTime::FormatDate(now) + " " + DateTime::FormatHourMinute(now) + " UTC]";
    Update([&] {
        for (TUser& u : m_items) {
            if (u.Name == userName) {
                u.LastConnection = stamp;
                return true;
            }
        }
        return false;
    });
}
