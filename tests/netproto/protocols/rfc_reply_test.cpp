#include "netproto/protocols/id_rfc_reply.h"

#include <gtest/gtest.h>

using Lines = std::vector<std::string>;

TEST(RFCReplyTest, GeneratesSingleMultiAndCodelessReplies)
{
    TIdRFCReply reply;
    reply.SetReply(250, "a\r\nb");
    EXPECT_EQ(reply.GenerateReply(), "250-a\r\n250 b\r\n");

    reply.SetReply(220, "");
    EXPECT_TRUE(reply.ReplyExists());
    EXPECT_EQ(reply.GenerateReply(), "220\r\n");

    reply.Clear();
    EXPECT_FALSE(reply.ReplyExists());
    EXPECT_EQ(reply.GenerateReply(), "");

    // POP3 status replies carry text only.
    reply.SetText({"+OK 2 320"});
    EXPECT_TRUE(reply.ReplyExists());
    EXPECT_EQ(reply.GenerateReply(), "+OK 2 320\r\n");

    // The wire code is the number, not TextCode.
    reply.SetTextCode("250");
    reply.SetReply(550, "No such user");
    EXPECT_EQ(reply.TextCode(), "250");
    EXPECT_EQ(reply.GenerateReply(), "550 No such user\r\n");
}

TEST(RFCReplyTest, CodeWritersKeepEachOtherInStep)
{
    TIdRFCReply reply;
    reply.SetTextCode("550");
    EXPECT_EQ(reply.NumericCode(), 550);
    reply.SetNumericCode(0);
    EXPECT_EQ(reply.TextCode(), "550");
    reply.SetNumericCode(354);
    EXPECT_EQ(reply.TextCode(), "354");
    reply.SetTextCode("+OK");
    EXPECT_EQ(reply.NumericCode(), 0);
    reply.SetNumericCode(221);
    reply.SetTextCode("");
    EXPECT_EQ(reply.NumericCode(), 221);
    reply.SetTextCode("25x");
    EXPECT_EQ(reply.NumericCode(), 0);
}

TEST(RFCReplyTest, ParsesCapturedServerReplies)
{
    TIdRFCReply reply;
    reply.ParseReply({"250-mail.example.org Hello client [127.0.0.1]", "250-SIZE 52428800",
                      "250-8BITMIME", "250-PIPELINING", "250-AUTH LOGIN PLAIN",
                      "250-ENHANCEDSTATUSCODES", "250 HELP"});
    EXPECT_EQ(reply.NumericCode(), 250);
    EXPECT_EQ(reply.TextCode(), "250");
    EXPECT_EQ(reply.Text(),
              (Lines{"mail.example.org Hello client [127.0.0.1]", "SIZE 52428800", "8BITMIME",
                     "PIPELINING", "AUTH LOGIN PLAIN", "ENHANCEDSTATUSCODES", "HELP"}));
    // Parsing what we generate gives the reply back.
    TIdRFCReply copy;
    copy.ParseReply(IdSplitLines(reply.GenerateReply()));
    EXPECT_EQ(copy.Text(), reply.Text());
    EXPECT_EQ(copy.NumericCode(), 250);

    reply.ParseReply({"221 2.0.0 closing connection"});
    EXPECT_EQ(reply.NumericCode(), 221);
    EXPECT_EQ(reply.Text(), (Lines{"2.0.0 closing connection"}));

    reply.ParseReply({"+OK POP3 server ready <1896.697170952@dbc.mtview.ca.us>"});
    EXPECT_EQ(reply.TextCode(), "+OK");
    EXPECT_EQ(reply.NumericCode(), 0);
    EXPECT_EQ(reply.Text(), (Lines{"POP3 server ready <1896.697170952@dbc.mtview.ca.us>"}));

    reply.ParseReply({"+OK 2 320"});
    EXPECT_EQ(reply.Text(), (Lines{"2 320"}));

    reply.ParseReply({"-ERR no such message"});
    EXPECT_EQ(reply.TextCode(), "-ERR");
    EXPECT_EQ(reply.Text(), (Lines{" no such message"}));

    reply.ParseReply({"250-AUTH LOGIN", "250 HELP"});
    EXPECT_EQ(reply.NumericCode(), 250);
    EXPECT_EQ(reply.Text(), (Lines{"AUTH LOGIN", "HELP"}));
}

TEST(RFCReplyTest, ParsesShortAndIrregularLines)
{
    TIdRFCReply reply;
    reply.ParseReply({"250"});
    EXPECT_EQ(reply.NumericCode(), 250);
    EXPECT_EQ(reply.Text(), (Lines{""}));

    reply.ParseReply({"554-first", "  more text", "554 last"});
    EXPECT_EQ(reply.Text(), (Lines{"first", "more text", "last"}));

    // The code of a continuation line is compared without regard to case.
    reply.ParseReply({"+OK- a", "+ok b"});
    EXPECT_EQ(reply.TextCode(), "+OK");
    EXPECT_EQ(reply.Text(), (Lines{" a", "b"}));

    // Control characters around the code are trimmed; the text still starts
    // at the fifth character.
    reply.ParseReply({"\t220 x"});
    EXPECT_EQ(reply.NumericCode(), 220);
    EXPECT_EQ(reply.Text(), (Lines{" x"}));

    reply.ParseReply({});
    EXPECT_FALSE(reply.ReplyExists());
    EXPECT_EQ(reply.TextCode(), "");
}

TEST(RFCReplyTest, AssignAndDisplayName)
{
    TIdRFCReply source;
    source.SetTextCode("250");
    source.SetReply(550, "No\r\nway");
    TIdRFCReply target;
    target.SetReply(1, "old");
    target.Assign(source);
    EXPECT_EQ(target.NumericCode(), 550);
    EXPECT_EQ(target.TextCode(), "250");
    EXPECT_EQ(target.Text(), (Lines{"No", "way"}));
    EXPECT_EQ(target.GetDisplayName(), "250 No");
    target.Text().clear();
    EXPECT_EQ(target.GetDisplayName(), "250");
}

TEST(RFCRepliesTest, UpdateTextFillsOnlyEmptyReplies)
{
    TIdRFCReplies table;
    table.Add(500, "first 500");
    table.Add(500, "second 500");
    table.Add(221, "Signing Off");
    ASSERT_NE(table.FindItemByReplyCode(500), nullptr);
    EXPECT_EQ(table.FindItemByReplyCode(500)->Text(), (Lines{"first 500"}));
    EXPECT_EQ(table.FindItemByReplyCode(999), nullptr);

    TIdRFCReply reply;
    reply.SetReply(500, "");
    table.UpdateText(reply);
    EXPECT_EQ(reply.Text(), (Lines{"first 500"}));

    reply.SetReply(221, "Bye");
    table.UpdateText(reply);
    EXPECT_EQ(reply.Text(), (Lines{"Bye"}));

    reply.SetReply(354, "");
    table.UpdateText(reply);
    EXPECT_TRUE(reply.Text().empty());
}

TEST(RFCReplyTest, SplitLinesTakesEveryLineEnd)
{
    EXPECT_EQ(IdSplitLines(""), Lines{});
    EXPECT_EQ(IdSplitLines("a\r\n"), (Lines{"a"}));
    EXPECT_EQ(IdSplitLines("a\nb\rc\r\n\r\nd"), (Lines{"a", "b", "c", "", "d"}));
}
