#include "netlib/term/ip_term_mappings.h"

#include "netlib/base/ip_base.h"
#include "platform/atomic_file.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>
#include <sstream>

namespace {

constexpr std::string_view Magic = "AHT3";
constexpr int KeyBuckets = 57;
constexpr int CharSetBuckets = 199;

uint32_t ElfHash(std::string_view text, uint32_t h)
{
    for (char c : text) {
        h = (h << 4) + uint8_t(c);
        const uint32_t g = h & 0xF0000000u;
        if (g != 0)
            h ^= g >> 24;
        h &= ~g;
    }
    return h;
}

std::string Cut(std::string_view s)
{
    return std::string(s.substr(0, IpMaxMapString));
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

std::vector<std::string> ReadLines(const std::string& fileName)
{
    std::string data;
    if (!ReadWholeFile(fileName, data))
        throw EIpBaseException("Cannot open file " + fileName);
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(data);
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        line.resize(std::min<size_t>(line.size(), 255));
        while (!line.empty() && IsBlank(line.back()))
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// Reads the binary form's pieces, refusing anything that runs past the data.
class TBinReader {
public:
    explicit TBinReader(std::string_view data) : FData(data) {}
    bool Magic()
    {
        if (FData.substr(FPos, 4) != ::Magic)
            return false;
        FPos += 4;
        return true;
    }
    std::optional<uint32_t> Count()
    {
        if (FData.size() - FPos < 4)
            return std::nullopt;
        uint32_t n = 0;
        for (int i = 3; i >= 0; --i)
            n = n << 8 | uint8_t(FData[FPos + size_t(i)]);
        FPos += 4;
        return n;
    }
    std::optional<std::string> Str()
    {
        if (FPos >= FData.size())
            return std::nullopt;
        const size_t len = uint8_t(FData[FPos]);
        if (FData.size() - FPos - 1 < len)
            return std::nullopt;
        std::string s(FData.substr(FPos + 1, len));
        FPos += 1 + len;
        return s;
    }
    std::optional<uint8_t> Byte()
    {
        if (FPos >= FData.size())
            return std::nullopt;
        return uint8_t(FData[FPos++]);
    }
    size_t Remaining() const { return FData.size() - FPos; }

private:
    std::string_view FData;
    size_t FPos = 0;
};

// Reads the binary form into a table: magic, count, the records, magic. A
// count beyond what the data can hold (each record takes at least minRecord
// bytes), a record running past the end or a wrong magic leaves the table
// empty and gives false.
template <typename Table, typename ReadRecord>
bool LoadFramed(Table& table, std::string_view data, size_t minRecord, ReadRecord readRecord)
{
    table.Clear();
    TBinReader in(data);
    if (!in.Magic())
        return false;
    const auto count = in.Count();
    if (!count || *count > in.Remaining() / minRecord)
        return false;
    for (uint32_t i = 0; i < *count; ++i)
        if (!readRecord(in)) {
            table.Clear();
            return false;
        }
    if (!in.Magic()) {
        table.Clear();
        return false;
    }
    return true;
}

void PutStr(std::string& out, std::string_view s)
{
    out.push_back(char(uint8_t(s.size())));
    out.append(s);
}

std::string Frame(uint32_t count, const std::string& records)
{
    std::string out(Magic);
    for (int i = 0; i < 4; ++i)
        out.push_back(char(count >> (8 * i) & 0xFF));
    out += records;
    out += Magic;
    return out;
}

} // namespace

const std::string* TIpResourceModule::Find(const std::string& name) const
{
    const auto it = FData.find(name);
    return it == FData.end() ? nullptr : &it->second;
}

const TIpResourceModule& IpProgramResources()
{
    static const TIpResourceModule resources = [] {
        TIpResourceModule r;
        TIpKeyboardMapping keys;
        IpBuildVT100KeyMap(keys);
        r.Add("IPVT100KEYMAP", keys.StoreToBinary());
        TIpCharSetMapping sets;
        IpBuildVT100CharSet(sets);
        r.Add("IPVT100CHARSET", sets.StoreToBinary());
        return r;
    }();
    return resources;
}

// ---------------------------------------------------------------------------
// TIpKeyboardMapping

TIpKeyboardMapping::TIpKeyboardMapping() : FBuckets(KeyBuckets) {}

bool TIpKeyboardMapping::kbmFindPrim(std::string_view key, int& bucket, const TEntry*& entry) const
{
    bucket = int(ElfHash(key, 0) % KeyBuckets);
    const auto& chain = FBuckets[size_t(bucket)];
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        if (it->Key == key) {
            entry = &*it;
            return true;
        }
    entry = nullptr;
    return false;
}

bool TIpKeyboardMapping::Add(std::string_view key, std::string_view value)
{
    const std::string k = Cut(key);
    int bucket = 0;
    const TEntry* entry = nullptr;
    if (kbmFindPrim(k, bucket, entry))
        return false;
    FBuckets[size_t(bucket)].push_back({k, Cut(value)});
    ++FCount;
    return true;
}

void TIpKeyboardMapping::Get(std::string_view key, std::string& value) const
{
    int bucket = 0;
    const TEntry* entry = nullptr;
    value = kbmFindPrim(Cut(key), bucket, entry) ? entry->Value : std::string{};
}

std::string TIpKeyboardMapping::Get(std::string_view key) const
{
    std::string value;
    Get(key, value);
    return value;
}

void TIpKeyboardMapping::Clear()
{
    for (auto& b : FBuckets)
        b.clear();
    FCount = 0;
}

void TIpKeyboardMapping::LoadFromFile(const std::string& fileName)
{
    const auto lines = ReadLines(fileName);
    Clear();
    for (const auto& line : lines) {
        if (line.empty() || line[0] == '*')
            continue;
        size_t i = 0;
        auto word = [&] {
            while (i < line.size() && IsBlank(line[i]))
                ++i;
            const size_t start = i;
            while (i < line.size() && !IsBlank(line[i]))
                ++i;
            return line.substr(start, i - start);
        };
        const std::string key = word();
        const std::string value = word();
        if (!key.empty() && !value.empty())
            Add(key, value);
    }
}

bool TIpKeyboardMapping::LoadFromBinary(std::string_view data)
{
    return LoadFramed(*this, data, 2, [this](TBinReader& in) {
        const auto key = in.Str();
        const auto value = key ? in.Str() : std::nullopt;
        if (value)
            Add(*key, *value);
        return value.has_value();
    });
}

void TIpKeyboardMapping::LoadFromRes(const TIpResourceModule& instance, const std::string& resName)
{
    Clear();
    if (const std::string* data = instance.Find(resName))
        LoadFromBinary(*data);
}

std::string TIpKeyboardMapping::StoreToBinary() const
{
    std::string records;
    for (const auto& chain : FBuckets)
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            PutStr(records, it->Key);
            PutStr(records, it->Value);
        }
    return Frame(uint32_t(FCount), records);
}

void TIpKeyboardMapping::StoreToBinFile(const std::string& fileName) const
{
    WriteFileAtomic(fileName, StoreToBinary());
}

// ---------------------------------------------------------------------------
// TIpCharSetMapping

TIpCharSetMapping::TIpCharSetMapping() : FBuckets(CharSetBuckets) {}

bool TIpCharSetMapping::csmFindPrim(std::string_view charSet, uint8_t ch, int& bucket,
                                    const TEntry*& entry) const
{
    bucket = int(ElfHash(charSet, ch) % CharSetBuckets);
    const auto& chain = FBuckets[size_t(bucket)];
    for (auto it = chain.rbegin(); it != chain.rend(); ++it)
        if (it->Ch == ch && it->CharSet == charSet) {
            entry = &*it;
            return true;
        }
    entry = nullptr;
    return false;
}

bool TIpCharSetMapping::Add(std::string_view charSet, uint8_t fromCh, uint8_t toCh,
                            std::string_view fontName, uint8_t glyph)
{
    const std::string cs = Cut(charSet);
    int bucket = 0;
    const TEntry* entry = nullptr;
    for (int c = fromCh; c <= toCh; ++c)
        if (csmFindPrim(cs, uint8_t(c), bucket, entry))
            return false;
    const std::string font = Cut(fontName);
    for (int c = fromCh; c <= toCh; ++c) {
        csmFindPrim(cs, uint8_t(c), bucket, entry);
        FBuckets[size_t(bucket)].push_back({cs, font, uint8_t(c), uint8_t(glyph + (c - fromCh))});
        ++FCount;
    }
    return true;
}

void TIpCharSetMapping::Clear()
{
    csmFreeScript();
    for (auto& b : FBuckets)
        b.clear();
    FCount = 0;
}

void TIpCharSetMapping::csmAddScriptNode(const std::string& fontName, const std::string& text)
{
    FScript.push_back({fontName, text});
}

void TIpCharSetMapping::GenerateDrawScript(std::string_view charSet, std::string_view text)
{
    if (text.empty())
        return;
    csmFreeScript();
    std::string run, runFont;
    for (char c : text) {
        int bucket = 0;
        const TEntry* entry = nullptr;
        const bool mapped = csmFindPrim(charSet, uint8_t(c), bucket, entry);
        const std::string& font = mapped ? entry->FontName : std::string(IpDefaultFontName);
        if (!run.empty() && font != runFont) {
            csmAddScriptNode(runFont, run);
            run.clear();
        }
        runFont = font;
        run.push_back(mapped ? char(entry->Glyph) : c);
    }
    csmAddScriptNode(runFont, run);
}

bool TIpCharSetMapping::GetNextDrawCommand(std::string& fontName, std::string& text)
{
    if (FScript.empty())
        return false;
    fontName = Cut(FScript.front().FontName);
    text = std::move(FScript.front().Text);
    FScript.pop_front();
    return true;
}

void TIpCharSetMapping::GetFontNames(std::vector<std::string>& list) const
{
    list.clear();
    auto lower = [](std::string s) {
        std::transform(s.begin(), s.end(), s.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        return s;
    };
    for (const auto& chain : FBuckets)
        for (const auto& e : chain) {
            if (lower(e.FontName) == lower(IpDefaultFontName))
                continue;
            if (std::none_of(list.begin(), list.end(),
                             [&](const std::string& s) { return lower(s) == lower(e.FontName); }))
                list.push_back(e.FontName);
        }
}

namespace {

// The five fields of a character-set data line, quotes removed; empty when
// the line is not valid.
std::optional<std::vector<std::string>> CharSetFields(const std::string& line)
{
    std::vector<std::string> fields;
    size_t i = 0;
    while (fields.size() < 5) {
        while (i < line.size() && IsBlank(line[i]))
            ++i;
        if (i >= line.size())
            return std::nullopt;
        if (line[i] == '"' || line[i] == '\'') {
            const size_t close = line.find(line[i], i + 1);
            if (close == std::string::npos || close == i + 1)
                return std::nullopt;
            fields.push_back(line.substr(i + 1, close - i - 1));
            i = close + 1;
        } else {
            const size_t start = i;
            while (i < line.size() && !IsBlank(line[i]))
                ++i;
            fields.push_back(line.substr(start, i - start));
        }
    }
    return fields;
}

std::optional<uint8_t> CharField(const std::string& f)
{
    if (f.size() == 1)
        return uint8_t(f[0]);
    if (f.size() == 4 && f[0] == '\\' && f[1] == 'x' && std::isxdigit(uint8_t(f[2])) &&
        std::isxdigit(uint8_t(f[3])))
        return uint8_t(std::stoi(f.substr(2), nullptr, 16));
    return std::nullopt;
}

} // namespace

void TIpCharSetMapping::LoadFromFile(const std::string& fileName)
{
    const auto lines = ReadLines(fileName);
    Clear();
    for (const auto& line : lines) {
        if (line.empty() || !IsBlank(line[0]))
            continue;
        const auto fields = CharSetFields(line);
        if (!fields)
            continue;
        const auto from = CharField((*fields)[1]);
        const auto to = CharField((*fields)[2]);
        const auto glyph = CharField((*fields)[4]);
        if (from && to && glyph)
            Add((*fields)[0], *from, *to, (*fields)[3], *glyph);
    }
}

bool TIpCharSetMapping::LoadFromBinary(std::string_view data)
{
    return LoadFramed(*this, data, 4, [this](TBinReader& in) {
        const auto cs = in.Str();
        const auto font = cs ? in.Str() : std::nullopt;
        const auto ch = font ? in.Byte() : std::nullopt;
        const auto glyph = ch ? in.Byte() : std::nullopt;
        if (glyph)
            Add(*cs, *ch, *ch, *font, *glyph);
        return glyph.has_value();
    });
}

void TIpCharSetMapping::LoadFromRes(const TIpResourceModule& instance, const std::string& resName)
{
    Clear();
    if (const std::string* data = instance.Find(resName))
        LoadFromBinary(*data);
}

std::string TIpCharSetMapping::StoreToBinary() const
{
    std::string records;
    for (const auto& chain : FBuckets)
        for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
            PutStr(records, it->CharSet);
            PutStr(records, it->FontName);
            records.push_back(char(it->Ch));
            records.push_back(char(it->Glyph));
        }
    return Frame(uint32_t(FCount), records);
}

void TIpCharSetMapping::StoreToBinFile(const std::string& fileName) const
{
    WriteFileAtomic(fileName, StoreToBinary());
}

// ---------------------------------------------------------------------------
// The built-in tables

void IpBuildVT100KeyMap(TIpKeyboardMapping& map)
{
    map.Clear();
    auto code = [](int c) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%.2X", c);
        return std::string(buf);
    };
    // Layer 1: key codes to key names.
    const std::pair<int, const char*> named[] = {
        {0x08, "VK_BACK"},      {0x09, "VK_TAB"},      {0x0C, "VK_CLEAR"},    {0x0D, "VK_RETURN"},
        {0x13, "VK_PAUSE"},     {0x14, "VK_CAPITAL"},  {0x1B, "VK_ESCAPE"},   {0x20, "VK_SPACE"},
        {0x21, "VK_PRIOR"},     {0x22, "VK_NEXT"},     {0x23, "VK_END"},      {0x24, "VK_HOME"},
        {0x25, "VK_LEFT"},      {0x26, "VK_UP"},       {0x27, "VK_RIGHT"},    {0x28, "VK_DOWN"},
        {0x29, "VK_SELECT"},    {0x2B, "VK_EXECUTE"},  {0x2C, "VK_SNAPSHOT"}, {0x2D, "VK_INSERT"},
        {0x2E, "VK_DELETE"},    {0x2F, "VK_HELP"},     {0x6A, "VK_MULTIPLY"}, {0x6B, "VK_ADD"},
        {0x6C, "VK_SEPARATOR"}, {0x6D, "VK_SUBTRACT"}, {0x6E, "VK_DECIMAL"},  {0x6F, "VK_DIVIDE"},
        {0x90, "VK_NUMLOCK"},   {0x91, "VK_SCROLL"}};
    for (const auto& [c, name] : named)
        map.Add(code(c), name);
    for (int c = 0x30; c <= 0x39; ++c)
        map.Add(code(c), std::string("VK_") + char(c));
    for (int c = 0x41; c <= 0x5A; ++c)
        map.Add(code(c), std::string("VK_") + char(c));
    for (int c = 0x60; c <= 0x69; ++c)
        map.Add(code(c), "VK_NUMPAD" + std::to_string(c - 0x60));
    for (int c = 0x70; c <= 0x87; ++c)
        map.Add(code(c), "VK_F" + std::to_string(c - 0x6F));

    // Layer 2: key names to terminal key names.
    const std::pair<const char*, const char*> keys[] = {{"VK_UP", "DEC_UPc"},
                                                        {"VK_DOWN", "DEC_DOWNc"},
                                                        {"VK_RIGHT", "DEC_RIGHTc"},
                                                        {"VK_LEFT", "DEC_LEFTc"},
                                                        {"VK_F1", "DEC_PF1k"},
                                                        {"VK_F2", "DEC_PF2k"},
                                                        {"VK_F3", "DEC_PF3k"},
                                                        {"VK_F4", "DEC_PF4k"},
                                                        {"VK_NUMLOCK", "DEC_PF1k"},
                                                        {"VK_DIVIDE", "DEC_PF2k"},
                                                        {"VK_MULTIPLY", "DEC_PF3k"},
                                                        {"VK_SUBTRACT", "DEC_PF4k"},
                                                        {"VK_ADD", "DEC_KP-k"},
                                                        {"VK_DECIMAL", "DEC_KP.k"},
                                                        {"ctrl+VK_DECIMAL", "DEC_KP,k"},
                                                        {"VK_EXECUTE", "DEC_KPEk"},
                                                        {"VK_BACK", "DEC_DEL"},
                                                        {"shift+VK_BACK", "DEC_BS"},
                                                        {"VK_F11", "DEC_BS"},
                                                        {"VK_F12", "DEC_LF"},
                                                        {"shift+VK_RETURN", "DEC_LF"},
                                                        {"shift+VK_EXECUTE", "DEC_LF"},
                                                        {"ctrl+VK_SPACE", "DEC_NULL"}};
    for (const auto& [k, v] : keys)
        map.Add(k, v);
    for (int d = 0; d <= 9; ++d)
        map.Add("VK_NUMPAD" + std::to_string(d), "DEC_KP" + std::to_string(d) + "k");

    // Layer 3: terminal keys by mode digit to sequences.
    const char* cursor[] = {"UP", "DOWN", "RIGHT", "LEFT"};
    for (int i = 0; i < 4; ++i) {
        const char final = char('A' + i);
        const std::string name = std::string("DEC_") + cursor[i];
        map.Add(name + "0", std::string("\\e") + final);
        map.Add(name + "1", std::string("\\e[") + final);
        map.Add(name + "2", std::string("\\eO") + final);
    }
    auto keypad = [&](const std::string& name, const std::string& numeric, char app) {
        map.Add("DEC_" + name + "3", numeric);
        map.Add("DEC_" + name + "4", std::string("\\e?") + app);
        map.Add("DEC_" + name + "5", numeric);
        map.Add("DEC_" + name + "6", std::string("\\eO") + app);
    };
    for (int i = 0; i < 4; ++i) {
        const char final = char('P' + i);
        const std::string name = "DEC_PF" + std::to_string(i + 1);
        map.Add(name + "3", std::string("\\e") + final);
        map.Add(name + "4", std::string("\\e") + final);
        map.Add(name + "5", std::string("\\eO") + final);
        map.Add(name + "6", std::string("\\eO") + final);
    }
    for (int d = 0; d <= 9; ++d)
        keypad("KP" + std::to_string(d), std::to_string(d), char('p' + d));
    keypad("KP-", "-", 'm');
    keypad("KP,", ",", 'l');
    keypad("KP.", ".", 'n');
    keypad("KPE", "\\x0D", 'M');
    map.Add("DEC_BS", "\\x08");
    map.Add("DEC_DEL", "\\x7F");
    map.Add("DEC_LF", "\\x0A");
    map.Add("DEC_NULL", "\\x00");
}

void IpBuildVT100CharSet(TIpCharSetMapping& map)
{
    map.Clear();
    map.Add("VT100-USASCII", 0x20, 0x7E, IpDefaultFontName, 0x20);
    map.Add("VT100-USASCII", 0x80, 0xFF, "Terminal", 0x80);
    map.Add("VT100-UK", 0x20, 0x22, IpDefaultFontName, 0x20);
    map.Add("VT100-UK", '#', '#', IpDefaultFontName, 0xA3);
    map.Add("VT100-UK", 0x24, 0x7E, IpDefaultFontName, 0x24);
    map.Add("VT100-ROM1", 0x20, 0x7E, IpDefaultFontName, 0x20);
    static const uint8_t lineDraw[] = {0x20, 0x04, 0xB1, 0x10, 0x17, 0x11, 0x1F, 0xF8,
                                       0xF1, 0x1B, 0x19, 0xD9, 0xBF, 0xDA, 0xC0, 0xC5,
                                       0xC4, 0xC4, 0xC4, 0xC4, 0xC4, 0xC3, 0xB4, 0xC1,
                                       0xC2, 0xB3, 0xF3, 0xF2, 0xE3, 0xD8, 0x9C, 0xFA};
    for (const char* set : {"VT100-linedraw", "VT100-ROM2"}) {
        map.Add(set, 0x20, 0x5E, "Terminal", 0x20);
        for (int c = 0x5F; c <= 0x7E; ++c)
            map.Add(set, uint8_t(c), uint8_t(c), "Terminal", lineDraw[c - 0x5F]);
    }
}
