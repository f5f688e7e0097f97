#include "support/scripted_ras.h"

#include <algorithm>
#include <chrono>

namespace {

uint32_t NowMs()
{
    return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

} // namespace

TScriptedRas::TScriptedRas() : FPrevious(SetRasBackend(this)) {}

TScriptedRas::~TScriptedRas()
{
    SetRasBackend(FPrevious);
}

void TScriptedRas::Log(const std::string& line)
{
    FLog.push_back(line);
}

void TScriptedRas::Expire()
{
    const uint32_t now = NowMs();
    for (auto it = FLines.begin(); it != FLines.end();) {
        if (it->second.HungUp && static_cast<int32_t>(now - it->second.GoneAtMs) >= 0)
            it = FLines.erase(it);
        else
            ++it;
    }
}

void TScriptedRas::DropLine(const std::string& entry)
{
    std::lock_guard guard(FLock);
    Log("drop " + entry);
    for (auto it = FLines.begin(); it != FLines.end();) {
        if (it->second.Entry == entry)
            it = FLines.erase(it);
        else
            ++it;
    }
    FChanged.notify_all();
}

std::vector<std::string> TScriptedRas::CallLog()
{
    std::lock_guard guard(FLock);
    return FLog;
}

TRasDialParams TScriptedRas::LastDial()
{
    std::lock_guard guard(FLock);
    return FLastDial;
}

int TScriptedRas::LiveCount()
{
    std::lock_guard guard(FLock);
    Expire();
    return static_cast<int>(FLines.size());
}

bool TScriptedRas::WaitForDialling(const std::string& entry, uint32_t timeoutMs)
{
    std::unique_lock lock(FLock);
    return FChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        for (const auto& [h, line] : FLines)
            if (line.Entry == entry && line.State != RasState::RASCS_Connected)
                return true;
        return false;
    });
}

int TScriptedRas::EnumEntries(const std::string&, std::vector<std::string>& names)
{
    std::lock_guard guard(FLock);
    Log("entries");
    names = Entries;
    return 0;
}

int TScriptedRas::GetEntryDialParams(const std::string&, TRasDialParams& params, bool& hasPassword)
{
    std::lock_guard guard(FLock);
    Log("params " + params.EntryName);
    hasPassword = false;
    if (!Has(params.EntryName))
        return RasCode::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    const auto it = Stored.find(params.EntryName);
    if (it != Stored.end()) {
        params = it->second;
        hasPassword = !params.Password.empty();
    }
    return 0;
}

int TScriptedRas::SetEntryDialParams(const std::string&, const TRasDialParams& params, bool)
{
    std::lock_guard guard(FLock);
    Log("store " + params.EntryName);
    Stored[params.EntryName] = params;
    return 0;
}

bool TScriptedRas::Has(const std::string& entry) const
{
    return std::find(Entries.begin(), Entries.end(), entry) != Entries.end();
}

int TScriptedRas::GetEntryProperties(const std::string&, const std::string& entry,
                                     TRasEntry& properties)
{
    std::lock_guard guard(FLock);
    Log("properties " + entry);
    if (!Has(entry))
        return RasCode::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    properties = Properties[entry];
    return 0;
}

int TScriptedRas::SetEntryProperties(const std::string&, const std::string& entry,
                                     const TRasEntry& properties)
{
    std::lock_guard guard(FLock);
    Log("set properties " + entry);
    if (entry.empty())
        return RasCode::ERROR_INVALID_NAME;
    if (!Has(entry))
        Entries.push_back(entry);
    Properties[entry] = properties;
    return 0;
}

int TScriptedRas::RenameEntry(const std::string&, const std::string& from, const std::string& to)
{
    std::lock_guard guard(FLock);
    Log("rename " + from + " " + to);
    if (!Has(from))
        return RasCode::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    if (Has(to))
        return RasCode::ERROR_ALREADY_EXISTS;
    *std::find(Entries.begin(), Entries.end(), from) = to;
    Properties[to] = Properties[from];
    Properties.erase(from);
    if (Stored.count(from)) {
        Stored[to] = Stored[from];
        Stored[to].EntryName = to;
        Stored.erase(from);
    }
    return 0;
}

int TScriptedRas::ValidateEntryName(const std::string&, const std::string& name)
{
    std::lock_guard guard(FLock);
    if (name.empty())
        return RasCode::ERROR_INVALID_NAME;
    return Has(name) ? RasCode::ERROR_ALREADY_EXISTS : 0;
}

int TScriptedRas::DeleteEntry(const std::string&, const std::string& entry)
{
    std::lock_guard guard(FLock);
    Log("delete " + entry);
    if (!Has(entry))
        return RasCode::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    Entries.erase(std::find(Entries.begin(), Entries.end(), entry));
    Properties.erase(entry);
    Stored.erase(entry);
    return 0;
}

int TScriptedRas::Dial(const std::string&, const TRasDialParams& params,
                       const std::function<void(int state)>& progress, HRASCONN& handle,
                       std::string& words)
{
    handle = 0;
    words.clear();
    std::unique_lock lock(FLock);
    Log("dial " + params.EntryName + " user=" + params.UserName + " password=" + params.Password);
    FLastDial = params;
    if (!Has(params.EntryName))
        return RasCode::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY;
    const auto found = Outcomes.find(params.EntryName);
    const TOutcome outcome = found == Outcomes.end() ? TOutcome{} : found->second;
    const HRASCONN mine = FNext++;
    FLines[mine] = {params.EntryName, RasState::RASCS_OpenPort, false, 0, outcome.IpAddress};
    FChanged.notify_all();
    for (int state : outcome.States) {
        FLines[mine].State = state;
        if (progress) {
            lock.unlock();
            progress(state);
            lock.lock();
        }
    }
    // The dial takes its time unless the line is hung up meanwhile.
    const bool cut = FChanged.wait_for(lock, std::chrono::milliseconds(outcome.DialMs), [&] {
        const auto it = FLines.find(mine);
        return it == FLines.end() || it->second.HungUp;
    });
    if (cut) {
        Log("dial " + params.EntryName + " cut");
        return RasCode::ERROR_USER_DISCONNECTION;
    }
    if (outcome.Result != 0) {
        FLines.erase(mine);
        Log("dial " + params.EntryName + " failed " + std::to_string(outcome.Result));
        words = outcome.Words;
        return outcome.Result;
    }
    FLines[mine].State = RasState::RASCS_Connected;
    FLines[mine].UpAtMs = NowMs();
    FLines[mine].Sent = outcome.BytesSent;
    FLines[mine].Received = outcome.BytesReceived;
    Log("dial " + params.EntryName + " connected");
    handle = mine;
    return 0;
}

int TScriptedRas::HangUp(HRASCONN handle)
{
    std::lock_guard guard(FLock);
    Expire();
    const auto it = FLines.find(handle);
    if (it == FLines.end())
        return RasCode::ERROR_INVALID_HANDLE;
    if (!it->second.HungUp) {
        Log("hangup " + it->second.Entry);
        it->second.HungUp = true;
        it->second.GoneAtMs = NowMs() + HangupLatencyMs;
    }
    Expire();
    FChanged.notify_all();
    return 0;
}

int TScriptedRas::GetConnectStatus(HRASCONN handle, TRasConnStatus& status)
{
    std::lock_guard guard(FLock);
    Expire();
    const auto it = FLines.find(handle);
    if (it == FLines.end())
        return RasCode::ERROR_INVALID_HANDLE;
    status = TRasConnStatus{};
    status.State = it->second.State;
    status.DeviceType = "modem";
    status.DeviceName = "Scripted modem";
    if (it->second.State == RasState::RASCS_Connected)
        status.ConnectedMs = NowMs() - it->second.UpAtMs;
    status.BytesSent = it->second.Sent;
    status.BytesReceived = it->second.Received;
    return 0;
}

int TScriptedRas::EnumConnections(std::vector<TRasConnection>& connections)
{
    std::lock_guard guard(FLock);
    Expire();
    connections.clear();
    for (const auto& [h, line] : FLines)
        connections.push_back({h, line.Entry, "modem", "Scripted modem"});
    return 0;
}

int TScriptedRas::GetIpAddress(HRASCONN handle, std::string& address)
{
    std::lock_guard guard(FLock);
    Expire();
    const auto it = FLines.find(handle);
    if (it == FLines.end())
        return RasCode::ERROR_INVALID_HANDLE;
    address = it->second.Ip;
    return 0;
}
