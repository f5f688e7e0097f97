// A telephone line with a fax machine at its far end, as a program for the
// demo fax gateway: the near end is a Class 1 fax modem whose
// pseudo-terminal is linked at PATH. The machine answers every call and
// keeps each fax it receives as DIR/received/fax-N.tif; a TIFF-F file put
// into DIR/send is sent to the modem (the machine calls) and then moved to
// DIR/sent. Each call is reported on standard output. Runs until SIGTERM,
// SIGINT or SIGUSR2 (an ignored SIGTERM or SIGINT stays ignored: a demo
// script's helper is stopped by the script with SIGUSR2 once its station has
// ended), or with --until-eof until its standard input ends (a demo script's
// pipe, held by the script and its station); the link is then removed while
// it is still this program's own.
//   skip_fax_line [--until-eof] --link PATH --dir DIR [--speed X]
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "support/fax_line.h"
#include "support/sim_helper.h"

namespace fs = std::filesystem;

namespace {
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
    const bool untilEof = TakeFlag(argc, argv, "--until-eof");
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--link") == 0)
            link = argv[i + 1];
        else if (std::strcmp(argv[i], "--dir") == 0)
            dir = argv[i + 1];
        else if (std::strcmp(argv[i], "--speed") == 0)
            speed = std::atof(argv[i + 1]);
    }
    if (link.empty()) {
        std::fprintf(stderr,
                     "usage: skip_fax_line [--until-eof] --link PATH --dir DIR [--speed X]\n");
        return 2;
    }
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
