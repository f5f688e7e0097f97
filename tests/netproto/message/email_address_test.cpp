#include "netproto/core/id_global.h"
#include "netproto/message/id_email_address.h"
#include "oracle_helpers.h"

#include <gtest/gtest.h>

#include <random>

namespace {

TIdEMailAddressItem Item(std::string address, std::string name)
{
    TIdEMailAddressItem item;
    item.Address = std::move(address);
    item.Name = std::move(name);
    return item;
}

} // namespace

TEST(EMailAddressTest, WritesNamesAndAddresses)
{
    EXPECT_EQ(Item("js@x.org", "").Text(), "js@x.org");
    EXPECT_EQ(Item("js@x.org", "John Smith").Text(), "John Smith <js@x.org>");
    EXPECT_EQ(Item("js@x.org", "Smith, John").Text(), "\"Smith, John\" <js@x.org>");
    EXPECT_EQ(Item("js@x.org", "Say \"hi\\\"").Text(), "\"Say \\\"hi\\\\\\\"\" <js@x.org>");
    EXPECT_EQ(Item("js@x.org", "JS@X.ORG").Text(), "js@x.org");
    EXPECT_EQ(Item("", "Nobody").Text(), "<>");
    EXPECT_EQ(Item("", "").Text(), "");
    EXPECT_EQ(Item("john.smith@x.org", "").Text(), "john.smith@x.org");
    EXPECT_EQ(Item("john smith@x.org", "").Text(), "\"john smith\"@x.org");
    // A dot before the character that needs quotes does not hide it.
    EXPECT_EQ(Item("j.s mith@x.org", "").Text(), "\"j.s mith\"@x.org");
    EXPECT_EQ(Item("a\"b@x.org", "").Text(), "\"a\\\"b\"@x.org");
}

// A dot before a character that needs quotes: written bare, each of these
// would read back as another address (or fail to read).
TEST(EMailAddressTest, AQuotedLocalPartReadsBackAsTheSameAddress)
{
    for (const char* address : {"j.s mith@x.org", "a.b\"c@x.org", "a.b(c)@x.org", "a.b<c@x.org",
                                "a.b,c@x.org", "a.b@c@x.org", "a.b\\c@x.org", "a.b:c@x.org"}) {
        for (const char* name : {"", "Ann Lee"}) {
            const TIdEMailAddressItem item = Item(address, name);
            const std::string text = item.Text();
            TIdEMailAddressItem back;
            ASSERT_NO_THROW(back.SetText(text)) << text;
            EXPECT_EQ(back.Address, address) << text;
            EXPECT_EQ(back.Name, name) << text;
        }
    }
    EXPECT_EQ(Item("a.b@c@x.org", "").Text(), "\"a.b@c\"@x.org");
}

TEST(EMailAddressTest, ParsesHeaderAndCommandAddresses)
{
    TIdEMailAddressItem item;
    item.SetText("\"Smith, John\" <js@x.org>");
    EXPECT_EQ(item.Name, "Smith, John");
    EXPECT_EQ(item.Address, "js@x.org");

    item.SetText("<js@x.org> SIZE=1000");
    EXPECT_EQ(item.Address, "js@x.org");
    EXPECT_EQ(item.Name, "");

    item.SetText("  js@x.org  ");
    EXPECT_EQ(item.Address, "js@x.org");
    EXPECT_EQ(item.Name, "");

    item.SetText("js@x.org (John Smith)");
    EXPECT_EQ(item.Address, "js@x.org");
    EXPECT_EQ(item.Name, "");

    item.SetText("postmaster");
    EXPECT_EQ(item.Address, "postmaster");

    item.SetText("<>");
    EXPECT_EQ(item.Address, "");

    item.SetText("John Q. Smith <js@x . org>");
    EXPECT_EQ(item.Name, "John Q. Smith");
    EXPECT_EQ(item.Address, "js@x.org");

    // The quotes of a quoted local part are dropped; writing puts them back.
    item.SetText("\"a b\" <\"a b\"@x.org>");
    EXPECT_EQ(item.Address, "a b@x.org");
    EXPECT_EQ(item.Text(), "a b <\"a b\"@x.org>");

    item.SetText("\"J \\\"Q\\\" S\" <js@x.org>");
    EXPECT_EQ(item.Name, "J \"Q\" S");

    item.SetText("");
    EXPECT_EQ(item.Address, "");
    EXPECT_EQ(item.Name, "");
}

TEST(EMailAddressTest, CommentsNeverReachTheAddress)
{
    TIdEMailAddressItem item;
    for (const char* text : {"a@b.c (x (y) z)", "<a@b.c (x (y) z)>", "a@b.c (x (y (w)) z) "}) {
        item.SetText(text);
        EXPECT_EQ(item.Address, "a@b.c") << text;
        EXPECT_EQ(item.Name, "") << text;
    }
    item.SetText("Bob (the (big) boss) <b@x.org>");
    EXPECT_EQ(item.Name, "Bob");
    EXPECT_EQ(item.Address, "b@x.org");
}

TEST(EMailAddressTest, AQuotedLocalPartWithoutBracketsStaysTheAddress)
{
    TIdEMailAddressItem item;
    item.SetText("\"john doe\"@example.com");
    EXPECT_EQ(item.Address, "john doe@example.com");
    EXPECT_EQ(item.Name, "");
    EXPECT_EQ(item.Text(), "\"john doe\"@example.com");
}

TEST(EMailAddressTest, SecondAtOutsideTheBracketsIsAnError)
{
    TIdEMailAddressItem item;
    try {
        item.SetText("<a@x.org> b@y.org");
        FAIL() << "no error";
    } catch (const EIdEmailParseError& e) {
        EXPECT_STREQ(e.what(), "@ Outside address");
    }
}

TEST(EMailAddressTest, ParsingAgreesWithPython)
{
    const std::vector<std::string> texts = {
        "js@x.org",
        "<js@x.org>",
        "John Smith <js@x.org>",
        "\"Smith, John\" <js@x.org>",
        "\"J \\\"Q\\\" S\" <js@x.org>",
        "Mary-Ann O'Neil <mao@sub.x.org>",
        "  spaced@x.org ",
        "first.last+tag@x.org",
        "Bob <bob@x.org> ",
        "undisclosed <u@localhost>",
    };
    std::vector<OracleRecord> records;
    for (const auto& t : texts) {
        records.push_back({t});
    }
    const auto answers = AskPython("parseaddr", records);
    ASSERT_EQ(answers.size(), texts.size());
    for (std::size_t i = 0; i < texts.size(); ++i) {
        ASSERT_EQ(answers[i].size(), 2u);
        TIdEMailAddressItem item;
        item.SetText(texts[i]);
        EXPECT_EQ(item.Name, answers[i][0]) << texts[i];
        EXPECT_EQ(item.Address, answers[i][1]) << texts[i];
    }
}

TEST(EMailAddressTest, WritingAgreesWithPythonAndReadsBack)
{
    std::mt19937 gen(7);
    const std::string nameChars = "abcXYZ 019.,;:()<>[]@\"\\!#$%&'*+-/=?_`{}|~";
    std::vector<OracleRecord> records;
    std::vector<TIdEMailAddressItem> items;
    for (int i = 0; i < 80; ++i) {
        std::string name = "N";
        const std::size_t len = gen() % 12;
        for (std::size_t k = 0; k < len; ++k) {
            name += nameChars[gen() % nameChars.size()];
        }
        name += "z";
        const std::string address =
            "user" + std::to_string(i) + "@host" + std::to_string(i) + ".org";
        records.push_back({name, address});
        items.push_back(Item(address, name));
    }
    const auto answers = AskPython("formataddr", records);
    ASSERT_EQ(answers.size(), records.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i].Text(), answers[i][0]);
        TIdEMailAddressItem back;
        back.SetText(items[i].Text());
        EXPECT_EQ(back.Address, items[i].Address) << items[i].Text();
        if (items[i].Text().front() == '"') {
            EXPECT_EQ(back.Name, items[i].Name) << items[i].Text();
        }
    }
}

TEST(EMailAddressListTest, SplitsAndJoinsLikePython)
{
    const std::string text = "a@x.org, \"Smith, John\" <js@x.org>,Bob <b@y.org>, ,"
                             " c@w.org (Carl, the boss)";
    TIdEMailAddressList list;
    list.SetEMailAddresses(text);
    ASSERT_EQ(list.Count(), 4);
    const auto answers = AskPython("getaddresses", {{text}});
    ASSERT_EQ(answers.size(), 1u);
    std::vector<std::string> addresses;
    for (std::size_t i = 1; i < answers[0].size(); i += 2) {
        if (!answers[0][i].empty()) {
            addresses.push_back(answers[0][i]);
        }
    }
    ASSERT_EQ(addresses.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(list.Items(i).Address, addresses[static_cast<std::size_t>(i)]);
    }
    EXPECT_EQ(list.Items(1).Name, "Smith, John");
    EXPECT_EQ(list.Items(2).Name, "Bob");
    EXPECT_EQ(list.EMailAddresses(), "a@x.org, \"Smith, John\" <js@x.org>, Bob <b@y.org>, c@w.org");

    // A comma inside angle brackets does not separate.
    list.SetEMailAddresses("<odd,one@z.org>, b@y.org");
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Items(0).Address, "odd,one@z.org");
    EXPECT_EQ(list.EMailAddresses(), "\"odd,one\"@z.org, b@y.org");

    list.SetEMailAddresses("");
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.EMailAddresses(), "");
}
