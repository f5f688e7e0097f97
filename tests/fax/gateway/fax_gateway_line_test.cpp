#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <filesystem>

#include "core/config.h"
#include "core/message_store.h"
#include "fax/fax_gateway.h"
#include "fax/fax_job_file.h"
#include "fax/fax_server_manager.h"
#include "fax/fax_test_helpers.h"
#include "fax/gateway/gateway_helpers.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "platform/text.h"
#include "support/fax_line.h"

using namespace FaxGatewayTest;
namespace fs = std::filesystem;

namespace {
constexpr int kFaxCom = 81;
}

// A busy number is dialled again RetryDelay minutes later, not before; when
// the attempts are used up the administrator gets the fax's pages through
// the queue, under the number as it was written.
TEST(FaxGatewayLine, ABusyNumberIsRetriedAfterTheDelayThenTheAdministratorIsTold)
{
    QTemporaryDir root;
    ASSERT_TRUE(root.isValid());
    DataRoot::Set(root.path().toStdString());
    TFaxLine line;
    setenv(("SKIPMAIL_COM" + std::to_string(kFaxCom)).c_str(), line.AddModem(0).c_str(), 1);
    line.AddTerminal(1, {});
    line.Start();
    WriteFileAtomic(DataRoot::Path("skipmail.INI"),
                    "[GENERAL]\r\nSOFTWAREVERSION=MAIL/FAX GATEWAY\r\n[FAXMODEM]\r\nPORT=" +
                        std::to_string(kFaxCom) + "\r\nRETRY=2\r\nRETRYDELAY=1\r\n");
    TConfig config;
    TFaxGateway gateway(nullptr, &config);
    std::atomic<double> later{0};
    gateway.ApdFaxServer1->Clock = [&] { return Now() + later; };
    gateway.ApdFaxServerManager1->Clock = [&] { return Now() + later; };
    gateway.SendQueryInterval = 1;
    gateway.SendPause = 18;
    gateway.ApplySettings();

    const std::string fax = DataRoot::Path("OUTFAX/77.apf");
    FaxTest::MakeApf(fax, {FaxTest::MakePbm(60, 3)}, {true});
    TApdFaxClient client;
    client.FaxFileName = fax;
    client.JobFileName = DataRoot::Path("OUTFAX/77.apj");
    const std::string number = std::string(TFaxLine::kBusyNumber) + " (0) 12-34";
    client.SetPhoneNumber(number);
    client.MakeFaxJob();

    auto logged = [&](const std::string& text) {
        return FromQt(gateway.StatusEdit->toPlainText()).find(text) != std::string::npos;
    };
    ASSERT_TRUE(QTest::qWaitFor([&] { return logged("Attempts left"); }, 30000));
    EXPECT_TRUE(logged("Fax status: Error Called fax number was busy ID: 77"));
    EXPECT_TRUE(logged("Fax status: 1 Attempts left for ID: 77"));
    EXPECT_TRUE(logged("    Next retry attempt in 1 minutes"));
    const TFaxJob job = TFaxJob::Load(DataRoot::Path("OUTFAX/77.apj"));
    const double wait = (job.Recipients[0].SchedDT - Now()) * 86400;
    EXPECT_GT(wait, 50);
    EXPECT_LT(wait, 61);
    EXPECT_EQ(gateway.ApdFaxServer1->DelayBetweenSends, 18);
    QTest::qWait(2500);
    EXPECT_FALSE(logged("Failed to deliver"));

    later = 61.0 / 86400;
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return logged("Forwarded Fax to station Administrator"); }, 30000))
        << FromQt(gateway.StatusEdit->toPlainText());
    line.Stop();
    EXPECT_TRUE(logged("Fax status: Failed to deliver this fax message"));
    EXPECT_FALSE(fs::exists(fax));
    // The job stays as the record of its failure, never sent again.
    EXPECT_EQ(TFaxJob::Load(DataRoot::Path("OUTFAX/77.apj")).Header.Status, kJobHandled);
    const auto queued = MessageStore::ListMessages(DataRoot::Path("QUEUE"));
    ASSERT_EQ(queued.size(), 1u);
    const std::string notice = DataRoot::Path("QUEUE/" + queued[0].Name);
    std::string text;
    ASSERT_TRUE(ReadWholeFile(notice, text));
    EXPECT_EQ(text.rfind("RCPT: admin\r\n", 0), 0u);
    fs::create_directory(DataRoot::Path("out"));
    const std::string got = Oracle({"read", notice, DataRoot::Path("out")});
    EXPECT_EQ(Lines(got, "subject"),
              std::vector<std::string>{"Fax Error: Failed to deliver FAX Message to " + number});
    EXPECT_EQ(Lines(got, "page"), std::vector<std::string>{"Page1.BMP image/bmp 1728 60"});
    unsetenv(("SKIPMAIL_COM" + std::to_string(kFaxCom)).c_str());
}
