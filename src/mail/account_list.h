#pragma once

#include <string>

#include "core/table_base.h"

// One Internet POP3 mailbox that the mail gateway polls, and the HF user its
// mail goes to.
struct TAccount {
    std::string HFAddress{};    // HF user + "@" + station: the fetched mail's envelope
    std::string Station{};      // destination station
    std::string EmailAddress{}; // the mailbox's Internet address
    std::string User{};         // POP3 login name
    std::string Password{};     // POP3 password, plain text in the file too
    std::string POPServer{};    // POP3 host name
    std::string Status{};       // "ENABLED" or "DISABLED"; only "ENABLED" is polled
    // What the file's line holds after the seventh field (":" and on), kept
    // for the file alone; empty for an account entered here.
    std::string Rest{};

    bool Enabled() const { return Status == "ENABLED"; }
};

// The account table in accounts.dat: the seven fields joined by ":", one
// account per line, in table order (no sorting, duplicates allowed). Fields
// must be free of ":" and line breaks (ETableFieldError), so that every
// account reads back as it was written. Edited by the gateway settings on the
// GUI thread and read by the fetching on its worker; each operation is one
// locked step.
//
// A line of more than seven fields (a hand edit) is the account of its
// first seven, and polled as such. The rest of the line is logged at load
// and written back after the seventh field (instead of being dropped), so a
// save loses no text the operator wrote.
class TAccountList : public TTableBase<TAccount> {
public:
    static constexpr const char* kFileName = "accounts.dat";
    static constexpr const char* kEnabled = "ENABLED";
    static constexpr const char* kDisabled = "DISABLED";

    TAccountList();  // loads accounts.dat
    ~TAccountList(); // saves accounts.dat

    TAccountList(const TAccountList&) = delete;
    TAccountList& operator=(const TAccountList&) = delete;

    void Load();

    // A copy of the account; an index out of range gives an empty one.
    TAccount Get(int index) const;
    // Each change saves the file.
    void Add(const TAccount& account);
    bool Modify(int index, const TAccount& account);
    bool Delete(int index);

    // Why a text cannot be an account field, or empty when it can.
    static std::string FieldProblem(const std::string& text);

private:
    void CheckAccount(const TAccount& a) const;
};
