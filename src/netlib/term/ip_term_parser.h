#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Turns the bytes a host sends into display characters and complete
// commands with numeric arguments (VT100 and VT52 sequences). It acts on
// nothing itself: the emulator reads Command and the arguments after each
// byte. Control bytes inside a sequence act at once and the sequence goes on.
//
// Decisions:
// - VT and FF are line feeds, as on a VT100 (not a vertical tab and a
//   screen erase).
// - CAN and SUB cancel the sequence in progress, as on a VT100; after them
//   the next byte starts afresh.
// - A sequence longer than MaxSequenceLength bytes, or one with more than
//   MaxArguments arguments, is dropped: a host cannot make the parser grow
//   without bound.

enum TIpVTParserState : uint8_t {
    psIdle,
    psGotEscape,
    psParsingANSI,
    psParsingHash,
    psParsingLeftParen,
    psParsingRightParen,
    psParsingCharSet,
    psGotCommand,
    psGotInterCommand,
    psParsingCUP52
};

enum TIpParserCmdType : uint8_t { pctNone, pctChar, pct8bitChar, pctPending, pctComplete };

// Command codes.
namespace IpCmd {
enum : uint8_t {
    None = 0,
    DisplayChar = 1,
    CursorPos = 2,
    CursorUp = 3,
    CursorDown = 4,
    CursorRight = 5,
    CursorLeft = 6,
    SetMode = 13,
    SetAttribute = 16,
    SaveCursor = 17,
    RestoreCursor = 18,
    DeviceStatus = 19,
    HorzTab = 34,
    VertTab = 40,
    Identify = 41,
    DeleteChars = 43,
    DeleteLines = 45,
    EraseChars = 49,
    EraseDisplay = 50,
    EraseLine = 52,
    SetTabStop = 65,
    InsertChars = 66,
    InsertLines = 67,
    NextLine = 76,
    ReverseIndex = 88,
    Reset = 89,
    ResetMode = 90,
    ClearTabStops = 106,
    SetScrollRegion = 113,
    Answerback = 114,
    Bell = 115,
    Backspace = 116,
    LineFeed = 117,
    CarriageReturn = 118,
    ShiftOut = 119,
    ShiftIn = 120,
    Index = 121,
    AlignmentPattern = 122,
    DoubleHeight = 123,
    DoubleWidth = 124,
    LoadLEDs = 125,
    RequestParams = 126,
    SingleWidth = 127,
    ConfidenceTest = 128,
    DesignateCharSet = 129
};
}

class TIpTerminalParser {
public:
    explicit TIpTerminalParser(bool useWideChars) : FUseWideChars(useWideChars) {}
    virtual ~TIpTerminalParser() = default;

    virtual int tpGetArgument(int) const { return 0; }
    virtual std::string tpGetSequence() const { return {}; }
    virtual TIpParserCmdType ProcessChar(char) { return pctNone; }
    virtual TIpParserCmdType ProcessWideChar(char16_t) { return pctNone; }
    virtual void Clear() {}

    uint8_t Command() const { return FCommand; }
    int ArgumentCount() const { return FArgCount; }
    int Argument(int index) const { return tpGetArgument(index); }
    std::string Sequence() const { return tpGetSequence(); }

protected:
    int FArgCount = 0;
    uint8_t FCommand = 0;
    bool FUseWideChars = false;
};

class TIpVT100Parser : public TIpTerminalParser {
public:
    static constexpr int MaxSequenceLength = 256;
    static constexpr int MaxArguments = 64;
    static constexpr int EmptyArgument = -1;
    static constexpr int PrivateMarker = -2;

    explicit TIpVT100Parser(bool useWideChars);

    int tpGetArgument(int index) const override;
    std::string tpGetSequence() const override;
    TIpParserCmdType ProcessChar(char ch) override;
    TIpParserCmdType ProcessWideChar(char16_t) override { return pctNone; }
    void Clear() override;

    bool InVT52Mode() const { return FInVT52Mode; }
    TIpVTParserState State() const { return FState; }

private:
    bool vtpGetArguments();
    void vtpGrowArgs();
    TIpParserCmdType vtpParseANSISeq(uint8_t ch);
    TIpParserCmdType vtpProcessVT52(uint8_t ch);
    bool vtpValidateArgsPrim(int minArgs, int maxArgs, int def);
    void AddArgument(int value);
    void DropArguments() { FArgCount = 0; }
    TIpParserCmdType EscCommand(uint8_t ch);
    TIpParserCmdType ControlChar(uint8_t ch);
    TIpParserCmdType Abandon();
    TIpParserCmdType Step(uint8_t ch);

    std::vector<int> FArgs;
    bool FInVT52Mode = false;
    std::string FSavedSeq;
    std::vector<int> FSavedArgs;
    int FSavedArgCount = 0;
    TIpVTParserState FSavedState = psIdle;
    std::string FSequence;
    TIpVTParserState FState = psIdle;
    bool FOverflow = false;
};
