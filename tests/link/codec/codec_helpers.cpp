#include "codec_helpers.h"

#include "link/codec/pklib_tables.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <stdexcept>

unsigned MemRead(char* buf, unsigned* size, void* context)
{
    auto* io = static_cast<MemIo*>(context);
    io->readAsks.push_back(*size);
    const std::size_t n =
        std::min({static_cast<std::size_t>(*size), io->readChunk, io->input.size() - io->inputPos});
    std::memcpy(buf, io->input.data() + io->inputPos, n);
    io->inputPos += n;
    return static_cast<unsigned>(n);
}

unsigned MemWrite(char* buf, unsigned* size, void* context)
{
    auto* io = static_cast<MemIo*>(context);
    io->writeSizes.push_back(*size);
    const std::size_t room = io->writeLimit - std::min(io->writeLimit, io->output.size());
    const std::size_t n = std::min(static_cast<std::size_t>(*size), room);
    io->output.append(buf, n);
    return static_cast<unsigned>(n);
}

ImplodeResult Implode(std::string_view data, unsigned coding, unsigned dictSize, std::uint8_t fill,
                      PklibCompressFn compress)
{
    std::vector<char> work(kPklibCompressWorkSize, static_cast<char>(fill));
    MemIo io;
    io.input = data;
    ImplodeResult r;
    r.code = compress(MemRead, MemWrite, work.data(), &io, &coding, &dictSize);
    r.stream = std::move(io.output);
    return r;
}

ExplodeResult Explode(std::string_view stream, std::uint8_t fill)
{
    std::vector<char> work(kPklibExpandWorkSize, static_cast<char>(fill));
    MemIo io;
    io.input = stream;
    ExplodeResult r;
    r.code = PklibDecompress(MemRead, MemWrite, work.data(), &io);
    r.output = std::move(io.output);
    return r;
}

Token Lit(std::uint8_t byte)
{
    return Token{true, byte, 0, 0};
}

Token Rep(unsigned length, unsigned distance)
{
    return Token{false, 0, length, distance};
}

namespace {

class BitWriter {
public:
    void Put(unsigned count, unsigned value)
    {
        for (unsigned i = 0; i < count; ++i) {
            if (bits_ % 8 == 0)
                bytes_.push_back(0);
            if ((value >> i) & 1)
                bytes_.back() = static_cast<char>(bytes_.back() | (1 << (bits_ % 8)));
            ++bits_;
        }
    }
    std::string bytes_;

private:
    unsigned bits_ = 0;
};

void PutLength(BitWriter& w, unsigned length)
{
    const unsigned v = length - 2;
    for (const PklibLengthCode& c : kPklibLengthCodes) {
        if (v >= c.base && v < c.base + (1u << c.extraBits)) {
            w.Put(1, 1);
            w.Put(c.bits, c.value);
            w.Put(c.extraBits, v - c.base);
            return;
        }
    }
    throw std::logic_error("length out of range");
}

class BitReader {
public:
    explicit BitReader(std::string_view s) : s_(s) {}
    bool Get(unsigned& bit)
    {
        if (pos_ >= s_.size() * 8)
            return false;
        bit = (static_cast<std::uint8_t>(s_[pos_ / 8]) >> (pos_ % 8)) & 1;
        ++pos_;
        return true;
    }
    bool Get(unsigned count, unsigned& value)
    {
        value = 0;
        for (unsigned i = 0; i < count; ++i) {
            unsigned bit;
            if (!Get(bit))
                return false;
            value |= bit << i;
        }
        return true;
    }

private:
    std::string_view s_;
    std::size_t pos_ = 16;
};

// Reads one prefix code by growing the bit pattern until it names a row.
template <class Rows> int ReadCode(BitReader& r, const Rows& rows)
{
    unsigned value = 0;
    for (unsigned n = 1; n <= 16; ++n) {
        unsigned bit;
        if (!r.Get(bit))
            return -1;
        value |= bit << (n - 1);
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (rows[i].bits == n && rows[i].value == value)
                return static_cast<int>(i);
    }
    return -1;
}

} // namespace

std::string BuildStream(unsigned coding, unsigned dictCode, const std::vector<Token>& tokens)
{
    BitWriter w;
    w.bytes_ = "";
    w.Put(8, coding);
    w.Put(8, dictCode);
    for (const Token& t : tokens) {
        if (t.literal) {
            w.Put(1, 0);
            if (coding == kPklibBinary)
                w.Put(8, t.byte);
            else
                w.Put(kPklibAsciiCodes[t.byte].bits, kPklibAsciiCodes[t.byte].value);
            continue;
        }
        PutLength(w, t.length);
        const unsigned d = t.distance - 1;
        const unsigned lowBits = t.length == 2 ? 2 : dictCode;
        const PklibCode& code = kPklibDistanceCodes[d >> lowBits];
        w.Put(code.bits, code.value);
        w.Put(lowBits, d & ((1u << lowBits) - 1));
    }
    PutLength(w, 519);
    return w.bytes_;
}

ParsedStream ParseStream(std::string_view stream)
{
    ParsedStream out;
    if (stream.size() < 2)
        return out;
    const unsigned coding = static_cast<std::uint8_t>(stream[0]);
    const unsigned dictCode = static_cast<std::uint8_t>(stream[1]);
    BitReader r(stream);
    for (;;) {
        unsigned flag;
        if (!r.Get(flag))
            return out;
        if (flag == 0) {
            unsigned byte;
            if (coding == kPklibBinary) {
                if (!r.Get(8, byte))
                    return out;
            } else {
                const int c = ReadCode(r, kPklibAsciiCodes);
                if (c < 0)
                    return out;
                byte = static_cast<unsigned>(c);
            }
            out.tokens.push_back(Lit(static_cast<std::uint8_t>(byte)));
            continue;
        }
        const int li = ReadCode(r, kPklibLengthCodes);
        if (li < 0)
            return out;
        unsigned extra;
        if (!r.Get(kPklibLengthCodes[li].extraBits, extra))
            return out;
        const unsigned length = kPklibLengthCodes[li].base + extra + 2;
        if (length == 519) {
            out.complete = true;
            return out;
        }
        const int di = ReadCode(r, kPklibDistanceCodes);
        const unsigned lowBits = length == 2 ? 2 : dictCode;
        unsigned low;
        if (di < 0 || !r.Get(lowBits, low))
            return out;
        out.tokens.push_back(Rep(length, ((static_cast<unsigned>(di) << lowBits) | low) + 1));
    }
}

std::string Replay(const std::vector<Token>& tokens)
{
    std::string out(4096, '\0');
    for (const Token& t : tokens) {
        if (t.literal) {
            out.push_back(static_cast<char>(t.byte));
            continue;
        }
        for (unsigned i = 0; i < t.length; ++i)
            out.push_back(out[out.size() - t.distance]);
    }
    return out.substr(4096);
}

std::string RandomBytes(std::size_t n, std::uint32_t seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(rng() & 0xFF);
    return s;
}

std::string MailText(std::size_t n, std::uint32_t seed)
{
    static const char* const words[] = {
        "the",     "station", "mail",   "link",   "radio",    "message", "channel", "from",
        "Subject", "weather", "report", "please", "confirm",  "receipt", "of",      "and",
        "to",      "at",      "1200",   "UTC",    "position", "crew",    "supply",  "vessel",
    };
    std::mt19937 rng(seed);
    std::ostringstream os;
    os << "From: ops@alpha\r\nTo: base@bravo\r\nSubject: Daily report\r\n\r\n";
    std::size_t column = 0;
    while (static_cast<std::size_t>(os.tellp()) < n) {
        const std::string w = words[rng() % std::size(words)];
        os << w;
        column += w.size() + 1;
        if (column > 66) {
            os << ".\r\n";
            column = 0;
        } else {
            os << ' ';
        }
    }
    return os.str().substr(0, n);
}

std::string ReadFileBytes(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}
