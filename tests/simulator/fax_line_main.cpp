// A telephone line with a fax machine at its far end, as a program for the
// demo fax gateway (usage below). The link is removed at the end while it
// is still this program's own. An ignored SIGTERM or SIGINT stays ignored:
// a demo script's helper is stopped by the script with SIGUSR2 once its
// station has ended, or ends with its standard input (--until-eof: a demo
// script's pipe, held by the script and its station).
#include <charconv>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "platform/command_line.h"
#include "support/fax_line.h"
#include "support/sim_helper.h"

namespace fs = std::filesystem;

namespace {
constexpr const char* kProgram = "skip_fax_line";
constexpr const char* kUsage =
    "usage: skip_fax_line [--until-eof] --link PATH [--dir DIR] [--speed X]\n"
    "\n"
    "A telephone line whose near end is a Class 1 fax modem, its pseudo-terminal\n"
    "linked at PATH, and whose far end is a fax machine. The machine answers\n"
    "every call and keeps each fax it receives as DIR/received/fax-N.tif; a\n"
    "TIFF-F file put into DIR/send is sent to the modem (the machine calls) and\n"
    "then moved to DIR/sent. It prints the pseudo-terminal and each call, and\n"
    "runs until SIGTERM, SIGINT or SIGUSR2.\n"
    "\n"
    "  --until-eof  end also once standard input ends\n"
    "  --link PATH  where the modem's pseudo-terminal is linked\n"
    "  --dir DIR    the machine's folder (the current one unless given)\n"
    "  --speed X    the line's pace, X times real time (1)\n"
    "  -h, --help   this text\n"
    "\n"
    "Environment:\n"
    "  SKIPMAIL_FAXLINE_LOG  1: the modems' and the machine's protocol log on\n"
    "                        standard error\n";

volatile std::sig_atomic_t g_stop = 0;
void OnSignal(int)
{
    g_stop = 1;
}

constexpr int kMachine = 1;

std::string NextReceived(const fs::path& dir)
{
    for (int n = 1;; ++n) {
        const fs::path p = dir / ("fax-" + std::to_string(n) + ".tif");
        if (!fs::exists(p))
            return p.string();
    }
}

// The first TIFF waiting in the send folder, or empty.
std::string Waiting(const fs::path& dir)
{
    std::string first;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(dir, ec)) {
        const std::string ext = e.path().extension().string();
        if (e.is_regular_file() && (ext == ".tif" || ext == ".tiff") &&
            (first.empty() || e.path().string() < first))
            first = e.path().string();
    }
    return first;
}
} // namespace

int main(int argc, char** argv)
{
    std::string link;
    fs::path dir = ".";
    double speed = 1.0;
    bool untilEof = false;
    const auto keep = [](auto& to) {
        return [&to](const std::string& value, std::string&) {
            to = value;
            return true;
        };
    };
    const std::vector<TSimOption> known = {
        {"--until-eof", false, SetFlag(untilEof)},
        {"--link", true, keep(link)},
        {"--dir", true, keep(dir)},
        {"--speed", true,
         [&](const std::string& value, std::string& why) {
             const char* end = value.data() + value.size();
             const auto [last, ec] = std::from_chars(value.data(), end, speed);
             why = "not a pace above 0";
             return !value.empty() && ec == std::errc() && last == end && speed > 0;
         }},
    };
    if (const auto status = ReadSimOptions(argc, argv, kProgram, kUsage, known))
        return *status;
    if (link.empty())
        return CommandLine::Refuse(kProgram, "--link PATH is needed", kUsage);
    for (const char* sub : {"received", "send", "sent"})
        fs::create_directories(dir / sub);
    StopOnSignals(OnSignal);

    TFaxLine line;
    line.Speed = speed;
    const std::string pty = line.AddModem(0);
    if (!LinkPty(pty, link))
        return 1;
    TFaxLine::TTerminalSetup answer;
    answer.Ident = "DEMO FAX MACHINE";
    answer.ReceiveTiff = NextReceived(dir / "received");
    line.AddTerminal(kMachine, answer);
    line.Start();
    std::printf("%s\n", pty.c_str());
    std::fflush(stdout);

    std::string sending; // the file of the call being made, if any
    bool armed = true;   // the machine holds the set-up asked for last
    while (!g_stop) {
        ::usleep(200000);
        if (untilEof && InputEnded())
            break;
        const TFaxLine::TTerminalResult r = line.TerminalResult(kMachine);
        if (!armed) {
            armed = !r.Done;
            continue;
        }
        if (r.Done) {
            if (!sending.empty()) {
                std::printf("sent %s: %d page(s), result %d\n", sending.c_str(), r.PagesTx,
                            r.Completion);
                std::error_code ec;
                fs::rename(sending, dir / "sent" / fs::path(sending).filename(), ec);
                sending.clear();
            } else {
                std::printf("received %s from %s: %d page(s), result %d\n",
                            answer.ReceiveTiff.c_str(), r.RemoteIdent.c_str(), r.PagesRx,
                            r.Completion);
                if (r.PagesRx == 0)
                    fs::remove(answer.ReceiveTiff);
            }
            std::fflush(stdout);
            answer.ReceiveTiff = NextReceived(dir / "received");
            line.RearmTerminal(kMachine, answer);
            armed = false;
            continue;
        }
        const std::string next = sending.empty() && line.LineFree() ? Waiting(dir / "send") : "";
        if (!next.empty()) {
            TFaxLine::TTerminalSetup call = answer;
            call.Calling = true;
            call.ReceiveTiff.clear();
            call.SendTiff = next;
            sending = next;
            line.RearmTerminal(kMachine, call);
            armed = false;
            std::printf("calling with %s\n", next.c_str());
            std::fflush(stdout);
        }
    }
    line.Stop();
    UnlinkOwnPty(pty, link);
    return 0;
}
