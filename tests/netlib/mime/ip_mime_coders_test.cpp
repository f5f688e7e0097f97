#include "mime_helpers.h"
#include "netlib/mime/ip_mime_coders.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <random>
#include <sstream>

namespace {

std::string ErrorOf(TIpMimeEncodingMethod method, const std::string& body)
{
    return ErrorText([&] { DecodeWith(method, body); });
}

// Text in CR LF lines, as the line coders carry it.
std::string RandomText(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string out;
    while (out.size() < n) {
        const size_t len = gen() % 120;
        for (size_t i = 0; i < len; ++i)
            out += char(32 + gen() % 95);
        out += "\r\n";
    }
    return out;
}

TEST(IpMimeCoders, EveryCoderGivesBackWhatItWasGiven)
{
    for (unsigned seed = 1; seed <= 40; ++seed) {
        const size_t size = seed % 8 == 0 ? 45 * seed : (seed * 977) % 5000;
        const std::string binary = RandomBytes(size, seed);
        for (auto method : {emBase64, emUUEncode, emBinHex})
            ASSERT_EQ(DecodeWith(method, EncodeWith(method, binary)), binary)
                << "method " << method << " size " << size;
        // Quoted-printable carries text: every byte, but line ends as CR LF.
        std::string lines;
        for (char c : binary)
            lines += c == '\r'   ? std::string("\r\n")
                     : c == '\n' ? std::string()
                                 : std::string(1, c);
        ASSERT_EQ(DecodeWith(emQuoted, EncodeWith(emQuoted, lines)), lines) << size;
        const std::string text = RandomText(size, seed);
        for (auto method : {em7Bit, em8Bit, emBinary, emUnknown})
            ASSERT_EQ(DecodeWith(method, EncodeWith(method, text)), text) << method;
    }
}

TEST(IpMimeCoders, Base64SkipsNoiseAndDecodesShortGroups)
{
    EXPECT_EQ(DecodeWith(emBase64, "QUJD"), "ABC");
    EXPECT_EQ(DecodeWith(emBase64, "QU\r\nJ*D\r\n"), "ABC");
    EXPECT_EQ(DecodeWith(emBase64, "QQ==QUJD"), "A");
    EXPECT_EQ(DecodeWith(emBase64, "QUI"), "AB");
    const std::string body = EncodeWith(emBase64, std::string(200, 'x'));
    EXPECT_EQ(body.substr(76, 2), "\r\n");
    EXPECT_EQ(IpBase64EncodeString(""), "");
    EXPECT_EQ(IpBase64EncodeString(std::string(100, 'a')).find('\n'), std::string::npos);
}

TEST(IpMimeCoders, QuotedPrintableKeepsEveryLineBreakAndByte)
{
    // A lone LF is a line break, as CR LF is.
    EXPECT_EQ(EncodeWith(emQuoted, "one\ntwo\r\nthree"), "one\r\ntwo\r\nthree");
    // A blank before a real break is protected; 8-bit bytes are coded.
    EXPECT_EQ(EncodeWith(emQuoted, "end \r\n\xE9t\xE9=\r\n"), "end=20\r\n=E9t=E9=3D\r\n");
    // A word longer than a line is carried by soft breaks, never cut.
    const std::string word(200, 'w');
    const std::string body = EncodeWith(emQuoted, word + "\r\n");
    std::istringstream lines(body);
    std::string line;
    while (std::getline(lines, line))
        EXPECT_LE(line.size(), 77u) << line;
    EXPECT_EQ(DecodeWith(emQuoted, body), word + "\r\n");
    // Decoding keeps raw 8-bit bytes and goes on past an empty line.
    EXPECT_EQ(DecodeWith(emQuoted, "caf\xE9\r\n\r\nsecond=\r\n line  \r\n"),
              "caf\xE9\r\n\r\nsecond line\r\n");
    EXPECT_EQ(DecodeWith(emQuoted, "=4a=4B=zz"), "JK=zz");
    EXPECT_EQ(ErrorOf(emQuoted, std::string(1000, 'a')), "Invalid line length for encoded text");
}

TEST(IpMimeCoders, UuencodeAlwaysClosesAndSkipsItsBeginLine)
{
    // 90 bytes fill two whole lines: the closing lines still come.
    const std::string body = EncodeWith(emUUEncode, std::string(90, 'u'), "dir/u.bin");
    EXPECT_EQ(body.substr(0, 18), "begin 600 u.bin\r\nM");
    EXPECT_EQ(body.substr(body.size() - 8), "`\r\nend\r\n");
    EXPECT_EQ(EncodeWith(emUUEncode, "", "e"), "");
    EXPECT_EQ(DecodeWith(emUUEncode, "begin 644 x\r\n#86)C\r\n`\r\nend\r\n"), "abc");
    EXPECT_EQ(ErrorOf(emUUEncode, "begin 644 x\r\nM86)C\r\n"), "Count <> Len or Count > 63");
}

TEST(IpMimeCoders, UuencodeAgreesWithSharutils)
{
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString();
    for (const size_t size : {1u, 44u, 45u, 46u, 90u, 3001u}) {
        const std::string data = RandomBytes(size, unsigned(size) + 5);
        WriteFile(path + "/ours.uu", EncodeWith(emUUEncode, data, "ours.bin"));
        RunShell("cd " + path + " && uudecode -o decoded.bin ours.uu");
        EXPECT_EQ(ReadFile(path + "/decoded.bin"), data) << size;
        WriteFile(path + "/theirs.bin", data);
        RunShell("cd " + path + " && uuencode theirs.bin theirs.bin > theirs.uu");
        EXPECT_EQ(DecodeWith(emUUEncode, ReadFile(path + "/theirs.uu")), data) << size;
    }
}

TEST(IpMimeCoders, BinHexCrcEqualsPythonsCrcHqx)
{
    std::vector<std::string> samples{"", "A", "123456789", RandomBytes(1000, 9)};
    std::string command = OracleCommand() + " crc";
    for (const auto& s : samples) {
        std::string hex;
        for (unsigned char c : s) {
            static constexpr char digits[] = "0123456789abcdef";
            hex += digits[c >> 4];
            hex += digits[c & 15];
        }
        command += " " + (hex.empty() ? std::string("-") : hex);
    }
    std::istringstream answers(RunShell(command));
    for (const auto& s : samples) {
        unsigned expected = 0;
        answers >> expected;
        EXPECT_EQ(IpBinHexCrc(s), expected);
    }
}

TEST(IpMimeCoders, BinHexNamesFitTheFormatAndDamageIsReported)
{
    const std::string name(100, 'n');
    const std::string body = EncodeWith(emBinHex, "data\x90\x90\x90\x90 runs", name);
    EXPECT_EQ(body.rfind("(This file must be converted with BinHex 4.0)\r\n:", 0), 0u);
    EXPECT_EQ(DecodeWith(emBinHex, body), "data\x90\x90\x90\x90 runs");
    // The first decoded byte is the name's length.
    const std::string header = "(This file must be converted with BinHex 4.0)\r\n";
    EXPECT_EQ(body[header.size() + 1], IpBinHexTable[63 >> 2]);

    std::string damaged = body;
    damaged[header.size() + 20] = damaged[header.size() + 20] == 'a' ? 'b' : 'a';
    EXPECT_EQ(ErrorOf(emBinHex, damaged), "Bad header CRC");
    EXPECT_EQ(ErrorOf(emBinHex, "no header"), "Invalid BinHex format");
    EXPECT_EQ(ErrorOf(emBinHex, header + "x"), "\":\" expected");
    EXPECT_EQ(ErrorOf(emBinHex, header + ":!!!"), "\":\" expected");
    EXPECT_EQ(ErrorOf(emBinHex, header + ":!!!!!:"), "One odd character");
    EXPECT_EQ(ErrorOf(emBinHex, header + ":~:"), "Invalid BinHex character");
}

TEST(IpMimeCoders, ProgressComesInTenPercentStepsAndAbortStops)
{
    TIpMessage message;
    std::vector<int> reports;
    message.OnCodingProgress = [&](TIpMimeEntity*, uint8_t progress, bool& abort) {
        reports.push_back(progress);
        abort = progress >= 50;
    };
    TIpMimeEntity* part = message.NewMimePart();
    part->ContentTransferEncoding = emBase64;
    TIpMemoryStream data;
    data.WriteString(RandomBytes(2000000, 4));
    part->EncodeBodyStream(data, "big.bin");
    ASSERT_FALSE(reports.empty());
    EXPECT_GE(reports.front(), 10);
    EXPECT_GE(reports.back(), 50);
    for (size_t i = 1; i < reports.size(); ++i)
        EXPECT_GT(reports[i] / 10, reports[i - 1] / 10);
    // Stopped at half: the body holds about half the data, coded.
    EXPECT_LT(part->Body().GetSize(), 2000000 * 4 / 3 * 6 / 10);
}

} // namespace
