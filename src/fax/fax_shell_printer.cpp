#include "fax/fax_shell_printer.h"

#include "platform/atomic_file.h"
#include "platform/profile.h"
#include "platform/text.h"

#include <QCoreApplication>
#include <QFile>
#include <QThread>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <cups/cups.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace FaxPrinter {

namespace {

using TClock = std::chrono::steady_clock;

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

// The folder's lock, held while it lives.
class TFolderLock {
public:
    explicit TFolderLock(const std::string& folder)
        : Fd_(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
    }
    ~TFolderLock()
    {
        if (Fd_ >= 0)
            ::close(Fd_);
    }
    TFolderLock(const TFolderLock&) = delete;
    TFolderLock& operator=(const TFolderLock&) = delete;
    bool Opened() const { return Fd_ >= 0; }
    bool TryLock() { return ::flock(Fd_, LOCK_EX | LOCK_NB) == 0; }

private:
    int Fd_;
};

// A short wait that keeps the GUI thread's events going.
void Breathe()
{
    auto* app = QCoreApplication::instance();
    if (app && QThread::currentThread() == app->thread())
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(20);
}

std::string FromUtf8(const char* text)
{
    return text ? FromQt(QString::fromUtf8(text)) : std::string();
}

std::string LastCupsError()
{
    return FromUtf8(cupsLastErrorString());
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
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                     "/jobs/%d", job);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    static const char* const kWanted[] = {"job-state", "job-printer-state-message"};
    ippAddStrings(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", 2, nullptr,
                  kWanted);
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
            state.Message = FromUtf8(ippGetString(a, 0, nullptr));
    }
    ippDelete(response);
    return state;
}

std::string StateWord(ipp_jstate_t state)
{
    switch (state) {
    case IPP_JSTATE_STOPPED:
        return "stopped";
    case IPP_JSTATE_CANCELED:
        return "cancelled";
    case IPP_JSTATE_ABORTED:
        return "aborted";
    default:
        return "ended";
    }
}

std::string NewHandle()
{
    static std::atomic<unsigned> counter{0};
    return std::to_string(::getpid()) + "-" +
           std::to_string(TClock::now().time_since_epoch().count()) + "-" +
           std::to_string(++counter);
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

std::string Folder()
{
    const char* dir = std::getenv("SKIPMAIL_PRINTFAX_DIR");
    return dir && *dir ? dir : kDefaultFolder;
}

std::string SettingsPath()
{
    return Folder() + "/" + kSettingsFileName;
}

void WriteShellSettings(const TShellSettings& settings)
{
    for (const std::string* value : {&settings.ShellName, &settings.ShellHandle})
        if (value->find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
            throw std::system_error(EINVAL, std::generic_category(),
                                    "a name with a line break cannot be handed on: " + *value);
    TIniFile ini(SettingsPath());
    // Quoted, so the name keeps blanks at either end.
    ini.WriteString(kSettingsSection, "ShellName", "\"" + settings.ShellName + "\"");
    ini.WriteString(kSettingsSection, "ShellHandle", settings.ShellHandle);
    ini.WriteString(kSettingsSection, "Resolution", settings.Fine ? "High" : "Normal");
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
    return s;
}

TShellResult PrintToFaxFile(const std::string& document, const std::string& outName, bool fine,
                            int timeoutMs)
{
    const TClock::time_point deadline = TClock::now() + std::chrono::milliseconds(timeoutMs);
    // CUPS_SERVER as it is now, not as libcups first saw it.
    cupsSetServer(nullptr);
    THttp http(httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1, 30000,
                            nullptr));
    if (!http.Get())
        return Result(TShellOutcome::soNoPrinter, LastCupsError());
    cups_dest_t* dest = cupsGetNamedDest(http.Get(), kQueueName, nullptr);
    if (!dest)
        return Result(TShellOutcome::soNoPrinter, LastCupsError());
    cupsFreeDests(1, dest);

    const std::string folder = Folder();
    TFolderLock lock(folder);
    if (!lock.Opened())
        return Result(TShellOutcome::soFailed,
                      "cannot open the fax printer folder " + folder + ": " + std::strerror(errno));
    while (!lock.TryLock()) {
        if (TClock::now() >= deadline)
            return Result(TShellOutcome::soTimedOut, "the fax printer is busy");
        Breathe();
    }

    TShellSettings settings;
    settings.ShellName = outName;
    settings.ShellHandle = NewHandle();
    settings.Fine = fine;
    try {
        WriteShellSettings(settings);
    } catch (const std::system_error& e) {
        return Result(TShellOutcome::soFailed, e.what());
    }

    const TFileStamp before = Stamp(outName);
    cups_option_t* options = nullptr;
    int count = cupsAddOption("Resolution", fine ? "204x196dpi" : "204x98dpi", 0, &options);
    count = cupsAddOption(kHandleOption, settings.ShellHandle.c_str(), count, &options);
    const QByteArray title = QFile::decodeName(QByteArray::fromStdString(document))
                                 .section(QLatin1Char('/'), -1)
                                 .toUtf8();
    const int job =
        cupsPrintFile2(http.Get(), kQueueName, document.c_str(), title.constData(), count, options);
    cupsFreeOptions(count, options);
    if (job <= 0)
        return Result(TShellOutcome::soFailed, LastCupsError());

    const auto finished = [&](const TJobState& s, TShellResult& result) {
        if (s.Gone) {
            result = Result(TShellOutcome::soFailed, "the fax printer's job is gone");
            return true;
        }
        if (!s.Known || s.State < IPP_JSTATE_STOPPED)
            return false;
        if (s.State == IPP_JSTATE_COMPLETED) {
            const TFileStamp after = Stamp(outName);
            result = after.Exists && !(after == before)
                         ? Result(TShellOutcome::soDone, "")
                         : Result(TShellOutcome::soFailed, "the fax printer wrote no " + outName);
            return true;
        }
        // A stopped job would wait in the queue for an operator.
        if (s.State == IPP_JSTATE_STOPPED)
            cupsCancelJob2(http.Get(), kQueueName, job, 0);
        result =
            Result(TShellOutcome::soFailed,
                   s.Message.empty() ? "the fax printer's job " + StateWord(s.State) : s.Message);
        return true;
    };
    TShellResult result;
    while (TClock::now() < deadline) {
        if (finished(QueryJob(http.Get(), job), result))
            return result;
        Breathe();
    }
    cupsCancelJob2(http.Get(), kQueueName, job, 0);
    // It may have ended just before the cancel.
    const TJobState last = QueryJob(http.Get(), job);
    if (last.Known && last.State == IPP_JSTATE_COMPLETED && finished(last, result))
        return result;
    return Result(TShellOutcome::soTimedOut, "the fax printer did not answer");
}

} // namespace FaxPrinter
