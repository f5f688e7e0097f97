#pragma once

#include "fax/apf_file.h"
#include "fax/aw_abs_fax.h"
#include "fax/fax_convert.h"
#include "serial/ad_misc.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The fax modem side of the engine: the class record, the send and receive
// run records, the synchronous probes, the per-class command tables, the
// line routines of the two state machines, and the Class 1 HDLC frames.
//
// Decisions this unit takes:
// - Each service class is one record of commands and reports (below); the
//   machines read the record instead of branching on the class.
// - Modem reports are parsed by fields: the prefix up to ":" or "=" is
//   dropped and the rest split at commas (parentheses and quotes ignored);
//   the class probe matches whole class names, so "2.1" is neither "1" nor
//   "2".
// - Frame octets are written and read as the modem delivers them (first bit
//   in time = least significant bit). The rate field of DIS and DCS
//   follows T.30: 7200 and 9600 are sent as V.29, 12000 and 14400 as V.17,
//   and a received DCS naming V.17 at 7200 or 9600 gets the V.17
//   modulations ("73"/"74", "97"/"98").
// - A maximum bit rate of 0 means the modem's best.
// - The far end's ID in "+FCSI:"/"+FTSI:" (and "+FCI:"/"+FTI:") loses all
//   its quotes and the blanks at its ends, where a leading quote blanked
//   would leave a blank in front: the ID is shown, logged and stored as the
//   far end gave it.
// - DTR, RTS and carrier detect go through TFaxModemLines, so that a line
//   without modem-control lines (a pseudo-terminal) can stand in for the
//   modem in tests.

// The modem-control lines the engine uses to hang up.
class TFaxModemLines {
public:
    virtual ~TFaxModemLines() = default;
    virtual void SetModem(bool dtr, bool rts) = 0;
    virtual bool CheckDCD() = 0;
};

// One service class's commands and reports.
struct TFaxClassRecord {
    ClassType Class;
    const char* ClassCommand;
    std::array<const char*, 3> IdCommands;
    const char* CapabilitiesCommand; // "AT+FDIS" / "AT+FIS"
    const char* StationIdCommand;    // "AT+FLID" / "AT+FLI"
    const char* CapCheckCommand;     // "AT+FDCC" / "AT+FCC"
    const char* ConnectReport;       // "+FCON" / "+FCO"
    const char* CapabilitiesReport;  // "+FDIS" / "+FIS"
    const char* DCSReport;           // "+FDCS" / "+FCS"
    const char* TSIReport;           // "+FTSI" / "+FTI"
    const char* CSIReport;           // "+FCSI" / "+FCI"
    const char* PageReport;          // "+FPTS" / "+FPS"
    const char* HangupReport;        // "FHNG" / "FHS"
    bool ReversedPageBits;           // received page data comes bit-reversed
    bool FlowAndReports;             // sends "AT+FLO=2" and "AT+FNR=1,1,1,0"
};

const TFaxClassRecord& FaxClassRecord(ClassType cls);

// Speed index 1..6 = 2400, 4800, 7200, 9600, 12000, 14400.
inline constexpr int kSpeedCount = 6;
int32_t SpeedIndexToRate(int index);

// Per-run modem state, created by cInitC12AbsData.
struct TC12AbsData {
    bool ForceStatus = false;
    bool MorePages = false;
    bool Fine = false;
    bool Wide = false;
    bool ErrorCorrection = false;
    bool RemoteFine = false;
    bool RemoteWide = false;
    bool LastFrameFinal = false;
    bool ToneDial = true;
    bool PageGood = false;
    bool LongLines = false;
    bool CoverIsImage = false;
    bool ModemReady = false;
    bool InitBaudActive = false;
    bool GotCFR = false;
    bool BlindDial = false;
    bool DetectBusy = true;
    char ECDigit = '0';
    char Resolution = '0';
    char PrevResolution = ' ';
    char FaxAndData = '0';
    uint8_t LastFCF = 0;
    bool ExpectFrames = false; // Class 1: a CONNECT now starts a received frame
    bool InFrame = false;      // collecting a frame's octets
    uint8_t LineMatch = 0;
    uint8_t FrameMatch = 0;
    uint16_t ReplyWait = 182;
    uint16_t TransmitWait = 1092;
    uint16_t MaxBitRate = 9600;
    uint16_t SpeedIndex = 0;
    bool V17 = false; // the negotiated 7200 or 9600 is V.17 (received DCS)
    uint8_t ScanTimeCode = 0;
    uint16_t MinLineBytes = 0;
    uint16_t HangupCode = 0;
    uint16_t LineCount = 0;
    uint16_t TrainingErrors = 0;
    uint16_t RetryCount = 0;
    int32_t DialWait = 1092;
    int32_t AnswerOnRing = 1;
    int32_t RingCount = 0;
    int32_t BitRate = 0;
    int32_t NormalBaud = 0;
    int32_t InitBaud = 0;
    std::vector<uint8_t> DataBuffer = std::vector<uint8_t>(4096);
    TPageHeaderRec PageHeader;
    TApfReader FaxFile;         // the file being sent (or the APF cover)
    TApfWriter RecvFile;        // the file being received
    std::vector<uint8_t> Chunk; // page bytes read, not yet sent
    std::string Frame;          // Class 1: the frame being collected
    int32_t SentPage = 0;       // the page whose post-page answer is awaited
    bool SentCover = false;
    int32_t PageResends = 0;
    std::unique_ptr<TAbsFaxCvt> Converter; // draws header and cover text
    std::vector<std::string> CoverText;    // a text cover's lines
    std::size_t CoverLine = 0;
    bool SentEOM = false;       // the last post-page message was EOM
    bool PageConfirmed = false; // Class 2/2.0: the far end took the page just sent
    // Receive runs.
    uint8_t PageStatus = 0;   // ReceivePageStatus of the page to come
    bool NewDocument = false; // the last post-page message was EOM
    bool StatusSent = false;  // a first status report went out
    bool Accepted = false;    // the components accepted this call
    bool HungUp = false;      // this call has been hung up
    int32_t TrainBytes = 0;
    std::size_t DataFill = 0; // page bytes waiting in DataBuffer
    int FileError = 0;
    // A received page's cap: far above any real page (the codes of a fine,
    // wide, long page of dithered picture stay within a few MB), low enough
    // to stop a far end that sends one page without end.
    int32_t MaxPageBytes = 8 << 20;
    bool PageTooLarge = false;                 // the page being received passed the cap
    const TFaxClassRecord* Commands = nullptr; // the loaded command set
    std::string ClassCommand;                  // may be "AT+FCLASS=1.0"
    std::string Modulation;
    std::string DefaultInit = "ATE0Q0V1X4S0=0S2=43";
    std::string UserInit;
    std::string DialPrefix;
    char DialChar = 'T';
    std::string Response;
    EventTimer Timer;
    std::array<bool, kSpeedCount> LocalSpeeds{};
    std::array<bool, kSpeedCount> RemoteSpeeds{};
    std::vector<uint8_t> OutBuffer = std::vector<uint8_t>(8192);
    bool EnhancedText = false;
    std::string HeaderText;
    std::string SmallFont; // header fonts of the font-based text converter
    std::string StandardFont;
    int32_t LinesPerCall = 50;
    int32_t BufferMinimum = 1000;
    int32_t MaxRetries = 2;
    bool UseMPS = true;
    std::unique_ptr<TFaxModemLines> OwnLines;
    TFaxModemLines* Lines = nullptr;
};

// One row of a state machine's table, which lists the states in the order
// of their enumeration: the state's name, its exit code (0 or 3 end the
// handler call, 1 runs the next state at once, 2 runs it when a character
// waits) and whether the modem's answer is collected (response
// pre-processing) before it runs.
template <class TState> struct TFaxStateRow {
    TState State;
    const char* Name;
    uint8_t Exit;
    bool Reads;
};

// True when row i of a table holds state i.
template <class TRow, std::size_t N>
constexpr bool FaxStatesInOrder(const std::array<TRow, N>& rows)
{
    for (std::size_t i = 0; i < N; ++i)
        if (static_cast<std::size_t>(rows[i].State) != i)
            return false;
    return true;
}

// Machine flags kept in TFaxRec::MachineFlags.
inline constexpr uint16_t mfIdleStatus = 1;     // receive: status reports while idle
inline constexpr uint16_t mfOneFax = 2;         // receive: end after one call
inline constexpr uint16_t mfSafeMode = 4;       // receive: busy mode in the timing-critical states
inline constexpr uint16_t mfStartConnected = 8; // receive: the call is already connected

int cInitC12AbsData(std::unique_ptr<TC12AbsData>& data);
void cDoneC12AbsData(std::unique_ptr<TC12AbsData>& data);

// Run records. FP is freed (and nulled) by the matching Done call.
int fInitC12SendFax(std::unique_ptr<TFaxRec>& FP, const std::string& stationID,
                    TApdBaseDispatcher* dispatcher, TGuiTarget window);
void fDoneC12SendFax(std::unique_ptr<TFaxRec>& FP);
int fInitC12ReceiveFax(std::unique_ptr<TFaxRec>& FP, const std::string& stationID,
                       TApdBaseDispatcher* dispatcher, TGuiTarget window);
void fDoneC12ReceiveFax(std::unique_ptr<TFaxRec>& FP);

// Setters.
void fSetFaxPort(PFaxRec FP, TApdBaseDispatcher* dispatcher);
void fSetModemLines(PFaxRec FP, TFaxModemLines* lines); // null: the port's own
int fSetModemInit(PFaxRec FP, const std::string& init);
ClassType fSetClassType(PFaxRec FP, ClassType cls);
void fSetInitBaudRate(PFaxRec FP, int32_t initBaud, int32_t normalBaud, bool switchNow);
void fSetModemFeatures(PFaxRec FP, int32_t bitRate, char ecDigit);
void fSetHeaderText(PFaxRec FP, const std::string& text);
void fSetEnhTextEnabled(PFaxRec FP, bool on);
void fSetEnhSmallFont(PFaxRec FP, const std::string& font);
void fSetEnhStandardFont(PFaxRec FP, const std::string& font);
void fSetBlindDial(PFaxRec FP, bool on);
void fSetDetectBusy(PFaxRec FP, bool on);
void fSetToneDial(PFaxRec FP, bool tone);
void fSetDialPrefix(PFaxRec FP, const std::string& prefix);
void fSetDialTime(PFaxRec FP, int32_t ticks);
void fSetMaxRetries(PFaxRec FP, int32_t retries);
void fSetYielding(PFaxRec FP, int32_t linesPerCall, int32_t bufferMinimum);
void fSetSafeMode(PFaxRec FP, bool on);
void fSetAnswerOnRing(PFaxRec FP, int32_t rings);
void fSetFaxAndData(PFaxRec FP, bool on);
void fSetOneFax(PFaxRec FP, bool on);
void fSetConnectState(PFaxRec FP);

// Queries.
void fGetPageInfoC12(PFaxRec FP, int32_t& pages, int32_t& page, int32_t& bytesTransferred,
                     int32_t& pageLength);
int32_t fGetLastPageStatus(PFaxRec FP);
std::string fGetRemoteID(PFaxRec FP);
void fGetSessionParams(PFaxRec FP, int32_t& bitRate, bool& fine, bool& correction);
int32_t fGetHangupResult(PFaxRec FP);

// Synchronous probes (GUI thread; the port's handlers wait meanwhile).
bool fGetModemClassSupport(PFaxRec FP, bool& class1, bool& class2, bool reset, bool& class2_0);
bool fGetModemInfo(PFaxRec FP, char& cls, std::string& id1, std::string& id2, std::string& id3,
                   bool reset);
void fGetModemFeatures(PFaxRec FP, int32_t& bitRate, char& ecDigit);

int fPrepareFaxTransmit(PFaxRec FP);
int fPrepareFaxReceive(PFaxRec FP);
bool fInitModemForFaxReceive(PFaxRec FP);

// The line routines of the state machines (dispatch thread).
namespace FaxLine {
void Pause(uint32_t ms);
void SendCommand(PFaxRec FP, const std::string& command);
void SendFrameCommand(PFaxRec FP, const std::string& command);
void ArmReply(PFaxRec FP);
void ArmTimeout(PFaxRec FP, int32_t ticks);
void DisarmTimeout(PFaxRec FP);
bool Has(PFaxRec FP, const char* text);
bool HasHangup(PFaxRec FP);
void HangupByDTR(PFaxRec FP);
TFaxModemLines& ModemLines(PFaxRec FP);
void SwitchToInitBaud(PFaxRec FP);
void SwitchToNormalBaud(PFaxRec FP);
bool SyncCommand(PFaxRec FP, const std::string& command);
// The port's device failed or went away (an unplugged modem): the serial
// layer's code for it, else 0. Nothing more can be said to that modem.
int32_t DeviceLost(PFaxRec FP);
void Drain(PFaxRec FP);
// Software flow control of the port for page data, when the options ask for it.
void FlowOn(PFaxRec FP);
void FlowOff(PFaxRec FP);
// Writes bytes with every DLE doubled; false when the output buffer is full.
bool PutStuffed(PFaxRec FP, const uint8_t* data, std::size_t n);
// A Class 1 frame: 20 ms pause, the octets (DLE doubled), DLE ETX.
void SendFrame(PFaxRec FP, const std::string& octets);

enum class TGot { Nothing, Line, Frame };
// Collects modem bytes: a CR LF line into the response (trimmed, at most 128
// characters, empty lines skipped), or, after a CONNECT that starts a
// received frame, the frame's octets (DLE DLE unstuffed) up to DLE ETX into
// the record's Frame.
TGot Collect(PFaxRec FP);
} // namespace FaxLine

// What a modem's dial string takes of a number as written: the dial digits
// (0-9 * # + A-D) and the modifiers , W P T ! @. Blanks, parentheses,
// hyphens and any other formatting are left out, since modems may refuse
// them.
std::string DialString(const std::string& number);

// Report fields: the text after the prefix up to ":" or "=", trimmed.
std::string ReportBody(const std::string& line);
// Comma-separated fields of a report body (parentheses and quotes dropped,
// each field trimmed).
std::vector<std::string> ReportFields(const std::string& line);
// A "+FCSI:"/"+FTSI:" report's ID: trimmed, quotes dropped, trailing
// characters that are neither letters nor digits removed.
std::string ReportStationID(const std::string& line);
// The far end's ID (CSI/TSI) as it is shown, logged and stored: blanks,
// controls and NUL padding cut from its ends, and any other byte that is
// not printable ASCII made '?', so a hostile far end can put no line break
// or escape sequence into a log, a display or a file header.
std::string PrintableRemoteID(std::string_view id);
// Class 2/2.0 hang-up code of a "+FHNG:" or "+FHS:" line.
uint16_t ParseHangupCode(const std::string& line);
// "+FDIS:", "+FIS:", "+FDCS:" or "+FCS:": resolution, bit rate, width,
// error correction and scan time into the record; remote fine and wide too
// when `capabilities`.
void ParseClass2Params(TC12AbsData& C, const std::string& line, bool capabilities);
// Class 2 bit-rate code (0..5) of a bit rate, and back.
int BitRateCode(int32_t bitRate);
int32_t BitRateOfCode(int code);
void UpdateMinLineBytes(TC12AbsData& C);

// Class 1 frames.
namespace Fcf {
inline constexpr uint8_t DIS = 0x80, CSI = 0x40, DCS = 0x82, TSI = 0x42, CFR = 0x84, FTT = 0x44,
                         MCF = 0x8C, RTN = 0x4C, RTP = 0xCC, MPS = 0x4E, EOM = 0x8E, EOP = 0x2E,
                         DCN = 0xFA;
}
// The octets of a frame to send, without DLE ETX.
std::string FrameDIS(const TC12AbsData& C);
std::string FrameDCS(const TC12AbsData& C);
std::string FrameID(uint8_t fcf, const std::string& id); // CSI 0x40 / TSI 0x43
std::string FrameShort(uint8_t fcf);                     // final frames without FIF
// Training and page modulations of the negotiated speed.
std::string TrainModulation(const TC12AbsData& C);
std::string PageModulation(const TC12AbsData& C);

enum class TFrameResult { None, Ok, Disconnect, Incompatible, Retrain };
// Decodes a received frame (DLE DLE already unstuffed, DLE ETX removed).
TFrameResult DecodeFrame(PFaxRec FP, const std::string& frame);
// Steps the speed down to the next one both sides offer; false when none.
bool StepDownSpeed(TC12AbsData& C);
// The modem's highest speed within the maximum bit rate.
uint16_t BestLocalSpeed(const TC12AbsData& C);
// The highest speed both sides offer within the maximum bit rate.
void PickSpeed(TC12AbsData& C);
// Training check of the current speed: zero bytes, at most 8192.
std::size_t TrainingBytes(const TC12AbsData& C);
