#include <QGuiApplication>
#include <QMetaObject>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/main_form.h"
#include "app/signal_watcher.h"
#include "app/skip_application.h"
#include "app/station_lock.h"
#include "core/core_report.h"
#include "netlib/base/ip_winsock.h"
#include "platform/command_line.h"
#include "platform/data_root.h"
#include "platform/dialogs.h"
#include "platform/qt_runtime_folder.h"
#include "platform/text.h"

namespace {

constexpr const char* kUsage =
    "usage: skipmail\n"
    "       skipmail --station-running DIR\n"
    "\n"
    "Runs the HF mail station whose folder is the one it is started in: its\n"
    "settings (skipmail.INI), tables, mail, queues and logs are kept there, and a\n"
    "folder without them is made a new station. One station runs in a folder at a\n"
    "time (it holds skipmail.lock).\n"
    "\n"
    "  --station-running DIR  start nothing: end 0 where a station runs in DIR or\n"
    "                         none can start there (saying which on standard\n"
    "                         output), 1 otherwise\n"
    "  -h, --help             this text\n"
    "\n"
    "Environment:\n"
    "  SKIPMAIL_COMn          the device of serial port COMn (else COMn in [PORTS]\n"
    "                         of skipmail.INI, else /dev/ttyS<n-1>)\n"
    "  DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM\n"
    "                         the display; without one the station runs\n"
    "                         headless, its boxes going to standard error\n"
    "  SKIPMAIL_LP, PRINTER   the command that prints received faxes (lp), and\n"
    "                         its printer\n"
    "  SKIPMAIL_PRINTFAX_DIR  the fax printer folder (/var/spool/skipmail-printfax)\n"
    "  CUPS_SERVER            the print service the fax printer is reached on\n"
    "  SKIPMAIL_GATEWAY_SMTP_PORT, SKIPMAIL_GATEWAY_POP3_PORT\n"
    "                         the mail gateway's Internet ports (25, 110)\n"
    "  SKIPMAIL_PPP_DIR       pppd's folder for dial-up (/etc/ppp)\n";

} // namespace

int main(int argc, char* argv[])
{
    // The demo scripts ask whether a station could start in a directory:
    // the station's own rules answer, without Qt or anything written.
    if (argc >= 2 && std::strcmp(argv[1], "--station-running") == 0) {
        if (argc == 3)
            return AnswerStationRunning(argv[2]);
        return argc == 2 ? CommandLine::Refuse("skipmail", "--station-running needs a DIR", kUsage)
                         : CommandLine::Unknown("skipmail", argv[3], kUsage);
    }
    // Anything else on the command line is answered before the station's
    // folder is made or a port opened.
    if (argc >= 2)
        return CommandLine::IsHelp(argv[1]) ? CommandLine::Help(kUsage)
                                            : CommandLine::Unknown("skipmail", argv[1], kUsage);
    // A server without a desktop: Qt would abort looking for a display.
    const bool noDesktop = NoDesktopNamed();
    if (noDesktop)
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const TQtRuntimeFolder runtimeFolder;
    TSkipApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    // Also where the caller chose the offscreen platform: no box can be
    // answered there either.
    if (NoDisplay()) {
        DropHeadlessNotices();
        const std::string why =
            noDesktop
                ? "no display (neither DISPLAY nor WAYLAND_DISPLAY is set)"
                : "Qt platform " + FromQt(QGuiApplication::platformName()) + " has no display";
        std::fprintf(stderr,
                     "skipmail: %s: running headless; boxes go to standard error and the mailbox "
                     "log\n",
                     why.c_str());
    }
    DataRoot::Capture();
    // One station per data root, claimed before anything there is written
    // or any port is opened; held until the process ends.
    const TStationLock stationLock(DataRoot::Get());
    if (stationLock.State() == TStationLock::TState::HeldElsewhere) {
        ReportStationRunning(DataRoot::Get());
        return 1;
    }
    if (stationLock.State() == TStationLock::TState::Unlockable) {
        ReportStationUnlockable(DataRoot::Get(), stationLock.Error());
        return 1;
    }
    if (stationLock.State() == TStationLock::TState::NoLocks)
        std::fprintf(stderr, "skipmail: cannot lock the data directory %s (%s); running anyway\n",
                     DataRoot::Get().c_str(), stationLock.Error().c_str());
    // Problems the core meets on any thread become message boxes on the GUI
    // thread, without making that thread wait. Standard error keeps them too:
    // a save that fails at shutdown comes after the last box can show.
    CoreReport::SetErrorHandler([&app](const std::string& text) {
        std::fprintf(stderr, "skipmail: %s\n", text.c_str());
        QMetaObject::invokeMethod(
            &app, [text] { ShowMessageBox(text, "Error", MB_OK, TMsgIcon::Error); },
            Qt::QueuedConnection);
    });
    // The library's WinSock loader lives for the whole run; a failed start
    // leaves it unloaded and the station goes on without it.
    TIpSockUnit ipSock([](const std::string& text) {
        std::fprintf(stderr, "skipmail: WinSock start-up failed: %s\n", text.c_str());
    });
    TMainForm form;
    TSignalWatcher signalWatcher([&form](int) { form.Shutdown(0, kOperatorStop); });
    const int rc = app.exec();
    // The message loop is over: whatever the station's teardown still meets
    // goes to standard error, not to a box nobody may be there to close.
    CoreReport::SetErrorHandler(
        [](const std::string& text) { std::fprintf(stderr, "skipmail: %s\n", text.c_str()); });
    return rc;
}
