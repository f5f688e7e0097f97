#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <filesystem>

#include "core/config.h"
#include "core/date_time.h"
#include "core/message_store.h"
#include "fax/ad_fax_prn.h"
#include "fax/fax_config_frm.h"
#include "fax/fax_gateway.h"
#include "fax/fax_server_manager.h"
#include "fax/fax_test_helpers.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "platform/shell.h"
#include "platform/text.h"
#include "serial/ad_port.h"
#include "support/scripted_dialogs.h"
#include "support/test_files.h"

namespace fs = std::filesystem;

namespace {

std::time_t At(int month, int day, int h, int m, int s)
{
    std::tm t{};
    t.tm_year = 2024 - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

class FaxGatewayTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        DateTime::SetNowForTest([] { return At(3, 5, 14, 7, 9); });
    }
    void TearDown() override
    {
        Gateway.reset();
        DateTime::SetNowForTest(nullptr);
        unsetenv("TMPDIR");
    }

    void Start(const std::string& faxKeys = "")
    {
        WriteFileAtomic(DataRoot::Path("skipmail.INI"),
                        "[GENERAL]\r\nSOFTWAREVERSION=MAIL/FAX GATEWAY\r\n" + faxKeys);
        Config = std::make_unique<TConfig>();
        Gateway = std::make_unique<TFaxGateway>(nullptr, Config.get());
    }

    std::string Read(const std::string& relative)
    {
        std::string text;
        EXPECT_TRUE(ReadWholeFile(DataRoot::Path(relative), text)) << relative;
        return text;
    }

    TempRoot Dir;
    std::unique_ptr<TConfig> Config;
    std::unique_ptr<TFaxGateway> Gateway;
};

} // namespace

TEST_F(FaxGatewayTest, SettingsDialogStoresAndAppliesOnlyAWholeOk)
{
    Start();
    EXPECT_TRUE(Gateway->POPtimer->isActive());
    EXPECT_EQ(Gateway->ApdComPort1->ComNumber(), 3);
    TScriptedDialogs dialogs;
    dialogs.ExpectDialog("TFaxConfigFrm", [](QDialog& dialog) {
        auto& d = static_cast<TFaxConfigFrm&>(dialog);
        // The defaults, on the Receive tab.
        EXPECT_EQ(d.PageControl1->currentWidget(), d.TabSheet3);
        EXPECT_EQ(d.ComPort->currentText(), "COM3");
        EXPECT_EQ(d.Retry->currentText(), "3");
        EXPECT_EQ(d.RetryDelay->currentText(), "10");
        EXPECT_EQ(d.DialTone->currentText(), "Tone");
        EXPECT_EQ(d.NumberOfRings->currentText(), "3");
        EXPECT_EQ(d.ForwardAddress->text(), "admin");
        // Typed keys never reach the three pick-only boxes.
        QTest::keyClicks(d.Retry, "7");
        EXPECT_EQ(d.Retry->currentText(), "3");
        d.ComPort->setCurrentIndex(4);
        d.RetryDelay->setCurrentIndex(11);
        d.DialTone->setEditText("Tone ");
        d.ForwardEnabled->setChecked(true);
        d.ForwardAddress->clear();
        return TFaxConfigFrm::mrOk;
    });
    Gateway->ConfigureClick();
    EXPECT_EQ(Config->FaxModem.Port, 5);
    EXPECT_EQ(Config->FaxModem.RetryDelay, 60);
    EXPECT_EQ(Config->FaxModem.DialTone, "Tone ");
    EXPECT_TRUE(Config->FaxReceive.ForwardEnabled);
    EXPECT_EQ(Config->FaxReceive.ForwardAddress, "");
    EXPECT_EQ(Gateway->ApdComPort1->ComNumber(), 5);
    EXPECT_TRUE(Gateway->POPtimer->isActive());

    // A port text without a number stores nothing and says so; closing by
    // the title bar stores nothing either.
    dialogs.ExpectDialog("TFaxConfigFrm", [](QDialog& dialog) {
        auto& d = static_cast<TFaxConfigFrm&>(dialog);
        d.ComPort->setEditText("COMX");
        d.Retry->setCurrentIndex(0);
        return TFaxConfigFrm::mrOk;
    });
    dialogs.ExpectBox("\"COMX\" is not a serial port", IDOK);
    dialogs.ExpectDialog("TFaxConfigFrm", [](QDialog& dialog) {
        auto& d = static_cast<TFaxConfigFrm&>(dialog);
        EXPECT_EQ(d.ComPort->currentText(), "COM5");
        d.Retry->setCurrentIndex(0);
        return 0;
    });
    Gateway->ConfigureClick();
    Gateway->ConfigureClick();
    EXPECT_EQ(Config->FaxModem.Port, 5);
    EXPECT_EQ(Config->FaxModem.Retry, 3);
    EXPECT_TRUE(Gateway->POPtimer->isActive());
}

TEST_F(FaxGatewayTest, LogLinesAreStampedFiledByDayAndNotRepeated)
{
    Start();
    Gateway->Button1Click();
    fs::remove(DataRoot::Path("LOGS/FAX_GATEWAY_0305.TXT"));
    for (const char* text : {"Fax status: Port is opened", "Fax status: Port is opened",
                             "Fax status: Port is closed", "Fax status: Port is opened"})
        Gateway->LogStatus(text);
    const std::string want = "[05-Mar-24 14:07:09]  Fax status: Port is opened\r\n"
                             "[05-Mar-24 14:07:09]  Fax status: Port is closed\r\n"
                             "[05-Mar-24 14:07:09]  Fax status: Port is opened\r\n";
    EXPECT_EQ(Read("LOGS/FAX_GATEWAY_0305.TXT"), want);
    EXPECT_EQ(Gateway->StatusEdit->blockCount(), 3);
    Gateway->Closing = true;
    Gateway->LogStatus("Fax status: Port is closed");
    EXPECT_EQ(Read("LOGS/FAX_GATEWAY_0305.TXT"), want);
}

TEST_F(FaxGatewayTest, ViewOpensTodaysLogCreatingItEmpty)
{
    Start();
    fs::remove_all(DataRoot::Path("LOGS"));
    std::vector<std::string> opened;
    Shell::SetLauncher([&](const std::string&, const std::vector<std::string>& args) {
        opened = args;
        return true;
    });
    Gateway->OpenLog1->trigger();
    Shell::SetLauncher({});
    const std::string path = DataRoot::Path("LOGS/FAX_GATEWAY_0305.TXT");
    EXPECT_EQ(Read("LOGS/FAX_GATEWAY_0305.TXT"), "");
    ASSERT_FALSE(opened.empty());
    EXPECT_EQ(opened.back(), path);
}

TEST_F(FaxGatewayTest, SetUpGoesOnPastADirectoryItCannotMakeAndEmptiesOnlyItsScratch)
{
    for (const char* dir : {"MAIL", "Files", "OUTFAX", "TEMP/FAX/old"})
        fs::create_directories(DataRoot::Path(dir));
    // A file where the administrator's mailbox should be.
    WriteFileAtomic(DataRoot::Path("MAIL/admin"), "x");
    WriteFileAtomic(DataRoot::Path("Files/photo.bmp"), "mine");
    WriteFileAtomic(DataRoot::Path("OUTFAX/77.apj"), "job");
    WriteFileAtomic(DataRoot::Path("OUTFAX/SRVMGR.LCK"), "");
    WriteFileAtomic(DataRoot::Path("TEMP/FAX/old/Page1.BMP"), "scratch");
    WriteFileAtomic(DataRoot::Path("TEMP/FAX/1.fax"), "scratch");
    TScriptedDialogs dialogs;
    dialogs.ExpectBox("Error Creating Directory\n" + DataRoot::Path("MAIL/admin"), IDOK);
    Start();
    EXPECT_EQ(Gateway->RootDir, DataRoot::Get());
    EXPECT_EQ(Gateway->AdminDir, DataRoot::Path("MAIL/admin/"));
    EXPECT_EQ(Gateway->Fax2Dir, DataRoot::Path("MAIL/Fax2/"));
    EXPECT_EQ(Gateway->FilesDir, DataRoot::Path("Files/"));
    EXPECT_TRUE(fs::is_directory(DataRoot::Path("MAIL/Fax2")));
    EXPECT_TRUE(fs::is_directory(DataRoot::Path("MAIL/Fax2/BAD")));
    EXPECT_TRUE(fs::is_empty(DataRoot::Path("TEMP/FAX")));
    EXPECT_EQ(Read("Files/photo.bmp"), "mine");
    EXPECT_EQ(Read("OUTFAX/77.apj"), "job");
    EXPECT_TRUE(fs::exists(DataRoot::Path("OUTFAX/SRVMGR.LCK")));
}

// The fax of a job being sent waits in the gateway's scratch folder: one
// that a crash left there goes at the next start, and none is ever put into
// the system's temporary folder.
TEST_F(FaxGatewayTest, AJobsFaxIsExtractedIntoTheScratchFolderTheNextStartEmpties)
{
    fs::create_directories(DataRoot::Path("systmp"));
    setenv("TMPDIR", DataRoot::Path("systmp").c_str(), 1);
    Start();
    const std::string fax = DataRoot::Path("fax.apf");
    FaxTest::MakeApf(fax, {FaxTest::MakePbm(40, 1)}, {false});
    TFaxRecipientRec r;
    r.PhoneNumber = "555";
    TApdFaxServerManager& manager = *Gateway->ApdFaxServerManager1;
    manager.MakeJob(fax, "", "HF FAX", "HF Gateway", DataRoot::Path("OUTFAX/1.apj"), r);
    std::string job, extracted, cover;
    ASSERT_TRUE(manager.GetJob(r, nullptr, job, extracted, cover));
    EXPECT_EQ(extracted, DataRoot::Path("TEMP/FAX/HF FAX.APF"));
    Gateway.reset(); // as a crash during the call would
    Start();
    EXPECT_FALSE(fs::exists(extracted));
    EXPECT_TRUE(fs::is_empty(DataRoot::Path("systmp")));
}

// Without its fax modem the gateway cannot receive, but it still watches its
// job directory and queries it.
TEST_F(FaxGatewayTest, AMissingFaxModemStopsReceivingOnly)
{
    setenv("SKIPMAIL_COM82", DataRoot::Path("no-such-tty").c_str(), 1);
    Start("[FAXMODEM]\r\nPORT=82\r\nRETRYDELAY=60\r\n[FAXRECEIVE]\r\nRECEIVEENABLED=TRUE\r\n");
    unsetenv("SKIPMAIL_COM82");
    const std::string log = FromQt(Gateway->StatusEdit->toPlainText());
    EXPECT_NE(log.find("Fax status: Error Setting Configuration"), std::string::npos) << log;
    EXPECT_FALSE(Gateway->ApdFaxServer1->Monitoring());
    EXPECT_EQ(Gateway->ApdFaxServerManager1->MonitorDir(), DataRoot::Path("OUTFAX/"));
    EXPECT_FALSE(Gateway->ApdFaxServerManager1->Paused);
    EXPECT_TRUE(Gateway->ApdFaxServer1->QueryTimer()->isActive());
    // An hour between attempts, in the seconds a job waits.
    EXPECT_EQ(Gateway->ApdFaxServer1->DialRetryWait, 3600);
    EXPECT_TRUE(Gateway->POPtimer->isActive());
}

// A call that broke off after a page still brings that page to its reader,
// once; pages too large for the station's mail size leave the fax where it
// is and tell the administrator as well.
TEST_F(FaxGatewayTest, ABrokenOffFaxIsForwardedOnceAndATooLargeOneReachesAdminToo)
{
    Start("[MAIL]\r\nMAXMAILSIZE=1\r\n[FAXRECEIVE]\r\nFORWARDENABLED=TRUE\r\n"
          "FORWARDADDRESS=bob@FIELD\r\n");
    const std::string fax = DataRoot::Path("MAIL/Fax2/FAX00001.APF");
    FaxTest::MakeApf(fax, {FaxTest::MakePbm(400, 1)}, {true});
    TApdFaxServer* server = Gateway->ApdFaxServer1;
    server->SetFaxFile(fax);
    Gateway->ApdFaxServer1FaxServerFinish(server, TFaxServerMode::fsmReceive, -8069);
    Gateway->ApdFaxServer1FaxServerFinish(server, TFaxServerMode::fsmReceive, -8069);
    const auto queued = MessageStore::ListMessages(DataRoot::Path("QUEUE"));
    ASSERT_EQ(queued.size(), 1u);
    const std::string mail = Read("QUEUE/" + queued[0].Name);
    EXPECT_EQ(mail.rfind("RCPT: bob@FIELD\r\nRCPT: admin\r\n", 0), 0u) << mail;
    EXPECT_NE(mail.find("Subject: Received Fax (14:07:09) - incomplete"), std::string::npos);
    EXPECT_NE(mail.find("the fax is kept as " + fax), std::string::npos) << mail;
    EXPECT_EQ(mail.find("Page1"), std::string::npos);
    EXPECT_TRUE(fs::exists(fax));
}

// A fatal error leaves the fax server idle; the gateway sets it up again a
// while later, its send query included, after a receive as after a send.
TEST_F(FaxGatewayTest, AFatalModemErrorResetsTheGatewayLaterAndSendingResumes)
{
    Start();
    Gateway->ResetDelayMs = 20;
    TApdFaxServer* server = Gateway->ApdFaxServer1;
    server->QueryTimer()->stop();
    Gateway->ApdFaxServer1FaxServerFatalError(server, TFaxServerMode::fsmReceive, -8063, 0);
    auto log = [&] { return FromQt(Gateway->StatusEdit->toPlainText()); };
    EXPECT_NE(log().find("Fatal error occured while receiving\n"), std::string::npos);
    EXPECT_NE(log().find("    ErrorCode = (-8063) "), std::string::npos);
    EXPECT_FALSE(server->QueryTimer()->isActive());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return log().find("Fax status: Fax Gateway Resetting") != std::string::npos; },
        5000));
    EXPECT_TRUE(server->QueryTimer()->isActive());
}

// The administrator hears of a fax that was never delivered also when its
// pages can no longer be read.
TEST_F(FaxGatewayTest, AFailureNoticeGoesOutEvenWithoutItsPages)
{
    Start();
    Gateway->NotifySendFailure(DataRoot::Path("OUTFAX/7.apj"));
    const auto queued = MessageStore::ListMessages(DataRoot::Path("QUEUE"));
    ASSERT_EQ(queued.size(), 1u);
    const std::string mail = Read("QUEUE/" + queued[0].Name);
    EXPECT_EQ(mail.rfind("RCPT: admin\r\n", 0), 0u) << mail;
    EXPECT_NE(mail.find("Subject: Fax Error: Failed to deliver FAX Message to"), std::string::npos);
    EXPECT_NE(mail.find("OUTFAX/7.apf cannot be attached"), std::string::npos) << mail;
}

// When a fax's last attempt has failed the administrator gets the notice,
// with no text of its own, and the gateway then sets itself up afresh.
TEST_F(FaxGatewayTest, TheLastFailedAttemptSendsTheNoticeThenResetsTheGateway)
{
    Start();
    TApdFaxServer* server = Gateway->ApdFaxServer1;
    server->DialAttempts = 0;
    Gateway->ApdComPort1->SetComNumber(9);
    Gateway->ApdFaxServer1FaxServerFinish(server, TFaxServerMode::fsmSend, -8064);
    auto log = [&] { return FromQt(Gateway->StatusEdit->toPlainText()); };
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return log().find("Fax status: Fax Gateway Resetting") != std::string::npos; }, 5000))
        << log();
    const std::string text = log();
    EXPECT_LT(text.find("Fax status: Failed to deliver this fax message"),
              text.find("Fax status: Fax Gateway Resetting"));
    EXPECT_EQ(Gateway->ApdComPort1->ComNumber(), 3);
    EXPECT_TRUE(Gateway->POPtimer->isActive());

    // The notice of a fax whose pages are at hand: the pages, no text.
    fs::remove_all(DataRoot::Path("QUEUE"));
    const std::string fax = DataRoot::Path("OUTFAX/7.apf");
    FaxTest::MakeApf(fax, {FaxTest::MakePbm(40, 1)}, {true});
    Gateway->NotifySendFailure(DataRoot::Path("OUTFAX/7.apj"));
    const auto queued = MessageStore::ListMessages(DataRoot::Path("QUEUE"));
    ASSERT_EQ(queued.size(), 1u);
    const std::string mail = Read("QUEUE/" + queued[0].Name);
    EXPECT_NE(mail.find("Page1.BMP"), std::string::npos) << mail;
    EXPECT_EQ(mail.find("text/plain"), std::string::npos) << mail;
    EXPECT_EQ(mail.find("attempt"), std::string::npos) << mail;
}

// What became of a received fax's print is in the log: printed, kept as a
// PDF without a printer, or the print command's own words.
TEST_F(FaxGatewayTest, APrintsOutcomeIsLogged)
{
    Start();
    const std::string fax = DataRoot::Path("MAIL/Fax2/FAX00001.APF");
    FaxTest::MakeApf(fax, {FaxTest::MakePbm(40, 1)}, {true});
    const std::string pdf = DataRoot::Path("MAIL/Fax2/FAX00001.pdf");
    struct Case {
        const char* script; // empty: no lp at all
        std::string line;
    };
    for (const Case& c :
         {Case{"echo 'request id is q-1 (1 file(s))'\n", "Fax status: Printed FAX00001"},
          Case{"echo 'lp: Error - printer jammed' >&2\nexit 1\n",
               "Fax status: Printing FAX00001 failed: lp: Error - printer jammed"},
          Case{"", "Fax status: No printer; FAX00001 kept as " + pdf}}) {
        const std::string lp = DataRoot::Path("lp");
        fs::remove(lp);
        if (*c.script) {
            WriteFile(lp, std::string("#!/bin/sh\n") + c.script);
            fs::permissions(lp, fs::perms::owner_all);
        }
        setenv("SKIPMAIL_LP", lp.c_str(), 1);
        // As the fax server prints a received fax.
        TApdFaxPrinter& printer = *Gateway->ApdFaxPrinter1;
        printer.SetFileName(fax);
        try {
            printer.PrintFax();
        } catch (const std::exception&) {
        }
        unsetenv("SKIPMAIL_LP");
        const std::string log = FromQt(Gateway->StatusEdit->toPlainText()) + "\n";
        EXPECT_NE(log.find("  " + c.line + "\n"), std::string::npos) << log;
        Gateway->LogStatus("-");
    }
}
