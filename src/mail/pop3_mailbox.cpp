#include "mail/pop3_mailbox.h"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

#include "core/message_store.h"
#include "core/user_list.h"
#include "mail/local_mail_text.h"

namespace {

std::optional<TPOPInfo::TFileId> IdOf(const struct stat& st)
{
    return TPOPInfo::TFileId{
        static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
        static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
}

// Which file `path` is; nothing when it is gone.
std::optional<TPOPInfo::TFileId> FileId(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return IdOf(st);
}

// A message file open for reading, closed however the sending ends.
class TOpenMessage {
public:
    explicit TOpenMessage(const std::string& path) : FFd(::open(path.c_str(), O_RDONLY | O_CLOEXEC))
    {
    }
    ~TOpenMessage()
    {
        if (FFd >= 0)
            ::close(FFd);
    }
    TOpenMessage(const TOpenMessage&) = delete;
    TOpenMessage& operator=(const TOpenMessage&) = delete;

    bool IsOpen() const { return FFd >= 0; }
    std::optional<TPOPInfo::TFileId> Id() const
    {
        struct stat st;
        if (::fstat(FFd, &st) != 0)
            return std::nullopt;
        return IdOf(st);
    }
    // The next bytes into buf: their count, 0 at the end, -1 when a read fails.
    ssize_t Read(char* buf, size_t size)
    {
        for (;;) {
            const ssize_t n = ::read(FFd, buf, size);
            if (n >= 0 || errno != EINTR)
                return n;
        }
    }

private:
    int FFd;
};

// A name as the client sent it, fit for one log line: a control character
// (a CR in a USER line) could otherwise forge a line of its own.
std::string LoggedName(std::string name)
{
    for (char& c : name)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return name;
}

} // namespace

struct TMaildropLock::TTable {
    std::mutex Lock;
    std::set<std::string> Held;
};

TMaildropLock::TMaildropLock(std::shared_ptr<TTable> table, std::string user)
    : FTable(std::move(table)), FUser(std::move(user))
{
}

TMaildropLock::~TMaildropLock()
{
    std::lock_guard<std::mutex> lock(FTable->Lock);
    FTable->Held.erase(FUser);
}

TPOP3Mailbox::TPOP3Mailbox(TUserList* users, TLogLine logLine)
    : FUsers(users), FLogLine(std::move(logLine)), FLocks(std::make_shared<TMaildropLock::TTable>())
{
}

std::unique_ptr<TMaildropLock> TPOP3Mailbox::LockMaildrop(const std::string& userName)
{
    std::lock_guard<std::mutex> lock(FLocks->Lock);
    if (!FLocks->Held.insert(userName).second)
        return nullptr;
    return std::make_unique<TMaildropLock>(FLocks, userName);
}

void TPOP3Mailbox::Log(const std::string& text)
{
    if (FLogLine)
        FLogLine(text);
}

std::unique_ptr<TPOPInfo> TPOP3Mailbox::Login(const std::string& userName,
                                              const std::string& password, bool* inUse)
{
    // One copy of the table, so a change on the GUI thread cannot shift it.
    // A user without a password (none set, or one that did not decode) has
    // none that a client could send.
    for (const TUser& user : FUsers->GetAll()) {
        if (user.Name != userName || user.Password.empty() || user.Password != password)
            continue;
        auto info = std::make_unique<TPOPInfo>();
        info->Maildrop = LockMaildrop(user.Name);
        if (!info->Maildrop) {
            Log("User: " + user.Name + " refused, mailbox in use by another connection");
            if (inUse)
                *inUse = true;
            return nullptr;
        }
        info->UserName = user.Name;
        info->Password = user.Password;
        FUsers->GetMessageList(user, info->MessageList, info->MessageCount, info->TotalOctets);
        for (int n = 1; n <= info->MessageCount; ++n) {
            std::string fileName;
            std::string size;
            std::optional<TPOPInfo::TFileId> id;
            if (Entry(*info, n, fileName, size))
                id = FileId(MessageStore::UserMailDir(user.Name) + "/" + fileName);
            info->FileIds.push_back(id);
        }
        Log("User: " + user.Name + " connected");
        FUsers->SetLastConnection(user.Name);
        return info;
    }
    Log("User: " + LoggedName(userName) + " connection failed");
    return nullptr;
}

bool TPOP3Mailbox::Entry(const TPOPInfo& info, int n, std::string& fileName, std::string& size)
{
    if (n < 1 || n > info.MessageCount || static_cast<size_t>(n) > info.MessageList.size())
        return false;
    const std::string& entry = info.MessageList[static_cast<size_t>(n) - 1];
    size_t colon = entry.find(':');
    fileName = entry.substr(0, colon);
    size = colon == std::string::npos ? std::string() : entry.substr(colon + 1);
    size = size.substr(0, size.find(':'));
    return true;
}

void TPOP3Mailbox::Stat(const TPOPInfo& info, TPOP3ReplyWriter& out)
{
    out.WriteLn("+OK " + std::to_string(info.MessageCount) + " " +
                std::to_string(info.TotalOctets));
}

void TPOP3Mailbox::List(const TPOPInfo& info, int n, TPOP3ReplyWriter& out)
{
    std::string fileName;
    std::string size;
    if (n <= 0) {
        std::string text = "+OK " + std::to_string(info.MessageCount) + " messages (" +
                           std::to_string(info.TotalOctets) + " octets)\r\n";
        for (int i = 1; i <= info.MessageCount; ++i) {
            if (Entry(info, i, fileName, size))
                text += std::to_string(i) + " " + size + "\r\n";
        }
        text += ".\r\n";
        out.Write(text);
    } else if (Entry(info, n, fileName, size)) {
        out.WriteLn("+OK " + std::to_string(n) + " " + size);
    } else {
        out.WriteLn("-ERR no such message");
    }
}

bool TPOP3Mailbox::StillListed(const TPOPInfo& info, int n, const std::string& fileName)
{
    const auto id = FileId(MessageStore::UserMailDir(info.UserName) + "/" + fileName);
    return id && static_cast<size_t>(n) <= info.FileIds.size() &&
           id == info.FileIds[static_cast<size_t>(n) - 1];
}

bool TPOP3Mailbox::SendMessage(const TPOPInfo& info, int n, bool retrieve, TPOP3ReplyWriter& out)
{
    std::string fileName;
    std::string size;
    if (!Entry(info, n, fileName, size)) {
        out.WriteLn("-ERR Sorry, Invalid message");
        return false;
    }
    TOpenMessage file(MessageStore::UserMailDir(info.UserName) + "/" + fileName);
    const bool gone = file.IsOpen() ? file.Id() != info.FileIds.at(static_cast<size_t>(n) - 1)
                                    : !StillListed(info, n, fileName);
    if (gone) {
        // Removed since this connection's login (perhaps with new mail under
        // its name since): an empty text would be stored as an empty mail.
        out.WriteLn("-ERR Sorry, message no longer exists");
        return false;
    }
    if (!file.IsOpen()) {
        out.WriteLn("-ERR Sorry, message could not be read");
        return false;
    }
    if (retrieve)
        Log("User: " + info.UserName + " retreiving mail[" + std::to_string(n) + "]");
    // The message goes out in pieces as it is read, so a connection holds
    // little of it whatever its size.
    LocalMailText::TRetrieveWriter text(
        "+OK " + size + " octets\r\n",
        [&out](std::string_view piece) { out.Write(std::string(piece)); });
    std::vector<char> buf(64 * 1024);
    for (;;) {
        const ssize_t got = file.Read(buf.data(), buf.size());
        if (got == 0)
            break;
        if (got < 0) {
            // Sent as an empty or a cut-off message it would be taken for
            // delivered: refused while nothing is out yet, else the
            // connection is ended without the closing "." line.
            if (text.Started())
                throw std::runtime_error("cannot read " + fileName);
            out.WriteLn("-ERR Sorry, message could not be read");
            return false;
        }
        text.Feed(std::string_view(buf.data(), static_cast<size_t>(got)));
    }
    text.Finish();
    return true;
}

void TPOP3Mailbox::Mark(TPOPInfo& info, int n)
{
    if (info.Marked.size() < info.MessageList.size())
        info.Marked.resize(info.MessageList.size(), false);
    info.Marked[static_cast<size_t>(n) - 1] = true;
}

void TPOP3Mailbox::Retr(TPOPInfo& info, int n, TPOP3ReplyWriter& out)
{
    if (SendMessage(info, n, true, out))
        Mark(info, n);
}

void TPOP3Mailbox::Top(const TPOPInfo& info, int n, int /*lines*/, TPOP3ReplyWriter& out)
{
    SendMessage(info, n, false, out);
}

void TPOP3Mailbox::Dele(TPOPInfo& info, int n, TPOP3ReplyWriter& out)
{
    std::string fileName;
    std::string size;
    if (!Entry(info, n, fileName, size)) {
        out.WriteLn("-ERR no such message");
        return;
    }
    Mark(info, n);
    out.WriteLn("+OK");
}

void TPOP3Mailbox::Quit(TPOPInfo& info, TPOP3ReplyWriter& out)
{
    std::string fileName;
    std::string size;
    for (size_t i = 0; i < info.Marked.size(); ++i)
        if (info.Marked[i] && Entry(info, static_cast<int>(i) + 1, fileName, size) &&
            StillListed(info, static_cast<int>(i) + 1, fileName))
            FUsers->DeleteMessage(info.UserName, fileName);
    // Before the reply: a client may log in again as soon as it has it.
    info.Maildrop.reset();
    Log("User: " + info.UserName + " disconnected");
    out.WriteLn("+OK 0L POP3 server signing off (maildrop empty)");
}
