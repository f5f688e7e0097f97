#include "fax/fax_server.h"
#include "fax/fax_test_helpers.h"
#include "fax/server/fake_engine_helpers.h"
#include "serial/ad_port.h"
#include "support/fax_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using namespace FaxTest;
namespace fs = std::filesystem;

namespace {
constexpr unsigned kSendCom = 71;
constexpr unsigned kReceiveCom = 72;
// Blank lines and the header line the sender puts above each page.
constexpr int kHeaderRows = 8 + 2 * 16 + 8;
} // namespace

// The whole road: a job written into the out folder is found by the
// server's query, sent over the Class 1 line and received by a second
// server answering on the far modem.
TEST(FaxServerLine, AQueuedJobReachesTheFarServer)
{
    TScratch dir;
    for (const char* d : {"OUTFAX", "in", "work"})
        fs::create_directory(dir.Path(d));
    const std::vector<std::string> pages{MakePbm(60, 1), MakePbm(80, 2)};
    MakeApf(dir.Path("fax.apf"), pages, {false, true});

    TFaxLine line;
    setenv(("SKIPMAIL_COM" + std::to_string(kSendCom)).c_str(), line.AddModem(0).c_str(), 1);
    setenv(("SKIPMAIL_COM" + std::to_string(kReceiveCom)).c_str(), line.AddModem(1).c_str(), 1);
    line.Speed = 1.5;
    line.Start();

    std::vector<std::string> events;
    const auto record = [&](const std::string& who) {
        return [&events, who](TApdCustomFaxServer*, TFaxServerMode mode, int code) {
            events.push_back(who + (mode == TFaxServerMode::fsmSend ? " sent " : " received ") +
                             std::to_string(code));
        };
    };
    QObject farForm;
    auto* farPort = new TApdComPort(&farForm);
    farPort->SetComNumber(kReceiveCom);
    farPort->SetAutoOpen(false);
    auto* far = new TApdFaxServer(&farForm);
    far->SetStationID("FAR STATION");
    far->SetDestinationDir(dir.Path("in"));
    far->SetDesiredBPS(0);
    std::string caller;
    far->OnFaxServerAccept = [&](TApdCustomFaxServer* s, bool&) { caller = s->RemoteID(); };
    far->OnFaxServerFinish = record("far");
    far->SetMonitoring(true);

    QObject form;
    auto* port = new TApdComPort(&form);
    port->SetComNumber(kSendCom);
    port->SetAutoOpen(false);
    auto* server = new TApdFaxServer(&form);
    auto* manager = new TApdFaxServerManager(&form);
    manager->SetMonitorDir(dir.Path("OUTFAX"));
    manager->ExtractDir = dir.Path("work");
    manager->DeleteOnComplete = true;
    server->SetServerManager(manager);
    server->SetStationID("SkipMail Gateway");
    server->SetDesiredBPS(0);
    server->OnFaxServerFinish = record("near");
    auto* client = new TApdFaxClient(&form);
    client->FaxFileName = dir.Path("fax.apf");
    client->JobFileName = dir.Path("OUTFAX/1234.apj");
    client->JobName = "HF FAX";
    client->Sender = "HF Gateway";
    client->SetPhoneNumber("555");
    client->SetHeaderLine("Sent By HF Fax Gateway");
    client->MakeFaxJob();
    server->SetSendQueryInterval(1);

    const bool done = PumpUntil([&] { return events.size() >= 2; }, 180000);
    line.Stop();
    ASSERT_TRUE(done) << events.size();
    std::sort(events.begin(), events.end());
    EXPECT_EQ(events, (std::vector<std::string>{"far received 0", "near sent 0"}));
    EXPECT_EQ(caller, "SKIPMAIL GATEWAY");
    EXPECT_EQ(server->RemoteID(), "FAR STATION");
    EXPECT_FALSE(fs::exists(dir.Path("OUTFAX/1234.apj")));
    EXPECT_TRUE(fs::is_empty(dir.Path("work")));
    ASSERT_EQ(far->GetFaxFile(), dir.Path("in/FAX00001.APF"));
    std::vector<bool> fine;
    const auto got = ApfPages(far->GetFaxFile(), &fine);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(fine, (std::vector<bool>{false, true}));
    for (std::size_t i = 0; i < got.size(); ++i)
        EXPECT_TRUE(SamePage(pages[i], got[i], kHeaderRows)) << i;
}
