#include "netproto/message/id_message_coder_uue.h"

#include "netproto/core/id_global.h"
#include "netproto/message/id_coder_uue.h"
#include "netproto/message/id_coder_xxe.h"

#include <cstdlib>

namespace {

// The byte count of a line that starts with c, in a coder's table; -1 when
// c is not in it.
int LineCount(char c, std::string_view table)
{
    const size_t p = table.find(c);
    return p == std::string_view::npos ? -1 : static_cast<int>(p);
}

// How far a line's length is from the full length of a line of n bytes.
size_t Misfit(int n, size_t length)
{
    const size_t full = 1 + static_cast<size_t>(n + 2) / 3 * 4;
    return full > length ? full - length : length - full;
}

} // namespace

TIdMessageDecoderUUE::TIdMessageDecoderUUE(TIdMessage& message, TIdMessageLineReader& reader,
                                           const std::string& filename)
    : TIdMessageDecoder(message, reader)
{
    FFilename = filename;
    FPartType = mcptAttachment;
}

std::unique_ptr<TIdMessageDecoder> TIdMessageDecoderUUE::ReadBody(std::ostream& dest, bool& msgEnd)
{
    std::unique_ptr<TIdDecoder> decoder;
    char fill = 0;
    std::string line;
    while (FReader.ReadLine(line)) {
        const std::string data(TrimBlanks(line));
        if (UpperAscii(data) == "END")
            return nullptr;
        if (!decoder) {
            // "M" and "h" begin full lines of the UU and XX coders. A file
            // shorter than one line begins with another count: the coder
            // whose count fits the line's length is taken.
            if (data.empty())
                continue;
            const int uu = data[0] == ' ' ? 0 : LineCount(data[0], IdUUETable);
            const int xx = LineCount(data[0], IdXXETable);
            bool isXX = data[0] == 'h';
            if (data[0] != 'M' && !isXX) {
                if (uu < 0 && xx < 0)
                    throw EIdException("Unrecognized UUE encoding scheme.");
                isXX = uu < 0 || (xx >= 0 && Misfit(xx, data.size()) < Misfit(uu, data.size()));
            }
            if (isXX)
                decoder = std::make_unique<TIdDecoderXXE>();
            else
                decoder = std::make_unique<TIdDecoderUUE>();
            fill = isXX ? IdXXETable[0] : IdUUETable[0];
        }
        if (data.empty() || (data.size() == 1 && data[0] == fill))
            continue;
        decoder->DecodeToStream(data, dest);
    }
    msgEnd = true;
    return nullptr;
}

std::unique_ptr<TIdMessageDecoder>
TIdMessageDecoderInfoUUE::CheckForStart(TIdMessage& message, TIdMessageLineReader& reader,
                                        const std::string& line) const
{
    if (line.size() < 10 || UpperAscii(line.substr(0, 6)) != "BEGIN " || line[9] != ' ')
        return nullptr;
    const std::string mode = line.substr(6, 3);
    for (char c : mode)
        if (c < '0' || c > '9')
            return nullptr;
    if (std::atoi(mode.c_str()) < 1)
        return nullptr;
    return std::make_unique<TIdMessageDecoderUUE>(message, reader, line.substr(10));
}

void TIdMessageEncoderUUE::Encode(std::istream& src, std::ostream& dest)
{
    std::unique_ptr<TIdEncoderUUEBase> coder;
    if (FXX)
        coder = std::make_unique<TIdEncoderXXE>();
    else
        coder = std::make_unique<TIdEncoderUUE>();
    dest << "begin " << PermissionCode << ' ' << Filename << "\r\n";
    char chunk[45];
    for (;;) {
        src.read(chunk, sizeof chunk);
        const std::streamsize n = src.gcount();
        if (n <= 0)
            break;
        dest << coder->EncodeBytes(std::string_view(chunk, static_cast<size_t>(n))) << "\r\n";
    }
    dest << (FXX ? IdXXETable[0] : IdUUETable[0]) << "\r\nend\r\n";
}
