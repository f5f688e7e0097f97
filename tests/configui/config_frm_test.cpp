#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QTemporaryDir>
#include <QTest>
#include <fstream>
#include <sstream>

#include "configui/channel_frm.h"
#include "configui/config_frm.h"
#include "configui/input_filters.h"
#include "configui/scheduled_frm.h"
#include "configui/station_frm.h"
#include "core/channel_list.h"
#include "core/config.h"
#include "core/scheduled_link_list.h"
#include "core/station_list.h"
#include "link/link_control.h"
#include "platform/data_root.h"
#include "platform/profile.h"
#include "platform/text.h"
#include "support/scripted_dialogs.h"
#include "support/test_files.h"

namespace {

// Records what the dialog asks of the link control window.
class TFakeLink : public TLinkControl {
public:
    void SetScanning(bool start) override { Add(start ? "scan on" : "scan off"); }
    void BuildAutoLinkSchedule() override { Add("schedule"); }
    void AddStatusLine(const std::string& text, bool show) override
    {
        Add("status " + text + (show ? "" : " (log only)"));
    }
    int OpenModemPort(int port) override
    {
        Add("open COM" + std::to_string(port));
        return 1;
    }
    void ConfigureRadioPort(int speed) override { Add("radio port " + std::to_string(speed)); }
    void QueryRadioChannels() override { Add("query channels"); }
    void SetALETimerEnabled(bool on) override { Add(on ? "ALE on" : "ALE off"); }
    void SetChannelReadoutVisible(bool on) override
    {
        Add(on ? "readout shown" : "readout hidden");
    }
    std::vector<std::string> Take() { return std::exchange(Calls, {}); }

private:
    void Add(const std::string& call) { Calls.push_back(call); }
    std::vector<std::string> Calls;
};

using TCalls = std::vector<std::string>;

class ConfigFrmTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        // FAR has the qualities 20, 80, 80, 20 % on channel 1; VIA routes
        // through FAR.
        Dir.WriteFile("stations.dat", "HOME,HM1,,,ENABLED,YY,,@@@@@@@@,\r\n"
                                      "FAR,FA1R,,,ENABLED,YY,,4@@4@@@@,\r\n"
                                      "MID,MI1D,,Direct,DISABLED,YN,,@@@@@@@@,\r\n"
                                      "VIA,VI1A,,FAR,DISABLED,YY,,@@@@@@@@,\r\n");
        Dir.WriteFile("channels.dat", "01600.000:01600.000:LSB:\r\n14300.000:14313.250:USB:\r\n");
        Dir.WriteFile("schedule.dat", "FAR;08:00;\r\nFAR;13:35;\r\n");
        Config = std::make_unique<TConfig>();
        Config->Radio.Type = "ICOM M710";
        Config->Modem.Port = 3;
        Stations = std::make_unique<TStationList>();
        Channels = std::make_unique<TChannelList>();
        Links = std::make_unique<TScheduledLinkList>();
        InputFilter::SetBeepForTest([this] { ++Beeps; });
    }
    void TearDown() override
    {
        Frm.reset();
        InputFilter::SetBeepForTest({});
    }

    TConfigFrm& Make()
    {
        Frm = std::make_unique<TConfigFrm>(nullptr, Stations.get(), Channels.get(), Links.get(),
                                           Config.get(), &Link);
        return *Frm;
    }
    TConfigFrm& Shown()
    {
        Make().show();
        Link.Take();
        return *Frm;
    }
    static std::vector<std::string> Lines(QListWidget* list)
    {
        std::vector<std::string> out;
        for (int i = 0; i < list->count(); ++i)
            out.push_back(list->item(i)->text().toStdString() +
                          (list->item(i)->checkState() == Qt::Checked ? " [x]" : ""));
        return out;
    }
    static std::vector<std::string> Items(QComboBox* box)
    {
        std::vector<std::string> out;
        for (int i = 0; i < box->count(); ++i)
            out.push_back(box->itemText(i).toStdString());
        return out;
    }
    // A row of the scheduled-link grid, cells joined by blanks.
    std::string GridRow(int gridRow)
    {
        std::string out;
        for (int c = 0; c < Frm->ScheduledStringGrid->columnCount(); ++c)
            if (auto* item = Frm->ScheduledStringGrid->item(gridRow - 1, c))
                if (!item->text().isEmpty())
                    out += (out.empty() ? "" : " ") + item->text().toStdString();
        return out;
    }
    // A pick from a drop-down list.
    static void Pick(QComboBox* box, const char* item)
    {
        ASSERT_GE(box->findText(item), 0) << item;
        box->setCurrentIndex(box->findText(item));
    }
    static std::string Ini(const std::string& section, const std::string& key)
    {
        return TIniFile(DataRoot::Path(TConfig::kIniFileName)).ReadString(section, key, "?");
    }

    TempRoot Dir;
    std::unique_ptr<TConfig> Config;
    std::unique_ptr<TStationList> Stations;
    std::unique_ptr<TChannelList> Channels;
    std::unique_ptr<TScheduledLinkList> Links;
    TFakeLink Link;
    std::unique_ptr<TConfigFrm> Frm;
    int Beeps = 0;
};

TEST_F(ConfigFrmTest, ShowingLoadsEveryTabAndPausesTheLink)
{
    Config->AleVeskar.Enabled = true;
    Config->AleVeskar.Attempts = 7;
    Config->AleVeskar.Delay = 30;
    Config->AleVeskar.CallLength = 100;
    Config->AleVeskar.Mask[2] = "ab12";
    Config->AleVeskar.Private = false;
    Config->AleVeskar.BusyChannelDetect = true;
    Config->Station.Pass = "stn1";
    Config->DspVersion = "D1.2";
    Config->WaveformVariant = "STANAG";
    TConfigFrm& frm = Make();
    EXPECT_EQ(frm.VersionLabel->text(), "....");
    frm.show();
    EXPECT_EQ(Link.Take(), (TCalls{"scan off", "ALE off"}));
    EXPECT_EQ(frm.PageControl1->currentWidget(), frm.GeneralSheet);

    EXPECT_EQ(frm.Name->text(), "HOME");
    EXPECT_EQ(frm.Call->text(), "HM1");
    EXPECT_TRUE(frm.SelCall->isHidden());
    EXPECT_EQ(frm.Password->text(), "stn1");
    EXPECT_FALSE(frm.VersionLabel->text().isEmpty());
    EXPECT_EQ(frm.LODVersion->text(), "D1.2");
    EXPECT_EQ(frm.Waveform->text(), "VESKAR STANAG");
    EXPECT_EQ(frm.RadioType->currentText(), "ICOM M710");
    EXPECT_EQ(frm.SoftwareVersion->currentText(), "REMOTE");

    EXPECT_TRUE(frm.ALEEnabled->isChecked());
    EXPECT_EQ(frm.Attempts->value(), 7);
    EXPECT_EQ(frm.Delay->value(), 30);
    // A call length that is none of the five shows "2 minutes" and becomes 111.
    EXPECT_EQ(frm.CallLengthComboBox->currentText(), "2 minutes");
    EXPECT_EQ(Config->AleVeskar.CallLength, 111);
    EXPECT_EQ(frm.Mask[2]->text(), "ab12");
    EXPECT_FALSE(frm.Mask[5]->isEnabled());
    EXPECT_FALSE(frm.Label26->isEnabled());
    EXPECT_TRUE(frm.BusyChannelDetectCheckBox->isChecked());

    EXPECT_EQ(Lines(frm.StationListBox), (std::vector<std::string>{"HOME", "FAR", "MID", "VIA"}));
    EXPECT_EQ(frm.StationListBox->currentRow(), 3);
    EXPECT_EQ(Lines(frm.ChannelListBox),
              (std::vector<std::string>{"001  1600  1600 LSB [x]", "002 14313 14300 USB [x]"}));
    EXPECT_TRUE(frm.PageControl1->isTabVisible(frm.PageControl1->indexOf(frm.GatewayTabSheet)));
    EXPECT_EQ(frm.MailGateway->currentText(), "None");
    EXPECT_EQ(Items(frm.MailGateway), (std::vector<std::string>{"None", "FAR", "MID", "VIA"}));

    // Directly routed stations with their times; VIA is routed, HOME is this
    // station.
    EXPECT_EQ(frm.ScheduledStringGrid->rowCount(), 5);
    EXPECT_EQ(GridRow(1), "FAR 08:00 13:35");
    EXPECT_EQ(GridRow(2), "MID");
    EXPECT_EQ(GridRow(3), "");
    EXPECT_EQ(frm.ScheduledStringGrid->horizontalHeaderItem(12)->text(), "(12)");
}

TEST_F(ConfigFrmTest, OkWritesTheFilesAndHasTheLinkTakeTheSettingsUp)
{
    TConfigFrm& frm = Shown();
    frm.Name->setFocus();
    frm.Name->end(false);
    QTest::keyClicks(frm.Name, "2");
    frm.ALEEnabled->setChecked(true);
    frm.Attempts->setValue(20);
    frm.PrivateCode->click();
    EXPECT_TRUE(frm.Mask[5]->isEnabled());
    frm.Mask[0]->setText("Ab1");
    Pick(frm.CallLengthComboBox, "4 minutes");
    Pick(frm.MailGateway, "MID");
    Pick(frm.RadioType, "NONE");
    EXPECT_EQ(Config->Radio.Type, "ICOM M710"); // stored by OK
    frm.MainOkBtn->click();
    EXPECT_FALSE(frm.isVisible());
    // Scanning starts once, when the dialog closes.
    EXPECT_EQ(Link.Take(),
              (TCalls{"readout hidden", "schedule", "status Resetting Station Parameters",
                      "open COM3", "scan on", "ALE on"}));

    EXPECT_EQ(Dir.ReadFile("stations.dat"), "HOME2,HO1ME2,,,ENABLED,YY,,@@@@@@@@,\r\n"
                                            "FAR,FA1R,,,ENABLED,YY,,4@@4@@@@,\r\n"
                                            "MID,MI1D,,Direct,DISABLED,YN,,@@@@@@@@,\r\n"
                                            "VIA,VI1A,,FAR,DISABLED,YY,,@@@@@@@@,\r\n");
    EXPECT_EQ(Dir.ReadFile("channels.dat"),
              "01600.000:01600.000:LSB:\r\n14300.000:14313.250:USB:\r\n");
    EXPECT_EQ(Dir.ReadFile("schedule.dat"), "FAR;08:00;\r\nFAR;13:35;\r\n");
    const std::string ini = Dir.ReadFile(TConfig::kIniFileName);
    for (const char* block :
         {"[GENERAL]\r\nHIDEFREQ=FALSE\r\nSOFTWAREVERSION=REMOTE\r\n\r\n",
          "[ALE/VESKAR]\r\nENABLED=TRUE\r\nPRIVATE=TRUE\r\nBUSYCHANNELDETECT=FALSE\r\n"
          "MODE=VESKAR\r\nATTEMPTS=20\r\nDELAY=15\r\nCALLLENGTH=221\r\nMASK1=Ab1\r\n"
          "MASK2=Zq4v\r\nMASK3=Zq4v\r\nMASK4=Zq4v\r\nMASK5=Zq4v\r\nMASK6=Zq4v\r\n\r\n",
          "[MAIL]\r\nMAXMAILSIZE=50\r\nGATEWAY=MID\r\n\r\n[FAX]\r\nGATEWAY=\r\n\r\n",
          "[RADIO]\r\nTYPE=NONE\r\n"})
        EXPECT_NE(ini.find(block), std::string::npos) << block;
    EXPECT_EQ(ini.find("[GATEWAY]"), std::string::npos); // a remote station's file
    // The code OK computed is the one the next start computes from the file.
    TConfig reloaded;
    EXPECT_NE(Config->PrivateNetworkCode, 0);
    EXPECT_EQ(reloaded.PrivateNetworkCode, Config->PrivateNetworkCode);
}

TEST_F(ConfigFrmTest, ClosingWithoutOkKeepsTheSettingsAndResumesTheLink)
{
    TConfigFrm& frm = Shown();
    frm.ALEEnabled->setChecked(true);
    frm.Mask[0]->setText("Xy12");
    // Arrow keys and typing in the radio box pick nothing.
    frm.RadioType->setFocus();
    QTest::keyClick(frm.RadioType, Qt::Key_Down);
    QTest::keyClicks(frm.RadioType, "K");
    EXPECT_EQ(frm.RadioType->currentText(), "ICOM M710");
    EXPECT_TRUE(Link.Take().empty());

    // A Kenwood read out at once: its type is in the configuration for the
    // read-out, and only there until the dialog closes.
    TScriptedDialogs boxes;
    boxes.ExpectBox("The Kenwood TK-90 must be dealer programmed. \n\nPlease wait until channel "
                    "information is read.",
                    IDOK);
    Pick(frm.RadioType, "KENWOOD TK-90");
    EXPECT_EQ(boxes.Records()[0].title, "KENWOOD TK-90 Information");
    EXPECT_EQ(boxes.Records()[0].icon, TMsgIcon::Information);
    EXPECT_EQ(Config->Radio.Type, "KENWOOD TK-90");
    EXPECT_EQ(Link.Take(), (TCalls{"radio port 9600", "query channels", "scan on"}));
    boxes.ExpectBox("The Kenwood TRC-80 can not be user programmed. \n\nChannel Information will "
                    "be read now.",
                    IDOK);
    Pick(frm.RadioType, "KENWOOD TRC-80");
    EXPECT_EQ(Link.Take(), (TCalls{"radio port 9600", "query channels"}));
    EXPECT_EQ(Config->Radio.Type, "KENWOOD TRC-80");
    frm.close();
    EXPECT_EQ(Link.Take(), (TCalls{"scan on", "ALE off"}));
    EXPECT_EQ(Config->Radio.Type, "ICOM M710");
    EXPECT_FALSE(Config->AleVeskar.Enabled);
    EXPECT_EQ(Config->AleVeskar.Mask[0], "Zq4v");

    // The station role is stored at once and stays without OK.
    frm.show();
    EXPECT_EQ(frm.Mask[0]->text(), "Zq4v");
    boxes.ExpectBox("This change requires restarting VESKAR MAIL. \n\nPlease restart VESKAR Mail "
                    "after editing this configuration page.",
                    IDOK);
    Pick(frm.SoftwareVersion, "MAIL GATEWAY");
    EXPECT_EQ(boxes.Records()[2].title, "VESKAR Mail Restart Information");
    frm.reject();
    EXPECT_EQ(Config->General.Role, TStationRole::MailGateway);
    // The Gateway tab follows the role read at start.
    EXPECT_TRUE(frm.PageControl1->isTabVisible(frm.PageControl1->indexOf(frm.GatewayTabSheet)));
}

TEST_F(ConfigFrmTest, TheRemoteStationsMailGatewayIsNeverLeftEmpty)
{
    TConfigFrm& frm = Shown();
    EXPECT_EQ(frm.MailGateway->currentText(), "None");
    frm.MainOkBtn->click();
    EXPECT_EQ(Ini("MAIL", "GATEWAY"), "None");

    // A stored gateway that is no station is reset to "None" on its own,
    // with no fax gateway set.
    Config->Mail.Gateway = "GONE";
    TScriptedDialogs boxes;
    boxes.ExpectBox("Mail Gateway station was invalid and reset. \n Please, update this setting",
                    IDOK);
    frm.show();
    EXPECT_EQ(boxes.Records()[0].title, "Gateway Error");
    EXPECT_EQ(frm.MailGateway->currentText(), "None");
    frm.MainOkBtn->click();
    EXPECT_EQ(Config->Mail.Gateway, "None");
}

TEST_F(ConfigFrmTest, GatewayCheckReportsEachStaleChoiceOnce)
{
    TConfigFrm& frm = Shown();
    TScriptedDialogs boxes;
    // "None" with a listed fax gateway: nothing to say.
    Config->Fax.Gateway = "MID";
    frm.show();
    frm.close();
    // A name that differs only in letter case is no listed station.
    Config->Mail.Gateway = "far";
    Config->Fax.Gateway = "Gone";
    boxes.ExpectBox("Mail and Fax Gateway stations were invalid and reset. \n Please, update "
                    "these settings",
                    IDOK);
    frm.show();
    EXPECT_EQ(frm.MailGateway->currentText(), "None");
    EXPECT_EQ(frm.FaxGateway->currentText(), "");
    // Removing the fax gateway station, with a good mail gateway.
    Pick(frm.MailGateway, "FAR");
    frm.FaxGateway->setEditText("MID");
    frm.StationListBox->setCurrentRow(2);
    boxes.ExpectBox("Fax Gateway station was invalid and reset. \n Please, update this setting",
                    IDOK);
    frm.RemoveStationBtn->click();
    EXPECT_EQ(frm.FaxGateway->currentText(), "");
    EXPECT_EQ(frm.MailGateway->currentText(), "FAR");
    EXPECT_EQ(boxes.Records().size(), 2u);
}

TEST_F(ConfigFrmTest, AGatewayStationIsItsOwnMailGateway)
{
    Config->General.Role = TStationRole::MailGateway;
    TConfigFrm& frm = Shown();
    EXPECT_FALSE(frm.PageControl1->isTabVisible(frm.PageControl1->indexOf(frm.GatewayTabSheet)));
    frm.Name->setFocus();
    QTest::keyClicks(frm.Name, "X");
    frm.MainOkBtn->click();
    EXPECT_EQ(Config->Mail.Gateway, "HOMEX");
    // Shown again, its own name raises no gateway error.
    frm.show();
    frm.close();
}

TEST_F(ConfigFrmTest, PasswordSetChecksBothBoxes)
{
    Config->Station.Pass = "old1";
    TConfigFrm& frm = Shown();
    TScriptedDialogs boxes;
    boxes.ExpectBox("Passwords do not agree.\nPlease, retype.", IDOK)
        .ExpectBox("Passwords must be 4-16 characters.\nPlease, retype.", IDOK)
        .ExpectBox("Password accepted.", IDOK);
    auto set = [&](const char* a, const char* b) {
        frm.Password->setText(a);
        frm.Password2->setText(b);
        frm.Button1->click();
    };
    set("abcd", "abce");
    EXPECT_EQ(frm.Password->text(), "old1");
    set("abc", "abc");
    EXPECT_EQ(Config->Station.Pass, "old1");
    set("abcd", "abcd");
    EXPECT_EQ(Config->Station.Pass, "abcd");
    EXPECT_EQ(frm.Password2->text(), "");
    EXPECT_EQ(boxes.Records()[0].title, "Password Error");
    EXPECT_EQ(boxes.Records()[2].title, "New Password");
    EXPECT_EQ(boxes.Records()[2].icon, TMsgIcon::Information);
}

// The "4-16 characters" rule of Set has no upper check of its own: the
// boxes stop at 16.
TEST_F(ConfigFrmTest, BoxesTakeNoMoreThanTheirLimits)
{
    TConfigFrm& frm = Shown();
    const std::string typed = "ABCDEFGHIJKLMNOPQRST";
    const struct {
        QLineEdit* box;
        int limit;
    } boxes[] = {{frm.Name, 12}, {frm.Call, 8}, {frm.Password, 16}, {frm.Password2, 16}};
    for (const auto& b : boxes) {
        b.box->clear();
        b.box->setFocus();
        QTest::keyClicks(b.box, ToQt(typed));
        EXPECT_EQ(FromQt(b.box->text()), typed.substr(0, static_cast<size_t>(b.limit)))
            << FromQt(b.box->objectName());
    }
    TScriptedDialogs dialogs;
    dialogs.ExpectBox("Password accepted.", IDOK);
    frm.Button1->click();
    EXPECT_EQ(Config->Station.Pass, "ABCDEFGHIJKLMNOP");
}

TEST_F(ConfigFrmTest, TypingTheNameRenamesThisStationAndItsReferences)
{
    Links->Add(TScheduledLink{"home", DateTime::TimeOfDay(9, 0)});
    Stations->Modify(TStation{"MID", "MI1D", "", "Home", "DISABLED", "", "", ""}, 2);
    Config->Fax.Gateway = "HOME";
    TConfigFrm& frm = Shown();
    frm.Call->setText("MYCALL");
    // Keys in the password boxes leave the call sign alone.
    frm.Password->setFocus();
    QTest::keyClicks(frm.Password, "pw");
    EXPECT_EQ(frm.Call->text(), "MYCALL");

    frm.Name->selectAll();
    QTest::keyClicks(frm.Name, "Relay 7");
    EXPECT_EQ(frm.Name->text(), "Relay_7");
    EXPECT_EQ(frm.Call->text(), "RE1LAY7");
    EXPECT_EQ(Stations->Get(0).Name, "Relay_7");
    EXPECT_EQ(Stations->Get(2).RouteVia, "Relay_7");
    EXPECT_EQ(Links->Find("Relay_7", "09:00").StationName, "Relay_7");
    EXPECT_EQ(Links->Count(), 3);
    EXPECT_EQ(frm.FaxGateway->currentText(), "Relay_7");
    EXPECT_EQ(frm.StationListBox->item(0)->text(), "Relay_7");
    EXPECT_EQ(Items(frm.MailGateway), (std::vector<std::string>{"None", "FAR", "MID", "VIA"}));

    // Never to another station's name or to nothing: the table keeps the
    // last good name, and OK says why it cannot close.
    frm.Name->selectAll();
    QTest::keyClicks(frm.Name, "fa");
    QTest::keyClick(frm.Name, Qt::Key_R);
    EXPECT_EQ(Stations->Get(0).Name, "fa");
    TScriptedDialogs boxes;
    boxes
        .ExpectBox("Station Name has already been assigned.\nPlease, enter a different station "
                   "Name.",
                   IDOK)
        .ExpectBox("Please, enter a station Name.", IDOK);
    frm.MainOkBtn->click();
    EXPECT_TRUE(frm.isVisible());
    frm.Name->selectAll();
    QTest::keyClick(frm.Name, Qt::Key_Backspace);
    frm.MainOkBtn->click();
    EXPECT_EQ(boxes.Records()[1].title, "Station Name Error");
    EXPECT_EQ(Stations->Get(0).Name, "fa");
    EXPECT_EQ(Stations->Get(2).RouteVia, "fa");
    EXPECT_TRUE(frm.isVisible());
}

TEST_F(ConfigFrmTest, KeyFiltersDropWhatTheBoxesCannotHoldTypedOrPasted)
{
    TConfigFrm& frm = Shown();
    frm.Call->clear();
    QTest::keyClicks(frm.Call, "a-b.1");
    EXPECT_EQ(frm.Call->text(), "ab1");
    EXPECT_EQ(Beeps, 2);
    frm.Mask[1]->clear();
    QApplication::clipboard()->setText("Q-9z");
    frm.Mask[1]->paste();
    EXPECT_EQ(frm.Mask[1]->text(), "Q9z");
    EXPECT_EQ(Beeps, 3);
    // Keys never change the call length.
    frm.CallLengthComboBox->setFocus();
    QTest::keyClick(frm.CallLengthComboBox, Qt::Key_Down);
    EXPECT_EQ(frm.CallLengthComboBox->currentText(), "1 minute");

    TScriptedDialogs boxes;
    boxes.ExpectBox("Please select a SelCall ending in digits 1-9", IDOK);
    frm.SelCall->setText("120");
    frm.SelCallExit();
}

// A click on the text of a box that holds one of its items opens its list,
// which stays open for the pick: the release of that click closes nothing.
TEST_F(ConfigFrmTest, AClickOnAPickOnlyBoxOpensItsList)
{
    TConfigFrm& frm = Shown();
    QComboBox* box = frm.RadioType;
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&frm));
    // Through the window, as the window system delivers it: once the list is
    // open, the release goes to the list.
    const QPoint at = box->lineEdit()->mapTo(&frm, box->lineEdit()->rect().center());
    QTest::mousePress(frm.windowHandle(), Qt::LeftButton, {}, at);
    QTest::mouseRelease(frm.windowHandle(), Qt::LeftButton, {}, at);
    EXPECT_TRUE(QTest::qWaitFor([&] { return box->view()->isVisible(); }, 1000));
    QTest::qWait(50);
    EXPECT_TRUE(box->view()->isVisible());
    box->hidePopup();
    EXPECT_EQ(box->currentText(), "ICOM M710");
}

TEST_F(ConfigFrmTest, StationsAreAddedEditedAndRemovedThroughTheirDialog)
{
    TConfigFrm& frm = Shown();
    TScriptedDialogs dialogs;
    dialogs.ExpectDialog("TStationFrm", [](QDialog& d) {
        auto& station = static_cast<TStationFrm&>(d);
        station.Name->setText("NEW");
        station.Call->setText("NE1W");
        station.AutoCallCheckBox->setChecked(true);
        station.Button1->click();
        return station.result();
    });
    frm.AddStationBtn->click();
    EXPECT_EQ(Dir.ReadFile("stations.dat").substr(Dir.ReadFile("stations.dat").rfind("NEW")),
              "NEW,NE1W,,,ENABLED,YY,,@@@@@@@@,\r\n");
    EXPECT_EQ(frm.StationListBox->count(), 5);
    EXPECT_EQ(GridRow(3), "NEW");
    EXPECT_EQ(Items(frm.MailGateway).back(), "NEW");

    // This station: name, route and automatic call locked.
    frm.StationListBox->setCurrentRow(0);
    EXPECT_FALSE(frm.RemoveStationBtn->isEnabled());
    dialogs.ExpectDialog("TStationFrm", [](QDialog& d) {
        auto& station = static_cast<TStationFrm&>(d);
        EXPECT_FALSE(station.Name->isEnabled());
        EXPECT_EQ(station.Name->text(), "HOME");
        EXPECT_FALSE(station.RouteVia->isEnabled());
        EXPECT_FALSE(station.AutoCallCheckBox->isEnabled());
        station.Call->setText("HM2");
        station.Button1->click();
        return station.result();
    });
    frm.EditStationBtn->click();
    EXPECT_EQ(frm.Call->text(), "HM2");

    // FAR carries VIA's mail: it stays until VIA goes, and takes its
    // scheduled links with it.
    frm.StationListBox->setCurrentRow(1);
    dialogs.ExpectBox("Mail for VIA is routed via FAR.\nPlease, change its route before removing "
                      "FAR.",
                      IDOK);
    frm.RemoveStationBtn->click();
    EXPECT_EQ(Stations->Count(), 5);
    frm.StationListBox->setCurrentRow(3);
    frm.RemoveStationBtn->click();
    frm.StationListBox->setCurrentRow(1);
    frm.RemoveStationBtn->click();
    EXPECT_EQ(Lines(frm.StationListBox), (std::vector<std::string>{"HOME", "MID", "NEW"}));
    EXPECT_EQ(Dir.ReadFile("schedule.dat"), "");
    EXPECT_EQ(GridRow(1), "MID");
}

TEST_F(ConfigFrmTest, ChannelsFollowTheRadioShownAndReachEveryStation)
{
    TConfigFrm& frm = Shown();
    TScriptedDialogs dialogs;
    Pick(frm.RadioType, "NONE");
    for (int i = 0; i < 3; ++i)
        dialogs.ExpectBox("Please, select your radio model\n\nbefore adding channel information.",
                          IDOK);
    for (QPushButton* b : {frm.ChannelsAddBtn, frm.ChannelsEditBtn, frm.ChannelsRemovebtn})
        b->click();
    EXPECT_EQ(dialogs.Records()[0].title, "VESKAR Mail");
    // The Kenwoods are read out, never entered.
    for (const char* kenwood : {"TRC-80", "TK-90"}) {
        dialogs.ExpectBox(std::string("The Kenwood ") + kenwood, IDOK)
            .ExpectBox(std::string("The Kenwood ") + kenwood +
                           " can not be user programmed. \n\nPlease, contact your Kenwood dealer.",
                       IDOK);
        Pick(frm.RadioType, (std::string("KENWOOD ") + kenwood).c_str());
        frm.ChannelsEditBtn->click();
        EXPECT_EQ(dialogs.Records().back().title,
                  std::string("KENWOOD ") + kenwood + " Information");
    }

    // A radio without split frequencies: the transmit frequency follows.
    Pick(frm.RadioType, "ICOM IC-718");
    frm.StationListBox->setCurrentRow(1);
    frm.ChannelListBox->setCurrentRow(1);
    dialogs.ExpectDialog("TChannelFrm", [](QDialog& d) {
        auto& channel = static_cast<TChannelFrm&>(d);
        EXPECT_FALSE(channel.CheckBox1->isEnabled());
        EXPECT_FALSE(channel.CheckBox1->isChecked());
        EXPECT_EQ(channel.TX1->text(), "14313");
        EXPECT_EQ(channel.LQ1->currentText(), "80%");
        channel.OKBtn->click();
        return channel.result();
    });
    frm.ChannelsEditBtn->click();
    EXPECT_EQ(Channels->Get(1).TransmitFreq, "14313.250");

    // A new channel: every station may use it, with the picked qualities.
    Pick(frm.RadioType, "ICOM M710");
    dialogs.ExpectDialog("TChannelFrm", [](QDialog& d) {
        auto& channel = static_cast<TChannelFrm&>(d);
        d.show();
        channel.RX1->setText("3500");
        Pick(channel.BestTimeCombo, "ALL DAY");
        channel.OKBtn->click();
        return channel.result();
    });
    frm.ChannelsAddBtn->click();
    EXPECT_EQ(Dir.ReadFile("channels.dat").substr(52), "03500.000:03500.000:USB:\r\n");
    EXPECT_EQ(Dir.ReadFile("stations.dat"), "HOME,HM1,,,ENABLED,YYY,,@@@@@@@@4@@4,\r\n"
                                            "FAR,FA1R,,,ENABLED,YYY,,4@@4@@@@4@@4,\r\n"
                                            "MID,MI1D,,Direct,DISABLED,YNY,,@@@@@@@@4@@4,\r\n"
                                            "VIA,VI1A,,FAR,DISABLED,YYY,,@@@@@@@@4@@4,\r\n");

    // The best time of each channel MID may use; a tick is saved at once.
    frm.LQBtn->click();
    EXPECT_FALSE(frm.FreqBtn->isChecked());
    EXPECT_FALSE(frm.LQ1Panel->isHidden());
    frm.StationListBox->setCurrentRow(2);
    EXPECT_EQ(Lines(frm.ChannelListBox),
              (std::vector<std::string>{"001   ANYTIME [x]", "002   ", "003   ALL DAY [x]"}));
    frm.ChannelListBox->item(0)->setCheckState(Qt::Unchecked);
    EXPECT_EQ(Stations->Get(2).ChannelFlags, "NNY");
    EXPECT_EQ(Lines(frm.ChannelListBox)[0], "001   ");

    // Removing a channel with no station selected still takes its line away;
    // the other lines keep their ticks.
    frm.StationListBox->setCurrentRow(-1);
    frm.ChannelListBox->setCurrentRow(0);
    frm.ChannelsRemovebtn->click();
    EXPECT_EQ(Lines(frm.ChannelListBox), (std::vector<std::string>{"001   ", "002    [x]"}));
    EXPECT_EQ(Stations->Get(1).LinkQuality, "@@@@4@@4");
}

// With no station selected there is no use flag to show or store: the ticks
// stay as the operator sees them, one ticked then included.
TEST_F(ConfigFrmTest, WithNoStationSelectedTheTicksStayAsTheyAre)
{
    TConfigFrm& frm = Shown();
    frm.StationListBox->setCurrentRow(2); // MID may use channel 1 only
    const std::vector<std::string> mid{"001  1600  1600 LSB [x]", "002 14313 14300 USB"};
    ASSERT_EQ(Lines(frm.ChannelListBox), mid);
    frm.StationListBox->setCurrentRow(-1);
    EXPECT_EQ(Lines(frm.ChannelListBox), mid);
    frm.FreqBtn->click();
    frm.ChannelListBox->setCurrentRow(1);
    frm.ChannelListBox->item(1)->setCheckState(Qt::Checked);
    EXPECT_EQ(Lines(frm.ChannelListBox), (std::vector<std::string>{"001    [x]", "002    [x]"}));
    const std::string stations = Dir.ReadFile("stations.dat");
    EXPECT_NE(stations.find("MID,MI1D,,Direct,DISABLED,YN,"), std::string::npos) << stations;

    // A station picked again shows its own flags.
    frm.StationListBox->setCurrentRow(2);
    EXPECT_EQ(Lines(frm.ChannelListBox), (std::vector<std::string>{"001   ANYTIME [x]", "002   "}));
}

TEST_F(ConfigFrmTest, ScheduledLinksAreAddedMovedAndRemovedOnePerTime)
{
    TConfigFrm& frm = Shown();
    EXPECT_FALSE(frm.ScheduledStringGridSelectCell(1, 3)); // a row without a station
    EXPECT_FALSE(frm.ScheduledLinkAddBtn->isEnabled());
    EXPECT_TRUE(frm.ScheduledStringGridSelectCell(1, 1));
    EXPECT_TRUE(frm.ScheduledLinkEditBtn->isEnabled());

    TScriptedDialogs dialogs;
    dialogs.ExpectDialog("TScheduledFrm", [](QDialog& d) {
        auto& link = static_cast<TScheduledFrm&>(d);
        EXPECT_EQ(link.windowTitle(), "Edit Scheduled Link");
        EXPECT_EQ(link.StationName->text(), "FAR");
        EXPECT_EQ(link.Hour->currentText(), "08");
        link.Hour->setCurrentText("06");
        link.Minute->setCurrentText("30");
        link.Button1->click();
        return link.result();
    });
    frm.ScheduledLinkEditBtn->click();
    EXPECT_EQ(GridRow(1), "FAR 06:30 13:35");
    frm.ScheduledLinkRemoveBtn->click();
    EXPECT_EQ(Dir.ReadFile("schedule.dat"), "FAR;13:35;\r\n");

    // One link per station and time.
    frm.ScheduledStringGridSelectCell(1, 2);
    EXPECT_FALSE(frm.ScheduledLinkEditBtn->isEnabled());
    for (int i = 0; i < 2; ++i)
        dialogs.ExpectDialog("TScheduledFrm", [](QDialog& d) {
            auto& link = static_cast<TScheduledFrm&>(d);
            EXPECT_EQ(link.windowTitle(), "Add Scheduled Link");
            link.Hour->setCurrentText("13");
            link.Minute->setCurrentText("35");
            link.Button1->click();
            return link.result();
        });
    frm.ScheduledLinkAddBtn->click();
    dialogs.ExpectBox("A link to MID is already scheduled at 13:35.", IDOK);
    frm.ScheduledLinkAddBtn->click();
    EXPECT_EQ(Dir.ReadFile("schedule.dat"), "FAR;13:35;\r\nMID;13:35;\r\n");
    EXPECT_EQ(GridRow(2), "MID 13:35");

    // A link gone from the table behind the dialog's back.
    frm.ScheduledStringGridSelectCell(1, 2);
    Links->Delete("MID", "13:35");
    dialogs.ExpectBox("Error Retrieving Link Information", IDOK);
    frm.ScheduledLinkEditBtn->click();

    // Twelve times fill the row.
    for (int h = 0; h < 11; ++h)
        Links->Add(TScheduledLink{"FAR", DateTime::TimeOfDay(h, 0)});
    frm.FillScheduledLinkGrid();
    frm.ScheduledStringGridSelectCell(12, 1);
    EXPECT_FALSE(frm.ScheduledLinkAddBtn->isEnabled());
    EXPECT_TRUE(frm.ScheduledLinkRemoveBtn->isEnabled());
}

// A refill moves stations and times between the grid's cells: the buttons act
// on what the selected cell shows then, never on a link or station it showed
// before.
TEST_F(ConfigFrmTest, ScheduledLinkButtonsFollowWhatTheSelectedCellShowsAfterARefill)
{
    TConfigFrm& frm = Shown();
    TScriptedDialogs dialogs;
    auto addAt = [&](const char* hour, const char* minute, std::string* station) {
        dialogs.ExpectDialog("TScheduledFrm", [=](QDialog& d) {
            auto& link = static_cast<TScheduledFrm&>(d);
            if (station)
                *station = link.StationName->text().toStdString();
            link.Hour->setCurrentText(hour);
            link.Minute->setCurrentText(minute);
            link.Button1->click();
            return link.result();
        });
        frm.ScheduledLinkAddBtn->click();
    };
    // 13:35 selected; an earlier link added moves 08:00 into its cell.
    ASSERT_TRUE(frm.ScheduledStringGridSelectCell(2, 1));
    addAt("06", "30", nullptr);
    EXPECT_EQ(GridRow(1), "FAR 06:30 08:00 13:35");
    EXPECT_FALSE(frm.ScheduledLinkRemoveBtn->isEnabled());
    EXPECT_FALSE(frm.ScheduledLinkEditBtn->isEnabled());
    // An edited link takes the selection along to its new cell.
    ASSERT_TRUE(frm.ScheduledStringGridSelectCell(1, 1));
    dialogs.ExpectDialog("TScheduledFrm", [](QDialog& d) {
        auto& link = static_cast<TScheduledFrm&>(d);
        link.Hour->setCurrentText("14");
        link.Button1->click();
        return link.result();
    });
    frm.ScheduledLinkEditBtn->click();
    EXPECT_EQ(GridRow(1), "FAR 08:00 13:35 14:30");
    EXPECT_EQ(frm.ScheduledStringGrid->currentColumn(), 3);
    frm.ScheduledLinkRemoveBtn->click();
    EXPECT_EQ(GridRow(1), "FAR 08:00 13:35");

    // FAR's row selected, then FAR removed: MID moves into the row.
    Stations->Modify(TStation{"VIA", "VI1A", "", "", "DISABLED", "YY", "", "@@@@@@@@"}, 3);
    ASSERT_TRUE(frm.ScheduledStringGridSelectCell(5, 1));
    frm.StationListBox->setCurrentRow(1);
    frm.RemoveStationBtn->click();
    EXPECT_EQ(GridRow(1), "MID");
    std::string asked;
    addAt("10", "00", &asked);
    EXPECT_EQ(asked, "MID");
    EXPECT_EQ(Dir.ReadFile("schedule.dat"), "MID;10:00;\r\n");
}

TEST_F(ConfigFrmTest, EachShowingTakesTheTablesAsTheyAreThen)
{
    TConfigFrm& frm = Shown();
    frm.close();
    Stations->Add(TStation{"LATE", "LA1TE"});
    Links->Add(TScheduledLink{"LATE", DateTime::TimeOfDay(10, 0)});
    frm.show();
    EXPECT_EQ(Lines(frm.StationListBox).back(), "LATE");
    EXPECT_EQ(Items(frm.MailGateway).back(), "LATE");
    EXPECT_EQ(GridRow(3), "LATE 10:00");
}

} // namespace
