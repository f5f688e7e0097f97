#pragma once

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cstdint>
#include <string>

#include "core/daily_log.h"

class TConfig;
class TFaxConfigFrm;
class TApdComPort;
class TApdFaxConverter;
class TApdFaxUnpacker;
class TApdFaxClient;

// The fax gateway of a mail and fax gateway station: a window with its
// status log (also written to LOGS/FAX_GATEWAY_mmdd.TXT), its own
// notification-area icon and menu, and the owner of the fax components that
// turn mail for FAX2 into faxes and received faxes into mail.
//
// Choices where the station's settings leave room:
// - Each set-up step is guarded on its own: a directory that cannot be made
//   is reported and the others are still made; a settings step that fails
//   (a fax modem that is missing, say) is logged and the later steps still
//   run, so jobs are still written and queued while receiving is off.
// - Scratch files (attachments, converted pages, page bitmaps) live in the
//   gateway's own directory TEMP/FAX under generated names; the start-up
//   empties it and nothing else. The user's Files directory and the job
//   directory's lock file are never touched.
// - The tray menu's "Configuration" and the "Open Log" menu entry do what
//   their names say: the settings dialog and today's log.
class TFaxGateway : public QMainWindow {
    Q_OBJECT
public:
    TFaxGateway(QWidget* owner, TConfig* config);
    ~TFaxGateway() override;

    // Adds the notification-area icon where the desktop has one.
    void AddTrayIcon();

    // The one entry for status lines: the window and the daily file. A text
    // equal to the last one written is dropped; nothing is written while the
    // gateway closes.
    void LogStatus(const std::string& text);

    void SetupDirectories();
    // [FAXMODEM] and [FAXRECEIVE] of the configuration into the fields, and
    // back (the INI file takes them at its next save).
    void LoadSettings();
    void SaveSettings();
    // The fields to the fax components; stops the poll while it works and
    // starts it again at its end.
    void ApplySettings();

    // Handlers (public so that tests drive them as the controls do).
    void ConfigureClick();
    void AboutMenuClick();
    void Close1Click();
    void FaxGateway1Click();
    void Button1Click(); // Clear
    void Button2Click(); // View
    void POPtimerTimer();

    // Directories, each with a trailing "/".
    std::string RootDir;
    std::string AdminDir;
    std::string Fax2Dir;
    std::string OutFaxDir;
    std::string ScratchDir;
    std::string AsideDir;

    // Settings.
    int32_t FaxPort = 3;
    std::string ModemInit;
    std::string DialPrefix;
    int32_t Retry = 3;
    int32_t RetryDelay = 10; // minutes
    bool ForwardEnabled = false;
    std::string ForwardAddress;
    bool PrintEnabled = false;
    std::string DialTone = "Tone";
    bool ReceiveEnabled = false;
    int32_t NumRings = 3;
    bool Closing = false;

    // Controls and components.
    QPlainTextEdit* StatusEdit;
    QPushButton* Button1;
    QPushButton* Button2;
    QMenu* File1;
    QAction* OpenLog1;
    QAction* Close1;
    QAction* Configure;
    QAction* AboutMenu;
    QMenu* PopupMenu1;
    QAction* FaxGateway1;
    QAction* Configuration1;
    QTimer* POPtimer;
    TApdComPort* ApdComPort1;
    TFaxConfigFrm* FaxConfigFrm;
    QSystemTrayIcon* TrayIcon() const { return FTrayIcon; }

private:
    void WriteLog(const std::string& text);
    // Runs one step of the set-up; a failure is logged and the set-up goes
    // on.
    template <class Fn> void Guarded(Fn step);

    TConfig* Config;
    TDailyLog FLog{"FAX_GATEWAY_"};
    std::string FLastText;
    bool FLogFailed = false;
    bool FConfiguring = false;
    QSystemTrayIcon* FTrayIcon = nullptr;
};
