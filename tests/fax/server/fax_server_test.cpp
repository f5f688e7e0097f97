#include "fax/ad_fax_prn.h"
#include "fax/fax_history_log.h"
#include "fax/fax_server.h"
#include "fax/fax_status_display.h"
#include "fax/fax_test_helpers.h"
#include "fax/server/fake_engine_helpers.h"
#include "fax/server/server_helpers.h"
#include "serial/ad_port.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QTimer>
#include <filesystem>

using namespace FaxServerTest;
using FakeFax::Script;
using FaxTest::ReadFile;
using FaxTest::TScratch;
using FaxTest::WriteFile;
namespace fs = std::filesystem;

namespace {

constexpr unsigned kCom = 61;
constexpr TDateTime kSecond = 1.0 / 86400;

// A receive set-up that takes a second and a half and handles events
// meanwhile, as the modem's set-up commands do.
int SlowPrepare(PFaxRec FP)
{
    PumpUntil([] { return false; }, 1500);
    return FakeFax::ReceiveEngine().Prepare(FP);
}

// A fax server on a form with its port, manager and printer, over the
// scripted engine, with a clock the test sets.
class ServerTest : public testing::Test {
protected:
    void SetUp() override
    {
        FakeFax::Reset();
        fs::create_directory(Dir.Path("work"));
        fs::create_directory(Dir.Path("jobs"));
        fs::create_directory(Dir.Path("in"));
        MakeSmallApf(Dir.Path("fax.apf"), 2, 2);
        Script().ReceivedBytes = ReadFile(Dir.Path("fax.apf"));

        Port = new TApdComPort(&Form);
        Port->SetComNumber(kCom);
        Port->SetAutoOpen(false);
        Server = new TApdFaxServer(&Form);
        Server->setObjectName("ApdFaxServer1");
        Mgr = new TApdFaxServerManager(&Form);
        Mgr->SetMonitorDir(Dir.Path("jobs"));
        Mgr->ExtractDir = Dir.Path("work");
        Mgr->DeleteOnComplete = true;
        Mgr->Clock = [this] { return NowIs; };
        Mgr->OnQueried = [this](TApdFaxServerManager*, TApdCustomFaxServer*,
                                const std::string& job) { Queried.push_back(job); };
        Server->SetServerManager(Mgr);
        Server->Clock = [this] { return NowIs; };
        Server->Delay = [this](int32_t) {
            PumpUntil([this] { return !Server->Receiver()->InProgress(); });
        };
        Server->Sender()->SetEngine(FakeFax::SendEngine());
        Server->Receiver()->SetEngine(FakeFax::ReceiveEngine());
        Server->SetDestinationDir(Dir.Path("in"));
        Server->OnFaxServerFinish = [this](TApdCustomFaxServer*, TFaxServerMode m, int code) {
            Events.push_back(Name(m) + " finish " + std::to_string(code));
        };
        Server->OnFaxServerFatalError = [this](TApdCustomFaxServer*, TFaxServerMode m, int code,
                                               int) {
            Events.push_back(Name(m) + " fatal " + std::to_string(code));
        };
        Server->OnFaxServerLog = [this](TApdCustomFaxServer*, TFaxLogCode code,
                                        TFaxServerLogCode server) {
            if (server != TFaxServerLogCode::fslNone)
                Events.push_back("server log " + std::to_string(static_cast<int>(server)));
            else if (code == lfaxReceiveOk)
                Events.push_back("receive ok");
        };
    }
    static std::string Name(TFaxServerMode m)
    {
        return m == TFaxServerMode::fsmSend ? "send" : "receive";
    }

    std::string Job(const std::string& name, const std::string& phone = "555")
    {
        TFaxRecipientRec r;
        r.PhoneNumber = phone;
        r.SchedDT = NowIs;
        const std::string path = Dir.Path("jobs/" + name);
        Mgr->MakeJob(Dir.Path("fax.apf"), "", "HF FAX", "HF Gateway", path, r);
        return path;
    }

    TFaxRecipientRec Recip(const std::string& job)
    {
        TFaxRecipientRec r;
        EXPECT_EQ(Mgr->GetRecipient(job, 0, r), 0);
        return r;
    }

    // A query that finds a job, and the end of its call.
    void SendOnce()
    {
        const std::size_t before = Events.size();
        Server->ForceSendQuery();
        ASSERT_TRUE(PumpUntil([&] { return Events.size() > before; })) << "no end of call";
    }

    bool ReceiverStarted(int runs)
    {
        return PumpUntil([&] { return Script().ReceiveRuns == runs; }) &&
               Server->Receiver()->InProgress();
    }

    TScratch Dir;
    FakeFax::TPtyPort Pty{kCom};
    int Sheets = 0; // a test's counting printer adds to it: it outlives Form
    QObject Form;
    TApdComPort* Port;
    TApdFaxServer* Server;
    TApdFaxServerManager* Mgr;
    TDateTime NowIs = At(2024, 6, 1, 12, 0, 0);
    std::vector<std::string> Events;
    std::vector<std::string> Queried;
};

} // namespace

TEST_F(ServerTest, QueriesWithoutJobsKeepOneReceiverWaiting)
{
    Server->SetSendQueryInterval(30); // unchanged: nothing reported
    EXPECT_TRUE(Events.empty());
    Server->SetMonitoring(true);
    EXPECT_EQ(Events, std::vector<std::string>{"server log 3"});
    ASSERT_TRUE(ReceiverStarted(1));
    EXPECT_EQ(Server->FaxServerMode(), TFaxServerMode::fsmReceive);
    Server->ForceSendQuery();
    Server->ForceSendQuery();
    EXPECT_EQ(Queried, (std::vector<std::string>{"", ""}));
    EXPECT_TRUE(Server->QueryTimer()->isActive());
    EXPECT_EQ(Server->QueryTimer()->interval(), 30000);
    EXPECT_EQ(Script().ReceiveRuns, 1);

    Server->SetSendQueryInterval(0);
    EXPECT_FALSE(Server->QueryTimer()->isActive());
    EXPECT_EQ(Events.back(), "server log 2");
}

TEST_F(ServerTest, ADueJobInterruptsTheWaitingReceiver)
{
    Server->SetMonitoring(true);
    ASSERT_TRUE(ReceiverStarted(1));
    const std::string job = Job("1.apj");
    SendOnce();
    EXPECT_EQ(Queried, std::vector<std::string>{job});
    // The receiver's cancel is not reported; the send is.
    EXPECT_EQ(Events, (std::vector<std::string>{"server log 3", "send finish 0"}));
    ASSERT_EQ(Script().Sent.size(), 1u);
    EXPECT_EQ(Script().Sent[0].Number, "555");
    EXPECT_EQ(Script().Sent[0].FaxBytes, ReadFile(Dir.Path("fax.apf")));
    EXPECT_EQ(Script().SecondNextAnswers, std::vector<bool>{false});
    EXPECT_FALSE(fs::exists(job));
    EXPECT_TRUE(fs::is_empty(Dir.Path("work"))) << "extracted files left";
    // The next query comes DelayBetweenSends (18 ticks, one second) later.
    EXPECT_EQ(Server->QueryTimer()->interval(), 1000);
    EXPECT_TRUE(Server->QueryTimer()->isActive());
    Server->DelayBetweenSends = 750;
    Job("2.apj");
    SendOnce();
    EXPECT_EQ(Server->QueryTimer()->interval(), 41000);
    // A query without a job starts the receiver again.
    Server->ForceSendQuery();
    ASSERT_TRUE(ReceiverStarted(2));
    EXPECT_EQ(Server->FaxServerMode(), TFaxServerMode::fsmReceive);
}

// Busy, no answer, no carrier, voice, no dial tone, time-outs and failed
// sessions are tried again after the retry wait; the last failure is final
// and the job stays with its result.
TEST_F(ServerTest, CallFailuresAreRetriedAfterTheirWait)
{
    Server->DialAttempts = 2;
    Server->DialRetryWait = 120;
    Server->SetMonitoring(true);
    for (int code : {-8064, -8074, -8068, -8065, -8067, -6006, -6005, -8069}) {
        SCOPED_TRACE(code);
        Events.clear();
        const std::string job = Job("j.apj");
        Script().SendResults = {code, code};
        SendOnce();
        EXPECT_EQ(Events, std::vector<std::string>{"send finish " + std::to_string(code)});
        TFaxRecipientRec r = Recip(job);
        EXPECT_EQ(r.Status, 0);
        EXPECT_EQ(r.AttemptNum, 1);
        EXPECT_EQ(r.LastResultCode(), code);
        EXPECT_TRUE(Server->Monitoring());
        // Not due again before its wait is over.
        NowIs += 119 * kSecond;
        const std::size_t sent = Script().Sent.size();
        Server->ForceSendQuery();
        EXPECT_EQ(Script().Sent.size(), sent);
        NowIs += kSecond;
        SendOnce();
        r = Recip(job);
        EXPECT_EQ(r.Status, 2);
        EXPECT_EQ(r.AttemptNum, 2);
        EXPECT_EQ(r.LastResultCode(), code);
        EXPECT_EQ(Server->CurrentRecipient().AttemptNum, 2);
        fs::remove(job);
    }
}

TEST_F(ServerTest, PortAndModemFaultsStopTheServer)
{
    for (int code : {-8063, -8061}) {
        SCOPED_TRACE(code);
        Server->SetMonitoring(true);
        ASSERT_TRUE(PumpUntil([&] { return Server->Receiver()->InProgress(); }));
        Events.clear();
        const std::string job = Job("j.apj");
        Script().SendResults = {code};
        SendOnce();
        EXPECT_EQ(Events,
                  (std::vector<std::string>{"server log 4", "send fatal " + std::to_string(code)}));
        EXPECT_FALSE(Server->Monitoring());
        EXPECT_FALSE(Server->QueryTimer()->isActive());
        // Attempts remain; the next waits its time like any other.
        EXPECT_EQ(Recip(job).Status, 0);
        EXPECT_NEAR((Recip(job).SchedDT - NowIs) * 86400, Server->DialRetryWait, 1);
        fs::remove(job);
    }
}

TEST_F(ServerTest, AJobWithoutANumberFailsAndIsKept)
{
    const std::string job = Job("j.apj", "");
    SendOnce();
    EXPECT_EQ(Events, std::vector<std::string>{"send finish -1002"});
    EXPECT_TRUE(Script().Sent.empty());
    ASSERT_TRUE(fs::exists(job));
    const TFaxRecipientRec r = Recip(job);
    EXPECT_EQ(r.Status, 2);
    EXPECT_EQ(r.LastResultCode(), kFaxNoPhoneNumber);
    EXPECT_EQ(r.AttemptNum, 1);
    // Whoever compares the attempts with DialAttempts sees none left.
    EXPECT_GE(Server->CurrentRecipient().AttemptNum, Server->DialAttempts);
    EXPECT_TRUE(fs::is_empty(Dir.Path("work")));
}

TEST_F(ServerTest, AJobWhosePortWillNotOpenWaits)
{
    setenv(("SKIPMAIL_COM" + std::to_string(kCom)).c_str(), "/nonexistent/tty", 1);
    const std::string job = Job("j.apj");
    Server->ForceSendQuery();
    EXPECT_TRUE(Events.empty());
    const TFaxRecipientRec r = Recip(job);
    EXPECT_EQ(r.Status, 0);
    EXPECT_EQ(r.LastResultCode(), kJobPortNotOpen);
    // Nothing was dialled: the job keeps all its attempts for the modem.
    EXPECT_EQ(r.AttemptNum, 0);
    EXPECT_TRUE(Server->QueryTimer()->isActive());
    EXPECT_TRUE(fs::is_empty(Dir.Path("work")));
}

// A received fax is reported (and printed) even when monitoring was switched
// off while no receiver ran.
TEST_F(ServerTest, AReceivedFaxIsNeverSwallowed)
{
    auto* printer = new TApdFaxPrinter(&Form);
    printer->SetPrintTarget(std::make_unique<FaxTest::TCountingTarget>(Sheets));
    Server->SetFaxPrinter(printer);
    Server->SetPrintOnReceive(true);
    Server->SetMonitoring(true);
    ASSERT_TRUE(ReceiverStarted(1));
    Job("j.apj");
    SendOnce(); // the receiver is cancelled for it
    Server->SetMonitoring(false);
    Server->SetMonitoring(true);
    ASSERT_TRUE(ReceiverStarted(2));
    Events.clear();
    Script().Ring = true;
    ASSERT_TRUE(PumpUntil([&] { return !Events.empty() && Events.back() == "receive finish 0"; }));
    ASSERT_EQ(Script().Received.size(), 1u);
    EXPECT_EQ(Script().Received[0], Dir.Path("in/FAX00001.APF"));
    EXPECT_EQ(Server->GetFaxFile(), Script().Received[0]);
    EXPECT_EQ(printer->FileName(), Script().Received[0]);
    EXPECT_EQ(Sheets, 2);
}

// The files of a call are those it stored: a call refused after one that
// brought a fax stores none, and nothing is printed again for it.
TEST_F(ServerTest, ACallThatStoresNothingPrintsNothing)
{
    auto* printer = new TApdFaxPrinter(&Form);
    printer->SetPrintTarget(std::make_unique<FaxTest::TCountingTarget>(Sheets));
    Server->SetFaxPrinter(printer);
    Server->SetPrintOnReceive(true);
    std::vector<std::vector<std::string>> reported;
    Server->OnFaxServerFinish = [&](TApdCustomFaxServer* cp, TFaxServerMode, int) {
        reported.push_back(cp->ReceivedFiles());
    };
    Server->SetMonitoring(true);
    ASSERT_TRUE(ReceiverStarted(1));
    Script().Ring = true;
    ASSERT_TRUE(PumpUntil([&] { return !reported.empty(); }));
    EXPECT_EQ(reported.back(), std::vector<std::string>{Dir.Path("in/FAX00001.APF")});
    EXPECT_TRUE(Server->ReceivedFiles().empty()) << "kept after the report";
    EXPECT_EQ(Sheets, 2);

    ASSERT_TRUE(ReceiverStarted(2));
    Server->OnFaxServerAccept = [](TApdCustomFaxServer*, bool& accept) { accept = false; };
    Script().Ring = true;
    ASSERT_TRUE(PumpUntil([&] { return reported.size() == 2; }));
    EXPECT_TRUE(reported.back().empty());
    EXPECT_EQ(Sheets, 2) << "the earlier fax printed again";
}

// Monitoring switched off and on again (new settings applied) starts the
// receiver afresh only once its cancelled run has ended, so the next call
// is reported as it ends, a broken one too.
TEST_F(ServerTest, MonitoringSwitchedOffAndOnAgainKeepsTheNextCall)
{
    Server->SetMonitoring(true);
    ASSERT_TRUE(ReceiverStarted(1));
    Server->SetMonitoring(false);
    Server->SetMonitoring(true);
    ASSERT_TRUE(ReceiverStarted(2));
    Events.clear();
    Script().ReceiveResult = AdErr::ecFaxSessionError;
    Script().Ring = true;
    ASSERT_TRUE(PumpUntil([&] { return !Events.empty(); }));
    EXPECT_EQ(Events, std::vector<std::string>{"receive finish -8069"});
}

// A send query that comes while the receiver starts neither closes the
// port under it nor starts it twice.
TEST_F(ServerTest, AQueryWhileTheReceiverStartsLeavesItAlone)
{
    Server->Receiver()->SetEngine({SlowPrepare, FakeFax::ReceiveEngine().Machine});
    Server->SetSendQueryInterval(1);
    Server->SetMonitoring(true);
    EXPECT_TRUE(Port->Open());
    ASSERT_TRUE(ReceiverStarted(1));
    PumpUntil([] { return false; }, 1500);
    EXPECT_EQ(Script().ReceiveRuns, 1);
    EXPECT_TRUE(Server->Receiver()->InProgress());
}

// A job that comes due while a receiver cancelled a moment before is still
// ending waits for that run: the cancel stays unreported, the send goes.
TEST_F(ServerTest, AJobWaitsForAReceiverCancelledJustBefore)
{
    Server->SetMonitoring(true);
    ASSERT_TRUE(ReceiverStarted(1));
    Job("j.apj");
    Server->SetMonitoring(false);
    Events.clear();
    SendOnce();
    EXPECT_EQ(Events, std::vector<std::string>{"send finish 0"});
    EXPECT_EQ(Script().SendRuns, 1);
    EXPECT_FALSE(Server->Receiver()->InProgress());
}

TEST_F(ServerTest, ReceivedFilesAreCountedOnAndTheHistoryKept)
{
    for (int n = 1; n <= 10000; ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "in/FAX%05d.APF", n);
        WriteFile(Dir.Path(name), "");
    }
    auto* log = new TApdFaxLog(&Form);
    log->FaxHistoryName = Dir.Path("FAXHIST.HIS");
    Server->SetFaxLog(log);
    Server->SetMonitoring(true);
    ASSERT_TRUE(ReceiverStarted(1));
    Script().Ring = true;
    ASSERT_TRUE(PumpUntil([&] { return !Events.empty() && Events.back() == "receive finish 0"; }));
    EXPECT_EQ(Script().Received, std::vector<std::string>{Dir.Path("in/FAX10001.APF")});

    const std::string history = ReadFile(Dir.Path("FAXHIST.HIS"));
    EXPECT_NE(history.find("Fax server ApdFaxServer1 started monitoring at "), std::string::npos);
    EXPECT_NE(history.find("\r\n    using COM61\r\n"), std::string::npos);
    EXPECT_NE(history.find("Receive " + Dir.Path("in/FAX10001.APF") + " from FAR END started at "),
              std::string::npos);
    EXPECT_NE(history.find("Receive finished OK at "), std::string::npos);
}

TEST_F(ServerTest, TheStatusDisplayShowsTheJob)
{
    auto* display = new TApdFaxStatus(&Form);
    ASSERT_EQ(Server->StatusDisplay(), display);
    TStandardFaxDisplay* form = display->Form();
    std::vector<std::string> seen;
    Server->OnFaxServerStatus = [&](TApdCustomFaxServer*, TFaxServerMode, bool first, bool last,
                                    uint16_t status) {
        if (first)
            seen.push_back(form->fsLabel2->text().toStdString() + " " +
                           form->fsFaxFileName->text().toStdString() + " " +
                           std::to_string(form->isVisible()));
        if (last)
            seen.push_back(form->fsLabel2->text().toStdString() + " " + std::to_string(status) +
                           " " + std::to_string(form->isVisible()));
    };
    const std::string job = Job("j.apj");
    SendOnce();
    EXPECT_EQ(seen,
              (std::vector<std::string>{"Job file name: " + job + " 1", "Fax file name: 4843 0"}));
    EXPECT_EQ(display->Fax(), Server->Sender());
}

// While idle the server has no call to ask of its modem: the queries answer
// empty and 0, also when asked as any fax component, and no modem is woken.
TEST_F(ServerTest, ModemQueriesWhileIdleAnswerNothing)
{
    ASSERT_EQ(Server->FaxServerMode(), TFaxServerMode::fsmIdle);
    EXPECT_EQ(Server->ModemModel(), "");
    EXPECT_EQ(Server->ModemChip(), "");
    EXPECT_EQ(Server->ModemRevision(), "");
    EXPECT_EQ(Server->ModemBPS(), 0);
    EXPECT_FALSE(Server->ModemECM());
    EXPECT_EQ(Server->SupportedFaxClasses(), 0);
    EXPECT_FALSE(Port->Open());

    TApdCustomAbstractFax* asFax = Server;
    EXPECT_EQ(asFax->ModemModel(), "");
    EXPECT_EQ(asFax->ModemChip(), "");
    EXPECT_EQ(asFax->SupportedFaxClasses(), 0);
}

// The enhanced fonts are the sender's, for header and cover lines.
TEST_F(ServerTest, EnhancedFontsGoToTheSender)
{
    Server->SetEnhFont("Courier,12");
    Server->SetEnhHeaderFont("Courier,8");
    EXPECT_EQ(Server->EnhFont(), "Courier,12");
    EXPECT_EQ(Server->EnhHeaderFont(), "Courier,8");
    EXPECT_EQ(Server->Sender()->FaxRec()->CData->StandardFont, "Courier,12");
    EXPECT_EQ(Server->Sender()->FaxRec()->CData->SmallFont, "Courier,8");
}
