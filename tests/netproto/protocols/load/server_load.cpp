// Load and robustness runs of the SMTP server on loopback, bounded in time;
// each run is its own ctest entry with the "load" label.
#include "netproto/protocols/id_smtp_server.h"
#include "netproto/protocols/server_test_helpers.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <thread>

using servertest::RawClient;
using servertest::StartOnLoopback;

namespace {

// Both ends of every connection live in this process. Returns the limit.
long RaiseDescriptorLimit()
{
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0)
        return 1024;
    if (r.rlim_cur < r.rlim_max) {
        r.rlim_cur = r.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &r);
    }
    return static_cast<long>(r.rlim_cur);
}

std::string Token(const std::string& text)
{
    const size_t p = text.find("X-Token: ");
    if (p == std::string::npos)
        return std::string();
    const size_t e = text.find("\r\n", p);
    return text.substr(p + 9, e - p - 9);
}

template <class Pred> bool WaitUntil(Pred pred, int limitMs)
{
    for (int waited = 0; waited < limitMs; waited += 20) {
        if (pred())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return pred();
}

} // namespace

TEST(SmtpLoad, FiveHundredConcurrentSessionsTenMessagesEach)
{
    // Two descriptors per session; a machine whose hard limit is too low for
    // 500 runs as many as fit.
    const int kClients = static_cast<int>(std::min<long>(500, (RaiseDescriptorLimit() - 100) / 2));
    ASSERT_GE(kClients, 100);
    constexpr int kMessages = 10;
    std::mutex mutex;
    std::map<std::string, int> received;
    TIdSMTPServer server;
    server.RawStreamType = stMemoryStream;
    server.OnReceiveRaw = [&](TIdCommand&, std::unique_ptr<std::iostream>& stream,
                              TIdEMailAddressList& rcpt, std::string&) {
        std::string text((std::istreambuf_iterator<char>(*stream)),
                         std::istreambuf_iterator<char>());
        std::lock_guard<std::mutex> lock(mutex);
        ++received[Token(text) + "/" + (rcpt.Count() == 1 ? rcpt.Items(0).Address : "?")];
    };
    const int port = StartOnLoopback(server);

    std::atomic<int> okReplies{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] {
            RawClient c(port);
            const std::string greeting = c.Line(30000);
            const std::string helo = c.Cmd("HELO c" + std::to_string(i), 30000);
            if (greeting != "220 Welcome to the SKIPMAIL SMTP Server\r\n" ||
                helo.rfind("250 ", 0) != 0) {
                if (++failures < 5)
                    ADD_FAILURE() << "client " << i << " ok " << c.Ok() << ": [" << greeting
                                  << "] [" << helo << "]";
                return;
            }
            for (int m = 0; m < kMessages; ++m) {
                const std::string id = std::to_string(i) + "-" + std::to_string(m);
                c.Send("MAIL FROM:<c" + std::to_string(i) + "@lan>\r\nRCPT TO:<r" + id +
                       "@lan>\r\nDATA\r\n");
                bool ok = c.Line(30000).rfind("250 ", 0) == 0;
                ok = c.Line(30000).rfind("250 ", 0) == 0 && ok;
                ok = c.Line(30000).rfind("354 ", 0) == 0 && ok;
                c.Send("Subject: load\r\nX-Token: " + id + "\r\n\r\nbody " + id + "\r\n.\r\n");
                if (c.Line(30000) == "250 Ok\r\n" && ok)
                    ++okReplies;
                else
                    ++failures;
            }
            c.Cmd("QUIT", 30000);
        });
    }
    for (auto& t : clients)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(okReplies.load(), kClients * kMessages);
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(received.size(), static_cast<size_t>(kClients * kMessages));
    for (int i = 0; i < kClients; ++i)
        for (int m = 0; m < kMessages; ++m) {
            const std::string id = std::to_string(i) + "-" + std::to_string(m);
            auto it = received.find(id + "/r" + id + "@lan");
            ASSERT_NE(it, received.end()) << id;
            EXPECT_EQ(it->second, 1) << id;
        }
}

TEST(SmtpLoad, TenThousandConnectQuitCyclesReturnToBaseline)
{
    RaiseDescriptorLimit();
    const int threads0 = TIdThread::ThreadCount();
    const int fds0 = servertest::OpenFdCount();
    long rss0 = 0;
    {
        TIdSMTPServer server;
        server.OnReceiveRaw = [](TIdCommand&, std::unique_ptr<std::iostream>&, TIdEMailAddressList&,
                                 std::string&) {};
        const int port = StartOnLoopback(server);
        // Warm-up, so one-time allocations do not count as growth.
        {
            RawClient c(port);
            c.Line();
            c.Cmd("QUIT");
            c.ClosedWithin(2000);
        }
        ASSERT_TRUE(WaitUntil([&] { return server.ThreadCount() == 0; }, 5000));
        rss0 = servertest::CurrentRssKb();

        constexpr int kWorkers = 8;
        constexpr int kCycles = 10000 / kWorkers;
        std::atomic<int> good{0};
        std::vector<std::thread> workers;
        for (int w = 0; w < kWorkers; ++w)
            workers.emplace_back([&] {
                for (int i = 0; i < kCycles; ++i) {
                    RawClient c(port);
                    if (c.Line(10000) == "220 Welcome to the SKIPMAIL SMTP Server\r\n" &&
                        c.Cmd("QUIT", 10000) == "221 Signing Off\r\n" && c.ClosedWithin(10000))
                        ++good;
                }
            });
        for (auto& t : workers)
            t.join();
        EXPECT_EQ(good.load(), kWorkers * kCycles);
        EXPECT_TRUE(WaitUntil([&] { return server.ThreadCount() == 0; }, 30000));
        // At rest the server holds its listener and the peer threads it made
        // ahead for the next clients (at most two): nothing grows with the
        // cycles. How many are made ahead yet depends on the scheduling.
        EXPECT_TRUE(WaitUntil([&] { return TIdThread::ThreadCount() <= threads0 + 3; }, 30000))
            << TIdThread::ThreadCount() << " vs " << threads0;
        EXPECT_LT(servertest::CurrentRssKb() - rss0, 32 * 1024);
        server.SetActive(false);
    }
    // Stopped, it has given back every thread and descriptor it made.
    EXPECT_TRUE(WaitUntil([&] { return TIdThread::ThreadCount() == threads0; }, 30000))
        << TIdThread::ThreadCount() << " vs " << threads0;
    EXPECT_TRUE(WaitUntil([&] { return servertest::OpenFdCount() == fds0; }, 30000))
        << servertest::OpenFdCount() << " vs " << fds0;
}

TEST(SmtpLoad, EmptyOneAndFiftyMegabyteMessagesWithBoundedMemory)
{
    std::mutex mutex;
    std::vector<std::pair<int64_t, uint64_t>> got;
    TIdSMTPServer server;
    // The local mail service's choice: a memory stream, which moves on to a
    // temporary file once the message is large.
    server.RawStreamType = stMemoryStream;
    server.OnReceiveRaw = [&](TIdCommand&, std::unique_ptr<std::iostream>& stream,
                              TIdEMailAddressList&, std::string&) {
        uint64_t hash = 1469598103934665603ull;
        int64_t size = 0;
        char buf[65536];
        while (stream->read(buf, sizeof buf) || stream->gcount() > 0) {
            for (std::streamsize i = 0; i < stream->gcount(); ++i)
                hash = (hash ^ static_cast<unsigned char>(buf[i])) * 1099511628211ull;
            size += stream->gcount();
        }
        std::lock_guard<std::mutex> lock(mutex);
        got.emplace_back(size, hash);
    };
    const int port = StartOnLoopback(server);
    RawClient c(port);
    c.Line();
    c.Cmd("HELO me");
    for (int64_t target : {int64_t(0), int64_t(1) << 20, int64_t(50) << 20}) {
        servertest::ResetPeakRss();
        const long rss0 = servertest::CurrentRssKb();
        ASSERT_EQ(c.Cmd("MAIL FROM:<a@b.c>"), "250 a@b.c Address Okay\r\n");
        ASSERT_EQ(c.Cmd("RCPT TO:<x@y.z>"), "250 x@y.z Address Okay\r\n");
        ASSERT_EQ(c.Cmd("DATA"), "354 Start mail input; end with <CRLF>.<CRLF>\r\n");
        uint64_t hash = 1469598103934665603ull;
        int64_t sent = 0;
        std::string chunk;
        int n = 0;
        while (sent < target) {
            std::string line = "line " + std::to_string(n++) + " " + std::string(70, 'q') + "\r\n";
            if (sent + static_cast<int64_t>(line.size()) > target)
                line =
                    std::string(static_cast<size_t>(std::max<int64_t>(target - sent - 2, 0)), 'e') +
                    "\r\n";
            for (unsigned char ch : line)
                hash = (hash ^ ch) * 1099511628211ull;
            sent += static_cast<int64_t>(line.size());
            chunk += line;
            if (chunk.size() > 65536) {
                c.Send(chunk);
                chunk.clear();
            }
        }
        c.Send(chunk + ".\r\n");
        ASSERT_EQ(c.Line(60000), "250 Ok\r\n") << target;
        std::lock_guard<std::mutex> lock(mutex);
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(got.back().first, sent) << target;
        EXPECT_EQ(got.back().second, hash) << target;
        const long peakGrowth = servertest::PeakRssKb() - rss0;
        EXPECT_LT(peakGrowth, 24 * 1024) << "peak grew by " << peakGrowth << " KB for " << target;
    }
}

TEST(SmtpLoad, GarbageAndOversizeCommandLines)
{
    TIdSMTPServer server;
    server.OnReceiveRaw = [](TIdCommand&, std::unique_ptr<std::iostream>&, TIdEMailAddressList&,
                             std::string&) {};
    const int port = StartOnLoopback(server);
    std::atomic<int> good{0};
    std::vector<std::thread> clients;
    for (int k = 0; k < 20; ++k)
        clients.emplace_back([&, k] {
            std::mt19937 rng(static_cast<unsigned>(k));
            RawClient c(port);
            c.Line();
            for (int i = 0; i < 100; ++i) {
                // An empty line gets no reply at all.
                const size_t len = rng() % 4 == 0 ? 16385 + rng() % 60000 : 1 + rng() % 300;
                std::string junk(len, ' ');
                for (char& ch : junk) {
                    ch = static_cast<char>(rng() % 256);
                    if (ch == '\n')
                        ch = 'x';
                }
                c.Send(junk + "\r\n");
                std::string reply = c.Line();
                if (reply.size() < 4 || (reply[0] != '5' && reply != "250 Ok\r\n")) {
                    ADD_FAILURE() << "client " << k << " line " << i << " length " << len << ": ["
                                  << reply << "]";
                    return;
                }
                const std::string noop = c.Cmd("NOOP");
                if (noop == "250 Ok\r\n")
                    ++good;
                else
                    ADD_FAILURE() << "client " << k << " line " << i << " length " << len
                                  << ": NOOP [" << noop << "]";
            }
        });
    for (auto& t : clients)
        t.join();
    EXPECT_EQ(good.load(), 20 * 100);
}
