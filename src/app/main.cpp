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
#include "platform/data_root.h"
#include "platform/dialogs.h"
#include "platform/qt_runtime_folder.h"
#include "platform/text.h"

namespace {

bool Unset(const char* name)
{
    const char* value = std::getenv(name);
    return !value || !*value;
}

} // namespace

int main(int argc, char* argv[])
{
    // The demo scripts ask whether a station could start in a directory:
    // the station's own rules answer, without Qt or anything written.
    if (argc == 3 && std::strcmp(argv[1], "--station-running") == 0)
        return AnswerStationRunning(argv[2]);
    // A server without a desktop: Qt would abort looking for a display.
    const bool noDesktop = Unset("QT_QPA_PLATFORM") && Unset("DISPLAY") && Unset("WAYLAND_DISPLAY");
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
