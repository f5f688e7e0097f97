#include "mail/gateway/gateway_test_helpers.h"

#include "core/config.h"
#include "core/date_time.h"
#include "core/station_list.h"
#include "mail/account_list.h"
#include "mail/gateway_config_frm.h"
#include "mail/mail_gateway.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "platform/text.h"

std::time_t MarchAt(int day, int h, int m, int s)
{
    std::tm t{};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 2;
    t.tm_mday = day;
    t.tm_hour = h;
    t.tm_min = m;
    t.tm_sec = s;
    t.tm_isdst = -1;
    return std::mktime(&t);
}

void TRecordingExchange::Begin()
{
    FAborted = false;
    Record("begin");
}

void TRecordingExchange::SendMail()
{
    Record("send");
    if (Hold) {
        Sending.SetEvent();
        FRelease.WaitFor(10000);
    }
}

void TRecordingExchange::Abort()
{
    FAborted = true;
    ++FAborts;
    FRelease.SetEvent();
}

bool TRecordingExchange::Aborted() const
{
    if (HoldStart.exchange(false))
        StartGate.WaitFor(10000);
    return FAborted;
}

Lines TRecordingExchange::Calls()
{
    std::lock_guard lock(FLock);
    return FCalls;
}

void TRecordingExchange::Record(const char* what)
{
    std::lock_guard lock(FLock);
    FCalls.push_back(what);
}

std::atomic<std::time_t> GatewayFixture::Now{0};

GatewayFixture::GatewayFixture() = default;
GatewayFixture::~GatewayFixture() = default;

void GatewayFixture::SetUp()
{
    Now = MarchAt(7, 9, 5, 3);
    DateTime::SetNowForTest([] { return Now.load(); });
}

void GatewayFixture::TearDown()
{
    Gateway.reset();
    DateTime::SetNowForTest(nullptr);
}

void GatewayFixture::StartGateway(const std::string& gatewaySection)
{
    WriteFileAtomic(DataRoot::Path("skipmail.INI"),
                    "[GENERAL]\r\nSOFTWAREVERSION=MAIL GATEWAY\r\n[GATEWAY]\r\n" + gatewaySection);
    Config = std::make_unique<TConfig>();
    Stations = std::make_unique<TStationList>();
    Accounts = std::make_unique<TAccountList>();
    Settings =
        std::make_unique<TGatewayConfigFrm>(nullptr, Stations.get(), Config.get(), Accounts.get());
    Gateway = std::make_unique<TMailGateway>(nullptr, Config.get(), Settings.get(), Accounts.get());
    auto exchange = std::make_unique<TRecordingExchange>();
    Exchange = exchange.get();
    Gateway->SetExchange(std::move(exchange));
}

Lines GatewayFixture::Log(size_t from)
{
    Lines out;
    const QStringList lines = Gateway->StatusMemo->toPlainText().split('\n');
    for (qsizetype i = static_cast<qsizetype>(from); i < lines.size(); ++i)
        out.push_back(FromQt(lines[i]).substr(22));
    return out;
}
