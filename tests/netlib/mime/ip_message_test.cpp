#include "mime_helpers.h"
#include "netlib/mime/ip_message.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <filesystem>
#include <set>

namespace {

namespace fs = std::filesystem;

void LoadText(TIpMessage& message, const std::string& text)
{
    TIpMemoryStream stream;
    stream.WriteString(text);
    message.LoadFromStream(stream);
}

std::string SavedText(TIpMessage& message)
{
    message.EncodeMessage();
    TIpMemoryStream out;
    message.SaveToStream(out);
    return out.Data();
}

class IpMessageFiles : public testing::Test {
protected:
    std::string Dir() const { return FDir.path().toStdString(); }
    std::string Path(const std::string& name) const { return Dir() + "/" + name; }
    QTemporaryDir FDir;
};

// Mail that Python's email package writes, read by our model: the same
// leaves, file names and decoded bytes as Python's own reading.
TEST_F(IpMessageFiles, ReadsWhatPythonWrites)
{
    RunShell(OracleCommand() + " make " + Dir());
    int cases = 0;
    for (const auto& entry : fs::directory_iterator(Dir())) {
        if (entry.path().extension() != ".eml")
            continue;
        ++cases;
        TIpMailMessage message;
        message.LoadFromFile(entry.path().string());
        auto expected = ParseLeaves(ReadFile(fs::path(entry.path()).replace_extension(".expect")));
        EXPECT_EQ(Leaves(message), expected) << entry.path();
        EXPECT_EQ(message.From, "Alice Sender <alice@example.org>");
        EXPECT_EQ(message.MailTo,
                  (std::vector<std::string>{"bob@example.org", "Carol <carol@example.net>"}));
        // Saved again, the message reads the same in Python.
        message.SaveToFile(Path("again.msg"));
        const std::string again = RunShell(OracleCommand() + " read " + Path("again.msg"));
        EXPECT_EQ(ParseLeaves(again), expected) << entry.path();
        EXPECT_NE(again.find("defects 0"), std::string::npos) << again;
    }
    EXPECT_EQ(cases, 7);
}

// The mail the fax gateway writes: pages as attachments, a line of text,
// read back by Python (no defects) and by munpack.
TEST_F(IpMessageFiles, WritesWhatPythonAndMunpackRead)
{
    const std::vector<std::pair<std::string, std::string>> files{
        {"Page1.BMP", RandomBytes(30000, 1)},
        {"page 2.bmp", RandomBytes(7, 2)},
        {"notes.txt", "first line\r\nsecond \xE9 line\r\n"},
        {"say \"hi\".bin", RandomBytes(500, 3)},
        {"8bit.gif", RandomBytes(1000, 4)},
        {"empty.bin", ""},
    };
    TIpMailMessage message;
    for (const auto& [name, data] : files) {
        WriteFile(Path(name), data);
        message.AddDefaultAttachment(Path(name));
    }
    // A name with 8-bit characters (not made on disk: its bytes are no UTF-8).
    message.MimeParts().GetPart(4)->FileName = "\xE9t\xE9.gif";
    message.From = "Fax Gateway <fax@example.org>";
    message.Subject = "Received Fax (12:00:00)";
    message.MailTo = {"admin@example.org", "ops@example.org"};
    message.Body().WriteLine("Message Forwarded From FAX Gateway");
    message.SaveToFile(Path("out.msg"));

    const std::string text = ReadFile(Path("out.msg"));
    const auto line = text.find("Message Forwarded From FAX Gateway\r\n");
    ASSERT_NE(line, std::string::npos);
    EXPECT_LT(line, text.find("--_NextPart_"));
    EXPECT_NE(text.find("Content-Type: multipart/mixed; boundary="), std::string::npos);

    const std::string python = RunShell(OracleCommand() + " read " + Path("out.msg"));
    EXPECT_NE(python.find("type multipart/mixed"), std::string::npos);
    EXPECT_NE(python.find("defects 0"), std::string::npos) << python;
    std::vector<TLeaf> expected;
    for (const auto& [name, data] : files)
        expected.push_back(TLeaf{name, data});
    expected[4].FileName = "\xE9t\xE9.gif";
    EXPECT_EQ(ParseLeaves(python), expected);

    fs::create_directory(Path("unpacked"));
    RunShell("cd " + Path("unpacked") + " && munpack -q ../out.msg >/dev/null 2>&1");
    // munpack writes blanks and quotes in names as "X", and text parts with
    // line ends of its own.
    for (const auto& [name, data] : files) {
        std::string unpacked = name;
        std::replace_if(
            unpacked.begin(), unpacked.end(), [](char c) { return c == ' ' || c == '"'; }, 'X');
        if (!data.empty() && name != "8bit.gif" && name != "notes.txt") {
            EXPECT_EQ(ReadFile(Path("unpacked/" + unpacked)), data) << name;
        }
    }
}

// The reading the fax gateway relies on: top-level parts in file order,
// their file names, and each body extracted to a file.
TEST_F(IpMessageFiles, GatewayReadsPartsAndExtractsFiles)
{
    const std::string bmp = RandomBytes(6 << 20, 11);
    WriteFile(Path("big.bmp"), bmp);
    WriteFile(Path("cover.txt"), "Please fax this.\r\n");
    TIpMailMessage built;
    built.AddDefaultAttachment(Path("cover.txt"));
    built.AddDefaultAttachment(Path("big.bmp"));
    EXPECT_NE(dynamic_cast<TIpMemMapStream*>(built.MimeParts().GetPart(1)->Body().Stream()),
              nullptr);
    built.SaveToFile(Path("fax.msg"));

    TIpMailMessage message;
    message.LoadFromFile(Path("fax.msg"));
    EXPECT_NE(dynamic_cast<TIpMemMapStream*>(message.MessageStream()->Stream()), nullptr);
    ASSERT_EQ(message.MimeParts().GetCount(), 2);
    EXPECT_EQ(message.MimeParts().GetPart(2), nullptr);
    EXPECT_EQ(message.MimeParts().GetPart(-1), nullptr);
    TIpMimeEntity* image = message.MimeParts().GetPart(1);
    EXPECT_EQ(image->FileName, "big.bmp");
    EXPECT_EQ(image->ContentType + "/" + image->ContentSubtype, "image/bmp");
    image->ExtractBodyFile(Path("extracted.bmp"));
    EXPECT_EQ(ReadFile(Path("extracted.bmp")), bmp);
    message.MimeParts().GetPart(0)->ExtractBodyFile(Path("cover.out"));
    EXPECT_EQ(ReadFile(Path("cover.out")), "Please fax this.\r\n");

    // A body that does not decode leaves no file, and an empty one makes none.
    TIpMimeEntity broken;
    broken.ContentTransferEncoding = emUUEncode;
    broken.Body().WriteLine("M000");
    EXPECT_EQ(ErrorText([&] { broken.ExtractBodyFile(Path("broken.bin")); }),
              "Count <> Len or Count > 63");
    TIpMimeEntity empty;
    empty.ExtractBodyFile(Path("empty.bin"));
    EXPECT_FALSE(fs::exists(Path("broken.bin")));
    EXPECT_FALSE(fs::exists(Path("empty.bin")));
    EXPECT_EQ(fs::directory_iterator(Dir())->path().string().find(".tmp"), std::string::npos);
}

TEST_F(IpMessageFiles, MessagesOverFiveMegabytesAreMappedInPlace)
{
    const std::string head = "Subject: size\r\n\r\n";
    for (const int64_t size : {int64_t(0x500000), int64_t(0x500001)}) {
        WriteFile(Path("m.msg"), head + std::string(size_t(size) - head.size(), 'x'));
        TIpMessage message;
        message.LoadFromFile(Path("m.msg"));
        const bool mapped =
            dynamic_cast<TIpMemMapStream*>(message.MessageStream()->Stream()) != nullptr;
        EXPECT_EQ(mapped, size > 0x500000);
        EXPECT_EQ(message.Body().GetSize(), size - int64_t(head.size()));
    }
    // A file that is not there raises the stream's error; an empty one is an
    // empty message.
    TIpMessage message;
    EXPECT_NE(ErrorText([&] { message.LoadFromFile(Path("missing.msg")); }).find(" Filename: "),
              std::string::npos);
    WriteFile(Path("empty.msg"), "");
    message.LoadFromFile(Path("empty.msg"));
    EXPECT_EQ(message.Body().GetSize(), 0);
}

TEST_F(IpMessageFiles, AFileThatCannotBeReadAddsNoPart)
{
    TIpMailMessage message;
    EXPECT_NE(ErrorText([&] { message.AddDefaultAttachment(Path("gone.bmp")); }), "no error");
    EXPECT_EQ(message.MimeParts().GetCount(), 0);
    WriteFile(Path("A.BMP"), "BM");
    WriteFile(Path("a.bmp"), "BM");
    EXPECT_EQ(message.AddDefaultAttachment(Path("A.BMP"))->ContentSubtype, "octet-stream");
    EXPECT_EQ(message.AddDefaultAttachment(Path("a.bmp"))->ContentSubtype, "bmp");
}

TEST(IpMessage, FieldNamesAndValuesAreMatchedLoosely)
{
    TIpMessage message;
    LoadText(message, "subject: hi\r\nFROM: a@b\r\nmime-version: 1.0\r\n"
                      "content-type :Multipart/Mixed; boundary=\"b\"\r\n\r\n"
                      "--b\r\n"
                      "X-Attachment-Id: 7\r\n"
                      "Content-Disposition: attachment;\r\n filename=\"a.bin\"\r\n"
                      "content-transfer-encoding: BASE64 \r\n\r\n"
                      "QUJD\r\n--b--\r\n");
    EXPECT_EQ(message.Subject, "hi");
    EXPECT_EQ(message.From, "a@b");
    ASSERT_EQ(message.MimeParts().GetCount(), 1);
    TIpMimeEntity* part = message.MimeParts().GetPart(0);
    EXPECT_EQ(part->FileName, "a.bin");
    EXPECT_EQ(part->ContentTransferEncoding, emBase64);
    EXPECT_EQ(Extract(*part), "ABC");
    EXPECT_EQ(message.AttachmentCount, 1);
}

TEST(IpMessage, FileNamesNeverLeadOutOfADirectory)
{
    TIpMimeEntity entity;
    for (const auto& [raw, safe] : std::vector<std::pair<std::string, std::string>>{
             {"attachment; filename=\"../../etc/passwd\"", "passwd"},
             {"attachment; filename=\"C:\\\\Windows\\\\evil.bmp\"", "evil.bmp"},
             {"attachment; filename=\"..\"", ""},
             {"attachment; filename*=utf-8''..%2F%2E%2E%2Fx%0A.bmp", "x.bmp"},
             {"attachment; filename=\"a\\\"b\\\";c.bin\"", "a\"b\";c.bin"},
             // Encoded words inside the quotes, as many mailers write names:
             // read as Python's email reads them, then made safe.
             {"attachment; filename=\"=?utf-8?B?QmVyaWNodCDDvGJlciBTdHJhw59lLnBkZg==?=\"",
              "Bericht \xFC"
              "ber Stra\xDF"
              "e.pdf"},
             {"attachment; filename=\"=?utf-8?b?Li4vLi4vZXZpbC/DvGJlci50aWY=?=\"", "\xFC"
                                                                                   "ber.tif"},
             {"attachment; filename=\"=?iso-8859-1?Q?caf=E9_au_lait.txt?=\"",
              "caf\xE9 au lait.txt"},
             {"attachment; filename=\"=?utf-8?Q?a?= =?utf-8?Q?b.txt?=\"", "ab.txt"},
         }) {
        entity.DecodeContentDisposition(raw);
        EXPECT_EQ(entity.FileName, safe) << raw;
    }
    // A quote in a name goes out escaped, and comes back whole.
    entity.FileName = "say \"hi\".bin";
    std::vector<std::string> lines;
    entity.EncodeContentDisposition(lines);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], "Content-Disposition: attachment; filename=\"say \\\"hi\\\".bin\"");
    entity.DecodeContentDisposition(lines[0].substr(21));
    EXPECT_EQ(entity.FileName, "say \"hi\".bin");
}

TEST(IpMessage, MultipartGetsASubtypeAndUniqueBoundaries)
{
    TIpMessage message;
    message.NewMimePart()->Body().WriteLine("x");
    EXPECT_NE(SavedText(message).find("Content-Type: multipart/mixed; boundary=\"_NextPart_"),
              std::string::npos);
    std::set<std::string> boundaries;
    for (int i = 0; i < 2000; ++i)
        boundaries.insert(IpMime::NewBoundary());
    EXPECT_EQ(boundaries.size(), 2000u);
}

TEST(IpMessage, DecodingFailuresReachTheCallerAndKeepWhatWasRead)
{
    TIpMessage message;
    EXPECT_EQ(ErrorText([&] {
                  LoadText(message, "Subject: s\r\nContent-Type: multipart/mixed\r\n\r\nx\r\n");
              }),
              "No Mime boundary");
    EXPECT_EQ(message.Subject, "s");

    // Hostile nesting is refused before it runs the stack out.
    std::string nested = "Content-Type: multipart/mixed; boundary=b0\r\n\r\n";
    for (int i = 0; i < 10000; ++i)
        nested += "--b" + std::to_string(i) + "\r\nContent-Type: multipart/mixed; boundary=b" +
                  std::to_string(i + 1) + "\r\n\r\n";
    EXPECT_EQ(ErrorText([&] { LoadText(message, nested); }), "MIME parts nested too deeply");
    EXPECT_EQ(message.MimeParts().GetCount(), 1);
}

TEST(IpMessage, AMessageWithoutHeaderKeepsItsBody)
{
    TIpMessage message;
    LoadText(message, "just text\r\nno header: here\r\n");
    EXPECT_EQ(Extract(message), "just text\r\nno header: here\r\n");
    EXPECT_EQ(SavedText(message), "\r\njust text\r\nno header: here\r\n");
    LoadText(message, "Subject: only a header\r\n\r\n");
    EXPECT_EQ(message.Body().GetSize(), 0);
}

TEST(IpMessage, AddressesWithCommasInTheirNamesStayWhole)
{
    TIpMessage message;
    LoadText(message, "To: \"Smith, John\" <john@example.com>, bob@example.org (Bob, builder)"
                      "\r\nCC: \"a\\\", b\" <ab@example.org>,,c@example.org\r\n\r\nbody\r\n");
    EXPECT_EQ(message.MailTo, (std::vector<std::string>{"\"Smith, John\" <john@example.com>",
                                                        "bob@example.org (Bob, builder)"}));
    EXPECT_EQ(message.CC,
              (std::vector<std::string>{"\"a\\\", b\" <ab@example.org>", "c@example.org"}));
    EXPECT_EQ(SavedText(message).rfind("To: \"Smith, John\" <john@example.com>,\r\n"
                                       "\tbob@example.org (Bob, builder)\r\n",
                                       0),
              0u);
}

TEST(IpMessage, HeaderFieldsGoBackInTheirPlaces)
{
    TIpMessage message;
    LoadText(message, "Received: from a\r\n\tby b\r\nReceived-SPF: pass\r\n"
                      "Received: from c\r\nx-mailer: M\r\nX-Daro: D\r\nreturn-path: <r@x>\r\n"
                      "Subject: t\r\n\r\nbegin 644 file.bin\r\n#86)C\r\n`\r\nend\r\n");
    EXPECT_EQ(message.Received, (std::vector<std::string>{"from a\tby b", "from c"}));
    EXPECT_EQ(message.UserFields, (std::vector<std::string>{"x-mailer: M", "X-Daro: D"}));
    EXPECT_EQ(message.AttachmentCount, 1);
    const std::string text = SavedText(message);
    EXPECT_EQ(text.rfind("Return-Path: <r@x>\r\nReceived: from a\r\n\tby b\r\n"
                         "Received: from c\r\nSubject: t\r\nx-mailer: M\r\nX-Daro: D\r\n"
                         "Received-SPF: pass\r\n\r\nbegin 644 file.bin\r\n",
                         0),
              0u)
        << text;
}

} // namespace
