// Loopback peers written with the plain POSIX calls, so the socket layer is
// checked against something that does not share its code.
#pragma once

#include <functional>
#include <string>
#include <thread>

namespace sockettest {

// Listens on 127.0.0.1 (a port of the system's choosing) and runs the script
// for each of `clients` accepted connections, one after the other. A
// `window` above 0 is the connections' receive buffer, set before they are
// made, as a peer's window can only be bounded from the start.
class LoopbackPeer {
public:
    explicit LoopbackPeer(std::function<void(int fd)> script, int clients = 1, int window = 0);
    ~LoopbackPeer();
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;
    int Port() const { return FPort; }
    void Join();

private:
    int FListen = -1;
    int FPort = 0;
    std::thread FThread;
};

void SendRaw(int fd, const std::string& data);
// Reads until the peer closes (or timeoutMs passes).
std::string RecvUntilClose(int fd, int timeoutMs = 5000);
// Reads until `marker` has arrived (or timeoutMs passes).
std::string RecvUntil(int fd, const std::string& marker, int timeoutMs = 5000);
// A port on 127.0.0.1 that nothing uses, nor the two ports below it.
int UnusedPort();
int OpenFdCount();

} // namespace sockettest
