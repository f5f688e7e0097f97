#include "fax/apf_file.h"
#include "fax/fax_components.h"
#include "fax/fax_history_log.h"
#include "fax/fax_meter.h"
#include "fax/fax_test_helpers.h"
#include "fax/server/fake_engine_helpers.h"
#include "fax/server/server_helpers.h"
#include "serial/ad_except.h"
#include "serial/ad_port.h"
#include "support/scripted_modem.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace FaxServerTest;
using FakeFax::Script;
using FaxTest::ReadFile;
using FaxTest::TScratch;
using FaxTest::WriteFile;
namespace fs = std::filesystem;

namespace {

constexpr unsigned kCom = 62;

// A sender and a receiver on a form with a port, over the scripted engine.
class ComponentTest : public testing::Test {
protected:
    void SetUp() override
    {
        FakeFax::Reset();
        // The system's temporary folder, which the components never use.
        fs::create_directory(Dir.Path("tmp"));
        setenv("TMPDIR", Dir.Path("tmp").c_str(), 1);
        Port = new TApdComPort(&Form);
        Port->SetComNumber(kCom);
        Port->SetAutoOpen(false);
        Sender = new TApdSendFax(&Form);
        Receiver = new TApdReceiveFax(&Form);
        Sender->SetEngine(FakeFax::SendEngine());
        Receiver->SetEngine(FakeFax::ReceiveEngine());
        for (TApdCustomAbstractFax* fax : {static_cast<TApdCustomAbstractFax*>(Sender),
                                           static_cast<TApdCustomAbstractFax*>(Receiver)})
            fax->OnFaxFinish = [this](TApdCustomAbstractFax*, int code) {
                Finishes.push_back(code);
            };
        Port->SetOpen(true);
    }
    void TearDown() override { unsetenv("TMPDIR"); }

    void Send()
    {
        Sender->StartTransmit();
        ASSERT_TRUE(PumpUntil([&] { return !Finishes.empty(); }));
        EXPECT_FALSE(Sender->InProgress());
    }

    TScratch Dir;
    FakeFax::TPtyPort Pty{kCom};
    QObject Form;
    TApdComPort* Port;
    TApdSendFax* Sender;
    TApdReceiveFax* Receiver;
    std::vector<int> Finishes;
};

} // namespace

TEST_F(ComponentTest, TakesThePortAndSetsItUp)
{
    EXPECT_EQ(Sender->ComPort(), Port);
    EXPECT_EQ(Port->OutSize(), 8192u);
    EXPECT_EQ(Port->Baud(), 19200u);
    EXPECT_EQ(Port->HWFlowOptions(), hwfUseRTS | hwfRequireCTS);
    // The server stores an interval of 0: the engine gets one second.
    Sender->SetStatusInterval(0);
    EXPECT_EQ(Sender->FaxRec()->PData->StatusInterval, 1);
    Port->SetOutSize(4096);
    EXPECT_THROW(Sender->StartTransmit(), EOutputBufferTooSmall);
    EXPECT_FALSE(Sender->InProgress());
}

TEST_F(ComponentTest, OneFileIsSentAsItIs)
{
    MakeSmallApf(Dir.Path("a.apf"), 1);
    Sender->SetFaxFile(Dir.Path("a.apf"));
    Sender->PhoneNumber = "555";
    Send();
    EXPECT_EQ(Finishes, std::vector<int>{0});
    ASSERT_EQ(Script().Sent.size(), 1u);
    EXPECT_EQ(Script().Sent[0].FaxFile, Dir.Path("a.apf"));
    EXPECT_EQ(Script().Sent[0].Number, "555");
    EXPECT_EQ(Script().SecondNextAnswers, std::vector<bool>{false});
}

TEST_F(ComponentTest, SeveralFilesAreJoinedForTheCall)
{
    MakeSmallApf(Dir.Path("a.apf"), 1, 1);
    MakeSmallApf(Dir.Path("b.apf"), 2, 2);
    MakeSmallApf(Dir.Path("c.apf"), 3, 3);
    Sender->SetFaxFileList({Dir.Path("a.apf"), Dir.Path("b.apf"), Dir.Path("c.apf")});
    Sender->StartManualTransmit();
    ASSERT_TRUE(PumpUntil([&] { return !Finishes.empty(); }));
    ASSERT_EQ(Script().Sent.size(), 1u);
    EXPECT_EQ(Script().Sent[0].Number, "Manual");
    // Joined beside the first file, never in the system's temporary folder.
    const fs::path joinedFile = Script().Sent[0].FaxFile;
    EXPECT_EQ(joinedFile.filename().string().substr(0, 3), "~AP");
    EXPECT_EQ(joinedFile.parent_path(), fs::path(Dir.Path("a.apf")).parent_path());
    const std::string joined = Script().Sent[0].FaxBytes;
    ASSERT_GE(joined.size(), 64u);
    EXPECT_EQ(TFaxHeaderRec::Decode(reinterpret_cast<const uint8_t*>(joined.data())).PageCount, 6);
    EXPECT_FALSE(fs::exists(joinedFile)) << "the joined file is left";
    EXPECT_TRUE(fs::is_empty(Dir.Path("tmp")));

    // A second file that is not APF stops the call before it starts.
    WriteFile(Dir.Path("b.apf"), std::string(64, 'x'));
    EXPECT_THROW(Sender->StartTransmit(), EFaxBadFormat);
    EXPECT_FALSE(Sender->InProgress());
    EXPECT_EQ(Script().SendRuns, 1);
    for (const auto& entry : fs::directory_iterator(Dir.Dir()))
        EXPECT_NE(entry.path().filename().string().substr(0, 3), "~AP") << entry.path();
}

TEST_F(ComponentTest, ReceiverNamesAndAccepts)
{
    const fs::path cwd = fs::current_path();
    fs::current_path(Dir.Dir());
    Receiver->FaxNameMode = TFaxNameMode::fnNone;
    std::string remote;
    Receiver->OnFaxAccept = [&](TApdCustomAbstractFax* cp, bool& accept) {
        remote = cp->RemoteID();
        accept = true;
    };
    Script().ReceivedBytes = "fax";
    Script().Ring = true;
    Receiver->StartReceive();
    const bool done = PumpUntil([&] { return !Finishes.empty(); });
    fs::current_path(cwd);
    ASSERT_TRUE(done);
    EXPECT_EQ(Finishes, std::vector<int>{0});
    EXPECT_EQ(remote, "FAR END");
    EXPECT_EQ(Script().Received, std::vector<std::string>{"noname.apf"});
    EXPECT_EQ(ReadFile(Dir.Path("noname.apf")), "fax");

    // A waiting receiver is cancelled.
    Finishes.clear();
    Receiver->StartReceive();
    ASSERT_TRUE(PumpUntil([&] { return Script().ReceiveRuns == 2; }));
    Receiver->CancelFax();
    ASSERT_TRUE(PumpUntil([&] { return !Finishes.empty(); }));
    EXPECT_EQ(Finishes, std::vector<int>{-6005});
}

TEST_F(ComponentTest, HistoryLog)
{
    auto* log = new TApdFaxLog(&Form);
    EXPECT_EQ(Sender->FaxLog(), log);
    EXPECT_EQ(log->Fax(), Sender);
    log->FaxHistoryName = Dir.Path("hist/FAXHIST.HIS");
    fs::create_directory(Dir.Path("hist"));
    Sender->SetFaxFileList({"a.apf", "b.apf"});
    Sender->PhoneNumber = "555";
    log->UpdateLog(lfaxTransmitStart);
    const std::string history = ReadFile(log->FaxHistoryName);
    const std::size_t first = history.find("\r\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(history.substr(0, 30), "Transmit a.apf to 555 started ");
    EXPECT_EQ(history.substr(first + 2, 30), "Transmit b.apf to 555 started ");
    EXPECT_EQ(history.find("\r\n", first + 2), history.size() - 2) << "two lines exactly";

    Sender->FaxRec()->PData->Error = -8068;
    Sender->SetFaxClass(TFaxClass::fcClass2);
    EXPECT_NE(log->GetLogString(lfaxTransmitFail, Sender)
                  .find("\r\n  (Failed to connect to remote fax) (0)\r\n"),
              std::string::npos);
    EXPECT_EQ(log->GetLogString(lfaxReceiveOk, Sender), "");

    log->FaxHistoryName.clear();
    log->UpdateLog(lfaxTransmitStart);
    EXPECT_EQ(ReadFile(Dir.Path("hist/FAXHIST.HIS")), history);
}

// A manual receive answers at once and ends after its call; an ordinary
// receive started after it on the same receiver waits again for the rings
// it is set to and, without OneFax, goes on waiting after its call.
TEST(ReceiverOnAModem, AnOrdinaryReceiveAfterAManualOneWaitsForItsRings)
{
    constexpr unsigned kModemCom = 65;
    const std::string page("\x11\x22\x33", 3);
    TScriptedModem m;
    auto setUp = [&] {
        m.Answer("ATE0Q0V1X4S0=0S2=43", {"OK"})
            .Answer("AT+FCLASS=2.0", {"OK"})
            .Answer("AT+FCR=1", {"OK"})
            .Answer("AT+FLI=\"\"", {"OK"})
            .Answer("AT+FAA=0", {"OK"});
    };
    auto listen = [&] {
        m.Answer("AT+FCLASS=2.0", {"OK"})
            .Answer("AT+FIS=1,3,0,2,0,0,0,0", {"OK"})
            .Answer("AT+FLO=2", {"OK"})
            .Answer("AT+FNR=1,1,1,0", {"OK"});
    };
    auto call = [&] {
        m.Answer("ATA", {"+FCO", "+FTI: \"SENDER 20\"", "+FCS: 0,3,0,2,0,0,0,0", "OK"});
        FaxTest::PassPage(m, page).Result("+FPS:1,0,0,0,0");
        FaxTest::EndFax(m, "+FHS:00");
    };
    setUp();
    listen();
    call(); // answered without a ring
    setUp();
    listen();
    m.Result("RING").Pause(300).Result("RING");
    call();
    listen(); // the next call is waited for
    m.Start();
    setenv(("SKIPMAIL_COM" + std::to_string(kModemCom)).c_str(), m.SlavePath().c_str(), 1);

    TScratch dir;
    QObject form;
    auto* port = new TApdComPort(&form);
    port->SetComNumber(kModemCom);
    port->SetAutoOpen(false);
    auto* receiver = new TApdReceiveFax(&form);
    receiver->SetFaxClass(TFaxClass::fcClass2_0);
    receiver->SetDestinationDir(dir.Dir());
    receiver->SetAnswerOnRing(2);
    std::vector<int> finishes;
    receiver->OnFaxFinish = [&](TApdCustomAbstractFax*, int code) { finishes.push_back(code); };
    std::vector<int> ringsAtAnswer;
    receiver->OnFaxAccept = [&](TApdCustomAbstractFax* cp, bool& accept) {
        ringsAtAnswer.push_back(cp->FaxRec()->CData->RingCount);
        accept = true;
    };
    port->SetOpen(true);

    receiver->StartManualReceive(true);
    ASSERT_TRUE(PumpUntil([&] { return !finishes.empty(); })) << m.Errors();
    EXPECT_EQ(finishes, std::vector<int>{0}) << m.Errors();

    finishes.clear();
    receiver->StartReceive();
    EXPECT_TRUE(PumpUntil([&] { return m.WaitDone(10); }, 30000)) << m.Errors();
    EXPECT_EQ(m.Errors(), "");
    EXPECT_EQ(ringsAtAnswer, (std::vector<int>{0, 2}));
    EXPECT_TRUE(fs::exists(dir.Path("FAX0001.APF")));
    EXPECT_TRUE(fs::exists(dir.Path("FAX0002.APF")));
    // Back to waiting for the next call, the run going on.
    EXPECT_TRUE(PumpUntil([&] { return receiver->FaxProgress() == FaxStatus::fpWaiting; }, 10000));
    EXPECT_TRUE(finishes.empty()) << "the run ended with its call";
    receiver->CancelFax();
    ASSERT_TRUE(PumpUntil([&] { return !finishes.empty(); }));
    EXPECT_EQ(finishes, std::vector<int>{-6005});
    port->SetOpen(false);
    unsetenv(("SKIPMAIL_COM" + std::to_string(kModemCom)).c_str());
}

TEST(FaxMeter, BlocksAndNoRange)
{
    TApdMeter meter;
    meter.resize(150, 16);
    meter.SetPosition(50);
    // ((150 - 3) div 8) * 50 div 100 + 1
    EXPECT_EQ(meter.BlockCount(), 10);
    meter.SetPosition(100);
    EXPECT_EQ(meter.BlockCount(), 18);
    EXPECT_EQ(meter.PartialWidth(), 2);
    meter.SetMax(0); // no range
    EXPECT_EQ(meter.BlockCount(), 0);
    meter.SetMax(100);
    meter.SetStep(0);
    EXPECT_EQ(meter.BlockCount(), 0);
    meter.grab(); // paints without dividing by zero
}
