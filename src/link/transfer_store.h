#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

// The disk side of the station-to-station transfer, on one data root.
//
// Decisions:
// - Outgoing: mail is every message file of STATIONS/<peer> in number order;
//   files are the regular files of STATIONS/<peer>/Files (an operator puts
//   them there). A sent item is deleted only after the peer's success answer.
// - Item IDs: a hash of both station names and the file's name, size, change
//   time and inode, so the same file gets the same ID on every link and a
//   new file of the same name a new one.
// - What goes on the air is the item compressed by the method into
//   TEMP/STATIONS/<peer>/out-<ID>; the codecs give the same bytes every
//   time, so a resumed item continues the same data. An item the method
//   would not make smaller goes as it is ("NONE"), which every receiver
//   reads.
// - Incoming data collects in TEMP/STATIONS/<peer>/<ID>.part beside a copy
//   of its header (<ID>.head). The next offer of the same item with the same
//   header resumes at the part's size; any other header starts it again. At
//   most kMaxPartials parts are kept per peer, the oldest going first.
// - A finished item is checked (data size and CRC, expansion to no more than
//   the header's size, size and CRC of the item), then filed whole: mail as
//   the next message file of QUEUE (the message store's exclusive numbering),
//   files into Files and fax items into MAIL/FAX under the last component of
//   their name, never over an existing file ("name (2).ext" and on); the
//   directory is synced before the peer is told.
// - Completed IDs are remembered in TEMP/STATIONS/<peer>/received.ids (the
//   last kMaxCompletedIds), so an item offered again after a lost success
//   answer is answered again without being filed twice. The item is filed
//   before its ID is recorded: a crash between the two can file it twice,
//   never lose it.
namespace Transfer {

enum class TKind { Mail, File, Fax };
enum class TMethod { None, Pklib, Bzip2 };

const char* KindText(TKind kind);
bool KindFromText(const std::string& text, TKind& kind);
const char* MethodText(TMethod method);
bool MethodFromText(const std::string& text, TMethod& method);

inline constexpr int kMaxPartials = 16;
inline constexpr size_t kMaxCompletedIds = 4096;

// An item this station holds for a peer.
struct TOutItem {
    TKind Kind = TKind::Mail;
    std::string Path;
    std::string Name; // file name without directory
    uint64_t Size = 0;
    std::string Id;
};

// What the header of an item says.
struct THeader {
    std::string Id;
    TKind Kind = TKind::Mail;
    TMethod Method = TMethod::None;
    uint64_t Size = 0;
    uint32_t Crc = 0;
    uint64_t WireSize = 0;
    uint32_t WireCrc = 0;
    std::string Name;
};

// The data of an outgoing item as it goes on the air.
struct TWire {
    THeader Header;
    std::string Path;
    std::shared_ptr<std::FILE> File; // open while it is read
};

// The reduced name a received file is filed under: the last component,
// without control characters or a leading dot; "file" when nothing is left.
std::string SafeFileName(const std::string& name);

// An incoming item's data file, open for appending.
class TPartial {
public:
    TPartial(std::string path, std::FILE* file, uint64_t size);
    ~TPartial();
    TPartial(const TPartial&) = delete;
    TPartial& operator=(const TPartial&) = delete;

    // False when the data would run past `limit` or cannot be written.
    bool Append(const char* data, size_t n, uint64_t limit);
    uint64_t Size() const { return FSize; }
    // Flushes and closes; false when that failed.
    bool Close();
    const std::string& Path() const { return FPath; }

private:
    std::string FPath;
    std::FILE* FFile;
    uint64_t FSize;
};

class TStore {
public:
    TStore(std::string root, std::string ownName);

    const std::string& Root() const { return FRoot; }

    // ----- sending
    // Mail (unless `withMail` is false), then files, for the peer.
    std::vector<TOutItem> ItemsFor(const std::string& peer, bool withMail) const;
    // Counts of mail and files waiting for the peer that a link can carry
    // (one larger than an item may be never goes).
    void CountFor(const std::string& peer, int& mail, int& files) const;
    // Compresses the item by the method into its temporary file; the
    // header says NONE when that would not make it smaller.
    bool PrepareWire(const std::string& peer, const TOutItem& item, TMethod method, TWire& wire,
                     std::string& why) const;
    // Reads up to `n` bytes of the wire file from `offset`.
    bool ReadWire(TWire& wire, uint64_t offset, size_t n, std::string& out) const;
    // Closes the wire file, and removes it when it is a temporary one.
    void DropWire(TWire& wire) const;
    // Removes temporaries a cut link left for the peer.
    void CleanOutgoing(const std::string& peer) const;
    // The item is stored at the peer.
    bool RemoveSent(const TOutItem& item) const;

    // ----- receiving
    bool IsCompleted(const std::string& peer, const std::string& id) const;
    // IDs of the peer's items of which a part is here (at most kMaxPartials).
    std::vector<std::string> Partials(const std::string& peer) const;
    // Opens the item's part: resumed when `resume` and one of the same header
    // is there, else started afresh.
    std::unique_ptr<TPartial> BeginReceive(const std::string& peer, const THeader& header,
                                           std::string& why, bool resume = true) const;
    // Checks, expands and files the finished item; gives the stored path or
    // the reason it failed. The part is gone afterwards either way.
    bool FinishReceive(const std::string& peer, const THeader& header, TPartial& partial,
                       std::string& storedPath, std::string& why) const;
    // Drops the item's part: the next offer starts it again.
    void Discard(const std::string& peer, const THeader& header, TPartial& partial) const;

private:
    std::string PeerTemp(const std::string& peer) const;
    std::string ItemId(const std::string& peer, const std::string& path) const;
    bool Expand(const THeader& header, const std::string& from, const std::string& to,
                std::string& why) const;
    bool File(const THeader& header, const std::string& item, std::string& storedPath,
              std::string& why) const;
    void RecordCompleted(const std::string& peer, const std::string& id) const;
    void TrimPartials(const std::string& dir) const;

    std::string FRoot;
    std::string FOwnName;
};

} // namespace Transfer
