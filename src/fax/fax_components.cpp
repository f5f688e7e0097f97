#include "fax/fax_components.h"

#include "fax/aw_fax_receive.h"
#include "fax/aw_fax_transmit.h"
#include "fax/fax_history_log.h"
#include "fax/fax_job_file.h"
#include "fax/fax_status_display.h"
#include "serial/ad_except.h"
#include "serial/ad_misc.h"
#include "serial/ad_port.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <mutex>
#include <unistd.h>

namespace {

constexpr uint32_t kFaxBufferSize = 8192;
constexpr std::size_t kMaxModemInit = 255;

ClassType ToEngine(TFaxClass c)
{
    return static_cast<ClassType>(static_cast<uint8_t>(c));
}

// The first component of type T among the owner's whose property is free.
template <class T, class Taken> T* FirstFree(QObject* owner, Taken taken)
{
    if (owner)
        for (T* c : owner->findChildren<T*>())
            if (!taken(c))
                return c;
    return nullptr;
}

} // namespace

// ---------------------------------------------------------------- abstract fax

TApdCustomAbstractFax::TApdCustomAbstractFax(QObject* owner, uint8_t faxMode)
    : TApdBaseComponent(owner), FaxMode_(faxMode)
{
    if (TApdCustomComPort* port = SearchComPort(owner))
        SetComPort(port);
    SetStatusDisplay(FirstFree<TApdAbstractFaxStatus>(
        owner, [](TApdAbstractFaxStatus* d) { return d->Fax() != nullptr; }));
    SetFaxLog(FirstFree<TApdFaxLog>(owner, [](TApdFaxLog* l) { return l->Fax() != nullptr; }));
    Window_ = std::make_unique<TGuiReceiver>(
        [this](uint32_t msg, uintptr_t w, intptr_t l) { return HandleMessage(msg, w, l); });
    const int rc = faxMode == kFaxModeSend
                       ? fInitC12SendFax(FaxRec_, "", nullptr, Window_->Target())
                       : fInitC12ReceiveFax(FaxRec_, "", nullptr, Window_->Target());
    CheckException(this, rc);
    if (faxMode == kFaxModeSend)
        Engine_ = {fPrepareFaxTransmit, fFaxTransmit};
    else
        Engine_ = {fPrepareFaxReceive, fFaxReceive};
    SetFaxClass(TFaxClass::fcDetect);
    SetStatusInterval(1);
    SetDesiredBPS(9600);
    SetDesiredECM(false);
    SetFaxFileExt("APF");
}

TApdCustomAbstractFax::~TApdCustomAbstractFax()
{
    // A run still registered on an open port must not call into freed
    // memory: the port forgets the run, a handler call waiting for this
    // window gives up, and one in progress is waited for.
    TApdBaseDispatcher* disp = ComPort_ && ComPort_->Open() ? ComPort_->GetDispatcher() : nullptr;
    if (disp && disp->GetDataPointer(2) == FaxRec_.get())
        disp->SetDataPointer(nullptr, 2);
    Window_.reset();
    if (disp && FaxRec_->PData->Dispatcher == disp) {
        std::lock_guard lock(FaxRec_->HandlerLock);
        afStopFax(FaxRec_.get());
    }
}

void TApdCustomAbstractFax::SetInitBaud(int value)
{
    InitBaud_ = value;
    fSetInitBaudRate(FaxRec(), InitBaud_, NormalBaud_, false);
}

void TApdCustomAbstractFax::SetNormalBaud(int value)
{
    NormalBaud_ = value;
    fSetInitBaudRate(FaxRec(), InitBaud_, NormalBaud_, false);
}

TFaxClass TApdCustomAbstractFax::FaxClass() const
{
    return static_cast<TFaxClass>(static_cast<uint8_t>(FaxRec_->PData->Class));
}

void TApdCustomAbstractFax::SetFaxClass(TFaxClass value)
{
    // Detection runs when a call is prepared, not here.
    FaxRec_->PData->Class = ToEngine(value);
}

void TApdCustomAbstractFax::SetModemInit(const std::string& value)
{
    ModemInit_ = value.substr(0, kMaxModemInit);
    fSetModemInit(FaxRec(), ModemInit_);
}

std::string TApdCustomAbstractFax::StationID() const
{
    return FaxRec_->PData->StationID;
}

void TApdCustomAbstractFax::SetStationID(const std::string& value)
{
    afSetStationID(FaxRec(), value);
}

TApdCustomComPort* TApdCustomAbstractFax::ComPort() const
{
    return ComPort_;
}

TApdAbstractFaxStatus* TApdCustomAbstractFax::StatusDisplay() const
{
    return StatusDisplay_;
}

TApdFaxLog* TApdCustomAbstractFax::FaxLog() const
{
    return FaxLog_;
}

void TApdCustomAbstractFax::SetComPort(TApdCustomComPort* value)
{
    if (value == ComPort_)
        return;
    ComPort_ = value;
    if (value && !value->IsLoading()) {
        value->SetDatabits(8);
        value->SetStopbits(1);
        value->SetParity(TParity::pNone);
        value->SetBaud(19200);
        value->SetInSize(kFaxBufferSize);
        value->SetOutSize(kFaxBufferSize);
        value->SetHWFlowOptions(hwfUseRTS | hwfRequireCTS);
        value->SetLineSetByFax(true);
    }
    ModemModel_.clear();
    ModemChip_.clear();
    ModemRevision_.clear();
    ModemBPS_ = 0;
}

void TApdCustomAbstractFax::SetStatusDisplay(TApdAbstractFaxStatus* value)
{
    StatusDisplay_ = value;
    if (value && !value->Fax())
        value->SetFax(this);
}

void TApdCustomAbstractFax::SetFaxLog(TApdFaxLog* value)
{
    FaxLog_ = value;
    if (value && !value->Fax())
        value->SetFax(this);
}

std::string TApdCustomAbstractFax::GetFaxFile() const
{
    return FaxFileName_;
}

void TApdCustomAbstractFax::SetFaxFile(const std::string& value)
{
    FaxFileName_ = value;
}

bool TApdCustomAbstractFax::AbortNoConnect() const
{
    return afOptionsAreOn(FaxRec(), afAbortNoConnect);
}

void TApdCustomAbstractFax::SetAbortNoConnect(bool value)
{
    value ? afOptionsOn(FaxRec(), afAbortNoConnect) : afOptionsOff(FaxRec(), afAbortNoConnect);
}

bool TApdCustomAbstractFax::ExitOnError() const
{
    return afOptionsAreOn(FaxRec(), afExitOnError);
}

void TApdCustomAbstractFax::SetExitOnError(bool value)
{
    value ? afOptionsOn(FaxRec(), afExitOnError) : afOptionsOff(FaxRec(), afExitOnError);
}

bool TApdCustomAbstractFax::SoftwareFlow() const
{
    return afOptionsAreOn(FaxRec(), afSoftwareFlow);
}

void TApdCustomAbstractFax::SetSoftwareFlow(bool value)
{
    value ? afOptionsOn(FaxRec(), afSoftwareFlow) : afOptionsOff(FaxRec(), afSoftwareFlow);
}

uint16_t TApdCustomAbstractFax::StatusInterval() const
{
    return static_cast<uint16_t>(FaxRec_->PData->StatusInterval);
}

void TApdCustomAbstractFax::SetStatusInterval(uint16_t value)
{
    FaxRec_->PData->StatusInterval = value == 0 ? 1 : value;
}

uint16_t TApdCustomAbstractFax::DesiredBPS() const
{
    return FaxRec_->CData->MaxBitRate;
}

void TApdCustomAbstractFax::SetDesiredBPS(uint16_t value)
{
    fSetModemFeatures(FaxRec(), value, FaxRec_->CData->ECDigit);
}

bool TApdCustomAbstractFax::DesiredECM() const
{
    return FaxRec_->CData->ECDigit == '1';
}

void TApdCustomAbstractFax::SetDesiredECM(bool value)
{
    fSetModemFeatures(FaxRec(), FaxRec_->CData->MaxBitRate, value ? '1' : '0');
}

std::string TApdCustomAbstractFax::FaxFileExt() const
{
    return FaxRec_->PData->DefaultExtension;
}

void TApdCustomAbstractFax::SetFaxFileExt(const std::string& value)
{
    FaxRec_->PData->DefaultExtension = value;
}

std::string TApdCustomAbstractFax::RemoteID() const
{
    return fGetRemoteID(FaxRec());
}

uint16_t TApdCustomAbstractFax::FaxProgress() const
{
    return static_cast<uint16_t>(afGetFaxProgress(FaxRec()));
}

int TApdCustomAbstractFax::FaxError() const
{
    return FaxRec_->PData->Error;
}

int32_t TApdCustomAbstractFax::SessionBPS() const
{
    int32_t bps = 0;
    bool fine = false, ecm = false;
    fGetSessionParams(FaxRec(), bps, fine, ecm);
    return bps;
}

bool TApdCustomAbstractFax::SessionResolution() const
{
    return FaxRec_->CData->Fine;
}

bool TApdCustomAbstractFax::SessionWidth() const
{
    return FaxRec_->CData->Wide;
}

bool TApdCustomAbstractFax::SessionECM() const
{
    return FaxRec_->CData->ErrorCorrection;
}

uint16_t TApdCustomAbstractFax::HangupCode() const
{
    return static_cast<uint16_t>(fGetHangupResult(FaxRec()));
}

int32_t TApdCustomAbstractFax::LastPageStatus() const
{
    return fGetLastPageStatus(FaxRec());
}

int32_t TApdCustomAbstractFax::TotalPages() const
{
    int32_t pages = 0, page = 0, bytes = 0, length = 0;
    fGetPageInfoC12(FaxRec(), pages, page, bytes, length);
    return pages;
}

int32_t TApdCustomAbstractFax::CurrentPage() const
{
    int32_t pages = 0, page = 0, bytes = 0, length = 0;
    fGetPageInfoC12(FaxRec(), pages, page, bytes, length);
    return page;
}

int32_t TApdCustomAbstractFax::BytesTransferred() const
{
    int32_t pages = 0, page = 0, bytes = 0, length = 0;
    fGetPageInfoC12(FaxRec(), pages, page, bytes, length);
    return bytes;
}

int32_t TApdCustomAbstractFax::PageLength() const
{
    int32_t pages = 0, page = 0, bytes = 0, length = 0;
    fGetPageInfoC12(FaxRec(), pages, page, bytes, length);
    return length;
}

uint32_t TApdCustomAbstractFax::ElapsedTime() const
{
    return AdTimeGetTime() - StartTime_;
}

void TApdCustomAbstractFax::QueryModemInfo()
{
    if (InProgress_ || !ModemModel_.empty())
        return;
    CheckPort();
    char cls = '0';
    fGetModemInfo(FaxRec(), cls, ModemModel_, ModemChip_, ModemRevision_, true);
}

std::string TApdCustomAbstractFax::ModemModel()
{
    QueryModemInfo();
    return ModemModel_;
}

std::string TApdCustomAbstractFax::ModemChip()
{
    QueryModemInfo();
    return ModemChip_;
}

std::string TApdCustomAbstractFax::ModemRevision()
{
    QueryModemInfo();
    return ModemRevision_;
}

int32_t TApdCustomAbstractFax::ModemBPS()
{
    if (!InProgress_) {
        CheckPort();
        char ec = '0';
        fGetModemFeatures(FaxRec(), ModemBPS_, ec);
        ModemECM_ = ec == '1';
    }
    return ModemBPS_;
}

bool TApdCustomAbstractFax::ModemECM()
{
    ModemBPS();
    return ModemECM_;
}

TFaxClassSet TApdCustomAbstractFax::SupportedFaxClasses()
{
    if (!InProgress_) {
        CheckPort();
        bool c1 = false, c2 = false, c20 = false;
        fGetModemClassSupport(FaxRec(), c1, c2, false, c20);
        SupportedClasses_ =
            static_cast<TFaxClassSet>((c1 ? FaxClassBit(TFaxClass::fcClass1) : 0) |
                                      (c2 ? FaxClassBit(TFaxClass::fcClass2) : 0) |
                                      (c20 ? FaxClassBit(TFaxClass::fcClass2_0) : 0));
    }
    return SupportedClasses_;
}

void TApdCustomAbstractFax::CancelFax()
{
    if (InProgress_)
        afCancelFax(FaxRec());
}

std::string TApdCustomAbstractFax::StatusMsg(uint16_t status) const
{
    return afStatusMsg(status).substr(0, 255);
}

std::string TApdCustomAbstractFax::LogMsg(TFaxLogCode logCode) const
{
    static constexpr const char* kTexts[] = {
        "No log entry",    "Transmit started",    "Transmit finished OK", "Transmit failed",
        "Receive started", "Receive finished OK", "Receive skipped",      "Receive failed"};
    const auto i = static_cast<unsigned>(logCode);
    return i < std::size(kTexts) ? kTexts[i] : "";
}

void TApdCustomAbstractFax::CheckPort()
{
    if (!ComPort_)
        CheckException(this, AdErr::ecPortNotAssigned);
    if (ComPort_->DeviceLayer() == TDeviceLayer::dlWinsock)
        CheckException(this, AdErr::ecCannotUseWithWinSock);
    TApdBaseDispatcher* disp = ComPort_->GetDispatcher();
    if (!disp)
        CheckException(this, AdErr::ecCommNotOpen);
    fSetFaxPort(FaxRec(), disp);
    if (ComPort_->OutSize() < kFaxBufferSize)
        CheckException(this, AdErr::ecOutputBufferTooSmall);
}

void TApdCustomAbstractFax::SetModemLines(TFaxModemLines* lines)
{
    fSetModemLines(FaxRec(), lines);
}

void TApdCustomAbstractFax::StartRun(bool prepare)
{
    InProgress_ = true;
    afStartFax(FaxRec(), prepare ? Engine_.Prepare : nullptr, Engine_.Machine);
}

intptr_t TApdCustomAbstractFax::HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t)
{
    const auto code = static_cast<int>(static_cast<int16_t>(wParam & 0xFFFF));
    switch (msg) {
    case apw_FaxStatus:
        apwFaxStatus(wParam & kFaxStatusFirst, wParam & kFaxStatusLast);
        return 0;
    case apw_FaxLog:
        apwFaxLog(static_cast<TFaxLogCode>(wParam & 0xFF));
        return 0;
    case apw_FaxError:
        apwFaxError(code);
        return 0;
    case apw_FaxFinish:
        apwFaxFinish(code);
        return 0;
    default:
        return 0;
    }
}

void TApdCustomAbstractFax::apwFaxStatus(bool first, bool last)
{
    if (first)
        StartTime_ = 0;
    if (FaxProgress() == FaxStatus::fpGotRemoteID && StartTime_ == 0)
        StartTime_ = AdTimeGetTime();
    if (StatusDisplay_)
        StatusDisplay_->UpdateDisplay(first, last);
    if (OnFaxStatus)
        OnFaxStatus(this, first, last);
}

void TApdCustomAbstractFax::apwFaxLog(TFaxLogCode logCode)
{
    if (FaxLog_)
        FaxLog_->UpdateLog(logCode);
    if (OnFaxLog)
        OnFaxLog(this, logCode);
}

void TApdCustomAbstractFax::apwFaxError(int errorCode)
{
    if (OnFaxError)
        OnFaxError(this, errorCode);
}

void TApdCustomAbstractFax::apwFaxFinish(int errorCode)
{
    InProgress_ = false;
    if (OnFaxFinish)
        OnFaxFinish(this, errorCode);
    if (!InProgress_)
        UnprepareTapi();
}

// ---------------------------------------------------------------- sender

TApdCustomSendFax::TApdCustomSendFax(QObject* owner) : TApdAbstractFax(owner, kFaxModeSend)
{
    SetBlindDial(false);
    SetDetectBusy(true);
    SetToneDial(true);
    SetDialWait(60);
    SetDialAttempts(3);
    SetDialRetryWait(60);
    fSetYielding(FaxRec(), 50, 1000);
    SetSafeMode(true);
}

TApdCustomSendFax::~TApdCustomSendFax()
{
    if (!TempConcatFile_.empty())
        std::remove(TempConcatFile_.c_str());
}

std::string TApdCustomSendFax::GetFaxFile() const
{
    return FaxFileList_.empty() ? std::string() : FaxFileList_.front();
}

void TApdCustomSendFax::SetFaxFile(const std::string& value)
{
    FaxFileList_.assign(1, value);
}

void TApdCustomSendFax::SetBlindDial(bool value)
{
    BlindDial_ = value;
    fSetBlindDial(FaxRec(), value);
}

void TApdCustomSendFax::SetDetectBusy(bool value)
{
    DetectBusy_ = value;
    fSetDetectBusy(FaxRec(), value);
}

bool TApdCustomSendFax::ToneDial() const
{
    return FaxRec_->CData->DialChar == 'T';
}

void TApdCustomSendFax::SetToneDial(bool value)
{
    fSetToneDial(FaxRec(), value);
}

std::string TApdCustomSendFax::DialPrefix() const
{
    return FaxRec_->CData->DialPrefix;
}

void TApdCustomSendFax::SetDialPrefix(const std::string& value)
{
    fSetDialPrefix(FaxRec(), value.substr(0, 40));
}

uint16_t TApdCustomSendFax::DialWait() const
{
    return static_cast<uint16_t>(Ticks2Secs(FaxRec_->CData->DialWait));
}

void TApdCustomSendFax::SetDialWait(uint16_t seconds)
{
    fSetDialTime(FaxRec(), Secs2Ticks(seconds));
}

uint16_t TApdCustomSendFax::DialAttempts() const
{
    return static_cast<uint16_t>(FaxRec_->PData->ConnectAttempts);
}

void TApdCustomSendFax::SetDialAttempts(uint16_t value)
{
    afSetConnectAttempts(FaxRec(), value, FaxRec_->PData->RetryWait);
}

uint16_t TApdCustomSendFax::DialRetryWait() const
{
    return static_cast<uint16_t>(Ticks2Secs(FaxRec_->PData->RetryWait));
}

void TApdCustomSendFax::SetDialRetryWait(uint16_t seconds)
{
    afSetConnectAttempts(FaxRec(), FaxRec_->PData->ConnectAttempts, Secs2Ticks(seconds));
}

uint16_t TApdCustomSendFax::MaxSendCount() const
{
    return static_cast<uint16_t>(FaxRec_->CData->LinesPerCall);
}

void TApdCustomSendFax::SetMaxSendCount(uint16_t value)
{
    fSetYielding(FaxRec(), value, FaxRec_->CData->BufferMinimum);
}

uint16_t TApdCustomSendFax::BufferMinimum() const
{
    return static_cast<uint16_t>(FaxRec_->CData->BufferMinimum);
}

void TApdCustomSendFax::SetBufferMinimum(uint16_t value)
{
    fSetYielding(FaxRec(), FaxRec_->CData->LinesPerCall, value);
}

bool TApdCustomSendFax::SafeMode() const
{
    return FaxRec_->MachineFlags & mfSafeMode;
}

void TApdCustomSendFax::SetSafeMode(bool value)
{
    fSetSafeMode(FaxRec(), value);
}

std::string TApdCustomSendFax::HeaderLine() const
{
    return FaxRec_->CData->HeaderText;
}

void TApdCustomSendFax::SetHeaderLine(const std::string& value)
{
    fSetHeaderText(FaxRec(), value);
}

std::string TApdCustomSendFax::HeaderSender() const
{
    return FaxRec_->PData->SenderName;
}

void TApdCustomSendFax::SetHeaderSender(const std::string& value)
{
    afSetSenderName(FaxRec(), value);
}

std::string TApdCustomSendFax::HeaderRecipient() const
{
    return FaxRec_->PData->RecipientName;
}

void TApdCustomSendFax::SetHeaderRecipient(const std::string& value)
{
    afSetRecipientName(FaxRec(), value);
}

std::string TApdCustomSendFax::HeaderTitle() const
{
    return FaxRec_->PData->Title;
}

void TApdCustomSendFax::SetHeaderTitle(const std::string& value)
{
    afSetTitle(FaxRec(), value);
}

bool TApdCustomSendFax::EnhTextEnabled() const
{
    return FaxRec_->CData->EnhancedText;
}

void TApdCustomSendFax::SetEnhTextEnabled(bool value)
{
    fSetEnhTextEnabled(FaxRec(), value);
}

void TApdCustomSendFax::SetEnhFont(const std::string& value)
{
    EnhFont_ = value;
    fSetEnhStandardFont(FaxRec(), value);
}

void TApdCustomSendFax::SetEnhHeaderFont(const std::string& value)
{
    EnhHeaderFont_ = value;
    fSetEnhSmallFont(FaxRec(), value);
}

uint16_t TApdCustomSendFax::DialAttempt() const
{
    return static_cast<uint16_t>(FaxRec_->PData->AttemptCount + 1);
}

void TApdCustomSendFax::StartTransmit()
{
    CheckPort();
    ConcatFile_ = FaxFileList_.size() >= 2 && !OnFaxNext;
    if (ConcatFile_) {
        const std::string dir = std::filesystem::path(FaxFileList_.front()).parent_path();
        std::string temp = AddBackSlash(dir.empty() ? "." : dir) + "~APXXXXXX.tmp";
        const int fd = ::mkstemps(temp.data(), 4);
        if (fd < 0)
            RaiseFileError(errno);
        ::close(fd);
        ConcatName_ = temp;
        try {
            ConcatFaxes(ConcatName_);
        } catch (...) {
            std::remove(temp.c_str());
            throw;
        }
        // A missing file is handed to the engine, which fails the call on it.
        if (ConcatName_ == temp)
            TempConcatFile_ = temp;
        else
            std::remove(temp.c_str());
    }
    JobHandedOver_ = false;
    StartRun(true);
}

void TApdCustomSendFax::StartManualTransmit()
{
    FaxRec_->PData->LineAlreadyConnected = true;
    if (PhoneNumber.empty())
        PhoneNumber = "Manual";
    StartTransmit();
}

void TApdCustomSendFax::ConcatFaxes(std::string& fileName)
{
    for (const std::string& f : FaxFileList_)
        if (!std::filesystem::exists(f)) {
            fileName = f;
            return;
        }
    ConcatApfFiles(fileName, FaxFileList_);
}

void TApdCustomSendFax::ConvertCover(const std::string& inCover, const std::string& outCover)
{
    const std::string text = ReadFileBytes(inCover);
    std::string out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        out += afConvertHeaderString(FaxRec(), line.substr(0, 255)) + "\r\n";
        at = end + 1;
    }
    WriteFileBytes(outCover, out);
}

intptr_t TApdCustomSendFax::HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam)
{
    if (msg != apw_FaxNext)
        return TApdAbstractFax::HandleMessage(msg, wParam, lParam);
    std::string phone, fax, cover;
    if (!apwFaxNext(phone, fax, cover) || phone.empty())
        return 0;
    afSetNextFax(FaxRec(), phone, fax, cover);
    return 1;
}

bool TApdCustomSendFax::apwFaxNext(std::string& phoneNumber, std::string& faxFile,
                                   std::string& coverFile)
{
    if (OnFaxNext) {
        phoneNumber.clear();
        faxFile.clear();
        coverFile.clear();
        OnFaxNext(this, phoneNumber, faxFile, coverFile);
        PhoneNumber = phoneNumber;
        SetFaxFile(faxFile);
        CoverFile = coverFile;
        return !phoneNumber.empty();
    }
    if (JobHandedOver_)
        return false;
    JobHandedOver_ = true;
    phoneNumber = PhoneNumber;
    faxFile = ConcatFile_ ? ConcatName_ : GetFaxFile();
    coverFile = CoverFile;
    return true;
}

void TApdCustomSendFax::apwFaxFinish(int errorCode)
{
    if (!TempConcatFile_.empty())
        std::remove(TempConcatFile_.c_str());
    TempConcatFile_.clear();
    ConcatFile_ = false;
    TApdAbstractFax::apwFaxFinish(errorCode);
}

// ---------------------------------------------------------------- receiver

TApdCustomReceiveFax::TApdCustomReceiveFax(QObject* owner) : TApdAbstractFax(owner, kFaxModeReceive)
{
    SetAnswerOnRing(1);
    SetFaxAndData(false);
    SetOneFax(false);
    SetConstantStatus(false);
}

uint16_t TApdCustomReceiveFax::AnswerOnRing() const
{
    return static_cast<uint16_t>(FaxRec_->CData->AnswerOnRing);
}

void TApdCustomReceiveFax::SetAnswerOnRing(uint16_t value)
{
    fSetAnswerOnRing(FaxRec(), value);
}

bool TApdCustomReceiveFax::FaxAndData() const
{
    return FaxRec_->CData->FaxAndData == '1';
}

void TApdCustomReceiveFax::SetFaxAndData(bool value)
{
    fSetFaxAndData(FaxRec(), value);
}

bool TApdCustomReceiveFax::OneFax() const
{
    return FaxRec_->MachineFlags & mfOneFax;
}

void TApdCustomReceiveFax::SetOneFax(bool value)
{
    fSetOneFax(FaxRec(), value);
}

bool TApdCustomReceiveFax::ConstantStatus() const
{
    return FaxRec_->MachineFlags & mfIdleStatus;
}

void TApdCustomReceiveFax::SetConstantStatus(bool value)
{
    FaxRec_->MachineFlags = static_cast<uint16_t>(value ? FaxRec_->MachineFlags | mfIdleStatus
                                                        : FaxRec_->MachineFlags & ~mfIdleStatus);
}

std::string TApdCustomReceiveFax::DestinationDir() const
{
    return FaxRec_->PData->DestinationDir;
}

void TApdCustomReceiveFax::SetDestinationDir(const std::string& value)
{
    afSetDestinationDir(FaxRec(), value.empty() ? value : AddBackSlash(value));
}

void TApdCustomReceiveFax::StartReceive()
{
    CheckPort();
    // Answering at once was for the one call of a manual receive.
    FaxRec_->PData->AnswerNow = false;
    StartRun(true);
}

void TApdCustomReceiveFax::StartManualReceive(bool sendATA)
{
    CheckPort();
    TFaxData& D = *FaxRec_->PData;
    D.AttemptCount = 0;
    D.CurrentPage = 0;
    D.PageCount = 0;
    D.DataBytes = 0;
    D.PageLength = 0;
    D.AnswerNow = true;
    if (!sendATA)
        fSetConnectState(FaxRec());
    StartRun(true);
}

void TApdCustomReceiveFax::InitModemForFaxReceive()
{
    if (InProgress())
        return;
    CheckPort();
    if (!fInitModemForFaxReceive(FaxRec()))
        CheckException(this, AdErr::ecFaxInitError);
}

void TApdCustomReceiveFax::PrepareConnectInProgress()
{
    fSetConnectState(FaxRec());
}

intptr_t TApdCustomReceiveFax::HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam)
{
    switch (msg) {
    case apw_FaxAccept:
        return apwFaxAccept() ? 1 : 0;
    case apw_FaxName: {
        apwFaxName(FaxFileName_);
        afSetFaxName(FaxRec(), FaxFileName_);
        return 0;
    }
    default:
        return TApdAbstractFax::HandleMessage(msg, wParam, lParam);
    }
}

bool TApdCustomReceiveFax::apwFaxAccept()
{
    bool accept = true;
    if (OnFaxAccept)
        OnFaxAccept(this, accept);
    return accept;
}

void TApdCustomReceiveFax::apwFaxName(std::string& name)
{
    if (OnFaxName) {
        OnFaxName(this, name);
        return;
    }
    switch (FaxNameMode) {
    case TFaxNameMode::fnCount:
        name = afFaxNameCount(FaxRec());
        break;
    case TFaxNameMode::fnMonthDay:
        name = afFaxNameMD(FaxRec());
        break;
    case TFaxNameMode::fnNone:
        if (name.empty())
            name = "noname.apf";
        break;
    }
}
