#pragma once

#include "fax/fax_convert.h"

#include <QImage>
#include <array>
#include <string>

// Bitmap input of the conversion engine: a picture in memory, or a Windows
// bitmap (BMP) file, becomes one fax page. A two-colour picture is copied
// pixel for pixel; any other is half-toned by an ordered dither.
//
// Choices made here:
// - Every row of the picture is coded, the last one included; the page
//   ends after it.
// - The dither compares the sum of a pixel's red, green and blue (0-765)
//   with a 16 x 16 Bayer matrix whose 256 levels are spread evenly over
//   that whole range, so mid-grey comes out as a half-tone of about half
//   black pixels rather than nearly black.

struct TFaxBitmapData : TFaxInputData {
    QImage Image;      // Format_Mono (1 = black) or Format_RGB32
    bool Mono = false; // copied, not dithered
    unsigned Width = 0;
    unsigned Height = 0;
    unsigned BytesPerRow = 0;
    unsigned CurrRow = 0; // rows handed out so far
    std::array<std::array<uint16_t, 32>, 32> DitherMap{};
};

int bcInitBitmapConverter(std::unique_ptr<TAbsFaxCvt>& cvt);
void bcDoneBitmapConverter(std::unique_ptr<TAbsFaxCvt>& cvt);
// The picture to convert (copied); -1002 for a null picture.
int bcSetInputBitmap(TAbsFaxCvt& cvt, const QImage& image);
int bcOpenBitmap(TAbsFaxCvt& cvt, const std::string& fileName);
void bcCloseBitmap(TAbsFaxCvt& cvt);
int bcGetBitmapRasterLine(TAbsFaxCvt& cvt, uint8_t* data, int& len, bool& endOfPage,
                          bool& morePages);

// A Windows bitmap file read whole: 0; -2 when missing; -8002 when it is no
// Windows bitmap or its pixel data end before its header's size (a file cut
// short, which would otherwise come out with made-up rows). `why`, when
// given, gets the reason in words for a refused file.
int bcReadBmpFile(const std::string& fileName, QImage& image, std::string* why = nullptr);

// BMP files: -2 when missing, -8002 as bcReadBmpFile refuses them.
int bcInitBmpConverter(std::unique_ptr<TAbsFaxCvt>& cvt);
void bcDoneBmpConverter(std::unique_ptr<TAbsFaxCvt>& cvt);
int bcOpenFile(TAbsFaxCvt& cvt, const std::string& fileName);
void bcCloseFile(TAbsFaxCvt& cvt);
int bcGetBmpRasterLine(TAbsFaxCvt& cvt, uint8_t* data, int& len, bool& endOfPage, bool& morePages);

// Fits a picture `imageWidth` pixels wide to the line for the converter's
// options: doubled across (and every line kept) at standard resolution when
// it fits twice, else every second line dropped under the half-height
// option; centred under the centre option. Wider pictures lose their right
// part.
void bcFitImage(TAbsFaxCvt& cvt, unsigned imageWidth);
// One picture row (most significant bit first, 1 = black) into a raster line
// at the centring offset, cut at the line's end.
void bcCopyMonoRow(const TAbsFaxCvt& cvt, const uint8_t* row, unsigned imageWidth, uint8_t* raster);

// The dither threshold for pixel (x, y), on the 0-765 scale of R + G + B.
uint16_t bcDitherThreshold(unsigned x, unsigned y);
