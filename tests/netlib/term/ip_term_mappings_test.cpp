#include "netlib/term/ip_term_mappings.h"
#include "netlib/term/ip_term_oem.h"
#include "netlib/term/term_helpers.h"
#include "support/test_host.h"

#include <QTemporaryDir>
#include <fstream>
#include <gtest/gtest.h>

namespace {

std::string TempFile(const QTemporaryDir& dir, const std::string& name, const std::string& text)
{
    const std::string path = dir.path().toStdString() + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

TEST(IpKeyboardMapping, BuiltInTableAndLookups)
{
    TIpKeyboardMapping map;
    map.LoadFromRes(IpProgramResources(), "IPVT100KEYMAP");
    EXPECT_EQ(map.Count(), 221);
    EXPECT_EQ(map.Get("DEC_UP1"), "\\e[A");
    EXPECT_EQ(map.Get("\\x0D"), "VK_RETURN");
    EXPECT_EQ(map.Get("\\x87"), "VK_F24");
    EXPECT_EQ(map.Get("ctrl+VK_DECIMAL"), "DEC_KP,k");
    EXPECT_EQ(map.Get("DEC_KP74"), "\\e?w");
    EXPECT_EQ(map.Get("nothing"), "");
    EXPECT_FALSE(map.Add("DEC_UP1", "other"));
    EXPECT_EQ(map.Get("DEC_UP1"), "\\e[A");
    EXPECT_TRUE(map.Add(std::string(100, 'k'), "v"));
    EXPECT_EQ(map.Get(std::string(63, 'k')), "v");
}

TEST(IpKeyboardMapping, TextAndBinaryFormsRoundTrip)
{
    QTemporaryDir dir;
    TIpKeyboardMapping map;
    map.LoadFromFile(TempFile(dir, "keys.txt",
                              "* a comment\r\n"
                              "  \\x26   VK_UP   trailing words\r\n"
                              "\r\n"
                              "lonely\n"
                              "VK_UP DEC_UPc\n"
                              "VK_UP again\n"));
    EXPECT_EQ(map.Count(), 2);
    EXPECT_EQ(map.Get("\\x26"), "VK_UP");
    EXPECT_EQ(map.Get("VK_UP"), "DEC_UPc");

    const std::string bin = dir.path().toStdString() + "/keys.bin";
    map.StoreToBinFile(bin);
    TIpResourceModule module;
    std::string data;
    std::ifstream in(bin, std::ios::binary);
    data.assign(std::istreambuf_iterator<char>(in), {});
    module.Add("K", data);
    TIpKeyboardMapping copy;
    copy.LoadFromRes(module, "K");
    EXPECT_EQ(copy.StoreToBinary(), data);
    EXPECT_EQ(data.substr(0, 4), "AHT3");
    EXPECT_EQ(data.substr(data.size() - 4), "AHT3");
}

TEST(IpKeyboardMapping, BinaryLoaderChecksCountsAndSizes)
{
    TIpKeyboardMapping map;
    map.Add("key", "value");
    const std::string good = map.StoreToBinary();
    TIpKeyboardMapping t;
    EXPECT_TRUE(t.LoadFromBinary(good));
    EXPECT_EQ(t.Count(), 1);

    std::string badCount = good;
    badCount[4] = 2; // one record more than the data holds
    EXPECT_FALSE(t.LoadFromBinary(badCount));
    EXPECT_EQ(t.Count(), 0);
    badCount[4] = '\xff';
    badCount[7] = '\x7f';
    EXPECT_FALSE(t.LoadFromBinary(badCount));
    std::string badLength = good;
    badLength[8] = '\xff'; // a key running past the end
    EXPECT_FALSE(t.LoadFromBinary(badLength));
    std::string badTail = good;
    badTail.back() = 'X';
    EXPECT_FALSE(t.LoadFromBinary(badTail));
    EXPECT_EQ(t.Count(), 0);
    EXPECT_FALSE(t.LoadFromBinary("AHT"));
    for (size_t cut = 0; cut < good.size(); ++cut)
        EXPECT_FALSE(t.LoadFromBinary(good.substr(0, cut))) << cut;
}

TEST(IpCharSetMapping, BuiltInTableScriptsAndFonts)
{
    TIpCharSetMapping map;
    map.LoadFromRes(IpProgramResources(), "IPVT100CHARSET");
    EXPECT_EQ(map.Count(), 603);
    std::string font, text;
    map.GenerateDrawScript("VT100-UK", "a#b");
    ASSERT_TRUE(map.GetNextDrawCommand(font, text));
    EXPECT_EQ(font, "<Default>");
    EXPECT_EQ(text, "a\xa3"
                    "b");
    EXPECT_FALSE(map.GetNextDrawCommand(font, text));
    map.GenerateDrawScript("VT100-linedraw", "aq");
    ASSERT_TRUE(map.GetNextDrawCommand(font, text));
    EXPECT_EQ(font, "Terminal");
    EXPECT_EQ(text, "\xb1\xc4");
    map.GenerateDrawScript("VT100-USASCII", "ab\xe9\xea"
                                            "c");
    std::vector<std::pair<std::string, std::string>> runs;
    while (map.GetNextDrawCommand(font, text))
        runs.emplace_back(font, text);
    EXPECT_EQ(runs, (std::vector<std::pair<std::string, std::string>>{
                        {"<Default>", "ab"}, {"Terminal", "\xe9\xea"}, {"<Default>", "c"}}));
    std::vector<std::string> fonts;
    map.GetFontNames(fonts);
    EXPECT_EQ(fonts, std::vector<std::string>{"Terminal"});
}

TEST(IpCharSetMapping, TextLoaderTakesOnlyIndentedValidLines)
{
    QTemporaryDir dir;
    TIpCharSetMapping map;
    map.LoadFromFile(TempFile(dir, "sets.txt",
                              " VT100-UK # # <Default> \\xA3\n"
                              "VT100-UK $ $ <Default> \\xA4\n"
                              " 'My Set' a c \"Some Font\" A extra\n"
                              " Bad \\x4 \\x41 F A\n"
                              " Bad '' a F A\n"
                              " Bad 'a a F A\n"
                              " Short a b F\n"));
    EXPECT_EQ(map.Count(), 4);
    EXPECT_FALSE(map.Add("My Set", 'b', 'b', "F", 'x'));
    EXPECT_FALSE(map.Add("My Set", 'c', 'e', "F", 'x'));
    EXPECT_EQ(map.Count(), 4);
    std::string font, text;
    map.GenerateDrawScript("My Set", "abc");
    ASSERT_TRUE(map.GetNextDrawCommand(font, text));
    EXPECT_EQ(font, "Some Font");
    EXPECT_EQ(text, "ABC");
    TIpCharSetMapping copy;
    EXPECT_TRUE(copy.LoadFromBinary(map.StoreToBinary()));
    EXPECT_EQ(copy.StoreToBinary(), map.StoreToBinary());
    std::string cut = map.StoreToBinary();
    cut.resize(cut.size() - 6);
    EXPECT_FALSE(copy.LoadFromBinary(cut));
    EXPECT_EQ(copy.Count(), 0);
}

TEST(IpCharSetMapping, OemGlyphsMatchPythonsCodePage437)
{
    const std::string decoded = RunCommand(
        "python3 -c \"import sys; sys.stdout.write(bytes(range(128, 256)).decode('cp437'))\"");
    if (decoded.empty())
        SKIP_WITHOUT_TOOL("python3 is not available");
    const QString expected = QString::fromUtf8(decoded.data(), qsizetype(decoded.size()));
    ASSERT_EQ(expected.size(), 128);
    std::string high;
    for (int c = 128; c < 256; ++c)
        high.push_back(char(c));
    EXPECT_EQ(IpOemToQt(high), expected);

    // The line-drawing set paints DEC's glyphs: q is a horizontal line, x a
    // vertical one, l, k, j, m the corners.
    TIpCharSetMapping map;
    IpBuildVT100CharSet(map);
    map.GenerateDrawScript("VT100-linedraw", "qxlkjmn`a~");
    std::string font, glyphs;
    ASSERT_TRUE(map.GetNextDrawCommand(font, glyphs));
    EXPECT_EQ(IpOemToQt(glyphs), QString::fromUtf8("─│┌┐┘└┼♦▒·"));
}

} // namespace
