#include "netproto/message/id_message_coder_mime.h"

#include "netproto/core/id_global.h"
#include "netproto/message/id_coder_mime.h"
#include "netproto/message/id_coder_quoted_printable.h"
#include "netproto/message/id_header_coder.h"
#include "netproto/message/id_message.h"

namespace {

std::string LowerTrim(const std::string& text)
{
    std::string out(TrimBlanks(text));
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    return out;
}

bool StartsWithNoCase(const std::string& text, const std::string& prefix)
{
    return UpperAscii(text.substr(0, prefix.size())) == UpperAscii(prefix);
}

// A boundary line may carry blanks after it (RFC 2046 section 5.1.1).
std::string TrimRightBlanks(const std::string& line)
{
    size_t end = line.size();
    while (end > 0 && (line[end - 1] == ' ' || line[end - 1] == '\t'))
        --end;
    return line.substr(0, end);
}

// The content of one part as it arrives line by line, decoded by its
// transfer encoding. The line end before a boundary belongs to the
// boundary, so there lines are joined, not ended, by CR LF; a body that is
// one part keeps every line end.
class PartContent {
public:
    PartContent(const std::string& transferEncoding, std::ostream& dest, bool wholeBody)
        : FDest(dest), FBase64(transferEncoding == "base64"),
          FQuoted(transferEncoding == "quoted-printable"), FWholeBody(wholeBody)
    {
    }

    void Add(const std::string& line)
    {
        if (FBase64) {
            // Characters outside the alphabet are ignored (RFC 2045 section
            // 6.8); whole groups are decoded as they come.
            for (char c : line)
                if (c == '=' ||
                    TIdDecoderMIME::Base64DecodeTable()[static_cast<unsigned char>(c)] < 64)
                    FPending += c;
            DecodeBase64(FPending.size() / 4 * 4);
            return;
        }
        if (!FFirst && !FWholeBody)
            FPending += "\r\n";
        FFirst = false;
        FPending += line;
        if (FWholeBody)
            FPending += "\r\n";
        if (!FQuoted) {
            FDest << FPending;
            FPending.clear();
        }
    }

    void Finish()
    {
        if (FBase64) {
            // A last group cut short is completed with fill characters.
            if (FPending.size() % 4 >= 2)
                FPending.append(4 - FPending.size() % 4, '=');
            DecodeBase64(FPending.size() / 4 * 4);
        } else if (FQuoted) {
            FDest << TIdDecoder::DecodeText<TIdDecoderQuotedPrintable>(FPending);
        }
        FPending.clear();
    }

private:
    void DecodeBase64(size_t count)
    {
        // A group that does not decode is dropped rather than losing the
        // whole message.
        for (size_t i = 0; i < count; i += 4) {
            try {
                TIdDecoderMIME().DecodeToStream(std::string_view(FPending).substr(i, 4), FDest);
            } catch (const EIdException&) {
            }
        }
        FPending.erase(0, count);
    }

    std::ostream& FDest;
    bool FBase64;
    bool FQuoted;
    bool FWholeBody;
    bool FFirst = true;
    std::string FPending;
};

} // namespace

TIdMessageDecoderMIME::TIdMessageDecoderMIME(TIdMessage& message, TIdMessageLineReader& reader)
    : TIdMessageDecoder(message, reader)
{
}

TIdMessageDecoderMIME::TIdMessageDecoderMIME(TIdMessage& message, TIdMessageLineReader& reader,
                                             const std::string& firstLine)
    : TIdMessageDecoder(message, reader), FSinglePart(true), FFirstLine(firstLine)
{
}

bool TIdMessageDecoderMIME::SkipToNextPart()
{
    std::string line;
    for (;;) {
        const std::string boundary = FMessage.MIMEBoundary.Boundary();
        if (boundary.empty() || !FReader.ReadLine(line))
            return false;
        const std::string text = TrimRightBlanks(line);
        if (text == "--" + boundary)
            return true;
        if (text == "--" + boundary + "--")
            FMessage.MIMEBoundary.Pop();
    }
}

void TIdMessageDecoderMIME::ReadHeader()
{
    if (FSinglePart) {
        for (const char* name :
             {"Content-Type", "Content-Transfer-Encoding", "Content-Disposition"})
            FHeaders.SetValues(name, FMessage.Headers.Values(name));
    } else {
        for (;;) {
            std::string line;
            bool ended = true;
            while (FReader.ReadLine(line)) {
                if (line.empty()) {
                    ended = false;
                    break;
                }
                FHeaders.Add(line);
            }
            const std::string type = FHeaders.Values("Content-Type");
            if (ended && FHeaders.Count() == 0) {
                FPartType = mcptIgnore;
                return;
            }
            if (!StartsWithNoCase(type, "multipart/"))
                break;
            // A nested multipart: its own parts follow its boundary.
            FMessage.MIMEBoundary.Push(TIdMIMEBoundary::FindBoundary(type));
            FHeaders.Clear();
            if (!SkipToNextPart()) {
                FPartType = mcptIgnore;
                return;
            }
        }
    }
    const std::string type = FHeaders.Values("Content-Type");
    const std::string disposition = FHeaders.Values("Content-Disposition");
    FFilename = IdHeaderParam(disposition, "filename");
    if (FFilename.empty())
        FFilename = IdHeaderParam(type, "name");
    FFilename = DecodeHeaderWords(FFilename);
    std::string kind = disposition;
    kind = LowerTrim(FetchToken(kind, ";"));
    // A part that is neither text nor marked as an attachment (a forwarded
    // message, an image without a name) is kept as an attachment.
    if (kind == "attachment" || !FFilename.empty())
        FPartType = mcptAttachment;
    else if (type.empty() || StartsWithNoCase(type, "text/"))
        FPartType = mcptText;
    else
        FPartType = mcptAttachment;
}

std::unique_ptr<TIdMessageDecoder> TIdMessageDecoderMIME::ReadBody(std::ostream& dest, bool& msgEnd)
{
    PartContent content(LowerTrim(FHeaders.Values("Content-Transfer-Encoding")), dest, FSinglePart);
    std::string line;
    if (FSinglePart) {
        content.Add(FFirstLine);
        while (FReader.ReadLine(line))
            content.Add(line);
        content.Finish();
        msgEnd = true;
        return nullptr;
    }
    for (;;) {
        const std::string boundary = FMessage.MIMEBoundary.Boundary();
        if (!FReader.ReadLine(line)) {
            content.Finish();
            msgEnd = true;
            return nullptr;
        }
        if (!boundary.empty()) {
            const std::string text = TrimRightBlanks(line);
            if (text == "--" + boundary) {
                content.Finish();
                return std::make_unique<TIdMessageDecoderMIME>(FMessage, FReader);
            }
            if (text == "--" + boundary + "--") {
                content.Finish();
                FMessage.MIMEBoundary.Pop();
                if (SkipToNextPart())
                    return std::make_unique<TIdMessageDecoderMIME>(FMessage, FReader);
                return nullptr;
            }
        }
        content.Add(line);
    }
}

std::unique_ptr<TIdMessageDecoder>
TIdMessageDecoderInfoMIME::CheckForStart(TIdMessage& message, TIdMessageLineReader& reader,
                                         const std::string& line) const
{
    const std::string boundary = message.MIMEBoundary.Boundary();
    if (!boundary.empty()) {
        if (TrimRightBlanks(line) == "--" + boundary)
            return std::make_unique<TIdMessageDecoderMIME>(message, reader);
        return nullptr;
    }
    const std::string encoding = LowerTrim(message.ContentTransferEncoding);
    if (encoding == "base64" || encoding == "quoted-printable")
        return std::make_unique<TIdMessageDecoderMIME>(message, reader, line);
    return nullptr;
}

void TIdMessageEncoderMIME::Encode(std::istream& src, std::ostream& dest)
{
    TIdEncoderMIME coder;
    char chunk[57];
    for (;;) {
        src.read(chunk, sizeof chunk);
        const std::streamsize n = src.gcount();
        if (n <= 0)
            break;
        dest << coder.EncodeBytes(std::string_view(chunk, static_cast<size_t>(n))) << "\r\n";
    }
}

std::unique_ptr<TIdMessageEncoder> TIdMessageEncoderInfoMIME::MakeEncoder() const
{
    return std::make_unique<TIdMessageEncoderMIME>();
}

void TIdMessageEncoderInfoMIME::InitializeHeaders(TIdMessage& message) const
{
    const TIdMessageParts& parts = message.MessageParts;
    if (parts.RelatedPartCount() > 0)
        message.ContentType =
            std::string("multipart/related; type=\"multipart/alternative\"; boundary=\"") +
            IdMIMEBoundaryRelated + "\"";
    else if (parts.AttachmentCount() > 0)
        message.ContentType = std::string("multipart/mixed; boundary=\"") + IdMIMEBoundary + "\"";
    else if (parts.TextPartCount() > 0)
        message.ContentType =
            std::string("multipart/alternative; boundary=\"") + IdMIMEBoundary + "\"";
}
