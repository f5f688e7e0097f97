#include "link/radio/radio_commands.h"

#include <cstdio>

#include "link/radio/radio_wire.h"
#include "netproto/core/id_global.h"

namespace RadioCommands {

namespace {

std::string Format(const char* fmt, int n)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, fmt, n);
    return buf;
}

// A pair of characters read as one hexadecimal byte.
std::optional<uint8_t> HexPair(const std::string& text, size_t pos)
{
    if (pos + 2 > text.size())
        return std::nullopt;
    const int high = HexDigitValue(text[pos]);
    const int low = HexDigitValue(text[pos + 1]);
    if (high < 0 || low < 0)
        return std::nullopt;
    return static_cast<uint8_t>(high * 16 + low);
}

// The VX-1700's four frequency bytes: pairs 8-9, 5-6, 3-4 and 1-2 (from 1)
// of "0" + the frequency text.
std::optional<std::vector<uint8_t>> Vx1700Bytes(const std::string& freq)
{
    std::string text = "0" + freq;
    std::vector<uint8_t> out;
    for (size_t pos : {7u, 4u, 2u, 0u}) {
        auto b = HexPair(text, pos);
        if (!b)
            return std::nullopt;
        out.push_back(*b);
    }
    return out;
}

} // namespace

std::string HzDigits(const std::string& freq)
{
    std::string out;
    for (char c : freq)
        if (c != '.')
            out += c;
    return out;
}

std::string MhzText(const std::string& freq)
{
    std::string d = HzDigits(freq);
    if (d.size() < 2)
        return d;
    return d.substr(0, 2) + "." + d.substr(2);
}

std::string CivDigits(const std::string& freq)
{
    return "00" + HzDigits(freq);
}

std::string Ts850Digits(const std::string& freq)
{
    return "000" + HzDigits(freq);
}

std::string LabelText(const std::string& freq)
{
    return freq.substr(0, 7);
}

std::string ShortLabelText(const std::string& freq)
{
    std::string t = LabelText(freq);
    size_t i = t.find_first_not_of('0');
    return i == std::string::npos ? std::string() : t.substr(i);
}

std::string IcomRemote(TRadioModel model, bool on)
{
    return IcomNmeaPrefix(model) + (on ? "REMOTE,ON" : "REMOTE,OFF");
}

TTuning Tune(TRadioModel model, int number, const TChannel& ch, bool scanStep)
{
    TTuning t;
    const std::string chLabel = Format("%3.3d", number);
    if (IsIcomNmea(model)) {
        const std::string p = IcomNmeaPrefix(model);
        if (scanStep)
            t.commands.push_back(IcomRemote(model, true));
        t.channelLabel = chLabel;
        t.commands.push_back(p + "MODE," + ch.SideBand);
        t.usbLabel = ch.SideBand;
        t.commands.push_back(p + "TXF," + MhzText(ch.TransmitFreq));
        t.freqLabel = LabelText(ch.TransmitFreq);
        t.receiveCommand = t.commands.size();
        t.commands.push_back(p + "RXF," + MhzText(ch.ReceiveFreq));
        t.waitMs = scanStep ? 0 : 3000;
    } else if (IsIcomCiv(model)) {
        const uint8_t addr = IcomCivAddress(model);
        t.channelLabel = chLabel;
        const std::string civ = CivDigits(ch.TransmitFreq);
        std::vector<uint8_t> f;
        if (civ.size() == 10)
            for (size_t pos : {8u, 6u, 4u, 2u, 0u})
                if (auto b = HexPair(civ, pos))
                    f.push_back(*b);
        if (f.size() != 5) {
            t.errors.push_back("Error setting frequency");
            t.usbLabel = ch.SideBand;
            return t;
        }
        std::vector<uint8_t> freqFrame{0xFE, 0xFE, addr, 0xE0, 0x05};
        for (uint8_t b : f)
            freqFrame.push_back(b);
        freqFrame.push_back(0xFD);
        t.commands.push_back(RadioWire::EscapeFrame(freqFrame));
        t.freqLabel = ShortLabelText(ch.TransmitFreq);
        const uint8_t m = ch.SideBand == "USB" ? 0x01 : 0x00;
        t.commands.push_back(RadioWire::EscapeFrame({0xFE, 0xFE, addr, 0xE0, 0x06, m, 0x01, 0xFD}));
        t.usbLabel = ch.SideBand;
    } else if (IsBarrett(model)) {
        t.commands.push_back(Format("XC%3.3d", number));
    } else if (model == TRadioModel::KenwoodTK90) {
        t.commands.push_back(Format("MC%3.3d\rMC\r", number));
    } else if (model == TRadioModel::KenwoodTRC80) {
        t.commands.push_back(Format("MC%3.3d;MC;", number));
    } else if (model == TRadioModel::KenwoodTS850) {
        t.channelLabel = chLabel;
        if (ch.SideBand == "LSB")
            t.commands.push_back("MD1;IF;");
        else if (ch.SideBand == "USB")
            t.commands.push_back("MD2;IF;");
        t.usbLabel = ch.SideBand;
        t.receiveCommand = t.commands.size();
        t.commands.push_back("FA" + Ts850Digits(ch.TransmitFreq) + ";IF;");
        t.freqLabel = LabelText(ch.TransmitFreq);
    } else if (model == TRadioModel::VertexVX1700) {
        t.channelLabel = chLabel;
        auto rx = Vx1700Bytes(ch.ReceiveFreq);
        auto tx = Vx1700Bytes(ch.TransmitFreq);
        if (!rx || !tx) {
            // Only a frequency outside the NNNNN.NNN form gets here.
            t.errors.push_back("Error setting frequency");
            t.usbLabel = ch.SideBand;
            return t;
        }
        rx->push_back(0x0A);
        t.commands.push_back(RadioWire::EscapeFrame(*rx));
        t.freqLabel = ShortLabelText(ch.ReceiveFreq);
        tx->push_back(0x8A);
        t.commands.push_back(RadioWire::EscapeFrame(*tx));
        const uint8_t m = ch.SideBand == "USB" ? 0x09 : 0x08;
        t.commands.push_back(RadioWire::EscapeFrame({0x00, 0x00, 0x00, m, 0x0C}));
        t.usbLabel = ch.SideBand;
        t.waitMs = scanStep ? 0 : 1000;
    }
    return t;
}

std::vector<std::string> BarrettProgram(int number, const TChannel& ch, bool usable)
{
    const std::string mode = ch.SideBand == "LSB" ? "BL" : "BU";
    char buf[128];
    std::snprintf(buf, sizeof buf, "PC%4.4dR%8.8sT%8.8sHH%2.2s", number,
                  HzDigits(ch.ReceiveFreq).c_str(), HzDigits(ch.TransmitFreq).c_str(),
                  mode.c_str());
    std::vector<std::string> out{buf};
    std::snprintf(buf, sizeof buf, usable ? "PC%4.4d%2.2sSY" : "PC%4.4d%2.2sSN", number, "ZN");
    out.push_back(buf);
    return out;
}

std::string BarrettResume(const std::string& resumeScan)
{
    if (resumeScan == "0" || resumeScan == "1" || resumeScan == "2" || resumeScan == "3")
        return "ER" + resumeScan;
    return std::string();
}

std::vector<std::string> ChannelQuery(TRadioModel model)
{
    std::vector<std::string> out;
    if (model == TRadioModel::KenwoodTK90)
        for (int n = 1; n <= 99; ++n)
            out.push_back(Format("MC%3.3d\rIF\r", n));
    else if (model == TRadioModel::KenwoodTRC80)
        for (int n = 1; n <= 79; ++n)
            out.push_back(Format("MC%3.3d;IF;", n));
    return out;
}

} // namespace RadioCommands
