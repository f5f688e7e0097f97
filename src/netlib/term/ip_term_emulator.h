#pragma once

#include "netlib/base/ip_base.h"
#include "netlib/term/ip_term_buffer.h"
#include "netlib/term/ip_term_mappings.h"
#include "netlib/term/ip_term_parser.h"

#include <QFont>
#include <QRect>
#include <memory>
#include <string>
#include <vector>

class QPainter;
class TIpCustomTerminal;

// Modifier keys held with a key (the framework's shift state).
enum TIpShiftFlag : uint8_t { ssShift = 1, ssAlt = 2, ssCtrl = 4 };
using TIpShiftState = uint8_t;

// A key code's bit 15: the key repeats.
inline constexpr uint16_t IpKeyRepeatFlag = 0x8000;

// An emulator owns a terminal buffer, interprets the bytes its terminal
// receives, turns keys into bytes for the host and paints the buffer.
//
// Decisions:
// - Painting is the window's: LazyPaint and BlinkPaint mark the changed
//   cells for repainting and Paint draws a clip rectangle when the window
//   paints (a Qt widget paints only from its paint event).
// - Glyphs of a mapped font other than "<Default>" are numbered in the PC OEM
//   code page and drawn as those characters in the window's font.
class TIpTerminalEmulator : public TIpBaseComponent {
    Q_OBJECT
public:
    explicit TIpTerminalEmulator(QObject* owner = nullptr);
    ~TIpTerminalEmulator() override;

    TIpTerminalBuffer* Buffer() const { return FBuffer.get(); }
    TIpCustomTerminal* Terminal() const { return FTerminal; }
    std::string TelnetTermType;
    // Set for a terminal's private emulator.
    bool OwnedByTerminal = false;

    virtual bool teGetNeedsUpdate();
    virtual void teSetTerminal(TIpCustomTerminal* terminal);
    virtual void teClear();
    virtual void teClearAll();
    virtual void teSendChar(char ch, bool echo);
    virtual void BlinkPaint(bool on);
    virtual bool HasBlinkingText() { return false; }
    virtual void KeyDown(uint16_t& key, TIpShiftState shift);
    virtual void KeyPress(char& ch);
    virtual void LazyPaint();
    virtual void Paint(QPainter& painter, const QRect& clip);
    virtual void ProcessBlock(const char* data, int count);
    void ProcessString(std::string_view s) { ProcessBlock(s.data(), int(s.size())); }
    // True for a screen row whose cells are drawn twice as wide.
    virtual bool DoubleWidthRow(int) { return false; }

    // The screen's text, one string per row, trailing blanks removed.
    std::vector<std::string> ScreenText() const;

protected:
    // Draws the cells of one row (screen row, 1-based) in the columns given.
    virtual void PaintRow(QPainter& painter, int row, int fromCol, int toCol);
    void PaintRun(QPainter& painter, int row, int fromCol, int toCol, bool reverseScreen,
                  const std::string& fontName, const QString& text);
    void InvalidateScreenCells(const TIpRect& r);
    void Beep();
    void CursorMoved(int row, int col);

    std::unique_ptr<TIpTerminalBuffer> FBuffer;
    TIpCustomTerminal* FTerminal = nullptr;
    bool FFullRepaint = true;
    bool FBlinkOn = true;
};

class TIpTTYEmulator : public TIpTerminalEmulator {
    Q_OBJECT
public:
    explicit TIpTTYEmulator(QObject* owner = nullptr);

    void KeyPress(char& ch) override;
    void Paint(QPainter& painter, const QRect& clip) override;
    void ProcessBlock(const char* data, int count) override;
};

enum TIpVT100LineAttr : uint8_t { ltNormal, ltDblHeightTop, ltDblHeightBottom, ltDblWidth };

// One line attribute per buffer row, addressed by screen row (1 = first
// screen row, 0 and below the scroll-back); outside it reads ltNormal.
class TIpLineAttrArray {
public:
    explicit TIpLineAttrArray(TIpTerminalBuffer& buffer) : FBuffer(buffer) {}
    TIpVT100LineAttr Get(int row);
    void Set(int row, TIpVT100LineAttr attr);
    void ScrollRows(int count, int startRow, int endRow);
    void Clear();

private:
    void Fit();
    int Index(int row) const { return row - 1 + FBuffer.SVRowCount() - FBuffer.RowCount(); }
    TIpTerminalBuffer& FBuffer;
    std::vector<TIpVT100LineAttr> FAttrs;
};

// The unit-wide names of the character sets, by the number the buffer stores.
extern const char* const IpVT100CharSetNames[5];

class TIpVT100Emulator : public TIpTerminalEmulator {
    Q_OBJECT
public:
    explicit TIpVT100Emulator(QObject* owner = nullptr);

    std::string Answerback = "vOVEvuda";
    bool DisplayUpperASCII = false;

    void teClear() override;
    void teClearAll() override;
    void BlinkPaint(bool on) override;
    bool HasBlinkingText() override { return !FBlinkScript.empty(); }
    void KeyDown(uint16_t& key, TIpShiftState shift) override;
    void KeyPress(char& ch) override;
    void ProcessBlock(const char* data, int count) override;
    bool DoubleWidthRow(int row) override;

    TIpVT100Parser& Parser() { return FParser; }
    TIpKeyboardMapping& KeyboardMapping() { return FKeyMap; }
    TIpCharSetMapping& CharSetMapping() { return FCharSetMap; }
    TIpLineAttrArray& LineAttrs() { return FLineAttrs; }
    uint8_t LEDs() const { return FLEDs; }
    bool InANSIMode() const { return FANSIMode; }
    bool AppCursorKeys() const { return FAppCursorKeys; }
    bool AppKeypad() const { return FAppKeypad; }
    bool ReverseScreen() const { return FReverseScreen; }

protected:
    void PaintRow(QPainter& painter, int row, int fromCol, int toCol) override;

private:
    struct TBlinkRun {
        int Row, FromCol, ToCol;
    };
    void ExecuteCommand();
    void SetModes(bool on);
    void SelectGraphicRendition();
    void Write8Bit(uint8_t ch);
    void SendToHost(const std::string& text);
    void SetCursor(int row, int col);
    void RebuildBlinkScript();
    int Arg(int i) const { return FParser.Argument(i); }
    // A count argument: 0 and below mean 1.
    int CountArg() const { return std::max(FParser.Argument(0), 1); }

    TIpVT100Parser FParser{false};
    TIpKeyboardMapping FKeyMap;
    TIpCharSetMapping FCharSetMap;
    TIpLineAttrArray FLineAttrs;
    std::vector<TBlinkRun> FBlinkScript;

    struct TSavedCursor {
        TIpTerminalCharAttrs Attrs = 0;
        TColor BackColor = 0;
        uint8_t CharSet = 0;
        int Col = 1;
        TColor ForeColor = 0xC0C0C0;
        int Row = 1;
    } FSaved;
    uint8_t FLEDs = 0;
    bool FANSIMode = true;
    bool FAppCursorKeys = false;
    bool FAppKeypad = false;
    bool FAutoRepeat = true;
    bool F132Columns = false;
    bool FInsertMode = false;
    bool FInterlace = false;
    bool FNewLineMode = false;
    bool FRelativeOrigin = false;
    bool FReverseScreen = false;
    bool FSmoothScroll = false;
    bool FAutoWrap = true;
    bool FShiftedOut = false;
    int FG0 = 0, FG1 = 0;
};
