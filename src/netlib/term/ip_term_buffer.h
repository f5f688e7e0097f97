#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// The character-cell model behind the terminal window: a screen of RowCount
// by ColCount cells at the bottom of a taller scroll-back, a cursor, tab
// stops, a scrolling region, the current rendition and the rectangles that
// need repainting. External rows and columns are 1-based (from the screen's
// top-left corner, or from the region's origin when UseAbsAddressing is off);
// internal ones are 0-based over the whole buffer.
//
// Decisions:
// - A write that fills the region's last column of its last row wraps with a
//   scroll, as a VT100 does, instead of overwriting that column for ever.
// - Cursor motion keeps to the scrolling region only while the cursor is
//   inside it; a cursor outside the region moves over the whole screen and
//   never scrolls the region.
// - Line insertion and deletion act only with the cursor inside the region.
// - Rows and columns a caller hands in are clamped to the arrays: no value
//   reaches outside them.
// - Invalid rectangles are kept in a vector that keeps its capacity, so a
//   written character does not allocate.

using TColor = uint32_t; // blue-green-red, as the host's colour numbers

enum TIpTerminalCharAttr : uint8_t {
    tcaBold,
    tcaUnderline,
    tcaStrikethrough,
    tcaBlink,
    tcaReverse,
    tcaInvisible,
    tcaSelected
};
// A set of TIpTerminalCharAttr: bit n for value n.
using TIpTerminalCharAttrs = uint8_t;
constexpr TIpTerminalCharAttrs IpAttr(TIpTerminalCharAttr a)
{
    return uint8_t(1u << a);
}

struct TIpRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
    bool operator==(const TIpRect&) const = default;
};

// A row-major array of fixed-size items (1, 2 or 4 bytes).
class TIpTerminalArray {
public:
    explicit TIpTerminalArray(int itemSize);

    int ItemSize() const { return FItemSize; }
    int ColCount() const { return FColCount; }
    int RowCount() const { return FRowCount; }
    void SetColCount(int cols);
    void SetRowCount(int rows);

    void Clear();
    void ClearItems(int row, int fromCol, int toCol);
    void DeleteItems(int count, int row, int col);
    void InsertItems(int count, int row, int col);
    void ReplaceItems(uint32_t oldItem, uint32_t newItem);
    void ScrollRows(int count, int startRow, int endRow);
    void SetDefaultItem(uint32_t item);
    uint32_t DefaultItem() const { return FDefaultItem; }
    void WriteItems(const void* items, int count, int col, int row);
    void WriteDupItems(uint32_t item, int count, int col, int row);
    // The cell's address; null when nothing is allocated or the cell lies
    // outside the array.
    uint8_t* GetItemPtr(int row, int col);
    const uint8_t* GetItemPtr(int row, int col) const;
    uint32_t Item(int row, int col) const;

private:
    void taClearRows(int firstRow, int lastRow);
    void taGrowArray(int rows, int cols, int stride);
    void Fill(uint8_t* at, int count, uint32_t item);

    int FStride = -1;
    int FColCount = 0;
    uint32_t FDefaultItem = 0;
    std::vector<uint8_t> FData;
    int FItemSize = 1;
    int FRowCount = 0;
};

// A bit set, least significant bit first.
class TIpBitSet {
public:
    void Resize(int bits);
    int Size() const { return FBits; }
    bool Test(int n) const;
    void Set(int n, bool on);
    void ClearAll();

private:
    std::vector<uint8_t> FBytes;
    int FBits = 0;
};

class TIpTerminalBuffer {
public:
    using TScrollRowsEvent = std::function<void(int count, int startRow, int endRow)>;
    using TCursorMovedEvent = std::function<void(int row, int col)>;

    explicit TIpTerminalBuffer(bool useWideChars);

    // Cursor, external coordinates.
    int Col() const;
    int Row() const;
    void SetCol(int col) { tbSetCol(col); }
    void SetRow(int row) { tbSetRow(row); }
    int ColCount() const { return FColCount; }
    int RowCount() const { return FRowCount; }
    int SVRowCount() const { return FSVRowCount; }
    void SetColCount(int n) { tbSetColCount(n); }
    void SetRowCount(int n) { tbSetRowCount(n); }
    void SetSVRowCount(int n) { tbSetSVRowCount(n); }

    TColor ForeColor() const { return FForeColor; }
    TColor BackColor() const { return FBackColor; }
    uint8_t CharSet() const { return FCharSet; }
    void SetForeColor(TColor c);
    void SetBackColor(TColor c);
    void SetCharSet(uint8_t cs);
    TColor DefForeColor() const { return FDefForeColor; }
    TColor DefBackColor() const { return FDefBackColor; }
    char DefAnsiChar() const { return FDefAnsiChar; }
    void SetDefForeColor(TColor c);
    void SetDefBackColor(TColor c);
    void SetDefAnsiChar(char c);
    bool UseScrollRegion() const { return FUseScrollRegion; }
    void SetUseScrollRegion(bool on) { tbSetUseScrollRegion(on); }
    // The region's origin in screen coordinates (1-based).
    int OriginCol() const { return FOriginCol + 1; }
    int OriginRow() const { return FOriginRow + FRowCount - FSVRowCount + 1; }
    // The region's last screen row.
    int RegionBottom() const { return OriginRow() + FRegionHeight - 1; }

    bool UseAbsAddressing = true;
    bool UseAutoWrap = true;
    bool UseAutoWrapDelay = true;
    bool UseInsertMode = false;
    bool UseNewLineMode = false;
    TCursorMovedEvent OnCursorMoved;
    TScrollRowsEvent OnScrollRows;

    void GetCharAttrs(TIpTerminalCharAttrs& attrs) const { attrs = FAttrs; }
    TIpTerminalCharAttrs CharAttrs() const { return FAttrs; }
    void SetCharAttrs(TIpTerminalCharAttrs attrs);
    void GetDefCharAttrs(TIpTerminalCharAttrs& attrs) const { attrs = FDefAttrs; }
    void SetDefCharAttrs(TIpTerminalCharAttrs attrs) { FDefAttrs = attrs; }

    void SetCursorPosition(int row, int col);
    void MoveCursorUp(bool scroll);
    void MoveCursorDown(bool scroll);
    void MoveCursorLeft(bool wrap, bool scroll);
    void MoveCursorRight(bool wrap, bool scroll);
    void DoBackspace();
    void DoCarriageReturn();
    void DoLineFeed();
    void DoHorzTab();
    void DoBackHorzTab();
    void DoVertTab();
    void DoBackVertTab();

    void SetHorzTabStop();
    void ClearHorzTabStop();
    void ClearAllHorzTabStops();
    void SetVertTabStop();
    void ClearVertTabStop();
    void ClearAllVertTabStops();

    void WriteChar(char ch);
    void WriteString(std::string_view s);
    void InsertChars(int count);
    void DeleteChars(int count);
    void EraseChars(int count);
    void InsertLines(int count);
    void DeleteLines(int count);
    void EraseToEOL();
    void EraseFromBOL();
    void EraseLine();
    void EraseToEOW();
    void EraseFromBOW();
    void EraseScreen();
    void EraseAll();
    void Reset();

    // Screen rows, always counted from the screen's first row.
    void SetScrollRegion(int top, int bottom);

    // Row 1 is the first screen row; 0 and below reach into the scroll-back.
    // Null outside the buffer.
    const uint8_t* GetLineCharPtr(int row) const;
    const uint8_t* GetLineCharSetPtr(int row) const;
    const uint8_t* GetLineAttrPtr(int row) const;
    const TColor* GetLineForeColorPtr(int row) const;
    const TColor* GetLineBackColorPtr(int row) const;
    // Writable cells of a row (for selection marks and line access).
    TIpTerminalArray& Chars() { return FChars; }
    TIpTerminalArray& CharSets() { return FCharSets; }
    TIpTerminalArray& Attrs() { return FAttrArray; }
    TIpTerminalArray& ForeColors() { return FForeColors; }
    TIpTerminalArray& BackColors() { return FBackColors; }
    // Internal row of a screen row (row 1 = first screen row).
    int ScreenToInternal(int row) const { return row - 1 + FSVRowCount - FRowCount; }

    bool HasCursorMoved();
    bool HasDisplayChanged() const { return !FInvalid.empty(); }
    bool GetInvalidRect(TIpRect& r);
    // Marks screen rows (1-based, clamped) for repainting.
    void InvalidateRows(int firstRow, int lastRow);

    bool PendingWrap() const { return FPendingWrap; }

private:
    int tbCvtToExternalCol(int col) const;
    int tbCvtToExternalRow(int row) const;
    int tbCvtToInternalCol(int col) const;
    int tbCvtToInternalRow(int row) const;
    void tbFireOnCursorMovedEvent();
    void tbInvalidateRect(int fromRow, int fromCol, int toRow, int toCol);
    void tbMoveCursorLeftRight(int delta, bool wrap, bool scroll);
    // True when the cursor moved or the region scrolled.
    bool tbMoveCursorUpDown(int delta, bool scroll);
    void tbReallocBuffers(int rows, int cols);
    void tbScrollRows(int count, int startRow, int endRow);
    void tbSetCol(int col);
    void tbSetRow(int row);
    void tbSetColCount(int n);
    void tbSetRowCount(int n);
    void tbSetSVRowCount(int n);
    void tbSetUseScrollRegion(bool on);
    void DefaultTabStops();
    void ClearCells(int row, int fromCol, int toCol);
    int ScreenTop() const { return FSVRowCount - FRowCount; }
    int RegionLastRow() const { return FOriginRow + FRegionHeight - 1; }
    int RegionLastCol() const { return FOriginCol + FRegionWidth - 1; }
    bool InRegion(int row) const { return row >= FOriginRow && row <= RegionLastRow(); }
    void SetCursorInternal(int row, int col);
    template <typename F> void ForArrays(F f);

    TIpTerminalCharAttrs FAttrs = 0;
    TColor FBackColor = 0;
    bool FPendingWrap = false;
    uint8_t FCharSet = 0;
    int FColCount = 0;
    int FCursorCol = 0;
    bool FCursorMoved = false;
    int FCursorRow = 0;
    char FDefAnsiChar = ' ';
    TIpTerminalCharAttrs FDefAttrs = 0;
    uint8_t FDefCharSet = 0;
    TColor FDefBackColor = 0;
    TColor FDefForeColor = 0xC0C0C0;
    uint16_t FDefWideChar = 32;
    int FOriginCol = 0, FOriginRow = 0, FRegionWidth = 0, FRegionHeight = 0;
    TColor FForeColor = 0xC0C0C0;
    TIpBitSet FHorzTabStops;
    std::vector<TIpRect> FInvalid;
    int FRowCount = 0;
    int FScrollTop = 0, FScrollBottom = 0;
    int FSVRowCount = 0;
    bool FUseScrollRegion = false;
    bool FUseWideChars = false;
    TIpBitSet FVertTabStops;
    TIpTerminalArray FChars;
    TIpTerminalArray FCharSets{1};
    TIpTerminalArray FAttrArray{1};
    TIpTerminalArray FForeColors{4};
    TIpTerminalArray FBackColors{4};
};

// A growable byte queue; the readable bytes always start at the block's start.
class TaaByteQueue {
public:
    TaaByteQueue() { Grow(64); }
    void Put(const void* buffer, int count);
    // The write address after making room for count bytes; Advance commits.
    uint8_t* Reserve(int count);
    void Advance(int count);
    const uint8_t* Peek(int count) const;
    void Remove(int count);
    void Clear() { FCount = 0; }
    int Count() const { return FCount; }
    int Capacity() const { return int(FData.size()); }

private:
    void Grow(int n);
    void Check(int count) const;
    std::vector<uint8_t> FData;
    int FCount = 0;
};
