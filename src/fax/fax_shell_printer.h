#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// The fax printer: a CUPS queue whose backend (tools/printfax) writes what is
// printed to it as an APF fax file, and the station's side of it, the fax
// converter's shell route.
//
// Choices made here:
// - The queue is "APF_Fax_Printer" (CUPS names take no blank; "APF Fax
//   Printer" is its description) on the device "printfax:". Its PPD asks
//   CUPS's filters for one-bit raster at 204 x 196 or 204 x 98 dpi; every
//   page is scaled to fit the sheet whole ("print-scaling=fit", the queue's
//   default and on every job of the station's), never cropped.
// - The fax printer folder is the variable SKIPMAIL_PRINTFAX_DIR in the
//   environment of both sides (cupsd hands it to its backends by SetEnv in
//   cups-files.conf), else /var/spool/skipmail-printfax, open to every user
//   as /tmp is (scripts/fax-printer-install).
// - Each shell print is a request of its own: a folder "request-XXXXXX" in
//   the fax printer folder, made by the requesting user and closed to
//   everyone else (0700), holding APFPDENG.INI, section [Settings]:
//   ShellName (the APF file's absolute name), ShellHandle (the folder's
//   name, which the job carries as its option "skipmail-shell-handle"),
//   Resolution ("High" or "Normal"), Job (the CUPS job's number), Document
//   (the SHA-256 of the document's bytes, in hex) and Mode (the file's mode,
//   octal, as the requester's umask gives it). Any number of users, and one
//   user any number of times, print at once.
// - The backend serves a request once, for the job it names, and only when
//   the job's user owns the folder and the file: it takes the owner's
//   identity, removes APFPDENG.INI and writes the file. The job options are
//   visible to every user, so the handle is no secret; the job number and
//   the user are what bind a request to its job.
// - A request is served only with what its requester sent: the job holds
//   one document, the one whose digest the request names (the backend reads
//   CUPS's spool copy), one copy, and no option the station did not set
//   beyond CUPS's own bookkeeping (StrayJobOption). The queue's operation
//   policy ("authenticated", set by the install) keeps other users from
//   touching the job at all; this holds where the scheduler lacks it.
// - The requester holds a lock on its folder while it waits. A request
//   whose lock is free has been given up (the requester ended, even by
//   kill -9): its job writes nothing. The requester removes its folder when
//   it is done; one it could not remove is removed by its user's next shell
//   print.
// - The backend's word is its job's end: it exits with success only once the
//   APF file is in place under its name (written under a temporary name and
//   renamed). A failure cancels the job with its reason as the job's state
//   message and, for the station's job, in REASON.TXT in the request folder,
//   where the station reads it whatever message CUPS shows last. Every job
//   ends by clearing the printer's message, so what one user's job said is
//   never read as the state of the printer by another.
// - Any other program's job becomes FAX<job>.APF in its user's folder
//   "users/<user>" of the fax printer folder, written as that user. The
//   backend makes "users" (root's, 0755) and each user's folder in it
//   (that user's, 0700): no other ordinary user can enter, read or take a
//   name there. A job of a user this machine does not know is refused.
// - The queue cancels a job that runs longer than kJobTimeLimitSeconds
//   (CUPS's job-cancel-after), so no document holds the fax printer. The
//   scheduler gives that end the reason a user's cancel gets, and its times
//   in whole seconds: the station names the limit only for a job that ran
//   longer, says how long one ran as long as the limit, and never blames
//   the document of a cancelled job.
// - Any other program's job never replaces a file in its user's folder: a
//   name that is taken gives FAX<job>-1.APF, -2, ... The station's own file
//   replaces what its user named, as any program's output does.
// - Over TCP the scheduler asks for the user's password, where its local
//   socket takes the kernel's word: the password is asked on the terminal
//   where there is one, three times at most, each refused one said at once;
//   a print that cannot give one, was given none, or whose passwords were
//   refused says so, and one aborted at the prompt ends as aborted.
namespace FaxPrinter {

inline constexpr char kQueueName[] = "APF_Fax_Printer";
inline constexpr char kDescription[] = "APF Fax Printer";
inline constexpr char kDeviceUri[] = "printfax:";
inline constexpr char kHandleOption[] = "skipmail-shell-handle";
inline constexpr char kSettingsFileName[] = "APFPDENG.INI";
inline constexpr char kReasonFileName[] = "REASON.TXT";
inline constexpr char kSettingsSection[] = "Settings";
inline constexpr char kDefaultFolder[] = "/var/spool/skipmail-printfax";
inline constexpr char kRequestPrefix[] = "request-";
inline constexpr char kUsersFolder[] = "users";
inline constexpr int kJobTimeLimitSeconds = 90;

// The folder both the station and the backend use.
std::string Folder();

// A name the station could have given a request folder: nothing that can
// leave the fax printer folder.
bool IsRequestHandle(const std::string& handle);

// The folder other programs' jobs of `user` are written into.
std::string UserFolder(const std::string& user);

// A user name that is one plain path element.
bool IsPlainName(const std::string& name);

// The backend's words for a document that gave no pages; `title` is the
// job's, the document's name for the station's jobs.
std::string NoPagesReason(const std::string& title);

// The backend's words for pages that stopped before their end when the
// scheduler could not say whether it had ended the job: they blame nobody,
// and the station gives them where the job's own answer (a user's cancel,
// its limit) does not tell more.
std::string UnknownEndReason(const std::string& title);

// A job of the station's that ended without its file, as the scheduler
// answered for it.
struct TJobAnswer {
    int State = 0;                    // job-state (ipp_jstate_t)
    std::vector<std::string> Reasons; // job-state-reasons
    std::string Message;              // job-printer-state-message
    // The queue's time limit (job-cancel-after) and, in the scheduler's
    // seconds, when the job began to print and ended; 0 where not known.
    int CancelAfter = 0;
    int Processing = 0;
    int Completed = 0;
};

// Why such a job failed, in words that blame the document only where the
// backend did and nobody cancelled the job; `backend` is the backend's
// reason (empty when it gave none), `title` the document's name.
std::string JobEndWords(const TJobAnswer& job, const std::string& backend,
                        const std::string& title);

struct TShellSettings {
    std::string ShellName;
    std::string ShellHandle;
    bool Fine = true;
    int Job = 0;
    std::string Document;
    unsigned Mode = 0644;
};

// The options the station's job carries, as name and value.
std::vector<std::pair<std::string, std::string>> StationJobOptions(bool fine,
                                                                   const std::string& handle);

// The first option of a job's option string (the backend's fifth argument)
// that the station did not set for this request and that is not CUPS's own
// bookkeeping, as "name=value"; empty when there is none.
std::string StrayJobOption(const std::string& jobOptions, const TShellSettings& settings);

// The SHA-256 of what is left to read on `fd`, in lower-case hex; empty with
// `why` when it cannot be read.
std::string DigestOf(int fd, std::string& why);

// Written whole (0600); throws std::system_error.
void WriteShellSettings(const std::string& path, const TShellSettings& settings);
// What the file holds; empty names when it is missing or unreadable.
TShellSettings ReadShellSettings(const std::string& path);
// What the text of such a file says.
TShellSettings ParseShellSettings(const std::string& text);

// An open descriptor, closed with its holder.
class TFd {
public:
    explicit TFd(int fd = -1) : Fd_(fd) {}
    ~TFd();
    TFd(TFd&& o) noexcept;
    TFd& operator=(TFd&& o) noexcept;
    int Get() const { return Fd_; }

private:
    int Fd_;
};

// A request's folder, the requester's own: made and locked by the
// constructor, removed with what it holds by the destructor.
class TShellRequest {
public:
    // Throws std::system_error when the folder cannot be made or locked.
    TShellRequest();
    ~TShellRequest();
    TShellRequest(const TShellRequest&) = delete;
    TShellRequest& operator=(const TShellRequest&) = delete;

    const std::string& Handle() const { return Handle_; }
    const std::string& Path() const { return Path_; }
    std::string SettingsPath() const;
    void Write(const TShellSettings& settings) const;
    // The backend's reason for a failed job; empty when it gave none.
    std::string BackendReason() const;
    // Lets go of the lock, as a requester that has gone would.
    void Abandon();

private:
    std::string Handle_;
    std::string Path_;
    int Fd_ = -1;
};

// Removes this user's request folders that nobody holds any more and that
// are older than a minute (a requester killed before it could).
void SweepAbandonedRequests();

enum class TShellOutcome { soDone, soNoService, soNoPrinter, soTimedOut, soAborted, soFailed };

struct TShellResult {
    TShellOutcome Outcome = TShellOutcome::soFailed;
    // Why it failed, in words that name the document where it is at fault.
    std::string Text;
};

// One print of a document to the fax printer, in its three steps: the job
// and its request, the document, the wait for the job's end. Each step
// returns soDone to go on; any other outcome ends the print (its job
// cancelled).
class TShellJob {
public:
    TShellJob(std::string document, std::string outName, bool fine);
    ~TShellJob();
    TShellJob(const TShellJob&) = delete;
    TShellJob& operator=(const TShellJob&) = delete;

    // `abort` is asked while the terminal is asked for a password: a
    // print aborted there ends as soAborted.
    TShellResult Create(const std::function<bool()>& abort = {});
    TShellResult Send();
    // Waits until `deadline` at most; the GUI thread's events are served
    // meanwhile and `abort` is asked between waits.
    TShellResult Wait(std::chrono::steady_clock::time_point deadline,
                      const std::function<bool()>& abort = {});
    // The CUPS job's number once made.
    int Job() const;

private:
    struct TState;
    std::unique_ptr<TState> S_;
};

// Prints the document to the fax printer, which writes it as the APF file
// `outName` (an absolute name), and waits at most `timeoutMs` for the job to
// end; the GUI thread's events are served meanwhile, and `abort` is asked
// between waits. A job still running at the time-out or the abort is
// cancelled.
TShellResult PrintToFaxFile(const std::string& document, const std::string& outName, bool fine,
                            int timeoutMs, const std::function<bool()>& abort = {});

} // namespace FaxPrinter
