// The automatic link list window over the link control's queue.
#include <gtest/gtest.h>

#include <QAction>
#include <QListWidget>

#include "core/date_time.h"
#include "link/windows/auto_link_list_frm.h"
#include "platform/text.h"
#include "window_helpers.h"

namespace {

TEST(AutoLinkList, ColumnsOfTenCharacters)
{
    const TDateTime at = 45000 + DateTime::TimeOfDay(13, 5, 9);
    EXPECT_EQ(TAutoLinkListFrm::Line({"FIELDSTATION1", "Scheduled", 3, at}),
              "FIELDSTATIScheduled 3         13:05:09  ");
    EXPECT_EQ(TAutoLinkListFrm::Line({"", "Auto", -1, 0}),
              std::string(10, ' ') + "Auto      -1        00:00:00  ");
}

TEST(AutoLinkList, ShowsTheLinkQueueAfreshEverySecond)
{
    TOneStation one;
    TLinkCtrlFrm& form = *one.Home.Form;
    TAutoLinkListFrm& w = *form.AutoLinkListFrm;
    EXPECT_EQ(FromQt(w.windowTitle()), "Auto Link List");
    EXPECT_EQ(w.Timer1.Interval(), 1000);
    EXPECT_TRUE(w.Timer1.Enabled());
    form.AutoLinkList1->trigger();
    EXPECT_TRUE(w.isVisible());
    w.Timer1Timer();
    EXPECT_EQ(w.UserListBox->count(), 0);

    form.AddAutoLinkEntry("FIELD", "Auto", 45000.5);
    form.AddAutoLinkEntry("CAMP", "Scheduled", 45000.75);
    w.Timer1Timer();
    ASSERT_EQ(w.UserListBox->count(), 2);
    EXPECT_EQ(FromQt(w.UserListBox->item(1)->text()).substr(0, 20), "CAMP      Scheduled ");
    w.UserListBox->setCurrentRow(1);
    form.RemoveAutoLinkEntry(2); // past the end: nothing goes
    form.RemoveAutoLinkEntry(0);
    ASSERT_TRUE(PumpUntil([&] { return w.UserListBox->count() == 1; }, 3000));
    EXPECT_EQ(FromQt(w.UserListBox->item(0)->text()).substr(30), "18:00:00  ");
    EXPECT_TRUE(w.UserListBox->selectedItems().isEmpty());
}

} // namespace
