#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/channel_list.h"
#include "link/radio/radio_model.h"

// The commands each radio model needs, built from the channel table's
// NNNNN.NNN kHz texts.
namespace RadioCommands {

// Frequency texts of one NNNNN.NNN string.
std::string MhzText(const std::string& freq);        // 14313.250 -> 14.313250
std::string HzDigits(const std::string& freq);       // -> 14313250
std::string CivDigits(const std::string& freq);      // -> 0014313250
std::string Ts850Digits(const std::string& freq);    // -> 00014313250
std::string LabelText(const std::string& freq);      // -> 14313.2
std::string ShortLabelText(const std::string& freq); // 02182.000 -> 2182.0

// What tuning one channel does: the commands to queue, the panel labels to
// set, the lines to show and the wait that follows.
struct TTuning {
    std::vector<std::string> commands;
    std::optional<std::string> channelLabel;
    std::optional<std::string> freqLabel;
    std::optional<std::string> usbLabel;
    std::vector<std::string> errors; // shown and logged
    uint32_t waitMs = 0;
    // The command once sent to which the radio receives on the channel;
    // none when there are no commands.
    size_t receiveCommand = 0;
};

// Tuning for channel `number` (from 1). A scan step puts the ICOM sentence
// radios' remote-on first and never waits.
TTuning Tune(TRadioModel model, int number, const TChannel& channel, bool scanStep);

// The BARRETT channel programming for channel `number`: the PC...R...T...HH..
// command and the PC....ZNSY / ZNSN use command.
std::vector<std::string> BarrettProgram(int number, const TChannel& channel, bool usable);
// "ER0".."ER3" for [950] RESUMESCAN "0".."3"; empty for anything else.
std::string BarrettResume(const std::string& resumeScan);

// The channel read-out of the KENWOOD memory-channel radios; empty for the
// other models.
std::vector<std::string> ChannelQuery(TRadioModel model);

// Remote-mode sentences of the ICOM sentence radios.
std::string IcomRemote(TRadioModel model, bool on);

} // namespace RadioCommands
