#include "fax/fax_shell_printer.h"

#include "platform/atomic_file.h"
#include "platform/profile.h"
#include "platform/text.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QThread>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cups/cups.h>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <poll.h>
#include <set>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace FaxPrinter {

namespace {

using TClock = std::chrono::steady_clock;

constexpr char kInterrupted[] = "the conversion was interrupted";

// A request folder untouched this long and held by nobody was left behind.
constexpr int kAbandonedAfterSeconds = 60;

class THttp {
public:
    explicit THttp(http_t* http) : Http_(http) {}
    ~THttp()
    {
        if (Http_)
            httpClose(Http_);
    }
    THttp(const THttp&) = delete;
    THttp& operator=(const THttp&) = delete;
    http_t* Get() const { return Http_; }

private:
    http_t* Http_;
};

// A request folder and what it holds; what cannot go stays. The folder is
// its user's alone, so nothing in it leads elsewhere.
void RemoveRequestFolder(const std::string& path)
{
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

// A short wait that keeps the GUI thread's events going.
void Breathe()
{
    auto* app = QCoreApplication::instance();
    if (app && QThread::currentThread() == app->thread())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(20);
}

std::string FromUtf8(const std::string& text)
{
    return FromQt(QString::fromStdString(text));
}

std::string FromUtf8(const char* text)
{
    return text ? FromUtf8(std::string(text)) : std::string();
}

// The scheduler as libcups reaches it now: a host with its port, a local
// socket by its path.
std::string ServerName()
{
    const std::string server = FromUtf8(cupsServer());
    return server.empty() || server[0] == '/' ? server : server + ":" + std::to_string(ippPort());
}

// A refused password is asked again as long as one is given: a print
// takes three, as su and sudo do.
constexpr int kPasswordTries = 3;

// How this thread's print answered the scheduler's asks for a password.
struct TPasswordAsk {
    int Given = 0;
    // An empty answer or the end of input: no password.
    bool NoneGiven = false;
    // A signal at the prompt that the print's abort answers (Ctrl+C).
    bool Interrupted = false;
    const std::function<bool()>* Abort = nullptr;
};
thread_local TPasswordAsk tAsk;

// The password the scheduler asks for over TCP, asked on the terminal as
// libcups itself would; none without one, when the answer is empty, after
// the last try or once the print is aborted (libcups then gives up). Asked
// again, the last one was refused, and the terminal is told so at once.
const char* AskPassword(const char* prompt, http_t*, const char*, const char*, void*)
{
    static thread_local std::string answer;
    if (tAsk.NoneGiven || tAsk.Interrupted)
        return nullptr;
    const TFd tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (tty.Get() < 0)
        return nullptr;
    const auto say = [&](const std::string& text) {
        [[maybe_unused]] const ssize_t n = ::write(tty.Get(), text.data(), text.size());
    };
    if (tAsk.Given >= kPasswordTries)
        return nullptr;
    if (tAsk.Given > 0)
        say("The print service refused that password.\n");
    termios old{};
    const bool quiet = ::tcgetattr(tty.Get(), &old) == 0;
    if (quiet) {
        termios hidden = old;
        hidden.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        hidden.c_lflag |= ECHONL;
        ::tcsetattr(tty.Get(), TCSAFLUSH, &hidden);
    }
    say(prompt);
    answer.clear();
    for (;;) {
        // The abort is asked between waits for the line, so a signal that
        // came before the read is seen too.
        pollfd line{tty.Get(), POLLIN, 0};
        const int ready = ::poll(&line, 1, 200);
        if (ready < 0 && errno != EINTR)
            break;
        if (ready <= 0) {
            if (tAsk.Abort && *tAsk.Abort && (*tAsk.Abort)()) {
                tAsk.Interrupted = true;
                break;
            }
            continue;
        }
        char c;
        const ssize_t n = ::read(tty.Get(), &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || c == '\n')
            break;
        answer += c;
    }
    if (quiet)
        ::tcsetattr(tty.Get(), TCSAFLUSH, &old);
    if (tAsk.Interrupted) {
        say("\n");
        return nullptr;
    }
    if (answer.empty()) {
        tAsk.NoneGiven = true;
        return nullptr;
    }
    ++tAsk.Given;
    return answer.c_str();
}

// The scheduler's last answer in words. Over TCP it asks for the user's
// password (its local socket takes the kernel's word for who is asking),
// and a program without a terminal has none to give: its bare
// "Unauthorized" would not say so.
std::string LastCupsError()
{
    // libcups gives up when no password comes, as when its user cancels.
    const ipp_status_t status = cupsLastError();
    const std::string server = ServerName();
    if ((status == IPP_STATUS_ERROR_NOT_AUTHENTICATED ||
         status == IPP_STATUS_ERROR_CUPS_AUTHENTICATION_CANCELED) &&
        !server.empty() && server[0] != '/') {
        const std::string user = FromUtf8(cupsUser());
        const std::string socket = "; its local socket needs none (leave CUPS_SERVER unset, or "
                                   "set it to the socket's path)";
        const std::string head = "the print service (" + server + ") ";
        if (tAsk.NoneGiven)
            return head + "asks for " + user + "'s password over TCP, and none was given" + socket;
        if (tAsk.Given >= kPasswordTries)
            return head + "refused the " + std::to_string(tAsk.Given) + " passwords given for " +
                   user + " over TCP" + socket;
        if (tAsk.Given > 0)
            return head + "refused the password given for " + user + " over TCP" + socket;
        return head + "asks for " + user + "'s password over TCP, and none could be given here" +
               socket;
    }
    return FromUtf8(cupsLastErrorString());
}

// A printer's or job's name at the scheduler we are connected to.
std::string SchedulerUri(const std::string& resource)
{
    char uri[HTTP_MAX_URI];
    httpAssembleURI(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                    resource.c_str());
    return uri;
}

void AskFor(ipp_t* request, std::initializer_list<const char*> names)
{
    const std::vector<const char*> list(names);
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                  static_cast<int>(list.size()), nullptr, list.data());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
}

struct TPrinterState {
    bool Reached = false;
    bool Found = false;
    bool Stopped = false;
    bool Accepting = true;
    std::string Message;
};

// True when a job of the queue gave these words: the printer's message then
// is that job's, not its operator's, and maybe another user's.
bool SaidByAJob(http_t* http, const char* message)
{
    ipp_t* request = ippNewRequest(IPP_OP_GET_JOBS);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 SchedulerUri(std::string("/printers/") + kQueueName).c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr, "all");
    AskFor(request, {"job-printer-state-message"});
    ipp_t* response = cupsDoRequest(http, request, "/");
    bool said = false;
    for (ipp_attribute_t* a = ippFindAttribute(response, "job-printer-state-message", IPP_TAG_TEXT);
         a && !said; a = ippFindNextAttribute(response, "job-printer-state-message", IPP_TAG_TEXT))
        said = std::strcmp(ippGetString(a, 0, nullptr), message) == 0;
    ippDelete(response);
    return said;
}

TPrinterState QueryPrinter(http_t* http)
{
    ipp_t* request = ippNewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 SchedulerUri(std::string("/printers/") + kQueueName).c_str());
    AskFor(request, {"printer-state", "printer-state-message", "printer-is-accepting-jobs"});
    ipp_t* response = cupsDoRequest(http, request, "/");
    TPrinterState state;
    const ipp_status_t status = cupsLastError();
    state.Reached = response || status == IPP_STATUS_ERROR_NOT_FOUND;
    if (response && status <= IPP_STATUS_OK_CONFLICTING) {
        state.Found = true;
        if (ipp_attribute_t* a = ippFindAttribute(response, "printer-state", IPP_TAG_ENUM))
            state.Stopped = ippGetInteger(a, 0) == IPP_PSTATE_STOPPED;
        if (ipp_attribute_t* a =
                ippFindAttribute(response, "printer-is-accepting-jobs", IPP_TAG_BOOLEAN))
            state.Accepting = ippGetBoolean(a, 0) != 0;
        if (ipp_attribute_t* a =
                ippFindAttribute(response, "printer-state-message", IPP_TAG_TEXT)) {
            const char* message = ippGetString(a, 0, nullptr);
            if (message && *message && !SaidByAJob(http, message))
                state.Message = FromUtf8(message);
        }
    }
    ippDelete(response);
    return state;
}

std::string WithMessage(std::string text, const std::string& message)
{
    return message.empty() ? text : text + ": " + message;
}

struct TJobState : TJobAnswer {
    bool Known = false;
    bool Gone = false;
};

TJobState QueryJob(http_t* http, int job)
{
    ipp_t* request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr,
                 SchedulerUri("/jobs/" + std::to_string(job)).c_str());
    AskFor(request, {"job-state", "job-state-reasons", "job-printer-state-message",
                     "job-cancel-after", "time-at-processing", "time-at-completed"});
    ipp_t* response = cupsDoRequest(http, request, "/");
    TJobState state;
    state.State = IPP_JSTATE_PENDING;
    if (cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND)
        state.Gone = true;
    if (response && cupsLastError() <= IPP_STATUS_OK_CONFLICTING) {
        if (ipp_attribute_t* a = ippFindAttribute(response, "job-state", IPP_TAG_ENUM)) {
            state.Known = true;
            state.State = ippGetInteger(a, 0);
        }
        if (ipp_attribute_t* a =
                ippFindAttribute(response, "job-printer-state-message", IPP_TAG_TEXT))
            state.Message = ippGetString(a, 0, nullptr);
        if (ipp_attribute_t* a = ippFindAttribute(response, "job-state-reasons", IPP_TAG_KEYWORD))
            for (int i = 0; i < ippGetCount(a); ++i)
                state.Reasons.emplace_back(ippGetString(a, i, nullptr));
        for (const auto& [name, value] : {std::pair{"job-cancel-after", &state.CancelAfter},
                                          {"time-at-processing", &state.Processing},
                                          {"time-at-completed", &state.Completed}})
            if (ipp_attribute_t* a = ippFindAttribute(response, name, IPP_TAG_INTEGER))
                *value = ippGetInteger(a, 0);
    }
    ippDelete(response);
    return state;
}

// The file under that name now: its inode and change time, or nothing.
struct TFileStamp {
    bool Exists = false;
    ino_t Inode = 0;
    timespec Changed{};
    bool operator==(const TFileStamp& o) const
    {
        return Exists == o.Exists && Inode == o.Inode && Changed.tv_sec == o.Changed.tv_sec &&
               Changed.tv_nsec == o.Changed.tv_nsec;
    }
};

TFileStamp Stamp(const std::string& path)
{
    struct stat st;
    TFileStamp stamp;
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        stamp.Exists = true;
        stamp.Inode = st.st_ino;
        stamp.Changed = st.st_ctim;
    }
    return stamp;
}

TShellResult Result(TShellOutcome outcome, std::string text)
{
    TShellResult r;
    r.Outcome = outcome;
    r.Text = std::move(text);
    return r;
}

} // namespace

std::string JobEndWords(const TJobAnswer& s, const std::string& backend, const std::string& title)
{
    // A cancel stops the filters too, and the backend then says nothing
    // (it asks the scheduler whether its job was ended): a cancelled job
    // without the backend's words is no fault of the document's. Until
    // the job's programs have stopped its reasons say only that it is
    // stopping, not by whom, so the words rest on its times, which are
    // given at the cancel. The scheduler ends a job at its limit as a
    // user's cancel is ended, and gives its times in whole seconds: only a
    // job that ran longer than the limit surely met it, and one that ran
    // as long may have been cancelled by hand in its last second. A
    // backend that could not learn whether its job was ended blamed
    // nothing: its words stand where the job's do not tell more.
    const bool byUser =
        std::find(s.Reasons.begin(), s.Reasons.end(), "job-canceled-by-user") != s.Reasons.end();
    const bool unknown = backend == UnknownEndReason(title);
    if (s.State == IPP_JSTATE_CANCELED && (byUser || backend.empty() || unknown)) {
        const int ran =
            s.Processing > 0 && s.Completed >= s.Processing ? s.Completed - s.Processing : -1;
        const int limit = s.CancelAfter;
        if (limit > 0 && ran > limit)
            return FromUtf8(title) + " ran past the fax printer's " + std::to_string(limit) +
                   " s limit, and its job was cancelled";
        if (limit > 0 && ran == limit)
            return "the fax printer's job was cancelled after " + std::to_string(ran) +
                   " s; the fax printer ends jobs at " + std::to_string(limit) + " s";
        if (unknown && !byUser)
            return FromUtf8(backend);
        return "the fax printer's job was cancelled";
    }
    // The backend's own words come first; when it only saw no pages while
    // a filter had the last word, the document could not be rendered at
    // all. Filters' messages name CUPS's spool file and carry debug lines,
    // so they are never passed on.
    if (!backend.empty() && (backend != NoPagesReason(title) || s.Message == backend))
        return FromUtf8(backend);
    return "the print service could not render " + FromUtf8(title) +
           " (a damaged document, or one of a kind it cannot print)";
}

namespace {

// Sends the document to the job that was made for it; `digest` is that of
// the bytes that went.
bool SendDocument(http_t* http, int job, int fd, const std::string& title, std::string& digest,
                  std::string& why)
{
    if (cupsStartDocument(http, kQueueName, job, title.c_str(), CUPS_FORMAT_AUTO, 1) !=
        HTTP_STATUS_CONTINUE) {
        why = LastCupsError();
        return false;
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    std::vector<char> buffer(65536);
    bool sent = true;
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const std::string error = std::strerror(errno);
            why = "cannot read " + FromUtf8(title) + ": " + error;
            sent = false;
            break;
        }
        if (n == 0)
            break;
        hash.addData(QByteArrayView(buffer.data(), n));
        if (cupsWriteRequestData(http, buffer.data(), static_cast<size_t>(n)) !=
            HTTP_STATUS_CONTINUE) {
            why = LastCupsError();
            sent = false;
            break;
        }
    }
    if (cupsFinishDocument(http, kQueueName) != IPP_STATUS_OK && sent) {
        why = LastCupsError();
        sent = false;
    }
    digest = hash.result().toHex().toStdString();
    return sent;
}

// What CUPS itself puts among a job's options.
bool IsBookkeeping(const std::string& name)
{
    static const std::set<std::string> names = {"job-uuid",
                                                "job-originating-host-name",
                                                "date-time-at-creation",
                                                "time-at-creation",
                                                "date-time-at-processing",
                                                "time-at-processing",
                                                "date-time-at-completed",
                                                "time-at-completed",
                                                "document-name-supplied"};
    return names.count(name) != 0;
}

} // namespace

TFd::~TFd()
{
    if (Fd_ >= 0)
        ::close(Fd_);
}

TFd::TFd(TFd&& o) noexcept : Fd_(std::exchange(o.Fd_, -1)) {}

TFd& TFd::operator=(TFd&& o) noexcept
{
    std::swap(Fd_, o.Fd_);
    return *this;
}

std::string Folder()
{
    const char* dir = std::getenv("SKIPMAIL_PRINTFAX_DIR");
    return dir && *dir ? dir : kDefaultFolder;
}

std::string UserFolder(const std::string& user)
{
    return Folder() + "/" + kUsersFolder + "/" + user;
}

bool IsPlainName(const std::string& name)
{
    return !name.empty() && name != "." && name != ".." &&
           name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}

bool IsRequestHandle(const std::string& handle)
{
    const std::string prefix = kRequestPrefix;
    return handle.size() == prefix.size() + 6 && handle.compare(0, prefix.size(), prefix) == 0 &&
           std::all_of(handle.begin() + static_cast<std::ptrdiff_t>(prefix.size()), handle.end(),
                       [](unsigned char c) { return std::isalnum(c) != 0; });
}

std::string NoPagesReason(const std::string& title)
{
    return (title.empty() ? std::string("the document") : title) + " gave no pages";
}

std::string UnknownEndReason(const std::string& title)
{
    return "the pages of " + (title.empty() ? std::string("the document") : title) +
           " stopped before their end, and the print service did not say whether its job was "
           "cancelled";
}

void WriteShellSettings(const std::string& path, const TShellSettings& settings)
{
    for (const std::string* value : {&settings.ShellName, &settings.ShellHandle})
        if (value->find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
            throw std::system_error(EINVAL, std::generic_category(),
                                    "a name with a line break cannot be handed on: " + *value);
    TIniFile ini(path);
    // Quoted, so the name keeps blanks at either end.
    ini.WriteString(kSettingsSection, "ShellName", "\"" + settings.ShellName + "\"");
    ini.WriteString(kSettingsSection, "ShellHandle", settings.ShellHandle);
    ini.WriteString(kSettingsSection, "Resolution", settings.Fine ? "High" : "Normal");
    ini.WriteInteger(kSettingsSection, "Job", settings.Job);
    ini.WriteString(kSettingsSection, "Document", settings.Document);
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", settings.Mode & 0777);
    ini.WriteString(kSettingsSection, "Mode", mode);
    WriteFileAtomic(ini.FileName(), ini.Text(), 0600);
}

TShellSettings ReadShellSettings(const std::string& path)
{
    std::string text;
    return ParseShellSettings(ReadWholeFile(path, text) ? text : std::string());
}

TShellSettings ParseShellSettings(const std::string& text)
{
    const TIniFile ini(kSettingsFileName, text);
    TShellSettings s;
    s.ShellName = ini.ReadString(kSettingsSection, "ShellName", "");
    s.ShellHandle = ini.ReadString(kSettingsSection, "ShellHandle", "");
    s.Fine =
        strcasecmp(ini.ReadString(kSettingsSection, "Resolution", "High").c_str(), "Normal") != 0;
    s.Job = ini.ReadInteger(kSettingsSection, "Job", 0);
    s.Document = ini.ReadString(kSettingsSection, "Document", "");
    const std::string mode = ini.ReadString(kSettingsSection, "Mode", "");
    char* end = nullptr;
    const unsigned long value = std::strtoul(mode.c_str(), &end, 8);
    // A fax file is no program.
    s.Mode = !mode.empty() && *end == 0 ? static_cast<unsigned>(value) & 0666 : 0600;
    return s;
}

std::vector<std::pair<std::string, std::string>> StationJobOptions(bool fine,
                                                                   const std::string& handle)
{
    // The queue's defaults that shape the pages are set outright, so no
    // other default can change them.
    return {{"Resolution", fine ? "204x196dpi" : "204x98dpi"},
            {"print-scaling", "fit"},
            {"number-up", "1"},
            {"finishings", "3"},
            {"print-color-mode", "monochrome"},
            {kHandleOption, handle}};
}

std::string StrayJobOption(const std::string& jobOptions, const TShellSettings& settings)
{
    cups_option_t* options = nullptr;
    const int count = cupsParseOptions(jobOptions.c_str(), 0, &options);
    const auto wanted = StationJobOptions(settings.Fine, settings.ShellHandle);
    std::string stray;
    for (int i = 0; i < count && stray.empty(); ++i) {
        const std::string name = options[i].name, value = options[i].value;
        const auto own = std::find_if(wanted.begin(), wanted.end(),
                                      [&](const auto& o) { return o.first == name; });
        if (own == wanted.end() ? !IsBookkeeping(name) : own->second != value)
            stray = name + "=" + value;
    }
    for (const auto& [name, value] : wanted)
        if (stray.empty() && !cupsGetOption(name.c_str(), count, options))
            stray = "no " + name;
    cupsFreeOptions(count, options);
    return stray;
}

std::string DigestOf(int fd, std::string& why)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    std::vector<char> buffer(65536);
    for (;;) {
        const ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            why = std::strerror(errno);
            return {};
        }
        if (n == 0)
            break;
        hash.addData(QByteArrayView(buffer.data(), n));
    }
    return hash.result().toHex().toStdString();
}

TShellRequest::TShellRequest()
{
    const std::string folder = Folder();
    std::string name = folder + "/" + kRequestPrefix + "XXXXXX";
    // Made 0700 whatever the umask: no other user may read or change it.
    if (!::mkdtemp(name.data()))
        throw std::system_error(errno, std::generic_category(),
                                "cannot make a request in the fax printer folder " + folder);
    Path_ = name;
    Handle_ = name.substr(folder.size() + 1);
    Fd_ = ::open(Path_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (Fd_ < 0 || ::flock(Fd_, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        if (Fd_ >= 0)
            ::close(Fd_);
        ::rmdir(Path_.c_str());
        throw std::system_error(error, std::generic_category(), "cannot hold " + Path_);
    }
}

TShellRequest::~TShellRequest()
{
    RemoveRequestFolder(Path_);
    if (Fd_ >= 0)
        ::close(Fd_);
}

std::string TShellRequest::SettingsPath() const
{
    return Path_ + "/" + kSettingsFileName;
}

void TShellRequest::Write(const TShellSettings& settings) const
{
    WriteShellSettings(SettingsPath(), settings);
}

std::string TShellRequest::BackendReason() const
{
    std::string text;
    if (!ReadWholeFile(Path_ + "/" + kReasonFileName, text))
        return {};
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

void TShellRequest::Abandon()
{
    if (Fd_ >= 0)
        ::close(Fd_);
    Fd_ = -1;
}

void SweepAbandonedRequests()
{
    const std::string folder = Folder();
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return;
    std::vector<std::string> stale;
    const time_t now = ::time(nullptr);
    while (const dirent* e = ::readdir(dir)) {
        struct stat st;
        if (!IsRequestHandle(e->d_name) ||
            ::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
            now - st.st_mtime < kAbandonedAfterSeconds)
            continue;
        const TFd held(
            ::openat(::dirfd(dir), e->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (held.Get() >= 0 && ::flock(held.Get(), LOCK_EX | LOCK_NB) == 0)
            stale.push_back(folder + "/" + e->d_name);
    }
    ::closedir(dir);
    for (const std::string& path : stale)
        RemoveRequestFolder(path);
}

struct TShellJob::TState {
    std::string Document, OutName, Title;
    bool Fine = true;
    int Job = 0;
    std::optional<TFd> Doc;
    std::string Digest;
    std::optional<THttp> Http;
    std::optional<TShellRequest> Request;
    TFileStamp Before;
    // A job made and not yet ended, which goes with the print.
    bool Open = false;
    std::function<bool()> Abort;

    void Cancel()
    {
        if (Open)
            cupsCancelJob2(Http->Get(), kQueueName, Job, 0);
        Open = false;
    }
    TShellResult Fail(TShellOutcome outcome, std::string text)
    {
        Cancel();
        return Result(outcome, std::move(text));
    }
};

TShellJob::TShellJob(std::string document, std::string outName, bool fine)
    : S_(std::make_unique<TState>())
{
    S_->Document = std::move(document);
    S_->OutName = std::move(outName);
    S_->Fine = fine;
    // The job's title and the name every message gives the document.
    S_->Title = QFile::decodeName(QByteArray::fromStdString(S_->Document))
                    .section(QLatin1Char('/'), -1)
                    .toStdString();
}

TShellJob::~TShellJob()
{
    S_->Cancel();
    if (tAsk.Abort == &S_->Abort)
        tAsk.Abort = nullptr;
}

int TShellJob::Job() const
{
    return S_->Job;
}

TShellResult TShellJob::Create(const std::function<bool()>& abort)
{
    TState& s = *S_;
    const std::string title = FromUtf8(s.Title);
    s.Doc.emplace(::open(s.Document.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (s.Doc->Get() < 0 || ::fstat(s.Doc->Get(), &st) != 0) {
        const std::string error = std::strerror(errno);
        return Result(TShellOutcome::soFailed, "cannot read " + title + ": " + error);
    }
    if (st.st_size == 0)
        return Result(TShellOutcome::soFailed, title + " is empty");
    std::string why;
    s.Digest = DigestOf(s.Doc->Get(), why);
    if (s.Digest.empty() || ::lseek(s.Doc->Get(), 0, SEEK_SET) != 0)
        return Result(TShellOutcome::soFailed,
                      "cannot read " + title + ": " + (why.empty() ? std::strerror(errno) : why));

    // CUPS_SERVER as it is now, not as libcups first saw it.
    cupsSetServer(nullptr);
    cupsSetPasswordCB2(AskPassword, nullptr);
    s.Abort = abort;
    tAsk = TPasswordAsk{};
    tAsk.Abort = &s.Abort;
    s.Http.emplace(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                                30000, nullptr));
    const std::string unreachable = "cannot reach the print service (" + ServerName() + ")";
    if (!s.Http->Get())
        return Result(TShellOutcome::soNoService, unreachable);
    const TPrinterState printer = QueryPrinter(s.Http->Get());
    if (tAsk.Interrupted)
        return Result(TShellOutcome::soAborted, kInterrupted);
    if (!printer.Reached)
        return Result(TShellOutcome::soNoService, unreachable);
    if (!printer.Found)
        return Result(TShellOutcome::soNoPrinter, LastCupsError());
    // A stopped queue would hold the job until an operator starts it.
    if (printer.Stopped)
        return Result(TShellOutcome::soFailed,
                      WithMessage("the fax printer is stopped", printer.Message));
    if (!printer.Accepting)
        return Result(TShellOutcome::soFailed,
                      WithMessage("the fax printer is not accepting jobs", printer.Message));

    SweepAbandonedRequests();
    try {
        s.Request.emplace();
    } catch (const std::system_error& e) {
        return Result(TShellOutcome::soFailed, e.what());
    }
    cups_option_t* options = nullptr;
    int count = 0;
    for (const auto& [name, value] : StationJobOptions(s.Fine, s.Request->Handle()))
        count = cupsAddOption(name.c_str(), value.c_str(), count, &options);
    s.Job = cupsCreateJob(s.Http->Get(), kQueueName, s.Title.c_str(), count, options);
    cupsFreeOptions(count, options);
    if (s.Job <= 0)
        return Result(tAsk.Interrupted ? TShellOutcome::soAborted : TShellOutcome::soFailed,
                      tAsk.Interrupted ? kInterrupted : LastCupsError());
    s.Open = true;

    TShellSettings settings;
    settings.ShellName = s.OutName;
    settings.ShellHandle = s.Request->Handle();
    settings.Fine = s.Fine;
    settings.Job = s.Job;
    settings.Document = s.Digest;
    settings.Mode = NewFileMode();
    try {
        s.Request->Write(settings);
    } catch (const std::system_error& e) {
        return s.Fail(TShellOutcome::soFailed, e.what());
    }
    s.Before = Stamp(s.OutName);
    return Result(TShellOutcome::soDone, "");
}

TShellResult TShellJob::Send()
{
    TState& s = *S_;
    std::string why, digest;
    if (!SendDocument(s.Http->Get(), s.Job, s.Doc->Get(), s.Title, digest, why))
        return tAsk.Interrupted ? s.Fail(TShellOutcome::soAborted, kInterrupted)
                                : s.Fail(TShellOutcome::soFailed, why);
    // The request names what was read first; the backend prints only that.
    if (digest != s.Digest)
        return s.Fail(TShellOutcome::soFailed, FromUtf8(s.Title) + " changed while it was sent");
    return Result(TShellOutcome::soDone, "");
}

TShellResult TShellJob::Wait(TClock::time_point deadline, const std::function<bool()>& abort)
{
    TState& s = *S_;
    http_t* http = s.Http->Get();
    std::optional<TClock::time_point> stopping;
    const auto finished = [&](const TJobState& j, TShellResult& result) {
        if (j.Gone) {
            s.Open = false;
            result = Result(TShellOutcome::soFailed, "the fax printer's job is gone");
            return true;
        }
        if (!j.Known)
            return false;
        if (j.State < IPP_JSTATE_STOPPED) {
            if (j.State == IPP_JSTATE_PROCESSING)
                return false;
            // Waiting in a queue that has been stopped since.
            const TPrinterState now = QueryPrinter(http);
            if (!now.Stopped)
                return false;
            result = s.Fail(TShellOutcome::soFailed,
                            WithMessage("the fax printer is stopped", now.Message));
            return true;
        }
        if (j.State == IPP_JSTATE_COMPLETED) {
            s.Open = false;
            const TFileStamp after = Stamp(s.OutName);
            result = after.Exists && !(after == s.Before)
                         ? Result(TShellOutcome::soDone, "")
                         : Result(TShellOutcome::soFailed, "the fax printer wrote no " + s.OutName);
            return true;
        }
        // A job that ran is said by how long: should the scheduler not yet
        // give when it ended, it is asked again, for a while.
        if (j.State != IPP_JSTATE_STOPPED && j.Processing > 0 && j.Completed == 0) {
            if (!stopping)
                stopping = TClock::now() + std::chrono::seconds(10);
            if (TClock::now() < *stopping)
                return false;
        }
        // A stopped job would wait in the queue for an operator.
        if (j.State == IPP_JSTATE_STOPPED)
            s.Cancel();
        s.Open = false;
        result =
            Result(TShellOutcome::soFailed, JobEndWords(j, s.Request->BackendReason(), s.Title));
        return true;
    };
    TShellResult result;
    TJobState last;
    while (TClock::now() < deadline) {
        last = QueryJob(http, s.Job);
        if (finished(last, result))
            return result;
        if (abort && abort())
            return s.Fail(TShellOutcome::soAborted, kInterrupted);
        Breathe();
    }
    s.Cancel();
    // It may have ended just before the cancel.
    const TJobState now = QueryJob(http, s.Job);
    if (now.Known && now.State == IPP_JSTATE_COMPLETED && finished(now, result))
        return result;
    // Still waiting for its turn, another job had the fax printer all the
    // time.
    std::string why = "the fax printer did not finish " + FromUtf8(s.Title) + " in time";
    if (last.Known && last.State == IPP_JSTATE_PENDING)
        why = "the fax printer was busy with another job";
    else if (last.Known && last.State == IPP_JSTATE_HELD)
        why = "the fax printer's job was held";
    return Result(TShellOutcome::soTimedOut, why);
}

TShellResult PrintToFaxFile(const std::string& document, const std::string& outName, bool fine,
                            int timeoutMs, const std::function<bool()>& abort)
{
    const TClock::time_point deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
    TShellJob job(document, outName, fine);
    TShellResult result = job.Create(abort);
    if (result.Outcome == TShellOutcome::soDone)
        result = job.Send();
    if (result.Outcome == TShellOutcome::soDone)
        result = job.Wait(deadline, abort);
    return result;
}

} // namespace FaxPrinter
