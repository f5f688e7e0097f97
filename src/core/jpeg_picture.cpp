#include "core/jpeg_picture.h"

#include <QLabel>
#include <QPixmap>

#include <csetjmp>
#include <cstdio>
#include <utility>

#include <jpeglib.h>

namespace {

// libjpeg reports fatal errors through error_exit, which must not return;
// it jumps back to the decoder, which then gives up on the picture.
struct TJpegError {
    jpeg_error_mgr Mgr;
    std::jmp_buf Jump;
};

void JpegErrorExit(j_common_ptr info)
{
    auto* err = reinterpret_cast<TJpegError*>(info->err);
    std::longjmp(err->Jump, 1);
}

void JpegSilentMessage(j_common_ptr) {}

} // namespace

QImage DecodeJpeg(std::string_view data)
{
    if (data.empty())
        return {};
    jpeg_decompress_struct info{};
    TJpegError err{};
    info.err = jpeg_std_error(&err.Mgr);
    err.Mgr.error_exit = JpegErrorExit;
    err.Mgr.output_message = JpegSilentMessage;
    // Everything touched after setjmp lives outside this frame's registers.
    static thread_local QImage result;
    result = QImage();
    if (setjmp(err.Jump)) {
        jpeg_destroy_decompress(&info);
        return {};
    }
    jpeg_create_decompress(&info);
    jpeg_mem_src(&info, reinterpret_cast<const unsigned char*>(data.data()),
                 static_cast<unsigned long>(data.size()));
    if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) {
        jpeg_destroy_decompress(&info);
        return {};
    }
    info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&info);
    const int width = static_cast<int>(info.output_width);
    const int height = static_cast<int>(info.output_height);
    result = QImage(width, height, QImage::Format_RGB888);
    if (result.isNull() || info.output_components != 3) {
        jpeg_destroy_decompress(&info);
        return {};
    }
    while (info.output_scanline < info.output_height) {
        JSAMPROW row = result.scanLine(static_cast<int>(info.output_scanline));
        jpeg_read_scanlines(&info, &row, 1);
    }
    jpeg_finish_decompress(&info);
    jpeg_destroy_decompress(&info);
    return std::exchange(result, QImage());
}

const QImage& StationPicture()
{
    static const QImage picture = DecodeJpeg(StationPictureJpeg());
    return picture;
}

QLabel* NewStationPictureLabel(QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setAlignment(Qt::AlignCenter);
    if (!StationPicture().isNull())
        label->setPixmap(QPixmap::fromImage(StationPicture()));
    return label;
}
