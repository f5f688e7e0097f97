#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/link_session.h"
#include "link/transfer_store.h"
#include "link/window_timer.h"
#include "platform/date_time.h"

class TConfig;
class TChannelList;
class TScheduledLinkList;
class TStationList;

// One attempt waiting in the automatic link queue.
struct TAutoLinkEntry {
    std::string StationName;
    std::string Type; // "Auto" or "Scheduled"
    int32_t Attempts = 0;
    TDateTime NextAttempt = 0;
};

// What the link needs of the window that owns it. GUI thread only.
class TStationLinkHost {
public:
    virtual ~TStationLinkHost() = default;
    // Bytes to the modem port; false when the port refused them.
    virtual bool PutModemBytes(const std::vector<uint8_t>& bytes) = 0;
    virtual void AddStatusLine(const std::string& text, bool show) = 0;
    // False (after telling the operator) while the modem is not configured.
    virtual bool CheckModemReady() = 0;
    virtual bool ModemReady() const = 0;
    virtual void SetScanning(bool start) = 0;
    virtual void TuneChannel(int channel) = 0;
    // Another station calls on the channel the radio is on: nothing may
    // move the radio off it.
    virtual void HoldChannel() = 0;
    virtual void ResetDeadMan() = 0;
    // The channel (from 1) the radio is tuned to; 0 when not known.
    virtual int CurrentChannel() const = 0;
    virtual bool RadioPresent() const = 0;
    // A link or a call is over: the window returns to idle (or first runs
    // a modem configuration that waited for the link's end).
    virtual void LinkEnded() = 0;
    // The state of the call or link ("Calling FIELD", "Linked: FIELD"), or
    // "Idle" once it is over.
    virtual void ShowLinkState(const std::string& text) = 0;
    virtual void ShowCounts(const std::string& text) = 0;
    virtual void ShowProgress(bool sending, uint64_t done, uint64_t total) = 0;
    // Every attempt of an automatic link failed: the router tells admin and
    // returns the station's mail.
    virtual void AleFailure(const std::string& station) = 0;
    // Mail left a station's outgoing directory.
    virtual void MailboxChanged() = 0;
};

// The window timers the link works (owned by the window).
struct TLinkTimers {
    TWindowTimer& SendFileTimer; // 250 ms, enabled: the send pump
    TWindowTimer& SelCallTimer;  // watches a call the modem does not answer
    TWindowTimer& EndLinkTimer;  // the idle and end-of-exchange checks
    TWindowTimer& ALETimer;      // works the automatic link queue
    TWindowTimer& ScanTimer;
};

// What the link tells the windows above it (chat, received files, the
// automatic link list). Each hook may be empty.
struct TLinkEvents {
    // `peer`: the station's name, or "ID " and its ID when it is not known.
    std::function<void(const std::string& peer)> LinkUp;
    std::function<void()> LinkDown; // a link failed or ended
    std::function<void(const std::string& peer, const std::string& text)> ChatText;
    std::function<void(uint8_t code)> Ring;
    // An item of the peer was stored (Files, MAIL/FAX or QUEUE).
    std::function<void(Transfer::TKind kind, const std::string& path)> ItemReceived;
};

// Calls, link states and the automatic and scheduled linking of the link
// control, around the transfer session. GUI thread only.
//
// Decisions:
// - A call goes to the station's selective-call ID (digits only, four at
//   most) on a channel both this station and the called one may use: the
//   operator's choice, else the one of best link quality for this quarter
//   of the day (the lowest of equals). With no radio no channel is tuned.
//   A called station's link is on the channel its radio receives on (the
//   last tuning sent to it), where it heard the call: from the modem's
//   report of the call on, no scan step moves the radio.
// - SelCallTimer watches the call for CALLLENGTH + 30 s; a modem that has
//   reported nothing by then is told to abort and the call has failed.
// - Another station's call holds the channel from the modem's report of it
//   until it links or fails (watched the same way): no scanning, no call of
//   our own and no automatic attempt meanwhile.
// - EndLinkTimer checks every 10000 ms on the calling station and every
//   10500 ms on the called one, so the two never decide at the same moment.
//   A check finds activity when any byte came or went since the last one;
//   15 checks in a row without it end the link. The calling station also
//   ends it once both sides hold nothing more for each other when the link
//   is automatic or the operator asked for the automatic end. A link whose
//   end the modem has not reported two checks after the disconnect is
//   aborted.
// - ALETimer (while automatic calling is on): each tick queues the direct
//   stations with automatic calling and mail or files waiting, then calls
//   the first entry that is due, unless a call or a link is under way; a
//   due "Auto" entry whose station holds nothing any more goes uncalled. It
//   ticks every 5000 ms while a call it placed is under way, every 10000 ms
//   while anything is queued or linked, every 60000 ms when all is quiet,
//   and 1000 ms after a link or a call ends.
// - An attempt uses one of the entry's attempts when it is placed; one the
//   modem could not take (not ready, its port failing) uses none and stays
//   due, so a dead port never has mail returned that did not reach the air.
//   A failed one is due again [ALE/VESKAR] DELAY minutes later; after the
//   last one an "Auto" entry goes with the router's ALE failure notice, a
//   "Scheduled" entry waits for the same time the next day. Any link with
//   the station ends its "Auto" entry; a scheduled attempt that links moves
//   its entry to the next scheduled time. Items the peer refused on every
//   try of a link leave an "Auto" entry due DELAY minutes after it, and so
//   does the operator's abort of an automatic attempt (a scheduled one too),
//   and of a manual call or a link with a station that holds mail or files
//   waiting.
// - Link quality (stations.dat): after a link on a known channel, the share
//   of items that crossed it and were stored (both ways; an item cut short
//   counts as failed) is averaged with the stored value of this quarter of
//   the day, in steps of 5 %. A link that carried no item, or that the
//   operator of either station ended by hand, leaves it. The last connection is stamped
//   "[dd-mmm-yy hh:nn UTC]" when the link is up.
class TStationLink {
public:
    TStationLink(TConfig& config, TStationList& stations, TChannelList& channels,
                 TScheduledLinkList& schedule, TLinkTimers timers, TStationLinkHost& host);
    ~TStationLink();
    TStationLink(const TStationLink&) = delete;
    TStationLink& operator=(const TStationLink&) = delete;

    // The options of the coming or current link (the manual link dialog's).
    bool SendMail = true;
    bool AutoEnd = true;
    std::vector<TAutoLinkEntry> AutoLinkQueue;
    TLinkEvents Events;
    // The clock of the automatic and scheduled linking (tests set their own).
    std::function<TDateTime()> Now = [] { return ::Now(); };

    // Places a call; `channel` from 1, or 0 for the link's own choice.
    // False when no call was placed (the reason is logged).
    bool CallStation(const std::string& station, int channel, bool manual);
    // The modem's link reports (modem_frame.h, 0x40-0x4F).
    void ProcessLinkReport(uint8_t code, const std::string& payload);
    void LinkEstablished(const std::string& peerId);
    void LinkFailed();
    void LinkDisconnected();
    // The operator took the modem off the call or link under way (voice
    // mode or a hardware abort): it ends here at once. That is no fault of
    // the channel: an automatic attempt keeps its attempt and a link leaves
    // the link quality as it was. Automatic calls to the station wait
    // [ALE/VESKAR] DELAY minutes from now.
    void OperatorAbort();
    // Before the operator ends a link: the peer hears that it is no fault
    // of the channel. False when no link is up or the port refused it.
    bool AnnounceOperatorEnd();
    // The modem was configured: it learns this station's own address.
    void ModemConfigured();
    // The modem is about to be configured afresh (its port failed or was
    // reopened), which ends its link or call: ours ends here as on a drop,
    // and an automatic attempt under way is not counted.
    void ModemReset();

    // Link data from the modem, and its echo of what it transmitted.
    void LinkData(const char* bytes, size_t n);
    void Transmitted(uint32_t n);
    uint32_t BytesInFlight() const;
    bool SendChatText(const std::string& text);
    bool SendBuzz(uint8_t code);
    void SendDisconnect();
    void SendAbort();

    void SendFileTimerTimer();
    void SelCallTimerTimer();
    void EndLinkTimerTimer();
    void ALETimerTimer();

    void AddAutoLinkEntry(const std::string& station, const std::string& type, TDateTime next);
    void RemoveAutoLinkEntry(int index);
    void BuildAutoLinkSchedule();

    bool Linked() const { return FLinked; }
    bool ManualCall() const { return FManualCall; }
    bool AutoLinkAttempt() const { return FAutoLinkAttempt; }
    // A call of ours, or another station's call that has not linked yet.
    bool CallUnderway() const { return OwnCall() || FIncoming; }
    const std::string& LinkStation() const { return FLinkStation; }
    TLinkSession* Session() { return FSession.get(); }

private:
    void Log(const std::string& text) { FHost.AddStatusLine(text, true); }
    bool OwnCall() const { return FManualCall || FAutoLinkAttempt; }
    // SelCallTimer watches the call under way.
    void WatchCall();
    bool Command(uint8_t command, const std::vector<uint8_t>& args, const char* error);
    void EnsureSession();
    int ChooseChannel(int stationIndex) const;
    int Quarter() const;
    void CallEnded();
    // The link is over; `rateChannel`: its items count for the link quality.
    void EndLink(bool rateChannel);
    // The queue entry of the automatic attempt under way, or the queue's end.
    std::vector<TAutoLinkEntry>::iterator AttemptEntry();
    void AttemptFailed();
    // The attempt under way never reached the air: its entry gets the
    // attempt back and is called once the modem is ready.
    void AttemptNotPlaced();
    // No automatic call to the station before [ALE/VESKAR] DELAY minutes
    // from now, one waiting for it included.
    void DeferAutomaticCalls(const std::string& station);
    // A link with the station is up: its "Auto" entry is done, and the
    // "Scheduled" one when this was its attempt.
    void AttemptSucceeded(bool automatic);
    void QueueWaitingMail();
    // The station holds mail or files for the peer.
    bool HasWaiting(const std::string& station) const;
    // The next of the station's scheduled times after now; 0 for none.
    TDateTime NextScheduled(const std::string& station) const;
    void StampLastConnection();
    void UpdateLinkQuality();
    void ShowCounts();
    void RetimeAle(int ms);
    // [ALE/VESKAR] DELAY minutes from now.
    TDateTime RetryTime() const;

    TConfig& FConfig;
    TStationList& FStations;
    TChannelList& FChannels;
    TScheduledLinkList& FSchedule;
    TLinkTimers FTimers;
    TStationLinkHost& FHost;

    std::unique_ptr<Transfer::TStore> FStore;
    std::unique_ptr<TLinkSession> FSession;
    std::string FSessionOwner; // the own name the session was made with

    bool FLinked = false;
    bool FManualCall = false;
    bool FAutoLinkAttempt = false;
    bool FIncoming = false; // the modem reported a station calling us
    bool FCaller = false;
    bool FEndWhenDone = false;
    bool FDisconnecting = false;
    int FDisconnectChecks = 0;
    int FIdleChecks = 0;
    std::string FLinkStation;
    int FLinkChannel = 0;
    // The queue entry of the automatic attempt under way.
    std::string FAttemptStation;
    std::string FAttemptType;
};
