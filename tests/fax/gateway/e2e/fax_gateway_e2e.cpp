#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QTest>
#include <filesystem>

#include "app/main_form.h"
#include "core/message_store.h"
#include "fax/ad_fax_cvt.h"
#include "fax/fax_gateway.h"
#include "fax/fax_test_helpers.h"
#include "fax/gateway/gateway_helpers.h"
#include "mail/e2e/station_without_modem.h"
#include "mail/mail_test_helpers.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "platform/text.h"
#include "support/fax_line.h"

using namespace FaxGatewayTest;
namespace fs = std::filesystem;

namespace {
constexpr int kFaxCom = 83;
// Blank lines and the header line the sender puts above each page.
constexpr int kHeaderRows = 8 + 2 * 16 + 8;

// The page our converter makes of the text, as PBM bytes.
std::string TextPage(const std::string& text, const std::string& dir)
{
    FaxTest::WriteFile(dir + "/expected.txt", text);
    TApdFaxConverter converter;
    converter.SetInputDocumentType(TFaxInputDocumentType::idText);
    converter.SetResolution(TFaxResolution::frHigh);
    converter.SetTopMargin(50);
    converter.SetDocumentFile(dir + "/expected.txt");
    converter.SetOutFileName(dir + "/expected.apf");
    converter.ConvertToFile();
    const auto pages = FaxTest::ApfPages(dir + "/expected.apf");
    return pages.empty() ? std::string() : pages[0];
}
} // namespace

// A mail and fax gateway station as the program builds it (without its HF
// modem) on a telephone line whose far end is a fax machine: mail for FAX2
// from a mail client comes out of the far machine as a fax, and a fax the
// machine sends comes into the forwarding user's mailbox as mail with one
// bitmap per page.
TEST(FaxGatewayEndToEnd, MailBecomesAFaxAndAFaxBecomesMail)
{
    TScratch test;
    const std::string scratch = test.Dir();
    TFaxLine line;
    setenv(("SKIPMAIL_COM" + std::to_string(kFaxCom)).c_str(), line.AddModem(0).c_str(), 1);
    TFaxLine::TTerminalSetup answer;
    answer.ReceiveTiff = scratch + "/received.tif";
    answer.Ident = "FAR MACHINE";
    line.AddTerminal(1, answer);
    line.Speed = 1.5;
    line.Start();

    TempRoot station;
    const int smtpPort = FreePort();
    WriteFileAtomic(DataRoot::Path("skipmail.INI"),
                    "[GENERAL]\r\nSOFTWAREVERSION=MAIL/FAX GATEWAY\r\n[SMTP]\r\nENABLED=ON\r\n"
                    "SMTPPORT=" +
                        std::to_string(smtpPort) +
                        "\r\n[POP3]\r\nENABLED=OFF\r\n[MAIL]\r\nMAXMAILSIZE=4096\r\n"
                        "[FAXMODEM]\r\nPORT=" +
                        std::to_string(kFaxCom) +
                        "\r\n[FAXRECEIVE]\r\nRECEIVEENABLED=TRUE\r\nFORWARDENABLED=TRUE\r\n"
                        "FORWARDADDRESS=bob\r\nNUMRINGS=1\r\n");
    WriteFileAtomic(DataRoot::Path("stations.dat"), "HOME,,,,DISABLED,,,,\r\n");
    WriteFileAtomic(DataRoot::Path("users.dat"), "admin:E696D64616:\r\nbob:26F626:\r\n");
    auto form = std::make_unique<TMainForm>(StationPartsWithoutModem());
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->Started(); }, 10000));
    TFaxGateway* gateway = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
        gateway = gateway ? gateway : qobject_cast<TFaxGateway*>(w);
    ASSERT_NE(gateway, nullptr);
    gateway->SendQueryInterval = 1;
    gateway->SendPause = 18;
    gateway->ApplySettings();
    gateway->POPtimer->setInterval(200);
    auto log = [&] { return FromQt(gateway->StatusEdit->toPlainText()); };

    // Out: a text and a picture, from a mail client through the router.
    SaveBmp(BlockPicture(64, 48, 0, 0, 0.5, 1), scratch + "/left.bmp");
    const std::string text = "Fax from the HF network.\nSecond line.\n";
    Oracle({"send", std::to_string(smtpPort), "555 0123", text, scratch + "/left.bmp", "left.bmp"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return line.TerminalResult(1).Done; }, 120000)) << log();
    const TFaxLine::TTerminalResult sent = line.TerminalResult(1);
    EXPECT_EQ(sent.Completion, 0);
    EXPECT_EQ(sent.PagesRx, 2);
    // A station ID has 20 characters on the line.
    EXPECT_EQ(sent.RemoteIdent, "VESKAR MAIL FAX GATE");
    const auto pages = FaxTest::TiffPages(answer.ReceiveTiff);
    ASSERT_EQ(pages.size(), 2u);
    std::string crlf = text;
    for (size_t p = 0; (p = crlf.find('\n', p)) != std::string::npos; p += 2)
        crlf.insert(p, "\r");
    EXPECT_TRUE(FaxTest::SamePage(TextPage(crlf, scratch), pages[0], kHeaderRows));
    const QImage picture = QImage::fromData(QByteArray::fromStdString(pages[1]), "PBM");
    EXPECT_TRUE(BlackAt(picture, 0.1, 0.5));
    EXPECT_TRUE(BlackAt(picture, 0.45, 0.9));
    EXPECT_FALSE(BlackAt(picture, 0.6, 0.5));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return log().find("sent successfully") != std::string::npos; }, 10000));
    // The job and its fax are gone; only the job directory's lock stays.
    EXPECT_EQ(
        std::distance(fs::directory_iterator(DataRoot::Path("OUTFAX")), fs::directory_iterator()),
        1);

    // In: the machine calls with two pages.
    const std::vector<std::string> sources{FaxTest::MakePbm(150, 1), FaxTest::MakePbm(200, 2)};
    TFaxLine::TTerminalSetup call;
    call.Calling = true;
    call.SendTiff = scratch + "/send.tif";
    call.Ident = "FAR MACHINE";
    FaxTest::MakeTiff(call.SendTiff, sources, {true, true});
    line.RearmTerminal(1, call);
    const std::string bob = DataRoot::Path("MAIL/bob");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !MessageStore::ListMessages(bob).empty(); }, 120000))
        << log();
    EXPECT_TRUE(QTest::qWaitFor([&] { return line.TerminalResult(1).Done; }, 30000));
    line.Stop();
    EXPECT_EQ(line.TerminalResult(1).Completion, 0);
    const auto mail = MessageStore::ListMessages(bob);
    ASSERT_EQ(mail.size(), 1u);
    fs::create_directory(scratch + "/out");
    const std::string got = Oracle({"read", bob + "/" + mail[0].Name, scratch + "/out"});
    EXPECT_EQ(Lines(got, "text"), std::vector<std::string>{"Message Forwarded From FAX Gateway"});
    EXPECT_EQ(Lines(got, "to"), std::vector<std::string>{"bob"});
    ASSERT_EQ(Lines(got, "page").size(), 2u) << got;
    for (int n = 1; n <= 2; ++n)
        EXPECT_TRUE(FaxTest::SamePage(
            sources[n - 1],
            FaxTest::ReadFile(scratch + "/out/Page" + std::to_string(n) + ".BMP.pbm")))
            << n;
    EXPECT_NE(log().find("Fax status: Accepting Fax from: FAR MACHINE"), std::string::npos);
    EXPECT_NE(log().find("Fax status: Forwarded Fax to bob"), std::string::npos);
    form->Shutdown(0);
    unsetenv(("SKIPMAIL_COM" + std::to_string(kFaxCom)).c_str());
}
