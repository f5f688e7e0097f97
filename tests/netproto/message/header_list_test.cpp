#include "netproto/message/id_header_list.h"
#include "oracle_helpers.h"

#include <gtest/gtest.h>

#include <random>

namespace {

std::string RandomValue(std::mt19937& gen, std::size_t words)
{
    static const std::vector<std::string> vocabulary = {
        "alpha", "b",        "charlie,", "delta-echo",         "x@example.org,", "\"quoted word\"",
        "(c)",   "foxtrot;", "golf",     std::string(30, 'h'), "india.juliet"};
    std::string out;
    for (std::size_t i = 0; i < words; ++i) {
        if (i) {
            out += ' ';
        }
        out += vocabulary[gen() % vocabulary.size()];
    }
    return out;
}

} // namespace

TEST(HeaderListTest, NamesAndValues)
{
    TIdHeaderList headers;
    headers.SetText(
        "Subject: Hi\r\nTo: a@x.org,\r\n  b@y.org\r\n\tc@z.org\r\nX-Empty:\r\nbroken\r\n");
    EXPECT_EQ(headers.Count(), 6);
    EXPECT_EQ(headers.Names(0), "Subject");
    EXPECT_EQ(headers.Names(5), "");
    EXPECT_EQ(headers.IndexOfName("subject"), 0);
    EXPECT_EQ(headers.Values("subject"), "Hi");
    EXPECT_EQ(headers.Values("TO"), "a@x.org, b@y.org c@z.org");
    EXPECT_EQ(headers.Values("X-Empty"), "");
    EXPECT_EQ(headers.Values("Missing"), "");
    headers.UnfoldLines = false;
    EXPECT_EQ(headers.Values("To"), "a@x.org,");
}

TEST(HeaderListTest, WritingReplacesAppendsAndDeletes)
{
    TIdHeaderList headers;
    headers.SetText("From: a@x.org\r\nTo: one,\r\n two\r\nSubject: s\r\n");
    headers.SetValues("to", "three");
    EXPECT_EQ(headers.Text(), "From: a@x.org\r\nto: three\r\nSubject: s\r\n");
    headers.SetValues("Date", "today");
    EXPECT_EQ(headers.Strings(3), "Date: today");
    headers.SetValues("Missing", "");
    EXPECT_EQ(headers.Count(), 4);

    headers.SetText("From: a@x.org\r\nTo: one,\r\n two\r\nSubject: s\r\n");
    headers.SetValues("To", "");
    EXPECT_EQ(headers.Text(), "From: a@x.org\r\nSubject: s\r\n");

    headers.AddStdValues({"X-A=1=2", "X-B="});
    EXPECT_EQ(headers.Strings(2), "X-A: 1=2");
    EXPECT_EQ(headers.Strings(3), "X-B: ");
}

TEST(HeaderListTest, FoldsLongValuesAtBlanksAndCommas)
{
    std::string value;
    while (value.size() < 200) {
        value += "word" + std::to_string(value.size()) + " ";
    }
    value.pop_back();
    TIdHeaderList headers;
    headers.SetValues("Subject", value);
    ASSERT_GT(headers.Count(), 2);
    for (int i = 0; i < headers.Count(); ++i) {
        EXPECT_LE(headers[i].size(), 78u) << headers[i];
        EXPECT_NE(headers[i].back(), ' ');
        if (i > 0) {
            EXPECT_EQ(headers[i][0], ' ');
            EXPECT_NE(headers[i][1], ' ');
        }
    }
    EXPECT_EQ(headers.Values("Subject"), value);

    // Never inside quotes while a break outside them exists.
    const std::string quoted = "x, \"" + std::string(40, 'a') + " " + std::string(40, 'b') + "\"";
    headers.SetValues("To", quoted);
    const int at = headers.IndexOfName("To");
    EXPECT_EQ(headers[at], "To: x,");
    EXPECT_EQ(headers[at + 1], " " + quoted.substr(3));

    headers.FoldLines = false;
    headers.SetValues("Subject", value);
    const int subject = headers.IndexOfName("Subject");
    EXPECT_EQ(headers.Strings(subject), "Subject: " + value);
    headers.SetText("Subject: one\r\n two\r\n");
    headers.SetValues("Subject", "short");
    EXPECT_EQ(headers.Values("Subject"), "short");
}

TEST(HeaderListTest, LineBreaksInAValueNeverStartAHeaderLine)
{
    TIdHeaderList headers;
    headers.SetValues("Subject", "hello\r\nBcc: victim@x.org\r\n\r\nbody");
    for (int i = 0; i < headers.Count(); ++i) {
        EXPECT_FALSE(headers[i].empty());
        EXPECT_EQ(headers[i].find_first_of("\r\n"), std::string::npos);
        if (i > 0) {
            EXPECT_TRUE(headers[i][0] == ' ' || headers[i][0] == '\t');
        }
    }
    EXPECT_EQ(headers.IndexOfName("Bcc"), -1);
    EXPECT_EQ(headers.Values("Subject"), "hello Bcc: victim@x.org body");
    headers.SetValues("X", "a\n\tb");
    EXPECT_EQ(headers.Values("X"), "a\tb");
    headers.FoldLines = false;
    headers.SetValues("Y", "one\r\nTwo: 2");
    EXPECT_EQ(headers.IndexOfName("Two"), -1);
    EXPECT_EQ(headers.Values("Y"), "one Two: 2");

    // Folding on its own keeps them out of the lines as well.
    const auto lines = TIdHeaderList::FoldLine("Subject: a\r\nBcc: b\n" + std::string(90, 'x'), 78);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "Subject: a Bcc: b");
    EXPECT_EQ(lines[1], " " + std::string(90, 'x'));
}

TEST(HeaderListTest, LongQuotedTextStaysWithinTheLineLimit)
{
    // Without a break point outside quotes the line would pass 998
    // characters; a blank inside the quotes is used instead.
    std::string words;
    for (int i = 0; i < 300; ++i) {
        words += "w" + std::to_string(i) + " ";
    }
    words.pop_back();
    TIdHeaderList headers;
    headers.SetValues("To", "\"" + words + "\" <a@x.org>");
    for (int i = 0; i < headers.Count(); ++i) {
        EXPECT_LE(headers[i].size(), 998u);
    }
    EXPECT_GT(headers.Count(), 1);
    EXPECT_EQ(Normalized(headers.Values("To")), "\"" + words + "\" <a@x.org>");

    // No break point in the value: it stays whole.
    const std::string solid(1200, 'z');
    headers.SetValues("X-Long", solid);
    EXPECT_EQ(headers[headers.IndexOfName("X-Long") + 1], " " + solid);
}

TEST(HeaderListTest, FoldingAgreesWithPythonAfterUnfolding)
{
    std::mt19937 gen(42);
    std::vector<OracleRecord> records;
    std::vector<std::string> ours;
    for (int i = 0; i < 60; ++i) {
        const std::string value = RandomValue(gen, gen() % 40 + 1);
        records.push_back({"Subject", value});
        TIdHeaderList headers;
        headers.SetValues("Subject", value);
        for (int k = 0; k < headers.Count(); ++k) {
            EXPECT_LE(headers[k].size(), 78u) << headers[k];
        }
        ours.push_back(headers.Values("Subject"));
    }
    const auto theirs = AskPython("fold", records);
    ASSERT_EQ(theirs.size(), records.size());
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(Normalized(ours[i]), Normalized(theirs[i][0])) << records[i][1];
    }
}
