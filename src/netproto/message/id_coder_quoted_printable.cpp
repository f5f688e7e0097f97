#include "netproto/message/id_coder_quoted_printable.h"

#include "netproto/core/id_global.h"

namespace {

constexpr char HexDigits[] = "0123456789ABCDEF";

void AppendEscape(std::string& out, unsigned char c)
{
    out += '=';
    out += HexDigits[c >> 4];
    out += HexDigits[c & 15];
}

} // namespace

std::string TIdEncoderQuotedPrintable::EncodeBytes(std::string_view bytes)
{
    const std::size_t n = bytes.size();
    std::string out;
    out.reserve(n + n / 8 + 16);
    std::size_t lineLen = 0;
    // A soft break is written only once something follows it on the same
    // logical line, so none ends the text or stands before a hard break.
    bool softBreakDue = false;
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        const int next = i + 1 < n ? static_cast<unsigned char>(bytes[i + 1]) : -1;
        if (c == '\n' || (c == '\r' && next == '\n')) {
            // A hard line break; CR LF is kept together.
            if (c == '\r') {
                out += "\r\n";
                ++i;
            } else {
                out += '\n';
            }
            lineLen = 0;
            softBreakDue = false;
            continue;
        }
        if (softBreakDue) {
            out += "=\r\n";
            lineLen = 0;
            softBreakDue = false;
        }
        const std::size_t before = out.size();
        if (c == ' ' || c == '\t') {
            // Trailing white space is stripped in transport, so it is never
            // left last on a line or last in the text.
            if (next == '\r' || next == '\n' || next < 0) {
                AppendEscape(out, c);
            } else {
                out += static_cast<char>(c);
            }
        } else if (c == '.') {
            if (lineLen == 0) {
                out += "=2E";
            } else {
                out += '.';
            }
        } else if (c == '\r' || (c >= 33 && c <= 126 && c != '=')) {
            out += static_cast<char>(c);
        } else {
            AppendEscape(out, c);
        }
        lineLen += out.size() - before;
        if (lineLen > 71 && c != '\r') {
            softBreakDue = true;
        }
    }
    return out;
}

std::string TIdDecoderQuotedPrintable::DecodeBytes(std::string_view text)
{
    // White space at the very end was added in transport; line ends among it
    // are kept.
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r' ||
                       text[end - 1] == '\n')) {
        --end;
    }
    std::string tailBreaks;
    for (std::size_t i = end; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            tailBreaks += text[i];
        }
    }
    const std::string_view body = text.substr(0, end);

    std::string out;
    out.reserve(body.size() + tailBreaks.size());
    std::size_t i = 0;
    while (i < body.size()) {
        const std::size_t eq = body.find('=', i);
        if (eq == std::string_view::npos) {
            out.append(body.substr(i));
            break;
        }
        out.append(body.substr(i, eq - i));
        i = eq + 1;
        int value = 0;
        int digits = 0;
        while (digits < 2 && i < body.size()) {
            const int v = HexDigitValue(body[i]);
            if (v < 0) {
                break;
            }
            value = value * 16 + v;
            ++digits;
            ++i;
        }
        if (digits == 0) {
            // A soft line break vanishes; a lone "=" is dropped.
            for (int k = 0; k < 2 && i < body.size() && (body[i] == '\r' || body[i] == '\n'); ++k) {
                ++i;
            }
        } else {
            out += static_cast<char>(value);
        }
    }
    out += tailBreaks;
    return out;
}
