#pragma once

#include <string>
#include <vector>

#include "core/table_base.h"

// One local mail user. The password is plain text in memory and stored
// encoded in users.dat. A user without a password (its stored field empty,
// or one that does not decode) refuses every login until one is set.
struct TUser {
    std::string Name{};
    std::string Password{};
    std::string LastConnection{}; // "[dd-mmm-yy hh:nn UTC]" or empty
    // The stored password field when it does not decode (a hand edit): saved
    // back as it was while Password stays empty.
    std::string UnreadPassword{};
};

// The user table in users.dat, and the users' mailbox directories MAIL/<name>.
// A name must be usable as a directory name and free of ":" and line breaks;
// other fields must be free of line breaks (ETableFieldError). Used by the GUI
// thread, the router and the POP3 connection threads at once.
class TUserList : public TTableBase<TUser> {
public:
    TUserList();  // loads users.dat
    ~TUserList(); // saves users.dat

    TUserList(const TUserList&) = delete;
    TUserList& operator=(const TUserList&) = delete;

    // Reads users.dat; each user without a password is logged.
    void Load();

    // A copy of the record; an index outside 0..Count-1 gives an empty record.
    TUser Get(int index) const;
    // Index of the user of exactly that name (letter case counts), or -1.
    int IndexOf(const std::string& name) const;

    // Appends the user, creates its mailbox directory ("Error Creating
    // Directory\n" + path reported when that fails), saves and runs the
    // change hook.
    void Add(const TUser& user);
    bool Modify(int index, const TUser& user);
    // Removes the user; the mailbox directory and its files stay on disk.
    bool Delete(int index);

    // For every message file of the user's mailbox, in numeric order: adds 1
    // to count, adds its size to totalOctets and appends "name:size" to
    // list. A missing mailbox is created; when that fails, "Error Finding
    // User's Mail Directory\n" + path is reported and nothing is listed.
    void GetMessageList(const TUser& user, std::vector<std::string>& list, int& count,
                        long long& totalOctets) const;
    // The whole file MAIL/<user>/<file>, byte for byte; empty when it cannot
    // be opened or read, or when a name would leave the mailbox.
    std::string LoadMessage(const std::string& userName, const std::string& fileName) const;
    // Deletes MAIL/<user>/<file> (a missing file is no error) and runs the
    // change hook.
    void DeleteMessage(const std::string& userName, const std::string& fileName);
    // Stamps the user's last connection "[dd-mmm-yy hh:nn UTC]", saves and
    // runs the change hook. An unknown name changes nothing. The time is
    // taken from the UTC clock, as the stamp says, not the local one.
    void SetLastConnection(const std::string& userName);

private:
    void CheckUser(const TUser& user) const;
};
