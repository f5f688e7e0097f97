// Air time of the station-to-station transfer: the first 100 mail items of
// the codec benchmark's corpus go from HOME to FIELD over the simulated sky
// at 2400 bit/s, once for each method the receiver's file-transfer version
// picks. The time is the sky's own, from the link coming up until both
// stations hold nothing more for each other, so a run takes seconds however
// long the air time. Next to it stands the raw line rate: every byte of the
// messages at 2400 bit/s and nothing else, the limit of a link that sends
// them as they are. Each run is timed twice: with no turnaround, and with
// half a second from one station's transmission to the other's reception,
// as an HF modem's turnaround costs every question and answer.
//
// Google Benchmark reports each run with the air time as its manual time;
// the table after the runs gives seconds per 100 messages and the ratio of
// the line-rate time to each (above 1: faster than the raw bytes).
#include <benchmark/benchmark.h>

#include <QTemporaryDir>

#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>

#include "codec/mail_corpus.h"
#include "link/modem_frame.h"
#include "link/session/air_helpers.h"

namespace {

constexpr int kBitRate = 2400;
constexpr int kMessages = 100;

struct TMethod {
    const char* Name;
    int Version;
};
const TMethod kMethods[] = {{"NONE", LinkCode::kTransferNone},
                            {"PKLIB", LinkCode::kTransferPklib},
                            {"BZIP2", LinkCode::kTransferBzip2}};
const int kTurnarounds[] = {0, 500};

std::map<std::pair<std::string, int>, double> g_seconds;

size_t MessageBytes()
{
    size_t total = 0;
    for (int i = 0; i < kMessages; ++i)
        total += MailCorpus::Mails().at(static_cast<size_t>(i)).size();
    return total;
}

double AirTime(int version, int turnaroundMs)
{
    QTemporaryDir dir(TAirPair::TempTemplate());
    TAirPair pair(dir.path().toStdString(), {.BitRate = kBitRate, .DelayMs = turnaroundMs});
    pair.End(1).Session->TransferVersion = version;
    for (int i = 0; i < kMessages; ++i)
        TAirPair::PutMail(pair.End(0), "FIELD", std::to_string(i + 1) + ".msg",
                          MailCorpus::Mails().at(static_cast<size_t>(i)));
    if (!pair.Link())
        throw std::runtime_error("no link");
    const uint64_t start = pair.NowMs();
    const bool done = pair.RunUntil([&] {
        return pair.End(0).Session->AllCountsZero() && pair.End(1).Session->AllCountsZero();
    });
    if (!done || TAirPair::Contents(pair.End(1).Root, "QUEUE").size() != kMessages)
        throw std::runtime_error("the messages did not all cross");
    return static_cast<double>(pair.NowMs() - start) / 1000.0;
}

void BM_AirTime(benchmark::State& state, TMethod method, int turnaroundMs)
{
    for (auto _ : state) {
        const double seconds = AirTime(method.Version, turnaroundMs);
        state.SetIterationTime(seconds);
        g_seconds[{method.Name, turnaroundMs}] = seconds;
    }
    state.counters["messages"] = kMessages;
}

} // namespace

int main(int argc, char** argv)
{
    for (const TMethod& m : kMethods)
        for (int turnaround : kTurnarounds)
            benchmark::RegisterBenchmark(
                ("AirTime/" + std::string(m.Name) + "/turnaround_ms:" + std::to_string(turnaround))
                    .c_str(),
                BM_AirTime, m, turnaround)
                ->UseManualTime()
                ->Iterations(1)
                ->Unit(benchmark::kSecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const double lineRate = static_cast<double>(MessageBytes()) * 8.0 / kBitRate;
    std::printf("\n%d messages, %zu bytes, at %d bit/s: seconds of link time (ratio of the "
                "raw line rate's time to it)\n",
                kMessages, MessageBytes(), kBitRate);
    std::printf("%-16s", "");
    for (int turnaround : kTurnarounds)
        std::printf("  turnaround %4d ms ", turnaround);
    std::printf("\n%-16s", "raw line rate");
    for (size_t i = 0; i < std::size(kTurnarounds); ++i)
        std::printf("  %8.0f s  (1.00)  ", lineRate);
    std::printf("\n");
    for (const TMethod& m : kMethods) {
        std::printf("%-16s", m.Name);
        for (int turnaround : kTurnarounds) {
            const auto it = g_seconds.find({m.Name, turnaround});
            if (it == g_seconds.end())
                std::printf("  %20s", "-");
            else
                std::printf("  %8.0f s  (%4.2f)  ", it->second, lineRate / it->second);
        }
        std::printf("\n");
    }
    return 0;
}
