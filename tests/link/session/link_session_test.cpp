// Two stations' link sessions over the simulated sky: the exchange by each
// method, and what a drop, a changed byte or a hostile peer must not do.
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>

#include "link/codec/pklib_file.h"
#include "link/link_wire.h"
#include "link/session/air_helpers.h"

namespace fs = std::filesystem;
using namespace LinkCode;

namespace {

// A message file as the router leaves it for a station, with bytes the link
// must carry unchanged (the link's own control bytes, 8-bit text).
std::string Mail(int n, size_t extra = 0)
{
    std::mt19937 rng(static_cast<unsigned>(n));
    std::string body = "RCPT: bob@FIELD\r\nFrom: alice@HOME\r\nSubject: report " +
                       std::to_string(n) + "\r\n\r\nline \x01\x02\x80\x81 caf\xe9\r\n.\r\n";
    for (size_t i = 0; i < extra; ++i)
        body += i % 7 == 0 ? static_cast<char>(rng()) : static_cast<char>('a' + rng() % 26);
    return body + "\r\nend " + std::to_string(n) + "\r\n";
}

std::vector<std::string> Sorted(std::vector<std::string> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

// The fields of each item header in a side's link data, in order, with the
// kind a kDataHeader leaves out for mail.
std::vector<std::map<char, std::string>> Headers(const std::string& linkData)
{
    std::vector<std::map<char, std::string>> headers;
    LinkWire::TParser parser;
    parser.OnMessage = [&](uint8_t code, std::string_view body) {
        std::map<char, std::string> f;
        if ((code == kHeader || code == kDataHeader) && LinkWire::ParseFields(body, f)) {
            f.try_emplace('K', "MAIL");
            headers.push_back(f);
        }
    };
    parser.Feed(linkData.data(), linkData.size());
    return headers;
}

class LinkSession : public ::testing::Test {
protected:
    std::unique_ptr<TAirPair> Pair(TSkyCore::TOptions options = {})
    {
        static int serial = 0;
        const std::string base = Dir.path().toStdString() + "/" + std::to_string(serial++);
        return std::make_unique<TAirPair>(base, options);
    }
    QTemporaryDir Dir{TAirPair::TempTemplate()};
};

// By each method, with a peer of either protocol version.
TEST_F(LinkSession, MailAndFilesGoBothWaysByEachMethod)
{
    const struct {
        int version;
        const char* method;
    } methods[] = {{kTransferNone, "NONE"}, {kTransferPklib, "PKLIB"}, {kTransferBzip2, "BZIP2"}};
    for (const int protocol : {1, kProtocolVersion})
        for (const auto& m : methods) {
            SCOPED_TRACE(std::string(m.method) + " protocol " + std::to_string(protocol));
            auto pair = Pair();
            TAirPair::TEnd& home = pair->End(0);
            TAirPair::TEnd& field = pair->End(1);
            home.Session->ProtocolVersion = protocol;
            // The receiver's version picks the method.
            field.Session->TransferVersion = m.version;
            home.Session->TransferVersion = kTransferBzip2;
            std::vector<std::string> toField, toHome;
            for (int n = 1; n <= 3; ++n) {
                toField.push_back(Mail(n, 3000 * n));
                TAirPair::PutMail(home, "FIELD", std::to_string(n) + ".msg", toField.back());
            }
            toHome.push_back(Mail(10, 100));
            TAirPair::PutMail(field, "HOME", "7.msg", toHome.back());
            const std::string picture(5000, '\x01');
            TAirPair::PutMail(home, "FIELD", "Files/chart.bin", picture);

            ASSERT_TRUE(pair->Link());
            ASSERT_TRUE(pair->Exchange());
            EXPECT_EQ(Sorted(TAirPair::Contents(field.Root, "QUEUE")), Sorted(toField));
            EXPECT_TRUE(TAirPair::Contents(field.Root, "Files") ==
                        std::vector<std::string>{picture});
            EXPECT_TRUE(fs::exists(field.Root + "/Files/chart.bin"));
            EXPECT_EQ(TAirPair::Contents(home.Root, "QUEUE"), toHome);
            EXPECT_TRUE(TAirPair::Contents(home.Root, "STATIONS/FIELD").empty())
                << "sent mail stays";
            EXPECT_TRUE(TAirPair::Contents(home.Root, "STATIONS/FIELD/Files").empty());
            EXPECT_TRUE(TAirPair::Contents(field.Root, "STATIONS/HOME").empty());
            // Mail went before the file, and by the receiver's method.
            const auto headers = Headers(pair->Sky().Modem(0).linkData);
            ASSERT_EQ(headers.size(), 4u);
            for (size_t i = 0; i < headers.size(); ++i) {
                EXPECT_EQ(headers[i].at('K'), i < 3 ? "MAIL" : "FILE");
                EXPECT_EQ(headers[i].at('M'), m.method);
            }
            EXPECT_TRUE(field.Logged("HOME holds 3 mail and 1 files"));
        }
}

// A method goes only where it makes the item smaller: a short mail grows
// under either, and then goes as it is, which every receiver reads.
TEST_F(LinkSession, AnItemAMethodWouldEnlargeGoesAsItIs)
{
    const std::string note = "RCPT: bob@FIELD\r\nSubject: QTH\r\n\r\nJO62QM 52\xB0"
                             "31'N 13\xB0"
                             "24'E\r\n";
    const std::string report = Mail(1, 4000);
    for (const auto& [version, method] :
         {std::pair{kTransferPklib, "PKLIB"}, std::pair{kTransferBzip2, "BZIP2"}}) {
        SCOPED_TRACE(method);
        auto pair = Pair();
        TAirPair::TEnd& home = pair->End(0);
        TAirPair::TEnd& field = pair->End(1);
        field.Session->TransferVersion = version;
        TAirPair::PutMail(home, "FIELD", "1.msg", note);
        TAirPair::PutMail(home, "FIELD", "2.msg", report);
        ASSERT_TRUE(pair->Link());
        ASSERT_TRUE(pair->Exchange());
        EXPECT_EQ(Sorted(TAirPair::Contents(field.Root, "QUEUE")), Sorted({note, report}));

        auto headers = Headers(pair->Sky().Modem(0).linkData);
        ASSERT_EQ(headers.size(), 2u);
        EXPECT_EQ(headers[0]['M'], "NONE");
        EXPECT_EQ(headers[0]['S'], std::to_string(note.size()));
        EXPECT_EQ(headers[0]['W'], headers[0]['S']);
        EXPECT_EQ(headers[1]['M'], method);
        EXPECT_LT(std::stoul(headers[1]['W']), report.size());
    }
}

// The link dropped at byte N of the exchange: after a second link every
// message is at the other station exactly once and gone here, however the
// first link ended. N runs across the whole exchange, and through the middle
// of every message either side sends (the success answers among them): in
// version 1's exchange, in version 2's, and in version 2's on a half-duplex
// path, where the answers come in a batch once the sender pauses.
TEST_F(LinkSession, ADropAtAnyByteLosesNothingAndDoublesNothing)
{
    // The sky at its data rate is slow to simulate: shorter mail, fewer
    // drops inside the data.
    const struct {
        const char* name;
        int protocol;
        TSkyCore::TOptions sky;
        size_t extra;
        uint64_t drops;
    } runs[] = {{"version 1", 1, {}, 1500, 150},
                {"version 2", kProtocolVersion, {}, 1500, 150},
                {"version 2, half duplex",
                 kProtocolVersion,
                 {.BitRate = 2400, .DelayMs = 200, .HalfDuplex = true, .TurnaroundMs = 300},
                 300,
                 20}};
    for (const auto& run : runs) {
        SCOPED_TRACE(run.name);
        std::vector<std::string> mail;
        for (int n = 1; n <= 3; ++n)
            mail.push_back(Mail(n, run.extra));
        const auto start = [&](TAirPair& pair) {
            pair.End(0).Session->ProtocolVersion = run.protocol;
            for (size_t n = 0; n < mail.size(); ++n)
                TAirPair::PutMail(pair.End(0), "FIELD", std::to_string(n + 1) + ".msg", mail[n]);
        };
        auto measure = Pair(run.sky);
        start(*measure);
        ASSERT_TRUE(measure->Link());
        ASSERT_TRUE(measure->Exchange());
        const uint64_t total = measure->Sky().BytesCarried();
        ASSERT_GT(total, 1000u);
        std::set<uint64_t> offsets;
        for (uint64_t at = 1; at < total; at += total / run.drops)
            offsets.insert(at);
        for (int i = 0; i < 2; ++i)
            for (const auto& [carried, bytes] : measure->End(i).Sent)
                if (bytes.size() < 200)
                    offsets.insert(carried + bytes.size() / 2);

        bool resumed = false;
        bool answeredAgain = false;
        for (uint64_t at : offsets) {
            SCOPED_TRACE("dropped after " + std::to_string(at) + " of " + std::to_string(total));
            auto pair = Pair(run.sky);
            TAirPair::TEnd& home = pair->End(0);
            TAirPair::TEnd& field = pair->End(1);
            start(*pair);
            pair->Sky().DropLinkAfter(at);
            ASSERT_TRUE(pair->Link());
            ASSERT_TRUE(pair->RunUntil([&] { return !home.Linked && !field.Linked; }));
            ASSERT_TRUE(pair->Link());
            ASSERT_TRUE(pair->Exchange());
            ASSERT_EQ(Sorted(TAirPair::Contents(field.Root, "QUEUE")), Sorted(mail));
            ASSERT_TRUE(TAirPair::Contents(home.Root, "STATIONS/FIELD").empty());
            resumed = resumed || field.Logged("Resuming mail from HOME at byte");
            answeredAgain = answeredAgain || field.Logged("was received before");
        }
        EXPECT_TRUE(resumed);
        EXPECT_TRUE(answeredAgain);
    }
}

// A station started again while its modem still holds a link, in the middle
// of a message either way: its modem's configuration ends the link for the
// other station at once, and the next link finishes the message from where
// it stopped, each message once.
TEST_F(LinkSession, AStationStartedAgainEndsItsModemsLinkAndTheNextLinkFinishes)
{
    const std::vector<std::string> mail{Mail(1, 8000), Mail(2, 100)};
    for (int restarted : {0, 1}) {
        SCOPED_TRACE(restarted == 0 ? "the sender started again" : "the receiver started again");
        auto pair = Pair({.BitRate = 2400, .DelayMs = 200});
        TAirPair::TEnd& home = pair->End(0);
        TAirPair::TEnd& field = pair->End(1);
        TAirPair::PutMail(home, "FIELD", "1.msg", mail[0]);
        TAirPair::PutMail(home, "FIELD", "2.msg", mail[1]);
        ASSERT_TRUE(pair->Link());
        ASSERT_TRUE(pair->RunUntil([&] { return pair->Sky().BytesCarried() > 2500; }));
        pair->Restart(restarted);
        TAirPair::TEnd& other = pair->End(1 - restarted);
        ASSERT_TRUE(pair->RunUntil([&] { return !other.Linked; }, 1000));
        ASSERT_TRUE(pair->Link());
        ASSERT_TRUE(pair->Exchange());
        EXPECT_EQ(Sorted(TAirPair::Contents(field.Root, "QUEUE")), Sorted(mail));
        EXPECT_TRUE(TAirPair::Contents(home.Root, "STATIONS/FIELD").empty());
        EXPECT_TRUE(pair->End(1).Logged("Resuming mail from HOME at byte"));
    }
}

TEST_F(LinkSession, AChangedByteFailsTheItemWhichIsOfferedAgain)
{
    for (int version : {kTransferNone, kTransferBzip2}) {
        auto pair = Pair();
        TAirPair::TEnd& home = pair->End(0);
        TAirPair::TEnd& field = pair->End(1);
        field.Session->TransferVersion = version;
        const std::string mail = Mail(1, 4000);
        TAirPair::PutMail(home, "FIELD", "1.msg", mail);
        ASSERT_TRUE(pair->Link());
        // Well inside the item's data, past the announce and the header.
        pair->Sky().CorruptByte(0, pair->Sky().Modem(0).linkData.size() + 600);
        ASSERT_TRUE(pair->Exchange());
        EXPECT_TRUE(home.Logged("FIELD did not store 1.msg"));
        EXPECT_TRUE(field.Logged("failed"));
        EXPECT_EQ(TAirPair::Contents(field.Root, "QUEUE"), std::vector<std::string>{mail});
        EXPECT_TRUE(TAirPair::Contents(home.Root, "STATIONS/FIELD").empty());
    }
}

// Items sent whole whose answers were lost: the next link asks after them
// instead of sending them again, and sends them only when the peer turns
// out not to hold them.
TEST_F(LinkSession, APeerGoneSilentLeavesItsItemsForTheNextLink)
{
    for (const bool keptThere : {true, false}) {
        SCOPED_TRACE(keptThere ? "the peer stored them" : "the peer lost them");
        auto pair = Pair();
        TAirPair::TEnd& home = pair->End(0);
        TAirPair::TEnd& field = pair->End(1);
        const std::vector<std::string> mail{Mail(1, 3000), Mail(2, 3000)};
        TAirPair::PutMail(home, "FIELD", "1.msg", mail[0]);
        TAirPair::PutMail(home, "FIELD", "2.msg", mail[1]);
        ASSERT_TRUE(pair->Link());
        // FIELD's answers stop reaching HOME once the first item is under way.
        ASSERT_TRUE(pair->RunUntil([&] { return field.Logged("HOME holds"); }));
        pair->Sky().SetSilent(1, true);
        EXPECT_FALSE(pair->RunUntil([&] { return home.Session->AllCountsZero(); }));
        EXPECT_EQ(TAirPair::Contents(home.Root, "STATIONS/FIELD").size(), 2u);
        pair->Disconnect(0); // as HOME's idle checks would
        pair->Sky().SetSilent(1, false);
        if (!keptThere) {
            fs::remove_all(field.Root + "/QUEUE");
            fs::remove_all(field.Root + "/TEMP/STATIONS/HOME");
        }
        const std::string& sent = pair->Sky().Modem(0).linkData;
        const size_t before = sent.size();
        ASSERT_TRUE(pair->Link());
        ASSERT_TRUE(pair->Exchange());
        EXPECT_EQ(Sorted(TAirPair::Contents(field.Root, "QUEUE")), Sorted(mail));
        EXPECT_TRUE(TAirPair::Contents(home.Root, "STATIONS/FIELD").empty());
        const std::string again = sent.substr(before);
        const auto count = [&](uint8_t code) {
            size_t n = 0;
            for (size_t at = 0;
                 (at = again.find({char(kIntro), char(code)}, at)) != std::string::npos; ++at)
                ++n;
            return n;
        };
        EXPECT_EQ(count(kHeader), 2u);
        EXPECT_EQ(count(kDataHeader), keptThere ? 0u : 2u);
        EXPECT_EQ(field.Logged("was received before"), keptThere);
    }
}

// On a half-duplex channel every change of direction costs the path and a
// turnaround: the items go one after the other without waiting for their
// answers, so the channel turns at the start and the end of the exchange
// only, not for each item.
TEST_F(LinkSession, ItemsFollowEachOtherWithoutWaitingForTheirAnswers)
{
    const TSkyCore::TOptions sky{
        .BitRate = 2400, .DelayMs = 200, .HalfDuplex = true, .TurnaroundMs = 500};
    auto pair = Pair(sky);
    TAirPair::TEnd& home = pair->End(0);
    std::vector<std::string> mail;
    for (int n = 1; n <= 10; ++n) {
        mail.push_back(Mail(n, 200));
        TAirPair::PutMail(home, "FIELD", std::to_string(n) + ".msg", mail.back());
    }
    ASSERT_TRUE(pair->Link());
    const uint64_t start = pair->NowMs();
    ASSERT_TRUE(pair->RunUntil([&] { return home.Session->AllCountsZero(); }));
    EXPECT_EQ(Sorted(TAirPair::Contents(pair->End(1).Root, "QUEUE")), Sorted(mail));
    const uint64_t onAir = pair->Sky().BytesCarried() * 8000 / 2400;
    const uint64_t turn = 200 + 500;
    EXPECT_LT(pair->NowMs() - start, onAir + 5 * turn);
}

TEST_F(LinkSession, ChatAndRingTravelBesideATransfer)
{
    auto pair = Pair({.BitRate = 2400, .DelayMs = 500});
    TAirPair::TEnd& home = pair->End(0);
    TAirPair::TEnd& field = pair->End(1);
    TAirPair::PutMail(home, "FIELD", "1.msg", Mail(1, 6000));
    ASSERT_TRUE(pair->Link());
    // Mid-transfer: the data keeps below its window, so chat finds room.
    ASSERT_TRUE(pair->RunUntil([&] { return home.Session->BytesInFlight() >= 400; }))
        << ::testing::PrintToString(home.Log) << ::testing::PrintToString(field.Log);
    const std::string text = std::string("hello \x01\x02\x1F\x80 there", 15);
    EXPECT_TRUE(home.Session->SendChatText(text));
    EXPECT_FALSE(home.Session->SendChatText(std::string(TLinkSession::kMaxInFlight, 'x')));
    home.Session->SendBuzz(16);
    field.Session->SendBuzz(1);
    ASSERT_TRUE(pair->Exchange());
    EXPECT_EQ(field.Chat, std::vector<std::string>{text});
    EXPECT_EQ(field.Rings, std::vector<int>{16});
    EXPECT_EQ(home.Rings, std::vector<int>{1});
    EXPECT_EQ(TAirPair::Contents(field.Root, "QUEUE").size(), 1u);
}

// A peer that breaks the rules, speaking straight to one session.
class HostilePeer : public LinkSession {
protected:
    void SetUp() override
    {
        Root = Dir.path().toStdString() + "/FIELD";
        for (const char* d : {"QUEUE", "Files", "MAIL/FAX", "TEMP/STATIONS"})
            fs::create_directories(Root + "/" + d);
        Store = std::make_unique<Transfer::TStore>(Root, "FIELD");
        TLinkSession::TEvents events;
        events.Send = [this](const std::string& bytes) {
            Out.Feed(bytes.data(), bytes.size());
            return true;
        };
        events.Log = [this](const std::string& text) { Log += text + "\n"; };
        events.ResolvePeer = [](const std::string& name) { return name; };
        Session = std::make_unique<TLinkSession>(*Store, "FIELD", std::move(events));
        Out.OnMessage = [this](uint8_t code, std::string_view body) {
            std::map<char, std::string> f;
            LinkWire::ParseFields(body, f);
            if (code == kSuccess)
                Answers.push_back("ok " + f['I']);
            else if (code == kFailure)
                Answers.push_back("fail " + f['I'] + " " + f['R']);
            else if (code == kResume)
                Answers.push_back("resume " + f['I'] + " " + f['O']);
        };
        Session->Start("", true);
        Peer(LinkWire::Message(kAnnounce, {{'P', "1"}, {'T', "2"}, {'N', "HOME"}, {'M', "1"}}));
    }
    void Peer(const std::string& bytes) { Session->Receive(bytes.data(), bytes.size()); }
    // Offers an item whose data are `wire`; gives the session's answers.
    std::string Offer(const std::string& id, const std::string& kind, const std::string& method,
                      uint64_t size, uint32_t crc, const std::string& wire,
                      const std::string& name = "x", bool end = true)
    {
        Answers.clear();
        Peer(LinkWire::Message(kHeader, {{'I', id},
                                         {'K', kind},
                                         {'M', method},
                                         {'S', std::to_string(size)},
                                         {'C', Hex(crc)},
                                         {'W', std::to_string(wire.size())},
                                         {'X', Hex(LinkWire::Crc32(wire))},
                                         {'N', name}}));
        if (!Answers.empty() && Answers.back().rfind("resume", 0) == 0) {
            Peer(LinkWire::EscapeData(wire));
            if (end)
                Peer(LinkWire::Message(kEnd, {{'I', id}}));
        }
        std::string all;
        for (const std::string& a : Answers)
            all += (all.empty() ? "" : "; ") + a;
        return all;
    }
    static std::string Hex(uint32_t v)
    {
        char buf[9];
        std::snprintf(buf, sizeof buf, "%08X", v);
        return buf;
    }

    std::string Root;
    std::unique_ptr<Transfer::TStore> Store;
    std::unique_ptr<TLinkSession> Session;
    LinkWire::TParser Out;
    std::vector<std::string> Answers;
    std::string Log;
};

TEST_F(HostilePeer, FieldsOutOfBoundsAreRefused)
{
    const std::string data = "RCPT: bob\r\n\r\nhi\r\n";
    const uint32_t crc = LinkWire::Crc32(data);
    const std::string id = "00000000000000A1";
    EXPECT_EQ(Offer(id, "MAIL", "NONE", 1ull << 40, crc, data),
              "fail " + id + " size out of bounds");
    EXPECT_EQ(Offer(id, "MAIL", "NONE", data.size() + 1, crc, data),
              "fail " + id + " size out of bounds");
    EXPECT_EQ(Offer(id, "TAPE", "NONE", data.size(), crc, data),
              "fail " + id + " unknown item kind");
    EXPECT_EQ(Offer(id, "MAIL", "LZMA", data.size(), crc, data), "fail " + id + " unknown method");
    EXPECT_EQ(Offer(id, "FILE", "NONE", data.size(), crc, data, std::string(300, 'n')),
              "fail " + id + " name too long");
    EXPECT_EQ(Offer("../../x", "MAIL", "NONE", data.size(), crc, data), "");
    EXPECT_EQ(Offer(id, "MAIL", "NONE", data.size(), crc ^ 1, data),
              "resume " + id + " 0; fail " + id + " item CRC error");
    // More data than the header says.
    Answers.clear();
    Peer(LinkWire::Message(kHeader, {{'I', id},
                                     {'K', "MAIL"},
                                     {'M', "NONE"},
                                     {'S', std::to_string(data.size())},
                                     {'C', Hex(crc)},
                                     {'W', std::to_string(data.size())},
                                     {'X', Hex(LinkWire::Crc32(data))}}));
    Peer(LinkWire::EscapeData(data + "and more"));
    Peer(LinkWire::Message(kEnd, {{'I', id}}));
    ASSERT_EQ(Answers.size(), 2u);
    EXPECT_EQ(Answers[1].rfind("fail " + id, 0), 0u) << Answers[1];
    EXPECT_TRUE(TAirPair::Contents(Root, "QUEUE").empty());
    // Unknown messages and fields are skipped, an endless one too; what
    // follows is understood.
    Peer(std::string("\x01\xD7") + std::string(5000, 'z') + "\x02");
    Peer(LinkWire::Message(0xE1, {{'Q', "later"}}));
    const std::string ok = Offer("00000000000000A2", "MAIL", "NONE", data.size(), crc, data);
    EXPECT_EQ(ok, "resume 00000000000000A2 0; ok 00000000000000A2");
    EXPECT_EQ(TAirPair::Contents(Root, "QUEUE"), std::vector<std::string>{data});
}

// Version 2 on the receiving side: the data follows its header at once and
// the answer comes at the end mark (from a peer that announced version 1
// such a header is not known); an item held already is answered at its
// header and its data dropped; the announce names the parts held.
TEST_F(HostilePeer, AnItemsDataMayFollowItsHeaderAtOnce)
{
    const std::string data = "RCPT: bob\r\n\r\nhi\r\n";
    const std::string size = std::to_string(data.size());
    const std::string crc = Hex(LinkWire::Crc32(data));
    const auto header = [&](const std::string& id) {
        Answers.clear();
        Peer(LinkWire::Message(
            kDataHeader,
            {{'I', id}, {'M', "NONE"}, {'S', size}, {'C', crc}, {'W', size}, {'X', crc}}));
        return Answers;
    };
    const auto rest = [&](const std::string& wire) {
        Answers.clear();
        Peer(LinkWire::EscapeData(wire) + LinkWire::Message(kEnd, {}));
        return Answers;
    };
    const std::vector<std::string> none;
    EXPECT_EQ(header("00000000000000F1"), none);
    EXPECT_EQ(rest(data), none);
    EXPECT_TRUE(TAirPair::Contents(Root, "QUEUE").empty());

    std::map<char, std::string> announce;
    Out.OnMessage = [&](uint8_t code, std::string_view body) {
        std::map<char, std::string> f;
        LinkWire::ParseFields(body, f);
        if (code == kSuccess)
            Answers.push_back("ok " + f['I']);
        else if (code == kAnnounce)
            announce = f;
    };
    const auto relink = [&] {
        Session->Stop();
        Session->Start("HOME", true);
        Peer(LinkWire::Message(kAnnounce, {{'P', "2"}, {'T', "2"}, {'N', "HOME"}, {'M', "3"}}));
    };
    relink();
    EXPECT_EQ(header("00000000000000F1"), none);
    EXPECT_EQ(rest(data), std::vector<std::string>{"ok 00000000000000F1"});
    EXPECT_EQ(header("00000000000000F1"), std::vector<std::string>{"ok 00000000000000F1"});
    EXPECT_EQ(rest("not the item"), none);
    EXPECT_EQ(header("00000000000000F2"), none);
    EXPECT_EQ(rest(data), std::vector<std::string>{"ok 00000000000000F2"});
    EXPECT_EQ(TAirPair::Contents(Root, "QUEUE"), (std::vector<std::string>{data, data}));
    EXPECT_EQ(announce.count('H'), 0u);

    // Cut in the middle of an item: its part is named at the next link.
    header("00000000000000F3");
    Peer(LinkWire::EscapeData(data.substr(0, 5)));
    relink();
    EXPECT_EQ(announce['H'], "00000000000000F3");
}

TEST_F(HostilePeer, AResumeOffsetPastTheDataIsRefused)
{
    Session->Stop();
    fs::create_directories(Root + "/STATIONS/HOME");
    std::ofstream(Root + "/STATIONS/HOME/1.msg") << "hello";
    std::map<char, std::string> header;
    Out.OnMessage = [&](uint8_t code, std::string_view body) {
        if (code == kHeader)
            LinkWire::ParseFields(body, header);
    };
    Session->Start("", true);
    Peer(LinkWire::Message(kAnnounce, {{'P', "1"}, {'T', "0"}, {'N', "HOME"}}));
    ASSERT_EQ(header['W'], "5");
    Peer(LinkWire::Message(kResume, {{'I', header['I']}, {'O', "9"}}));
    EXPECT_NE(Log.find("HOME did not store 1.msg: no valid resume offset"), std::string::npos)
        << Log;
}

TEST_F(HostilePeer, ItemIdsAreTakenInEitherCase)
{
    Session->Stop();
    fs::create_directories(Root + "/STATIONS/HOME");
    std::ofstream(Root + "/STATIONS/HOME/1.msg") << "RCPT: bob@HOME\r\n\r\nhello\r\n";
    std::map<char, std::string> header;
    bool ended = false;
    Out.OnMessage = [&](uint8_t code, std::string_view body) {
        if (code == kHeader)
            LinkWire::ParseFields(body, header);
        ended = ended || code == kEnd;
    };
    Session->Start("", true);
    Peer(LinkWire::Message(kAnnounce, {{'P', "1"}, {'T', "0"}, {'N', "HOME"}}));
    std::string id = header['I'];
    ASSERT_EQ(id.size(), 16u);
    std::transform(id.begin(), id.end(), id.begin(), [](char c) { return std::tolower(c); });
    Peer(LinkWire::Message(kResume, {{'I', id}, {'O', "0"}}));
    ASSERT_TRUE(ended) << Log;
    Peer(LinkWire::Message(kSuccess, {{'I', id}}));
    EXPECT_FALSE(fs::exists(Root + "/STATIONS/HOME/1.msg")) << Log;
}

TEST_F(HostilePeer, AFileNameNeverLeavesFilesNorOverwrites)
{
    std::ofstream(Root + "/Files/passwd") << "mine";
    const std::string data = "theirs";
    const uint32_t crc = LinkWire::Crc32(data);
    EXPECT_EQ(Offer("00000000000000B1", "FILE", "NONE", data.size(), crc, data, "../../etc/passwd"),
              "resume 00000000000000B1 0; ok 00000000000000B1");
    EXPECT_EQ(Offer("00000000000000B2", "FILE", "NONE", data.size(), crc, data,
                    "C:\\windows\\..\\.passwd"),
              "resume 00000000000000B2 0; ok 00000000000000B2");
    EXPECT_EQ(TAirPair::Contents(Root, "Files"),
              (std::vector<std::string>{"mine", "theirs", "theirs"}));
    EXPECT_TRUE(fs::exists(Root + "/Files/passwd (2)"));
    EXPECT_TRUE(fs::exists(Root + "/Files/passwd (3)"));
    EXPECT_NE(Log.find("Received file passwd (3) from HOME (6 bytes)"), std::string::npos) << Log;
    EXPECT_FALSE(fs::exists(Dir.path().toStdString() + "/etc"));
}

TEST_F(HostilePeer, AnExpansionBombIsStoppedAtTheHeadersSize)
{
    // A megabyte of zeros, imploded, claiming to be 4000 bytes.
    const std::string bomb(1 << 20, '\0');
    const std::string dir = Dir.path().toStdString();
    std::ofstream(dir + "/bomb.raw", std::ios::binary) << bomb;
    ASSERT_EQ(PklibCompressFile(dir + "/bomb.raw", dir + "/bomb.imp"), kPklibNoError);
    std::ifstream in(dir + "/bomb.imp", std::ios::binary);
    const std::string wire((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_LT(wire.size(), 2 * 4000u + 4096u) << "within the bound of the data's size";
    EXPECT_EQ(Offer("00000000000000C1", "MAIL", "PKLIB", 4000, LinkWire::Crc32(bomb), wire),
              "resume 00000000000000C1 0; fail 00000000000000C1 the item expands beyond its size");
    EXPECT_TRUE(TAirPair::Contents(Root, "QUEUE").empty());
    EXPECT_TRUE(TAirPair::Contents(Root, "TEMP/STATIONS/HOME").size() <= 1u)
        << "only the list of received items stays";
}

TEST_F(HostilePeer, FaxItemsAreStoredAndFaxStatusLogged)
{
    const std::string fax = "fax page";
    EXPECT_EQ(Offer("00000000000000D1", "FAX", "NONE", fax.size(), LinkWire::Crc32(fax), fax,
                    "page1.apf"),
              "resume 00000000000000D1 0; ok 00000000000000D1");
    EXPECT_EQ(TAirPair::Contents(Root, "MAIL/FAX"), std::vector<std::string>{fax});
    Peer(LinkWire::Message(kFaxStatus, {{'S', "Sent to +1 555 0100\r\n3 pages"}}));
    EXPECT_NE(Log.find("Fax Status from HOME: Sent to +1 555 0100  3 pages"), std::string::npos)
        << Log;
}

TEST_F(HostilePeer, APartResumesOnlyForTheSameHeader)
{
    const std::string data(3000, 'q');
    const uint32_t crc = LinkWire::Crc32(data);
    const std::string id = "00000000000000E1";
    Offer(id, "MAIL", "NONE", data.size(), crc, data, "x", false);
    Session->Stop(); // link lost before the end mark
    Session->Start("HOME", true);
    // Same header: resumed at the part's size.
    Answers.clear();
    Peer(LinkWire::Message(kHeader, {{'I', id},
                                     {'K', "MAIL"},
                                     {'M', "NONE"},
                                     {'S', "3000"},
                                     {'C', Hex(crc)},
                                     {'W', "3000"},
                                     {'X', Hex(crc)}}));
    EXPECT_EQ(Answers, std::vector<std::string>{"resume " + id + " 3000"});
    Session->Stop();
    Session->Start("HOME", true);
    // Another header under the same ID starts again.
    EXPECT_EQ(Offer(id, "MAIL", "NONE", 5, LinkWire::Crc32("fresh"), "fresh"),
              "resume " + id + " 0; ok " + id);
}

} // namespace
