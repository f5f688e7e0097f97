#pragma once

#include "fax/fax_components.h"
#include "fax/fax_server_manager.h"
#include "serial/ad_misc.h"

#include <QPointer>
#include <functional>
#include <string>
#include <vector>

// The fax server: one fax modem port as a sending and receiving station.
// While it monitors, its receiver answers calls; at each tick of its send
// query it asks its server manager for the next due job and, when there is
// one, stops the waiting receiver, sends the job's fax to the job's
// recipient, records the result in the job file and goes back to
// answering. Everything is reported through its own events.
//
// Choices made here:
// - Only port and modem faults end monitoring as fatal errors: codes of the
//   port and serial layers (-1001 to -3999), trigger slots (-5001 to
//   -5003), "Bad response from modem" (-8061) and "Error while initializing
//   modem" (-8063). Every other failure of a call (busy, no answer, no
//   carrier, voice, no dial tone, time-outs, a failed session) is a normal
//   end, and a send that failed so is tried again DialRetryWait seconds
//   later until DialAttempts attempts have been made. A send lost to a
//   port or modem fault counts as an attempt and waits the same.
// - After a fatal error the server stays idle (no query, no monitoring)
//   until the application switches it on again.
// - A modem that goes away (its device lost, as an unplugged USB modem) is
//   no fatal error: the call it was in ends with the serial layer's code
//   (-2005) as a failed attempt or a broken-off fax, the port is closed,
//   and each later query opens it again until the device is back; the
//   receiver then answers again. Meanwhile due jobs wait as for a port that
//   will not open, and monitoring stays on.
// - The receiver's cancel is ignored only when the server cancels a
//   receiver whose call is running, and only that receiver's finish is
//   swallowed; a finish with 0 (a fax got in before the cancel) is handled
//   as a received fax.
// - Nothing new starts on the port while a cancelled receiver's run is
//   still ending: a send, or the receiver itself after monitoring was
//   switched off and on again, waits up to ten seconds for that run.
// - A job whose recipient has no phone number (nothing a modem dials) is
//   not dialled: the recipient is recorded as handled with "Bad argument"
//   (-1002), the finish event reports that code, and the current recipient
//   record then counts every attempt as used (the job file keeps the true
//   count).
// - A due job whose port cannot be opened, or whose waiting receiver does
//   not end within ten seconds of its cancel, gets result 2007 (not final,
//   and not counted as an attempt: a modem away for a while does not use
//   up the job's attempts) and its extracted files are deleted.
// - A received fax is printed (PrintOnReceive) only when it came in whole.
//   A call may bring several documents, each in a file of its own: every
//   one is printed, in the order they came; when the call broke off, all
//   but its last one (they ended before the break).
// - A query interval of 0 stops the query timer (instead of a timer that
//   fires without pause).
// - "Now" (for retries) comes from Clock and the pause after cancelling the
//   receiver from Delay; tests replace both.
// - The server's status display is given to its sender and receiver, which
//   update it; the server relabels it for jobs.

enum class TFaxServerMode : uint8_t { fsmIdle, fsmSend, fsmReceive };
enum class TFaxServerLogCode : uint8_t {
    fslNone,
    fslPollingEnabled,
    fslPollingDisabled,
    fslMonitoringEnabled,
    fslMonitoringDisabled
};

class QTimer;
class TApdCustomFaxPrinter;
class TApdCustomFaxServer;

using TFaxServerStatusEvent = std::function<void(TApdCustomFaxServer* cp, TFaxServerMode faxMode,
                                                 bool first, bool last, uint16_t status)>;
using TFaxServerFatalErrorEvent = std::function<void(
    TApdCustomFaxServer* cp, TFaxServerMode faxMode, int errorCode, int hangupCode)>;
using TFaxServerFinishEvent =
    std::function<void(TApdCustomFaxServer* cp, TFaxServerMode faxMode, int errorCode)>;
using TFaxServerPortOpenCloseEvent = std::function<void(TApdCustomFaxServer* cp, bool opening)>;
using TFaxServerAcceptEvent = std::function<void(TApdCustomFaxServer* cp, bool& accept)>;
using TFaxServerNameEvent = std::function<void(TApdCustomFaxServer* cp, std::string& name)>;
using TFaxServerLogEvent =
    std::function<void(TApdCustomFaxServer* cp, TFaxLogCode logCode, TFaxServerLogCode serverCode)>;

// Result of a job recipient without a phone number.
inline constexpr int kFaxNoPhoneNumber = AdErr::ecBadArgument;

// True for the codes that end monitoring: port and modem faults.
bool IsFaxPortOrModemFault(int errorCode);

class TApdCustomFaxServer : public TApdCustomAbstractFax {
    Q_OBJECT
public:
    explicit TApdCustomFaxServer(QObject* owner = nullptr);
    ~TApdCustomFaxServer() override;

    // Parts and partners.
    TApdSendFax* Sender() const { return Sender_; }
    TApdReceiveFax* Receiver() const { return Receiver_; }
    void SetComPort(TApdCustomComPort* value) override;
    void SetStatusDisplay(TApdAbstractFaxStatus* value) override;
    TApdFaxServerManager* ServerManager() const;
    void SetServerManager(TApdFaxServerManager* value);
    TApdCustomFaxPrinter* FaxPrinter() const;
    void SetFaxPrinter(TApdCustomFaxPrinter* value);
    bool PrintOnReceive() const { return PrintOnReceive_; }
    // Stays off without a printer.
    void SetPrintOnReceive(bool value);

    // Given to the sender and the receiver.
    bool ExitOnError() const { return Sender_->ExitOnError(); }
    void SetExitOnError(bool value);
    TFaxClass FaxClass() const { return Sender_->FaxClass(); }
    void SetFaxClass(TFaxClass value);
    int InitBaud() const { return Sender_->InitBaud(); }
    void SetInitBaud(int value);
    int NormalBaud() const { return Sender_->NormalBaud(); }
    void SetNormalBaud(int value);
    const std::string& ModemInit() const { return Sender_->ModemInit(); }
    void SetModemInit(const std::string& value);
    bool SoftwareFlow() const { return Sender_->SoftwareFlow(); }
    void SetSoftwareFlow(bool value);
    std::string StationID() const { return Sender_->StationID(); }
    void SetStationID(const std::string& value);
    uint16_t StatusInterval() const { return Sender_->StatusInterval(); }
    void SetStatusInterval(uint16_t value);
    uint16_t DesiredBPS() const { return Sender_->DesiredBPS(); }
    void SetDesiredBPS(uint16_t value);
    bool DesiredECM() const { return Sender_->DesiredECM(); }
    void SetDesiredECM(bool value);
    std::string FaxFileExt() const { return Sender_->FaxFileExt(); }
    void SetFaxFileExt(const std::string& value);
    std::string GetFaxFile() const override { return CurrentFaxFile_; }
    void SetFaxFile(const std::string& value) override;
    // Given to the sender.
    bool BlindDial() const { return Sender_->BlindDial(); }
    void SetBlindDial(bool value) { Sender_->SetBlindDial(value); }
    uint16_t BufferMinimum() const { return Sender_->BufferMinimum(); }
    void SetBufferMinimum(uint16_t value) { Sender_->SetBufferMinimum(value); }
    bool DetectBusy() const { return Sender_->DetectBusy(); }
    void SetDetectBusy(bool value) { Sender_->SetDetectBusy(value); }
    uint16_t DialWait() const { return Sender_->DialWait(); }
    void SetDialWait(uint16_t seconds) { Sender_->SetDialWait(seconds); }
    uint16_t MaxSendCount() const { return Sender_->MaxSendCount(); }
    void SetMaxSendCount(uint16_t value) { Sender_->SetMaxSendCount(value); }
    bool SafeMode() const { return Sender_->SafeMode(); }
    void SetSafeMode(bool value) { Sender_->SetSafeMode(value); }
    bool ToneDial() const { return Sender_->ToneDial(); }
    void SetToneDial(bool value) { Sender_->SetToneDial(value); }
    std::string DialPrefix() const { return Sender_->DialPrefix(); }
    void SetDialPrefix(const std::string& value) { Sender_->SetDialPrefix(value); }
    bool EnhTextEnabled() const { return Sender_->EnhTextEnabled(); }
    void SetEnhTextEnabled(bool value) { Sender_->SetEnhTextEnabled(value); }
    const std::string& EnhFont() const { return Sender_->EnhFont(); }
    void SetEnhFont(const std::string& value) { Sender_->SetEnhFont(value); }
    const std::string& EnhHeaderFont() const { return Sender_->EnhHeaderFont(); }
    void SetEnhHeaderFont(const std::string& value) { Sender_->SetEnhHeaderFont(value); }
    const std::string& PhoneNumber() const { return Sender_->PhoneNumber; }
    void SetPhoneNumber(const std::string& value) { Sender_->PhoneNumber = value; }
    const std::string& CoverFile() const { return Sender_->CoverFile; }
    void SetCoverFile(const std::string& value);
    std::string HeaderLine() const { return Sender_->HeaderLine(); }
    void SetHeaderLine(const std::string& value) { Sender_->SetHeaderLine(value); }
    std::string HeaderSender() const { return Sender_->HeaderSender(); }
    void SetHeaderSender(const std::string& value) { Sender_->SetHeaderSender(value); }
    std::string HeaderRecipient() const { return Sender_->HeaderRecipient(); }
    void SetHeaderRecipient(const std::string& value) { Sender_->SetHeaderRecipient(value); }
    std::string HeaderTitle() const { return Sender_->HeaderTitle(); }
    void SetHeaderTitle(const std::string& value) { Sender_->SetHeaderTitle(value); }
    // Given to the receiver.
    uint16_t AnswerOnRing() const { return Receiver_->AnswerOnRing(); }
    void SetAnswerOnRing(uint16_t value) { Receiver_->SetAnswerOnRing(value); }
    bool ConstantStatus() const { return Receiver_->ConstantStatus(); }
    void SetConstantStatus(bool value) { Receiver_->SetConstantStatus(value); }
    std::string DestinationDir() const { return Receiver_->DestinationDir(); }
    void SetDestinationDir(const std::string& value) { Receiver_->SetDestinationDir(value); }
    TFaxNameMode FaxNameMode() const { return Receiver_->FaxNameMode; }
    void SetFaxNameMode(TFaxNameMode value) { Receiver_->FaxNameMode = value; }
    // The server's own.
    uint16_t DelayBetweenSends = 18; // ticks of 55 ms
    int SendQueryInterval() const { return SendQueryInterval_; }
    void SetSendQueryInterval(int seconds);
    uint16_t DialRetryWait = 60; // seconds
    uint16_t DialAttempts = 3;

    bool Monitoring() const { return Monitoring_; }
    void SetMonitoring(bool value);
    TFaxServerMode FaxServerMode() const { return Mode_; }
    void SetFaxServerMode(TFaxServerMode value);

    // The files of the receive being reported (in OnFaxServerFinish or
    // OnFaxServerFatalError), one per document in the order they came; the
    // last one is the current fax file. Empty when the call stored none,
    // and outside those events.
    const std::vector<std::string>& ReceivedFiles() const { return CallFiles_; }

    // The job of the last send query.
    const std::string& CurrentJobFile() const { return CurrentJob_; }
    unsigned CurrentRecipientNum() const { return RecipientNum_; }
    const TFaxRecipientRec& CurrentRecipient() const { return Recipient_; }
    const TFaxJobHeaderRec& CurrentJobHeader() const { return JobHeader_; }

    // From the sender while sending, the receiver while receiving.
    std::string RemoteID() const;
    uint16_t FaxProgress() const;
    uint16_t HangupCode() const;
    int32_t CurrentPage() const;
    int32_t TotalPages() const;
    int32_t BytesTransferred() const;
    int32_t SessionBPS() const;
    bool SessionResolution() const;
    bool SessionWidth() const;
    bool SessionECM() const;
    uint32_t ElapsedTime() const;
    // The modem as the sender or the receiver knows it; empty or 0 while
    // idle (the server's own run has no port).
    std::string ModemModel();
    std::string ModemRevision();
    std::string ModemChip();
    int32_t ModemBPS();
    bool ModemECM();
    TFaxClassSet SupportedFaxClasses();
    uint16_t DialAttempt() const { return Sender_->DialAttempt(); }
    // The size of the current fax file, read once.
    int32_t PageLength();
    bool Busy() const { return Busy_; }
    bool ReceiverWaiting() const { return ReceiverWaiting_; }

    TFaxServerStatusEvent OnFaxServerStatus;
    TFaxServerFatalErrorEvent OnFaxServerFatalError;
    TFaxServerFinishEvent OnFaxServerFinish;
    TFaxServerPortOpenCloseEvent OnFaxServerPortOpenClose;
    TFaxServerAcceptEvent OnFaxServerAccept;
    TFaxServerNameEvent OnFaxServerName;
    TFaxServerLogEvent OnFaxServerLog;

    std::function<TDateTime()> Clock = [] { return Now(); };
    std::function<void(int32_t ticks)> Delay = [](int32_t ticks) { DelayTicks(ticks, true); };

    // The send query once, with the manager's pause lifted.
    void ForceSendQuery();
    // 1 when the server was free and queried, else 0.
    int StartTransmitSingle();
    void CancelFax() override;
    void CheckPort() override;
    QTimer* QueryTimer() const { return QueryTimer_; }

private:
    void SendQuery();
    void StartJob(const TFaxRecipientRec& recipient, const std::string& jobFile,
                  const std::string& faxFile, const std::string& coverFile);
    void RefuseJob();
    // The due job cannot have the port now: it waits for a later query.
    void PortNotFree();
    // Waits (events handled) while the receiver's cancelled run ends.
    bool ReceiverEnded();
    void StartWaiting();
    void StatusHandler(TApdCustomAbstractFax* cp, bool first, bool last);
    void LogHandler(TApdCustomAbstractFax* cp, TFaxLogCode logCode);
    void FinishHandler(TApdCustomAbstractFax* cp, int errorCode);
    void NameHandler(std::string& name);
    void PrintReceived(int errorCode);
    void FatalError(TFaxServerMode mode, int errorCode);
    // The current recipient is due again DialRetryWait seconds from now.
    void RetryLater();
    void AfterCall();
    void ClosePort();
    // The port is open on a device that went away.
    bool DeviceGone() const;
    void DeleteExtracted();
    void ReportServerLog(TFaxServerLogCode code);
    TApdCustomAbstractFax* Active() const;
    TFaxServerMode ModeOf(TApdCustomAbstractFax* cp) const;
    bool ReceiverRunning() const;

    TApdSendFax* Sender_;
    TApdReceiveFax* Receiver_;
    QTimer* QueryTimer_;
    QPointer<TApdFaxServerManager> Manager_;
    QPointer<TApdCustomFaxPrinter> Printer_;
    QPointer<TApdCustomComPort> CallbackPort_;
    bool PrintOnReceive_ = false;
    int SendQueryInterval_ = 30;
    TFaxServerMode Mode_ = TFaxServerMode::fsmIdle;
    bool Monitoring_ = false;
    bool MonitoringBeforeSend_ = false;
    bool Busy_ = false;
    bool ReceiverWaiting_ = false;
    bool IgnoreNextFinish_ = false;
    bool Destroying_ = false;
    bool Starting_ = false; // the receiver is being started
    bool PortLost_ = false; // the modem went away: its port is opened again at each query
    TFaxServerLogCode PendingLog_ = TFaxServerLogCode::fslNone;
    std::string CurrentJob_;
    unsigned RecipientNum_ = 0;
    TFaxRecipientRec Recipient_;
    TFaxJobHeaderRec JobHeader_;
    std::string CurrentFaxFile_;
    std::vector<std::string> CallFiles_;
    std::string CurrentCoverFile_;
    int32_t PageLength_ = 0;
};

class TApdFaxServer : public TApdCustomFaxServer {
    Q_OBJECT
public:
    using TApdCustomFaxServer::TApdCustomFaxServer;
};
