// 10 MB each way at once through a pseudo-terminal, byte for byte: the far
// end writes and reads on its own threads, the port reads on the GUI thread
// from its data events and writes from a producer thread.
#include "serial/ad_port.h"
#include "serial/pty_helpers.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

constexpr std::size_t kTotal = 10u * 1024 * 1024;

// Deterministic byte streams; the two directions differ.
struct Pattern {
    uint32_t State;
    uint8_t Next()
    {
        State = State * 1103515245u + 12345u;
        return static_cast<uint8_t>(State >> 16);
    }
};

} // namespace

TEST(SerialLoad, TenMegabytesEachWay)
{
    PtyPair pty;
    pty.Bind(61);
    TApdComPort port;
    port.SetComNumber(61);
    port.SetAutoOpen(false);
    port.SetBaud(115200);
    port.SetInSize(8192);
    port.SetOutSize(8192);

    std::size_t inCount = 0;
    std::size_t inBad = kTotal;
    Pattern inExpect{1};
    port.OnTriggerAvail = [&](TApdCustomComPort& p, uint32_t count) {
        uint8_t buf[8192];
        while (count > 0) {
            const std::size_t got = p.GetBlock(buf, std::min<std::size_t>(count, sizeof buf));
            if (got == 0)
                break;
            for (std::size_t i = 0; i < got; ++i)
                if (buf[i] != inExpect.Next() && inBad == kTotal)
                    inBad = inCount + i;
            inCount += got;
            count -= static_cast<uint32_t>(got);
        }
    };
    port.SetOpen(true);
    TApdBaseDispatcher* d = port.GetDispatcher();
    ASSERT_NE(d, nullptr);

    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> stop{false};
    std::thread farWriter([&] {
        Pattern p{1};
        std::vector<uint8_t> chunk(16384);
        std::size_t sent = 0;
        while (sent < kTotal && !stop) {
            const std::size_t n = std::min(chunk.size(), kTotal - sent);
            for (std::size_t i = 0; i < n; ++i)
                chunk[i] = p.Next();
            std::size_t off = 0;
            while (off < n && !stop) {
                const ssize_t w = ::write(pty.Master(), chunk.data() + off, n - off);
                if (w < 0)
                    return;
                off += static_cast<std::size_t>(w);
            }
            sent += n;
        }
    });
    std::atomic<std::size_t> outCount{0};
    std::atomic<std::size_t> outBad{kTotal};
    std::thread farReader([&] {
        Pattern p{2};
        std::vector<uint8_t> buf(65536);
        while (outCount < kTotal && !stop) {
            pollfd pfd{pty.Master(), POLLIN, 0};
            if (::poll(&pfd, 1, 100) <= 0)
                continue;
            const ssize_t got = ::read(pty.Master(), buf.data(), buf.size());
            if (got <= 0)
                return;
            for (ssize_t i = 0; i < got; ++i)
                if (buf[i] != p.Next() && outBad == kTotal)
                    outBad = outCount + static_cast<std::size_t>(i);
            outCount += static_cast<std::size_t>(got);
        }
    });
    std::thread producer([&] {
        Pattern p{2};
        std::vector<uint8_t> chunk;
        std::size_t queued = 0;
        while (queued < kTotal && !stop) {
            const std::size_t room = std::min(d->OutBuffFree(), kTotal - queued);
            if (room == 0) {
                std::this_thread::sleep_for(100us);
                continue;
            }
            chunk.resize(room);
            for (auto& b : chunk)
                b = p.Next();
            ASSERT_EQ(d->PutBlock(chunk.data(), chunk.size()), static_cast<int>(room));
            queued += room;
        }
    });

    const bool done = PumpUntil([&] { return inCount >= kTotal && outCount >= kTotal; }, 60000);
    stop = true;
    farWriter.join();
    farReader.join();
    producer.join();
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_TRUE(done) << "in " << inCount << " out " << outCount << " after " << secs << " s";
    EXPECT_EQ(inCount, kTotal);
    EXPECT_EQ(outCount.load(), kTotal);
    EXPECT_EQ(inBad, kTotal) << "first wrong received byte";
    EXPECT_EQ(outBad.load(), kTotal) << "first wrong sent byte";
    // Far above a 115200-baud line (11.5 kB/s each way).
    std::printf("10 MB each way in %.2f s (%.1f MB/s each way)\n", secs, 10.0 / secs);
    port.SetOpen(false);
}
