#pragma once

#include <QMainWindow>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/station_parts.h"

class TStartupForm;

// The program's main window. Its one-shot start timer builds the station in
// the start-up order (the composition root); it owns every shared object and
// frees them in the shutdown order. It stays hidden while the notification
// area carries the station's icon; where there is none it shows itself with
// the same menu.
class TMainForm : public QMainWindow {
    Q_OBJECT
public:
    explicit TMainForm(TStationParts parts = DefaultStationParts(), QWidget* parent = nullptr);
    ~TMainForm() override;

    QTimer* StartTimer;

    // Ends the station in the shutdown order, then the message loop. Safe to
    // call more than once and from inside the start-up. `why` goes to the
    // parts' logs (BeforeStop) before anything is freed.
    void Shutdown(int exitCode = 0, const std::string& why = {});

    bool Started() const { return FStarted; }
    bool ShutDown() const { return FShutDown; }
    TStartupForm* StartupForm() const { return FStartupForm.get(); }
    QMenu* PopupMenu() const { return FPopupMenu; }
    QSystemTrayIcon* TrayIcon() const { return FTrayIcon; }
    const TStationObjects& Objects() const { return FObjects; }
    // The menu entries in menu order (tests, and the main window's menu).
    const std::vector<TMenuEntry>& MenuEntries() const { return FMenuEntries; }
    // Runs the entry as a click on its menu item does.
    void RunMenuEntry(const TMenuEntry& entry);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void StartTimerTimer();
    bool BuildStation();
    bool WaitForModem();
    // False when a shutdown was asked for meanwhile.
    bool AddStatusLine(const char* text);
    void AddMenuEntry(TMenuEntry entry);
    void BuildMenu();
    void ShowMainIcon();
    void FreeStation();
    std::unique_ptr<QObject> BuildPart(const TStationParts::TFactory& factory);

    TStationParts FParts;
    TStationObjects FObjects;
    std::unique_ptr<TStartupForm> FStartupForm;
    std::vector<TMenuEntry> FMenuEntries;
    QMenu* FPopupMenu = nullptr;
    QSystemTrayIcon* FTrayIcon = nullptr;
    bool FStarting = false;
    bool FStarted = false;
    bool FShutDown = false;
    // The depth of the message loop that runs the station (the start timer's);
    // a deeper one is a box or dialog inside some handler.
    int FMainLoopLevel = 0;
    // Set when the start-up must end early, with the program's exit code.
    std::optional<int> FAbortExitCode;
    // What the first request to stop gave as its reason.
    std::string FStopWhy;

    // Owned shared objects and parts, freed in the shutdown order.
    std::unique_ptr<TConfig> FConfig;
    std::unique_ptr<TMsgStatusFrm> FMsgStatusFrm;
    std::unique_ptr<TStationList> FStationList;
    std::unique_ptr<TChannelList> FChannelList;
    std::unique_ptr<TScheduledLinkList> FScheduledLinkList;
    std::unique_ptr<TUserList> FUserList;
    std::unique_ptr<TAliasList> FAliasList;
    std::unique_ptr<TRouter> FRouter;
    std::unique_ptr<QObject> FLinkCtrl;
    std::unique_ptr<QObject> FStationConfig;
    std::unique_ptr<TModemStartup> FModem;
    std::unique_ptr<QObject> FLocalServers;
    std::unique_ptr<QObject> FMailGateway;
    std::unique_ptr<QObject> FFaxGateway;
};
