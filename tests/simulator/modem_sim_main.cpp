// Simulated HF modems with simulated radios under one sky, as a program for
// the demo scripts and the station's tests (usage below). At the end each
// link is removed while it is still this program's own. An ignored SIGTERM
// or SIGINT stays ignored: a demo script's helper is stopped by the script
// with SIGUSR2 once its stations have ended, or ends with its standard
// input (--until-eof: a demo script's pipe, held by the script and its
// stations).
#include <csignal>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include "support/sim_helper.h"
#include "support/sky_sim.h"

namespace {
constexpr const char* kUsage =
    "usage: skip_modem_sim [--until-eof] [--rate BPS] [--delay MS] [--call-ms MS]\n"
    "                      [--radio TYPE] [--link PATH [--log FILE]]...\n"
    "\n"
    "Simulated HF modems with simulated radios under one sky. Each --link makes a\n"
    "modem, with the radio of the last --radio before it, whose pseudo-terminal\n"
    "is linked at PATH (without --link: one modem, not linked). It prints the\n"
    "pseudo-terminals, one a line, then carries the sky until SIGTERM, SIGINT or\n"
    "SIGUSR2; SIGUSR1 makes every modem report a hardware error.\n"
    "\n"
    "  --until-eof   end also once standard input ends\n"
    "  --rate BPS    the data rate over the air in bit/s (2400; 0: no limit)\n"
    "  --delay MS    the time from transmission to arrival (0)\n"
    "  --call-ms MS  the time a call takes to link or fail (0)\n"
    "  --radio TYPE  the radio of the modems after it, as the station names it\n"
    "                (ICOM M710 unless given; NONE: none); quote a TYPE of two\n"
    "                words\n"
    "  --link PATH   a modem linked at PATH\n"
    "  --log FILE    append every command the last --link's radio receives to\n"
    "                FILE, one a line (other bytes than printable ASCII as <hh>)\n"
    "  -h, --help    this text\n";

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
    bool untilEof = false;
    const auto count = [](int& to) {
        return
            [&to](const std::string& value, std::string& why) { return TakeCount(value, to, why); };
    };
    const std::vector<TSimOption> known = {
        {"--until-eof", false, SetFlag(untilEof)},
        {"--rate", true, count(options.BitRate)},
        {"--delay", true, count(options.DelayMs)},
        {"--call-ms", true, count(options.CallMs)},
        {"--radio", true,
         [&](const std::string& value, std::string&) {
             radio = value;
             return true;
         }},
        {"--link", true,
         [&](const std::string& value, std::string&) {
             stations.push_back({radio, value, {}});
             return true;
         }},
        {"--log", true,
         [&](const std::string& value, std::string& why) {
             why = "comes after the --link whose radio it logs";
             if (stations.empty())
                 return false;
             stations.back().logPath = value;
             return true;
         }},
    };
    if (const auto status = ReadSimOptions(argc, argv, "skip_modem_sim", kUsage, known))
        return *status;
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
