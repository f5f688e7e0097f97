#pragma once

#include "netlib/base/ip_base.h"
#include "netlib/sock/ip_socket.h"
#include "netlib/term/ip_term_buffer.h"
#include "platform/gui_message.h"

#include <QFile>
#include <QFont>
#include <QTimer>
#include <array>
#include <functional>
#include <memory>
#include <string>

class QScrollBar;
class TIpSockControl;
class TIpTerminalEmulator;
class TIpTTYEmulator;

enum TIpCaptureMode { cmOff, cmOn, cmAppend };
enum TIpCursorType { ctNone, ctUnderline, ctBlock };

using TIpTerminalCursorMovedEvent = std::function<void(QObject* sender, int row, int col)>;

// Windows virtual key codes the terminal hands its emulator.
namespace IpVK {
enum : uint16_t {
    Back = 0x08,
    Tab = 0x09,
    Clear = 0x0C,
    Return = 0x0D,
    Shift = 0x10,
    Control = 0x11,
    Menu = 0x12,
    Pause = 0x13,
    Capital = 0x14,
    Escape = 0x1B,
    Space = 0x20,
    Prior = 0x21,
    Next = 0x22,
    End = 0x23,
    Home = 0x24,
    Left = 0x25,
    Up = 0x26,
    Right = 0x27,
    Down = 0x28,
    Execute = 0x2B,
    Insert = 0x2D,
    Delete = 0x2E,
    Numpad0 = 0x60,
    Multiply = 0x6A,
    Add = 0x6B,
    Subtract = 0x6D,
    Decimal = 0x6E,
    Divide = 0x6F,
    F1 = 0x70,
    NumLock = 0x90,
    Scroll = 0x91
};
}

// The window that shows a terminal connection: it queues the bytes the host
// sends, hands them to its emulator, paints the emulator's buffer with a
// caret, scroll bars and a scroll-back view, turns keys into bytes for the
// host, selects and copies text with the mouse and can capture what it
// receives to a file. Without an emulator of its own choosing it uses a
// private TTY emulator.
//
// Decisions:
// - The caret is drawn by the window (a block inverts its cell, an underline
//   is 2 pixels high, 2 pixels above the cell's bottom) while it has focus.
// - Keys arrive as Qt key events and are turned into Windows key codes here;
//   the keypad's keys carry the keypad flag in place of the extended flag.
// - The capture file is written as the bytes come, appended in place.
// - The window the socket control talks to is a message receiver made with
//   the control, so a terminal can attach as soon as it has a socket.
// - A key whose bytes cannot be sent (the connection has gone) is reported
//   as the socket control reports its errors, and dropped.
class TIpCustomTerminal : public TIpBaseWinControl, public TIpTelnetTerminal {
    Q_OBJECT
public:
    explicit TIpCustomTerminal(QWidget* parent = nullptr);
    ~TIpCustomTerminal() override;

    bool Active() const { return FActive; }
    void SetActive(bool on);
    int BlinkTime() const { return FBlinkTime; }
    void SetBlinkTime(int ms);
    TIpCaptureMode Capture() const { return FCapture; }
    void SetCapture(TIpCaptureMode mode);
    std::string CaptureFile() const { return FCaptureFile; }
    void SetCaptureFile(const std::string& name);
    int Columns() const;
    void SetColumns(int n);
    int Rows() const;
    void SetRows(int n);
    int ScrollbackRows() const;
    void SetScrollbackRows(int n);
    TIpCursorType CursorType() const { return FCursorType; }
    void SetCursorType(TIpCursorType t);
    bool HalfDuplex = false;
    int LazyByteDelay() const { return FLazyByteDelay; }
    void SetLazyByteDelay(int n);
    int LazyTimeDelay() const { return FLazyTimeDelay; }
    void SetLazyTimeDelay(int ms);
    bool Scrollback() const { return FScrollback; }
    void SetScrollback(bool on);
    bool UseLazyDisplay = true;
    bool WantAllKeys = true;
    bool FreezeScrollBack = true;
    TIpTerminalCursorMovedEvent OnCursorMoved;
    // The background colour and the font's colour (blue-green-red).
    TColor Color() const { return FColor; }
    void SetColor(TColor c);
    TColor FontColor() const { return FFontColor; }
    void SetFontColor(TColor c);
    void SetTerminalFont(const QFont& font);

    TIpTerminalEmulator* Emulator() const;
    void SetEmulator(TIpTerminalEmulator* emulator) { tmSetEmulator(emulator); }
    // The emulator in use, the private one included.
    TIpTerminalEmulator* CurrentEmulator() const { return FEmulator; }

    // The connection: a socket of a socket control. The socket is
    // NoSocket while there is none.
    static constexpr uint32_t NoSocket = 0xFFFFFFFF;
    TIpSockControl* SockControl() const { return FSockControl; }
    void SetSockControl(TIpSockControl* control);
    uint32_t Socket() const { return FSocket; }
    void SetSocket(uint32_t socket);
    TGuiTarget Window() const { return FWindow->Target(); }

    // The host side: bytes out, and whether this window answers the host's
    // queries (it is the master terminal of its socket). Without a
    // connection nothing is sent and it is no master.
    virtual bool IsMasterTerminal() const;
    virtual void SendToHost(const char* data, int count);
    std::string TelnetTermType() const override;
    // Bytes received from the host, as the connection hands them over.
    void ReceiveData(std::string data);

    void Clear();
    void ClearAll();
    void CopyToClipboard();
    void HideSelection();
    // Queues bytes as if received.
    void WriteChar(char ch);
    void WriteString(const std::string& s);

    std::string Line(int row) const;
    void SetLine(int row, const std::string& text);
    TIpTerminalCharAttrs Attributes(int row, int col) const;
    void SetAttributes(int row, int col, TIpTerminalCharAttrs attrs);
    uint8_t CharSet(int row, int col) const;
    void SetCharSet(int row, int col, uint8_t cs);
    TColor ForeColor(int row, int col) const;
    void SetForeColor(int row, int col, TColor c);
    TColor BackColor(int row, int col) const;
    void SetBackColor(int row, int col, TColor c);
    std::array<uint8_t, 4> TelnetTermSize() const override;

    // View geometry for the emulator's painting.
    int CellWidth() const { return FCellWidth; }
    int CellHeight() const { return FCellHeight; }
    int ViewOriginCol() const { return FOriginCol; }
    int ViewOriginRow() const { return FOriginRow; }
    QRect CellArea() const { return FCellArea; }
    void InvalidateCells(int fromCol, int fromRow, int toCol, int toRow);
    void InvalidateAll();
    // Repaints the caret where it is and where it was drawn last.
    void UpdateCaret();
    bool Selecting() const { return FSelecting; }
    bool HasSelection() const { return FHasSelection; }
    std::string SelectedText() const;

    // Called by the emulators' link.
    void tmSetEmulator(TIpTerminalEmulator* emulator);
    void EmulatorGone(TIpTerminalEmulator* emulator);

    // Processes what the queue holds (the posted "stuff" message).
    void CMIpTermStuff();
    void tmBeat();

Q_SIGNALS:
    void SizeChanged();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    bool focusNextPrevChild(bool next) override;
    bool event(QEvent* event) override;

private:
    void tmCalcExtent();
    void tmGetFontInfo();
    void tmSetOrigin(int col, int row);
    void tmMarkSelection(int col, int row);
    void UnmarkSelection();
    QPoint CellAt(QPoint pixel) const;
    void PostStuff();
    void OpenCapture(bool append);
    void CloseCapture();
    void SizeAnnounce();
    QRect CaretRect() const;
    bool HandleKeyDown(QKeyEvent* event);
    TIpTerminalBuffer* Buffer() const;
    intptr_t WndProc(uint32_t msg, uintptr_t wParam, intptr_t lParam);
    void Attach();
    void Detach();

    bool FActive = true;
    TIpSockControl* FSockControl = nullptr;
    uint32_t FSocket = NoSocket;
    std::unique_ptr<TGuiReceiver> FWindow;
    int FBlinkTime = 500;
    TIpCaptureMode FCapture = cmOff;
    std::string FCaptureFile = "VOVEVUDA.CAP";
    QFile FCaptureStream;
    TIpCursorType FCursorType = ctBlock;
    int FLazyByteDelay = 200;
    int FLazyTimeDelay = 100;
    bool FScrollback = false;
    TColor FColor = 0;
    TColor FFontColor = 0xC0C0C0;

    TaaByteQueue FQueue;
    bool FStuffPosted = false;
    std::unique_ptr<TIpTTYEmulator> FPrivateEmulator;
    TIpTerminalEmulator* FEmulator = nullptr;
    bool FLinking = false;
    QTimer FTimer;
    int FCellWidth = 8, FCellHeight = 16;
    int FVisibleCols = 0, FVisibleRows = 0, FWholeCols = 0, FWholeRows = 0;
    int FOriginCol = 1, FOriginRow = 1;
    QPoint FAnchor;
    QRect FSelection; // columns x, rows y; inclusive corners as set
    QPoint FSelStart, FSelEnd;
    bool FSelecting = false;
    bool FHasSelection = false;
    int FBlinkCounter = 0;
    bool FBlinkPhase = true;
    int FLazyTime = 0, FLazyBytes = 0;
    QScrollBar* FHScroll = nullptr;
    QScrollBar* FVScroll = nullptr;
    bool FUpdatingBars = false;
    QRect FCellArea;
    QRect FCaretDrawn;
};

// The same control with its emulator chosen by the user.
class TIpTerminal : public TIpCustomTerminal {
    Q_OBJECT
public:
    using TIpCustomTerminal::TIpCustomTerminal;
};
