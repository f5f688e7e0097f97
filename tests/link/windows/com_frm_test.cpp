// The serial port selection dialog.
#include <gtest/gtest.h>

#include <QPushButton>
#include <QTest>

#include "link/windows/com_frm.h"
#include "link/windows/mouse_combo_box.h"
#include "platform/text.h"

namespace {

TEST(PortDialog, OffersTheFreePortsUpTo254AndTakesTheChoice)
{
    std::vector<unsigned> probed;
    TComFrm frm(nullptr, [&](unsigned n) {
        probed.push_back(n);
        return n == 3 || n == 254 || n == 255;
    });
    EXPECT_EQ(FromQt(frm.windowTitle()), "Serial Port Setting");
    ASSERT_EQ(probed.size(), 254u);
    EXPECT_EQ(probed.front(), 1u);
    ASSERT_EQ(frm.PortBox->count(), 2);
    EXPECT_EQ(frm.PortBox->itemText(1), "COM254");
    EXPECT_EQ(frm.ComPort, 3);
    EXPECT_TRUE(frm.Button1->isEnabled());
    QTest::keyClick(frm.PortBox, Qt::Key_Down);
    EXPECT_EQ(frm.ComPort, 3) << "keys choose nothing";
    frm.PortBox->setCurrentIndex(1);
    EXPECT_EQ(frm.ComPort, 254);
    frm.Button1->click();
    EXPECT_EQ(frm.result(), QDialog::Accepted);
}

TEST(PortDialog, WithNoFreePortOkIsDisabled)
{
    TComFrm frm(nullptr, [](unsigned) { return false; });
    EXPECT_EQ(frm.PortBox->count(), 0);
    EXPECT_FALSE(frm.Button1->isEnabled());
    EXPECT_EQ(frm.ComPort, 1);
}

} // namespace
