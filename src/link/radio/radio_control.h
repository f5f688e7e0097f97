#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "core/channel_list.h"
#include "core/config.h"
#include "core/station_list.h"
#include "link/radio/radio_commands.h"
#include "link/radio/radio_model.h"
#include "link/window_timer.h"

// The panel labels that radio control writes.
enum class TRadioLabel { Status, Channel, Freq, SideBand };

// What radio control needs of the link control window. Everything runs on
// the GUI thread.
class TRadioHost {
public:
    virtual ~TRadioHost() = default;
    // One byte to the modem port; throws when the port refuses it.
    virtual void PutModemByte(uint8_t b) = 0;
    virtual void AddStatusLine(const std::string& text, bool show) = 0;
    virtual void ShowRadioStatus(const std::string& text, const std::string& detail) = 0;
    virtual void SetRadioLabel(TRadioLabel label, const std::string& text) = 0;
    virtual void ConfigureRadioPort(int speed) = 0;
    virtual bool ModemReady() const = 0;
    virtual bool Linked() const = 0;
    // A manual call or an automatic link attempt is under way.
    virtual bool CallUnderway() const = 0;
    virtual bool VoiceShowing() const = 0;
    // The millisecond tick counter and one turn of the message loop, for the
    // tuning waits (tests step a clock of their own here).
    virtual uint32_t TickCount() = 0;
    virtual void ProcessMessages() = 0;
};

// The window timers radio control works with (owned by the window).
struct TRadioTimers {
    TWindowTimer& RadioCmdProcess; // 50 ms, enabled
    TWindowTimer& RadioDeadMan;    // 1000 ms, enabled
    TWindowTimer& ScanTimer;       // 5000 ms, disabled
    TWindowTimer& ALETimer;        // switched by the BARRETT scan answers
};

// The transceiver behind the modem's radio port: the command queue with its
// dead-man watch, per-model set-up and channel read-out, channel tuning,
// scanning and the reply parser. One command is in flight at a time; the
// reply parser or the dead-man watch releases it.
//
// Decisions:
// - Each command gets its own no-answer count from 0, and a VX-1700 drop
//   sets it back to 0, rather than a new head inheriting the count and a
//   drop leaving it above 2: with the count carried over, a command sent
//   just before a tick is declared lost about a second later, so a VX-1700
//   that answered slowly once drops commands it would answer (a tuning
//   lost), one a second, and the other models send commands twice.
class TRadioControl {
public:
    TRadioControl(TConfig& config, TStationList& stations, TChannelList& channels,
                  TRadioTimers timers, TRadioHost& host);

    TRadioControl(const TRadioControl&) = delete;
    TRadioControl& operator=(const TRadioControl&) = delete;

    // Appends a command unless it equals the last entry. An empty command is
    // refused: it would hold the queue without ever being answered.
    void QueueRadioCommand(const std::string& command);
    void RadioCmdProcessTimer();
    void RadioDeadManTimer();

    void InitRadio();
    void QueryRadioChannels();
    // Tunes channel `number` (from 1) and waits as the model needs.
    void TuneChannel(int number);
    void SetScanning(bool start);
    void ScanTimerTimer();
    // A call came in on the channel the radio is on: the scan steps not yet
    // sent are dropped, so nothing moves the radio off it, and the channel
    // read-out shows it again.
    void HoldChannel();

    void ProcessRadioByte(uint8_t b);

    // Empties the queue and forgets the command in flight (port opened).
    void ClearQueue();
    // A call is placed: the dead-man watch starts counting afresh.
    void ResetDeadMan() { FDeadManCount = 0; }
    // The ICOM sentence radios' REMOTE,OFF with CR LF, straight to the port.
    void SendRemoteOff();

    TRadioModel Model() const;

    // State, for the window and for tests.
    std::vector<std::string> QueuedCommands() const;
    bool AwaitingReply() const { return FAwaitingReply; }
    int DeadManCount() const { return FDeadManCount; }
    int ScanPosition() const { return FScanPosition; }
    // The channel (from 1) whose receiving frequency last went to the
    // radio, by a scan step or a call; 0 when not known (no tuning yet, or a
    // radio that scans by itself).
    int TunedChannel() const { return FTunedChannel; }
    int ScanCount() const { return FScanCount; }
    const std::string& ReplyBuffer() const { return FReplyBuffer; }

private:
    struct TEntry {
        std::string command;
        uint64_t id;
        bool fromScan;
        uint64_t tuning = 0; // the tuning it belongs to; 0 for none
        int receives = 0;    // the channel the radio receives on once it is sent
    };

    void Queue(const TEntry& entry);
    void ApplyTuning(const RadioCommands::TTuning& tuning, bool fromScan, int channel);
    void ShowTuning(const RadioCommands::TTuning& tuning);
    // Drops the scan steps not yet sent (the command in flight stays, so its
    // answer releases it), but for the rest of one whose receiving
    // frequency went out: the radio is on that channel, in its mode too.
    void DropScanSteps();
    void SendNow(const std::string& command, TRadioModel model);
    void Log(const std::string& text) { FHost.AddStatusLine(text, false); }
    // The radio answered the command in flight.
    void Acknowledge();
    void Wait(uint32_t ms);

    void ParseIcomNmea(uint8_t b);
    void ParseIcomCiv(uint8_t b, TRadioModel model);
    void ParseBarrett(uint8_t b);
    void ParseKenwood(uint8_t b, TRadioModel model);
    void ParseVertex(uint8_t b);

    TConfig& FConfig;
    TStationList& FStations;
    TChannelList& FChannels;
    TRadioTimers FTimers;
    TRadioHost& FHost;

    std::deque<TEntry> FQueue;
    uint64_t FNextId = 1;
    uint64_t FNextTuning = 1;
    bool FAwaitingReply = false;
    int FDeadManCount = 0;
    uint64_t FLastHeadId = 0; // 0: none
    std::string FReplyBuffer;
    int FScanPosition = 0;
    int FScanCount = 0;
    int FTunedChannel = 0;
};
