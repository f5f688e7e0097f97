// The fax printer's CUPS backend: what CUPS's filters render for the queue
// "APF_Fax_Printer" arrives as one-bit raster and is written as an APF fax
// file.
//
//   printfax                                   lists the device
//   printfax JOB USER TITLE COPIES OPTIONS [FILE]
//
// A job that names a request of the station's (fax/fax_shell_printer.h) is
// written under the name, at the resolution and with the mode that the
// request's APFPDENG.INI gives, as the user who made the request, and only
// when that request was made for this job by this job's user, the job holds
// just the document the request names with no option the station did not
// set, and its requester still waits; any other job becomes FAX<job>.APF in
// its user's folder of the fax printer folder, as that user, at the
// resolution it was rendered at, and never replaces a file there: a name
// that is taken gives FAX<job>-1.APF, -2, ... The file appears under its
// name whole or not at all, and the exit code 0 says it is there. A failure
// writes its reason as an ERROR line (the job's state message) and cancels
// the job, so the queue goes on; a job the scheduler has cancelled ends
// without a word, whatever the backend read, and one whose raster stopped
// early while the scheduler could not say (within a few seconds) whether it
// ended the job says so, blaming no document. Every run ends by clearing the
// printer's message. Every job first checks the fax printer folder from "/"
// (fax/fax_printer_folder.h) and writes nothing where another user could
// move it; a job refused there is told what to do, as the install is, and
// a station's requester (not root) reads it in its request, written as
// that user.
//
// Only jobs sent to the queue APF_Fax_Printer itself are written, whose
// operation policy the install vouches for: one that came through a class
// holding it, or from another queue on this device, is refused before
// anything is written, its requester told why.
#include "fax/fax_printer_folder.h"
#include "fax/fax_raster_input.h"
#include "fax/fax_shell_printer.h"
#include "platform/atomic_file.h"
#include "serial/ad_except.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <cups/backend.h>
#include <cups/cups.h>
#include <fcntl.h>
#include <grp.h>
#include <optional>
#include <poll.h>
#include <pwd.h>
#include <string>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

namespace {

volatile std::sig_atomic_t gStop = 0;

void OnTerminate(int)
{
    gStop = 1;
}

// The job keeps its last message; the printer's, which every user sees as
// its state, is cleared.
int End(int code)
{
    std::fputs("INFO: \n", stderr);
    return code;
}

int Fail(const std::string& reason)
{
    std::fprintf(stderr, "ERROR: %s\n", reason.c_str());
    return End(CUPS_BACKEND_CANCEL);
}

struct TUser {
    std::string Name;
    uid_t Uid = 0;
    gid_t Gid = 0;
};

std::optional<TUser> UserOf(const passwd* p)
{
    if (!p)
        return std::nullopt;
    return TUser{p->pw_name, p->pw_uid, p->pw_gid};
}

// Takes the user's identity (and groups) when running as root; true when
// that is done or there is nothing to change.
bool Become(const TUser& user, std::string& why)
{
    if (::geteuid() != 0 || user.Uid == 0)
        return true;
    if (::initgroups(user.Name.c_str(), user.Gid) != 0 || ::setgid(user.Gid) != 0 ||
        ::setuid(user.Uid) != 0) {
        why = "cannot become " + user.Name + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// The station writes a few lines there: a larger file is none of the
// station's, and is not read whole as root.
constexpr size_t kMaxSettingsBytes = 64 * 1024;

// The settings in the open file `fd` of `size` bytes, never read past the
// cap even when the file grows meanwhile; false with `why` otherwise.
bool ReadSettings(int fd, off_t size, const std::string& handle,
                  FaxPrinter::TShellSettings& settings, std::string& why)
{
    const std::string tooLarge = "the request " + handle + " holds settings of more than " +
                                 std::to_string(kMaxSettingsBytes) + " bytes";
    if (size > static_cast<off_t>(kMaxSettingsBytes)) {
        why = tooLarge;
        return false;
    }
    std::string text;
    if (!ReadAtMost(fd, kMaxSettingsBytes, text)) {
        why = errno == EFBIG ? tooLarge
                             : "cannot read the settings of the request " + handle + ": " +
                                   std::strerror(errno);
        return false;
    }
    settings = FaxPrinter::ParseShellSettings(text);
    return true;
}

// A request of the station's, reached through the one descriptor of its
// folder opened here in the checked fax printer folder, never through a
// link, so the owner named below is the writer of what is read.
class TStationRequest {
public:
    ~TStationRequest()
    {
        if (Fd_ >= 0)
            ::close(Fd_);
    }

    // The request `handle` when it was made for this job by this job's user;
    // false with `why` otherwise.
    bool Open(int folder, const std::string& folderPath, const std::string& handle,
              const std::string& job, const std::string& jobUser, std::string& why)
    {
        if (!FaxPrinter::IsRequestHandle(handle)) {
            why = "the job names no request of the station's";
            return false;
        }
        Folder_ = folder;
        Handle_ = handle;
        Path_ = folderPath + "/" + handle;
        Fd_ = ::openat(folder, handle.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (Fd_ < 0) {
            why = errno == ENOENT ? "the request " + handle + " is gone: served or given up"
                                  : "cannot open " + Path_ + ": " + std::strerror(errno);
            return false;
        }
        struct stat st;
        if (::fstat(Fd_, &st) != 0 || (st.st_mode & 077) != 0) {
            why = Path_ + " is open to other users";
            return false;
        }
        const std::optional<TUser> owner = UserOf(::getpwuid(st.st_uid));
        if (!owner) {
            why = "the owner of " + Path_ + " is no user";
            return false;
        }
        if (owner->Name != jobUser) {
            why = "the request " + handle + " is not " + jobUser + "'s";
            return false;
        }
        Owner_ = *owner;
        const int ini = ::openat(Fd_, FaxPrinter::kSettingsFileName,
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        struct stat is;
        const bool own =
            ini >= 0 && ::fstat(ini, &is) == 0 && S_ISREG(is.st_mode) && is.st_uid == st.st_uid;
        const bool read = own && ReadSettings(ini, is.st_size, handle, Settings_, why);
        if (ini >= 0)
            ::close(ini);
        if (!own) {
            why = "the request " + handle + " holds no settings of its owner's";
            return false;
        }
        if (!read) {
            Refused_ = true;
            return false;
        }
        if (Settings_.ShellHandle != handle || std::to_string(Settings_.Job) != job) {
            why = "the request " + handle + " is another job's";
            return false;
        }
        if (Settings_.ShellName.empty() || Settings_.ShellName[0] != '/') {
            why = "the request " + handle + " names no whole file name";
            return false;
        }
        return true;
    }

    const TUser& Owner() const { return Owner_; }
    // Open failed on settings of the job user's own request: its requester
    // is told why.
    bool Refused() const { return Refused_; }
    const FaxPrinter::TShellSettings& Settings() const { return Settings_; }

    // Served once: no other run of a backend finds it again.
    void Take() { ::unlinkat(Fd_, FaxPrinter::kSettingsFileName, 0); }

    // The requester holds its folder's lock while it waits for the job.
    bool RequesterWaits() const
    {
        if (::flock(Fd_, LOCK_SH | LOCK_NB) != 0)
            return errno == EWOULDBLOCK;
        ::flock(Fd_, LOCK_UN);
        return false;
    }

    // The reason the station reads, whatever message CUPS shows last.
    void Tell(const std::string& reason) const
    {
        const int fd = ::openat(Fd_, FaxPrinter::kReasonFileName,
                                O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0)
            return;
        const std::string line = reason + "\n";
        [[maybe_unused]] const ssize_t n = ::write(fd, line.data(), line.size());
        ::close(fd);
    }

    // A request given up on: nobody will remove it otherwise.
    void Remove() const
    {
        ::unlinkat(Fd_, FaxPrinter::kReasonFileName, 0);
        ::unlinkat(Folder_, Handle_.c_str(), AT_REMOVEDIR);
    }

private:
    int Fd_ = -1;
    int Folder_ = -1;
    std::string Handle_;
    std::string Path_;
    TUser Owner_;
    FaxPrinter::TShellSettings Settings_;
    bool Refused_ = false;
};

using FaxPrinter::TFd;

// A refusal of the fax printer folder's at job time, with what to do.
std::string Said(const FaxPrinter::TRefusal& refusal)
{
    return refusal.Todo.empty() ? refusal.What : refusal.What + ". " + refusal.Todo;
}

// Tells the station's requester why its job was refused before root held
// any folder: as the job's user, never as root, through the names that
// user reaches, so it writes nothing that user could not. Its request must
// be this job's and that user's, as when it is served.
void TellAsTheUser(const std::string& folderPath, const std::string& handle, const std::string& job,
                   const std::string& jobUser, const std::string& why)
{
    const std::optional<TUser> user = UserOf(::getpwnam(jobUser.c_str()));
    std::string ignored;
    if (handle.empty() || !user || user->Uid == 0 || !Become(*user, ignored))
        return;
    const TFd folder(::open(folderPath.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    TStationRequest request;
    if (folder.Get() >= 0 && request.Open(folder.Get(), folderPath, handle, job, jobUser, ignored))
        request.Tell(why);
}

// Empty for a job sent to the fax printer's own queue, whose policy the
// install vouches for; else why it is refused. A class that holds the
// queue, or another queue on this device, may take a job from any user in
// another user's name.
std::string NotVouchedFor()
{
    const char* viaClass = std::getenv("CLASS");
    const char* queue = std::getenv("PRINTER");
    const std::string why =
        std::string(": only its own queue keeps each job its user's. Print to ") +
        FaxPrinter::kQueueName + " itself.";
    if (viaClass && *viaClass)
        return "the fax printer writes no job that came through a class (this one came through " +
               std::string(viaClass) + ")" + why;
    if (queue && *queue && std::strcmp(queue, FaxPrinter::kQueueName) != 0)
        return "the fax printer writes no job of another queue (this one came from " +
               std::string(queue) + ")" + why;
    return "";
}

// The job's documents as CUPS keeps them while it runs ("d<job>-<n>" in its
// spool folder, root's): opened while the backend is root.
struct TSpooled {
    TFd First;
    bool More = false;
    std::string Error;
};

TSpooled SpooledDocuments(const std::string& job)
{
    TSpooled docs;
    const char* root = std::getenv("CUPS_REQUESTROOT");
    if (!root || !*root || job.empty() ||
        job.find_first_not_of("0123456789") != std::string::npos) {
        docs.Error = "the job's documents cannot be found";
        return docs;
    }
    const auto name = [&](int n) {
        char file[64];
        std::snprintf(file, sizeof file, "/d%05d-%03d", std::atoi(job.c_str()), n);
        return std::string(root) + file;
    };
    docs.First = TFd(::open(name(1).c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (docs.First.Get() < 0)
        docs.Error = "cannot read the job's document: " + std::string(std::strerror(errno));
    struct stat st;
    docs.More = ::lstat(name(2).c_str(), &st) == 0;
    return docs;
}

// What the request's owner sent, and nothing else: one copy of its one
// document, with the station's options.
bool AsSent(const FaxPrinter::TShellSettings& settings, TSpooled& docs, const std::string& copies,
            const std::string& options, std::string& why)
{
    if (!docs.Error.empty()) {
        why = docs.Error;
        return false;
    }
    if (docs.More) {
        why = "the job holds a document besides the one the station sent";
        return false;
    }
    if (copies != "1") {
        why = "the job asks for " + copies + " copies";
        return false;
    }
    if (const std::string stray = FaxPrinter::StrayJobOption(options, settings); !stray.empty()) {
        why = "the job's options were changed (" + stray + ")";
        return false;
    }
    std::string error;
    const std::string digest = FaxPrinter::DigestOf(docs.First.Get(), error);
    if (digest.empty()) {
        why = "cannot read the job's document: " + error;
        return false;
    }
    if (digest != settings.Document) {
        why = "the job's document is not the one the station sent";
        return false;
    }
    return true;
}

// The folder of `user`'s own jobs in the checked fax printer folder
// `folder`, made by root for that user alone where it is missing; users/
// above it is root's, so nobody else can put a name there. (Run by hand as
// another user, the backend can write only as that user, and takes that
// user's folders as it would root's.)
bool OpenUserFolder(int folder, const std::string& folderPath, const TUser& user, std::string& why)
{
    if (!FaxPrinter::IsPlainName(user.Name)) {
        why = "no folder can be named after the user " + user.Name;
        return false;
    }
    const std::string users = folderPath + "/" + FaxPrinter::kUsersFolder;
    FaxPrinter::TRefusal refusal;
    const TFd top = FaxPrinter::OpenUsersFolder(folder, folderPath, true, refusal);
    if (top.Get() < 0) {
        why = Said(refusal);
        return false;
    }
    struct stat st;
    if (::mkdirat(top.Get(), user.Name.c_str(), 0700) == 0) {
        if (::fchownat(top.Get(), user.Name.c_str(), user.Uid, user.Gid, AT_SYMLINK_NOFOLLOW) !=
            0) {
            why = "cannot give " + users + "/" + user.Name + " to " + user.Name + ": " +
                  std::strerror(errno);
            ::unlinkat(top.Get(), user.Name.c_str(), AT_REMOVEDIR);
            return false;
        }
    } else if (errno != EEXIST) {
        why = "cannot make " + users + "/" + user.Name + ": " + std::strerror(errno);
        return false;
    }
    const std::string own = users + "/" + user.Name;
    if (::fstatat(top.Get(), user.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        why = "cannot check " + own + ": " + std::strerror(errno);
        return false;
    }
    // Only root puts names in users/: one left by an earlier owner of the
    // name, or anything else, is root's to settle.
    if (!S_ISDIR(st.st_mode) || st.st_uid != user.Uid) {
        why = own + " is not " + user.Name + "'s folder. " +
              (S_ISDIR(st.st_mode)
                   ? "Give it to " + user.Name + " (chown -R " + user.Name + " " + own + ")"
                   : "Remove it") +
              " and print again.";
        return false;
    }
    return true;
}

std::string Reason(int rc, const TFaxRasterData& raster, const std::string& out,
                   const std::string& title)
{
    switch (rc) {
    case AdErr::ecBadGraphicsFormat:
        if (raster.WrongKind)
            return "the print system sent raster other than one-bit black";
        if (raster.Damaged)
            return raster.Pages == 0 ? "the print system sent damaged raster before the first page"
                                     : "the print system sent damaged raster after page " +
                                           std::to_string(raster.Pages);
        return FaxPrinter::NoPagesReason(title);
    case AdErr::ecDeviceRead:
        return "the document's raster ended inside a page";
    default:
        break;
    }
    return "cannot write " + out + ": " + ErrorMsg(rc);
}

constexpr char kGivenUp[] = "the station gave up on this job";

const char* NoPassword(const char*, http_t*, const char*, const char*, void*)
{
    return nullptr;
}

// What the scheduler said of the backend's job.
enum class TJobEnd { eEnded, eGoesOn, eUnknown };

// How long the scheduler may take to answer, connection and all: the job
// holds the queue meanwhile.
constexpr int kAskMs = 5000;

// The question itself, in a process of its own: libcups waits through
// signals and on its own clocks. An error of the scheduler's (or none
// reached) leaves the end unknown; a job it does not know was run by hand.
char AskTheScheduler(const std::string& job)
{
    cupsSetPasswordCB2(NoPassword, nullptr);
    http_t* http = httpConnect2(cupsServer(), ippPort(), nullptr, AF_UNSPEC, cupsEncryption(), 1,
                                kAskMs, nullptr);
    if (!http)
        return 'U';
    ipp_t* request = ippNewRequest(IPP_OP_GET_JOB_ATTRIBUTES);
    char uri[HTTP_MAX_URI];
    httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", ippPort(),
                     "/jobs/%s", job.c_str());
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr, uri);
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr,
                 "job-state");
    ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr,
                 cupsUser());
    ipp_t* response = cupsDoRequest(http, request, "/");
    const ipp_status_t status = cupsLastError();
    ipp_attribute_t* state = ippFindAttribute(response, "job-state", IPP_TAG_ENUM);
    char said = 'U';
    if (status == IPP_STATUS_ERROR_NOT_FOUND) {
        said = 'N';
    } else if (status <= IPP_STATUS_OK_CONFLICTING && state) {
        const int value = ippGetInteger(state, 0);
        said = value == IPP_JSTATE_CANCELED || value == IPP_JSTATE_ABORTED ? 'E' : 'N';
    }
    ippDelete(response);
    httpClose(http);
    return said;
}

// Whether the scheduler that runs this backend has ended its job (a cancel,
// by hand or at the queue's limit). It records that before it stops the
// job's programs, so raster cut short or missing after a cancel is told
// apart from a document's fault, whether the end of the filters' output or
// this backend's SIGTERM comes first. Asked only where the scheduler named
// itself (CUPS_SERVER, which it sets for its programs), for kAskMs at most,
// and given up at once when SIGTERM comes.
TJobEnd EndedByTheScheduler(const std::string& job)
{
    if (!std::getenv("CUPS_SERVER"))
        return TJobEnd::eGoesOn;
    int answer[2];
    if (::pipe2(answer, O_CLOEXEC) != 0)
        return TJobEnd::eUnknown;
    const TFd in(answer[0]);
    // SIGTERM waits until ppoll takes it, so none is missed in between.
    sigset_t term, open;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &term, &open);
    const pid_t backend = ::getpid();
    const pid_t asker = ::fork();
    if (asker == 0) {
        ::close(answer[0]);
        // It goes with the backend, also one killed before this line.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != backend)
            ::_exit(0);
        ::signal(SIGTERM, SIG_DFL);
        ::sigprocmask(SIG_SETMASK, &open, nullptr);
        const char said = AskTheScheduler(job);
        [[maybe_unused]] const ssize_t n = ::write(answer[1], &said, 1);
        ::_exit(0);
    }
    ::close(answer[1]);
    char said = 'U';
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAskMs);
    while (asker > 0 && !gStop) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        const timespec wait{static_cast<time_t>(left.count() / 1000000000),
                            static_cast<long>(left.count() % 1000000000)};
        pollfd ready{in.Get(), POLLIN, 0};
        const int n = ::ppoll(&ready, 1, &wait, &open);
        if (n < 0 && errno == EINTR)
            continue;
        if (n > 0 && ::read(in.Get(), &said, 1) != 1)
            said = 'U';
        break;
    }
    ::sigprocmask(SIG_SETMASK, &open, nullptr);
    if (asker > 0) {
        ::kill(asker, SIGKILL);
        while (::waitpid(asker, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    return said == 'E' ? TJobEnd::eEnded : said == 'N' ? TJobEnd::eGoesOn : TJobEnd::eUnknown;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 1) {
        std::printf("direct %s \"SkipMail APF Fax Printer\" \"%s\"\n", FaxPrinter::kDeviceUri,
                    FaxPrinter::kDescription);
        return CUPS_BACKEND_OK;
    }
    if (argc < 6 || argc > 7) {
        std::fprintf(stderr, "Usage: %s job-id user title copies options [file]\n", argv[0]);
        return CUPS_BACKEND_FAILED;
    }
    // No SA_RESTART: a read waiting on the filters returns, and the file
    // under its temporary name goes.
    struct sigaction onTerm {};
    onTerm.sa_handler = OnTerminate;
    sigemptyset(&onTerm.sa_mask);
    ::sigaction(SIGTERM, &onTerm, nullptr);

    // The spool file is CUPS's: opened before taking another identity.
    int fd = 0;
    if (argc == 7) {
        fd = ::open(argv[6], O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return Fail(std::string("cannot read ") + argv[6] + ": " + std::strerror(errno));
    }
    const std::string job = argv[1], title = argv[3];
    cups_option_t* options = nullptr;
    const int count = cupsParseOptions(argv[5], 0, &options);
    const char* option = cupsGetOption(FaxPrinter::kHandleOption, count, options);
    const std::string handle = option ? option : "";
    cupsFreeOptions(count, options);

    const std::string folderPath = FaxPrinter::Folder();
    if (const std::string refused = NotVouchedFor(); !refused.empty()) {
        TellAsTheUser(folderPath, handle, job, argv[2], refused);
        return Fail(refused);
    }
    // Every job checks the folder from "/" again: one moved since the
    // install gets no write of root's.
    FaxPrinter::TRefusal refusal;
    std::string made;
    const TFd folder = FaxPrinter::OpenHeldFolder(folderPath, false, refusal, made);
    if (folder.Get() < 0) {
        TellAsTheUser(folderPath, handle, job, argv[2], Said(refusal));
        return Fail(Said(refusal));
    }

    std::string why;
    std::string name;
    std::optional<bool> fine; // none: as rendered
    std::optional<unsigned> mode;
    std::optional<TStationRequest> request;
    if (!handle.empty()) {
        request.emplace();
        if (!request->Open(folder.Get(), folderPath, handle, job, argv[2], why)) {
            // Written as the owner, into the folder that is the owner's.
            if (std::string ignored; request->Refused() && Become(request->Owner(), ignored))
                request->Tell(why);
            return Fail(why);
        }
        TSpooled docs = SpooledDocuments(job);
        if (!Become(request->Owner(), why))
            return Fail(why);
        if (!AsSent(request->Settings(), docs, argv[4], argv[5], why)) {
            request->Tell(why);
            return Fail(why);
        }
        request->Take();
        if (!request->RequesterWaits()) {
            request->Remove();
            return Fail(kGivenUp);
        }
        name = request->Settings().ShellName;
        fine = request->Settings().Fine;
        mode = request->Settings().Mode;
    } else {
        const std::optional<TUser> user = UserOf(::getpwnam(argv[2]));
        if (!user)
            return Fail(std::string("the fax printer writes only for users of this machine, and ") +
                        argv[2] + " is none. Print as one of its users.");
        if (!OpenUserFolder(folder.Get(), folderPath, *user, why) || !Become(*user, why))
            return Fail(why);
        name = FaxPrinter::UserFolder(user->Name) + "/FAX" + job + ".APF";
    }
    const auto fail = [&](const std::string& reason) {
        if (request)
            request->Tell(reason);
        return Fail(reason);
    };

    std::unique_ptr<TAbsFaxCvt> cvt;
    rcInitRasterConverter(cvt, fd);
    auto& raster = static_cast<TFaxRasterData&>(*cvt->InData);
    raster.Stop = &gStop;
    raster.TakeResolution = !fine;
    acSetResolutionMode(*cvt, fine.value_or(true));
    cvt->OutFileName = name;
    cvt->Writer.NewMode = mode;
    // The user asked for the station's name; a file of another job's keeps
    // its own (the scheduler numbers jobs anew once its history is gone).
    cvt->Writer.NoReplace = !request;
    int rc = acCreateOutputFile(*cvt);
    if (rc == 0)
        rc = acConvert(*cvt, "", acOutToFileCallback);
    // A requester that went while the pages came wants no file.
    const bool givenUp = rc == 0 && request && !request->RequesterWaits();
    if (rc == 0 && !givenUp)
        rc = acCloseOutputFile(*cvt);
    else
        cvt->Writer.Abandon();
    // What the backend read after its job was ended is not the document's,
    // nor, when that end cannot be learnt, is raster that stopped early.
    const TJobEnd end = gStop || rc == 0 ? TJobEnd::eGoesOn : EndedByTheScheduler(job);
    if (gStop || end == TJobEnd::eEnded)
        return End(CUPS_BACKEND_CANCEL);
    if (givenUp) {
        request->Remove();
        return Fail(kGivenUp);
    }
    if (end == TJobEnd::eUnknown &&
        (rc == AdErr::ecDeviceRead || (rc == AdErr::ecBadGraphicsFormat && !raster.WrongKind)))
        return fail(FaxPrinter::UnknownEndReason(title));
    if (rc != 0)
        return fail(Reason(rc, raster, name, title));
    return End(CUPS_BACKEND_OK);
}
