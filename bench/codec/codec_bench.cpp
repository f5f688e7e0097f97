// Compression of each corpus, item by item as the link sends them: implode
// (ASCII and binary, 4096 dictionary; and the compressor as it was before its
// search was rebuilt), zlib level 6 and bzip2 block size 1. The corpora: runs
// of one byte, short repeated patterns, bitmaps with runs, random bytes, and
// the mail corpus. Prints Google Benchmark's timings, then per corpus a table
// of ratio and speeds from the median CPU time of the repetitions, and
// implode's standing against zlib.
#include "codec/mail_corpus.h"
#include "link/codec/bzip2.h"
#include "link/codec/codec_corpus.h"
#include "link/codec/pklib.h"
#include "link/codec/pklib_before.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Corpus {
    std::string name;
    std::vector<std::string> items;
    std::size_t bytes = 0;
};

const std::vector<Corpus>& Corpora()
{
    static const std::vector<Corpus> corpora = [] {
        std::vector<Corpus> all;
        for (CodecCorpus::Kind& kind : CodecCorpus::All())
            all.push_back({kind.name, std::move(kind.items)});
        all.push_back({"mail", MailCorpus::All()});
        for (Corpus& c : all)
            for (const std::string& item : c.items)
                c.bytes += item.size();
        return all;
    }();
    return corpora;
}

// ----------------------------------------------------------------- codecs

struct MemIo {
    const std::string* in;
    std::size_t pos = 0;
    std::string* out;
};

unsigned Read(char* buf, unsigned* size, void* context)
{
    auto* io = static_cast<MemIo*>(context);
    const std::size_t n = std::min<std::size_t>(*size, io->in->size() - io->pos);
    std::memcpy(buf, io->in->data() + io->pos, n);
    io->pos += n;
    return static_cast<unsigned>(n);
}

unsigned Write(char* buf, unsigned* size, void* context)
{
    static_cast<MemIo*>(context)->out->append(buf, *size);
    return *size;
}

struct Codec {
    const char* name;
    void (*compress)(const std::string& in, std::string& out);
    void (*expand)(const std::string& in, std::string& out);
    bool timeExpand; // false where the streams are another codec's
};

using CompressFn = unsigned (*)(PklibReadFn, PklibWriteFn, char*, void*, unsigned*, unsigned*);

template <CompressFn Compress, unsigned Coding>
void ImplodeItem(const std::string& in, std::string& out)
{
    static std::vector<char> work(kPklibCompressWorkSize);
    out.clear();
    MemIo io{&in, 0, &out};
    unsigned coding = Coding, dict = 4096;
    if (Compress(Read, Write, work.data(), &io, &coding, &dict) != kPklibNoError)
        throw std::runtime_error("implode failed");
}

void ExplodeItem(const std::string& in, std::string& out)
{
    static std::vector<char> work(kPklibExpandWorkSize);
    out.clear();
    MemIo io{&in, 0, &out};
    if (PklibDecompress(Read, Write, work.data(), &io) != kPklibNoError)
        throw std::runtime_error("explode failed");
}

void ZlibCompress(const std::string& in, std::string& out)
{
    uLongf size = compressBound(in.size());
    out.resize(size);
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &size,
                  reinterpret_cast<const Bytef*>(in.data()), in.size(), 6) != Z_OK)
        throw std::runtime_error("zlib compress failed");
    out.resize(size);
}

// Like the expander, inflate works in a buffer of its own that lives across
// items and hands its output over by copy.
void ZlibExpand(const std::string& in, std::string& out)
{
    // Large enough for every corpus item; the round trip check catches the rest.
    static std::vector<Bytef> buffer(1 << 20);
    uLongf size = buffer.size();
    if (uncompress(buffer.data(), &size, reinterpret_cast<const Bytef*>(in.data()), in.size()) !=
        Z_OK)
        throw std::runtime_error("zlib expand failed");
    out.assign(reinterpret_cast<const char*>(buffer.data()), size);
}

void Bzip2Compress(const std::string& in, std::string& out)
{
    if (Bzip2CompressBuffer(in, out) != Bzip2Error::None)
        throw std::runtime_error("bzip2 compress failed");
}

void Bzip2Expand(const std::string& in, std::string& out)
{
    if (Bzip2DecompressBuffer(in, out) != Bzip2Error::None)
        throw std::runtime_error("bzip2 expand failed");
}

const std::string kImplode = "implode ASCII/4096";
const std::string kBefore = "implode ASCII/4096 before";
const std::string kZlib = "zlib level 6";

const Codec kCodecs[] = {
    {"implode ASCII/4096", ImplodeItem<PklibCompress, kPklibAscii>, ExplodeItem, true},
    {"implode ASCII/4096 before", ImplodeItem<PklibCompressBefore, kPklibAscii>, ExplodeItem,
     false},
    {"implode binary/4096", ImplodeItem<PklibCompress, kPklibBinary>, ExplodeItem, true},
    {"zlib level 6", ZlibCompress, ZlibExpand, true},
    {"bzip2 block 1", Bzip2Compress, Bzip2Expand, true},
};

// Compressed corpus per codec, checked to round-trip once.
const std::vector<std::string>& Packed(const Codec& codec, const Corpus& corpus)
{
    static std::map<std::pair<const Codec*, const Corpus*>, std::vector<std::string>> cache;
    const auto key = std::make_pair(&codec, &corpus);
    auto it = cache.find(key);
    if (it != cache.end())
        return it->second;
    std::vector<std::string> packed;
    std::string back;
    for (const std::string& item : corpus.items) {
        packed.emplace_back();
        codec.compress(item, packed.back());
        codec.expand(packed.back(), back);
        if (back != item)
            throw std::runtime_error(std::string(codec.name) + ": round trip differs");
    }
    return cache.emplace(key, std::move(packed)).first->second;
}

double Ratio(const Codec& codec, const Corpus& corpus)
{
    std::size_t total = 0;
    for (const std::string& p : Packed(codec, corpus))
        total += p.size();
    return static_cast<double>(total) / static_cast<double>(corpus.bytes);
}

void BM_Compress(benchmark::State& state, const Codec* codec, const Corpus* corpus)
{
    std::string out;
    for (auto _ : state)
        for (const std::string& item : corpus->items) {
            codec->compress(item, out);
            benchmark::DoNotOptimize(out.data());
        }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus->bytes));
}

void BM_Expand(benchmark::State& state, const Codec* codec, const Corpus* corpus)
{
    const std::vector<std::string>& packed = Packed(*codec, *corpus);
    std::string out;
    for (auto _ : state)
        for (const std::string& item : packed) {
            codec->expand(item, out);
            benchmark::DoNotOptimize(out.data());
        }
    // Speed counts original bytes, so both directions compare.
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * corpus->bytes));
}

std::string Key(const char* direction, const Corpus& corpus, const Codec& codec)
{
    return std::string(direction) + "/" + corpus.name + "/" + codec.name;
}

// Keeps each repetition's CPU time per iteration; the table takes their
// median, which the load of other work on the machine moves least.
class TableReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && run.iterations > 0)
                cpuSeconds[run.run_name.function_name].push_back(
                    run.cpu_accumulated_time / static_cast<double>(run.iterations));
    }

    double MedianSeconds(const std::string& key)
    {
        std::vector<double>& v = cpuSeconds[key];
        if (v.empty())
            return 0;
        std::sort(v.begin(), v.end());
        return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    }

    std::map<std::string, std::vector<double>> cpuSeconds;
};

} // namespace

int main(int argc, char** argv)
{
    for (const Corpus& corpus : Corpora())
        for (const Codec& codec : kCodecs) {
            benchmark::RegisterBenchmark(Key("Compress", corpus, codec).c_str(), BM_Compress,
                                         &codec, &corpus)
                ->Unit(benchmark::kMillisecond)
                ->Repetitions(5)
                ->MinTime(0.05);
            if (codec.timeExpand)
                benchmark::RegisterBenchmark(Key("Expand", corpus, codec).c_str(), BM_Expand,
                                             &codec, &corpus)
                    ->Unit(benchmark::kMillisecond)
                    ->Repetitions(5)
                    ->MinTime(0.05);
        }
    // Repetitions run in a random order, so that a spell of load on the
    // machine does not fall on one codec's runs alone (a flag given on the
    // command line still wins).
    std::vector<char*> args(argv, argv + argc);
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    for (const Corpus& corpus : Corpora())
        std::printf("corpus %-9s %3zu items, %8zu bytes\n", corpus.name.c_str(),
                    corpus.items.size(), corpus.bytes);
    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    const auto mbPerSecond = [&](const std::string& key, const Corpus& corpus) {
        const double s = reporter.MedianSeconds(key);
        return s > 0 ? static_cast<double>(corpus.bytes) / s / 1e6 : 0.0;
    };
    const auto times = [](double a, double b) { return b > 0 ? a / b : 0.0; };
    std::printf("\nSpeeds from the median CPU time of the repetitions, in original bytes;\n"
                "ratio = compressed bytes / original bytes.\n");
    struct Standing {
        std::string corpus;
        double size, compress, compressBefore, expand;
    };
    std::vector<Standing> standings;
    for (const Corpus& corpus : Corpora()) {
        std::printf("\n%-9s %-26s %8s %14s %14s\n", corpus.name.c_str(), "codec", "ratio",
                    "compress MB/s", "expand MB/s");
        std::map<std::string, double> ratio, comp, expand;
        for (const Codec& codec : kCodecs) {
            ratio[codec.name] = Ratio(codec, corpus);
            comp[codec.name] = mbPerSecond(Key("Compress", corpus, codec), corpus);
            expand[codec.name] = mbPerSecond(Key("Expand", corpus, codec), corpus);
            if (codec.timeExpand)
                std::printf("%-9s %-26s %8.3f %14.1f %14.1f\n", "", codec.name, ratio[codec.name],
                            comp[codec.name], expand[codec.name]);
            else
                std::printf("%-9s %-26s %8.3f %14.1f %14s\n", "", codec.name, ratio[codec.name],
                            comp[codec.name], "-");
        }
        standings.push_back({corpus.name, times(ratio[kImplode], ratio[kZlib]),
                             times(comp[kImplode], comp[kZlib]), times(comp[kBefore], comp[kZlib]),
                             times(expand[kImplode], expand[kZlib])});
    }
    std::printf("\n%s against %s (x > 1: implode is faster; size: smaller is better)\n",
                kImplode.c_str(), kZlib.c_str());
    std::printf("%-9s %8s %10s %17s %8s\n", "corpus", "size", "compress", "compress before",
                "expand");
    for (const Standing& s : standings)
        std::printf("%-9s %7.2fx %9.2fx %16.2fx %7.2fx\n", s.corpus.c_str(), s.size, s.compress,
                    s.compressBefore, s.expand);
    benchmark::Shutdown();
    return 0;
}
