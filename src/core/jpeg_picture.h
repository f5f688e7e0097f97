#pragma once

#include <QImage>
#include <string_view>

// The station's picture, shown by the start-up window and the About box, is a
// JPEG decoded with libjpeg (decompression only).

// Decodes a baseline or progressive JPEG held in memory. A damaged or
// truncated picture gives a null image, never a crash.
QImage DecodeJpeg(std::string_view data);

// The JPEG bytes linked into the program.
std::string_view StationPictureJpeg();

// The decoded station picture (decoded once, then shared).
const QImage& StationPicture();
