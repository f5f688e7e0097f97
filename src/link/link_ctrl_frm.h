#pragma once

#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/daily_log.h"
#include "link/link_control.h"
#include "link/modem_frame.h"
#include "link/radio/radio_control.h"
#include "link/station_link.h"
#include "link/window_timer.h"
#include "platform/date_time.h"
#include "serial/serial_device.h"

class QAction;
class QLabel;
class QListWidget;
class QMenuBar;
class QProgressBar;
class QPushButton;
class QTextEdit;
class TApdComPort;
class TAutoLinkListFrm;
class TChatFrm;
class TConfig;
class TChannelList;
class TMsgStatusFrm;
class TRouter;
class TScheduledLinkList;
class TReceiveFileBox;
class TStationList;
class TVeskarStatisticsFrm;
class TVoiceForm;

// The link control window "5757 Link Control": the modem port and its
// frames, the radio behind the modem, and the link (calls, link states,
// automatic linking and the transfer, in TStationLink), with its labels,
// gauges and the daily link log. GUI thread only.
//
// The link's own windows hang on it: the chat window, the modem statistics
// and the automatic link list (made with it, kept for its life), the manual
// link, voice and test tone dialogs (opened from its buttons and menus) and
// the received files group. It feeds them from the link's events
// (TLinkEvents, LinkEvents()), so those hooks are its own; SendChatText,
// SendBuzz, CallStation, AddAutoLinkEntry, RemoveAutoLinkEntry and
// AutoLinkQueue act on the link; SendMail and AutoEnd (Link()) are the next
// link's options.
class TLinkCtrlFrm : public QWidget,
                     public TLinkControl,
                     private TRadioHost,
                     private TStationLinkHost {
    Q_OBJECT
public:
    // The router receives the ALE failure notices and the status window
    // the changes of the stations' outgoing mail; either may be null.
    TLinkCtrlFrm(TConfig& config, TStationList& stations, TChannelList& channels,
                 TScheduledLinkList& schedule, TRouter* router = nullptr,
                 TMsgStatusFrm* status = nullptr, QWidget* parent = nullptr);
    // Sends REMOTE,OFF to an ICOM sentence radio and closes the port after
    // the bytes have drained.
    ~TLinkCtrlFrm() override;

    // The station is ending: `why` (when not empty) is logged, the timers
    // stop, and from now on a failing modem port logs nothing, as the modem
    // may be switched off together with the station (a terminal's Ctrl+C
    // ends both). The port itself closes with the window.
    void StationStopping(const std::string& why);

    // Controls.
    QLabel* StatusLabel;
    QTextEdit* StatusEdit;
    QPushButton* SpeedButton1;
    QPushButton* VoiceBtn;
    QPushButton* AbortBtn;
    QPushButton* ChatBtn;
    QMenuBar* MainMenu1;
    QAction* VeskarStats1;
    QAction* AutoLinkList1;
    QAction* SendTestTones1;
    QAction* HardwareAbort1;
    TReceiveFileBox* ReceiveFileBox;
    QListWidget* ReceiveFileListBox;
    QPushButton* OpenBtn;
    QPushButton* DeleteBtn;
    QLabel* Label3;
    QLabel* ChannelLabel;
    QLabel* FreqLabel;
    QLabel* Label11;
    QLabel* USBLabel;
    QLabel* LinkStateLabel;
    QLabel* CountsLabel;
    QProgressBar* SendGauge;
    QProgressBar* ReceiveGauge;

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
    TVeskarStatisticsFrm* VeskarStatisticsFrm;
    TAutoLinkListFrm* AutoLinkListFrm;
    // A window of its own (no parent), freed with this one.
    std::unique_ptr<TChatFrm> ChatFrm;

    std::vector<TAutoLinkEntry>& AutoLinkQueue;

    // Runs after the box about a hardware error that the modem reported; the
    // station ends there. Called from the message loop, never from inside
    // the modem parser.
    std::function<void()> OnModemHardwareError;
    // Once when a failing port makes the modem not ready (`why`), and once
    // when the modem answers again: standard error's word for a headless
    // station.
    std::function<void(const std::string& why)> OnModemLost;
    std::function<void()> OnModemBack;
    // A line about the lost modem's port that standard error says too: a
    // device at its name that does not answer as the modem, or one this
    // user may not open.
    std::function<void(const std::string& text)> OnModemNotice;

    void AddStatusLine(const std::string& text, bool show) override;
    void ShowRadioStatus(const std::string& text, const std::string& detail) override;
    bool CheckModemReady() override;
    void SendDisconnect() { FLink.SendDisconnect(); }
    void SendAbort() { FLink.SendAbort(); }
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
    // Calls the station on `channel` (from 1; 0: the link's choice); false
    // when no call was placed.
    bool CallStation(const std::string& station, int channel, bool manual)
    {
        return FLink.CallStation(station, channel, manual);
    }
    void LinkEstablished(const std::string& peerId) { FLink.LinkEstablished(peerId); }
    void LinkFailed() { FLink.LinkFailed(); }
    void LinkDisconnected() { FLink.LinkDisconnected(); }
    void AddAutoLinkEntry(const std::string& station, const std::string& type, TDateTime next)
    {
        FLink.AddAutoLinkEntry(station, type, next);
    }
    void RemoveAutoLinkEntry(int index) { FLink.RemoveAutoLinkEntry(index); }
    void BuildAutoLinkSchedule() override { FLink.BuildAutoLinkSchedule(); }
    void QueryRadioChannels() override { FRadio.QueryRadioChannels(); }
    void SetScanning(bool start) override { FRadio.SetScanning(start); }
    void SetALETimerEnabled(bool enabled) override { ALETimer.SetEnabled(enabled); }
    void SetChannelReadoutVisible(bool visible) override;
    void InitRadio() { FRadio.InitRadio(); }
    void TuneChannel(int channel) override { FRadio.TuneChannel(channel); }

    // Timer handlers.
    void ModemInitTimerTimer();
    void RadioCmdProcessTimer() { FRadio.RadioCmdProcessTimer(); }
    void RadioDeadManTimer() { FRadio.RadioDeadManTimer(); }
    void ScanTimerTimer() { FRadio.ScanTimerTimer(); }
    void EndLinkTimerTimer() { FLink.EndLinkTimerTimer(); }
    void ALETimerTimer() { FLink.ALETimerTimer(); }

    // Announces a modem reconfiguration that waits for the link's end.
    void RequestReinitialize();

    // The operator's commands.
    void SpeedButton1Click();
    void VoiceBtnClick();
    // While linked, the abort first tells the peer (kOperatorEnd) and goes
    // to the modem once the modem has sent that (or after
    // kOperatorEndWaitMs); pressed again meanwhile, it goes at once.
    void HardwareAbortClick();
    bool AbortPending() const { return FAbortPending; }
    void SendTestTones1Click();
    void ChatBtnClick();
    void VeskarStats1Click();
    void AutoLinkList1Click();
    void RefreshReceivedFiles();
    // A modem command without arguments; a refused port is logged.
    void SendModemCommand(uint8_t command);

    bool IsModemReady() const { return FModemReady; }
    bool IsLinked() const { return FLink.Linked(); }
    uint32_t BytesInFlight() const { return FLink.BytesInFlight(); }
    TRadioControl& Radio() { return FRadio; }
    TStationLink& Link() { return FLink; }
    TLinkEvents& LinkEvents() { return FLink.Events; }
    const std::string& LinkStation() const { return FLink.LinkStation(); }

protected:
    void showEvent(QShowEvent* event) override;

private:
    // TRadioHost
    void PutModemByte(uint8_t b) override;
    void SetRadioLabel(TRadioLabel label, const std::string& text) override;
    bool ModemReady() const override { return FModemReady; }
    bool Linked() const override { return FLink.Linked(); }
    bool CallUnderway() const override { return FLink.CallUnderway(); }
    bool VoiceShowing() const override;
    uint32_t TickCount() override;
    void ProcessMessages() override;

    // TStationLinkHost
    bool PutModemBytes(const std::vector<uint8_t>& bytes) override;
    void ResetDeadMan() override { FRadio.ResetDeadMan(); }
    void HoldChannel() override { FRadio.HoldChannel(); }
    int CurrentChannel() const override { return FRadio.TunedChannel(); }
    bool RadioPresent() const override;
    void LinkEnded() override;
    void ShowLinkState(const std::string& text) override;
    void ShowCounts(const std::string& text) override;
    void ShowProgress(bool sending, uint64_t done, uint64_t total) override;
    void AleFailure(const std::string& station) override;
    void MailboxChanged() override;

    // A write the modem port refused, or its device gone: the modem is not
    // ready and is configured again.
    void ModemPortFailed(const std::string& why);
    void CheckModemPort();
    // After a failure: true while the port is open on a device that is
    // there and may yet be the modem; else it opens the port again by its
    // name (at most once a second) and says why not once per cause. A device
    // opened so that does not answer a configure within kModemTrialMs is let
    // go (LetGoUnanswering) and not opened again while the name leads to it.
    bool ReopenLostPort();
    void LetGoUnanswering();
    // The window while the modem is away (the status says it is waited for,
    // no channel shown), and once it is back.
    void ShowModemAway(bool away);
    void PutBytes(const std::vector<uint8_t>& bytes);
    void ModemDataAvailable();
    void FlushLinkData();
    void SendModemConfigure();
    void ConnectLinkEvents();
    void ResetLinkButton();
    // The hardware abort proper; `due`: only once the notice has left the
    // modem, the link has ended, or the wait is over.
    void FinishAbort(bool due = false);

    TConfig& FConfig;
    TStationList& FStations;
    TChannelList& FChannels;
    TScheduledLinkList& FSchedule;
    TRouter* FRouter;
    TMsgStatusFrm* FStatus;
    TDailyLog FLog{"LINKCTRL_"};
    TRadioControl FRadio;
    TStationLink FLink;
    ModemFrame::TParser FParser;
    std::string FLinkData; // link data read, not yet handed to the link

    bool FModemReady = false;
    // A write failed since the modem last answered; the port's error lines
    // logged meanwhile.
    bool FPortFailed = false;
    std::set<std::string> FPortErrors;
    // The last reopening of a failed port, and why it did not open.
    uint32_t FLastReopenTick = 0;
    bool FReopenTried = false;
    std::string FReopenCause;
    // A device opened by the name after a loss that has not answered yet,
    // and when it was opened.
    bool FOnTrial = false;
    uint32_t FTrialTick = 0;
    // The last device that did not answer, while the name leads to it.
    std::optional<TDeviceId> FRefused;
    // The channel readout is wanted (a radio is set), shown while the modem is there.
    bool FReadoutWanted = false;
    bool FReinitPending = false;
    std::string FLastRadioStatus;
    // What the radio side last put on the status line; a call or a link
    // shows its own state there instead.
    std::string FRadioStatusLine;
    uint32_t FLastConfigureTick = 0;
    bool FConfigureSent = false;
    // The voice dialog is open.
    bool FVoiceMode = false;
    bool FStopping = false;
    bool FAbortPending = false;
    uint32_t FAbortStartTick = 0;
};
