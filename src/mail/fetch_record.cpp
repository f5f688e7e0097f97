#include "mail/fetch_record.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <algorithm>
#include <mutex>

#include "core/table_file.h"
#include "core/text_util.h"

namespace {

constexpr TableFile::Format kFetched{TFetchRecord::kFileName, ':', 3, false, false};
constexpr size_t kDigestLength = 64;

std::mutex gFileLock;

bool IsDigest(const std::string& text)
{
    return text.size() == kDigestLength && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

// The file's lines; a line without a digest (a hand edit, a cut write) goes.
std::vector<TableFile::Record> LoadLines()
{
    std::vector<TableFile::Record> records = TableFile::Load(kFetched);
    std::erase_if(records, [](const TableFile::Record& r) { return !IsDigest(r[2]); });
    return records;
}

} // namespace

TFetchRecord::TFetchRecord(std::string server, std::string user)
    : FServer(std::move(server)), FUser(std::move(user))
{
    std::lock_guard lock(gFileLock);
    for (const TableFile::Record& r : LoadLines()) {
        if (IsMine(r[0], r[1])) {
            ++FEarlier[r[2]];
            FSaved = true;
        }
    }
}

bool TFetchRecord::IsMine(const std::string& server, const std::string& user) const
{
    return user == FUser && SameTextIgnoreCase(server, FServer);
}

std::string TFetchRecord::Digest(std::string_view message)
{
    const QByteArray bytes =
        QByteArray::fromRawData(message.data(), static_cast<qsizetype>(message.size()));
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toStdString();
}

bool TFetchRecord::TakenBefore(const std::string& digest)
{
    auto it = FEarlier.find(digest);
    if (it == FEarlier.end() || it->second == 0)
        return false;
    --it->second;
    return true;
}

void TFetchRecord::Add(const std::string& digest)
{
    std::lock_guard lock(gFileLock);
    std::vector<TableFile::Record> records = LoadLines();
    records.push_back({FServer, FUser, digest});
    const size_t mine = static_cast<size_t>(std::count_if(
        records.begin(), records.end(), [&](const auto& r) { return IsMine(r[0], r[1]); }));
    // The mailbox's oldest lines go first.
    size_t excess = mine > kKeptPerMailbox ? mine - kKeptPerMailbox : 0;
    for (auto it = records.begin(); excess > 0;) {
        if (IsMine((*it)[0], (*it)[1])) {
            it = records.erase(it);
            --excess;
        } else {
            ++it;
        }
    }
    TableFile::Save(records, kFetched);
    FSaved = true;
}

void TFetchRecord::Clear()
{
    if (!FSaved)
        return;
    std::lock_guard lock(gFileLock);
    std::vector<TableFile::Record> records = LoadLines();
    std::erase_if(records, [&](const auto& r) { return IsMine(r[0], r[1]); });
    TableFile::Save(records, kFetched);
    FSaved = false;
}
