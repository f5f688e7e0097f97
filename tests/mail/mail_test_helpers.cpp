#include "mail_test_helpers.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include "core/config.h"
#include "core/msg_status_frm.h"
#include "core/user_list.h"
#include "platform/data_root.h"

namespace {

sockaddr_in Loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

} // namespace

TLineClient::TLineClient(int port)
{
    FFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(port);
    if (::connect(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(FFd);
        FFd = -1;
    }
}

TLineClient::~TLineClient()
{
    if (FFd >= 0)
        ::close(FFd);
}

void TLineClient::Send(const std::string& bytes)
{
    size_t done = 0;
    while (FFd >= 0 && done < bytes.size()) {
        ssize_t n = ::send(FFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

std::string TLineClient::ReadLine(int timeoutMs)
{
    for (;;) {
        size_t lf = FBuffer.find('\n');
        if (lf != std::string::npos) {
            std::string line = FBuffer.substr(0, lf);
            FBuffer.erase(0, lf + 1);
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return line;
        }
        if (FFd < 0)
            return "<closed>";
        pollfd p{FFd, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0)
            return "<timeout>";
        char buf[65536];
        ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
        if (n <= 0)
            return "<closed>";
        FBuffer.append(buf, static_cast<size_t>(n));
    }
}

std::string TLineClient::Command(const std::string& line)
{
    SendLine(line);
    return ReadLine();
}

std::vector<std::string> TLineClient::ReadUntilDot()
{
    std::vector<std::string> lines;
    for (;;) {
        std::string l = ReadLine();
        if (l == "." || l == "<closed>" || l == "<timeout>")
            return lines;
        lines.push_back(l);
    }
}

void TLineClient::Abort()
{
    if (FFd < 0)
        return;
    linger l{1, 0};
    ::setsockopt(FFd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(FFd);
    FFd = -1;
}

TPortHolder::TPortHolder()
{
    FFd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = Loopback(0);
    if (::bind(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(FFd, 1) != 0)
        throw std::runtime_error("cannot hold a port");
    socklen_t len = sizeof a;
    ::getsockname(FFd, reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
}

TPortHolder::~TPortHolder()
{
    ::close(FFd);
}

TMailRoot::TMailRoot()
{
    Config = std::make_unique<TConfig>();
    MsgStatus = std::make_unique<TMsgStatusFrm>(nullptr, Config.get());
    Users = std::make_unique<TUserList>();
}

TMailRoot::~TMailRoot()
{
    MsgStatus.reset();
    Users.reset();
    Config.reset();
}

std::string TMailRoot::Path(const std::string& relative) const
{
    return DataRoot::Path(relative);
}

std::vector<std::string> TMailRoot::LogLines() const
{
    std::string text = ReadFile(Path("mailbox_log.txt"));
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string l = text.substr(start, end - start);
        if (!l.empty() && l.back() == '\r')
            l.pop_back();
        lines.push_back(l);
        start = end + 1;
    }
    return lines;
}
