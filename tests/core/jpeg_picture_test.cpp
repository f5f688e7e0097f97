#include <gtest/gtest.h>

#include "core/jpeg_picture.h"

TEST(JpegPictureTest, StationPictureDecodes)
{
    const QImage& picture = StationPicture();
    ASSERT_FALSE(picture.isNull());
    EXPECT_EQ(picture.width(), 240);
    EXPECT_EQ(picture.height(), 120);
    // The top left corner is the dark blue of the picture's gradient.
    const QColor corner = picture.pixelColor(2, 2);
    EXPECT_LT(corner.red(), 40);
    EXPECT_GT(corner.blue(), corner.red());
}

TEST(JpegPictureTest, DamagedDataGivesNullImageNotCrash)
{
    const std::string_view good = StationPictureJpeg();
    EXPECT_TRUE(DecodeJpeg({}).isNull());
    EXPECT_TRUE(DecodeJpeg("not a jpeg at all").isNull());
    EXPECT_TRUE(DecodeJpeg(good.substr(0, 20)).isNull());
    // A picture cut short in its scan data still decodes to full size (the
    // library fills the rest) or gives up; it never reads past the buffer.
    const QImage cut = DecodeJpeg(good.substr(0, good.size() / 2));
    if (!cut.isNull()) {
        EXPECT_EQ(cut.width(), 240);
    }
    std::string garbled(good);
    for (size_t i = 600; i < garbled.size() - 2; i += 7)
        garbled[i] = static_cast<char>(garbled[i] ^ 0x5A);
    (void)DecodeJpeg(garbled);
}
