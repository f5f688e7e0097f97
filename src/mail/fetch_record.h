#pragma once

#include <map>
#include <string>
#include <string_view>

// What the mail gateway has taken from a POP3 mailbox that the server may
// still hold. A POP3 server removes deleted messages only when the client
// signs off with QUIT; a fetch cut off before that (the station killed, the
// line lost, the operator's Disconnect) leaves every message it queued on
// the server, and the next fetch would queue them all again.
//
// Choices:
// - One record per mailbox (POP3 server, letter case aside, and user name),
//   all in fetched.dat in the data root: one line "server:user:digest" per
//   message taken, written whole through the atomic file road. Account
//   fields never hold ":" or line breaks.
// - A message is known by the SHA-256 digest of its bytes as retrieved. The
//   exchange sends no command beyond STAT, RETR, DELE and QUIT, and these
//   give nothing that names a message across connections (numbers are
//   renumbered by each login), so the bytes are all there is.
// - Order: a message's line is saved only after the message is safely in
//   QUEUE (or returned, or dropped as oversize), and before its DELE. A
//   crash between the two leaves that one message unrecorded: the next fetch
//   queues it a second time. The other order could lose it: recorded, never
//   queued, then deleted as taken. One duplicate at worst, never a loss.
// - Two messages with the same bytes in one mailbox (a person sending the
//   same text twice through a server that adds no Received line) are told
//   apart by count: each saved line excuses one message of a later fetch,
//   and lines saved during a fetch excuse nothing in that same fetch.
// - When the server confirms QUIT it has removed every deleted message, so
//   the mailbox's lines go: the record holds only what a cut-off fetch left
//   behind, and the same text arriving again later is new mail. Were QUIT
//   carried out but its reply lost, the lines stay until the next confirmed
//   QUIT, and a message with exactly those bytes arriving meanwhile would be
//   taken for one already queued; mail servers stamp every message they
//   take in, so this needs a lost reply and a byte-identical message both.
// - Bounded: a mailbox keeps its newest kKeptPerMailbox lines, the oldest
//   dropped. Only a fetch cut off after more messages than that (or a
//   server that never confirms QUIT) can queue one twice again.
// - An unreadable record reads as empty: it can cause duplicates, not loss.
//   One fetch at a time; the file is locked within the process all the same.
class TFetchRecord {
public:
    static constexpr const char* kFileName = "fetched.dat";
    static constexpr size_t kKeptPerMailbox = 2000;

    // Loads what earlier fetches of the mailbox left recorded.
    TFetchRecord(std::string server, std::string user);

    static std::string Digest(std::string_view message);

    // True when a message with the digest was taken by an earlier fetch and
    // not yet matched by this one; it is matched now.
    bool TakenBefore(const std::string& digest);
    // Saves that a message with the digest has been taken. Throws
    // std::system_error when the file cannot be written.
    void Add(const std::string& digest);
    // The server confirmed its deletions: the mailbox's lines go. Throws
    // std::system_error when the file cannot be written.
    void Clear();

private:
    bool IsMine(const std::string& server, const std::string& user) const;

    std::string FServer;
    std::string FUser;
    // Earlier fetches' digests, each with the number of messages it still
    // excuses in this fetch.
    std::map<std::string, int> FEarlier;
    bool FSaved = false;
};
