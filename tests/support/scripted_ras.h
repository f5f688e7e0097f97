#pragma once

#include "platform/ras.h"

#include <condition_variable>
#include <map>
#include <mutex>

// A dial-up service played from a script: a phone book, an outcome per
// entry, dial delays, hang-up latency, injected line drops, and a log of
// every call. Installs itself as the process's backend while it lives.
class TScriptedRas : public TRasBackend {
public:
    struct TOutcome {
        int Result = 0;             // RAS code of the dial
        uint32_t DialMs = 0;        // how long the dial takes
        std::vector<int> States{2}; // reported before the end
        std::string IpAddress = "10.64.0.2";
        int64_t BytesSent = -1; // counters of the line once up
        int64_t BytesReceived = -1;
        std::string Words; // said of a failed dial
    };

    TScriptedRas();
    ~TScriptedRas() override;

    // Script, set before use (or under Lock()).
    std::vector<std::string> Entries;
    std::map<std::string, TOutcome> Outcomes; // entries not here connect at once
    std::map<std::string, TRasDialParams> Stored;
    std::map<std::string, TRasEntry> Properties;
    uint32_t HangupLatencyMs = 0; // a hung-up line stays listed this long
    bool IsAvailable = true;

    // Ends the connection of that entry as if the line dropped.
    void DropLine(const std::string& entry);
    // Lines such as "dial Office user=bob password=secret", "hangup Office".
    std::vector<std::string> CallLog();
    // The dial parameters the last dial was given.
    TRasDialParams LastDial();
    // Connections being dialled or up.
    int LiveCount();
    // Waits until a dial of that entry is under way.
    bool WaitForDialling(const std::string& entry, uint32_t timeoutMs);

    bool Available() const override { return IsAvailable; }
    int EnumEntries(const std::string& phonebook, std::vector<std::string>& names) override;
    int GetEntryDialParams(const std::string& phonebook, TRasDialParams& params,
                           bool& hasPassword) override;
    int SetEntryDialParams(const std::string& phonebook, const TRasDialParams& params,
                           bool removePassword) override;
    int GetEntryProperties(const std::string& phonebook, const std::string& entry,
                           TRasEntry& properties) override;
    int SetEntryProperties(const std::string& phonebook, const std::string& entry,
                           const TRasEntry& properties) override;
    int RenameEntry(const std::string& phonebook, const std::string& from,
                    const std::string& to) override;
    int ValidateEntryName(const std::string& phonebook, const std::string& name) override;
    int DeleteEntry(const std::string& phonebook, const std::string& entry) override;
    int Dial(const std::string& phonebook, const TRasDialParams& params,
             const std::function<void(int state)>& progress, HRASCONN& handle,
             std::string& words) override;
    int HangUp(HRASCONN handle) override;
    int GetConnectStatus(HRASCONN handle, TRasConnStatus& status) override;
    int EnumConnections(std::vector<TRasConnection>& connections) override;
    int GetIpAddress(HRASCONN handle, std::string& address) override;

private:
    struct TLine {
        std::string Entry;
        int State = 0;
        bool HungUp = false;
        uint32_t GoneAtMs = 0; // when a hung-up line stops being listed
        std::string Ip;
        uint32_t UpAtMs = 0;
        int64_t Sent = -1;
        int64_t Received = -1;
    };
    bool Has(const std::string& entry) const;
    void Log(const std::string& line);
    // Forgets hung-up lines whose latency is over. Under FLock.
    void Expire();

    TRasBackend* FPrevious;
    std::mutex FLock;
    std::condition_variable FChanged;
    std::map<HRASCONN, TLine> FLines;
    HRASCONN FNext = 0x100;
    std::vector<std::string> FLog;
    TRasDialParams FLastDial;
};
