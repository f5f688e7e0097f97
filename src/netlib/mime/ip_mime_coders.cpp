#include "netlib/mime/ip_mime_coders.h"

#include "netlib/base/ip_base.h"
#include "netlib/base/ip_const.h"
#include "netproto/core/id_global.h"
#include "netproto/message/id_coder_mime.h"
#include "netproto/message/id_coder_uue.h"

#include <algorithm>
#include <array>

namespace {

constexpr int64_t ProgressStep = 64 * 1024;

// Asks the handler; true when it wants the coder to stop.
bool Aborted(const TIpCoderProgress& progress, int64_t done, int64_t total)
{
    bool abort = false;
    if (progress)
        progress(done, total, abort);
    return abort;
}

// Collects output and hands it to the stream in large pieces.
class TSink {
public:
    explicit TSink(TIpStream& out) : FOut(out) { FBuffer.reserve(Capacity + 1024); }
    ~TSink() = default;
    void Put(char c)
    {
        FBuffer.push_back(c);
        if (FBuffer.size() >= Capacity)
            Flush();
    }
    void Put(std::string_view text)
    {
        FBuffer.append(text);
        if (FBuffer.size() >= Capacity)
            Flush();
    }
    void Flush()
    {
        FOut.WriteString(FBuffer);
        FBuffer.clear();
    }

private:
    static constexpr size_t Capacity = 64 * 1024;
    TIpStream& FOut;
    std::string FBuffer;
};

// Breaks a run of characters into lines of at most 76.
class TLineBreaker {
public:
    explicit TLineBreaker(TSink& sink) : FSink(sink) {}
    void Put(std::string_view text)
    {
        while (!text.empty()) {
            const size_t n = std::min(text.size(), size_t(76 - FColumn));
            FSink.Put(text.substr(0, n));
            FColumn += int(n);
            text.remove_prefix(n);
            if (FColumn == 76) {
                FSink.Put("\r\n");
                FColumn = 0;
            }
        }
    }
    void End()
    {
        if (FColumn > 0)
            FSink.Put("\r\n");
        FColumn = 0;
    }

private:
    TSink& FSink;
    int FColumn = 0;
};

// The 3-to-4 coder over the BinHex alphabet, which has no pad character.
class TBinHexEncoder : public TIdEncoder3to4 {
public:
    TBinHexEncoder() : TIdEncoder3to4(IpBinHexTable, '\0') {}
};

// Shared 3-to-4 encoder: lines of 76, the pad only when there is one, the
// delimiter around the whole run.
bool Encode3to4(TIdEncoder3to4& encoder, bool pad, char delimiter, std::string_view data,
                TIpStream& out, const TIpCoderProgress& progress)
{
    TSink sink(out);
    TLineBreaker lines(sink);
    if (delimiter)
        lines.Put(std::string_view(&delimiter, 1));
    const size_t chunk = 57 * 1024;
    for (size_t at = 0; at < data.size(); at += chunk) {
        const std::string_view piece = data.substr(at, chunk);
        std::string text = encoder.EncodeBytes(piece);
        if (!pad)
            text.resize(piece.size() / 3 * 4 + (piece.size() % 3 ? piece.size() % 3 + 1 : 0));
        lines.Put(text);
        if (Aborted(progress, int64_t(at + piece.size()), int64_t(data.size()))) {
            lines.End();
            sink.Flush();
            return false;
        }
    }
    if (delimiter)
        lines.Put(std::string_view(&delimiter, 1));
    lines.End();
    sink.Flush();
    return true;
}

bool IsLineBreak(char c)
{
    return c == '\r' || c == '\n';
}

// Whether the body's last byte ends a line, so its last line gets one too.
bool EndsWithLineBreak(TIpAnsiTextStream& body)
{
    const int64_t position = body.GetPosition();
    const int64_t size = body.GetSize();
    char last = 0;
    if (size > 0) {
        body.Seek(size - 1, soFromBeginning);
        body.Read(&last, 1);
        body.Seek(position, soFromBeginning);
    }
    return last == '\n';
}

} // namespace

// Base64

bool IpEncodeBase64(std::string_view data, TIpStream& out, const TIpCoderProgress& progress)
{
    TIdEncoderMIME encoder;
    return Encode3to4(encoder, true, 0, data, out, progress);
}

bool IpDecodeBase64(TIpStream& body, TIpStream& out, const TIpCoderProgress& progress)
{
    const auto& table = TIdDecoderMIME::Base64DecodeTable();
    const int64_t total = body.GetSize() - body.GetPosition();
    TSink sink(out);
    std::array<char, 65536> buffer;
    uint32_t group = 0;
    int have = 0;
    int64_t done = 0;
    bool ended = false;
    while (!ended) {
        const int64_t got = body.Read(buffer.data(), int64_t(buffer.size()));
        if (got <= 0)
            break;
        for (int64_t i = 0; i < got; ++i) {
            const auto c = static_cast<unsigned char>(buffer[size_t(i)]);
            if (c == '=') {
                // A pad in the third or fourth place ends the data.
                if (have >= 2) {
                    ended = true;
                    break;
                }
                continue;
            }
            const unsigned value = table[c];
            if (value > 63)
                continue;
            group = group << 6 | value;
            if (++have == 4) {
                sink.Put(char(group >> 16));
                sink.Put(char(group >> 8));
                sink.Put(char(group));
                group = 0;
                have = 0;
            }
        }
        done += got;
        if (Aborted(progress, done, total)) {
            sink.Flush();
            return false;
        }
    }
    // A group cut short decodes as if padded.
    if (have == 2) {
        sink.Put(char(group >> 4));
    } else if (have == 3) {
        sink.Put(char(group >> 10));
        sink.Put(char(group >> 2));
    }
    sink.Flush();
    return true;
}

// Quoted-printable

bool IpEncodeQuoted(std::string_view data, TIpStream& out, const TIpCoderProgress& progress)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    constexpr size_t MaxLine = 75; // and the soft-break mark makes 76
    TSink sink(out);
    std::string line;
    std::string word;
    auto softBreak = [&] {
        sink.Put(line);
        sink.Put("=\r\n");
        line.clear();
    };
    // A word goes onto the line whole when it fits; one longer than a line
    // is broken between its encoded characters.
    auto moveWord = [&] {
        if (line.size() + word.size() > MaxLine && !line.empty())
            softBreak();
        size_t at = 0;
        while (word.size() - at > MaxLine) {
            size_t cut = MaxLine;
            // Never split an =XX sequence.
            if (word[at + cut - 1] == '=')
                cut -= 1;
            else if (word[at + cut - 2] == '=')
                cut -= 2;
            line.append(word, at, cut);
            at += cut;
            softBreak();
        }
        line.append(word, at, std::string::npos);
        word.clear();
    };
    // A blank at the end of a line would be taken for transport padding.
    auto endLine = [&](bool lineBreak) {
        moveWord();
        if (!line.empty() && (line.back() == ' ' || line.back() == '\t')) {
            const char c = line.back();
            line.pop_back();
            const std::string encoded = c == ' ' ? "=20" : "=09";
            if (line.size() + encoded.size() > MaxLine)
                softBreak();
            line += encoded;
        }
        sink.Put(line);
        if (lineBreak)
            sink.Put("\r\n");
        line.clear();
    };
    for (size_t i = 0; i < data.size(); ++i) {
        const auto c = static_cast<unsigned char>(data[i]);
        if (c == '\r' || c == '\n') {
            endLine(true);
            if (c == '\r' && i + 1 < data.size() && data[i + 1] == '\n')
                ++i;
        } else if (c == ' ' || c == '\t') {
            word += char(c);
            moveWord();
        } else if ((c >= 33 && c <= 60) || (c >= 62 && c <= 126)) {
            word += char(c);
        } else {
            word += '=';
            word += digits[c >> 4];
            word += digits[c & 15];
        }
        if (word.size() > MaxLine)
            moveWord();
        if ((i & (ProgressStep - 1)) == 0 && i > 0 &&
            Aborted(progress, int64_t(i), int64_t(data.size()))) {
            endLine(false);
            sink.Flush();
            return false;
        }
    }
    // The data's last line keeps having no break of its own.
    endLine(false);
    sink.Flush();
    return true;
}

bool IpDecodeQuoted(TIpAnsiTextStream& body, TIpStream& out, const TIpCoderProgress& progress)
{
    const int64_t total = body.GetSize();
    const bool lastTerminated = EndsWithLineBreak(body);
    TSink sink(out);
    std::string line;
    int64_t lines = 0;
    while (body.ReadLine(line)) {
        if (line.size() > 999)
            throw EIpBaseException(IpStr(IpConst::SLineLengthErr));
        // Blanks at the end of a line were added in transport.
        size_t end = line.size();
        while (end > 0 && (line[end - 1] == ' ' || line[end - 1] == '\t'))
            --end;
        bool soft = false;
        for (size_t i = 0; i < end; ++i) {
            const auto c = static_cast<unsigned char>(line[i]);
            if (c == '=') {
                if (end - i < 3) {
                    soft = true;
                    break;
                }
                const int hi = HexDigitValue(line[i + 1]);
                const int lo = HexDigitValue(line[i + 2]);
                if (hi >= 0 && lo >= 0) {
                    sink.Put(char(hi << 4 | lo));
                    i += 2;
                } else {
                    sink.Put('=');
                }
            } else if (c == ' ' || c == '\t' || c >= 33) {
                sink.Put(char(c));
            }
        }
        const bool last = body.AtEndOfStream();
        if (!soft && (!last || lastTerminated))
            sink.Put("\r\n");
        if ((++lines & 1023) == 0 && Aborted(progress, body.GetPosition(), total)) {
            sink.Flush();
            return false;
        }
    }
    sink.Flush();
    return true;
}

// Uuencode

bool IpEncodeUU(std::string_view data, const std::string& fileName, TIpStream& out,
                const TIpCoderProgress& progress)
{
    TIdEncoderUUE encoder;
    TSink sink(out);
    sink.Put("begin 600 ");
    sink.Put(fileName);
    sink.Put("\r\n");
    for (size_t at = 0; at < data.size(); at += 45) {
        const std::string_view piece = data.substr(at, 45);
        std::string text = encoder.EncodeBytes(piece);
        // A last group of 1 or 2 bytes takes 2 or 3 characters.
        text.resize(1 + (piece.size() * 4 + 2) / 3);
        sink.Put(text);
        sink.Put("\r\n");
        if (at % ProgressStep == 0 && at > 0 &&
            Aborted(progress, int64_t(at), int64_t(data.size()))) {
            sink.Flush();
            return false;
        }
    }
    sink.Put("`\r\nend\r\n");
    sink.Flush();
    return true;
}

bool IpDecodeUU(TIpAnsiTextStream& body, TIpStream& out, const TIpCoderProgress& progress)
{
    const int64_t total = body.GetSize();
    TSink sink(out);
    std::string line;
    bool first = true;
    int64_t lines = 0;
    while (body.ReadLine(line)) {
        if (line.empty())
            continue;
        if (first) {
            first = false;
            if (line.rfind("begin ", 0) == 0)
                continue;
        }
        if (line == "end" || line[0] == '`')
            break;
        const int count = (static_cast<unsigned char>(line[0]) - 32) & 63;
        if (count == 0)
            break;
        const size_t need = (size_t(count) * 4 + 2) / 3;
        if (line.size() - 1 < need)
            throw EIpBaseException(IpStr(IpConst::SUUEncodeCountErr));
        uint32_t group = 0;
        int have = 0;
        int left = count;
        for (size_t i = 1; i <= need && left > 0; ++i) {
            group = group << 6 | ((static_cast<unsigned char>(line[i]) - 32) & 63);
            if (++have == 4 || i == need) {
                const int bytes = std::min(left, have - 1);
                group <<= 6 * (4 - have);
                for (int b = 0; b < bytes; ++b)
                    sink.Put(char(group >> (16 - 8 * b)));
                left -= bytes;
                group = 0;
                have = 0;
            }
        }
        if ((++lines & 1023) == 0 && Aborted(progress, body.GetPosition(), total)) {
            sink.Flush();
            return false;
        }
    }
    sink.Flush();
    return true;
}

// BinHex 4.0

uint16_t IpBinHexCrc(std::string_view bytes, uint16_t crc)
{
    static const auto table = [] {
        std::array<uint16_t, 256> t{};
        for (unsigned i = 0; i < 256; ++i) {
            unsigned v = i << 8;
            for (int b = 0; b < 8; ++b)
                v = v & 0x8000 ? (v << 1) ^ 0x1021 : v << 1;
            t[i] = uint16_t(v);
        }
        return t;
    }();
    for (unsigned char c : bytes)
        crc = uint16_t(crc << 8 ^ table[(crc >> 8 ^ c) & 0xFF]);
    return crc;
}

namespace {

void PutBigEndian(std::string& out, uint32_t value, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i)
        out += char(value >> (8 * i));
}

uint32_t GetBigEndian(const std::string& in, size_t at, int bytes)
{
    if (at + size_t(bytes) > in.size())
        throw EIpBaseException(IpStr(IpConst::SBadOffset));
    uint32_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value = value << 8 | static_cast<unsigned char>(in[at + size_t(i)]);
    return value;
}

uint16_t CrcOfRange(const std::string& in, size_t from, size_t to)
{
    if (from > to || to > in.size())
        throw EIpBaseException(IpStr(IpConst::SBadOffset));
    return IpBinHexCrc(std::string_view(in).substr(from, to - from));
}

std::string RunLengthEncode(std::string_view in)
{
    std::string out;
    out.reserve(in.size() + in.size() / 8);
    for (size_t i = 0; i < in.size();) {
        const char c = in[i];
        size_t run = 1;
        while (i + run < in.size() && in[i + run] == c && run < 255)
            ++run;
        out += c;
        if (c == char(0x90))
            out += '\0';
        if (run >= 3) {
            out += char(0x90);
            out += char(run);
        } else if (run == 2) {
            out += c;
            if (c == char(0x90))
                out += '\0';
        }
        i += run;
    }
    return out;
}

} // namespace

bool IpEncodeBinHex(std::string_view data, const std::string& fileName, TIpStream& out,
                    const TIpCoderProgress& progress)
{
    const std::string name = fileName.substr(0, IpBinHexMaxName);
    std::string header;
    header += char(name.size());
    header += name;
    header += '\0';
    header += "IBM?";
    header.append(4, '\0');
    header.append(2, '\0');
    PutBigEndian(header, uint32_t(data.size()), 4);
    PutBigEndian(header, 0, 4);
    PutBigEndian(header, IpBinHexCrc(header), 2);
    std::string plain = header;
    plain.reserve(header.size() + data.size() + 4);
    plain.append(data);
    PutBigEndian(plain, IpBinHexCrc(data), 2);
    PutBigEndian(plain, 0, 2);
    out.WriteString("(This file must be converted with BinHex 4.0)\r\n");
    TBinHexEncoder encoder;
    return Encode3to4(encoder, false, ':', RunLengthEncode(plain), out, progress);
}

bool IpDecodeBinHex(TIpAnsiTextStream& body, TIpStream& out, const TIpCoderProgress& progress)
{
    std::string line;
    body.ReadLine(line);
    if (line.find("(This file must be converted with BinHex") == std::string::npos)
        throw EIpBaseException(IpStr(IpConst::SBinHexBadFormat));
    static const auto table = [] {
        std::array<uint8_t, 256> t;
        t.fill(255);
        for (size_t i = 0; i < IpBinHexTable.size(); ++i)
            t[static_cast<unsigned char>(IpBinHexTable[i])] = uint8_t(i);
        return t;
    }();
    char c = 0;
    while (body.ReadChar(c) && IsLineBreak(c)) {
    }
    if (c != ':')
        throw EIpBaseException(IpStr(IpConst::SBinHexColonExpected));
    // Six bits per character, then the run-length expansion.
    std::string packed;
    uint32_t group = 0;
    int have = 0;
    bool closed = false;
    while (body.ReadChar(c)) {
        if (IsLineBreak(c))
            continue;
        if (c == ':') {
            closed = true;
            break;
        }
        const uint8_t value = table[static_cast<unsigned char>(c)];
        if (value > 63)
            throw EIpBaseException(IpStr(IpConst::SBinHexBadChar));
        group = group << 6 | value;
        if (++have == 4) {
            packed += char(group >> 16);
            packed += char(group >> 8);
            packed += char(group);
            group = 0;
            have = 0;
        }
    }
    if (have == 1)
        throw EIpBaseException(IpStr(IpConst::SBinHexOddChar));
    if (have == 2) {
        packed += char(group >> 4);
    } else if (have == 3) {
        packed += char(group >> 10);
        packed += char(group >> 2);
    }
    if (!closed)
        throw EIpBaseException(IpStr(IpConst::SBinHexColonExpected));
    std::string plain;
    plain.reserve(packed.size());
    for (size_t i = 0; i < packed.size(); ++i) {
        if (packed[i] != char(0x90)) {
            plain += packed[i];
            continue;
        }
        if (++i >= packed.size())
            break;
        const auto count = static_cast<unsigned char>(packed[i]);
        if (count == 0)
            plain += char(0x90);
        else if (!plain.empty())
            plain.append(size_t(count - 1), plain.back());
    }
    if (Aborted(progress, int64_t(plain.size()), int64_t(plain.size())))
        return false;
    if (plain.empty())
        throw EIpBaseException(IpStr(IpConst::SBadOffset));
    const size_t nameLength = static_cast<unsigned char>(plain[0]);
    const size_t dataLengthAt = 1 + nameLength + 1 + 4 + 4 + 2;
    const uint32_t dataLength = GetBigEndian(plain, dataLengthAt, 4);
    const uint32_t resourceLength = GetBigEndian(plain, dataLengthAt + 4, 4);
    const size_t headerEnd = dataLengthAt + 8;
    if (CrcOfRange(plain, 0, headerEnd) != GetBigEndian(plain, headerEnd, 2))
        throw EIpBaseException(IpStr(IpConst::SBinHexBadHeaderCRC));
    const size_t dataAt = headerEnd + 2;
    if (dataLength > plain.size() - dataAt)
        throw EIpBaseException(IpStr(IpConst::SBinHexLengthErr));
    if (resourceLength > 0)
        throw EIpBaseException(IpStr(IpConst::SBinHexResourceForkErr));
    if (CrcOfRange(plain, dataAt, dataAt + dataLength) !=
        GetBigEndian(plain, dataAt + dataLength, 2))
        throw EIpBaseException(IpStr(IpConst::SBinHexBadDataCRC));
    out.WriteBuffer(plain.data() + dataAt, dataLength);
    return true;
}

bool IpEncodeLines(std::string_view data, TIpStream& out, const TIpCoderProgress& progress)
{
    TSink sink(out);
    size_t at = 0;
    int64_t lines = 0;
    while (at < data.size()) {
        size_t end = data.find('\n', at);
        const size_t next = end == std::string_view::npos ? data.size() : end + 1;
        if (end == std::string_view::npos)
            end = data.size();
        if (end > at && data[end - 1] == '\r')
            --end;
        sink.Put(data.substr(at, end - at));
        sink.Put("\r\n");
        at = next;
        if ((++lines & 1023) == 0 && Aborted(progress, int64_t(at), int64_t(data.size()))) {
            sink.Flush();
            return false;
        }
    }
    sink.Flush();
    return true;
}
