#include "link/link_wire.h"

#include <array>

#include "link/modem_frame.h"

namespace LinkWire {

using namespace LinkCode;

std::string EscapeData(std::string_view data)
{
    std::string out;
    out.reserve(data.size() + data.size() / 64 + 2);
    for (char c : data) {
        const auto b = static_cast<uint8_t>(c);
        if (b <= 0x01) {
            out += static_cast<char>(kIntro);
            out += static_cast<char>(kEscapeBase + b);
        } else {
            out += c;
        }
    }
    return out;
}

std::string EscapeText(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        const auto b = static_cast<uint8_t>(c);
        if (b < 0x20) {
            out += static_cast<char>(kIntro);
            out += static_cast<char>(kEscapeBase + b);
        } else {
            out += c;
        }
    }
    return out;
}

bool UnescapeText(std::string_view escaped, std::string& text)
{
    text.clear();
    for (size_t i = 0; i < escaped.size(); ++i) {
        const auto b = static_cast<uint8_t>(escaped[i]);
        if (b != kIntro) {
            text += escaped[i];
            continue;
        }
        if (++i == escaped.size())
            return false;
        const auto e = static_cast<uint8_t>(escaped[i]);
        if (e < kEscapeBase || e >= kEscapeBase + 0x20)
            return false;
        text += static_cast<char>(e - kEscapeBase);
    }
    return true;
}

std::string Message(uint8_t code, const TFields& fields)
{
    std::string out{static_cast<char>(kIntro), static_cast<char>(code)};
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i > 0)
            out += static_cast<char>(kFieldSeparator);
        out += fields[i].first;
        out += '=';
        out += EscapeText(fields[i].second);
    }
    out += static_cast<char>(kEndOfMessage);
    return out;
}

std::string Chat(std::string_view text)
{
    return std::string{static_cast<char>(kIntro), static_cast<char>(kChat)} + EscapeText(text) +
           static_cast<char>(kEndOfMessage);
}

std::string Ring(uint8_t code)
{
    std::string out{static_cast<char>(kIntro), static_cast<char>(kRing)};
    if (code <= kEndOfMessage) {
        out += static_cast<char>(kIntro);
        out += static_cast<char>(kEscapeBase + code);
    } else {
        out += static_cast<char>(code);
    }
    return out;
}

bool ParseFields(std::string_view body, std::map<char, std::string>& fields)
{
    fields.clear();
    while (!body.empty()) {
        const size_t end = body.find(static_cast<char>(kFieldSeparator));
        const std::string_view field = body.substr(0, end);
        body = end == std::string_view::npos ? std::string_view() : body.substr(end + 1);
        if (field.size() < 2 || field[1] != '=')
            return false;
        std::string value;
        if (!UnescapeText(field.substr(2), value))
            return false;
        fields[field[0]] = std::move(value);
    }
    return true;
}

void TParser::Reset()
{
    FState = TState::Data;
    FData.clear();
    FBody.clear();
}

void TParser::FlushData()
{
    if (FData.empty())
        return;
    std::string data;
    data.swap(FData);
    if (OnData)
        OnData(data);
}

void TParser::Feed(const char* bytes, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        const auto b = static_cast<uint8_t>(bytes[i]);
        switch (FState) {
        case TState::Data:
            if (b == kIntro)
                FState = TState::Intro;
            else
                FData += static_cast<char>(b);
            break;
        case TState::Intro:
            if (b == kEscapeBase || b == kEscapeBase + 1) {
                FData += static_cast<char>(b - kEscapeBase);
                FState = TState::Data;
                break;
            }
            FlushData();
            if (b == kRing) {
                FState = TState::RingCode;
            } else {
                FCode = b;
                FBody.clear();
                FState = TState::Body;
            }
            break;
        case TState::RingCode:
            if (b == kIntro) {
                FState = TState::RingEscape;
                break;
            }
            FState = TState::Data;
            if (OnRing)
                OnRing(b);
            break;
        case TState::RingEscape:
            FState = TState::Data;
            if (OnRing)
                OnRing(static_cast<uint8_t>(b >= kEscapeBase ? b - kEscapeBase : b));
            break;
        case TState::Body:
            if (b == kEndOfMessage) {
                FState = TState::Data;
                if (OnMessage)
                    OnMessage(FCode, FBody);
                FBody.clear();
            } else if (FBody.size() >= kMaxMessageBytes) {
                ++FOverlong;
                FBody.clear();
                FState = TState::Skip;
            } else {
                FBody += static_cast<char>(b);
            }
            break;
        case TState::Skip:
            if (b == kEndOfMessage)
                FState = TState::Data;
            break;
        }
    }
    if (FState == TState::Data || FState == TState::Intro)
        FlushData();
}

uint32_t Crc32(std::string_view data, uint32_t crc)
{
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (char ch : data)
        crc = table[(crc ^ static_cast<uint8_t>(ch)) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

std::string Hex(uint64_t value, int digits)
{
    static const char* const hex = "0123456789ABCDEF";
    std::string out(static_cast<size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4)
        out[static_cast<size_t>(i)] = hex[value & 0xF];
    return out;
}

} // namespace LinkWire
