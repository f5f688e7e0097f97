#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "app/station_parts.h"
#include "configui/config_frm.h"
#include "core/channel_list.h"
#include "core/config.h"
#include "core/scheduled_link_list.h"
#include "core/station_list.h"
#include "platform/data_root.h"

namespace {

TEST(StationPartsTest, StationConfigurationOpensFromItsMenuEntryBehindItsOwnPassword)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    DataRoot::Set(dir.path().toStdString());
    TConfig config;
    config.Station.Pass = "net1";
    TStationList stations;
    stations.Add(TStation{"HOME", "HM1"});
    TChannelList channels;
    TScheduledLinkList links;
    TStationObjects o;
    o.Config = &config;
    o.Stations = &stations;
    o.Channels = &channels;
    o.ScheduledLinks = &links;
    std::vector<TMenuEntry> entries;
    o.AddMenuEntry = [&entries](TMenuEntry e) { entries.push_back(std::move(e)); };

    TStationParts parts = DefaultStationParts();
    // Without the link control window there is nothing to configure.
    EXPECT_EQ(parts.StationConfig(o), nullptr);
    EXPECT_TRUE(entries.empty());
    std::unique_ptr<QObject> link = parts.LinkControl(o);
    o.LinkControl = link.get();
    entries.clear();
    std::unique_ptr<QObject> part = parts.StationConfig(o);
    auto* dialog = qobject_cast<TConfigFrm*>(part.get());
    ASSERT_NE(dialog, nullptr);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].Text, "&Station Network");
    EXPECT_EQ(entries[0].Group, TMenuEntry::TGroup::Settings);
    // The password is the one held when the entry is chosen.
    config.Station.Pass = "net2";
    EXPECT_EQ(entries[0].Password(), "net2");
    entries[0].Open();
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->Name->text(), "HOME");
    dialog->close();
    part.reset();
}

} // namespace
