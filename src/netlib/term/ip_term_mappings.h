#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

// The VT100 emulator's two lookup tables, loaded from the program's own
// resources: keys to the bytes a VT100 sends (key code -> key name ->
// terminal key name -> sequence), and, per character of a VT100 character
// set, the font and glyph that paint it. Both load from a text file too and
// write the binary "AHT3" form the resources hold.
//
// Decisions:
// - The binary loader checks every record against the bytes that remain: a
//   count or a string length that runs past the data loads nothing, like a
//   wrong closing magic.
// - The program's resources are a named set of byte blocks
//   (IpProgramResources); the two tables' blocks are made from the built-in
//   tables in the binary form.

// A module's RCDATA resources by name.
class TIpResourceModule {
public:
    void Add(const std::string& name, std::string data) { FData[name] = std::move(data); }
    // Null when the module has no such resource.
    const std::string* Find(const std::string& name) const;

private:
    std::map<std::string, std::string> FData;
};

// The program's own resources: "IPVT100KEYMAP" and "IPVT100CHARSET".
const TIpResourceModule& IpProgramResources();

inline constexpr int IpMaxMapString = 63;
inline constexpr const char* IpDefaultFontName = "<Default>";

class TIpKeyboardMapping {
public:
    TIpKeyboardMapping();

    bool Add(std::string_view key, std::string_view value);
    void Get(std::string_view key, std::string& value) const;
    std::string Get(std::string_view key) const;
    void Clear();
    int Count() const { return FCount; }

    // Text form; a file that cannot be read raises EIpBaseException.
    void LoadFromFile(const std::string& fileName);
    void LoadFromRes(const TIpResourceModule& instance, const std::string& resName);
    // The binary form; false (and an empty table) when it does not check out.
    bool LoadFromBinary(std::string_view data);
    void StoreToBinFile(const std::string& fileName) const;
    std::string StoreToBinary() const;

private:
    struct TEntry {
        std::string Key, Value;
    };
    bool kbmFindPrim(std::string_view key, int& bucket, const TEntry*& entry) const;

    // Each bucket's chain, head last.
    std::vector<std::vector<TEntry>> FBuckets;
    int FCount = 0;
};

class TIpCharSetMapping {
public:
    TIpCharSetMapping();

    bool Add(std::string_view charSet, uint8_t fromCh, uint8_t toCh, std::string_view fontName,
             uint8_t glyph);
    void Clear();
    int Count() const { return FCount; }
    // Cuts Text into runs of one font each, glyphs in place of mapped characters.
    void GenerateDrawScript(std::string_view charSet, std::string_view text);
    bool GetNextDrawCommand(std::string& fontName, std::string& text);
    // The distinct font names other than "<Default>".
    void GetFontNames(std::vector<std::string>& list) const;

    void LoadFromFile(const std::string& fileName);
    void LoadFromRes(const TIpResourceModule& instance, const std::string& resName);
    bool LoadFromBinary(std::string_view data);
    void StoreToBinFile(const std::string& fileName) const;
    std::string StoreToBinary() const;

private:
    struct TEntry {
        std::string CharSet, FontName;
        uint8_t Ch = 0, Glyph = 0;
    };
    struct TScriptNode {
        std::string FontName, Text;
    };
    bool csmFindPrim(std::string_view charSet, uint8_t ch, int& bucket, const TEntry*& entry) const;
    void csmAddScriptNode(const std::string& fontName, const std::string& text);
    void csmFreeScript() { FScript.clear(); }

    std::vector<std::vector<TEntry>> FBuckets;
    int FCount = 0;
    std::deque<TScriptNode> FScript;
};

// The built-in tables, as the resources hold them.
void IpBuildVT100KeyMap(TIpKeyboardMapping& map);
void IpBuildVT100CharSet(TIpCharSetMapping& map);
