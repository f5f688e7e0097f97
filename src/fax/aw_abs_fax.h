#pragma once

#include "platform/gui_message.h"
#include "serial/ad_dispatcher.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// What the fax send and receive engines share: the run record, the start
// and stop of a run on a port's dispatcher, the list of faxes to send, the
// header tokens, the naming of received files, and the notifications by
// which the engine (in the port's dispatch thread) talks to the fax
// components (on the GUI thread).
//
// Decisions this unit takes:
// - The components' hidden window is a TGuiTarget; blocking notifications
//   are sends with a time-out, the finish is a post. lParam carries the run
//   handle (TFaxRec*). A window that does not answer in time gets the safe
//   default: no next fax, the fax accepted, and a received file named by
//   the engine.
// - File and folder names keep their case (Linux names are case-sensitive);
//   received names are made upper-case as "FAX0001.APF".
// - "$D" is today's date in the system locale's short format and "$T" the
//   time as hh:mm:ss.
// - Received names never fall back to a fixed name outside the destination
//   folder: when FAX0001..FAX9999 are taken, the next free name of the form
//   FAXnnnnn (up to 99999) in the same folder is used; only when none is
//   left does naming fail (the file name stays empty and the receive fails
//   with "No filename specified").
// - A cancel from the GUI thread is handed to the dispatch thread (the run
//   is marked and its time-out trigger fired at once); the machine then
//   aborts as for the cancel message. A handler call is never run by two
//   threads at once.

struct TC12AbsData;

// Notification messages to the components' window, and the cancel message
// of the state machines.
inline constexpr uint32_t apw_FaxCancel = 0x7EA0;
inline constexpr uint32_t apw_FaxNext = 0x7EA1;
inline constexpr uint32_t apw_FaxStatus = 0x7EA2;
inline constexpr uint32_t apw_FaxLog = 0x7EA3;
inline constexpr uint32_t apw_FaxName = 0x7EA4;
inline constexpr uint32_t apw_FaxAccept = 0x7EA5;
inline constexpr uint32_t apw_FaxError = 0x7EA6;
inline constexpr uint32_t apw_FaxFinish = 0x7EA7;

// The longest number the engine dials; a longer one is cut.
inline constexpr std::size_t kFaxMaxNumber = 40;

// Time limits of the blocking notifications.
inline constexpr uint32_t kFaxNextTimeoutMs = 2000;
inline constexpr uint32_t kFaxNotifyTimeoutMs = 1000;

// wParam bits of apw_FaxStatus.
inline constexpr uintptr_t kFaxStatusFirst = 1;
inline constexpr uintptr_t kFaxStatusLast = 2;

enum class ClassType : uint8_t { ctUnknown, ctDetect, ctClass1, ctClass2, ctClass2_0 };

enum TFaxLogCode : uint8_t {
    lfaxNone,
    lfaxTransmitStart,
    lfaxTransmitOk,
    lfaxTransmitFail,
    lfaxReceiveStart,
    lfaxReceiveOk,
    lfaxReceiveSkip,
    lfaxReceiveFail
};

// Run option bits.
inline constexpr uint16_t afAbortNoConnect = 1; // a busy line with no attempts left ends the run
inline constexpr uint16_t afExitOnError = 2;    // an aborted fax ends the run
inline constexpr uint16_t afSoftwareFlow = 8;   // XON/XOFF around page data

// Status codes 4801..4843 (texts through afStatusMsg).
namespace FaxStatus {
inline constexpr int32_t fpInitModem = 4801;
inline constexpr int32_t fpDialing = 4802;
inline constexpr int32_t fpBusyWait = 4803;
inline constexpr int32_t fpSendPage = 4804;
inline constexpr int32_t fpSendPageStatus = 4805;
inline constexpr int32_t fpPageError = 4806;
inline constexpr int32_t fpPageOK = 4807;
inline constexpr int32_t fpConnecting = 4808;
inline constexpr int32_t fpWaiting = 4820;
inline constexpr int32_t fpNoConnect = 4821;
inline constexpr int32_t fpAnswer = 4822;
inline constexpr int32_t fpIncoming = 4823;
inline constexpr int32_t fpGetPage = 4824;
inline constexpr int32_t fpGetPageResult = 4825;
inline constexpr int32_t fpCheckMorePages = 4826;
inline constexpr int32_t fpGetHangup = 4827;
inline constexpr int32_t fpGotHangup = 4828;
inline constexpr int32_t fpSwitchModes = 4830;
inline constexpr int32_t fpMonitorEnabled = 4831;
inline constexpr int32_t fpMonitorDisabled = 4832;
inline constexpr int32_t fpSessionParams = 4840;
inline constexpr int32_t fpGotRemoteID = 4841;
inline constexpr int32_t fpCancel = 4842;
inline constexpr int32_t fpFinished = 4843;
} // namespace FaxStatus

struct TFaxEntry {
    std::string Number;
    std::string FaxFile;
    std::string CoverFile;
};

// One run's shared data. Created by afInitFaxData, freed by afDoneFaxData.
struct TFaxData {
    int StatusTrigger = 0;
    int TimeoutTrigger = 0;
    int OutFreeTrigger = 0;     // status trigger: output buffer free at a level
    int OutUsedTrigger = 0;     // status trigger: output buffer used down to a level
    int32_t StatusInterval = 1; // seconds
    TGuiTarget Window;
    TApdBaseDispatcher* Dispatcher = nullptr;
    TApdNotifyProc TriggerProc = nullptr;
    bool Sending = false;
    bool OnCover = false;
    bool RunActive = false;
    int32_t ConnectAttempts = 1;
    int32_t AttemptCount = 0;
    int32_t RetryWait = 0; // ticks between dial attempts
    uint16_t Options = 0;
    int32_t StatusCode = 0;
    int32_t Error = 0;
    int32_t CurrentPage = 0;
    int32_t PageCount = 0;
    int32_t CoverCount = 0;
    int32_t DataBytes = 0;
    int32_t PageLength = 0;
    std::vector<TFaxEntry> FaxList;
    std::size_t FaxListCurrent = 0;
    ClassType Class = ClassType::ctUnknown;
    std::string StationID;
    std::string RemoteID;
    std::string DestinationDir;
    std::string DefaultExtension = "APF";
    std::string FaxFileName;
    std::string CoverFileName;
    std::string PhoneNumber;
    std::string Title;
    std::string RecipientName;
    std::string SenderName;
    bool LineAlreadyConnected = false;
    bool HandlerRegistered = false;
    bool AnswerNow = false;
};

// The run handle every engine routine takes.
struct TFaxRec {
    TFaxRec();
    ~TFaxRec();
    TFaxRec(const TFaxRec&) = delete;
    TFaxRec& operator=(const TFaxRec&) = delete;

    std::unique_ptr<TFaxData> PData;
    std::unique_ptr<TC12AbsData> CData;
    uint8_t State = 0;         // SendStates or ReceiveStates
    uint16_t MachineFlags = 0; // the machine's own option bits (idle status, one fax, safe mode)
    // Held for every handler call; a cancel from another thread only marks
    // the run and wakes the dispatch thread.
    std::recursive_mutex HandlerLock;
    std::atomic<bool> CancelPending{false};
};

using PFaxRec = TFaxRec*;

int afInitFaxData(std::unique_ptr<TFaxData>& faxData, const std::string& stationID,
                  TApdBaseDispatcher* dispatcher, TGuiTarget window);
void afDoneFaxData(std::unique_ptr<TFaxData>& faxData);

void afSetComHandle(PFaxRec FP, TApdBaseDispatcher* dispatcher);
void afSetWindow(PFaxRec FP, TGuiTarget window);
void afSetTitle(PFaxRec FP, const std::string& title);
void afSetRecipientName(PFaxRec FP, const std::string& name);
void afSetSenderName(PFaxRec FP, const std::string& name);
void afSetStationID(PFaxRec FP, const std::string& id);
void afSetDestinationDir(PFaxRec FP, const std::string& dir);
void afSetFaxName(PFaxRec FP, const std::string& name);
std::string afGetFaxName(PFaxRec FP);
void afSetConnectAttempts(PFaxRec FP, int32_t attempts, int32_t retryWaitTicks);
int32_t afGetFaxProgress(PFaxRec FP);
void afOptionsOn(PFaxRec FP, uint16_t options);
void afOptionsOff(PFaxRec FP, uint16_t options);
bool afOptionsAreOn(PFaxRec FP, uint16_t options);

void afSetNextFax(PFaxRec FP, const std::string& number, const std::string& faxFile,
                  const std::string& coverFile);
void afAddFaxEntry(PFaxRec FP, const std::string& number, const std::string& faxFile,
                   const std::string& coverFile);
void afClearFaxEntries(PFaxRec FP);
bool afNextFaxList(PFaxRec FP, std::string& number, std::string& faxFile, std::string& coverFile);

// Start of a run on the GUI thread: triggers, slot-2 data pointer, the
// preparation (startProc, may be null), then the handler registered and the
// first status timer armed. A failed start reports and posts the finish.
void afStartFax(PFaxRec FP, int (*startProc)(PFaxRec), TApdNotifyProc triggerProc);
void afStopFax(PFaxRec FP);
// Asks the run's machine to abort as for the cancel message; returns at
// once. The finish message follows when the run ends.
void afCancelFax(PFaxRec FP);

std::string afStatusMsg(int32_t code);

bool afNextFax(PFaxRec FP);
void afFaxStatus(PFaxRec FP, bool first, bool last);
void afLogFax(PFaxRec FP, TFaxLogCode code);
void afFaxName(PFaxRec FP);
bool afAcceptFax(PFaxRec FP, const std::string& remoteID);
void afReportError(PFaxRec FP, int32_t code);
void afSignalFinish(PFaxRec FP);

std::string afConvertHeaderString(PFaxRec FP, const std::string& line);

// Default names for a received fax (the components' answer to apw_FaxName
// when they name nothing themselves). Empty when no name is free.
std::string afFaxNameCount(PFaxRec FP);
std::string afFaxNameMD(PFaxRec FP);

// The run of a trigger call: the dispatcher at lParam's high word, its data
// pointer of slot 2. Null when either is missing.
PFaxRec afRunOfTrigger(int32_t lParam);
