// Decoding and encoding of a 20 MB message with four base64 attachments, with
// Python's email package timed on the same files in the same run. Each run
// is a process of its own, so its peak resident size is its own.
#include "netlib/mime/ip_message.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

constexpr int Attachments = 4;
constexpr size_t AttachmentSize = 15 << 20 >> 2; // 20 MB once in base64

struct Result {
    double Seconds = 0;
    long PeakKb = 0;
};

// Runs the work in a child process: its time and its peak resident size.
Result InChild(const std::function<void()>& work)
{
    int fds[2];
    if (pipe(fds) != 0)
        return {};
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const auto start = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        const Result result{took.count(), usage.ru_maxrss};
        (void)!write(fds[1], &result, sizeof result);
        _exit(0);
    }
    close(fds[1]);
    Result result;
    (void)!read(fds[0], &result, sizeof result);
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    return result;
}

Result Python(const std::string& arguments)
{
    Result result;
    const std::string command = "python3 " + std::string(SKIPMAIL_BENCH_SCRIPT) + " " + arguments;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        if (std::fscanf(pipe, "%lf %ld", &result.Seconds, &result.PeakKb) != 2)
            result = {};
        pclose(pipe);
    }
    return result;
}

Result Best(const std::function<Result()>& run)
{
    Result best{1e9, 0};
    for (int i = 0; i < 3; ++i) {
        const Result r = run();
        if (r.Seconds < best.Seconds)
            best = r;
    }
    return best;
}

void Print(const char* what, double mb, const Result& ours, const Result& python)
{
    std::printf("%-8s %10.1f %10.1f %8.2f %12.1f %12.1f\n", what, mb / ours.Seconds,
                python.Seconds > 0 ? mb / python.Seconds : 0.0,
                python.Seconds > 0 ? python.Seconds / ours.Seconds : 0.0, ours.PeakKb / 1024.0,
                python.PeakKb / 1024.0);
}

} // namespace

int main()
{
    const fs::path dir =
        fs::temp_directory_path() / ("skipmail_bench_mime." + std::to_string(getpid()));
    fs::create_directories(dir / "out");
    std::vector<std::string> files;
    std::mt19937 gen(1);
    for (int i = 0; i < Attachments; ++i) {
        std::string data(AttachmentSize, '\0');
        for (auto& c : data)
            c = char(gen());
        files.push_back((dir / ("page" + std::to_string(i) + ".bmp")).string());
        std::ofstream(files.back(), std::ios::binary) << data;
    }
    const std::string message = (dir / "message.msg").string();

    const Result encode = Best([&] {
        return InChild([&] {
            TIpMailMessage mail;
            mail.From = "bench@example.org";
            mail.MailTo = {"bench@example.org"};
            mail.Subject = "bench";
            mail.Body().WriteLine("benchmark");
            for (const auto& file : files)
                mail.AddDefaultAttachment(file);
            mail.SaveToFile(message);
        });
    });
    const Result decode = Best([&] {
        return InChild([&] {
            TIpMailMessage mail;
            mail.LoadFromFile(message);
            for (int i = 0; i < mail.MimeParts().GetCount(); ++i)
                mail.MimeParts().GetPart(i)->ExtractBodyFile(
                    (dir / "out" / ("ours" + std::to_string(i) + ".bin")).string());
        });
    });
    std::string all;
    for (const auto& file : files)
        all += " " + file;
    const std::string pyMessage = (dir / "python.msg").string();
    const Result pyEncode = Best([&] { return Python("encode " + pyMessage + all); });
    const Result pyDecode =
        Best([&] { return Python("decode " + message + " " + (dir / "out").string()); });

    bool same = true;
    for (int i = 0; i < Attachments; ++i) {
        std::ifstream a(files[size_t(i)], std::ios::binary);
        std::ifstream b(dir / "out" / ("ours" + std::to_string(i) + ".bin"), std::ios::binary);
        same = same && std::string(std::istreambuf_iterator<char>(a), {}) ==
                           std::string(std::istreambuf_iterator<char>(b), {});
    }
    const double mb = double(fs::file_size(message)) / 1e6;
    std::printf("message %.1f MB, %d base64 attachments%s\n", mb, Attachments,
                same ? "" : " (EXTRACTED DATA DIFFERS)");
    std::printf("%-8s %10s %10s %8s %12s %12s\n", "", "ours MB/s", "py MB/s", "ratio",
                "ours peak MB", "py peak MB");
    Print("decode", mb, decode, pyDecode);
    Print("encode", mb, encode, pyEncode);
    fs::remove_all(dir);
    return same ? 0 : 1;
}
