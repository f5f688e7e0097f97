#pragma once

#include <QAction>
#include <QMainWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cstdint>
#include <memory>
#include <string>

#include "core/daily_log.h"
#include "fax/aw_abs_fax.h"
#include "fax/fax_server.h"

class TConfig;
class TFaxConfigFrm;
class TFaxMailToFax;
class TApdComPort;
class TApdFaxConverter;
class TApdFaxUnpacker;
class TApdFaxClient;
class TApdFaxPrinter;
class TApdCustomFaxPrinter;
enum class TFaxPLCode;
class TApdFaxPrinterStatus;

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
// - Scratch files (attachments, converted pages, page bitmaps, the fax of
//   the job being sent) live in the gateway's own directory TEMP/FAX under
//   generated names; the start-up empties it and nothing else. The user's
//   Files directory and the job directory's lock file are never touched.
// - The tray menu's "Configuration" and the "Open Log" menu entry do what
//   their names say: the settings dialog and today's log.
// - Settings reach the fax server step by step, the fax modem's watch last:
//   a modem that is missing stops receiving, never the sending of jobs.
// - A failed send is tried again after RetryDelay minutes through the job's
//   own schedule (the server's DialRetryWait), so other jobs go on
//   meanwhile; the pause after every send stays SendPause.
// - The notice about a fax that was never delivered, and the mail of a
//   received fax, go to the router through the queue with their envelope
//   lines (fax_page_mail.h), from "Fax Gateway" with an empty address so
//   that nothing answers them.
// - A fatal error of the fax modem is logged and the gateway resets itself
//   ResetDelayMs later, on a send and on a receive alike, so a modem that
//   keeps failing is tried again at that pace rather than in a loop; a
//   notice sent for it does not reset the gateway at once, as it does after
//   an ordinary last attempt.
// - The notice has no text of its own (the log says how each attempt
//   ended), except a line saying why its pages could not be attached.
// - A send that ends in a fatal error counts like any failed attempt: the
//   administrator hears of it only once no attempt is left.
// - A received fax is forwarded also when the call broke off after some of
//   its pages; its mail says so. The result line of a receive names the
//   received file, not the last job sent.
// - The outcome of printing a received fax is logged (printed, kept as a
//   PDF without a printer, failed with the print command's words, or
//   aborted), since no print log file is kept and a failed print is not
//   reported anywhere else.
// - A call that came in whole with no readable page (the engine keeps no
//   file without a page) is logged as such, not as received successfully,
//   and its mail, which carries no page, says why.
// - A call that brings several documents (a file each) gives a result line
//   and a mail for each, in the order they came; the documents before the
//   last one came whole, so they are mailed as such also when the call
//   broke off later, a fatal modem error included.
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

    // The fax server's events.
    void ApdFaxServer1FaxServerStatus(TApdCustomFaxServer* cp, TFaxServerMode faxMode, bool first,
                                      bool last, uint16_t status);
    void ApdFaxServer1FaxServerFatalError(TApdCustomFaxServer* cp, TFaxServerMode faxMode,
                                          int errorCode, int hangupCode);
    void ApdFaxServer1FaxServerFinish(TApdCustomFaxServer* cp, TFaxServerMode faxMode,
                                      int errorCode);
    void ApdFaxServer1FaxServerPortOpenClose(TApdCustomFaxServer* cp, bool opening);
    void ApdFaxServer1FaxServerAccept(TApdCustomFaxServer* cp, bool& accept);
    void ApdFaxServer1FaxServerLog(TApdCustomFaxServer* cp, TFaxLogCode logCode,
                                   TFaxServerLogCode serverCode);

    // The mail of a received fax (errorCode not 0: the pages that came
    // before the call broke off; an empty name: a fax with no readable
    // page).
    void ForwardReceivedFax(const std::string& fileName, int errorCode = 0);
    // The administrator's notice, with its pages, of a job whose last
    // attempt failed; the gateway then resets (logs it and applies its
    // settings again) once the server's report is handled.
    void NotifySendFailure(const std::string& jobFile);

    // The data root, as the gateway was made.
    std::string RootDir;
    // Directories, each with a trailing "/": the administrator's mailbox,
    // the fax mailbox (which also keeps the received faxes), the user's
    // Files directory, the job directory, the scratch directory and where
    // fax mail that cannot be faxed goes.
    std::string AdminDir;
    std::string Fax2Dir;
    std::string FilesDir;
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
    TApdFaxServer* ApdFaxServer1;
    TApdFaxServerManager* ApdFaxServerManager1;
    TApdFaxClient* FaxClient;
    TApdFaxConverter* Converter;
    TApdFaxUnpacker* UnPacker;
    TApdFaxPrinter* ApdFaxPrinter1;
    TApdFaxPrinterStatus* ApdFaxPrinterStatus1;
    TFaxConfigFrm* FaxConfigFrm;
    // Resets the gateway after a fatal error.
    QTimer* ResetTimer;

    // Pace of the fax server; tests shorten them before ApplySettings.
    int SendQueryInterval = 60; // seconds between send queries
    uint16_t SendPause = 750;   // ticks of 55 ms after a send
    int ResetDelayMs = 60000;
    QSystemTrayIcon* TrayIcon() const { return FTrayIcon; }

private:
    void WriteLog(const std::string& text);
    void SendFinished(int errorCode);
    void ReceiveFinished(int errorCode);
    // The documents of the last call before its last one: logged and
    // forwarded each as a fax of its own.
    void EarlierDocumentsReceived();
    // The fax server's current fax file is there to be read.
    bool HasReceivedFile() const;
    // The three lines of a failed attempt with attempts left; false when
    // none is left.
    bool AnnounceRetry();
    std::string CurrentJobId() const;
    // A print's outcome: printed, kept without a printer, failed, aborted.
    void LogPrint(const TApdCustomFaxPrinter& printer, TFaxPLCode code);
    // Runs one step of the set-up; a failure is logged and the set-up goes
    // on.
    template <class Fn> void Guarded(Fn step);

    TConfig* Config;
    TDailyLog FLog{"FAX_GATEWAY_"};
    std::string FLastText;
    bool FLogFailed = false;
    bool FConfiguring = false;
    bool FPolling = false;
    std::unique_ptr<TFaxMailToFax> FMailToFax;
    // The last received file forwarded, so that a broken call that named
    // no new file forwards nothing twice.
    std::string FLastReceived;
    QSystemTrayIcon* FTrayIcon = nullptr;
};
