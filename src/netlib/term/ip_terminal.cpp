#include "netlib/term/ip_terminal.h"

#include "netlib/sock/ip_sock_control.h"
#include "netlib/term/ip_term_emulator.h"
#include "platform/text.h"

#include <QClipboard>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyle>
#include <algorithm>

TIpCustomTerminal::TIpCustomTerminal(QWidget* parent) : TIpBaseWinControl(parent)
{
    FWindow =
        std::make_unique<TGuiReceiver>([this](uint32_t msg, uintptr_t wParam, intptr_t lParam) {
            return WndProc(msg, wParam, lParam);
        });
    FPrivateEmulator = std::make_unique<TIpTTYEmulator>();
    FPrivateEmulator->OwnedByTerminal = true;
    FHScroll = new QScrollBar(Qt::Horizontal, this);
    FVScroll = new QScrollBar(Qt::Vertical, this);
    FHScroll->hide();
    FVScroll->hide();
    connect(FHScroll, &QScrollBar::valueChanged, this, [this](int v) {
        if (!FUpdatingBars)
            tmSetOrigin(v + 1, FOriginRow);
    });
    connect(FVScroll, &QScrollBar::valueChanged, this, [this](int v) {
        if (!FUpdatingBars)
            tmSetOrigin(FOriginCol, v + 1);
    });
    // Scrolling up from the screen's first row opens the scroll-back, which
    // the bar's range holds only once that view is on.
    connect(FVScroll, &QScrollBar::actionTriggered, this, [this](int action) {
        const bool up = action == QAbstractSlider::SliderSingleStepSub ||
                        action == QAbstractSlider::SliderPageStepSub;
        if (up && !FScrollback && FOriginRow == 1 && FVScroll->value() == FVScroll->minimum())
            tmSetOrigin(FOriginCol, action == QAbstractSlider::SliderSingleStepSub
                                        ? 0
                                        : 1 - FVScroll->pageStep());
    });
    // Where there is no "Terminal" font the system's fixed-pitch one stands in.
    QFont f("Terminal", 9);
    f.setStyleHint(QFont::TypeWriter);
    f.setFixedPitch(true);
    if (QFontMetrics(f).horizontalAdvance(QLatin1Char('M')) !=
        QFontMetrics(f).horizontalAdvance(QLatin1Char('i')))
        f.setFamilies({"Terminal", QFontDatabase::systemFont(QFontDatabase::FixedFont).family()});
    setFont(f);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    FTimer.setInterval(100);
    connect(&FTimer, &QTimer::timeout, this, &TIpCustomTerminal::tmBeat);
    tmSetEmulator(nullptr);
    resize(300, 200);
    FTimer.start();
}

TIpCustomTerminal::~TIpCustomTerminal()
{
    FTimer.stop();
    SetSockControl(nullptr);
    if (FEmulator && FEmulator != FPrivateEmulator.get()) {
        TIpTerminalEmulator* e = FEmulator;
        FEmulator = nullptr;
        e->teSetTerminal(nullptr);
    }
    CloseCapture();
}

TIpTerminalBuffer* TIpCustomTerminal::Buffer() const
{
    return FEmulator ? FEmulator->Buffer() : nullptr;
}

TIpTerminalEmulator* TIpCustomTerminal::Emulator() const
{
    return FEmulator == FPrivateEmulator.get() ? nullptr : FEmulator;
}

void TIpCustomTerminal::tmSetEmulator(TIpTerminalEmulator* emulator)
{
    TIpTerminalEmulator* next = emulator ? emulator : FPrivateEmulator.get();
    if (next == FEmulator || FLinking)
        return;
    FLinking = true;
    const bool running = FTimer.isActive();
    FTimer.stop();
    TIpTerminalEmulator* old = FEmulator;
    FEmulator = next;
    if (old && old->Buffer() && next->Buffer()) {
        next->Buffer()->SetSVRowCount(old->Buffer()->SVRowCount());
        next->Buffer()->SetRowCount(old->Buffer()->RowCount());
        next->Buffer()->SetColCount(old->Buffer()->ColCount());
    }
    if (old && old != FPrivateEmulator.get())
        old->teSetTerminal(nullptr);
    if (next != FPrivateEmulator.get())
        next->teSetTerminal(this);
    FPrivateEmulator->teSetTerminal(this);
    FLinking = false;
    tmGetFontInfo();
    tmCalcExtent();
    InvalidateAll();
    if (running)
        FTimer.start();
}

void TIpCustomTerminal::EmulatorGone(TIpTerminalEmulator* emulator)
{
    if (FEmulator != emulator || FLinking)
        return;
    FEmulator = nullptr;
    tmSetEmulator(nullptr);
}

// ---------------------------------------------------------------------------
// Properties

void TIpCustomTerminal::SetActive(bool on)
{
    if (on == FActive)
        return;
    if (!on)
        Detach();
    FActive = on;
    if (on)
        Attach();
}

void TIpCustomTerminal::SetBlinkTime(int ms)
{
    FBlinkTime = ms < 1 ? 0 : std::max(ms, 250);
}

void TIpCustomTerminal::SetLazyByteDelay(int n)
{
    if (n >= 1 && n <= 1024)
        FLazyByteDelay = n;
}

void TIpCustomTerminal::SetLazyTimeDelay(int ms)
{
    if (ms >= 1 && ms <= 1000)
        FLazyTimeDelay = ms;
}

int TIpCustomTerminal::Columns() const
{
    return Buffer() ? Buffer()->ColCount() : 0;
}
int TIpCustomTerminal::Rows() const
{
    return Buffer() ? Buffer()->RowCount() : 0;
}
int TIpCustomTerminal::ScrollbackRows() const
{
    return Buffer() ? Buffer()->SVRowCount() : 0;
}

void TIpCustomTerminal::SetColumns(int n)
{
    if (n <= 0 || !Buffer())
        return;
    Buffer()->SetColCount(n);
    FOriginCol = FOriginRow = 1;
    tmCalcExtent();
    SizeAnnounce();
    InvalidateAll();
}

void TIpCustomTerminal::SetRows(int n)
{
    if (n <= 0 || !Buffer())
        return;
    Buffer()->SetRowCount(n);
    FOriginCol = FOriginRow = 1;
    tmCalcExtent();
    SizeAnnounce();
    InvalidateAll();
}

void TIpCustomTerminal::SetScrollbackRows(int n)
{
    if (n <= 0 || !Buffer())
        return;
    Buffer()->SetSVRowCount(n);
    tmCalcExtent();
    InvalidateAll();
}

void TIpCustomTerminal::SetScrollback(bool on)
{
    FScrollback = on;
    tmCalcExtent();
}

void TIpCustomTerminal::SetCursorType(TIpCursorType t)
{
    FCursorType = t;
    update(CaretRect());
}

void TIpCustomTerminal::SetColor(TColor c)
{
    FColor = c;
    InvalidateAll();
}

void TIpCustomTerminal::SetFontColor(TColor c)
{
    FFontColor = c;
    InvalidateAll();
}

void TIpCustomTerminal::SetTerminalFont(const QFont& font)
{
    setFont(font);
    tmGetFontInfo();
}

std::array<uint8_t, 4> TIpCustomTerminal::TelnetTermSize() const
{
    const int c = Columns(), r = Rows();
    return {uint8_t(c >> 8), uint8_t(c), uint8_t(r >> 8), uint8_t(r)};
}

void TIpCustomTerminal::SizeAnnounce()
{
    if (FSockControl && FSocket != NoSocket)
        FSockControl->Window().Post(CM_IPTERMRESIZE, FSocket);
    Q_EMIT SizeChanged();
}

// ---------------------------------------------------------------------------
// Host side

void TIpCustomTerminal::SetSockControl(TIpSockControl* control)
{
    if (control == FSockControl)
        return;
    if (FSockControl) {
        Detach();
        FSockControl->DeRegisterTerminal(Window());
        disconnect(FSockControl, nullptr, this, nullptr);
    }
    FSockControl = control;
    FSocket = NoSocket;
    if (!control)
        return;
    // A socket control that goes away takes the connection with it.
    connect(control, &QObject::destroyed, this, [this] {
        FSockControl = nullptr;
        FSocket = NoSocket;
        FActive = false;
    });
    // A connected single client tells the window its socket at once.
    control->RegisterTerminal(Window());
}

void TIpCustomTerminal::SetSocket(uint32_t socket)
{
    if (socket == FSocket)
        return;
    Detach();
    FSocket = socket;
    Attach();
}

void TIpCustomTerminal::Attach()
{
    if (!FActive || !FSockControl || FSocket == NoSocket)
        return;
    if (!FSockControl->scAttachTerminal(FSocket, Window())) {
        FSocket = NoSocket;
        return;
    }
    if (!FSockControl->GetMasterTerminal(FSocket))
        FSockControl->SetMasterTerminal(FSocket, this);
}

void TIpCustomTerminal::Detach()
{
    if (!FSockControl || FSocket == NoSocket)
        return;
    if (FSockControl->GetMasterTerminal(FSocket) == this)
        FSockControl->SetMasterTerminal(FSocket, nullptr);
    FSockControl->scDetachTerminal(FSocket, Window());
}

intptr_t TIpCustomTerminal::WndProc(uint32_t msg, uintptr_t wParam, intptr_t lParam)
{
    switch (msg) {
    case CM_IPTERMDATA: {
        std::unique_ptr<std::string> data = IpTakeTermData(wParam);
        ReceiveData(std::move(*data));
        break;
    }
    case CM_IPSOCKETSTATUS:
        if (IpLoWord(lParam) == 1 && IpHiWord(lParam) == 1 && FSocket == NoSocket)
            SetSocket(uint32_t(wParam));
        else if (IpLoWord(lParam) == 2 && uint32_t(wParam) == FSocket)
            FSocket = NoSocket;
        break;
    default:
        break;
    }
    return 0;
}

bool TIpCustomTerminal::IsMasterTerminal() const
{
    return FSockControl && FSocket != NoSocket &&
           FSockControl->GetMasterTerminal(FSocket) == static_cast<const TIpTelnetTerminal*>(this);
}

void TIpCustomTerminal::SendToHost(const char* data, int count)
{
    if (!FSockControl || FSocket == NoSocket || count <= 0)
        return;
    try {
        FSockControl->scPutBlock(FSocket, data, uint32_t(count), false);
    } catch (const std::exception& e) {
        IpHandleException(e);
    }
}

std::string TIpCustomTerminal::TelnetTermType() const
{
    return FEmulator ? FEmulator->TelnetTermType : std::string("dumb");
}

void TIpCustomTerminal::ReceiveData(std::string data)
{
    FQueue.Put(data.data(), int(data.size()));
    PostStuff();
}

void TIpCustomTerminal::WriteChar(char ch)
{
    ReceiveData(std::string(1, ch));
}

void TIpCustomTerminal::WriteString(const std::string& s)
{
    ReceiveData(s);
}

void TIpCustomTerminal::PostStuff()
{
    if (FStuffPosted)
        return;
    FStuffPosted = true;
    QMetaObject::invokeMethod(
        this, [this] { CMIpTermStuff(); }, Qt::QueuedConnection);
}

void TIpCustomTerminal::CMIpTermStuff()
{
    FStuffPosted = false;
    const int n = FQueue.Count();
    if (n == 0 || !FEmulator)
        return;
    // Copied out first: an echo or a query answer may queue more meanwhile.
    const std::string block(reinterpret_cast<const char*>(FQueue.Peek(n)), size_t(n));
    FQueue.Remove(n);
    if (FCapture == cmOn && FCaptureStream.isOpen() && FCaptureStream.write(block.data(), n) != n) {
        // Nobody waits on this message to be told: the capture stops and says why.
        qWarning("Capture to %s stopped: %s", FCaptureFile.c_str(),
                 qPrintable(FCaptureStream.errorString()));
        CloseCapture();
        FCapture = cmOff;
    }
    FEmulator->ProcessBlock(block.data(), n);
    if (!UseLazyDisplay && FEmulator->teGetNeedsUpdate())
        FEmulator->LazyPaint();
    FLazyBytes += n;
}

void TIpCustomTerminal::tmBeat()
{
    if (FSelecting) {
        const QPoint p = mapFromGlobal(QCursor::pos());
        if (FHScroll->isVisible() && p.x() < 0)
            tmSetOrigin(FOriginCol - 1, FOriginRow);
        else if (FHScroll->isVisible() && p.x() >= FCellArea.right())
            tmSetOrigin(FOriginCol + 1, FOriginRow);
        if (p.y() < 0)
            tmSetOrigin(FOriginCol, FOriginRow - 1);
        else if (p.y() > FCellArea.bottom())
            tmSetOrigin(FOriginCol, FOriginRow + 1);
        const QPoint cell = CellAt(p);
        tmMarkSelection(cell.x(), cell.y());
    }
    if (FBlinkTime > 0 && FEmulator) {
        FBlinkCounter += 100;
        if (FBlinkCounter > FBlinkTime) {
            FBlinkPhase = !FBlinkPhase;
            if (FEmulator->HasBlinkingText())
                FEmulator->BlinkPaint(FBlinkPhase);
            FBlinkCounter = 0;
        }
    }
    if (UseLazyDisplay && FEmulator) {
        FLazyTime += 100;
        if ((FLazyTime > FLazyTimeDelay || FLazyBytes > FLazyByteDelay) &&
            FEmulator->teGetNeedsUpdate()) {
            FEmulator->LazyPaint();
            FLazyTime = FLazyBytes = 0;
        }
    }
}

// ---------------------------------------------------------------------------
// Capture

void TIpCustomTerminal::OpenCapture(bool append)
{
    CloseCapture();
    FCaptureStream.setFileName(ToQt(FCaptureFile));
    // Unbuffered: what came is in the file at once, also when the program dies.
    const auto mode = QIODevice::WriteOnly | QIODevice::Unbuffered |
                      (append ? QIODevice::Append : QIODevice::Truncate);
    if (!FCaptureStream.open(mode)) {
        FCapture = cmOff;
        throw EIpBaseException("Cannot open capture file " + FCaptureFile + ": " +
                               FromQt(FCaptureStream.errorString()));
    }
    FCapture = cmOn;
}

void TIpCustomTerminal::CloseCapture()
{
    if (FCaptureStream.isOpen())
        FCaptureStream.close();
}

void TIpCustomTerminal::SetCapture(TIpCaptureMode mode)
{
    if (mode == FCapture || (FCapture == cmOn && mode == cmAppend))
        return;
    if (FCapture == cmOn)
        CloseCapture();
    if (FCaptureFile.empty())
        FCaptureFile = "VOVEVUDA.CAP";
    FCapture = cmOff;
    if (mode != cmOff)
        OpenCapture(mode == cmAppend);
}

void TIpCustomTerminal::SetCaptureFile(const std::string& name)
{
    if (name == FCaptureFile)
        return;
    const bool capturing = FCapture == cmOn;
    if (capturing)
        SetCapture(cmOff);
    FCaptureFile = name;
    if (capturing)
        SetCapture(cmOn);
}

// ---------------------------------------------------------------------------
// Lines and cells

std::string TIpCustomTerminal::Line(int row) const
{
    const TIpTerminalBuffer* b = Buffer();
    const uint8_t* p = b ? b->GetLineCharPtr(row) : nullptr;
    return p ? std::string(reinterpret_cast<const char*>(p), size_t(b->ColCount())) : std::string{};
}

void TIpCustomTerminal::SetLine(int row, const std::string& text)
{
    TIpTerminalBuffer* b = Buffer();
    if (!b || !b->GetLineCharPtr(row))
        return;
    std::string line = text.substr(0, size_t(b->ColCount()));
    line.resize(size_t(b->ColCount()), ' ');
    b->Chars().WriteItems(line.data(), int(line.size()), 0, b->ScreenToInternal(row));
    b->InvalidateRows(row, row);
    InvalidateCells(1, row, b->ColCount(), row);
}

namespace {

template <typename T>
T CellGet(TIpTerminalBuffer* b, TIpTerminalArray& (TIpTerminalBuffer::*array)(), int row, int col,
          T none)
{
    if (!b || col < 1 || col > b->ColCount() || !b->GetLineCharPtr(row))
        return none;
    return T((b->*array)().Item(b->ScreenToInternal(row), col - 1));
}

void CellSet(TIpTerminalBuffer* b, TIpTerminalArray& (TIpTerminalBuffer::*array)(), int row,
             int col, uint32_t v)
{
    if (!b || col < 1 || col > b->ColCount() || !b->GetLineCharPtr(row))
        return;
    (b->*array)().WriteDupItems(v, 1, col - 1, b->ScreenToInternal(row));
    b->InvalidateRows(row, row);
}

} // namespace

TIpTerminalCharAttrs TIpCustomTerminal::Attributes(int row, int col) const
{
    return CellGet<TIpTerminalCharAttrs>(Buffer(), &TIpTerminalBuffer::Attrs, row, col, 0);
}
void TIpCustomTerminal::SetAttributes(int row, int col, TIpTerminalCharAttrs attrs)
{
    CellSet(Buffer(), &TIpTerminalBuffer::Attrs, row, col, attrs);
}
uint8_t TIpCustomTerminal::CharSet(int row, int col) const
{
    return CellGet<uint8_t>(Buffer(), &TIpTerminalBuffer::CharSets, row, col, 0);
}
void TIpCustomTerminal::SetCharSet(int row, int col, uint8_t cs)
{
    CellSet(Buffer(), &TIpTerminalBuffer::CharSets, row, col, cs);
}
TColor TIpCustomTerminal::ForeColor(int row, int col) const
{
    return CellGet<TColor>(Buffer(), &TIpTerminalBuffer::ForeColors, row, col, 0xFFFFFF);
}
void TIpCustomTerminal::SetForeColor(int row, int col, TColor c)
{
    CellSet(Buffer(), &TIpTerminalBuffer::ForeColors, row, col, c);
}
TColor TIpCustomTerminal::BackColor(int row, int col) const
{
    return CellGet<TColor>(Buffer(), &TIpTerminalBuffer::BackColors, row, col, 0);
}
void TIpCustomTerminal::SetBackColor(int row, int col, TColor c)
{
    CellSet(Buffer(), &TIpTerminalBuffer::BackColors, row, col, c);
}

void TIpCustomTerminal::Clear()
{
    if (FEmulator)
        FEmulator->teClear();
    InvalidateAll();
}

void TIpCustomTerminal::ClearAll()
{
    if (FEmulator)
        FEmulator->teClearAll();
    InvalidateAll();
}

// ---------------------------------------------------------------------------
// Geometry and painting

void TIpCustomTerminal::tmGetFontInfo()
{
    // A fixed-pitch font's cell is its advance (its widest glyph, some of
    // which reach far beyond a cell, does not count); other fonts get their
    // average width. The font's own pitch flag is not trusted: it is often
    // wrong for monospaced fonts.
    const QFontMetrics fm(font());
    const int advance = fm.horizontalAdvance(QLatin1Char('M'));
    const bool fixed = advance == fm.horizontalAdvance(QLatin1Char('i'));
    const int width = fixed ? advance : fm.averageCharWidth();
    const int height = fm.height() + fm.leading();
    if (width != FCellWidth || height != FCellHeight) {
        FCellWidth = std::max(width, 1);
        FCellHeight = std::max(height, 1);
        tmCalcExtent();
        InvalidateAll();
    }
}

void TIpCustomTerminal::tmCalcExtent()
{
    if (!Buffer())
        return;
    const int cols = Columns(), rows = Rows();
    int w = width(), h = height();
    const int sb = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    // Bars take room that may in turn make the other one needed.
    bool hBar = false, vBar = ScrollbackRows() > rows;
    for (int pass = 0; pass < 2; ++pass) {
        const int cw = w - (vBar ? sb : 0), ch = h - (hBar ? sb : 0);
        hBar = cw / FCellWidth < cols;
        vBar = vBar || ch / FCellHeight < rows;
    }
    const int cw = std::max(w - (vBar ? sb : 0), 0), chh = std::max(h - (hBar ? sb : 0), 0);
    const bool rowsDontFit = chh / FCellHeight < rows;
    FVisibleCols = std::min((cw + FCellWidth - 1) / FCellWidth, cols - FOriginCol + 1);
    FWholeCols = std::min(cw / FCellWidth, cols - FOriginCol + 1);
    FVisibleRows = std::min((chh + FCellHeight - 1) / FCellHeight, rows - FOriginRow + 1);
    FWholeRows = std::min(chh / FCellHeight, rows - FOriginRow + 1);
    FCellArea = QRect(0, 0, std::min(FVisibleCols * FCellWidth, cw),
                      std::min(FVisibleRows * FCellHeight, chh));
    FUpdatingBars = true;
    FHScroll->setVisible(hBar);
    FVScroll->setVisible(vBar);
    FHScroll->setGeometry(0, h - sb, cw, sb);
    FVScroll->setGeometry(w - sb, 0, sb, chh);
    FHScroll->setRange(0, std::max(cols - std::max(cw / FCellWidth, 1), 0));
    FHScroll->setPageStep(std::max(FWholeCols, 1));
    FHScroll->setValue(FOriginCol - 1);
    const int vMin = (rowsDontFit && !FScrollback) ? 0 : rows - ScrollbackRows();
    FVScroll->setRange(vMin, std::max(rows - std::max(chh / FCellHeight, 1), vMin));
    FVScroll->setPageStep(std::max(FWholeRows, 1));
    FVScroll->setValue(FOriginRow - 1);
    FUpdatingBars = false;
}

void TIpCustomTerminal::tmSetOrigin(int col, int row)
{
    const int cw = std::max(FCellArea.width() / FCellWidth, 1);
    const int ch = std::max(height() / FCellHeight, 1);
    col = std::clamp(col, 1, std::max(Columns() - cw + 1, 1));
    const int minRow = Rows() - ScrollbackRows() + 1;
    row = std::clamp(row, minRow, std::max(Rows() - ch + 1, 1));
    if (col == FOriginCol && row == FOriginRow)
        return;
    FScrollback = row < 1;
    FOriginCol = col;
    FOriginRow = row;
    tmCalcExtent();
    InvalidateAll();
}

QPoint TIpCustomTerminal::CellAt(QPoint pixel) const
{
    const int x = std::clamp(pixel.x(), 0, std::max(FCellArea.width() - 1, 0));
    const int y = std::clamp(pixel.y(), 0, std::max(FCellArea.height() - 1, 0));
    return {x / FCellWidth + FOriginCol, y / FCellHeight + FOriginRow};
}

void TIpCustomTerminal::InvalidateCells(int fromCol, int fromRow, int toCol, int toRow)
{
    const int x = (fromCol - FOriginCol) * FCellWidth, y = (fromRow - FOriginRow) * FCellHeight;
    update(QRect(x, y, (toCol - fromCol + 1) * FCellWidth, (toRow - fromRow + 1) * FCellHeight)
               .intersected(FCellArea));
    UpdateCaret();
}

void TIpCustomTerminal::UpdateCaret()
{
    // The caret is inverted cells: where it was must be painted afresh too.
    const QRect now = CaretRect();
    if (now != FCaretDrawn)
        update(FCaretDrawn);
    update(now);
}

void TIpCustomTerminal::InvalidateAll()
{
    update();
}

void TIpCustomTerminal::resizeEvent(QResizeEvent*)
{
    tmCalcExtent();
    tmSetOrigin(FOriginCol, FOriginRow);
}

QRect TIpCustomTerminal::CaretRect() const
{
    const TIpTerminalBuffer* b = Buffer();
    if (!b)
        return {};
    int row = b->Row(), col = b->Col();
    if (!b->UseAbsAddressing) {
        row += b->OriginRow() - 1;
        col += b->OriginCol() - 1;
    }
    const int y = (row - FOriginRow) * FCellHeight;
    if (FEmulator->DoubleWidthRow(row))
        return {(2 * col - 1 - FOriginCol) * FCellWidth, y, 2 * FCellWidth, FCellHeight};
    return {(col - FOriginCol) * FCellWidth, y, FCellWidth, FCellHeight};
}

void TIpCustomTerminal::paintEvent(QPaintEvent* event)
{
    QPainter p(this);
    const QColor bg(int(FColor & 0xFF), int(FColor >> 8 & 0xFF), int(FColor >> 16 & 0xFF));
    QRegion margins = QRegion(event->rect()) - QRegion(FCellArea);
    for (const QRect& r : margins)
        p.fillRect(r, bg);
    if (!FEmulator)
        return;
    p.setClipRect(FCellArea);
    // Each rectangle on its own: a caret's old and new cells are often far apart.
    for (const QRect& r : event->region())
        FEmulator->Paint(p, r);
    const QRect caret = CaretRect();
    if (event->region().contains(caret))
        FCaretDrawn = caret;
    if (hasFocus() && FCursorType != ctNone && FCellArea.intersects(caret)) {
        p.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
        const QRect r = FCursorType == ctBlock
                            ? caret
                            : QRect(caret.left(), caret.bottom() - 3, caret.width(), 2);
        p.fillRect(r, Qt::white);
    }
}

// ---------------------------------------------------------------------------
// Keyboard

namespace {

// The Windows key code of a Qt key; 0 for keys the emulator does not know.
uint16_t VirtualKey(const QKeyEvent& e)
{
    const int k = e.key();
    const bool keypad = e.modifiers() & Qt::KeypadModifier;
    if (keypad) {
        switch (k) {
        case Qt::Key_Clear:
            return IpVK::Numpad0 + 5;
        case Qt::Key_PageUp:
            return IpVK::Numpad0 + 9;
        case Qt::Key_PageDown:
            return IpVK::Numpad0 + 3;
        case Qt::Key_End:
            return IpVK::Numpad0 + 1;
        case Qt::Key_Home:
            return IpVK::Numpad0 + 7;
        case Qt::Key_Left:
            return IpVK::Numpad0 + 4;
        case Qt::Key_Up:
            return IpVK::Numpad0 + 8;
        case Qt::Key_Right:
            return IpVK::Numpad0 + 6;
        case Qt::Key_Down:
            return IpVK::Numpad0 + 2;
        case Qt::Key_Insert:
            return IpVK::Numpad0;
        case Qt::Key_Delete:
            return IpVK::Decimal;
        case Qt::Key_Enter:
        case Qt::Key_Return:
            return IpVK::Execute;
        case Qt::Key_Asterisk:
            return IpVK::Multiply;
        case Qt::Key_Plus:
            return IpVK::Add;
        case Qt::Key_Minus:
            return IpVK::Subtract;
        case Qt::Key_Period:
        case Qt::Key_Comma:
            return IpVK::Decimal;
        case Qt::Key_Slash:
            return IpVK::Divide;
        default:
            if (k >= Qt::Key_0 && k <= Qt::Key_9)
                return uint16_t(IpVK::Numpad0 + (k - Qt::Key_0));
        }
    }
    switch (k) {
    case Qt::Key_Backspace:
        return IpVK::Back;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return IpVK::Tab;
    case Qt::Key_Clear:
        return IpVK::Clear;
    case Qt::Key_Return:
        return IpVK::Return;
    case Qt::Key_Enter:
        return IpVK::Execute;
    case Qt::Key_Pause:
        return IpVK::Pause;
    case Qt::Key_CapsLock:
        return IpVK::Capital;
    case Qt::Key_Escape:
        return IpVK::Escape;
    case Qt::Key_Space:
        return IpVK::Space;
    case Qt::Key_PageUp:
        return IpVK::Prior;
    case Qt::Key_PageDown:
        return IpVK::Next;
    case Qt::Key_End:
        return IpVK::End;
    case Qt::Key_Home:
        return IpVK::Home;
    case Qt::Key_Left:
        return IpVK::Left;
    case Qt::Key_Up:
        return IpVK::Up;
    case Qt::Key_Right:
        return IpVK::Right;
    case Qt::Key_Down:
        return IpVK::Down;
    case Qt::Key_Insert:
        return IpVK::Insert;
    case Qt::Key_Delete:
        return IpVK::Delete;
    case Qt::Key_NumLock:
        return IpVK::NumLock;
    case Qt::Key_ScrollLock:
        return IpVK::Scroll;
    case Qt::Key_Shift:
        return IpVK::Shift;
    case Qt::Key_Control:
        return IpVK::Control;
    case Qt::Key_Alt:
        return IpVK::Menu;
    default:
        break;
    }
    if (k >= Qt::Key_0 && k <= Qt::Key_9)
        return uint16_t(k);
    if (k >= Qt::Key_A && k <= Qt::Key_Z)
        return uint16_t(k);
    if (k >= Qt::Key_F1 && k <= Qt::Key_F24)
        return uint16_t(IpVK::F1 + (k - Qt::Key_F1));
    return 0;
}

} // namespace

bool TIpCustomTerminal::focusNextPrevChild(bool next)
{
    return WantAllKeys ? false : TIpBaseWinControl::focusNextPrevChild(next);
}

bool TIpCustomTerminal::event(QEvent* e)
{
    // Tab and Backtab reach the terminal when it wants all keys.
    if (e->type() == QEvent::KeyPress && WantAllKeys) {
        auto* k = static_cast<QKeyEvent*>(e);
        if (k->key() == Qt::Key_Tab || k->key() == Qt::Key_Backtab) {
            keyPressEvent(k);
            return true;
        }
    }
    return TIpBaseWinControl::event(e);
}

bool TIpCustomTerminal::HandleKeyDown(QKeyEvent* event)
{
    const bool ctrl = event->modifiers() & Qt::ControlModifier;
    if (event->key() == Qt::Key_Escape && FSelecting) {
        FSelecting = false;
        HideSelection();
        return true;
    }
    if (ctrl && (event->key() == Qt::Key_C || event->key() == Qt::Key_Insert) && FHasSelection) {
        CopyToClipboard();
        return true;
    }
    uint16_t key = VirtualKey(*event);
    if (key == IpVK::Shift || key == IpVK::Control || key == IpVK::Menu)
        return true;
    if (key == 0 || !FEmulator)
        return false;
    if (event->isAutoRepeat())
        key |= IpKeyRepeatFlag;
    TIpShiftState shift = 0;
    if (event->modifiers() & Qt::ShiftModifier)
        shift |= ssShift;
    if (ctrl)
        shift |= ssCtrl;
    if (event->modifiers() & Qt::AltModifier)
        shift |= ssAlt;
    FEmulator->KeyDown(key, shift);
    return key == 0;
}

void TIpCustomTerminal::keyPressEvent(QKeyEvent* event)
{
    if (HandleKeyDown(event) || !FEmulator)
        return;
    for (char ch : FromQt(event->text())) {
        if (ch != 0)
            FEmulator->KeyPress(ch);
    }
}

// ---------------------------------------------------------------------------
// Selection

void TIpCustomTerminal::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton)
        return;
    if (!hasFocus())
        setFocus(Qt::MouseFocusReason);
    HideSelection();
    FSelecting = true;
    FAnchor = CellAt(event->position().toPoint());
}

void TIpCustomTerminal::mouseMoveEvent(QMouseEvent* event)
{
    if (!FSelecting || !(event->buttons() & Qt::LeftButton))
        return;
    const QPoint cell = CellAt(event->position().toPoint());
    tmMarkSelection(cell.x(), cell.y());
}

void TIpCustomTerminal::mouseReleaseEvent(QMouseEvent*)
{
    FSelecting = false;
}

namespace {

// Calls f(row, firstCol, lastCol) for each row of a selection from a to b.
template <typename F> void ForSelection(QPoint a, QPoint b, int cols, F f)
{
    if (b.y() < a.y() || (b.y() == a.y() && b.x() < a.x()))
        std::swap(a, b);
    for (int row = a.y(); row <= b.y(); ++row)
        f(row, row == a.y() ? a.x() : 1, row == b.y() ? b.x() : cols);
}

} // namespace

void TIpCustomTerminal::tmMarkSelection(int col, int row)
{
    TIpTerminalBuffer* b = Buffer();
    if (!b)
        return;
    col = std::clamp(col, 1, b->ColCount());
    row = std::clamp(row, 1 - (b->SVRowCount() - b->RowCount()), b->RowCount());
    const QPoint end(col, row);
    if (FHasSelection && end == FSelEnd)
        return;
    UnmarkSelection();
    FSelStart = FAnchor;
    FSelEnd = end;
    FHasSelection = true;
    ForSelection(FSelStart, FSelEnd, b->ColCount(), [&](int r, int c1, int c2) {
        for (int c = c1; c <= c2; ++c)
            SetAttributes(r, c, Attributes(r, c) | IpAttr(tcaSelected));
        InvalidateCells(1, r, b->ColCount(), r);
    });
}

void TIpCustomTerminal::UnmarkSelection()
{
    // Marked cells move with the text when the host scrolls, so every row is
    // looked at, not only the selected ones.
    TIpTerminalBuffer* b = Buffer();
    if (!b)
        return;
    for (int r = 1 - (b->SVRowCount() - b->RowCount()); r <= b->RowCount(); ++r) {
        uint8_t* attrs = b->Attrs().GetItemPtr(b->ScreenToInternal(r), 0);
        bool marked = false;
        for (int c = 0; attrs && c < b->ColCount(); ++c)
            if (attrs[c] & IpAttr(tcaSelected)) {
                attrs[c] &= uint8_t(~IpAttr(tcaSelected));
                marked = true;
            }
        if (marked)
            InvalidateCells(1, r, b->ColCount(), r);
    }
}

void TIpCustomTerminal::HideSelection()
{
    if (!FHasSelection)
        return;
    UnmarkSelection();
    FHasSelection = false;
}

std::string TIpCustomTerminal::SelectedText() const
{
    std::string text;
    const TIpTerminalBuffer* b = Buffer();
    if (!FHasSelection || !b)
        return text;
    ForSelection(FSelStart, FSelEnd, b->ColCount(), [&](int r, int c1, int c2) {
        text += Line(r).substr(size_t(c1 - 1), size_t(c2 - c1 + 1));
        text += "\r\n";
    });
    return text;
}

void TIpCustomTerminal::CopyToClipboard()
{
    if (FHasSelection)
        QGuiApplication::clipboard()->setText(ToQt(SelectedText()));
}

void TIpCustomTerminal::focusInEvent(QFocusEvent*)
{
    UpdateCaret();
}

void TIpCustomTerminal::focusOutEvent(QFocusEvent*)
{
    UpdateCaret();
}
