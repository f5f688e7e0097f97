// An echo server and client on the internet library's socket components.
//
//   skip_echo server [PORT]          echoes every line it receives; port 0 (the
//                                    default) lets the system choose
//   skip_echo client HOST:PORT LINE  sends each LINE and prints each reply
//
// Both print what happens on standard output and run until done (the
// server until it is stopped).
#include "netlib/sock/ip_sock_clients.h"
#include "platform/command_line.h"

#include <QCoreApplication>

#include <charconv>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr const char* kProgram = "skip_echo";
constexpr const char* kUsage =
    "usage: skip_echo server [PORT]\n"
    "       skip_echo client HOST:PORT LINE...\n"
    "\n"
    "An echo server and client on the internet library's socket components, a\n"
    "demonstration. The server echoes every line it receives on PORT (0, the\n"
    "default, lets the system choose) until it is stopped; the client sends each\n"
    "LINE to HOST:PORT and prints each reply. Both say what happens on standard\n"
    "output.\n"
    "\n"
    "  -h, --help  this text\n";

// A port number from 0 to 65535, whole.
bool ParsePort(const std::string& text, uint16_t& port)
{
    const char* end = text.data() + text.size();
    const auto [last, ec] = std::from_chars(text.data(), end, port);
    return !text.empty() && ec == std::errc() && last == end;
}

void Report(QObject*, uint32_t socket, int code, const std::string& text)
{
    std::printf("error on %u: %d %s\n", socket, code, text.c_str());
    std::fflush(stdout);
}

int RunServer(QCoreApplication& app, uint16_t port)
{
    TIpServer server;
    server.OnError = Report;
    server.OnReadLine = [&](QObject*, uint32_t socket, const std::string& line) {
        server.PutString(socket, line, false);
    };
    server.OnStatus = [&](QObject*, uint32_t socket, TIpStatusType event, const TIpConnRec& c,
                          const TIpSockStatRec&) {
        if (event == stProgress)
            return;
        std::printf("%s %u %s:%u\n", event == stConnect ? "connect" : "close", socket,
                    server.NetAddr2String(c.RemoteAddress).c_str(), c.RemotePort);
        std::fflush(stdout);
    };
    server.SetListenPort(port);
    server.SetActive(true);
    std::printf("listening on %u\n", server.ListeningPort());
    std::fflush(stdout);
    return app.exec();
}

int RunClient(QCoreApplication& app, const std::string& url, std::vector<std::string> lines)
{
    TIpClient client;
    int failed = 0;
    size_t replies = 0;
    client.OnError = [&](QObject* sender, uint32_t socket, int code, const std::string& text) {
        Report(sender, socket, code, text);
        failed = 1;
        app.quit();
    };
    client.SockInits().StripLineTerminator = true;
    client.OnReadLine = [&](QObject*, uint32_t, const std::string& line) {
        std::printf("%s\n", line.c_str());
        std::fflush(stdout);
        if (++replies == lines.size())
            app.quit();
    };
    client.OnStatus = [&](QObject*, uint32_t, TIpStatusType event, const TIpConnRec&,
                          const TIpSockStatRec&) {
        if (event == stDisconnect && replies < lines.size()) {
            std::printf("closed by the server\n");
            failed = 1;
            app.quit();
        }
    };
    try {
        client.ConnectSocket(url);
        for (const auto& line : lines)
            client.PutString(line + "\r\n", false);
    } catch (const std::exception& e) {
        std::printf("%s\n", e.what());
        return 1;
    }
    app.exec();
    client.CloseSocket();
    return failed;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string command = argc >= 2 ? argv[1] : "";
    if (CommandLine::IsHelp(command))
        return CommandLine::Help(kUsage);
    uint16_t port = 0;
    if (command == "server") {
        if (argc > 3)
            return CommandLine::Unknown(kProgram, argv[3], kUsage);
        if (argc == 3 && argv[2][0] == '-')
            return CommandLine::Unknown(kProgram, argv[2], kUsage);
        if (argc == 3 && !ParsePort(argv[2], port))
            return CommandLine::Refuse(kProgram, std::string("not a port: ") + argv[2], kUsage);
    } else if (command == "client") {
        if (argc >= 3 && argv[2][0] == '-')
            return CommandLine::Unknown(kProgram, argv[2], kUsage);
        if (argc < 4)
            return CommandLine::Refuse(kProgram, "client needs HOST:PORT and a LINE", kUsage);
    } else if (command.empty()) {
        return CommandLine::Refuse(kProgram, "server or client is needed", kUsage);
    } else {
        return CommandLine::Unknown(kProgram, command, kUsage);
    }
    QCoreApplication app(argc, argv);
    TIpSockUnit sockets(
        [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); });
    if (command == "server")
        return RunServer(app, port);
    return RunClient(app, argv[2], std::vector<std::string>(argv + 3, argv + argc));
}
