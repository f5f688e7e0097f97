#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "link/link_wire.h"
#include "link/modem_frame.h"
#include "link/transfer_store.h"

// One end of the station-to-station protocol (modem_frame.h, LinkCode):
// chat, rings, the announce and the exchange of mail and files, driven by
// the peer's in-band bytes and the modem's echo, writing its own in-band
// bytes to a sink. It knows nothing of the modem's framing, the radio or the
// window. GUI thread only (the bytes in flight may be read anywhere).
//
// Decisions:
// - Pacing: link data counts as in flight from the moment it is written
//   until the modem echoes it as transmitted. Chat is refused when it would
//   bring that to kMaxInFlight; item data stops at kDataWindow, so chat
//   always finds room beside a transfer.
// - A mail item that fails is offered again after the other mail, at most
//   kMailTries times per link (a failure that repeats would otherwise hold
//   the link for ever); a file that fails is dropped from this link's list.
// - When the list runs empty it is read again once, so mail filed for the
//   peer during the link goes too; then the session says zero counts.
// - The session rejects a peer's message whose fields are out of bounds; a
//   header it refuses is answered with kFailure when its ID can be read.
// - Version 2's exchange: items whose data went whole without an answer are
//   remembered while the session lives (not across a restart of the
//   station), and the next link asks after them instead of sending them
//   again. Once the list is done the session waits for every answer before
//   it says zero counts, as a failed mail is offered again.
class TLinkSession {
public:
    static constexpr uint32_t kMaxInFlight = 750;
    static constexpr uint32_t kDataWindow = 500;
    static constexpr int kMailTries = 3;

    struct TEvents {
        // In-band bytes for the modem (it adds its own framing); false when
        // the port refused them.
        std::function<bool(const std::string& bytes)> Send;
        std::function<void(const std::string& text)> Log;
        std::function<void(const std::string& text)> ChatText;
        std::function<void(uint8_t code)> Ring;
        // An item from the peer is stored at `path`.
        std::function<void(Transfer::TKind kind, const std::string& path)> ItemStored;
        // An item for the peer is gone from this station (stored there).
        std::function<void(Transfer::TKind kind)> ItemSent;
        // The station table's name for a name the peer announced; empty
        // when it is not a known station.
        std::function<std::string(const std::string& name)> ResolvePeer;
        // The item in transfer each way: bytes done of its data.
        std::function<void(bool sending, uint64_t done, uint64_t total)> Progress;
    };

    // Outcome of the link's items, for the link quality.
    struct TTally {
        int Succeeded = 0;
        int Failed = 0;
    };

    TLinkSession(Transfer::TStore& store, std::string ownName, TEvents events);
    ~TLinkSession();
    TLinkSession(const TLinkSession&) = delete;
    TLinkSession& operator=(const TLinkSession&) = delete;

    // The file-transfer version this station announces (kTransferBzip2
    // when libbz2 is there, else kTransferPklib); tests lower it.
    int TransferVersion;
    // The protocol version this station announces; tests lower it.
    int ProtocolVersion = LinkCode::kProtocolVersion;

    // The link is up: `peer` is the station's name when known (the caller
    // always knows it), `sendMail` the link's option.
    void Start(const std::string& peer, bool sendMail);
    // The link is gone; a part received stays for the next link.
    void Stop();
    bool Running() const { return FRunning; }

    void Receive(const char* bytes, size_t n);
    // The modem transmitted `n` bytes of link data.
    void Transmitted(uint32_t n);
    uint32_t BytesInFlight() const { return FInFlight; }
    // Sends more item data while the window allows.
    void Pump();

    // This station's operator ends the link: the peer hears so
    // (kOperatorEnd), and from now on the session writes nothing and takes
    // nothing in. False when the sink refused it.
    bool EndByOperator();
    // Either side's operator ended this link: its end is no fault of the
    // channel.
    bool OperatorEnded() const { return FOperatorEnded; }

    // Chat text in one message; false (nothing sent) when it would bring
    // the bytes in flight to kMaxInFlight, or when the sink refused it.
    bool SendChatText(const std::string& text);
    // False when the sink refused it.
    bool SendBuzz(uint8_t code);

    // Both sides have announced and hold nothing more for each other.
    bool AllCountsZero() const;
    // An item this link failed for good is still here for the peer.
    bool TriedAndLeft() const;
    // Whether anything came or went since the last call.
    bool TakeActivity();

    const std::string& Peer() const { return FPeer; }
    int OwnMailLeft() const { return Left(true); }
    int OwnFilesLeft() const { return Left(false); }
    int PeerMailLeft() const { return FPeerMail; }
    int PeerFilesLeft() const { return FPeerFiles; }
    const TTally& Tally() const { return FTally; }

private:
    enum class TSendState { Idle, WaitResume, Data, WaitAnswer, Done };
    struct TQueued {
        Transfer::TOutItem Item;
        int Tries = 0;
    };
    // An item sent whole, or asked after (`Asked`), waiting for its answer.
    struct TAwaited {
        TQueued Queued;
        bool Asked = false;
    };
    struct TIncoming {
        Transfer::THeader Header;
        std::unique_ptr<Transfer::TPartial> Partial;
        bool Broken = false;
    };

    // Items of one kind still to send (mail, or files and faxes).
    int Left(bool mail) const;
    bool Write(const std::string& bytes);
    void Log(const std::string& text);
    void SendAnnounce();
    void BuildList();
    void SendNext();
    // All data of the current item is out.
    void EndItem();
    void FinishSending(bool stored, const std::string& reason);
    // The peer's answer for an item whose sending is over.
    void Settle(TQueued queued, bool stored, const std::string& reason);
    Transfer::TMethod Method() const;
    // Both sides announced version 2 or later.
    bool Pipelined() const;
    bool Awaited(const std::string& id) const;

    void OnMessage(uint8_t code, std::string_view body);
    void OnData(std::string_view data);
    void OnAnnounce(std::map<char, std::string>& f);
    void OnResume(std::map<char, std::string>& f);
    // `withData`: a kDataHeader, its data following at once.
    void OnHeader(std::map<char, std::string>& f, bool withData);
    void OnEnd(const std::string& id);
    void OnAnswer(const std::string& id, bool stored, const std::string& reason);
    void Answer(const std::string& id, bool stored, const std::string& reason);
    void AbandonIncoming();

    Transfer::TStore& FStore;
    std::string FOwnName;
    TEvents FEvents;
    LinkWire::TParser FParser;

    bool FRunning = false;
    bool FHalted = false; // this side's operator ended the link
    bool FOperatorEnded = false;
    bool FSendMail = true;
    bool FActivity = false;
    std::atomic<uint32_t> FInFlight{0};
    std::string FPeer;
    bool FPeerKnown = false; // a station of our table
    bool FAnnounced = false;
    bool FPeerAnnounced = false;
    int FPeerVersion = LinkCode::kTransferNone;
    int FPeerProtocol = 0;
    std::set<std::string> FPeerParts; // the peer's H
    int FPeerMail = 0;
    int FPeerFiles = 0;
    TTally FTally;

    std::deque<TQueued> FList;
    // Items finished on this link (stored, or failed for good): a new
    // reading of the list leaves them out.
    std::set<std::string> FHandled;
    TSendState FSendState = TSendState::Idle;
    TQueued FCurrent;
    Transfer::TWire FWire;
    uint64_t FOffset = 0;
    std::deque<TAwaited> FAwaited;
    // IDs of items sent whole whose answer a link's end cut off.
    std::set<std::string> FUnanswered;

    std::unique_ptr<TIncoming> FIn;
};
