#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "mail/gateway_exchange.h"
#include "platform/thread.h"
#include "support/test_files.h"

class TAccountList;
class TConfig;
class TGatewayConfigFrm;
class TMailGateway;
class TStationList;

using Lines = std::vector<std::string>;

// A local time in March 2024.
std::time_t MarchAt(int day, int h, int m, int s);

// Records what the gateway asks of a connection. With Hold set, the sending
// signals Sending and waits until the connection is aborted; with HoldStart
// set, the first look at Aborted waits until StartGate is signalled.
class TRecordingExchange : public TGatewayExchange {
public:
    void Begin() override;
    void SendMail() override;
    void ReceiveMail() override { Record("receive"); }
    int CountOutgoingMail() override { return Outbox; }
    void Abort() override;
    bool Aborted() const override;

    Lines Calls();
    int Aborts() const { return FAborts; }

    std::atomic<int> Outbox{0};
    std::atomic<bool> Hold{false};
    TEvent Sending;
    mutable std::atomic<bool> HoldStart{false};
    mutable TEvent StartGate;

private:
    void Record(const char* what);
    std::mutex FLock;
    Lines FCalls;
    std::atomic<bool> FAborted{false};
    std::atomic<int> FAborts{0};
    TEvent FRelease;
};

// A mail gateway station in a fresh data root, its clock at Now (first
// 07-Mar-24 09:05:03), connecting through a recording exchange.
class GatewayFixture : public ::testing::Test {
protected:
    GatewayFixture();
    ~GatewayFixture() override;

    void SetUp() override;
    void TearDown() override;

    // Writes the INI file of a mail gateway with this [GATEWAY] section and
    // builds the account table, the settings dialog and the gateway.
    void StartGateway(const std::string& gatewaySection);
    // The log texts, without their stamps, from line `from` on.
    Lines Log(size_t from = 0);

    static std::atomic<std::time_t> Now;
    TempRoot Dir;
    std::unique_ptr<TConfig> Config;
    std::unique_ptr<TStationList> Stations;
    std::unique_ptr<TAccountList> Accounts;
    std::unique_ptr<TGatewayConfigFrm> Settings;
    std::unique_ptr<TMailGateway> Gateway;
    TRecordingExchange* Exchange = nullptr;
};
