#include "netproto/message/id_header_coder.h"
#include "oracle_helpers.h"

#include <gtest/gtest.h>

#include <random>

namespace {

std::string Latin1Text(std::mt19937& gen)
{
    static const std::vector<std::string> words = {
        "caf\xE9",
        "na\xEFve",
        "plain",
        "\xC0 la",
        "=?",
        "x_y",
        "100%",
        "(paren)",
        "\xFF\xFE",
        "a,b",
        "question?",
        "tab\there",
        "\xE9\xE8\xEA\xEB\xE9\xE8\xEA\xEB\xE9\xE8\xEA\xEB"};
    std::string out;
    const std::size_t n = gen() % 14 + 1;
    for (std::size_t i = 0; i < n; ++i) {
        if (i) {
            out += ' ';
        }
        out += words[gen() % words.size()];
    }
    return out;
}

// Random JIS X 0208 characters (hiragana, katakana, first-level kanji)
// mixed with ASCII, as Shift-JIS.
std::string ShiftJisText(std::mt19937& gen)
{
    std::string jis;
    bool twoByte = false;
    const std::size_t n = gen() % 30 + 1;
    for (std::size_t i = 0; i < n; ++i) {
        if (gen() % 4 == 0) {
            if (twoByte) {
                jis += "\x1B(B";
                twoByte = false;
            }
            jis += static_cast<char>('A' + gen() % 26);
            continue;
        }
        if (!twoByte) {
            jis += "\x1B$B";
            twoByte = true;
        }
        const unsigned kind = gen() % 3;
        unsigned row = kind == 0 ? 0x24 : kind == 1 ? 0x25 : 0x30 + gen() % 0x1F;
        unsigned cell = kind == 0   ? 0x21 + gen() % 0x53
                        : kind == 1 ? 0x21 + gen() % 0x56
                                    : 0x21 + gen() % 0x5E;
        jis += static_cast<char>(row);
        jis += static_cast<char>(cell);
    }
    if (twoByte) {
        jis += "\x1B(B";
    }
    return JisToShiftJis(jis);
}

} // namespace

TEST(HeaderCoderTest, DecodesKnownWords)
{
    EXPECT_EQ(DecodeHeaderWords("=?ISO-8859-1?Q?caf=E9?="), "caf\xE9");
    EXPECT_EQ(DecodeHeaderWords("Re: =?iso-8859-1?q?caf=E9_au_lait?= now"),
              "Re: caf\xE9 au lait now");
    EXPECT_EQ(DecodeHeaderWords("=?ISO-8859-1?B?YWI=?=x"), "abx");
    EXPECT_EQ(DecodeHeaderWords("=?ISO-8859-1?B?YQ==?="), "a");
    EXPECT_EQ(DecodeHeaderWords("=?windows-1252?B?gA==?="), "\x80");
    EXPECT_EQ(DecodeHeaderWords("plain text, no words"), "plain text, no words");
    // A WINDOWS word before an ISO word stays: the search moves past it.
    EXPECT_EQ(DecodeHeaderWords("=?WINDOWS-1252?Q?a?= =?ISO-8859-1?Q?b?="),
              "=?WINDOWS-1252?Q?a?= b");
    // Not decoded: other charsets and unclosed words.
    EXPECT_EQ(DecodeHeaderWords("=?UTF-8?Q?x?="), "=?UTF-8?Q?x?=");
    EXPECT_EQ(DecodeHeaderWords("=?ISO-8859-1?Q?open"), "=?ISO-8859-1?Q?open");
    // White space between two encoded words belongs to neither.
    EXPECT_EQ(DecodeHeaderWords("=?ISO-8859-1?Q?a?=\r\n\t=?ISO-8859-1?Q?b?= c"), "ab c");
    // A decoded word is not decoded a second time.
    EXPECT_EQ(DecodeHeaderWords("=?ISO-8859-1?Q?=3D=3FISO-8859-1=3FQ=3Fx=3F=3D?="),
              "=?ISO-8859-1?Q?x?=");
}

TEST(HeaderCoderTest, MalformedQEscapeLeavesTheWordAlone)
{
    EXPECT_EQ(DecodeHeaderWords("a =?ISO-8859-1?Q?b=ZZc?= =?ISO-8859-1?Q?d=E9?="),
              "a =?ISO-8859-1?Q?b=ZZc?= d\xE9");
    // An "=" without two following characters stays.
    EXPECT_EQ(DecodeHeaderWords("=?ISO-8859-1?Q?ab=E?="), "ab=E");
}

TEST(HeaderCoderTest, EncodesRunsOfWordsThatNeedIt)
{
    EXPECT_EQ(EncodeHeaderWords("plain ascii", "", TTransfer::bit7, 'Q', "ISO-8859-1"),
              "plain ascii");
    EXPECT_EQ(EncodeHeaderWords("Re: caf\xE9 na\xEFve ok", "", TTransfer::bit7, 'Q', "ISO-8859-1"),
              "Re: =?ISO-8859-1?Q?caf=E9_na=EFve?= ok");
    EXPECT_EQ(EncodeHeaderWords("\xE9=?_", "", TTransfer::bit7, 'Q', "ISO-8859-1"),
              "=?ISO-8859-1?Q?=E9=3D=3F=5F?=");
    EXPECT_EQ(EncodeHeaderWords("ab\xE9", "", TTransfer::bit7, 'B', "ISO-8859-1"),
              "=?ISO-8859-1?B?YWLp?=");
    EXPECT_EQ(EncodeHeaderWords("caf\xE9", "", TTransfer::bit7, '8', "ISO-8859-1"), "caf\xE9");
    const std::string longRun(100, '\xE9');
    const std::string encoded = EncodeHeaderWords(longRun, "", TTransfer::bit7, 'Q', "ISO-8859-1");
    std::size_t start = 0;
    for (std::size_t end; (end = encoded.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
        EXPECT_LE(end - start, 76u);
    }
    EXPECT_EQ(DecodeHeaderWords(encoded), longRun);
}

TEST(HeaderCoderTest, AgreesWithPythonBothWays)
{
    std::mt19937 gen(11);
    std::vector<OracleRecord> ours;
    std::vector<OracleRecord> plain;
    std::vector<std::string> texts;
    for (int i = 0; i < 60; ++i) {
        texts.push_back(Latin1Text(gen));
        const char enc = i % 2 ? 'B' : 'Q';
        ours.push_back({EncodeHeaderWords(texts.back(), "", TTransfer::bit7, enc, "ISO-8859-1")});
        plain.push_back({texts.back(), i % 3 ? "iso-8859-1" : "windows-1252"});
    }
    const auto decoded = AskPython("decode_header", ours);
    const auto theirs = AskPython("header_encode", plain);
    ASSERT_EQ(decoded.size(), texts.size());
    ASSERT_EQ(theirs.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        EXPECT_EQ(decoded[i][0], texts[i]) << ours[i][0];
        EXPECT_EQ(DecodeHeaderWords(theirs[i][0]), texts[i]) << theirs[i][0];
    }
}

TEST(HeaderCoderTest, FormatsAddresses)
{
    TIdEMailAddressList list;
    list.Add().Address = "a@x.org";
    auto& b = list.Add();
    b.Address = "b@x.org";
    b.Name = "Say \"hi\\";
    auto& c = list.Add();
    c.Address = "c@x.org";
    c.Name = "M\xFCller, Hans";
    const std::string text = FormatAddressList(list, 'Q', TTransfer::bit7, "ISO-8859-1");
    EXPECT_EQ(text, "a@x.org, \"Say \\\"hi\\\\\" <b@x.org>, "
                    "=?ISO-8859-1?Q?M=FCller=2C?= Hans <c@x.org>");
    const auto decoded =
        AskPython("decode_header", {{FormatAddressItem(c, 'B', TTransfer::bit7, "ISO-8859-1")}});
    ASSERT_EQ(decoded.size(), 1u);
    EXPECT_EQ(decoded[0][0], "M\xFCller, Hans <c@x.org>");
}

TEST(HeaderCoderTest, DefaultCharsetByLanguage)
{
    struct Row {
        int kind;
        const char* charset;
        char encoding;
        TTransfer transfer;
    };
    for (const Row& row :
         {Row{0, "GB2312", 'B', TTransfer::bit7}, Row{1, "Big5", 'B', TTransfer::bit7},
          Row{2, "ISO-2022-JP", 'B', TTransfer::iso2022jp}, Row{3, "EUC-KR", 'B', TTransfer::bit7},
          Row{4, "ISO-8859-1", 'Q', TTransfer::bit7}}) {
        TTransfer transfer;
        char encoding;
        std::string charset;
        DefaultHeaderCharsetFor(row.kind, transfer, encoding, charset);
        EXPECT_EQ(charset, row.charset);
        EXPECT_EQ(encoding, row.encoding);
        EXPECT_EQ(transfer, row.transfer);
    }
}

TEST(HeaderCoderTest, JisAndShiftJisAgreeWithPython)
{
    std::mt19937 gen(5);
    std::vector<OracleRecord> sjis;
    for (int i = 0; i < 80; ++i) {
        sjis.push_back({ShiftJisText(gen)});
    }
    // Half-width katakana, alone and with voiced and semi-voiced marks.
    sjis.push_back({"\xB6\xDE\xCA\xDF\xB3\xDE\xA1\xA2\xB1ok"});
    std::string allKana;
    for (int c = 0xA1; c < 0xDE; ++c) {
        allKana += static_cast<char>(c);
    }
    sjis.push_back({allKana});
    const auto jis = AskPython("sjis_to_jis_nfkc", sjis);
    ASSERT_EQ(jis.size(), sjis.size());
    std::vector<OracleRecord> jisRecords;
    for (std::size_t i = 0; i < sjis.size(); ++i) {
        EXPECT_EQ(ShiftJisToJis(sjis[i][0]), jis[i][0]) << i;
        jisRecords.push_back({jis[i][0]});
    }
    const auto back = AskPython("jis_to_sjis", jisRecords);
    ASSERT_EQ(back.size(), jisRecords.size());
    for (std::size_t i = 0; i < jisRecords.size(); ++i) {
        EXPECT_EQ(JisToShiftJis(jisRecords[i][0]), back[i][0]) << i;
    }
    // Marks that join no letter stand alone (Python makes them combining
    // characters, which JIS cannot hold).
    EXPECT_EQ(ShiftJisToJis("\xB1\xDE\xDF"), "\x1B$B\x25\x22\x21\x2B\x21\x2C\x1B(B");
    // A lone last byte in two-byte mode is dropped.
    EXPECT_EQ(JisToShiftJis("\x1B$B\x30\x21\x30"), "\x88\x9F");
}

TEST(HeaderCoderTest, JapaneseHeaderRoundTrip)
{
    std::mt19937 gen(9);
    for (int i = 0; i < 20; ++i) {
        const std::string text = ShiftJisText(gen);
        const std::string encoded =
            EncodeHeaderWords(text, "", TTransfer::iso2022jp, 'B', "ISO-2022-JP");
        EXPECT_EQ(DecodeHeaderWords(encoded), text) << encoded;
    }
}
