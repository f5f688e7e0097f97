#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "core/failure_notice.h"
#include "core/message_store.h"
#include "core/router.h"
#include "core/router_helpers.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "platform/thread.h"

namespace fs = std::filesystem;

namespace {

class RouterTest : public ::testing::Test {
protected:
    TStationFixture S;

    std::unique_ptr<TRouter> MakeRouter()
    {
        auto router = std::make_unique<TRouter>(S.Config.get(), S.Stations.get(), S.Users.get(),
                                                S.Aliases.get(), nullptr);
        router->PauseMs = 0;
        router->TurnIntervalMs = 0;
        return router;
    }

    // Runs turns until the queue is empty (bounded).
    void Drain(TRouter& router)
    {
        for (int i = 0; i < 50 && router.ProcessNextMessage(); ++i) {
        }
    }

    std::string Log() const
    {
        std::string text;
        ReadWholeFile(S.Path("mailbox_log.txt"), text);
        return text;
    }
};

bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

TEST_F(RouterTest, LocalUserGetsMessageWithoutEnvelope)
{
    const std::string body = Message("alice@S2");
    S.Queue("1.msg", "RCPT: bob@HOME\r\n" + body);
    auto router = MakeRouter();
    EXPECT_TRUE(router->ProcessNextMessage());
    EXPECT_EQ(S.Files("MAIL/bob"), std::vector<std::string>{body});
    EXPECT_TRUE(S.Names("QUEUE").empty());
    EXPECT_FALSE(fs::exists(S.Path("QUEUE/1.msg.route")));
    EXPECT_TRUE(Contains(Log(), "  Mail from alice@S2 for bob@HOME delivered to mailbox bob"));
    EXPECT_FALSE(router->ProcessNextMessage());
}

TEST_F(RouterTest, EachRuleInItsOrder)
{
    const std::string body = Message("alice@S2");
    S.Queue("7.msg", "RCPT: bob\r\n"
                     "RCPT: <FAX2@home>\r\n"
                     "RCPT: carol@S2\r\n"
                     "RCPT: eve@s3\r\n"
                     "RCPT: x@example.com\r\n"
                     "RCPT: y@example.org\r\n"
                     "RCPT: zed@HOME\r\n"
                     "RCPT: Bob@\r\n" // the same local user again
                         + body);
    auto router = MakeRouter();
    ASSERT_TRUE(router->ProcessNextMessage());

    EXPECT_EQ(S.Files("MAIL/bob"), std::vector<std::string>{body});
    EXPECT_EQ(S.Files("MAIL/Fax2"), std::vector<std::string>{body});
    // S3 is reached through S2: one file for the directory, the envelope
    // naming both recipients.
    EXPECT_EQ(S.Files("STATIONS/S2"),
              std::vector<std::string>{"RCPT: carol@S2\r\nRCPT: eve@s3\r\n" + body});
    EXPECT_TRUE(S.Names("STATIONS/S3").empty());
    // The gateway outbox (no mail gateway set: this station is it) gets one
    // file per recipient.
    EXPECT_EQ(S.Files("MAIL/GATEWAY"),
              (std::vector<std::string>{"RCPT: x@example.com\r\n" + body,
                                        "RCPT: y@example.org\r\n" + body}));
    // The unknown local user comes back as a failure notice through the queue.
    const auto queue = S.Files("QUEUE");
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue[0].rfind("RCPT: alice@S2\r\nTo: alice@S2\r\n", 0), 0u);
    EXPECT_TRUE(Contains(queue[0], "Subject: failure notice\r\n"));
    EXPECT_TRUE(Contains(queue[0], "<zed@HOME>"));
    EXPECT_TRUE(Contains(queue[0], "No such user here: zed"));

    // The notice itself travels to the sender's station.
    ASSERT_TRUE(router->ProcessNextMessage());
    const auto s2 = S.Files("STATIONS/S2");
    ASSERT_EQ(s2.size(), 2u);
    EXPECT_EQ(s2[1].rfind("RCPT: alice@S2\r\nTo: alice@S2\r\n", 0), 0u);
    EXPECT_TRUE(S.Names("QUEUE").empty());
}

TEST_F(RouterTest, LocalUserNamedFax2WinsOverTheFaxMailbox)
{
    S.Users->Add({"FAX2", "pw", ""});
    S.Queue("1.msg", "RCPT: fax2\r\n" + Message("a@S2"));
    auto router = MakeRouter();
    router->ProcessNextMessage();
    EXPECT_EQ(S.Names("MAIL/FAX2").size(), 1u);
    EXPECT_TRUE(S.Names("MAIL/Fax2").empty());
}

TEST_F(RouterTest, EmptyUserIsAdminAndAliasesExpand)
{
    S.Queue("1.msg", "RCPT: @HOME\r\nRCPT: John@Example.com\r\n" + Message("a@S2"));
    auto router = MakeRouter();
    router->ProcessNextMessage();
    EXPECT_EQ(S.Names("MAIL/admin").size(), 1u);
    EXPECT_EQ(S.Names("MAIL/bob").size(), 1u);
    EXPECT_TRUE(S.Names("MAIL/GATEWAY").empty());
}

TEST_F(RouterTest, MailGatewayStationTakesForeignMail)
{
    S.Config->Mail.Gateway = "GW";
    S.Queue("1.msg", "RCPT: x@example.com\r\n" + Message("a@S2"));
    auto router = MakeRouter();
    router->ProcessNextMessage();
    EXPECT_EQ(S.Files("STATIONS/GW"),
              std::vector<std::string>{"RCPT: x@example.com\r\n" + Message("a@S2")});
    EXPECT_TRUE(S.Names("MAIL/GATEWAY").empty());

    // This station named as the gateway: its own outbox.
    S.Config->Mail.Gateway = "home";
    S.Queue("2.msg", "RCPT: x@example.com\r\n" + Message("a@S2"));
    router->ProcessNextMessage();
    EXPECT_EQ(S.Names("MAIL/GATEWAY").size(), 1u);
}

TEST_F(RouterTest, UnknownGatewayReturnsToSender)
{
    S.Config->Mail.Gateway = "NOWHERE";
    S.Queue("1.msg", "RCPT: x@example.com\r\n" + Message("a@S2"));
    auto router = MakeRouter();
    router->ProcessNextMessage();
    const auto queue = S.Files("QUEUE");
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_TRUE(Contains(queue[0], "No route to x@example.com"));
}

TEST_F(RouterTest, FaxGatewayFilesForeignFax2IntoTheFaxMailbox)
{
    S.Config->General.Role = TStationRole::MailFaxGateway;
    S.Queue("1.msg", "RCPT: FAX2@faxes.example\r\nRCPT: other@faxes.example\r\n" + Message("a@S2"));
    auto router = MakeRouter();
    router->ProcessNextMessage();
    EXPECT_EQ(S.Names("MAIL/Fax2").size(), 1u);
    EXPECT_EQ(S.Names("MAIL/GATEWAY").size(), 1u);
}

// Mail for the Internet is what the router would put into the gateway
// outbox or send to the mail gateway station, after the alias step.
TEST_F(RouterTest, TellsWhichRecipientsAreForTheInternet)
{
    auto router = MakeRouter();
    auto internet = [&](const std::vector<std::string>& addresses) {
        std::vector<std::string> out;
        for (const auto& a : addresses)
            if (router->ForTheInternet(a))
                out.push_back(a);
        return out;
    };
    const std::vector<std::string> all = {"x@example.com", " <y@Example.org> ",  "bob",
                                          "bob@home",      "John@Example.com",   "carol@S2",
                                          "eve@s3",        "zed@HOME",           "@HOME",
                                          "FAX2@HOME",     "FAX2@faxes.example", "someone@GW"};
    const std::vector<std::string> foreign = {"x@example.com", " <y@Example.org> ",
                                              "FAX2@faxes.example"};
    EXPECT_EQ(internet(all), foreign);
    S.Config->Mail.Gateway = "GW";
    EXPECT_EQ(internet(all), foreign);
    S.Config->Mail.Gateway = "NOWHERE";
    EXPECT_EQ(internet(all), std::vector<std::string>{});
    // A fax gateway faxes FAX2 mail for any domain itself.
    S.Config->Mail.Gateway.clear();
    S.Config->General.Role = TStationRole::MailFaxGateway;
    EXPECT_EQ(internet(all), (std::vector<std::string>{"x@example.com", " <y@Example.org> "}));
}

// What the SMTP server asks of each recipient a client outside the
// station's networks names: FAX2 anywhere makes a fax gateway dial.
TEST_F(RouterTest, TellsWhereEachRecipientGoes)
{
    using D = Routing::TDestination;
    S.Users->Add({"FAX2x", "pw", ""});
    auto router = MakeRouter();
    const std::vector<std::pair<std::string, D>> cases = {
        {"bob", D::Network},
        {" <Bob@home> ", D::Network},
        {"@HOME", D::Network},
        {"John@Example.com", D::Network}, // alias for bob
        {"carol@S2", D::Network},
        {"eve@s3", D::Network},
        {"someone@GW", D::Network},
        {"zed@HOME", D::Nowhere},
        {"x@example.com", D::Internet},
        {"FAX2@HOME", D::Fax},
        {"fax2", D::Fax},
        {"FAX2@S3", D::Fax},
        {"FAX2@faxes.example", D::Internet},
    };
    for (const auto& [address, destination] : cases)
        EXPECT_EQ(router->Destination(address), destination) << address;
    S.Config->Mail.Gateway = "NOWHERE";
    EXPECT_EQ(router->Destination("x@example.com"), D::Nowhere);
    S.Config->Mail.Gateway = "GW";
    EXPECT_EQ(router->Destination("x@example.com"), D::Internet);
    S.Config->Mail.Gateway.clear();
    S.Config->General.Role = TStationRole::MailFaxGateway;
    EXPECT_EQ(router->Destination("FAX2@faxes.example"), D::Fax);
    // A local user of that name has a mailbox, not a fax.
    S.Users->Add({"FAX2", "pw", ""});
    EXPECT_EQ(router->Destination("FAX2@HOME"), D::Network);
}

// A stranger who reaches the SMTP port names the victim as sender and a
// recipient the station can only return: the notice, carrying the whole
// message, must not go out to the victim. Mail from inside is returned to
// its sender as before.
TEST_F(RouterTest, MailFromOutsideIsReturnedOnlyInsideTheNetwork)
{
    const std::string outside = "X-Outside-Client: 198.51.100.7\r\n";
    struct TCase {
        std::string Sender;
        bool FromOutside;
        std::string NoticeFor;
    };
    const std::vector<TCase> cases = {
        {"victim@example.org", true, "admin"}, {"FAX2@HOME", true, "admin"},
        {"nobody@HOME", true, "admin"},        {"\"Bob\" <bob@HOME>", true, "bob@HOME"},
        {"carol@S2", true, "carol@S2"},        {"victim@example.org", false, "victim@example.org"},
    };
    auto router = MakeRouter();
    for (const auto& c : cases) {
        S.Queue("1.msg", "RCPT: ghost@HOME\r\n" + (c.FromOutside ? outside : "") +
                             Message(c.Sender, "spam", "buy now\r\n"));
        ASSERT_TRUE(router->ProcessNextMessage());
        const auto queue = S.Files("QUEUE");
        ASSERT_EQ(queue.size(), 1u) << c.Sender;
        EXPECT_EQ(queue[0].rfind("RCPT: " + c.NoticeFor + "\r\nTo: " + c.NoticeFor + "\r\n", 0), 0u)
            << queue[0];
        EXPECT_TRUE(Contains(queue[0], "buy now")) << c.Sender;
        // The notice itself is mail from inside.
        EXPECT_FALSE(Contains(queue[0], "X-Outside-Client")) << c.Sender;
        fs::remove(S.Path("QUEUE/" + S.Names("QUEUE")[0]));
    }
    EXPECT_TRUE(Contains(Log(), "Mail from victim@example.org for ghost@HOME returned to admin in "
                                "place of victim@example.org (mail from outside)"));
    EXPECT_TRUE(S.Names("MAIL/GATEWAY").empty());
}

// Tables changed since the SMTP server took the recipients, or another
// station's stranger: mail from outside still goes neither to the Internet
// nor to a fax, and its copy for another station says where it came from.
TEST_F(RouterTest, MailFromOutsideGoesNeitherToTheInternetNorToAFax)
{
    S.Config->General.Role = TStationRole::MailFaxGateway;
    const std::string body = Message("victim@example.org");
    S.Queue("1.msg", "RCPT: bob\r\nRCPT: x@example.com\r\nRCPT: FAX2@HOME\r\n"
                     "RCPT: FAX2@faxes.example\r\nRCPT: FAX2@S2\r\nRCPT: carol@S2\r\n"
                     "x-outside-client:198.51.100.7\r\n" +
                         body);
    auto router = MakeRouter();
    ASSERT_TRUE(router->ProcessNextMessage());
    EXPECT_EQ(S.Files("MAIL/bob"), std::vector<std::string>{body});
    EXPECT_EQ(
        S.Files("STATIONS/S2"),
        std::vector<std::string>{"RCPT: carol@S2\r\nX-Outside-Client: 198.51.100.7\r\n" + body});
    EXPECT_TRUE(S.Names("MAIL/GATEWAY").empty());
    EXPECT_TRUE(S.Names("MAIL/Fax2").empty());
    const auto queue = S.Files("QUEUE");
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue[0].rfind("RCPT: admin\r\n", 0), 0u);
    for (const char* returned :
         {"<x@example.com>", "<FAX2@HOME>", "<FAX2@faxes.example>", "<FAX2@S2>"})
        EXPECT_TRUE(Contains(queue[0], returned)) << returned;
    EXPECT_TRUE(Contains(queue[0], "not sent on to the Internet"));
    EXPECT_TRUE(Contains(queue[0], "not faxed"));

    // Through the mail gateway station alike.
    S.Config->Mail.Gateway = "GW";
    S.Queue("5.msg", "RCPT: x@example.com\r\nX-Outside-Client: 198.51.100.7\r\n" + body);
    Drain(*router);
    EXPECT_TRUE(S.Names("STATIONS/GW").empty());
    EXPECT_EQ(S.Names("MAIL/admin").size(), 2u);
}

TEST_F(RouterTest, OversizeComesBackAndEnvelopeDoesNotCount)
{
    S.Config->Mail.MaxMailSize = 1; // K bytes
    std::string head = "From: a@S2\r\nSubject: s\r\n\r\n";
    std::string exact = head + std::string(1024 - head.size(), 'x');
    ASSERT_EQ(exact.size(), 1024u);
    std::string envelope;
    for (int i = 0; i < 40; ++i)
        envelope += "RCPT: bob@HOME\r\n";
    S.Queue("1.msg", envelope + exact);
    S.Queue("2.msg", "RCPT: bob\r\nRCPT: carol@S2\r\n" + exact + "y");
    auto router = MakeRouter();
    router->ProcessNextMessage();
    EXPECT_EQ(S.Files("MAIL/bob"), std::vector<std::string>{exact});
    router->ProcessNextMessage();
    EXPECT_EQ(S.Names("MAIL/bob").size(), 1u) << "nothing of the big message is filed";
    EXPECT_TRUE(S.Names("STATIONS/S2").size() == 0u);
    const auto queue = S.Files("QUEUE");
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_TRUE(Contains(queue[0], "larger than the limit of 1 K bytes"));
    EXPECT_TRUE(Contains(queue[0], "<bob>\r\n<carol@S2>"));
}

TEST_F(RouterTest, NoticeIsNeverAnsweredWithAnotherNotice)
{
    S.Queue("1.msg", "RCPT: ghost@HOME\r\n" + Message("\"Mail System\" <>", "failure notice"));
    S.Queue("2.msg", "RCPT: ghost@HOME\r\nSubject: no sender\r\n\r\nbody\r\n");
    auto router = MakeRouter();
    router->ProcessNextMessage();
    EXPECT_EQ(S.Names("MAIL/admin").size(), 1u);
    EXPECT_TRUE(S.Names("QUEUE").size() == 1u); // only 2.msg is left
    // A message without a sender: the notice goes to admin, locally.
    Drain(*router);
    EXPECT_EQ(S.Names("MAIL/admin").size(), 2u);
    EXPECT_TRUE(S.Names("QUEUE").empty());
    EXPECT_TRUE(Contains(S.Files("MAIL/admin")[1], "To: admin\r\n"));
}

TEST_F(RouterTest, UnparseableFilesAreMovedAsideOnce)
{
    S.Queue("1.msg", "Subject: no envelope\r\n\r\nbody\r\n");
    S.Queue("2.msg", "");
    S.Queue("3.msg", "RCPT:   \r\nRCPT: <>\r\n\r\n");
    S.Queue("4.msg", "RCPT: bob\r\n" + Message("a@S2"));
    auto router = MakeRouter();
    Drain(*router);
    EXPECT_TRUE(S.Names("QUEUE").empty());
    EXPECT_EQ(S.Names("QUEUE/BAD"), (std::vector<std::string>{"1.msg", "2.msg", "3.msg"}));
    EXPECT_EQ(S.Names("MAIL/bob").size(), 1u);
    EXPECT_TRUE(Contains(Log(), "Queue file 1.msg names no recipient; moved to QUEUE/BAD/1.msg"));
    // A second bad file of the same name does not overwrite the first.
    S.Queue("1.msg", "junk");
    Drain(*router);
    EXPECT_TRUE(fs::exists(S.Path("QUEUE/BAD/1.msg.1")));
}

TEST_F(RouterTest, TakesAnyMessageNameNumbersFirst)
{
    S.Queue("abc.msg", "RCPT: bob\r\n" + Message("first@S2"));
    S.Queue("10.msg", "RCPT: bob\r\n" + Message("ten@S2"));
    S.Queue("9.msg", "RCPT: bob\r\n" + Message("nine@S2"));
    S.Queue("5.tmp", "RCPT: bob\r\n" + Message("never@S2"));
    auto router = MakeRouter();
    Drain(*router);
    const auto bob = S.Files("MAIL/bob");
    ASSERT_EQ(bob.size(), 3u);
    EXPECT_TRUE(Contains(bob[0], "nine@S2"));
    EXPECT_TRUE(Contains(bob[1], "ten@S2"));
    EXPECT_TRUE(Contains(bob[2], "first@S2"));
    EXPECT_TRUE(fs::exists(S.Path("QUEUE/5.tmp")));
}

// A crash at each point between writing copies and deleting the queue file:
// after the restart every copy exists exactly once.
TEST_F(RouterTest, CrashBetweenCopyAndDeleteFilesExactlyOnce)
{
    const char* points[] = {"copy written", "journal written", "copies done"};
    int round = 0;
    for (const char* point : points) {
        for (int nth = 1; nth <= 3; ++nth) {
            SCOPED_TRACE(std::string(point) + " #" + std::to_string(nth));
            fs::remove_all(S.Path("MAIL/bob"));
            fs::remove_all(S.Path("STATIONS/S2"));
            fs::remove_all(S.Path("MAIL/GATEWAY"));
            const std::string body = Message("a@S2", "round " + std::to_string(++round));
            S.Queue("1.msg", "RCPT: bob\r\nRCPT: carol@S2\r\nRCPT: x@example.com\r\n" + body);
            {
                auto crashing = MakeRouter();
                int seen = 0;
                crashing->FaultHook = [&](const char* at) {
                    if (std::string(at) == point && ++seen == nth)
                        throw std::runtime_error("power cut");
                };
                crashing->ProcessNextMessage();
            }
            auto restarted = MakeRouter();
            Drain(*restarted);
            EXPECT_EQ(S.Files("MAIL/bob"), std::vector<std::string>{body});
            EXPECT_EQ(S.Names("STATIONS/S2").size(), 1u);
            EXPECT_EQ(S.Names("MAIL/GATEWAY").size(), 1u);
            EXPECT_TRUE(S.Names("QUEUE").empty());
            EXPECT_FALSE(fs::exists(S.Path("QUEUE/1.msg.route")));
        }
    }
}

TEST_F(RouterTest, FailedCopyLeavesQueueFileAndOthersGoOn)
{
    auto router = MakeRouter();
    router->RetryDelayMs = 60000;
    S.Queue("1.msg", "RCPT: bob\r\n" + Message("first@S2"));
    S.Queue("2.msg", "RCPT: bob\r\n" + Message("second@S2"));
    int failures = 1;
    router->FaultHook = [&](const char* at) {
        if (std::string(at) == "copy written" && failures-- > 0)
            throw std::runtime_error("disk full");
    };
    Drain(*router);
    // 1.msg waits for its retry; 2.msg went on meanwhile.
    EXPECT_EQ(S.Names("QUEUE"), std::vector<std::string>{"1.msg"});
    EXPECT_TRUE(Contains(Log(), "Error filing queue file 1.msg: disk full"));
    auto fresh = MakeRouter();
    Drain(*fresh);
    EXPECT_EQ(S.Names("MAIL/bob").size(), 2u) << "the half-done first copy is not doubled";
    EXPECT_TRUE(S.Names("QUEUE").empty());
}

// A mailbox whose numbering was misled (its two highest files exchanged
// their names, which the kernel notes as two moves that read like two
// renames) and a station directory that another host filled without notes
// still take their copies: the router files the message at once instead of
// logging "File exists" at every retry.
TEST_F(RouterTest, MisledNumberingStillFilesTheMessage)
{
    for (int i = 1; i <= 30; ++i) {
        WriteFile(S.Path("MAIL/bob/" + std::to_string(i) + ".msg"), Message("old@S2"));
        WriteFile(S.Path("STATIONS/S2/" + std::to_string(i) + ".msg"), "RCPT: c@S2\r\n");
    }
    ASSERT_EQ(MessageStore::NextMessageNumber(S.Path("MAIL/bob")), 31u);
    ASSERT_EQ(MessageStore::NextMessageNumber(S.Path("STATIONS/S2")), 31u);
    for (int i = 31; i <= 33; ++i)
        WriteFile(S.Path("STATIONS/S2/" + std::to_string(i) + ".msg"), "RCPT: c@S2\r\n");
    MessageStore::DropChangeNotesForTest();
    ASSERT_EQ(ExchangeNames(S.Path("MAIL/bob/29.msg"), S.Path("MAIL/bob/30.msg")), 0);

    const std::string body = Message("alice@S2", "the new one");
    S.Queue("1.msg", "RCPT: bob\r\nRCPT: carol@S2\r\n" + body);
    auto router = MakeRouter();
    EXPECT_TRUE(router->ProcessNextMessage());
    EXPECT_TRUE(S.Names("QUEUE").empty());
    EXPECT_FALSE(Contains(Log(), "Error filing")) << Log();
    EXPECT_EQ(ReadFile(S.Path("MAIL/bob/31.msg")), body);
    EXPECT_EQ(ReadFile(S.Path("STATIONS/S2/34.msg")), "RCPT: carol@S2\r\n" + body);
    EXPECT_EQ(S.Names("MAIL/bob").size(), 31u);
    EXPECT_EQ(S.Names("STATIONS/S2").size(), 34u);
}

TEST_F(RouterTest, TwoHundredMessagesAtOnceAllFiledNoneTwice)
{
    auto router = MakeRouter();
    router->TurnIntervalMs = 1;
    router->Resume();
    std::vector<std::thread> writers;
    for (int w = 0; w < 4; ++w) {
        writers.emplace_back([w] {
            for (int i = 0; i < 50; ++i) {
                const std::string tag = "msg-" + std::to_string(w) + "-" + std::to_string(i);
                MessageStore::WriteNewMessage(DataRoot::Path("QUEUE"),
                                              "RCPT: bob\r\nRCPT: carol@S2\r\n" +
                                                  Message("a@S2", tag));
            }
        });
    }
    for (auto& t : writers)
        t.join();
    // A deadline, not a count of naps: on a busy machine the filing and the
    // listing itself take long.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (S.Names("MAIL/bob").size() < 200 && std::chrono::steady_clock::now() < deadline)
        SleepMs(10);
    router->TerminateAndWait();
    const auto bob = S.Files("MAIL/bob");
    ASSERT_EQ(bob.size(), 200u);
    std::set<std::string> unique(bob.begin(), bob.end());
    EXPECT_EQ(unique.size(), 200u);
    EXPECT_EQ(S.Names("STATIONS/S2").size(), 200u);
    EXPECT_TRUE(S.Names("QUEUE").empty());
}

TEST_F(RouterTest, ThreadEndsPromptlyWhileWaiting)
{
    auto router = MakeRouter();
    router->TurnIntervalMs = 1000;
    router->PauseMs = 2000;
    S.Queue("1.msg", "RCPT: bob\r\n" + Message("a@S2"));
    router->Resume();
    SleepMs(100);
    router->Terminate();
    EXPECT_TRUE(router->WaitFor(1000));
    // Asked to end during its pause, the router left the file untouched.
    EXPECT_EQ(S.Names("QUEUE"), std::vector<std::string>{"1.msg"});
}

TEST_F(RouterTest, AleFailureTellsAdminAndReturnsStationMail)
{
    MessageStore::EnsureDirectory(S.Path("STATIONS/S2"));
    MessageStore::WriteNewMessage(S.Path("STATIONS/S2"),
                                  "RCPT: carol@S2\r\n" + Message("bob@HOME", "one"));
    MessageStore::WriteNewMessage(S.Path("STATIONS/S2"),
                                  "RCPT: dan@S2\r\n" + Message("x@example.com", "two"));
    auto router = MakeRouter();
    router->AleFailure("S2");
    EXPECT_TRUE(S.Names("STATIONS/S2").empty());
    const auto admin = S.Files("MAIL/admin");
    ASSERT_EQ(admin.size(), 1u);
    EXPECT_TRUE(Contains(admin[0], "Subject: ALE failure notice\r\n"));
    EXPECT_TRUE(Contains(admin[0], "station S2"));
    const auto queue = S.Files("QUEUE");
    ASSERT_EQ(queue.size(), 2u);
    EXPECT_EQ(queue[0].rfind("RCPT: bob@HOME\r\n", 0), 0u);
    EXPECT_TRUE(Contains(queue[0], "<carol@S2>"));
    EXPECT_EQ(queue[1].rfind("RCPT: x@example.com\r\n", 0), 0u);
    Drain(*router);
    EXPECT_EQ(S.Names("MAIL/bob").size(), 1u);
    EXPECT_EQ(S.Names("MAIL/GATEWAY").size(), 1u);
}

TEST_F(RouterTest, AleFailureReturnsMailFromOutsideOnlyInsideTheNetwork)
{
    MessageStore::EnsureDirectory(S.Path("STATIONS/S2"));
    MessageStore::WriteNewMessage(S.Path("STATIONS/S2"),
                                  "RCPT: dan@S2\r\nX-Outside-Client: 198.51.100.7\r\n" +
                                      Message("victim@example.org", "two"));
    auto router = MakeRouter();
    router->AleFailure("S2");
    const auto queue = S.Files("QUEUE");
    ASSERT_EQ(queue.size(), 1u);
    EXPECT_EQ(queue[0].rfind("RCPT: admin\r\n", 0), 0u);
    EXPECT_TRUE(Contains(queue[0], "<dan@S2>"));
    Drain(*router);
    EXPECT_TRUE(S.Names("MAIL/GATEWAY").empty());
}

// The notice of a message cut short may carry a lower number than the message
// itself (gateway files are named by ticks); the cut message still goes first,
// so its notice is not written twice.
TEST_F(RouterTest, MessageCutShortIsResumedBeforeOthers)
{
    S.Queue("999999.msg", "RCPT: zed@HOME\r\n" + Message("a@S2"));
    {
        auto crashing = MakeRouter();
        crashing->FaultHook = [](const char* at) {
            if (std::string(at) == "copy written")
                throw std::runtime_error("power cut");
        };
        crashing->ProcessNextMessage();
    }
    ASSERT_EQ(S.Names("QUEUE"), (std::vector<std::string>{"999999.msg", "1000000.msg"}));
    fs::rename(S.Path("QUEUE/1000000.msg"), S.Path("QUEUE/5.msg"));
    auto restarted = MakeRouter();
    ASSERT_TRUE(restarted->ProcessNextMessage());
    EXPECT_EQ(S.Names("QUEUE"), std::vector<std::string>{"5.msg"});
    Drain(*restarted);
    EXPECT_EQ(S.Names("STATIONS/S2").size(), 1u) << "one notice, not two";
}

// Numbers are reused once a file leaves the queue: a journal left behind by an
// earlier message of the same number must not hold back the new message's
// copies.
TEST_F(RouterTest, AJournalOfAnotherMessageCountsForNothing)
{
    auto router = MakeRouter();
    WriteFileAtomic(S.Path("QUEUE/1.msg.route"), "MAIL/bob\tbob\nSTATIONS/S2\tcarol@S2\n");
    S.Queue("1.msg", "RCPT: bob\r\nRCPT: carol@S2\r\n" + Message("a@S2"));
    ASSERT_TRUE(router->ProcessNextMessage());
    EXPECT_EQ(S.Names("MAIL/bob").size(), 1u);
    EXPECT_EQ(S.Names("STATIONS/S2").size(), 1u);
    EXPECT_FALSE(fs::exists(S.Path("QUEUE/1.msg.route")));

    // A journal whose queue file is gone is cleared when the router is made.
    WriteFileAtomic(S.Path("QUEUE/2.msg.route"), "MAIL/bob\tbob\n");
    auto next = MakeRouter();
    EXPECT_FALSE(fs::exists(S.Path("QUEUE/2.msg.route")));
}

// A bad file that cannot even be moved aside is left alone, but only while it
// stays: a new message that takes its name once it is gone is filed.
TEST_F(RouterTest, ABadFileLeftAloneDoesNotHoldBackItsSuccessor)
{
    S.Queue("BAD", "a file where the directory should be");
    S.Queue("1.msg", "junk without an envelope");
    auto router = MakeRouter();
    Drain(*router);
    EXPECT_EQ(S.Names("QUEUE"), std::vector<std::string>{"1.msg"});
    EXPECT_TRUE(Contains(Log(), "Queue file 1.msg names no recipient; it cannot be moved aside"));
    EXPECT_FALSE(router->ProcessNextMessage()) << "left alone, not tried again";

    fs::remove(S.Path("QUEUE/1.msg"));
    S.Queue("1.msg", "RCPT: bob\r\n" + Message("a@S2"));
    EXPECT_TRUE(router->ProcessNextMessage());
    EXPECT_EQ(S.Names("MAIL/bob").size(), 1u);
    EXPECT_TRUE(S.Names("QUEUE").empty());
}
