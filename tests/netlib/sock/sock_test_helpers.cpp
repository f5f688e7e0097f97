#include "sock_test_helpers.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QStandardPaths>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace socktest {

void Pump(int ms)
{
    PumpUntil([] { return false; }, ms);
}

std::string Loopback(int port)
{
    return "127.0.0.1:" + std::to_string(port);
}

PyPeer::PyPeer(const std::string& scenario, const std::string& arg)
    : FProcess(std::make_unique<QProcess>())
{
    const char* src = std::getenv("SKIPMAIL_SOURCE_DIR");
    const QString script = QString::fromStdString(std::string(src ? src : "../../..") +
                                                  "/tests/netlib/sock/sock_peer.py");
    FProcess->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    FProcess->start("python3",
                    {script, QString::fromStdString(scenario), QString::fromStdString(arg)});
    if (!FProcess->waitForStarted(5000) || !FProcess->waitForReadyRead(5000))
        throw std::runtime_error("python peer did not start");
    while (!FProcess->canReadLine() && FProcess->waitForReadyRead(5000)) {
    }
    FPort = FProcess->readLine().trimmed().toInt();
}

PyPeer::~PyPeer()
{
    if (FProcess->state() != QProcess::NotRunning) {
        FProcess->kill();
        FProcess->waitForFinished(2000);
    }
}

std::map<std::string, std::string> PyPeer::Finish(int timeoutMs)
{
    // The event loop runs meanwhile: the peer talks to sockets of this thread.
    PumpUntil([&] { return FProcess->state() == QProcess::NotRunning; }, timeoutMs);
    std::map<std::string, std::string> report;
    std::istringstream lines(FProcess->readAllStandardOutput().toStdString());
    std::string line;
    while (std::getline(lines, line)) {
        const size_t space = line.find(' ');
        report[line.substr(0, space)] = space == std::string::npos ? "" : line.substr(space + 1);
    }
    return report;
}

Daemon::~Daemon()
{
    if (FProcess && FProcess->state() != QProcess::NotRunning) {
        FProcess->terminate();
        if (!FProcess->waitForFinished(2000)) {
            FProcess->kill();
            FProcess->waitForFinished(2000);
        }
    }
}

bool Daemon::Start(const std::string& program, const std::vector<std::string>& args)
{
    QString path = QStandardPaths::findExecutable(QString::fromStdString(program));
    if (path.isEmpty())
        path =
            QStandardPaths::findExecutable(QString::fromStdString(program), {"/usr/sbin", "/sbin"});
    if (path.isEmpty())
        return false;
    QStringList list;
    for (const auto& a : args)
        list << QString::fromStdString(a);
    FProcess = std::make_unique<QProcess>();
    FProcess->setStandardOutputFile(QProcess::nullDevice());
    FProcess->setStandardErrorFile(QProcess::nullDevice());
    FProcess->start(path, list);
    return FProcess->waitForStarted(5000);
}

bool Daemon::WaitListening(int port, int timeoutMs)
{
    return PumpUntil(
        [&] {
            int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(static_cast<uint16_t>(port));
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
            ::close(fd);
            return ok;
        },
        timeoutMs);
}

} // namespace socktest

#include "netlib/base/ip_winsock.h"

namespace socktest {

Events::Events(TIpSockControl& control)
{
    control.OnReadLine = [this](QObject*, uint32_t, const std::string& line) {
        Lines.push_back(line);
        Order.push_back("line:" + line);
    };
    control.OnError = [this](QObject*, uint32_t, int code, const std::string& text) {
        Errors.emplace_back(code, text);
    };
    control.OnStatus = [this](QObject*, uint32_t socket, TIpStatusType event, const TIpConnRec&,
                              const TIpSockStatRec&) {
        Statuses.push_back({socket, event});
        if (event == stDisconnect)
            Order.push_back("disconnect");
    };
    control.OnItemSent = [this](QObject*, uint32_t, uint32_t handle, uint32_t) {
        ItemsSent.push_back(handle);
    };
}

bool Events::Disconnected(uint32_t socket) const
{
    for (const auto& s : Statuses)
        if (s.Socket == socket && s.Event == stDisconnect)
            return true;
    return false;
}

bool Events::Connected(uint32_t socket) const
{
    for (const auto& s : Statuses)
        if (s.Socket == socket && s.Event == stConnect)
            return true;
    return false;
}

void StartSockets()
{
    static const bool started = [] {
        IpSockStartup(nullptr);
        return true;
    }();
    (void)started;
}

} // namespace socktest
