// The manual link dialog, alone and behind the link control's link button.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>

#include "link/windows/link_frm.h"
#include "platform/data_root.h"
#include "platform/text.h"
#include "support/scripted_dialogs.h"
#include "support/sky_sim.h"
#include "support/test_files.h"
#include "window_helpers.h"

namespace {

std::vector<std::string> Items(const QComboBox* box)
{
    std::vector<std::string> items;
    for (int i = 0; i < box->count(); ++i)
        items.push_back(FromQt(box->itemText(i)));
    return items;
}

class ManualLink : public ::testing::Test {
protected:
    ManualLink()
    {
        // Three channel flags, but two channels in the table.
        for (auto [name, flags] : {std::pair{"HOME", "YYY"},
                                   {"BASE", "YYY"},
                                   {"ALPHA", "NNN"},
                                   {"CAMP", "NNY"},
                                   {"DOCK", "NYN"}}) {
            TStation s;
            s.Name = name;
            s.ChannelFlags = flags;
            stations.Add(s);
        }
        channels.Add({"07102.500", "07102.500", "LSB"});
        channels.Add({"02182.000", "02182.000", "USB"});
        config.Radio.Type = "ICOM M710";
    }

    TempRoot dir;
    TConfig config{dir.Dir() + "/skipmail.INI"};
    TStationList stations;
    TChannelList channels;
};

TEST_F(ManualLink, OffersStationsAndChannelsTheTablesAllow)
{
    TLinkFrm frm(nullptr, config, channels, stations);
    EXPECT_EQ(FromQt(frm.windowTitle()), "Manual Link");
    frm.FormShow();
    // A station whose only channel is past the channel table is not offered.
    EXPECT_EQ(Items(frm.StationBox), (std::vector<std::string>{"BASE", "DOCK"}));
    EXPECT_EQ(FromQt(frm.StationBox->currentText()), "BASE");
    EXPECT_EQ(Items(frm.ChannelBox),
              (std::vector<std::string>{"001 - 7102.5 kHz", "002 - 2182.0 kHz"}));
    EXPECT_EQ(FromQt(frm.ChannelBox->currentText()), "001 - 7102.5 kHz");
    frm.StationBox->setCurrentText("DOCK");
    EXPECT_EQ(Items(frm.ChannelBox), (std::vector<std::string>{"002 - 2182.0 kHz"}));

    // Record 1 without a channel: its name stays in the box, with no channel.
    stations.SetChannelEnabled(1, 0, false);
    stations.SetChannelEnabled(1, 1, false);
    frm.FormShow();
    EXPECT_EQ(Items(frm.StationBox), (std::vector<std::string>{"DOCK"}));
    EXPECT_EQ(FromQt(frm.StationBox->currentText()), "BASE");
    EXPECT_EQ(frm.ChannelBox->count(), 0);
    EXPECT_EQ(frm.ChannelBox->currentText(), "");

    config.Radio.Type = "NONE";
    config.General.HideFreq = true;
    frm.FormShow();
    EXPECT_EQ(Items(frm.StationBox), (std::vector<std::string>{"BASE", "ALPHA", "CAMP", "DOCK"}));
    frm.StationBox->setCurrentText("DOCK");
    EXPECT_EQ(Items(frm.ChannelBox), (std::vector<std::string>{"002"}));
}

TEST_F(ManualLink, OkTakesOnlyAChannelOfferedForTheStation)
{
    TLinkFrm frm(nullptr, config, channels, stations);
    frm.FormShow();
    frm.ChannelBox->setVisible(true);
    frm.StationBox->setCurrentText("DOCK");
    for (const char* typed : {"001", "003", "abc", ""}) {
        TScriptedDialogs boxes;
        boxes.ExpectBox("Select one of the channels offered for DOCK.", IDOK);
        frm.ChannelBox->setEditText(typed);
        frm.setResult(0);
        frm.Button1->click();
        EXPECT_EQ(frm.result(), 0) << typed;
        EXPECT_EQ(boxes.Records().at(0).title, "Channel Error");
    }
    frm.ChannelBox->setEditText("002");
    frm.Button1->click();
    EXPECT_EQ(frm.result(), QDialog::Accepted);
    EXPECT_EQ(frm.Channel(), 2);

    // Without the channel box any station name goes back as typed.
    frm.ChannelBox->setVisible(false);
    frm.StationBox->setEditText("Nowhere 9");
    frm.setResult(0);
    frm.Button1->click();
    EXPECT_EQ(frm.result(), QDialog::Accepted);
    EXPECT_EQ(frm.StationName(), "Nowhere 9");
    EXPECT_EQ(frm.Channel(), 0);
}

TEST(ManualLinkButton, CallsTheChosenStationOnTheChosenChannel)
{
    TOneStation one("ICOM IC-718");
    TStationRig& home = one.Home;
    home.Stations->Delete(1);
    {
        TScriptedDialogs boxes;
        boxes.ExpectBox("No Stations are Configured\nContact your system administrator.", IDOK);
        home.Form->SpeedButton1Click();
    }
    home.AddStation("FIELD", "0002");
    ASSERT_TRUE(home.Ready());
    home.Form->Link().SendMail = false;
    TScriptedDialogs dialogs;
    dialogs.ExpectDialog("TLinkFrm", [](QDialog& d) {
        auto& frm = static_cast<TLinkFrm&>(d);
        frm.FormShow();
        EXPECT_FALSE(frm.ChannelBox->isHidden());
        EXPECT_TRUE(frm.Label2->isHidden());
        EXPECT_FALSE(frm.SendMailCheckBox->isChecked());
        EXPECT_TRUE(frm.AutoEndCheckBox->isChecked());
        frm.AutoEndCheckBox->setChecked(false);
        frm.ChannelBox->setCurrentIndex(1);
        frm.Button1->click();
        return frm.result();
    });
    home.Form->SpeedButton1Click();
    EXPECT_TRUE(home.Form->Link().ManualCall());
    EXPECT_FALSE(home.Form->Link().AutoEnd);
    EXPECT_NE(home.Log().find("Calling FIELD on channel 002"), std::string::npos) << home.Log();
    EXPECT_TRUE(PumpUntil([&] {
        return one.Sim.With([](TModemSimCore& m, TSimRadio&) {
            return !m.commands.empty() && m.commands.back() == 0x20 &&
                   m.arguments.back() == std::vector<uint8_t>{'0', '0', '0', '2', 56, 0};
        });
    }));
}

} // namespace
