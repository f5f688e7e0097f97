#include "link/modem_frame.h"

#include <iterator>

namespace ModemFrame {

TPayloadLength MessageLength(uint8_t code)
{
    switch (code) {
    case kMsgRadioByte:
    case kMsgHardwareError:
        return {TPayloadKind::Fixed, 1};
    case kMsgTxEcho:
        return {TPayloadKind::Counted, 0};
    case kMsgLinkUp:
    case kMsgIncoming:
        return {TPayloadKind::Fixed, kIdLength};
    case kMsgDspVersion:
    case kMsgCpuVersion:
    case kMsgWaveform:
        return {TPayloadKind::Text, 32};
    case kMsgLocalStatistics:
    case kMsgRemoteStatistics:
        return {TPayloadKind::Text, 64};
    case kMsgToneLevels:
        return {TPayloadKind::Fixed, kToneLevelCount};
    default:
        return {TPayloadKind::Fixed, 0};
    }
}

TLinkStatistics ParseStatistics(const std::string& payload)
{
    TLinkStatistics s;
    std::string* fields[] = {&s.Mod, &s.Snr, &s.Freq, &s.Phs, &s.Ecc, &s.Tput};
    size_t field = 0;
    for (char c : payload) {
        if (c == ',') {
            if (++field == std::size(fields))
                break;
        } else {
            *fields[field] += c;
        }
    }
    return s;
}

std::vector<uint8_t> Command(uint8_t command, std::initializer_list<uint8_t> args)
{
    std::vector<uint8_t> out{kMarker, command};
    for (uint8_t a : args) {
        out.push_back(kMarker);
        out.push_back(a);
    }
    return out;
}

std::vector<uint8_t> LinkData(const std::string& bytes)
{
    std::vector<uint8_t> out;
    for (char c : bytes) {
        const uint8_t b = static_cast<uint8_t>(c);
        if (b == kMarker || b == kDataEscape)
            out.push_back(kDataEscape);
        out.push_back(b);
    }
    return out;
}

void TParser::Reset()
{
    FState = TState::Data;
    FInMessage = false;
    FPayload.clear();
    FCount = -1;
}

void TParser::Deliver()
{
    const uint8_t code = FCode;
    std::string payload;
    payload.swap(FPayload);
    FInMessage = false;
    FCount = -1;
    if (OnMessage)
        OnMessage(code, payload);
}

void TParser::Feed(uint8_t b)
{
    switch (FState) {
    case TState::Data:
    case TState::Payload:
        if (b == kMarker) {
            FState = FInMessage ? TState::PayloadByte : TState::Marker;
        } else if (b == kDataEscape) {
            FState = TState::Escape;
        } else if (OnData) {
            OnData(b);
        }
        return;
    case TState::Escape:
        FState = FInMessage ? TState::Payload : TState::Data;
        if (OnData)
            OnData(b);
        return;
    case TState::Marker:
        FCode = b;
        FLength = MessageLength(b);
        FPayload.clear();
        FCount = -1;
        FInMessage = true;
        FState = TState::Payload;
        if (FLength.kind == TPayloadKind::Fixed && FLength.n == 0) {
            FState = TState::Data;
            Deliver();
        }
        return;
    case TState::PayloadByte:
        FState = TState::Payload;
        switch (FLength.kind) {
        case TPayloadKind::Fixed:
            FPayload += static_cast<char>(b);
            if (static_cast<int>(FPayload.size()) >= FLength.n) {
                FState = TState::Data;
                Deliver();
            }
            return;
        case TPayloadKind::Text:
            if (b == 0x00) {
                FState = TState::Data;
                Deliver();
                return;
            }
            FPayload += static_cast<char>(b);
            if (static_cast<int>(FPayload.size()) >= FLength.n) {
                FState = TState::Data;
                Deliver();
            }
            return;
        case TPayloadKind::Counted:
            if (FCount < 0)
                FCount = b;
            else
                FPayload += static_cast<char>(b);
            if (static_cast<int>(FPayload.size()) >= FCount) {
                FState = TState::Data;
                Deliver();
            }
            return;
        }
        return;
    }
}

} // namespace ModemFrame
