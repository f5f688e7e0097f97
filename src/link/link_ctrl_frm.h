#pragma once

#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/daily_log.h"
#include "link/link_control.h"
#include "link/modem_frame.h"
#include "link/radio/radio_control.h"
#include "link/window_timer.h"
#include "platform/date_time.h"

class QLabel;
class QPushButton;
class QTextEdit;
class TApdComPort;
class TConfig;
class TChannelList;
class TScheduledLinkList;
class TStationList;
class TVoiceForm;

// One attempt waiting in the automatic link queue.
struct TAutoLinkEntry {
    std::string StationName;
    std::string Type; // "Auto" or "Scheduled"
    int32_t Attempts = 0;
    TDateTime NextAttempt = 0;
};

// The link control window "5757 Link Control": the modem port and its
// frames, the radio behind the modem, the link state and the daily link log.
// GUI thread only.
class TLinkCtrlFrm : public QWidget, public TLinkControl, private TRadioHost {
    Q_OBJECT
public:
    TLinkCtrlFrm(TConfig& config, TStationList& stations, TChannelList& channels,
                 TScheduledLinkList& schedule, QWidget* parent = nullptr);
    // Sends REMOTE,OFF to an ICOM sentence radio and closes the port after
    // the bytes have drained.
    ~TLinkCtrlFrm() override;

    // Controls.
    QLabel* StatusLabel;
    QTextEdit* StatusEdit;
    QPushButton* SpeedButton1;
    QPushButton* VoiceBtn;
    QPushButton* AbortBtn;
    QLabel* Label3;
    QLabel* ChannelLabel;
    QLabel* FreqLabel;
    QLabel* Label11;
    QLabel* USBLabel;

    // Timers.
    TWindowTimer SendFileTimer{250, true};
    TWindowTimer ModemInitTimer{1000, true};
    TWindowTimer RadioCmdProcess{50, true};
    TWindowTimer RadioDeadMan{1000, true};
    TWindowTimer ScanTimer{5000, false};
    TWindowTimer SelCallTimer{30000, false};
    TWindowTimer EndLinkTimer{10000, false};
    TWindowTimer ALETimer{60000, false};

    TApdComPort* MDM7300;
    TVoiceForm* VoiceForm;

    std::vector<TAutoLinkEntry> AutoLinkQueue;

    // Runs after the box about a hardware error that the modem reported; the
    // station ends there. Called from the message loop, never from inside
    // the modem parser.
    std::function<void()> OnModemHardwareError;

    void AddStatusLine(const std::string& text, bool show) override;
    void ShowRadioStatus(const std::string& text, const std::string& detail) override;
    bool CheckModemReady();
    void SendDisconnect();
    void SendAbort();
    void SetIdleState();
    void ConfigureRadioPort(int speed) override;
    void QueueRadioCommand(const std::string& command) { FRadio.QueueRadioCommand(command); }
    // Chat text in one frame; false when too much is in flight (nothing is
    // sent) or when the port refused it.
    bool SendChatText(const std::string& text);
    void SendBuzz(uint8_t code);
    void ProcessModemMessage(uint8_t code, const std::string& payload);
    void ProcessRadioByte(uint8_t b) { FRadio.ProcessRadioByte(b); }
    // Opens (or reopens) the modem port on COM `portNumber` and restarts the
    // modem initialisation; 1 on success, 0 when the port cannot be opened.
    int OpenModemPort(int portNumber) override;
    // Tunes the channel (from 1) and marks the call to `station` under way.
    void CallStation(const std::string& station, int channel, bool manual);
    // The call ended without a link; a busy channel resumes scanning.
    void CallGivenUp(bool channelBusy);
    void LinkEstablished();
    void LinkFailed();
    void LinkDisconnected();
    void AddAutoLinkEntry(const std::string& station, const std::string& type, TDateTime next);
    void RemoveAutoLinkEntry(int index);
    void BuildAutoLinkSchedule() override;
    void QueryRadioChannels() override { FRadio.QueryRadioChannels(); }
    void SetScanning(bool start) override { FRadio.SetScanning(start); }
    void SetALETimerEnabled(bool enabled) override { ALETimer.SetEnabled(enabled); }
    void SetChannelReadoutVisible(bool visible) override;
    void InitRadio() { FRadio.InitRadio(); }
    void TuneChannel(int channel) { FRadio.TuneChannel(channel); }

    // Timer handlers.
    void ModemInitTimerTimer();
    void RadioCmdProcessTimer() { FRadio.RadioCmdProcessTimer(); }
    void RadioDeadManTimer() { FRadio.RadioDeadManTimer(); }
    void ScanTimerTimer() { FRadio.ScanTimerTimer(); }

    // Announces a modem reconfiguration that waits for the link's end.
    void RequestReinitialize();

    bool IsModemReady() const { return FModemReady; }
    bool IsLinked() const { return FLinked; }
    uint32_t BytesInFlight() const;
    TRadioControl& Radio() { return FRadio; }
    const std::string& LinkStation() const { return FLinkStation; }

private:
    // TRadioHost
    void PutModemByte(uint8_t b) override;
    void SetRadioLabel(TRadioLabel label, const std::string& text) override;
    bool ModemReady() const override { return FModemReady; }
    bool Linked() const override { return FLinked; }
    bool CallUnderway() const override { return FManualCall || FAutoLinkAttempt; }
    bool VoiceShowing() const override;
    uint32_t TickCount() override;
    void ProcessMessages() override;

    void PutBytes(const std::vector<uint8_t>& bytes);
    void ModemDataAvailable();
    void SendLinkData(const std::string& bytes);
    void SendModemConfigure();

    TConfig& FConfig;
    TStationList& FStations;
    TChannelList& FChannels;
    TScheduledLinkList& FSchedule;
    TDailyLog FLog{"LINKCTRL_"};
    TRadioControl FRadio;
    ModemFrame::TParser FParser;

    bool FLinked = false;
    bool FModemReady = false;
    bool FManualCall = false;
    bool FAutoLinkAttempt = false;
    bool FReinitPending = false;
    std::string FLinkStation;
    std::string FLastRadioStatus;
    uint32_t FLastConfigureTick = 0;
    bool FConfigureSent = false;

    mutable std::mutex FFlightLock;
    uint32_t FBytesInFlight = 0;
};
