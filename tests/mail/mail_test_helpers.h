#pragma once

#include "support/test_files.h"
#include "support/test_host.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class TConfig;
class TMsgStatusFrm;
class TUserList;

// A plain TCP client on 127.0.0.1 for speaking SMTP or POP3 line by line.
class TLineClient {
public:
    explicit TLineClient(int port);
    // With a receive buffer of `window` bytes, set before the connection is
    // made, as a slow or stalled client's window is bounded from the start.
    TLineClient(int port, int window);
    // Takes over a connected socket (-1: not connected).
    struct TConnected {
        int Fd;
    };
    explicit TLineClient(TConnected connected) : FFd(connected.Fd) {}
    ~TLineClient();
    TLineClient(const TLineClient&) = delete;
    TLineClient& operator=(const TLineClient&) = delete;

    bool Connected() const { return FFd >= 0; }
    void Send(const std::string& bytes);
    void SendLine(const std::string& line) { Send(line + "\r\n"); }
    // One line without its CR LF; "<closed>" or "<timeout>" when none came.
    std::string ReadLine(int timeoutMs = 5000);
    // Sends the line and gives the first reply line.
    std::string Command(const std::string& line);
    // Lines up to (not including) the "." line, each without CR LF.
    std::vector<std::string> ReadUntilDot();
    // Closes at once with a reset, as a client that is gone does.
    void Abort();
    // Reads as a slow client does, at most `step` bytes every `pauseMs` ms,
    // appending to `got` (after what ReadLine had read ahead) until `enough`
    // says so; false when the connection ended, or sent nothing for 10 s,
    // first.
    bool ReadSlowly(std::string& got, size_t step, int pauseMs,
                    const std::function<bool()>& enough);

private:
    int FFd = -1;
    std::string FBuffer;
};

// A listening socket holding a port (for "port in use").
class TPortHolder {
public:
    TPortHolder();
    ~TPortHolder();
    int Port() const { return FPort; }

private:
    int FFd = -1;
    int FPort = 0;
};

// A network namespace joined to this one by a veth pair, with addresses on
// none of this machine's subnets: a client there is a stranger to a server
// here. Made with iproute2, which needs root.
class TOutsideNetwork {
public:
    TOutsideNetwork();
    ~TOutsideNetwork();
    TOutsideNetwork(const TOutsideNetwork&) = delete;
    TOutsideNetwork& operator=(const TOutsideNetwork&) = delete;

    // Whether it could be made; Error() says why not.
    bool Ready() const { return FReady; }
    const std::string& Error() const { return FError; }
    // The client's address, and this side's, which reaches a server here.
    const std::string& ClientIp() const { return FClientIp; }
    const std::string& HostIp() const { return FHostIp; }
    // A TCP connection from inside the namespace to HostIp():port, retried
    // while the link comes up; -1 when none could be made.
    int Connect(int port) const;

private:
    std::string FName;
    std::string FClientIp;
    std::string FHostIp;
    std::string FError;
    bool FReady = false;
};

// A fresh data root with the configuration, the Mailbox Status window and
// the user table.
class TMailRoot {
public:
    TMailRoot();
    ~TMailRoot();
    std::string Path(const std::string& relative) const;
    // The mailbox log file's lines.
    std::vector<std::string> LogLines() const;

    TempRoot Dir;
    std::unique_ptr<TConfig> Config;
    std::unique_ptr<TMsgStatusFrm> MsgStatus;
    std::unique_ptr<TUserList> Users;
};
