#include "platform/ppp_files.h"

bool PppSplitLines(std::string_view text, std::vector<TPppLine>& lines)
{
    lines.clear();
    TPppLine line;
    std::string word;
    bool inWord = false;
    bool escape = false;
    bool comment = false;
    char quote = 0;
    size_t lineStart = 0;

    auto endWord = [&] {
        if (inWord)
            line.Words.push_back(std::move(word));
        word.clear();
        inWord = false;
    };
    auto endLine = [&](size_t end) {
        endWord();
        line.Text = std::string(text.substr(lineStart, end - lineStart));
        lines.push_back(std::move(line));
        line = TPppLine{};
        lineStart = end + 1;
    };

    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (comment) {
            if (c == '\n') {
                comment = false;
                endLine(i);
            }
        } else if (escape) {
            escape = false;
            if (c != '\n')
                word += c;
        } else if (quote) {
            if (c == quote)
                quote = 0;
            else if (c == '\\')
                escape = true;
            else
                word += c;
        } else if (c == '\n') {
            endLine(i);
        } else if (c == '\\') {
            escape = true;
            inWord = true;
        } else if (c == '"' || c == '\'') {
            quote = c;
            inWord = true;
        } else if (c == '#') {
            endWord();
            comment = true;
        } else if (c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f') {
            endWord();
        } else {
            word += c;
            inWord = true;
        }
    }
    if (escape || quote)
        return false;
    if (lineStart < text.size())
        endLine(text.size());
    return true;
}

bool PppWritable(std::string_view value)
{
    for (const char c : value)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return false;
    return true;
}

std::string PppQuote(std::string_view value)
{
    std::string out = "\"";
    for (const char c : value) {
        if (c == '\\' || c == '"')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string PppJoinLines(const std::vector<TPppLine>& lines)
{
    std::string out;
    for (const auto& line : lines)
        out += line.Text + "\n";
    return out;
}
