#include <gtest/gtest.h>

#include <QImage>

#include "core/about_form.h"
#include "core/config.h"
#include "core/draw_menu_icon.h"
#include "core/router_helpers.h"
#include "platform/shell.h"

TEST(AboutFormTest, ShowsVersionPictureAndModemVersionsOnceKnown)
{
    TStationFixture s;
    TAboutForm about(nullptr, s.Config.get());
    EXPECT_TRUE(
        about.VersionLabel->text().contains(QString::fromStdString(Shell::ProgramVersion())));
    EXPECT_FALSE(about.Picture->pixmap().isNull());
    EXPECT_TRUE(about.ModemLabel->isHidden());

    s.Config->DspVersion = "2.31";
    s.Config->WaveformVariant = "VX-A";
    TAboutForm later(nullptr, s.Config.get());
    EXPECT_FALSE(later.ModemLabel->isHidden());
    EXPECT_TRUE(later.ModemLabel->text().contains("2.31"));
    EXPECT_TRUE(later.ModemLabel->text().contains("VX-A"));
}

TEST(DrawMenuIconTest, DrawsNamedIconAtItemCornerAndRefusesUnknown)
{
    QImage canvas(64, 64, QImage::Format_ARGB32);
    canvas.fill(Qt::transparent);
    QPainter painter(&canvas);
    EXPECT_TRUE(DrawMenuIcon(painter, QRect(20, 30, 100, 20), "MAILBOX"));
    EXPECT_FALSE(DrawMenuIcon(painter, QRect(0, 0, 100, 20), "NO SUCH ICON"));
    painter.end();
    int inside = 0;
    int outside = 0;
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < 64; ++x) {
            const bool drawn = qAlpha(canvas.pixel(x, y)) != 0;
            const bool inIcon = x >= 20 && x < 36 && y >= 30 && y < 46;
            (inIcon ? inside : outside) += drawn ? 1 : 0;
        }
    }
    EXPECT_GT(inside, 20);
    EXPECT_EQ(outside, 0);
    for (const char* name : {"STATION", "LINKCTRL", "MAILBOX", "SETTINGS", "NETWORK", "GATEWAY",
                             "FAX", "ABOUT", "LOG", "SHUTDOWN"})
        EXPECT_FALSE(MenuIcon(name).isNull()) << name;
}
