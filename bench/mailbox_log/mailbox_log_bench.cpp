// What one new line of a full mailbox log costs: the bytes handed to write()
// and those sent to the disk (from /proc/self/io), and the time, per line,
// over 5000 lines (or the count given) added to a log that already holds its
// 1000. Each figure is the median of five runs.
#include "core/mailbox_log.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

constexpr double kGoalBytes = 3000;

struct Io {
    double written = 0; // wchar: bytes given to write()
    double toDisk = 0;  // write_bytes: bytes that went to the block layer
};

Io ReadIo()
{
    std::ifstream f("/proc/self/io");
    Io io;
    std::string key;
    double value = 0;
    while (f >> key >> value) {
        if (key == "wchar:")
            io.written = value;
        else if (key == "write_bytes:")
            io.toDisk = value;
    }
    return io;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const int lines = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5000;
    namespace fs = std::filesystem;
    const fs::path dir =
        fs::temp_directory_path() / ("mailbox_log_bench." + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string path = (dir / "mailbox_log.txt").string();
    const std::string text = "Msg: 1234 for ops@bravo delivered to mailbox ops (2345 bytes)";

    std::vector<double> written, toDisk, micros;
    for (int run = 0; run < 5; ++run) {
        fs::remove(path);
        TMailboxLog log(path);
        for (size_t i = 0; i < TMailboxLog::kMaxLines; ++i)
            log.AddLogLine(text);
        ::sync();
        const Io before = ReadIo();
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < lines; ++i)
            log.AddLogLine(text);
        const std::chrono::duration<double, std::micro> took =
            std::chrono::steady_clock::now() - start;
        const Io after = ReadIo();
        written.push_back((after.written - before.written) / lines);
        toDisk.push_back((after.toDisk - before.toDisk) / lines);
        micros.push_back(took.count() / lines);
    }
    fs::remove_all(dir);

    std::printf("mailbox log, full at %zu lines, %d lines added (median of 5 runs):\n",
                TMailboxLog::kMaxLines, lines);
    std::printf("  bytes given to write() per line  %10.0f\n", Median(written));
    std::printf("  bytes sent to disk per line      %10.0f\n", Median(toDisk));
    std::printf("  time per line                    %10.1f us\n", Median(micros));
    std::printf("  written per line / goal %.0f      x%.3f\n", kGoalBytes,
                Median(written) / kGoalBytes);
    return 0;
}
