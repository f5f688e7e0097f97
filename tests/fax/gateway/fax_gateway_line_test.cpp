#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <ctime>
#include <filesystem>
#include <optional>

#include "core/config.h"
#include "core/message_store.h"
#include "fax/fax_gateway.h"
#include "fax/fax_job_file.h"
#include "fax/fax_server_manager.h"
#include "fax/fax_test_helpers.h"
#include "fax/gateway/gateway_helpers.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "platform/text.h"
#include "serial/ad_except.h"
#include "support/fax_line.h"
#include "support/test_files.h"

using namespace FaxGatewayTest;
namespace fs = std::filesystem;

namespace {
constexpr int kFaxCom = 81;
// Blank lines the sender puts above each page.
constexpr int kBlankTop = 8;

std::string ComVariable()
{
    return "SKIPMAIL_COM" + std::to_string(kFaxCom);
}

// The modem's device name, which stays when the modem is plugged in again
// (as a udev link names a USB adapter): a link to its pseudo-terminal.
void PointAt(const std::string& link, const std::string& pty)
{
    const std::string fresh = link + ".new";
    fs::remove(fresh);
    fs::create_symlink(pty, fresh);
    fs::rename(fresh, link);
}

// Seconds of processor time the whole test program used.
double CpuSeconds()
{
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

// A fax gateway whose modem is end 0 of a telephone line, reached through a
// link that stays when the modem is unplugged and plugged in again, with a
// clock the test can move on.
struct TLineStation {
    explicit TLineStation(const std::string& ini)
    {
        PointAt(Modem, Line.AddModem(0));
        setenv(ComVariable().c_str(), Modem.c_str(), 1);
        TFaxLine::TTerminalSetup answer;
        answer.ReceiveTiff = Root.Dir() + "/first.tif";
        Line.AddTerminal(1, answer);
        Line.Speed = 1.5;
        Line.Start();
        WriteFileAtomic(DataRoot::Path("skipmail.INI"),
                        "[GENERAL]\r\nSOFTWAREVERSION=MAIL/FAX GATEWAY\r\n[MAIL]\r\n"
                        "MAXMAILSIZE=4096\r\n[FAXMODEM]\r\nPORT=" +
                            std::to_string(kFaxCom) + "\r\n" + ini);
        Config.emplace();
        Gateway = std::make_unique<TFaxGateway>(nullptr, &*Config);
        Gateway->ApdFaxServer1->Clock = [this] { return Now() + Later; };
        Gateway->ApdFaxServerManager1->Clock = [this] { return Now() + Later; };
        Gateway->SendQueryInterval = 1;
        Gateway->SendPause = 18;
        Gateway->ApplySettings();
        // The page a call is on, read while the engine waits for its status
        // report to be taken.
        auto logStatus = Gateway->ApdFaxServer1->OnFaxServerStatus;
        Gateway->ApdFaxServer1->OnFaxServerStatus =
            [this, logStatus](TApdCustomFaxServer* cp, TFaxServerMode mode, bool first, bool last,
                              uint16_t status) {
                logStatus(cp, mode, first, last, status);
                if (status == FaxStatus::fpSendPage || status == FaxStatus::fpGetPage)
                    PageData = cp->CurrentPage();
            };
    }
    ~TLineStation()
    {
        Gateway.reset();
        Line.Stop();
        unsetenv(ComVariable().c_str());
    }

    std::string Log() const { return FromQt(Gateway->StatusEdit->toPlainText()); }
    bool Logged(const std::string& text) const { return Log().find(text) != std::string::npos; }
    bool WaitLogged(const std::string& text, int ms)
    {
        return QTest::qWaitFor([&] { return Logged(text); }, ms);
    }
    // Unplugs the modem once the call is on that page's data.
    void UnplugOnPage(int page)
    {
        ASSERT_TRUE(QTest::qWaitFor([&] { return PageData >= page; }, 60000)) << Log();
        Line.UnplugModem(0);
    }
    // Processor time used over a few seconds with nothing to do but wait.
    double IdleCpu()
    {
        const double before = CpuSeconds();
        QTest::qWait(3000);
        return CpuSeconds() - before;
    }
    void PlugIn() { PointAt(Modem, Line.PlugModem(0)); }

    TempRoot Root;
    const std::string Modem = Root.Dir() + "/modem";
    TFaxLine Line;
    std::optional<TConfig> Config; // read once the station's files are written
    std::unique_ptr<TFaxGateway> Gateway;
    std::atomic<double> Later{0};
    int PageData = 0;
};
} // namespace

// A busy number is dialled again RetryDelay minutes later, not before; when
// the attempts are used up the administrator gets the fax's pages through
// the queue, under the number as it was written.
TEST(FaxGatewayLine, ABusyNumberIsRetriedAfterTheDelayThenTheAdministratorIsTold)
{
    TLineStation s("RETRY=2\r\nRETRYDELAY=1\r\n");
    TFaxGateway& gateway = *s.Gateway;
    const std::string fax = DataRoot::Path("OUTFAX/77.apf");
    FaxTest::MakeApf(fax, {FaxTest::MakePbm(60, 3)}, {true});
    TApdFaxClient client;
    client.FaxFileName = fax;
    client.JobFileName = DataRoot::Path("OUTFAX/77.apj");
    const std::string number = std::string(TFaxLine::kBusyNumber) + " (0) 12-34";
    client.SetPhoneNumber(number);
    client.MakeFaxJob();

    ASSERT_TRUE(s.WaitLogged("Attempts left", 30000)) << s.Log();
    EXPECT_TRUE(s.Logged("Fax status: Error Called fax number was busy ID: 77"));
    EXPECT_TRUE(s.Logged("Fax status: 1 Attempts left for ID: 77"));
    EXPECT_TRUE(s.Logged("    Next retry attempt in 1 minutes"));
    const TFaxJob job = TFaxJob::Load(DataRoot::Path("OUTFAX/77.apj"));
    const double wait = (job.Recipients[0].SchedDT - Now()) * 86400;
    EXPECT_GT(wait, 50);
    EXPECT_LT(wait, 61);
    EXPECT_EQ(gateway.ApdFaxServer1->DelayBetweenSends, 18);
    QTest::qWait(2500);
    EXPECT_FALSE(s.Logged("Failed to deliver"));

    s.Later = 61.0 / 86400;
    ASSERT_TRUE(s.WaitLogged("Forwarded Fax to station Administrator", 30000)) << s.Log();
    EXPECT_TRUE(s.Logged("Fax status: Failed to deliver this fax message"));
    EXPECT_FALSE(fs::exists(fax));
    // The job stays as the record of its failure, never sent again.
    EXPECT_EQ(TFaxJob::Load(DataRoot::Path("OUTFAX/77.apj")).Header.Status, kJobHandled);
    const auto queued = MessageStore::ListMessages(DataRoot::Path("QUEUE"));
    ASSERT_EQ(queued.size(), 1u);
    const std::string notice = DataRoot::Path("QUEUE/" + queued[0].Name);
    std::string text;
    ASSERT_TRUE(ReadWholeFile(notice, text));
    EXPECT_EQ(text.rfind("RCPT: admin\r\n", 0), 0u);
    fs::create_directory(DataRoot::Path("out"));
    const std::string got = Oracle({"read", notice, DataRoot::Path("out")});
    EXPECT_EQ(Lines(got, "subject"),
              std::vector<std::string>{"Fax Error: Failed to deliver FAX Message to " + number});
    EXPECT_EQ(Lines(got, "page"), std::vector<std::string>{"Page1.BMP image/bmp 1728 60"});
}

// A modem unplugged while a page goes out ends that attempt as a failed
// one: the job waits RetryDelay with an attempt less, nothing spins, and
// once the modem is back at its name the job goes out whole.
TEST(FaxGatewayLine, AModemLostMidPageCostsOneAttemptAndTheJobGoesOnceItIsBack)
{
    TLineStation s("RETRY=2\r\nRETRYDELAY=1\r\n");
    const std::string fax = DataRoot::Path("OUTFAX/78.apf");
    const std::string jobFile = DataRoot::Path("OUTFAX/78.apj");
    const std::vector<std::string> pages{FaxTest::MakePbm(500, 1), FaxTest::MakePbm(60, 2)};
    FaxTest::MakeApf(fax, pages, {true, false});
    TApdFaxClient client;
    client.FaxFileName = fax;
    client.JobFileName = jobFile;
    client.JobName = "HF FAX";
    client.SetPhoneNumber("555");
    client.MakeFaxJob();

    s.UnplugOnPage(1);
    ASSERT_TRUE(s.WaitLogged("Attempts left", 30000)) << s.Log();
    EXPECT_TRUE(s.Logged("Fax status: Error Serial device not available or lost ID: 78"));
    EXPECT_TRUE(s.Logged("Fax status: 1 Attempts left for ID: 78"));
    EXPECT_LT(s.IdleCpu(), 1.0);
    const TFaxRecipientRec r = TFaxJob::Load(jobFile).Recipients[0];
    EXPECT_EQ(r.Status, kJobUnhandled);
    EXPECT_EQ(r.AttemptNum, 1);
    EXPECT_EQ(r.LastResultCode(), AdErr::ecHardware);
    EXPECT_GT((r.SchedDT - Now()) * 86400, 50);
    EXPECT_TRUE(fs::exists(fax));
    EXPECT_TRUE(MessageStore::ListMessages(DataRoot::Path("QUEUE")).empty());

    s.PlugIn();
    TFaxLine::TTerminalSetup answer;
    answer.ReceiveTiff = DataRoot::Path("got.tif");
    s.Line.RearmTerminal(1, answer);
    s.Later = 61.0 / 86400;
    ASSERT_TRUE(s.WaitLogged("Fax status: sent successfully ID: 78", 120000)) << s.Log();
    EXPECT_TRUE(s.Line.WaitTerminal(1, 10000));
    EXPECT_EQ(s.Line.TerminalResult(1).Completion, 0);
    const auto got = FaxTest::TiffPages(answer.ReceiveTiff);
    ASSERT_EQ(got.size(), 2u);
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_TRUE(FaxTest::SamePage(pages[i], got[i], kBlankTop)) << i;
    EXPECT_FALSE(fs::exists(jobFile));
    EXPECT_FALSE(fs::exists(fax));
    EXPECT_FALSE(s.Logged("Failed to deliver"));
}

// A modem unplugged while a fax comes in: the pages received so far go to
// the administrator as an incomplete fax, nothing spins, and once the modem
// is back at its name the next call is answered.
TEST(FaxGatewayLine, AModemLostMidFaxForwardsItsPagesAndTheNextCallIsAnswered)
{
    TLineStation s("[FAXRECEIVE]\r\nRECEIVEENABLED=TRUE\r\nFORWARDENABLED=TRUE\r\nNUMRINGS=1\r\n");
    ASSERT_TRUE(s.WaitLogged("Fax status (receive): Waiting for incoming call", 30000)) << s.Log();
    const std::vector<std::string> pages{FaxTest::MakePbm(80, 3), FaxTest::MakePbm(600, 4)};
    TFaxLine::TTerminalSetup call;
    call.Calling = true;
    call.SendTiff = DataRoot::Path("sent.tif");
    FaxTest::MakeTiff(call.SendTiff, pages, {true, true});
    s.Line.RearmTerminal(1, call);

    s.UnplugOnPage(2);
    const std::string queue = DataRoot::Path("QUEUE");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !MessageStore::ListMessages(queue).empty(); }, 30000))
        << s.Log();
    EXPECT_LT(s.IdleCpu(), 1.0);
    const auto mail = MessageStore::ListMessages(queue);
    ASSERT_EQ(mail.size(), 1u);
    fs::create_directory(DataRoot::Path("out"));
    const std::string got = Oracle({"read", queue + "/" + mail[0].Name, DataRoot::Path("out")});
    ASSERT_EQ(Lines(got, "subject").size(), 1u);
    EXPECT_NE(Lines(got, "subject")[0].find(" - incomplete"), std::string::npos) << got;
    EXPECT_NE(got.find("Serial device not available or lost"), std::string::npos) << got;
    ASSERT_GE(Lines(got, "page").size(), 1u) << got;
    EXPECT_TRUE(
        FaxTest::SamePage(pages[0], FaxTest::ReadFile(DataRoot::Path("out/Page1.BMP.pbm"))));

    s.PlugIn();
    call.SendTiff = DataRoot::Path("second.tif");
    FaxTest::MakeTiff(call.SendTiff, {pages[0]}, {true});
    s.Line.RearmTerminal(1, call);
    ASSERT_TRUE(s.WaitLogged("Fax status: received successfully", 120000)) << s.Log();
    EXPECT_TRUE(s.Line.WaitTerminal(1, 10000));
    EXPECT_EQ(s.Line.TerminalResult(1).Completion, 0);
    EXPECT_EQ(MessageStore::ListMessages(queue).size(), 2u);
}
