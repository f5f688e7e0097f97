#include <gtest/gtest.h>

#include "configui/scheduled_frm.h"
#include "support/scripted_dialogs.h"

namespace {

TDateTime At(int h, int m)
{
    return DateTime::TimeOfDay(h, m);
}

} // namespace

TEST(ScheduledFrmTest, TimeTextsTakeHoursToTwentyThreeAndMinutesToFiftyNine)
{
    EXPECT_EQ(TScheduledFrm::TimeFromTexts("00", "05"), At(0, 5));
    EXPECT_EQ(TScheduledFrm::TimeFromTexts("12", "00"), At(12, 0));
    EXPECT_EQ(TScheduledFrm::TimeFromTexts("13", "30"), At(13, 30));
    EXPECT_EQ(TScheduledFrm::TimeFromTexts("7", "9"), At(7, 9));
    EXPECT_EQ(TScheduledFrm::TimeFromTexts("23", "59"), At(23, 59));
    for (auto [h, m] : {std::pair{"24", "00"},
                        {"12", "60"},
                        {"", "00"},
                        {"12", ""},
                        {"-1", "00"},
                        {"+1", "00"},
                        {"1a", "00"},
                        {"012", "00"},
                        {"12", " 5"}})
        EXPECT_FALSE(TScheduledFrm::TimeFromTexts(h, m)) << h << ":" << m;
}

TEST(ScheduledFrmTest, OkRefusesATypedTimeThatDoesNotExistAndKeepsTheDialogOpen)
{
    TScheduledFrm frm(nullptr);
    EXPECT_EQ(frm.Hour->count(), 24);
    EXPECT_EQ(frm.Minute->count(), 12);
    EXPECT_EQ(frm.Minute->itemText(11), "55");
    EXPECT_TRUE(frm.StationName->isReadOnly());

    frm.SetTime(At(21, 7));
    EXPECT_EQ(frm.Hour->currentText(), "21");
    EXPECT_EQ(frm.Minute->currentText(), "07");

    TScriptedDialogs boxes;
    boxes.ExpectBox("Please, enter an hour from 00 to 23 and a minute from 00 to 59.", IDOK);
    frm.Hour->setCurrentText("25");
    frm.setResult(0);
    frm.Button1->click();
    EXPECT_EQ(frm.result(), 0);
    EXPECT_EQ(boxes.Records().at(0).title, "Time Error");
    EXPECT_EQ(frm.Hour->currentText(), "25");

    frm.Hour->setCurrentText("00");
    frm.Button1->click();
    EXPECT_EQ(frm.result(), TScheduledFrm::mrOk);
    EXPECT_EQ(frm.Time(), At(0, 7));

    frm.setResult(0);
    frm.Button2->click();
    EXPECT_EQ(frm.result(), TScheduledFrm::mrCancel);
}
