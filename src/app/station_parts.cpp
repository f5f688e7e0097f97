#include "app/station_parts.h"

#include <QCoreApplication>

#include "core/config.h"
#include "link/link_ctrl_frm.h"

namespace {

// Step 8 through the link control window: its modem port and its modem
// initialisation.
class TLinkModemStartup : public TModemStartup {
public:
    TLinkModemStartup(TLinkCtrlFrm& link, TConfig& config) : FLink(link), FConfig(config) {}

    bool OpenPort() override { return FLink.OpenModemPort(FConfig.Modem.Port) == 1; }
    void InitModem() override { FLink.ModemInitTimerTimer(); }
    bool ModemReady() override { return FLink.IsModemReady(); }
    // This build has no port selection dialog: the configured port is tried
    // again, and Cancel on the box ends the program.
    bool SelectPort() override { return false; }

private:
    TLinkCtrlFrm& FLink;
    TConfig& FConfig;
};

} // namespace

TStationParts DefaultStationParts()
{
    TStationParts parts;
    // The station configuration dialog, the local mail servers and the
    // gateways are plugged in here as they join the program; until then
    // their steps build nothing.
    parts.LinkControl = [](TStationObjects& o) -> std::unique_ptr<QObject> {
        auto link =
            std::make_unique<TLinkCtrlFrm>(*o.Config, *o.Stations, *o.Channels, *o.ScheduledLinks);
        TLinkCtrlFrm* window = link.get();
        auto show = [window] {
            window->show();
            window->raise();
        };
        o.AddMenuEntry({"Link Control", "LINKCTRL", TMenuEntry::TGroup::Windows, {}, {}, show});
        o.AfterStart.push_back(show);
        return link;
    };
    parts.Modem = [](TStationObjects& o) -> std::unique_ptr<TModemStartup> {
        auto* link = qobject_cast<TLinkCtrlFrm*>(o.LinkControl);
        if (!link)
            return nullptr;
        return std::make_unique<TLinkModemStartup>(*link, *o.Config);
    };
    parts.Quit = [](int exitCode) { QCoreApplication::exit(exitCode); };
    return parts;
}
