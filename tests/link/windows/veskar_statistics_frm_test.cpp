// The modem statistics window, fed by the modem's reports over a link.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QProgressBar>

#include "link/modem_frame.h"
#include "link/windows/veskar_statistics_frm.h"
#include "platform/text.h"
#include "window_helpers.h"

namespace {

TEST(ModemStatistics, ReportFieldsBeyondOrShortOfSixAreDroppedOrEmpty)
{
    const auto s = ModemFrame::ParseStatistics("BPSK,7");
    EXPECT_EQ(s.Mod, "BPSK");
    EXPECT_EQ(s.Snr, "7");
    EXPECT_EQ(s.Tput, "");
    EXPECT_EQ(ModemFrame::ParseStatistics("a,b,c,d,e,f,g").Tput, "f");
}

TEST(ModemStatistics, ShownWhileLinkedAndResetAtTheLinksEndButTheToneLevels)
{
    TTwoStations air;
    air.Sky.With(1, [](TModemSimCore& m, TSimRadio&) { m.statistics = "8PSK,21,-1,2,5,2400"; });
    TVeskarStatisticsFrm& w = *air.Home->Form->VeskarStatisticsFrm;
    air.Home->Form->VeskarStats1->trigger();
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(FromQt(w.windowTitle()), "VESKAR Status");
    EXPECT_EQ(w.MyModBox->text(), "");
    EXPECT_EQ(w.MySNRBox->text(), "0");
    EXPECT_EQ(w.T1ProgressBar->value(), 1);

    ASSERT_TRUE(air.Link());
    ASSERT_TRUE(PumpUntil([&] { return w.HisTPUTBox->text() == "2400"; }));
    const QLabel* mine[] = {w.MyModBox, w.MySNRBox, w.MyFreqBox,
                            w.MyPHSBox, w.MyECCBox, w.MyTPUTBox};
    const QLabel* his[] = {w.HisModBox, w.HisSNRBox, w.HisFreqBox,
                           w.HisPHSBox, w.HisECCBox, w.HisTPUTBox};
    const char* home[] = {"QPSK", "12", "-3", "4", "0", "1200"};
    const char* field[] = {"8PSK", "21", "-1", "2", "5", "2400"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(FromQt(mine[i]->text()), home[i]);
        EXPECT_EQ(FromQt(his[i]->text()), field[i]);
    }
    EXPECT_EQ(w.T1ProgressBar->value(), 0x40);
    EXPECT_EQ(w.T4ProgressBar->value(), 0xA0);

    air.Home->Form->SendDisconnect();
    ASSERT_TRUE(PumpUntil([&] { return !air.Home->Form->IsLinked(); }));
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(FromQt(mine[i]->text()), i == 0 ? "" : "0");
        EXPECT_EQ(FromQt(his[i]->text()), i == 0 ? "" : "0");
    }
    EXPECT_EQ(w.T1ProgressBar->value(), 0x40);
}

} // namespace
