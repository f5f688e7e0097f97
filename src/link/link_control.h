#pragma once

#include <string>

// What the station configuration dialog needs of the link control window:
// scanning and the automatic-link timer stand still while the dialog is
// open, and the window takes new settings up when it is confirmed.
class TLinkControl {
public:
    virtual ~TLinkControl() = default;

    virtual void SetScanning(bool start) = 0;
    virtual void BuildAutoLinkSchedule() = 0;
    virtual void AddStatusLine(const std::string& text, bool show) = 0;
    // Opens (or reopens) the modem port on COM `portNumber`: 1 on success,
    // else the serial library's (negative) error code.
    virtual int OpenModemPort(int portNumber) = 0;
    virtual void ConfigureRadioPort(int speed) = 0;
    // Queues the read-out of the channels programmed into a Kenwood radio.
    virtual void QueryRadioChannels() = 0;
    // Switches the automatic-link timer (ALETimer).
    virtual void SetALETimerEnabled(bool enabled) = 0;
    // Shows or hides the channel read-out: "CH:", channel, frequency, "kHz"
    // and side band.
    virtual void SetChannelReadoutVisible(bool visible) = 0;
};
