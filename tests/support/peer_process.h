#pragma once

#include <string>
#include <vector>

// A test peer program from tests/support, run with the system Python. Its
// first line "PORT n ..." names its port or ports, "READY" says that it
// runs without one, and "SKIP reason" that it cannot run here. Closing its
// standard input stops it; the destructor does that and waits for it.
class PeerProcess {
public:
    PeerProcess(const std::string& script, const std::vector<std::string>& args);
    ~PeerProcess();
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    // The first port (0 when the peer did not start).
    int Port() const { return FPorts.empty() ? 0 : FPorts[0]; }
    // The peer started.
    bool Ready() const { return FReady; }
    const std::vector<int>& Ports() const { return FPorts; }
    // Why the peer cannot run here; empty when it runs (or failed: Port 0).
    const std::string& SkipReason() const { return FSkip; }
    // Stops the peer and waits for it.
    void Stop();

private:
    int FPid = -1;
    int FIn = -1;
    std::vector<int> FPorts;
    bool FReady = false;
    std::string FSkip;
};

// The system Python 3 (with the Debian packages), else the one on the path.
std::string SystemPython();
