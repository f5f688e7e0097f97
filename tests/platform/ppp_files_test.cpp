#include "platform/atomic_file.h"
#include "platform/ppp_files.h"
#include "support/ppp_words.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

namespace {

TEST(PppFiles, QuotedValuesReadBackAsTheManualPageSays)
{
    const std::vector<std::string> values = {"plain",
                                             "two  blanks",
                                             "say \"hi\"",
                                             "back\\slash\\",
                                             "# not a comment",
                                             "it's",
                                             "\xE9t\xE9 \xFC\xDF",
                                             "\\\"#'\\\\",
                                             ""};
    std::string text = "# written by the test\n";
    TPppWords expected;
    for (const auto& v : values) {
        ASSERT_TRUE(PppWritable(v));
        text += "name " + PppQuote(v) + " \t# " + v + "\n";
        expected.push_back({"name", v});
    }
    QTemporaryDir dir;
    const std::string path = dir.filePath("options").toStdString();
    WriteFileAtomic(path, text);
    EXPECT_EQ(PppdReads(path), expected);

    std::vector<TPppLine> lines;
    ASSERT_TRUE(PppSplitLines(text, lines));
    TPppWords ours;
    for (const auto& line : lines)
        if (!line.Words.empty())
            ours.push_back(line.Words);
    EXPECT_EQ(ours, expected);

    EXPECT_FALSE(PppWritable("line\nend"));
    EXPECT_FALSE(PppWritable(std::string("nul\0", 4)));
}

TEST(PppFiles, HandWrittenFilesReadAsPppdReadsThem)
{
    std::vector<TPppLine> lines;
    ASSERT_TRUE(PppSplitLines("connect 'chat -v \"\" AT' # dial\n"
                              "user bob\\ smith#x\n"
                              "name \"two\nlines\" end\n"
                              "long \\\nline\n",
                              lines));
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].Words, (std::vector<std::string>{"connect", "chat -v \"\" AT"}));
    EXPECT_EQ(lines[0].Text, "connect 'chat -v \"\" AT' # dial");
    EXPECT_EQ(lines[1].Words, (std::vector<std::string>{"user", "bob smith"}));
    EXPECT_EQ(lines[2].Words, (std::vector<std::string>{"name", "two\nlines", "end"}));
    EXPECT_EQ(lines[2].Text, "name \"two\nlines\" end");
    EXPECT_EQ(lines[3].Words, (std::vector<std::string>{"long", "line"}));

    EXPECT_FALSE(PppSplitLines("user \"open\n", lines));
    EXPECT_FALSE(PppSplitLines("user bob\\", lines));
}

} // namespace
