#include "netproto/message/id_hash_message_digest.h"
#include "oracle_helpers.h"
#include "support/test_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

std::string Md4Hex(std::string_view text)
{
    TIdHashMessageDigest4 md4;
    return TIdHash128::DigestToHex(md4.HashText(text));
}

std::string Md5Hex(std::string_view text)
{
    TIdHashMessageDigest5 md5;
    return TIdHash128::DigestToHex(md5.HashText(text));
}

std::string Lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

// Lengths around the padding edges and a spread up to 200.
std::vector<std::size_t> TestLengths()
{
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 200; n += (n < 130 ? 1 : 7)) {
        lengths.push_back(n);
    }
    return lengths;
}

} // namespace

TEST(DigestTest, RfcVectorsInUpperCaseHex)
{
    const std::string digits =
        "12345678901234567890123456789012345678901234567890123456789012345678901234567890";
    const std::string alnum = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    EXPECT_EQ(Md4Hex(""), "31D6CFE0D16AE931B73C59D7E0C089C0");
    EXPECT_EQ(Md4Hex("a"), "BDE52CB31DE33E46245E05FBDBD6FB24");
    EXPECT_EQ(Md4Hex("abc"), "A448017AAF21D8525FC10AE87AA6729D");
    EXPECT_EQ(Md4Hex("message digest"), "D9130A8164549FE818874806E1C7014B");
    EXPECT_EQ(Md4Hex("abcdefghijklmnopqrstuvwxyz"), "D79E1C308AA5BBCDEEA8ED63DF412DA9");
    EXPECT_EQ(Md4Hex(alnum), "043F8582F241DB351CE627E153E7F0E4");
    EXPECT_EQ(Md4Hex(digits), "E33B4DDC9C38F2199C3E7B164FCC0536");

    EXPECT_EQ(Md5Hex(""), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(Md5Hex("a"), "0CC175B9C0F1B6A831C399E269772661");
    EXPECT_EQ(Md5Hex("abc"), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(Md5Hex("message digest"), "F96B697D7CB7938D525A2F31AAF161D0");
    EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "C3FCD3D76192E4007DFB496CCA67E13B");
    EXPECT_EQ(Md5Hex(alnum), "D174AB98D277D9F5A5611C2C9F419D9F");
    EXPECT_EQ(Md5Hex(digits), "57EDF4A22BE3C955AC49DA2E2107B67A");
}

TEST(DigestTest, ApopDigestInLowerCase)
{
    // The APOP example of RFC 1939.
    TIdHashMessageDigest5 md5;
    const auto digest = md5.HashText("<1896.697170952@dbc.mtview.ca.us>tanstaaf");
    EXPECT_EQ(TIdHash128::DigestToHexLower(digest), "c4c9334bac560ecc979e58001b3e22fb");
}

TEST(DigestTest, StreamPositionedInItsMiddleDigestsOnlyTheRest)
{
    std::istringstream stream("0123456789abc");
    stream.seekg(10);
    TIdHashMessageDigest5 md5;
    EXPECT_EQ(TIdHash128::DigestToHex(md5.HashStream(stream)), Md5Hex("abc"));
    EXPECT_TRUE(stream.eof());
    TIdHashMessageDigest4 md4;
    stream.clear();
    stream.seekg(10);
    EXPECT_EQ(TIdHash128::DigestToHex(md4.HashStream(stream)), Md4Hex("abc"));
    // A stream already at its end has nothing left, whatever it read before.
    EXPECT_EQ(TIdHash128::DigestToHex(md5.HashStream(stream)), Md5Hex(""));
    std::istringstream fresh("0123456789abc");
    char buf[5];
    fresh.read(buf, 5);
    fresh.setstate(std::ios::failbit);
    EXPECT_EQ(TIdHash128::DigestToHex(md5.HashStream(fresh)), Md5Hex(""));
}

TEST(DigestTest, Md5MatchesPythonAcrossPaddingEdges)
{
    std::vector<OracleRecord> records;
    for (std::size_t n : TestLengths()) {
        records.push_back({RandomBytes(n, static_cast<unsigned>(n) + 1)});
    }
    records.push_back({RandomBytes(100000, 7)});
    const auto answers = AskPython("md5", records);
    ASSERT_EQ(answers.size(), records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        ASSERT_EQ(answers[i].size(), 1u);
        EXPECT_EQ(Lower(Md5Hex(records[i][0])), answers[i][0]) << records[i][0].size() << " bytes";
    }
}

TEST(DigestTest, Md4MatchesOpensslAcrossPaddingEdges)
{
    if (std::system("openssl dgst -md4 -provider legacy -provider default </dev/null "
                    ">/dev/null 2>&1") != 0) {
        SKIP_WITHOUT_TOOL("openssl on this machine has no MD4");
    }
    const std::string dir = MakeScratchDir();
    std::string files;
    std::vector<std::string> inputs;
    auto lengths = TestLengths();
    lengths.push_back(100000);
    for (std::size_t n : lengths) {
        inputs.push_back(RandomBytes(n, static_cast<unsigned>(n) + 99));
        const std::string path = dir + "/in" + std::to_string(inputs.size() - 1);
        std::ofstream(path, std::ios::binary) << inputs.back();
        files += " " + path;
    }
    const std::string out =
        RunShell("openssl dgst -md4 -provider legacy -provider default -r" + files);
    std::filesystem::remove_all(dir);
    std::istringstream lines(out);
    std::string line;
    std::size_t i = 0;
    for (; std::getline(lines, line) && i < inputs.size(); ++i) {
        EXPECT_EQ(Lower(Md4Hex(inputs[i])), line.substr(0, 32)) << inputs[i].size() << " bytes";
    }
    EXPECT_EQ(i, inputs.size());
}
