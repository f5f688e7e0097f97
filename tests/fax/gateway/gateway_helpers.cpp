#include "fax/gateway/gateway_helpers.h"

#include <gtest/gtest.h>

#include <QPainter>
#include <cstdio>
#include <cstdlib>

namespace FaxGatewayTest {

namespace {
std::string Quoted(const std::string& text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}
} // namespace

std::string Oracle(const std::vector<std::string>& args)
{
    std::string command = std::string("python3 ") + std::getenv("SKIPMAIL_SOURCE_DIR") +
                          "/tests/fax/gateway/fax_mail_oracle.py";
    for (const std::string& a : args)
        command += " " + Quoted(a);
    std::string output;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) {
        ADD_FAILURE() << "cannot run " << command;
        return output;
    }
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, n);
    const int status = ::pclose(pipe);
    EXPECT_EQ(status, 0) << command << "\n" << output;
    return output;
}

std::vector<std::string> Lines(const std::string& output, const std::string& prefix)
{
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < output.size()) {
        size_t end = output.find('\n', pos);
        if (end == std::string::npos)
            end = output.size();
        const std::string line = output.substr(pos, end - pos);
        if (line.rfind(prefix + " ", 0) == 0)
            lines.push_back(line.substr(prefix.size() + 1));
        pos = end + 1;
    }
    return lines;
}

QImage BlockPicture(int width, int height, double left, double top, double right, double bottom)
{
    QImage picture(width, height, QImage::Format_RGB32);
    picture.fill(Qt::white);
    QPainter painter(&picture);
    painter.fillRect(
        QRectF(left * width, top * height, (right - left) * width, (bottom - top) * height),
        Qt::black);
    return picture;
}

void SaveBmp(const QImage& picture, const std::string& path)
{
    ASSERT_TRUE(picture.save(QString::fromStdString(path), "BMP")) << path;
}

bool BlackAt(const QImage& picture, double x, double y)
{
    const QColor c = picture.pixelColor(static_cast<int>(x * picture.width()),
                                        static_cast<int>(y * picture.height()));
    return c.lightness() < 128;
}

double BlackShare(const QImage& picture)
{
    const QImage mono = picture.convertToFormat(QImage::Format_RGB32);
    long black = 0;
    for (int y = 0; y < mono.height(); ++y)
        for (int x = 0; x < mono.width(); ++x)
            black += qGray(mono.pixel(x, y)) < 128 ? 1 : 0;
    return mono.isNull() ? 0.0 : double(black) / (double(mono.width()) * mono.height());
}

} // namespace FaxGatewayTest
