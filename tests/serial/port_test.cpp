#include "platform/gui_message.h"
#include "platform/thread.h"
#include "serial/ad_except.h"
#include "serial/ad_port.h"
#include "serial/pty_helpers.h"
#include "support/test_files.h"

#include <QThread>
#include <chrono>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>

using namespace std::chrono_literals;

namespace {

constexpr unsigned kCom = 41;

struct OpenPort {
    PtyPair Pty;
    TApdComPort Port;
    std::string Received;
    int Events = 0;
    bool OffGuiThread = false;

    OpenPort()
    {
        Pty.Bind(kCom);
        Port.SetComNumber(kCom);
        Port.SetAutoOpen(false);
        Port.OnTriggerAvail = [this](TApdCustomComPort& p, uint32_t count) {
            ++Events;
            OffGuiThread = OffGuiThread || !IsGuiThread();
            for (uint32_t i = 0; i < count; ++i)
                Received += p.GetChar();
        };
    }
};

} // namespace

TEST(SerialPort, BytesBothWaysAndDataEventOnGuiThread)
{
    OpenPort f;
    f.Port.SetOpen(true);
    ASSERT_TRUE(f.Port.Open());
    ASSERT_NE(f.Port.GetDispatcher(), nullptr);

    f.Pty.Write(std::string("AT\r\x00\x80\xff", 6));
    ASSERT_TRUE(PumpUntil([&] { return f.Received.size() == 6; }, 3000));
    EXPECT_EQ(f.Received, std::string("AT\r\x00\x80\xff", 6));
    EXPECT_FALSE(f.OffGuiThread);

    f.Port.PutChar('\x80');
    f.Port.PutString("REMOTE,OFF\r");
    f.Port.PutBlock("\x00\x01", 2);
    EXPECT_EQ(f.Pty.Read(14, 3000), std::string("\x80REMOTE,OFF\r\x00\x01", 14));
    EXPECT_FALSE(f.Port.CharReady());
    EXPECT_THROW(f.Port.GetChar(), EBufferIsEmpty);
}

TEST(SerialPort, ClosedPortRaisesAndCloseDrainsPendingOutput)
{
    OpenPort f;
    EXPECT_THROW(f.Port.PutChar('x'), ECommNotOpen);
    EXPECT_EQ(f.Port.GetDispatcher(), nullptr); // AutoOpen is off

    f.Port.SetOpen(true);
    const std::string tail(3000, 'z');
    f.Port.PutString(tail);
    f.Port.SetOpen(false); // returns once the bytes are out
    EXPECT_EQ(f.Pty.Read(tail.size(), 2000), tail);
    EXPECT_THROW(f.Port.PutChar('x'), ECommNotOpen);
    f.Port.FlushInBuffer(); // nothing on a closed port

    // AutoOpen opens on first use.
    f.Port.SetAutoOpen(true);
    f.Port.PutChar('k');
    EXPECT_TRUE(f.Port.Open());
    EXPECT_EQ(f.Pty.Read(1, 2000), "k");
}

TEST(SerialPort, CloseIsBoundedWhenNobodyReads)
{
    OpenPort f;
    f.Port.SetBaud(115200);
    f.Port.SetOpen(true);
    // Fill the terminal's own queue and then ours; the far end never reads.
    const std::string block(4096, 'q');
    for (int i = 0; i < 200; ++i) {
        try {
            f.Port.PutBlock(block.data(), block.size());
        } catch (const EOutputBufferTooSmall&) {
            std::this_thread::sleep_for(1ms);
        }
    }
    const auto start = std::chrono::steady_clock::now();
    f.Port.SetOpen(false);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);
}

TEST(SerialPort, OutputBufferFullGivesMinus3006AndKeepsBlocksWhole)
{
    OpenPort f;
    f.Port.SetOutSize(1024);
    f.Port.SetOpen(true);
    TApdBaseDispatcher* d = f.Port.GetDispatcher();
    ASSERT_NE(d, nullptr);

    std::string tooBig(1025, 'b');
    EXPECT_EQ(d->PutBlock(tooBig.data(), tooBig.size()), AdErr::ecOutputBufferTooSmall);
    EXPECT_THROW(f.Port.PutBlock(tooBig.data(), tooBig.size()), EOutputBufferTooSmall);

    // Nobody reads the far end: the terminal's queue fills, then ours.
    std::string sent;
    int refused = 0;
    for (int i = 0; i < 100000 && refused == 0; ++i) {
        std::string block(100, static_cast<char>('A' + i % 26));
        const int r = d->PutBlock(block.data(), block.size());
        if (r == AdErr::ecOutputBufferTooSmall) {
            ++refused;
            EXPECT_LT(d->OutBuffFree(), 100u);
            EXPECT_EQ(d->OutBuffUsed() + d->OutBuffFree(), 1024u);
        } else {
            ASSERT_EQ(r, 100);
            sent += block;
        }
    }
    ASSERT_EQ(refused, 1);
    // The component raises for the same condition; the terminal may still
    // take a few bytes meanwhile, so keep offering until it refuses.
    bool raised = false;
    for (int i = 0; i < 1000 && !raised; ++i) {
        const std::string block(100, static_cast<char>('a' + i % 26));
        try {
            f.Port.PutBlock(block.data(), block.size());
            sent += block;
        } catch (const EOutputBufferTooSmall&) {
            raised = true;
        }
    }
    EXPECT_TRUE(raised);
    // Once the far end reads, everything accepted arrives whole and in order.
    EXPECT_EQ(f.Pty.Read(sent.size(), 10000), sent);
}

TEST(SerialPort, OpenCloseReopenLeaksNoThreadsOrDescriptors)
{
    PtyPair pty;
    pty.Bind(kCom);
    TApdComPort port;
    port.SetComNumber(kCom);
    port.SetOpen(true);
    port.SetOpen(false);
    const int fds = CountOpenFds();
    const int threads = TThread::LiveCount();
    for (int i = 0; i < 1000; ++i) {
        port.SetOpen(true);
        ASSERT_TRUE(port.Open());
        if (i % 100 == 0) {
            port.PutChar(static_cast<char>(i % 256));
            pty.Write("x");
        }
        port.SetOpen(false);
        ASSERT_FALSE(port.Open());
    }
    EXPECT_EQ(CountOpenFds(), fds);
    EXPECT_TRUE(PumpUntil([&] { return TThread::LiveCount() == threads; }, 2000));
}

TEST(SerialPort, UserCallbacksOnOpenAndClose)
{
    OpenPort f;
    std::vector<std::pair<std::string, bool>> calls;
    int tag1 = 0, tag2 = 0;
    f.Port.RegisterUserCallback(&tag1, [&](TApdCustomComPort* p, bool opening) {
        EXPECT_EQ(p, &f.Port);
        EXPECT_TRUE(p->Open()); // open in both calls
        calls.emplace_back("one", opening);
    });
    f.Port.RegisterUserCallback(
        &tag2, [&](TApdCustomComPort*, bool opening) { calls.emplace_back("two", opening); });
    f.Port.RegisterUserCallback(
        &tag1, [&](TApdCustomComPort*, bool opening) { calls.emplace_back("one-again", opening); });
    f.Port.SetOpen(true);
    f.Port.SetOpen(false);
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[0], std::make_pair(std::string("one"), true));
    EXPECT_EQ(calls[5], std::make_pair(std::string("one-again"), false));
    calls.clear();
    f.Port.DeregisterUserCallback(&tag1); // every entry of it
    f.Port.SetOpen(true);
    f.Port.SetOpen(false);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].first, "two");
}

TEST(SerialPort, IsPortAvailableOnFreeBusyAndMissingDevices)
{
    PtyPair pty;
    pty.Bind(42);
    EXPECT_TRUE(IsPortAvailable(42));
    {
        TApdComPort holder;
        holder.SetComNumber(42);
        holder.SetOpen(true);
        // Held by another port of ours: still counts as available ...
        EXPECT_TRUE(IsPortAvailable(42));
        // ... but a second port cannot open it.
        TApdComPort second;
        second.SetComNumber(42);
        try {
            second.SetOpen(true);
            FAIL() << "opened a busy port";
        } catch (const EInOutError& e) {
            EXPECT_EQ(e.ErrorCode(), -AdErr::ecSharingViolation);
        }
        EXPECT_FALSE(second.Open());
        holder.PutString("ok");
        EXPECT_EQ(pty.Read(2, 2000), "ok"); // the probe disturbed nothing
    }
    EXPECT_TRUE(IsPortAvailable(42));
    ::setenv("SKIPMAIL_COM43", "/nonexistent/tty", 1);
    EXPECT_FALSE(IsPortAvailable(43));
    ::setenv("SKIPMAIL_COM44", "/proc/self/status", 1); // not a terminal
    EXPECT_FALSE(IsPortAvailable(44));
    // Nor a file the user may not open: no port that another program holds.
    TScratch dir;
    const std::string closed = dir.Path("closed");
    WriteFile(closed, "");
    ::chmod(closed.c_str(), 0);
    ::setenv("SKIPMAIL_COM45", closed.c_str(), 1);
    EXPECT_FALSE(IsPortAvailable(45));
    EXPECT_FALSE(IsPortAvailable(0));
}

TEST(SerialPort, VanishedDeviceEndsThreadsAndReports)
{
    OpenPort f;
    const int before = TThread::LiveCount();
    f.Port.SetOpen(true);
    EXPECT_EQ(TThread::LiveCount(), before + 3);
    TApdBaseDispatcher* d = f.Port.GetDispatcher();
    f.Pty.Write("last");
    ASSERT_TRUE(PumpUntil([&] { return f.Received == "last"; }, 3000));
    f.Pty.CloseMaster();
    // Event and output threads end; the dispatch thread stays for the
    // timers until the port closes, waiting rather than spinning.
    try {
        f.Port.PutChar('x'); // wakes the output thread into the dead device
    } catch (const EHardware&) {
        // the event thread noticed first
    }
    ASSERT_TRUE(PumpUntil([&] { return d->DeviceError() == AdErr::ecHardware; }, 3000));
    EXPECT_TRUE(PumpUntil([&] { return TThread::LiveCount() == before + 1; }, 3000));
    EXPECT_THROW(f.Port.PutChar('y'), EHardware);
    const auto start = std::chrono::steady_clock::now();
    f.Port.SetOpen(false);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_TRUE(PumpUntil([&] { return TThread::LiveCount() == before; }, 2000));
}

TEST(SerialPort, CloseFromInsideTheDataEvent)
{
    OpenPort f;
    f.Port.OnTriggerAvail = [&](TApdCustomComPort& p, uint32_t) {
        ++f.Events;
        p.SetOpen(false);
    };
    const int before = TThread::LiveCount();
    f.Port.SetOpen(true);
    f.Pty.Write("bye");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(PumpUntil([&] { return !f.Port.Open(); }, 3000));
    EXPECT_TRUE(PumpUntil([&] { return TThread::LiveCount() == before; }, 3000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(f.Events, 1);
    // And it opens again.
    f.Port.SetOpen(true);
    EXPECT_TRUE(f.Port.Open());
}

TEST(SerialPort, LineSettingsAndModemLinesOnAPseudoTerminal)
{
    OpenPort f;
    f.Port.SetBaud(115200);
    f.Port.SetOpen(true);
    TApdBaseDispatcher* d = f.Port.GetDispatcher();
    uint32_t baud = 0;
    TParity parity{};
    uint8_t dataBits = 0, stopBits = 0;
    d->GetLine(baud, parity, dataBits, stopBits);
    EXPECT_EQ(baud, 115200u);
    EXPECT_EQ(parity, TParity::pNone);
    EXPECT_EQ(dataBits, 8);
    EXPECT_EQ(stopBits, 1);
    EXPECT_EQ(d->ChangeBaud(19200), 0);
    d->GetLine(baud, parity, dataBits, stopBits);
    EXPECT_EQ(baud, 19200u);
    EXPECT_EQ(f.Port.Baud(), 19200u);
    // (A pseudo-terminal takes only 8 data bits without parity.)
    f.Port.SetStopbits(2);
    d->GetLine(baud, parity, dataBits, stopBits);
    EXPECT_EQ(baud, 19200u);
    EXPECT_EQ(stopBits, 2);
    EXPECT_THROW(f.Port.SetStopbits(3), EDefault);
    EXPECT_THROW(f.Port.SetBaud(12345), EBaudRate);
    EXPECT_EQ(f.Port.Baud(), 19200u);
    // A pseudo-terminal has no modem lines: the calls succeed, no carrier.
    EXPECT_EQ(d->SetModem(false, false), 0);
    EXPECT_EQ(d->SetModem(true, true), 0);
    EXPECT_FALSE(d->CheckDCD());
}

TEST(SerialPort, FlowControlThresholdsDefaultFromInSize)
{
    OpenPort f;
    f.Port.SetInSize(8192);
    f.Port.SetHWFlowOptions(hwfUseRTS | hwfRequireCTS);
    EXPECT_EQ(f.Port.BufferFull(), 7372u);
    EXPECT_EQ(f.Port.BufferResume(), 819u);
    f.Port.SetBufferFull(9000); // out of range: back to the default
    EXPECT_EQ(f.Port.BufferFull(), 7372u);
}

TEST(SerialPort, SoftwareFlowSendsXoffAtBufferFullAndLosesNothing)
{
    OpenPort f;
    f.Port.SetInSize(1000);
    f.Port.SetBufferFull(600);
    f.Port.SetBufferResume(100);
    f.Port.SetSWFlowOptions(TSWFlowOptions::swfReceive);
    f.Port.SetOpen(true);
    TApdBaseDispatcher* d = f.Port.GetDispatcher();
    std::string sent;
    for (int i = 0; i < 3000; ++i)
        sent += static_cast<char>('a' + i % 26);
    f.Pty.Write(sent);
    // Generous limits: a loaded machine may starve the port's threads for a while.
    ASSERT_TRUE(PumpUntil([&] { return d->InBuffUsed() >= 600; }, 10000));
    EXPECT_EQ(f.Pty.Read(1, 5000), "\x13"); // XOFF once past BufferFull
    EXPECT_LE(d->InBuffUsed(), 1000u);
    std::string got;
    const auto end = std::chrono::steady_clock::now() + 15s;
    while (got.size() < sent.size() && std::chrono::steady_clock::now() < end) {
        uint8_t buf[64];
        const int n = d->GetBlock(buf, sizeof buf);
        if (n > 0)
            got.append(reinterpret_cast<char*>(buf), static_cast<std::size_t>(n));
        else
            std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(got, sent);
    // XON and XOFF alternate, and the last word is XON.
    std::string flow = "\x13" + f.Pty.Read(100, 300);
    for (int i = 0; i < 50 && flow.back() != '\x11'; ++i)
        flow += f.Pty.Read(100, 100);
    ASSERT_GE(flow.size(), 2u);
    for (std::size_t i = 0; i < flow.size(); ++i)
        EXPECT_EQ(flow[i], i % 2 ? '\x11' : '\x13') << i;
    EXPECT_EQ(flow.back(), '\x11');
}
