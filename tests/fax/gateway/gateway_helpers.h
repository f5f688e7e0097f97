#pragma once

#include <QColor>
#include <QImage>
#include <string>
#include <vector>

// Tools of the fax gateway's tests: the Python mail oracle and small
// pictures.
namespace FaxGatewayTest {

// Runs tests/fax/gateway/fax_mail_oracle.py with the arguments (each quoted
// for the shell); its standard output, and a failed test when it fails.
std::string Oracle(const std::vector<std::string>& args);

// The lines of `output` that begin with `prefix` + " ", without it.
std::vector<std::string> Lines(const std::string& output, const std::string& prefix);

// A picture of `width` x `height` pixels, white, with the rectangle given
// in fractions of its size black; saved as a Windows bitmap.
QImage BlockPicture(int width, int height, double left, double top, double right, double bottom);
void SaveBmp(const QImage& picture, const std::string& path);

// Whether the picture is black at the point given in fractions of its size.
bool BlackAt(const QImage& picture, double x, double y);
// The share of black pixels in the picture.
double BlackShare(const QImage& picture);

} // namespace FaxGatewayTest
