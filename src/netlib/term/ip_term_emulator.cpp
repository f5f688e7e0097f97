#include "netlib/term/ip_term_emulator.h"

#include "netlib/term/ip_term_oem.h"
#include "netlib/term/ip_terminal.h"
#include "platform/text.h"

#include <QApplication>
#include <QPainter>
#include <algorithm>
#include <cstdio>

const char* const IpVT100CharSetNames[5] = {"VT100-USASCII", "VT100-UK", "VT100-linedraw",
                                            "VT100-ROM1", "VT100-ROM2"};

namespace {

QColor ToQColor(TColor c)
{
    return QColor(int(c & 0xFF), int(c >> 8 & 0xFF), int(c >> 16 & 0xFF));
}

TColor Brighten(TColor c)
{
    auto part = [&](int shift) {
        return std::min<uint32_t>((c >> shift & 0xFF) + 128, 255) << shift;
    };
    return part(0) | part(8) | part(16);
}

bool Has(TIpTerminalCharAttrs attrs, TIpTerminalCharAttr a)
{
    return (attrs & IpAttr(a)) != 0;
}

} // namespace

// ---------------------------------------------------------------------------
// TIpTerminalEmulator

TIpTerminalEmulator::TIpTerminalEmulator(QObject* owner) : TIpBaseComponent(owner) {}

TIpTerminalEmulator::~TIpTerminalEmulator()
{
    if (FTerminal && !OwnedByTerminal)
        FTerminal->EmulatorGone(this);
}

bool TIpTerminalEmulator::teGetNeedsUpdate()
{
    if (!FBuffer)
        return false;
    const bool moved = FBuffer->HasCursorMoved();
    return FBuffer->HasDisplayChanged() || moved || FFullRepaint;
}

void TIpTerminalEmulator::teSetTerminal(TIpCustomTerminal* terminal)
{
    if (terminal == FTerminal)
        return;
    TIpCustomTerminal* old = FTerminal;
    FTerminal = terminal;
    if (old && !OwnedByTerminal)
        old->EmulatorGone(this);
    if (terminal && !OwnedByTerminal)
        terminal->tmSetEmulator(this);
    FFullRepaint = true;
}

void TIpTerminalEmulator::teClear()
{
    if (FBuffer)
        FBuffer->EraseScreen();
}

void TIpTerminalEmulator::teClearAll()
{
    if (FBuffer)
        FBuffer->EraseAll();
}

void TIpTerminalEmulator::teSendChar(char ch, bool echo)
{
    if (!FTerminal)
        return;
    if (echo && FTerminal->HalfDuplex)
        ProcessBlock(&ch, 1);
    FTerminal->SendToHost(&ch, 1);
}

void TIpTerminalEmulator::BlinkPaint(bool on)
{
    FBlinkOn = on;
}
void TIpTerminalEmulator::KeyDown(uint16_t&, TIpShiftState) {}
void TIpTerminalEmulator::KeyPress(char&) {}
void TIpTerminalEmulator::ProcessBlock(const char*, int) {}

void TIpTerminalEmulator::Beep()
{
    QApplication::beep();
}

void TIpTerminalEmulator::CursorMoved(int row, int col)
{
    if (FTerminal && FTerminal->OnCursorMoved)
        FTerminal->OnCursorMoved(FTerminal, row, col);
}

std::vector<std::string> TIpTerminalEmulator::ScreenText() const
{
    std::vector<std::string> rows;
    for (int r = 1; r <= FBuffer->RowCount(); ++r) {
        const auto* p = FBuffer->GetLineCharPtr(r);
        std::string line(reinterpret_cast<const char*>(p), size_t(FBuffer->ColCount()));
        line.erase(line.find_last_not_of(' ') + 1);
        rows.push_back(line);
    }
    return rows;
}

void TIpTerminalEmulator::InvalidateScreenCells(const TIpRect& r)
{
    if (!FTerminal)
        return;
    TIpRect cells = r;
    // A doubled row's cells lie elsewhere on the screen: the whole row is repainted.
    for (int row = r.Top; row <= r.Bottom && (cells.Left > 1 || cells.Right < FBuffer->ColCount());
         ++row)
        if (DoubleWidthRow(row)) {
            cells.Left = 1;
            cells.Right = FBuffer->ColCount();
        }
    FTerminal->InvalidateCells(cells.Left, cells.Top, cells.Right, cells.Bottom);
}

void TIpTerminalEmulator::LazyPaint()
{
    if (!FBuffer)
        return;
    TIpRect r;
    if (FFullRepaint) {
        FFullRepaint = false;
        FBuffer->GetInvalidRect(r);
        if (FTerminal)
            FTerminal->InvalidateAll();
        return;
    }
    if (FBuffer->GetInvalidRect(r))
        InvalidateScreenCells(r);
    else if (FTerminal)
        FTerminal->UpdateCaret(); // the cursor alone moved
}

void TIpTerminalEmulator::Paint(QPainter& painter, const QRect& clip)
{
    if (!FTerminal || !FBuffer)
        return;
    const int cw = FTerminal->CellWidth(), ch = FTerminal->CellHeight();
    const QRect area = clip.intersected(FTerminal->CellArea());
    if (area.isEmpty())
        return;
    const int firstRow = area.top() / ch + FTerminal->ViewOriginRow();
    const int lastRow = area.bottom() / ch + FTerminal->ViewOriginRow();
    const int firstCol = area.left() / cw + FTerminal->ViewOriginCol();
    const int lastCol = area.right() / cw + FTerminal->ViewOriginCol();
    for (int row = firstRow; row <= lastRow; ++row) {
        if (row > FBuffer->RowCount() || row < 1 - (FBuffer->SVRowCount() - FBuffer->RowCount()))
            continue;
        PaintRow(painter, row, std::max(firstCol, 1), std::min(lastCol, FBuffer->ColCount()));
    }
}

void TIpTerminalEmulator::PaintRow(QPainter& painter, int row, int fromCol, int toCol)
{
    const uint8_t* chars = FBuffer->GetLineCharPtr(row);
    const uint8_t* attrs = FBuffer->GetLineAttrPtr(row);
    const TColor* fore = FBuffer->GetLineForeColorPtr(row);
    const TColor* back = FBuffer->GetLineBackColorPtr(row);
    if (!chars || !attrs || !fore || !back)
        return;
    int start = fromCol;
    for (int c = fromCol; c <= toCol; ++c) {
        const int i = c - 1, s = start - 1;
        const bool last = c == toCol;
        if (!last) {
            const int n = c;
            if (fore[n] == fore[s] && back[n] == back[s] && attrs[n] == attrs[s])
                continue;
        }
        const std::string text(reinterpret_cast<const char*>(chars + s), size_t(i - s + 1));
        PaintRun(painter, row, start, c, false, IpDefaultFontName, ToQt(text));
        start = c + 1;
    }
}

void TIpTerminalEmulator::PaintRun(QPainter& painter, int row, int fromCol, int toCol,
                                   bool reverseScreen, const std::string& fontName,
                                   const QString& text)
{
    const int i = fromCol - 1;
    const uint8_t attrs = FBuffer->GetLineAttrPtr(row)[i];
    TColor fg = FBuffer->GetLineForeColorPtr(row)[i];
    TColor bg = FBuffer->GetLineBackColorPtr(row)[i];
    if ((Has(attrs, tcaReverse) != Has(attrs, tcaSelected)) != reverseScreen)
        std::swap(fg, bg);
    if (Has(attrs, tcaInvisible))
        fg = bg;
    else if (Has(attrs, tcaBold))
        fg = Brighten(fg);
    if (Has(attrs, tcaBlink) && !FBlinkOn)
        fg = bg;
    const int cellWidth = FTerminal->CellWidth(), ch = FTerminal->CellHeight();
    const int x = (fromCol - FTerminal->ViewOriginCol()) * cellWidth;
    const int y = (row - FTerminal->ViewOriginRow()) * ch;
    const QRect rect(x, y, (toCol - fromCol + 1) * cellWidth, ch);
    painter.fillRect(rect, ToQColor(bg));
    QFont font = FTerminal->font();
    if (fontName != IpDefaultFontName)
        font.setStyleHint(QFont::TypeWriter);
    painter.setFont(font);
    painter.setPen(ToQColor(fg));
    const QFontMetrics fm(font);
    for (int k = 0; k < text.size(); ++k)
        painter.drawText(QPoint(x + k * cellWidth, y + fm.ascent()), QString(text[k]));
    if (Has(attrs, tcaUnderline))
        painter.drawLine(rect.left(), rect.bottom() - 2, rect.right(), rect.bottom() - 2);
    if (Has(attrs, tcaStrikethrough))
        painter.drawLine(rect.left(), y + ch / 2, rect.right(), y + ch / 2);
}

// ---------------------------------------------------------------------------
// TIpTTYEmulator

TIpTTYEmulator::TIpTTYEmulator(QObject* owner) : TIpTerminalEmulator(owner)
{
    FBuffer = std::make_unique<TIpTerminalBuffer>(false);
    TelnetTermType = "dumb";
    FBuffer->OnCursorMoved = [this](int row, int col) { CursorMoved(row, col); };
}

void TIpTTYEmulator::ProcessBlock(const char* data, int count)
{
    for (int i = 0; i < count; ++i) {
        const auto b = uint8_t(data[i]);
        switch (b) {
        case 0x07:
            Beep();
            break;
        case 0x08:
            FBuffer->DoBackspace();
            break;
        case 0x09:
            FBuffer->DoHorzTab();
            break;
        case 0x0A:
            FBuffer->DoLineFeed();
            break;
        case 0x0D:
            FBuffer->DoCarriageReturn();
            break;
        default:
            if (b >= 0x20)
                FBuffer->WriteChar(char(b));
        }
    }
}

void TIpTTYEmulator::KeyPress(char& ch)
{
    if (ch == 0x08)
        ch = 0x7F;
    teSendChar(ch, true);
}

void TIpTTYEmulator::Paint(QPainter& painter, const QRect& clip)
{
    // The plain teletype shows the window's own colours.
    if (FTerminal && (FBuffer->DefForeColor() != FTerminal->FontColor() ||
                      FBuffer->DefBackColor() != FTerminal->Color())) {
        FBuffer->SetDefForeColor(FTerminal->FontColor());
        FBuffer->SetDefBackColor(FTerminal->Color());
        FBuffer->SetForeColor(FTerminal->FontColor());
        FBuffer->SetBackColor(FTerminal->Color());
        FFullRepaint = true;
        FTerminal->InvalidateAll();
    }
    TIpTerminalEmulator::Paint(painter, clip);
}

// ---------------------------------------------------------------------------
// TIpLineAttrArray

void TIpLineAttrArray::Fit()
{
    const auto n = size_t(FBuffer.SVRowCount());
    if (FAttrs.size() == n)
        return;
    std::vector<TIpVT100LineAttr> fresh(n, ltNormal);
    const size_t keep = std::min(n, FAttrs.size());
    std::copy(FAttrs.end() - long(keep), FAttrs.end(), fresh.end() - long(keep));
    FAttrs.swap(fresh);
}

TIpVT100LineAttr TIpLineAttrArray::Get(int row)
{
    Fit();
    const int i = Index(row);
    return i >= 0 && i < int(FAttrs.size()) ? FAttrs[size_t(i)] : ltNormal;
}

void TIpLineAttrArray::Set(int row, TIpVT100LineAttr attr)
{
    Fit();
    const int i = Index(row);
    if (i >= 0 && i < int(FAttrs.size()))
        FAttrs[size_t(i)] = attr;
}

void TIpLineAttrArray::Clear()
{
    Fit();
    std::fill(FAttrs.begin(), FAttrs.end(), ltNormal);
}

void TIpLineAttrArray::ScrollRows(int count, int startRow, int endRow)
{
    Fit();
    int a = std::max(Index(std::min(startRow, endRow)), 0);
    int b = std::min(Index(std::max(startRow, endRow)), int(FAttrs.size()) - 1);
    if (count == 0 || a > b)
        return;
    const int span = b - a + 1;
    auto first = FAttrs.begin() + a, last = FAttrs.begin() + b + 1;
    if (std::abs(count) >= span) {
        std::fill(first, last, ltNormal);
    } else if (count > 0) {
        std::move(first + count, last, first);
        std::fill(last - count, last, ltNormal);
    } else {
        std::move_backward(first, last + count, last);
        std::fill(first, first - count, ltNormal);
    }
}

// ---------------------------------------------------------------------------
// TIpVT100Emulator

TIpVT100Emulator::TIpVT100Emulator(QObject* owner)
    : TIpTerminalEmulator(owner),
      FLineAttrs((FBuffer = std::make_unique<TIpTerminalBuffer>(false), *FBuffer))
{
    TelnetTermType = "vt100";
    FKeyMap.LoadFromRes(IpProgramResources(), "IPVT100KEYMAP");
    FCharSetMap.LoadFromRes(IpProgramResources(), "IPVT100CHARSET");
    FBuffer->OnScrollRows = [this](int count, int start, int end) {
        FLineAttrs.ScrollRows(count, start, end);
    };
    FBuffer->OnCursorMoved = [this](int row, int col) { CursorMoved(row, col); };
}

void TIpVT100Emulator::teClear()
{
    TIpTerminalEmulator::teClear();
    RebuildBlinkScript();
}

void TIpVT100Emulator::teClearAll()
{
    TIpTerminalEmulator::teClearAll();
    FLineAttrs.Clear();
    RebuildBlinkScript();
}

void TIpVT100Emulator::SendToHost(const std::string& text)
{
    if (FTerminal && FTerminal->IsMasterTerminal())
        FTerminal->SendToHost(text.data(), int(text.size()));
}

void TIpVT100Emulator::ProcessBlock(const char* data, int count)
{
    for (int i = 0; i < count; ++i) {
        switch (FParser.ProcessChar(data[i])) {
        case pctChar:
            FBuffer->WriteChar(data[i]);
            break;
        case pct8bitChar:
            if (DisplayUpperASCII)
                FBuffer->WriteChar(data[i]);
            else
                Write8Bit(uint8_t(data[i]));
            break;
        case pctComplete:
            ExecuteCommand();
            break;
        default:
            break;
        }
    }
    if (FBuffer->HasDisplayChanged())
        RebuildBlinkScript();
}

void TIpVT100Emulator::Write8Bit(uint8_t ch)
{
    if (ch < 0xB0 || ch > 0xDA)
        return;
    static const char map[] = "aaaxuuukkuxkjjjkmvwtqnttmlvwtqnvvwwmmllnnjl";
    const uint8_t saved = FBuffer->CharSet();
    FBuffer->SetCharSet(2);
    FBuffer->WriteChar(map[ch - 0xB0]);
    FBuffer->SetCharSet(saved);
}

void TIpVT100Emulator::SetCursor(int row, int col)
{
    // Host coordinates stay on the screen (or in the region with relative
    // origin); 0 means 1.
    const int rows =
        FRelativeOrigin ? FBuffer->RegionBottom() - FBuffer->OriginRow() + 1 : FBuffer->RowCount();
    FBuffer->SetCursorPosition(std::clamp(row, 1, rows), std::clamp(col, 1, FBuffer->ColCount()));
}

void TIpVT100Emulator::ExecuteCommand()
{
    TIpTerminalBuffer& b = *FBuffer;
    const int argc = FParser.ArgumentCount();
    auto repeat = [&](auto f) {
        for (int n = std::min(CountArg(), b.SVRowCount() + b.ColCount()); n > 0; --n)
            f();
    };
    switch (FParser.Command()) {
    case IpCmd::CursorPos:
        if (argc == 2)
            SetCursor(Arg(0), Arg(1));
        break;
    case IpCmd::CursorUp:
        if (argc == 1)
            repeat([&] { b.MoveCursorUp(false); });
        break;
    case IpCmd::CursorDown:
        if (argc == 1)
            repeat([&] { b.MoveCursorDown(false); });
        break;
    case IpCmd::CursorRight:
        if (argc == 1)
            repeat([&] { b.MoveCursorRight(false, false); });
        break;
    case IpCmd::CursorLeft:
        if (argc == 1)
            repeat([&] { b.MoveCursorLeft(false, false); });
        break;
    case IpCmd::SetMode:
        SetModes(true);
        break;
    case IpCmd::ResetMode:
        SetModes(false);
        break;
    case IpCmd::SetAttribute:
        SelectGraphicRendition();
        break;
    case IpCmd::SaveCursor:
        b.GetCharAttrs(FSaved.Attrs);
        FSaved.BackColor = b.BackColor();
        FSaved.CharSet = b.CharSet();
        FSaved.Col = b.Col();
        FSaved.ForeColor = b.ForeColor();
        FSaved.Row = b.Row();
        break;
    case IpCmd::RestoreCursor:
        b.SetCharAttrs(FSaved.Attrs);
        b.SetBackColor(FSaved.BackColor);
        b.SetCharSet(FSaved.CharSet);
        SetCursor(FSaved.Row, FSaved.Col);
        b.SetForeColor(FSaved.ForeColor);
        break;
    case IpCmd::DeviceStatus:
        if (argc == 1 && Arg(0) == 5) {
            SendToHost("\x1b[0n");
        } else if (argc == 1 && Arg(0) == 6) {
            char buf[32];
            std::snprintf(buf, sizeof buf, "\x1b[%d;%dR", b.Row(), b.Col());
            SendToHost(buf);
        }
        break;
    case IpCmd::HorzTab:
        if (argc == 1)
            repeat([&] { b.DoHorzTab(); });
        break;
    case IpCmd::VertTab:
        if (argc == 1)
            repeat([&] { b.DoVertTab(); });
        break;
    case IpCmd::Identify:
        if (argc == 1 && Arg(0) == 0)
            SendToHost("\x1b[?1;0c");
        else if (argc == 1 && Arg(0) == 52)
            SendToHost("\x1b/Z");
        break;
    case IpCmd::DeleteChars:
        b.DeleteChars(CountArg());
        break;
    case IpCmd::DeleteLines:
        b.DeleteLines(CountArg());
        break;
    case IpCmd::EraseChars:
        b.EraseChars(CountArg());
        break;
    case IpCmd::InsertChars:
        b.InsertChars(CountArg());
        break;
    case IpCmd::InsertLines:
        b.InsertLines(CountArg());
        break;
    case IpCmd::EraseDisplay:
        if (argc == 1 && Arg(0) == 0)
            b.EraseToEOW();
        else if (argc == 1 && Arg(0) == 1)
            b.EraseFromBOW();
        else if (argc == 1 && Arg(0) == 2)
            b.EraseScreen();
        break;
    case IpCmd::EraseLine:
        if (argc == 1 && Arg(0) == 0)
            b.EraseToEOL();
        else if (argc == 1 && Arg(0) == 1)
            b.EraseFromBOL();
        else if (argc == 1 && Arg(0) == 2)
            b.EraseLine();
        break;
    case IpCmd::SetTabStop:
        b.SetHorzTabStop();
        break;
    case IpCmd::NextLine:
        b.DoLineFeed();
        if (!FNewLineMode)
            b.DoCarriageReturn();
        break;
    case IpCmd::ReverseIndex:
        b.MoveCursorUp(true);
        break;
    case IpCmd::Reset:
        b.Reset();
        FLineAttrs.Clear();
        FANSIMode = true;
        FAppCursorKeys = FAppKeypad = false;
        FAutoRepeat = true;
        if (F132Columns && FTerminal)
            FTerminal->SetColumns(80);
        F132Columns = FInsertMode = FInterlace = FNewLineMode = false;
        FRelativeOrigin = FReverseScreen = FSmoothScroll = false;
        FAutoWrap = true;
        FShiftedOut = false;
        FG0 = FG1 = 0;
        FSaved = TSavedCursor{};
        FFullRepaint = true;
        break;
    case IpCmd::ClearTabStops:
        if (Arg(0) == 0)
            b.ClearHorzTabStop();
        else if (Arg(0) == 3)
            b.ClearAllHorzTabStops();
        break;
    case IpCmd::SetScrollRegion: {
        const int top = argc >= 1 && Arg(0) > 0 ? Arg(0) : 1;
        const int bottom = std::min(argc >= 2 && Arg(1) > 0 ? Arg(1) : b.RowCount(), b.RowCount());
        // A VT100 ignores a region that is not at least two rows.
        if (top >= bottom)
            break;
        b.SetScrollRegion(top, bottom);
        // A VT100 homes the cursor: to the screen's corner, or to the
        // region's with relative origin.
        SetCursor(1, 1);
        break;
    }
    case IpCmd::Answerback:
        if (FTerminal && FTerminal->IsMasterTerminal())
            for (char c : Answerback)
                teSendChar(c, false);
        break;
    case IpCmd::Bell:
        Beep();
        break;
    case IpCmd::Backspace:
        b.DoBackspace();
        break;
    case IpCmd::LineFeed:
        b.DoLineFeed();
        break;
    case IpCmd::CarriageReturn:
        b.DoCarriageReturn();
        break;
    case IpCmd::ShiftOut:
        b.SetCharSet(uint8_t(FANSIMode ? FG1 : 2));
        FShiftedOut = true;
        break;
    case IpCmd::ShiftIn:
        b.SetCharSet(uint8_t(FANSIMode ? FG0 : 0));
        FShiftedOut = false;
        break;
    case IpCmd::Index:
        b.MoveCursorDown(true);
        break;
    case IpCmd::AlignmentPattern: {
        const char saved = b.DefAnsiChar();
        b.SetDefAnsiChar('E');
        b.EraseScreen();
        b.SetDefAnsiChar(saved);
        break;
    }
    case IpCmd::DoubleHeight:
        if (argc == 1) {
            FLineAttrs.Set(b.Row(), Arg(0) == 0 ? ltDblHeightTop : ltDblHeightBottom);
            b.InvalidateRows(b.Row(), b.Row());
        }
        break;
    case IpCmd::DoubleWidth:
        FLineAttrs.Set(b.Row(), ltDblWidth);
        b.InvalidateRows(b.Row(), b.Row());
        break;
    case IpCmd::SingleWidth:
        FLineAttrs.Set(b.Row(), ltNormal);
        b.InvalidateRows(b.Row(), b.Row());
        break;
    case IpCmd::LoadLEDs:
        for (int i = 0; i < argc; ++i) {
            if (Arg(i) == 0)
                FLEDs = 0;
            else if (Arg(i) >= 1 && Arg(i) <= 4)
                FLEDs |= uint8_t(1u << (Arg(i) - 1));
        }
        break;
    case IpCmd::RequestParams: {
        const int r = argc > 1 ? 1 : std::clamp(Arg(0), 0, 1);
        char buf[48];
        std::snprintf(buf, sizeof buf, "\x1b[%d;%d;%d;%d;%d;%d;%dx", r + 2, 1, 1, 120, 120, 1, 0);
        SendToHost(buf);
        break;
    }
    case IpCmd::DesignateCharSet:
        if (argc == 2) {
            int set = -1;
            switch (Arg(1)) {
            case 0:
                set = 2;
                break;
            case 1:
                set = 3;
                break;
            case 2:
                set = 4;
                break;
            case 65:
                set = 1;
                break;
            case 66:
                set = 0;
                break;
            default:
                break;
            }
            if (set < 0)
                break;
            if (Arg(0) == 0) {
                FG0 = set;
                if (!FShiftedOut)
                    b.SetCharSet(uint8_t(set));
            } else if (Arg(0) == 1) {
                FG1 = set;
                if (FShiftedOut)
                    b.SetCharSet(uint8_t(set));
            }
        }
        break;
    default:
        break;
    }
}

void TIpVT100Emulator::SetModes(bool on)
{
    TIpTerminalBuffer& b = *FBuffer;
    const int argc = FParser.ArgumentCount();
    if (argc == 1) {
        if (Arg(0) == 4) {
            FInsertMode = on;
            b.UseInsertMode = on;
        } else if (Arg(0) == 20) {
            FNewLineMode = on;
            b.UseNewLineMode = on;
        }
        return;
    }
    if (argc != 2 || Arg(0) != TIpVT100Parser::PrivateMarker)
        return;
    switch (Arg(1)) {
    case 1:
        FAppCursorKeys = on;
        break;
    case 2:
        FANSIMode = on;
        break;
    case 3:
        if (F132Columns != on) {
            F132Columns = on;
            if (FTerminal)
                FTerminal->SetColumns(on ? 132 : 80);
            else
                b.SetColCount(on ? 132 : 80);
            // A VT100 clears the screen when its width changes.
            b.EraseScreen();
        }
        break;
    case 4:
        FSmoothScroll = on;
        break;
    case 5:
        if (FReverseScreen != on) {
            FReverseScreen = on;
            FFullRepaint = true;
        }
        break;
    case 6:
        FRelativeOrigin = on;
        b.UseAbsAddressing = !on;
        // The cursor goes home, to the region's corner with relative origin.
        SetCursor(1, 1);
        break;
    case 7:
        FAutoWrap = on;
        b.UseAutoWrap = on;
        break;
    case 8:
        FAutoRepeat = on;
        break;
    case 9:
        FInterlace = on;
        break;
    case 999:
        FAppKeypad = on;
        break;
    default:
        break;
    }
}

void TIpVT100Emulator::SelectGraphicRendition()
{
    static const TColor colours[8] = {0x000000, 0x000080, 0x008000, 0x008080,
                                      0x800000, 0x800080, 0x808000, 0xC0C0C0};
    TIpTerminalBuffer& b = *FBuffer;
    for (int i = 0; i < FParser.ArgumentCount(); ++i) {
        const int a = Arg(i);
        TIpTerminalCharAttrs attrs = b.CharAttrs();
        switch (a) {
        case 0:
            attrs = 0;
            b.SetForeColor(b.DefForeColor());
            b.SetBackColor(b.DefBackColor());
            break;
        case 1:
            attrs |= IpAttr(tcaBold);
            break;
        case 4:
            attrs |= IpAttr(tcaUnderline);
            break;
        case 5:
            attrs |= IpAttr(tcaBlink);
            break;
        case 7:
            attrs |= IpAttr(tcaReverse);
            break;
        case 8:
            attrs |= IpAttr(tcaInvisible);
            break;
        case 22:
            attrs &= uint8_t(~IpAttr(tcaBold));
            break;
        case 24:
            attrs &= uint8_t(~IpAttr(tcaUnderline));
            break;
        case 25:
            attrs &= uint8_t(~IpAttr(tcaBlink));
            break;
        case 27:
            attrs &= uint8_t(~IpAttr(tcaReverse));
            break;
        case 28:
            attrs &= uint8_t(~IpAttr(tcaInvisible));
            break;
        default:
            if (a >= 30 && a <= 37)
                b.SetForeColor(colours[a - 30]);
            else if (a >= 40 && a <= 47)
                b.SetBackColor(colours[a - 40]);
        }
        b.SetCharAttrs(attrs);
    }
}

void TIpVT100Emulator::KeyDown(uint16_t& key, TIpShiftState shift)
{
    if (key & IpKeyRepeatFlag) {
        if (!FAutoRepeat) {
            key = 0;
            return;
        }
        key &= uint16_t(~IpKeyRepeatFlag);
    }
    char code[8];
    std::snprintf(code, sizeof code, "\\x%.2X", key & 0xFF);
    std::string name = FKeyMap.Get(code);
    if (name.empty())
        return;
    if (shift & ssAlt)
        name = "alt+" + name;
    if (shift & ssCtrl)
        name = "ctrl+" + name;
    if (shift & ssShift)
        name = "shift+" + name;
    std::string termKey = FKeyMap.Get(name);
    if (termKey.empty())
        return;
    if (termKey.back() == 'c') {
        termKey.back() = char('0' + (!FANSIMode ? 0 : FAppCursorKeys ? 2 : 1));
    } else if (termKey.back() == 'k') {
        const int digit = FANSIMode ? (FAppKeypad ? 6 : 5) : (FAppKeypad ? 4 : 3);
        termKey.back() = char('0' + digit);
    }
    const std::string seq = FKeyMap.Get(termKey);
    if (seq.empty())
        return;
    bool escaped = false;
    auto send = [&](char c) {
        if (c == 0x1B)
            escaped = true;
        teSendChar(c, !escaped);
        if (c == '\r' && FNewLineMode)
            teSendChar('\n', !escaped);
    };
    for (size_t i = 0; i < seq.size(); ++i) {
        if (seq[i] == '\\' && i + 1 < seq.size()) {
            const char n = seq[i + 1];
            if (n == 'e') {
                send(0x1B);
                ++i;
                continue;
            }
            if (n == 'x') {
                const std::string hex = seq.substr(i + 2, 2);
                i += 1 + hex.size();
                if (hex.size() == 2 && std::isxdigit(uint8_t(hex[0])) &&
                    std::isxdigit(uint8_t(hex[1])))
                    send(char(std::stoi(hex, nullptr, 16)));
                else
                    send('?');
                continue;
            }
        }
        send(seq[i]);
    }
    key = 0;
}

void TIpVT100Emulator::KeyPress(char& ch)
{
    teSendChar(ch, true);
    if (ch == '\r' && FNewLineMode)
        teSendChar('\n', true);
}

void TIpVT100Emulator::RebuildBlinkScript()
{
    FBlinkScript.clear();
    for (int row = 1; row <= FBuffer->RowCount(); ++row) {
        const uint8_t* attrs = FBuffer->GetLineAttrPtr(row);
        for (int c = 0; c < FBuffer->ColCount(); ++c) {
            if (!Has(attrs[c], tcaBlink))
                continue;
            const int start = c;
            while (c + 1 < FBuffer->ColCount() && Has(attrs[c + 1], tcaBlink))
                ++c;
            FBlinkScript.push_back({row, start + 1, c + 1});
        }
    }
}

bool TIpVT100Emulator::DoubleWidthRow(int row)
{
    return FLineAttrs.Get(row) != ltNormal;
}

void TIpVT100Emulator::BlinkPaint(bool on)
{
    FBlinkOn = on;
    for (const auto& r : FBlinkScript)
        InvalidateScreenCells({r.FromCol, r.Row, r.ToCol, r.Row});
}

void TIpVT100Emulator::PaintRow(QPainter& painter, int row, int fromCol, int toCol)
{
    const uint8_t* chars = FBuffer->GetLineCharPtr(row);
    const uint8_t* sets = FBuffer->GetLineCharSetPtr(row);
    const uint8_t* attrs = FBuffer->GetLineAttrPtr(row);
    const TColor* fore = FBuffer->GetLineForeColorPtr(row);
    const TColor* back = FBuffer->GetLineBackColorPtr(row);
    if (!chars || !sets || !attrs || !fore || !back)
        return;
    const TIpVT100LineAttr lineAttr = FLineAttrs.Get(row);
    painter.save();
    if (lineAttr != ltNormal) {
        // Doubled rows draw their cells and glyphs twice as wide (and high),
        // so they show the left half of their columns; double height draws
        // the top or the bottom half. The whole row is drawn, the clip keeps
        // what is asked.
        fromCol = 1;
        toCol = (FBuffer->ColCount() + 1) / 2;
        const int cw = FTerminal->CellWidth(), ch = FTerminal->CellHeight();
        const int y = (row - FTerminal->ViewOriginRow()) * ch;
        const int shift = (FTerminal->ViewOriginCol() - 1) * cw;
        if (lineAttr == ltDblWidth) {
            painter.translate(shift, 0);
            painter.scale(2, 1);
        } else {
            painter.setClipRect(QRect(0, y, 1 << 20, ch), Qt::IntersectClip);
            painter.translate(shift, lineAttr == ltDblHeightTop ? y : y - ch);
            painter.scale(2, 2);
            painter.translate(0, -y);
        }
    }
    int start = fromCol;
    for (int c = fromCol; c <= toCol; ++c) {
        const int s = start - 1;
        if (c != toCol) {
            const int n = c;
            if (fore[n] == fore[s] && back[n] == back[s] && attrs[n] == attrs[s] &&
                sets[n] == sets[s])
                continue;
        }
        const std::string text(reinterpret_cast<const char*>(chars + s), size_t(c - s));
        FCharSetMap.GenerateDrawScript(IpVT100CharSetNames[std::min<int>(sets[s], 4)], text);
        std::string font, glyphs;
        int col = start;
        while (FCharSetMap.GetNextDrawCommand(font, glyphs)) {
            const int n = int(glyphs.size());
            const QString qt = font == IpDefaultFontName ? ToQt(glyphs) : IpOemToQt(glyphs);
            PaintRun(painter, row, col, col + n - 1, FReverseScreen, font, qt);
            col += n;
        }
        start = c + 1;
    }
    painter.restore();
}
