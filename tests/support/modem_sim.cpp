#include "support/modem_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace {
constexpr uint8_t kRadioStart = 0x34;
constexpr uint8_t kRadioEnd = 0x33;
constexpr uint8_t kRadioByteMsg = 0x35;
constexpr uint8_t kEchoMsg = 0x6A;
constexpr uint8_t kConfigured = 0x68;
constexpr uint8_t kHardwareErrorMsg = 0x6F;
constexpr uint8_t kCmdConfigure = 0x50;
constexpr uint8_t kCmdVersions = 0x51;
} // namespace

std::string TModemSimCore::Message(uint8_t code, const std::string& payload)
{
    std::string out{'\x80', static_cast<char>(code)};
    for (char c : payload) {
        out += '\x80';
        out += c;
    }
    return out;
}

std::string TModemSimCore::TextMessage(uint8_t code, const std::string& text)
{
    return Message(code, text + std::string(1, '\0'));
}

std::string TModemSimCore::HardwareError(uint8_t number)
{
    return Message(kHardwareErrorMsg, std::string(1, static_cast<char>(number)));
}

void TModemSimCore::Command(uint8_t c, std::string& out)
{
    commands.push_back(c);
    arguments.emplace_back();
    FArgsLeft = c == 0x6D ? 5 : 0;
    if (c == kCmdConfigure) {
        ++configureCount;
        if (!answerInit)
            return;
        out += Message(kConfigured, "");
    }
    if (c == kCmdConfigure || c == kCmdVersions) {
        out += TextMessage(0x70, dspVersion);
        out += TextMessage(0x71, cpuVersion);
        out += TextMessage(0x72, waveformVariant);
    }
}

void TModemSimCore::Radio(uint8_t b, std::string& out)
{
    radioBytes += static_cast<char>(b);
    if (!FRadio)
        return;
    for (char a : FRadio->Feed(b))
        out += Message(kRadioByteMsg, std::string(1, a));
}

std::string TModemSimCore::Feed(const std::string& in)
{
    std::string out;
    std::string echo;
    for (char ch : in) {
        const uint8_t b = static_cast<uint8_t>(ch);
        switch (FState) {
        case TState::Data:
            if (b == 0x80) {
                FState = TState::Marker;
            } else if (b == 0x81) {
                FState = TState::Escape;
            } else {
                linkData += ch;
                echo += ch;
            }
            break;
        case TState::Escape:
            linkData += ch;
            echo += ch;
            FState = TState::Data;
            break;
        case TState::Marker:
            FState = TState::Data;
            if (FArgsLeft > 0) {
                --FArgsLeft;
                arguments.back().push_back(b);
            } else if (b == kRadioStart) {
                FState = TState::Group;
            } else {
                Command(b, out);
            }
            break;
        case TState::Group:
            if (b == 0x80)
                FState = TState::GroupMarker;
            else if (b == 0x81)
                FState = TState::GroupEscape;
            else
                Radio(b, out);
            break;
        case TState::GroupEscape:
            Radio(b, out);
            FState = TState::Group;
            break;
        case TState::GroupMarker:
            FState = b == kRadioEnd ? TState::Data : TState::Group;
            break;
        }
    }
    for (size_t i = 0; i < echo.size(); i += 255) {
        std::string part = echo.substr(i, 255);
        out += Message(kEchoMsg, std::string(1, static_cast<char>(part.size())) + part);
    }
    return out;
}

TModemSimPty::TModemSimPty(const std::string& radioType)
    : FRadio(std::make_unique<TSimRadio>(radioType)), FCore(FRadio.get())
{
    FMaster = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (FMaster < 0 || ::grantpt(FMaster) != 0 || ::unlockpt(FMaster) != 0)
        throw std::runtime_error("no pseudo-terminal");
    termios t{};
    ::tcgetattr(FMaster, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(FMaster, TCSANOW, &t);
    FSlavePath = ::ptsname(FMaster);
    // Holding the slave open keeps the master readable while the station
    // closes and reopens its port.
    int keep = ::open(FSlavePath.c_str(), O_RDWR | O_NOCTTY);
    if (keep >= 0) {
        ::tcgetattr(keep, &t);
        ::cfmakeraw(&t);
        ::tcsetattr(keep, TCSANOW, &t);
    }
    int p[2];
    if (::pipe(p) != 0)
        throw std::runtime_error("no pipe");
    FWakeRead = p[0];
    FWakeWrite = p[1];
    FThread = std::thread([this, keep] {
        Run();
        if (keep >= 0)
            ::close(keep);
    });
}

TModemSimPty::~TModemSimPty()
{
    char x = 0;
    if (::write(FWakeWrite, &x, 1) < 0) {
    }
    FThread.join();
    ::close(FWakeRead);
    ::close(FWakeWrite);
    ::close(FMaster);
}

void TModemSimPty::Send(const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(FMaster, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

void TModemSimPty::Run()
{
    char buf[512];
    for (;;) {
        pollfd fds[2] = {{FMaster, POLLIN, 0}, {FWakeRead, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents)
            return;
        if (!(fds[0].revents & POLLIN)) {
            ::usleep(10000); // slave side closed for a moment
            continue;
        }
        ssize_t n = ::read(FMaster, buf, sizeof buf);
        if (n <= 0)
            continue;
        std::string answer;
        {
            std::lock_guard lock(FLock);
            answer = FCore.Feed(std::string(buf, static_cast<size_t>(n)));
        }
        Send(answer);
    }
}
