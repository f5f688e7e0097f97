#pragma once

#include "fax/fax_convert.h"

#include <QFont>
#include <QImage>
#include <deque>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

class TLineReader;

// Text input of the conversion engine: plain text drawn with the built-in
// fax font, or with a Qt font ("text ex").
//
// Choices made here:
// - Lines end at CR, CR LF or a bare LF, so text from any system converts
//   line by line.
// - A line wider than the page wraps at its last blank that fits (or, with
//   none, at the width) instead of being cut, so no text is lost; each
//   wrapped piece is a line of its own for the lines-per-page count.
// - A form feed ends the page; the text after it starts the next page. A
//   line pushed onto the next page by the page limit is always drawn there.

// Font size codes of fcLoadFont.
inline constexpr int kSmallFontCode = 16;
inline constexpr int kStandardFontCode = 48;

struct TFontRecord {
    unsigned Bytes = 0;  // bytes per character
    unsigned PWidth = 0; // character width in pixels
    unsigned Width = 0;  // bytes per glyph row
    unsigned Height = 0; // glyph rows
};

struct TFaxTextData : TFaxInputData {
    ~TFaxTextData() override;

    bool IsExtended = false;
    unsigned TabStop = 4;
    unsigned LineCount = 0; // text lines per page, 0 = no limit
    std::unique_ptr<std::ifstream> Stream;
    std::unique_ptr<TLineReader> Reader;
    unsigned OnLine = 0; // text lines on the current page
    unsigned CurRow = 0; // glyph row being drawn, 0 = take the next line
    std::string CurStr;

    // Lines taken from the file but not yet drawn.
    struct TPendingLine {
        std::string Text;
        bool AfterFormFeed = false;
        bool Ready = false; // form feeds, tabs and wrapping already done
    };
    std::deque<TPendingLine> Pending;
    std::string Ahead; // a file line read ahead
    bool HaveAhead = false;
    bool NextAfterFormFeed = false;
    bool Deferred = false; // CurStr waits for the next page
    bool Finished = false; // the blank line of an empty document is out

    TFontRecord FontRec;
    bool FontLoaded = false;
    std::vector<uint8_t> FontPtr; // 256 glyphs

    // Font-drawn text.
    QFont Font;
    QImage Bitmap; // one text line, 1 = black
};

int fcInitTextConverter(std::unique_ptr<TAbsFaxCvt>& cvt);
int fcInitTextExConverter(std::unique_ptr<TAbsFaxCvt>& cvt);
void fcDoneTextConverter(std::unique_ptr<TAbsFaxCvt>& cvt);
void fcDoneTextExConverter(std::unique_ptr<TAbsFaxCvt>& cvt);

// 0 leaves the tab stop unchanged.
void fcSetTabStop(TAbsFaxCvt& cvt, unsigned tabStop);
void fcSetLinesPerPage(TAbsFaxCvt& cvt, unsigned lines);
// The built-in font whatever the file name: size code 48 the standard
// 20 x 16 font, anything else the small 12 x 8 one; fine doubles each row.
int fcLoadFont(TAbsFaxCvt& cvt, const std::string& fileName, int sizeCode, bool fine);
// Text drawn with a Qt font (its size doubled at fine resolution); -8055
// when a line's drawing would take more than 64 KB.
int fcSetFont(TAbsFaxCvt& cvt, const QFont& font, bool fine);

int fcOpenFile(TAbsFaxCvt& cvt, const std::string& fileName);
void fcCloseFile(TAbsFaxCvt& cvt);
// Draws glyph row `row` (1-based) of `text` into the raster line; returns
// the raster length in bytes.
int fcRasterizeText(TAbsFaxCvt& cvt, const std::string& text, unsigned row, uint8_t* raster);
int fcGetTextRasterLine(TAbsFaxCvt& cvt, uint8_t* data, int& len, bool& endOfPage, bool& morePages);
