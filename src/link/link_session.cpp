#include "link/link_session.h"

#include <algorithm>
#include <cstdlib>

#include "core/message_store.h"
#include "link/codec/bzip2.h"
#include "link/modem_frame.h"

using namespace LinkCode;
using Transfer::TKind;
using Transfer::TMethod;

namespace {

constexpr size_t kMaxStationName = 12;
constexpr uint64_t kMaxCount = 1000000;

bool IsHex(const std::string& s, size_t digits)
{
    return s.size() == digits && std::all_of(s.begin(), s.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
           });
}

std::string UpperHex(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(),
                   [](char c) { return c >= 'a' && c <= 'f' ? static_cast<char>(c - 32) : c; });
    return s;
}

// A decimal number of at most `max`; false for anything else.
bool ReadNumber(const std::map<char, std::string>& f, char key, uint64_t max, uint64_t& value)
{
    const auto it = f.find(key);
    if (it == f.end() || it->second.empty() || it->second.size() > 20)
        return false;
    value = 0;
    for (char c : it->second) {
        if (c < '0' || c > '9')
            return false;
        const auto digit = static_cast<uint64_t>(c - '0');
        if (digit > max || value > (max - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    return true;
}

int ReadCount(const std::map<char, std::string>& f, char key)
{
    uint64_t n = 0;
    return ReadNumber(f, key, kMaxCount, n) ? static_cast<int>(n) : 0;
}

std::string Get(const std::map<char, std::string>& f, char key)
{
    const auto it = f.find(key);
    return it == f.end() ? std::string() : it->second;
}

// Text from the peer for the log: printable bytes only, bounded.
std::string Printable(const std::string& text)
{
    std::string out;
    for (char c : text.substr(0, kMaxTextBytes))
        out += static_cast<uint8_t>(c) < 0x20 || c == 0x7F ? ' ' : c;
    return out;
}

const char* Noun(TKind kind)
{
    return kind == TKind::Mail ? "mail" : kind == TKind::File ? "file" : "fax";
}

// The fields of a header; `compact` leaves out what a kDataHeader may.
LinkWire::TFields HeaderFields(const Transfer::THeader& h, bool compact)
{
    const bool mail = h.Kind == TKind::Mail;
    LinkWire::TFields f{{'I', h.Id}};
    if (!compact || !mail)
        f.emplace_back('K', Transfer::KindText(h.Kind));
    f.insert(f.end(), {{'M', Transfer::MethodText(h.Method)},
                       {'S', std::to_string(h.Size)},
                       {'C', LinkWire::Hex(h.Crc, 8)},
                       {'W', std::to_string(h.WireSize)},
                       {'X', LinkWire::Hex(h.WireCrc, 8)}});
    if (!compact || !mail)
        f.emplace_back('N', h.Name);
    return f;
}

} // namespace

TLinkSession::TLinkSession(Transfer::TStore& store, std::string ownName, TEvents events)
    : TransferVersion(Bzip2Library::Default().IsLoaded() ? kTransferBzip2 : kTransferPklib),
      FStore(store), FOwnName(std::move(ownName)), FEvents(std::move(events))
{
    FParser.OnData = [this](std::string_view data) { OnData(data); };
    FParser.OnMessage = [this](uint8_t code, std::string_view body) { OnMessage(code, body); };
    FParser.OnRing = [this](uint8_t code) {
        if (FEvents.Ring)
            FEvents.Ring(code);
    };
}

TLinkSession::~TLinkSession()
{
    if (FRunning)
        Stop();
}

void TLinkSession::Log(const std::string& text)
{
    if (FEvents.Log)
        FEvents.Log(text);
}

bool TLinkSession::Write(const std::string& bytes)
{
    if (FHalted || !FEvents.Send || !FEvents.Send(bytes))
        return false;
    FInFlight += static_cast<uint32_t>(bytes.size());
    FActivity = true;
    return true;
}

bool TLinkSession::TakeActivity()
{
    const bool was = FActivity;
    FActivity = false;
    return was;
}

void TLinkSession::Start(const std::string& peer, bool sendMail)
{
    if (FRunning)
        Stop();
    FParser.Reset();
    FRunning = true;
    FHalted = FOperatorEnded = false;
    FSendMail = sendMail;
    FInFlight = 0;
    FPeer = peer;
    FPeerKnown = !peer.empty();
    FAnnounced = FPeerAnnounced = false;
    FPeerVersion = kTransferNone;
    FPeerProtocol = 0;
    FPeerParts.clear();
    FPeerMail = FPeerFiles = 0;
    FTally = {};
    FList.clear();
    FHandled.clear();
    FSendState = TSendState::Idle;
    FAwaited.clear();
    FIn.reset();
    if (FPeerKnown) {
        FStore.CleanOutgoing(FPeer);
        SendAnnounce();
    }
}

void TLinkSession::Stop()
{
    if (FIn) {
        AbandonIncoming();
        ++FTally.Failed;
    }
    if (FSendState == TSendState::WaitResume || FSendState == TSendState::Data ||
        FSendState == TSendState::WaitAnswer) {
        FStore.DropWire(FWire);
        ++FTally.Failed;
        if (FSendState == TSendState::WaitAnswer)
            FUnanswered.insert(FCurrent.Item.Id);
    }
    for (const TAwaited& a : FAwaited) {
        FUnanswered.insert(a.Queued.Item.Id); // the next link asks after it
        ++FTally.Failed;
    }
    FAwaited.clear();
    FSendState = TSendState::Idle;
    FList.clear();
    FRunning = false;
    FInFlight = 0;
    if (FEvents.Progress) {
        FEvents.Progress(true, 0, 0);
        FEvents.Progress(false, 0, 0);
    }
}

int TLinkSession::Left(bool mail) const
{
    const auto ofKind = [mail](const Transfer::TOutItem& item) {
        return (item.Kind == TKind::Mail) == mail;
    };
    const bool busy = FSendState != TSendState::Idle && FSendState != TSendState::Done;
    return static_cast<int>(std::count_if(FList.begin(), FList.end(),
                                          [&](const TQueued& q) { return ofKind(q.Item); })) +
           static_cast<int>(
               std::count_if(FAwaited.begin(), FAwaited.end(),
                             [&](const TAwaited& a) { return ofKind(a.Queued.Item); })) +
           (busy && ofKind(FCurrent.Item) ? 1 : 0);
}

bool TLinkSession::AllCountsZero() const
{
    return FRunning && FPeerAnnounced && FSendState == TSendState::Done && !FIn && FPeerMail == 0 &&
           FPeerFiles == 0;
}

bool TLinkSession::TriedAndLeft() const
{
    if (!FPeerKnown)
        return false;
    const auto items = FStore.ItemsFor(FPeer, FSendMail);
    return std::any_of(items.begin(), items.end(),
                       [&](const Transfer::TOutItem& item) { return FHandled.contains(item.Id); });
}

bool TLinkSession::EndByOperator()
{
    if (!FRunning || FHalted)
        return false;
    if (!Write(LinkWire::Message(kOperatorEnd, {})))
        return false;
    FHalted = FOperatorEnded = true;
    return true;
}

bool TLinkSession::SendChatText(const std::string& text)
{
    if (text.size() + FInFlight >= kMaxInFlight)
        return false;
    return Write(LinkWire::Chat(text));
}

bool TLinkSession::SendBuzz(uint8_t code)
{
    return Write(LinkWire::Ring(code));
}

void TLinkSession::Receive(const char* bytes, size_t n)
{
    if (n == 0 || FHalted)
        return;
    FActivity = true;
    FParser.Feed(bytes, n);
}

void TLinkSession::Transmitted(uint32_t n)
{
    const uint32_t was = FInFlight;
    FInFlight = n >= was ? 0 : was - n;
    Pump();
}

// ------------------------------------------------------------ sending

TMethod TLinkSession::Method() const
{
    if (FPeerVersion >= kTransferBzip2 && Bzip2Library::Default().IsLoaded())
        return TMethod::Bzip2;
    if (FPeerVersion >= kTransferPklib)
        return TMethod::Pklib;
    return TMethod::None;
}

bool TLinkSession::Pipelined() const
{
    return ProtocolVersion >= 2 && FPeerProtocol >= 2;
}

bool TLinkSession::Awaited(const std::string& id) const
{
    return std::any_of(FAwaited.begin(), FAwaited.end(),
                       [&](const TAwaited& a) { return a.Queued.Item.Id == id; });
}

void TLinkSession::BuildList()
{
    for (Transfer::TOutItem& item : FStore.ItemsFor(FPeer, FSendMail))
        if (!FHandled.contains(item.Id) && !Awaited(item.Id))
            FList.push_back({std::move(item), 0});
}

void TLinkSession::SendAnnounce()
{
    if (FPeerKnown)
        BuildList();
    FAnnounced = true;
    LinkWire::TFields fields{{'P', std::to_string(ProtocolVersion)},
                             {'T', std::to_string(TransferVersion)},
                             {'N', FOwnName},
                             {'M', std::to_string(OwnMailLeft())},
                             {'F', std::to_string(OwnFilesLeft())}};
    std::string parts;
    if (ProtocolVersion >= 2 && !FPeer.empty())
        for (const std::string& id : FStore.Partials(FPeer))
            parts += (parts.empty() ? "" : ",") + id;
    if (!parts.empty())
        fields.emplace_back('H', parts);
    Write(LinkWire::Message(kAnnounce, fields));
}

void TLinkSession::SendNext()
{
    if (!FRunning || FHalted || !FPeerAnnounced || FSendState != TSendState::Idle)
        return;
    for (;;) {
        if (FList.empty() && FPeerKnown)
            BuildList(); // what was filed for the peer meanwhile
        if (FList.empty()) {
            if (!FAwaited.empty())
                return; // a failed mail comes back
            FSendState = TSendState::Done;
            Write(LinkWire::Message(kCounts, {{'M', "0"}, {'F', "0"}}));
            return;
        }
        if (FAwaited.size() >= static_cast<size_t>(kAnswerWindow))
            return;
        FCurrent = std::move(FList.front());
        FList.pop_front();
        std::string why;
        FWire = {};
        if (!FStore.PrepareWire(FPeer, FCurrent.Item, Method(), FWire, why)) {
            Log("Cannot send " + FCurrent.Item.Name + " to " + FPeer + ": " + why);
            FStore.DropWire(FWire);
            FHandled.insert(FCurrent.Item.Id);
            continue;
        }
        const Transfer::THeader& h = FWire.Header;
        const bool partAtPeer = FPeerParts.contains(h.Id);
        if (Pipelined() && !partAtPeer && FUnanswered.contains(h.Id)) {
            // Most likely stored there: asked after, not sent again.
            Write(LinkWire::Message(kHeader, HeaderFields(h, false)));
            FStore.DropWire(FWire);
            FAwaited.push_back({std::move(FCurrent), true});
            continue;
        }
        if (Pipelined() && !partAtPeer) {
            FOffset = 0;
            FSendState = TSendState::Data;
            Write(LinkWire::Message(kDataHeader, HeaderFields(h, true)));
            return;
        }
        FSendState = TSendState::WaitResume;
        Write(LinkWire::Message(kHeader, HeaderFields(h, false)));
        return;
    }
}

void TLinkSession::Pump()
{
    while (!FHalted && FSendState == TSendState::Data && FInFlight < kDataWindow) {
        const uint64_t total = FWire.Header.WireSize;
        if (FOffset >= total) {
            EndItem();
            continue;
        }
        const size_t n =
            static_cast<size_t>(std::min<uint64_t>(kDataWindow - FInFlight, total - FOffset));
        std::string chunk;
        if (!FStore.ReadWire(FWire, FOffset, n, chunk)) {
            Log("Cannot read " + FCurrent.Item.Name + " to send it");
            // The receiver's part stays consistent: it has what was sent.
            FinishSending(false, "cannot read the item");
            continue;
        }
        if (!Write(LinkWire::EscapeData(chunk)))
            return;
        FOffset += n;
        if (FEvents.Progress)
            FEvents.Progress(true, FOffset, total);
    }
}

void TLinkSession::EndItem()
{
    if (!Pipelined()) {
        FSendState = TSendState::WaitAnswer;
        Write(LinkWire::Message(kEnd, {{'I', FWire.Header.Id}}));
        return;
    }
    Write(LinkWire::Message(kEnd, {}));
    FStore.DropWire(FWire);
    FAwaited.push_back({std::move(FCurrent), false});
    FSendState = TSendState::Idle;
    if (FEvents.Progress)
        FEvents.Progress(true, 0, 0);
    SendNext();
}

void TLinkSession::FinishSending(bool stored, const std::string& reason)
{
    FStore.DropWire(FWire);
    FSendState = TSendState::Idle;
    if (FEvents.Progress)
        FEvents.Progress(true, 0, 0);
    Settle(FCurrent, stored, reason);
    SendNext();
}

void TLinkSession::Settle(TQueued queued, bool stored, const std::string& reason)
{
    const Transfer::TOutItem& item = queued.Item;
    FUnanswered.erase(item.Id);
    if (stored) {
        ++FTally.Succeeded;
        FHandled.insert(item.Id);
        if (!FStore.RemoveSent(item))
            Log("Error removing sent " + std::string(Noun(item.Kind)) + " " + item.Path);
        Log("Sent " + std::string(Noun(item.Kind)) + " " + item.Name + " to " + FPeer);
        if (FEvents.ItemSent)
            FEvents.ItemSent(item.Kind);
        return;
    }
    ++FTally.Failed;
    Log(FPeer + " did not store " + item.Name + ": " + Printable(reason));
    if (item.Kind == TKind::Mail && ++queued.Tries < kMailTries) {
        // Offered again after the other mail.
        const auto firstFile = std::find_if(FList.begin(), FList.end(), [](const TQueued& q) {
            return q.Item.Kind != TKind::Mail;
        });
        FList.insert(firstFile, std::move(queued));
    } else {
        FHandled.insert(item.Id);
        Log(item.Name + " waits for the next link");
    }
}

// ------------------------------------------------------------ receiving

void TLinkSession::OnMessage(uint8_t code, std::string_view body)
{
    if (code == kChat) {
        std::string text;
        if (LinkWire::UnescapeText(body, text) && FEvents.ChatText)
            FEvents.ChatText(text);
        return;
    }
    if (code < kAnnounce || code > kOperatorEnd || !FRunning)
        return; // not ours to know, or no link
    std::map<char, std::string> f;
    if (!LinkWire::ParseFields(body, f)) {
        Log("Ignored a malformed message from " + FPeer);
        return;
    }
    // IDs are compared as this station writes them.
    if (const auto id = f.find('I'); id != f.end())
        id->second = UpperHex(std::move(id->second));
    switch (code) {
    case kAnnounce:
        OnAnnounce(f);
        break;
    case kHeader:
        OnHeader(f, false);
        break;
    case kDataHeader:
        if (Pipelined())
            OnHeader(f, true);
        break;
    case kResume:
        OnResume(f);
        break;
    case kEnd:
        OnEnd(Get(f, 'I'));
        break;
    case kSuccess:
        OnAnswer(Get(f, 'I'), true, "");
        Pump();
        break;
    case kFailure:
        OnAnswer(Get(f, 'I'), false, Get(f, 'R'));
        Pump();
        break;
    case kCounts:
        FPeerMail = ReadCount(f, 'M');
        FPeerFiles = ReadCount(f, 'F');
        break;
    case kFaxStatus:
        Log("Fax Status from " + FPeer + ": " + Printable(Get(f, 'S')));
        break;
    case kOperatorEnd:
        FOperatorEnded = true;
        Log("The operator of " + (FPeer.empty() ? std::string("the station") : FPeer) +
            " ends the link");
        break;
    default:
        break;
    }
}

void TLinkSession::OnAnnounce(std::map<char, std::string>& f)
{
    uint64_t version = 0;
    FPeerVersion = ReadNumber(f, 'T', 1000, version) ? static_cast<int>(version) : kTransferNone;
    FPeerProtocol = ReadNumber(f, 'P', 1000, version) ? static_cast<int>(version) : 0;
    FPeerParts.clear();
    const std::string parts = Get(f, 'H');
    for (size_t at = 0; at < parts.size();) {
        const size_t comma = std::min(parts.find(',', at), parts.size());
        FPeerParts.insert(UpperHex(parts.substr(at, comma - at)));
        at = comma + 1;
    }
    FPeerMail = ReadCount(f, 'M');
    FPeerFiles = ReadCount(f, 'F');
    const std::string name = Get(f, 'N');
    if (FPeer.empty()) {
        const std::string known = FEvents.ResolvePeer ? FEvents.ResolvePeer(name) : std::string();
        if (!known.empty()) {
            FPeer = known;
            FPeerKnown = true;
            FStore.CleanOutgoing(FPeer);
        } else if (name.size() <= kMaxStationName && MessageStore::IsSafeName(name)) {
            FPeer = name; // not in our table: we take its items, send none
            Log("Linked with " + name + ", a station this station does not know");
        }
    }
    FPeerAnnounced = true;
    Log(FPeer + " holds " + std::to_string(FPeerMail) + " mail and " + std::to_string(FPeerFiles) +
        " files for us (transfer version " + std::to_string(FPeerVersion) + ")");
    if (!FAnnounced)
        SendAnnounce();
    SendNext();
    Pump();
}

void TLinkSession::Answer(const std::string& id, bool stored, const std::string& reason)
{
    if (stored)
        Write(LinkWire::Message(kSuccess, {{'I', id}}));
    else
        Write(LinkWire::Message(kFailure, {{'I', id}, {'R', reason}}));
}

void TLinkSession::OnHeader(std::map<char, std::string>& f, bool withData)
{
    if (FIn)
        AbandonIncoming(); // the peer gave up on it; its part stays
    const std::string id = Get(f, 'I');
    if (!IsHex(id, 16)) {
        Log("Ignored an item from " + FPeer + " without a valid ID");
        return;
    }
    if (withData && !f.contains('K'))
        f['K'] = Transfer::KindText(TKind::Mail);
    Transfer::THeader h;
    h.Id = id;
    uint64_t crc = 0;
    uint64_t wireCrc = 0;
    std::string refused;
    if (FPeer.empty())
        refused = "unknown station";
    else if (!Transfer::KindFromText(Get(f, 'K'), h.Kind))
        refused = "unknown item kind";
    else if (!Transfer::MethodFromText(Get(f, 'M'), h.Method) ||
             (h.Method == TMethod::Bzip2 && !Bzip2Library::Default().IsLoaded()))
        refused = "unknown method";
    else if (!ReadNumber(f, 'S', kMaxItemBytes, h.Size) ||
             !ReadNumber(f, 'W', 2 * h.Size + 4096, h.WireSize) ||
             (h.Method == TMethod::None && h.WireSize != h.Size))
        refused = "size out of bounds";
    else if (!IsHex(Get(f, 'C'), 8) || !IsHex(Get(f, 'X'), 8))
        refused = "no valid CRC";
    else if (Get(f, 'N').size() > kMaxNameBytes)
        refused = "name too long";
    if (refused.empty()) {
        crc = std::strtoull(Get(f, 'C').c_str(), nullptr, 16);
        wireCrc = std::strtoull(Get(f, 'X').c_str(), nullptr, 16);
        h.Crc = static_cast<uint32_t>(crc);
        h.WireCrc = static_cast<uint32_t>(wireCrc);
        h.Name = Get(f, 'N');
    }
    if (!refused.empty()) {
        Log("Refused an item from " + FPeer + ": " + refused);
        ++FTally.Failed;
        Answer(id, false, refused);
        return;
    }
    if (FStore.IsCompleted(FPeer, id)) {
        Log(std::string(Noun(h.Kind)) + " " + Printable(h.Name) + " from " + FPeer +
            " was received before");
        int& left = h.Kind == TKind::Mail ? FPeerMail : FPeerFiles;
        left = std::max(0, left - 1);
        Answer(id, true, "");
        return;
    }
    std::string why;
    auto partial = FStore.BeginReceive(FPeer, h, why, !withData);
    if (!partial) {
        Log("Cannot receive from " + FPeer + ": " + why);
        ++FTally.Failed;
        Answer(id, false, why);
        return;
    }
    const uint64_t offset = partial->Size();
    FIn = std::make_unique<TIncoming>();
    FIn->Header = h;
    FIn->Partial = std::move(partial);
    if (offset > 0)
        Log("Resuming " + std::string(Noun(h.Kind)) + " from " + FPeer + " at byte " +
            std::to_string(offset));
    if (FEvents.Progress)
        FEvents.Progress(false, offset, h.WireSize);
    if (!withData)
        Write(LinkWire::Message(kResume, {{'I', id}, {'O', std::to_string(offset)}}));
}

void TLinkSession::OnData(std::string_view data)
{
    if (!FIn || !FRunning)
        return; // nothing asked for, or answered at its header: dropped
    if (!FIn->Broken && !FIn->Partial->Append(data.data(), data.size(), FIn->Header.WireSize))
        FIn->Broken = true; // more than the header said, or the disk failed
    if (FEvents.Progress)
        FEvents.Progress(false, FIn->Partial->Size(), FIn->Header.WireSize);
}

void TLinkSession::OnEnd(const std::string& id)
{
    if (!FIn || (id.empty() ? !Pipelined() : id != FIn->Header.Id))
        return;
    const std::unique_ptr<TIncoming> in = std::move(FIn);
    std::string path;
    std::string why = "more data than announced, or the data could not be written";
    const bool stored =
        !in->Broken && FStore.FinishReceive(FPeer, in->Header, *in->Partial, path, why);
    if (in->Broken)
        FStore.Discard(FPeer, in->Header, *in->Partial);
    if (FEvents.Progress)
        FEvents.Progress(false, 0, 0);
    if (stored) {
        ++FTally.Succeeded;
        int& left = in->Header.Kind == TKind::Mail ? FPeerMail : FPeerFiles;
        left = std::max(0, left - 1);
        // A file is named as filed, which may differ from the name sent.
        const std::string name = in->Header.Kind == TKind::Mail
                                     ? std::string()
                                     : " " + path.substr(path.find_last_of('/') + 1);
        Log("Received " + std::string(Noun(in->Header.Kind)) + name + " from " + FPeer + " (" +
            std::to_string(in->Header.Size) + " bytes)");
        if (FEvents.ItemStored)
            FEvents.ItemStored(in->Header.Kind, path);
    } else {
        ++FTally.Failed;
        Log(std::string(Noun(in->Header.Kind)) + " from " + FPeer + " failed: " + why);
    }
    Answer(in->Header.Id, stored, why);
}

void TLinkSession::OnResume(std::map<char, std::string>& f)
{
    const std::string id = Get(f, 'I');
    if (FSendState != TSendState::WaitResume || id != FCurrent.Item.Id) {
        // An item asked after is not there whole: it goes again, resumed
        // where a part of it is there.
        const auto it = std::find_if(FAwaited.begin(), FAwaited.end(), [&](const TAwaited& a) {
            return a.Asked && a.Queued.Item.Id == id;
        });
        if (it == FAwaited.end())
            return;
        if (Get(f, 'O') != "0")
            FPeerParts.insert(id);
        FUnanswered.erase(id);
        FList.push_front(std::move(it->Queued));
        FAwaited.erase(it);
        SendNext();
        Pump();
        return;
    }
    uint64_t offset = 0;
    if (!ReadNumber(f, 'O', FWire.Header.WireSize, offset)) {
        FinishSending(false, "no valid resume offset");
        Pump();
        return;
    }
    FOffset = offset;
    if (offset > 0)
        Log("Resuming " + FCurrent.Item.Name + " to " + FPeer + " at byte " +
            std::to_string(offset));
    FSendState = TSendState::Data;
    Pump();
}

void TLinkSession::OnAnswer(const std::string& id, bool stored, const std::string& reason)
{
    if (id == FCurrent.Item.Id &&
        (FSendState == TSendState::WaitResume || FSendState == TSendState::Data ||
         FSendState == TSendState::WaitAnswer)) {
        FinishSending(stored, reason); // the peer drops what data went
        return;
    }
    const auto it = std::find_if(FAwaited.begin(), FAwaited.end(),
                                 [&](const TAwaited& a) { return a.Queued.Item.Id == id; });
    if (it == FAwaited.end())
        return;
    TQueued queued = std::move(it->Queued);
    FAwaited.erase(it);
    Settle(std::move(queued), stored, reason);
    SendNext();
}

void TLinkSession::AbandonIncoming()
{
    if (FIn && FIn->Partial)
        FIn->Partial->Close();
    FIn.reset();
    if (FEvents.Progress)
        FEvents.Progress(false, 0, 0);
}
