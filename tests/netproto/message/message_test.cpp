#include "netproto/message/id_coder_mime.h"
#include "netproto/message/id_message.h"
#include "netproto/message/id_message_client.h"
#include "netproto/message/id_message_coder_uue.h"
#include "oracle_helpers.h"
#include "support/test_files.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace {

// A connection whose bytes go to and come from strings.
class StringIO : public TIdIOHandler {
public:
    bool Connected() override { return true; }
    bool Readable(int) override { return FPos < In.size(); }
    int Recv(void* buffer, int length) override
    {
        const size_t n = std::min(In.size() - FPos, static_cast<size_t>(length));
        std::memcpy(buffer, In.data() + FPos, n);
        FPos += n;
        return static_cast<int>(n);
    }
    int Send(const void* buffer, int length) override
    {
        Out.append(static_cast<const char*>(buffer), static_cast<size_t>(length));
        return length;
    }
    std::string In;
    std::string Out;

private:
    size_t FPos = 0;
};

// The message as it goes out inside DATA.
std::string Wire(TIdMessage& message)
{
    StringIO io;
    TIdMessageClient client;
    client.SetIOHandler(&io);
    client.SendMsg(message);
    return io.Out;
}

// What a server keeps of a wire text: dot-stuffing undone.
std::string Unstuffed(const std::string& wire)
{
    std::string out;
    std::istringstream in(wire);
    std::string line;
    while (std::getline(in, line))
        out += (line.rfind("..", 0) == 0 ? line.substr(1) : line) + "\n";
    return out;
}

// Reads a wire text that ends with the "." line.
void ReadWire(const std::string& wire, TIdMessage& message)
{
    StringIO io;
    io.In = wire + ".\r\n";
    TIdMessageClient client;
    client.SetIOHandler(&io);
    client.ReceiveMessage(message);
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i)
        text += (i ? "\n" : "") + lines[i];
    return text;
}

std::string LfOnly(std::string text)
{
    for (size_t p; (p = text.find("\r\n")) != std::string::npos;)
        text.erase(p, 1);
    return text;
}

// Text payloads compared without regard to their line ends: a final line
// end of a part belongs to the boundary after it.
void Normalize(std::vector<std::string>& leaves)
{
    for (size_t i = 0; i + 2 < leaves.size(); i += 3) {
        if (leaves[i].rfind("text/", 0) != 0)
            continue;
        leaves[i + 2] = LfOnly(leaves[i + 2]);
        if (!leaves[i + 2].empty() && leaves[i + 2].back() == '\n')
            leaves[i + 2].pop_back();
    }
}

class Scratch {
public:
    Scratch() : Dir(MakeScratchDir()) {}
    ~Scratch() { std::filesystem::remove_all(Dir); }
    std::string File(const std::string& name, const std::string& content)
    {
        const std::string path = Dir + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    std::string Dir;
};

void Address(TIdMessage& m)
{
    m.From.Name = "J\xF6rg Sender";
    m.From.Address = "joerg@example.org";
    m.Recipients.Add().Address = "a@example.org";
    m.Recipients.Add().SetText("Bob <b@example.org>");
    m.CCList.Add().Address = "c@example.org";
    m.Subject = "Gr\xFC\xDF"
                "e from the station";
    m.SetUseNowForDate(false);
}

} // namespace

TEST(MessageOracle, PythonReadsOurMime)
{
    Scratch scratch;
    const std::string binary = RandomBytes(1000, 7) + "\r\n.\r\n";
    std::vector<std::unique_ptr<TIdMessage>> messages;
    // Body only; text parts only; body with attachments; two text parts,
    // attachments and a related part; one text part and an attachment.
    for (int layout = 0; layout < 5; ++layout) {
        auto m = std::make_unique<TIdMessage>();
        Address(*m);
        m->Body = {"first", ".", "..two", "caf\xE9"};
        if (layout == 0)
            m->ContentType = "text/plain";
        if (layout == 0)
            m->ContentTransferEncoding = "8bit";
        if (layout == 1 || layout == 3 || layout == 4)
            m->MessageParts.AddText({"plain", ".", "end"});
        if (layout == 1 || layout == 3) {
            TIdText& html = m->MessageParts.AddText({"<p>caf\xE9 " + std::string(1200, 'x'), ""});
            html.SetContentType("text/html; charset=\"iso-8859-1\"");
        }
        if (layout >= 2) {
            m->MessageParts.AddAttachment(scratch.File("data.bin", binary));
            m->MessageParts.AddAttachment(scratch.File("58.txt", std::string(58, 'z')))
                .SetContentType("text/plain");
        }
        if (layout == 3) {
            TIdAttachment& picture =
                m->MessageParts.AddAttachment(scratch.File("pic.png", "\x89PNG"));
            picture.SetContentType("image/png");
            picture.SetContentID("<pic@station>");
        }
        messages.push_back(std::move(m));
    }
    std::vector<OracleRecord> records;
    for (auto& m : messages)
        records.push_back({Unstuffed(Wire(*m))});
    const auto answers = AskPython("mime_parse", records);
    ASSERT_EQ(answers.size(), messages.size());

    using Leaves = std::vector<std::string>;
    const Leaves attachments = {
        "application/octet-stream", "data.bin", binary, "text/plain", "58.txt",
        std::string(58, 'z')};
    const Leaves body = {"text/plain", "", "first\r\n.\r\n..two\r\ncaf\xE9"};
    const Leaves plain = {"text/plain", "", "plain\r\n.\r\nend"};
    const Leaves html = {"text/html", "", "<p>caf\xE9 " + std::string(1200, 'x') + "\r\n"};
    std::vector<Leaves> expected = {body, plain, body, plain, plain};
    expected[1].insert(expected[1].end(), html.begin(), html.end());
    expected[2].insert(expected[2].end(), attachments.begin(), attachments.end());
    expected[3].insert(expected[3].end(), html.begin(), html.end());
    expected[3].insert(expected[3].end(), attachments.begin(), attachments.end());
    expected[3].insert(expected[3].end(), {"image/png", "pic.png", "\x89PNG"});
    expected[4].insert(expected[4].end(), attachments.begin(), attachments.end());
    for (size_t i = 0; i < answers.size(); ++i) {
        const OracleRecord& a = answers[i];
        ASSERT_GE(a.size(), 5u) << i;
        EXPECT_EQ(a[0], "") << "defects in layout " << i << ":\n" << records[i][0];
        EXPECT_EQ(a[1], "Gr\xFC\xDF"
                        "e from the station")
            << i;
        EXPECT_EQ(a[2], "J\xF6rg Sender") << i;
        EXPECT_EQ(a[3], "joerg@example.org") << i;
        EXPECT_EQ(a[4], "a@example.org,b@example.org") << i;
        Leaves got(a.begin() + 5, a.end());
        Normalize(got);
        Normalize(expected[i]);
        EXPECT_EQ(got, expected[i]) << i;
    }
}

TEST(MessageOracle, WeReadPythonsMime)
{
    const auto built = AskPython("mime_build", {{"0"}, {"1"}, {"2"}});
    ASSERT_EQ(built.size(), 3u);
    for (size_t i = 0; i < built.size(); ++i) {
        TIdMessage m;
        m.DeleteTempFiles = true;
        std::istringstream text(built[i][0]);
        TIdMessageClient().ReceiveMessage(m, text);
        EXPECT_EQ(m.Subject, "case " + std::to_string(i));
        EXPECT_EQ(m.From.Address, "s@example.org");
        EXPECT_EQ(m.From.Name, "Sender");
        const size_t leaves = (built[i].size() - 1) / 3;
        ASSERT_EQ(m.MessageParts.Count(), static_cast<int>(leaves)) << built[i][0];
        for (size_t k = 0; k < leaves; ++k) {
            const std::string& type = built[i][1 + 3 * k];
            const std::string& payload = built[i][3 + 3 * k];
            TIdMessagePart& part = m.MessageParts.Items(static_cast<int>(k));
            if (auto* t = dynamic_cast<TIdText*>(&part)) {
                EXPECT_EQ(type.rfind("text/", 0), 0u) << i << " " << k;
                EXPECT_EQ(Joined(t->Body), LfOnly(payload)) << i << " " << k;
            } else {
                auto& a = dynamic_cast<TIdAttachment&>(part);
                EXPECT_EQ(a.FileName, built[i][2 + 3 * k]) << i << " " << k;
                EXPECT_EQ(ReadFile(a.StoredPathName), payload) << i << " " << k;
            }
        }
    }
}

TEST(MessageHeaders, PropertiesFromTheHeader)
{
    struct Case {
        const char* header;
        TIdMessagePriority priority;
    } cases[] = {{"X-Priority: 1 (Highest)", mpHighest},
                 {"Priority: urgent", mpHigh},
                 {"X-Priority: abc", mpNormal},
                 {"Priority: non-priority", mpLow},
                 {"X-Priority: 5", mpLowest},
                 {"X-Priority: 9", mpLowest},
                 {"X-Priority: 0", mpHighest},
                 {"X-Priority: -4", mpHighest}};
    for (const Case& c : cases) {
        TIdMessage m;
        m.Headers.Add(c.header);
        m.ProcessHeaders();
        EXPECT_EQ(m.Priority, c.priority) << c.header;
    }

    // Headers that do not parse leave their property empty; the rest of the
    // message is still read.
    TIdMessage m;
    ReadWire("From: <a@b.c> @x\r\nTo: ok@x.y, <c@d.e> @f\r\nDate: Someday soon\r\n"
             "Return-Receipt-To: r@x.y\r\nSubject: still read\r\n\r\nbody\r\n",
             m);
    EXPECT_EQ(m.Subject, "still read");
    EXPECT_EQ(m.Body, std::vector<std::string>{"body"});
    EXPECT_EQ(m.Date, 0);
    EXPECT_TRUE(m.UseNowForDate());
    ASSERT_GE(m.Recipients.Count(), 1);
    EXPECT_EQ(m.Recipients.Items(0).Address, "ok@x.y");
    EXPECT_EQ(m.ReceiptRecipient.Address, "r@x.y");

    m.Priority = mpLow;
    m.SetUseNowForDate(false);
    m.Clear();
    EXPECT_EQ(m.Priority, mpNormal);
    EXPECT_TRUE(m.UseNowForDate());
    EXPECT_TRUE(m.Body.empty());
}

TEST(MessageCoders, UuAndXxAttachmentsGoThroughTheWire)
{
    Scratch scratch;
    // 14 bytes make a last UU line that starts with ".".
    const std::vector<size_t> sizes = {0, 10, 14, 45, 100};
    for (const char* coder : {"UUE", "XXE"}) {
        TIdMessage out;
        out.SetEncoding(meUU);
        out.SetAttachmentEncoding(coder);
        out.Body = {"see the files"};
        for (size_t n : sizes)
            out.MessageParts.AddAttachment(
                scratch.File(std::to_string(n) + ".bin", RandomBytes(n, static_cast<unsigned>(n))));
        const std::string wire = Wire(out);
        if (std::string(coder) == "UUE") {
            EXPECT_NE(wire.find("\r\n.."), std::string::npos) << wire;
        }
        TIdMessage in;
        in.DeleteTempFiles = true;
        ReadWire(wire, in);
        EXPECT_EQ(in.Body, (std::vector<std::string>{"see the files"})) << coder;
        ASSERT_EQ(in.MessageParts.Count(), static_cast<int>(sizes.size())) << coder;
        for (size_t i = 0; i < sizes.size(); ++i) {
            auto& a = dynamic_cast<TIdAttachment&>(in.MessageParts.Items(static_cast<int>(i)));
            EXPECT_EQ(a.FileName, std::to_string(sizes[i]) + ".bin");
            EXPECT_EQ(ReadFile(a.StoredPathName),
                      RandomBytes(sizes[i], static_cast<unsigned>(sizes[i])))
                << coder << " " << sizes[i];
        }
    }
    TIdMessage m;
    m.SetEncoding(meUU);
    m.MessageParts.AddText({"x"});
    try {
        Wire(m);
        ADD_FAILURE();
    } catch (const EIdException& e) {
        EXPECT_STREQ(e.what(), "Invalid Encoding. UU only allows Body and Attachments");
    }
    EXPECT_THROW(m.SetAttachmentEncoding("BINHEX"), EIdException);
}

// The expected lines are Python's binascii UU lines, for XX with each
// character moved to the XX alphabet.
TEST(MessageCoders, TheRegistryNamesEachCoderClass)
{
    std::string uuLine = "M";
    std::string xxLine = "h";
    for (int i = 0; i < 15; ++i) {
        uuLine += "86)C";
        xxLine += "MK7X";
    }
    const struct {
        const char* name;
        bool xx;
        const char* transfer;
        std::string text;
    } cases[] = {
        {"UUE", false, "x-uuencode", "begin 644 a.txt\r\n" + uuLine + "\r\n\"_P``\r\n`\r\nend\r\n"},
        {"XXE", true, "x-xxencode", "begin 644 a.txt\r\n" + xxLine + "\r\n0zk++\r\n+\r\nend\r\n"},
        {"xxe", true, "x-xxencode", ""},
    };
    for (const auto& k : cases) {
        const TIdMessageEncoderInfo& info = TIdMessageEncoderList::Instance().ByName(k.name);
        EXPECT_EQ(info.TransferEncoding(), k.transfer) << k.name;
        std::unique_ptr<TIdMessageEncoder> encoder = info.MakeEncoder();
        ASSERT_NE(dynamic_cast<TIdMessageEncoderUUE*>(encoder.get()), nullptr) << k.name;
        EXPECT_EQ(dynamic_cast<TIdMessageEncoderXXE*>(encoder.get()) != nullptr, k.xx) << k.name;
        if (k.text.empty())
            continue;
        encoder->Filename = "a.txt";
        encoder->PermissionCode = 644;
        // 45 bytes fill one line; the two after them make a second one.
        std::string data;
        for (int i = 0; i < 15; ++i)
            data += "abc";
        std::istringstream src(data + std::string("\xFF\x00", 2));
        std::ostringstream out;
        encoder->Encode(src, out);
        EXPECT_EQ(out.str(), k.text) << k.name;
    }
    TIdMessageEncoderXXE direct;
    std::istringstream src("abc");
    std::ostringstream out;
    direct.Encode(src, out);
    EXPECT_EQ(out.str(), "begin 660 \r\n1MK7X\r\n+\r\nend\r\n");
}

TEST(MessageCoders, PartStartsAndLines)
{
    TIdMessage m;
    ReadWire("Subject: uu\r\n\r\nbegin 0 x\r\nbegin 644 a.txt\r\n#86)C\r\n`\r\nend\r\ntail\r\n", m);
    EXPECT_EQ(m.Body, (std::vector<std::string>{"begin 0 x", "tail"}));
    ASSERT_EQ(m.MessageParts.Count(), 1);
    auto& a = dynamic_cast<TIdAttachment&>(m.MessageParts.Items(0));
    EXPECT_EQ(a.FileName, "a.txt");
    EXPECT_EQ(ReadFile(a.StoredPathName), "abc");
    std::filesystem::remove(a.StoredPathName);

    TIdMessage bad;
    bad.DeleteTempFiles = true;
    EXPECT_THROW(ReadWire("\r\nbegin 644 b\r\n~~~~\r\nend\r\n", bad), EIdException);

    // A 58-byte attachment takes two base64 lines.
    Scratch scratch;
    TIdMessage out;
    out.MessageParts.AddAttachment(scratch.File("f", std::string(58, 'q')));
    const std::string wire = Wire(out);
    const std::string line57 = TIdEncoder::EncodeText<TIdEncoderMIME>(std::string(57, 'q'));
    EXPECT_NE(wire.find("\r\n\r\n" + line57 + "\r\ncQ==\r\n--"), std::string::npos) << wire;
}

TEST(MessageClient, EveryLineInsideDataIsDotStuffed)
{
    TIdMessage m;
    m.NoEncode = true;
    m.Headers.Add(".X-Odd: header");
    m.Body = {".", "..", "a\n.b", "c\r.d", "e\r\n."};
    EXPECT_EQ(Wire(m), "..X-Odd: header\r\n\r\n..\r\n...\r\na\r\n..b\r\nc\r\n..d\r\ne\r\n..\r\n");
    m.NoEncode = false;
    m.Headers.Clear();
    m.Body = {".", "ok"};
    TIdMessage back;
    ReadWire(Wire(m), back);
    EXPECT_EQ(back.Body, m.Body);
}

TEST(MessageClient, LongHeaderLinesFoldWithTheFoldStringAndPythonReadsThemBack)
{
    Scratch scratch;
    TIdMessage m;
    Address(m);
    std::string path;
    for (int i = 0; i < 30; ++i)
        path += (i ? " " : "") + std::string("relay") + std::to_string(i) + ".station";
    const std::string token(120, 'z');
    // Lines added as they are: nothing folded them so far.
    m.ExtraHeaders.Add("X-Station-Path: " + path);
    m.ExtraHeaders.Add("X-Token: " + token);
    m.MessageParts.AddText({"hello"}).ExtraHeaders.Add("X-Note: " + path);
    const std::string fileName = "the weekly log of the station with a rather long name.txt";
    m.MessageParts.AddAttachment(scratch.File(fileName, "log"));
    const std::string wire = Wire(m);

    std::istringstream lines(wire);
    int continuations = 0;
    for (std::string line; std::getline(lines, line);) {
        line.pop_back(); // the CR
        if (line.find("relay") != std::string::npos) {
            EXPECT_LE(line.size(), 79u) << line;
        }
        continuations += line.rfind("\trelay", 0) == 0;
    }
    EXPECT_GE(continuations, 4);

    const auto answer = AskPython("header_fields", {{Unstuffed(wire)}});
    ASSERT_EQ(answer.size(), 1u);
    const OracleRecord& fields = answer[0];
    ASSERT_FALSE(fields.empty());
    EXPECT_EQ(fields[0], "") << wire;
    std::map<std::string, std::vector<std::string>> values;
    for (size_t i = 1; i + 1 < fields.size(); i += 2)
        values[fields[i]].push_back(fields[i + 1]);
    ASSERT_EQ(values["X-Station-Path"].size(), 1u);
    EXPECT_EQ(Normalized(values["X-Station-Path"][0]), path);
    ASSERT_EQ(values["X-Note"].size(), 1u);
    EXPECT_EQ(Normalized(values["X-Note"][0]), path);
    ASSERT_EQ(values["X-Token"].size(), 1u);
    EXPECT_EQ(Normalized(values["X-Token"][0]), token);
    // The quoted file name has no break point: it stays whole.
    EXPECT_EQ(values["filename"], (std::vector<std::string>{"", fileName}));

    // A header written with NoEncode goes out as it is.
    TIdMessage raw;
    raw.NoEncode = true;
    raw.Headers.Add("X-Station-Path: " + path);
    EXPECT_EQ(Wire(raw).substr(0, 16 + path.size() + 2), "X-Station-Path: " + path + "\r\n");
}

TEST(MessageParts, PartClassesAreFoundByNameAndTheBaseClassMakesNone)
{
    TIdMessage m;
    const auto* text = dynamic_cast<const TIdMessagePartClass*>(GetClass("TIdText"));
    const auto* attachment = dynamic_cast<const TIdMessagePartClass*>(GetClass("TIdAttachment"));
    ASSERT_NE(text, nullptr);
    ASSERT_NE(attachment, nullptr);
    EXPECT_NE(dynamic_cast<TIdText*>(&m.MessageParts.Add(*text)), nullptr);
    EXPECT_NE(dynamic_cast<TIdAttachment*>(&m.MessageParts.Add(*attachment)), nullptr);
    EXPECT_EQ(m.MessageParts.TextPartCount(), 1);
    EXPECT_EQ(m.MessageParts.AttachmentCount(), 1);

    EXPECT_EQ(GetClass("TIdMessagePart"), nullptr);
    try {
        m.MessageParts.Add(TIdMessagePart::Class());
        ADD_FAILURE() << "a bare message part was made";
    } catch (const EIdCanNotCreateMessagePart& e) {
        EXPECT_STREQ(e.what(), "TIdMessagePart can not be created.  Use descendant classes. ");
    }
    EXPECT_EQ(m.MessageParts.Count(), 2);
}
