// Loopback clients written with plain POSIX calls, and small process probes,
// for the server tests.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/peer_process.h"
#include "support/test_files.h"
#include "support/test_host.h"

class TIdTCPServer;

namespace servertest {

// Adds one binding on 127.0.0.1 with a port of the system's choosing,
// activates the server and returns that port.
int StartOnLoopback(TIdTCPServer& server);

// One client connection to 127.0.0.1.
class RawClient {
public:
    explicit RawClient(int port);
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool Ok() const { return FFd >= 0; }
    int Fd() const { return FFd; }
    void Send(const std::string& data);
    // One line including its CR LF; empty when nothing complete came within
    // the time-out or the server closed.
    std::string Line(int timeoutMs = 5000);
    // Lines up to and including the first whose 4th character is a blank.
    std::string Reply(int timeoutMs = 5000);
    // Sends the text and CR LF, then returns the next line.
    std::string Cmd(const std::string& text, int timeoutMs = 5000);
    // True when the server closes (everything it still sends is dropped).
    bool ClosedWithin(int timeoutMs);
    // What arrived without waiting longer than timeoutMs for more.
    std::string Drain(int timeoutMs = 200);
    void Close();

private:
    bool Fill(int timeoutMs);
    int FFd = -1;
    std::string FBuf;
    bool FEof = false;
};

// A server for one client connection on 127.0.0.1: it sends the greeting,
// then answers each line the client sends (CR LF removed) with what `answer`
// returns for it, followed by CR LF; an empty answer sends nothing. It keeps
// the lines, and ends when the client closes.
class ScriptedServer {
public:
    using Answer = std::function<std::string(const std::string& line)>;
    ScriptedServer(std::string greeting, Answer answer);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    int Port() const { return FPort; }
    // The lines received, once the client has closed (or after 10 s).
    std::vector<std::string> Lines();
    // Closes the connection from the server's side.
    void Hangup();

private:
    void Run(std::string greeting, Answer answer);

    int FListen = -1;
    int FConn = -1;
    int FPort = 0;
    std::mutex FMutex;
    std::vector<std::string> FLines;
    std::thread FThread;
};

using ::PeerProcess;
using ::ReadFile;
using ::SystemPython;

// Runs a shell command and returns its exit status; output goes to `output`.
int RunCommand(const std::string& command, std::string* output = nullptr);
using ::HaveProgram;

int OpenFdCount();
using ::CurrentRssKb;
using ::PeakRssKb;
using ::ResetPeakRss;

// Writes a Python script into the temporary directory and returns its path.
std::string WriteScript(const std::string& name, const std::string& text);

} // namespace servertest
