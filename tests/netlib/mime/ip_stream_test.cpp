#include "mime_helpers.h"
#include "netlib/mime/ip_stream.h"
#include "netlib/mime/ip_text_stream.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <filesystem>
#include <random>

namespace {

namespace fs = std::filesystem;

TEST(IpMemMapStream, NewFileHoldsExactlyWhatWasWritten)
{
    QTemporaryDir dir;
    const std::string name = dir.filePath("new.dat").toStdString();
    {
        TIpMemMapStream stream(name, false, false);
        stream.Open();
        EXPECT_EQ(stream.Seek(0, soFromEnd), 0);
        stream.SetPosition(0);
        stream.WriteString("0123456789");
        EXPECT_EQ(stream.Seek(0, soFromEnd), 10);
        char buf[32];
        stream.SetPosition(0);
        EXPECT_EQ(stream.Read(buf, sizeof buf), 10);
        // Passing the mapping grows it by a quarter, not the data.
        const std::string big(70000, 'x');
        stream.SetPosition(0);
        stream.WriteString(big);
        EXPECT_EQ(stream.MappedSize(), 81920);
        EXPECT_EQ(stream.GetSize(), 70000);
    }
    EXPECT_EQ(fs::file_size(name), 70000u);
}

TEST(IpMemMapStream, ReadingNeverCreatesAndEmptyFilesReadAsEmpty)
{
    QTemporaryDir dir;
    const std::string missing = dir.filePath("missing.msg").toStdString();
    TIpMemMapStream absent(missing, true, false);
    EXPECT_NE(ErrorText([&] { absent.Open(); }).find(" Filename: " + missing), std::string::npos);
    EXPECT_FALSE(fs::exists(missing));

    const std::string empty = dir.filePath("empty.msg").toStdString();
    WriteFile(empty, "");
    TIpMemMapStream stream(empty, true, false);
    stream.Open();
    char c;
    EXPECT_EQ(stream.Read(&c, 1), 0);
    EXPECT_EQ(stream.GetSize(), 0);
    EXPECT_EQ(ErrorText([&] { stream.Seek(-1, soFromBeginning); }),
              "When origin is soFromBeginning, Offset must be >= 0");
    TIpMemMapStream closed(empty, true, false);
    EXPECT_EQ(ErrorText([&] { closed.Read(&c, 1); }),
              "The Read method requires the TIpMemMapStream instance to be opened");
}

TEST(IpMemMapStream, ReadOnlyViewOfAnExistingFile)
{
    QTemporaryDir dir;
    const std::string name = dir.filePath("data.bin").toStdString();
    const std::string data = RandomBytes(100000, 3);
    WriteFile(name, data);
    TIpMemMapStream stream(name, true, false);
    stream.Open();
    EXPECT_EQ(stream.Write("x", 1), 0);
    EXPECT_EQ(std::string(stream.Memory(), size_t(stream.GetSize())), data);
    // A position outside the view reads nothing.
    stream.Seek(200000, soFromBeginning);
    char c;
    EXPECT_EQ(stream.Read(&c, 1), 0);
}

TEST(IpMemMapStream, DeleteOnFreeRemovesTheFile)
{
    QTemporaryDir dir;
    const std::string name = dir.filePath("spill.tmp").toStdString();
    {
        TIpMemMapStream stream(name, false, true);
        stream.Open();
        stream.WriteString("spill");
        EXPECT_TRUE(fs::exists(name));
    }
    EXPECT_FALSE(fs::exists(name));
}

// The buffered stream against a plain string, through random writes, reads
// and seeks across its 16 KB blocks.
TEST(IpBufferedStream, MatchesAModelThroughRandomWork)
{
    TIpMemoryStream memory;
    std::string model;
    {
        TIpBufferedStream stream(&memory);
        std::mt19937 gen(7);
        int64_t position = 0;
        for (int step = 0; step < 3000; ++step) {
            switch (gen() % 3) {
            case 0: {
                const std::string data = RandomBytes(gen() % 20000, step);
                stream.WriteBuffer(data.data(), int64_t(data.size()));
                if (model.size() < size_t(position) + data.size())
                    model.resize(size_t(position) + data.size());
                model.replace(size_t(position), data.size(), data);
                position += int64_t(data.size());
                break;
            }
            case 1: {
                std::string got(gen() % 20000, '\0');
                got.resize(size_t(stream.Read(got.data(), int64_t(got.size()))));
                ASSERT_EQ(got, model.substr(size_t(position), got.size()));
                position += int64_t(got.size());
                break;
            }
            default:
                position = stream.Seek(int64_t(gen() % (model.size() + 30000)), soFromBeginning);
                ASSERT_EQ(position, std::min<int64_t>(position, int64_t(model.size())));
                break;
            }
            ASSERT_EQ(stream.GetPosition(), position);
            ASSERT_EQ(stream.GetSize(), int64_t(model.size()));
        }
        EXPECT_EQ(ErrorText([&] { stream.Seek(0, 3); }), "Invalid seek origin");
    }
    EXPECT_EQ(memory.Data(), model);
}

TEST(IpAnsiTextStream, LinesEndAtLineFeedsAndKeepLoneReturns)
{
    TIpMemoryStream memory;
    memory.WriteString(std::string("a\r\nb\nc") + "\n" + "x\ry\r\n");
    TIpAnsiTextStream text(&memory);
    EXPECT_EQ(text.ReadLine(), "a");
    // Not at position 0 any more: the terminator stays.
    text.atsSetLineTerm(ltCR);
    EXPECT_EQ(text.LineTerminator(), ltCRLF);
    EXPECT_EQ(text.ReadLine(), "b");
    EXPECT_EQ(text.ReadLine(), "c");
    EXPECT_EQ(text.ReadLine(), "x\ry");
    EXPECT_TRUE(text.AtEndOfStream());
    EXPECT_EQ(text.ReadLine(), "");
}

TEST(IpAnsiTextStream, WritesEachTerminatorAndFixedLines)
{
    TIpMemoryStream memory;
    {
        TIpAnsiTextStream text(&memory);
        text.WriteLine("");
    }
    EXPECT_EQ(memory.Data(), "\r\n");

    TIpMemoryStream fixed;
    TIpAnsiTextStream text(&fixed);
    EXPECT_EQ(ErrorText([&] { text.atsSetLineLen(0); }), "Invalid line length");
    EXPECT_EQ(ErrorText([&] { text.atsSetLineLen(1025); }), "Invalid line length");
    text.atsSetLineTerm(ltNone);
    text.atsSetLineLen(8);
    text.WriteLine("");
    text.WriteLine("abc");
    text.WriteLine("0123456789");
    text.Flush();
    EXPECT_EQ(fixed.Data(), std::string(8, ' ') + "abc     01234567");
    text.SetPosition(0);
    text.ReadLine();
    EXPECT_EQ(text.ReadLine(), "abc     ");
}

TEST(IpAnsiTextStream, SeeksLinesAndOffsetsThroughAHalvedIndex)
{
    // Enough lines to fill the index several times over.
    TIpMemoryStream memory;
    std::vector<int64_t> starts;
    for (int i = 0; i < 9000; ++i) {
        starts.push_back(memory.GetSize());
        memory.WriteString("line " + std::to_string(i) + std::string(size_t(i % 7), '.') + "\r\n");
    }
    memory.WriteString("last without break");
    starts.push_back(memory.GetSize() - 18);
    TIpAnsiTextStream text(&memory);
    EXPECT_EQ(text.GetLineCount(), 2147483647);
    for (const int64_t line : {5000, 17, 8999, 4096, 0, 9000, 1}) {
        EXPECT_EQ(text.SeekLine(line), line);
        EXPECT_EQ(text.GetPosition(), starts[size_t(line)]);
    }
    EXPECT_EQ(text.SeekLine(20000), 9001);
    EXPECT_EQ(text.GetLineCount(), 9001);
    EXPECT_TRUE(text.AtEndOfStream());
    for (const int64_t line : {3, 6000, 9000}) {
        EXPECT_EQ(text.SeekNearestLine(starts[size_t(line)] + 3), line);
        EXPECT_EQ(text.GetPosition(), starts[size_t(line)]);
    }
}

TEST(IpDownloadFileStream, OnlyACompleteDownloadLeavesAFile)
{
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString();
    EXPECT_EQ(ErrorText([&] { TIpDownloadFileStream(path + "/nowhere"); }), "Path does not exist");
    std::string temporary;
    {
        TIpDownloadFileStream stream(path + "/");
        temporary = stream.FileName();
        stream.WriteString("partial");
    }
    EXPECT_FALSE(fs::exists(temporary));
    {
        TIpDownloadFileStream stream(path);
        stream.WriteString("complete");
        stream.Rename("done.txt");
        char buf[16];
        stream.SetPosition(0);
        EXPECT_EQ(stream.Read(buf, sizeof buf), 8);
    }
    EXPECT_EQ(ReadFile(path + "/done.txt"), "complete");
}

} // namespace
