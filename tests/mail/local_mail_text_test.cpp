#include <gtest/gtest.h>

#include "core/message_store.h"
#include "mail/local_mail_text.h"

namespace {

using LocalMailText::QueueFileText;

// What a POP3 client receives after the "+OK" line for a stored message.
std::string RetrieveText(std::string_view stored)
{
    std::string out;
    LocalMailText::TRetrieveWriter writer({}, [&](std::string_view piece) { out += piece; });
    writer.Feed(stored);
    writer.Finish();
    return out;
}

TEST(QueueFileText, LastRecipientFirstThenTheMessage)
{
    EXPECT_EQ(QueueFileText({"a", "b@FAR", "c@example.com"}, "Subject: x\r\n\r\nhi\r\n"),
              "RCPT: c@example.com\r\nRCPT: b@FAR\r\nRCPT: a\r\nSubject: x\r\n\r\nhi\r\n");
}

TEST(QueueFileText, EveryLineEndBecomesCrLf)
{
    // Bare LF, bare CR, CR LF, LF CR (two ends), blank lines kept.
    EXPECT_EQ(QueueFileText({"u"}, "a\nb\rc\r\nd\n\re\n\nf"),
              "RCPT: u\r\na\r\nb\r\nc\r\nd\r\n\r\ne\r\n\r\nf\r\n");
    EXPECT_EQ(QueueFileText({"u"}, ""), "RCPT: u\r\n");
    EXPECT_EQ(QueueFileText({"u"}, "\r\n"), "RCPT: u\r\n\r\n");
    // 8-bit and NUL bytes pass unchanged.
    EXPECT_EQ(QueueFileText({}, std::string("\xe9\0z", 3)), std::string("\xe9\0z\r\n", 5));
}

TEST(QueueFileText, TheMessageCannotAddARecipient)
{
    for (const char* first : {"RCPT: evil@FAR", "rcpt:evil@FAR", "Rcpt:\tevil@FAR"}) {
        const std::string text =
            QueueFileText({"u@FAR"}, std::string(first) + "\r\nRCPT: b\r\nx\r\n");
        std::string body;
        EXPECT_EQ(MessageStore::SplitEnvelope(text, &body), std::vector<std::string>{"u@FAR"})
            << first;
        EXPECT_EQ(body, "X-" + std::string(first) + "\r\nRCPT: b\r\nx\r\n");
    }
    // Only the first line can continue the envelope; later ones stay as sent.
    EXPECT_EQ(QueueFileText({"u"}, "Subject: a\nRCPT: b\n"),
              "RCPT: u\r\nSubject: a\r\nRCPT: b\r\n");
    EXPECT_EQ(QueueFileText({"u"}, "RCPT\r\n"), "RCPT: u\r\nRCPT\r\n");
}

// Mail from a client outside the station's networks says so after the
// recipients; the message cannot say so of itself, nor hide it.
TEST(QueueFileText, AnOutsideClientIsNamedByTheEnvelopeAlone)
{
    EXPECT_EQ(
        QueueFileText({"a", "b@FAR"}, "Subject: x\r\n\r\nhi\r\n", "198.51.100.7"),
        "RCPT: b@FAR\r\nRCPT: a\r\nX-Outside-Client: 198.51.100.7\r\nSubject: x\r\n\r\nhi\r\n");
    for (const char* first : {"X-Outside-Client: 10.0.0.1", "x-outside-client:", "RCPT: evil"}) {
        for (const std::string client : {"", "198.51.100.7"}) {
            const std::string text = QueueFileText({"u"}, std::string(first) + "\r\nx\r\n", client);
            std::string body;
            const auto envelope = MessageStore::ReadEnvelope(text, &body);
            EXPECT_EQ(envelope.Recipients, std::vector<std::string>{"u"}) << first;
            EXPECT_EQ(envelope.OutsideClient, client) << first;
            EXPECT_EQ(body, "X-" + std::string(first) + "\r\nx\r\n");
        }
    }
    // Short of a whole tag, a first line stays as it came.
    EXPECT_EQ(QueueFileText({"u"}, "X-Outside\r\n"), "RCPT: u\r\nX-Outside\r\n");
}

// What the writer counts is the message as stored without its envelope: the
// size the router holds against the limit.
TEST(QueueFileText, CountsTheMessageAsStored)
{
    for (const std::string message :
         {"", "a", "a\nb", "a\r\n", "a\rb\r\n\n", "RCPT: x\r\n", "x-outside-client: 1\n"}) {
        std::string out;
        LocalMailText::TQueueFileWriter writer(
            {"u", "v@FAR"}, [&](std::string_view p) { out += p; }, "10.9.8.7");
        writer.Feed(message);
        writer.Finish();
        std::string body;
        MessageStore::ReadEnvelope(out, &body);
        EXPECT_EQ(writer.MessageBytes(), body.size()) << message;
    }
}

// Fed in pieces of every size (a CR LF or "RCPT:" split between two), the
// writer makes the same text as the whole message gives.
TEST(QueueFileText, PiecesOfAnySizeGiveTheSameText)
{
    const std::string message = "rcpt:evil@FAR\r\na\nb\rc\r\nd\n\re\n\nf";
    const std::string whole = QueueFileText({"u", "v"}, message);
    EXPECT_EQ(whole, "RCPT: v\r\nRCPT: u\r\nX-rcpt:evil@FAR\r\na\r\nb\r\nc\r\nd\r\n\r\n"
                     "e\r\n\r\nf\r\n");
    for (size_t piece = 1; piece <= message.size(); ++piece) {
        std::string out;
        LocalMailText::TQueueFileWriter writer({"u", "v"}, [&](std::string_view p) { out += p; });
        for (size_t i = 0; i < message.size(); i += piece)
            writer.Feed(std::string_view(message).substr(i, piece));
        writer.Finish();
        EXPECT_EQ(out, whole) << "pieces of " << piece;
    }
}

TEST(RetrieveText, StuffsLeadingDotsAndEndsWithADotLine)
{
    EXPECT_EQ(RetrieveText("a\r\n.\r\n..b\r\nc.\r\n"), "a\r\n..\r\n...b\r\nc.\r\n.\r\n");
    EXPECT_EQ(RetrieveText(""), ".\r\n");
    // A message without a last line end still gets its "." on a line of its own.
    EXPECT_EQ(RetrieveText("a\r\nb"), "a\r\nb\r\n.\r\n");
    EXPECT_EQ(RetrieveText("a\r\n."), "a\r\n..\r\n.\r\n");
    EXPECT_EQ(RetrieveText("x\ny\r.z"), "x\r\ny\r\n..z\r\n.\r\n");
}

// Fed in pieces of every size (a CR LF or a leading "." split from its line
// end), the writer sends what the whole stored message gives.
TEST(RetrieveText, PiecesOfAnySizeGiveTheSameText)
{
    const std::string stored = ".a\r\n.\r\n..\rb\n.\n\r.c\r\n\r\nd.";
    const std::string whole = RetrieveText(stored);
    EXPECT_EQ(whole, "..a\r\n..\r\n...\r\nb\r\n..\r\n\r\n..c\r\n\r\nd.\r\n.\r\n");
    for (size_t piece = 1; piece <= stored.size(); ++piece) {
        std::string out;
        LocalMailText::TRetrieveWriter writer("+OK\r\n", [&](std::string_view p) { out += p; });
        for (size_t i = 0; i < stored.size(); i += piece)
            writer.Feed(std::string_view(stored).substr(i, piece));
        writer.Finish();
        EXPECT_EQ(out, "+OK\r\n" + whole) << "pieces of " << piece;
    }
}

TEST(RetrieveText, UndoesWhatTheClientSideUnstuffingExpects)
{
    // A reader that drops one leading "." per line and stops at "." gets the
    // stored lines back.
    const std::string stored = ".\r\n..\r\n.x\r\nplain\r\n\r\n";
    std::string wire = RetrieveText(stored);
    std::string back;
    size_t pos = 0;
    for (;;) {
        size_t end = wire.find("\r\n", pos);
        ASSERT_NE(end, std::string::npos);
        std::string line = wire.substr(pos, end - pos);
        pos = end + 2;
        if (line == ".")
            break;
        if (!line.empty() && line[0] == '.')
            line.erase(0, 1);
        back += line + "\r\n";
    }
    EXPECT_EQ(pos, wire.size());
    EXPECT_EQ(back, stored);
}

} // namespace
