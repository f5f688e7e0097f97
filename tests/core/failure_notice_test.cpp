#include <gtest/gtest.h>

#include <algorithm>

#include "core/failure_notice.h"

namespace {

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find("\r\n", pos);
        EXPECT_NE(end, std::string::npos) << "every line ends in CR LF";
        out.push_back(text.substr(pos, end - pos));
        pos = end + 2;
    }
    return out;
}

} // namespace

TEST(FailureNoticeTest, SenderAddressTakesLastWordAfterColonWithoutBrackets)
{
    EXPECT_EQ(FailureNotice::SenderAddress("From: alice@STN1"), "alice@STN1");
    EXPECT_EQ(FailureNotice::SenderAddress("From: \"Alice Smith\" <alice@example.com>"),
              "alice@example.com");
    EXPECT_EQ(FailureNotice::SenderAddress("From: Alice <a@b>"), "a@b");
    EXPECT_EQ(FailureNotice::SenderAddress("From: \"Mail System\" <>"), "UNKNOWN");
    EXPECT_EQ(FailureNotice::SenderAddress("From:"), "UNKNOWN");
    EXPECT_EQ(FailureNotice::SenderAddress("From no colon at all"), "UNKNOWN");
}

TEST(FailureNoticeTest, MessageSenderLooksOnlyInTheHeader)
{
    EXPECT_EQ(FailureNotice::MessageSender("Subject: x\r\nFROM: bob@S2\r\n\r\nbody\r\n"), "bob@S2");
    EXPECT_EQ(FailureNotice::MessageSender("Subject: x\r\n\r\nFrom: not@header\r\n"), "unknown");
    EXPECT_EQ(FailureNotice::MessageSender(""), "unknown");
    // "From: x" is 7 characters; "From:x" is too short to count.
    EXPECT_EQ(FailureNotice::MessageSender("From:x\nFrom: y\n"), "y");
    EXPECT_TRUE(FailureNotice::FromMailSystem("From: \"Mail System\" <>\r\n\r\nhi\r\n"));
    EXPECT_FALSE(FailureNotice::FromMailSystem("From: a@b\r\n\r\n"));
    EXPECT_FALSE(FailureNotice::FromMailSystem("Subject: no sender\r\n\r\n"));
}

TEST(FailureNoticeTest, LayoutQuotesAtMostFiftyLines)
{
    std::string message = "From: alice@S1\r\nSubject: big\r\n\r\n";
    for (int i = 0; i < 200; ++i)
        message += "line " + std::to_string(i) + "\r\n";
    const auto lines = Lines(
        FailureNotice::Build("alice@S1", "failure notice", {"zed@S1"}, "No such user", message));
    ASSERT_GE(lines.size(), 20u);
    EXPECT_EQ(lines[0], "RCPT: alice@S1");
    EXPECT_EQ(lines[1], "To: alice@S1");
    EXPECT_EQ(lines[2], "From: \"Mail System\" <>");
    EXPECT_EQ(lines[3], "Subject: failure notice");
    EXPECT_EQ(lines[4], "");
    EXPECT_EQ(lines[5], "Hi. This is the Mail System");
    const auto copy =
        std::find(lines.begin(), lines.end(), " --Below this line is a copy of the message.");
    ASSERT_NE(copy, lines.end());
    EXPECT_NE(std::find(lines.begin(), copy, "<zed@S1>"), copy);
    EXPECT_NE(std::find(lines.begin(), copy, "No such user"), copy);
    EXPECT_EQ(*(copy + 1), " ");
    const auto quoted = static_cast<size_t>(lines.end() - (copy + 2));
    EXPECT_EQ(quoted, 50u);
    EXPECT_EQ(lines.back(), "line 46");
}

TEST(FailureNoticeTest, ShortMessageQuotedWhole)
{
    const auto lines =
        Lines(FailureNotice::Build("admin", "failure notice", {}, "err", "From: a@b\nhello"));
    EXPECT_EQ(lines[lines.size() - 2], "From: a@b");
    EXPECT_EQ(lines.back(), "hello");
}
