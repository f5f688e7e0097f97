#include "serial/ad_port.h"

#include <QApplication>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// The far end of the line: the port opens the slave side as COM90.
struct Line {
    int Master = -1;
    int Slave = -1;
    Line()
    {
        char name[256] = {};
        if (::openpty(&Master, &Slave, name, nullptr, nullptr) != 0)
            std::abort();
        termios tio{};
        ::tcgetattr(Slave, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(Slave, TCSANOW, &tio);
        ::setenv("SKIPMAIL_COM90", name, 1);
    }
    ~Line()
    {
        ::close(Master);
        ::close(Slave);
    }
};

double CpuSeconds()
{
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

void OpenPort(TApdComPort& port)
{
    port.SetComNumber(90);
    port.SetAutoOpen(false);
    port.SetBaud(115200);
    port.SetInSize(8192);
    port.SetOutSize(8192);
    port.SetOpen(true);
}

// Port -> far end: the output buffer and output thread.
void BM_PortWrite(benchmark::State& state)
{
    Line line;
    TApdComPort port;
    OpenPort(port);
    TApdBaseDispatcher* d = port.GetDispatcher();
    const std::size_t block = static_cast<std::size_t>(state.range(0));
    std::vector<uint8_t> data(block, 0x55);
    std::vector<uint8_t> sink(65536);
    int64_t bytes = 0;
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    for (auto _ : state) {
        while (d->PutBlock(data.data(), block) < 0) {
            pollfd p{line.Master, POLLIN, 0};
            if (::poll(&p, 1, 10) > 0) [[maybe_unused]]
                auto r = ::read(line.Master, sink.data(), sink.size());
        }
        bytes += static_cast<int64_t>(block);
        pollfd p{line.Master, POLLIN, 0};
        while (::poll(&p, 1, 0) > 0)
            if (::read(line.Master, sink.data(), sink.size()) <= 0)
                break;
    }
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    state.SetBytesProcessed(bytes);
    state.counters["cpu_cores"] = (CpuSeconds() - cpu0) / wall;
    port.SetOpen(false);
}
BENCHMARK(BM_PortWrite)->Arg(64)->Arg(4096)->UseRealTime();

// Far end -> port: event thread, dispatch thread and the GUI-thread data event.
void BM_PortRead(benchmark::State& state)
{
    Line line;
    TApdComPort port;
    int64_t received = 0;
    port.OnTriggerAvail = [&](TApdCustomComPort& p, uint32_t count) {
        uint8_t buf[8192];
        while (count > 0) {
            const std::size_t got = p.GetBlock(buf, std::min<std::size_t>(count, sizeof buf));
            if (got == 0)
                break;
            received += static_cast<int64_t>(got);
            count -= static_cast<uint32_t>(got);
        }
    };
    OpenPort(port);
    const std::size_t block = 65536;
    std::vector<uint8_t> data(block, 0xAA);
    int64_t sent = 0;
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    for (auto _ : state) {
        std::size_t off = 0;
        ::fcntl(line.Master, F_SETFL, O_NONBLOCK);
        while (off < block) {
            const ssize_t w = ::write(line.Master, data.data() + off, block - off);
            if (w > 0)
                off += static_cast<std::size_t>(w);
            QCoreApplication::processEvents();
        }
        sent += static_cast<int64_t>(block);
    }
    while (received < sent)
        QCoreApplication::processEvents();
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    state.SetBytesProcessed(received);
    state.counters["cpu_cores"] = (CpuSeconds() - cpu0) / wall;
    port.SetOpen(false);
}
BENCHMARK(BM_PortRead)->UseRealTime();

// One byte written at the far end until its data event runs on the GUI thread.
void BM_DataEventLatency(benchmark::State& state)
{
    Line line;
    TApdComPort port;
    bool arrived = false;
    port.OnTriggerAvail = [&](TApdCustomComPort& p, uint32_t) {
        uint8_t b[64];
        p.GetBlock(b, sizeof b);
        arrived = true;
    };
    OpenPort(port);
    std::vector<double> us;
    for (auto _ : state) {
        arrived = false;
        const auto t0 = Clock::now();
        [[maybe_unused]] auto w = ::write(line.Master, "x", 1);
        while (!arrived)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    std::sort(us.begin(), us.end());
    if (!us.empty()) {
        state.counters["median_us"] = us[us.size() / 2];
        state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    }
    port.SetOpen(false);
}
BENCHMARK(BM_DataEventLatency)->Iterations(2000)->UseRealTime();

// An open port with nothing to do must not cost CPU (no polling loops).
void BM_IdlePort(benchmark::State& state)
{
    Line line;
    TApdComPort port;
    OpenPort(port);
    const double cpu0 = CpuSeconds();
    const auto t0 = Clock::now();
    for (auto _ : state)
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
    state.counters["cpu_cores"] = (CpuSeconds() - cpu0) / wall;
    port.SetOpen(false);
}
BENCHMARK(BM_IdlePort)->Iterations(2)->UseRealTime();

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
