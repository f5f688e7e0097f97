#include "fax/aw_abs_fax.h"

#include "fax/aw_fax.h"
#include "platform/text.h"
#include "serial/ad_except.h"
#include "serial/ad_misc.h"

#include <QDate>
#include <QLocale>
#include <QTime>

#include <cctype>
#include <filesystem>

namespace {

constexpr std::size_t kMaxStationID = 20;
// Received names take four digits as the rule says, and more digits only
// when all four-digit names are taken.
constexpr int kMaxNameNumber = 99999;

std::string Limit(const std::string& s, std::size_t n)
{
    return s.size() > n ? s.substr(0, n) : s;
}

std::string Digits(int n, int width)
{
    std::string s = std::to_string(n);
    return s.size() < static_cast<std::size_t>(width)
               ? std::string(static_cast<std::size_t>(width) - s.size(), '0') + s
               : s;
}

// The first free "<prefix><number>.<ext>" in the destination folder.
std::string FreeName(PFaxRec FP, const std::string& prefix)
{
    const TFaxData& D = *FP->PData;
    std::string dir = D.DestinationDir;
    if (!dir.empty() && dir.back() != '/' && dir.back() != ':')
        dir += '/';
    for (int n = 1; n <= kMaxNameNumber; ++n) {
        const std::string name = dir + prefix + Digits(n, 4) + "." + D.DefaultExtension;
        std::error_code ec;
        if (!std::filesystem::exists(name, ec) && !ec)
            return name;
    }
    return {};
}

intptr_t RunParam(PFaxRec FP)
{
    return reinterpret_cast<intptr_t>(FP);
}

} // namespace

TFaxRec::TFaxRec() = default;
TFaxRec::~TFaxRec() = default;

int afInitFaxData(std::unique_ptr<TFaxData>& faxData, const std::string& stationID,
                  TApdBaseDispatcher* dispatcher, TGuiTarget window)
{
    faxData = std::make_unique<TFaxData>();
    faxData->Dispatcher = dispatcher;
    faxData->Window = std::move(window);
    faxData->StationID = Limit(stationID, kMaxStationID);
    return 0;
}

void afDoneFaxData(std::unique_ptr<TFaxData>& faxData)
{
    faxData.reset();
}

void afSetComHandle(PFaxRec FP, TApdBaseDispatcher* dispatcher)
{
    FP->PData->Dispatcher = dispatcher;
}

void afSetWindow(PFaxRec FP, TGuiTarget window)
{
    FP->PData->Window = std::move(window);
}

void afSetTitle(PFaxRec FP, const std::string& title)
{
    FP->PData->Title = title;
}

void afSetRecipientName(PFaxRec FP, const std::string& name)
{
    FP->PData->RecipientName = name;
}

void afSetSenderName(PFaxRec FP, const std::string& name)
{
    FP->PData->SenderName = name;
}

void afSetStationID(PFaxRec FP, const std::string& id)
{
    FP->PData->StationID = Limit(id, kMaxStationID);
}

// File names keep their case: Linux names are case-sensitive.
void afSetDestinationDir(PFaxRec FP, const std::string& dir)
{
    FP->PData->DestinationDir = dir;
}

void afSetFaxName(PFaxRec FP, const std::string& name)
{
    FP->PData->FaxFileName = name;
}

std::string afGetFaxName(PFaxRec FP)
{
    return FP->PData->FaxFileName;
}

void afSetConnectAttempts(PFaxRec FP, int32_t attempts, int32_t retryWaitTicks)
{
    FP->PData->ConnectAttempts = attempts;
    FP->PData->RetryWait = retryWaitTicks;
}

int32_t afGetFaxProgress(PFaxRec FP)
{
    return FP->PData->StatusCode;
}

void afOptionsOn(PFaxRec FP, uint16_t options)
{
    FP->PData->Options |= options;
}

void afOptionsOff(PFaxRec FP, uint16_t options)
{
    FP->PData->Options &= static_cast<uint16_t>(~options);
}

bool afOptionsAreOn(PFaxRec FP, uint16_t options)
{
    return (FP->PData->Options & options) == options;
}

void afSetNextFax(PFaxRec FP, const std::string& number, const std::string& faxFile,
                  const std::string& coverFile)
{
    TFaxData& D = *FP->PData;
    D.PhoneNumber = Limit(number, kFaxMaxNumber);
    D.FaxFileName = faxFile;
    D.CoverFileName = coverFile;
}

void afAddFaxEntry(PFaxRec FP, const std::string& number, const std::string& faxFile,
                   const std::string& coverFile)
{
    FP->PData->FaxList.push_back({Limit(number, kFaxMaxNumber), faxFile, coverFile});
}

void afClearFaxEntries(PFaxRec FP)
{
    FP->PData->FaxList.clear();
    FP->PData->FaxListCurrent = 0;
}

bool afNextFaxList(PFaxRec FP, std::string& number, std::string& faxFile, std::string& coverFile)
{
    TFaxData& D = *FP->PData;
    if (D.FaxListCurrent >= D.FaxList.size())
        return false;
    const TFaxEntry& e = D.FaxList[D.FaxListCurrent++];
    number = e.Number;
    faxFile = e.FaxFile;
    coverFile = e.CoverFile;
    return true;
}

void afStartFax(PFaxRec FP, int (*startProc)(PFaxRec), TApdNotifyProc triggerProc)
{
    TFaxData& D = *FP->PData;
    D.HandlerRegistered = false;
    D.TriggerProc = triggerProc;
    TApdBaseDispatcher* disp = D.Dispatcher;
    disp->RemoveAllTriggers();
    disp->ChangeLengthTrigger(1);
    D.TimeoutTrigger = disp->AddTimerTrigger();
    D.StatusTrigger = disp->AddTimerTrigger();
    D.OutFreeTrigger = disp->AddStatusTrigger(stOutBuffFree);
    D.OutUsedTrigger = disp->AddStatusTrigger(stOutBuffUsed);
    if (D.TimeoutTrigger < 0 || D.StatusTrigger < 0 || D.OutFreeTrigger < 0 ||
        D.OutUsedTrigger < 0) {
        afReportError(FP, AdErr::ecNoMoreTriggers);
        afSignalFinish(FP);
        return;
    }
    disp->SetDataPointer(FP, 2);
    if (startProc) {
        startProc(FP);
        if (D.Error != 0) {
            afFaxStatus(FP, false, true);
            afSignalFinish(FP);
            return;
        }
    }
    FP->CancelPending = false;
    disp->RegisterProcTriggerHandler(triggerProc);
    D.HandlerRegistered = true;
    disp->SetTimerTrigger(D.StatusTrigger, 2, true);
}

void afStopFax(PFaxRec FP)
{
    TFaxData& D = *FP->PData;
    TApdBaseDispatcher* disp = D.Dispatcher;
    if (disp) {
        for (int* h : {&D.TimeoutTrigger, &D.StatusTrigger, &D.OutFreeTrigger, &D.OutUsedTrigger})
            if (*h > 0) {
                disp->RemoveTrigger(*h);
                *h = 0;
            }
        if (D.HandlerRegistered)
            disp->DeregisterProcTriggerHandler(D.TriggerProc);
    }
    D.HandlerRegistered = false;
    D.RunActive = false;
}

void afCancelFax(PFaxRec FP)
{
    TFaxData& D = *FP->PData;
    if (!D.HandlerRegistered || !D.Dispatcher)
        return;
    FP->CancelPending = true;
    D.Dispatcher->SetTimerTrigger(D.TimeoutTrigger, 1, true);
}

std::string afStatusMsg(int32_t code)
{
    if (code < 4801 || code > 4843)
        return {};
    return LibLoadZ(code);
}

bool afNextFax(PFaxRec FP)
{
    const auto r = FP->PData->Window.Send(apw_FaxNext, 0, RunParam(FP), kFaxNextTimeoutMs);
    return r && *r != 0;
}

void afFaxStatus(PFaxRec FP, bool first, bool last)
{
    const uintptr_t w = (first ? kFaxStatusFirst : 0) | (last ? kFaxStatusLast : 0);
    FP->PData->Window.Send(apw_FaxStatus, w, RunParam(FP), kFaxNotifyTimeoutMs);
}

void afLogFax(PFaxRec FP, TFaxLogCode code)
{
    FP->PData->Window.Send(apw_FaxLog, code, RunParam(FP), kFaxNotifyTimeoutMs);
}

void afFaxName(PFaxRec FP)
{
    TFaxData& D = *FP->PData;
    const auto r = D.Window.Send(apw_FaxName, 0, RunParam(FP), kFaxNotifyTimeoutMs);
    // No answer (or an answer that named nothing): the engine names the file.
    if (!r || D.FaxFileName.empty())
        D.FaxFileName = afFaxNameCount(FP);
}

bool afAcceptFax(PFaxRec FP, const std::string& remoteID)
{
    FP->PData->RemoteID = remoteID;
    const auto r = FP->PData->Window.Send(apw_FaxAccept, 0, RunParam(FP), kFaxNotifyTimeoutMs);
    return !r || *r != 0;
}

void afReportError(PFaxRec FP, int32_t code)
{
    FP->PData->Error = code;
    FP->PData->Window.Send(apw_FaxError, static_cast<uintptr_t>(static_cast<intptr_t>(code)), 0,
                           kFaxNotifyTimeoutMs);
}

void afSignalFinish(PFaxRec FP)
{
    afStopFax(FP);
    TFaxData& D = *FP->PData;
    if (D.Dispatcher) {
        const std::string text = "ErrorCode:" + std::to_string(D.Error);
        D.Dispatcher->AddDispatchEntry(0, 0, 0, text.data(), text.size());
    }
    D.Window.Post(apw_FaxFinish, static_cast<uint16_t>(D.Error), RunParam(FP));
}

std::string afConvertHeaderString(PFaxRec FP, const std::string& line)
{
    const TFaxData& D = *FP->PData;
    std::string out;
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] != '$') {
            out += line[i++];
            continue;
        }
        std::size_t end = line.find(' ', i);
        if (end == std::string::npos)
            end = line.size();
        const char letter =
            i + 1 < end ? static_cast<char>(std::toupper(static_cast<unsigned char>(line[i + 1])))
                        : 0;
        switch (letter) {
        case 'N':
            out += std::to_string(D.PageCount + D.CoverCount);
            break;
        case 'P':
            if (D.CoverCount == 0)
                out += std::to_string(D.CurrentPage);
            else
                out += D.OnCover ? "1" : std::to_string(D.CurrentPage + 1);
            break;
        case 'D':
            out += FromQt(QLocale::system().toString(QDate::currentDate(), QLocale::ShortFormat));
            break;
        case 'T':
            out += FromQt(QTime::currentTime().toString(QStringLiteral("hh:mm:ss")));
            break;
        case 'F':
            out += D.SenderName;
            break;
        case 'R':
            out += D.RecipientName;
            break;
        case 'S':
            out += D.Title;
            break;
        case 'I':
            out += D.StationID;
            break;
        case '$':
            out += '$';
            break;
        default:
            break;
        }
        i = end;
    }
    return out;
}

std::string afFaxNameCount(PFaxRec FP)
{
    return FreeName(FP, "FAX");
}

std::string afFaxNameMD(PFaxRec FP)
{
    const QDate today = QDate::currentDate();
    return FreeName(FP, Digits(today.month(), 2) + Digits(today.day(), 2));
}

PFaxRec afRunOfTrigger(int32_t lParam)
{
    TApdBaseDispatcher* disp =
        TApdBaseDispatcher::PortListEntry(static_cast<int>(static_cast<uint32_t>(lParam) >> 16));
    return disp ? static_cast<PFaxRec>(disp->GetDataPointer(2)) : nullptr;
}
