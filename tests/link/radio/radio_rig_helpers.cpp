#include "radio_rig_helpers.h"

#include <stdexcept>

#include "link/radio/radio_wire.h"
#include "platform/data_root.h"

TRadioRig::TRadioRig(const std::string& type, const std::vector<std::string>& chans,
                     const std::string& flags)
    : simRadio(type), modem(&simRadio)
{
    config = std::make_unique<TConfig>(dir.Dir() + "/skipmail.INI");
    config->Radio.Type = type;
    stations = std::make_unique<TStationList>();
    channels = std::make_unique<TChannelList>();
    TStation self;
    self.Name = "HOME";
    self.Call = "HOME1";
    self.ChannelFlags = flags;
    stations->Add(self);
    for (const std::string& c : chans) {
        TChannel ch;
        ch.TransmitFreq = c.substr(0, 9);
        ch.ReceiveFreq = c.substr(10, 9);
        ch.SideBand = c.substr(20);
        channels->Add(ch);
    }
    radio = std::make_unique<TRadioControl>(
        *config, *stations, *channels, TRadioTimers{cmdTimer, deadManTimer, scanTimer, aleTimer},
        *this);
}

TRadioRig::~TRadioRig()
{
    radio.reset();
    // Another rig may have moved the data root; the tables save into ours.
    DataRoot::Set(dir.Dir());
    channels.reset();
    stations.reset();
    config.reset();
}

void TRadioRig::PutModemByte(uint8_t b)
{
    if (failBytes > 0) {
        --failBytes;
        throw std::runtime_error("port error");
    }
    port += static_cast<char>(b);
    fromModem += modem.Feed(std::string(1, static_cast<char>(b)));
}

void TRadioRig::Deliver()
{
    while (fromModem.size() >= 4) {
        // The simulated modem answers radio bytes as 0x80 0x35 0x80 b.
        const uint8_t b = static_cast<uint8_t>(fromModem[3]);
        fromModem.erase(0, 4);
        radio->ProcessRadioByte(b);
    }
}

void TRadioRig::Pump(int ticks)
{
    for (int i = 0; i < ticks; ++i) {
        radio->RadioCmdProcessTimer();
        Deliver();
        if (radio->QueuedCommands().empty() && !radio->AwaitingReply())
            return;
    }
}

void TRadioRig::ClearCapture()
{
    port.clear();
    lines.clear();
    labels.clear();
    radioStatus.clear();
    speeds.clear();
    modem.radioBytes.clear();
}

void TRadioRig::AddStatusLine(const std::string& text, bool show)
{
    lines.emplace_back(text, show);
}

void TRadioRig::ShowRadioStatus(const std::string& text, const std::string&)
{
    radioStatus.push_back(text);
}

void TRadioRig::SetRadioLabel(TRadioLabel label, const std::string& text)
{
    labels.emplace_back(label, text);
}

void TRadioRig::ConfigureRadioPort(int speed)
{
    speeds.push_back(speed);
    for (uint8_t b : RadioWire::PortSettings(speed, config->Radio.Type == "VERTEX VX-1700"))
        PutModemByte(b);
}

void TRadioRig::ProcessMessages()
{
    // One turn of the loop: 100 ms pass and the queue timer fires.
    ++pumps;
    now += 100;
    radio->RadioCmdProcessTimer();
    if (answer)
        Deliver();
}

std::string TRadioRig::Label(TRadioLabel which) const
{
    for (auto it = labels.rbegin(); it != labels.rend(); ++it)
        if (it->first == which)
            return it->second;
    return std::string();
}

bool TRadioRig::Logged(const std::string& text) const
{
    for (const auto& l : lines)
        if (l.first == text)
            return true;
    return false;
}

std::string Wrapped(const std::string& radioBytes)
{
    std::string out;
    for (char c : radioBytes) {
        out += "\x80\x34";
        if (static_cast<uint8_t>(c) == 0x80 || static_cast<uint8_t>(c) == 0x81)
            out += '\x81';
        out += c;
        out += "\x80\x33";
    }
    return out;
}

std::string Bytes(std::initializer_list<int> bytes)
{
    std::string out;
    for (int b : bytes)
        out += static_cast<char>(b);
    return out;
}
