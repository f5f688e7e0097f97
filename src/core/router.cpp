#include "core/router.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>

#include "core/alias_list.h"
#include "core/config.h"
#include "core/failure_notice.h"
#include "core/mailbox_log.h"
#include "core/message_store.h"
#include "core/msg_status_frm.h"
#include "core/text_util.h"
#include "core/user_list.h"
#include "platform/atomic_file.h"
#include "platform/clock.h"
#include "platform/data_root.h"

namespace fs = std::filesystem;

namespace Routing {
namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view Trim(std::string_view s)
{
    const size_t first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    const size_t last = s.find_last_not_of(kBlanks);
    return s.substr(first, last - first + 1);
}

std::string CleanAddress(std::string_view s)
{
    s = Trim(s);
    if (s.size() >= 2 && s.front() == '<' && s.back() == '>')
        s = Trim(s.substr(1, s.size() - 2));
    return std::string(s);
}

void SplitAddress(const std::string& address, std::string& user, std::string& station)
{
    const size_t at = address.rfind('@');
    if (at == std::string::npos) {
        user = address;
        station.clear();
    } else {
        user = address.substr(0, at);
        station = address.substr(at + 1);
    }
    if (user.empty())
        user = "admin";
}

int StationIndex(const TRouteTables& tables, const std::string& name)
{
    for (size_t i = 0; i < tables.Stations.size(); ++i) {
        if (SameTextIgnoreCase(tables.Stations[i].Name, name))
            return static_cast<int>(i);
    }
    return -1;
}

bool IsOwnStation(const TRouteTables& tables, const std::string& station)
{
    return station.empty() || SameTextIgnoreCase(station, tables.OwnStation);
}

// The directory that mail for a known station (index > 0) goes into: its
// route-via station's when that is another known station.
std::string StationTarget(const TRouteTables& tables, int index)
{
    const TStation& station = tables.Stations[static_cast<size_t>(index)];
    const std::string& via = station.RouteVia;
    if (!IsDirectRoute(via) && !SameTextIgnoreCase(via, station.Name)) {
        const int viaIndex = StationIndex(tables, via);
        if (viaIndex > 0)
            return tables.Stations[static_cast<size_t>(viaIndex)].Name;
    }
    return station.Name;
}

struct TPlanner {
    const TRouteTables& Tables;
    std::vector<TRouteCopy> Copies;
    TRouteCopy Returned{TRouteKind::Return, DirName::Queue, {}, {}};

    void Add(TRouteKind kind, const std::string& dir, const std::string& recipient)
    {
        if (kind != TRouteKind::Outbox) {
            for (auto& copy : Copies) {
                if (copy.Kind == kind && copy.Dir == dir) {
                    copy.Recipients.push_back(recipient);
                    return;
                }
            }
        }
        Copies.push_back({kind, dir, {recipient}, {}});
    }

    void Return(const std::string& recipient, const std::string& reason)
    {
        Returned.Recipients.push_back(recipient);
        Returned.Reasons.push_back(reason);
    }

    // False when the station's directory cannot be named (returned).
    bool ToStation(int index, const std::string& address)
    {
        const std::string target = StationTarget(Tables, index);
        if (!MessageStore::IsSafeName(target)) {
            Return(address, "Station name " + target + " cannot be used");
            return false;
        }
        Add(TRouteKind::Station, std::string(DirName::Stations) + "/" + target, address);
        return true;
    }

    // Plans the copy for one address (aliases already applied) and tells
    // where it goes.
    TDestination Route(const std::string& address)
    {
        std::string user;
        std::string station;
        SplitAddress(address, user, station);
        const bool fax = SameTextIgnoreCase(user, "FAX2");
        if (IsOwnStation(Tables, station)) {
            for (const auto& name : Tables.Users) {
                if (SameTextIgnoreCase(name, user)) {
                    if (!MessageStore::IsSafeName(name)) {
                        Return(address, "User name " + name + " cannot be used");
                        return TDestination::Nowhere;
                    }
                    Add(TRouteKind::Mailbox, std::string(DirName::Mail) + "/" + name, address);
                    return TDestination::Network;
                }
            }
            if (SameTextIgnoreCase(user, "admin")) {
                Add(TRouteKind::Mailbox, DirName::MailAdmin, address);
                return TDestination::Network;
            }
            if (fax) {
                Add(TRouteKind::Fax2, DirName::MailFax2, address);
                return TDestination::Fax;
            }
            Return(address, "No such user here: " + user);
            return TDestination::Nowhere;
        }
        const int index = StationIndex(Tables, station);
        if (index > 0) {
            // That station's fax gateway would dial for its FAX2.
            if (!ToStation(index, address))
                return TDestination::Nowhere;
            return fax ? TDestination::Fax : TDestination::Network;
        }
        const std::string& gateway = Tables.MailGateway;
        if (gateway.empty() || IsOwnStation(Tables, gateway)) {
            if (Tables.FaxGateway && fax) {
                Add(TRouteKind::Fax2, DirName::MailFax2, address);
                return TDestination::Fax;
            }
            Add(TRouteKind::Outbox, DirName::MailGateway, address);
            return TDestination::Internet;
        }
        const int gatewayIndex = StationIndex(Tables, gateway);
        if (gatewayIndex > 0)
            return ToStation(gatewayIndex, address) ? TDestination::Internet
                                                    : TDestination::Nowhere;
        Return(address, "No route to " + address);
        return TDestination::Nowhere;
    }
};

// Where mail for an address (aliases already applied) would go.
TDestination DestinationOf(const TRouteTables& tables, const std::string& address)
{
    TPlanner planner{tables, {}, {}};
    return planner.Route(address);
}

} // namespace

bool ParseQueueFile(std::string_view content, std::vector<std::string>& recipients,
                    std::string& body, std::string* outsideClient)
{
    recipients.clear();
    const MessageStore::TEnvelope envelope = MessageStore::ReadEnvelope(content, &body);
    if (outsideClient)
        *outsideClient = envelope.OutsideClient;
    for (const auto& line : envelope.Recipients) {
        const std::string address = CleanAddress(line);
        if (address.empty())
            continue;
        const bool seen = std::any_of(recipients.begin(), recipients.end(), [&](const auto& r) {
            return SameTextIgnoreCase(r, address);
        });
        if (!seen)
            recipients.push_back(address);
    }
    return !recipients.empty();
}

std::string ExpandAlias(const TRouteTables& tables, const std::string& address)
{
    for (const auto& [internet, hf] : tables.Aliases) {
        if (!hf.empty() && SameTextIgnoreCase(CleanAddress(internet), address))
            return hf;
    }
    return address;
}

std::vector<TRouteCopy> PlanRoutes(const TRouteTables& tables,
                                   const std::vector<std::string>& recipients, uint64_t bodySize,
                                   bool fromOutside)
{
    TPlanner planner{tables, {}, {}};
    planner.Returned = {TRouteKind::Return, DirName::Queue, {}, {}};
    const bool tooBig =
        tables.MaxMailKBytes > 0 && bodySize > static_cast<uint64_t>(tables.MaxMailKBytes) * 1024u;
    std::vector<std::string> seen;
    for (const auto& recipient : recipients) {
        const std::string address = ExpandAlias(tables, recipient);
        const bool again = std::any_of(seen.begin(), seen.end(), [&](const auto& s) {
            return SameTextIgnoreCase(s, address);
        });
        if (again)
            continue;
        seen.push_back(address);
        if (tooBig) {
            planner.Return(address, "Message of " + std::to_string(bodySize) +
                                        " bytes is larger than the limit of " +
                                        std::to_string(tables.MaxMailKBytes) + " K bytes");
            continue;
        }
        if (fromOutside) {
            // The SMTP server refused these; tables changed since, or the
            // mail came from another station's outside client.
            const TDestination destination = DestinationOf(tables, address);
            if (destination == TDestination::Internet) {
                planner.Return(address, "Mail from outside the station's networks is not sent "
                                        "on to the Internet");
                continue;
            }
            if (destination == TDestination::Fax) {
                planner.Return(address, "Mail from outside the station's networks is not faxed");
                continue;
            }
        }
        planner.Route(address);
    }
    if (!planner.Returned.Recipients.empty())
        planner.Copies.push_back(planner.Returned);
    return planner.Copies;
}

TDestination Destination(const TRouteTables& tables, const std::string& recipient)
{
    return DestinationOf(tables, ExpandAlias(tables, CleanAddress(recipient)));
}

bool ForTheInternet(const TRouteTables& tables, const std::string& recipient)
{
    return Destination(tables, recipient) == TDestination::Internet;
}

std::string CopyContent(const TRouteCopy& copy, const std::string& body,
                        const std::string& outsideClient)
{
    switch (copy.Kind) {
    case TRouteKind::Mailbox:
    case TRouteKind::Fax2:
        return body;
    case TRouteKind::Station:
        return MessageStore::AddEnvelope(copy.Recipients, body, outsideClient);
    case TRouteKind::Outbox:
        return MessageStore::AddEnvelope(copy.Recipients, body);
    case TRouteKind::Return:
        break;
    }
    return {};
}

} // namespace Routing

// ---------------------------------------------------------------------------

using Routing::TDestination;
using Routing::TRouteCopy;
using Routing::TRouteKind;

namespace {

constexpr const char* kBadDir = DirName::QueueBad;
constexpr const char* kJournalExt = ".route";

std::string QueuePath(const std::string& name)
{
    return DataRoot::Path(std::string(DirName::Queue) + "/" + name);
}

std::string JournalKey(const TRouteCopy& copy)
{
    std::string key = copy.Dir;
    for (const auto& r : copy.Recipients)
        key += "\t" + r;
    return key;
}

// A journal names the queue file it belongs to by its size and a hash of its
// content: a message that takes over the number of one whose filing was cut
// short (numbers are reused once a file leaves the queue) is not mistaken
// for it.
std::string JournalHeader(const std::string& content)
{
    std::uint64_t hash = 14695981039346656037ull; // FNV-1a
    for (unsigned char c : content) {
        hash ^= c;
        hash *= 1099511628211ull;
    }
    char buf[64];
    std::snprintf(buf, sizeof buf, "#%zu %016llx", content.size(),
                  static_cast<unsigned long long>(hash));
    return buf;
}

// The copies the journal lists as done; `exists` is false when there is no
// journal for this content.
std::vector<std::string> ReadJournal(const std::string& path, const std::string& header,
                                     bool& exists)
{
    std::string text;
    exists = ReadWholeFile(path, text) && text.rfind(header + "\n", 0) == 0;
    std::vector<std::string> keys;
    if (!exists)
        return keys;
    size_t pos = header.size() + 1;
    while (pos < text.size()) {
        const size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            break; // a torn last line never counts
        keys.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return keys;
}

void WriteJournal(const std::string& path, const std::string& header,
                  const std::vector<std::string>& keys)
{
    std::string text = header + "\n";
    for (const auto& k : keys)
        text += k + "\n";
    WriteFileAtomic(path, text);
}

// After a crash: a copy already in the directory, byte for byte, counts as
// written.
bool IdenticalMessageExists(const std::string& dir, const std::string& content)
{
    for (const auto& file : MessageStore::ListMessages(dir)) {
        if (file.Size != content.size())
            continue;
        std::string existing;
        if (ReadWholeFile(dir + "/" + file.Name, existing) && existing == content)
            return true;
    }
    return false;
}

std::string Describe(const TRouteCopy& copy)
{
    switch (copy.Kind) {
    case TRouteKind::Mailbox:
        return "delivered to mailbox " + copy.Dir.substr(copy.Dir.find('/') + 1);
    case TRouteKind::Fax2:
        return "filed in the fax mailbox";
    case TRouteKind::Station:
        return "queued for station " + copy.Dir.substr(copy.Dir.find('/') + 1);
    case TRouteKind::Outbox:
        return "queued for the mail gateway";
    case TRouteKind::Return:
        return "returned to the sender";
    }
    return {};
}

std::string Join(const std::vector<std::string>& items, const char* separator)
{
    std::string out;
    for (const auto& item : items) {
        if (!out.empty())
            out += separator;
        out += item;
    }
    return out;
}

// Where mail that cannot be delivered goes: a failure notice through the
// queue to its sender (admin when it names none) or, for the mail system's
// own notices, the message itself into MAIL/admin, so that a notice is never
// answered with another.
struct TReturned {
    std::string Dir; // full path
    std::string Text;
    std::string What; // how the log tells it
};

// `outside`: the tables, for mail from a client outside the station's
// networks, whose notice goes to admin unless its sender is in the HF
// network: a stranger must not make the station mail anyone else.
TReturned ReturnFor(const std::string& body, const std::vector<std::string>& failed,
                    const std::string& errorText, const Routing::TRouteTables* outside = nullptr)
{
    if (FailureNotice::FromMailSystem(body))
        return {DataRoot::Path(DirName::MailAdmin), body, "undeliverable; filed in mailbox admin"};
    std::string sender = FailureNotice::MessageSender(body);
    std::string what;
    if (UpperCase(sender) == "UNKNOWN") {
        sender = "admin";
    } else if (outside && Routing::Destination(*outside, sender) != TDestination::Network) {
        what = "returned to admin in place of " + sender + " (mail from outside)";
        sender = "admin";
    }
    if (what.empty())
        what = "returned to " + sender;
    return {DataRoot::Path(DirName::Queue),
            FailureNotice::Build(sender, "failure notice", failed, errorText, body), what};
}

} // namespace

TRouter::TRouter(TConfig* config, TStationList* stations, TUserList* users, TAliasList* aliases,
                 TMsgStatusFrm* status)
    : Config(config), Stations(stations), Users(users), Aliases(aliases), Status(status)
{
    SetPriority(TThreadPriority::tpLowest);
    if (!Status)
        OwnLog = std::make_unique<TMailboxLog>();
    // Journals whose queue file is gone belong to messages already filed.
    // Cleared here, before the mail servers and the link can reuse a number.
    std::error_code ec;
    const fs::path queue = DataRoot::Path(DirName::Queue);
    for (fs::directory_iterator it(queue, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path path = it->path();
        if (path.extension() == kJournalExt && !fs::exists(fs::path(path).replace_extension(), ec))
            fs::remove(path, ec);
    }
}

TRouter::~TRouter()
{
    TerminateAndWait();
}

void TRouter::Log(const std::string& text)
{
    if (Status) {
        Status->AddLogLine(text);
        return;
    }
    OwnLog->AddLogLine(text);
}

void TRouter::Fault(const char* point)
{
    if (FaultHook)
        FaultHook(point);
}

bool TRouter::Wait(uint32_t ms)
{
    const uint32_t start = Clock::TickCount();
    while (!Terminated()) {
        const uint32_t elapsed = Clock::TickCount() - start;
        if (elapsed >= ms)
            return true;
        SleepMs(std::min<uint32_t>(ms - elapsed, 50));
    }
    return false;
}

void TRouter::Execute()
{
    while (!Terminated()) {
        ProcessNextMessage();
        Wait(TurnIntervalMs);
    }
}

bool TRouter::ForTheInternet(const std::string& recipient) const
{
    return Routing::ForTheInternet(Snapshot(), recipient);
}

Routing::TDestination TRouter::Destination(const std::string& recipient) const
{
    return Routing::Destination(Snapshot(), recipient);
}

Routing::TRouteTables TRouter::Snapshot() const
{
    Routing::TRouteTables t;
    t.Stations = Stations->GetAll();
    if (!t.Stations.empty())
        t.OwnStation = t.Stations.front().Name;
    for (const auto& user : Users->GetAll())
        t.Users.push_back(user.Name);
    for (const auto& alias : Aliases->GetAll()) {
        std::string hf = alias.User;
        if (!alias.Station.empty())
            hf += "@" + alias.Station;
        t.Aliases.emplace_back(alias.Address, hf);
    }
    {
        auto lock = Config->Lock();
        t.MailGateway = Config->Mail.Gateway;
        t.FaxGateway = Config->IsMailFaxGateway();
        t.MaxMailKBytes = Config->Mail.MaxMailSize;
    }
    return t;
}

std::string TRouter::PickQueueFile()
{
    const uint32_t now = Clock::TickCount();
    auto files = MessageStore::ListMessages(DataRoot::Path(DirName::Queue));
    // A message whose filing was cut short goes first, before the notices it
    // may already have queued are taken.
    std::stable_partition(files.begin(), files.end(), [](const MessageStore::TMessageFile& f) {
        std::error_code ec;
        return fs::exists(QueuePath(f.Name + kJournalExt), ec);
    });
    for (const auto& file : files) {
        const auto ignored = Ignored.find(file.Name);
        if (ignored != Ignored.end()) {
            if (ignored->second == FileStamp(QueuePath(file.Name)))
                continue;
            Ignored.erase(ignored);
        }
        const auto retry = RetryAt.find(file.Name);
        if (retry != RetryAt.end()) {
            if (static_cast<int32_t>(now - retry->second) < 0)
                continue;
            RetryAt.erase(retry);
        }
        return file.Name;
    }
    return {};
}

std::string TRouter::FileStamp(const std::string& path)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0)
        return {};
    return std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec) + " " + std::to_string(st.st_ino);
}

void TRouter::MoveAside(const std::string& name, const std::string& why)
{
    const std::string badDir = DataRoot::Path(kBadDir);
    std::error_code ec;
    MessageStore::EnsureDirectory(badDir);
    std::string target = badDir + "/" + name;
    for (int n = 1; fs::exists(target, ec); ++n)
        target = badDir + "/" + name + "." + std::to_string(n);
    fs::rename(QueuePath(name), target, ec);
    if (ec) {
        Ignored[name] = FileStamp(QueuePath(name));
        Log("Queue file " + name + " " + why + "; it cannot be moved aside (" + ec.message() +
            ") and is left alone");
        return;
    }
    fs::remove(QueuePath(name + kJournalExt), ec);
    Log("Queue file " + name + " " + why + "; moved to " + kBadDir + "/" +
        fs::path(target).filename().string());
}

bool TRouter::ProcessNextMessage()
{
    const std::string name = PickQueueFile();
    if (name.empty())
        return false;
    // Give a writer that is still busy with the file time to finish.
    if (!Wait(PauseMs))
        return false;
    std::string content;
    if (!ReadWholeFile(QueuePath(name), content)) {
        std::error_code ec;
        if (fs::exists(QueuePath(name), ec))
            MoveAside(name, "cannot be read");
        return true;
    }
    try {
        FileMessage(name, content);
    } catch (const std::exception& e) {
        RetryAt[name] = Clock::TickCount() + RetryDelayMs;
        Log("Error filing queue file " + name + ": " + e.what() + "; it will be tried again");
    }
    return true;
}

void TRouter::WriteCopy(TJournal& journal, const std::string& dir, const std::string& text,
                        const std::string& key)
{
    if (!MessageStore::EnsureDirectory(dir))
        throw std::runtime_error("cannot create " + dir);
    // After a crash, a copy already there byte for byte counts as written.
    if (!(journal.Recovering && IdenticalMessageExists(dir, text)))
        MessageStore::WriteNewMessage(dir, text);
    Fault("copy written");
    journal.Done.push_back(key);
    WriteJournal(journal.Path, journal.Header, journal.Done);
    Fault("journal written");
}

void TRouter::FileMessage(const std::string& name, const std::string& content)
{
    std::vector<std::string> recipients;
    std::string body;
    std::string outsideClient;
    if (!Routing::ParseQueueFile(content, recipients, body, &outsideClient)) {
        MoveAside(name, "names no recipient");
        return;
    }
    const Routing::TRouteTables tables = Snapshot();
    const bool fromOutside = !outsideClient.empty();
    const auto copies = Routing::PlanRoutes(tables, recipients, body.size(), fromOutside);
    const std::string sender = FailureNotice::MessageSender(body);

    TJournal journal;
    journal.Path = QueuePath(name + kJournalExt);
    journal.Header = JournalHeader(content);
    journal.Done = ReadJournal(journal.Path, journal.Header, journal.Recovering);
    if (!journal.Recovering)
        WriteJournal(journal.Path, journal.Header, journal.Done);

    bool userLines = false;
    bool stationLines = false;
    for (const auto& copy : copies) {
        const std::string key = JournalKey(copy);
        if (std::find(journal.Done.begin(), journal.Done.end(), key) != journal.Done.end())
            continue;
        std::string what = Describe(copy);
        if (copy.Kind == TRouteKind::Return) {
            std::vector<std::string> reasons;
            for (const auto& reason : copy.Reasons) {
                if (std::find(reasons.begin(), reasons.end(), reason) == reasons.end())
                    reasons.push_back(reason);
            }
            const TReturned returned = ReturnFor(body, copy.Recipients, Join(reasons, "\r\n"),
                                                 fromOutside ? &tables : nullptr);
            WriteCopy(journal, returned.Dir, returned.Text, key);
            what = returned.What + " (" + Join(reasons, "; ") + ")";
            userLines = true;
        } else {
            WriteCopy(journal, DataRoot::Path(copy.Dir),
                      Routing::CopyContent(copy, body, outsideClient), key);
            (copy.Kind == TRouteKind::Station ? stationLines : userLines) = true;
        }
        Log("Mail from " + sender + " for " + Join(copy.Recipients, ", ") + " " + what);
    }
    Fault("copies done");
    std::error_code ec;
    fs::remove(QueuePath(name), ec);
    if (ec)
        throw std::system_error(ec, "cannot delete " + name);
    fs::remove(journal.Path, ec);
    if (Status) {
        if (userLines)
            Status->RefreshUserLines();
        if (stationLines)
            Status->RefreshStationLines();
    }
}

void TRouter::AleFailure(const std::string& station)
{
    int returned = 0;
    std::string stationDir;
    try {
        stationDir = MessageStore::StationDir(station);
    } catch (const std::exception&) {
        stationDir.clear();
    }
    if (!stationDir.empty()) {
        const Routing::TRouteTables tables = Snapshot();
        for (const auto& file : MessageStore::ListMessages(stationDir)) {
            const std::string path = stationDir + "/" + file.Name;
            std::string content;
            if (!ReadWholeFile(path, content))
                continue;
            std::string body;
            const MessageStore::TEnvelope envelope = MessageStore::ReadEnvelope(content, &body);
            const auto& recipients = envelope.Recipients;
            const TReturned notice =
                ReturnFor(body, recipients,
                          "The automatic link to station " + station + " failed on every attempt.",
                          envelope.OutsideClient.empty() ? nullptr : &tables);
            try {
                MessageStore::EnsureDirectory(notice.Dir);
                MessageStore::WriteNewMessage(notice.Dir, notice.Text);
            } catch (const std::exception& e) {
                Log("Error returning " + station + " mail " + file.Name + ": " + e.what());
                continue;
            }
            std::error_code ec;
            fs::remove(path, ec);
            if (ec)
                Log("Error removing returned " + station + " mail " + file.Name + ": " +
                    ec.message());
            ++returned;
            Log("Mail from " + FailureNotice::MessageSender(body) + " for " +
                Join(recipients, ", ") + " " + notice.What + ": link to " + station + " failed");
        }
    }
    std::string notice;
    auto line = [&notice](const std::string& text) { notice += text + "\r\n"; };
    line("To: admin");
    line("From: \"Mail System\" <>");
    line("Subject: ALE failure notice");
    line("");
    line("Hi. This is the Mail System");
    line("The automatic link to station " + station + " failed on every attempt.");
    line(std::to_string(returned) + " waiting message(s) were returned to their senders.");
    try {
        const std::string admin = DataRoot::Path(DirName::MailAdmin);
        MessageStore::EnsureDirectory(admin);
        MessageStore::WriteNewMessage(admin, notice);
        Log("ALE failure notice for station " + station + " delivered to mailbox admin");
    } catch (const std::exception& e) {
        Log("Error writing the ALE failure notice for " + station + ": " + e.what());
    }
    if (Status) {
        Status->RefreshUserLines();
        Status->RefreshStationLines();
    }
}
