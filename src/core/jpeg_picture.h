#pragma once

#include <QImage>
#include <string_view>

class QLabel;
class QWidget;

// The station's picture, shown by the start-up window and the About box, is a
// JPEG decoded with libjpeg (decompression only).

// Decodes a baseline or progressive JPEG held in memory. A damaged or
// truncated picture gives a null image, never a crash.
QImage DecodeJpeg(std::string_view data);

// The JPEG bytes linked into the program.
std::string_view StationPictureJpeg();

// The decoded station picture (decoded once, then shared).
const QImage& StationPicture();

// A centred label showing the station picture (empty when the picture cannot
// be decoded), owned by `parent`.
QLabel* NewStationPictureLabel(QWidget* parent);
