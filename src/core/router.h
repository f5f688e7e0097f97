#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core/station_list.h"
#include "platform/thread.h"

class TConfig;
class TUserList;
class TAliasList;
class TMsgStatusFrm;
class TMailboxLog;

// The mail router files every message file of the queue directory.
//
// What the station's files leave open, decided here:
// - Envelope: the leading "RCPT: " lines; blanks and angle brackets around an
//   address are dropped, empty lines of the envelope skipped, and a recipient
//   named twice (letter case ignored) is served once. A file with no
//   recipient is unparseable.
// - Aliases: a recipient equal to an alias entry's Internet address (letter
//   case ignored) becomes that entry's HF user "@" station (user alone when
//   the station is empty). One step only, so aliases cannot loop.
// - Address: split at the last "@"; an empty user is "admin", an empty station
//   or this station's name (letter case ignored) is this station. "admin" is
//   always a local mailbox (MAIL/admin).
// - Size limit: [MAIL] MAXMAILSIZE K bytes (1024 bytes each) counts the
//   message without its envelope lines; 0 or less means no limit. A message
//   over the limit is returned whole and filed nowhere.
// - Copies: one file per local mailbox, one per station directory holding the
//   envelope lines of every recipient routed there, one per recipient in the
//   gateway outbox, one in the fax mailbox.
// - Failure notice: one per message, naming every address that failed and
//   why, laid out like the mail gateway's notices (see failure_notice.h),
//   quoting the first 50 lines of the message without its envelope; it goes
//   into the queue for the sender of the From line, or for "admin" when there
//   is none. A message from the mail system itself is never answered with
//   another notice: it goes to MAIL/admin instead.
// - Crash safety: every copy is written whole (temporary file, then rename)
//   before the queue file is deleted. A journal "<name>.route" beside the
//   queue file names the file's content and records each finished copy;
//   after a crash the copies it lists (and any identical file already in the
//   target directory) are not written again, so the message is filed exactly
//   once. A journal left by another message of the same number counts for
//   nothing.
// - Mail from outside: a queue file whose envelope names a client outside
//   the station's networks (message_store.h) is mail from a stranger. Its
//   recipients on the Internet, and FAX2 at this or any other station (a
//   fax gateway dials for it), are returned instead of sent; the SMTP
//   server refuses them at RCPT already, so this catches tables changed
//   since and mail from another station's outside client. Its failure
//   notice goes to its sender only when that address is in the HF network
//   (a local mailbox or another station), otherwise to admin, so a stranger
//   cannot make the station mail anyone else. Its copies for other stations
//   keep the envelope line, so their routers do the same.
// - A file that cannot be parsed or read is moved to QUEUE/BAD and logged,
//   never retried. A copy that cannot be written (disk full) leaves the queue
//   file in place; it is tried again after RetryDelayMs while the other queue
//   files go on.
namespace Routing {

enum class TRouteKind { Mailbox, Fax2, Station, Outbox, Return };

// Where mail for one recipient goes.
enum class TDestination {
    Network,  // a local mailbox, or another station
    Internet, // the gateway outbox, or the mail gateway station
    Fax,      // FAX2: this station's fax mailbox, or another station's
    Nowhere,  // the router could only return it
};

// What the router knows of the station while it files one message.
struct TRouteTables {
    std::string OwnStation;
    std::vector<TStation> Stations; // entry 0 is this station
    std::vector<std::string> Users;
    // Internet address -> HF address ("user@station" or "user").
    std::vector<std::pair<std::string, std::string>> Aliases;
    std::string MailGateway; // [MAIL] GATEWAY
    bool FaxGateway = false; // this station is a mail and fax gateway
    int64_t MaxMailKBytes = 0;
};

// One file that filing a message writes.
struct TRouteCopy {
    TRouteKind Kind;
    std::string Dir; // relative to the data root
    std::vector<std::string> Recipients;
    std::vector<std::string> Reasons; // Return only: one per recipient
};

// The envelope's recipients (cleaned), the outside client it names (empty:
// mail from inside) and the rest of the file; false when the file names no
// recipient.
bool ParseQueueFile(std::string_view content, std::vector<std::string>& recipients,
                    std::string& body, std::string* outsideClient = nullptr);

// Applies the alias table to one address.
std::string ExpandAlias(const TRouteTables& tables, const std::string& address);

// The copies for a message of `bodySize` bytes, in the order of the
// recipients; at most one Return copy, last. `fromOutside`: mail from a
// client outside the station's networks.
std::vector<TRouteCopy> PlanRoutes(const TRouteTables& tables,
                                   const std::vector<std::string>& recipients, uint64_t bodySize,
                                   bool fromOutside = false);

// The text that a copy's file holds; a station's copy keeps the outside
// client's envelope line.
std::string CopyContent(const TRouteCopy& copy, const std::string& body,
                        const std::string& outsideClient = {});

// Where the router would send mail for this recipient (as an envelope line
// gives it), after the alias step.
TDestination Destination(const TRouteTables& tables, const std::string& recipient);
// Destination is Internet.
bool ForTheInternet(const TRouteTables& tables, const std::string& recipient);

} // namespace Routing

class TRouter : public TThread {
public:
    // The router only reads the tables; the status window takes its log
    // lines (it may be null in tests: the lines then go to the mailbox log
    // file alone).
    TRouter(TConfig* config, TStationList* stations, TUserList* users, TAliasList* aliases,
            TMsgStatusFrm* status);
    ~TRouter() override;

    // Routing::ForTheInternet with the station's tables as they are now.
    // Any thread.
    bool ForTheInternet(const std::string& recipient) const;
    // Routing::Destination likewise. Any thread.
    Routing::TDestination Destination(const std::string& recipient) const;

    // Files the first due message of the queue. False when there was none.
    // The thread's turn; tests call it directly.
    bool ProcessNextMessage();

    // An automatic link to the station failed on every attempt: tells admin
    // with an "ALE failure notice" and returns the station's waiting mail to
    // its senders. Any thread.
    void AleFailure(const std::string& station);

    // Defaults as the station runs; tests shorten them.
    uint32_t TurnIntervalMs = 1000;
    uint32_t PauseMs = 2000;
    uint32_t RetryDelayMs = 60000;

    // Test hook: called at the points where a crash matters ("copy written",
    // "journal written", "copies done"); it may throw to stop the turn there.
    std::function<void(const char* point)> FaultHook;

protected:
    void Execute() override;

private:
    Routing::TRouteTables Snapshot() const;
    void Log(const std::string& text);
    void Fault(const char* point);
    // Sleeps in short slices; false when asked to end meanwhile.
    bool Wait(uint32_t ms);
    std::string PickQueueFile();
    void MoveAside(const std::string& name, const std::string& why);
    // What has been filed of the message in hand; kept beside the queue file
    // so that a filing cut short resumes without doubling a copy.
    struct TJournal {
        std::string Path;
        std::string Header; // names the queue file's content
        std::vector<std::string> Done;
        bool Recovering = false;
    };
    // Throws when a copy cannot be written; the queue file then stays.
    void FileMessage(const std::string& name, const std::string& content);
    void WriteCopy(TJournal& journal, const std::string& dir, const std::string& text,
                   const std::string& key);

    TConfig* Config;
    TStationList* Stations;
    TUserList* Users;
    TAliasList* Aliases;
    TMsgStatusFrm* Status;
    std::unique_ptr<TMailboxLog> OwnLog; // used when there is no status window
    // Queue files whose copies could not be written: when to try again.
    std::map<std::string, uint32_t> RetryAt;
    // Queue files that could not even be moved aside: left alone while they
    // stay as they were (a new message may take the name once one is gone).
    std::map<std::string, std::string> Ignored; // name -> FileStamp
    static std::string FileStamp(const std::string& path);
};
