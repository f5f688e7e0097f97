// Base64 and quoted-printable encode/decode throughput, with Python's
// C-accelerated binascii timed on the same data in the same run.
#include "netproto/message/id_coder_mime.h"
#include "netproto/message/id_coder_quoted_printable.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>

#include <unistd.h>

namespace {

constexpr int Rounds = 7;
constexpr std::size_t DataSize = 8 << 20;

double BestSeconds(const std::function<std::size_t()>& run)
{
    double best = 1e9;
    std::size_t sink = 0;
    for (int i = 0; i < Rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        sink += run();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    if (sink == 42) {
        std::puts("");
    }
    return best;
}

std::string MakeBinary()
{
    std::mt19937 gen(1);
    std::string out(DataSize, '\0');
    for (auto& c : out) {
        c = static_cast<char>(gen());
    }
    return out;
}

// Mostly printable text in lines, with some 8-bit bytes and line-end blanks.
std::string MakeText()
{
    std::mt19937 gen(2);
    static const std::string alphabet =
        "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJ 0123456789 .,;:=\xE9\xFC";
    std::string out;
    out.reserve(DataSize + 200);
    while (out.size() < DataSize) {
        const std::size_t len = gen() % 120;
        for (std::size_t i = 0; i < len; ++i) {
            out += alphabet[gen() % alphabet.size()];
        }
        out += "\r\n";
    }
    return out;
}

std::map<std::string, double> RunPython(const std::string& binary, const std::string& text)
{
    // One folder per run: a second run at the same time must not remove
    // this one's input.
    const auto dir = std::filesystem::temp_directory_path() /
                     ("skipmail_bench_coders." + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto binPath = dir / "binary";
    const auto textPath = dir / "text";
    std::ofstream(binPath, std::ios::binary) << binary;
    std::ofstream(textPath, std::ios::binary) << text;
    const std::string command = "python3 " + std::string(SKIPMAIL_BENCH_SCRIPT) + " " +
                                binPath.string() + " " + textPath.string() + " " +
                                std::to_string(Rounds);
    std::map<std::string, double> result;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char name[64];
        double seconds;
        while (std::fscanf(pipe, "%63s %lf", name, &seconds) == 2) {
            result[name] = seconds;
        }
        pclose(pipe);
    }
    std::filesystem::remove_all(dir);
    return result;
}

} // namespace

int main()
{
    const std::string binary = MakeBinary();
    const std::string text = MakeText();
    const std::string b64 = TIdEncoder::EncodeText<TIdEncoderMIME>(binary);
    const std::string qp = TIdEncoder::EncodeText<TIdEncoderQuotedPrintable>(text);
    if (TIdDecoder::DecodeText<TIdDecoderMIME>(b64) != binary ||
        TIdDecoder::DecodeText<TIdDecoderQuotedPrintable>(qp) != text) {
        std::fprintf(stderr, "round trip failed\n");
        return 1;
    }

    struct Row {
        const char* name;
        std::size_t bytes; // input bytes the rate is measured on (the raw data)
        double ours;
    };
    TIdEncoderMIME b64Encoder;
    TIdDecoderMIME b64Decoder;
    TIdEncoderQuotedPrintable qpEncoder;
    TIdDecoderQuotedPrintable qpDecoder;
    const Row rows[] = {
        {"base64-encode", binary.size(),
         BestSeconds([&] { return b64Encoder.EncodeBytes(binary).size(); })},
        {"base64-decode", binary.size(),
         BestSeconds([&] { return b64Decoder.DecodeBytes(b64).size(); })},
        {"qp-encode", text.size(), BestSeconds([&] { return qpEncoder.EncodeBytes(text).size(); })},
        {"qp-decode", text.size(), BestSeconds([&] { return qpDecoder.DecodeBytes(qp).size(); })},
    };
    const auto python = RunPython(binary, text);

    std::printf("%-14s %12s %14s %8s\n", "operation", "ours MB/s", "binascii MB/s", "ratio");
    for (const Row& row : rows) {
        const double mb = static_cast<double>(row.bytes) / 1e6;
        const auto it = python.find(row.name);
        if (it == python.end()) {
            std::printf("%-14s %12.1f %14s %8s\n", row.name, mb / row.ours, "n/a", "n/a");
            continue;
        }
        std::printf("%-14s %12.1f %14.1f %8.2f\n", row.name, mb / row.ours, mb / it->second,
                    it->second / row.ours);
    }
    return 0;
}
