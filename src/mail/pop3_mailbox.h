#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "netproto/core/id_component.h"

class TUserList;

// A user's maildrop held by one connection (RFC 1939's exclusive lock):
// while it is held, the user's other connections cannot log in. It goes
// with the object, however the connection ends, and lives in this process
// alone, so a station that crashes leaves no lock behind.
class TMaildropLock {
public:
    struct TTable;
    TMaildropLock(std::shared_ptr<TTable> table, std::string user);
    ~TMaildropLock();
    TMaildropLock(const TMaildropLock&) = delete;
    TMaildropLock& operator=(const TMaildropLock&) = delete;

private:
    std::shared_ptr<TTable> FTable;
    std::string FUser;
};

// One logged-in POP3 connection: who logged in and the listing of the
// mailbox taken at login, which is never refreshed during the connection.
// Message number i (from 1) is entry i of MessageList ("name:size").
class TPOPInfo : public TIdBaseComponent {
public:
    std::string UserName;
    std::string Password;
    int32_t MessageCount = 0;
    long long TotalOctets = 0;
    std::vector<std::string> MessageList;
    // Messages retrieved or deleted in this connection (by number, from 1):
    // their files go at QUIT, as in POP3's update state, so a connection
    // that drops before QUIT loses no mail.
    std::vector<bool> Marked;
    // Which file each listed name was at login. The store names new mail
    // after what the mailbox holds, so a name that another connection has
    // emptied comes back on the next message: that one is not ours to send
    // or delete.
    struct TFileId {
        unsigned long long Device = 0;
        unsigned long long Inode = 0;
        long long Modified = 0; // ns
        bool operator==(const TFileId&) const = default;
    };
    // Nothing for a file gone between the listing and its look-up.
    std::vector<std::optional<TFileId>> FileIds;
    // The user's maildrop, from login to QUIT.
    std::unique_ptr<TMaildropLock> Maildrop;
};

// Where the replies of one command go.
class TPOP3ReplyWriter {
public:
    virtual ~TPOP3ReplyWriter() = default;
    // The line and CR LF.
    virtual void WriteLn(const std::string& line) = 0;
    // The text as it is; throws when it cannot all be sent.
    virtual void Write(const std::string& text) = 0;
};

// The mailbox side of the local POP3 server, without sockets: logins against
// the user table and the replies of STAT, LIST, RETR, TOP, DELE and QUIT.
// Runs on the connection threads, several at a time; the user table locks
// itself.
class TPOP3Mailbox {
public:
    using TLogLine = std::function<void(const std::string& text)>;

    TPOP3Mailbox(TUserList* users, TLogLine logLine);

    // The first user whose name and password both equal the ones given
    // (letter case counts) logs in: the maildrop is locked, the listing is
    // taken, the login logged and the last connection stamped. Null, and a
    // log line, when none does, or when another connection holds the
    // maildrop (`inUse` is then set).
    std::unique_ptr<TPOPInfo> Login(const std::string& userName, const std::string& password,
                                    bool* inUse = nullptr);

    void Stat(const TPOPInfo& info, TPOP3ReplyWriter& out);
    // n <= 0: the whole listing.
    void List(const TPOPInfo& info, int n, TPOP3ReplyWriter& out);
    // Sends the message and marks it to go at QUIT. The message goes out in
    // pieces as its file is read, so memory stays bounded whatever its size;
    // a file that fails to read once some of it is out throws, so that the
    // connection ends without the closing "." line. A message whose file is
    // gone since login is refused.
    void Retr(TPOPInfo& info, int n, TPOP3ReplyWriter& out);
    // Sends the whole message (the line count is not applied) and keeps it.
    void Top(const TPOPInfo& info, int n, int lines, TPOP3ReplyWriter& out);
    // Marks the message to go at QUIT.
    void Dele(TPOPInfo& info, int n, TPOP3ReplyWriter& out);
    // Deletes the marked messages, gives the maildrop back, then signs off.
    void Quit(TPOPInfo& info, TPOP3ReplyWriter& out);

private:
    // Entry n split into file name and size text; false for a bad number.
    static bool Entry(const TPOPInfo& info, int n, std::string& fileName, std::string& size);
    void Log(const std::string& text);
    // False when nothing was sent.
    bool SendMessage(const TPOPInfo& info, int n, bool retrieve, TPOP3ReplyWriter& out);
    // Whether the file of entry n is still the one listed at login.
    static bool StillListed(const TPOPInfo& info, int n, const std::string& fileName);
    static void Mark(TPOPInfo& info, int n);
    // The user's maildrop; null when another connection holds it.
    std::unique_ptr<TMaildropLock> LockMaildrop(const std::string& userName);

    TUserList* FUsers;
    TLogLine FLogLine;
    std::shared_ptr<TMaildropLock::TTable> FLocks;
};
