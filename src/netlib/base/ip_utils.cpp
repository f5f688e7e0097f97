#include "netlib/base/ip_utils.h"

#include "netproto/core/id_global.h"
#include "netproto/message/id_hash_message_digest.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QMimeDatabase>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {

int ToPos(std::string::size_type index)
{
    return index == std::string::npos ? 0 : static_cast<int>(index) + 1;
}

bool InRange(int idx, const std::string& s)
{
    return idx >= 1 && idx <= static_cast<int>(s.size());
}

std::ifstream OpenForReading(const std::string& fileName)
{
    std::ifstream file(fileName, std::ios::binary);
    if (!file)
        throw std::system_error(errno ? errno : ENOENT, std::generic_category(),
                                "Cannot open file \"" + fileName + "\"");
    return file;
}

std::string ReplaceChar(std::string s, char from, char to)
{
    for (char& c : s)
        if (c == from)
            c = to;
    return s;
}

std::string AppendTrailing(const std::string& s, char c)
{
    return s.empty() || s.back() == c ? s : s + c;
}

std::string RemoveTrailing(const std::string& s, char c)
{
    return !s.empty() && s.back() == c ? s.substr(0, s.size() - 1) : s;
}

} // namespace

int CharPos(char c, const std::string& s)
{
    return ToPos(s.find(c));
}

int CharPosIdx(char c, const std::string& s, int idx)
{
    return InRange(idx, s) ? ToPos(s.find(c, static_cast<size_t>(idx - 1))) : 0;
}

int NthCharPos(char c, const std::string& s, int n)
{
    if (n < 1)
        return 0;
    for (size_t i = 0; i < s.size(); ++i)
        if (s[i] == c && --n == 0)
            return static_cast<int>(i) + 1;
    return 0;
}

int RCharPos(char c, const std::string& s)
{
    return ToPos(s.rfind(c));
}

int RCharPosIdx(char c, const std::string& s, int idx)
{
    return InRange(idx, s) ? ToPos(s.rfind(c, static_cast<size_t>(idx - 1))) : 0;
}

int RNthCharPos(char c, const std::string& s, int n)
{
    if (n < 1)
        return 0;
    for (size_t i = s.size(); i-- > 0;)
        if (s[i] == c && --n == 0)
            return static_cast<int>(i) + 1;
    return 0;
}

int RPos(const std::string& sub, const std::string& s)
{
    if (sub.empty() || s.empty() || sub.size() > s.size())
        return 0;
    return ToPos(s.rfind(sub));
}

int PosIdx(const std::string& sub, const std::string& s, int idx)
{
    if (sub.empty() || idx < 1 || idx > static_cast<int>(s.size()))
        return 0;
    return ToPos(s.find(sub, static_cast<size_t>(idx - 1)));
}

std::string AllTrimSpaces(const std::string& s)
{
    const auto first = s.find_first_not_of(' ');
    if (first == std::string::npos)
        return std::string();
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

int IpCompStruct(const void* a, const void* b, uint32_t size)
{
    if (size == 0)
        return 0;
    const int r = std::memcmp(a, b, size);
    return r == 0 ? 0 : (r > 0 ? 1 : -1);
}

uint32_t IpCharCount(const void* buffer, uint32_t size, char c)
{
    const auto* p = static_cast<const char*>(buffer);
    uint32_t n = 0;
    for (uint32_t i = 0; i < size; ++i)
        n += p[i] == c;
    return n;
}

bool InClassA(uint32_t addr)
{
    return (addr & 0x80000000u) == 0;
}

bool InClassB(uint32_t addr)
{
    return (addr & 0xC0000000u) == 0x80000000u;
}

bool InClassC(uint32_t addr)
{
    return (addr & 0xE0000000u) == 0xC0000000u;
}

bool InClassD(uint32_t addr)
{
    return (addr & 0xF0000000u) == 0xE0000000u;
}

bool InMulticast(uint32_t addr)
{
    return InClassD(addr);
}

uint16_t InternetSumPrim(const void* data, uint32_t count, uint32_t start)
{
    if (count == 0)
        return static_cast<uint16_t>(start);
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t sum = start;
    for (uint32_t i = 0; i < count; ++i)
        sum += (i & 1) ? static_cast<uint32_t>(p[i]) << 8 : p[i];
    sum = ((sum & 0xFFFF) + (sum >> 16)) & 0xFFFF;
    return static_cast<uint16_t>(~sum);
}

uint16_t InternetSumOfStream(std::istream& stream, uint32_t start)
{
    char block[2048];
    uint32_t sum = start;
    for (;;) {
        stream.read(block, sizeof block);
        const auto got = static_cast<uint32_t>(stream.gcount());
        sum = InternetSumPrim(block, got, sum);
        if (got < sizeof block)
            break;
    }
    return static_cast<uint16_t>(sum);
}

uint16_t InternetSumOfFile(const std::string& fileName)
{
    std::ifstream file = OpenForReading(fileName);
    return InternetSumOfStream(file, 0);
}

void MD5SumOfStreamDigest(std::istream& stream, std::array<uint8_t, 16>& digest)
{
    TIdHashMessageDigest5 md5;
    digest = md5.HashStream(stream).Bytes();
}

std::string MD5SumOfStream(std::istream& stream)
{
    TIdHashMessageDigest5 md5;
    return TIdHash128::DigestToHexLower(md5.HashStream(stream));
}

std::string MD5SumOfFile(const std::string& fileName)
{
    std::ifstream file = OpenForReading(fileName);
    return MD5SumOfStream(file);
}

void MD5SumOfStringDigest(const std::string& s, std::array<uint8_t, 16>& digest)
{
    TIdHashMessageDigest5 md5;
    digest = md5.HashText(s).Bytes();
}

std::string MD5SumOfString(const std::string& s)
{
    TIdHashMessageDigest5 md5;
    return TIdHash128::DigestToHexLower(md5.HashText(s));
}

std::string AppendBackSlash(const std::string& s)
{
    return AppendTrailing(s, '\\');
}

std::string RemoveBackSlash(const std::string& s)
{
    return RemoveTrailing(s, '\\');
}

std::string AppendSlash(const std::string& s)
{
    return AppendTrailing(s, '/');
}

std::string RemoveSlash(const std::string& s)
{
    return RemoveTrailing(s, '/');
}

std::string NetToDOSPath(const std::string& s)
{
    std::string out = ReplaceChar(ReplaceChar(s, '/', '\\'), '|', ':');
    if (!out.empty() && out[0] == '\\' && out.find(':') != std::string::npos)
        out.erase(0, 1);
    return out;
}

std::string DOSToNetPath(const std::string& s)
{
    return ReplaceChar(ReplaceChar(s, ':', '|'), '\\', '/');
}

bool DirExists(const std::string& dir)
{
    struct stat st {};
    return ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string GetTemporaryPath()
{
    return IdTempDirectory();
}

std::string GetTemporaryFile(const std::string& path)
{
    std::string name = AppendSlash(path.empty() ? std::string(".") : path) + "IP_XXXXXX.TMP";
    const int fd = ::mkstemps(name.data(), 4);
    if (fd < 0)
        return std::string();
    ::close(fd);
    return name;
}

std::string GetLocalContent(const std::string& fileName)
{
    // The extension counts from the last dot after the last directory mark.
    const auto dirEnd = fileName.find_last_of("\\:/");
    const auto dot = fileName.rfind('.');
    if (dot == std::string::npos || (dirEnd != std::string::npos && dot < dirEnd))
        return std::string();
    const QMimeDatabase db;
    const auto types = db.mimeTypesForFileName(QString::fromLatin1("x" + fileName.substr(dot)));
    return types.isEmpty() ? std::string() : types.first().name().toStdString();
}

namespace {

// Notes the first event the application's objects get while it is installed.
class TFirstEvent : public QObject {
public:
    uint32_t Seen = 0;

protected:
    bool eventFilter(QObject* receiver, QEvent* event) override
    {
        if (Seen == 0) {
            const auto type = static_cast<uint32_t>(event->type()) & 0xFFFFu;
            const auto where = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(receiver));
            Seen = type | (where << 16);
        }
        return false;
    }
};

} // namespace

uint32_t IpUtils::SafeYield()
{
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher)
        return 0;
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || app->thread() != QThread::currentThread())
        return dispatcher->processEvents(QEventLoop::AllEvents) ? 1u : 0u;
    TFirstEvent first;
    app->installEventFilter(&first);
    const bool handled = dispatcher->processEvents(QEventLoop::AllEvents);
    app->removeEventFilter(&first);
    if (first.Seen != 0)
        return first.Seen;
    return handled ? 1u : 0u;
}
