#include "fax/apf_file.h"
#include "fax_image_helpers.h"
#include "serial/ad_except.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> list)
{
    return {list.begin(), list.end()};
}

// A file of two pages: page 1 fine with two records, page 2 raw.
void WriteTwoPages(const std::string& path, const std::string& id = "STATION")
{
    TApfWriter w;
    ASSERT_EQ(w.Create(path), 0);
    ASSERT_EQ(w.BeginPage(ffLengthWords | ffHighRes), 0);
    ASSERT_EQ(w.AddLine(kApfBlankLine.data(), kApfBlankLine.size()), 0);
    const auto line = Bytes({1, 2, 3});
    ASSERT_EQ(w.AddLine(line.data(), line.size()), 0);
    ASSERT_EQ(w.EndPage(), 0);
    ASSERT_EQ(w.BeginPage(ffHighWidth), 0);
    const auto raw = Bytes({9, 8, 7, 6, 5});
    ASSERT_EQ(w.AddData(raw.data(), raw.size()), 0);
    ASSERT_EQ(w.EndPage(), 0);
    ASSERT_EQ(w.Close(id), 0);
}

TEST(ApfFile, WrittenLayoutByteForByte)
{
    TScratch dir;
    const std::string path = dir.Path("two.apf");
    WriteTwoPages(path);
    const std::string f = ReadFile(path);
    ASSERT_EQ(f.size(), 64u + 16 + (2 + 6) + (2 + 3) + (2 + 12) + 16 + 5);
    EXPECT_EQ(f.substr(0, 6), std::string("APF10\x1A"));
    EXPECT_EQ(f[10], 7);
    EXPECT_EQ(f.substr(11, 20), "STATION             ");
    EXPECT_EQ(f[31], 0);
    EXPECT_EQ(f[32], 2); // page count
    EXPECT_EQ(f[34], 64);
    EXPECT_EQ(f.substr(38, 26), std::string(26, '\0'));
    // Page 1: length 27, flags 5, then blank line, the line, the page end.
    EXPECT_EQ(f.substr(64, 6), std::string("\x1B\0\0\0\x05\0", 6));
    EXPECT_EQ(f.substr(80, 8), std::string("\x06\0\0\x80\xB2\x59\x01\0", 8));
    EXPECT_EQ(f.substr(93, 14), std::string("\x0C\0\0\x80\0\x08\x80\0\x08\x80\0\x08\x80\0", 14));
    // Page 2 right after it: raw, no page-end record added.
    EXPECT_EQ(f.substr(107, 6), std::string("\x05\0\0\0\x02\0", 6));
    EXPECT_EQ(f.substr(123), "\x09\x08\x07\x06\x05");

    TFaxHeaderRec h;
    ASSERT_EQ(ApfReadHeader(path, h), 0);
    EXPECT_EQ(h.StationID, "STATION");
    EXPECT_NE(h.FDateTime, 0u);
    TPageHeaderRec p;
    ASSERT_EQ(ApfReadPageHeader(path, 2, p), 0);
    EXPECT_TRUE(p.Wide());
    EXPECT_FALSE(p.LengthWords());
    EXPECT_EQ(p.ImgLength, 5u);
}

TEST(ApfFile, HeaderEdges)
{
    TScratch dir;
    TApfWriter w;
    ASSERT_EQ(w.Create(dir.Path("empty.apf")), 0);
    ASSERT_EQ(w.Close(""), 0);
    const std::string empty = ReadFile(dir.Path("empty.apf"));
    ASSERT_EQ(empty.size(), 64u);
    EXPECT_EQ(empty[34], 64);
    EXPECT_EQ(empty[10], 0);
    EXPECT_EQ(empty.substr(11, 20), std::string(20, ' '));

    ASSERT_EQ(w.Create(dir.Path("long.apf")), 0);
    ASSERT_EQ(w.Close("ABCDEFGHIJKLMNOPQRSTUVWXY"), 0);
    const std::string longId = ReadFile(dir.Path("long.apf"));
    EXPECT_EQ(longId[10], 20);
    EXPECT_EQ(longId.substr(11, 20), "ABCDEFGHIJKLMNOPQRST");

    // DOS stamp of a known local time.
    std::tm t{};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 7;
    t.tm_hour = 13;
    t.tm_min = 45;
    t.tm_sec = 31;
    t.tm_isdst = -1;
    EXPECT_EQ(DosDateTime(std::mktime(&t)),
              uint32_t{(44u << 9 | 3u << 5 | 7u) << 16 | (13u << 11 | 45u << 5 | 15u)});
}

TEST(ApfFile, ReaderRefusals)
{
    TScratch dir;
    TFaxHeaderRec h;
    TPageHeaderRec p;
    EXPECT_EQ(ApfReadHeader("", h), AdErr::ecFileNotFound);
    EXPECT_EQ(ApfReadHeader(dir.Path("missing.apf"), h), AdErr::ecFileNotFound);
    WriteFile(dir.Path("text.apf"), std::string(100, 'x'));
    EXPECT_EQ(ApfReadHeader(dir.Path("text.apf"), h), AdErr::ecFaxBadFormat);
    EXPECT_FALSE(awIsAnAPFFile(dir.Path("text.apf")));
    WriteFile(dir.Path("short.apf"), "APF10\x1A");
    EXPECT_TRUE(awIsAnAPFFile(dir.Path("short.apf")));
    EXPECT_EQ(ApfReadHeader(dir.Path("short.apf"), h), AdErr::ecFaxBadFormat);

    const std::string path = dir.Path("two.apf");
    WriteTwoPages(path);
    p.ImgLength = 77;
    EXPECT_EQ(ApfReadPageHeader(path, 0, p), 0);
    EXPECT_EQ(p.ImgLength, 77u); // untouched
    EXPECT_EQ(ApfReadPageHeader(path, 3, p), AdErr::ecFaxBadFormat);

    // A wrong length on page 1 loses page 2, and only through the chain.
    std::string f = ReadFile(path);
    f[64] = '\x40';
    WriteFile(path, f);
    EXPECT_EQ(ApfReadPageHeader(path, 1, p), 0);
    EXPECT_EQ(ApfReadPageHeader(path, 2, p), AdErr::ecFaxBadFormat);
}

TEST(ApfFile, ReaderKeepsWithinThePage)
{
    TScratch dir;
    const std::string path = dir.Path("pages.apf");
    {
        TApfWriter w;
        ASSERT_EQ(w.Create(path), 0);
        // A raw page of 5000 bytes without end codes, then a second page.
        ASSERT_EQ(w.BeginPage(0), 0);
        const std::vector<uint8_t> raw(5000, 0x11);
        ASSERT_EQ(w.AddData(raw.data(), raw.size()), 0);
        ASSERT_EQ(w.EndPage(), 0);
        // A record of 5000 bytes, then a small one.
        ASSERT_EQ(w.BeginPage(ffLengthWords), 0);
        std::vector<uint8_t> big(5000, 0x22);
        big[4096] = 0x33;
        ASSERT_EQ(w.AddLine(big.data(), big.size()), 0);
        const auto small = Bytes({0x44});
        ASSERT_EQ(w.AddLine(small.data(), small.size()), 0);
        ASSERT_EQ(w.EndPage(), 0);
        ASSERT_EQ(w.Close("X"), 0);
    }
    TApfReader r;
    ASSERT_EQ(r.Open(path), 0);
    TPageHeaderRec p;
    ASSERT_EQ(r.SeekPage(1, p), 0);
    std::vector<uint8_t> chunk;
    std::size_t total = 0;
    for (;;) {
        ASSERT_EQ(r.ReadChunk(chunk), 0);
        if (chunk.empty())
            break;
        for (uint8_t b : chunk)
            ASSERT_EQ(b, 0x11) << "read into the next page";
        total += chunk.size();
    }
    EXPECT_EQ(total, 5000u);
    EXPECT_EQ(r.BytesRead(), r.BytesToRead());

    ASSERT_EQ(r.SeekPage(2, p), 0);
    ASSERT_EQ(r.ReadChunk(chunk), 0);
    EXPECT_EQ(chunk.size(), kApfMaxRecord);
    EXPECT_EQ(chunk.back(), 0x22);
    ASSERT_EQ(r.ReadChunk(chunk), 0);
    EXPECT_EQ(chunk, Bytes({0x44})); // still in step after the cut record
    ASSERT_EQ(r.ReadChunk(chunk), 0);
    EXPECT_EQ(chunk.size(), kApfPageEnd.size());
    ASSERT_EQ(r.ReadChunk(chunk), 0);
    EXPECT_TRUE(chunk.empty());

    // A file cut short inside a page's data.
    std::string f = ReadFile(path);
    WriteFile(path, f.substr(0, 64 + 16 + 4500));
    ASSERT_EQ(r.Open(path), 0);
    ASSERT_EQ(r.SeekPage(1, p), 0);
    int rc = 0;
    while (rc == 0 && (rc = r.ReadChunk(chunk)) == 0 && !chunk.empty()) {
    }
    EXPECT_EQ(rc, AdErr::ecFaxBadFormat);
}

TEST(ApfFile, DiscardedPagesAndFailuresLeaveNoTrace)
{
    TScratch dir;
    const std::string path = dir.Path("recv.apf");
    TApfWriter w;
    ASSERT_EQ(w.Create(path), 0);
    EXPECT_FALSE(std::filesystem::exists(path)); // only once closed
    const auto raw = Bytes({1, 2, 3, 4});
    ASSERT_EQ(w.BeginPage(0), 0);
    ASSERT_EQ(w.AddData(raw.data(), raw.size()), 0);
    ASSERT_EQ(w.EndPage(), 0);
    ASSERT_EQ(w.BeginPage(0), 0); // a bad page, cut off again
    ASSERT_EQ(w.AddData(raw.data(), raw.size()), 0);
    ASSERT_EQ(w.DiscardPage(), 0);
    ASSERT_EQ(w.BeginPage(ffHighRes), 0);
    ASSERT_EQ(w.AddData(raw.data(), 2), 0);
    ASSERT_EQ(w.EndPage(), 0);
    ASSERT_EQ(w.Close("RX"), 0);
    EXPECT_EQ(ReadFile(path).size(), 64u + 16 + 4 + 16 + 2);
    TPageHeaderRec p;
    ASSERT_EQ(ApfReadPageHeader(path, 2, p), 0);
    EXPECT_TRUE(p.Fine());
    EXPECT_EQ(p.ImgLength, 2u);

    // A writer dropped halfway, or one whose file cannot be put in place,
    // leaves neither the target nor its temporary file.
    {
        TApfWriter dropped;
        ASSERT_EQ(dropped.Create(dir.Path("dropped.apf")), 0);
        ASSERT_EQ(dropped.BeginPage(ffLengthWords), 0);
    }
    std::filesystem::create_directory(dir.Path("taken.apf"));
    std::filesystem::create_directory(dir.Path("taken.apf/inside"));
    TApfWriter blocked;
    ASSERT_EQ(blocked.Create(dir.Path("taken.apf")), 0);
    EXPECT_NE(blocked.Close("X"), 0);
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.Dir()))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"recv.apf", "taken.apf"}));
    EXPECT_EQ(w.Create(dir.Path("nodir/x.apf")), AdErr::ecFileNotFound);
}

} // namespace
