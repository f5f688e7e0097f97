#include "codec_helpers.h"
#include "link/codec/bzip2.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include <unistd.h>

namespace {

TEST(Bzip2, BufferRoundTrips)
{
    ASSERT_TRUE(Bzip2Library::Default().IsLoaded()) << Bzip2Library::Default().LoadError();
    for (const std::string& data : {std::string(), std::string("x"), MailText(250000, 1),
                                    RandomBytes(70000, 2), std::string(300000, '\0')}) {
        std::string packed, back;
        ASSERT_EQ(Bzip2CompressBuffer(data, packed), Bzip2Error::None);
        ASSERT_EQ(packed.substr(0, 4), "BZh1") << "block size 1";
        ASSERT_EQ(Bzip2DecompressBuffer(packed, back), Bzip2Error::None);
        EXPECT_TRUE(back == data) << data.size();
    }
}

TEST(Bzip2, CorruptAndCutStreamsAreErrors)
{
    const std::string data = MailText(50000, 3);
    std::string packed, back;
    ASSERT_EQ(Bzip2CompressBuffer(data, packed), Bzip2Error::None);

    std::string corrupt = packed;
    corrupt[packed.size() / 2] = static_cast<char>(corrupt[packed.size() / 2] ^ 0x10);
    EXPECT_EQ(Bzip2DecompressBuffer(corrupt, back), Bzip2Error::Data);

    EXPECT_EQ(Bzip2DecompressBuffer(packed.substr(0, packed.size() - 10), back),
              Bzip2Error::UnexpectedEof);
    EXPECT_EQ(Bzip2DecompressBuffer("", back), Bzip2Error::UnexpectedEof);
    EXPECT_EQ(Bzip2DecompressBuffer("PK not bzip2 at all", back), Bzip2Error::DataMagic);
}

class Bzip2Files : public testing::Test {
protected:
    void SetUp() override
    {
        dir_ =
            std::filesystem::temp_directory_path() / ("bzip2_files_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string PathOf(const char* name) const { return (dir_ / name).string(); }
    std::filesystem::path dir_;
};

TEST_F(Bzip2Files, FileToFileRoundTrip)
{
    const std::string data = MailText(120000, 4) + RandomBytes(20000, 5);
    std::ofstream(PathOf("in"), std::ios::binary) << data;
    ASSERT_EQ(Bzip2CompressFile(PathOf("in"), PathOf("packed")), Bzip2Error::None);
    ASSERT_EQ(Bzip2DecompressFile(PathOf("packed"), PathOf("out")), Bzip2Error::None);
    EXPECT_TRUE(ReadFileBytes(PathOf("out")) == data);
    EXPECT_EQ(Bzip2CompressFile(PathOf("missing"), PathOf("x")), Bzip2Error::OpenFailed);
    EXPECT_EQ(Bzip2CompressFile(dir_.string(), PathOf("y")), Bzip2Error::ReadFailed);
    EXPECT_FALSE(std::filesystem::exists(PathOf("y")));

    // A cut stream leaves no half file and spoils no file already there.
    std::ofstream(PathOf("cut"), std::ios::binary)
        << ReadFileBytes(PathOf("packed")).substr(0, 500);
    EXPECT_EQ(Bzip2DecompressFile(PathOf("cut"), PathOf("out2")), Bzip2Error::UnexpectedEof);
    EXPECT_FALSE(std::filesystem::exists(PathOf("out2")));
    std::ofstream(PathOf("kept"), std::ios::binary) << "earlier";
    EXPECT_EQ(Bzip2DecompressFile(PathOf("cut"), PathOf("kept")), Bzip2Error::UnexpectedEof);
    EXPECT_EQ(ReadFileBytes(PathOf("kept")), "earlier");

    // A received item is the user's alone; one that replaces a file keeps
    // that file's permissions.
    const auto perms = [&](const char* name) {
        return std::filesystem::status(PathOf(name)).permissions();
    };
    EXPECT_EQ(perms("out"), std::filesystem::perms(0600));
    std::filesystem::permissions(PathOf("kept"), std::filesystem::perms(0640));
    ASSERT_EQ(Bzip2DecompressFile(PathOf("packed"), PathOf("kept")), Bzip2Error::None);
    EXPECT_EQ(perms("kept"), std::filesystem::perms(0640));
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
        EXPECT_EQ(entry.path().string().find(".tmp"), std::string::npos) << entry.path();
}

TEST_F(Bzip2Files, MissingLibraryIsReported)
{
    const Bzip2Library absent("libbz2-not-installed.so.9");
    EXPECT_FALSE(absent.IsLoaded());
    EXPECT_FALSE(absent.LoadError().empty());
    std::ofstream(PathOf("in"), std::ios::binary) << "hello";
    EXPECT_EQ(Bzip2CompressFile(PathOf("in"), PathOf("out"), absent), Bzip2Error::LibraryMissing);
    EXPECT_EQ(Bzip2DecompressFile(PathOf("in"), PathOf("out"), absent), Bzip2Error::LibraryMissing);
    std::string out;
    EXPECT_EQ(Bzip2CompressBuffer("abc", out, absent), Bzip2Error::LibraryMissing);

    // A library without the stream functions counts as missing too.
    const Bzip2Library wrong("libc.so.6");
    EXPECT_FALSE(wrong.IsLoaded());
    EXPECT_NE(wrong.LoadError().find("BZ2_"), std::string::npos);
}

} // namespace
