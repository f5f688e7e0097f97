#include "support/scripted_modem.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

namespace {
constexpr int kStepTimeoutMs = 20000;

std::string Printable(const std::string& s)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (c >= 32 && c < 127 && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}
} // namespace

TScriptedModem::TScriptedModem()
{
    FMaster = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (FMaster < 0 || ::grantpt(FMaster) != 0 || ::unlockpt(FMaster) != 0)
        throw std::runtime_error("scripted modem: no pseudo-terminal");
    FSlavePath = ::ptsname(FMaster);
    FSlaveKeep = ::open(FSlavePath.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    ::tcgetattr(FSlaveKeep, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(FSlaveKeep, TCSANOW, &t);
}

TScriptedModem::~TScriptedModem()
{
    {
        std::lock_guard lock(FLock);
        FStop = true;
    }
    if (FThread.joinable())
        FThread.join();
    ::close(FMaster);
    ::close(FSlaveKeep);
}

TScriptedModem& TScriptedModem::Expect(const std::string& bytes)
{
    FSteps.push_back({TStep::Expect, bytes});
    return *this;
}

TScriptedModem& TScriptedModem::Capture(const std::string& terminator, int slot)
{
    FSteps.push_back({TStep::Capture, terminator, slot});
    return *this;
}

TScriptedModem& TScriptedModem::CaptureDleData(int slot)
{
    FSteps.push_back({TStep::DleData, {}, slot});
    return *this;
}

std::string Unstuff(const std::string& raw)
{
    std::string out;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\x10') {
            if (i + 1 < raw.size() && raw[i + 1] == '\x10') {
                out += '\x10';
                ++i;
                continue;
            }
            break; // the closing pair
        }
        out += raw[i];
    }
    return out;
}

TScriptedModem& TScriptedModem::Send(const std::string& bytes)
{
    FSteps.push_back({TStep::Send, bytes});
    return *this;
}

TScriptedModem& TScriptedModem::Answer(const std::string& command,
                                       const std::vector<std::string>& results)
{
    ExpectCommand(command);
    for (const auto& r : results)
        Result(r);
    return *this;
}

TScriptedModem& TScriptedModem::Pause(int ms)
{
    FSteps.push_back({TStep::Pause, {}, 0, ms});
    return *this;
}

void TScriptedModem::Start()
{
    FThread = std::thread([this] { Run(); });
}

bool TScriptedModem::WaitDone(int timeoutMs)
{
    std::unique_lock lock(FLock);
    return FDoneCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return FDone; });
}

std::string TScriptedModem::Errors()
{
    std::lock_guard lock(FLock);
    return FErrors;
}

std::string TScriptedModem::Captured(int slot)
{
    std::lock_guard lock(FLock);
    return slot >= 0 && static_cast<std::size_t>(slot) < FCaptured.size() ? FCaptured[slot] : "";
}

std::string TScriptedModem::Trailing()
{
    ReadMore(50);
    std::lock_guard lock(FLock);
    return FInput;
}

bool TScriptedModem::ReadMore(int timeoutMs)
{
    pollfd p{FMaster, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return false;
    char buf[4096];
    const ssize_t n = ::read(FMaster, buf, sizeof buf);
    if (n <= 0)
        return false;
    std::lock_guard lock(FLock);
    FInput.append(buf, static_cast<std::size_t>(n));
    return true;
}

void TScriptedModem::Run()
{
    auto stopped = [this] {
        std::lock_guard lock(FLock);
        return FStop;
    };
    auto fail = [this](const std::string& what) {
        std::lock_guard lock(FLock);
        FErrors = what;
    };
    for (std::size_t i = 0; i < FSteps.size() && !stopped(); ++i) {
        const TStep& s = FSteps[i];
        const std::string where = "step " + std::to_string(i) + ": ";
        if (s.What == TStep::Send) {
            std::size_t done = 0;
            while (done < s.Bytes.size() && !stopped()) {
                const ssize_t n = ::write(FMaster, s.Bytes.data() + done, s.Bytes.size() - done);
                if (n > 0)
                    done += static_cast<std::size_t>(n);
                else
                    std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            continue;
        }
        if (s.What == TStep::Pause) {
            std::this_thread::sleep_for(std::chrono::milliseconds(s.Ms));
            continue;
        }
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(kStepTimeoutMs);
        bool matched = false;
        while (!matched && !stopped()) {
            {
                std::lock_guard lock(FLock);
                if (s.What == TStep::Expect) {
                    const std::size_t n = std::min(FInput.size(), s.Bytes.size());
                    if (FInput.compare(0, n, s.Bytes, 0, n) != 0) {
                        FErrors = where + "expected \"" + Printable(s.Bytes) + "\", got \"" +
                                  Printable(FInput.substr(0, std::max(n, s.Bytes.size()))) + "\"";
                        break;
                    }
                    if (n == s.Bytes.size()) {
                        FInput.erase(0, n);
                        matched = true;
                    }
                } else if (s.What == TStep::DleData) {
                    std::size_t i = 0;
                    for (; i + 1 < FInput.size(); ++i) {
                        if (FInput[i] != '\x10')
                            continue;
                        if (FInput[i + 1] != '\x10')
                            break;
                        ++i;
                    }
                    if (i + 1 < FInput.size() && FInput[i] == '\x10') {
                        if (FCaptured.size() <= static_cast<std::size_t>(s.Slot))
                            FCaptured.resize(static_cast<std::size_t>(s.Slot) + 1);
                        FCaptured[static_cast<std::size_t>(s.Slot)] = FInput.substr(0, i + 2);
                        FInput.erase(0, i + 2);
                        matched = true;
                    }
                } else {
                    const auto at = FInput.find(s.Bytes);
                    if (at != std::string::npos) {
                        if (FCaptured.size() <= static_cast<std::size_t>(s.Slot))
                            FCaptured.resize(static_cast<std::size_t>(s.Slot) + 1);
                        FCaptured[static_cast<std::size_t>(s.Slot)] =
                            FInput.substr(0, at + s.Bytes.size());
                        FInput.erase(0, at + s.Bytes.size());
                        matched = true;
                    }
                }
                if (!FErrors.empty())
                    break;
            }
            if (matched)
                break;
            if (std::chrono::steady_clock::now() > deadline) {
                std::lock_guard lock(FLock);
                FErrors = where + "timed out waiting for \"" + Printable(s.Bytes) + "\", have \"" +
                          Printable(FInput) + "\"";
                break;
            }
            ReadMore(20);
        }
        if (!matched) {
            if (Errors().empty())
                fail(where + "stopped");
            break;
        }
    }
    std::lock_guard lock(FLock);
    FDone = true;
    FDoneCv.notify_all();
}
