#pragma once

#include <string>

// The fax printer: a CUPS queue whose backend (tools/printfax) writes what is
// printed to it as an APF fax file, and the station's side of it, the fax
// converter's shell route.
//
// Choices made here:
// - The queue is "APF_Fax_Printer" (CUPS names take no blank; "APF Fax
//   Printer" is its description) on the device "printfax:". Its PPD asks
//   CUPS's filters for one-bit raster at 204 x 196 or 204 x 98 dpi.
// - The station hands the backend the output name and the resolution in
//   APFPDENG.INI, section [Settings], in the fax printer folder: the
//   variable SKIPMAIL_PRINTFAX_DIR in the environment of both (cupsd hands
//   it to its backends by SetEnv in cups-files.conf), else
//   /var/spool/skipmail-printfax (made 1777 by scripts/fax-printer-install).
//   The file is written whole and is the station user's alone (0600): the
//   backend runs as root and takes the identity of the file's owner before
//   it writes, so it writes only where that user may.
// - Keys: ShellName (the APF file's absolute name), ShellHandle (a token
//   the job also carries as its option "skipmail-shell-handle", so the INI
//   never names the file of a job some other program printed) and
//   Resolution ("High" or "Normal").
// - One shell print at a time on the machine: the station holds a lock on
//   the folder from writing the INI until the job has ended.
// - The backend's word is its job's end: it exits with success only once the
//   APF file is in place under its name (written under a temporary name and
//   renamed); any failure cancels the job with its reason as the job's
//   state message, which the station reports.
namespace FaxPrinter {

inline constexpr char kQueueName[] = "APF_Fax_Printer";
inline constexpr char kDescription[] = "APF Fax Printer";
inline constexpr char kDeviceUri[] = "printfax:";
inline constexpr char kHandleOption[] = "skipmail-shell-handle";
inline constexpr char kSettingsFileName[] = "APFPDENG.INI";
inline constexpr char kSettingsSection[] = "Settings";
inline constexpr char kDefaultFolder[] = "/var/spool/skipmail-printfax";

// The folder both the station and the backend use.
std::string Folder();
std::string SettingsPath();

struct TShellSettings {
    std::string ShellName;
    std::string ShellHandle;
    bool Fine = true;
};

// Written whole into SettingsPath(); throws std::system_error.
void WriteShellSettings(const TShellSettings& settings);
// What the file holds; empty names when it is missing or unreadable.
TShellSettings ReadShellSettings(const std::string& path);

enum class TShellOutcome { soDone, soNoPrinter, soTimedOut, soFailed };

struct TShellResult {
    TShellOutcome Outcome = TShellOutcome::soFailed;
    // Why it failed: the job's state message or the print system's words.
    std::string Text;
};

// Prints the document to the fax printer, which writes it as the APF file
// `outName` (an absolute name), and waits at most `timeoutMs` for the job to
// end; the GUI thread's events are served meanwhile. A job still running
// then is cancelled.
TShellResult PrintToFaxFile(const std::string& document, const std::string& outName, bool fine,
                            int timeoutMs);

} // namespace FaxPrinter
