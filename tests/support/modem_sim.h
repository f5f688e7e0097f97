#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "support/sim_radio.h"

// The HF modem as the station sees it on its serial port, written from the
// frame rules alone (not from the station's own framing code):
// - commands 0x80 c, each argument as 0x80 b (0x6D takes five arguments);
// - radio-port groups 0x80 0x34 .. 0x80 0x33, 0x81 escaping a byte inside;
//   the bytes go to the simulated radio, whose answers come back one byte
//   per message 0x80 0x35 0x80 b;
// - link data (0x81 escaping a literal byte) is echoed as transmitted:
//   message 0x6A with a count byte and the bytes, each as 0x80 b;
// - the configure command 0x50 is answered with the status message 0x68
//   (under a sky, after it has ended the modem's link);
//   0x51 with the three version reports 0x70 (DSP), 0x71 (CPU), 0x72
//   (waveform), each a text ended by 0x00 in 0x80 b pairs;
// - link statistics (0x73 this end, 0x74 the far end, six fields in a text)
//   and the four tone levels (0x75) are reported when a link comes up
//   (sky_sim.h), from the fields below;
// - on demand, the hardware-error report 0x6F with the error number;
// - the call commands 0x20 (six arguments) and 0x21 (eight) go to OnCommand
//   once their arguments are in, as does every other command.
// Alone, the modem echoes link data at once (sent into empty air); under a
// sky (sky_sim.h) OnLinkData takes it instead.
class TModemSimCore {
public:
    explicit TModemSimCore(TSimRadio* radio = nullptr) : FRadio(radio) {}

    // Bytes from the station; returns what the modem sends back.
    std::string Feed(const std::string& fromStation);

    bool answerInit = true;
    std::string dspVersion = "DSP 2.10";
    std::string cpuVersion = "CPU 1.07";
    std::string waveformVariant = "VESKAR-HF";
    // What this modem's receiver measures.
    std::string statistics = "QPSK,12,-3,4,0,1200";
    std::string toneLevels = {'\x40', '\x60', '\x80', '\xA0'};

    // What the modem saw.
    std::vector<uint8_t> commands; // command codes, in order
    std::vector<std::vector<uint8_t>> arguments;
    std::string linkData;   // unescaped
    std::string radioBytes; // unwrapped radio-port bytes
    int configureCount = 0;

    // The sky's hooks: a command with its arguments, and link data.
    std::function<void(uint8_t command, const std::vector<uint8_t>& args, std::string& out)>
        OnCommand;
    std::function<void(const std::string& data)> OnLinkData;

    // Message frames, for tests that feed the station directly.
    static std::string Message(uint8_t code, const std::string& payload);
    static std::string TextMessage(uint8_t code, const std::string& text);
    // The modem's report that its hardware failed.
    static std::string HardwareError(uint8_t number);
    // The statistics reports of a link with `peer`, as this modem sends them.
    std::string StatisticsReports(const TModemSimCore& peer) const;

private:
    enum class TState { Data, Escape, Marker, Group, GroupEscape, GroupMarker };
    void Command(uint8_t c, std::string& out);
    void CommandDone(std::string& out);
    void Radio(uint8_t b, std::string& out);
    TSimRadio* FRadio;
    TState FState = TState::Data;
    int FArgsLeft = 0;
};
