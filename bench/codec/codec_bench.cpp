// Compression on a corpus of mail-like items: implode (ASCII and binary, 4096
// dictionary), zlib level 6 and bzip2 block size 1. Each item is compressed on
// its own, as the link sends it. Prints Google Benchmark's timings, then one
// table of ratio and speeds, and implode's standing against zlib.
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

// ----------------------------------------------------------------- corpus

std::string ReadFile(const std::filesystem::path& path, std::size_t limit)
{
    std::ifstream f(path, std::ios::binary);
    std::string s(std::istreambuf_iterator<char>(f), {});
    if (s.size() > limit)
        s.resize(limit);
    return s;
}

std::string Base64(const std::string& in)
{
    static const char* const abc =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t col = 0;
    for (std::size_t i = 0; i < in.size(); i += 3) {
        unsigned v = static_cast<std::uint8_t>(in[i]) << 16;
        if (i + 1 < in.size())
            v |= static_cast<std::uint8_t>(in[i + 1]) << 8;
        if (i + 2 < in.size())
            v |= static_cast<std::uint8_t>(in[i + 2]);
        out += abc[(v >> 18) & 63];
        out += abc[(v >> 12) & 63];
        out += i + 1 < in.size() ? abc[(v >> 6) & 63] : '=';
        out += i + 2 < in.size() ? abc[v & 63] : '=';
        if ((col += 4) >= 76) {
            out += "\r\n";
            col = 0;
        }
    }
    return out + "\r\n";
}

std::string SyntheticMail(std::mt19937& rng, const std::vector<std::string>& texts, int n)
{
    std::ostringstream os;
    os << "RCPT: ops" << n << "@bravo\r\nFrom: master@vessel" << n % 7
       << "\r\nTo: ops@bravo\r\nSubject: Noon report " << n
       << "\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b" << n
       << "\"\r\n\r\n--b" << n << "\r\nContent-Type: text/plain\r\n\r\n";
    // A few paragraphs borrowed from the text files.
    const std::string& src = texts[rng() % texts.size()];
    const std::size_t at = src.size() > 3000 ? rng() % (src.size() - 3000) : 0;
    os << src.substr(at, 400 + rng() % 2500) << "\r\n";
    if (n % 2 == 0) {
        std::string blob;
        if (n % 4 == 0) {
            blob.resize(2000 + rng() % 20000);
            for (char& c : blob)
                c = static_cast<char>(rng());
        } else {
            blob = texts[rng() % texts.size()].substr(0, 8000);
        }
        os << "--b" << n << "\r\nContent-Type: application/octet-stream; name=\"att" << n
           << ".bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n"
           << Base64(blob);
    }
    os << "--b" << n << "--\r\n";
    return os.str();
}

std::vector<std::string> BuildCorpus()
{
    std::vector<std::string> texts;
    for (const char* dir : {"/usr/share/common-licenses"}) {
        if (!std::filesystem::is_directory(dir))
            continue;
        for (const auto& e : std::filesystem::directory_iterator(dir))
            if (e.is_regular_file())
                texts.push_back(ReadFile(e.path(), 200000));
    }
    // Plain-text documentation: copyright files and READMEs (not the gzipped ones).
    std::vector<std::filesystem::path> docs;
    if (std::filesystem::is_directory("/usr/share/doc")) {
        for (const auto& e : std::filesystem::recursive_directory_iterator(
                 "/usr/share/doc", std::filesystem::directory_options::skip_permission_denied)) {
            if (!e.is_regular_file() || e.path().extension() == ".gz")
                continue;
            const std::string name = e.path().filename().string();
            if (name == "copyright" || name.rfind("README", 0) == 0)
                docs.push_back(e.path());
        }
    }
    std::sort(docs.begin(), docs.end());
    for (std::size_t i = 0; i < docs.size() && i < 120; ++i)
        texts.push_back(ReadFile(docs[i], 100000));
    texts.erase(std::remove_if(texts.begin(), texts.end(),
                               [](const std::string& s) { return s.size() < 200; }),
                texts.end());
    if (texts.empty())
        throw std::runtime_error("no text files found for the corpus");

    std::vector<std::string> corpus = texts;
    std::mt19937 rng(2026);
    for (int n = 0; n < 120; ++n)
        corpus.push_back(SyntheticMail(rng, texts, n));
    return corpus;
}

const std::vector<std::string>& Corpus()
{
    static const std::vector<std::string> corpus = BuildCorpus();
    return corpus;
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

void ZlibExpand(const std::string& in, std::string& out)
{
    // Large enough for every corpus item; the round trip check catches the rest.
    out.resize(1 << 20);
    uLongf size = out.size();
    if (uncompress(reinterpret_cast<Bytef*>(out.data()), &size,
                   reinterpret_cast<const Bytef*>(in.data()), in.size()) != Z_OK)
        throw std::runtime_error("zlib expand failed");
    out.resize(size);
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
