#include "fax/aw_fax.h"

#include "fax/aw_fax_receive.h"

#include "core/text_util.h"
#include "netlib/mime/ip_mime.h"
#include "serial/ad_except.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

namespace {

const TFaxClassRecord kClass1{ClassType::ctClass1,
                              "AT+FCLASS=1",
                              {"", "", ""},
                              "",
                              "",
                              "",
                              "",
                              "",
                              "",
                              "",
                              "",
                              "",
                              "\x01", // no hang-up report in Class 1
                              false,
                              false};
const TFaxClassRecord kClass2{ClassType::ctClass2,
                              "AT+FCLASS=2",
                              {"AT+FMDL?", "AT+FMFR?", "AT+FREV?"},
                              "AT+FDIS",
                              "AT+FLID",
                              "AT+FDCC",
                              "+FCON",
                              "+FDIS",
                              "+FDCS",
                              "+FTSI",
                              "+FCSI",
                              "+FPTS",
                              "FHNG",
                              true,
                              false};
const TFaxClassRecord kClass20{ClassType::ctClass2_0,
                               "AT+FCLASS=2.0",
                               {"AT+FMI?", "AT+FMM?", "AT+FMR?"},
                               "AT+FIS",
                               "AT+FLI",
                               "AT+FCC",
                               "+FCO",
                               "+FIS",
                               "+FCS",
                               "+FTI",
                               "+FCI",
                               "+FPS",
                               "FHS",
                               false,
                               true};

constexpr std::array<int32_t, kSpeedCount> kRates{2400, 4800, 7200, 9600, 12000, 14400};
// Modulations by speed index: training check and page data.
constexpr std::array<const char*, kSpeedCount> kTrainMod{"24", "48", "72", "96", "121", "145"};
constexpr std::array<const char*, kSpeedCount> kPageMod{"24", "48", "72", "96", "122", "146"};

// T.30 rate field of DIS/DCS, as the modem delivers the second FIF octet
// (bit 11 = 0x04 .. bit 14 = 0x20).
constexpr uint8_t kRateMask = 0x3C;
// DCS: by speed index; 7200 and 9600 as V.29, 12000 and 14400 as V.17.
constexpr std::array<uint8_t, kSpeedCount> kDcsRate{0x00, 0x08, 0x0C, 0x04, 0x28, 0x20};
constexpr uint8_t kDcsV17_7200 = 0x2C;
constexpr uint8_t kDcsV17_9600 = 0x24;
// DIS: V.27 ter 4800 (bit 12), V.29 (bit 11), V.27 ter + V.29, + V.17.
constexpr std::array<uint8_t, kSpeedCount> kDisRate{0x00, 0x08, 0x0C, 0x0C, 0x2C, 0x2C};

// Minimum scan line times (ms) by code, normal / fine.
constexpr std::array<std::array<int, 2>, 8> kScanTimes{
    {{0, 0}, {5, 5}, {10, 5}, {10, 10}, {20, 10}, {20, 20}, {40, 20}, {40, 40}}};
// Third FIF octet's scan-time bits by code, normal / fine.
constexpr std::array<std::array<uint8_t, 2>, 8> kScanOctet{{{0x70, 0x70},
                                                            {0x10, 0x10},
                                                            {0x20, 0x10},
                                                            {0x20, 0x20},
                                                            {0x00, 0x20},
                                                            {0x00, 0x00},
                                                            {0x40, 0x00},
                                                            {0x40, 0x40}}};
// Scan-time code of the received bits 0x70 >> 4.
constexpr std::array<uint8_t, 8> kScanCodeOfBits{5, 1, 3, 4, 7, 6, 2, 0};

constexpr uint8_t DLE = 0x10;
constexpr uint8_t ETX = 0x03;

using IpMime::Trim;

TC12AbsData& Cd(PFaxRec FP)
{
    return *FP->CData;
}

TFaxData& Pd(PFaxRec FP)
{
    return *FP->PData;
}

// The port's own modem-control lines.
class TDispatcherLines : public TFaxModemLines {
public:
    explicit TDispatcherLines(TFaxData& data) : FData(data) {}
    void SetModem(bool dtr, bool rts) override
    {
        if (FData.Dispatcher)
            FData.Dispatcher->SetModem(dtr, rts);
    }
    bool CheckDCD() override { return FData.Dispatcher && FData.Dispatcher->CheckDCD(); }

private:
    TFaxData& FData;
};

TFaxModemLines& Lines(PFaxRec FP)
{
    TC12AbsData& C = Cd(FP);
    return C.Lines ? *C.Lines : *C.OwnLines;
}

void LoadCommands(PFaxRec FP)
{
    TC12AbsData& C = Cd(FP);
    const ClassType cls = Pd(FP).Class;
    C.Commands = &FaxClassRecord(cls);
    if (cls != ClassType::ctClass1 || C.ClassCommand.rfind("AT+FCLASS=1", 0) != 0)
        C.ClassCommand = C.Commands->ClassCommand;
}

int InitRun(std::unique_ptr<TFaxRec>& FP, const std::string& stationID,
            TApdBaseDispatcher* dispatcher, TGuiTarget window, bool sending)
{
    FP = std::make_unique<TFaxRec>();
    afInitFaxData(FP->PData, stationID, dispatcher, std::move(window));
    cInitC12AbsData(FP->CData);
    FP->CData->OwnLines = std::make_unique<TDispatcherLines>(*FP->PData);
    FP->PData->Sending = sending;
    return 0;
}

void UpdateInitString(TC12AbsData& C)
{
    const char digit = C.DetectBusy ? (C.BlindDial ? '3' : '4') : (C.BlindDial ? '1' : '2');
    C.DefaultInit = std::string("ATE0Q0V1X") + digit + "S0=0S2=43";
}

bool SendInitStrings(PFaxRec FP)
{
    TC12AbsData& C = Cd(FP);
    if (!C.UserInit.empty() && !FaxLine::SyncCommand(FP, C.UserInit))
        return false;
    if (!FaxLine::SyncCommand(FP, C.DefaultInit))
        return false;
    C.ModemReady = true;
    return true;
}

bool HasField(const std::vector<std::string>& fields, const char* name)
{
    return std::find(fields.begin(), fields.end(), name) != fields.end();
}

// Class 1: selects the class and learns the modem's speeds in one
// direction.
bool ProbeClass1Speeds(PFaxRec FP, bool send)
{
    TC12AbsData& C = Cd(FP);
    if (!FaxLine::SyncCommand(FP, "AT+FCLASS=1")) {
        if (!FaxLine::SyncCommand(FP, "AT+FCLASS=1.0"))
            return false;
        C.ClassCommand = "AT+FCLASS=1.0";
    }
    C.LocalSpeeds = {true, true, false, false, false, false};
    if (!FaxLine::SyncCommand(FP, send ? "AT+FTM=?" : "AT+FRM=?"))
        return false;
    const auto fields = ReportFields(C.Response);
    C.LocalSpeeds[2] = HasField(fields, "72");
    C.LocalSpeeds[3] = HasField(fields, "96");
    C.LocalSpeeds[4] = HasField(fields, "121");
    C.LocalSpeeds[5] = HasField(fields, "145");
    C.SpeedIndex = 2;
    for (int i = kSpeedCount; i >= 1; --i)
        if (C.LocalSpeeds[static_cast<std::size_t>(i - 1)]) {
            C.SpeedIndex = static_cast<uint16_t>(i);
            break;
        }
    return true;
}

int32_t MaxRate(const TC12AbsData& C)
{
    return C.MaxBitRate == 0 ? 14400 : C.MaxBitRate;
}

// Takes one line from the input (characters below 32 dropped, CR ends a
// non-empty line); false when none is complete yet.
bool ReadSyncLine(PFaxRec FP, std::string& partial, std::string& line)
{
    TApdBaseDispatcher* disp = Pd(FP).Dispatcher;
    uint8_t ch = 0;
    while (disp->CharReady() && disp->GetChar(ch) == 0) {
        if (ch == '\r') {
            if (!partial.empty()) {
                line = partial;
                partial.clear();
                return true;
            }
        } else if (ch >= 32) {
            partial += static_cast<char>(ch);
        }
    }
    return false;
}

} // namespace

const TFaxClassRecord& FaxClassRecord(ClassType cls)
{
    switch (cls) {
    case ClassType::ctClass2:
        return kClass2;
    case ClassType::ctClass2_0:
        return kClass20;
    default:
        return kClass1;
    }
}

int32_t SpeedIndexToRate(int index)
{
    return index >= 1 && index <= kSpeedCount ? kRates[static_cast<std::size_t>(index - 1)] : 0;
}

int cInitC12AbsData(std::unique_ptr<TC12AbsData>& data)
{
    data = std::make_unique<TC12AbsData>();
    return 0;
}

void cDoneC12AbsData(std::unique_ptr<TC12AbsData>& data)
{
    data.reset();
}

int fInitC12SendFax(std::unique_ptr<TFaxRec>& FP, const std::string& stationID,
                    TApdBaseDispatcher* dispatcher, TGuiTarget window)
{
    InitRun(FP, stationID, dispatcher, std::move(window), true);
    return 0;
}

void fDoneC12SendFax(std::unique_ptr<TFaxRec>& FP)
{
    FP.reset();
}

int fInitC12ReceiveFax(std::unique_ptr<TFaxRec>& FP, const std::string& stationID,
                       TApdBaseDispatcher* dispatcher, TGuiTarget window)
{
    InitRun(FP, stationID, dispatcher, std::move(window), false);
    FP->State = 1; // rfInit
    FP->PData->CurrentPage = 1;
    return 0;
}

void fDoneC12ReceiveFax(std::unique_ptr<TFaxRec>& FP)
{
    FP.reset();
}

void fSetFaxPort(PFaxRec FP, TApdBaseDispatcher* dispatcher)
{
    Pd(FP).Dispatcher = dispatcher;
}

void fSetModemLines(PFaxRec FP, TFaxModemLines* lines)
{
    Cd(FP).Lines = lines;
}

int fSetModemInit(PFaxRec FP, const std::string& init)
{
    TC12AbsData& C = Cd(FP);
    std::string s = UpperCase(Trim(init));
    if (!s.empty() && s.rfind("AT", 0) != 0)
        s = "AT" + s;
    C.UserInit = s.substr(0, 40);
    return 0;
}

ClassType fSetClassType(PFaxRec FP, ClassType cls)
{
    TFaxData& D = Pd(FP);
    if (cls != ClassType::ctDetect) {
        D.Class = cls;
        return cls;
    }
    bool c1 = false, c2 = false, c20 = false;
    if (!fGetModemClassSupport(FP, c1, c2, true, c20))
        D.Class = ClassType::ctUnknown;
    else if (c20)
        D.Class = ClassType::ctClass2_0;
    else if (c2)
        D.Class = ClassType::ctClass2;
    else if (c1)
        D.Class = ClassType::ctClass1;
    else
        D.Class = ClassType::ctUnknown;
    return D.Class;
}

void fSetInitBaudRate(PFaxRec FP, int32_t initBaud, int32_t normalBaud, bool switchNow)
{
    TC12AbsData& C = Cd(FP);
    C.InitBaud = initBaud;
    if (normalBaud == 0 && Pd(FP).Dispatcher) {
        uint32_t baud = 0;
        TParity parity{};
        uint8_t dataBits = 0, stopBits = 0;
        Pd(FP).Dispatcher->GetLine(baud, parity, dataBits, stopBits);
        normalBaud = static_cast<int32_t>(baud);
    }
    C.NormalBaud = normalBaud;
    if (switchNow)
        FaxLine::SwitchToInitBaud(FP);
}

void fSetModemFeatures(PFaxRec FP, int32_t bitRate, char ecDigit)
{
    Cd(FP).MaxBitRate = static_cast<uint16_t>(bitRate);
    Cd(FP).ECDigit = ecDigit;
}

void fSetHeaderText(PFaxRec FP, const std::string& text)
{
    Cd(FP).HeaderText = text;
}

void fSetEnhTextEnabled(PFaxRec FP, bool on)
{
    Cd(FP).EnhancedText = on;
}

void fSetEnhSmallFont(PFaxRec FP, const std::string& font)
{
    Cd(FP).SmallFont = font;
}

void fSetEnhStandardFont(PFaxRec FP, const std::string& font)
{
    Cd(FP).StandardFont = font;
}

void fSetBlindDial(PFaxRec FP, bool on)
{
    Cd(FP).BlindDial = on;
    UpdateInitString(Cd(FP));
}

void fSetDetectBusy(PFaxRec FP, bool on)
{
    Cd(FP).DetectBusy = on;
    UpdateInitString(Cd(FP));
}

void fSetToneDial(PFaxRec FP, bool tone)
{
    Cd(FP).ToneDial = tone;
    Cd(FP).DialChar = tone ? 'T' : 'P';
}

void fSetDialPrefix(PFaxRec FP, const std::string& prefix)
{
    Cd(FP).DialPrefix = prefix.substr(0, 40);
}

void fSetDialTime(PFaxRec FP, int32_t ticks)
{
    Cd(FP).DialWait = ticks;
}

void fSetMaxRetries(PFaxRec FP, int32_t retries)
{
    Cd(FP).MaxRetries = retries;
}

void fSetYielding(PFaxRec FP, int32_t linesPerCall, int32_t bufferMinimum)
{
    Cd(FP).LinesPerCall = linesPerCall;
    Cd(FP).BufferMinimum = bufferMinimum;
}

void fSetSafeMode(PFaxRec FP, bool on)
{
    FP->MachineFlags = on ? FP->MachineFlags | mfSafeMode : FP->MachineFlags & ~mfSafeMode;
}

void fSetAnswerOnRing(PFaxRec FP, int32_t rings)
{
    Cd(FP).AnswerOnRing = rings;
}

void fSetFaxAndData(PFaxRec FP, bool on)
{
    Cd(FP).FaxAndData = on ? '1' : '0';
}

void fSetOneFax(PFaxRec FP, bool on)
{
    FP->MachineFlags = on ? FP->MachineFlags | mfOneFax : FP->MachineFlags & ~mfOneFax;
}

void fSetConnectState(PFaxRec FP)
{
    FP->MachineFlags |= mfStartConnected;
}

void fGetPageInfoC12(PFaxRec FP, int32_t& pages, int32_t& page, int32_t& bytesTransferred,
                     int32_t& pageLength)
{
    TFaxData& D = Pd(FP);
    pages = D.PageCount;
    pageLength = D.PageLength;
    bytesTransferred = D.DataBytes;
    page = D.CurrentPage;
    if (D.Sending) {
        if (D.OnCover)
            page = 0;
        if (D.Dispatcher)
            bytesTransferred = std::max<int32_t>(
                0, D.DataBytes - static_cast<int32_t>(D.Dispatcher->OutBuffUsed()));
    }
}

int32_t fGetLastPageStatus(PFaxRec FP)
{
    return Cd(FP).PageGood ? 1 : 0;
}

std::string fGetRemoteID(PFaxRec FP)
{
    return Pd(FP).RemoteID;
}

void fGetSessionParams(PFaxRec FP, int32_t& bitRate, bool& fine, bool& correction)
{
    bitRate = Cd(FP).BitRate;
    fine = Cd(FP).Fine;
    correction = Cd(FP).ErrorCorrection;
}

int32_t fGetHangupResult(PFaxRec FP)
{
    return Cd(FP).HangupCode;
}

bool fGetModemClassSupport(PFaxRec FP, bool& class1, bool& class2, bool reset, bool& class2_0)
{
    TC12AbsData& C = Cd(FP);
    class1 = class2 = class2_0 = false;
    if (!Pd(FP).Dispatcher)
        return false; // no port, no modem to ask
    if (reset) {
        bool ok = false;
        for (int i = 0; i < 2 && !ok; ++i)
            ok = FaxLine::SyncCommand(FP, C.DefaultInit) && FaxLine::Has(FP, "OK");
        if (!ok)
            return false;
    }
    if (!FaxLine::SyncCommand(FP, "AT+FCLASS=?"))
        return false;
    const auto fields = ReportFields(C.Response);
    if (HasField(fields, "1") || HasField(fields, "1.0")) {
        class1 = true;
        C.ClassCommand = HasField(fields, "1.0") ? "AT+FCLASS=1.0" : "AT+FCLASS=1";
    }
    class2_0 = HasField(fields, "2.0");
    class2 = HasField(fields, "2");
    return true;
}

bool fGetModemInfo(PFaxRec FP, char& cls, std::string& id1, std::string& id2, std::string& id3,
                   bool reset)
{
    TC12AbsData& C = Cd(FP);
    cls = '0';
    id1.clear();
    id2.clear();
    id3.clear();
    if (!Pd(FP).Dispatcher)
        return false;
    if (reset) {
        FaxLine::HangupByDTR(FP);
        if (!SendInitStrings(FP))
            return false;
    }
    C.ModemReady = true;
    bool c1 = false, c2 = false, c20 = false;
    if (!fGetModemClassSupport(FP, c1, c2, false, c20))
        return false;
    const TFaxClassRecord* set = nullptr;
    if (c20) {
        cls = 'B';
        set = &kClass20;
    } else if (c2) {
        cls = '2';
        set = &kClass2;
    } else if (c1) {
        cls = '1';
        return true;
    } else {
        return false;
    }
    std::string* ids[3] = {&id1, &id2, &id3};
    for (int i = 0; i < 3; ++i)
        if (FaxLine::SyncCommand(FP, set->IdCommands[static_cast<std::size_t>(i)]))
            *ids[i] = ReportBody(C.Response);
    return true;
}

void fGetModemFeatures(PFaxRec FP, int32_t& bitRate, char& ecDigit)
{
    const ClassType cls = Pd(FP).Class;
    if ((cls != ClassType::ctClass2 && cls != ClassType::ctClass2_0) || !Pd(FP).Dispatcher)
        return;
    const char* cap = FaxClassRecord(cls).CapabilitiesCommand;
    int code = 1;
    for (int c = 5; c >= 2; --c)
        if (FaxLine::SyncCommand(FP,
                                 std::string(cap) + "=0," + std::to_string(c) + ",0,0,0,0,0,3") &&
            FaxLine::Has(FP, "OK")) {
            code = c;
            break;
        }
    bitRate = BitRateOfCode(code);
    ecDigit =
        FaxLine::SyncCommand(FP, std::string(cap) + "=0,0,0,0,0,1,0,3") && FaxLine::Has(FP, "OK")
            ? '1'
            : '0';
}

int fPrepareFaxTransmit(PFaxRec FP)
{
    TFaxData& D = Pd(FP);
    TC12AbsData& C = Cd(FP);
    C.PrevResolution = ' ';
    FP->State = 1; // tfGetEntry
    D.StatusCode = FaxStatus::fpInitModem;
    D.Error = 0;
    D.FaxListCurrent = 0;
    afFaxStatus(FP, true, false);
    D.CurrentPage = D.PageCount = D.CoverCount = D.DataBytes = D.PageLength = 0;
    D.Dispatcher->ChangeBaud(19200);
    Lines(FP).SetModem(true, true);
    if (D.Class == ClassType::ctUnknown)
        D.Class = ClassType::ctDetect;
    if (D.Class == ClassType::ctDetect &&
        fSetClassType(FP, ClassType::ctDetect) == ClassType::ctUnknown) {
        afReportError(FP, AdErr::ecFaxInitError);
        return AdErr::ecFaxInitError;
    }
    if (!C.ModemReady && !SendInitStrings(FP)) {
        afReportError(FP, AdErr::ecFaxInitError);
        return AdErr::ecFaxInitError;
    }
    LoadCommands(FP);
    FaxLine::SwitchToNormalBaud(FP);
    if (D.Class == ClassType::ctClass1 && !ProbeClass1Speeds(FP, true)) {
        afReportError(FP, AdErr::ecFaxInitError);
        return AdErr::ecFaxInitError;
    }
    D.RunActive = true;
    return 0;
}

int fPrepareFaxReceive(PFaxRec FP)
{
    TFaxData& D = Pd(FP);
    TC12AbsData& C = Cd(FP);
    const bool connected = (FP->MachineFlags & mfStartConnected) != 0;
    FP->MachineFlags &= static_cast<uint16_t>(~mfStartConnected); // the mark is for one call
    FP->State = rfInit;
    D.Error = 0;
    D.StatusCode = 0;
    if (D.Class == ClassType::ctUnknown || D.Class == ClassType::ctDetect) {
        if (fSetClassType(FP, ClassType::ctDetect) == ClassType::ctUnknown) {
            afReportError(FP, AdErr::ecFaxInitError);
            return AdErr::ecFaxInitError;
        }
    }
    LoadCommands(FP);
    bool oldBusy = false;
    D.Dispatcher->SetEventBusy(oldBusy, true);
    auto done = [&](bool ok) {
        if (!ok)
            FaxLine::Drain(FP);
        bool ignored = false;
        D.Dispatcher->SetEventBusy(ignored, oldBusy);
        if (!ok)
            FP->State = rfInit; // meet the modem again there
        else if (connected)
            rfStartConnected(FP);
        D.RunActive = true;
        return 0;
    };
    if (!C.ModemReady && !SendInitStrings(FP))
        return done(false);
    if (!connected) {
        if (!FaxLine::SyncCommand(FP, C.ClassCommand))
            return done(false);
        FaxLine::SwitchToNormalBaud(FP);
    }
    if (D.Class == ClassType::ctClass1) {
        if (!ProbeClass1Speeds(FP, false))
            return done(false);
        C.SpeedIndex = BestLocalSpeed(C);
    } else {
        if (!FaxLine::SyncCommand(FP, "AT+FCR=1") ||
            !FaxLine::SyncCommand(FP, std::string(C.Commands->StationIdCommand) + "=\"" +
                                          D.StationID + "\"") ||
            !FaxLine::SyncCommand(FP, std::string("AT+FAA=") + C.FaxAndData))
            return done(false);
    }
    return done(true);
}

bool fInitModemForFaxReceive(PFaxRec FP)
{
    TFaxData& D = Pd(FP);
    TC12AbsData& C = Cd(FP);
    FaxLine::HangupByDTR(FP);
    if (D.Class == ClassType::ctUnknown || D.Class == ClassType::ctDetect)
        if (fSetClassType(FP, ClassType::ctDetect) == ClassType::ctUnknown)
            return false;
    LoadCommands(FP);
    if (!SendInitStrings(FP) || !FaxLine::SyncCommand(FP, C.ClassCommand))
        return false;
    FaxLine::SwitchToNormalBaud(FP);
    if (D.Class == ClassType::ctClass1)
        return ProbeClass1Speeds(FP, false);
    if (D.Class == ClassType::ctClass2 && !FaxLine::SyncCommand(FP, "AT+FCLASS=0"))
        return false;
    return FaxLine::SyncCommand(FP, "AT+FCR=1") &&
           FaxLine::SyncCommand(FP, std::string(C.Commands->StationIdCommand) + "=\"" +
                                        D.StationID + "\"") &&
           FaxLine::SyncCommand(FP, std::string("AT+FAA=") + C.FaxAndData) &&
           FaxLine::SyncCommand(FP, std::string(C.Commands->CapabilitiesCommand) + "=1," +
                                        std::to_string(BitRateCode(MaxRate(C))) + ",0,2,0,0,0,0");
}

// --- line routines ---------------------------------------------------------

namespace FaxLine {

void Pause(uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

static void Send(PFaxRec FP, const std::string& command, uint32_t pauseMs)
{
    TC12AbsData& C = Cd(FP);
    Pause(pauseMs);
    Pd(FP).Dispatcher->PutString(command + "\r");
    // Class 1: after these, a CONNECT is followed by received frames.
    C.FrameMatch = 0;
    C.LineMatch = 0;
    C.ExpectFrames = command.rfind("AT+FRH", 0) == 0 ||
                     (command.rfind("ATD", 0) == 0 && Pd(FP).Class == ClassType::ctClass1);
    C.InFrame = false;
    ArmReply(FP);
}

void SendCommand(PFaxRec FP, const std::string& command)
{
    Send(FP, command, 100);
}

void SendFrameCommand(PFaxRec FP, const std::string& command)
{
    Send(FP, command, 40);
}

void ArmReply(PFaxRec FP)
{
    TC12AbsData& C = Cd(FP);
    C.Response.clear();
    C.LineMatch = 0;
    C.FrameMatch = 0;
    ArmTimeout(FP, C.ReplyWait);
    NewTimer(C.Timer, C.ReplyWait);
}

void ArmTimeout(PFaxRec FP, int32_t ticks)
{
    TFaxData& D = Pd(FP);
    if (D.Dispatcher && D.TimeoutTrigger > 0)
        D.Dispatcher->SetTimerTrigger(D.TimeoutTrigger, ticks, true);
}

void DisarmTimeout(PFaxRec FP)
{
    TFaxData& D = Pd(FP);
    if (D.Dispatcher && D.TimeoutTrigger > 0)
        D.Dispatcher->SetTimerTrigger(D.TimeoutTrigger, 0, false);
}

bool Has(PFaxRec FP, const char* text)
{
    return Cd(FP).Response.find(text) != std::string::npos;
}

bool HasHangup(PFaxRec FP)
{
    const TC12AbsData& C = Cd(FP);
    return C.Commands && C.Commands->Class != ClassType::ctClass1 &&
           C.Response.find(C.Commands->HangupReport) != std::string::npos;
}

TFaxModemLines& ModemLines(PFaxRec FP)
{
    return Lines(FP);
}

void HangupByDTR(PFaxRec FP)
{
    TApdBaseDispatcher* disp = Pd(FP).Dispatcher;
    disp->FlushInBuffer();
    disp->FlushOutBuffer();
    Lines(FP).SetModem(false, false);
    Pause(500);
    Lines(FP).SetModem(true, true);
    Pause(500);
}

void SwitchToInitBaud(PFaxRec FP)
{
    TC12AbsData& C = Cd(FP);
    if (C.InitBaud == 0 || C.InitBaudActive)
        return;
    Pd(FP).Dispatcher->ChangeBaud(19200);
    Pause(9 * kMsPerTick);
    Pd(FP).Dispatcher->ChangeBaud(static_cast<uint32_t>(C.InitBaud));
    C.InitBaudActive = true;
}

void SwitchToNormalBaud(PFaxRec FP)
{
    TC12AbsData& C = Cd(FP);
    if (!C.InitBaudActive)
        return;
    Pd(FP).Dispatcher->ChangeBaud(19200);
    Pause(9 * kMsPerTick);
    if (C.NormalBaud > 0)
        Pd(FP).Dispatcher->ChangeBaud(static_cast<uint32_t>(C.NormalBaud));
    C.InitBaudActive = false;
}

bool SyncCommand(PFaxRec FP, const std::string& command)
{
    TFaxData& D = Pd(FP);
    TC12AbsData& C = Cd(FP);
    TApdBaseDispatcher* disp = D.Dispatcher;
    Pause(100);
    disp->PutString(command + "\r");
    C.Response.clear();
    EventTimer timer;
    NewTimer(timer, C.ReplyWait);
    bool oldBusy = false;
    disp->SetEventBusy(oldBusy, true);
    std::string partial, line;
    int result = -1; // -1 waiting, 0 failure, 1 success
    while (!TimerExpired(timer)) {
        if (disp->ProcessCommunications() < 0)
            break; // the device is gone: no answer will come
        if (ReadSyncLine(FP, partial, line)) {
            if (result < 0) {
                // The modem's echo, and a call ringing in meanwhile, are no
                // answer to the command.
                if (line == command || line == "RING")
                    continue;
                result = line.find("ERROR") != std::string::npos ? 0 : 1;
                C.Response = line;
                if (result == 0 || line.find("OK") != std::string::npos)
                    break;
            } else {
                break; // the final result after an information line
            }
            continue;
        }
        if (IsGuiThread())
            SafeYield();
        Pause(5);
    }
    if (result < 0) {
        Drain(FP);
        result = 0;
    }
    bool ignored = false;
    disp->SetEventBusy(ignored, oldBusy);
    return result == 1;
}

int32_t DeviceLost(PFaxRec FP)
{
    const TApdBaseDispatcher* disp = Pd(FP).Dispatcher;
    return disp ? disp->DeviceError() : 0;
}

void Drain(PFaxRec FP)
{
    TApdBaseDispatcher* disp = Pd(FP).Dispatcher;
    Pause(50);
    disp->ProcessCommunications();
    disp->FlushInBuffer();
}

void FlowOn(PFaxRec FP)
{
    if (afOptionsAreOn(FP, afSoftwareFlow))
        Pd(FP).Dispatcher->SWFlowEnable(0, 0, sfTransmitFlow);
}

void FlowOff(PFaxRec FP)
{
    if (afOptionsAreOn(FP, afSoftwareFlow))
        Pd(FP).Dispatcher->SWFlowDisable();
}

bool PutStuffed(PFaxRec FP, const uint8_t* data, std::size_t n)
{
    TC12AbsData& C = Cd(FP);
    std::vector<uint8_t>& out = C.OutBuffer;
    out.clear();
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(data[i]);
        if (data[i] == DLE)
            out.push_back(DLE);
    }
    return Pd(FP).Dispatcher->PutBlock(out.data(), out.size()) >= 0;
}

void SendFrame(PFaxRec FP, const std::string& octets)
{
    Pause(20);
    PutStuffed(FP, reinterpret_cast<const uint8_t*>(octets.data()), octets.size());
    const uint8_t end[2] = {DLE, ETX};
    Pd(FP).Dispatcher->PutBlock(end, 2);
}

TGot Collect(PFaxRec FP)
{
    TC12AbsData& C = Cd(FP);
    TApdBaseDispatcher* disp = Pd(FP).Dispatcher;
    if (C.LineMatch == 2) { // the last line was taken: start a new one
        C.Response.clear();
        C.LineMatch = 0;
    }
    uint8_t ch = 0;
    while (disp->CharReady() && disp->GetChar(ch) == 0) {
        if (C.InFrame) {
            if (C.FrameMatch == 1) {
                C.FrameMatch = 0;
                if (ch == ETX) {
                    C.InFrame = false;
                    C.ExpectFrames = false;
                    return TGot::Frame;
                }
                C.Frame += static_cast<char>(ch); // DLE DLE (or a stray DLE pair)
                continue;
            }
            if (ch == DLE)
                C.FrameMatch = 1;
            else
                C.Frame += static_cast<char>(ch);
            continue;
        }
        if (ch == '\n' && C.LineMatch == 1) {
            C.LineMatch = 2;
            if (!C.Response.empty() && C.Response.back() == '\r')
                C.Response.pop_back();
            C.Response = Trim(C.Response);
            if (C.Response.empty()) {
                C.LineMatch = 0;
                continue;
            }
            if (C.ExpectFrames && C.Response == "CONNECT") {
                C.InFrame = true;
                C.Frame.clear();
                C.FrameMatch = 0;
            }
            return TGot::Line;
        }
        C.LineMatch = ch == '\r' ? 1 : 0;
        // Result lines hold no control characters: an XON after CONNECT, or
        // a stray DC2, is not part of the next line.
        if (C.Response.size() < 128 && (ch >= 32 || ch == '\r'))
            C.Response += static_cast<char>(ch);
    }
    return TGot::Nothing;
}

} // namespace FaxLine

// --- reports -----------------------------------------------------------------

std::string DialString(const std::string& number)
{
    std::string dial;
    for (char c : number)
        if (std::string_view("0123456789*#+ABCD,WPT!@").find(c) != std::string_view::npos)
            dial += c;
    return dial;
}

std::string ReportBody(const std::string& line)
{
    const auto p = line.find_first_of(":=");
    return Trim(p == std::string::npos ? line : line.substr(p + 1));
}

std::vector<std::string> ReportFields(const std::string& line)
{
    std::string body;
    for (char c : ReportBody(line))
        if (c != '(' && c != ')' && c != '"')
            body += c;
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (true) {
        const auto comma = body.find(',', start);
        fields.push_back(Trim(
            body.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return fields;
}

std::string ReportStationID(const std::string& line)
{
    std::string id = ReportBody(line);
    id.erase(std::remove(id.begin(), id.end(), '"'), id.end());
    while (!id.empty() && !std::isalnum(static_cast<unsigned char>(id.back())))
        id.pop_back();
    return PrintableRemoteID(id);
}

std::string PrintableRemoteID(std::string_view id)
{
    const auto padding = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
    while (!id.empty() && padding(id.front()))
        id.remove_prefix(1);
    while (!id.empty() && padding(id.back()))
        id.remove_suffix(1);
    std::string out(id);
    for (char& c : out)
        if (const auto u = static_cast<unsigned char>(c); u < ' ' || u > '~')
            c = '?';
    return out;
}

uint16_t ParseHangupCode(const std::string& line)
{
    const auto p = line.find(':');
    if (p == std::string::npos)
        return 0;
    const std::string code = Trim(line.substr(p + 1, 3));
    if (code.empty())
        return 0;
    const char first = static_cast<char>(std::toupper(static_cast<unsigned char>(code[0])));
    if (first >= 'A' && first <= 'F') {
        const char second = code.size() > 1 ? code[1] : '0';
        return static_cast<uint16_t>(
            100 + (std::isdigit(static_cast<unsigned char>(second)) ? second - '0' : 0));
    }
    int value = 0;
    for (char c : code) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            break;
        value = value * 10 + (c - '0');
    }
    return static_cast<uint16_t>(value);
}

int BitRateCode(int32_t bitRate)
{
    switch (bitRate) {
    case 2400:
        return 0;
    case 4800:
        return 1;
    case 7200:
        return 2;
    case 12000:
        return 4;
    case 14400:
        return 5;
    default:
        return 3;
    }
}

int32_t BitRateOfCode(int code)
{
    static constexpr std::array<int32_t, 6> rates{2400, 4800, 7200, 9600, 12000, 14400};
    return code >= 0 && code <= 5 ? rates[static_cast<std::size_t>(code)] : 9600;
}

void UpdateMinLineBytes(TC12AbsData& C)
{
    const int ms = kScanTimes[C.ScanTimeCode & 7][C.Fine ? 1 : 0];
    C.MinLineBytes = static_cast<uint16_t>(ms * C.BitRate / 8000);
}

void ParseClass2Params(TC12AbsData& C, const std::string& line, bool capabilities)
{
    const auto f = ReportFields(line);
    auto digit = [&](std::size_t i) -> int {
        return i < f.size() && !f[i].empty() && std::isdigit(static_cast<unsigned char>(f[i][0]))
                   ? f[i][0] - '0'
                   : -1;
    };
    if (digit(0) == 1) {
        C.Fine = true;
        if (capabilities)
            C.RemoteFine = true;
    } else if (!capabilities) {
        C.Fine = false;
    }
    if (digit(1) >= 0)
        C.BitRate = BitRateOfCode(digit(1));
    if (digit(2) == 1) {
        C.Wide = true;
        if (capabilities)
            C.RemoteWide = true;
    }
    const int ec = digit(5);
    C.ErrorCorrection = ec == 1 || ec == 2;
    if (digit(7) >= 0)
        C.ScanTimeCode = static_cast<uint8_t>(digit(7) & 7);
    UpdateMinLineBytes(C);
}

// --- Class 1 frames ------------------------------------------------------------

std::string FrameDIS(const TC12AbsData& C)
{
    const std::size_t i =
        static_cast<std::size_t>(std::clamp<int>(C.SpeedIndex, 1, kSpeedCount) - 1);
    return std::string{'\xFF', '\x13', '\x80', '\x00', static_cast<char>(0x42 | kDisRate[i]),
                       '\xF9', '\x00'};
}

std::string FrameDCS(const TC12AbsData& C)
{
    const std::size_t i =
        static_cast<std::size_t>(std::clamp<int>(C.SpeedIndex, 1, kSpeedCount) - 1);
    uint8_t rate = kDcsRate[i];
    if (C.V17 && i == 2)
        rate = kDcsV17_7200;
    if (C.V17 && i == 3)
        rate = kDcsV17_9600;
    const uint8_t scan = kScanOctet[C.ScanTimeCode & 7][C.Fine ? 1 : 0];
    return std::string{'\xFF',
                       '\x13',
                       '\x83',
                       '\x00',
                       static_cast<char>((C.Fine ? 0x42 : 0x02) | rate),
                       static_cast<char>(scan | 0x88 | (C.Wide ? 0x01 : 0x00)),
                       '\x00'};
}

std::string FrameID(uint8_t fcf, const std::string& id)
{
    std::string padded = id.substr(0, 20);
    padded.resize(20, ' ');
    std::string frame{'\xFF', '\x03', static_cast<char>(fcf)};
    frame.append(padded.rbegin(), padded.rend());
    return frame;
}

std::string FrameShort(uint8_t fcf)
{
    return std::string{'\xFF', '\x13', static_cast<char>(fcf)};
}

std::string TrainModulation(const TC12AbsData& C)
{
    const std::size_t i =
        static_cast<std::size_t>(std::clamp<int>(C.SpeedIndex, 1, kSpeedCount) - 1);
    if (C.V17 && i == 2)
        return "73";
    if (C.V17 && i == 3)
        return "97";
    return kTrainMod[i];
}

std::string PageModulation(const TC12AbsData& C)
{
    const std::size_t i =
        static_cast<std::size_t>(std::clamp<int>(C.SpeedIndex, 1, kSpeedCount) - 1);
    if (C.V17 && i == 2)
        return "74";
    if (C.V17 && i == 3)
        return "98";
    return kPageMod[i];
}

uint16_t BestLocalSpeed(const TC12AbsData& C)
{
    for (int i = kSpeedCount; i > 1; --i) {
        const std::size_t k = static_cast<std::size_t>(i - 1);
        if (C.LocalSpeeds[k] && kRates[k] <= MaxRate(C))
            return static_cast<uint16_t>(i);
    }
    return 1;
}

void PickSpeed(TC12AbsData& C)
{
    C.SpeedIndex = 1;
    for (int i = kSpeedCount; i >= 1; --i) {
        const std::size_t k = static_cast<std::size_t>(i - 1);
        if (C.LocalSpeeds[k] && C.RemoteSpeeds[k] && kRates[k] <= MaxRate(C)) {
            C.SpeedIndex = static_cast<uint16_t>(i);
            break;
        }
    }
    C.V17 = false;
    C.BitRate = SpeedIndexToRate(C.SpeedIndex);
}

bool StepDownSpeed(TC12AbsData& C)
{
    for (int i = C.SpeedIndex - 1; i >= 1; --i) {
        const std::size_t k = static_cast<std::size_t>(i - 1);
        if (C.LocalSpeeds[k] && C.RemoteSpeeds[k]) {
            C.SpeedIndex = static_cast<uint16_t>(i);
            C.V17 = false;
            C.BitRate = SpeedIndexToRate(i);
            UpdateMinLineBytes(C);
            return true;
        }
    }
    return false;
}

std::size_t TrainingBytes(const TC12AbsData& C)
{
    return std::min<std::size_t>(
        static_cast<std::size_t>(SpeedIndexToRate(C.SpeedIndex) / 100 * 18), 8192);
}

TFrameResult DecodeFrame(PFaxRec FP, const std::string& raw)
{
    TC12AbsData& C = Cd(FP);
    TFaxData& D = Pd(FP);
    const auto ff = raw.find('\xFF');
    if (ff == std::string::npos || raw.size() < ff + 3)
        return TFrameResult::None;
    const std::string f = raw.substr(ff);
    auto octet = [&](std::size_t i) -> uint8_t {
        return i < f.size() ? static_cast<uint8_t>(f[i]) : 0;
    };
    C.LastFrameFinal = (octet(1) & 0x10) != 0;
    const uint8_t fcf = octet(2) & 0xFE;
    C.LastFCF = fcf;
    switch (fcf) {
    case Fcf::DIS: {
        const uint8_t rate = octet(4) & kRateMask;
        C.RemoteSpeeds = {true, true, false, false, false, false};
        if (rate & 0x04) { // V.29
            C.RemoteSpeeds[2] = C.RemoteSpeeds[3] = true;
        }
        if ((rate & 0x2C) == 0x2C) { // V.17 with V.27 ter and V.29
            C.RemoteSpeeds[4] = C.RemoteSpeeds[5] = true;
        }
        if (rate == 0x00)
            C.RemoteSpeeds[1] = false; // V.27 ter fall-back only
        C.RemoteFine = (octet(4) & 0x40) != 0;
        C.RemoteWide = (octet(5) & 0x03) == 1;
        C.ScanTimeCode = kScanCodeOfBits[(octet(5) & 0x70) >> 4];
        PickSpeed(C);
        UpdateMinLineBytes(C);
        if ((C.Fine && !C.RemoteFine) || (C.Wide && !C.RemoteWide))
            return TFrameResult::Incompatible;
        D.StatusCode = FaxStatus::fpSessionParams;
        return TFrameResult::Ok;
    }
    case Fcf::DCS: {
        const uint8_t rate = octet(4) & kRateMask;
        C.V17 = false;
        switch (rate) {
        case 0x20:
            C.SpeedIndex = 6;
            break;
        case 0x28:
            C.SpeedIndex = 5;
            break;
        case 0x24:
            C.SpeedIndex = 4;
            C.V17 = true;
            break;
        case 0x2C:
            C.SpeedIndex = 3;
            C.V17 = true;
            break;
        case 0x04:
            C.SpeedIndex = 4;
            break;
        case 0x0C:
            C.SpeedIndex = 3;
            break;
        case 0x08:
            C.SpeedIndex = 2;
            break;
        default:
            C.SpeedIndex = 1;
            break;
        }
        C.BitRate = SpeedIndexToRate(C.SpeedIndex);
        C.Fine = (octet(4) & 0x40) != 0;
        C.Wide = (octet(5) & 0x03) == 1;
        C.ScanTimeCode = kScanCodeOfBits[(octet(5) & 0x70) >> 4];
        C.Modulation = TrainModulation(C);
        UpdateMinLineBytes(C);
        D.StatusCode = FaxStatus::fpSessionParams;
        return TFrameResult::Ok;
    }
    case Fcf::CSI:
    case Fcf::TSI: {
        std::string id = f.substr(3, 20);
        std::reverse(id.begin(), id.end());
        D.RemoteID = PrintableRemoteID(id);
        D.StatusCode = FaxStatus::fpGotRemoteID;
        return TFrameResult::Ok;
    }
    case Fcf::CFR:
        C.GotCFR = true;
        return TFrameResult::Ok;
    case Fcf::FTT:
    case Fcf::RTN:
        return TFrameResult::Retrain;
    case Fcf::DCN:
        return TFrameResult::Disconnect;
    default:
        return TFrameResult::Ok;
    }
}
