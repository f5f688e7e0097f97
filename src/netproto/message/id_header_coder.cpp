#include "netproto/message/id_header_coder.h"

#include "netproto/core/id_global.h"
#include "netproto/message/id_coder_mime.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

namespace {

constexpr char Esc = '\x1B';
constexpr std::string_view ToTwoByte = "\x1B$B";
constexpr std::string_view ToSingleByte = "\x1B(B";

// Half-width katakana 0xA1..0xDF of Shift-JIS as full-width JIS X 0208
// codes: alone, with the voiced mark 0xDE and with the semi-voiced mark 0xDF
// (0 where the pair has no single full-width form).
constexpr std::uint16_t KanaPlain[63] = {
    0x2123, 0x2156, 0x2157, 0x2122, 0x2126, 0x2572, 0x2521, 0x2523, 0x2525, 0x2527, 0x2529,
    0x2563, 0x2565, 0x2567, 0x2543, 0x213C, 0x2522, 0x2524, 0x2526, 0x2528, 0x252A, 0x252B,
    0x252D, 0x252F, 0x2531, 0x2533, 0x2535, 0x2537, 0x2539, 0x253B, 0x253D, 0x253F, 0x2541,
    0x2544, 0x2546, 0x2548, 0x254A, 0x254B, 0x254C, 0x254D, 0x254E, 0x254F, 0x2552, 0x2555,
    0x2558, 0x255B, 0x255E, 0x255F, 0x2560, 0x2561, 0x2562, 0x2564, 0x2566, 0x2568, 0x2569,
    0x256A, 0x256B, 0x256C, 0x256D, 0x256F, 0x2573, 0x212B, 0x212C};
constexpr std::uint16_t KanaVoiced[63] = {
    0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000,
    0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x2574, 0x0000, 0x0000, 0x252C,
    0x252E, 0x2530, 0x2532, 0x2534, 0x2536, 0x2538, 0x253A, 0x253C, 0x253E, 0x2540, 0x2542,
    0x2545, 0x2547, 0x2549, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x2550, 0x2553, 0x2556,
    0x2559, 0x255C, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000,
    0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000};
constexpr std::uint16_t KanaSemiVoiced[63] = {
    0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000,
    0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000,
    0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000,
    0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x2551, 0x2554, 0x2557,
    0x255A, 0x255D, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000,
    0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000, 0x0000};

bool IsSeparator(char c)
{
    return c == '\t' || c == '\n' || c == '\r' || c == ' ';
}

bool MustEncode(unsigned char c, std::string_view specials)
{
    return c < 0x20 || c >= 0x7F || specials.find(static_cast<char>(c)) != std::string_view::npos;
}

// False for a malformed escape: the word is then left as it stands.
bool DecodeQ(std::string_view text, std::string& out)
{
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_') {
            out += ' ';
        } else if (c == '=' && i + 2 < text.size()) {
            const int hi = HexDigitValue(text[i + 1]);
            const int lo = HexDigitValue(text[i + 2]);
            if (hi < 0 || lo < 0) {
                return false;
            }
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += c;
        }
    }
    return true;
}

// Full groups only; "=" and stray characters count as 0, and fill
// characters shorten the last group.
std::string DecodeB(std::string_view text)
{
    const auto& table = TIdDecoderMIME::Base64DecodeTable();
    std::string out;
    for (std::size_t i = 0; i + 4 <= text.size(); i += 4) {
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            const unsigned d = table[static_cast<unsigned char>(text[i + k])];
            v = (v << 6) | (d > 63 ? 0 : d);
        }
        out += static_cast<char>(v >> 16);
        if (text[i + 2] != '=') {
            out += static_cast<char>(v >> 8);
            if (text[i + 3] != '=') {
                out += static_cast<char>(v);
            }
        }
    }
    return out;
}

void AppendJisPair(std::string& out, std::uint16_t code)
{
    out += static_cast<char>(code >> 8);
    out += static_cast<char>(code & 0xFF);
}

} // namespace

std::string DecodeHeaderWords(std::string_view text)
{
    std::string s(text);
    std::size_t pos = 0;
    // The last decoded word: where its text starts and ends, its charset and
    // its bytes before conversion. White space between two encoded words
    // belongs to neither and is dropped, so a run split over several words
    // reads back whole; ISO-2022-JP words that follow each other are
    // converted together, as the shift state runs on from word to word.
    std::size_t lastWordStart = 0;
    std::size_t lastWordEnd = std::string::npos;
    std::string lastCharset;
    std::string lastRaw;
    while (true) {
        const std::string upper = UpperAscii(s);
        std::size_t start = upper.find("=?ISO", pos);
        if (start == std::string::npos) {
            start = upper.find("=?WINDOWS", pos);
        }
        if (start == std::string::npos) {
            break;
        }
        const std::size_t q1 = s.find('?', start + 5);
        const std::size_t q2 = q1 == std::string::npos ? q1 : s.find('?', q1 + 1);
        const std::size_t end = q2 == std::string::npos ? q2 : s.find("?=", q2 + 1);
        if (end == std::string::npos) {
            pos = start + 1;
            continue;
        }
        const std::string charset = UpperAscii(s.substr(start + 2, q1 - start - 2));
        const std::string encoding = s.substr(q1 + 1, q2 - q1 - 1);
        const std::string_view encoded = std::string_view(s).substr(q2 + 1, end - q2 - 1);
        std::string raw;
        if (encoding == "Q" || encoding == "q") {
            if (!DecodeQ(encoded, raw)) {
                pos = start + 1;
                continue;
            }
        } else {
            raw = DecodeB(encoded);
        }
        std::size_t wordEnd = end + 2;
        std::size_t replaceFrom = start;
        const bool adjacent =
            lastWordEnd != std::string::npos && lastWordEnd <= start &&
            std::all_of(s.begin() + static_cast<std::ptrdiff_t>(lastWordEnd),
                        s.begin() + static_cast<std::ptrdiff_t>(start), IsSeparator);
        if (adjacent) {
            s.erase(lastWordEnd, start - lastWordEnd);
            wordEnd -= start - lastWordEnd;
            replaceFrom = lastWordEnd;
            if (charset == "ISO-2022-JP" && lastCharset == charset) {
                raw = lastRaw + raw;
                replaceFrom = lastWordStart;
            }
        }
        const std::string decoded = charset == "ISO-2022-JP" ? JisToShiftJis(raw) : raw;
        s.replace(replaceFrom, wordEnd - replaceFrom, decoded);
        lastWordStart = replaceFrom;
        lastWordEnd = replaceFrom + decoded.size();
        lastCharset = charset;
        lastRaw = std::move(raw);
        pos = lastWordEnd;
    }
    s.erase(std::remove(s.begin(), s.end(), '\0'), s.end());
    return s;
}

namespace {

void EncodeRun(std::string_view run, char headerEncoding, std::string_view charset,
               std::string_view specials, std::string& out)
{
    const std::string prefix =
        "=?" + std::string(charset) + "?" + static_cast<char>(headerEncoding) + "?";
    const std::size_t lineStart = out.rfind("\r\n");
    std::size_t lineLen = lineStart == std::string::npos ? out.size() : out.size() - lineStart - 2;
    out += prefix;
    lineLen += prefix.size();
    bool wordEmpty = true;
    auto put = [&](std::string_view chunk) {
        // Encoded words stay within 75 characters, "?=" included.
        if (!wordEmpty && lineLen + chunk.size() + 2 > 75) {
            out += "?=\r\n\t";
            out += prefix;
            lineLen = 1 + prefix.size();
        }
        out += chunk;
        lineLen += chunk.size();
        wordEmpty = false;
    };
    static constexpr char hex[] = "0123456789ABCDEF";
    if (headerEncoding == 'Q' || headerEncoding == 'q') {
        for (char ch : run) {
            const auto c = static_cast<unsigned char>(ch);
            if (c == ' ') {
                put("_");
            } else if (MustEncode(c, specials) || c == '=' || c == '?' || c == '_') {
                const char chunk[3] = {'=', hex[c >> 4], hex[c & 15]};
                put(std::string_view(chunk, 3));
            } else {
                put(std::string_view(&ch, 1));
            }
        }
    } else {
        TIdEncoderMIME encoder;
        for (std::size_t i = 0; i < run.size(); i += 3) {
            put(encoder.EncodeBytes(run.substr(i, 3)));
        }
    }
    out += "?=";
}

} // namespace

std::string EncodeHeaderWords(std::string_view text, std::string_view specials, TTransfer transfer,
                              char headerEncoding, std::string_view charset)
{
    std::string converted;
    if (transfer == TTransfer::iso2022jp) {
        converted = ShiftJisToJis(text);
        text = converted;
    }
    if (headerEncoding == '8') {
        return std::string(text);
    }
    std::string out;
    const std::size_t n = text.size();
    std::size_t runStart = std::string::npos;
    std::size_t runEnd = 0;
    std::size_t i = 0;
    while (i < n) {
        std::size_t j = i;
        while (j < n && IsSeparator(text[j])) {
            ++j;
        }
        std::size_t k = j;
        bool needs = false;
        while (k < n && !IsSeparator(text[k])) {
            needs = needs || MustEncode(static_cast<unsigned char>(text[k]), specials);
            ++k;
        }
        if (needs) {
            if (runStart == std::string::npos) {
                out.append(text.substr(i, j - i));
                runStart = j;
            }
            runEnd = k;
        } else {
            if (runStart != std::string::npos) {
                EncodeRun(text.substr(runStart, runEnd - runStart), headerEncoding, charset,
                          specials, out);
                runStart = std::string::npos;
            }
            out.append(text.substr(i, k - i));
        }
        i = k;
    }
    if (runStart != std::string::npos) {
        EncodeRun(text.substr(runStart, runEnd - runStart), headerEncoding, charset, specials, out);
    }
    return out;
}

std::string FormatAddressItem(const TIdEMailAddressItem& item, char headerEncoding,
                              TTransfer transfer, std::string_view charset)
{
    if (item.Name.empty()) {
        return item.Address;
    }
    const bool eightBit = std::any_of(item.Name.begin(), item.Name.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 32 || u >= 127;
    });
    std::string name;
    if (eightBit) {
        name = EncodeHeaderWords(item.Name, "\"(),.:;<>@[\\]", transfer, headerEncoding, charset);
    } else {
        name = "\"";
        for (char c : item.Name) {
            if (c == '\\' || c == '"') {
                name += '\\';
            }
            name += c;
        }
        name += '"';
    }
    return name + " <" + item.Address + ">";
}

std::string FormatAddressList(const TIdEMailAddressList& list, char headerEncoding,
                              TTransfer transfer, std::string_view charset)
{
    std::string out;
    for (int i = 0; i < list.Count(); ++i) {
        if (i) {
            out += ", ";
        }
        out += FormatAddressItem(list.Items(i), headerEncoding, transfer, charset);
    }
    return out;
}

void DefaultHeaderCharsetFor(int charSetKind, TTransfer& transfer, char& headerEncoding,
                             std::string& charset)
{
    transfer = TTransfer::bit7;
    headerEncoding = 'B';
    switch (charSetKind) {
    case 0:
        charset = "GB2312";
        break;
    case 1:
        charset = "Big5";
        break;
    case 2:
        charset = "ISO-2022-JP";
        transfer = TTransfer::iso2022jp;
        break;
    case 3:
        charset = "EUC-KR";
        break;
    default:
        charset = "ISO-8859-1";
        headerEncoding = 'Q';
        break;
    }
}

void DefaultHeaderCharset(TTransfer& transfer, char& headerEncoding, std::string& charset)
{
    DefaultHeaderCharsetFor(CharSetKindFromLocale(), transfer, headerEncoding, charset);
}

std::string JisToShiftJis(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    bool twoByte = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == Esc && i + 2 < text.size()) {
            const std::string_view seq = text.substr(i, 3);
            // ESC $@ and ESC (J are the older forms of the same switches.
            if (seq == ToTwoByte || seq == "\x1B$@") {
                twoByte = true;
                i += 2;
                continue;
            }
            if (seq == ToSingleByte || seq == "\x1B(J") {
                twoByte = false;
                i += 2;
                continue;
            }
        }
        if (!twoByte) {
            out += text[i];
            continue;
        }
        if (i + 1 >= text.size()) {
            break; // a lone last byte
        }
        const auto j1 = static_cast<unsigned char>(text[i]);
        const auto j2 = static_cast<unsigned char>(text[i + 1]);
        ++i;
        const unsigned s1 = (((j1 - 1u) >> 1) + (j1 < 95 ? 113u : 177u)) & 0xFF;
        unsigned s2;
        if (j1 & 1) {
            s2 = j2 < 96 ? j2 + 31u : j2 + 32u;
        } else {
            s2 = j2 + 126u;
        }
        out += static_cast<char>(s1);
        out += static_cast<char>(s2 & 0xFF);
    }
    return out;
}

std::string ShiftJisToJis(std::string_view text)
{
    std::string out;
    out.reserve(text.size() + 8);
    bool twoByte = false;
    auto enterTwoByte = [&] {
        if (!twoByte) {
            out += ToTwoByte;
            twoByte = true;
        }
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (twoByte) {
                out += ToSingleByte;
                twoByte = false;
            }
            out += static_cast<char>(c);
        } else if (c >= 0xA1 && c <= 0xDF) {
            // Half-width katakana become their full-width forms; a following
            // voiced or semi-voiced mark joins the letter where it can.
            const std::size_t k = c - 0xA1u;
            std::uint16_t code = KanaPlain[k];
            if (i + 1 < text.size()) {
                const auto next = static_cast<unsigned char>(text[i + 1]);
                const std::uint16_t joined = next == 0xDE   ? KanaVoiced[k]
                                             : next == 0xDF ? KanaSemiVoiced[k]
                                                            : 0;
                if (joined) {
                    code = joined;
                    ++i;
                }
            }
            enterTwoByte();
            AppendJisPair(out, code);
        } else if (((c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC)) && i + 1 < text.size()) {
            const auto s2 = static_cast<unsigned char>(text[++i]);
            const unsigned k = c >= 0xE0 ? c - 177u : c - 113u; // (j1 - 1) >> 1
            unsigned j1;
            unsigned j2;
            if (s2 >= 0x9F) {
                j1 = 2 * k + 2;
                j2 = s2 - 126u;
            } else {
                j1 = 2 * k + 1;
                j2 = s2 < 0x7F ? s2 - 31u : s2 - 32u;
            }
            enterTwoByte();
            AppendJisPair(out, static_cast<std::uint16_t>(((j1 & 0xFF) << 8) | (j2 & 0xFF)));
        }
        // Anything else is no Shift-JIS character and is left out.
    }
    if (twoByte) {
        out += ToSingleByte;
    }
    return out;
}
