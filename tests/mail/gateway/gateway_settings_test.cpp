#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QTest>
#include <filesystem>

#include "configui/input_filters.h"
#include "configui/scheduled_frm.h"
#include "core/config.h"
#include "core/station_list.h"
#include "mail/account_list.h"
#include "mail/gateway_config_frm.h"
#include "mail/user_info_form.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "platform/text.h"
#include "support/scripted_dialogs.h"
#include "support/test_files.h"

namespace {

class GatewaySettingsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        WriteFileAtomic(DataRoot::Path("skipmail.INI"),
                        "[GENERAL]\r\nSOFTWAREVERSION=MAIL GATEWAY\r\n");
    }

    void Stations(const std::string& lines)
    {
        WriteFileAtomic(DataRoot::Path("stations.dat"), lines);
    }

    // The settings dialog over fresh tables, shown once (FormShow).
    void Open()
    {
        Config = std::make_unique<TConfig>();
        StationList = std::make_unique<TStationList>();
        Accounts = std::make_unique<TAccountList>();
        Frm = std::make_unique<TGatewayConfigFrm>(nullptr, StationList.get(), Config.get(),
                                                  Accounts.get());
        Frm->FormShow();
    }

    TempRoot Dir;
    std::unique_ptr<TConfig> Config;
    std::unique_ptr<TStationList> StationList;
    std::unique_ptr<TAccountList> Accounts;
    std::unique_ptr<TGatewayConfigFrm> Frm;
};

// Fills the account dialog and presses its OK.
std::function<int(QDialog&)> FillAccount(const char* hfUser, const char* station,
                                         const char* password = "pw")
{
    return [=](QDialog& d) {
        auto& f = static_cast<TUserInfoForm&>(d);
        f.EmailAddress->setText("ann@example.com");
        f.User->setText("ann");
        f.Password->setText(password);
        f.POPServer->setText("pop.example.com");
        f.HFUser->setText(hfUser);
        if (station)
            f.Station->setCurrentText(station);
        f.setResult(0);
        f.Button1->click();
        return f.result();
    };
}

} // namespace

TEST_F(GatewaySettingsTest, AccountsFileKeepsOrderFieldsAndEveryByte)
{
    WriteFileAtomic(DataRoot::Path("accounts.dat"),
                    "ann@FAR:FAR:ann@x.org:ann:p\xFFw:pop.x.org:ENABLED\r\r\n"
                    "bob@FAR:FAR\r\n"
                    "zed@FAR:FAR:z@x.org:zed:\x01:pop.x.org:ENABLED\r\n"
                    "lost@FAR:FAR:l@x.org:l:pw:pop:ENABLED");
    {
        TAccountList accounts;
        ASSERT_EQ(accounts.Count(), 3);
        EXPECT_EQ(accounts.Get(0).Password, "p\xFFw");
        EXPECT_TRUE(accounts.Get(0).Enabled());
        EXPECT_EQ(accounts.Get(1).Station, "FAR");
        EXPECT_EQ(accounts.Get(1).Status, "");
        EXPECT_FALSE(accounts.Get(1).Enabled());
        // A control character cannot be read: that line is kept aside. The
        // last line counts without its line end.
        EXPECT_EQ(accounts.Get(2).HFAddress, "lost@FAR");

        TAccount colon = accounts.Get(0);
        colon.Password = "a:b";
        EXPECT_THROW(accounts.Modify(0, colon), ETableFieldError);
        EXPECT_THROW(accounts.Add(colon), ETableFieldError);
        colon = accounts.Get(0);
        colon.Status = "ENABLED:x";
        EXPECT_THROW(accounts.Modify(0, colon), ETableFieldError);
        EXPECT_EQ(accounts.Count(), 3);
        EXPECT_TRUE(accounts.Delete(1));
    }
    const std::string kept = "zed@FAR:FAR:z@x.org:zed:\x01:pop.x.org:ENABLED\r\n";
    EXPECT_EQ(Dir.ReadFile("accounts.dat"), "ann@FAR:FAR:ann@x.org:ann:p\xFFw:pop.x.org:ENABLED\r\n"
                                            "lost@FAR:FAR:l@x.org:l:pw:pop:ENABLED\r\n" +
                                                kept);
    {
        TAccountList accounts;
        EXPECT_EQ(accounts.Count(), 2);
        accounts.Delete(1);
        accounts.Delete(0);
    }
    EXPECT_EQ(Dir.ReadFile("accounts.dat"), kept);
    EXPECT_EQ(TAccountList().Count(), 0);
}

// A line of more than seven fields is the account of its first seven (so it
// is polled when the seventh says so); what follows is written back as it
// was, through saves, state changes and edits alike.
TEST_F(GatewaySettingsTest, AnAccountLineWithMoreThanSevenFieldsKeepsTheRest)
{
    Stations("HOME,,,,DISABLED,,,,\r\nFAR,,,,DISABLED,,,,\r\n");
    WriteFileAtomic(DataRoot::Path("accounts.dat"),
                    "cy@FAR:FAR:c@x.org:cy:pw:pop.x.org:ENABLED:extra:more\r\n"
                    "dee@FAR:FAR:d@x.org:dee:pw:pop.x.org:DISABLED:\r\n");
    Open();
    ASSERT_EQ(Accounts->Count(), 2);
    EXPECT_TRUE(Accounts->Get(0).Enabled());
    EXPECT_EQ(Accounts->Get(0).POPServer, "pop.x.org");
    EXPECT_EQ(Accounts->Get(1).Status, "DISABLED");
    EXPECT_EQ(Frm->AccountsListBox->item(0)->text(), "cy@FAR --> c@x.org    (ENABLED)");

    Frm->AccountsListBox->setCurrentRow(0);
    Frm->DisableButtonClick();
    TScriptedDialogs dialogs;
    dialogs.ExpectDialog("TUserInfoForm", FillAccount("cy", "FAR", "new"));
    Frm->EditButtonClick();
    EXPECT_EQ(Dir.ReadFile("accounts.dat"),
              "cy@FAR:FAR:ann@example.com:ann:new:pop.example.com:DISABLED:extra:more\r\n"
              "dee@FAR:FAR:d@x.org:dee:pw:pop.x.org:DISABLED:\r\n");
}

TEST_F(GatewaySettingsTest, ShowLoadsTheSettingsAndOkStoresThemWithErrormsg)
{
    WriteFileAtomic(DataRoot::Path("skipmail.INI"),
                    "[GENERAL]\r\nSOFTWAREVERSION=MAIL GATEWAY\r\n[GATEWAY]\r\n"
                    "MAXMAILFILTERSIZE=1000\r\nCHECKMAILINTERVAL=30\r\nSMTPADDRESS=smtp.x.org\r\n"
                    "RETURNERRORENABLED=FALSE\r\nMAILSERVERSCHEDULEDLINK2ENABLED=ENABLED\r\n");
    Open();
    EXPECT_EQ(Frm->PageControl2->count(), 5);
    EXPECT_EQ(Frm->MaxMailFilterSize->text(), "0");
    EXPECT_EQ(Frm->CheckMailInterval->currentText(), "30");
    EXPECT_EQ(Frm->SMTPServer->text(), "smtp.x.org");
    EXPECT_FALSE(Frm->ErrorMsgMemo->isEnabled());
    EXPECT_EQ(Frm->ErrorMsgMemo->toPlainText().toStdString(), TGatewayConfigFrm::kDefaultErrorMsg);
    EXPECT_FALSE(Frm->MailServerScheduledLinkEditBtn[0]->isEnabled());
    EXPECT_TRUE(Frm->MailServerScheduledLinkEditBtn[1]->isEnabled());
    EXPECT_FALSE(Frm->DialupConnection->isEnabled());

    Frm->MaxMailFilterSize->setText("500");
    Frm->ErrorMsgMemo->setPlainText("Too big.\nSorry.");
    Frm->DeliverMailImmediatelyEnabled->setChecked(true);
    Frm->Button1->click();
    EXPECT_EQ(Frm->result(), TGatewayConfigFrm::mrOk);
    EXPECT_EQ(Config->Gateway.MaxMailFilterSize, 512000);
    EXPECT_EQ(Config->Gateway.DeliverMailImmediately, 1);
    EXPECT_EQ(Dir.ReadFile("errormsg.txt"), "Too big.\r\nSorry.\r\n");
    const std::string ini = Dir.ReadFile("skipmail.INI");
    EXPECT_NE(ini.find("MAXMAILFILTERSIZE=512000"), std::string::npos);
    EXPECT_NE(ini.find("DELIVERMAILIMMEDIATELY=1"), std::string::npos);

    // The next showing reads the file back.
    Frm->FormShow();
    EXPECT_EQ(Frm->ErrorMsgMemo->toPlainText(), "Too big.\nSorry.");
    EXPECT_EQ(Frm->MaxMailFilterSize->text(), "500");
}

TEST_F(GatewaySettingsTest, OkRefusesANumberThatDoesNotConvertAndStoresNothing)
{
    Open();
    TScriptedDialogs boxes;
    boxes.ExpectBox("polling interval", IDOK).ExpectBox("maximum mail size", IDOK);
    Frm->SMTPServer->setText("changed.example.com");
    Frm->CheckMailInterval->setCurrentText("0");
    Frm->setResult(0);
    Frm->Button1->click();
    Frm->CheckMailInterval->setCurrentText("15");
    Frm->MaxMailFilterSize->setText("1.5");
    Frm->Button1->click();
    EXPECT_EQ(Frm->result(), 0);
    EXPECT_EQ(boxes.Records().at(1).title, "Gateway Error");
    EXPECT_EQ(Config->Gateway.SmtpAddress, "");
    EXPECT_EQ(Config->Gateway.CheckMailInterval, 20);
    EXPECT_FALSE(std::filesystem::exists(DataRoot::Path("errormsg.txt")));
}

// Any whole interval of a minute or more is stored; the size filter takes
// digits and "." and beeps at anything else typed into it.
TEST_F(GatewaySettingsTest, LongIntervalsAreStoredAndTheSizeFilterBeeps)
{
    Open();
    int beeps = 0;
    InputFilter::SetBeepForTest([&] { ++beeps; });
    Frm->MaxMailFilterSize->clear();
    QTest::keyClicks(Frm->MaxMailFilterSize, "1a2.5-");
    EXPECT_EQ(Frm->MaxMailFilterSize->text(), "12.5");
    EXPECT_EQ(beeps, 2);
    InputFilter::SetBeepForTest({});

    Frm->MaxMailFilterSize->setText("100");
    Frm->CheckMailInterval->setCurrentText("2880");
    Frm->Button1->click();
    EXPECT_EQ(Frm->result(), TGatewayConfigFrm::mrOk);
    EXPECT_EQ(Config->Gateway.CheckMailInterval, 2880);
    EXPECT_NE(Dir.ReadFile("skipmail.INI").find("CHECKMAILINTERVAL=2880\r\n"), std::string::npos);
}

// Adding an account keeps the line the operator had selected.
TEST_F(GatewaySettingsTest, AddingAnAccountKeepsTheSelection)
{
    Stations("HOME,,,,DISABLED,,,,\r\nFAR,,,,DISABLED,,,,\r\n");
    WriteFileAtomic(DataRoot::Path("accounts.dat"), "a@FAR:FAR:a@x.org:a:pw:pop.x.org:ENABLED\r\n"
                                                    "b@FAR:FAR:b@x.org:b:pw:pop.x.org:ENABLED\r\n");
    Open();
    Frm->AccountsListBox->setCurrentRow(0);
    TScriptedDialogs dialogs;
    dialogs.ExpectDialog("TUserInfoForm", FillAccount("cy", "FAR"));
    Frm->AddButtonClick();
    ASSERT_EQ(Frm->AccountsListBox->count(), 3);
    EXPECT_EQ(Frm->AccountsListBox->currentRow(), 0);
}

TEST_F(GatewaySettingsTest, EditingAConnectionTimeStoresItAtOnce)
{
    Open();
    Frm->MailServerScheduledLinkCheckBox[0]->click();
    ASSERT_TRUE(Frm->MailServerScheduledLinkEditBtn[0]->isEnabled());
    TScriptedDialogs dialogs;
    auto pick = [](const char* h, const char* m) {
        return [=](QDialog& d) {
            auto& f = static_cast<TScheduledFrm&>(d);
            EXPECT_EQ(f.windowTitle(), "Edit Mail Server Scheduled Connection");
            EXPECT_TRUE(f.StationName->isHidden());
            f.Hour->setCurrentText(h);
            f.Minute->setCurrentText(m);
            f.Button1->click();
            return f.result();
        };
    };
    dialogs.ExpectDialog("TScheduledFrm", pick("00", "05"))
        .ExpectDialog("TScheduledFrm", pick("13", "30"))
        .ExpectDialog("TScheduledFrm", [](QDialog&) { return TScheduledFrm::mrCancel; });
    Frm->MailServerScheduledLinkEditBtnClick(0);
    EXPECT_EQ(Config->Gateway.MailServerScheduledLink[0], DateTime::TimeOfDay(0, 5));
    EXPECT_EQ(Frm->MailServerScheduledLink[0]->text(), "00:05");
    Frm->MailServerScheduledLinkEditBtnClick(3);
    EXPECT_EQ(Config->Gateway.MailServerScheduledLink[3], DateTime::TimeOfDay(13, 30));
    Frm->MailServerScheduledLinkEditBtnClick(3);
    EXPECT_EQ(Frm->MailServerScheduledLink[3]->text(), "13:30");
}

TEST_F(GatewaySettingsTest, AccountsAreAddedEditedToggledAndRemovedAtOnce)
{
    Stations("HOME,,,,DISABLED,,,,\r\n");
    Open();
    TScriptedDialogs dialogs;
    dialogs.ExpectBox("There are no remote stations configured", IDOK)
        .ExpectDialog("TUserInfoForm", [](QDialog& d) {
            auto& f = static_cast<TUserInfoForm&>(d);
            EXPECT_EQ(f.Station->count(), 1);
            EXPECT_EQ(f.Station->currentText(), "HOME");
            return FillAccount("admin", nullptr)(d);
        });
    Frm->AddButtonClick();
    EXPECT_EQ(dialogs.Records().at(0).title, "HF Station Network");
    ASSERT_EQ(Accounts->Count(), 1);
    EXPECT_EQ(Accounts->Get(0).HFAddress, "admin@HOME");
    EXPECT_EQ(Frm->AccountsListBox->item(0)->text(), "admin@HOME --> ann@example.com    (ENABLED)");
    EXPECT_EQ(Dir.ReadFile("accounts.dat"),
              "admin@HOME:HOME:ann@example.com:ann:pw:pop.example.com:ENABLED\r\n");

    Frm->AccountsListBoxDblClick();
    EXPECT_EQ(Accounts->Get(0).Status, "DISABLED");
    Frm->AccountsListBoxDblClick();
    EXPECT_EQ(Accounts->Get(0).Status, "ENABLED");
    Frm->DisableButtonClick();

    // Edit shows the account and keeps its state; a ":" is refused in the
    // account dialog, which stays open until it is fixed.
    dialogs.ExpectBox("There are no remote stations configured", IDOK)
        .ExpectDialog("TUserInfoForm", [&](QDialog& d) {
            auto& f = static_cast<TUserInfoForm&>(d);
            EXPECT_EQ(f.HFUser->text(), "admin");
            EXPECT_EQ(f.Password->text(), "pw");
            dialogs.ExpectBox("cannot hold \":\"", IDOK);
            EXPECT_EQ(FillAccount("admin", nullptr, "a:b")(d), 0);
            return FillAccount("admin", nullptr, "new")(d);
        });
    Frm->EditButtonClick();
    EXPECT_EQ(Accounts->Get(0).Password, "new");
    EXPECT_EQ(Accounts->Get(0).Status, "DISABLED");
    EXPECT_EQ(Accounts->Get(0).HFAddress, "admin@HOME");

    Frm->RemoveButtonClick();
    EXPECT_EQ(Accounts->Count(), 0);
    EXPECT_EQ(Dir.ReadFile("accounts.dat"), "");
}

TEST_F(GatewaySettingsTest, AccountDialogWantsEveryFieldAndKeepsTheHfUser)
{
    TUserInfoForm f(nullptr);
    f.Station->addItem("HOME");
    TScriptedDialogs boxes;
    boxes.ExpectBox("One or more required fields are blank.\n\nPlease try again.", IDOK);
    FillAccount("bob", "HOME", "")(f);
    EXPECT_EQ(f.result(), 0);
    EXPECT_EQ(f.HFUser->text(), "bob");
    EXPECT_EQ(FillAccount("bob", "HOME", "   ")(f), TUserInfoForm::mrOk);
    f.Reset();
    EXPECT_EQ(f.Station->count(), 0);
    EXPECT_TRUE(f.EmailAddress->text().isEmpty());
    EXPECT_EQ(f.HFUser->text(), "bob");
}

TEST_F(GatewaySettingsTest, SetPasswordOnTheFirstShowingRefusesTheUntouchedEdits)
{
    Open();
    Config->Gateway.Pass = "old1";
    TScriptedDialogs boxes;
    boxes.ExpectBox("Passwords do not agree.\nPlease, retype.", IDOK)
        .ExpectBox("Passwords must be 4-16 characters.", IDOK)
        .ExpectBox("Password accepted.", IDOK);
    Frm->Button2Click();
    EXPECT_EQ(Frm->Password->text(), "old1");
    Frm->Password->setText("abc");
    Frm->Password2->setText("abc");
    Frm->Button2Click();
    Frm->Password->setText("abcd");
    Frm->Password2->setText("abcd");
    Frm->Button2Click();
    EXPECT_EQ(Config->Gateway.Pass, "abcd");
    EXPECT_EQ(boxes.Records().at(2).title, "New Password");
}

TEST_F(GatewaySettingsTest, ADialUpEntryMissingFromTheListIsReportedAndKept)
{
    WriteFileAtomic(DataRoot::Path("skipmail.INI"),
                    "[GENERAL]\r\nSOFTWAREVERSION=MAIL GATEWAY\r\n[GATEWAY]\r\n"
                    "DIALUPENABLED=TRUE\r\nDIALUPCONNECTION=isp\r\n");
    Config = std::make_unique<TConfig>();
    StationList = std::make_unique<TStationList>();
    Accounts = std::make_unique<TAccountList>();
    TGatewayConfigFrm frm(nullptr, StationList.get(), Config.get(), Accounts.get());
    frm.DialupConnection->addItem("isp");
    frm.FormShow();
    EXPECT_TRUE(frm.DialupConnection->isEnabled());
    // Another letter case is another entry, as the dial itself sees it.
    for (const char* other : {"ISP", "other"}) {
        frm.DialupConnection->clear();
        frm.DialupConnection->addItem(other);
        TScriptedDialogs boxes;
        boxes.ExpectBox("Dial Connection Error.\n Please, recheck dial settings", IDOK);
        frm.FormShow();
        EXPECT_EQ(frm.DialupConnection->currentText(), "isp");
    }
}
