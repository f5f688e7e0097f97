#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/channel_list.h"
#include "core/config.h"
#include "core/station_list.h"
#include "link/radio/radio_control.h"
#include "support/modem_sim.h"
#include "support/sim_radio.h"
#include "support/test_files.h"

// Radio control on a capturing host: every byte for the modem port is kept
// and fed to a simulated modem with the simulated radio of the type; the
// radio's answers come back through Deliver().
class TRadioRig : public TRadioHost {
public:
    // `channels`: "TX/RX/SB" texts; `flags`: this station's channel flags.
    TRadioRig(const std::string& type, const std::vector<std::string>& channels,
              const std::string& flags);
    ~TRadioRig() override;

    // Runs the queue against the radio until it is empty and nothing is in
    // flight (at most `ticks` process ticks).
    void Pump(int ticks = 1000);
    // Hands the radio's pending answers to the reply parser.
    void Deliver();
    // Forgets what was captured so far.
    void ClearCapture();

    TempRoot dir;
    std::unique_ptr<TConfig> config;
    std::unique_ptr<TStationList> stations;
    std::unique_ptr<TChannelList> channels;
    TWindowTimer cmdTimer{50, true};
    TWindowTimer deadManTimer{1000, true};
    TWindowTimer scanTimer{5000, false};
    TWindowTimer aleTimer{60000, false};
    TSimRadio simRadio;
    TModemSimCore modem;
    std::unique_ptr<TRadioControl> radio;

    // Captured.
    std::string port;                                // every byte to the modem
    std::vector<std::pair<std::string, bool>> lines; // status lines, show flag
    std::vector<std::pair<TRadioLabel, std::string>> labels;
    std::vector<std::string> radioStatus;
    std::vector<int> speeds;
    std::string fromModem; // answers not yet delivered

    // Host state.
    bool modemReady = true;
    bool linked = false;
    bool callUnderway = false;
    bool voiceShowing = false;
    bool answer = true; // deliver answers inside waits
    int failBytes = 0;  // the next n bytes throw
    uint32_t now = 1000;
    int pumps = 0;

    std::string Label(TRadioLabel which) const;
    bool Logged(const std::string& text) const;

    void PutModemByte(uint8_t b) override;
    void AddStatusLine(const std::string& text, bool show) override;
    void ShowRadioStatus(const std::string& text, const std::string& detail) override;
    void SetRadioLabel(TRadioLabel label, const std::string& text) override;
    void ConfigureRadioPort(int speed) override;
    bool ModemReady() const override { return modemReady; }
    bool Linked() const override { return linked; }
    bool CallUnderway() const override { return callUnderway; }
    bool VoiceShowing() const override { return voiceShowing; }
    uint32_t TickCount() override { return now; }
    void ProcessMessages() override;
};

// Each radio byte as the modem sees it: 0x80 0x34 [0x81] b 0x80 0x33.
std::string Wrapped(const std::string& radioBytes);
std::string Bytes(std::initializer_list<int> bytes);
