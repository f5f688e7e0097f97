#include "link/station_link.h"

#include <algorithm>
#include <cmath>

#include "core/channel_list.h"
#include "core/config.h"
#include "core/date_time.h"
#include "core/message_store.h"
#include "core/scheduled_link_list.h"
#include "core/station_list.h"
#include "core/text_util.h"
#include "link/modem_frame.h"
#include "platform/data_root.h"

namespace {

constexpr int kIdleChecks = 15;
constexpr int kCallerCheckMs = 10000;
constexpr int kCalledCheckMs = 10500;
constexpr int kCallMarginMs = 30000;
constexpr int kDisconnectChecks = 2;

// A selective-call ID as the modem takes it: four ASCII digits; empty when
// the text holds anything but one to four digits (blanks around allowed).
std::string ModemId(const std::string& selCall)
{
    std::string digits;
    for (char c : selCall) {
        if (c == ' ')
            continue;
        if (c < '0' || c > '9')
            return {};
        digits += c;
    }
    if (digits.empty() || digits.size() > 4)
        return {};
    return std::string(4 - digits.size(), '0') + digits;
}

// Seconds a call lasts on the air, as the modem takes it (one byte).
int CallLength(const TConfig& config)
{
    return std::clamp(config.AleVeskar.CallLength, 1, 255);
}

// A station the automatic linking calls when it holds something for it.
bool CalledAutomatically(const TStation& s)
{
    return IsDirectRoute(s.RouteVia) && SameTextIgnoreCase(s.AutoCall, "ENABLED") &&
           MessageStore::IsSafeName(s.Name);
}

std::string ChannelText(int channel)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%03d", channel);
    return buf;
}

} // namespace

TStationLink::TStationLink(TConfig& config, TStationList& stations, TChannelList& channels,
                           TScheduledLinkList& schedule, TLinkTimers timers, TStationLinkHost& host)
    : FConfig(config), FStations(stations), FChannels(channels), FSchedule(schedule),
      FTimers(timers), FHost(host)
{
    EnsureSession();
}

TStationLink::~TStationLink() = default;

void TStationLink::EnsureSession()
{
    // A new own name (the configuration dialog) takes effect between links.
    const std::string own = FStations.Get(0).Name;
    if (FSession && (own == FSessionOwner || FSession->Running()))
        return;
    FSessionOwner = own;
    FSession.reset();
    FStore = std::make_unique<Transfer::TStore>(DataRoot::Get(), own);
    TLinkSession::TEvents e;
    e.Send = [this](const std::string& bytes) {
        return FHost.PutModemBytes(ModemFrame::LinkData(bytes));
    };
    e.Log = [this](const std::string& text) { Log(text); };
    e.ChatText = [this](const std::string& text) {
        if (Events.ChatText)
            Events.ChatText(FSession->Peer(), text);
    };
    e.Ring = [this](uint8_t code) {
        if (Events.Ring)
            Events.Ring(code);
    };
    e.ItemStored = [this](Transfer::TKind kind, const std::string& path) {
        if (Events.ItemReceived)
            Events.ItemReceived(kind, path);
    };
    e.ItemSent = [this](Transfer::TKind) { FHost.MailboxChanged(); };
    e.ResolvePeer = [this](const std::string& name) {
        const int index = FStations.IndexOf(name);
        return index > 0 ? FStations.Get(index).Name : std::string();
    };
    e.Progress = [this](bool sending, uint64_t done, uint64_t total) {
        FHost.ShowProgress(sending, done, total);
    };
    FSession = std::make_unique<TLinkSession>(*FStore, own, std::move(e));
}

bool TStationLink::Command(uint8_t command, const std::vector<uint8_t>& args, const char* error)
{
    std::vector<uint8_t> bytes{ModemFrame::kMarker, command};
    for (uint8_t a : args) {
        bytes.push_back(ModemFrame::kMarker);
        bytes.push_back(a);
    }
    if (FHost.PutModemBytes(bytes))
        return true;
    FHost.AddStatusLine(error, true);
    return false;
}

void TStationLink::SendDisconnect()
{
    Command(ModemFrame::kCmdDisconnect, {}, "Hardware Communication Error #41");
}

void TStationLink::SendAbort()
{
    Command(ModemFrame::kCmdAbort, {}, "Hardware Communication Error #42");
}

void TStationLink::ModemConfigured()
{
    const std::string id = ModemId(FStations.Get(0).SelCall);
    if (id.empty()) {
        Log("This station has no valid Selective Call ID: other stations cannot call it");
        return;
    }
    const auto code = static_cast<uint32_t>(FConfig.PrivateNetworkCode);
    std::vector<uint8_t> args(id.begin(), id.end());
    for (int shift = 24; shift >= 0; shift -= 8)
        args.push_back(static_cast<uint8_t>(code >> shift));
    Command(ModemFrame::kCmdOwnAddress, args, "Hardware Communication Error #46");
}

// ------------------------------------------------------------ calls

int TStationLink::Quarter() const
{
    int hour = 0, minute = 0, second = 0, msec = 0;
    DecodeTime(Now(), hour, minute, second, msec);
    return std::clamp(hour / 6, 0, 3);
}

int TStationLink::ChooseChannel(int stationIndex) const
{
    const std::string name = FStations.Get(stationIndex).Name;
    const int count = std::min(FChannels.Count(), FStations.GetChannelCount());
    int best = 0;
    int bestQuality = -1;
    for (int c = 0; c < count; ++c) {
        if (!FStations.IsChannelEnabled(0, c) || !FStations.IsChannelEnabled(stationIndex, c))
            continue;
        int q[4];
        FStations.GetLinkQualities(name, c, q[0], q[1], q[2], q[3]);
        if (q[Quarter()] > bestQuality) {
            bestQuality = q[Quarter()];
            best = c + 1;
        }
    }
    return best;
}

bool TStationLink::CallStation(const std::string& station, int channel, bool manual)
{
    if (!FHost.CheckModemReady())
        return false;
    if (FLinked || CallUnderway()) {
        Log("Cannot call " + station + ": a link is under way");
        return false;
    }
    const int index = FStations.IndexOf(station);
    if (index <= 0) {
        Log("Cannot call " + station + ": not a known station");
        return false;
    }
    const TStation peer = FStations.Get(index);
    const std::string id = ModemId(peer.SelCall);
    if (id.empty()) {
        Log("Cannot call " + peer.Name + ": no valid Selective Call ID");
        return false;
    }
    if (FHost.RadioPresent() && FChannels.Count() > 0) {
        if (channel <= 0)
            channel = ChooseChannel(index);
        if (channel <= 0 || channel > FChannels.Count()) {
            Log("Cannot call " + peer.Name + ": no channel to call it on");
            return false;
        }
    } else {
        channel = 0;
    }
    FLinkStation = peer.Name;
    FLinkChannel = channel;
    FManualCall = manual;
    FAutoLinkAttempt = !manual;
    FCaller = true;
    FHost.SetScanning(false);
    if (channel > 0)
        FHost.TuneChannel(channel);
    if (!FHost.ModemReady()) {
        // The port failed during the tuning wait.
        Log("Call to " + peer.Name + " not placed: the modem is not ready");
        if (OwnCall())
            CallEnded();
        return false;
    }
    if (FLinked || !OwnCall()) {
        // The tuning wait let the other station's call in first.
        Log("Call to " + peer.Name + " not placed: a link came in");
        return false;
    }
    FHost.ResetDeadMan();
    const int length = CallLength(FConfig);
    std::vector<uint8_t> args(id.begin(), id.end());
    args.push_back(static_cast<uint8_t>(length));
    args.push_back(FConfig.AleVeskar.BusyChannelDetect ? 1 : 0);
    Log("Calling " + peer.Name + (channel > 0 ? " on channel " + ChannelText(channel) : ""));
    FHost.ShowLinkState("Calling " + peer.Name);
    if (!Command(ModemFrame::kCmdCall, args, "Hardware Communication Error #45")) {
        // Nothing went on the air: the automatic linking decides what the
        // attempt counts for.
        CallEnded();
        return false;
    }
    WatchCall();
    return true;
}

void TStationLink::WatchCall()
{
    FTimers.SelCallTimer.SetInterval(CallLength(FConfig) * 1000 + kCallMarginMs);
    FTimers.SelCallTimer.SetEnabled(true);
}

void TStationLink::SelCallTimerTimer()
{
    FTimers.SelCallTimer.SetEnabled(false);
    if (FLinked || !CallUnderway())
        return;
    if (FIncoming)
        Log("No link came of the incoming call: given up");
    else
        Log("No answer from the modem: call to " + FLinkStation + " given up");
    SendAbort();
    LinkFailed();
}

void TStationLink::ProcessLinkReport(uint8_t code, const std::string& payload)
{
    using namespace ModemFrame;
    switch (code) {
    case kMsgCalling:
        if (OwnCall())
            Log("Call to " + FLinkStation + " under way");
        break;
    case kMsgChannelBusy:
        if (!OwnCall())
            break;
        Log("Channel busy: call to " + FLinkStation + " not placed");
        FHost.SetScanning(true);
        LinkFailed();
        break;
    case kMsgLinkFailed:
        if (CallUnderway() && !FLinked)
            LinkFailed();
        break;
    case kMsgIncoming: {
        if (FLinked)
            break;
        FCaller = false;
        FManualCall = FAutoLinkAttempt = false;
        FIncoming = true;
        std::string name;
        for (int i = 1; i < FStations.Count(); ++i)
            if (ModemId(FStations.Get(i).SelCall) == payload)
                name = FStations.Get(i).Name;
        FLinkStation = name;
        FHost.HoldChannel();
        const std::string who = name.empty() ? "ID " + payload : name;
        Log("Incoming link from " + who);
        FHost.ShowLinkState("Called by " + who);
        WatchCall();
        break;
    }
    case kMsgLinkUp:
        LinkEstablished(payload);
        break;
    case kMsgDisconnected:
        LinkDisconnected();
        break;
    default:
        break;
    }
}

void TStationLink::LinkEstablished(const std::string& peerId)
{
    if (FLinked)
        return;
    const bool automatic = FAutoLinkAttempt;
    FLinked = true;
    FManualCall = FAutoLinkAttempt = FIncoming = false;
    FTimers.SelCallTimer.SetEnabled(false);
    FTimers.ScanTimer.SetEnabled(false);
    if (!FCaller) {
        // The call was heard on the channel the radio is on.
        FHost.HoldChannel();
        FLinkChannel = FHost.CurrentChannel();
        if (FLinkStation.empty())
            for (int i = 1; i < FStations.Count(); ++i)
                if (ModemId(FStations.Get(i).SelCall) == peerId)
                    FLinkStation = FStations.Get(i).Name;
    }
    FEndWhenDone = FCaller && (automatic || AutoEnd);
    FDisconnecting = false;
    FDisconnectChecks = 0;
    FIdleChecks = 0;
    AttemptSucceeded(automatic);
    StampLastConnection();
    EnsureSession();
    FSession->Start(FLinkStation, FCaller ? SendMail : true);
    FTimers.EndLinkTimer.SetInterval(FCaller ? kCallerCheckMs : kCalledCheckMs);
    FTimers.EndLinkTimer.SetEnabled(true);
    const std::string who = FLinkStation.empty() ? "ID " + peerId : FLinkStation;
    Log("Linked with " + who +
        (FLinkChannel > 0 ? " on channel " + ChannelText(FLinkChannel) : ""));
    FHost.ShowLinkState("Linked: " + who);
    ShowCounts();
    RetimeAle(10000);
    if (Events.LinkUp)
        Events.LinkUp(who);
}

void TStationLink::CallEnded()
{
    FManualCall = FAutoLinkAttempt = FIncoming = false;
    FCaller = false;
    FTimers.SelCallTimer.SetEnabled(false);
    FTimers.EndLinkTimer.SetEnabled(false);
    FHost.ShowLinkState("Idle");
    FHost.ShowProgress(true, 0, 0);
    FHost.ShowProgress(false, 0, 0);
    FHost.ShowCounts("");
    FHost.LinkEnded();
    if (Events.LinkDown)
        Events.LinkDown();
    FLinkStation.clear();
    FLinkChannel = 0;
    RetimeAle(1000);
}

void TStationLink::LinkFailed()
{
    if (FLinked) {
        LinkDisconnected();
        return;
    }
    if (!FLinkStation.empty() && CallUnderway())
        Log("Link to " + FLinkStation + " failed");
    if (FAutoLinkAttempt)
        AttemptFailed();
    CallEnded();
}

void TStationLink::OperatorAbort()
{
    const std::string station = FLinkStation;
    if (FLinked) {
        // The modem's report of the end finds nothing left to end.
        EndLink(false);
    } else if (CallUnderway()) {
        const bool automatic = FAutoLinkAttempt;
        if (automatic) {
            const auto it = AttemptEntry();
            if (it != AutoLinkQueue.end())
                ++it->Attempts;
        }
        Log("Call to " + (station.empty() ? std::string("the station") : station) + " given up");
        CallEnded();
        // The attempt comes again as "Auto", whatever its entry was (a due
        // one finds nothing waiting and goes uncalled).
        if (automatic && !station.empty())
            AddAutoLinkEntry(station, "Auto", RetryTime());
    } else {
        return;
    }
    DeferAutomaticCalls(station);
}

bool TStationLink::AnnounceOperatorEnd()
{
    return FLinked && FSession->EndByOperator();
}

void TStationLink::DeferAutomaticCalls(const std::string& station)
{
    if (station.empty())
        return;
    const TDateTime later = RetryTime();
    bool queued = false;
    for (TAutoLinkEntry& e : AutoLinkQueue) {
        if (!SameTextIgnoreCase(e.StationName, station))
            continue;
        e.NextAttempt = std::max(e.NextAttempt, later);
        queued = queued || e.Type == "Auto";
    }
    // Else the next tick would queue the station's waiting mail at once.
    const int index = FStations.IndexOf(station);
    if (!queued && index > 0 && CalledAutomatically(FStations.Get(index)) && HasWaiting(station))
        AddAutoLinkEntry(FStations.Get(index).Name, "Auto", later);
}

void TStationLink::ModemReset()
{
    if (FLinked) {
        Log("The modem is configured again: the link with " +
            (FLinkStation.empty() ? std::string("the station") : FLinkStation) + " is lost");
        LinkDisconnected();
        return;
    }
    if (!CallUnderway())
        return;
    if (FAutoLinkAttempt)
        AttemptNotPlaced();
    Log("The modem is configured again: the call under way is given up");
    CallEnded();
}

void TStationLink::LinkDisconnected()
{
    if (!FLinked) {
        if (CallUnderway())
            LinkFailed();
        return;
    }
    EndLink(true);
}

void TStationLink::EndLink(bool rateChannel)
{
    FLinked = false;
    FSession->Stop();
    // What the peer refused on every try waits, as after a failed call:
    // calling back at once would only have it refused again.
    const int index = FStations.IndexOf(FLinkStation);
    if (index > 0 && FSession->TriedAndLeft() && CalledAutomatically(FStations.Get(index)))
        AddAutoLinkEntry(FLinkStation, "Auto", RetryTime());
    if (rateChannel && !FSession->OperatorEnded())
        UpdateLinkQuality();
    Log("Link with " + (FLinkStation.empty() ? std::string("the station") : FLinkStation) +
        " ended");
    FHost.MailboxChanged();
    CallEnded();
}

// ------------------------------------------------------------ while linked

void TStationLink::LinkData(const char* bytes, size_t n)
{
    FSession->Receive(bytes, n);
}

void TStationLink::Transmitted(uint32_t n)
{
    FSession->Transmitted(n);
}

uint32_t TStationLink::BytesInFlight() const
{
    return FSession->BytesInFlight();
}

bool TStationLink::SendChatText(const std::string& text)
{
    return FSession->SendChatText(text);
}

bool TStationLink::SendBuzz(uint8_t code)
{
    return FSession->SendBuzz(code);
}

void TStationLink::SendFileTimerTimer()
{
    if (!FLinked)
        return;
    FSession->Pump();
    ShowCounts();
}

void TStationLink::ShowCounts()
{
    if (!FLinked)
        return;
    const TLinkSession& s = *FSession;
    FHost.ShowCounts("Send: " + std::to_string(s.OwnMailLeft()) + " mail, " +
                     std::to_string(s.OwnFilesLeft()) +
                     " files   Receive: " + std::to_string(s.PeerMailLeft()) + " mail, " +
                     std::to_string(s.PeerFilesLeft()) + " files");
}

void TStationLink::EndLinkTimerTimer()
{
    if (!FLinked) {
        FTimers.EndLinkTimer.SetEnabled(false);
        return;
    }
    if (FDisconnecting) {
        if (++FDisconnectChecks >= kDisconnectChecks) {
            Log("The modem did not end the link: aborting");
            SendAbort();
            LinkDisconnected();
        }
        return;
    }
    FIdleChecks = FSession->TakeActivity() ? 0 : FIdleChecks + 1;
    ShowCounts();
    std::string why;
    if (FEndWhenDone && FSession->AllCountsZero())
        why = "All mail and files exchanged";
    else if (FIdleChecks >= kIdleChecks)
        why = "No link activity";
    if (why.empty())
        return;
    Log(why + ": ending the link with " + FLinkStation);
    FDisconnecting = true;
    SendDisconnect();
}

void TStationLink::StampLastConnection()
{
    const int index = FStations.IndexOf(FLinkStation);
    if (FLinkStation.empty() || index <= 0)
        return;
    const std::tm now = DateTime::NowUtc();
    TStation s = FStations.Get(index);
    s.LastConnection =
        "[" + DateTime::FormatDate(now) + " " + DateTime::FormatHourMinute(now) + " UTC]";
    try {
        FStations.Modify(s, index);
    } catch (const std::exception& e) {
        Log(std::string("Error saving the last connection: ") + e.what());
    }
}

void TStationLink::UpdateLinkQuality()
{
    const TLinkSession::TTally& t = FSession->Tally();
    const int items = t.Succeeded + t.Failed;
    if (items == 0 || FLinkChannel <= 0 || FLinkStation.empty())
        return;
    const int index = FStations.IndexOf(FLinkStation);
    if (index <= 0)
        return;
    // A quarter never measured keeps the table's default ("@", 80 %).
    const std::string stored = FStations.Get(index).LinkQuality;
    int steps[4];
    for (int i = 0; i < 4; ++i) {
        const size_t pos = static_cast<size_t>(FLinkChannel - 1) * 4 + i;
        steps[i] = (pos < stored.size() ? stored[pos] : '@') - '0';
    }
    const int measured = (t.Succeeded * 20 + items / 2) / items; // steps of 5 %
    const int quarter = Quarter();
    steps[quarter] = (std::clamp(steps[quarter], 1, 20) + measured + 1) / 2;
    FStations.SetLinkQualities(FLinkStation, FLinkChannel - 1, steps[0], steps[1], steps[2],
                               steps[3]);
    Log("Link quality with " + FLinkStation + " on channel " + ChannelText(FLinkChannel) + ": " +
        std::to_string(std::clamp(steps[quarter], 1, 20) * 5) + " %");
}

// ------------------------------------------------------------ automatic links

void TStationLink::AddAutoLinkEntry(const std::string& station, const std::string& type,
                                    TDateTime next)
{
    for (TAutoLinkEntry& e : AutoLinkQueue)
        if (e.StationName == station && e.Type == type) {
            e.NextAttempt = next;
            return;
        }
    AutoLinkQueue.push_back({station, type, std::max(1, FConfig.AleVeskar.Attempts), next});
}

void TStationLink::RemoveAutoLinkEntry(int index)
{
    if (index >= 0 && static_cast<size_t>(index) < AutoLinkQueue.size())
        AutoLinkQueue.erase(AutoLinkQueue.begin() + index);
}

TDateTime TStationLink::NextScheduled(const std::string& station) const
{
    const TDateTime now = Now();
    TDateTime next = 0;
    for (const TScheduledLink& l : FSchedule.GetAll()) {
        if (!SameTextIgnoreCase(l.StationName, station))
            continue;
        TDateTime at = std::floor(now) + (l.Time - std::floor(l.Time));
        if (at <= now)
            at += 1.0;
        if (next == 0 || at < next)
            next = at;
    }
    return next;
}

void TStationLink::QueueWaitingMail()
{
    const auto stations = FStations.GetAll();
    for (size_t i = 1; i < stations.size(); ++i) {
        const TStation& s = stations[i];
        if (!CalledAutomatically(s))
            continue;
        const bool queued =
            std::any_of(AutoLinkQueue.begin(), AutoLinkQueue.end(), [&](const TAutoLinkEntry& e) {
                return e.StationName == s.Name && e.Type == "Auto";
            });
        if (!queued && HasWaiting(s.Name))
            AutoLinkQueue.push_back(
                {s.Name, "Auto", std::max(1, FConfig.AleVeskar.Attempts), Now()});
    }
}

bool TStationLink::HasWaiting(const std::string& station) const
{
    int mail = 0, files = 0;
    if (FStore)
        FStore->CountFor(station, mail, files);
    return mail + files > 0;
}

void TStationLink::BuildAutoLinkSchedule()
{
    std::erase_if(AutoLinkQueue, [](const TAutoLinkEntry& e) { return e.Type == "Scheduled"; });
    EnsureSession();
    QueueWaitingMail();
    for (const TScheduledLink& l : FSchedule.GetAll())
        AddAutoLinkEntry(l.StationName, "Scheduled", NextScheduled(l.StationName));
}

TDateTime TStationLink::RetryTime() const
{
    return Now() + std::max(1, FConfig.AleVeskar.Delay) / (24.0 * 60.0);
}

void TStationLink::RetimeAle(int ms)
{
    if (!FConfig.AleVeskar.Enabled)
        return;
    FTimers.ALETimer.SetInterval(ms);
    FTimers.ALETimer.SetEnabled(true);
}

void TStationLink::ALETimerTimer()
{
    FTimers.ALETimer.SetEnabled(false);
    if (!FConfig.AleVeskar.Enabled)
        return;
    EnsureSession();
    QueueWaitingMail();
    if (FLinked || CallUnderway() || !FHost.ModemReady()) {
        RetimeAle(CallUnderway() ? 5000 : 10000);
        return;
    }
    const TDateTime now = Now();
    // What an entry was made for may have gone meanwhile, by a link either
    // side started (an entry made during a link is due when it ends).
    std::erase_if(AutoLinkQueue, [&](const TAutoLinkEntry& e) {
        return e.Type == "Auto" && e.NextAttempt <= now && !HasWaiting(e.StationName);
    });
    for (TAutoLinkEntry& e : AutoLinkQueue) {
        if (e.NextAttempt > now)
            continue;
        --e.Attempts;
        FAttemptStation = e.StationName;
        FAttemptType = e.Type;
        Log("Automatic link attempt to " + e.StationName + " (" + e.Type + "), " +
            std::to_string(e.Attempts) + " attempts left");
        // The call's tuning wait may change the queue: `e` is not used again.
        const std::string station = e.StationName;
        if (!CallStation(station, 0, false)) {
            if (FHost.ModemReady())
                AttemptFailed(); // at once
            else
                AttemptNotPlaced();
            RetimeAle(1000);
            return;
        }
        RetimeAle(5000);
        return;
    }
    RetimeAle(AutoLinkQueue.empty() ? 60000 : 10000);
}

std::vector<TAutoLinkEntry>::iterator TStationLink::AttemptEntry()
{
    return std::find_if(AutoLinkQueue.begin(), AutoLinkQueue.end(), [&](const TAutoLinkEntry& e) {
        return e.StationName == FAttemptStation && e.Type == FAttemptType;
    });
}

void TStationLink::AttemptFailed()
{
    const auto it = AttemptEntry();
    if (it == AutoLinkQueue.end())
        return;
    if (it->Attempts > 0) {
        it->NextAttempt = RetryTime();
        return;
    }
    const std::string station = it->StationName;
    if (it->Type == "Scheduled") {
        Log("Scheduled link to " + station + " failed on every attempt");
        it->Attempts = std::max(1, FConfig.AleVeskar.Attempts);
        it->NextAttempt = NextScheduled(station);
        if (it->NextAttempt == 0)
            AutoLinkQueue.erase(it); // no longer in the schedule
        return;
    }
    AutoLinkQueue.erase(it);
    Log("Automatic link to " + station + " failed on every attempt");
    FHost.AleFailure(station);
}

void TStationLink::AttemptNotPlaced()
{
    const auto it = AttemptEntry();
    if (it != AutoLinkQueue.end()) {
        ++it->Attempts;
        Log("Automatic link attempt to " + it->StationName +
            " not counted: the modem is not ready");
    }
    // Once per attempt: the call's end must not count it again.
    FAttemptStation.clear();
    FAttemptType.clear();
}

void TStationLink::AttemptSucceeded(bool automatic)
{
    if (!automatic)
        FAttemptType.clear(); // a link the operator or the peer started
    for (auto it = AutoLinkQueue.begin(); it != AutoLinkQueue.end();) {
        if (!SameTextIgnoreCase(it->StationName, FLinkStation)) {
            ++it;
            continue;
        }
        if (it->Type == "Scheduled" && it->Type == FAttemptType) {
            it->Attempts = std::max(1, FConfig.AleVeskar.Attempts);
            it->NextAttempt = NextScheduled(FLinkStation);
        }
        if (it->Type == "Auto" || it->NextAttempt == 0)
            it = AutoLinkQueue.erase(it);
        else
            ++it;
    }
}
