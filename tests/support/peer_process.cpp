#include "support/peer_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>

PeerProcess::PeerProcess(const std::string& script, const std::vector<std::string>& args)
{
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0)
        return;
    const char* source = std::getenv("SKIPMAIL_SOURCE_DIR");
    const std::string path = std::string(source ? source : ".") + "/tests/support/" + script;
    const std::string python = SystemPython();
    std::vector<std::string> argv = {python, path};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> cargv;
    for (auto& a : argv)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);
    FPid = ::fork();
    if (FPid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::execvp(cargv[0], cargv.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    FIn = in[1];
    // The first line, within 30 s (a mail server may take a while to start).
    std::string line;
    char c;
    pollfd p{out[0], POLLIN, 0};
    while (::poll(&p, 1, 30000) > 0 && ::read(out[0], &c, 1) == 1 && c != '\n')
        line += c;
    ::close(out[0]);
    if (line.rfind("PORT ", 0) == 0) {
        std::istringstream ports(line.substr(5));
        for (int port; ports >> port;)
            FPorts.push_back(port);
        FReady = !FPorts.empty();
    } else if (line == "READY") {
        FReady = true;
    } else if (line.rfind("SKIP ", 0) == 0)
        FSkip = line.substr(5);
}

PeerProcess::~PeerProcess()
{
    Stop();
}

void PeerProcess::Stop()
{
    if (FIn >= 0)
        ::close(FIn);
    FIn = -1;
    if (FPid <= 0)
        return;
    for (int i = 0; i < 100; ++i) {
        if (::waitpid(FPid, nullptr, WNOHANG) == FPid) {
            FPid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(FPid, SIGKILL);
    ::waitpid(FPid, nullptr, 0);
    FPid = -1;
}

std::string SystemPython()
{
    return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}
