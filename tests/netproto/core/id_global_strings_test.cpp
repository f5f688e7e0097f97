#include "netproto/core/id_global.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <sys/stat.h>

namespace {

TEST(FetchToken, DelimiterFoundMissingAndKept)
{
    std::string text = "abc";
    EXPECT_EQ(FetchToken(text, " ", false), "abc");
    EXPECT_EQ(text, "abc");
    EXPECT_EQ(FetchToken(text, " ", true), "abc");
    EXPECT_EQ(text, "");
    text = "a:b:c";
    EXPECT_EQ(FetchToken(text, ":"), "a");
    EXPECT_EQ(text, "b:c");
    text = "key\r\nrest";
    EXPECT_EQ(FetchToken(text, "\r\n"), "key");
    EXPECT_EQ(text, "rest");
    text = std::string("a\0b", 3);
    EXPECT_EQ(FetchToken(text, std::string(1, '\0')), "a");
    EXPECT_EQ(text, "b");
    text = "x";
    EXPECT_EQ(FetchToken(text, ""), "x");
    EXPECT_EQ(text, "");
}

TEST(FetchToken, NoCaseFindsAnyCaseButCutsTheOriginal)
{
    std::string text = "Name BOUNDARY rest";
    EXPECT_EQ(FetchToken(text, "boundary", false), "Name BOUNDARY rest");
    EXPECT_EQ(FetchTokenNoCase(text, "boundary"), "Name ");
    EXPECT_EQ(text, " rest");
    text = "\xE9t\xC9";
    EXPECT_EQ(FetchTokenNoCase(text, "\xC9"), "");
    EXPECT_EQ(text, "t\xC9");
}

TEST(StringHelpers, NamesArraysAndComparisons)
{
    EXPECT_EQ(DayNameToNumber("sun"), 1);
    EXPECT_EQ(DayNameToNumber("SAT"), 7);
    EXPECT_EQ(DayNameToNumber("Sunday"), 0);
    EXPECT_EQ(MonthNameToNumber("dec"), 12);
    EXPECT_EQ(MonthNameToNumber("June"), 0);
    EXPECT_TRUE(SameTextLocale("Caf\xE9", "CAF\xC9"));
    EXPECT_FALSE(SameTextLocale("abc", "abd"));
    std::vector<std::string> items{"HELO", "ehlo", "MAIL"};
    EXPECT_EQ(FindInStrArray("EHLO", items, 2, false), 1);
    EXPECT_EQ(FindInStrArray("EHLO", items, 2, true), -1);
    EXPECT_EQ(FindInStrArray("MAIL", items, 1, true), -1) << "highest index bounds the search";
    EXPECT_EQ(FindInStrArray("MAIL", items, 99, true), 2);
    EXPECT_EQ(MinOf(-3, 2), -3);
    EXPECT_EQ(RotateLeft32(0x80000001u, 1), 0x00000003u);
    EXPECT_EQ(RotateLeft32(0x12345678u, 0), 0x12345678u);
    EXPECT_EQ(RotateLeft32(0x12345678u, 32), 0x12345678u);
    EXPECT_EQ(IncludeBackslash("/tmp"), "/tmp/");
    EXPECT_EQ(IncludeBackslash("/tmp/"), "/tmp/");
}

TEST(StringHelpers, SplitCommaListKeepsQuotedCommas)
{
    std::vector<std::string> list{"old"};
    SplitCommaList(list, "a, \"b, c\" , , d");
    EXPECT_EQ(list, (std::vector<std::string>{"a", "\"b, c\"", "d"}));
    SplitCommaList(list, "");
    EXPECT_TRUE(list.empty());
    SplitCommaList(list, "\"Doe, J\" <j@x>, k@y");
    EXPECT_EQ(list, (std::vector<std::string>{"\"Doe, J\" <j@x>", "k@y"}));
}

TEST(StringHelpers, FindInMemoryAndFindFrom)
{
    const char buf[] = "abcabc";
    EXPECT_EQ(FindInMemory("abcd", buf, 3), 0);
    EXPECT_EQ(FindInMemory("a", buf, 6), 1);
    EXPECT_EQ(FindInMemory("ca", buf, 6), 3);
    EXPECT_EQ(FindInMemory("bc", buf, 2), 0);
    EXPECT_EQ(FindInMemory("", buf, 6), 0);
    EXPECT_EQ(FindFrom("bc", "abcabc", 0), 2);
    EXPECT_EQ(FindFrom("bc", "abcabc", 1), 2);
    EXPECT_EQ(FindFrom("bc", "abcabc", 3), 5);
    EXPECT_EQ(FindFrom("bc", "abcabc", 6), 0);
    EXPECT_EQ(FindFrom("bc", "abcabc", 7), 0);
    EXPECT_EQ(FindFrom("", "abc", 1), 0);
    EXPECT_EQ(FindFrom("abcd", "abc", 1), 0);
}

TEST(StringHelpers, SplitAtDelimiterWithPositions)
{
    std::vector<TIdTextPiece> list;
    SplitAtDelimiter(";a; b;;c;", list, ";");
    EXPECT_EQ(list, (std::vector<TIdTextPiece>{{"a", 2}, {" b", 4}, {"c", 8}}));
    SplitAtDelimiterTrimmed("  x ,  y,z  ", list, ",");
    EXPECT_EQ(list, (std::vector<TIdTextPiece>{{"x", 3}, {"y", 6}, {"z", 10}}));
    SplitAtDelimiter("whole", list, ",");
    EXPECT_EQ(list, (std::vector<TIdTextPiece>{{"whole", 1}}));
}

TEST(TempFiles, UniqueFilesAndFailureRaises)
{
    QTemporaryDir dir;
    std::string base = dir.path().toStdString();
    std::string a = MakeTempFileName(base);
    std::string b = MakeTempFileName(base + "/");
    EXPECT_NE(a, b);
    for (const auto& p : {a, b}) {
        EXPECT_EQ(p.rfind(base + "/Stn", 0), 0u) << p;
        struct stat st {};
        EXPECT_EQ(stat(p.c_str(), &st), 0) << "the file is created";
    }
    EXPECT_EQ(IdTempDirectory().back(), '/');
    std::string own = MakeTempFileName();
    EXPECT_EQ(own.rfind(IdTempDirectory() + "Stn", 0), 0u);
    std::remove(own.c_str());
    EXPECT_THROW(MakeTempFileName(base + "/missing/dir"), EIdException);
}

TEST(ReadMemoryStream, ReadsSeeksAndNeverWrites)
{
    char data[] = "hello";
    TIdReadMemoryStream s(data, 5);
    char out[8] = {};
    EXPECT_EQ(s.Read(out, 3), 3);
    EXPECT_STREQ(out, "hel");
    EXPECT_EQ(s.Read(out, 10), 2);
    EXPECT_EQ(s.Read(out, 10), 0);
    EXPECT_EQ(s.Write("xy", 2), 0);
    EXPECT_STREQ(data, "hello");
    EXPECT_EQ(s.Seek(-2, TIdReadMemoryStream::soEnd), 3);
    s.SetPointer(data + 1, 2);
    EXPECT_EQ(s.Position(), 0);
    EXPECT_EQ(s.Size(), 2);
}

TEST(Locale, CharSetKindFollowsTheLanguage)
{
    std::string saved = getenv("LC_ALL") ? getenv("LC_ALL") : "";
    const std::pair<const char*, int> cases[] = {
        {"zh_CN.UTF-8", 0}, {"zh_TW.UTF-8", 1}, {"ja_JP", 2}, {"ko_KR.UTF-8", 3}, {"de_DE", 4}};
    for (auto [locale, kind] : cases) {
        setenv("LC_ALL", locale, 1);
        EXPECT_EQ(CharSetKindFromLocale(), kind) << locale;
    }
    if (saved.empty())
        unsetenv("LC_ALL");
    else
        setenv("LC_ALL", saved.c_str(), 1);
}

} // namespace
