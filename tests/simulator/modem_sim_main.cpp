// The simulated HF modem with a simulated radio, as a program: it prints the
// pseudo-terminal the station should open (and links it at --link PATH),
// then answers until SIGTERM or SIGINT.
//   skip_modem_sim [--radio "ICOM M710"] [--link PATH]
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "support/modem_sim.h"

namespace {
volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int)
{
    g_stop = 1;
}
} // namespace

int main(int argc, char** argv)
{
    std::string radio = "ICOM M710";
    std::string link;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--radio") == 0)
            radio = argv[i + 1];
        else if (std::strcmp(argv[i], "--link") == 0)
            link = argv[i + 1];
    }
    std::signal(SIGTERM, OnSignal);
    std::signal(SIGINT, OnSignal);
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
    while (!g_stop)
        ::pause();
    if (!link.empty())
        ::unlink(link.c_str());
    return 0;
}
