#include "netproto/protocols/id_rfc_reply.h"

#include <cctype>
#include <charconv>

namespace {

// A whole decimal number with an optional sign, else 0.
std::int32_t IntegerOrZero(std::string_view text)
{
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return 0;
        }
    }
    std::int32_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) {
        return 0;
    }
    return value;
}

bool IsBlankOrControl(char c)
{
    return static_cast<unsigned char>(c) <= 32;
}

std::string_view TrimControls(std::string_view s)
{
    while (!s.empty() && IsBlankOrControl(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlankOrControl(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

std::string_view TrimLeftControls(std::string_view s)
{
    while (!s.empty() && IsBlankOrControl(s.front())) {
        s.remove_prefix(1);
    }
    return s;
}

bool SameTextAscii(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string From5th(std::string_view line)
{
    return line.size() > 4 ? std::string(line.substr(4)) : std::string();
}

} // namespace

std::vector<std::string> IdSplitLines(std::string_view text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.emplace_back(text.substr(start));
            break;
        }
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n') {
            ++start;
        }
    }
    return lines;
}

void TIdRFCReply::SetNumericCode(std::int32_t value)
{
    FNumericCode = value;
    if (value > 0) {
        FTextCode = std::to_string(value);
    }
}

void TIdRFCReply::SetTextCode(const std::string& value)
{
    FTextCode = value;
    if (!value.empty()) {
        FNumericCode = IntegerOrZero(value);
    }
}

void TIdRFCReply::Assign(const TIdRFCReply& source)
{
    Clear();
    FNumericCode = source.FNumericCode;
    FText = source.FText;
    FTextCode = source.FTextCode;
}

std::string TIdRFCReply::GetDisplayName() const
{
    if (FText.empty()) {
        return FTextCode;
    }
    return FTextCode + " " + FText.front();
}

void TIdRFCReply::Clear()
{
    FNumericCode = 0;
    FText.clear();
    FTextCode.clear();
}

void TIdRFCReply::SetReply(std::int32_t code, std::string_view text)
{
    FNumericCode = code;
    FText = IdSplitLines(text);
}

std::string TIdRFCReply::GenerateReply() const
{
    std::string out;
    if (FNumericCode <= 0) {
        for (const auto& line : FText) {
            out += line;
            out += "\r\n";
        }
        return out;
    }
    const std::string code = std::to_string(FNumericCode);
    if (FText.empty()) {
        return code + "\r\n";
    }
    for (std::size_t i = 0; i < FText.size(); ++i) {
        out += code;
        out += i + 1 < FText.size() ? '-' : ' ';
        out += FText[i];
        out += "\r\n";
    }
    return out;
}

void TIdRFCReply::ParseReply(const std::vector<std::string>& lines)
{
    Clear();
    if (lines.empty()) {
        return;
    }
    const std::string& first = lines.front();
    std::string code(TrimControls(std::string_view(first).substr(0, 4)));
    if (code.size() == 4 && code[3] == '-') {
        code.resize(3);
    }
    SetTextCode(code);
    FText.push_back(From5th(first));
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::string_view line = lines[i];
        if (SameTextAscii(line.substr(0, 3), FTextCode)) {
            FText.push_back(From5th(line));
        } else {
            FText.emplace_back(TrimLeftControls(line));
        }
    }
}

TIdRFCReply& TIdRFCReplies::Add()
{
    FItems.push_back(std::make_unique<TIdRFCReply>());
    return *FItems.back();
}

TIdRFCReply& TIdRFCReplies::Add(std::int32_t code, std::string_view text)
{
    TIdRFCReply& item = Add();
    item.SetNumericCode(code);
    item.SetText(IdSplitLines(text));
    return item;
}

TIdRFCReply* TIdRFCReplies::FindItemByReplyCode(std::int32_t code)
{
    for (const auto& item : FItems) {
        if (item->NumericCode() == code) {
            return item.get();
        }
    }
    return nullptr;
}

void TIdRFCReplies::UpdateText(TIdRFCReply& reply)
{
    if (!reply.Text().empty()) {
        return;
    }
    if (const TIdRFCReply* item = FindItemByReplyCode(reply.NumericCode())) {
        reply.SetText(item->Text());
    }
}
