#include "netlib/term/ip_term_buffer.h"

#include "netlib/base/ip_base.h"
#include "netlib/base/ip_const.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

void CountTooSmall(const char* where)
{
    throw EIpBaseException(IpFormat(IpConst::SCountTooSmall, {where}));
}

} // namespace

// ---------------------------------------------------------------------------
// TIpTerminalArray

TIpTerminalArray::TIpTerminalArray(int itemSize)
    : FItemSize(itemSize == 1 || itemSize == 2 || itemSize == 4 ? itemSize : 1)
{
}

void TIpTerminalArray::Fill(uint8_t* at, int count, uint32_t item)
{
    switch (FItemSize) {
    case 1:
        std::memset(at, int(item & 0xFF), size_t(count));
        break;
    case 2: {
        const auto v = uint16_t(item);
        for (int i = 0; i < count; ++i)
            std::memcpy(at + 2 * i, &v, 2);
        break;
    }
    default:
        for (int i = 0; i < count; ++i)
            std::memcpy(at + 4 * i, &item, 4);
    }
}

void TIpTerminalArray::taClearRows(int firstRow, int lastRow)
{
    firstRow = std::max(firstRow, 0);
    lastRow = std::min(lastRow, FRowCount - 1);
    if (FData.empty() || firstRow > lastRow)
        return;
    Fill(FData.data() + size_t(firstRow) * FStride * FItemSize, (lastRow - firstRow + 1) * FStride,
         FDefaultItem);
}

void TIpTerminalArray::taGrowArray(int rows, int cols, int stride)
{
    if (stride == -1) {
        const int unit = FItemSize == 1 ? 4 : FItemSize == 2 ? 2 : 1;
        stride = (cols + unit - 1) / unit * unit;
    }
    if (rows <= 0 || stride <= 0 || (rows == FRowCount && stride == FStride && cols == FColCount))
        return;
    std::vector<uint8_t> data(size_t(rows) * stride * FItemSize);
    const int oldRows = FRowCount, oldStride = FStride, oldCols = FColCount;
    std::swap(FData, data);
    FRowCount = rows;
    FStride = stride;
    FColCount = cols;
    taClearRows(0, rows - 1);
    if (!data.empty()) {
        const int keep = std::min(oldRows, rows);
        const int keepCols = std::min(oldCols, cols);
        for (int i = 0; i < keep; ++i)
            std::memcpy(FData.data() + size_t(rows - keep + i) * stride * FItemSize,
                        data.data() + size_t(oldRows - keep + i) * oldStride * FItemSize,
                        size_t(keepCols) * FItemSize);
    }
}

void TIpTerminalArray::SetColCount(int cols)
{
    if (FRowCount > 0)
        taGrowArray(FRowCount, cols, -1);
    else
        FColCount = cols;
}

void TIpTerminalArray::SetRowCount(int rows)
{
    if (FColCount > 0)
        taGrowArray(rows, FColCount, FStride == -1 ? -1 : FStride);
    else
        FRowCount = rows;
}

void TIpTerminalArray::Clear()
{
    taClearRows(0, FRowCount - 1);
}

uint8_t* TIpTerminalArray::GetItemPtr(int row, int col)
{
    return const_cast<uint8_t*>(std::as_const(*this).GetItemPtr(row, col));
}

const uint8_t* TIpTerminalArray::GetItemPtr(int row, int col) const
{
    if (FItemSize != 1 && FItemSize != 2 && FItemSize != 4)
        throw EIpBaseException(IpStr(IpConst::SInvItemSize));
    if (FData.empty() || row < 0 || row >= FRowCount || col < 0 || col >= FColCount)
        return nullptr;
    return FData.data() + (size_t(row) * FStride + col) * FItemSize;
}

uint32_t TIpTerminalArray::Item(int row, int col) const
{
    const uint8_t* p = GetItemPtr(row, col);
    if (!p)
        return 0;
    uint32_t v = 0;
    std::memcpy(&v, p, size_t(FItemSize));
    return v;
}

void TIpTerminalArray::ClearItems(int row, int fromCol, int toCol)
{
    fromCol = std::max(fromCol, 0);
    toCol = std::min(toCol, FColCount - 1);
    if (uint8_t* p = GetItemPtr(row, fromCol); p && fromCol <= toCol)
        Fill(p, toCol - fromCol + 1, FDefaultItem);
}

void TIpTerminalArray::DeleteItems(int count, int row, int col)
{
    uint8_t* p = GetItemPtr(row, col);
    if (!p)
        return;
    count = std::min(count, FColCount - col);
    if (count <= 0)
        return;
    std::memmove(p, p + size_t(count) * FItemSize, size_t(FColCount - col - count) * FItemSize);
    Fill(p + size_t(FColCount - col - count) * FItemSize, count, FDefaultItem);
}

void TIpTerminalArray::InsertItems(int count, int row, int col)
{
    uint8_t* p = GetItemPtr(row, col);
    if (!p)
        return;
    count = std::min(count, FColCount - col);
    if (count <= 0)
        return;
    std::memmove(p + size_t(count) * FItemSize, p, size_t(FColCount - col - count) * FItemSize);
    Fill(p, count, FDefaultItem);
}

void TIpTerminalArray::ReplaceItems(uint32_t oldItem, uint32_t newItem)
{
    for (int r = 0; r < FRowCount; ++r)
        for (int c = 0; c < FColCount; ++c)
            if (Item(r, c) == oldItem)
                WriteDupItems(newItem, 1, c, r);
}

void TIpTerminalArray::ScrollRows(int count, int startRow, int endRow)
{
    if (FData.empty() || count == 0)
        return;
    if (startRow > endRow)
        std::swap(startRow, endRow);
    startRow = std::max(startRow, 0);
    endRow = std::min(endRow, FRowCount - 1);
    if (startRow > endRow)
        return;
    const size_t rowBytes = size_t(FStride) * FItemSize;
    auto rowPtr = [&](int r) { return FData.data() + size_t(r) * rowBytes; };
    const int span = endRow - startRow + 1;
    if (count > 0) {
        if (count < span) {
            for (int i = 0; i + count <= endRow - startRow; ++i)
                std::memcpy(rowPtr(startRow + i), rowPtr(startRow + count + i), rowBytes);
            taClearRows(endRow - count + 1, endRow);
        } else {
            taClearRows(startRow, endRow);
        }
    } else {
        const int n = -count;
        if (n < span) {
            for (int i = 0; i + n <= endRow - startRow; ++i)
                std::memcpy(rowPtr(endRow - i), rowPtr(endRow - n - i), rowBytes);
            taClearRows(startRow, startRow + n - 1);
        } else {
            taClearRows(startRow, endRow);
        }
    }
}

void TIpTerminalArray::SetDefaultItem(uint32_t item)
{
    FDefaultItem = FItemSize == 1 ? (item & 0xFF) : FItemSize == 2 ? (item & 0xFFFF) : item;
}

void TIpTerminalArray::WriteItems(const void* items, int count, int col, int row)
{
    uint8_t* p = GetItemPtr(row, col);
    count = std::min(count, FColCount - col);
    if (p && count > 0)
        std::memcpy(p, items, size_t(count) * FItemSize);
}

void TIpTerminalArray::WriteDupItems(uint32_t item, int count, int col, int row)
{
    uint8_t* p = GetItemPtr(row, col);
    count = std::min(count, FColCount - col);
    if (p && count > 0)
        Fill(p, count, item);
}

// ---------------------------------------------------------------------------
// TIpBitSet

void TIpBitSet::Resize(int bits)
{
    FBytes.resize(size_t((std::max(bits, 0) + 7) / 8), 0);
    // Bits past the new end of the last byte must not come back on a later grow.
    for (int n = std::max(bits, 0); n < int(FBytes.size()) * 8; ++n)
        FBytes[size_t(n / 8)] &= uint8_t(~(1u << (n % 8)));
    FBits = std::max(bits, 0);
}

bool TIpBitSet::Test(int n) const
{
    return n >= 0 && n < FBits && (FBytes[size_t(n / 8)] >> (n % 8) & 1);
}

void TIpBitSet::Set(int n, bool on)
{
    if (n < 0 || n >= FBits)
        return;
    if (on)
        FBytes[size_t(n / 8)] |= uint8_t(1u << (n % 8));
    else
        FBytes[size_t(n / 8)] &= uint8_t(~(1u << (n % 8)));
}

void TIpBitSet::ClearAll()
{
    std::fill(FBytes.begin(), FBytes.end(), 0);
}

// ---------------------------------------------------------------------------
// TIpTerminalBuffer

TIpTerminalBuffer::TIpTerminalBuffer(bool useWideChars)
    : FUseWideChars(useWideChars), FChars(useWideChars ? 2 : 1)
{
    FChars.SetDefaultItem(useWideChars ? FDefWideChar : uint8_t(FDefAnsiChar));
    FCharSets.SetDefaultItem(FCharSet);
    FAttrArray.SetDefaultItem(FAttrs);
    FForeColors.SetDefaultItem(FForeColor);
    FBackColors.SetDefaultItem(FBackColor);
    FInvalid.reserve(200);
    tbReallocBuffers(200, 80);
    FSVRowCount = 200;
    FColCount = 80;
    FRowCount = 24;
    FHorzTabStops.Resize(FColCount);
    FVertTabStops.Resize(FRowCount);
    DefaultTabStops();
    FOriginCol = 0;
    FOriginRow = ScreenTop();
    FRegionWidth = FColCount;
    FRegionHeight = FRowCount;
    FCursorRow = FOriginRow;
    FCursorCol = 0;
    FCursorMoved = true;
    tbInvalidateRect(ScreenTop(), 0, FSVRowCount - 1, FColCount - 1);
    tbFireOnCursorMovedEvent();
}

template <typename F> void TIpTerminalBuffer::ForArrays(F f)
{
    f(FChars);
    f(FCharSets);
    f(FAttrArray);
    f(FForeColors);
    f(FBackColors);
}

void TIpTerminalBuffer::tbReallocBuffers(int rows, int cols)
{
    ForArrays([&](TIpTerminalArray& a) {
        if (a.RowCount() == 0 || a.ColCount() == 0) {
            a.SetColCount(cols);
            a.SetRowCount(rows);
        } else {
            a.SetRowCount(rows);
            a.SetColCount(cols);
        }
    });
}

void TIpTerminalBuffer::DefaultTabStops()
{
    FHorzTabStops.ClearAll();
    FVertTabStops.ClearAll();
    for (int c = 0; c < FColCount; c += 8)
        FHorzTabStops.Set(c, true);
}

int TIpTerminalBuffer::tbCvtToExternalCol(int col) const
{
    return UseAbsAddressing ? col + 1 : col + 1 - FOriginCol;
}
int TIpTerminalBuffer::tbCvtToExternalRow(int row) const
{
    return UseAbsAddressing ? row + 1 - ScreenTop() : row + 1 - FOriginRow;
}
int TIpTerminalBuffer::tbCvtToInternalCol(int col) const
{
    return UseAbsAddressing ? col - 1 : col - 1 + FOriginCol;
}
int TIpTerminalBuffer::tbCvtToInternalRow(int row) const
{
    return UseAbsAddressing ? row - 1 + ScreenTop() : row - 1 + FOriginRow;
}

int TIpTerminalBuffer::Col() const
{
    return tbCvtToExternalCol(FCursorCol);
}
int TIpTerminalBuffer::Row() const
{
    return tbCvtToExternalRow(FCursorRow);
}

void TIpTerminalBuffer::tbFireOnCursorMovedEvent()
{
    if (OnCursorMoved && FCursorMoved)
        OnCursorMoved(Row(), Col());
}

void TIpTerminalBuffer::tbSetCol(int col)
{
    FPendingWrap = false;
    if (col == Col())
        return;
    FCursorCol = std::clamp(tbCvtToInternalCol(col), 0, FColCount - 1);
    FCursorMoved = true;
    tbFireOnCursorMovedEvent();
}

void TIpTerminalBuffer::tbSetRow(int row)
{
    FPendingWrap = false;
    if (row == Row())
        return;
    FCursorRow = std::clamp(tbCvtToInternalRow(row), 0, FSVRowCount - 1);
    FCursorMoved = true;
    tbFireOnCursorMovedEvent();
}

void TIpTerminalBuffer::SetCursorInternal(int row, int col)
{
    FCursorRow = std::clamp(row, 0, FSVRowCount - 1);
    FCursorCol = std::clamp(col, 0, FColCount - 1);
    FCursorMoved = true;
    tbFireOnCursorMovedEvent();
}

void TIpTerminalBuffer::tbInvalidateRect(int fromRow, int fromCol, int toRow, int toCol)
{
    const int shift = FRowCount - FSVRowCount + 1;
    TIpRect r{fromCol + 1, fromRow + shift, toCol + 1, toRow + shift};
    if (!FInvalid.empty()) {
        // Merged at once: GetInvalidRect hands out the bounding rectangle anyway.
        TIpRect& b = FInvalid.front();
        b = {std::min(b.Left, r.Left), std::min(b.Top, r.Top), std::max(b.Right, r.Right),
             std::max(b.Bottom, r.Bottom)};
        return;
    }
    FInvalid.push_back(r);
}

void TIpTerminalBuffer::InvalidateRows(int firstRow, int lastRow)
{
    firstRow = std::max(firstRow, 1 - ScreenTop());
    lastRow = std::min(lastRow, FRowCount);
    if (firstRow <= lastRow)
        tbInvalidateRect(ScreenToInternal(firstRow), 0, ScreenToInternal(lastRow), FColCount - 1);
}

bool TIpTerminalBuffer::GetInvalidRect(TIpRect& r)
{
    if (FInvalid.empty())
        return false;
    r = FInvalid.front();
    FInvalid.clear();
    return true;
}

bool TIpTerminalBuffer::HasCursorMoved()
{
    const bool moved = FCursorMoved;
    FCursorMoved = false;
    return moved;
}

void TIpTerminalBuffer::SetCharAttrs(TIpTerminalCharAttrs attrs)
{
    FAttrs = attrs;
    FAttrArray.SetDefaultItem(attrs);
}

void TIpTerminalBuffer::SetForeColor(TColor c)
{
    FForeColor = c;
    FForeColors.SetDefaultItem(c);
}

void TIpTerminalBuffer::SetBackColor(TColor c)
{
    FBackColor = c;
    FBackColors.SetDefaultItem(c);
}

void TIpTerminalBuffer::SetCharSet(uint8_t cs)
{
    FCharSet = cs;
    FCharSets.SetDefaultItem(cs);
}

void TIpTerminalBuffer::SetDefForeColor(TColor c)
{
    FForeColors.ReplaceItems(FDefForeColor, c);
    FDefForeColor = c;
}

void TIpTerminalBuffer::SetDefBackColor(TColor c)
{
    FBackColors.ReplaceItems(FDefBackColor, c);
    FDefBackColor = c;
}

void TIpTerminalBuffer::SetDefAnsiChar(char c)
{
    FDefAnsiChar = c;
    if (!FUseWideChars)
        FChars.SetDefaultItem(uint8_t(c));
}

void TIpTerminalBuffer::SetCursorPosition(int row, int col)
{
    tbSetRow(row);
    tbSetCol(col);
}

void TIpTerminalBuffer::tbScrollRows(int count, int startRow, int endRow)
{
    ForArrays([&](TIpTerminalArray& a) { a.ScrollRows(count, startRow, endRow); });
    if (OnScrollRows)
        OnScrollRows(count, startRow + 1 - ScreenTop(), endRow + 1 - ScreenTop());
}

bool TIpTerminalBuffer::tbMoveCursorUpDown(int delta, bool scroll)
{
    // Inside the region the cursor keeps to it and scrolls it at its edges;
    // outside it moves over the whole buffer and scrolls nothing.
    const bool inRegion = InRegion(FCursorRow);
    const int top = inRegion ? FOriginRow : (FCursorRow >= ScreenTop() ? ScreenTop() : 0);
    const int bottom = inRegion ? RegionLastRow() : FSVRowCount - 1;
    bool moved = true;
    FCursorMoved = true;
    if (delta > 0 && FCursorRow < bottom) {
        ++FCursorRow;
    } else if (delta < 0 && FCursorRow > top) {
        --FCursorRow;
    } else if (scroll && inRegion) {
        // Without a region the scroll-back moves too, and may be in view.
        const int first = delta > 0 && !FUseScrollRegion ? 0 : FOriginRow;
        tbScrollRows(delta > 0 ? 1 : -1, first, RegionLastRow());
        tbInvalidateRect(first, 0, RegionLastRow(), FColCount - 1);
    } else {
        moved = false;
    }
    tbFireOnCursorMovedEvent();
    return moved;
}

void TIpTerminalBuffer::tbMoveCursorLeftRight(int delta, bool wrap, bool scroll)
{
    const int lastCol = RegionLastCol();
    FCursorMoved = true;
    const int c = FCursorCol + delta;
    if (c >= FOriginCol && c <= lastCol)
        FCursorCol = c;
    else if (wrap && tbMoveCursorUpDown(delta, scroll))
        FCursorCol = delta > 0 ? FOriginCol : lastCol;
    tbFireOnCursorMovedEvent();
}

void TIpTerminalBuffer::MoveCursorUp(bool scroll)
{
    FPendingWrap = false;
    tbMoveCursorUpDown(-1, scroll);
}
void TIpTerminalBuffer::MoveCursorDown(bool scroll)
{
    FPendingWrap = false;
    tbMoveCursorUpDown(1, scroll);
}
void TIpTerminalBuffer::MoveCursorLeft(bool wrap, bool scroll)
{
    FPendingWrap = false;
    tbMoveCursorLeftRight(-1, wrap, scroll);
}
void TIpTerminalBuffer::MoveCursorRight(bool wrap, bool scroll)
{
    FPendingWrap = false;
    tbMoveCursorLeftRight(1, wrap, scroll);
}

void TIpTerminalBuffer::DoBackspace()
{
    FPendingWrap = false;
    if (FCursorCol > FOriginCol)
        SetCursorInternal(FCursorRow, FCursorCol - 1);
}

void TIpTerminalBuffer::DoCarriageReturn()
{
    FPendingWrap = false;
    SetCursorInternal(FCursorRow, FOriginCol);
}

void TIpTerminalBuffer::DoLineFeed()
{
    FPendingWrap = false;
    if (UseNewLineMode)
        DoCarriageReturn();
    MoveCursorDown(true);
}

void TIpTerminalBuffer::DoHorzTab()
{
    FPendingWrap = false;
    if (FColCount < 1)
        return;
    int c = FCursorCol + 1;
    while (c < RegionLastCol() && !FHorzTabStops.Test(c))
        ++c;
    SetCursorInternal(FCursorRow, std::min(c, RegionLastCol()));
}

void TIpTerminalBuffer::DoBackHorzTab()
{
    if (FColCount < 1)
        return;
    int c = FCursorCol - 1;
    while (c > FOriginCol && !FHorzTabStops.Test(c))
        --c;
    SetCursorInternal(FCursorRow, std::max(c, FOriginCol));
}

void TIpTerminalBuffer::DoVertTab()
{
    FPendingWrap = false;
    int r = FCursorRow + 1;
    while (r < RegionLastRow() && !FVertTabStops.Test(r - ScreenTop()))
        ++r;
    SetCursorInternal(std::min(r, RegionLastRow()), FCursorCol);
}

void TIpTerminalBuffer::DoBackVertTab()
{
    FPendingWrap = false;
    int r = FCursorRow - 1;
    while (r > FOriginRow && !FVertTabStops.Test(r - ScreenTop()))
        --r;
    SetCursorInternal(std::max(r, FOriginRow), FCursorCol);
}

void TIpTerminalBuffer::SetHorzTabStop()
{
    FHorzTabStops.Set(FCursorCol, true);
}
void TIpTerminalBuffer::ClearHorzTabStop()
{
    FHorzTabStops.Set(FCursorCol, false);
}
void TIpTerminalBuffer::ClearAllHorzTabStops()
{
    FHorzTabStops.ClearAll();
}
void TIpTerminalBuffer::SetVertTabStop()
{
    FVertTabStops.Set(FCursorRow - ScreenTop(), true);
}
void TIpTerminalBuffer::ClearVertTabStop()
{
    FVertTabStops.Set(FCursorRow - ScreenTop(), false);
}
void TIpTerminalBuffer::ClearAllVertTabStops()
{
    FVertTabStops.ClearAll();
}

void TIpTerminalBuffer::WriteChar(char ch)
{
    if (FPendingWrap) {
        MoveCursorRight(UseAutoWrap, true);
        FPendingWrap = false;
    }
    if (UseInsertMode)
        ForArrays([&](TIpTerminalArray& a) { a.InsertItems(1, FCursorRow, FCursorCol); });
    FChars.WriteDupItems(uint8_t(ch), 1, FCursorCol, FCursorRow);
    FCharSets.WriteDupItems(FCharSet, 1, FCursorCol, FCursorRow);
    FAttrArray.WriteDupItems(FAttrs, 1, FCursorCol, FCursorRow);
    FForeColors.WriteDupItems(FForeColor, 1, FCursorCol, FCursorRow);
    FBackColors.WriteDupItems(FBackColor, 1, FCursorCol, FCursorRow);
    tbInvalidateRect(FCursorRow, FCursorCol, FCursorRow,
                     UseInsertMode ? FColCount - 1 : FCursorCol);
    if (UseAutoWrapDelay && FCursorCol == RegionLastCol()) {
        FPendingWrap = UseAutoWrap;
        return;
    }
    MoveCursorRight(UseAutoWrap, true);
}

void TIpTerminalBuffer::WriteString(std::string_view s)
{
    for (char ch : s)
        WriteChar(ch);
}

void TIpTerminalBuffer::InsertChars(int count)
{
    FPendingWrap = false;
    count = std::min(count, RegionLastCol() - FCursorCol + 1);
    if (count <= 0)
        return;
    ForArrays([&](TIpTerminalArray& a) { a.InsertItems(count, FCursorRow, FCursorCol); });
    tbInvalidateRect(FCursorRow, FCursorCol, FCursorRow, FColCount - 1);
}

void TIpTerminalBuffer::DeleteChars(int count)
{
    FPendingWrap = false;
    count = std::min(count, RegionLastCol() - FCursorCol + 1);
    if (count <= 0)
        return;
    ForArrays([&](TIpTerminalArray& a) { a.DeleteItems(count, FCursorRow, FCursorCol); });
    tbInvalidateRect(FCursorRow, FCursorCol, FCursorRow, FColCount - 1);
}

void TIpTerminalBuffer::ClearCells(int row, int fromCol, int toCol)
{
    ForArrays([&](TIpTerminalArray& a) { a.ClearItems(row, fromCol, toCol); });
    tbInvalidateRect(row, std::max(fromCol, 0), row, std::min(toCol, FColCount - 1));
}

void TIpTerminalBuffer::EraseChars(int count)
{
    FPendingWrap = false;
    int row = FCursorRow, col = FCursorCol;
    while (count > 0 && row <= std::max(RegionLastRow(), FCursorRow) && row < FSVRowCount) {
        const int n = std::min(count, RegionLastCol() - col + 1);
        ClearCells(row, col, col + n - 1);
        count -= n;
        ++row;
        col = FOriginCol;
    }
}

void TIpTerminalBuffer::InsertLines(int count)
{
    FPendingWrap = false;
    if (count <= 0 || !InRegion(FCursorRow))
        return;
    tbScrollRows(-count, FCursorRow, RegionLastRow());
    tbInvalidateRect(FCursorRow, 0, RegionLastRow(), FColCount - 1);
}

void TIpTerminalBuffer::DeleteLines(int count)
{
    FPendingWrap = false;
    if (count <= 0 || !InRegion(FCursorRow))
        return;
    tbScrollRows(count, FCursorRow, RegionLastRow());
    tbInvalidateRect(FCursorRow, 0, RegionLastRow(), FColCount - 1);
}

void TIpTerminalBuffer::EraseToEOL()
{
    FPendingWrap = false;
    ClearCells(FCursorRow, FCursorCol, RegionLastCol());
}

void TIpTerminalBuffer::EraseFromBOL()
{
    FPendingWrap = false;
    ClearCells(FCursorRow, FOriginCol, FCursorCol);
}

void TIpTerminalBuffer::EraseLine()
{
    FPendingWrap = false;
    ClearCells(FCursorRow, FOriginCol, RegionLastCol());
}

void TIpTerminalBuffer::EraseToEOW()
{
    FPendingWrap = false;
    ClearCells(FCursorRow, FCursorCol, FColCount - 1);
    if (FCursorRow < FSVRowCount - 1) {
        const int span = FSVRowCount - 1 - FCursorRow;
        tbScrollRows(span, FCursorRow + 1, FSVRowCount - 1);
        tbInvalidateRect(FCursorRow + 1, 0, FSVRowCount - 1, FColCount - 1);
    }
}

void TIpTerminalBuffer::EraseFromBOW()
{
    FPendingWrap = false;
    ClearCells(FCursorRow, 0, FCursorCol);
    if (FCursorRow > ScreenTop()) {
        const int span = FCursorRow - ScreenTop();
        tbScrollRows(span, ScreenTop(), FCursorRow - 1);
        tbInvalidateRect(ScreenTop(), 0, FCursorRow - 1, FColCount - 1);
    }
}

void TIpTerminalBuffer::EraseScreen()
{
    FPendingWrap = false;
    tbScrollRows(FRowCount, 0, FSVRowCount - 1);
    tbInvalidateRect(0, 0, FSVRowCount - 1, FColCount - 1);
}

void TIpTerminalBuffer::EraseAll()
{
    FPendingWrap = false;
    ForArrays([](TIpTerminalArray& a) { a.Clear(); });
    tbInvalidateRect(0, 0, FSVRowCount - 1, FColCount - 1);
    SetCursorInternal(ScreenTop(), 0);
}

void TIpTerminalBuffer::Reset()
{
    SetCharAttrs(FDefAttrs);
    SetForeColor(FDefForeColor);
    SetBackColor(FDefBackColor);
    SetCharSet(FDefCharSet);
    FChars.SetDefaultItem(FUseWideChars ? FDefWideChar : uint8_t(FDefAnsiChar));
    ForArrays([](TIpTerminalArray& a) { a.Clear(); });
    DefaultTabStops();
    UseAbsAddressing = UseAutoWrap = UseAutoWrapDelay = true;
    UseInsertMode = UseNewLineMode = false;
    tbSetUseScrollRegion(false);
    FPendingWrap = false;
    tbInvalidateRect(0, 0, FSVRowCount - 1, FColCount - 1);
    SetCursorInternal(ScreenTop(), 0);
}

void TIpTerminalBuffer::SetScrollRegion(int top, int bottom)
{
    if (top > bottom)
        std::swap(top, bottom);
    top = std::clamp(top, 1, FRowCount);
    bottom = std::clamp(bottom, 1, FRowCount);
    FScrollTop = ScreenToInternal(top);
    FScrollBottom = ScreenToInternal(bottom);
    if (FUseScrollRegion)
        tbSetUseScrollRegion(false);
    if (!(top == 1 && bottom == FRowCount))
        tbSetUseScrollRegion(true);
}

void TIpTerminalBuffer::tbSetUseScrollRegion(bool on)
{
    if (on == FUseScrollRegion)
        return;
    FUseScrollRegion = on;
    FOriginCol = 0;
    FOriginRow = on ? FScrollTop : ScreenTop();
    FRegionWidth = FColCount;
    FRegionHeight = on ? FScrollBottom - FScrollTop + 1 : FRowCount;
    FPendingWrap = false;
    SetCursorInternal(FOriginRow, FOriginCol);
}

void TIpTerminalBuffer::tbSetColCount(int n)
{
    if (n < 2)
        CountTooSmall("TIpTerminalBuffer.tbSetColCount");
    FHorzTabStops.Resize(n);
    if (FSVRowCount == 0) {
        FColCount = n;
        return;
    }
    ForArrays([&](TIpTerminalArray& a) { a.SetColCount(n); });
    FColCount = n;
    FPendingWrap = false;
    if (!FUseScrollRegion) {
        FRegionWidth = n;
        SetCursorInternal(ScreenTop(), 0);
    } else {
        tbSetUseScrollRegion(false);
    }
    tbInvalidateRect(0, 0, FSVRowCount - 1, FColCount - 1);
}

void TIpTerminalBuffer::tbSetRowCount(int n)
{
    if (n == FRowCount || n > FSVRowCount)
        return;
    if (n < 2)
        CountTooSmall("TIpTerminalBuffer.tbSetRowCount");
    tbSetUseScrollRegion(false);
    FVertTabStops.Resize(n);
    FRowCount = n;
    FRegionHeight = n;
    FOriginRow = FSVRowCount - n;
    if (FCursorRow < FOriginRow)
        FCursorRow = FOriginRow;
    tbInvalidateRect(0, 0, FSVRowCount - 1, FColCount - 1);
}

void TIpTerminalBuffer::tbSetSVRowCount(int n)
{
    if (n < 2)
        CountTooSmall("TIpTerminalBuffer.tbSetSVRowCount");
    tbSetUseScrollRegion(false);
    if (FRowCount > n) {
        FRowCount = n;
        FVertTabStops.Resize(n);
    }
    FRegionHeight = FRowCount;
    FOriginRow = n - FRowCount;
    FCursorRow = std::clamp(FCursorRow + n - FSVRowCount, 0, n - 1);
    ForArrays([&](TIpTerminalArray& a) { a.SetRowCount(n); });
    FSVRowCount = n;
    tbInvalidateRect(0, 0, FSVRowCount - 1, FColCount - 1);
}

const uint8_t* TIpTerminalBuffer::GetLineCharPtr(int row) const
{
    return FChars.GetItemPtr(ScreenToInternal(row), 0);
}
const uint8_t* TIpTerminalBuffer::GetLineCharSetPtr(int row) const
{
    return FCharSets.GetItemPtr(ScreenToInternal(row), 0);
}
const uint8_t* TIpTerminalBuffer::GetLineAttrPtr(int row) const
{
    return FAttrArray.GetItemPtr(ScreenToInternal(row), 0);
}
const TColor* TIpTerminalBuffer::GetLineForeColorPtr(int row) const
{
    return reinterpret_cast<const TColor*>(FForeColors.GetItemPtr(ScreenToInternal(row), 0));
}
const TColor* TIpTerminalBuffer::GetLineBackColorPtr(int row) const
{
    return reinterpret_cast<const TColor*>(FBackColors.GetItemPtr(ScreenToInternal(row), 0));
}

// ---------------------------------------------------------------------------
// TaaByteQueue

void TaaByteQueue::Grow(int n)
{
    const int size = (std::max(n, FCount) + 63) / 64 * 64;
    FData.resize(size_t(size));
}

void TaaByteQueue::Check(int count) const
{
    if (count > FCount || count < 0)
        throw EIpBaseException(
            IpFormat(IpConst::SNotEnoughData, {std::to_string(FCount), std::to_string(count)}));
}

uint8_t* TaaByteQueue::Reserve(int count)
{
    int capacity = Capacity();
    while (FCount + count > capacity)
        capacity *= 2;
    if (capacity != Capacity())
        Grow(capacity);
    return FData.data() + FCount;
}

void TaaByteQueue::Advance(int count)
{
    FCount = std::min(FCount + std::max(count, 0), Capacity());
}

void TaaByteQueue::Put(const void* buffer, int count)
{
    if (count <= 0)
        return;
    std::memcpy(Reserve(count), buffer, size_t(count));
    FCount += count;
}

const uint8_t* TaaByteQueue::Peek(int count) const
{
    Check(count);
    return FData.data();
}

void TaaByteQueue::Remove(int count)
{
    Check(count);
    std::memmove(FData.data(), FData.data() + count, size_t(FCount - count));
    FCount -= count;
}
