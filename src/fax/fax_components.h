#pragma once

#include "fax/aw_fax.h"
#include "serial/ad_component.h"

#include <QPointer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The fax send and receive components: the engine behind properties,
// methods and events. The engine runs in the port's dispatch thread and
// reports through the awFaxHandler messages to a receiver each component
// owns; that receiver's handler, on the GUI thread, is the one place events
// are raised.
//
// Choices made here:
// - There is no telephony line device: the components work on serial ports
//   only.
// - A call is in progress from its start until its finish message has been
//   handled. The in-progress mark is cleared before OnFaxFinish runs, so a
//   handler may start the next call on the same component.
// - A status interval of 0 means the default, one second (0 would have the
//   engine report status on every tick).
// - A receiver's destination folder stays empty (the working folder) when
//   set empty, instead of becoming "/".
// - StartManualReceive without ATA treats the call as already connected.
// - StartManualReceive's answer-at-once mark holds for that one call only:
//   StartReceive clears it, so a later receive waits for AnswerOnRing rings
//   again and, without OneFax, goes on after its call.
// - A cancel is handed to the engine's dispatch thread (afCancelFax); the
//   finish message follows when the run has ended.
// - Several files to send are joined into a temporary "~AP*.tmp" file in
//   the folder of the first of them, which their owner keeps: never in the
//   system's temporary folder, where a crash would leave it for good.

class TApdCustomComPort;
class TApdAbstractFaxStatus;
class TApdFaxLog;

enum class TFaxClass : uint8_t { fcUnknown, fcDetect, fcClass1, fcClass2, fcClass2_0 };
enum class TFaxNameMode : uint8_t { fnNone, fnCount, fnMonthDay };
// Set of fax classes, one bit per TFaxClass value.
using TFaxClassSet = uint8_t;
inline constexpr TFaxClassSet FaxClassBit(TFaxClass c)
{
    return static_cast<TFaxClassSet>(1u << static_cast<unsigned>(c));
}

// Fax modes of the components.
inline constexpr uint8_t kFaxModeSend = 1;
inline constexpr uint8_t kFaxModeReceive = 2;

class TApdCustomAbstractFax;
using TFaxCallStatusEvent = std::function<void(TApdCustomAbstractFax* cp, bool first, bool last)>;
using TFaxLogEvent = std::function<void(TApdCustomAbstractFax* cp, TFaxLogCode logCode)>;
using TFaxErrorEvent = std::function<void(TApdCustomAbstractFax* cp, int errorCode)>;
using TFaxFinishEvent = std::function<void(TApdCustomAbstractFax* cp, int errorCode)>;
using TFaxNextEvent = std::function<void(TApdCustomAbstractFax* cp, std::string& phoneNumber,
                                         std::string& faxFile, std::string& coverFile)>;
using TFaxAcceptEvent = std::function<void(TApdCustomAbstractFax* cp, bool& accept)>;
using TFaxNameEvent = std::function<void(TApdCustomAbstractFax* cp, std::string& name)>;

// The engine entry points a component starts a run with. Tests swap in a
// scripted engine.
struct TFaxEngineProcs {
    int (*Prepare)(PFaxRec) = nullptr;
    TApdNotifyProc Machine = nullptr;
};

class TApdCustomAbstractFax : public TApdBaseComponent {
    Q_OBJECT
public:
    ~TApdCustomAbstractFax() override;

    uint8_t FaxMode() const { return FaxMode_; }

    int InitBaud() const { return InitBaud_; }
    void SetInitBaud(int value);
    int NormalBaud() const { return NormalBaud_; }
    void SetNormalBaud(int value);
    TFaxClass FaxClass() const;
    void SetFaxClass(TFaxClass value);
    const std::string& ModemInit() const { return ModemInit_; }
    void SetModemInit(const std::string& value);
    std::string StationID() const;
    void SetStationID(const std::string& value);
    TApdCustomComPort* ComPort() const;
    virtual void SetComPort(TApdCustomComPort* value);
    TApdAbstractFaxStatus* StatusDisplay() const;
    virtual void SetStatusDisplay(TApdAbstractFaxStatus* value);
    TApdFaxLog* FaxLog() const;
    virtual void SetFaxLog(TApdFaxLog* value);
    virtual std::string GetFaxFile() const;
    virtual void SetFaxFile(const std::string& value);
    bool AbortNoConnect() const;
    void SetAbortNoConnect(bool value);
    bool ExitOnError() const;
    void SetExitOnError(bool value);
    bool SoftwareFlow() const;
    void SetSoftwareFlow(bool value);
    uint16_t StatusInterval() const;
    void SetStatusInterval(uint16_t value);
    uint16_t DesiredBPS() const;
    void SetDesiredBPS(uint16_t value);
    bool DesiredECM() const;
    void SetDesiredECM(bool value);
    std::string FaxFileExt() const;
    void SetFaxFileExt(const std::string& value);

    TFaxCallStatusEvent OnFaxStatus;
    TFaxLogEvent OnFaxLog;
    TFaxErrorEvent OnFaxError;
    TFaxFinishEvent OnFaxFinish;

    // Read from the engine.
    std::string RemoteID() const;
    TFaxClassSet SupportedFaxClasses();
    uint16_t FaxProgress() const;
    int FaxError() const;
    int32_t SessionBPS() const;
    bool SessionResolution() const;
    bool SessionWidth() const;
    bool SessionECM() const;
    uint16_t HangupCode() const;
    int32_t LastPageStatus() const;
    std::string ModemModel();
    std::string ModemRevision();
    std::string ModemChip();
    int32_t ModemBPS();
    bool ModemECM();
    int32_t TotalPages() const;
    int32_t CurrentPage() const;
    int32_t BytesTransferred() const;
    int32_t PageLength() const;
    uint32_t ElapsedTime() const;
    bool InProgress() const { return InProgress_; }

    // Ends the call in progress; its finish follows.
    virtual void CancelFax();
    std::string StatusMsg(uint16_t status) const;
    std::string LogMsg(TFaxLogCode logCode) const;
    // A port that can carry a fax call: raises EPortNotAssigned,
    // ECannotUseWithWinSock, ECommNotOpen or EOutputBufferTooSmall.
    virtual void CheckPort();

    // The engine's run record.
    PFaxRec FaxRec() const { return FaxRec_.get(); }
    // Where runs start; the real engine unless replaced.
    void SetEngine(const TFaxEngineProcs& procs) { Engine_ = procs; }
    // The modem-control lines the engine hangs up with; null: the port's.
    void SetModemLines(TFaxModemLines* lines);

protected:
    TApdCustomAbstractFax(QObject* owner, uint8_t faxMode);

    virtual void PrepareTapi() {}
    virtual void UnprepareTapi() {}
    virtual void apwFaxStatus(bool first, bool last);
    virtual void apwFaxLog(TFaxLogCode logCode);
    virtual void apwFaxError(int errorCode);
    virtual void apwFaxFinish(int errorCode);
    // The awFaxHandler messages.
    virtual intptr_t HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam);
    void StartRun(bool prepare);
    void QueryModemInfo();

    std::unique_ptr<TFaxRec> FaxRec_;
    TFaxEngineProcs Engine_;
    std::unique_ptr<TGuiReceiver> Window_;
    std::string FaxFileName_;
    bool ConcatFile_ = false;    // the call sends the joined files
    std::string ConcatName_;     // what the engine gets for them
    std::string TempConcatFile_; // the joined file, deleted at the finish

private:
    uint8_t FaxMode_;
    int InitBaud_ = 0;
    int NormalBaud_ = 0;
    std::string ModemInit_;
    QPointer<TApdCustomComPort> ComPort_;
    QPointer<TApdAbstractFaxStatus> StatusDisplay_;
    QPointer<TApdFaxLog> FaxLog_;
    std::string ModemModel_, ModemChip_, ModemRevision_;
    int32_t ModemBPS_ = 0;
    bool ModemECM_ = false;
    TFaxClassSet SupportedClasses_ = 0;
    bool ClassesKnown_ = false;
    uint32_t StartTime_ = 0;
    bool InProgress_ = false;
};

class TApdAbstractFax : public TApdCustomAbstractFax {
    Q_OBJECT
public:
    using TApdCustomAbstractFax::TApdCustomAbstractFax;
};

class TApdCustomSendFax : public TApdAbstractFax {
    Q_OBJECT
public:
    explicit TApdCustomSendFax(QObject* owner = nullptr);
    ~TApdCustomSendFax() override;

    std::string GetFaxFile() const override;
    void SetFaxFile(const std::string& value) override;
    const std::vector<std::string>& FaxFileList() const { return FaxFileList_; }
    void SetFaxFileList(const std::vector<std::string>& value) { FaxFileList_ = value; }
    std::string CoverFile;
    std::string PhoneNumber;
    bool BlindDial() const { return BlindDial_; }
    void SetBlindDial(bool value);
    bool DetectBusy() const { return DetectBusy_; }
    void SetDetectBusy(bool value);
    bool ToneDial() const;
    void SetToneDial(bool value);
    std::string DialPrefix() const;
    void SetDialPrefix(const std::string& value);
    uint16_t DialWait() const;
    void SetDialWait(uint16_t seconds);
    uint16_t DialAttempts() const;
    void SetDialAttempts(uint16_t value);
    uint16_t DialRetryWait() const;
    void SetDialRetryWait(uint16_t seconds);
    uint16_t MaxSendCount() const;
    void SetMaxSendCount(uint16_t value);
    uint16_t BufferMinimum() const;
    void SetBufferMinimum(uint16_t value);
    bool SafeMode() const;
    void SetSafeMode(bool value);
    std::string HeaderLine() const;
    void SetHeaderLine(const std::string& value);
    std::string HeaderSender() const;
    void SetHeaderSender(const std::string& value);
    std::string HeaderRecipient() const;
    void SetHeaderRecipient(const std::string& value);
    std::string HeaderTitle() const;
    void SetHeaderTitle(const std::string& value);
    bool EnhTextEnabled() const;
    void SetEnhTextEnabled(bool value);
    const std::string& EnhFont() const { return EnhFont_; }
    void SetEnhFont(const std::string& value);
    const std::string& EnhHeaderFont() const { return EnhHeaderFont_; }
    void SetEnhHeaderFont(const std::string& value);
    bool FastPage = false;
    uint16_t DialAttempt() const;

    TFaxNextEvent OnFaxNext;

    void StartTransmit();
    void StartManualTransmit();
    // Joins FaxFileList into `fileName`; at a missing file `fileName`
    // becomes that file's name and nothing is written.
    void ConcatFaxes(std::string& fileName);
    // Copies a text file with every line's header tokens replaced.
    void ConvertCover(const std::string& inCover, const std::string& outCover);

protected:
    virtual bool apwFaxNext(std::string& phoneNumber, std::string& faxFile, std::string& coverFile);
    intptr_t HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
    void apwFaxFinish(int errorCode) override;

private:
    std::vector<std::string> FaxFileList_;
    bool BlindDial_ = false;
    bool DetectBusy_ = true;
    std::string EnhFont_;
    std::string EnhHeaderFont_;
    bool JobHandedOver_ = false; // the one job of this call went to the engine
};

class TApdSendFax : public TApdCustomSendFax {
    Q_OBJECT
public:
    using TApdCustomSendFax::TApdCustomSendFax;
};

class TApdCustomReceiveFax : public TApdAbstractFax {
    Q_OBJECT
public:
    explicit TApdCustomReceiveFax(QObject* owner = nullptr);

    uint16_t AnswerOnRing() const;
    void SetAnswerOnRing(uint16_t value);
    bool FaxAndData() const;
    void SetFaxAndData(bool value);
    TFaxNameMode FaxNameMode = TFaxNameMode::fnCount;
    bool OneFax() const;
    void SetOneFax(bool value);
    bool ConstantStatus() const;
    void SetConstantStatus(bool value);
    std::string DestinationDir() const;
    void SetDestinationDir(const std::string& value);

    TFaxAcceptEvent OnFaxAccept;
    TFaxNameEvent OnFaxName;

    void StartReceive();
    void StartManualReceive(bool sendATA);
    void InitModemForFaxReceive();
    void PrepareConnectInProgress();

protected:
    virtual bool apwFaxAccept();
    virtual void apwFaxName(std::string& name);
    intptr_t HandleMessage(uint32_t msg, uintptr_t wParam, intptr_t lParam) override;
};

class TApdReceiveFax : public TApdCustomReceiveFax {
    Q_OBJECT
public:
    using TApdCustomReceiveFax::TApdCustomReceiveFax;
};
