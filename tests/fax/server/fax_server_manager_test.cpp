#include "fax/fax_server_manager.h"
#include "fax/fax_test_helpers.h"
#include "fax/server/server_helpers.h"
#include "platform/data_root.h"

#include <gtest/gtest.h>

#include <QProcess>
#include <filesystem>

using namespace FaxServerTest;
using FaxTest::ReadFile;
using FaxTest::TScratch;
using FaxTest::WriteFile;
namespace fs = std::filesystem;

namespace {

constexpr TDateTime kMinute = 1.0 / 1440;

// A job folder watched by a manager whose clock the test sets.
class ManagerTest : public testing::Test {
protected:
    void SetUp() override
    {
        // The system's temporary folder, which extracted faxes never reach.
        fs::create_directory(Dir.Path("tmp"));
        setenv("TMPDIR", Dir.Path("tmp").c_str(), 1);
        MakeSmallApf(Dir.Path("fax.apf"), 1);
        Mgr.SetMonitorDir(Dir.Dir());
        Mgr.Clock = [this] { return NowIs; };
    }
    void TearDown() override { unsetenv("TMPDIR"); }

    std::string Job(const std::string& name, TDateTime when, const std::string& jobName = "job",
                    int recipients = 1)
    {
        TFaxRecipientRec r;
        r.PhoneNumber = "555";
        r.SchedDT = when;
        const std::string path = Dir.Path(name);
        Mgr.MakeJob(Dir.Path("fax.apf"), "", jobName, "sender", path, r);
        for (int i = 1; i < recipients; ++i) {
            r.SchedDT = when + i * kMinute;
            Mgr.AddRecipient(path, r);
        }
        return path;
    }

    TFaxJobHeaderRec Header(const std::string& path)
    {
        TFaxJobHeaderRec h;
        Mgr.GetJobHeader(path, h);
        return h;
    }

    TFaxRecipientRec Recip(const std::string& path, int i)
    {
        TFaxRecipientRec r;
        EXPECT_EQ(Mgr.GetRecipient(path, i, r), 0);
        return r;
    }

    // GetJob into files of this folder.
    bool Take(std::string& job, TFaxRecipientRec& r)
    {
        std::string fax = Dir.Path("out.apf"), cover = Dir.Path("out.txt");
        return Mgr.GetJob(r, nullptr, job, fax, cover);
    }

    TScratch Dir;
    TApdFaxServerManager Mgr;
    TDateTime NowIs = At(2024, 6, 1, 12, 0, 0);
};

} // namespace

TEST(FaxServerManagerLock, OneManagerPerFolder)
{
    TScratch a, b;
    const std::string lockA = a.Path("SRVMGR.LCK");
    {
        TApdFaxServerManager first;
        first.SetMonitorDir(a.Dir());
        EXPECT_EQ(first.MonitorDir(), a.Dir() + "/");
        EXPECT_TRUE(fs::exists(lockA));
        TApdFaxServerManager second;
        EXPECT_THROW(second.SetMonitorDir(a.Dir() + "/"), EAlreadyMonitored);
        EXPECT_EQ(second.MonitorDir(), "");
        second.SetMonitorDir(b.Dir());
        // A refused move keeps the manager on its folder.
        EXPECT_THROW(second.SetMonitorDir(a.Dir()), EAlreadyMonitored);
        EXPECT_EQ(second.MonitorDir(), b.Dir() + "/");
        // The first moves away: its old lock file stays, but is free.
        TScratch c;
        first.SetMonitorDir(c.Dir());
        EXPECT_TRUE(fs::exists(lockA));
        second.SetMonitorDir(a.Dir());
        EXPECT_EQ(second.MonitorDir(), a.Dir() + "/");
        EXPECT_THROW(first.SetMonitorDir(a.Dir()), EAlreadyMonitored);
    }
    // Destroyed managers delete their lock files.
    EXPECT_FALSE(fs::exists(lockA));

    TApdFaxServerManager m;
    EXPECT_THROW(m.SetMonitorDir(a.Path("missing")), EInOutError);
}

TEST(FaxServerManagerLock, AnotherProcessHoldsTheFolder)
{
    TScratch a;
    QProcess holder;
    holder.start("python3", {"-c",
                             "import fcntl, sys, time\n"
                             "f = open(sys.argv[1], 'w')\n"
                             "fcntl.flock(f, fcntl.LOCK_EX)\n"
                             "print('locked', flush=True)\n"
                             "sys.stdin.read()\n",
                             QString::fromStdString(a.Path("SRVMGR.LCK"))});
    ASSERT_TRUE(holder.waitForReadyRead(10000));
    TApdFaxServerManager m;
    EXPECT_THROW(m.SetMonitorDir(a.Dir()), EAlreadyMonitored);
    holder.closeWriteChannel();
    ASSERT_TRUE(holder.waitForFinished(10000));
    m.SetMonitorDir(a.Dir());
    EXPECT_EQ(m.MonitorDir(), a.Dir() + "/");
}

TEST_F(ManagerTest, DueJobsInTimeAndNameOrder)
{
    Job("b.apj", NowIs);
    Job("a.APJ", NowIs);
    Job("later.apj", NowIs + kMinute);
    WriteFile(Dir.Path("junk.apj"), "not a job");
    WriteFile(Dir.Path("other.txt"), "");
    EXPECT_EQ(Mgr.GetNextFax(), Dir.Path("a.APJ"));
    EXPECT_EQ(Mgr.FaxList().size(), 3u);
    EXPECT_EQ(ReadFile(Dir.Path("junk.apj")), "not a job");

    std::string job;
    TFaxRecipientRec r;
    ASSERT_TRUE(Take(job, r));
    EXPECT_EQ(job, Dir.Path("a.APJ"));
    ASSERT_TRUE(Take(job, r));
    EXPECT_EQ(job, Dir.Path("b.apj"));
    // One minute early: nothing; a minute later: the job.
    EXPECT_FALSE(Take(job, r));
    NowIs += kMinute;
    ASSERT_TRUE(Take(job, r));
    EXPECT_EQ(job, Dir.Path("later.apj"));
    EXPECT_FALSE(Take(job, r));
    Mgr.Paused = true;
    Job("c.apj", NowIs);
    EXPECT_FALSE(Take(job, r));
}

TEST_F(ManagerTest, HandingOutAJob)
{
    const std::string path = Job("j.apj", NowIs - kMinute, "HF FAX", 2);
    std::string job, fax, cover;
    TFaxRecipientRec r;
    // Names after the job name in the owner's folder, counted on while taken.
    fs::create_directory(Dir.Path("work"));
    Mgr.ExtractDir = Dir.Path("work");
    const std::string base = Dir.Path("work/HF FAX");
    WriteFile(base + ".APF", "");
    WriteFile(base + "00.APF", "");
    ASSERT_TRUE(Mgr.GetJob(r, nullptr, job, fax, cover));
    EXPECT_EQ(fax, base + "01.APF");
    EXPECT_EQ(cover, ""); // no cover in the job
    EXPECT_EQ(ReadFile(fax), ReadFile(Dir.Path("fax.apf")));
    EXPECT_EQ(r.JobID, 0);
    EXPECT_EQ(r.Status, 1);
    TFaxJobHeaderRec h = Header(path);
    EXPECT_EQ(h.Status, 1);
    EXPECT_EQ(h.NextRecipient, 1);
    EXPECT_EQ(Recip(path, 0).Status, 1);
    // The second recipient is due a minute after the first; without a
    // folder named its fax goes to the station's TEMP/FAX, made private.
    EXPECT_EQ(Iso(h.SchedDT), Iso(NowIs));
    const std::string root = DataRoot::Get();
    DataRoot::Set(Dir.Dir());
    Mgr.ExtractDir.clear();
    fax.clear();
    const bool taken = Mgr.GetJob(r, nullptr, job, fax, cover);
    DataRoot::Set(root);
    ASSERT_TRUE(taken);
    EXPECT_EQ(fax, Dir.Path("TEMP/FAX/HF FAX.APF"));
    EXPECT_EQ(fs::status(fax).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(Dir.Path("TEMP/FAX")).permissions(), fs::perms::owner_all);
    EXPECT_TRUE(fs::is_empty(Dir.Path("tmp")));

    // A restart finds the recipients still in hand and makes them due.
    TApdFaxServerManager restarted;
    Mgr.SetMonitorDir(""); // lets go of the folder
    restarted.SetMonitorDir(Dir.Dir());
    restarted.Clock = Mgr.Clock;
    EXPECT_EQ(restarted.GetNextFax(), path);
    EXPECT_EQ(Recip(path, 0).Status, 0);
}

TEST_F(ManagerTest, AFailedHandOutChangesNothing)
{
    const std::string path = Job("j.apj", NowIs);
    const std::string before = ReadFile(path);
    std::string job, fax = Dir.Path("no/such/dir/x.apf"), cover;
    TFaxRecipientRec r;
    EXPECT_THROW(Mgr.GetJob(r, nullptr, job, fax, cover), EInOutError);
    EXPECT_EQ(ReadFile(path), before);
    // Not left busy: the next query gets the job.
    ASSERT_TRUE(Take(job, r));
    EXPECT_EQ(job, path);
}

TEST_F(ManagerTest, RecordingResults)
{
    Mgr.DeleteOnComplete = true;
    std::string job;
    TFaxRecipientRec r;

    // Sent: handled, and gone.
    const std::string sent = Job("sent.apj", NowIs);
    ASSERT_TRUE(Take(job, r));
    Mgr.UpdateStatus(job, r.JobID, 0, false);
    EXPECT_FALSE(fs::exists(sent));

    // A failure that is not final: waiting again, one attempt counted.
    const std::string failed = Job("failed.apj", NowIs);
    ASSERT_TRUE(Take(job, r));
    Mgr.UpdateStatus(job, r.JobID, -8064, false);
    EXPECT_EQ(Header(failed).Status, 0);
    EXPECT_EQ(Recip(failed, 0).Status, 0);
    EXPECT_EQ(Recip(failed, 0).AttemptNum, 1);
    EXPECT_EQ(Recip(failed, 0).LastResultCode(), -8064);

    // Final: kept, handled, with its result; the completion event may change
    // the record.
    Mgr.OnRecipientComplete = [](TApdFaxServerManager*, const std::string&,
                                 const TFaxJobHeaderRec& h, TFaxRecipientRec& rec) {
        EXPECT_EQ(h.JobName, "job");
        rec.HeaderTitle = "given up";
    };
    ASSERT_TRUE(Take(job, r));
    Mgr.UpdateStatus(job, r.JobID, -8064, true);
    ASSERT_TRUE(fs::exists(failed));
    EXPECT_EQ(Header(failed).Status, 2);
    EXPECT_EQ(Recip(failed, 0).AttemptNum, 2);
    EXPECT_EQ(Recip(failed, 0).HeaderTitle, "given up");
    EXPECT_FALSE(Take(job, r));

    // A job with one recipient sent and one failed stays.
    const std::string mixed = Job("mixed.apj", NowIs, "job", 2);
    ASSERT_TRUE(Take(job, r));
    Mgr.UpdateStatus(job, r.JobID, 0, false);
    NowIs += kMinute;
    ASSERT_TRUE(Take(job, r));
    Mgr.UpdateStatus(job, r.JobID, -8068, true);
    ASSERT_TRUE(fs::exists(mixed));
    EXPECT_EQ(Header(mixed).Status, 2);
}

TEST_F(ManagerTest, CustomJobs)
{
    const std::string path = Job("j.apj", NowIs + 1.0);
    Mgr.OnCustomGetJob = [&](TApdFaxServerManager*, TApdCustomFaxServer*, std::string& jobFile,
                             std::string& fax, std::string&, int& num) {
        jobFile = path;
        fax = "chosen.apf";
        num = 0;
    };
    std::string job, fax, cover;
    TFaxRecipientRec r;
    EXPECT_TRUE(Mgr.GetJob(r, nullptr, job, fax, cover));
    EXPECT_EQ(job, path);
    EXPECT_EQ(fax, "chosen.apf");
    EXPECT_EQ(r.PhoneNumber, "555");
}
