#include "netlib/term/ip_term_parser.h"

#include <limits>

namespace {

constexpr char Esc = 0x1B;

bool IsFinal(uint8_t ch)
{
    return ch >= 0x40 && ch <= 0x7E;
}
bool IsIntermediate(uint8_t ch)
{
    return ch >= 0x20 && ch <= 0x2F;
}

} // namespace

TIpVT100Parser::TIpVT100Parser(bool useWideChars) : TIpTerminalParser(useWideChars)
{
    FArgs.resize(16);
    FSequence.reserve(64);
}

int TIpVT100Parser::tpGetArgument(int index) const
{
    return index >= 0 && index < FArgCount ? FArgs[size_t(index)] : 0;
}

std::string TIpVT100Parser::tpGetSequence() const
{
    return FCommand == 0 ? std::string{} : FSequence;
}

void TIpVT100Parser::Clear()
{
    FSequence.clear();
    FCommand = 0;
    std::fill(FArgs.begin(), FArgs.end(), 0);
    FArgCount = 0;
}

void TIpVT100Parser::vtpGrowArgs()
{
    FArgs.resize(FArgs.size() * 3 / 2);
}

void TIpVT100Parser::AddArgument(int value)
{
    if (FArgCount >= int(FArgs.size()))
        vtpGrowArgs();
    FArgs[size_t(FArgCount++)] = value;
}

TIpParserCmdType TIpVT100Parser::Abandon()
{
    FState = psGotCommand;
    FCommand = 0;
    DropArguments();
    return pctNone;
}

TIpParserCmdType TIpVT100Parser::ProcessChar(char c)
{
    const auto ch = uint8_t(c);
    if (FState == psGotCommand) {
        DropArguments();
        FSequence.clear();
        FCommand = 0;
        FState = psIdle;
    } else if (FState == psGotInterCommand) {
        DropArguments();
        FCommand = 0;
        FSequence = FSavedSeq;
        FState = FSavedState;
        FArgs = FSavedArgs;
        FArgCount = FSavedArgCount;
    }
    if (ch < 0x20)
        return ControlChar(ch);
    // Past the cap the bytes are not kept, and the sequence comes to nothing
    // when it ends.
    if (int(FSequence.size()) < MaxSequenceLength)
        FSequence.push_back(char(ch));
    else
        FOverflow = true;
    const TIpParserCmdType result = Step(ch);
    if (FOverflow && FState == psGotCommand) {
        FOverflow = false;
        return Abandon();
    }
    return result;
}

TIpParserCmdType TIpVT100Parser::Step(uint8_t ch)
{
    switch (FState) {
    case psIdle:
        FState = psGotCommand;
        FCommand = IpCmd::DisplayChar;
        return ch < 0x7F ? pctChar : pct8bitChar;
    case psGotEscape:
        if (FInVT52Mode)
            return vtpProcessVT52(ch);
        switch (ch) {
        case '[':
            FState = psParsingANSI;
            return pctPending;
        case '#':
            FState = psParsingHash;
            return pctPending;
        case '(':
            FState = psParsingLeftParen;
            return pctPending;
        case ')':
            FState = psParsingRightParen;
            return pctPending;
        case '*':
        case '+':
        case '-':
        case '.':
        case '/':
            FState = psParsingCharSet;
            return pctPending;
        default:
            FState = psGotCommand;
            return EscCommand(ch);
        }
    case psParsingANSI:
        if (!IsFinal(ch))
            return pctPending;
        FState = psGotCommand;
        return vtpParseANSISeq(ch);
    case psParsingHash:
        FState = psGotCommand;
        switch (ch) {
        case '3':
            FCommand = IpCmd::DoubleHeight;
            AddArgument(0);
            return pctComplete;
        case '4':
            FCommand = IpCmd::DoubleHeight;
            AddArgument(1);
            return pctComplete;
        case '5':
            FCommand = IpCmd::SingleWidth;
            return pctComplete;
        case '6':
            FCommand = IpCmd::DoubleWidth;
            return pctComplete;
        case '8':
            FCommand = IpCmd::AlignmentPattern;
            return pctComplete;
        default:
            return pctNone;
        }
    case psParsingLeftParen:
    case psParsingRightParen: {
        if (ch < 0x30 || ch > 0x7E)
            return pctPending;
        const int g = FState == psParsingLeftParen ? 0 : 1;
        FState = psGotCommand;
        int set = -1;
        switch (ch) {
        case '0':
            set = 0;
            break;
        case '1':
            set = 1;
            break;
        case '2':
            set = 2;
            break;
        case 'A':
            set = 65;
            break;
        case 'B':
            set = 66;
            break;
        default:
            break;
        }
        if (FSequence.size() != 3 || set < 0)
            return Abandon();
        FCommand = IpCmd::DesignateCharSet;
        AddArgument(g);
        AddArgument(set);
        return pctComplete;
    }
    case psParsingCharSet:
        if (ch < 0x30 || ch > 0x7E)
            return pctPending;
        return Abandon();
    case psParsingCUP52:
        if (FArgCount == 0) {
            AddArgument(ch - 31);
            return pctPending;
        }
        AddArgument(ch - 31);
        FCommand = IpCmd::CursorPos;
        FState = psGotCommand;
        return pctComplete;
    default:
        return pctNone;
    }
}

TIpParserCmdType TIpVT100Parser::ControlChar(uint8_t ch)
{
    if (ch == 0x18 || ch == 0x1A || ch == 0x1B)
        FOverflow = false;
    if (ch == 0x18 || ch == 0x1A) {
        // CAN and SUB end the sequence in progress.
        FSequence.clear();
        FCommand = 0;
        DropArguments();
        FState = psIdle;
        return pctNone;
    }
    if (ch == uint8_t(Esc)) {
        FSequence.assign(1, Esc);
        DropArguments();
        FCommand = 0;
        FState = psGotEscape;
        return pctPending;
    }
    FSavedState = FState;
    FSavedSeq = FSequence;
    FSavedArgs = FArgs;
    FSavedArgCount = FArgCount;
    FState = psGotInterCommand;
    FSequence.assign(1, char(ch));
    DropArguments();
    FCommand = 0;
    switch (ch) {
    case 0x05:
        FCommand = IpCmd::Answerback;
        break;
    case 0x07:
        FCommand = IpCmd::Bell;
        break;
    case 0x08:
        FCommand = IpCmd::Backspace;
        break;
    case 0x09:
        FCommand = IpCmd::HorzTab;
        AddArgument(1);
        break;
    // A VT100 takes VT and FF for line feeds.
    case 0x0A:
    case 0x0B:
    case 0x0C:
        FCommand = IpCmd::LineFeed;
        break;
    case 0x0D:
        FCommand = IpCmd::CarriageReturn;
        break;
    case 0x0E:
        FCommand = IpCmd::ShiftOut;
        break;
    case 0x0F:
        FCommand = IpCmd::ShiftIn;
        break;
    default:
        return pctNone;
    }
    return pctComplete;
}

TIpParserCmdType TIpVT100Parser::EscCommand(uint8_t ch)
{
    switch (ch) {
    case '1':
    case '2':
        FCommand = IpCmd::None;
        return pctComplete;
    case '7':
        FCommand = IpCmd::SaveCursor;
        return pctComplete;
    case '8':
        FCommand = IpCmd::RestoreCursor;
        return pctComplete;
    case '=':
        FCommand = IpCmd::SetMode;
        AddArgument(PrivateMarker);
        AddArgument(999);
        return pctComplete;
    case '>':
        FCommand = IpCmd::ResetMode;
        AddArgument(PrivateMarker);
        AddArgument(999);
        return pctComplete;
    case 'D':
        FCommand = IpCmd::Index;
        return pctComplete;
    case 'E':
        FCommand = IpCmd::NextLine;
        return pctComplete;
    case 'H':
        FCommand = IpCmd::SetTabStop;
        return pctComplete;
    case 'M':
        FCommand = IpCmd::ReverseIndex;
        return pctComplete;
    case 'Z':
        FCommand = IpCmd::Identify;
        AddArgument(0);
        return pctComplete;
    case 'c':
        FCommand = IpCmd::Reset;
        return pctComplete;
    default:
        return pctNone;
    }
}

bool TIpVT100Parser::vtpGetArguments()
{
    DropArguments();
    size_t i = 2;
    if (FSequence.size() > 2 && FSequence[2] == '?') {
        AddArgument(PrivateMarker);
        i = 3;
    }
    int64_t value = 0;
    bool digits = false;
    for (; i < FSequence.size(); ++i) {
        const auto ch = uint8_t(FSequence[i]);
        if (IsIntermediate(ch) || IsFinal(ch))
            break;
        if (ch >= '0' && ch <= '9') {
            value = value * 10 + (ch - '0');
            if (value > std::numeric_limits<int32_t>::max())
                return false;
            digits = true;
        } else if (ch == ';') {
            if (FArgCount >= MaxArguments)
                return false;
            AddArgument(digits ? int(value) : EmptyArgument);
            value = 0;
            digits = false;
        } else {
            return false;
        }
    }
    if (FArgCount >= MaxArguments)
        return false;
    AddArgument(digits ? int(value) : EmptyArgument);
    return true;
}

bool TIpVT100Parser::vtpValidateArgsPrim(int minArgs, int maxArgs, int def)
{
    if (FArgCount > maxArgs)
        return false;
    while (FArgCount < minArgs)
        AddArgument(def);
    for (int i = 0; i < FArgCount; ++i)
        if (FArgs[size_t(i)] == EmptyArgument)
            FArgs[size_t(i)] = def;
    return true;
}

TIpParserCmdType TIpVT100Parser::vtpParseANSISeq(uint8_t ch)
{
    if (FSequence == "\x1b[61\"p") {
        FCommand = IpCmd::Reset;
        return pctComplete;
    }
    if (!vtpGetArguments() || ch < 0x40 || ch > 0x79) {
        DropArguments();
        return pctNone;
    }
    auto check = [&](uint8_t cmd, int minArgs, int maxArgs, int def) {
        if (!vtpValidateArgsPrim(minArgs, maxArgs, def)) {
            DropArguments();
            return pctNone;
        }
        FCommand = cmd;
        return pctComplete;
    };
    auto plain = [&](uint8_t cmd) {
        FCommand = cmd;
        return pctComplete;
    };
    switch (ch) {
    case '@':
        return check(IpCmd::InsertChars, 1, 1, 1);
    case 'A':
        return check(IpCmd::CursorUp, 1, 1, 1);
    case 'B':
        return check(IpCmd::CursorDown, 1, 1, 1);
    case 'C':
        return check(IpCmd::CursorRight, 1, 1, 1);
    case 'D':
        return check(IpCmd::CursorLeft, 1, 1, 1);
    case 'H':
    case 'f':
        return check(IpCmd::CursorPos, 2, 2, 1);
    case 'J':
        return check(IpCmd::EraseDisplay, 1, 1, 0);
    case 'K':
        return check(IpCmd::EraseLine, 1, 1, 0);
    case 'L':
        return check(IpCmd::InsertLines, 1, 1, 1);
    case 'M':
        return check(IpCmd::DeleteLines, 1, 1, 1);
    case 'P':
        return check(IpCmd::DeleteChars, 1, 1, 1);
    case 'X':
        return check(IpCmd::EraseChars, 1, 1, 1);
    case 'c':
        return check(IpCmd::Identify, 1, 1, 0);
    case 'g':
        return check(IpCmd::ClearTabStops, 1, 1, 0);
    case 'h':
        return plain(IpCmd::SetMode);
    case 'l':
        if (FArgCount == 2 && FArgs[0] == PrivateMarker && FArgs[1] == 2)
            FInVT52Mode = true;
        return plain(IpCmd::ResetMode);
    case 'm':
        return check(IpCmd::SetAttribute, 1, 30000, 0);
    case 'n':
        return check(IpCmd::DeviceStatus, 1, 1, -1);
    case 'q':
        return check(IpCmd::LoadLEDs, 1, 30000, 0);
    case 'r':
        return plain(IpCmd::SetScrollRegion);
    case 's':
        return plain(IpCmd::SaveCursor);
    case 'u':
        return plain(IpCmd::RestoreCursor);
    case 'x':
        return check(IpCmd::RequestParams, 1, 1, -1);
    case 'y':
        return plain(IpCmd::ConfidenceTest);
    default:
        DropArguments();
        return pctNone;
    }
}

TIpParserCmdType TIpVT100Parser::vtpProcessVT52(uint8_t ch)
{
    FState = psGotCommand;
    auto cmd = [&](uint8_t c, std::initializer_list<int> args) {
        FCommand = c;
        for (int a : args)
            AddArgument(a);
        return pctComplete;
    };
    switch (ch) {
    case '<':
        FInVT52Mode = false;
        return cmd(IpCmd::SetMode, {PrivateMarker, 2});
    case '=':
        return cmd(IpCmd::SetMode, {PrivateMarker, 999});
    case '>':
        return cmd(IpCmd::ResetMode, {PrivateMarker, 999});
    case 'A':
        return cmd(IpCmd::CursorUp, {1});
    case 'B':
        return cmd(IpCmd::CursorDown, {1});
    case 'C':
        return cmd(IpCmd::CursorRight, {1});
    case 'D':
        return cmd(IpCmd::CursorLeft, {1});
    case 'F':
        return cmd(IpCmd::ShiftOut, {});
    case 'G':
        return cmd(IpCmd::ShiftIn, {});
    case 'H':
        return cmd(IpCmd::CursorPos, {1, 1});
    case 'I':
        return cmd(IpCmd::ReverseIndex, {});
    case 'J':
        return cmd(IpCmd::EraseDisplay, {0});
    case 'K':
        return cmd(IpCmd::EraseLine, {0});
    case 'Y':
        FCommand = IpCmd::CursorPos;
        FState = psParsingCUP52;
        return pctPending;
    case 'Z':
        return cmd(IpCmd::Identify, {52});
    default:
        return pctNone;
    }
}
