#pragma once

#include <functional>
#include <string>

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
//   Resolution ("High" or "Normal") and Job (the CUPS job's number). Any
//   number of users, and one user any number of times, print at once.
// - The backend serves a request once, for the job it names, and only when
//   the job's user owns the folder and the file: it takes the owner's
//   identity, removes APFPDENG.INI and writes the file. The job options are
//   visible to every user, so the handle is no secret; the job number and
//   the user are what bind a request to its job.
// - The requester holds a lock on its folder while it waits. A request
//   whose lock is free has been given up (the requester ended, even by
//   kill -9): its job writes nothing. The requester removes its folder when
//   it is done; one it could not remove is removed by its user's next shell
//   print.
// - The backend's word is its job's end: it exits with success only once the
//   APF file is in place under its name (written under a temporary name and
//   renamed). A failure cancels the job with its reason as the job's state
//   message and, for the station's job, in REASON.TXT in the request folder,
//   where the station reads it whatever message CUPS shows last.
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

// The folder both the station and the backend use.
std::string Folder();

// A name the station could have given a request folder: nothing that can
// leave the fax printer folder.
bool IsRequestHandle(const std::string& handle);

// The backend's words for a document that gave no pages; `title` is the
// job's, the document's name for the station's jobs.
std::string NoPagesReason(const std::string& title);

struct TShellSettings {
    std::string ShellName;
    std::string ShellHandle;
    bool Fine = true;
    int Job = 0;
};

// Written whole (0600); throws std::system_error.
void WriteShellSettings(const std::string& path, const TShellSettings& settings);
// What the file holds; empty names when it is missing or unreadable.
TShellSettings ReadShellSettings(const std::string& path);

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

// Prints the document to the fax printer, which writes it as the APF file
// `outName` (an absolute name), and waits at most `timeoutMs` for the job to
// end; the GUI thread's events are served meanwhile, and `abort` is asked
// between waits. A job still running at the time-out or the abort is
// cancelled.
TShellResult PrintToFaxFile(const std::string& document, const std::string& outName, bool fine,
                            int timeoutMs, const std::function<bool()>& abort = {});

} // namespace FaxPrinter
