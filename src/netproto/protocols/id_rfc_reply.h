#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// One numbered reply of the line-based protocols: servers turn it into wire
// text, clients parse the lines a server sent into it.
class TIdRFCReply {
public:
    TIdRFCReply() = default;
    TIdRFCReply(const TIdRFCReply&) = default;
    TIdRFCReply& operator=(const TIdRFCReply&) = default;

    // 0 means the reply has no code. A code above 0 also sets TextCode.
    std::int32_t NumericCode() const { return FNumericCode; }
    void SetNumericCode(std::int32_t value);
    // One entry per reply line, without code and separator.
    const std::vector<std::string>& Text() const { return FText; }
    std::vector<std::string>& Text() { return FText; }
    void SetText(const std::vector<std::string>& lines) { FText = lines; }
    // The code as written on the wire: three digits, or "+OK" / "-ERR". A
    // non-empty text also sets NumericCode (0 when it is not a number).
    const std::string& TextCode() const { return FTextCode; }
    void SetTextCode(const std::string& value);

    void Assign(const TIdRFCReply& source);
    // TextCode and the first text line.
    std::string GetDisplayName() const;

    void Clear();
    // Stores the code without touching TextCode; the text is split at line
    // ends.
    void SetReply(std::int32_t code, std::string_view text);
    bool ReplyExists() const { return FNumericCode > 0 || !FText.empty(); }
    // The wire form, every line ended by CR LF.
    std::string GenerateReply() const;
    // Fills the reply from the received lines of one reply.
    void ParseReply(const std::vector<std::string>& lines);

private:
    std::int32_t FNumericCode = 0;
    std::vector<std::string> FText;
    std::string FTextCode;
};

// Default texts by code, for replies that have a code but no text.
class TIdRFCReplies {
public:
    TIdRFCReply& Add();
    TIdRFCReply& Add(std::int32_t code, std::string_view text);
    int Count() const { return static_cast<int>(FItems.size()); }
    TIdRFCReply& Items(int index) { return *FItems.at(static_cast<std::size_t>(index)); }
    const TIdRFCReply& Items(int index) const
    {
        return *FItems.at(static_cast<std::size_t>(index));
    }
    void Clear() { FItems.clear(); }

    // The first item with that code, or none.
    TIdRFCReply* FindItemByReplyCode(std::int32_t code);
    // Gives a reply without text the text of the table's item for its code.
    void UpdateText(TIdRFCReply& reply);

private:
    std::vector<std::unique_ptr<TIdRFCReply>> FItems;
};

// Splits a text at CR LF, CR or LF the way a string list takes its text: a
// final line end adds no empty line.
std::vector<std::string> IdSplitLines(std::string_view text);
