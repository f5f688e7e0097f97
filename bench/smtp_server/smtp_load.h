// The load generator the SMTP benches share: client sessions on loopback
// sending the 4 KB message one after the other for a fixed time.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

class TSmtpSession {
public:
    explicit TSmtpSession(int port)
    {
        FFd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            ::close(FFd);
            FFd = -1;
        }
        int one = 1;
        if (FFd >= 0)
            ::setsockopt(FFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    ~TSmtpSession()
    {
        if (FFd >= 0)
            ::close(FFd);
    }
    TSmtpSession(const TSmtpSession&) = delete;
    TSmtpSession& operator=(const TSmtpSession&) = delete;

    bool Ok() const { return FFd >= 0; }
    void Send(const std::string& s)
    {
        size_t off = 0;
        while (off < s.size()) {
            ssize_t n = ::send(FFd, s.data() + off, s.size() - off, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            off += static_cast<size_t>(n);
        }
    }
    // The code of the next (possibly multi-line) reply, 0 when the line broke.
    int Reply()
    {
        for (;;) {
            size_t p;
            while ((p = FBuf.find("\r\n")) == std::string::npos) {
                char buf[8192];
                ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
                if (n <= 0)
                    return 0;
                FBuf.append(buf, static_cast<size_t>(n));
            }
            std::string line = FBuf.substr(0, p);
            FBuf.erase(0, p + 2);
            if (line.size() >= 4 && line[3] == '-')
                continue;
            return std::atoi(line.c_str());
        }
    }

private:
    int FFd = -1;
    std::string FBuf;
};

inline std::string FourKilobyteMessage()
{
    std::string m = "From: bench@lan\r\nTo: sink@lan\r\nSubject: bench\r\n\r\n";
    while (m.size() < 4096 - 80)
        m += std::string(76, 'x') + "\r\n";
    m += std::string(4096 - 2 - m.size(), 'y') + "\r\n";
    return m;
}

struct TLoadRun {
    long Sent = 0;
    long Errors = 0;
    double Seconds = 0;
    double PerSecond() const { return Seconds > 0 ? static_cast<double>(Sent) / Seconds : 0.0; }
};

// `clients` sessions, each sending the message to `rcpt` over and over for
// `seconds`; a session ends at the first reply other than the expected one
// (`rcptCode` for the recipient) and counts as an error.
inline TLoadRun DriveSessions(int port, int clients, double seconds, const std::string& rcpt,
                              int rcptCode)
{
    const std::string message = FourKilobyteMessage();
    std::atomic<long> sent{0};
    std::atomic<long> errors{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < clients; ++i)
        threads.emplace_back([&] {
            TSmtpSession s(port);
            if (!s.Ok() || s.Reply() != 220) {
                ++errors;
                return;
            }
            s.Send("HELO bench\r\n");
            if (s.Reply() != 250) {
                ++errors;
                return;
            }
            while (!stop) {
                s.Send("MAIL FROM:<bench@lan>\r\n");
                const int a = s.Reply();
                s.Send("RCPT TO:<" + rcpt + ">\r\n");
                const int b = s.Reply();
                s.Send("DATA\r\n");
                const int c = s.Reply();
                if (a != 250 || b != rcptCode || c != 354) {
                    ++errors;
                    return;
                }
                s.Send(message + ".\r\n");
                if (s.Reply() != 250) {
                    ++errors;
                    return;
                }
                ++sent;
            }
            s.Send("QUIT\r\n");
            s.Reply();
        });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop = true;
    for (auto& t : threads)
        t.join();
    TLoadRun r;
    r.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.Sent = sent.load();
    r.Errors = errors.load();
    return r;
}
