#include <gtest/gtest.h>

#include "core/password_codec.h"

TEST(PasswordCodec, EncodesHexPairsReversed)
{
    EXPECT_EQ(EncodePassword("abcd"), "46362616");
    EXPECT_EQ(EncodePassword(""), "");
    EXPECT_EQ(EncodePassword("\xE9\x01"), "10"
                                          "9E");
    EXPECT_EQ(DecodePassword("46362616"), "abcd");
    EXPECT_EQ(DecodePassword("10"
                             "9e"),
              "\xE9\x01");
    for (const std::string& p :
         {std::string("p:w,;"), std::string("\xFF\x80 x"), std::string(16, 'Z')})
        EXPECT_EQ(DecodePassword(EncodePassword(p)), p);
}

TEST(PasswordCodec, MalformedStoredTextIsNoPasswordAtAll)
{
    EXPECT_EQ(DecodePassword("463"), std::nullopt);
    EXPECT_EQ(DecodePassword("4G"), std::nullopt);
    EXPECT_EQ(DecodePassword(""), "");
}
