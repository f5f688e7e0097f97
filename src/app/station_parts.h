#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QWidget;
class TConfig;
class TMsgStatusFrm;
class TStationList;
class TChannelList;
class TScheduledLinkList;
class TUserList;
class TAliasList;
class TRouter;

// What the logs say when the operator stops the station: the menu's
// "Shutdown", closing the main window, or SIGINT or SIGTERM.
inline constexpr const char* kOperatorStop = "Station stopped by the operator";

// An entry of the main menu (the notification-area icon's menu, or the main
// window's menu where the desktop has no notification area). A settings
// dialog's part adds its entry guarded by its own password, e.g.
//   objects.AddMenuEntry({"&Station Network", "SETTINGS",
//                         TMenuEntry::TGroup::Settings,
//                         [c = objects.Config] { return c->LoginPassword(c->Station.Pass); },
//                         {}, [dialog] { dialog->show(); }});
// ([MAILBOX] PASS guards "&Local Network", [GATEWAY] PASS the mail gateway
// settings.)
struct TMenuEntry {
    enum class TGroup { Windows, Settings, Program };
    std::string Text;
    std::string Icon; // a MenuIcon name
    TGroup Group = TGroup::Windows;
    // When set, the entry asks for this password first ("Configuration
    // Login"); it is read when the entry is chosen. None: no entry is right.
    std::function<std::optional<std::string>()> Password;
    std::string LoginCaption;
    std::function<void()> Open;
};

// The shared objects, built by the main window in the start-up order and
// handed to every later part; nothing else creates them.
struct TStationObjects {
    QWidget* MainForm = nullptr;
    TConfig* Config = nullptr;
    TMsgStatusFrm* MsgStatus = nullptr;
    TStationList* Stations = nullptr;
    TChannelList* Channels = nullptr;
    TScheduledLinkList* ScheduledLinks = nullptr;
    TUserList* Users = nullptr;
    TAliasList* Aliases = nullptr;
    TRouter* Router = nullptr;
    // Parts built so far, by name, for the parts that need an earlier one
    // (the modem start needs the link control window).
    QObject* LinkControl = nullptr;

    // Adds an entry to the main menu.
    std::function<void(TMenuEntry)> AddMenuEntry;
    // Runs once the main icon is up (gateways add their own icons there).
    std::vector<std::function<void()>> AfterStart;
    // Ends the program in the shutdown order (a hardware error of the modem
    // calls it after its message box).
    std::function<void()> Shutdown;
    // Runs when the station is about to be freed, with what stops it
    // (kOperatorStop, or empty where the station has said why itself).
    std::vector<std::function<void(const std::string& why)>> BeforeStop;
    // False keeps the gateways' notification-area icons off too.
    bool UseTrayIcon = true;
};

// Step 8: the modem's serial port, opened through the link control window,
// and the wait until the modem reports ready.
class TModemStartup {
public:
    virtual ~TModemStartup() = default;
    // Opens the configured modem port: empty on success, else why not, as
    // the first line of the box that offers another port.
    virtual std::string OpenPort() = 0;
    // One modem initialisation call; the start-up repeats it every 50 ms.
    virtual void InitModem() = 0;
    virtual bool ModemReady() = 0;
    // Says which port and device the start-up waits on, on standard error
    // and in the link log: a modem that never answers would otherwise leave
    // a headless station waiting without a word.
    virtual void SayWaiting() = 0;
    // Says once, on standard error, that the wait SayWaiting announced is
    // over: a headless start's last word must not be a wait that has ended.
    enum class TWaitEnd { Answered, OtherPort };
    virtual void SayWaitOver(TWaitEnd how) = 0;
    // The port selection dialog; false when the operator cancelled it.
    virtual bool SelectPort() = 0;
};

// The parts that the station's other subsystems plug into the start-up. Each
// factory may be empty: its step then builds nothing and the menu offers
// nothing for it. Each object built is owned by the main window and freed in
// the shutdown order (windows first, then gateways).
struct TStationParts {
    using TFactory = std::function<std::unique_ptr<QObject>(TStationObjects&)>;

    // Step 6: the link control window "5757 Link Control".
    TFactory LinkControl;
    // Step 7: the station configuration dialog (with its menu entry).
    TFactory StationConfig;
    // Step 8: opening the modem port and waiting for the modem.
    std::function<std::unique_ptr<TModemStartup>(TStationObjects&)> Modem;
    // Step 9: the local POP3 and SMTP server windows and the local network
    // settings dialog; constructing them starts the enabled servers.
    TFactory LocalServers;
    // Step 11, on the two gateway roles: the account table, the gateway
    // settings dialog and the mail gateway window.
    TFactory MailGateway;
    // Step 12, on a mail and fax gateway: the fax gateway.
    TFactory FaxGateway;

    // How the station runs; tests shorten the waits.
    int StatusHoldMs = 500;
    int ModemPollMs = 50;
    uint32_t RouterTurnMs = 1000;
    uint32_t RouterPauseMs = 2000;
    // False keeps the notification-area icon off even where the desktop has
    // one (tests).
    bool UseTrayIcon = true;
    // Ends the message loop once the station has been shut down.
    std::function<void(int exitCode)> Quit;
};

// The parts of this build of the station.
TStationParts DefaultStationParts();
