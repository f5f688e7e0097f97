#include "platform/ras_pppd.h"

#include "platform/atomic_file.h"
#include "platform/ppp_files.h"
#include "platform/text.h"
#include "platform/thread.h"

#include <QStringDecoder>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

struct TPppdRas::TConn {
    std::string Entry;
    pid_t Pid = -1;
    int OutFd = -1;
    std::thread Reader;
    // Guarded by FLock of the backend.
    int State = RasState::RASCS_OpenPort;
    std::string IpAddress;
    std::string Device;
    std::string Interface;
    std::chrono::steady_clock::time_point ConnectedAt;
    bool Finished = false;
    int ExitStatus = 0;
    bool HangupRequested = false;
    std::chrono::steady_clock::time_point HangupAt;
    // pppd's last lines, for a failed dial.
    std::deque<std::string> Words;
    std::condition_variable Changed;

    ~TConn()
    {
        if (Reader.joinable())
            Reader.join();
    }
};

namespace {

// An entry's peers file.
struct TPeers {
    // The lines kept as written.
    std::vector<TPppLine> Other;
    std::string PhoneNumber;
    std::string User;
    bool HasUser = false;
    std::string RemoteName;
    bool HasRemote = false;
    std::string Domain;
    std::string CallbackNumber;
};

constexpr const char* kPppDir = "/etc/ppp";
// The whole-file write puts ".tmpXXXXXX" beside the name, within the file
// system's 255 bytes.
constexpr size_t kMaxEntryName = 255 - 10;
constexpr size_t kMaxPhoneNumber = 128;
constexpr size_t kMaxWord = 256;
// How much of pppd's last words a failed dial keeps.
constexpr size_t kWordLines = 3;
constexpr size_t kMaxWordLine = 300;

// The connect line this backend writes for a phone number: chat dials it
// with its -T substitution. The number sits inside single quotes of a shell
// command, so it holds only what a modem dials.
const std::string kChatHead = "/usr/sbin/chat -v -T '";
const std::string kChatTail = "' ABORT BUSY ABORT 'NO CARRIER' ABORT 'NO DIALTONE' ABORT "
                              "'NO ANSWER' ABORT ERROR '' ATZ OK 'ATDT\\T' CONNECT ''";
// pppd has no callback option: the number is kept in a comment of this form.
const std::string kCallbackHead = "# callback number: ";

QString DecodeUtf8(const std::string& bytes, bool& ok)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString decoded = decoder(QByteArrayView(bytes.data(), qsizetype(bytes.size())));
    ok = !decoder.hasError();
    return decoded;
}

// Windows-1252 text of UTF-8 bytes; false when they are no UTF-8 or hold a
// character Windows-1252 has not.
bool Utf8To1252(const std::string& bytes, std::string& text)
{
    bool ok = false;
    const QString decoded = DecodeUtf8(bytes, ok);
    if (!ok)
        return false;
    std::string held;
    if (!FromQtWhole(decoded, held))
        return false;
    text = std::move(held);
    return true;
}

// An entry's file name in peers/: the name in UTF-8, as the file system's
// names are, so the shell shows it and "pppd call" takes it as typed.
std::string FileNameOf(const std::string& entry)
{
    return ToQt(entry).toUtf8().toStdString();
}

// Whether an entry may also be found under its own bytes: a name that is no
// UTF-8 was once written so.
bool MayBeOldFileName(const std::string& entry)
{
    bool ok = false;
    DecodeUtf8(entry, ok);
    return !ok;
}

// The entry a file of peers/ stands for; false for a name Windows-1252
// cannot hold.
bool EntryOfFileName(const std::string& file, std::string& entry)
{
    if (Utf8To1252(file, entry))
        return true;
    if (!MayBeOldFileName(file))
        return false;
    entry = file;
    return true;
}

// Windows-1252's control characters, and the five bytes it leaves undefined
// (they stand for control characters too).
bool IsControl(unsigned char c)
{
    return c < 0x20 || c == 0x7F || c == 0x81 || c == 0x8D || c == 0x8F || c == 0x90 || c == 0x9D;
}

// A name that can be an entry (see the header).
bool ValidEntryName(const std::string& entry)
{
    if (entry.empty() || FileNameOf(entry).size() > kMaxEntryName || entry[0] == '.' ||
        entry == "*")
        return false;
    for (const char c : entry)
        if (c == '/' || IsControl(static_cast<unsigned char>(c)))
            return false;
    return true;
}

bool ValidPhoneNumber(const std::string& number)
{
    if (number.size() > kMaxPhoneNumber)
        return false;
    for (const char c : number)
        if (!(c >= '0' && c <= '9') && (c == '\0' || !std::strchr(" *#+,-()!@.ABCDPTWabcdptw", c)))
            return false;
    return true;
}

bool Refuse(TRasRefusal& refusal, TRasField field, const char* why)
{
    refusal.Field = field;
    refusal.Why = why;
    return false;
}

bool CheckNumber(const std::string& number, TRasField field, TRasRefusal& refusal)
{
    if (number.size() > kMaxPhoneNumber)
        return Refuse(refusal, field, "is longer than 128 characters");
    if (!ValidPhoneNumber(number))
        return Refuse(refusal, field,
                      "holds characters a modem does not dial (only digits, blanks and "
                      "*#+,-()!@.ABCDPTW)");
    return true;
}

// A value written as one word of pppd's files.
bool CheckWord(const std::string& value, TRasField field, TRasRefusal& refusal)
{
    if (!PppWritable(value))
        return Refuse(refusal, field, "holds a control character, such as a line break or a tab");
    if (value.size() > kMaxWord)
        return Refuse(refusal, field, "is longer than 256 characters");
    return true;
}

std::string ChatCommand(const std::string& number)
{
    return kChatHead + number + kChatTail;
}

// The number of a connect command of the form above.
bool NumberOfChat(const std::string& command, std::string& number)
{
    if (command.rfind(kChatHead, 0) != 0)
        return false;
    const size_t end = command.find('\'', kChatHead.size());
    if (end == std::string::npos)
        return false;
    std::string found = command.substr(kChatHead.size(), end - kChatHead.size());
    if (!ValidPhoneNumber(found) || command != ChatCommand(found))
        return false;
    number = std::move(found);
    return true;
}

// The properties as pppd's files can carry them: a number a modem dials, and
// options text in pppd's syntax with no control characters but line ends and
// tabs.
bool CheckProperties(const TRasEntry& properties, std::vector<TPppLine>& lines,
                     TRasRefusal& refusal)
{
    if (!CheckNumber(properties.PhoneNumber, TRasField::PhoneNumber, refusal))
        return false;
    for (const char c : properties.Options)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t' && c != '\r') ||
            c == 0x7F)
            return Refuse(refusal, TRasField::Options,
                          "hold a control character other than a line end or a tab");
    if (!PppSplitLines(properties.Options, lines))
        return Refuse(refusal, TRasField::Options, "end inside quotes or after a backslash");
    return true;
}

// The dial parameters an entry stores; the password only when it is stored.
bool CheckDialParams(const TRasDialParams& params, bool storePassword, TRasRefusal& refusal)
{
    if (!CheckWord(params.UserName, TRasField::UserName, refusal))
        return false;
    if (storePassword) {
        if (!CheckWord(params.Password, TRasField::Password, refusal))
            return false;
        if (params.Password[0] == '@')
            return Refuse(refusal, TRasField::Password,
                          "starts with \"@\", which pppd takes for the name of a file");
    }
    return CheckWord(params.Domain, TRasField::Domain, refusal) &&
           CheckNumber(params.CallbackNumber, TRasField::CallbackNumber, refusal);
}

// An options file's lines as fields and the rest.
void SplitPeers(std::vector<TPppLine> lines, TPeers& peers)
{
    for (auto& line : lines) {
        const auto& w = line.Words;
        if (w.size() == 2 && w[0] == "user") {
            peers.User = w[1];
            peers.HasUser = true;
        } else if (w.size() == 2 && w[0] == "remotename") {
            peers.RemoteName = w[1];
            peers.HasRemote = true;
        } else if (w.size() == 2 && w[0] == "domain") {
            peers.Domain = w[1];
        } else if (w.empty() && line.Text.rfind(kCallbackHead, 0) == 0 &&
                   line.Text.size() > kCallbackHead.size() &&
                   ValidPhoneNumber(line.Text.substr(kCallbackHead.size()))) {
            peers.CallbackNumber = line.Text.substr(kCallbackHead.size());
        } else if (!(w.size() == 2 && w[0] == "connect" && NumberOfChat(w[1], peers.PhoneNumber))) {
            peers.Other.push_back(std::move(line));
        }
    }
    // Blank lines at the end would grow with each save.
    while (!peers.Other.empty() && peers.Other.back().Words.empty() &&
           peers.Other.back().Text.find_first_not_of(" \t\r") == std::string::npos)
        peers.Other.pop_back();
}

std::string ComposePeers(const TPeers& peers)
{
    std::string text = PppJoinLines(peers.Other);
    if (!peers.PhoneNumber.empty())
        text += "connect " + PppQuote(ChatCommand(peers.PhoneNumber)) + "\n";
    if (peers.HasUser)
        text += "user " + PppQuote(peers.User) + "\n";
    if (peers.HasRemote)
        text += "remotename " + PppQuote(peers.RemoteName) + "\n";
    if (!peers.Domain.empty())
        text += "domain " + PppQuote(peers.Domain) + "\n";
    if (!peers.CallbackNumber.empty())
        text += kCallbackHead + peers.CallbackNumber + "\n";
    return text;
}

// The client name of an entry's secrets line.
std::string ClientOf(const std::string& user)
{
    return user.empty() ? "*" : user;
}

std::string SecretsLine(const std::string& client, const std::string& server,
                        const std::string& password)
{
    return PppQuote(client) + " " + PppQuote(server) + " " + PppQuote(password);
}

bool Exists(const std::string& path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// A private directory and an options file only the owner can read.
struct TOptionsFile {
    std::string Dir;
    std::string Path;

    bool Create(const std::string& tempDir, const std::string& text)
    {
        std::string base = tempDir;
        if (base.empty()) {
            const char* env = std::getenv("TMPDIR");
            base = env && *env ? env : "/tmp";
        }
        std::string templ = base + "/skipmail-ppp-XXXXXX";
        if (!::mkdtemp(templ.data()))
            return false;
        Dir = templ;
        Path = Dir + "/options";
        const int fd = ::open(Path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0)
            return false;
        const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::close(fd);
        return ok;
    }
    void Remove()
    {
        if (!Path.empty())
            ::unlink(Path.c_str());
        if (!Dir.empty())
            ::rmdir(Dir.c_str());
        Path.clear();
        Dir.clear();
    }
    ~TOptionsFile() { Remove(); }
};

// A counter of the kernel's statistics of an interface; -1 when unreadable.
int64_t ReadCounter(const std::string& path)
{
    std::string text;
    if (!ReadWholeFile(path, text))
        return -1;
    char* end = nullptr;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    return end == text.c_str() ? -1 : value;
}

int LoadPeers(const std::string& path, TPeers& peers)
{
    std::string text;
    if (!ReadWholeFile(path, text))
        return RasCode::ERROR_CANNOT_OPEN_PHONEBOOK;
    std::vector<TPppLine> lines;
    if (!PppSplitLines(text, lines))
        return RasCode::ERROR_CORRUPT_PHONEBOOK;
    SplitPeers(std::move(lines), peers);
    return RasCode::SUCCESS;
}

// Replaces a file of the phone book whole.
int WriteWhole(const std::string& path, const std::string& text, unsigned newMode)
{
    try {
        WriteFileAtomic(path, text, newMode);
    } catch (const std::system_error&) {
        return RasCode::ERROR_CANNOT_WRITE_PHONEBOOK;
    }
    return RasCode::SUCCESS;
}

int SavePeers(const std::string& dir, const std::string& path, const TPeers& peers)
{
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        return RasCode::ERROR_CANNOT_WRITE_PHONEBOOK;
    return WriteWhole(path, ComposePeers(peers), 0644);
}

// The entry's stored password, from the first secrets file that has it and
// can be read.
bool FindPassword(const std::vector<std::string>& files, const TPeers& peers, std::string& password)
{
    const std::string client = ClientOf(peers.User);
    const std::string server = peers.HasRemote ? peers.RemoteName : "*";
    for (const auto& file : files) {
        std::string text;
        std::vector<TPppLine> lines;
        if (!ReadWholeFile(file, text) || !PppSplitLines(text, lines))
            continue;
        const std::string* anyClient = nullptr;
        for (const auto& line : lines) {
            const auto& w = line.Words;
            // A secret starting with "@" names a file of its own.
            if (w.size() < 3 || w[1] != server || (!w[2].empty() && w[2][0] == '@'))
                continue;
            if (w[0] == client) {
                password = w[2];
                return true;
            }
            if (w[0] == "*" && !anyClient)
                anyClient = &w[2];
        }
        if (anyClient) {
            password = *anyClient;
            return true;
        }
    }
    return false;
}

// Drops the lines of server `server` whose client is one of `clients` (any
// client when empty) from each secrets file, then adds `add` unless it is
// empty. A file left as it was is not written.
int RewriteSecrets(const std::vector<std::string>& files, const std::string& server,
                   const std::vector<std::string>& clients, const std::string& add)
{
    for (const auto& file : files) {
        const bool exists = Exists(file);
        std::string text;
        if (exists && !ReadWholeFile(file, text))
            return RasCode::ERROR_CANNOT_WRITE_PHONEBOOK;
        std::vector<TPppLine> lines;
        if (!PppSplitLines(text, lines))
            return RasCode::ERROR_CORRUPT_PHONEBOOK;
        std::vector<TPppLine> kept;
        bool changed = false;
        for (auto& line : lines) {
            const auto& w = line.Words;
            if (w.size() >= 3 && w[1] == server &&
                (clients.empty() ||
                 std::find(clients.begin(), clients.end(), w[0]) != clients.end()))
                changed = true;
            else
                kept.push_back(std::move(line));
        }
        if (!add.empty()) {
            kept.push_back(TPppLine{add, {}});
            changed = true;
        }
        if (!changed)
            continue;
        // pppd's secrets are for root's eyes only, whatever the file was.
        if (exists && ::chmod(file.c_str(), 0600) != 0)
            return RasCode::ERROR_CANNOT_WRITE_PHONEBOOK;
        if (const int rc = WriteWhole(file, PppJoinLines(kept), 0600))
            return rc;
    }
    return RasCode::SUCCESS;
}

} // namespace

TPppdRas::TSettings TPppdRas::DefaultSettings()
{
    TSettings settings;
    if (const char* dir = std::getenv("SKIPMAIL_PPP_DIR"); dir && *dir)
        settings.PppDir = dir;
    while (settings.PppDir.size() > 1 && settings.PppDir.back() == '/')
        settings.PppDir.pop_back();
    return settings;
}

TPppdRas::TPppdRas() : TPppdRas(DefaultSettings()) {}

TPppdRas::TPppdRas(TSettings settings) : FSettings(std::move(settings)) {}

TPppdRas::~TPppdRas()
{
    std::unique_lock lock(FLock);
    for (auto& [handle, conn] : FConns)
        if (!conn->Finished)
            ::kill(conn->Pid, SIGTERM);
    for (auto& [handle, conn] : FConns) {
        const bool gone = conn->Changed.wait_for(
            lock, std::chrono::milliseconds(FSettings.KillAfterMs), [&] { return conn->Finished; });
        if (!gone)
            ::kill(conn->Pid, SIGKILL);
    }
    auto conns = std::move(FConns);
    lock.unlock();
    conns.clear(); // joins the readers
}

std::vector<std::string> TPppdRas::CommandLine(const std::string& program,
                                               const std::string& pppDir,
                                               const std::string& peerFile,
                                               const std::string& optionsFile)
{
    // pppd's "call" reads its own peers directory only.
    std::vector<std::string> args{program};
    if (pppDir == kPppDir)
        args.insert(args.end(), {"call", peerFile});
    else
        args.insert(args.end(), {"file", pppDir + "/peers/" + peerFile});
    // The log goes to standard output whatever the peers file says: that is
    // where the dial learns that the link is up.
    args.insert(args.end(), {"nodetach", "nopersist", "logfd", "1", "file", optionsFile});
    return args;
}

std::string TPppdRas::OptionsText(const std::string& user, const std::string& password)
{
    auto word = [](const std::string& value) {
        std::string kept;
        for (const char c : value)
            if (PppWritable(std::string_view(&c, 1)))
                kept += c;
        return PppQuote(kept);
    };
    std::string text;
    if (!user.empty())
        text += "user " + word(user) + "\n";
    if (!password.empty())
        text += "password " + word(password) + "\n";
    return text;
}

int TPppdRas::ExitCodeToRas(int exitStatus)
{
    switch (exitStatus) {
    case 0: // ended at the peer's request
    case 16:
        return RasCode::ERROR_REMOTE_DISCONNECTION;
    case 2:
        return RasCode::ERROR_CORRUPT_PHONEBOOK;
    case 4:
        return RasCode::ERROR_HARDWARE_FAILURE;
    case 5:
        return RasCode::ERROR_USER_DISCONNECTION;
    case 6:
    case 7:
        return RasCode::ERROR_PORT_NOT_AVAILABLE;
    case 8:
        return RasCode::ERROR_NO_ANSWER;
    case 10:
        return RasCode::ERROR_PPP_NO_PROTOCOLS_CONFIGURED;
    case 11:
    case 19:
        return RasCode::ERROR_AUTHENTICATION_FAILURE;
    case 12:
    case 13:
        return RasCode::ERROR_DISCONNECTION;
    case 15:
        return RasCode::ERROR_PPP_TIMEOUT;
    case 17:
        return RasCode::ERROR_PPP_LOOPBACK_DETECTED;
    case 18:
        return RasCode::ERROR_PORT_OR_DEVICE;
    default:
        return RasCode::ERROR_UNKNOWN;
    }
}

int TPppdRas::StateOfLogLine(const std::string& line, std::string& ipAddress, std::string& device)
{
    if (line.rfind("Serial connection established", 0) == 0)
        return RasState::RASCS_DeviceConnected;
    if (line.rfind("Connect: ", 0) == 0) {
        const auto arrow = line.find("<--> ");
        if (arrow != std::string::npos)
            device = line.substr(arrow + 5);
        return RasState::RASCS_AllDevicesConnected;
    }
    if (line.find("authentication succeeded") != std::string::npos)
        return RasState::RASCS_Authenticated;
    if (line.rfind("local  IP address ", 0) == 0) {
        ipAddress = line.substr(18);
        ipAddress.erase(ipAddress.find_last_not_of(" \r") + 1);
        return RasState::RASCS_Connected;
    }
    return -1;
}

bool TPppdRas::Available() const
{
    return ::access(FSettings.Program.c_str(), X_OK) == 0;
}

std::string TPppdRas::PeersDir() const
{
    return FSettings.PppDir + "/peers";
}

std::string TPppdRas::PeerFile(const std::string& entry) const
{
    const std::string named = PeersDir() + "/" + FileNameOf(entry);
    const std::string old = PeersDir() + "/" + entry;
    if (named != old && !Exists(named) && MayBeOldFileName(entry) && Exists(old))
        return old;
    return named;
}

std::vector<std::string> TPppdRas::SecretsFiles() const
{
    return {FSettings.PppDir + "/pap-secrets", FSettings.PppDir + "/chap-secrets"};
}

bool TPppdRas::EntryExists(const std::string& entry) const
{
    struct stat st {};
    return ValidEntryName(entry) && ::stat(PeerFile(entry).c_str(), &st) == 0 &&
           S_ISREG(st.st_mode);
}

int TPppdRas::EnumEntries(const std::string&, std::vector<std::string>& names)
{
    names.clear();
    DIR* dir = ::opendir(PeersDir().c_str());
    if (!dir)
        return errno == ENOENT ? RasCode::SUCCESS : RasCode::ERROR_CANNOT_OPEN_PHONEBOOK;
    while (dirent* e = ::readdir(dir)) {
        const std::string file = e->d_name;
        std::string name;
        // A file that another one of the same entry stands before is left out.
        if (EntryOfFileName(file, name) && EntryExists(name) &&
            PeerFile(name) == PeersDir() + "/" + file)
            names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return RasCode::SUCCESS;
}

int TPppdRas::GetEntryDialParams(const std::string&, TRasDialParams& params, bool& hasPassword)
{
    hasPassword = false;
    const std::string entry = params.EntryName;
    if (!EntryExists(entry))
        return RasCode::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    std::lock_guard guard(FBookLock);
    TPeers peers;
    if (const int rc = LoadPeers(PeerFile(entry), peers))
        return rc;
    params = TRasDialParams{};
    params.EntryName = entry;
    params.UserName = peers.User;
    params.PhoneNumber = peers.PhoneNumber;
    params.Domain = peers.Domain;
    params.CallbackNumber = peers.CallbackNumber;
    hasPassword = FindPassword(SecretsFiles(), peers, params.Password);
    return RasCode::SUCCESS;
}

int TPppdRas::SetEntryDialParams(const std::string&, const TRasDialParams& params,
                                 bool removePassword)
{
    const std::string& entry = params.EntryName;
    if (!EntryExists(entry))
        return RasCode::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    const bool store = !removePassword && !params.Password.empty();
    TRasRefusal refusal;
    if (!CheckDialParams(params, store, refusal))
        return RasCode::ERROR_INVALID_PARAMETER;

    std::lock_guard guard(FBookLock);
    TPeers peers;
    if (const int rc = LoadPeers(PeerFile(entry), peers))
        return rc;
    const std::string oldClient = ClientOf(peers.User);
    peers.User = params.UserName;
    peers.HasUser = !params.UserName.empty();
    peers.Domain = params.Domain;
    peers.CallbackNumber = params.CallbackNumber;
    if (store && !peers.HasRemote) {
        peers.RemoteName = entry;
        peers.HasRemote = true;
    }
    if (const int rc = SavePeers(PeersDir(), PeerFile(entry), peers))
        return rc;
    // Without a remotename the entry has no secrets line of its own.
    if (!peers.HasRemote)
        return RasCode::SUCCESS;
    const std::string client = ClientOf(peers.User);
    return RewriteSecrets(SecretsFiles(), peers.RemoteName, {oldClient, client},
                          store ? SecretsLine(client, peers.RemoteName, params.Password) : "");
}

int TPppdRas::GetEntryProperties(const std::string&, const std::string& entry,
                                 TRasEntry& properties)
{
    if (!EntryExists(entry))
        return RasCode::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    std::lock_guard guard(FBookLock);
    TPeers peers;
    if (const int rc = LoadPeers(PeerFile(entry), peers))
        return rc;
    properties.PhoneNumber = peers.PhoneNumber;
    properties.Options = PppJoinLines(peers.Other);
    return RasCode::SUCCESS;
}

int TPppdRas::SetEntryProperties(const std::string&, const std::string& entry,
                                 const TRasEntry& properties)
{
    if (!ValidEntryName(entry))
        return RasCode::ERROR_INVALID_NAME;
    std::vector<TPppLine> lines;
    TRasRefusal refusal;
    if (!CheckProperties(properties, lines, refusal))
        return RasCode::ERROR_INVALID_PARAMETER;
    // User, remotename and domain lines belong to the dial parameters; a
    // connect line of this backend's form gives the number when none is
    // given.
    TPeers given;
    SplitPeers(std::move(lines), given);

    std::lock_guard guard(FBookLock);
    TPeers peers;
    if (EntryExists(entry))
        if (const int rc = LoadPeers(PeerFile(entry), peers))
            return rc;
    peers.Other = std::move(given.Other);
    peers.PhoneNumber = properties.PhoneNumber.empty() ? given.PhoneNumber : properties.PhoneNumber;
    return SavePeers(PeersDir(), PeerFile(entry), peers);
}

int TPppdRas::CheckEntryValues(const TRasEntry& properties, const TRasDialParams& params,
                               TRasRefusal& refusal)
{
    refusal = TRasRefusal{};
    std::vector<TPppLine> lines;
    if (!CheckProperties(properties, lines, refusal) ||
        !CheckDialParams(params, !params.Password.empty(), refusal))
        return RasCode::ERROR_INVALID_PARAMETER;
    return RasCode::SUCCESS;
}

int TPppdRas::RenameEntry(const std::string&, const std::string& from, const std::string& to)
{
    if (!EntryExists(from))
        return RasCode::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    if (!ValidEntryName(to))
        return RasCode::ERROR_INVALID_NAME;
    if (from == to)
        return RasCode::SUCCESS;
    if (Exists(PeerFile(to)))
        return RasCode::ERROR_ALREADY_EXISTS;

    std::lock_guard guard(FBookLock);
    const std::string fromFile = PeerFile(from);
    TPeers peers;
    if (const int rc = LoadPeers(fromFile, peers))
        return rc;
    // Secrets kept under the entry's own name move with it.
    const bool ownSecrets = peers.HasRemote && peers.RemoteName == from;
    std::string password;
    const bool hasPassword = ownSecrets && FindPassword(SecretsFiles(), peers, password);
    if (ownSecrets)
        peers.RemoteName = to;
    if (const int rc = SavePeers(PeersDir(), PeerFile(to), peers))
        return rc;
    if (ownSecrets) {
        const int rc =
            RewriteSecrets(SecretsFiles(), from, {},
                           hasPassword ? SecretsLine(ClientOf(peers.User), to, password) : "");
        if (rc != 0) {
            ::unlink(PeerFile(to).c_str());
            return rc;
        }
    }
    if (::unlink(fromFile.c_str()) != 0)
        return RasCode::ERROR_CANNOT_WRITE_PHONEBOOK;
    SyncDirectory(PeersDir());
    return RasCode::SUCCESS;
}

int TPppdRas::ValidateEntryName(const std::string&, const std::string& name)
{
    if (!ValidEntryName(name))
        return RasCode::ERROR_INVALID_NAME;
    return Exists(PeerFile(name)) ? RasCode::ERROR_ALREADY_EXISTS : RasCode::SUCCESS;
}

int TPppdRas::DeleteEntry(const std::string&, const std::string& entry)
{
    if (!EntryExists(entry))
        return RasCode::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    std::lock_guard guard(FBookLock);
    const std::string file = PeerFile(entry);
    TPeers peers;
    if (LoadPeers(file, peers) == 0 && peers.HasRemote && peers.RemoteName == entry)
        if (const int rc = RewriteSecrets(SecretsFiles(), entry, {}, ""))
            return rc;
    if (::unlink(file.c_str()) != 0)
        return RasCode::ERROR_CANNOT_WRITE_PHONEBOOK;
    SyncDirectory(PeersDir());
    return RasCode::SUCCESS;
}

int TPppdRas::Dial(const std::string&, const TRasDialParams& params,
                   const std::function<void(int state)>& progress, HRASCONN& handle,
                   std::string& words)
{
    handle = 0;
    words.clear();
    if (!EntryExists(params.EntryName))
        return RasCode::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    const std::string peerFile = PeerFile(params.EntryName).substr(PeersDir().size() + 1);
    TOptionsFile options;
    if (!options.Create(FSettings.TempDir, OptionsText(params.UserName, params.Password)))
        return RasCode::ERROR_UNKNOWN;

    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return RasCode::ERROR_UNKNOWN;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
    const auto args = CommandLine(FSettings.Program, FSettings.PppDir, peerFile, options.Path);
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int rc =
        ::posix_spawn(&pid, FSettings.Program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        return RasCode::ERROR_DEVICE_DOES_NOT_EXIST;
    }

    auto conn = std::make_shared<TConn>();
    conn->Entry = params.EntryName;
    conn->Pid = pid;
    conn->OutFd = pipeFds[0];
    // Made before the connection is listed, so no other thread sees it
    // without its reader.
    std::thread reader;
    try {
        // The reader holds no share of its connection: the last share must go
        // on a thread that can join it.
        reader = NewSystemThread([this, raw = conn.get()] { FollowLog(*raw); });
    } catch (const std::system_error&) {
        // Nobody could follow or reap this pppd: end it now.
        ::kill(pid, SIGTERM);
        ::close(conn->OutFd);
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        return RasCode::ERROR_UNKNOWN;
    }
    HRASCONN mine;
    {
        std::lock_guard guard(FLock);
        Sweep();
        conn->Reader = std::move(reader);
        mine = FNextHandle++;
        FConns[mine] = conn;
    }

    std::unique_lock lock(FLock);
    int reported = -1;
    for (;;) {
        conn->Changed.wait(lock, [&] {
            return conn->Finished || conn->State == RasState::RASCS_Connected ||
                   conn->State != reported;
        });
        if (conn->Finished || conn->State == RasState::RASCS_Connected)
            break;
        reported = conn->State;
        if (progress) {
            lock.unlock();
            progress(reported);
            lock.lock();
        }
    }
    options.Remove();
    if (!conn->Finished) {
        handle = mine;
        return RasCode::SUCCESS;
    }
    if (conn->HangupRequested || conn->ExitStatus < 0)
        return RasCode::ERROR_USER_DISCONNECTION;
    for (const auto& line : conn->Words)
        words += (words.empty() ? "" : "\n") + line;
    return ExitCodeToRas(conn->ExitStatus);
}

void TPppdRas::FollowLog(TConn& conn)
{
    std::string pending;
    char buf[512];
    ssize_t n;
    auto take = [&](const std::string& line) {
        KeepWords(conn, line);
        static const std::string kInterface = "Using interface ";
        if (line.rfind(kInterface, 0) == 0) {
            std::string name = line.substr(kInterface.size());
            name.erase(name.find_last_not_of(" \r") + 1);
            // It becomes part of a path.
            if (name.empty() || name[0] == '.' || name.find('/') != std::string::npos)
                return;
            std::lock_guard guard(FLock);
            conn.Interface = name;
            return;
        }
        std::string ip, device;
        const int state = StateOfLogLine(line, ip, device);
        if (state < 0)
            return;
        std::lock_guard guard(FLock);
        if (state == RasState::RASCS_Connected && conn.State != state)
            conn.ConnectedAt = std::chrono::steady_clock::now();
        if (state > conn.State || state == RasState::RASCS_Connected)
            conn.State = state;
        if (!ip.empty())
            conn.IpAddress = ip;
        if (!device.empty())
            conn.Device = device;
        conn.Changed.notify_all();
    };
    while ((n = ::read(conn.OutFd, buf, sizeof buf)) != 0) {
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        pending.append(buf, static_cast<size_t>(n));
        size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            take(pending.substr(0, nl));
            pending.erase(0, nl + 1);
        }
    }
    if (!pending.empty())
        take(pending);
    ::close(conn.OutFd);
    int status = 0;
    while (::waitpid(conn.Pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::lock_guard guard(FLock);
    conn.ExitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    conn.Finished = true;
    conn.Changed.notify_all();
}

void TPppdRas::KeepWords(TConn& conn, const std::string& line)
{
    std::string kept;
    for (const char c : line)
        if (!IsControl(static_cast<unsigned char>(c)) || c == '\t')
            kept += c;
    if (kept.find_first_not_of(" \t") == std::string::npos)
        return;
    // pppd speaks the system's UTF-8; the station shows Windows-1252.
    if (std::string held; Utf8To1252(kept, held))
        kept = std::move(held);
    if (kept.size() > kMaxWordLine)
        kept.resize(kMaxWordLine);
    std::lock_guard guard(FLock);
    conn.Words.push_back(std::move(kept));
    if (conn.Words.size() > kWordLines)
        conn.Words.pop_front();
}

void TPppdRas::Sweep()
{
    for (auto it = FConns.begin(); it != FConns.end();) {
        if (it->second->Finished) {
            // Finished is the reader's last act under the lock: the join is
            // short.
            if (it->second->Reader.joinable())
                it->second->Reader.join();
            it = FConns.erase(it);
        } else {
            ++it;
        }
    }
}

std::shared_ptr<TPppdRas::TConn> TPppdRas::Find(HRASCONN handle)
{
    Sweep();
    const auto it = FConns.find(handle);
    return it == FConns.end() ? nullptr : it->second;
}

int TPppdRas::HangUp(HRASCONN handle)
{
    std::lock_guard guard(FLock);
    const auto conn = Find(handle);
    if (!conn)
        return RasCode::ERROR_INVALID_HANDLE;
    if (!conn->HangupRequested) {
        conn->HangupRequested = true;
        conn->HangupAt = std::chrono::steady_clock::now();
        ::kill(conn->Pid, SIGTERM);
    }
    return RasCode::SUCCESS;
}

int TPppdRas::GetConnectStatus(HRASCONN handle, TRasConnStatus& status)
{
    std::lock_guard guard(FLock);
    const auto conn = Find(handle);
    if (!conn)
        return RasCode::ERROR_INVALID_HANDLE;
    // A pppd that does not end on SIGTERM is killed once its time is up.
    if (conn->HangupRequested && std::chrono::steady_clock::now() - conn->HangupAt >
                                     std::chrono::milliseconds(FSettings.KillAfterMs))
        ::kill(conn->Pid, SIGKILL);
    status = TRasConnStatus{};
    status.State = conn->State;
    status.DeviceType = "modem";
    status.DeviceName = conn->Device;
    if (conn->State == RasState::RASCS_Connected)
        status.ConnectedMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - conn->ConnectedAt)
                                 .count();
    if (!conn->Interface.empty()) {
        const std::string stats = FSettings.NetDir + "/" + conn->Interface + "/statistics/";
        status.BytesSent = ReadCounter(stats + "tx_bytes");
        status.BytesReceived = ReadCounter(stats + "rx_bytes");
    }
    return RasCode::SUCCESS;
}

int TPppdRas::EnumConnections(std::vector<TRasConnection>& connections)
{
    std::lock_guard guard(FLock);
    Sweep();
    connections.clear();
    for (const auto& [handle, conn] : FConns)
        connections.push_back({handle, conn->Entry, "modem", conn->Device});
    return RasCode::SUCCESS;
}

int TPppdRas::GetIpAddress(HRASCONN handle, std::string& address)
{
    std::lock_guard guard(FLock);
    const auto conn = Find(handle);
    if (!conn)
        return RasCode::ERROR_INVALID_HANDLE;
    if (conn->State != RasState::RASCS_Connected)
        return RasCode::ERROR_UNKNOWN;
    address = conn->IpAddress;
    return RasCode::SUCCESS;
}
