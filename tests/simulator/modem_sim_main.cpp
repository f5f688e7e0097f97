// The simulated HF modem with a simulated radio, as a program: it prints the
// pseudo-terminal the station should open (and links it at --link PATH),
// then answers until SIGTERM or SIGINT. With --log FILE it appends every
// command the radio receives, one per line (bytes outside printable ASCII as
// <hh>). SIGUSR1 makes the modem report a hardware error.
//   skip_modem_sim [--radio "ICOM M710"] [--link PATH] [--log FILE]
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "support/modem_sim.h"

namespace {
volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_hardwareError = 0;
void OnSignal(int)
{
    g_stop = 1;
}
void OnHardwareErrorSignal(int)
{
    g_hardwareError = 1;
}
} // namespace

int main(int argc, char** argv)
{
    std::string radio = "ICOM M710";
    std::string link;
    std::string logPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--radio") == 0)
            radio = argv[i + 1];
        else if (std::strcmp(argv[i], "--link") == 0)
            link = argv[i + 1];
        else if (std::strcmp(argv[i], "--log") == 0)
            logPath = argv[i + 1];
    }
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGUSR1, OnHardwareErrorSignal);
    TModemSimPty sim(radio);
    if (!link.empty()) {
        ::unlink(link.c_str());
        if (::symlink(sim.SlavePath().c_str(), link.c_str()) != 0) {
            std::perror("symlink");
            return 1;
        }
    }
    std::printf("%s\n", sim.SlavePath().c_str());
    std::fflush(stdout);
    FILE* log = logPath.empty() ? nullptr : std::fopen(logPath.c_str(), "a");
    size_t logged = 0;
    while (!g_stop) {
        ::usleep(100000);
        if (g_hardwareError) {
            g_hardwareError = 0;
            sim.Send(TModemSimCore::HardwareError(7));
        }
        if (!log)
            continue;
        auto commands = sim.With([](TModemSimCore&, TSimRadio& r) { return r.Commands(); });
        for (; logged < commands.size(); ++logged) {
            for (char c : commands[logged]) {
                const auto b = static_cast<unsigned char>(c);
                if (b >= 0x20 && b < 0x7F)
                    std::fputc(b, log);
                else
                    std::fprintf(log, "<%02x>", b);
            }
            std::fputc('\n', log);
        }
        std::fflush(log);
    }
    if (log)
        std::fclose(log);
    if (!link.empty())
        ::unlink(link.c_str());
    return 0;
}
