// Air time of the station-to-station transfer over the simulated sky at
// 2400 bit/s, in the sky's own time, so a run takes seconds however long the
// air time it simulates.
//
// Link time: 50 mails of 2-4 KB English text (field_mail.h) go from HOME to
// FIELD over a path of 200 ms one way, full duplex and half duplex (an HF
// modem's channel, with a turnaround at each change of direction). The time
// runs from the link coming up until it is down again, HOME ending it as
// soon as both sides hold nothing more. Next to it stands the time of the
// items alone on the line, compressed as the link sends them: their ratio is
// what the exchange costs on top of the data.
//
// By method: the first 100 mail items of the codec benchmark's corpus, once
// for each method the receiver's file-transfer version picks, with no delay
// and with half a second from one station's transmission to the other's
// reception, next to the raw line rate (every byte of the messages at 2400
// bit/s and nothing else).
//
// Google Benchmark reports each run with the air time as its manual time;
// the tables after the runs give the figures.
#include <benchmark/benchmark.h>

#include <QTemporaryDir>

#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>

#include "codec/mail_corpus.h"
#include "link/field_mail.h"
#include "link/modem_frame.h"
#include "link/session/air_helpers.h"

namespace {

constexpr int kBitRate = 2400;

// ------------------------------------------------------------ link time

constexpr int kFieldMails = 50;
constexpr int kPathMs = 200;
constexpr int kTurnaroundMs = 500;

struct TPath {
    const char* Name;
    bool HalfDuplex;
};
const TPath kPaths[] = {{"full duplex", false}, {"half duplex", true}};
// The exchange of each protocol version: both stations speak it.
const int kProtocols[] = {1, LinkCode::kProtocolVersion};

struct TLinkRun {
    double LinkSeconds = 0;
    double ItemSeconds = 0;
};
std::map<std::pair<std::string, int>, TLinkRun> g_links;

double LineSeconds(uint64_t bytes)
{
    return static_cast<double>(bytes) * 8.0 / kBitRate;
}

const std::vector<std::string>& FieldMails()
{
    static const std::vector<std::string> mails = FieldMail::Make(kFieldMails, "ops@FIELD");
    return mails;
}

TLinkRun LinkTime(const TPath& path, int protocol)
{
    QTemporaryDir dir(TAirPair::TempTemplate());
    TAirPair pair(dir.path().toStdString(), {.BitRate = kBitRate,
                                             .DelayMs = kPathMs,
                                             .HalfDuplex = path.HalfDuplex,
                                             .TurnaroundMs = path.HalfDuplex ? kTurnaroundMs : 0});
    TAirPair::TEnd& home = pair.End(0);
    home.Session->ProtocolVersion = pair.End(1).Session->ProtocolVersion = protocol;
    for (int i = 0; i < kFieldMails; ++i)
        TAirPair::PutMail(home, "FIELD", std::to_string(i + 1) + ".msg",
                          FieldMails()[static_cast<size_t>(i)]);
    // The items as the link sends them: by FIELD's method, or as they are
    // where that would not make them smaller.
    const Transfer::TMethod method =
        pair.End(1).Session->TransferVersion >= LinkCode::kTransferBzip2 ? Transfer::TMethod::Bzip2
                                                                         : Transfer::TMethod::Pklib;
    TLinkRun run;
    uint64_t wire = 0;
    for (const Transfer::TOutItem& item : home.Store->ItemsFor("FIELD", true)) {
        Transfer::TWire w;
        std::string why;
        if (!home.Store->PrepareWire("FIELD", item, method, w, why))
            throw std::runtime_error(why);
        wire += w.Header.WireSize;
        home.Store->DropWire(w);
    }
    run.ItemSeconds = LineSeconds(wire);
    if (!pair.Link())
        throw std::runtime_error("no link");
    const uint64_t start = pair.NowMs();
    if (!pair.RunUntil([&] { return home.Session->AllCountsZero(); }))
        throw std::runtime_error("the exchange did not end");
    pair.Disconnect(0);
    if (home.Linked || pair.End(1).Linked ||
        TAirPair::Contents(pair.End(1).Root, "QUEUE").size() != kFieldMails)
        throw std::runtime_error("the messages did not all cross");
    run.LinkSeconds = static_cast<double>(pair.NowMs() - start) / 1000.0;
    return run;
}

void BM_LinkTime(benchmark::State& state, TPath path, int protocol)
{
    for (auto _ : state) {
        const TLinkRun run = LinkTime(path, protocol);
        state.SetIterationTime(run.LinkSeconds);
        g_links[{path.Name, protocol}] = run;
    }
    state.counters["messages"] = kFieldMails;
}

void PrintLinkTimes()
{
    if (g_links.empty())
        return;
    uint64_t raw = 0;
    for (const std::string& m : FieldMails())
        raw += m.size();
    std::printf("\n%d mails, %llu bytes of text (%.0f s at %d bit/s), HOME to FIELD, %d ms one "
                "way; half duplex with a turnaround of %d ms\n",
                kFieldMails, static_cast<unsigned long long>(raw), LineSeconds(raw), kBitRate,
                kPathMs, kTurnaroundMs);
    std::printf("%-26s %12s %16s %8s\n", "", "link time", "compressed items", "ratio");
    for (const TPath& p : kPaths)
        for (int protocol : kProtocols) {
            const auto it = g_links.find({p.Name, protocol});
            if (it == g_links.end())
                continue;
            const TLinkRun& r = it->second;
            const std::string row = std::string(p.Name) + ", protocol " + std::to_string(protocol);
            std::printf("%-26s %10.0f s %14.0f s %7.2fx\n", row.c_str(), r.LinkSeconds,
                        r.ItemSeconds, r.LinkSeconds / r.ItemSeconds);
        }
}

// ------------------------------------------------------------ by method

constexpr int kMessages = 100;

struct TMethod {
    const char* Name;
    int Version;
};
const TMethod kMethods[] = {{"NONE", LinkCode::kTransferNone},
                            {"PKLIB", LinkCode::kTransferPklib},
                            {"BZIP2", LinkCode::kTransferBzip2}};
const int kDelays[] = {0, 500};

std::map<std::pair<std::string, int>, double> g_seconds;

size_t MessageBytes()
{
    size_t total = 0;
    for (int i = 0; i < kMessages; ++i)
        total += MailCorpus::Mails().at(static_cast<size_t>(i)).size();
    return total;
}

double AirTime(int version, int delayMs)
{
    QTemporaryDir dir(TAirPair::TempTemplate());
    TAirPair pair(dir.path().toStdString(), {.BitRate = kBitRate, .DelayMs = delayMs});
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

void BM_AirTime(benchmark::State& state, TMethod method, int delayMs)
{
    for (auto _ : state) {
        const double seconds = AirTime(method.Version, delayMs);
        state.SetIterationTime(seconds);
        g_seconds[{method.Name, delayMs}] = seconds;
    }
    state.counters["messages"] = kMessages;
}

void PrintMethods()
{
    if (g_seconds.empty())
        return;
    const double lineRate = LineSeconds(MessageBytes());
    std::printf("\n%d messages, %zu bytes, at %d bit/s: seconds of link time (ratio of the "
                "raw line rate's time to it)\n",
                kMessages, MessageBytes(), kBitRate);
    std::printf("%-16s", "");
    for (int delay : kDelays)
        std::printf("  one way %4d ms     ", delay);
    std::printf("\n%-16s", "raw line rate");
    for (size_t i = 0; i < std::size(kDelays); ++i)
        std::printf("  %8.0f s  (1.00)  ", lineRate);
    std::printf("\n");
    for (const TMethod& m : kMethods) {
        std::printf("%-16s", m.Name);
        for (int delay : kDelays) {
            const auto it = g_seconds.find({m.Name, delay});
            if (it == g_seconds.end())
                std::printf("  %20s", "-");
            else
                std::printf("  %8.0f s  (%4.2f)  ", it->second, lineRate / it->second);
        }
        std::printf("\n");
    }
}

} // namespace

int main(int argc, char** argv)
{
    for (const TPath& p : kPaths)
        for (int protocol : kProtocols)
            benchmark::RegisterBenchmark(
                ("LinkTime/" + std::string(p.HalfDuplex ? "half_duplex" : "full_duplex") +
                 "/protocol:" + std::to_string(protocol))
                    .c_str(),
                BM_LinkTime, p, protocol)
                ->UseManualTime()
                ->Iterations(1)
                ->Unit(benchmark::kSecond);
    for (const TMethod& m : kMethods)
        for (int delay : kDelays)
            benchmark::RegisterBenchmark(
                ("AirTime/" + std::string(m.Name) + "/delay_ms:" + std::to_string(delay)).c_str(),
                BM_AirTime, m, delay)
                ->UseManualTime()
                ->Iterations(1)
                ->Unit(benchmark::kSecond);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    PrintLinkTimes();
    PrintMethods();
    return 0;
}
