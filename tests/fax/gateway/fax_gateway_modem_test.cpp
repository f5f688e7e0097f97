#include <gtest/gtest.h>

#include <QTest>
#include <filesystem>
#include <optional>

#include "core/config.h"
#include "core/message_store.h"
#include "fax/ad_fax_prn.h"
#include "fax/fax_gateway.h"
#include "fax/fax_job_file.h"
#include "fax/fax_server_manager.h"
#include "fax/fax_test_helpers.h"
#include "fax/gateway/gateway_helpers.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "platform/text.h"
#include "support/scripted_modem.h"
#include "support/test_files.h"

using namespace FaxGatewayTest;
namespace fs = std::filesystem;

// The fax gateway with its fax server and engine on a Class 2.0 modem that
// plays a script written by hand from our reading of the command set: how a
// call's end reaches the job, the mail and the printer.

namespace {

constexpr int kFaxCom = 84;
constexpr const char* kInit = "ATE0Q0V1X4S0=0S2=43";

// The modem finds the class by asking, then takes the set-up of its class.
void DetectClass20(TScriptedModem& m)
{
    m.Answer(kInit, {"OK"}).Answer("AT+FCLASS=?", {"0,1,2,2.0", "OK"}).Answer(kInit, {"OK"});
}

// A mail and fax gateway whose fax modem is the script.
struct TModemStation {
    explicit TModemStation(const std::string& ini)
    {
        setenv(Variable().c_str(), Modem.SlavePath().c_str(), 1);
        WriteFileAtomic(DataRoot::Path("skipmail.INI"),
                        "[GENERAL]\r\nSOFTWAREVERSION=MAIL/FAX GATEWAY\r\n[FAXMODEM]\r\nPORT=" +
                            std::to_string(kFaxCom) + "\r\n" + ini);
        Config.emplace();
    }
    ~TModemStation()
    {
        Gateway.reset();
        unsetenv(Variable().c_str());
    }
    static std::string Variable() { return "SKIPMAIL_COM" + std::to_string(kFaxCom); }
    void Start()
    {
        Modem.Start();
        Gateway = std::make_unique<TFaxGateway>(nullptr, &*Config);
        Gateway->ApdFaxPrinter1->SetPrintTarget(std::make_unique<FaxTest::TCountingTarget>(Sheets));
    }
    std::string Log() const { return FromQt(Gateway->StatusEdit->toPlainText()); }
    bool WaitLogged(const std::string& text, int ms)
    {
        return QTest::qWaitFor([&] { return Log().find(text) != std::string::npos; }, ms);
    }
    std::vector<MessageStore::TMessageFile> Queued() const
    {
        return MessageStore::ListMessages(DataRoot::Path("QUEUE"));
    }

    TempRoot Root;
    TScriptedModem Modem;
    std::optional<TConfig> Config; // read once the station's files are written
    std::unique_ptr<TFaxGateway> Gateway;
    int Sheets = 0;
};

// A received call up to the page's status, after the gateway set the modem
// up to answer.
void AnswerAPage(TScriptedModem& m, const std::string& page)
{
    DetectClass20(m);
    m.Answer("AT+FCLASS=2.0", {"OK"})
        .Answer("AT+FCR=1", {"OK"})
        .Answer("AT+FLI=\"VESKAR Mail Fax Gate\"", {"OK"})
        .Answer("AT+FAA=0", {"OK"})
        .Answer("AT+FCLASS=2.0", {"OK"})
        .Answer("AT+FIS=1,5,0,2,0,0,0,0", {"OK"})
        .Answer("AT+FLO=2", {"OK"})
        .Answer("AT+FNR=1,1,1,0", {"OK"})
        .Pause(300)
        .Result("RING")
        .Answer("ATA", {"+FCO", "+FTI: \"SENDER 20\"", "+FCS: 1,3,0,2,0,0,0,0", "OK"});
    FaxTest::PassPage(m, page);
}

// The coded data of page 1 of an APF file.
std::string PageData(const std::string& apf)
{
    TApfReader r;
    EXPECT_EQ(r.Open(apf), 0);
    TPageHeaderRec ph;
    EXPECT_EQ(r.SeekPage(1, ph), 0);
    std::string data;
    std::vector<uint8_t> chunk;
    while (r.ReadChunk(chunk) == 0 && !chunk.empty())
        data.append(chunk.begin(), chunk.end());
    return data;
}

const char* kReceiveIni = "[FAXRECEIVE]\r\nRECEIVEENABLED=TRUE\r\nFORWARDENABLED=TRUE\r\n"
                          "FORWARDADDRESS=bob\r\nPRINTENABLED=TRUE\r\nNUMRINGS=1\r\n";

} // namespace

// The far end took the last page and the modem then reports a hang-up code
// other than 0: the fax was delivered. It is dialled once, the job is done,
// and the administrator gets no notice of a failure.
TEST(FaxGatewayModem, AHangupCodeAfterTheLastPageTakenLeavesTheJobSent)
{
    TModemStation s("RETRY=1\r\n");
    DetectClass20(s.Modem);
    s.Modem.Answer("AT+FCLASS=2.0", {"OK"})
        .Answer("AT+FLI=\"VESKAR MAIL FAX GATE\"", {"OK"})
        .Answer("AT+FLO=2", {"OK"})
        .Answer("AT+FNR=1,1,1,0", {"OK"})
        .Answer("AT+FIS=1,5,0,2,0,0,0,0", {"OK"})
        .Answer("ATDT555", {"+FCO", "+FCI: \"FAR END\"", "+FIS: 1,3,0,2,0,0,0,0", "OK"})
        .Answer("AT+FDT", {"+FCS: 1,3,0,2,0,0,0,0", "CONNECT"})
        .CaptureDleData(0)
        .Result("+FPS:1,0,0,0,0")
        .Result("+FHS:52")
        .Result("OK");
    s.Start();
    const std::string fax = DataRoot::Path("OUTFAX/77.apf");
    FaxTest::MakeApf(fax, {FaxTest::MakePbm(40, 1)}, {true});
    s.Gateway->SendQueryInterval = 1;
    s.Gateway->SendPause = 18;
    s.Gateway->ApplySettings();
    TApdFaxClient client;
    client.FaxFileName = fax;
    client.JobFileName = DataRoot::Path("OUTFAX/77.apj");
    client.SetPhoneNumber("555");
    client.MakeFaxJob();

    ASSERT_TRUE(s.WaitLogged("Fax status: sent successfully ID: 77", 60000))
        << s.Log() << s.Modem.Errors();
    // The next query has run and found nothing to send.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            const std::string log = s.Log();
            return log.find("Port is closed", log.find("sent successfully")) != std::string::npos;
        },
        30000))
        << s.Log();
    EXPECT_EQ(s.Modem.Errors(), "");
    EXPECT_EQ(s.Modem.Trailing(), "") << "one call, no hang-up";
    EXPECT_EQ(s.Gateway->ApdFaxServer1->Sender()->HangupCode(), 52);
    EXPECT_FALSE(fs::exists(DataRoot::Path("OUTFAX/77.apj")));
    EXPECT_FALSE(fs::exists(fax));
    EXPECT_TRUE(s.Queued().empty());
    EXPECT_EQ(s.Log().find("Failed to deliver"), std::string::npos) << s.Log();
    EXPECT_EQ(s.Log().find("Attempts left"), std::string::npos) << s.Log();
}

// A whole document, then a hang-up code other than 0: the fax is printed
// and mailed as received, not as a broken-off one.
TEST(FaxGatewayModem, AHangupCodeAfterAWholeFaxKeepsItWhole)
{
    TModemStation s(kReceiveIni);
    const std::string source = FaxTest::MakePbm(120, 5);
    FaxTest::MakeApf(DataRoot::Path("src.apf"), {source}, {true});
    AnswerAPage(s.Modem, PageData(DataRoot::Path("src.apf")));
    s.Modem.Result("+FPS:1,0,0,0,0");
    FaxTest::EndFax(s.Modem, "+FHS:52");
    s.Start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !s.Queued().empty(); }, 60000))
        << s.Log() << s.Modem.Errors();
    EXPECT_EQ(s.Modem.Errors(), "");
    EXPECT_TRUE(s.WaitLogged("Fax status: received successfully ID: FAX00001", 10000)) << s.Log();
    EXPECT_EQ(s.Sheets, 1);
    const auto queued = s.Queued();
    ASSERT_EQ(queued.size(), 1u);
    fs::create_directory(DataRoot::Path("out"));
    const std::string got =
        Oracle({"read", DataRoot::Path("QUEUE/" + queued[0].Name), DataRoot::Path("out")});
    ASSERT_EQ(Lines(got, "subject").size(), 1u);
    EXPECT_EQ(Lines(got, "subject")[0].find("incomplete"), std::string::npos) << got;
    EXPECT_EQ(Lines(got, "text"), std::vector<std::string>{"Message Forwarded From FAX Gateway"});
    ASSERT_EQ(Lines(got, "page").size(), 1u) << got;
    EXPECT_TRUE(FaxTest::SamePage(source, FaxTest::ReadFile(DataRoot::Path("out/Page1.BMP.pbm"))));
}

// A call whose only page was bad: nothing is kept or printed, the log says
// so, and the mail still goes, without pages, saying why.
TEST(FaxGatewayModem, AFaxWhoseOnlyPageWasBadIsMailedWithoutPages)
{
    TModemStation s(kReceiveIni);
    AnswerAPage(s.Modem, std::string("\x11\x22\x33", 3));
    s.Modem.Result("+FPS:2,0,0,0,0");
    FaxTest::EndFax(s.Modem, "+FHS:00");
    s.Start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !s.Queued().empty(); }, 60000))
        << s.Log() << s.Modem.Errors();
    EXPECT_EQ(s.Modem.Errors(), "");
    const std::string log = s.Log();
    EXPECT_NE(log.find("Fax status: received a fax with no readable page from SENDER 20"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("received successfully"), std::string::npos) << log;
    EXPECT_NE(log.find("Fax status: Forwarded Fax to bob"), std::string::npos) << log;
    EXPECT_EQ(s.Sheets, 0);
    EXPECT_FALSE(fs::exists(DataRoot::Path("MAIL/Fax2/FAX00001.APF")));
    const auto queued = s.Queued();
    ASSERT_EQ(queued.size(), 1u);
    fs::create_directory(DataRoot::Path("out"));
    const std::string got =
        Oracle({"read", DataRoot::Path("QUEUE/" + queued[0].Name), DataRoot::Path("out")});
    EXPECT_EQ(Lines(got, "to"), std::vector<std::string>{"bob"});
    EXPECT_TRUE(Lines(got, "page").empty()) << got;
    const auto text = Lines(got, "text");
    ASSERT_FALSE(text.empty()) << got;
    EXPECT_EQ(text.front(), "Message Forwarded From FAX Gateway");
    EXPECT_NE(text.back().find("No page of this fax could be read"), std::string::npos) << got;
}

namespace {

struct TMailed {
    std::string Subject;
    std::vector<std::string> To;
    std::vector<std::string> Pages; // PBM bytes
};

// The queued mails in the order they were queued, as the oracle reads them.
std::vector<TMailed> Mailed(const TModemStation& s)
{
    std::vector<TMailed> mails;
    for (const auto& file : s.Queued()) {
        const std::string out = DataRoot::Path("out" + std::to_string(mails.size()));
        fs::create_directory(out);
        const std::string got = Oracle({"read", DataRoot::Path("QUEUE/" + file.Name), out});
        TMailed mail;
        const auto subject = Lines(got, "subject");
        mail.Subject = subject.empty() ? std::string() : subject[0];
        mail.To = Lines(got, "to");
        for (std::size_t p = 1; p <= Lines(got, "page").size(); ++p)
            mail.Pages.push_back(FaxTest::ReadFile(out + "/Page" + std::to_string(p) + ".BMP.pbm"));
        mails.push_back(std::move(mail));
    }
    return mails;
}

// How a call with two documents ends after the second one's page.
struct TTwoDocumentCall {
    const char* Name;
    void (*End)(TScriptedModem&);
    const char* Reported;  // the log line that reports the end of the call
    std::size_t Mails;     // the first document's, then the second's
    bool SecondIncomplete; // its mail says the call broke off
    int Sheets;
};

const TTwoDocumentCall kTwoDocumentCalls[] = {
    {"whole", [](TScriptedModem& m) { FaxTest::EndFax(m.Result("+FPS:1,0,0,0,0"), "+FHS:00"); },
     "Fax status: received successfully ID: FAX00002", 2, false, 2},
    {"broken off", [](TScriptedModem& m) { m.Result("+FHS:40"); },
     "Fax status: Error Fax failed in mid-session ID: FAX00002", 2, true, 1},
    // A modem fault is fatal: the second document is neither mailed nor
    // printed.
    {"modem fault",
     [](TScriptedModem& m) {
         m.Result("+FPS:1,0,0,0,0").Result("+FET:0").Result("OK").Answer("AT+FDR", {"ERROR"});
     },
     "Fatal error occured while receiving", 1, false, 1},
};

} // namespace

// A call that brings two documents ("+FET:1" after the first one's page)
// stores each in a file of its own. Each one is printed and mailed on its
// own, in the order they came; the first came whole, so it is printed and
// mailed as whole however the call ends.
TEST(FaxGatewayModem, EachDocumentOfACallIsPrintedAndMailed)
{
    for (const TTwoDocumentCall& c : kTwoDocumentCalls) {
        SCOPED_TRACE(c.Name);
        TModemStation s(kReceiveIni);
        const std::string sources[] = {FaxTest::MakePbm(120, 5), FaxTest::MakePbm(90, 2)};
        FaxTest::MakeApf(DataRoot::Path("src1.apf"), {sources[0]}, {true});
        FaxTest::MakeApf(DataRoot::Path("src2.apf"), {sources[1]}, {true});
        AnswerAPage(s.Modem, PageData(DataRoot::Path("src1.apf")));
        s.Modem.Result("+FPS:1,0,0,0,0").Result("+FET:1").Result("OK");
        FaxTest::PassPage(s.Modem, PageData(DataRoot::Path("src2.apf")));
        c.End(s.Modem);
        s.Start();
        ASSERT_TRUE(s.WaitLogged(c.Reported, 60000)) << s.Log() << s.Modem.Errors();
        EXPECT_TRUE(QTest::qWaitFor([&] { return s.Queued().size() >= c.Mails; }, 10000))
            << s.Log();
        EXPECT_EQ(s.Modem.Errors(), "");
        const std::string log = s.Log();
        const auto first = log.find("Fax status: received successfully ID: FAX00001");
        EXPECT_NE(first, std::string::npos) << log;
        EXPECT_LT(first, log.find(c.Reported)) << log;
        EXPECT_EQ(s.Sheets, c.Sheets);
        EXPECT_NE(log.find("Fax status: Printed FAX00001"), std::string::npos) << log;
        EXPECT_EQ(log.find("Fax status: Printed FAX00002") != std::string::npos, c.Sheets == 2)
            << log;

        const auto mails = Mailed(s);
        ASSERT_EQ(mails.size(), c.Mails);
        for (std::size_t i = 0; i < mails.size(); ++i) {
            EXPECT_EQ(mails[i].To, std::vector<std::string>{"bob"});
            EXPECT_EQ(mails[i].Subject.find("incomplete") != std::string::npos,
                      i == 1 && c.SecondIncomplete)
                << mails[i].Subject;
            ASSERT_EQ(mails[i].Pages.size(), 1u) << i;
            EXPECT_TRUE(FaxTest::SamePage(sources[i], mails[i].Pages[0])) << i;
        }
    }
}
