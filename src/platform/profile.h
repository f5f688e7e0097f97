#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// INI files with the behaviour of the Windows profile functions: section and
// key names compare without regard to case, a missing key gives the caller's
// default, and writing one key keeps every other section, key and comment.
// Values are 8-bit bytes. Lines end with CR LF on write; LF alone is read too.
// Every save replaces the file atomically, so a crash leaves the old file or
// the new one, never half of one.

// The INI file in memory. Load once, change many keys, save once with
// UpdateFile(). Not locked: one owner at a time.
class TIniFile {
public:
    // Loads the file; a missing or unreadable file gives an empty one. A
    // file that is there but could not be read is never saved over.
    explicit TIniFile(std::string fileName);
    // The file's text as already read, by a caller that must bound what it
    // reads; nothing is read from fileName.
    TIniFile(std::string fileName, const std::string& text);

    const std::string& FileName() const { return FFileName; }

    // The value with surrounding blanks and one pair of matching quotes
    // removed, or the default when the section or key is missing.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    // The whole value as a decimal number, as written (leading zeros make no
    // octal); the default when the key is missing or the value is not a
    // decimal number within 32 bits.
    int ReadInteger(const std::string& section, const std::string& key, int defaultValue) const;
    // "1"/"0" and "TRUE"/"FALSE" (any case) are read; other values give the
    // default. WriteBool stores "1" or "0"; stores that keep "TRUE"/"FALSE"
    // texts write them with WriteString.
    bool ReadBool(const std::string& section, const std::string& key, bool defaultValue) const;

    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int value);
    void WriteBool(const std::string& section, const std::string& key, bool value);

    bool SectionExists(const std::string& section) const;
    bool ValueExists(const std::string& section, const std::string& key) const;
    // Section names in file order.
    std::vector<std::string> ReadSections() const;
    // Key names of a section in file order.
    std::vector<std::string> ReadSection(const std::string& section) const;

    void EraseSection(const std::string& section);
    void DeleteKey(const std::string& section, const std::string& key);

    // Writes the file when anything changed since load or the last save.
    // Throws std::system_error when the file cannot be written or could not
    // be read at load (the old file is then untouched).
    void UpdateFile();
    bool Modified() const { return FModified; }

    // The file's text as it would be written.
    std::string Text() const;

    // The lines read that are neither blank, a comment (";" or "#"), a
    // section header nor key=value, or that hold a control character other
    // than tab (binary garbage): line number from 1 and text. A header that
    // is broken ("[SMTP", "[[[") or names a section met before is one of
    // them too: the lines up to the next header belong to no section that
    // can be read or written, and are kept in the file as they are.
    const std::vector<std::pair<size_t, std::string>>& BadLines() const { return FBadLines; }
    // The key's line as read: its number from 1 and its text; number 0 when
    // the file held no such key.
    std::pair<size_t, std::string> KeyLine(const std::string& section,
                                           const std::string& key) const;

private:
    struct TLine {
        std::string raw;   // the line as read (comments, blanks, odd lines)
        std::string key;   // empty when the line is not a key=value line
        std::string value; // raw value text after "=" (trimmed)
        size_t number = 0; // line number in the file as read; 0 for a line added since
    };
    struct TSection {
        std::string name;
        std::vector<TLine> lines;
        std::string header;   // the header line as read; empty for a new section
        bool readable = true; // false: a broken or repeated header
    };

    // Orders names as the profile functions compare them.
    struct TNameLess {
        bool operator()(const std::string& a, const std::string& b) const;
    };

    TSection* FindSection(const std::string& section);
    const TSection* FindSection(const std::string& section) const;
    void Parse(const std::string& text);

    std::string FFileName;
    std::vector<TLine> FPreamble; // lines before the first section
    std::vector<TSection> FSections;
    // The readable sections (at most one a name) by name: their place in
    // FSections.
    std::map<std::string, size_t, TNameLess> FIndex;
    std::vector<std::pair<size_t, std::string>> FBadLines;
    bool FModified = false;
    int FReadError = 0; // errno of a file that is there but was not read
};

// Section names compared to find a section, by every TIniFile of the
// process so far: tests count them to see that finding one of n sections
// takes about log n of them, not n.
std::uint64_t IniSectionNameComparisons();

// The profile functions proper: each call reads (and a write rewrites) the
// file. Calls are serialised within the process, so writers on several
// threads never lose each other's keys.

// The value (trimmed, one pair of quotes removed) or the default.
std::string GetPrivateProfileString(const std::string& section, const std::string& key,
                                    const std::string& defaultValue, const std::string& fileName);
// Windows rules: the leading decimal digits of the value (optional sign), 0
// when the value does not start with a number, the default when the key is
// missing.
int GetPrivateProfileInt(const std::string& section, const std::string& key, int defaultValue,
                         const std::string& fileName);
// False when the file cannot be written.
bool WritePrivateProfileString(const std::string& section, const std::string& key,
                               const std::string& value, const std::string& fileName);
bool DeletePrivateProfileKey(const std::string& section, const std::string& key,
                             const std::string& fileName);
bool DeletePrivateProfileSection(const std::string& section, const std::string& fileName);
