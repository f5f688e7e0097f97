// Compression on a corpus of mail-like items: implode (ASCII and binary, 4096
// dictionary), zlib level 6 and bzip2 block size 1. Each item is compressed on
// its own, as the link sends it. Prints Google Benchmark's timings, then one
// table of ratio and speeds, and implode's standing against zlib.
#include "codec/mail_corpus.h"
#include "link/codec/bzip2.h"
#include "link/codec/pklib.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const std::vector<std::string>& Corpus()
{
    return MailCorpus::All();
}

std::size_t CorpusBytes()
{
    std::size_t total = 0;
    for (const std::string& s : Corpus())
        total += s.size();
    return total;
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
};

template <unsigned Coding> void ImplodeItem(const std::string& in, std::string& out)
{
    static std::vector<char> work(kPklibCompressWorkSize);
    out.clear();
    MemIo io{&in, 0, &out};
    unsigned coding = Coding, dict = 4096;
    if (PklibCompress(Read, Write, work.data(), &io, &coding, &dict) != kPklibNoError)
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

const Codec kCodecs[] = {
    {"implode ASCII/4096", ImplodeItem<kPklibAscii>, ExplodeItem},
    {"implode binary/4096", ImplodeItem<kPklibBinary>, ExplodeItem},
    {"zlib level 6", ZlibCompress, ZlibExpand},
    {"bzip2 block 1", Bzip2Compress, Bzip2Expand},
};

// Compressed corpus per codec, checked to round-trip once.
const std::vector<std::string>& Packed(const Codec& codec)
{
    static std::map<const Codec*, std::vector<std::string>> cache;
    auto it = cache.find(&codec);
    if (it != cache.end())
        return it->second;
    std::vector<std::string> packed;
    std::string back;
    for (const std::string& item : Corpus()) {
        packed.emplace_back();
        codec.compress(item, packed.back());
        codec.expand(packed.back(), back);
        if (back != item)
            throw std::runtime_error(std::string(codec.name) + ": round trip differs");
    }
    return cache.emplace(&codec, std::move(packed)).first->second;
}

double Ratio(const Codec& codec)
{
    std::size_t total = 0;
    for (const std::string& p : Packed(codec))
        total += p.size();
    return static_cast<double>(total) / static_cast<double>(CorpusBytes());
}

void BM_Compress(benchmark::State& state, const Codec* codec)
{
    std::string out;
    for (auto _ : state)
        for (const std::string& item : Corpus()) {
            codec->compress(item, out);
            benchmark::DoNotOptimize(out.data());
        }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * CorpusBytes()));
}

void BM_Expand(benchmark::State& state, const Codec* codec)
{
    const std::vector<std::string>& packed = Packed(*codec);
    std::string out;
    for (auto _ : state)
        for (const std::string& item : packed) {
            codec->expand(item, out);
            benchmark::DoNotOptimize(out.data());
        }
    // Speed counts original bytes, so both directions compare.
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * CorpusBytes()));
}

// Keeps each run's real time per iteration for the summary table.
class TableReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0)
                continue;
            const double seconds = run.real_accumulated_time / static_cast<double>(run.iterations);
            mbPerSecond[run.benchmark_name()] = static_cast<double>(CorpusBytes()) / seconds / 1e6;
        }
    }
    std::map<std::string, double> mbPerSecond;
};

} // namespace

int main(int argc, char** argv)
{
    for (const Codec& codec : kCodecs) {
        benchmark::RegisterBenchmark((std::string("Compress/") + codec.name).c_str(), BM_Compress,
                                     &codec)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark((std::string("Expand/") + codec.name).c_str(), BM_Expand,
                                     &codec)
            ->Unit(benchmark::kMillisecond);
    }
    benchmark::Initialize(&argc, argv);
    std::printf("corpus: %zu items, %zu bytes\n", Corpus().size(), CorpusBytes());
    TableReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    std::printf("\n%-22s %8s %14s %14s\n", "codec", "ratio", "compress MB/s", "expand MB/s");
    std::map<std::string, double> ratio, comp, expand;
    for (const Codec& codec : kCodecs) {
        ratio[codec.name] = Ratio(codec);
        comp[codec.name] = reporter.mbPerSecond[std::string("Compress/") + codec.name];
        expand[codec.name] = reporter.mbPerSecond[std::string("Expand/") + codec.name];
        std::printf("%-22s %8.3f %14.1f %14.1f\n", codec.name, ratio[codec.name], comp[codec.name],
                    expand[codec.name]);
    }
    std::printf("(ratio = compressed bytes / original bytes; speeds in original bytes)\n\n");
    const std::string z = "zlib level 6";
    for (const char* name : {"implode ASCII/4096", "implode binary/4096"}) {
        const auto speed = [](double a, double b) { return b > 0 ? a / b : 0.0; };
        std::printf("%-22s vs zlib: size x%.2f, compress speed x%.2f, expand speed x%.2f\n", name,
                    ratio[name] / ratio[z], speed(comp[name], comp[z]),
                    speed(expand[name], expand[z]));
    }
    benchmark::Shutdown();
    return 0;
}
