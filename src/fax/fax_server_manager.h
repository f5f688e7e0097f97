#pragma once

#include "fax/fax_job_file.h"

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// The fax server manager watches a folder of job files, hands the next due
// job to a fax server at its send query, extracts the job's fax and cover
// into files of their own and records each recipient's result.
//
// Choices made here:
// - The folder is claimed through the lock file "SRVMGR.LCK" held with an
//   exclusive flock: a second manager, in this process or another, gets
//   EAlreadyMonitored. A new folder is claimed before the old one is let go,
//   so a refused move leaves the manager where it was. A folder that cannot
//   hold the lock file raises the file error. (There is no hidden-file mark
//   on Linux; the name stays, since the gateway's start-up clears "*.LCK".)
// - Job files are found by their extension without regard to case, and read
//   in name order, so the order of equally due jobs does not depend on the
//   file system.
// - A file that is not a valid job is left alone: never handed out, never
//   changed.
// - A job's fax and cover are extracted into ExtractDir, a folder its owner
//   keeps and clears, by default the station's TEMP/FAX (the gateway's
//   scratch folder, emptied at each start); never into the system's
//   temporary folder or the working directory, where a crash would leave
//   them for good. They are the user's alone (0600, in a 0700 folder made
//   when missing). A job without a name is extracted as "FAX".
// - A job is handed out only whole: its fax and cover are extracted before
//   the recipient is marked in hand, and a failure on the way changes
//   nothing in the job. The busy mark is cleared on every way out.
// - "Now" comes from the Clock member, which tests replace.

class TApdCustomFaxServer;
class TApdFaxServerManager;

struct TFaxListObj {
    int64_t FileTime = 0; // modification time, seconds since the Unix epoch
    TFaxJobHeaderRec JobHeader;
};

using TFaxQueriedEvent = std::function<void(
    TApdFaxServerManager* mgr, TApdCustomFaxServer* queryFrom, const std::string& jobToSend)>;
using TFaxRecipientCompleteEvent =
    std::function<void(TApdFaxServerManager* mgr, const std::string& jobFile,
                       const TFaxJobHeaderRec& jobHeader, TFaxRecipientRec& recipHeader)>;
using TFaxCustomGetJobEvent = std::function<void(
    TApdFaxServerManager* mgr, TApdCustomFaxServer* queryFrom, std::string& jobFile,
    std::string& faxFile, std::string& coverFile, int& recipientNum)>;

inline constexpr const char* kServerLockName = "SRVMGR.LCK";

class TApdFaxServerManager : public TApdFaxJobHandler {
    Q_OBJECT
public:
    explicit TApdFaxServerManager(QObject* owner = nullptr);
    // Lets go of the folder and deletes its lock file.
    ~TApdFaxServerManager() override;

    // With a trailing "/"; empty while no folder is watched.
    const std::string& MonitorDir() const { return MonitorDir_; }
    void SetMonitorDir(const std::string& value);
    std::string JobFileExt = "APJ";
    bool DeleteOnComplete = false;
    bool Paused = false;
    // Where GetJob extracts a job's fax and cover; empty: the station's
    // TEMP/FAX.
    std::string ExtractDir;

    TFaxQueriedEvent OnQueried;
    TFaxRecipientCompleteEvent OnRecipientComplete;
    TFaxCustomGetJobEvent OnCustomGetJob;

    std::function<TDateTime()> Clock = [] { return Now(); };

    // Empties the list; the next scan puts jobs left in hand back.
    void Reset();
    TDateTime GetSchedTime(const std::string& jobFile);
    // The full name of the job due first, or empty.
    std::string GetNextFax();
    // Hands out the next due job's next recipient with its fax and cover
    // extracted (into ExtractDir unless named); false without one.
    bool GetJob(TFaxRecipientRec& recipient, TApdCustomFaxServer* queryFrom, std::string& jobFile,
                std::string& faxFile, std::string& coverFile);
    // Records a recipient's attempt: handled when it succeeded or `final`,
    // else unhandled again. Without `dialled` (the port was not free) the
    // result is kept but no attempt is counted.
    void UpdateStatus(const std::string& jobFile, unsigned jobID, int errorCode, bool final,
                      bool dialled = true);

    // The jobs of the last scan, in scan order.
    const std::vector<std::pair<std::string, TFaxListObj>>& FaxList() const { return FaxList_; }

private:
    void Release();

    std::string MonitorDir_;
    int LockFd_ = -1;
    bool FirstScan_ = true;
    bool Busy_ = false;
    std::vector<std::pair<std::string, TFaxListObj>> FaxList_;
};
