#include "netproto/message/id_message_client.h"

#include "netproto/message/id_coder_quoted_printable.h"
#include "netproto/message/id_message.h"
#include "netproto/message/id_message_coder_mime.h"

#include <fstream>
#include <functional>
#include <sstream>

namespace {

// The lines of a text split at CR LF, CR and LF; a line end at the very end
// leaves an empty last line, so joining the lines with CR LF gives the text
// back.
std::vector<std::string> SplitAllLines(const std::string& text)
{
    std::vector<std::string> lines(1);
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            lines.emplace_back();
        } else {
            lines.back() += c;
        }
    }
    return lines;
}

// Text that 7bit cannot carry: 8-bit or control bytes, or a line longer
// than SMTP allows (RFC 5321 section 4.5.3.1.6).
bool NeedsCoding(const std::vector<std::string>& lines)
{
    for (const auto& line : lines) {
        if (line.size() > 998)
            return true;
        for (unsigned char c : line)
            if (c >= 0x80 || (c < 0x20 && c != '\t') || c == 0x7F)
                return true;
    }
    return false;
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i)
        text += (i ? "\r\n" : "") + lines[i];
    return text;
}

std::string Quoted(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

// Hands each line written to it to a function, without its line end, so
// that an encoder's output goes out line by line as it is made.
class LineSink : public std::streambuf {
public:
    explicit LineSink(std::function<void(const std::string&)> out) : FOut(std::move(out)) {}
    // The last line, when it has no line end.
    void Finish()
    {
        if (!FLine.empty())
            Emit();
    }

protected:
    int_type overflow(int_type ch) override
    {
        if (!traits_type::eq_int_type(ch, traits_type::eof()))
            Put(traits_type::to_char_type(ch));
        return traits_type::not_eof(ch);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        for (std::streamsize i = 0; i < n; ++i)
            Put(s[i]);
        return n;
    }

private:
    void Put(char c)
    {
        const bool afterCR = FAfterCR;
        FAfterCR = c == '\r';
        if (c == '\n' && afterCR)
            return;
        if (c == '\r' || c == '\n')
            Emit();
        else
            FLine += c;
    }
    void Emit()
    {
        FOut(FLine);
        FLine.clear();
    }

    std::function<void(const std::string&)> FOut;
    std::string FLine;
    bool FAfterCR = false;
};

// The lines of a message on the connection, up to the delimiter line; once
// it has come, nothing more is read.
class ConnectionReader : public TIdMessageLineReader {
public:
    ConnectionReader(TIdTCPConnection& connection, std::string delimiter)
        : FConnection(connection), FDelimiter(std::move(delimiter))
    {
    }
    bool ReadLine(std::string& line) override
    {
        if (FEnded)
            return false;
        line = FConnection.ReadLn("\r\n", -1, -1);
        if (line == FDelimiter) {
            FEnded = true;
            return false;
        }
        if (line.size() >= 2 && line[0] == '.' && line[1] == '.')
            line.erase(0, 1);
        return true;
    }

private:
    TIdTCPConnection& FConnection;
    std::string FDelimiter;
    bool FEnded = false;
};

} // namespace

bool TIdMessageTextReader::ReadLine(std::string& line)
{
    line.clear();
    std::string chunk;
    bool any = false;
    while (std::getline(FText, chunk, '\n')) {
        any = true;
        if (!chunk.empty() && chunk.back() == '\r') {
            chunk.pop_back();
            line += chunk;
            return true;
        }
        line += chunk;
        if (FText.eof())
            return true;
        // A bare LF stays inside the line.
        line += '\n';
    }
    return any;
}

TIdMessageClient::TIdMessageClient()
{
    // Internet servers answer within minutes (RFC 5321 section 4.5.3.2); a
    // peer that stops answering must not hold the caller longer.
    ReadTimeout = IdReadTimeoutSMTP;
}

void TIdMessageClient::QuitAndClose() noexcept
{
    try {
        if (Connected())
            WriteLn("QUIT");
    } catch (...) {
    }
    try {
        TIdTCPClient::Disconnect();
    } catch (...) {
    }
}

// ---- writing ----------------------------------------------------------------

void TIdMessageClient::WriteMessageLine(const std::string& line)
{
    for (const std::string& part : SplitAllLines(line))
        WriteLn(!part.empty() && part[0] == '.' ? "." + part : part);
}

void TIdMessageClient::WriteHeaderLine(const std::string& line)
{
    const bool foldable = MsgLineLength > 0 && !MsgLineFold.empty() &&
                          (MsgLineFold[0] == ' ' || MsgLineFold[0] == '\t');
    if (!foldable || line.size() <= static_cast<size_t>(MsgLineLength)) {
        WriteMessageLine(line);
        return;
    }
    for (const auto& part : TIdHeaderList::FoldLine(line, MsgLineLength, MsgLineFold))
        WriteMessageLine(part);
}

void TIdMessageClient::SendMsg(TIdMessage& message, bool headersOnly)
{
    OpenWriteBuffer(32768);
    try {
        if (message.NoEncode) {
            for (const auto& line : message.Headers.Lines())
                WriteMessageLine(line);
            WriteMessageLine("");
            if (!headersOnly)
                for (const auto& line : message.Body)
                    WriteMessageLine(line);
        } else {
            SendHeader(message);
            WriteMessageLine("");
            if (!headersOnly)
                SendBody(message);
        }
    } catch (...) {
        ClearWriteBuffer();
        CloseWriteBuffer();
        throw;
    }
    CloseWriteBuffer();
}

void TIdMessageClient::SendHeader(TIdMessage& message)
{
    message.GenerateHeader();
    for (const auto& line : message.Headers.Lines())
        WriteHeaderLine(line);
}

void TIdMessageClient::WriteBodyText(TIdMessage& message)
{
    for (const auto& line : message.Body)
        WriteMessageLine(line);
}

void TIdMessageClient::WriteCoded(const std::vector<std::string>& lines,
                                  const std::string& transferEncoding)
{
    const std::string encoding = UpperAscii(transferEncoding);
    if (encoding == "QUOTED-PRINTABLE") {
        for (const auto& line :
             SplitAllLines(TIdEncoder::EncodeText<TIdEncoderQuotedPrintable>(Joined(lines))))
            WriteMessageLine(line);
    } else if (encoding == "BASE64") {
        LineSink sink([this](const std::string& line) { WriteMessageLine(line); });
        std::ostream out(&sink);
        out.exceptions(std::ios::badbit);
        std::istringstream in(Joined(lines));
        TIdMessageEncoderMIME().Encode(in, out);
        sink.Finish();
    } else {
        for (const auto& line : lines)
            WriteMessageLine(line);
    }
}

void TIdMessageClient::WriteTextPart(const TIdText& part)
{
    TIdHeaderList headers = part.Headers;
    if (headers.Values("Content-Type").empty())
        headers.SetValues("Content-Type", "text/plain");
    if (headers.Values("Content-Transfer-Encoding").empty())
        headers.SetValues("Content-Transfer-Encoding",
                          NeedsCoding(part.Body) ? "quoted-printable" : "7bit");
    for (const auto& line : headers.Lines())
        WriteHeaderLine(line);
    for (const auto& line : part.ExtraHeaders.Lines())
        WriteHeaderLine(line);
    WriteMessageLine("");
    WriteCoded(part.Body, headers.Values("Content-Transfer-Encoding"));
}

void TIdMessageClient::WriteAttachment(const TIdAttachment& part)
{
    const TIdMessageEncoderInfo& encoder = part.Collection().MessageEncoderInfo();
    const std::string name = Quoted(part.FileName);
    std::string type = part.ContentType();
    if (type.empty())
        type = "application/octet-stream";
    if (IdHeaderParam(type, "name").empty()) {
        WriteHeaderLine("Content-Type: " + type + ";");
        WriteHeaderLine("        name=" + name);
    } else {
        WriteHeaderLine("Content-Type: " + type);
    }
    // The encoding that the encoder writes, whatever the part was read with.
    WriteHeaderLine("Content-Transfer-Encoding: " + encoder.TransferEncoding());
    std::string disposition = part.ContentDisposition();
    if (disposition.empty())
        disposition = "attachment";
    if (IdHeaderParam(disposition, "filename").empty()) {
        WriteHeaderLine("Content-Disposition: " + disposition + ";");
        WriteHeaderLine("        filename=" + name);
    } else {
        WriteHeaderLine("Content-Disposition: " + disposition);
    }
    if (!part.ContentID().empty())
        WriteHeaderLine("Content-Id: " + part.ContentID());
    for (const auto& line : part.ExtraHeaders.Lines())
        WriteHeaderLine(line);
    WriteMessageLine("");
    LineSink sink([this](const std::string& line) { WriteMessageLine(line); });
    std::ostream out(&sink);
    out.exceptions(std::ios::badbit);
    part.Encode(out);
    sink.Finish();
}

void TIdMessageClient::SendBody(TIdMessage& message)
{
    TIdMessageParts& parts = message.MessageParts;
    std::vector<const TIdText*> texts;
    std::vector<const TIdAttachment*> attachments;
    for (int i = 0; i < parts.Count(); ++i) {
        if (auto* text = dynamic_cast<const TIdText*>(&parts.Items(i)))
            texts.push_back(text);
        else if (auto* attachment = dynamic_cast<const TIdAttachment*>(&parts.Items(i)))
            attachments.push_back(attachment);
    }
    if (parts.Count() == 0) {
        WriteBodyText(message);
        return;
    }
    if (message.Encoding() == meUU) {
        WriteBodyText(message);
        for (const TIdAttachment* attachment : attachments) {
            DoStatus(hsStatusText, "Encoding attachment");
            LineSink sink([this](const std::string& line) { WriteMessageLine(line); });
            std::ostream out(&sink);
            out.exceptions(std::ios::badbit);
            attachment->Encode(out);
            sink.Finish();
        }
        return;
    }
    const std::string boundary =
        parts.RelatedPartCount() > 0 ? IdMIMEBoundaryRelated : IdMIMEBoundary;
    WriteMessageLine("This is a multi-part message in MIME format");
    WriteMessageLine("");
    DoStatus(hsStatusText, "Encoding text");
    if (attachments.empty()) {
        for (const TIdText* text : texts) {
            WriteMessageLine("--" + boundary);
            WriteTextPart(*text);
        }
    } else if (texts.size() >= 2) {
        const std::string alternative = IdMIMEBoundaryAlternative;
        WriteMessageLine("--" + boundary);
        WriteMessageLine("Content-Type: multipart/alternative; ");
        WriteMessageLine("        boundary=\"" + alternative + "\"");
        WriteMessageLine("");
        for (const TIdText* text : texts) {
            WriteMessageLine("--" + alternative);
            WriteTextPart(*text);
        }
        WriteMessageLine("--" + alternative + "--");
    } else if (texts.size() == 1) {
        WriteMessageLine("--" + boundary);
        WriteTextPart(*texts.front());
    } else {
        WriteMessageLine("--" + boundary);
        WriteMessageLine("Content-Type: text/plain");
        const std::string encoding = NeedsCoding(message.Body) ? "quoted-printable" : "7bit";
        WriteMessageLine("Content-Transfer-Encoding: " + encoding);
        WriteMessageLine("");
        WriteCoded(message.Body, encoding);
    }
    for (const TIdAttachment* attachment : attachments) {
        DoStatus(hsStatusText, "Encoding attachment");
        WriteMessageLine("--" + boundary);
        WriteAttachment(*attachment);
    }
    WriteMessageLine("--" + boundary + "--");
}

// ---- reading ----------------------------------------------------------------

std::string TIdMessageClient::ReadHeader(TIdMessage& message, TIdMessageLineReader& reader,
                                         const std::string& altTerm)
{
    std::string line;
    std::string term = ".";
    while (reader.ReadLine(line)) {
        if (altTerm.empty() ? line.empty() : line == altTerm) {
            term = line;
            break;
        }
        message.Headers.Add(line);
    }
    message.ProcessHeaders();
    return term;
}

void TIdMessageClient::ReadBody(TIdMessage& message, TIdMessageLineReader& reader)
{
    std::string line;
    if (message.NoDecode) {
        while (reader.ReadLine(line))
            message.Body.push_back(line);
        return;
    }
    const TIdMessageDecoderList& decoders = TIdMessageDecoderList::Instance();
    std::unique_ptr<TIdMessageDecoder> decoder;
    bool ended = false;
    for (;;) {
        if (!decoder) {
            if (ended || !reader.ReadLine(line))
                return;
            decoder = decoders.CheckForStart(message, reader, line);
            if (!decoder) {
                message.Body.push_back(line);
                continue;
            }
        }
        decoder->ReadHeader();
        std::unique_ptr<TIdMessageDecoder> next;
        switch (decoder->PartType()) {
        case mcptText: {
            std::ostringstream text;
            next = decoder->ReadBody(text, ended);
            const std::string content = text.str();
            TIdText& part = message.MessageParts.AddText(
                content.empty() ? std::vector<std::string>() : SplitAllLines(content));
            part.Headers = decoder->Headers();
            break;
        }
        case mcptAttachment: {
            TIdAttachment& part = message.MessageParts.AddAttachment(MakeTempFileName());
            part.DeleteTempFile = message.DeleteTempFiles;
            part.FileName = decoder->Filename();
            part.Headers = decoder->Headers();
            std::ofstream file(part.StoredPathName, std::ios::binary | std::ios::trunc);
            next = decoder->ReadBody(file, ended);
            if (!file.flush())
                throw EIdException("Cannot write \"" + part.StoredPathName + "\"");
            break;
        }
        case mcptIgnore:
            break;
        default:
            throw EIdException("Unknown Message Part Type.");
        }
        decoder = std::move(next);
    }
}

std::string TIdMessageClient::ReceiveHeader(TIdMessage& message, const std::string& altTerm)
{
    ConnectionReader reader(*this, ".");
    return ReadHeader(message, reader, altTerm);
}

void TIdMessageClient::ReceiveBody(TIdMessage& message, const std::string& delimiter)
{
    ConnectionReader reader(*this, delimiter);
    ReadBody(message, reader);
}

void TIdMessageClient::ReceiveMessage(TIdMessage& message)
{
    ConnectionReader reader(*this, ".");
    if (ReadHeader(message, reader, "").empty())
        ReadBody(message, reader);
}

void TIdMessageClient::ReceiveMessage(TIdMessage& message, std::istream& text)
{
    TIdMessageTextReader reader(text);
    if (ReadHeader(message, reader, "").empty())
        ReadBody(message, reader);
}
