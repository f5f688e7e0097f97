#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QTemporaryDir>
#include <QTest>

#include "configui/channel_frm.h"
#include "configui/input_filters.h"
#include "configui/station_frm.h"
#include "core/station_list.h"
#include "platform/data_root.h"
#include "support/scripted_dialogs.h"
#include "support/test_files.h"

namespace {

class StationFrmTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Stations = std::make_unique<TStationList>();
        Stations->Add(TStation{"Base", "BA1SE"});
        Stations->Add(TStation{"FAR", "FA1R"});
        Stations->Add(TStation{"MID", "MI1D"});
        InputFilter::SetBeepForTest([this] { ++Beeps; });
    }
    void TearDown() override { InputFilter::SetBeepForTest({}); }

    int PressOk(TStationFrm& frm, const char* name, const char* call)
    {
        frm.setResult(0);
        frm.Name->setText(name);
        frm.Call->setText(call);
        frm.Button1->click();
        return frm.result();
    }

    TempRoot Dir;
    std::unique_ptr<TStationList> Stations;
    int Beeps = 0;
};

TEST_F(StationFrmTest, ChecksNameAndCallInOrderAgainstEveryStation)
{
    TStationFrm frm(nullptr, Stations.get());
    TScriptedDialogs boxes;
    boxes.ExpectBox("Please, enter a station Name.", IDOK)
        .ExpectBox("Station Name has already been assigned.\nPlease, enter a different station "
                   "Name.",
                   IDOK)
        .ExpectBox("Please, enter a valid station Call.", IDOK)
        .ExpectBox("Station Call has already been assigned.\nPlease, enter a different station "
                   "Call.",
                   IDOK);
    EXPECT_EQ(PressOk(frm, "", "X1"), 0);
    EXPECT_EQ(PressOk(frm, "base", "X1"), 0);
    EXPECT_EQ(PressOk(frm, "NEW", ""), 0);
    // This station's call sign, in other letters.
    EXPECT_EQ(PressOk(frm, "NEW", "ba1se"), 0);
    EXPECT_EQ(boxes.Records()[0].title, "Station Name Error");
    EXPECT_EQ(boxes.Records()[3].title, "Station Call Error");
    EXPECT_EQ(boxes.Records()[3].icon, TMsgIcon::Warning);
    EXPECT_EQ(PressOk(frm, "NEW", "NE1W"), TStationFrm::mrOk);

    // An Edit keeps its own name and call sign.
    TStationFrm edit(nullptr, Stations.get());
    edit.Name->setEnabled(false);
    EXPECT_EQ(PressOk(edit, "Base", "BA1SE"), TStationFrm::mrOk);
}

TEST_F(StationFrmTest, RouteListOffersDirectAndTheOtherStations)
{
    TStationFrm add(nullptr, Stations.get());
    add.show();
    ASSERT_EQ(add.RouteVia->count(), 3);
    EXPECT_EQ(add.RouteVia->itemText(0), "Direct");
    EXPECT_EQ(add.RouteVia->itemText(2), "MID");
    EXPECT_EQ(add.RouteVia->currentText(), "Direct");
    EXPECT_EQ(PressOk(add, "NEW", "NE1W"), TStationFrm::mrOk);
    EXPECT_EQ(add.RouteVia->currentText(), "");

    TStationFrm edit(nullptr, Stations.get());
    edit.Name->setText("far");
    InputFilter::ShowText(edit.RouteVia, "MID");
    edit.show();
    ASSERT_EQ(edit.RouteVia->count(), 2); // the edited station is no route
    EXPECT_EQ(edit.RouteVia->currentText(), "MID");
    // Keys and the wheel never change a route.
    edit.RouteVia->setFocus();
    QTest::keyClick(edit.RouteVia, Qt::Key_Up);
    QTest::keyClicks(edit.RouteVia, "Direct");
    EXPECT_EQ(edit.RouteVia->currentText(), "MID");
}

TEST_F(StationFrmTest, NameSuggestsTheCallSignAndFiltersKeepToTheirCharacters)
{
    TStationFrm frm(nullptr, Stations.get());
    frm.show();
    QTest::keyClicks(frm.Name, "Ab_cd");
    EXPECT_EQ(frm.Call->text(), "AB1CD");
    frm.Name->clear();
    QTest::keyClicks(frm.Name, "Base");
    EXPECT_EQ(frm.Call->text(), "BA1SE");
    frm.Name->clear();
    QTest::keyClicks(frm.Name, "B");
    EXPECT_EQ(frm.Call->text(), "B");
    // The operator's own call sign stays once the name is 8 characters long,
    // and keys that do not change the name leave it.
    frm.Name->setText("North");
    frm.Call->setText("MY1CALL");
    QTest::keyClick(frm.Name, Qt::Key_Left);
    EXPECT_EQ(frm.Call->text(), "MY1CALL");
    frm.Name->end(false);
    QTest::keyClicks(frm.Name, "east");
    EXPECT_EQ(frm.Name->text(), "Northeast");
    EXPECT_EQ(frm.Call->text(), "NO1RTHEA");
    frm.Call->setText("MY1CALL");
    QTest::keyClicks(frm.Name, "X");
    EXPECT_EQ(frm.Call->text(), "MY1CALL");

    // A space becomes "_"; other characters are dropped with a beep.
    frm.Name->clear();
    QTest::keyClicks(frm.Name, "a b-c");
    EXPECT_EQ(frm.Name->text(), "a_bc");
    EXPECT_EQ(Beeps, 1);
    // Pasted text goes through the same filter.
    QApplication::clipboard()->setText(QString::fromLatin1("x y!\xe9z"));
    frm.Name->paste();
    EXPECT_EQ(frm.Name->text(), "a_bcx_yz");
    EXPECT_EQ(Beeps, 2);
    // The call sign box takes "." and makes letters upper case, silently.
    frm.Call->clear();
    QTest::keyClicks(frm.Call, "ab.1-x");
    EXPECT_EQ(frm.Call->text(), "AB.1X");
    EXPECT_EQ(Beeps, 2);
}

TEST_F(StationFrmTest, SelCallEndingInZeroIsQueriedOnLeavingTheBox)
{
    TStationFrm frm(nullptr, Stations.get());
    TScriptedDialogs boxes;
    boxes.ExpectBox("Please select a SelCall ending in digits 1-9", IDOK)
        .ExpectBox("Please select a SelCall ending in digits 1-9", IDOK);
    for (const char* text : {"1230", "1231", "", "12.5", "0"}) {
        frm.SelCall->setText(text);
        TStationFrm::CheckSelCall(frm.SelCall);
    }
    EXPECT_EQ(boxes.Records().size(), 2u);
    EXPECT_TRUE(frm.SelCall->hasSelectedText());
}

// Types as the operator does: each key goes where the focus is by then.
void Type(QLineEdit* box, const char* keys)
{
    box->setFocus();
    for (const char* k = keys; *k; ++k)
        QTest::keyClick(box->window()->focusWidget(), *k);
}

TEST(ChannelFrmTest, FrequenciesAreAssembledAndCheckedInKilohertz)
{
    TChannelFrm frm(nullptr);
    frm.show();
    frm.RX2->clear();
    Type(frm.RX1, "14070");
    Type(frm.RX2, "5");
    frm.OKBtn->click();
    EXPECT_EQ(frm.result(), TChannelFrm::mrOk);
    EXPECT_EQ(frm.ReceiveFreq, "14070.500");
    EXPECT_EQ(frm.TransmitFreq, "14070.500");
    EXPECT_EQ(frm.RX2->text(), "500");

    // Without a split the transmit frequency is the receive frequency, and
    // is checked first.
    TScriptedDialogs boxes;
    boxes.ExpectBox("Please, enter a valid transmit frequency (1600.000 - 30000.000 kHz).", IDOK)
        .ExpectBox("Please, enter a valid transmit frequency (1600.000 - 30000.000 kHz).", IDOK);
    auto ok = [&](const char* kHz, const char* fraction) {
        frm.setResult(0);
        frm.RX1->setText(kHz);
        frm.RX2->setText(fraction);
        frm.OKBtn->click();
        return frm.result();
    };
    EXPECT_EQ(ok("1599", "999"), 0);
    EXPECT_EQ(ok("1600", ""), TChannelFrm::mrOk);
    EXPECT_EQ(frm.ReceiveFreq, " 1600.000");
    EXPECT_EQ(ok("30000", "001"), 0);
    EXPECT_EQ(ok("30000", "000"), TChannelFrm::mrOk);
    EXPECT_EQ(boxes.Records()[0].title, "Transmit Frequency Error");

    frm.CheckBox1->setChecked(true);
    frm.TX1->setText("7000");
    boxes.ExpectBox("Please, enter a valid receive frequency (1600.000 - 30000.000 kHz).", IDOK);
    EXPECT_EQ(ok("7", "1"), 0);
    EXPECT_EQ(boxes.Records()[2].title, "Receive Frequency Error");
    EXPECT_EQ(frm.ReceiveFreq, "    7.100");
}

TEST(ChannelFrmTest, TransmitFollowsReceiveUnlessSplit)
{
    TChannelFrm frm(nullptr);
    frm.show();
    EXPECT_FALSE(frm.TX1->isEnabled());
    frm.RX1->setText("7102");
    frm.RX2->setText("5");
    EXPECT_EQ(frm.TX1->text(), "7102");
    frm.CheckBox1->click();
    EXPECT_TRUE(frm.TX1->isEnabled());
    frm.TX1->setText("7200");
    EXPECT_EQ(frm.TransmitFreq, " 7200.500");
    frm.CheckBox1->click();
    EXPECT_EQ(frm.TX1->text(), "7102");
    EXPECT_EQ(frm.TransmitFreq, frm.ReceiveFreq);

    // Whatever the transmit boxes were given, OK without a split sends the
    // receive frequency.
    frm.TX1->setText("9999");
    frm.OKBtn->click();
    EXPECT_EQ(frm.TransmitFreq, " 7102.500");
}

TEST(ChannelFrmTest, KeysMoveBetweenTheBoxesAndTypeOverAFullBox)
{
    TChannelFrm frm(nullptr);
    frm.show();
    frm.activateWindow();
    frm.RX2->clear();
    // "." jumps to the decimals without being typed; in the decimals it is
    // no character either.
    Type(frm.RX1, "7102.5.");
    EXPECT_EQ(frm.RX1->text(), "7102");
    EXPECT_EQ(frm.RX2->text(), "5");
    // Pasted text keeps to digits too.
    QApplication::clipboard()->setText("x9");
    frm.RX2->paste();
    EXPECT_EQ(frm.RX2->text(), "59");
    Type(frm.RX2, "1");
    // A full box is typed over; backspace takes one character.
    frm.RX2->setCursorPosition(1);
    Type(frm.RX2, "7");
    EXPECT_EQ(frm.RX2->text(), "571");
    QTest::keyClick(frm.RX2, Qt::Key_Backspace);
    EXPECT_EQ(frm.RX2->text(), "51");
    // Left at the start of the decimals goes back to the kHz box, right at
    // the end of the kHz box to the decimals.
    frm.RX2->setCursorPosition(0);
    QTest::keyClick(frm.RX2, Qt::Key_Left);
    EXPECT_EQ(frm.focusWidget(), frm.RX1);
    EXPECT_EQ(frm.RX1->cursorPosition(), 4);
    QTest::keyClick(frm.RX1, Qt::Key_Right);
    EXPECT_EQ(frm.focusWidget(), frm.RX2);
}

TEST(ChannelFrmTest, BestTimeAndLinkQualitiesFollowEachOther)
{
    TChannelFrm frm(nullptr);
    for (auto [q, word] : {std::pair{"80%", "ANYTIME"}, {"20%", "1800-2359"}}) {
        TChannelFrm shown(nullptr);
        for (QComboBox* lq : {shown.LQ1, shown.LQ2, shown.LQ3})
            lq->setCurrentText(q);
        shown.show();
        EXPECT_EQ(shown.BestTimeCombo->currentText(), word);
    }
    // Qualities that match no word stay as they are until a word is picked.
    frm.LQ4->setCurrentText("20%");
    frm.show();
    EXPECT_EQ(frm.BestTimeCombo->currentText(), "ANYTIME");
    EXPECT_EQ(frm.LQ4->currentText(), "20%");
    frm.BestTimeCombo->setCurrentText("ALL NIGHT");
    std::string picked;
    for (QComboBox* lq : {frm.LQ1, frm.LQ2, frm.LQ3, frm.LQ4})
        picked += lq->currentText().toStdString() + " ";
    EXPECT_EQ(picked, "80% 20% 20% 80% ");
}

} // namespace
