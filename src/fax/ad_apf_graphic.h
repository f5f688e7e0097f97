#pragma once

#include "fax/ad_fax_cvt.h"

#include <QImage>
#include <QPainter>
#include <QRect>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class QIODevice;

// APF fax files as pictures: TApdAPFGraphic holds a file's pages as
// bitmaps, and Qt's image framework reads and writes the format "apf" (file
// extension ".apf", "APF Fax Image Format") through a handler linked in with
// this unit, so QImage and QImageReader open APF pages and QImageWriter
// writes one-page APF files.
//
// Choices made here:
// - Pages are the unpacker component's bitmaps: a standard page has each
//   line twice, so every page bitmap has fine lines. Saving therefore codes
//   every page at fine resolution, 2048 pixels wide when the bitmap is wider
//   than 1728, without margins; a loaded file saves back pixel for pixel.
// - The image handler gives each page as one image: read() returns the next
//   page, jumpToImage chooses one. Each image written is a file of its own.
// - Setting the width or height cuts or extends the current page (white).

class EApdAPFGraphicError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TApdAPFGraphic {
public:
    TApdAPFGraphic();
    ~TApdAPFGraphic();
    TApdAPFGraphic(const TApdAPFGraphic&) = delete;
    TApdAPFGraphic& operator=(const TApdAPFGraphic&) = delete;

    // 0-based; outside the pages raises "Invalid page".
    int CurrentPage() const { return CurrentPage_; }
    void SetCurrentPage(int value);
    int NumPages() const { return static_cast<int>(Pages_.size()); }
    const std::vector<QImage>& Pages() const { return Pages_; }
    // Replaces page `index`, or appends at index NumPages(); any other index
    // raises "Invalid page".
    void SetPage(int index, const QImage& bitmap);

    void LoadFromFile(const std::string& fileName);
    void SaveToFile(const std::string& fileName);
    void LoadFromStream(QIODevice& stream);
    void SaveToStream(QIODevice& stream);
    // The current page into the rectangle.
    void Draw(QPainter& canvas, const QRect& rect) const;
    // The pages and current page of another APF graphic.
    void Assign(const TApdAPFGraphic& source);
    // The current page (a null picture without pages).
    void AssignTo(QImage& bitmap) const;
    bool GetEmpty() const { return Pages_.empty(); }
    // Of the current page; 0 without pages.
    int GetHeight() const;
    int GetWidth() const;
    void SetHeight(int value);
    void SetWidth(int value);
    // The clipboard has no APF format: both raise.
    void LoadFromClipboardFormat();
    void SaveToClipboardFormat();

    TApdFaxUnpacker& Unpacker() { return *Unpacker_; }
    TApdFaxConverter& Converter() { return *Converter_; }

private:
    void Resize(int width, int height);

    std::vector<QImage> Pages_;
    int CurrentPage_ = 0;
    std::unique_ptr<TApdFaxUnpacker> Unpacker_;
    std::unique_ptr<TApdFaxConverter> Converter_;
};
