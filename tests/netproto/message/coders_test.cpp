#include "netproto/core/id_global.h"
#include "netproto/message/id_coder_mime.h"
#include "netproto/message/id_coder_quoted_printable.h"
#include "netproto/message/id_coder_uue.h"
#include "netproto/message/id_coder_xxe.h"
#include "oracle_helpers.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

namespace {

std::string B64(std::string_view s)
{
    return TIdEncoder::EncodeText<TIdEncoderMIME>(s);
}
std::string UnB64(std::string_view s)
{
    return TIdDecoder::DecodeText<TIdDecoderMIME>(s);
}
std::string Qp(std::string_view s)
{
    return TIdEncoder::EncodeText<TIdEncoderQuotedPrintable>(s);
}
std::string UnQp(std::string_view s)
{
    return TIdDecoder::DecodeText<TIdDecoderQuotedPrintable>(s);
}

// The physical lines of a text, split at every CR and LF.
std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines(1);
    for (char c : text) {
        if (c == '\r' || c == '\n') {
            lines.emplace_back();
        } else {
            lines.back() += c;
        }
    }
    return lines;
}

// Text-like data: printable bytes, blanks and TABs (often before line ends),
// dots at line starts, 8-bit bytes and long lines.
std::string TextLike(unsigned seed)
{
    std::mt19937 gen(seed);
    static const std::string alphabet = "abc .=\t.\xE9\xFF?_~\x7F\x01";
    std::string out;
    const std::size_t lines = gen() % 6 + 1;
    for (std::size_t l = 0; l < lines; ++l) {
        const std::size_t len = gen() % 180;
        for (std::size_t i = 0; i < len; ++i) {
            out += alphabet[gen() % alphabet.size()];
        }
        if (l + 1 < lines || gen() % 2) {
            out += "\r\n";
        }
    }
    return out;
}

} // namespace

TEST(Base64Test, KnownTextsAndUnevenSizes)
{
    EXPECT_EQ(B64("abc"), "YWJj");
    EXPECT_EQ(B64("ab"), "YWI=");
    EXPECT_EQ(B64("a"), "YQ==");
    EXPECT_EQ(B64(""), "");
    EXPECT_EQ(UnB64("YWJj"), "abc");
    EXPECT_EQ(UnB64("YWI="), "ab");
    EXPECT_EQ(UnB64("YQ=="), "a");
    EXPECT_EQ(UnB64(""), "");
    try {
        UnB64("YWJjZ");
        FAIL() << "no error";
    } catch (const EIdException& e) {
        EXPECT_STREQ(e.what(), "Uneven size in DecodeToStream.");
    }
    TIdEncoderMIME encoder;
    std::istringstream in("abcdef");
    try {
        encoder.Encode(in, 4);
        FAIL() << "no error";
    } catch (const EIdException& e) {
        EXPECT_STREQ(e.what(), "Uneven size in Encode.");
    }
}

TEST(Base64Test, EncodeReadsAtMostTheCountFromTheStreamPosition)
{
    TIdEncoderMIME encoder;
    std::istringstream in("xxabcdefgh");
    in.seekg(2);
    EXPECT_EQ(encoder.Encode(in, 3), "YWJj");
    EXPECT_EQ(encoder.Encode(in, 30), "ZGVmZ2g=");
    EXPECT_EQ(encoder.Encode(in), "");

    TIdDecoderMIME decoder;
    std::ostringstream out("pre", std::ios::ate);
    decoder.DecodeToStream("YWJj", out);
    EXPECT_EQ(out.str(), "preabc");
}

TEST(Base64Test, CharacterOutsideTheAlphabetIsAnError)
{
    for (const char* bad : {"YW*j", "Y\xC3Jj", "YW J", "=WJj", "Y=Jj", "YWJj\r\n"}) {
        EXPECT_THROW(UnB64(bad), EIdException) << bad;
    }
}

TEST(Base64Test, MatchesPythonBothWays)
{
    std::vector<OracleRecord> records;
    for (unsigned n = 0; n < 80; ++n) {
        records.push_back({RandomBytes(n, n + 500)});
    }
    records.push_back({RandomBytes(5000, 3)});
    const auto encoded = AskPython("b64encode", records);
    ASSERT_EQ(encoded.size(), records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(B64(records[i][0]), encoded[i][0]);
        EXPECT_EQ(UnB64(encoded[i][0]), records[i][0]);
    }
}

TEST(UUETest, KnownLineAndPythonLines)
{
    EXPECT_EQ(TIdEncoder::EncodeText<TIdEncoderUUE>("abc"), "#86)C");
    std::vector<OracleRecord> records;
    for (unsigned n = 0; n <= 45; ++n) {
        records.push_back({RandomBytes(n, n + 900)});
    }
    const auto encoded = AskPython("uuencode", records);
    ASSERT_EQ(encoded.size(), records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(TIdEncoder::EncodeText<TIdEncoderUUE>(records[i][0]), encoded[i][0]);
        EXPECT_EQ(TIdDecoder::DecodeText<TIdDecoderUUE>(encoded[i][0]), records[i][0]);
    }
}

TEST(UUETest, BlanksDecodeAsZeroAndShortLinesAreExtended)
{
    // Older encoders write the value 0 as a blank and mailers cut trailing
    // blanks off.
    EXPECT_EQ(TIdDecoder::DecodeText<TIdDecoderUUE>("#86)C"), "abc");
    EXPECT_EQ(TIdDecoder::DecodeText<TIdDecoderUUE>("!80  "), "a");
    EXPECT_EQ(TIdDecoder::DecodeText<TIdDecoderUUE>("!80"), "a");
    EXPECT_EQ(TIdDecoder::DecodeText<TIdDecoderUUE>("#    "), std::string(3, '\0'));
    EXPECT_EQ(TIdDecoder::DecodeText<TIdDecoderUUE>("`"), "");
    EXPECT_EQ(TIdDecoder::DecodeText<TIdDecoderUUE>("#86)Cextra"), "abc");
    EXPECT_THROW(TIdDecoder::DecodeText<TIdDecoderUUE>("#86)c"), EIdException);
}

TEST(XXETest, RoundTripsEveryLineLength)
{
    EXPECT_EQ(TIdEncoder::EncodeText<TIdEncoderXXE>("abc"), "1MK7X");
    for (unsigned n = 0; n <= 45; ++n) {
        const std::string data = RandomBytes(n, n + 77);
        const std::string line = TIdEncoder::EncodeText<TIdEncoderXXE>(data);
        EXPECT_EQ(line.size(), 1 + (n + 2) / 3 * 4);
        EXPECT_EQ(line.find_first_not_of(IdXXETable), std::string::npos) << line;
        EXPECT_EQ(TIdDecoder::DecodeText<TIdDecoderXXE>(line), data);
    }
}

TEST(QuotedPrintableTest, KnownTexts)
{
    EXPECT_EQ(Qp("a=b"), "a=3Db");
    EXPECT_EQ(Qp("a \r\nb"), "a=20\r\nb");
    EXPECT_EQ(Qp("a\t\nb"), "a=09\nb");
    EXPECT_EQ(Qp(".a\r\n.b"), "=2Ea\r\n=2Eb");
    EXPECT_EQ(Qp("a.b"), "a.b");
    EXPECT_EQ(Qp(std::string("\xE9\x7F\x00", 3)), "=E9=7F=00");
    EXPECT_EQ(Qp(""), "");
    const std::string hundred(100, 'a');
    EXPECT_EQ(Qp(hundred), std::string(72, 'a') + "=\r\n" + std::string(28, 'a'));
    EXPECT_EQ(UnQp("abc=\r\ndef"), "abcdef");
    EXPECT_EQ(UnQp("=41"), "A");
    EXPECT_EQ(UnQp("=4a=4A"), "JJ");
    EXPECT_EQ(UnQp("a=\nb"), "ab");
    EXPECT_EQ(UnQp("a=3"), "a\x03");
    EXPECT_EQ(UnQp("a= b"), "a b");
    EXPECT_EQ(UnQp("trailing  \t\r\n"), "trailing\r\n");
}

TEST(QuotedPrintableTest, NoWhiteSpaceEndsALineAndCrLfStaysTogether)
{
    // A blank last in the text, or just before a soft break.
    EXPECT_EQ(Qp("a "), "a=20");
    EXPECT_EQ(Qp("a\t"), "a=09");
    EXPECT_EQ(Qp(std::string(71, 'a') + " b"), std::string(71, 'a') + " =\r\nb");
    // A CR LF arriving when the line is full is a hard break, not split.
    EXPECT_EQ(Qp(std::string(72, 'a') + "\r\nb"), std::string(72, 'a') + "\r\nb");
    EXPECT_EQ(Qp(std::string(71, 'a') + "\r\nb"), std::string(71, 'a') + "\r\nb");
    // No soft break at the very end.
    EXPECT_EQ(Qp(std::string(72, 'a')), std::string(72, 'a'));

    for (unsigned seed = 0; seed < 300; ++seed) {
        const std::string data = seed % 2 ? TextLike(seed) : RandomBytes(seed * 3, seed);
        const std::string encoded = Qp(data);
        for (const std::string& line : Lines(encoded)) {
            EXPECT_LE(line.size(), 76u) << seed;
            if (!line.empty()) {
                EXPECT_NE(line.back(), ' ') << seed;
                EXPECT_NE(line.back(), '\t') << seed;
            }
        }
        EXPECT_EQ(encoded.find("\r=\r\n\n"), std::string::npos) << seed;
        EXPECT_EQ(UnQp(encoded), data) << seed;
    }
}

TEST(QuotedPrintableTest, PythonDecodesOursAndWeDecodePythons)
{
    std::vector<OracleRecord> ours;
    std::vector<std::string> inputs;
    for (unsigned seed = 0; seed < 60; ++seed) {
        inputs.push_back(TextLike(seed + 1000));
        ours.push_back({Qp(inputs.back())});
    }
    const auto decoded = AskPython("qpdecode", ours);
    ASSERT_EQ(decoded.size(), ours.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        ASSERT_EQ(decoded[i].size(), 2u);
        EXPECT_EQ(decoded[i][0], inputs[i]) << i;
        EXPECT_EQ(decoded[i][1], inputs[i]) << i;
    }

    std::vector<OracleRecord> plain;
    for (unsigned seed = 0; seed < 60; ++seed) {
        std::string text = TextLike(seed + 2000);
        for (std::size_t p; (p = text.find("\r\n")) != std::string::npos;) {
            text.replace(p, 2, "\n");
        }
        plain.push_back({text});
    }
    const auto theirs = AskPython("qpencode", plain);
    ASSERT_EQ(theirs.size(), plain.size());
    for (std::size_t i = 0; i < plain.size(); ++i) {
        EXPECT_EQ(UnQp(theirs[i][0]), plain[i][0]) << theirs[i][0];
    }
}
