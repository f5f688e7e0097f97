#include "server_test_helpers.h"

#include "netproto/protocols/id_tcp_server.h"
#include "support/shell_command.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

namespace servertest {

int StartOnLoopback(TIdTCPServer& server)
{
    TIdSocketHandle& b = server.Bindings().Add();
    b.IP = "127.0.0.1";
    b.Port = 0;
    server.SetActive(true);
    return server.Bindings().Items(0).Port;
}

RawClient::RawClient(int port)
{
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FFd < 0)
        return;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(FFd);
        FFd = -1;
        return;
    }
    int one = 1;
    ::setsockopt(FFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

RawClient::~RawClient()
{
    Close();
}

void RawClient::Close()
{
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
}

void RawClient::Send(const std::string& data)
{
    size_t off = 0;
    while (FFd >= 0 && off < data.size()) {
        ssize_t n = ::send(FFd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        off += static_cast<size_t>(n);
    }
}

bool RawClient::Fill(int timeoutMs)
{
    if (FFd < 0 || FEof)
        return false;
    pollfd p{FFd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return false;
    char buf[65536];
    ssize_t n = ::recv(FFd, buf, sizeof buf, 0);
    if (n <= 0) {
        FEof = true;
        return false;
    }
    FBuf.append(buf, static_cast<size_t>(n));
    return true;
}

std::string RawClient::Line(int timeoutMs)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t p = FBuf.find("\r\n");
        if (p != std::string::npos) {
            std::string line = FBuf.substr(0, p + 2);
            FBuf.erase(0, p + 2);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || !Fill(static_cast<int>(left)))
            return std::string();
    }
}

std::string RawClient::Reply(int timeoutMs)
{
    std::string all;
    for (;;) {
        std::string line = Line(timeoutMs);
        all += line;
        if (line.size() < 4 || line[3] != '-')
            return all;
    }
}

std::string RawClient::Cmd(const std::string& text, int timeoutMs)
{
    Send(text + "\r\n");
    return Line(timeoutMs);
}

bool RawClient::ClosedWithin(int timeoutMs)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!FEof) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0)
            return false;
        Fill(static_cast<int>(left));
    }
    return true;
}

std::string RawClient::Drain(int timeoutMs)
{
    while (Fill(timeoutMs)) {
    }
    std::string all = FBuf;
    FBuf.clear();
    return all;
}

ScriptedServer::ScriptedServer(std::string greeting, Answer answer)
{
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(FListen, 1) != 0 ||
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return;
    FPort = ntohs(a.sin_port);
    FThread = std::thread(&ScriptedServer::Run, this, std::move(greeting), std::move(answer));
}

ScriptedServer::~ScriptedServer()
{
    Hangup();
    // Wakes a thread still waiting for its client.
    ::shutdown(FListen, SHUT_RDWR);
    if (FThread.joinable())
        FThread.join();
    if (FConn >= 0)
        ::close(FConn);
    ::close(FListen);
}

void ScriptedServer::Run(std::string greeting, Answer answer)
{
    pollfd p{FListen, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0)
        return;
    const int fd = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
    {
        std::lock_guard<std::mutex> lock(FMutex);
        FConn = fd;
    }
    if (fd < 0)
        return;
    auto send = [fd](std::string text) {
        text += "\r\n";
        ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    };
    send(greeting);
    std::string buf;
    char chunk[65536];
    for (;;) {
        pollfd q{fd, POLLIN, 0};
        if (::poll(&q, 1, 10000) <= 0)
            return;
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0)
            return;
        buf.append(chunk, static_cast<size_t>(n));
        size_t end;
        while ((end = buf.find("\r\n")) != std::string::npos) {
            const std::string line = buf.substr(0, end);
            buf.erase(0, end + 2);
            {
                std::lock_guard<std::mutex> lock(FMutex);
                FLines.push_back(line);
            }
            const std::string reply = answer(line);
            if (!reply.empty())
                send(reply);
        }
    }
}

std::vector<std::string> ScriptedServer::Lines()
{
    if (FThread.joinable())
        FThread.join();
    return FLines;
}

void ScriptedServer::Hangup()
{
    std::lock_guard<std::mutex> lock(FMutex);
    if (FConn >= 0)
        ::shutdown(FConn, SHUT_RDWR);
}

int RunCommand(const std::string& command, std::string* output)
{
    TShellResult result = RunShellCommand(command);
    if (output)
        *output = std::move(result.Output);
    return result.Status;
}

int OpenFdCount()
{
    int n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d))
            ++n;
        ::closedir(d);
    }
    return n;
}

std::string WriteScript(const std::string& name, const std::string& text)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/skipmail_" +
                       std::to_string(::getpid()) + "_" + name;
    std::ofstream f(path);
    f << text;
    return path;
}

} // namespace servertest
