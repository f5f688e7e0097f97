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
#include "platform/qt_runtime_folder.h"

#include <QApplication>

#include <cstdio>
#include <string>

namespace {

int Usage()
{
    std::fprintf(stderr, "usage: skip_term HOST:PORT [--tty] [--telnet] [--capture FILE]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    const TQtRuntimeFolder runtimeFolder;
    QApplication app(argc, argv);
    if (argc < 2)
        return Usage();
    const std::string url = argv[1];
    bool tty = false, telnet = false;
    std::string capture;
    for (int i = 2; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--tty")
            tty = true;
        else if (option == "--telnet")
            telnet = true;
        else if (option == "--capture" && i + 1 < argc)
            capture = argv[++i];
        else
            return Usage();
    }
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
