#include "fax/fax_shell_printer.h"

#include "platform/atomic_file.h"
#include "platform/profile.h"
#include "platform/text.h"

#include <QCoreApplication>
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
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace FaxPrinter {

namespace {

using TClock = std::chrono::steady_clock;

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

class TFd {
public:
    explicit TFd(int fd) : Fd_(fd) {}
    ~TFd()
    {
        if (Fd_ >= 0)
            ::close(Fd_);
    }
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    int Get() const { return Fd_; }

private:
    int Fd_;
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

std::string LastCupsError()
{
    return FromUtf8(cupsLastErrorString());
}

std::string Attribute(ipp_t* response, const char* name, ipp_tag_t tag)
{
    ipp_attribute_t* a = ippFindAttribute(response, name, tag);
    return a ? FromUtf8(ippGetString(a, 0, nullptr)) : std::string();
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
        state.Message = Attribute(response, "printer-state-message", IPP_TAG_TEXT);
    }
    ippDelete(response);
    return state;
}

std::string WithMessage(std::string text, const std::string& message)
{
    return message.empty() ? text : text + ": " + message;
}

struct TJobState {
    bool Known = false;
    bool Gone = false;
    ipp_jstate_t State = IPP_JSTATE_PENDING;
    std::string Message;
};

TJobState QueryJob(http_t* http, int job)
{
    ipp_t* request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr,
                 SchedulerUri("/jobs/" + std::to_string(job)).c_str());
    AskFor(request, {"job-state", "job-printer-state-message"});
    ipp_t* response = cupsDoRequest(http, request, "/");
    TJobState state;
    if (cupsLastError() == IPP_STATUS_ERROR_NOT_FOUND)
        state.Gone = true;
    if (response && cupsLastError() <= IPP_STATUS_OK_CONFLICTING) {
        if (ipp_attribute_t* a = ippFindAttribute(response, "job-state", IPP_TAG_ENUM)) {
            state.Known = true;
            state.State = static_cast<ipp_jstate_t>(ippGetInteger(a, 0));
        }
        if (ipp_attribute_t* a =
                ippFindAttribute(response, "job-printer-state-message", IPP_TAG_TEXT))
            state.Message = ippGetString(a, 0, nullptr);
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

// Why a job of ours ended without its file. The backend's own words come
// first; when it only saw no pages while a filter had the last word, the
// document could not be rendered at all. Filters' messages name CUPS's spool
// file and carry debug lines, so they are never passed on.
std::string FailureText(const TJobState& s, const std::string& backend, const std::string& title)
{
    if (!backend.empty() && (backend != NoPagesReason(title) || s.Message == backend))
        return FromUtf8(backend);
    if (backend.empty() && s.State == IPP_JSTATE_CANCELED)
        return "the fax printer's job was cancelled";
    return "the print service could not render " + FromUtf8(title) +
           " (a damaged document, or one of a kind it cannot print)";
}

// Sends the document to the job that was made for it.
bool SendDocument(http_t* http, int job, int fd, const std::string& title, std::string& why)
{
    if (cupsStartDocument(http, kQueueName, job, title.c_str(), CUPS_FORMAT_AUTO, 1) !=
        HTTP_STATUS_CONTINUE) {
        why = LastCupsError();
        return false;
    }
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
    return sent;
}

} // namespace

std::string Folder()
{
    const char* dir = std::getenv("SKIPMAIL_PRINTFAX_DIR");
    return dir && *dir ? dir : kDefaultFolder;
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
    WriteFileAtomic(ini.FileName(), ini.Text(), 0600);
}

TShellSettings ReadShellSettings(const std::string& path)
{
    const TIniFile ini(path);
    TShellSettings s;
    s.ShellName = ini.ReadString(kSettingsSection, "ShellName", "");
    s.ShellHandle = ini.ReadString(kSettingsSection, "ShellHandle", "");
    s.Fine =
        strcasecmp(ini.ReadString(kSettingsSection, "Resolution", "High").c_str(), "Normal") != 0;
    s.Job = ini.ReadInteger(kSettingsSection, "Job", 0);
    return s;
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

TShellResult PrintToFaxFile(const std::string& document, const std::string& outName, bool fine,
                            int timeoutMs, const std::function<bool()>& abort)
{
    const TClock::time_point deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
    // The job's title and the name every message gives the document.
    const std::string title = QFile::decodeName(QByteArray::fromStdString(document))
                                  .section(QLatin1Char('/'), -1)
                                  .toStdString();
    const TFd doc(::open(document.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (doc.Get() < 0 || ::fstat(doc.Get(), &st) != 0) {
        const std::string error = std::strerror(errno);
        return Result(TShellOutcome::soFailed, "cannot read " + FromUtf8(title) + ": " + error);
    }
    if (st.st_size == 0)
        return Result(TShellOutcome::soFailed, FromUtf8(title) + " is empty");

    // CUPS_SERVER as it is now, not as libcups first saw it.
    cupsSetServer(nullptr);
    const std::string server = FromUtf8(cupsServer());
    THttp http(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, 30000,
                            nullptr));
    const std::string unreachable = "cannot reach the print service (" + server + ")";
    if (!http.Get())
        return Result(TShellOutcome::soNoService, unreachable);
    const TPrinterState printer = QueryPrinter(http.Get());
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
    std::optional<TShellRequest> request;
    try {
        request.emplace();
    } catch (const std::system_error& e) {
        return Result(TShellOutcome::soFailed, e.what());
    }
    cups_option_t* options = nullptr;
    int count = cupsAddOption("Resolution", fine ? "204x196dpi" : "204x98dpi", 0, &options);
    count = cupsAddOption("print-scaling", "fit", count, &options);
    count = cupsAddOption(kHandleOption, request->Handle().c_str(), count, &options);
    const int job = cupsCreateJob(http.Get(), kQueueName, title.c_str(), count, options);
    cupsFreeOptions(count, options);
    if (job <= 0)
        return Result(TShellOutcome::soFailed, LastCupsError());
    const auto cancel = [&] { cupsCancelJob2(http.Get(), kQueueName, job, 0); };

    TShellSettings settings;
    settings.ShellName = outName;
    settings.ShellHandle = request->Handle();
    settings.Fine = fine;
    settings.Job = job;
    try {
        request->Write(settings);
    } catch (const std::system_error& e) {
        cancel();
        return Result(TShellOutcome::soFailed, e.what());
    }
    const TFileStamp before = Stamp(outName);
    std::string why;
    if (!SendDocument(http.Get(), job, doc.Get(), title, why)) {
        cancel();
        return Result(TShellOutcome::soFailed, why);
    }

    const auto finished = [&](const TJobState& s, TShellResult& result) {
        if (s.Gone) {
            result = Result(TShellOutcome::soFailed, "the fax printer's job is gone");
            return true;
        }
        if (!s.Known)
            return false;
        if (s.State < IPP_JSTATE_STOPPED) {
            if (s.State == IPP_JSTATE_PROCESSING)
                return false;
            // Waiting in a queue that has been stopped since.
            const TPrinterState now = QueryPrinter(http.Get());
            if (!now.Stopped)
                return false;
            cancel();
            result = Result(TShellOutcome::soFailed,
                            WithMessage("the fax printer is stopped", now.Message));
            return true;
        }
        if (s.State == IPP_JSTATE_COMPLETED) {
            const TFileStamp after = Stamp(outName);
            result = after.Exists && !(after == before)
                         ? Result(TShellOutcome::soDone, "")
                         : Result(TShellOutcome::soFailed, "the fax printer wrote no " + outName);
            return true;
        }
        // A stopped job would wait in the queue for an operator.
        if (s.State == IPP_JSTATE_STOPPED)
            cancel();
        result = Result(TShellOutcome::soFailed, FailureText(s, request->BackendReason(), title));
        return true;
    };
    TShellResult result;
    while (TClock::now() < deadline) {
        if (finished(QueryJob(http.Get(), job), result))
            return result;
        if (abort && abort()) {
            cancel();
            return Result(TShellOutcome::soAborted, "the conversion was interrupted");
        }
        Breathe();
    }
    cancel();
    // It may have ended just before the cancel.
    const TJobState last = QueryJob(http.Get(), job);
    if (last.Known && last.State == IPP_JSTATE_COMPLETED && finished(last, result))
        return result;
    return Result(TShellOutcome::soTimedOut, "the fax printer did not answer");
}

} // namespace FaxPrinter
