// Simulated HF modems with simulated radios under one sky, as a program:
// each --link makes a modem (with the radio of the last --radio) whose
// pseudo-terminal is linked at PATH; it prints the pseudo-terminals, one a
// line, then carries the sky until SIGTERM, SIGINT or SIGUSR2 (an ignored
// SIGTERM or SIGINT stays ignored: a demo script's helper is stopped by the
// script with SIGUSR2 once its stations have ended). A --log FILE after a
// --link appends every command that modem's radio receives, one per line
// (bytes outside printable ASCII as <hh>). At the end each link is removed
// while it is still this program's own. SIGUSR1 makes every modem report a
// hardware error. With --until-eof it also ends once its standard input ends
// (a demo script's pipe, held by the script and its stations).
//   skip_modem_sim [--until-eof] [--rate BPS] [--delay MS] [--call-ms MS]
//                  [--radio TYPE] --link PATH [--log FILE] [--link PATH ...]
// --rate is the data rate over the air in bit/s (2400 unless given; 0: no
// limit),
// --delay the time from transmission to arrival, --call-ms the time a call
// takes to link or fail.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "support/sim_helper.h"
#include "support/sky_sim.h"

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

struct TStation {
    std::string radio;
    std::string link;
    std::string logPath;
    FILE* log = nullptr;
    size_t logged = 0;
};
} // namespace

int main(int argc, char** argv)
{
    TSkyCore::TOptions options;
    options.BitRate = 2400;
    std::string radio = "ICOM M710";
    std::vector<TStation> stations;
    const bool untilEof = TakeFlag(argc, argv, "--until-eof");
    for (int i = 1; i + 1 < argc; i += 2) {
        const char* value = argv[i + 1];
        if (std::strcmp(argv[i], "--radio") == 0)
            radio = value;
        else if (std::strcmp(argv[i], "--link") == 0)
            stations.push_back({radio, value, {}});
        else if (std::strcmp(argv[i], "--log") == 0 && !stations.empty())
            stations.back().logPath = value;
        else if (std::strcmp(argv[i], "--rate") == 0)
            options.BitRate = std::atoi(value);
        else if (std::strcmp(argv[i], "--delay") == 0)
            options.DelayMs = std::atoi(value);
        else if (std::strcmp(argv[i], "--call-ms") == 0)
            options.CallMs = std::atoi(value);
    }
    if (stations.empty())
        stations.push_back({radio, {}, {}});
    StopOnSignals(OnSignal);
    std::signal(SIGUSR1, OnHardwareErrorSignal);
    std::vector<std::string> radios;
    for (const TStation& s : stations)
        radios.push_back(s.radio);
    TSkyPty sky(options, radios);
    for (size_t i = 0; i < stations.size(); ++i) {
        TStation& s = stations[i];
        if (!s.link.empty() && !LinkPty(sky.SlavePath(static_cast<int>(i)), s.link))
            return 1;
        if (!s.logPath.empty())
            s.log = std::fopen(s.logPath.c_str(), "a");
        std::printf("%s\n", sky.SlavePath(static_cast<int>(i)).c_str());
    }
    std::fflush(stdout);
    while (!g_stop) {
        ::usleep(100000);
        // Its stations are gone: what their radios heard last is logged below.
        if (untilEof && InputEnded())
            g_stop = 1;
        if (g_hardwareError) {
            g_hardwareError = 0;
            for (size_t i = 0; i < stations.size(); ++i)
                sky.Send(static_cast<int>(i), TModemSimCore::HardwareError(7));
        }
        for (size_t i = 0; i < stations.size(); ++i) {
            TStation& s = stations[i];
            if (!s.log)
                continue;
            auto commands = sky.With(static_cast<int>(i),
                                     [](TModemSimCore&, TSimRadio& r) { return r.Commands(); });
            for (; s.logged < commands.size(); ++s.logged) {
                for (char c : commands[s.logged]) {
                    const auto b = static_cast<unsigned char>(c);
                    if (b >= 0x20 && b < 0x7F)
                        std::fputc(b, s.log);
                    else
                        std::fprintf(s.log, "<%02x>", b);
                }
                std::fputc('\n', s.log);
            }
            std::fflush(s.log);
        }
    }
    for (size_t i = 0; i < stations.size(); ++i) {
        TStation& s = stations[i];
        if (s.log)
            std::fclose(s.log);
        if (!s.link.empty())
            UnlinkOwnPty(sky.SlavePath(static_cast<int>(i)), s.link);
    }
    return 0;
}
