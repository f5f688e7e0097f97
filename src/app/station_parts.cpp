#include "app/station_parts.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "configui/config_frm.h"
#include "core/config.h"
#include "core/msg_status_frm.h"
#include "core/router.h"
#include "fax/fax_gateway.h"
#include "link/link_ctrl_frm.h"
#include "link/windows/com_frm.h"
#include "mail/account_list.h"
#include "mail/gateway_config_frm.h"
#include "mail/mail_exchange.h"
#include "mail/mail_gateway.h"
#include "mail/mail_gateway_dialup.h"
#include "mail/net_config_frm.h"
#include "mail/pop3_frm.h"
#include "mail/smtp_frm.h"
#include "platform/dialogs.h"
#include "serial/ad_except.h"
#include "serial/ad_misc.h"
#include "serial/ad_port.h"
#include "serial/port_access.h"
#include "serial/port_path.h"

namespace {

// Step 8 through the link control window: its modem port and its modem
// initialisation.
class TLinkModemStartup : public TModemStartup {
public:
    TLinkModemStartup(TLinkCtrlFrm& link, TConfig& config) : FLink(link), FConfig(config) {}

    // A port held by another program is the one case of "in use": a missing
    // device (a modem link gone with its simulator) is not, nor one this user
    // may not open.
    std::string OpenPort() override
    {
        const int result = FLink.OpenModemPort(FConfig.Modem.Port);
        if (result == 1)
            return {};
        if (result == AdErr::ecSharingViolation)
            return "Serial Port Already in Use.";
        const auto port = static_cast<unsigned>(FConfig.Modem.Port);
        const std::string path = ComPortPath(port);
        const std::string name = ComName(port) + " (" + path + ")";
        if (result == AdErr::ecAccessDenied)
            return PortAccessDenied(name, path);
        if (result == AdErr::ecFileNotFound || result == AdErr::ecPathNotFound)
            return "Serial Port Not Found: " + name + " does not exist.";
        return "Serial Port Cannot Be Opened: " + name + ": " + ErrorMsg(result) + ".";
    }
    void InitModem() override { FLink.ModemInitTimerTimer(); }
    bool ModemReady() override { return FLink.IsModemReady(); }
    void SayWaiting() override
    {
        const auto port = static_cast<unsigned>(FConfig.Modem.Port);
        FWaitingOn = ComName(port) + " (" + ComPortPath(port) + ")";
        const std::string text = "Waiting for the HF modem on " + FWaitingOn;
        std::fprintf(stderr, "skipmail: %s\n", text.c_str());
        FLink.AddStatusLine(text, true);
    }
    // The link log has its own line for the modem's answer.
    void SayWaitOver(TWaitEnd how) override
    {
        if (how == TWaitEnd::Answered)
            std::fprintf(stderr, "skipmail: The HF modem on %s answered\n", FWaitingOn.c_str());
        else
            std::fprintf(stderr,
                         "skipmail: Stopped waiting for the HF modem on %s: the operator "
                         "chose %s\n",
                         FWaitingOn.c_str(),
                         ComName(static_cast<unsigned>(FConfig.Modem.Port)).c_str());
    }
    // The chosen port becomes the configured one and is saved at once, so
    // the next start opens it too.
    bool SelectPort() override
    {
        TComFrm dialog;
        if (ShowModal(dialog) != QDialog::Accepted)
            return false;
        {
            auto lock = FConfig.Lock();
            FConfig.Modem.Port = dialog.ComPort;
        }
        FConfig.Save();
        return true;
    }

private:
    TLinkCtrlFrm& FLink;
    TConfig& FConfig;
    std::string FWaitingOn;
};

// Step 9: the POP3 and SMTP server windows and the local network settings,
// built in this order and freed the other way round, so the dialog goes
// before the servers it switches.
class TLocalServers : public QObject {
public:
    explicit TLocalServers(TStationObjects& o)
        : Pop3(std::make_unique<TPOP3Frm>(nullptr, o.MsgStatus, o.Config, o.Users)),
          Smtp(std::make_unique<TSMTPFrm>(nullptr, o.MsgStatus, o.Config)),
          NetConfig(std::make_unique<TNetConfigFrm>(
              nullptr, o.Stations, Smtp.get(), Pop3.get(), o.Config, o.Aliases, o.Users,
              [status = o.MsgStatus](const std::string& line) {
                  if (status)
                      status->AddLogLine(line);
              }))
    {
        // The router's own rules tell where a client's recipients go.
        if (TRouter* router = o.Router)
            Smtp->Destination = [router](const std::string& address) {
                return router->Destination(address);
            };
        // Without a window to look in, the mail clients' ports are said
        // here; a server that could not start has said so already.
        if (NoDisplay()) {
            if (Smtp->Listening())
                SayListening("SMTP", Smtp->Server()->DefaultPort());
            if (Pop3->Listening())
                SayListening("POP3", Pop3->Server()->DefaultPort());
        }
    }

    std::unique_ptr<TPOP3Frm> Pop3;
    std::unique_ptr<TSMTPFrm> Smtp;
    std::unique_ptr<TNetConfigFrm> NetConfig;

private:
    static void SayListening(const char* server, int port)
    {
        std::fprintf(stderr, "skipmail: %s server listening on port %d\n", server, port);
    }
};

// A port from the environment, or `standard` when it names none.
int PortFromEnvironment(const char* name, int standard)
{
    const char* text = std::getenv(name);
    int port = 0;
    if (!text)
        return standard;
    const char* end = text + std::strlen(text);
    auto [last, ec] = std::from_chars(text, end, port);
    return ec == std::errc() && last == end && port > 0 && port <= 65535 ? port : standard;
}

// Step 11: the account table, the gateway settings dialog and the mail
// gateway window, built in this order and freed the other way round.
class TMailGatewayPart : public QObject {
public:
    explicit TMailGatewayPart(TStationObjects& o)
        : Accounts(std::make_unique<TAccountList>()),
          Settings(
              std::make_unique<TGatewayConfigFrm>(nullptr, o.Stations, o.Config, Accounts.get())),
          Gateway(std::make_unique<TMailGateway>(nullptr, o.Config, Settings.get(), Accounts.get()))
    {
        TMailGateway* gateway = Gateway.get();
        auto exchange = std::make_unique<TMailExchange>(
            o.Config, Accounts.get(),
            [gateway](const std::string& text, bool show) { gateway->AddLogLine(text, show); });
        // Tests and the demo station reach their own servers on free ports.
        exchange->SmtpPort = PortFromEnvironment("SKIPMAIL_GATEWAY_SMTP_PORT", 25);
        exchange->Pop3Port = PortFromEnvironment("SKIPMAIL_GATEWAY_POP3_PORT", 110);
        gateway->SetExchange(std::move(exchange));
        gateway->SetDialup(std::make_unique<TMailGatewayDialup>(*gateway, *o.Config));
    }

    std::unique_ptr<TAccountList> Accounts;
    std::unique_ptr<TGatewayConfigFrm> Settings;
    std::unique_ptr<TMailGateway> Gateway;
};

// The password that guards a settings dialog's menu entry, read when the
// entry is chosen.
std::function<std::optional<std::string>()> PasswordOf(TConfig* config,
                                                       TConfig::TPassword TConfig::*section)
{
    return [config, section] { return config->LoginPassword((config->*section).Pass); };
}

// A menu entry's action that brings a settings dialog up, shown or not.
std::function<void()> ShowWindow(QWidget* window)
{
    return [window] {
        window->show();
        window->raise();
        window->activateWindow();
    };
}

} // namespace

TStationParts DefaultStationParts()
{
    TStationParts parts;
    parts.LinkControl = [](TStationObjects& o) -> std::unique_ptr<QObject> {
        auto link = std::make_unique<TLinkCtrlFrm>(*o.Config, *o.Stations, *o.Channels,
                                                   *o.ScheduledLinks, o.Router, o.MsgStatus);
        TLinkCtrlFrm* window = link.get();
        auto show = [window] {
            window->show();
            window->raise();
        };
        o.AddMenuEntry({"Link Control", "LINKCTRL", TMenuEntry::TGroup::Windows, {}, {}, show});
        o.AfterStart.push_back(show);
        o.BeforeStop.push_back([window](const std::string& why) { window->StationStopping(why); });
        // The station ends on its own turn of the message loop, after the
        // link window's handler has returned.
        window->OnModemHardwareError = [main = o.MainForm, shutdown = o.Shutdown] {
            QMetaObject::invokeMethod(
                main, [shutdown] { shutdown(); }, Qt::QueuedConnection);
        };
        // Standard error, which said the start-up's wait for the modem, also
        // says when the modem goes and when it is back.
        auto modem = [window] {
            const unsigned port = window->MDM7300->ComNumber();
            return ComName(port) + " (" + ComPortPath(port) + ")";
        };
        window->OnModemLost = [modem](const std::string& why) {
            std::fprintf(stderr,
                         "skipmail: The HF modem on %s was lost (%s): waiting for it to come "
                         "back\n",
                         modem().c_str(), why.c_str());
        };
        window->OnModemBack = [modem] {
            std::fprintf(stderr, "skipmail: The HF modem on %s is back\n", modem().c_str());
        };
        window->OnModemNotice = [](const std::string& text) {
            std::fprintf(stderr, "skipmail: %s\n", text.c_str());
        };
        return link;
    };
    parts.StationConfig = [](TStationObjects& o) -> std::unique_ptr<QObject> {
        auto* link = qobject_cast<TLinkCtrlFrm*>(o.LinkControl);
        if (!link)
            return nullptr;
        // A window of its own, not one over the main window.
        auto dialog = std::make_unique<TConfigFrm>(nullptr, o.Stations, o.Channels,
                                                   o.ScheduledLinks, o.Config, link);
        o.AddMenuEntry({"&Station Network",
                        "SETTINGS",
                        TMenuEntry::TGroup::Settings,
                        PasswordOf(o.Config, &TConfig::Station),
                        {},
                        ShowWindow(dialog.get())});
        return dialog;
    };
    parts.Modem = [](TStationObjects& o) -> std::unique_ptr<TModemStartup> {
        auto* link = qobject_cast<TLinkCtrlFrm*>(o.LinkControl);
        if (!link)
            return nullptr;
        return std::make_unique<TLinkModemStartup>(*link, *o.Config);
    };
    parts.LocalServers = [](TStationObjects& o) -> std::unique_ptr<QObject> {
        auto servers = std::make_unique<TLocalServers>(o);
        TNetConfigFrm* dialog = servers->NetConfig.get();
        o.AddMenuEntry({"&Local Network",
                        "NETWORK",
                        TMenuEntry::TGroup::Settings,
                        PasswordOf(o.Config, &TConfig::Mailbox),
                        {},
                        ShowWindow(dialog)});
        return servers;
    };
    parts.MailGateway = [](TStationObjects& o) -> std::unique_ptr<QObject> {
        auto part = std::make_unique<TMailGatewayPart>(o);
        TMailGateway* gateway = part->Gateway.get();
        o.AddMenuEntry({"Mail Gateway", "GATEWAY", TMenuEntry::TGroup::Windows, {}, {}, [gateway] {
                            gateway->Mail1Click();
                        }});
        if (o.UseTrayIcon)
            o.AfterStart.push_back([gateway] { gateway->AddTrayIcon(); });
        return part;
    };
    parts.FaxGateway = [](TStationObjects& o) -> std::unique_ptr<QObject> {
        auto gateway = std::make_unique<TFaxGateway>(nullptr, o.Config);
        TFaxGateway* window = gateway.get();
        o.AddMenuEntry({"Fax Gateway", "FAX", TMenuEntry::TGroup::Windows, {}, {}, [window] {
                            window->FaxGateway1Click();
                        }});
        if (o.UseTrayIcon)
            o.AfterStart.push_back([window] { window->AddTrayIcon(); });
        return gateway;
    };
    parts.Quit = [](int exitCode) { QCoreApplication::exit(exitCode); };
    return parts;
}
