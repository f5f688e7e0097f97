#include "link/transfer_store.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <system_error>

#include "core/message_store.h"
#include "link/codec/bzip2.h"
#include "link/codec/codec_file.h"
#include "link/codec/pklib.h"
#include "link/codec/pklib_file.h"
#include "link/link_wire.h"
#include "link/modem_frame.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"

namespace Transfer {

namespace {

constexpr const char* kOutPrefix = "out-";
constexpr const char* kPartSuffix = ".part";
constexpr const char* kHeadSuffix = ".head";
constexpr const char* kItemSuffix = ".item";
constexpr const char* kCompletedFile = "received.ids";
constexpr const char* kOutgoingFiles = "Files";
constexpr size_t kChunk = 64 * 1024;
constexpr size_t kMaxFileName = 200;

using CodecFile::FilePtr;
using LinkWire::Hex;

// Opens a new file of the station's own (mail is private data).
FilePtr CreatePrivate(const std::string& path, const char* mode)
{
    FilePtr f(std::fopen(path.c_str(), mode));
    if (f)
        ::fchmod(::fileno(f.get()), 0600);
    return f;
}

// Size and CRC-32 of a whole file; false when it cannot be read.
bool SumFile(const std::string& path, uint64_t& size, uint32_t& crc)
{
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f)
        return false;
    size = 0;
    crc = 0;
    std::string buf(kChunk, '\0');
    for (;;) {
        const size_t n = std::fread(buf.data(), 1, buf.size(), f.get());
        if (n == 0)
            break;
        crc = LinkWire::Crc32(std::string_view(buf.data(), n), crc);
        size += n;
    }
    return !std::ferror(f.get());
}

bool IsRegular(const std::string& path, struct stat* out = nullptr)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if (out)
        *out = st;
    return true;
}

// The header as its part's companion file holds it.
std::string HeadText(const THeader& h)
{
    return h.Id + "\n" + KindText(h.Kind) + "\n" + MethodText(h.Method) + "\n" +
           std::to_string(h.Size) + "\n" + Hex(h.Crc, 8) + "\n" + std::to_string(h.WireSize) +
           "\n" + Hex(h.WireCrc, 8) + "\n";
}

// Output of an expansion that refuses to grow past the item's size.
struct LimitedOutput {
    std::FILE* File;
    uint64_t Left;
    bool Over = false;
};

ssize_t LimitedWrite(void* cookie, const char* buf, size_t n)
{
    auto* out = static_cast<LimitedOutput*>(cookie);
    if (n > out->Left) {
        out->Over = true;
        return -1;
    }
    if (std::fwrite(buf, 1, n, out->File) != n)
        return -1;
    out->Left -= n;
    return static_cast<ssize_t>(n);
}

unsigned PklibLimitedWrite(char* buf, unsigned* size, void* context)
{
    auto* pair = static_cast<std::pair<std::FILE*, LimitedOutput*>*>(context);
    const ssize_t n = LimitedWrite(pair->second, buf, *size);
    return n < 0 ? 0 : static_cast<unsigned>(n);
}

unsigned PklibPairRead(char* buf, unsigned* size, void* context)
{
    auto* pair = static_cast<std::pair<std::FILE*, LimitedOutput*>*>(context);
    return static_cast<unsigned>(std::fread(buf, 1, *size, pair->first));
}

} // namespace

const char* KindText(TKind kind)
{
    switch (kind) {
    case TKind::Mail:
        return "MAIL";
    case TKind::File:
        return "FILE";
    case TKind::Fax:
        return "FAX";
    }
    return "MAIL";
}

bool KindFromText(const std::string& text, TKind& kind)
{
    for (TKind k : {TKind::Mail, TKind::File, TKind::Fax})
        if (text == KindText(k)) {
            kind = k;
            return true;
        }
    return false;
}

const char* MethodText(TMethod method)
{
    switch (method) {
    case TMethod::None:
        return "NONE";
    case TMethod::Pklib:
        return "PKLIB";
    case TMethod::Bzip2:
        return "BZIP2";
    }
    return "NONE";
}

bool MethodFromText(const std::string& text, TMethod& method)
{
    for (TMethod m : {TMethod::None, TMethod::Pklib, TMethod::Bzip2})
        if (text == MethodText(m)) {
            method = m;
            return true;
        }
    return false;
}

std::string SafeFileName(const std::string& name)
{
    const size_t slash = name.find_last_of("/\\");
    std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    std::string out;
    for (char c : base) {
        const auto b = static_cast<uint8_t>(c);
        if (b >= 0x20 && b != 0x7F)
            out += c;
    }
    while (!out.empty() && (out.back() == ' ' || out.back() == '.'))
        out.pop_back();
    size_t lead = 0;
    while (lead < out.size() && (out[lead] == '.' || out[lead] == ' '))
        ++lead;
    out.erase(0, lead);
    if (out.size() > kMaxFileName)
        out.erase(0, out.size() - kMaxFileName); // keeps the extension
    return out.empty() ? "file" : out;
}

// ------------------------------------------------------------ TPartial

TPartial::TPartial(std::string path, std::FILE* file, uint64_t size)
    : FPath(std::move(path)), FFile(file), FSize(size)
{
}

TPartial::~TPartial()
{
    Close();
}

bool TPartial::Append(const char* data, size_t n, uint64_t limit)
{
    if (!FFile || FSize + n > limit)
        return false;
    if (std::fwrite(data, 1, n, FFile) != n)
        return false;
    // Each piece reaches the file at once: the next link resumes at its size.
    if (std::fflush(FFile) != 0)
        return false;
    FSize += n;
    return true;
}

bool TPartial::Close()
{
    if (!FFile)
        return true;
    const bool ok = std::fflush(FFile) == 0 && ::fsync(::fileno(FFile)) == 0;
    const bool closed = std::fclose(FFile) == 0;
    FFile = nullptr;
    return ok && closed;
}

// ------------------------------------------------------------ TStore

TStore::TStore(std::string root, std::string ownName)
    : FRoot(std::move(root)), FOwnName(std::move(ownName))
{
}

std::string TStore::PeerTemp(const std::string& peer) const
{
    return FRoot + "/" + DirName::TempStations + "/" + peer;
}

std::string TStore::ItemId(const std::string& peer, const std::string& path) const
{
    struct stat st {};
    ::stat(path.c_str(), &st);
    const std::string name = path.substr(path.find_last_of('/') + 1);
    const std::string key = FOwnName + "\n" + peer + "\n" + name + "\n" +
                            std::to_string(st.st_size) + "\n" + std::to_string(st.st_mtim.tv_sec) +
                            "." + std::to_string(st.st_mtim.tv_nsec) + "\n" +
                            std::to_string(st.st_ino) + "\n" + std::to_string(st.st_dev);
    uint64_t hash = 0xCBF29CE484222325ull; // FNV-1a
    for (char c : key) {
        hash ^= static_cast<uint8_t>(c);
        hash *= 0x100000001B3ull;
    }
    return Hex(hash, 16);
}

std::vector<TOutItem> TStore::ItemsFor(const std::string& peer, bool withMail) const
{
    std::vector<TOutItem> items;
    if (!MessageStore::IsSafeName(peer))
        return items;
    const std::string dir = FRoot + "/" + DirName::Stations + "/" + peer;
    if (withMail) {
        for (const MessageStore::TMessageFile& f : MessageStore::ListMessages(dir)) {
            const std::string path = dir + "/" + f.Name;
            items.push_back({TKind::Mail, path, f.Name, f.Size, ItemId(peer, path)});
        }
    }
    const std::string files = dir + "/" + kOutgoingFiles;
    std::vector<std::string> names;
    MessageStore::ForEachName(files, [&](const std::string& name) {
        if (name.empty() || name[0] == '.' || name[0] == '~')
            return;
        if (IsRegular(files + "/" + name))
            names.push_back(name);
    });
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        const std::string path = files + "/" + name;
        struct stat st {};
        if (IsRegular(path, &st))
            items.push_back(
                {TKind::File, path, name, static_cast<uint64_t>(st.st_size), ItemId(peer, path)});
    }
    return items;
}

void TStore::CountFor(const std::string& peer, int& mail, int& files) const
{
    mail = files = 0;
    for (const TOutItem& item : ItemsFor(peer, true))
        if (item.Size <= LinkCode::kMaxItemBytes)
            ++(item.Kind == TKind::Mail ? mail : files);
}

bool TStore::PrepareWire(const std::string& peer, const TOutItem& item, TMethod method, TWire& wire,
                         std::string& why) const
{
    THeader& h = wire.Header;
    h = THeader{};
    h.Id = item.Id;
    h.Kind = item.Kind;
    h.Method = method;
    h.Name = item.Name;
    // Too large as listed, it is not read at all; as read, it may have grown.
    const std::string tooLarge = item.Name + " is larger than an item may be";
    if (item.Size > LinkCode::kMaxItemBytes) {
        why = tooLarge;
        return false;
    }
    if (!SumFile(item.Path, h.Size, h.Crc)) {
        why = "cannot read " + item.Path;
        return false;
    }
    if (h.Size > LinkCode::kMaxItemBytes) {
        why = tooLarge;
        return false;
    }
    const auto sendAsIs = [&] {
        h.Method = TMethod::None;
        wire.Path = item.Path;
        h.WireSize = h.Size;
        h.WireCrc = h.Crc;
        return true;
    };
    if (method == TMethod::None)
        return sendAsIs();
    const std::string dir = PeerTemp(peer);
    if (!MessageStore::EnsureDirectory(dir)) {
        why = "cannot create " + dir;
        return false;
    }
    wire.Path = dir + "/" + kOutPrefix + item.Id;
    if (method == TMethod::Pklib) {
        const unsigned rc = PklibCompressFile(item.Path, wire.Path, kPklibAscii, 4096);
        if (rc != kPklibNoError) {
            why = "implode failed (" + std::to_string(rc) + ")";
            return false;
        }
    } else {
        const Bzip2Error rc = Bzip2CompressFile(item.Path, wire.Path);
        if (rc != Bzip2Error::None) {
            why = Bzip2ErrorText(rc);
            return false;
        }
    }
    if (!SumFile(wire.Path, h.WireSize, h.WireCrc)) {
        why = "cannot read " + wire.Path;
        return false;
    }
    if (h.WireSize >= h.Size) {
        // Short mail grows under either method: it goes as it is.
        ::unlink(wire.Path.c_str());
        return sendAsIs();
    }
    return true;
}

bool TStore::ReadWire(TWire& wire, uint64_t offset, size_t n, std::string& out) const
{
    if (!wire.File) {
        std::FILE* f = std::fopen(wire.Path.c_str(), "rb");
        if (!f)
            return false;
        wire.File.reset(f, CodecFile::Closer());
    }
    if (::fseeko(wire.File.get(), static_cast<off_t>(offset), SEEK_SET) != 0)
        return false;
    out.resize(n);
    const size_t got = std::fread(out.data(), 1, n, wire.File.get());
    out.resize(got);
    return got == n;
}

void TStore::DropWire(TWire& wire) const
{
    wire.File.reset();
    const std::string base = wire.Path.substr(wire.Path.find_last_of('/') + 1);
    if (base.rfind(kOutPrefix, 0) == 0)
        ::unlink(wire.Path.c_str());
}

void TStore::CleanOutgoing(const std::string& peer) const
{
    if (!MessageStore::IsSafeName(peer))
        return;
    const std::string dir = PeerTemp(peer);
    std::vector<std::string> stale;
    MessageStore::ForEachName(dir, [&](const std::string& name) {
        if (name.rfind(kOutPrefix, 0) == 0 || name.ends_with(kItemSuffix))
            stale.push_back(dir + "/" + name);
    });
    for (const std::string& path : stale)
        ::unlink(path.c_str());
}

bool TStore::RemoveSent(const TOutItem& item) const
{
    return ::unlink(item.Path.c_str()) == 0 || errno == ENOENT;
}

bool TStore::IsCompleted(const std::string& peer, const std::string& id) const
{
    std::string text;
    if (!MessageStore::IsSafeName(peer) ||
        !ReadWholeFile(PeerTemp(peer) + "/" + kCompletedFile, text))
        return false;
    size_t at = 0;
    while ((at = text.find(id, at)) != std::string::npos) {
        if ((at == 0 || text[at - 1] == '\n') &&
            (at + id.size() == text.size() || text[at + id.size()] == '\n'))
            return true;
        at += id.size();
    }
    return false;
}

void TStore::RecordCompleted(const std::string& peer, const std::string& id) const
{
    const std::string path = PeerTemp(peer) + "/" + kCompletedFile;
    std::string text;
    ReadWholeFile(path, text);
    text += id + "\n";
    size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    size_t cut = 0;
    while (lines > kMaxCompletedIds) {
        cut = text.find('\n', cut) + 1;
        --lines;
    }
    WriteFileAtomic(path, std::string_view(text).substr(cut));
}

void TStore::TrimPartials(const std::string& dir) const
{
    std::vector<std::pair<int64_t, std::string>> parts;
    MessageStore::ForEachName(dir, [&](const std::string& name) {
        struct stat st {};
        if (name.ends_with(kPartSuffix) && IsRegular(dir + "/" + name, &st))
            parts.emplace_back(static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 +
                                   st.st_mtim.tv_nsec,
                               name.substr(0, name.size() - std::strlen(kPartSuffix)));
    });
    std::sort(parts.begin(), parts.end());
    for (size_t i = 0; i + kMaxPartials <= parts.size(); ++i) {
        ::unlink((dir + "/" + parts[i].second + kPartSuffix).c_str());
        ::unlink((dir + "/" + parts[i].second + kHeadSuffix).c_str());
    }
}

std::vector<std::string> TStore::Partials(const std::string& peer) const
{
    std::vector<std::string> ids;
    if (!MessageStore::IsSafeName(peer))
        return ids;
    const std::string dir = PeerTemp(peer);
    MessageStore::ForEachName(dir, [&](const std::string& name) {
        if (!name.ends_with(kPartSuffix))
            return;
        const std::string id = name.substr(0, name.size() - std::strlen(kPartSuffix));
        if (IsRegular(dir + "/" + name) && IsRegular(dir + "/" + id + kHeadSuffix))
            ids.push_back(id);
    });
    std::sort(ids.begin(), ids.end());
    if (ids.size() > static_cast<size_t>(kMaxPartials))
        ids.resize(kMaxPartials);
    return ids;
}

std::unique_ptr<TPartial> TStore::BeginReceive(const std::string& peer, const THeader& header,
                                               std::string& why, bool resume) const
{
    const std::string dir = PeerTemp(peer);
    if (!MessageStore::IsSafeName(peer) || !MessageStore::EnsureDirectory(dir)) {
        why = "cannot create " + dir;
        return nullptr;
    }
    const std::string part = dir + "/" + header.Id + kPartSuffix;
    const std::string head = dir + "/" + header.Id + kHeadSuffix;
    std::string oldHead;
    struct stat st {};
    if (resume && ReadWholeFile(head, oldHead) && oldHead == HeadText(header) &&
        IsRegular(part, &st) && static_cast<uint64_t>(st.st_size) <= header.WireSize) {
        FilePtr f(std::fopen(part.c_str(), "ab"));
        if (f)
            return std::make_unique<TPartial>(part, f.release(), st.st_size);
    }
    ::unlink(part.c_str());
    ::unlink(head.c_str());
    TrimPartials(dir);
    try {
        WriteFileAtomic(head, HeadText(header));
    } catch (const std::exception& e) {
        why = e.what();
        return nullptr;
    }
    FilePtr f = CreatePrivate(part, "wb");
    if (!f) {
        why = "cannot create " + part + ": " + std::strerror(errno);
        return nullptr;
    }
    return std::make_unique<TPartial>(part, f.release(), 0);
}

bool TStore::Expand(const THeader& header, const std::string& from, const std::string& to,
                    std::string& why) const
{
    FilePtr in(std::fopen(from.c_str(), "rb"));
    FilePtr out = CreatePrivate(to, "wb");
    if (!in || !out) {
        why = "cannot open the item's files";
        return false;
    }
    LimitedOutput limited{out.get(), header.Size};
    bool ok = false;
    if (header.Method == TMethod::Pklib) {
        std::pair<std::FILE*, LimitedOutput*> pair{in.get(), &limited};
        std::vector<char> work(kPklibExpandWorkSize);
        const unsigned rc = PklibDecompress(PklibPairRead, PklibLimitedWrite, work.data(), &pair);
        ok = rc == kPklibNoError;
        if (!ok && !limited.Over)
            why = "explode failed (" + std::to_string(rc) + ")";
    } else {
        cookie_io_functions_t io{};
        io.write = LimitedWrite;
        FilePtr bounded(::fopencookie(&limited, "w", io));
        if (!bounded) {
            why = "cannot open the item's files";
            return false;
        }
        std::setvbuf(bounded.get(), nullptr, _IONBF, 0);
        const Bzip2Error rc = Bzip2Decompress(in.get(), bounded.get());
        ok = rc == Bzip2Error::None;
        if (!ok && !limited.Over)
            why = Bzip2ErrorText(rc);
    }
    if (limited.Over) {
        why = "the item expands beyond its size";
        return false;
    }
    if (ok && (std::fflush(out.get()) != 0 || ::fsync(::fileno(out.get())) != 0)) {
        why = "cannot write the item";
        return false;
    }
    return ok;
}

bool TStore::File(const THeader& header, const std::string& item, std::string& storedPath,
                  std::string& why) const
{
    try {
        if (header.Kind == TKind::Mail) {
            const std::string queue = FRoot + "/" + DirName::Queue;
            MessageStore::EnsureDirectory(queue);
            storedPath = MessageStore::AdoptNewMessage(queue, item);
            return true;
        }
    } catch (const std::exception& e) {
        why = e.what();
        return false;
    }
    const std::string dir =
        FRoot + "/" + (header.Kind == TKind::File ? DirName::Files : DirName::MailFax);
    if (!MessageStore::EnsureDirectory(dir)) {
        why = "cannot create " + dir;
        return false;
    }
    const std::string name = SafeFileName(header.Name);
    const size_t dot = name.find_last_of('.');
    const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    const std::string ext = stem.size() == name.size() ? "" : name.substr(dot);
    for (int n = 1; n <= 1000; ++n) {
        const std::string candidate =
            dir + "/" + (n == 1 ? name : stem + " (" + std::to_string(n) + ")" + ext);
        const int err = MessageStore::ClaimName(item, candidate);
        if (err == 0) {
            // On disk before the peer hears of success and deletes its copy.
            SyncDirectory(dir);
            storedPath = candidate;
            return true;
        }
        if (err != EEXIST) {
            why = "cannot store " + candidate + ": " + std::strerror(err);
            return false;
        }
    }
    why = "no free name for " + name + " in " + dir;
    return false;
}

bool TStore::FinishReceive(const std::string& peer, const THeader& header, TPartial& partial,
                           std::string& storedPath, std::string& why) const
{
    const std::string dir = PeerTemp(peer);
    const std::string part = partial.Path();
    const std::string head = dir + "/" + header.Id + kHeadSuffix;
    const std::string item = dir + "/" + header.Id + kItemSuffix;
    auto cleanUp = [&] {
        ::unlink(part.c_str());
        ::unlink(head.c_str());
        ::unlink(item.c_str());
    };
    uint64_t size = 0;
    uint32_t crc = 0;
    const bool closed = partial.Close();
    if (!closed || !SumFile(part, size, crc)) {
        why = "cannot read the received data";
    } else if (size != header.WireSize) {
        why =
            "data size " + std::to_string(size) + " instead of " + std::to_string(header.WireSize);
    } else if (crc != header.WireCrc) {
        why = "data CRC error";
    } else {
        bool expanded = true;
        if (header.Method != TMethod::None) {
            expanded = Expand(header, part, item, why);
        } else if (::rename(part.c_str(), item.c_str()) != 0) {
            why = "cannot rename the received data";
            expanded = false;
        }
        if (expanded && (!SumFile(item, size, crc) || size != header.Size)) {
            why =
                "item size " + std::to_string(size) + " instead of " + std::to_string(header.Size);
        } else if (expanded && crc != header.Crc) {
            why = "item CRC error";
        } else if (expanded && File(header, item, storedPath, why)) {
            try {
                RecordCompleted(peer, header.Id);
            } catch (const std::exception&) {
                // Filed: an offer of it again may file it twice, which is
                // better than answering failure for a stored item.
            }
            cleanUp();
            return true;
        }
    }
    cleanUp();
    return false;
}

void TStore::Discard(const std::string& peer, const THeader& header, TPartial& partial) const
{
    partial.Close();
    ::unlink(partial.Path().c_str());
    ::unlink((PeerTemp(peer) + "/" + header.Id + kHeadSuffix).c_str());
}

} // namespace Transfer
