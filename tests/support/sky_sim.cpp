#include "support/sky_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>

namespace {

constexpr uint8_t kCmdAbort = 0x06;
constexpr uint8_t kCmdDisconnect = 0x07;
constexpr uint8_t kCmdConfigure = 0x50;
constexpr uint8_t kCmdCall = 0x20;
constexpr uint8_t kCmdOwnAddress = 0x21;
constexpr uint8_t kEcho = 0x6A;
constexpr uint8_t kCalling = 0x40;
constexpr uint8_t kLinkUp = 0x41;
constexpr uint8_t kLinkFailed = 0x42;
constexpr uint8_t kBusy = 0x43;
constexpr uint8_t kIncoming = 0x44;
constexpr uint8_t kDisconnected = 0x45;

std::string Echo(const std::string& bytes)
{
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 255) {
        const std::string part = bytes.substr(i, 255);
        out += TModemSimCore::Message(kEcho, std::string(1, static_cast<char>(part.size())) + part);
    }
    return out;
}

// Link data as the modem hands it to its station.
std::string AsLinkData(char b)
{
    const auto u = static_cast<uint8_t>(b);
    return u == 0x80 || u == 0x81 ? std::string{'\x81', b} : std::string(1, b);
}

} // namespace

TSkyCore::TModem::TModem(const std::string& radioType)
    : SimRadio(std::make_unique<TSimRadio>(radioType)), Core(SimRadio.get())
{
}

TSkyCore::TSkyCore(TOptions options) : FOptions(options) {}

int TSkyCore::AddModem(const std::string& radioType)
{
    const int i = static_cast<int>(FModems.size());
    FModems.push_back(std::make_unique<TModem>(radioType));
    TModem& m = *FModems.back();
    m.Core.OnCommand = [this, i](uint8_t c, const std::vector<uint8_t>& args, std::string& out) {
        Command(i, c, args, out);
    };
    m.Core.OnLinkData = [this, i](const std::string& data) {
        TModem& m = *FModems[i];
        if (m.Peer < 0 || m.Disconnecting) {
            // Nobody listens: the bytes go out into empty air at once.
            m.Output += Echo(data);
            return;
        }
        if (m.Tx.empty())
            m.NextTxMs = std::max(m.NextTxMs, static_cast<double>(FNowMs));
        m.Tx += data;
    };
    return i;
}

void TSkyCore::Feed(int i, const std::string& bytes, uint64_t nowMs)
{
    FNowMs = std::max(FNowMs, nowMs);
    FModems[i]->Output += FModems[i]->Core.Feed(bytes);
    Advance(FNowMs);
}

int TSkyCore::FindCallee(int caller, const std::string& id) const
{
    for (size_t j = 0; j < FModems.size(); ++j) {
        const TModem& m = *FModems[j];
        if (static_cast<int>(j) != caller && m.Id == id && m.Code == FModems[caller]->Code &&
            m.Answering && m.Peer < 0 && !m.Calling)
            return static_cast<int>(j);
    }
    return -1;
}

void TSkyCore::Command(int i, uint8_t command, const std::vector<uint8_t>& args, std::string& out)
{
    TModem& m = *FModems[i];
    switch (command) {
    case kCmdOwnAddress:
        if (args.size() == 8) {
            m.Id.assign(args.begin(), args.begin() + 4);
            m.Code.assign(args.begin() + 4, args.end());
        }
        return;
    case kCmdCall: {
        if (args.size() != 6 || m.Peer >= 0 || m.Calling) {
            out += TModemSimCore::Message(kLinkFailed, "");
            return;
        }
        ++FCalls;
        if (FBusy && (args[5] & 1)) {
            out += TModemSimCore::Message(kBusy, "");
            return;
        }
        out += TModemSimCore::Message(kCalling, "");
        m.Calling = true;
        const int callee = FindCallee(i, std::string(args.begin(), args.begin() + 4));
        if (callee >= 0)
            FModems[callee]->Calling = true; // taken while the call goes on
        const uint64_t due = FNowMs + static_cast<uint64_t>(FOptions.CallMs);
        FCallOutcomes.push_back(
            {due, i, callee, std::max<uint64_t>(due, FNowMs + args[4] * 1000ull)});
        return;
    }
    case kCmdDisconnect:
        if (m.Peer >= 0)
            m.Disconnecting = true;
        GiveUpCall(i);
        return;
    case kCmdAbort:
    case kCmdConfigure: // its station starts afresh
        if (m.Peer >= 0)
            EndLink(i, true);
        GiveUpCall(i);
        return;
    default:
        return;
    }
}

bool TSkyCore::Hears(int callee, int caller) const
{
    const uint64_t rx = FModems[callee]->SimRadio->ReceiveHz();
    const uint64_t tx = FModems[caller]->SimRadio->TransmitHz();
    return rx == 0 || tx == 0 || rx == tx;
}

void TSkyCore::GiveUpCall(int i)
{
    for (auto it = FCallOutcomes.begin(); it != FCallOutcomes.end(); ++it) {
        if (it->Caller != i)
            continue;
        FModems[i]->Calling = false;
        if (it->Callee >= 0)
            FModems[it->Callee]->Calling = false;
        FCallOutcomes.erase(it);
        return;
    }
}

void TSkyCore::Deliver(int i, uint64_t dueMs, std::string bytes)
{
    TModem& m = *FModems[i];
    if (!m.Arrivals.empty() && m.Arrivals.back().DueMs == dueMs)
        m.Arrivals.back().Bytes += bytes;
    else
        m.Arrivals.push_back({dueMs, std::move(bytes)});
}

void TSkyCore::EndLink(int i, bool withReport)
{
    TModem& a = *FModems[i];
    const int j = a.Peer;
    for (TModem* m : {&a, j >= 0 ? FModems[j].get() : nullptr}) {
        if (!m)
            continue;
        // What crossed before the end still arrives, ahead of the report.
        for (TPending& p : m->Arrivals)
            m->Output += p.Bytes;
        m->Arrivals.clear();
        m->Tx.clear();
        m->HasChannel = false;
        m->Peer = -1;
        m->Disconnecting = false;
        if (withReport)
            m->Output += TModemSimCore::Message(kDisconnected, "");
    }
}

bool TSkyCore::TakeChannel(int i)
{
    TModem& m = *FModems[i];
    if (!FOptions.HalfDuplex || m.HasChannel)
        return true;
    TModem& peer = *FModems[m.Peer];
    if (peer.HasChannel) {
        if (!peer.Tx.empty() || peer.NextTxMs > static_cast<double>(FNowMs))
            return false;
        peer.HasChannel = false;
        m.NextTxMs = std::max(m.NextTxMs, peer.NextTxMs + FOptions.DelayMs) + FOptions.TurnaroundMs;
    }
    m.HasChannel = true;
    return true;
}

uint64_t TSkyCore::TxDueMs(const TModem& m) const
{
    if (m.Peer < 0 || m.Tx.empty())
        return kNever;
    const TModem& peer = *FModems[m.Peer];
    double due = m.NextTxMs;
    if (FOptions.HalfDuplex && !m.HasChannel && peer.HasChannel) {
        if (!peer.Tx.empty())
            return kNever; // the peer's own transmission is due first
        due = std::max(static_cast<double>(FNowMs), peer.NextTxMs); // the channel turns then
    }
    return static_cast<uint64_t>(std::ceil(std::max(0.0, due)));
}

void TSkyCore::Transmit(int i, uint64_t nowMs)
{
    TModem& m = *FModems[i];
    if (m.Peer < 0 || m.Tx.empty() || !TakeChannel(i))
        return;
    size_t n = m.NextTxMs <= static_cast<double>(nowMs) ? m.Tx.size() : 0;
    if (FOptions.BitRate > 0) {
        const double byteMs = 8000.0 / FOptions.BitRate;
        n = 0;
        while (n < m.Tx.size() && m.NextTxMs <= static_cast<double>(nowMs)) {
            m.NextTxMs += byteMs;
            ++n;
        }
    }
    if (n == 0)
        return;
    const uint64_t left = FDropAt > FCarried ? FDropAt - FCarried : 0;
    const bool drop = n >= left;
    if (drop)
        n = static_cast<size_t>(left);
    std::string sent = m.Tx.substr(0, n);
    m.Tx.erase(0, n);
    FCarried += n;
    std::string arriving;
    for (size_t k = 0; k < sent.size(); ++k, ++m.Sent) {
        char b = sent[k];
        if (m.Sent == m.CorruptAt)
            b = static_cast<char>(b ^ 0x5A);
        arriving += AsLinkData(b);
    }
    m.Output += Echo(sent);
    if (!m.Silent && !arriving.empty())
        Deliver(m.Peer, nowMs + static_cast<uint64_t>(FOptions.DelayMs), std::move(arriving));
    if (drop) {
        FDropAt = std::numeric_limits<uint64_t>::max();
        EndLink(i, true);
    }
}

void TSkyCore::Advance(uint64_t nowMs)
{
    FNowMs = std::max(FNowMs, nowMs);
    for (auto it = FCallOutcomes.begin(); it != FCallOutcomes.end();) {
        const TCallOutcome c = *it;
        const bool heard = c.Callee >= 0 && (c.Answering || Hears(c.Callee, c.Caller));
        if (c.DueMs > FNowMs || (c.Callee >= 0 && !heard && c.EndMs > FNowMs)) {
            ++it; // still on the air
            continue;
        }
        if (heard && !c.Answering) {
            FModems[c.Callee]->Output += TModemSimCore::Message(kIncoming, FModems[c.Caller]->Id);
            it->Answering = true;
            if (FOptions.LinkMs > 0) {
                it->DueMs = FNowMs + static_cast<uint64_t>(FOptions.LinkMs);
                ++it;
                continue;
            }
        }
        it = FCallOutcomes.erase(it);
        TModem& caller = *FModems[c.Caller];
        caller.Calling = false;
        if (c.Callee >= 0)
            FModems[c.Callee]->Calling = false;
        if (!heard) {
            caller.Output += TModemSimCore::Message(kLinkFailed, "");
            continue;
        }
        TModem& callee = *FModems[c.Callee];
        caller.Peer = c.Callee;
        callee.Peer = c.Caller;
        caller.NextTxMs = callee.NextTxMs = static_cast<double>(FNowMs);
        callee.Output += TModemSimCore::Message(kLinkUp, caller.Id);
        caller.Output += TModemSimCore::Message(kLinkUp, callee.Id);
        caller.Output += caller.Core.StatisticsReports(callee.Core);
        callee.Output += callee.Core.StatisticsReports(caller.Core);
    }
    for (size_t i = 0; i < FModems.size(); ++i)
        Transmit(static_cast<int>(i), FNowMs);
    for (auto& m : FModems) {
        while (!m->Arrivals.empty() && m->Arrivals.front().DueMs <= FNowMs) {
            m->Output += m->Arrivals.front().Bytes;
            m->Arrivals.pop_front();
        }
    }
    // A link asked to end goes once its data has gone and arrived.
    for (size_t i = 0; i < FModems.size(); ++i) {
        TModem& m = *FModems[i];
        if (m.Peer >= 0 && m.Disconnecting && m.Tx.empty() && m.Arrivals.empty() &&
            FModems[m.Peer]->Arrivals.empty())
            EndLink(static_cast<int>(i), true);
    }
}

uint64_t TSkyCore::NextDueMs() const
{
    uint64_t due = kNever;
    // A call waiting for its called radio is decided by that radio's
    // tuning (a command, which runs Advance) or by its end.
    for (const TCallOutcome& c : FCallOutcomes)
        due = std::min(due, c.DueMs > FNowMs ? c.DueMs : c.EndMs);
    for (const auto& m : FModems) {
        due = std::min(due, TxDueMs(*m));
        if (!m->Arrivals.empty())
            due = std::min(due, m->Arrivals.front().DueMs);
    }
    return due;
}

bool TSkyCore::HasOutput() const
{
    return std::any_of(FModems.begin(), FModems.end(),
                       [](const auto& m) { return !m->Output.empty(); });
}

std::string TSkyCore::TakeOutput(int i)
{
    std::string out;
    out.swap(FModems[i]->Output);
    return out;
}

// ------------------------------------------------------------ on ptys

TSkyPty::TPort TSkyPty::OpenPort()
{
    TPort port;
    port.Master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (port.Master < 0 || ::grantpt(port.Master) != 0 || ::unlockpt(port.Master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    termios t{};
    ::tcgetattr(port.Master, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(port.Master, TCSANOW, &t);
    port.SlavePath = ::ptsname(port.Master);
    // Holding the slave open keeps the master readable while the station
    // closes and reopens its port.
    port.Keep = ::open(port.SlavePath.c_str(), O_RDWR | O_NOCTTY);
    if (port.Keep >= 0) {
        ::tcgetattr(port.Keep, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(port.Keep, TCSANOW, &t);
    }
    return port;
}

void TSkyPty::ClosePort(TPort& port)
{
    for (int* fd : {&port.Keep, &port.Master}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

TSkyPty::TSkyPty(TSkyCore::TOptions options, const std::vector<std::string>& radioTypes)
    : FSky(options)
{
    for (const std::string& type : radioTypes) {
        FSky.AddModem(type);
        FPorts.push_back(OpenPort());
    }
    int p[2];
    if (::pipe(p) != 0)
        throw std::runtime_error("no pipe");
    FWakeRead = p[0];
    FWakeWrite = p[1];
    FThread = std::thread([this] { Run(); });
}

TSkyPty::~TSkyPty()
{
    char x = 0;
    if (::write(FWakeWrite, &x, 1) < 0) {
    }
    FThread.join();
    ::close(FWakeRead);
    ::close(FWakeWrite);
    for (TPort& p : FPorts)
        ClosePort(p);
}

std::string TSkyPty::SlavePath(int i) const
{
    std::lock_guard lock(FPortLock);
    return FPorts[i].SlavePath;
}

void TSkyPty::UnplugPort(int i)
{
    std::lock_guard lock(FPortLock);
    ClosePort(FPorts[i]);
}

void TSkyPty::ReplugPort(int i)
{
    std::lock_guard lock(FPortLock);
    ClosePort(FPorts[i]);
    FPorts[i] = OpenPort();
}

uint64_t TSkyPty::NowMs() const
{
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void TSkyPty::Send(int i, const std::string& bytes)
{
    std::lock_guard lock(FPortLock);
    const int fd = FPorts[i].Master;
    size_t done = 0;
    while (fd >= 0 && done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            ::usleep(1000);
            continue;
        }
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

void TSkyPty::Flush()
{
    std::vector<std::string> out(FPorts.size());
    {
        std::lock_guard lock(FLock);
        FSky.Advance(NowMs());
        for (size_t i = 0; i < FPorts.size(); ++i)
            out[i] = FSky.TakeOutput(static_cast<int>(i));
    }
    for (size_t i = 0; i < FPorts.size(); ++i)
        if (!out[i].empty())
            Send(static_cast<int>(i), out[i]);
}

void TSkyPty::Run()
{
    std::vector<pollfd> fds(FPorts.size() + 1);
    char buf[4096];
    for (;;) {
        {
            // An unplugged port (-1) is left out by poll.
            std::lock_guard lock(FPortLock);
            for (size_t i = 0; i < FPorts.size(); ++i)
                fds[i] = {FPorts[i].Master, POLLIN, 0};
        }
        fds.back() = {FWakeRead, POLLIN, 0};
        int timeout = -1;
        {
            std::lock_guard lock(FLock);
            const uint64_t due = FSky.NextDueMs();
            if (due != TSkyCore::kNever) {
                const uint64_t now = NowMs();
                timeout = due <= now ? 0 : static_cast<int>(std::min<uint64_t>(due - now, 1000));
            }
        }
        // A quiet sky still looks now and then: a station's command may
        // leave something due (a test's fault switched on meanwhile).
        if (timeout < 0 || timeout > 100)
            timeout = 100;
        if (::poll(fds.data(), fds.size(), timeout) < 0)
            continue;
        if (fds.back().revents)
            return;
        for (size_t i = 0; i < FPorts.size(); ++i) {
            if (fds[i].revents & POLLIN) {
                ssize_t n = 0;
                {
                    std::lock_guard lock(FPortLock);
                    // The port may have been unplugged since the poll.
                    if (FPorts[i].Master == fds[i].fd)
                        n = ::read(fds[i].fd, buf, sizeof buf);
                }
                if (n > 0) {
                    std::lock_guard lock(FLock);
                    FSky.Feed(static_cast<int>(i), std::string(buf, static_cast<size_t>(n)),
                              NowMs());
                }
            } else if (fds[i].revents) {
                ::usleep(10000); // slave side closed for a moment
            }
        }
        Flush();
    }
}
