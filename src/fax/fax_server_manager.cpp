#include "fax/fax_server_manager.h"

#include "core/message_store.h"
#include "core/text_util.h"
#include "platform/data_root.h"
#include "serial/ad_misc.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

bool Exists(const std::string& fileName)
{
    std::error_code ec;
    return fs::is_regular_file(fileName, ec);
}

std::string HexCounter(unsigned n)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02X", n);
    return buf;
}

// Clears the busy mark however GetJob ends.
class TBusyMark {
public:
    explicit TBusyMark(bool& flag) : Flag_(flag) { Flag_ = true; }
    ~TBusyMark() { Flag_ = false; }
    TBusyMark(const TBusyMark&) = delete;
    TBusyMark& operator=(const TBusyMark&) = delete;

private:
    bool& Flag_;
};

} // namespace

TApdFaxServerManager::TApdFaxServerManager(QObject* owner) : TApdFaxJobHandler(owner) {}

TApdFaxServerManager::~TApdFaxServerManager()
{
    // Deleted while still held, so nobody takes a lock on a file that is
    // about to go.
    if (LockFd_ >= 0)
        ::unlink((MonitorDir_ + kServerLockName).c_str());
    Release();
}

void TApdFaxServerManager::Release()
{
    if (LockFd_ >= 0)
        ::close(LockFd_);
    LockFd_ = -1;
}

void TApdFaxServerManager::SetMonitorDir(const std::string& value)
{
    const std::string dir = value.empty() ? std::string() : AddBackSlash(value);
    if (dir == MonitorDir_)
        return;
    if (dir.empty()) {
        Release();
        MonitorDir_.clear();
        return;
    }
    const std::string path = dir + kServerLockName;
    int fd = -1;
    for (;;) {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0)
            RaiseFileError(errno);
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno;
            ::close(fd);
            if (err == EWOULDBLOCK)
                throw EAlreadyMonitored(AdErr::ecAlreadyMonitored,
                                        "Directory already being monitored");
            RaiseFileError(err);
        }
        // The holder may have deleted the file between our open and lock;
        // a lock on a deleted file claims nothing.
        struct stat held {
        }, named{};
        if (::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 &&
            held.st_ino == named.st_ino && held.st_dev == named.st_dev)
            break;
        ::close(fd);
    }
    if (::ftruncate(fd, 0) != 0) {
        const int err = errno;
        ::close(fd);
        RaiseFileError(err);
    }
    Release();
    LockFd_ = fd;
    MonitorDir_ = dir;
}

void TApdFaxServerManager::Reset()
{
    FaxList_.clear();
    FirstScan_ = true;
}

TDateTime TApdFaxServerManager::GetSchedTime(const std::string& jobFile)
{
    return TFaxJob::Load(jobFile).Header.SchedDT;
}

std::string TApdFaxServerManager::GetNextFax()
{
    FaxList_.clear();
    if (MonitorDir_.empty())
        return {};
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(MonitorDir_, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string ext = it->path().extension().string();
        if (ext.size() > 1 && SameTextIgnoreCase(ext.substr(1), JobFileExt) &&
            it->is_regular_file(ec))
            names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = MonitorDir_ + name;
        try {
            TFaxJob job = TFaxJob::Load(path);
            if (job.Header.Status == kJobInHand && FirstScan_) {
                ResetAPJPartials(path, false);
                job = TFaxJob::Load(path);
            }
            // Handled jobs, and jobs whose due recipient is not waiting,
            // have nothing to send.
            if (job.Header.Status >= kJobHandled ||
                job.Recipients[job.Header.NextRecipient].Status != kJobUnhandled)
                continue;
            TFaxListObj obj;
            struct stat st {};
            if (::stat(path.c_str(), &st) == 0)
                obj.FileTime = st.st_mtime;
            obj.JobHeader = job.Header;
            FaxList_.emplace_back(name, obj);
        } catch (const std::exception&) {
            // Not a job (or not readable now): left as it is.
        }
    }
    FirstScan_ = false;
    TDateTime best = 2147483647.0;
    const std::string* found = nullptr;
    for (const auto& [name, obj] : FaxList_)
        if (obj.JobHeader.SchedDT < best) {
            best = obj.JobHeader.SchedDT;
            found = &name;
        }
    if (!found || best > Clock())
        return {};
    return MonitorDir_ + *found;
}

bool TApdFaxServerManager::GetJob(TFaxRecipientRec& recipient, TApdCustomFaxServer* queryFrom,
                                  std::string& jobFile, std::string& faxFile,
                                  std::string& coverFile)
{
    if (OnCustomGetJob) {
        int num = 0;
        OnCustomGetJob(this, queryFrom, jobFile, faxFile, coverFile, num);
        return !jobFile.empty() && GetRecipient(jobFile, num, recipient) == 0;
    }
    if (Paused || Busy_)
        return false;
    TBusyMark busy(Busy_);
    jobFile = GetNextFax();
    if (jobFile.empty())
        return false;
    TFaxJob job = TFaxJob::Load(jobFile);
    TFaxRecipientRec& r = job.Recipients[job.Header.NextRecipient];

    if (faxFile.empty()) {
        const std::string dir =
            ExtractDir.empty() ? MessageStore::DirPath(DirName::TempFax) : ExtractDir;
        MessageStore::EnsureDirectory(dir); // a failure shows when the fax is written
        // A job without a name is no hidden ".APF" file, which would be taken
        // for a name without its extension.
        const std::string base =
            AddBackSlash(dir) + (job.Header.JobName.empty() ? "FAX" : job.Header.JobName);
        faxFile = base + ".APF";
        for (unsigned n = 0; Exists(faxFile); ++n)
            faxFile = base + HexCounter(n) + ".APF";
    }
    if (coverFile.empty())
        coverFile = fs::path(faxFile).replace_extension(".txt").string();
    const auto removeExtracted = [&] {
        std::remove(faxFile.c_str());
        if (job.Cover)
            std::remove(coverFile.c_str());
    };
    try {
        WriteFileBytes(faxFile, job.Fax);
        if (job.Cover)
            WriteFileBytes(coverFile, *job.Cover);
        job.Header.Status = kJobInHand;
        r.Status = kJobInHand;
        recipient = r;
        job.RecomputeNext();
        job.Save(jobFile);
    } catch (...) {
        removeExtracted();
        throw;
    }
    if (!job.Cover)
        coverFile.clear();
    return true;
}

void TApdFaxServerManager::UpdateStatus(const std::string& jobFile, unsigned jobID, int errorCode,
                                        bool final, bool dialled)
{
    TFaxJob job = TFaxJob::Load(jobFile);
    TFaxRecipientRec rec = job.Recipient(jobID);
    rec.LastResult = static_cast<uint16_t>(errorCode);
    rec.Status = errorCode == 0 || final ? kJobHandled : kJobUnhandled;
    if (rec.Status == kJobHandled && OnRecipientComplete)
        OnRecipientComplete(this, jobFile, job.Header, rec);
    if (!Exists(jobFile))
        return;
    // The handler may have changed the file: the record goes into it as it
    // is now.
    job = TFaxJob::Load(jobFile);
    if (dialled && rec.AttemptNum < 255)
        ++rec.AttemptNum;
    job.Recipient(jobID) = rec;
    job.RecomputeStatus();
    job.RecomputeNext();
    job.Save(jobFile);
    if (job.Header.Status != kJobHandled)
        return;
    const std::string name = fs::path(jobFile).filename().string();
    for (auto& [listed, obj] : FaxList_)
        if (listed == name)
            obj.JobHeader.Status = kJobHandled;
    if (DeleteOnComplete &&
        std::all_of(job.Recipients.begin(), job.Recipients.end(), [](const TFaxRecipientRec& x) {
            return x.Status == kJobHandled && x.LastResult == 0;
        }))
        std::remove(jobFile.c_str());
}
