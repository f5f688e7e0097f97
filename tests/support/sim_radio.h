#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A transceiver on the modem's radio port, answering as the link control
// expects of each model family:
// - ICOM M710/M802/IC-F7000: each "$PICOA,90,nn,..." sentence (CR LF ended)
//   is answered "$PICOA,nn,90,...", CR LF;
// - ICOM IC-718/IC-78: each CI-V frame to its address gets the OK frame
//   FE FE E0 addr FB FD, a frame it cannot read the NG frame (FA);
// - BARRETT 950/2050: each CR LF ended command gets "OK", CR LF, then 0x11;
// - KENWOOD TK-90 (CR ended parts), TRC-80 and TS-850 (";" ended parts):
//   set commands are silent, the queries "MC" and "IF" are answered;
// - VERTEX VX-1700: each five-byte command gets the status byte 0x00
//   (processed), or 0xFF (error) for an operation it does not know.
// A silent radio never answers.
class TSimRadio {
public:
    explicit TSimRadio(std::string type); // the [RADIO] TYPE text
    void SetSilent(bool silent) { FSilent = silent; }

    // One byte from the radio port; returns the radio's answer bytes.
    std::string Feed(uint8_t b);

    // Every complete command the radio received, as its bytes.
    const std::vector<std::string>& Commands() const { return FCommands; }
    int Channel() const { return FChannel; }
    const std::string& FrequencyHz() const { return FFreqHz; } // as last set
    const std::string& Mode() const { return FMode; }
    // The frequencies in Hz that a command set the radio to receive and to
    // transmit on; 0 until one did (or for a radio tuned by channel number).
    uint64_t ReceiveHz() const { return FRxHz; }
    uint64_t TransmitHz() const { return FTxHz; }

private:
    std::string Kenwood(const std::string& part);
    std::string FType;
    bool FSilent = false;
    std::string FBuf;
    std::vector<std::string> FCommands;
    int FChannel = 1;
    std::string FFreqHz = "00007102500";
    std::string FMode = "USB";
    uint64_t FRxHz = 0;
    uint64_t FTxHz = 0;
};
