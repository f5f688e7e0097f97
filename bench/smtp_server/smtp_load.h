// The load generator the SMTP benches share: one client session on loopback
// and the 4 KB message every client sends.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

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
