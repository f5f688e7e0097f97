#pragma once

#include <string>
#include <string_view>
#include <vector>

// RFC 822 header lines ("name: value"), with unfolding when a value is read
// and folding when one is written.
class TIdHeaderList {
public:
    // The string list.
    int Count() const { return static_cast<int>(FLines.size()); }
    const std::string& Strings(int index) const
    {
        return FLines.at(static_cast<std::size_t>(index));
    }
    const std::string& operator[](int index) const { return Strings(index); }
    void Add(std::string line) { FLines.push_back(std::move(line)); }
    void Insert(int index, std::string line);
    void Delete(int index);
    void Clear() { FLines.clear(); }
    const std::vector<std::string>& Lines() const { return FLines; }
    // Every line followed by CR LF.
    std::string Text() const;
    // Replaces the lines by those of a text split at its line ends.
    void SetText(std::string_view text);

    std::string NameValueSeparator = ": ";
    bool CaseSensitive = false;
    bool UnfoldLines = true;
    bool FoldLines = true;
    int FoldLength = 78;

    // The text of line i before the colon; empty when there is none.
    std::string Names(int index) const;
    // The first line with that name, or -1.
    int IndexOfName(std::string_view name) const;
    // The trimmed value, continuation lines joined by one blank; empty when
    // the name is missing.
    std::string Values(std::string_view name) const;
    // A non-empty value replaces the line (and its continuation lines) or is
    // appended; an empty value deletes them.
    void SetValues(std::string_view name, std::string_view value);
    // Adds each name=value entry as a header line.
    void AddStdValues(const std::vector<std::string>& list);

    // The line cut into lines of at most `foldLength` characters where a
    // break point allows; every continuation starts with `foldString`. A CR
    // or LF in the text never ends a line: each run of them becomes one
    // blank.
    static std::vector<std::string> FoldLine(std::string_view text, int foldLength,
                                             std::string_view foldString = " ");

private:
    // The index after the line and its continuation lines.
    std::size_t EndOfEntry(std::size_t index) const;

    std::vector<std::string> FLines;
};
