#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QTest>
#include <filesystem>

#include "core/config.h"
#include "core/date_time.h"
#include "fax/fax_config_frm.h"
#include "fax/fax_gateway.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "platform/shell.h"
#include "platform/text.h"
#include "serial/ad_port.h"
#include "support/scripted_dialogs.h"

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
        ASSERT_TRUE(Dir.isValid());
        DataRoot::Set(Dir.path().toStdString());
        DateTime::SetNowForTest([] { return At(3, 5, 14, 7, 9); });
    }
    void TearDown() override
    {
        Gateway.reset();
        DateTime::SetNowForTest(nullptr);
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

    QTemporaryDir Dir;
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
    for (const char* text : {"Fax status: Port is opened", "Fax status: Port is opened",
                             "Fax status: Port is closed", "Fax status: Port is opened"})
        Gateway->LogStatus(text);
    const std::string want = "[05-Mar-24 14:07:09]  Fax status: Port is opened\r\n"
                             "[05-Mar-24 14:07:09]  Fax status: Port is closed\r\n"
                             "[05-Mar-24 14:07:09]  Fax status: Port is opened\r\n";
    EXPECT_EQ(Read("LOGS/FAX_GATEWAY_0305.TXT"), want);
    EXPECT_EQ(FromQt(Gateway->StatusEdit->toPlainText()) + "\n", [&] {
        std::string s = want;
        for (size_t p; (p = s.find('\r')) != std::string::npos;)
            s.erase(p, 1);
        return s;
    }());
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
    EXPECT_TRUE(fs::is_directory(DataRoot::Path("MAIL/Fax2")));
    EXPECT_TRUE(fs::is_directory(DataRoot::Path("MAIL/Fax2/BAD")));
    EXPECT_TRUE(fs::is_empty(DataRoot::Path("TEMP/FAX")));
    EXPECT_EQ(Read("Files/photo.bmp"), "mine");
    EXPECT_EQ(Read("OUTFAX/77.apj"), "job");
    EXPECT_TRUE(fs::exists(DataRoot::Path("OUTFAX/SRVMGR.LCK")));
}
