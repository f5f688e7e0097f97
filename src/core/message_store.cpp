#include "core/message_store.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "platform/atomic_file.h"
#include "platform/data_root.h"

namespace fs = std::filesystem;

namespace {

// Serialises the choice of numbers among this process's writers; the
// exclusive link below also keeps writers of other processes apart.
std::mutex g_numberingLock;

constexpr const char* kTempPrefix = "~msg-";
constexpr const char* kTempSuffix = ".tmp";

[[noreturn]] void Fail(int err, const std::string& what)
{
    throw std::system_error(err, std::generic_category(), what);
}

std::string TempName(const std::string& dir)
{
    return dir + "/" + kTempPrefix + "XXXXXX" + kTempSuffix;
}

void WriteAll(int fd, std::string_view data, const std::string& path)
{
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Fail(errno, "cannot write " + path);
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

// Gives the finished file `file` the first number that `next` offers
// (called with the attempt count: from 1 on, the number it offered last was
// found taken) and no file of `dir` holds, under the numbering lock; the file
// then has that name only.
template <class Next>
std::string ClaimNumber(const std::string& dir, const std::string& file, Next next)
{
    std::string path;
    {
        std::lock_guard lock(g_numberingLock);
        // A name found taken makes us look again, a bounded number of times.
        for (int attempt = 0;; ++attempt) {
            const std::uint64_t n = next(attempt);
            path = dir + "/" + std::to_string(n) + std::string(MessageStore::kExtension);
            const int err = MessageStore::ClaimName(file, path);
            if (err == 0)
                break;
            if (err != EEXIST || attempt >= 1000)
                Fail(err, "cannot store message as " + path);
        }
    }
    SyncDirectory(dir);
    return path;
}

// Writes what `produce` gives to a flushed temporary file in `dir` and gives
// its path.
std::string WriteTemporary(const std::string& dir,
                           const std::function<void(const MessageStore::TContentWriter&)>& produce)
{
    std::string tmp = TempName(dir);
    int fd = ::mkstemps(tmp.data(), static_cast<int>(std::string_view(kTempSuffix).size()));
    if (fd < 0)
        Fail(errno, "cannot create a message file in " + dir);
    // Mail is the user's private data.
    ::fchmod(fd, 0600);
    try {
        produce([fd, &tmp](std::string_view piece) { WriteAll(fd, piece, tmp); });
        if (::fsync(fd) != 0)
            Fail(errno, "cannot flush " + tmp);
    } catch (...) {
        ::close(fd);
        ::unlink(tmp.c_str());
        throw;
    }
    if (::close(fd) != 0) {
        int err = errno;
        ::unlink(tmp.c_str());
        Fail(err, "cannot flush " + tmp);
    }
    return tmp;
}

// Claims a name for the temporary file; it goes when no name can be had.
template <class Claim> std::string ClaimOrRemove(const std::string& tmp, Claim claim)
{
    try {
        return claim();
    } catch (...) {
        ::unlink(tmp.c_str());
        throw;
    }
}

// The message names of the directories being numbered, read once and then
// kept from the kernel's note of every name made, moved or removed there
// (inotify), whoever changes it: numbering a message must not read a queue
// that holds thousands (mail held through days of poor propagation). A
// directory that cannot be watched, or whose notes were lost, is read whole,
// and so is one where a number it offered was found taken (Taken): the
// notes do not always tell the truth. An indexed directory that can no
// longer be read keeps what the index holds.
class TNumberIndex {
public:
    ~TNumberIndex()
    {
        if (FFd >= 0)
            ::close(FFd);
    }

    // The largest number and the count of other message names of `dir`;
    // false when it is not indexed and must be read.
    bool Lookup(const std::string& dir, std::uint64_t& highest, int& nonNumeric)
    {
        std::lock_guard lock(FLock);
        if (!Open())
            return false;
        struct stat st;
        if (::stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            return false;
        // After the stat: the note that an earlier directory of this inode
        // number is gone must be read first.
        Drain();
        const TKey key{st.st_dev, st.st_ino};
        auto it = FDirs.find(key);
        if (it == FDirs.end() || it->second.Stale) {
            if (!Watch(dir, key))
                return false;
            it = FDirs.find(key);
        }
        const TDir& d = it->second;
        highest = d.Numbers.empty() ? 0 : d.Numbers.rbegin()->first;
        nonNumeric = static_cast<int>(d.Others.size());
        return true;
    }

    // Notes that the name `name` of `dir`, which the index offered, was
    // found taken: the notes misled it, so the next Lookup reads `dir` whole
    // again. The name counts from now on, should that reading fail.
    void Taken(const std::string& dir, const std::string& name)
    {
        std::lock_guard lock(FLock);
        if (!Open())
            return;
        struct stat st;
        if (::stat(dir.c_str(), &st) != 0)
            return;
        const auto it = FDirs.find(TKey{st.st_dev, st.st_ino});
        if (it == FDirs.end())
            return;
        it->second.Stale = true;
        Add(it->second, name);
    }

    // Reads and drops every note waiting (DropChangeNotesForTest).
    void DropNotes()
    {
        std::lock_guard lock(FLock);
        if (!Open())
            return;
        alignas(inotify_event) char buf[64 * 1024];
        while (::read(FFd, buf, sizeof buf) > 0) {
        }
    }

private:
    using TKey = std::pair<dev_t, ino_t>;
    struct TDir {
        int Wd = -1;
        bool Stale = false;
        std::set<std::pair<std::uint64_t, std::string>> Numbers;
        std::set<std::string> Others;
    };
    // Enough for the queue, the mailboxes and the station directories.
    static constexpr size_t kMaxDirs = 256;
    static constexpr uint32_t kMask =
        IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ONLYDIR;

    bool Open()
    {
        // A forked child shares the parent's notes: reading them would take
        // them from the parent. It starts an index of its own.
        if (FFd >= 0 && FPid != ::getpid()) {
            ::close(FFd);
            FFd = -1;
            FFailed = false;
            FDirs.clear();
            FByWd.clear();
        }
        if (FFd < 0 && !FFailed) {
            FFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            FFailed = FFd < 0;
            FPid = ::getpid();
        }
        return FFd >= 0;
    }

    static void Add(TDir& d, const std::string& name)
    {
        std::uint64_t n = 0;
        if (MessageStore::ParseMessageNumber(name, n))
            d.Numbers.emplace(n, name);
        else
            d.Others.insert(name);
    }

    static void Remove(TDir& d, const std::string& name)
    {
        std::uint64_t n = 0;
        if (MessageStore::ParseMessageNumber(name, n))
            d.Numbers.erase({n, name});
        else
            d.Others.erase(name);
    }

    // Starts watching and reads the directory whole. Notes of changes made
    // during the reading come later; adding and removing a name are
    // idempotent, so they leave the index right. A stale directory that
    // cannot be read now (no read permission, no descriptor left) keeps what
    // the index holds and stays stale: a whole reading would fail as well.
    bool Watch(const std::string& dir, const TKey& key)
    {
        const auto known = FDirs.find(key);
        if (FDirs.size() >= kMaxDirs && known == FDirs.end())
            return false;
        int wd = ::inotify_add_watch(FFd, dir.c_str(), kMask);
        if (wd < 0) {
            // Watching needs read permission too; the watch made while it
            // was there goes on.
            if (known == FDirs.end())
                return false;
            wd = known->second.Wd;
        }
        struct stat st;
        if (::stat(dir.c_str(), &st) != 0 || TKey{st.st_dev, st.st_ino} != key) {
            // Replaced meanwhile: read it whole this time.
            if (!FByWd.count(wd))
                ::inotify_rm_watch(FFd, wd);
            return false;
        }
        TDir fresh;
        fresh.Wd = wd;
        const bool read = MessageStore::ForEachName(dir, [&fresh](const std::string& name) {
            if (MessageStore::IsMessageFileName(name))
                Add(fresh, name);
        });
        if (!read) {
            if (known != FDirs.end() && known->second.Wd == wd)
                return true;
            ::inotify_rm_watch(FFd, wd);
            FDirs.erase(key);
            FByWd.erase(wd);
            return false;
        }
        FDirs[key] = std::move(fresh);
        FByWd[wd] = key;
        return true;
    }

    void Drain()
    {
        alignas(inotify_event) char buf[64 * 1024];
        for (;;) {
            const ssize_t n = ::read(FFd, buf, sizeof buf);
            if (n <= 0)
                return;
            for (ssize_t at = 0; at < n;) {
                const auto* e = reinterpret_cast<const inotify_event*>(buf + at);
                Apply(*e);
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
    }

    void Apply(const inotify_event& e)
    {
        if (e.mask & IN_Q_OVERFLOW) {
            for (auto& entry : FDirs)
                entry.second.Stale = true;
            return;
        }
        const auto w = FByWd.find(e.wd);
        if (w == FByWd.end())
            return;
        const auto d = FDirs.find(w->second);
        if (e.mask & IN_IGNORED) {
            // The directory is gone (or its file system).
            if (d != FDirs.end() && d->second.Wd == e.wd)
                FDirs.erase(d);
            FByWd.erase(w);
            return;
        }
        if (d == FDirs.end() || e.len == 0)
            return;
        const std::string name(e.name, ::strnlen(e.name, e.len));
        if (!MessageStore::IsMessageFileName(name))
            return;
        if (e.mask & (IN_CREATE | IN_MOVED_TO))
            Add(d->second, name);
        else if (e.mask & (IN_DELETE | IN_MOVED_FROM))
            Remove(d->second, name);
    }

    std::mutex FLock;
    int FFd = -1;
    pid_t FPid = 0;
    bool FFailed = false;
    std::map<TKey, TDir> FDirs;
    std::map<int, TKey> FByWd;
};

TNumberIndex& NumberIndex()
{
    static TNumberIndex index;
    return index;
}

// The next free number of `dir`. The index can be wrong without knowing it:
// the kernel notes an exchange of two names (renameat2 RENAME_EXCHANGE) as
// two moves, which read alike to two renames that leave one name, and a file
// system that another host writes (NFS, SMB, a FUSE mount written from
// underneath) gives no notes of that host's changes. So a number found taken
// makes the index read the directory again before the next try (and count
// the taken name, should the directory no longer be readable), and the next
// try is above the taken one even where the listing lags behind the claim (a
// network file system's cached listing): a directory with a free number
// always gets one.
std::string ClaimNextNumber(const std::string& dir, const std::string& file, int* nonNumeric)
{
    std::uint64_t taken = 0;
    return ClaimNumber(dir, file, [&](int attempt) {
        if (attempt > 0)
            NumberIndex().Taken(dir, std::to_string(taken) + std::string(MessageStore::kExtension));
        std::uint64_t n = MessageStore::NextMessageNumber(dir, nonNumeric);
        if (attempt > 0 && n <= taken) {
            if (taken == std::numeric_limits<std::uint64_t>::max())
                Fail(EOVERFLOW, "no message number left in " + dir);
            n = taken + 1;
        }
        taken = n;
        return n;
    });
}

} // namespace

namespace MessageStore {

bool ForEachName(const std::string& dir, const std::function<void(const std::string&)>& fn)
{
    struct Closer {
        void operator()(DIR* d) const { ::closedir(d); }
    };
    std::unique_ptr<DIR, Closer> d(::opendir(dir.c_str()));
    if (!d)
        return false;
    while (dirent* e = ::readdir(d.get()))
        fn(std::string(e->d_name));
    return true;
}

int ClaimName(const std::string& from, const std::string& to)
{
    if (::link(from.c_str(), to.c_str()) == 0) {
        ::unlink(from.c_str());
        return 0;
    }
    int err = errno;
    if (err == EEXIST)
        return err;
    // File systems without hard links: check-then-rename, exclusive among
    // writers that hold a lock of their own (the message numbering's).
    if (err == EPERM || err == ENOTSUP || err == EOPNOTSUPP || err == EMLINK) {
        struct stat st;
        if (::lstat(to.c_str(), &st) == 0)
            return EEXIST;
        if (::rename(from.c_str(), to.c_str()) == 0)
            return 0;
        err = errno;
    }
    return err;
}

bool IsSafeName(const std::string& name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    for (char c : name)
        if (c == '/' || c == '\\' || c == '\0' || c == '\r' || c == '\n')
            return false;
    return true;
}

std::string DirPath(const char* dirName)
{
    return DataRoot::Path(dirName);
}

std::string UserMailDir(const std::string& user)
{
    if (!IsSafeName(user))
        throw std::invalid_argument("unusable mailbox name \"" + user + "\"");
    return DataRoot::Path(std::string(DirName::Mail) + "/" + user);
}

std::string StationDir(const std::string& station)
{
    if (!IsSafeName(station))
        throw std::invalid_argument("unusable station directory name \"" + station + "\"");
    return DataRoot::Path(std::string(DirName::Stations) + "/" + station);
}

bool EnsureDirectory(const std::string& path)
{
    // Missing components are made one by one, each open to the user alone:
    // the directories hold mail.
    std::error_code ec;
    std::vector<fs::path> missing;
    for (fs::path p = fs::path(path).lexically_normal(); !p.empty() && !fs::exists(p, ec);
         p = p.parent_path()) {
        missing.push_back(p);
        if (p == p.parent_path())
            break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it)
        ::mkdir(it->c_str(), 0700);
    return fs::is_directory(path, ec);
}

std::vector<std::string> CreateWorkingDirectories()
{
    static const char* const dirs[] = {DirName::Queue,     DirName::Mail,    DirName::MailGateway,
                                       DirName::MailAdmin, DirName::MailFax, DirName::MailFax2,
                                       DirName::Stations,  DirName::Temp,    DirName::TempStations,
                                       DirName::TempSmtp,  DirName::Files,   DirName::Logs,
                                       DirName::OutFax};
    std::vector<std::string> failed;
    for (const char* d : dirs) {
        std::string path = DirPath(d);
        if (!EnsureDirectory(path))
            failed.push_back(path);
    }
    return failed;
}

bool IsMessageFileName(const std::string& name)
{
    if (name.size() <= kExtension.size())
        return false;
    std::string_view ext(name.data() + name.size() - kExtension.size(), kExtension.size());
    for (size_t i = 0; i < ext.size(); ++i) {
        char c = ext[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != kExtension[i])
            return false;
    }
    return true;
}

bool ParseMessageNumber(const std::string& fileName, std::uint64_t& number)
{
    if (!IsMessageFileName(fileName))
        return false;
    size_t len = fileName.size() - kExtension.size();
    std::uint64_t value = 0;
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    for (size_t i = 0; i < len; ++i) {
        char c = fileName[i];
        if (c < '0' || c > '9')
            return false;
        unsigned digit = static_cast<unsigned>(c - '0');
        if (value > (max - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    number = value;
    return true;
}

std::vector<TMessageFile> ListMessages(const std::string& dir)
{
    struct Entry {
        TMessageFile file;
        bool numbered;
        std::uint64_t number;
    };
    std::vector<Entry> entries;
    ForEachName(dir, [&](const std::string& name) {
        if (!IsMessageFileName(name))
            return;
        struct stat st;
        if (::stat((dir + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            return;
        Entry entry{{name, static_cast<std::uint64_t>(st.st_size)}, false, 0};
        entry.numbered = ParseMessageNumber(name, entry.number);
        entries.push_back(std::move(entry));
    });
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.numbered != b.numbered)
            return a.numbered;
        if (a.numbered && a.number != b.number)
            return a.number < b.number;
        return a.file.Name < b.file.Name;
    });
    std::vector<TMessageFile> files;
    files.reserve(entries.size());
    for (Entry& e : entries)
        files.push_back(std::move(e.file));
    return files;
}

std::uint64_t NextMessageNumber(const std::string& dir, int* nonNumeric)
{
    std::uint64_t highest = 0;
    int bad = 0;
    if (!NumberIndex().Lookup(dir, highest, bad)) {
        ForEachName(dir, [&](const std::string& name) {
            if (!IsMessageFileName(name))
                return;
            std::uint64_t n = 0;
            if (ParseMessageNumber(name, n))
                highest = std::max(highest, n);
            else
                ++bad;
        });
    }
    if (nonNumeric)
        *nonNumeric = bad;
    if (highest == std::numeric_limits<std::uint64_t>::max())
        throw std::system_error(EOVERFLOW, std::generic_category(),
                                "no message number left in " + dir);
    return highest + 1;
}

void DropChangeNotesForTest()
{
    NumberIndex().DropNotes();
}

std::string WriteNewMessage(const std::string& dir, std::string_view content, int* nonNumeric)
{
    return WriteNewMessageFrom(
        dir, [content](const TContentWriter& write) { write(content); }, nonNumeric);
}

std::string WriteNewMessageFrom(const std::string& dir,
                                const std::function<void(const TContentWriter&)>& produce,
                                int* nonNumeric)
{
    const std::string tmp = WriteTemporary(dir, produce);
    return ClaimOrRemove(tmp, [&] { return ClaimNextNumber(dir, tmp, nonNumeric); });
}

std::string WriteMessageAs(const std::string& dir, std::uint64_t number, std::string_view content)
{
    const std::string tmp =
        WriteTemporary(dir, [content](const TContentWriter& write) { write(content); });
    return ClaimOrRemove(tmp, [&] {
        return ClaimNumber(dir, tmp, [&](int attempt) {
            if (number > std::numeric_limits<std::uint64_t>::max() - 1000)
                Fail(EOVERFLOW, "no message number left in " + dir);
            return number + static_cast<std::uint64_t>(attempt);
        });
    });
}

std::string AdoptNewMessage(const std::string& dir, const std::string& file, int* nonNumeric)
{
    try {
        return ClaimNextNumber(dir, file, nonNumeric);
    } catch (const std::system_error& e) {
        if (e.code().value() != EXDEV)
            throw;
    }
    // Another file system: the content is written anew.
    std::ifstream in(file, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof())
        Fail(EIO, "cannot read " + file);
    std::string path = WriteNewMessage(dir, content, nonNumeric);
    ::unlink(file.c_str());
    return path;
}

namespace {

// A whole-file write's temporary: the file's name, ".tmp" and six characters
// (atomic_file.h). Only names of the station's own files are taken: ".route"
// is the router's journal beside a queue file.
bool IsReplaceTemporary(const std::string& name)
{
    static const char* const owners[] = {".msg", ".dat", ".INI", ".txt", ".TXT", ".route"};
    if (name.size() < 10 || name.compare(name.size() - 10, 4, ".tmp") != 0)
        return false;
    const std::string base = name.substr(0, name.size() - 10);
    for (const char* owner : owners) {
        if (base.ends_with(owner) && base.size() > std::string_view(owner).size())
            return true;
    }
    return false;
}

bool IsMessageTemporary(const std::string& name)
{
    const std::string_view prefix = kTempPrefix;
    const std::string_view suffix = kTempSuffix;
    return name.size() > prefix.size() + suffix.size() && name.starts_with(prefix) &&
           name.ends_with(suffix);
}

} // namespace

void RemoveStaleTemporaries(const std::string& dir)
{
    std::vector<std::string> stale;
    ForEachName(dir, [&](const std::string& name) {
        if (IsMessageTemporary(name) || IsReplaceTemporary(name))
            stale.push_back(dir + "/" + name);
    });
    for (const std::string& path : stale)
        ::unlink(path.c_str());
}

void RemoveStaleTemporariesEverywhere()
{
    RemoveStaleTemporaries(DataRoot::Get());
    RemoveStaleTemporaries(DirPath(DirName::Queue));
    for (const char* parent : {DirName::Mail, DirName::Stations}) {
        const std::string path = DirPath(parent);
        std::vector<std::string> children;
        ForEachName(path, [&](const std::string& name) {
            if (name != "." && name != "..")
                children.push_back(path + "/" + name);
        });
        for (const std::string& child : children) {
            struct stat st;
            if (::lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                RemoveStaleTemporaries(child);
        }
    }
}

std::string AddEnvelope(const std::vector<std::string>& recipients, std::string_view message,
                        std::string_view outsideClient)
{
    std::string out;
    for (const std::string& r : recipients) {
        out += kEnvelopePrefix;
        out += r;
        out += "\r\n";
    }
    if (!outsideClient.empty()) {
        out += kOutsidePrefix;
        out += outsideClient;
        out += "\r\n";
    }
    out += message;
    return out;
}

namespace {

constexpr std::string_view kRcptTag = "RCPT:";
constexpr std::string_view kOutsideTag = "X-Outside-Client:";
static_assert(kEnvelopeTagLength >= kRcptTag.size() && kEnvelopeTagLength >= kOutsideTag.size());

bool StartsWithNoCase(std::string_view line, std::string_view tag)
{
    if (line.size() < tag.size())
        return false;
    for (size_t i = 0; i < tag.size(); ++i) {
        auto upper = [](char c) {
            return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
        };
        if (upper(line[i]) != upper(tag[i]))
            return false;
    }
    return true;
}

std::string_view TrimBlanks(std::string_view s)
{
    constexpr std::string_view kBlanks = " \t";
    const size_t first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos)
        return {};
    return s.substr(first, s.find_last_not_of(kBlanks) - first + 1);
}

} // namespace

bool IsEnvelopeLine(std::string_view line)
{
    return StartsWithNoCase(line, kRcptTag) || StartsWithNoCase(line, kOutsideTag);
}

TEnvelope ReadEnvelope(std::string_view content, std::string* body)
{
    TEnvelope envelope;
    size_t pos = 0;
    while (pos < content.size()) {
        const size_t end = content.find('\n', pos);
        const size_t next = end == std::string_view::npos ? content.size() : end + 1;
        std::string_view line = content.substr(pos, next - pos);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.remove_suffix(1);
        if (StartsWithNoCase(line, kRcptTag)) {
            envelope.Recipients.emplace_back(TrimBlanks(line.substr(kRcptTag.size())));
        } else if (StartsWithNoCase(line, kOutsideTag)) {
            const std::string_view client = TrimBlanks(line.substr(kOutsideTag.size()));
            envelope.OutsideClient = client.empty() ? "unknown" : std::string(client);
        } else {
            break;
        }
        pos = next;
    }
    if (body)
        body->assign(content.substr(pos));
    return envelope;
}

std::vector<std::string> SplitEnvelope(std::string_view content, std::string* body)
{
    return ReadEnvelope(content, body).Recipients;
}

} // namespace MessageStore
