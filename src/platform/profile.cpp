#include "platform/profile.h"

#include "platform/atomic_file.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <sys/stat.h>
#include <system_error>

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

std::string Trim(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

// Section and key names compare as the profile functions do: letters of
// either case are equal (ASCII and the Windows-1252 accented letters).
unsigned char Upper(unsigned char c)
{
    if (c >= 'a' && c <= 'z')
        return static_cast<unsigned char>(c - 32);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return static_cast<unsigned char>(c - 32);
    if (c == 0x9A || c == 0x9C || c == 0x9E)
        return static_cast<unsigned char>(c - 16);
    if (c == 0xFF)
        return 0x9F;
    return c;
}

bool SameName(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Upper(static_cast<unsigned char>(a[i])) != Upper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

std::string Unquote(const std::string& v)
{
    if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
        return v.substr(1, v.size() - 2);
    return v;
}

// The section name of a header line (without its surrounding blanks):
// "[" name "]", then nothing but blanks or a comment. Empty when the line is
// no whole header.
std::string SectionName(const std::string& trimmed)
{
    const size_t close = trimmed.find(']');
    if (trimmed.empty() || trimmed.front() != '[' || close == std::string::npos)
        return std::string();
    const std::string name = Trim(trimmed.substr(1, close - 1));
    const std::string rest = Trim(trimmed.substr(close + 1));
    if (name.find('[') != std::string::npos ||
        (!rest.empty() && rest.front() != ';' && rest.front() != '#'))
        return std::string();
    return name;
}

// A line without its surrounding blanks: blank, a comment, a whole section
// header or key=value, without control characters (binary garbage).
bool Understood(const std::string& trimmed)
{
    for (char c : trimmed)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F)
            return false;
    if (trimmed.empty() || trimmed.front() == ';' || trimmed.front() == '#')
        return true;
    if (trimmed.front() == '[')
        return !SectionName(trimmed).empty();
    const size_t eq = trimmed.find('=');
    return eq != std::string::npos && eq > 0;
}

std::atomic<std::uint64_t> gSectionNameComparisons{0};

std::mutex& ProfileLock()
{
    static std::mutex lock;
    return lock;
}

} // namespace

std::uint64_t IniSectionNameComparisons()
{
    return gSectionNameComparisons.load(std::memory_order_relaxed);
}

TIniFile::TIniFile(std::string fileName) : FFileName(std::move(fileName))
{
    std::string text;
    if (ReadWholeFile(FFileName, text)) {
        Parse(text);
        return;
    }
    const int err = errno;
    struct stat st;
    if (::lstat(FFileName.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
        FReadError = err != 0 ? err : EIO;
}

TIniFile::TIniFile(std::string fileName, const std::string& text) : FFileName(std::move(fileName))
{
    Parse(text);
}

void TIniFile::Parse(const std::string& text)
{
    std::vector<TLine>* target = &FPreamble;
    size_t pos = 0;
    size_t number = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::string t = Trim(line);
        bool understood = Understood(t);
        if (!t.empty() && t.front() == '[') {
            // A broken or repeated header opens a section that nothing reads
            // or writes: its keys are never taken for another section's.
            TSection sec;
            sec.name = SectionName(t);
            sec.header = line;
            sec.readable = understood && FIndex.try_emplace(sec.name, FSections.size()).second;
            understood = sec.readable;
            if (!understood)
                FBadLines.emplace_back(number, line);
            FSections.push_back(std::move(sec));
            target = &FSections.back().lines;
            continue;
        }
        if (!understood)
            FBadLines.emplace_back(number, line);
        TLine l;
        l.raw = line;
        l.number = number;
        size_t eq = t.find('=');
        if (!t.empty() && t.front() != ';' && eq != std::string::npos && eq > 0) {
            l.key = Trim(t.substr(0, eq));
            l.value = Trim(t.substr(eq + 1));
        }
        target->push_back(std::move(l));
    }
}

bool TIniFile::TNameLess::operator()(const std::string& a, const std::string& b) const
{
    gSectionNameComparisons.fetch_add(1, std::memory_order_relaxed);
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const unsigned char x = Upper(static_cast<unsigned char>(a[i]));
        const unsigned char y = Upper(static_cast<unsigned char>(b[i]));
        if (x != y)
            return x < y;
    }
    return a.size() < b.size();
}

TIniFile::TSection* TIniFile::FindSection(const std::string& section)
{
    const auto it = FIndex.find(section);
    return it == FIndex.end() ? nullptr : &FSections[it->second];
}

const TIniFile::TSection* TIniFile::FindSection(const std::string& section) const
{
    return const_cast<TIniFile*>(this)->FindSection(section);
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const
{
    if (const TSection* s = FindSection(section))
        for (const auto& l : s->lines)
            if (!l.key.empty() && SameName(l.key, key))
                return Unquote(l.value);
    return defaultValue;
}

std::pair<size_t, std::string> TIniFile::KeyLine(const std::string& section,
                                                 const std::string& key) const
{
    if (const TSection* s = FindSection(section))
        for (const auto& l : s->lines)
            if (!l.key.empty() && SameName(l.key, key))
                return {l.number, l.raw};
    return {0, std::string()};
}

int TIniFile::ReadInteger(const std::string& section, const std::string& key,
                          int defaultValue) const
{
    const std::string v = ReadString(section, key, "");
    size_t i = 0;
    const bool negative = !v.empty() && v[0] == '-';
    if (!v.empty() && (v[0] == '-' || v[0] == '+'))
        ++i;
    if (i == v.size())
        return defaultValue;
    long long n = 0;
    for (; i < v.size(); ++i) {
        if (v[i] < '0' || v[i] > '9')
            return defaultValue;
        n = n * 10 + (v[i] - '0');
        if (n > static_cast<long long>(INT32_MAX) + 1)
            return defaultValue;
    }
    n = negative ? -n : n;
    if (n < INT32_MIN || n > INT32_MAX)
        return defaultValue;
    return static_cast<int>(n);
}

bool TIniFile::ReadBool(const std::string& section, const std::string& key, bool defaultValue) const
{
    std::string v = ReadString(section, key, "");
    if (SameName(v, "TRUE"))
        return true;
    if (SameName(v, "FALSE"))
        return false;
    if (v.empty())
        return defaultValue;
    char* end = nullptr;
    long n = std::strtol(v.c_str(), &end, 10);
    if (*end != '\0')
        return defaultValue;
    return n != 0;
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value)
{
    TSection* s = FindSection(section);
    if (!s) {
        // A blank line keeps sections apart, as the files written by hand do.
        if (!FSections.empty() && !FSections.back().lines.empty() &&
            !Trim(FSections.back().lines.back().raw).empty())
            FSections.back().lines.push_back(TLine{"", "", ""});
        FIndex.emplace(section, FSections.size());
        FSections.push_back(TSection{section, {}, std::string(), true});
        s = &FSections.back();
    }
    for (auto& l : s->lines)
        if (!l.key.empty() && SameName(l.key, key)) {
            if (l.value == value && l.raw == l.key + "=" + value)
                return;
            l.value = value;
            l.raw = l.key + "=" + value;
            FModified = true;
            return;
        }
    // After the last non-blank line of the section.
    size_t at = s->lines.size();
    while (at > 0 && Trim(s->lines[at - 1].raw).empty())
        --at;
    s->lines.insert(s->lines.begin() + static_cast<std::ptrdiff_t>(at),
                    TLine{key + "=" + value, key, value});
    FModified = true;
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int value)
{
    WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(const std::string& section, const std::string& key, bool value)
{
    WriteString(section, key, value ? "1" : "0");
}

bool TIniFile::SectionExists(const std::string& section) const
{
    return FindSection(section) != nullptr;
}

bool TIniFile::ValueExists(const std::string& section, const std::string& key) const
{
    if (const TSection* s = FindSection(section))
        for (const auto& l : s->lines)
            if (!l.key.empty() && SameName(l.key, key))
                return true;
    return false;
}

std::vector<std::string> TIniFile::ReadSections() const
{
    std::vector<std::string> out;
    for (const auto& s : FSections)
        if (s.readable)
            out.push_back(s.name);
    return out;
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const
{
    std::vector<std::string> out;
    if (const TSection* s = FindSection(section))
        for (const auto& l : s->lines)
            if (!l.key.empty())
                out.push_back(l.key);
    return out;
}

void TIniFile::EraseSection(const std::string& section)
{
    const auto it = FIndex.find(section);
    if (it == FIndex.end())
        return;
    const size_t at = it->second;
    FIndex.erase(it);
    FSections.erase(FSections.begin() + static_cast<std::ptrdiff_t>(at));
    for (auto& [name, place] : FIndex)
        if (place > at)
            --place;
    FModified = true;
}

void TIniFile::DeleteKey(const std::string& section, const std::string& key)
{
    if (TSection* s = FindSection(section))
        for (auto it = s->lines.begin(); it != s->lines.end(); ++it)
            if (!it->key.empty() && SameName(it->key, key)) {
                s->lines.erase(it);
                FModified = true;
                return;
            }
}

std::string TIniFile::Text() const
{
    std::string out;
    for (const auto& l : FPreamble)
        out += l.raw + "\r\n";
    for (const auto& s : FSections) {
        out += (s.header.empty() ? "[" + s.name + "]" : s.header) + "\r\n";
        for (const auto& l : s.lines)
            out += l.raw + "\r\n";
    }
    return out;
}

void TIniFile::UpdateFile()
{
    if (!FModified)
        return;
    // Writing what was read of it would drop every other key of the file.
    if (FReadError != 0)
        throw std::system_error(FReadError, std::generic_category(),
                                "cannot read " + FFileName + "; it is kept as it is");
    WriteFileAtomic(FFileName, Text());
    FModified = false;
}

std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& fileName)
{
    std::lock_guard guard(ProfileLock());
    return TIniFile(fileName).ReadString(section, key, defaultValue);
}

int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& fileName)
{
    std::lock_guard guard(ProfileLock());
    TIniFile ini(fileName);
    if (!ini.ValueExists(section, key))
        return defaultValue;
    std::string v = ini.ReadString(section, key, "");
    size_t i = 0;
    bool negative = false;
    if (i < v.size() && (v[i] == '-' || v[i] == '+'))
        negative = v[i++] == '-';
    long long n = 0;
    while (i < v.size() && std::isdigit(static_cast<unsigned char>(v[i])) && n <= INT32_MAX)
        n = n * 10 + (v[i++] - '0');
    if (n > INT32_MAX)
        n = INT32_MAX;
    return static_cast<int>(negative ? -n : n);
}

namespace {

template <typename Change> bool ChangeProfile(const std::string& fileName, Change change)
{
    std::lock_guard guard(ProfileLock());
    try {
        TIniFile ini(fileName);
        change(ini);
        ini.UpdateFile();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

} // namespace

bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& fileName)
{
    return ChangeProfile(fileName, [&](TIniFile& ini) { ini.WriteString(section, key, value); });
}

bool DeletePrivateProfileKey(const std::string& section, const std::string& key,
                             const std::string& fileName)
{
    return ChangeProfile(fileName, [&](TIniFile& ini) { ini.DeleteKey(section, key); });
}

bool DeletePrivateProfileSection(const std::string& section, const std::string& fileName)
{
    return ChangeProfile(fileName, [&](TIniFile& ini) { ini.EraseSection(section); });
}
