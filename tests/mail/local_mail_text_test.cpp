#include <gtest/gtest.h>

#include "core/message_store.h"
#include "mail/local_mail_text.h"

namespace {

using LocalMailText::QueueFileText;
using LocalMailText::RetrieveText;

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

TEST(RetrieveText, StuffsLeadingDotsAndEndsWithADotLine)
{
    EXPECT_EQ(RetrieveText("a\r\n.\r\n..b\r\nc.\r\n"), "a\r\n..\r\n...b\r\nc.\r\n.\r\n");
    EXPECT_EQ(RetrieveText(""), ".\r\n");
    // A message without a last line end still gets its "." on a line of its own.
    EXPECT_EQ(RetrieveText("a\r\nb"), "a\r\nb\r\n.\r\n");
    EXPECT_EQ(RetrieveText("a\r\n."), "a\r\n..\r\n.\r\n");
    EXPECT_EQ(RetrieveText("x\ny\r.z"), "x\r\ny\r\n..z\r\n.\r\n");
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
