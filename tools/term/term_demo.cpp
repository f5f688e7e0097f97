// A terminal window on a host:port through the internet library's socket
// client.
//
//   skip_term HOST:PORT [--tty] [--telnet] [--capture FILE]
//
// The window is a VT100 (a plain teletype with --tty); --telnet speaks the
// telnet options (terminal type and window size); --capture writes what the
// host sends to FILE. The program ends when the host closes the connection
// or the window is closed.
#include "netlib/base/ip_winsock.h"
#include "netlib/sock/ip_sock_clients.h"
#include "netlib/term/ip_term_emulator.h"
#include "netlib/term/ip_terminal.h"
#include "platform/command_line.h"
#include "platform/dialogs.h"
#include "platform/qt_runtime_folder.h"

#include <QApplication>

#include <cstdio>
#include <string>

namespace {

constexpr const char* kProgram = "skip_term";
constexpr const char* kUsage =
    "usage: skip_term HOST:PORT [--tty] [--telnet] [--capture FILE]\n"
    "\n"
    "Opens the internet library's terminal window on HOST:PORT, a demonstration;\n"
    "it ends when the host closes the connection or the window is closed.\n"
    "\n"
    "  --tty           a plain teletype instead of a VT100\n"
    "  --telnet        speak the telnet options (terminal type, window size)\n"
    "  --capture FILE  write what the host sends to FILE\n"
    "  -h, --help      this text\n"
    "\n"
    "Environment:\n"
    "  DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM  the display the window opens on\n";

} // namespace

int main(int argc, char** argv)
{
    std::string url;
    bool tty = false, telnet = false;
    std::string capture;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (CommandLine::IsHelp(arg))
            return CommandLine::Help(kUsage);
        if (arg == "--tty")
            tty = true;
        else if (arg == "--telnet")
            telnet = true;
        else if (arg == "--capture" && i + 1 < argc)
            capture = argv[++i];
        else if (arg == "--capture")
            return CommandLine::Refuse(kProgram, "--capture needs a FILE", kUsage);
        else if (i == 1 && !arg.starts_with('-'))
            url = arg;
        else
            return CommandLine::Unknown(kProgram, arg, kUsage);
    }
    if (url.empty())
        return CommandLine::Refuse(kProgram, "HOST:PORT is needed", kUsage);
    // Qt would abort on a display it cannot find.
    if (NoDesktopNamed()) {
        std::fprintf(stderr, "skip_term: needs a display (neither DISPLAY nor WAYLAND_DISPLAY "
                             "is set)\n");
        return 1;
    }
    const TQtRuntimeFolder runtimeFolder;
    QApplication app(argc, argv);
    TIpSockUnit sockets(
        [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); });

    TIpClient client;
    // Every byte as it comes: a host owes the terminal no line ends.
    client.SockInits().ReceiveMode = rmAny;
    if (telnet)
        client.SockInits().SocketOptions.Include(soTelnet);
    int result = 0;
    client.OnError = [&](QObject*, uint32_t, int code, const std::string& text) {
        std::printf("error %d: %s\n", code, text.c_str());
        std::fflush(stdout);
        result = 1;
        app.quit();
    };
    client.OnStatus = [&](QObject*, uint32_t, TIpStatusType event, const TIpConnRec&,
                          const TIpSockStatRec&) {
        if (event == stConnect) {
            std::printf("connected to %s\n", url.c_str());
        } else if (event == stDisconnect) {
            std::printf("closed by the host\n");
            app.quit();
        }
        std::fflush(stdout);
    };

    TIpTerminal terminal;
    if (!tty)
        terminal.SetEmulator(new TIpVT100Emulator(&terminal));
    terminal.setWindowTitle(QString::fromStdString("skip_term " + url));
    terminal.SetSockControl(&client);
    if (!capture.empty()) {
        terminal.SetCaptureFile(capture);
        try {
            terminal.SetCapture(cmOn);
        } catch (const std::exception& e) {
            std::printf("%s\n", e.what());
            return 1;
        }
    }
    terminal.resize(terminal.Columns() * terminal.CellWidth() + 20,
                    terminal.Rows() * terminal.CellHeight() + 20);
    terminal.show();
    terminal.setFocus();
    try {
        client.ConnectSocket(url);
    } catch (const std::exception& e) {
        std::printf("%s\n", e.what());
        return 1;
    }
    app.exec();
    return result;
}
