// Throughput of the SMTP server: N clients, each one session sending 4 KB
// messages one after the other for a fixed time. Python's aiosmtpd serves
// the same load on another loopback port in the same run; both servers run
// as child processes, so their peak memory is their own.
#include "netproto/protocols/id_smtp_server.h"
#include "smtp_load.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr double kSecondsPerRun = 3.0;

// ---- the server side: this program started with --serve -------------------

int Serve()
{
    TIdSMTPServer server;
    server.RawStreamType = stMemoryStream;
    std::atomic<long> count{0};
    server.OnReceiveRaw = [&](TIdCommand&, std::unique_ptr<std::iostream>& stream,
                              TIdEMailAddressList&, std::string&) {
        // As with the peers, the message is in hand (in the server's memory
        // stream) and nothing more is done with it.
        stream->seekg(0, std::ios::end);
        count += stream->tellg() > 0 ? 1 : 0;
    };
    TIdSocketHandle& b = server.Bindings().Add();
    b.IP = "127.0.0.1";
    b.Port = 0;
    server.SetActive(true);
    std::printf("ready %d\n", server.Bindings().Items(0).Port);
    std::fflush(stdout);
    std::string rest;
    std::getline(std::cin, rest); // runs until the parent closes our input
    server.SetActive(false);
    std::fprintf(stderr, "SkipMail server received %ld messages\n", count.load());
    return 0;
}

// ---- child processes ---------------------------------------------------------

struct Child {
    pid_t Pid = -1;
    int In = -1;
    int Port = 0;
};

Child Spawn(const std::vector<std::string>& argv)
{
    int toChild[2];
    int fromChild[2];
    // Close-on-exec: a later child must not hold this one's input open.
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0)
        std::exit(2);
    Child c;
    c.Pid = ::fork();
    if (c.Pid == 0) {
        ::dup2(toChild[0], 0);
        ::dup2(fromChild[1], 1);
        ::close(toChild[1]);
        ::close(fromChild[0]);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    ::close(toChild[0]);
    ::close(fromChild[1]);
    c.In = toChild[1];
    std::string line;
    char ch;
    while (::read(fromChild[0], &ch, 1) == 1 && ch != '\n')
        line += ch;
    ::close(fromChild[0]);
    if (line.rfind("ready ", 0) != 0) {
        std::fprintf(stderr, "%s did not start: %s\n", argv[0].c_str(), line.c_str());
        std::exit(2);
    }
    c.Port = std::atoi(line.c_str() + 6);
    return c;
}

void Stop(Child& c)
{
    ::close(c.In);
    int status = 0;
    for (int i = 0; i < 50; ++i) {
        if (::waitpid(c.Pid, &status, WNOHANG) == c.Pid)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::kill(c.Pid, SIGKILL);
    ::waitpid(c.Pid, &status, 0);
}

long StatusKb(pid_t pid, const char* key)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    const std::string k = key;
    while (std::getline(f, line))
        if (line.rfind(k, 0) == 0)
            return std::atol(line.c_str() + k.size());
    return 0;
}

void ResetPeak(pid_t pid)
{
    std::ofstream f("/proc/" + std::to_string(pid) + "/clear_refs");
    f << "5";
}

// ---- the load generator ------------------------------------------------------

struct Result {
    double PerSecond = 0;
    long PeakKb = 0;
    long Errors = 0;
    long Sent = 0;
};
long SentToOurs = 0;

Result Drive(pid_t server, int port, int clients)
{
    ResetPeak(server);
    const TLoadRun run = DriveSessions(port, clients, kSecondsPerRun, "sink@lan", 250);
    Result r;
    r.PerSecond = run.PerSecond();
    r.PeakKb = StatusKb(server, "VmHWM:");
    r.Errors = run.Errors;
    r.Sent = run.Sent;
    return r;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == "--serve")
        return Serve();
    ::signal(SIGPIPE, SIG_IGN);
    const std::string python =
        ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
    Child ours = Spawn({"/proc/self/exe", "--serve"});
    Child theirs = Spawn({python, SKIPMAIL_BENCH_SCRIPT});

    std::printf("SMTP server, 4 KB messages, %.0f s per run, one session per client\n",
                kSecondsPerRun);
    std::printf("%8s %14s %16s %8s %14s %18s\n", "clients", "ours msg/s", "aiosmtpd msg/s", "ratio",
                "ours peak MB", "aiosmtpd peak MB");
    int status = 0;
    for (int clients : {1, 10, 100}) {
        Result a = Drive(ours.Pid, ours.Port, clients);
        SentToOurs += a.Sent;
        Result b = Drive(theirs.Pid, theirs.Port, clients);
        std::printf("%8d %14.0f %16.0f %8.2f %14.1f %18.1f\n", clients, a.PerSecond, b.PerSecond,
                    b.PerSecond > 0 ? a.PerSecond / b.PerSecond : 0.0, a.PeakKb / 1024.0,
                    b.PeakKb / 1024.0);
        if (a.Errors || b.Errors) {
            std::printf("   errors: ours %ld, aiosmtpd %ld\n", a.Errors, b.Errors);
            status = 1;
        }
        std::fflush(stdout);
    }
    std::printf("messages sent to SkipMail: %ld\n", SentToOurs);
    std::fflush(stdout);
    Stop(ours);
    Stop(theirs);
    return status;
}
