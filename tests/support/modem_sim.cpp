#include "support/modem_sim.h"

namespace {
constexpr uint8_t kRadioStart = 0x34;
constexpr uint8_t kRadioEnd = 0x33;
constexpr uint8_t kRadioByteMsg = 0x35;
constexpr uint8_t kEchoMsg = 0x6A;
constexpr uint8_t kConfigured = 0x68;
constexpr uint8_t kHardwareErrorMsg = 0x6F;
constexpr uint8_t kCmdConfigure = 0x50;
constexpr uint8_t kCmdVersions = 0x51;
constexpr uint8_t kCmdCall = 0x20;
constexpr uint8_t kCmdOwnAddress = 0x21;
constexpr uint8_t kLocalStatistics = 0x73;
constexpr uint8_t kRemoteStatistics = 0x74;
constexpr uint8_t kToneLevels = 0x75;
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

std::string TModemSimCore::StatisticsReports(const TModemSimCore& peer) const
{
    return TextMessage(kLocalStatistics, statistics) +
           TextMessage(kRemoteStatistics, peer.statistics) + Message(kToneLevels, toneLevels);
}

void TModemSimCore::CommandDone(std::string& out)
{
    if (OnCommand)
        OnCommand(commands.back(), arguments.back(), out);
}

void TModemSimCore::Command(uint8_t c, std::string& out)
{
    commands.push_back(c);
    arguments.emplace_back();
    FArgsLeft = c == 0x6D ? 5 : c == kCmdCall ? 6 : c == kCmdOwnAddress ? 8 : 0;
    if (FArgsLeft == 0)
        CommandDone(out);
    if (c == kCmdConfigure) {
        ++configureCount;
        if (!answerInit)
            return;
        out += Message(kConfigured, "");
    }
    if (c == kCmdVersions) {
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
            // Under a sky, data sent before a command leaves before it.
            if (OnLinkData && !echo.empty()) {
                OnLinkData(echo);
                echo.clear();
            }
            if (FArgsLeft > 0) {
                --FArgsLeft;
                arguments.back().push_back(b);
                if (FArgsLeft == 0)
                    CommandDone(out);
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
    if (OnLinkData) {
        if (!echo.empty())
            OnLinkData(echo);
        return out;
    }
    for (size_t i = 0; i < echo.size(); i += 255) {
        std::string part = echo.substr(i, 255);
        out += Message(kEchoMsg, std::string(1, static_cast<char>(part.size())) + part);
    }
    return out;
}
