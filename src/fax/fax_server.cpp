#include "fax/fax_server.h"

#include "fax/ad_fax_prn.h"
#include "fax/fax_history_log.h"
#include "fax/fax_status_display.h"
#include "serial/ad_except.h"
#include "serial/ad_port.h"

#include <QDate>
#include <QLabel>
#include <QScopedValueRollback>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <filesystem>

namespace {

constexpr int32_t kReceiverCancelTicks = 18; // about a second
constexpr int kReceiverCancelTries = 10;

std::string Digits(unsigned n, int width)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%0*u", width, n);
    return buf;
}

bool Exists(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

// The code of an exception that escaped a start, as a fax error code.
int CodeOf(const std::exception& e)
{
    if (const auto* apd = dynamic_cast<const EAPDException*>(&e))
        return apd->ErrorCode();
    if (const auto* io = dynamic_cast<const EInOutError*>(&e))
        return -io->ErrorCode();
    return AdErr::ecInternal;
}

} // namespace

bool IsFaxPortOrModemFault(int errorCode)
{
    return (errorCode <= -1001 && errorCode >= -3999) ||
           (errorCode <= AdErr::ecNoMoreTriggers && errorCode >= AdErr::ecBadTriggerHandle) ||
           errorCode == AdErr::ecFaxBadModemResult || errorCode == AdErr::ecFaxInitError;
}

TApdCustomFaxServer::TApdCustomFaxServer(QObject* owner)
    : TApdCustomAbstractFax(owner, kFaxModeSend), Sender_(new TApdSendFax(this)),
      Receiver_(new TApdReceiveFax(this)), QueryTimer_(new QTimer(this))
{
    Sender_->SetAbortNoConnect(true);
    Sender_->SetDialWait(60);
    Sender_->SetDialAttempts(1);
    Sender_->SetDialRetryWait(60);
    Receiver_->SetOneFax(true);
    Receiver_->SetAbortNoConnect(true);
    Receiver_->SetFaxAndData(false);
    for (TApdCustomAbstractFax* fax : {static_cast<TApdCustomAbstractFax*>(Sender_),
                                       static_cast<TApdCustomAbstractFax*>(Receiver_)}) {
        fax->OnFaxStatus = [this](TApdCustomAbstractFax* cp, bool first, bool last) {
            StatusHandler(cp, first, last);
        };
        fax->OnFaxLog = [this](TApdCustomAbstractFax* cp, TFaxLogCode code) {
            LogHandler(cp, code);
        };
        fax->OnFaxFinish = [this](TApdCustomAbstractFax* cp, int code) { FinishHandler(cp, code); };
    }
    Receiver_->OnFaxName = [this](TApdCustomAbstractFax*, std::string& name) { NameHandler(name); };
    Receiver_->OnFaxAccept = [this](TApdCustomAbstractFax*, bool& accept) {
        if (OnFaxServerAccept)
            OnFaxServerAccept(this, accept);
    };
    QueryTimer_->setSingleShot(false);
    connect(QueryTimer_, &QTimer::timeout, this, [this] { SendQuery(); });
    // What the base took from the owner goes to the parts as well.
    TApdCustomComPort* port = ComPort();
    TApdCustomAbstractFax::SetComPort(nullptr);
    SetComPort(port);
    SetStatusDisplay(StatusDisplay());
}

TApdCustomFaxServer::~TApdCustomFaxServer()
{
    Destroying_ = true;
    QueryTimer_->stop();
    if (CallbackPort_)
        CallbackPort_->DeregisterUserCallback(this);
    // The parts go first: their events call into this object.
    delete Sender_;
    delete Receiver_;
}

// ---------------------------------------------------------------- properties

void TApdCustomFaxServer::SetComPort(TApdCustomComPort* value)
{
    if (value == ComPort())
        return;
    if (CallbackPort_)
        CallbackPort_->DeregisterUserCallback(this);
    TApdCustomAbstractFax::SetComPort(value);
    Sender_->SetComPort(value);
    Receiver_->SetComPort(value);
    CallbackPort_ = value;
    if (value)
        value->RegisterUserCallback(this, [this](TApdCustomComPort*, bool opening) {
            if (OnFaxServerPortOpenClose && !Destroying_)
                OnFaxServerPortOpenClose(this, opening);
        });
}

void TApdCustomFaxServer::SetStatusDisplay(TApdAbstractFaxStatus* value)
{
    TApdCustomAbstractFax::SetStatusDisplay(value);
    // Null while the base constructor runs.
    if (Sender_ && Receiver_) {
        Sender_->SetStatusDisplay(value);
        Receiver_->SetStatusDisplay(value);
    }
}

TApdFaxServerManager* TApdCustomFaxServer::ServerManager() const
{
    return Manager_;
}

void TApdCustomFaxServer::SetServerManager(TApdFaxServerManager* value)
{
    Manager_ = value;
}

TApdCustomFaxPrinter* TApdCustomFaxServer::FaxPrinter() const
{
    return Printer_;
}

void TApdCustomFaxServer::SetFaxPrinter(TApdCustomFaxPrinter* value)
{
    Printer_ = value;
    if (!value)
        PrintOnReceive_ = false;
}

void TApdCustomFaxServer::SetPrintOnReceive(bool value)
{
    PrintOnReceive_ = value && Printer_;
}

void TApdCustomFaxServer::SetExitOnError(bool value)
{
    Sender_->SetExitOnError(value);
    Receiver_->SetExitOnError(value);
}

void TApdCustomFaxServer::SetFaxClass(TFaxClass value)
{
    Sender_->SetFaxClass(value);
    Receiver_->SetFaxClass(value);
}

void TApdCustomFaxServer::SetInitBaud(int value)
{
    Sender_->SetInitBaud(value);
    Receiver_->SetInitBaud(value);
}

void TApdCustomFaxServer::SetNormalBaud(int value)
{
    Sender_->SetNormalBaud(value);
    Receiver_->SetNormalBaud(value);
}

void TApdCustomFaxServer::SetModemInit(const std::string& value)
{
    Sender_->SetModemInit(value);
    Receiver_->SetModemInit(value);
}

void TApdCustomFaxServer::SetSoftwareFlow(bool value)
{
    Sender_->SetSoftwareFlow(value);
    Receiver_->SetSoftwareFlow(value);
}

void TApdCustomFaxServer::SetStationID(const std::string& value)
{
    Sender_->SetStationID(value);
    Receiver_->SetStationID(value);
}

void TApdCustomFaxServer::SetStatusInterval(uint16_t value)
{
    Sender_->SetStatusInterval(value);
    Receiver_->SetStatusInterval(value);
}

void TApdCustomFaxServer::SetDesiredBPS(uint16_t value)
{
    Sender_->SetDesiredBPS(value);
    Receiver_->SetDesiredBPS(value);
}

void TApdCustomFaxServer::SetDesiredECM(bool value)
{
    Sender_->SetDesiredECM(value);
    Receiver_->SetDesiredECM(value);
}

void TApdCustomFaxServer::SetFaxFileExt(const std::string& value)
{
    Sender_->SetFaxFileExt(value);
    Receiver_->SetFaxFileExt(value);
}

void TApdCustomFaxServer::SetFaxFile(const std::string& value)
{
    CurrentFaxFile_ = value;
    Sender_->SetFaxFile(value);
    Receiver_->SetFaxFile(value);
    PageLength_ = 0;
}

void TApdCustomFaxServer::SetCoverFile(const std::string& value)
{
    CurrentCoverFile_ = value;
    Sender_->CoverFile = value;
}

void TApdCustomFaxServer::SetSendQueryInterval(int seconds)
{
    if (seconds == SendQueryInterval_)
        return;
    SendQueryInterval_ = seconds;
    ReportServerLog(seconds != 0 ? TFaxServerLogCode::fslPollingEnabled
                                 : TFaxServerLogCode::fslPollingDisabled);
    QueryTimer_->setInterval(seconds * 1000);
    if (seconds > 0)
        QueryTimer_->start();
    else
        QueryTimer_->stop();
}

void TApdCustomFaxServer::SetFaxServerMode(TFaxServerMode value)
{
    Mode_ = value;
    if (TApdAbstractFaxStatus* display = StatusDisplay())
        display->SetFax(Active());
}

TApdCustomAbstractFax* TApdCustomFaxServer::Active() const
{
    switch (Mode_) {
    case TFaxServerMode::fsmSend:
        return Sender_;
    case TFaxServerMode::fsmReceive:
        return Receiver_;
    default:
        return nullptr;
    }
}

TFaxServerMode TApdCustomFaxServer::ModeOf(TApdCustomAbstractFax* cp) const
{
    return cp == Sender_ ? TFaxServerMode::fsmSend : TFaxServerMode::fsmReceive;
}

std::string TApdCustomFaxServer::RemoteID() const
{
    return Active() ? Active()->RemoteID() : std::string();
}

uint16_t TApdCustomFaxServer::FaxProgress() const
{
    return Active() ? Active()->FaxProgress() : 0;
}

uint16_t TApdCustomFaxServer::HangupCode() const
{
    return Active() ? Active()->HangupCode() : 0;
}

int32_t TApdCustomFaxServer::CurrentPage() const
{
    return Active() ? Active()->CurrentPage() : 0;
}

int32_t TApdCustomFaxServer::TotalPages() const
{
    return Active() ? Active()->TotalPages() : 0;
}

int32_t TApdCustomFaxServer::BytesTransferred() const
{
    return Active() ? Active()->BytesTransferred() : 0;
}

int32_t TApdCustomFaxServer::SessionBPS() const
{
    return Active() ? Active()->SessionBPS() : 0;
}

bool TApdCustomFaxServer::SessionResolution() const
{
    return Active() && Active()->SessionResolution();
}

bool TApdCustomFaxServer::SessionWidth() const
{
    return Active() && Active()->SessionWidth();
}

bool TApdCustomFaxServer::SessionECM() const
{
    return Active() && Active()->SessionECM();
}

uint32_t TApdCustomFaxServer::ElapsedTime() const
{
    return Active() ? Active()->ElapsedTime() : 0;
}

std::string TApdCustomFaxServer::ModemModel()
{
    return Active() ? Active()->ModemModel() : std::string();
}

std::string TApdCustomFaxServer::ModemRevision()
{
    return Active() ? Active()->ModemRevision() : std::string();
}

std::string TApdCustomFaxServer::ModemChip()
{
    return Active() ? Active()->ModemChip() : std::string();
}

int32_t TApdCustomFaxServer::ModemBPS()
{
    return Active() ? Active()->ModemBPS() : 0;
}

bool TApdCustomFaxServer::ModemECM()
{
    return Active() && Active()->ModemECM();
}

TFaxClassSet TApdCustomFaxServer::SupportedFaxClasses()
{
    return Active() ? Active()->SupportedFaxClasses() : 0;
}

int32_t TApdCustomFaxServer::PageLength()
{
    if (PageLength_ == 0 && !CurrentFaxFile_.empty()) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(CurrentFaxFile_, ec);
        PageLength_ = ec ? 0 : static_cast<int32_t>(size);
    }
    return PageLength_;
}

// ---------------------------------------------------------------- port and monitoring

void TApdCustomFaxServer::CheckPort()
{
    TApdCustomComPort* port = ComPort();
    if (!port)
        CheckException(this, AdErr::ecPortNotAssigned);
    if (!Sender_->ComPort())
        Sender_->SetComPort(port);
    if (!Receiver_->ComPort())
        Receiver_->SetComPort(port);
    // A port whose device went away is opened afresh (the device may be back
    // at its name) once no run holds it.
    if (DeviceGone() && !Sender_->InProgress() && !Receiver_->InProgress()) {
        PortLost_ = true;
        port->SetOpen(false);
    }
    port->SetOpen(true);
    if (!DeviceGone())
        PortLost_ = false;
    port->SetDatabits(8);
    port->SetStopbits(1);
    port->SetParity(TParity::pNone);
    port->SetBaud(19200);
    port->SetInSize(8192);
    port->SetOutSize(8192);
    port->SetHWFlowOptions(hwfUseRTS | hwfRequireCTS);
}

void TApdCustomFaxServer::ClosePort()
{
    if (TApdCustomComPort* port = ComPort())
        port->SetOpen(false);
}

bool TApdCustomFaxServer::DeviceGone() const
{
    TApdCustomComPort* port = ComPort();
    const TApdBaseDispatcher* d = port && port->Open() ? port->GetDispatcher() : nullptr;
    return d && d->DeviceError() != 0;
}

bool TApdCustomFaxServer::ReceiverRunning() const
{
    return ReceiverWaiting_ && Receiver_->InProgress();
}

bool TApdCustomFaxServer::ReceiverEnded()
{
    for (int i = 0; i < kReceiverCancelTries && Receiver_->InProgress(); ++i)
        Delay(kReceiverCancelTicks);
    return !Receiver_->InProgress();
}

void TApdCustomFaxServer::StartWaiting()
{
    // Events are handled while the receiver starts (a cancelled run ending,
    // the modem's set-up commands): no query may come in meanwhile and take
    // or close the port.
    if (Starting_)
        return;
    const QScopedValueRollback<bool> starting(Starting_, true);
    // A cancelled run still ending holds the port and the receiver's run
    // record: the new run starts once it is over (its finish swallowed).
    if (!ReceiverEnded() || Destroying_ || ReceiverWaiting_ || Sender_->InProgress())
        return;
    SetFaxServerMode(TFaxServerMode::fsmReceive);
    Receiver_->StartReceive();
    ReceiverWaiting_ = true;
}

void TApdCustomFaxServer::SetMonitoring(bool value)
{
    if (value == Monitoring_)
        return;
    if (value) {
        if (!Busy_) {
            try {
                CheckPort();
            } catch (const std::exception&) {
                // A modem that went away is looked for at each query; the
                // receiver starts once it is back.
                if (!PortLost_)
                    throw;
            }
            if (PortLost_)
                SetFaxServerMode(TFaxServerMode::fsmIdle);
            else if (!ReceiverWaiting_)
                StartWaiting();
            else
                SetFaxServerMode(TFaxServerMode::fsmReceive);
        }
        ReportServerLog(TFaxServerLogCode::fslMonitoringEnabled);
        Monitoring_ = true;
        return;
    }
    ReportServerLog(TFaxServerLogCode::fslMonitoringDisabled);
    Monitoring_ = false;
    if (!Busy_) {
        if (ReceiverRunning()) {
            IgnoreNextFinish_ = true;
            Receiver_->CancelFax();
        }
        ReceiverWaiting_ = false;
        SetFaxServerMode(TFaxServerMode::fsmIdle);
    }
}

// ---------------------------------------------------------------- send query

void TApdCustomFaxServer::ForceSendQuery()
{
    if (!Manager_) {
        SendQuery();
        return;
    }
    const bool paused = Manager_->Paused;
    Manager_->Paused = false;
    SendQuery();
    if (Manager_)
        Manager_->Paused = paused;
}

int TApdCustomFaxServer::StartTransmitSingle()
{
    if (Busy_)
        return 0;
    ForceSendQuery();
    return 1;
}

void TApdCustomFaxServer::CancelFax()
{
    if (Mode_ == TFaxServerMode::fsmSend)
        Sender_->CancelFax();
    else if (Mode_ == TFaxServerMode::fsmReceive)
        Receiver_->CancelFax();
}

void TApdCustomFaxServer::SendQuery()
{
    if (Destroying_ || Busy_ || Starting_)
        return;
    QueryTimer_->stop();
    if (!Manager_)
        return;
    TFaxRecipientRec recipient;
    std::string job, fax, cover;
    bool got = false;
    try {
        got = Manager_->GetJob(recipient, this, job, fax, cover);
    } catch (const std::exception&) {
        // A job that cannot be handed out now waits for the next query.
        got = false;
    }
    if (got) {
        StartJob(recipient, job, fax, cover);
        return;
    }
    if (Manager_->OnQueried)
        Manager_->OnQueried(Manager_, this, "");
    if (SendQueryInterval_ > 0) {
        QueryTimer_->setInterval(SendQueryInterval_ * 1000);
        QueryTimer_->start();
    }
    try {
        if (!Monitoring_)
            ClosePort();
        else if (!ReceiverWaiting_) {
            CheckPort();
            StartWaiting();
        } else {
            IgnoreNextFinish_ = false;
        }
    } catch (const std::exception& e) {
        // A modem that went away is looked for again at the next query.
        if (!PortLost_)
            FatalError(TFaxServerMode::fsmReceive, CodeOf(e));
    }
}

void TApdCustomFaxServer::StartJob(const TFaxRecipientRec& recipient, const std::string& jobFile,
                                   const std::string& faxFile, const std::string& coverFile)
{
    if (Manager_->OnQueried)
        Manager_->OnQueried(Manager_, this, jobFile);
    CurrentJob_ = jobFile;
    RecipientNum_ = recipient.JobID;
    Recipient_ = recipient;
    try {
        Manager_->GetJobHeader(jobFile, JobHeader_);
    } catch (const std::exception&) {
        JobHeader_ = {};
    }
    SetHeaderSender(JobHeader_.Sender);
    SetPhoneNumber(recipient.PhoneNumber);
    SetHeaderLine(recipient.HeaderLine);
    SetHeaderRecipient(recipient.HeaderRecipient);
    SetHeaderTitle(recipient.HeaderTitle);
    SetFaxFile(faxFile);
    SetCoverFile(coverFile);
    if (DialString(recipient.PhoneNumber).empty()) {
        RefuseJob();
        return;
    }
    try {
        CheckPort();
    } catch (const std::exception&) {
        // Handled below as a port that is not open.
    }
    TApdCustomComPort* port = ComPort();
    if (!port || !port->Open()) {
        PortNotFree();
        return;
    }
    MonitoringBeforeSend_ = Monitoring_;
    if (ReceiverRunning()) {
        IgnoreNextFinish_ = true;
        Receiver_->CancelFax();
    } else if (!Receiver_->InProgress()) {
        IgnoreNextFinish_ = false;
    }
    // The receiver's run shares the port: the send starts only once it has
    // ended, also one cancelled before this query.
    const bool ended = ReceiverEnded();
    if (Destroying_)
        return;
    // The receiver's run may also have ended on a modem that went away.
    if (!ended || !port->Open()) {
        PortNotFree();
        return;
    }
    ReceiverWaiting_ = false;
    port->FlushInBuffer();
    SetFaxServerMode(TFaxServerMode::fsmSend);
    try {
        Sender_->StartTransmit();
    } catch (const std::exception& e) {
        FinishHandler(Sender_, CodeOf(e));
    }
}

void TApdCustomFaxServer::PortNotFree()
{
    try {
        Manager_->UpdateStatus(CurrentJob_, RecipientNum_, kJobPortNotOpen, false, false);
    } catch (const std::exception&) {
    }
    DeleteExtracted();
    QueryTimer_->start();
}

void TApdCustomFaxServer::RefuseJob()
{
    if (Recipient_.AttemptNum < 255)
        ++Recipient_.AttemptNum;
    try {
        Manager_->UpdateStatus(CurrentJob_, RecipientNum_, kFaxNoPhoneNumber, true);
    } catch (const std::exception&) {
    }
    Recipient_.AttemptNum =
        static_cast<uint8_t>(std::max<int>(Recipient_.AttemptNum, DialAttempts));
    DeleteExtracted();
    if (OnFaxServerFinish)
        OnFaxServerFinish(this, TFaxServerMode::fsmSend, kFaxNoPhoneNumber);
    AfterCall();
}

void TApdCustomFaxServer::DeleteExtracted()
{
    if (!CurrentFaxFile_.empty())
        std::remove(CurrentFaxFile_.c_str());
    if (!CurrentCoverFile_.empty())
        std::remove(CurrentCoverFile_.c_str());
}

// ---------------------------------------------------------------- handlers

void TApdCustomFaxServer::StatusHandler(TApdCustomAbstractFax* cp, bool first, bool last)
{
    if (first)
        Busy_ = true;
    else if (last)
        Busy_ = false;
    if (auto* display = qobject_cast<TApdFaxStatus*>(StatusDisplay()))
        if (TStandardFaxDisplay* form = display->Form()) {
            if (first) {
                form->fsLabel2->setText(QStringLiteral("Job file name:"));
                form->fsLabel3->setText(QStringLiteral("Job name:"));
            } else if (last) {
                form->fsLabel2->setText(QStringLiteral("Fax file name:"));
                form->fsLabel3->setText(QStringLiteral("Cover file name:"));
            }
            form->fsFaxFileName->setText(QString::fromStdString(CurrentJob_));
            form->fsCoverFileName->setText(QString::fromStdString(JobHeader_.JobName));
            form->fsDialAttempt->setText(QString::number(Recipient_.AttemptNum + 1));
        }
    const uint16_t status = IgnoreNextFinish_ ? FaxStatus::fpSwitchModes : FaxProgress();
    if (OnFaxServerStatus)
        OnFaxServerStatus(this, ModeOf(cp), first, last, status);
}

void TApdCustomFaxServer::ReportServerLog(TFaxServerLogCode code)
{
    PendingLog_ = code;
    LogHandler(nullptr, lfaxNone);
}

void TApdCustomFaxServer::LogHandler(TApdCustomAbstractFax* cp, TFaxLogCode logCode)
{
    if (OnFaxServerLog)
        OnFaxServerLog(this, logCode, PendingLog_);
    if (Mode_ == TFaxServerMode::fsmReceive) {
        CurrentFaxFile_ = Receiver_->GetFaxFile();
        // Each document starts a file; a document that kept no page leaves
        // its name to the next one.
        if (cp == Receiver_ && logCode == lfaxReceiveStart &&
            (CallFiles_.empty() || CallFiles_.back() != CurrentFaxFile_))
            CallFiles_.push_back(CurrentFaxFile_);
    }
    TApdFaxLog* log = FaxLog();
    if (log && !log->FaxHistoryName.empty()) {
        const std::string now = FaxLogTimeStamp();
        if (PendingLog_ != TFaxServerLogCode::fslNone) {
            static constexpr const char* kVerbs[] = {"", " started polling ", " stopped polling ",
                                                     " started monitoring ",
                                                     " stopped monitoring "};
            log->WriteEntry("Fax server " + objectName().toStdString() +
                            kVerbs[static_cast<int>(PendingLog_)] + "at " + now);
            log->WriteEntry("    using " +
                            (ComPort() ? ComName(ComPort()->ComNumber()) : std::string()));
        } else {
            switch (logCode) {
            case lfaxTransmitStart:
                log->WriteEntry("Transmit " + CurrentJob_ + " (" + std::to_string(RecipientNum_) +
                                ") to " + PhoneNumber() + " started at " + now + "\r\n");
                break;
            case lfaxTransmitOk:
            case lfaxTransmitFail:
                log->WriteEntry(log->GetLogString(logCode, Sender_));
                break;
            case lfaxReceiveStart:
            case lfaxReceiveOk:
            case lfaxReceiveSkip:
            case lfaxReceiveFail:
                log->WriteEntry(log->GetLogString(logCode, Receiver_));
                break;
            default:
                break;
            }
        }
    }
    PendingLog_ = TFaxServerLogCode::fslNone;
}

void TApdCustomFaxServer::NameHandler(std::string& name)
{
    if (OnFaxServerName && FaxNameMode() == TFaxNameMode::fnNone) {
        OnFaxServerName(this, name);
        return;
    }
    const std::string dir = DestinationDir();
    const std::string ext = FaxFileExt();
    std::string found;
    switch (FaxNameMode()) {
    case TFaxNameMode::fnCount:
        for (unsigned n = 1; n <= 99999 && found.empty(); ++n) {
            const std::string candidate = "FAX" + Digits(n, 5) + "." + ext;
            if (!Exists(dir + candidate))
                found = candidate;
        }
        break;
    case TFaxNameMode::fnMonthDay: {
        const QDate today = QDate::currentDate();
        const std::string prefix = Digits(static_cast<unsigned>(today.month()), 2) +
                                   Digits(static_cast<unsigned>(today.day()), 2);
        for (unsigned n = 1; n <= 9999 && found.empty(); ++n) {
            const std::string candidate = prefix + Digits(n, 4) + "." + ext;
            if (!Exists(dir + candidate))
                found = candidate;
        }
        break;
    }
    case TFaxNameMode::fnNone:
        break;
    }
    if (found.empty())
        found = "NONAME.APF";
    name = (dir + found).substr(0, 255);
}

void TApdCustomFaxServer::FinishHandler(TApdCustomAbstractFax* cp, int errorCode)
{
    const TFaxServerMode mode = ModeOf(cp);
    // A call that failed on a modem that went away failed for that reason,
    // whatever step noticed it first.
    const bool lost = errorCode != 0 && DeviceGone();
    if (lost) {
        errorCode = AdErr::ecHardware;
        PortLost_ = true;
        ClosePort();
    }
    if (mode == TFaxServerMode::fsmReceive) {
        ReceiverWaiting_ = false;
        if (IgnoreNextFinish_) {
            IgnoreNextFinish_ = false;
            if (errorCode != 0) {
                CallFiles_.clear();
                return;
            }
        }
    }
    bool final = false;
    if (mode == TFaxServerMode::fsmReceive && PrintOnReceive_ && Printer_)
        PrintReceived(errorCode);
    try {
        if (mode == TFaxServerMode::fsmSend) {
            if (Recipient_.AttemptNum < 255)
                ++Recipient_.AttemptNum;
            final = Recipient_.AttemptNum >= DialAttempts;
            DeleteExtracted();
            if (Manager_)
                Manager_->UpdateStatus(CurrentJob_, RecipientNum_, errorCode, final);
        }
    } catch (const std::exception&) {
        // The call is over whatever the job file says.
    }
    Busy_ = false;
    const bool retry = mode == TFaxServerMode::fsmSend && errorCode != 0 && !final;
    if (IsFaxPortOrModemFault(errorCode) && !lost) {
        // An attempt lost to the modem waits like any other.
        if (retry)
            RetryLater();
        FatalError(mode, errorCode);
        CallFiles_.clear();
        return;
    }
    if (OnFaxServerFinish)
        OnFaxServerFinish(this, mode, errorCode);
    // Reported: a later event (a fatal error of the port, say) has no files.
    CallFiles_.clear();
    if (retry)
        RetryLater();
    AfterCall();
}

void TApdCustomFaxServer::PrintReceived(int errorCode)
{
    std::vector<std::string> files = CallFiles_;
    if (errorCode != 0 && !files.empty())
        files.pop_back(); // the document the call broke off in
    for (const std::string& file : files) {
        if (file.empty() || !Exists(file))
            continue;
        try {
            Printer_->SetFileName(file);
            Printer_->PrintFax();
        } catch (const std::exception&) {
            // The next document is still printed.
        }
    }
}

void TApdCustomFaxServer::RetryLater()
{
    if (!Manager_)
        return;
    try {
        Manager_->RescheduleJob(CurrentJob_, static_cast<int>(RecipientNum_),
                                Clock() + DialRetryWait / 86400.0, false);
    } catch (const std::exception&) {
    }
}

void TApdCustomFaxServer::FatalError(TFaxServerMode mode, int errorCode)
{
    const int hangup = mode == TFaxServerMode::fsmSend      ? Sender_->HangupCode()
                       : mode == TFaxServerMode::fsmReceive ? Receiver_->HangupCode()
                                                            : 0;
    SetMonitoring(false);
    MonitoringBeforeSend_ = false;
    QueryTimer_->stop();
    if (OnFaxServerFatalError)
        OnFaxServerFatalError(this, mode, errorCode, hangup);
}

void TApdCustomFaxServer::AfterCall()
{
    if (Destroying_)
        return;
    if (SendQueryInterval_ > 0) {
        QueryTimer_->setInterval(Ticks2Secs(DelayBetweenSends) * 1000);
        QueryTimer_->start();
        return;
    }
    try {
        if (Monitoring_ || MonitoringBeforeSend_) {
            CheckPort();
            Monitoring_ = false;
            MonitoringBeforeSend_ = false;
            SetMonitoring(true);
        } else {
            ClosePort();
        }
    } catch (const std::exception& e) {
        FatalError(TFaxServerMode::fsmReceive, CodeOf(e));
    }
}
