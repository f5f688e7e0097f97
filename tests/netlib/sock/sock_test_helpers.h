// Peers and event-loop helpers of the library socket tests.
#pragma once

#include "support/test_host.h"

#include <QProcess>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace socktest {

using ::FreePort;
using ::HaveProgram;
using ::PumpUntil;

// Runs the event loop for that long.
void Pump(int ms);
// "127.0.0.1:port".
std::string Loopback(int port);

// A scripted Python peer (sock_peer.py SCENARIO ARG) listening on loopback.
class PyPeer {
public:
    PyPeer(const std::string& scenario, const std::string& arg = "");
    ~PyPeer();
    int Port() const { return FPort; }
    // Waits for the peer to end; its "key value" report lines.
    std::map<std::string, std::string> Finish(int timeoutMs = 15000);

private:
    std::unique_ptr<QProcess> FProcess;
    int FPort = 0;
};

// A program of this machine run for one test and stopped with it; false from
// Start when it is missing.
class Daemon {
public:
    ~Daemon();
    bool Start(const std::string& program, const std::vector<std::string>& args);
    // Waits until something accepts on the port.
    bool WaitListening(int port, int timeoutMs = 30000);

private:
    std::unique_ptr<QProcess> FProcess;
};

} // namespace socktest

#include "netlib/sock/ip_sock_control.h"

namespace socktest {

// What a control reported, in order.
struct Events {
    struct Status {
        uint32_t Socket;
        TIpStatusType Event;
    };
    std::vector<std::string> Lines;
    std::vector<std::pair<int, std::string>> Errors;
    std::vector<Status> Statuses;
    std::vector<uint32_t> ItemsSent;
    // Lines and disconnects in one stream: "line:..." and "disconnect".
    std::vector<std::string> Order;

    explicit Events(TIpSockControl& control);
    bool Disconnected(uint32_t socket) const;
    bool Connected(uint32_t socket) const;
};

// Starts the socket library once for the test program.
void StartSockets();

} // namespace socktest
