#include "netproto/message/id_header_list.h"

#include "netproto/core/id_global.h"
#include "netproto/protocols/id_rfc_reply.h"

#include <algorithm>
#include <cctype>

namespace {

// Lines may be longer than the fold length when no break point exists, but
// never longer than the message format allows when one does.
constexpr std::size_t MaxLineLength = 998;

bool IsWsp(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view TrimRightWsp(std::string_view s)
{
    while (!s.empty() && IsWsp(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

bool SameName(std::string_view a, std::string_view b, bool caseSensitive)
{
    if (a.size() != b.size()) {
        return false;
    }
    if (caseSensitive) {
        return a == b;
    }
    return std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// A CR or LF inside a value would start a header line of its own; each run
// of them becomes one blank instead.
std::string FlattenLineBreaks(std::string_view value)
{
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\r' || value[i] == '\n') {
            while (i + 1 < value.size() && (value[i + 1] == '\r' || value[i + 1] == '\n')) {
                ++i;
            }
            const bool blankAround = (!out.empty() && IsWsp(out.back())) ||
                                     (i + 1 < value.size() && IsWsp(value[i + 1]));
            if (!blankAround) {
                out += ' ';
            }
            continue;
        }
        out += value[i];
    }
    return out;
}

struct BreakPoint {
    std::size_t pos; // where the next line starts
    bool quoted;     // inside a quoted string: the blank moves to the next line
};

} // namespace

void TIdHeaderList::Insert(int index, std::string line)
{
    FLines.insert(FLines.begin() + index, std::move(line));
}

void TIdHeaderList::Delete(int index)
{
    FLines.erase(FLines.begin() + index);
}

std::string TIdHeaderList::Text() const
{
    std::string out;
    for (const auto& line : FLines) {
        out += line;
        out += "\r\n";
    }
    return out;
}

void TIdHeaderList::SetText(std::string_view text)
{
    FLines = IdSplitLines(text);
}

std::string TIdHeaderList::Names(int index) const
{
    const std::string& line = Strings(index);
    const char sep = NameValueSeparator.empty() ? ':' : NameValueSeparator.front();
    const std::size_t p = line.find(sep);
    return p == std::string::npos ? std::string() : line.substr(0, p);
}

int TIdHeaderList::IndexOfName(std::string_view name) const
{
    for (int i = 0; i < Count(); ++i) {
        if (SameName(Names(i), name, CaseSensitive)) {
            return i;
        }
    }
    return -1;
}

std::size_t TIdHeaderList::EndOfEntry(std::size_t index) const
{
    std::size_t end = index + 1;
    while (end < FLines.size() && !FLines[end].empty() && IsWsp(FLines[end].front())) {
        ++end;
    }
    return end;
}

std::string TIdHeaderList::Values(std::string_view name) const
{
    const int index = IndexOfName(name);
    if (index < 0) {
        return {};
    }
    const std::string& line = FLines[static_cast<std::size_t>(index)];
    const std::size_t colon = Names(index).size();
    std::string value(TrimBlanks(std::string_view(line).substr(std::min(colon + 1, line.size()))));
    if (UnfoldLines) {
        const std::size_t end = EndOfEntry(static_cast<std::size_t>(index));
        for (std::size_t i = static_cast<std::size_t>(index) + 1; i < end; ++i) {
            const std::string_view more = TrimBlanks(FLines[i]);
            if (value.empty()) {
                value = more;
            } else if (!more.empty()) {
                value += ' ';
                value += more;
            }
        }
    }
    return std::string(TrimBlanks(value));
}

void TIdHeaderList::SetValues(std::string_view name, std::string_view value)
{
    const int found = IndexOfName(name);
    if (value.empty()) {
        if (found >= 0) {
            const auto first = FLines.begin() + found;
            FLines.erase(first, FLines.begin() + static_cast<std::ptrdiff_t>(
                                                     EndOfEntry(static_cast<std::size_t>(found))));
        }
        return;
    }
    std::size_t at = FLines.size();
    if (found >= 0) {
        at = static_cast<std::size_t>(found);
        // Old continuation lines go too, folded or not: left behind they
        // would read back as part of the new value.
        FLines.erase(FLines.begin() + found,
                     FLines.begin() + static_cast<std::ptrdiff_t>(EndOfEntry(at)));
    }
    const std::string line = std::string(name) + NameValueSeparator + FlattenLineBreaks(value);
    std::vector<std::string> lines;
    if (FoldLines) {
        lines = FoldLine(line, FoldLength);
    } else {
        lines.push_back(line);
    }
    FLines.insert(FLines.begin() + static_cast<std::ptrdiff_t>(at), lines.begin(), lines.end());
}

void TIdHeaderList::AddStdValues(const std::vector<std::string>& list)
{
    for (const auto& entry : list) {
        const std::size_t eq = entry.find('=');
        if (eq == std::string::npos) {
            FLines.push_back(entry);
        } else {
            FLines.push_back(entry.substr(0, eq) + NameValueSeparator + entry.substr(eq + 1));
        }
    }
}

std::vector<std::string> TIdHeaderList::FoldLine(std::string_view text, int foldLength,
                                                 std::string_view foldString)
{
    const std::string flat = FlattenLineBreaks(text);
    const std::string_view line = flat;
    const std::size_t fold = foldLength > 1 ? static_cast<std::size_t>(foldLength) : 1;
    // Break points: after a blank, TAB or comma outside quotes; before a
    // blank inside quotes (used only to keep within the line limit).
    std::vector<BreakPoint> breaks;
    bool inQuote = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (inQuote && c == '\\') {
            ++i;
            continue;
        }
        if (c == '"') {
            inQuote = !inQuote;
        } else if (inQuote && IsWsp(c) && i > 0) {
            breaks.push_back({i, true});
        } else if (!inQuote && (IsWsp(c) || c == ',')) {
            breaks.push_back({i + 1, false});
        }
    }

    std::vector<std::string> lines;
    std::size_t start = 0;
    std::size_t prefix = 0; // the fold string that starts a continuation line
    auto lengthTo = [&](std::size_t start, std::size_t end) {
        return prefix + TrimRightWsp(line.substr(start, end - start)).size();
    };
    while (true) {
        if (lengthTo(start, line.size()) <= fold) {
            break;
        }
        // The last break that keeps the line within the fold length.
        const BreakPoint* best = nullptr;
        const BreakPoint* firstAfter = nullptr;
        const BreakPoint* lastWithinLimit = nullptr;
        for (const auto& b : breaks) {
            if (b.pos <= start || b.pos >= line.size() || lengthTo(start, b.pos) == prefix) {
                continue;
            }
            const std::size_t len = lengthTo(start, b.pos);
            if (len <= MaxLineLength) {
                lastWithinLimit = &b;
            }
            if (b.quoted) {
                continue;
            }
            if (len <= fold) {
                best = &b;
            } else if (!firstAfter) {
                firstAfter = &b;
            }
        }
        if (!best) {
            // Past the fold length anyway: the next break outside quotes,
            // unless that passes the line limit and a blank inside the
            // quotes keeps within it.
            const std::size_t len =
                firstAfter ? lengthTo(start, firstAfter->pos) : lengthTo(start, line.size());
            best = firstAfter;
            if (len > MaxLineLength && lastWithinLimit) {
                best = lastWithinLimit;
            }
        }
        if (!best) {
            break;
        }
        lines.push_back(std::string(foldString.substr(0, prefix)) +
                        std::string(TrimRightWsp(line.substr(start, best->pos - start))));
        start = best->pos;
        if (!best->quoted) {
            while (start < line.size() && IsWsp(line[start])) {
                ++start;
            }
            prefix = foldString.size();
        } else {
            prefix = 0; // the quoted blank itself starts the continuation
        }
    }
    lines.push_back(std::string(foldString.substr(0, prefix)) +
                    std::string(TrimRightWsp(line.substr(start))));
    return lines;
}
