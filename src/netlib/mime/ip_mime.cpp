#include "netlib/mime/ip_mime.h"

#include "netlib/base/ip_base.h"
#include "netlib/base/ip_const.h"
#include "netlib/base/ip_utils.h"
#include "netlib/mime/ip_mime_coders.h"
#include "netproto/core/id_global.h"
#include "platform/atomic_file.h"
#include "platform/date_time.h"
#include "platform/text.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <system_error>
#include <unistd.h>

namespace IpMime {

std::string Trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

std::string Lower(std::string text)
{
    for (auto& c : text)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
    return text;
}

bool SameText(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && Lower(a) == Lower(b);
}

bool SplitField(const std::string& line, std::string& name, std::string& value)
{
    size_t i = 0;
    while (i < line.size() && line[i] != ':' && line[i] >= 33 && line[i] <= 126)
        ++i;
    if (i == 0)
        return false;
    size_t colon = i;
    while (colon < line.size() && (line[colon] == ' ' || line[colon] == '\t'))
        ++colon;
    if (colon >= line.size() || line[colon] != ':')
        return false;
    name = line.substr(0, i);
    value = line.substr(colon + 1);
    return true;
}

bool IsFieldLine(const std::string& line)
{
    std::string name, value;
    return SplitField(line, name, value);
}

std::vector<std::string> SplitList(const std::string& text, char separator)
{
    std::vector<std::string> out;
    auto add = [&out](const std::string& piece) {
        if (std::string trimmed = Trim(piece); !trimmed.empty())
            out.push_back(std::move(trimmed));
    };
    std::string piece;
    bool quoted = false;
    int comment = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == separator && !quoted && comment == 0) {
            add(piece);
            piece.clear();
            continue;
        }
        piece += c;
        if (c == '\\' && (quoted || comment > 0) && i + 1 < text.size())
            piece += text[++i];
        else if (c == '"' && comment == 0)
            quoted = !quoted;
        else if (c == '(' && !quoted)
            ++comment;
        else if (c == ')' && !quoted && comment > 0)
            --comment;
    }
    add(piece);
    return out;
}

std::vector<std::string> ComposeField(const std::string& field,
                                      const std::vector<std::string>& values,
                                      const std::string& separator, bool folded)
{
    std::vector<std::string> lines;
    std::string line = field;
    bool lineHasValue = false;
    for (size_t i = 0; i < values.size(); ++i) {
        if (lineHasValue && line.size() + values[i].size() > 1000) {
            lines.push_back(line);
            line = "\t";
        }
        line += values[i];
        lineHasValue = true;
        if (i + 1 < values.size()) {
            line += separator;
            if (folded) {
                lines.push_back(line);
                line = "\t";
                lineHasValue = false;
            }
        }
    }
    lines.push_back(line);
    return lines;
}

std::string ExtractFileName(const std::string& path)
{
    const auto slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string SafeFileName(const std::string& name)
{
    std::string out;
    for (unsigned char c : ExtractFileName(name))
        if (c >= 32 && c != 127)
            out += char(c);
    out = Trim(out);
    return out == "." || out == ".." ? std::string() : out;
}

std::string NewBoundary()
{
    static std::atomic<uint32_t> counter{0};
    static std::mutex lock;
    static std::mt19937 random{std::random_device{}()};
    uint32_t noise;
    {
        std::lock_guard<std::mutex> guard(lock);
        noise = random();
    }
    const TDateTime now = Now();
    const double day = std::floor(now);
    char text[80];
    std::snprintf(text, sizeof text, "_NextPart_%08X-%08X-%08X-%04X%04X", uint32_t(day),
                  uint32_t((now - day) * 10000), IdGetTickCount(), noise % 65535,
                  counter.fetch_add(1) & 0xFFFF);
    return text;
}

} // namespace IpMime

using namespace IpMime;

namespace {

struct TParam {
    std::string Name; // lower case
    std::string Value;
};

// The first item of a content field and its parameters.
std::string ParseParams(const std::string& text, std::vector<TParam>& params)
{
    std::vector<std::string> items;
    std::string current;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted && c == '\\' && i + 1 < text.size()) {
            current += c;
            current += text[++i];
            continue;
        }
        if (c == '"')
            quoted = !quoted;
        if (c == ';' && !quoted) {
            items.push_back(current);
            current.clear();
            continue;
        }
        current += c;
    }
    items.push_back(current);
    params.clear();
    for (size_t i = 1; i < items.size(); ++i) {
        const auto eq = items[i].find('=');
        if (eq == std::string::npos)
            continue;
        TParam param{Lower(Trim(items[i].substr(0, eq))), Trim(items[i].substr(eq + 1))};
        if (!param.Value.empty() && param.Value[0] == '"') {
            std::string value;
            for (size_t j = 1; j < param.Value.size() && param.Value[j] != '"'; ++j) {
                if (param.Value[j] == '\\' && j + 1 < param.Value.size())
                    ++j;
                value += param.Value[j];
            }
            param.Value = value;
        }
        if (!param.Name.empty())
            params.push_back(std::move(param));
    }
    return Trim(items[0]);
}

std::string PercentDecode(const std::string& text, char escape = '%')
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == escape && i + 2 < text.size()) {
            const int hi = HexDigitValue(text[i + 1]);
            const int lo = HexDigitValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += char(hi << 4 | lo);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

// Our texts are Windows-1252; a UTF-8 value is brought over.
std::string FromCharset(const std::string& charset, const std::string& bytes)
{
    if (SameText(charset, "utf-8") || SameText(charset, "utf8"))
        return FromQt(QString::fromUtf8(bytes.data(), qsizetype(bytes.size())));
    return bytes;
}

// A name with RFC 2047 encoded words, as many mailers write file names
// inside the quotes; blanks between two encoded words belong to neither.
std::string DecodeWords(const std::string& text)
{
    std::string out;
    size_t at = 0;
    bool afterWord = false;
    while (at < text.size()) {
        const size_t start = text.find("=?", at);
        const size_t q1 = start == std::string::npos ? start : text.find('?', start + 2);
        const size_t q2 = q1 == std::string::npos ? q1 : text.find('?', q1 + 1);
        const size_t end = q2 == std::string::npos ? q2 : text.find("?=", q2 + 1);
        if (end == std::string::npos || q2 != q1 + 2) {
            out += text.substr(at);
            break;
        }
        const std::string between = text.substr(at, start - at);
        if (!afterWord || between.find_first_not_of(" \t") != std::string::npos)
            out += between;
        const std::string payload = text.substr(q2 + 1, end - q2 - 1);
        std::string bytes;
        if (text[q1 + 1] == 'B' || text[q1 + 1] == 'b') {
            const QByteArray decoded = QByteArray::fromBase64(QByteArray::fromStdString(payload));
            bytes.assign(decoded.constData(), size_t(decoded.size()));
        } else {
            std::string spaced = payload;
            std::replace(spaced.begin(), spaced.end(), '_', ' ');
            bytes = PercentDecode(spaced, '=');
        }
        // A charset may carry a language after "*" (RFC 2231).
        const std::string charset = text.substr(start + 2, q1 - start - 2);
        out += FromCharset(charset.substr(0, charset.find('*')), bytes);
        at = end + 2;
        afterWord = true;
    }
    return out;
}

// A parameter's value, plain or in the forms of RFC 2231.
std::string ParamValue(const std::vector<TParam>& params, const std::string& key)
{
    const std::string star = key + "*";
    for (const auto& p : params) {
        if (p.Name != star)
            continue;
        const auto q1 = p.Value.find('\'');
        const auto q2 = q1 == std::string::npos ? q1 : p.Value.find('\'', q1 + 1);
        if (q2 == std::string::npos)
            return PercentDecode(p.Value);
        return FromCharset(p.Value.substr(0, q1), PercentDecode(p.Value.substr(q2 + 1)));
    }
    // Continuations: key*0, key*1 ... each coded when it ends in "*".
    std::string joined;
    std::string charset;
    bool found = false;
    for (int n = 0;; ++n) {
        const std::string plain = key + "*" + std::to_string(n);
        const auto it = std::find_if(params.begin(), params.end(), [&](const TParam& p) {
            return p.Name == plain || p.Name == plain + "*";
        });
        if (it == params.end())
            break;
        found = true;
        std::string value = it->Value;
        if (it->Name.back() == '*') {
            if (n == 0) {
                const auto q1 = value.find('\'');
                const auto q2 = q1 == std::string::npos ? q1 : value.find('\'', q1 + 1);
                if (q2 != std::string::npos) {
                    charset = value.substr(0, q1);
                    value = value.substr(q2 + 1);
                }
            }
            value = PercentDecode(value);
        }
        joined += value;
    }
    if (found)
        return FromCharset(charset, joined);
    for (const auto& p : params)
        if (p.Name == key)
            return p.Value;
    return std::string();
}

// A parameter for a content field, quoted when it must be.
std::string QuotedParam(const std::string& key, const std::string& value)
{
    std::string out = key + "=\"";
    for (char c : value) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

bool IsPlainAscii(const std::string& text)
{
    return std::all_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u >= 32 && u < 127;
    });
}

// A file name parameter: quoted, or RFC 2231 when it holds 8-bit text.
std::string FileNameParam(const std::string& key, const std::string& value)
{
    if (!IsPlainAscii(value)) {
        static constexpr char digits[] = "0123456789ABCDEF";
        const QByteArray utf8 = ToQt(value).toUtf8();
        std::string out = key + "*=utf-8''";
        for (unsigned char c : utf8) {
            if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                std::string_view("!#$&+-.^_`|~").find(char(c)) != std::string_view::npos) {
                out += char(c);
            } else {
                out += '%';
                out += digits[c >> 4];
                out += digits[c & 15];
            }
        }
        return out;
    }
    // Quoted even when bare would do: munpack reads a bare name up to the
    // next blank, parameters after it included.
    return QuotedParam(key, value);
}

// Lines of a header block as name and unfolded value.
struct TField {
    std::string Name;
    std::string Value;
};

std::vector<TField> ParseFields(const std::vector<std::string>& lines)
{
    std::vector<TField> fields;
    for (const auto& line : lines) {
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            if (!fields.empty())
                fields.back().Value += line;
            continue;
        }
        TField field;
        if (SplitField(line, field.Name, field.Value))
            fields.push_back(std::move(field));
    }
    for (auto& field : fields)
        field.Value = Trim(field.Value);
    return fields;
}

std::string FieldValue(const std::vector<TField>& fields, const std::string& name)
{
    for (const auto& field : fields)
        if (SameText(field.Name, name))
            return field.Value;
    return std::string();
}

// Whether the line is the boundary's delimiter or closing line; blanks after
// it are transport padding.
bool IsBoundaryLine(const std::string& line, const std::string& dashBoundary, bool& closing)
{
    if (line.compare(0, dashBoundary.size(), dashBoundary) != 0)
        return false;
    size_t at = dashBoundary.size();
    closing = line.compare(at, 2, "--") == 0;
    if (closing)
        at += 2;
    return line.find_first_not_of(" \t", at) == std::string::npos;
}

// Writes the body as lines joined by CR LF; the break after the last line is
// added only when the stream ended with one.
class TBodyWriter {
public:
    explicit TBodyWriter(TIpMimeEntity& entity) : FEntity(entity) {}
    void Line(const std::string& line)
    {
        auto& body = FEntity.Body();
        if (FLines++ > 0)
            body.WriteBuffer("\r\n", 2);
        body.WriteString(line);
        if ((FLines & 4095) == 0 && body.GetSize() > IpLargeBodySize)
            FSpill();
    }
    void EndOfStream(bool lineBreak)
    {
        if (FLines > 0 && lineBreak)
            FEntity.Body().WriteBuffer("\r\n", 2);
    }
    std::function<void()> FSpill;

private:
    TIpMimeEntity& FEntity;
    int64_t FLines = 0;
};

bool StreamEndsWithLineBreak(TIpAnsiTextStream& stream)
{
    const int64_t size = stream.GetSize();
    if (size == 0)
        return false;
    const int64_t position = stream.GetPosition();
    char last = 0;
    stream.Seek(size - 1, soFromBeginning);
    stream.Read(&last, 1);
    stream.Seek(position, soFromBeginning);
    return last == '\n';
}

struct TExtensionType {
    const char* Extension;
    const char* Type;
    const char* Subtype;
    TIpMimeEncodingMethod Encoding;
};

constexpr TExtensionType ExtensionTable[] = {
    {".bin", "application", "octet-stream", emBase64},
    {".txt", "text", "plain", em8Bit},
    {".rtf", "application", "msword", em8Bit},
    {".doc", "application", "msword", emBase64},
    {".ps", "application", "postscript", em8Bit},
    {".tif", "image", "tif", emBase64},
    {".gif", "image", "gif", emBase64},
    {".jpg", "image", "jpeg", emBase64},
    {".bmp", "image", "bmp", emBase64},
    {".mov", "video", "quicktime", emBase64},
    {".avi", "video", "avi", emBase64},
    {".wav", "video", "wave", emBase64},
    {".aif", "audio", "aif", emBase64},
    {".zip", "application", "x-zip-compressed", emBase64},
};

// Writes to a file that appears whole, under its name, only on Commit.
class TAtomicFileStream : public TIpStream {
public:
    explicit TAtomicFileStream(const std::string& path) : FWriter(path) {}
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* buffer, int64_t count) override
    {
        FWriter.Write(std::string_view(static_cast<const char*>(buffer), size_t(count)));
        FSize += count;
        return count;
    }
    int64_t Seek(int64_t, int) override { return FSize; }
    void SetSize(int64_t) override {}
    void Commit() { FWriter.Commit(); }

private:
    TAtomicFileWriter FWriter;
    int64_t FSize = 0;
};

std::unique_ptr<TIpMemMapStream> NewSpillFile(int64_t size)
{
    const std::string name = GetTemporaryFile(GetTemporaryPath());
    if (name.empty())
        throw EIpBaseException(std::system_category().message(errno) + IpStr(IpConst::SFileName) +
                               GetTemporaryPath());
    // The name was made as an empty file: it opens as a new one.
    ::unlink(name.c_str());
    auto spill = std::make_unique<TIpMemMapStream>(name, false, true);
    spill->SetSize(std::max<int64_t>(size, 65536));
    spill->Open();
    // Only the open file is used from here: a crash leaves nothing behind.
    ::unlink(name.c_str());
    return spill;
}

} // namespace

// Header items

void TIpHeaderItem::SetName(const std::string& name)
{
    FName = name;
    FNameL = Lower(name);
}

TIpHeaderItem* TIpHeaderCollection::GetItem(int index) const
{
    return index >= 0 && index < Count() ? FItems[size_t(index)].get() : nullptr;
}

void TIpHeaderCollection::SetItem(int index, const TIpHeaderItem& item)
{
    if (TIpHeaderItem* target = GetItem(index)) {
        target->SetName(item.Name());
        target->IsProperty = item.IsProperty;
        target->Value = item.Value;
    }
}

TIpHeaderItem* TIpHeaderCollection::Add()
{
    FItems.push_back(std::make_unique<TIpHeaderItem>(this));
    return FItems.back().get();
}

void TIpHeaderCollection::Delete(int index)
{
    if (index >= 0 && index < Count())
        FItems.erase(FItems.begin() + index);
}

int TIpHeaderCollection::HasHeader(const std::string& name) const
{
    const std::string lower = Lower(name);
    for (int i = 0; i < Count(); ++i)
        if (FItems[size_t(i)]->NameL() == lower)
            return i;
    return -1;
}

void TIpHeaderCollection::HeaderByName(const std::string& name,
                                       std::vector<std::string>& lines) const
{
    lines.clear();
    if (const int i = HasHeader(name); i >= 0)
        lines = FItems[size_t(i)]->Value;
}

void TIpHeaderCollection::LoadHeaders(const std::vector<std::string>& lines, bool append)
{
    if (!append)
        Clear();
    TIpHeaderItem* current = nullptr;
    std::string value;
    auto finish = [&] {
        if (current)
            current->Value.assign(1, Trim(value));
        current = nullptr;
    };
    for (const auto& line : lines) {
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            if (current)
                value += "\t" + Trim(line);
            continue;
        }
        finish();
        std::string name;
        if (!SplitField(line, name, value))
            continue;
        current = Add();
        current->SetName(name);
    }
    finish();
}

// Part list

TIpMimeEntity* TIpMimeParts::Add(std::unique_ptr<TIpMimeEntity> part)
{
    FParts.push_back(std::move(part));
    return FParts.back().get();
}

std::unique_ptr<TIpMimeEntity> TIpMimeParts::Remove(TIpMimeEntity* part)
{
    const int i = IndexOf(part);
    if (i < 0)
        return nullptr;
    std::unique_ptr<TIpMimeEntity> taken = std::move(FParts[size_t(i)]);
    FParts.erase(FParts.begin() + i);
    return taken;
}

int TIpMimeParts::IndexOf(const TIpMimeEntity* part) const
{
    for (size_t i = 0; i < FParts.size(); ++i)
        if (FParts[i].get() == part)
            return int(i);
    return -1;
}

void TIpMimeParts::Delete(int index)
{
    if (index < 0 || index >= GetCount())
        return;
    // Out of the list first, so the part's destructor finds itself gone.
    std::unique_ptr<TIpMimeEntity> taken = std::move(FParts[size_t(index)]);
    FParts.erase(FParts.begin() + index);
}

void TIpMimeParts::Clear()
{
    while (!FParts.empty())
        Delete(GetCount() - 1);
}

TIpMimeEntity* TIpMimeParts::GetPart(int index) const
{
    return index >= 0 && index < GetCount() ? FParts[size_t(index)].get() : nullptr;
}

// Entity

TIpMimeEntity::TIpMimeEntity(TIpMimeEntity* parent)
    : FBody(std::make_unique<TIpAnsiTextStream>(std::make_unique<TIpMemoryStream>())),
      FParent(parent)
{
    if (parent) {
        FParentBoundary = parent->Boundary;
        FDepth = parent->FDepth + 1;
    }
}

TIpMimeEntity::~TIpMimeEntity()
{
    FMimeParts.Clear();
    // Destroyed by someone other than its parent's list: leave the list.
    if (FParent)
        (void)FParent->FMimeParts.Remove(this).release();
}

void TIpMimeEntity::ClearBody()
{
    FBody = std::make_unique<TIpAnsiTextStream>(std::make_unique<TIpMemoryStream>());
}

void TIpMimeEntity::ClearBodyLargeAttach(int64_t size)
{
    FBody = std::make_unique<TIpAnsiTextStream>(NewSpillFile(size));
}

void TIpMimeEntity::SpillLargeBody()
{
    if (!dynamic_cast<TIpMemoryStream*>(FBody->Stream()))
        return;
    FBody->Flush();
    auto spill = NewSpillFile(FBody->GetSize() * 2);
    spill->CopyFrom(*FBody->Stream(), 0);
    auto body = std::make_unique<TIpAnsiTextStream>(std::move(spill));
    body->Seek(0, soFromEnd);
    FBody = std::move(body);
}

void TIpMimeEntity::Clear()
{
    ClearBody();
    FMimeParts.Clear();
    for (std::string* field :
         {&Name, &Boundary, &CharSet, &ContentDescription, &ContentDispositionType, &ContentID,
          &ContentSubtype, &ContentType, &CreationDate, &FileName, &ModificationDate, &MimeVersion,
          &ReadDate, &RelatedType, &RelatedSubtype, &Start, &StartInfo})
        field->clear();
    ContentTransferEncoding = emUnknown;
    IsMime = false;
    IsMultipart = false;
}

bool TIpMimeEntity::ContainsSpecialChars(const std::string& text)
{
    static constexpr std::string_view specials = "\"(),/:;<=>?@[]\\";
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u <= 32 || (u < 127 && specials.find(c) != std::string_view::npos);
    });
}

void TIpMimeEntity::DoOnCodingProgress(int64_t done, int64_t total, bool& abort)
{
    if (FParent) {
        FParent->DoOnCodingProgress(done, total, abort);
        return;
    }
    if (total <= 0)
        return;
    FProgress = uint8_t(std::min<int64_t>(100, done * 100 / total));
    if (FProgress / 10 == 0)
        FLastProgress = 0;
    if (FProgress / 10 > FLastProgress / 10) {
        FLastProgress = FProgress;
        if (OnCodingProgress)
            OnCodingProgress(this, FProgress, abort);
    }
}

// Reading

void TIpMimeEntity::DecodeContentType(const std::string& text)
{
    std::vector<TParam> params;
    const std::string type = ParseParams(text, params);
    ContentType.clear();
    const auto slash = type.find('/');
    if (slash != std::string::npos) {
        ContentType = Trim(type.substr(0, slash));
        ContentSubtype = Trim(type.substr(slash + 1));
    } else {
        ContentType = type;
    }
    IsMultipart = SameText(ContentType, "multipart");
    Name = SafeFileName(DecodeWords(ParamValue(params, "name")));
    Boundary = ParamValue(params, "boundary");
    CharSet = ParamValue(params, "charset");
    const std::string related = ParamValue(params, "type");
    if (!related.empty()) {
        const auto at = related.find('/');
        RelatedType = related.substr(0, at);
        RelatedSubtype = at == std::string::npos ? std::string() : related.substr(at + 1);
    }
    Start = ParamValue(params, "start");
    StartInfo = ParamValue(params, "start-info");
}

void TIpMimeEntity::DecodeContentDisposition(const std::string& text)
{
    std::vector<TParam> params;
    ContentDispositionType = ParseParams(text, params);
    FileName = SafeFileName(DecodeWords(ParamValue(params, "filename")));
    CreationDate = ParamValue(params, "creation-date");
    ModificationDate = ParamValue(params, "modification-date");
    ReadDate = ParamValue(params, "read-date");
    const std::string size = ParamValue(params, "size");
    char* end = nullptr;
    const long long value = std::strtoll(size.c_str(), &end, 10);
    Size = !size.empty() && end && *end == '\0' && value > 0 ? value : 0;
}

void TIpMimeEntity::DecodeContentTransferEncoding(const std::string& text)
{
    const std::string value = Lower(Trim(text));
    static const std::pair<const char*, TIpMimeEncodingMethod> names[] = {
        {"7bit", em7Bit},          {"8bit", em8Bit},           {"base64", emBase64},
        {"binary", emBinary},      {"binhex", emBinHex},       {"quoted-printable", emQuoted},
        {"uuencoded", emUUEncode}, {"x-uuencode", emUUEncode}, {"uuencode", emUUEncode},
        {"x-uue", emUUEncode},
    };
    ContentTransferEncoding = emUnknown;
    for (const auto& [name, method] : names)
        if (value == name)
            ContentTransferEncoding = method;
}

void TIpMimeEntity::DecodeMimeHeaders(const std::vector<std::string>& lines)
{
    const std::vector<TField> fields = ParseFields(lines);
    const std::string type = FieldValue(fields, "Content-Type");
    IsMime = !type.empty();
    if (IsMime) {
        DecodeContentType(type);
        if (IsMultipart && Boundary.empty())
            throw EIpBaseException(IpStr(IpConst::SNoBoundary));
    }
    // A part without a type is still text with a coding and a disposition.
    MimeVersion = FieldValue(fields, "MIME-Version");
    DecodeContentTransferEncoding(FieldValue(fields, "Content-Transfer-Encoding"));
    ContentDescription = FieldValue(fields, "Content-Description");
    ContentID = FieldValue(fields, "Content-ID");
    const std::string disposition = FieldValue(fields, "Content-Disposition");
    if (!disposition.empty())
        DecodeContentDisposition(disposition);
    if (SameText(ContentDispositionType, "attachment"))
        ++(FParent ? FParent : this)->AttachmentCount;
}

void TIpMimeEntity::DecodeEntity(TIpAnsiTextStream& stream, std::string& line)
{
    DecodeEntityAt(stream, line, FDepth);
}

bool TIpMimeEntity::DecodeEntityAt(TIpAnsiTextStream& stream, std::string& line, int depth)
{
    if (depth > IpMaxMimeNesting)
        throw EIpBaseException(IpStr(IpConst::SMimeNestingErr));
    bool atEnd = !stream.ReadLine(line);
    if (!atEnd && IsFieldLine(line)) {
        std::vector<std::string> header;
        while (!atEnd && !line.empty()) {
            header.push_back(line);
            atEnd = !stream.ReadLine(line);
        }
        DecodeMimeHeaders(header);
        if (!atEnd)
            atEnd = !stream.ReadLine(line);
    } else if (!atEnd && line.empty()) {
        atEnd = !stream.ReadLine(line);
    }
    return DecodeEntityBody(stream, line, atEnd, depth);
}

bool TIpMimeEntity::DecodeEntityBody(TIpAnsiTextStream& stream, std::string& line, bool atEnd,
                                     int depth)
{
    const std::string dashParent = FParentBoundary.empty() ? "" : "--" + FParentBoundary;
    const std::string dashOwn = IsMultipart && !Boundary.empty() ? "--" + Boundary : "";
    TBodyWriter body(*this);
    body.FSpill = [this] { SpillLargeBody(); };
    bool closed = false;
    int64_t emptyEpilogue = 0;
    bool closing = false;
    while (!atEnd) {
        if (!dashParent.empty() && IsBoundaryLine(line, dashParent, closing))
            return false;
        if (!dashOwn.empty() && IsBoundaryLine(line, dashOwn, closing)) {
            if (closing) {
                closed = true;
            } else {
                auto part = std::make_unique<TIpMimeEntity>(this);
                TIpMimeEntity* child = FMimeParts.Add(std::move(part));
                atEnd = child->DecodeEntityAt(stream, line, depth + 1);
                continue;
            }
        } else if (closed && line.empty()) {
            // Empty lines of the epilogue count only when text follows them.
            ++emptyEpilogue;
        } else {
            for (; emptyEpilogue > 0; --emptyEpilogue)
                body.Line(std::string());
            body.Line(line);
        }
        atEnd = !stream.ReadLine(line);
    }
    body.EndOfStream(!closed && StreamEndsWithLineBreak(stream));
    line.clear();
    return true;
}

void TIpMimeEntity::DecodeEntityAsAttachment(TIpAnsiTextStream& stream, std::string& line)
{
    auto part = std::make_unique<TIpMimeEntity>(this);
    part->ContentType = ContentType;
    part->ContentSubtype = ContentSubtype;
    part->ContentDispositionType = ContentDispositionType;
    part->ContentDescription = ContentDescription;
    part->ContentTransferEncoding = ContentTransferEncoding;
    part->CharSet = CharSet;
    part->CreationDate = CreationDate;
    part->FileName = FileName;
    part->Name = Name;
    part->Size = Size;
    part->ModificationDate = ModificationDate;
    part->MimeVersion = MimeVersion;
    part->ReadDate = ReadDate;
    part->IsMime = true;
    part->IsMultipart = false;
    TIpMimeEntity* child = FMimeParts.Add(std::move(part));
    const bool atEnd = !stream.ReadLine(line);
    child->DecodeEntityBody(stream, line, atEnd, FDepth + 1);
    FBody->Seek(0, soFromBeginning);
}

// Writing

std::string TIpMimeEntity::EncodeContentType() const
{
    if (ContentType.empty())
        return std::string();
    std::vector<std::string> items;
    items.push_back(ContentSubtype.empty() ? ContentType : ContentType + "/" + ContentSubtype);
    if (IsMultipart)
        items.push_back(QuotedParam("boundary", Boundary));
    if (!Name.empty())
        items.push_back(IsPlainAscii(Name) ? QuotedParam("name", Name)
                                           : FileNameParam("name", Name));
    if (!CharSet.empty())
        items.push_back("charset=" + CharSet);
    if (!RelatedType.empty()) {
        items.push_back(QuotedParam(
            "type", RelatedSubtype.empty() ? RelatedType : RelatedType + "/" + RelatedSubtype));
        if (!Start.empty())
            items.push_back(QuotedParam("start", Start));
        if (!StartInfo.empty())
            items.push_back(QuotedParam("start-info", StartInfo));
    }
    return ComposeField("Content-Type: ", items, "; ", false).front();
}

std::string TIpMimeEntity::EncodeContentTransferEncoding() const
{
    static constexpr const char* names[] = {
        "7bit", "8bit", "base64", "binary", "binhex", "quoted-printable", "x-uuencode", ""};
    return names[ContentTransferEncoding];
}

void TIpMimeEntity::EncodeContentDisposition(std::vector<std::string>& lines) const
{
    if (ContentDispositionType.empty())
        return;
    std::vector<std::string> items{ContentDispositionType};
    if (!FileName.empty())
        items.push_back(FileNameParam("filename", FileName));
    for (const auto& [key, value] :
         {std::pair{"creation-date", &CreationDate},
          std::pair{"modification-date", &ModificationDate}, std::pair{"read-date", &ReadDate}})
        if (!value->empty())
            items.push_back(ContainsSpecialChars(*value) ? QuotedParam(key, *value)
                                                         : std::string(key) + "=" + *value);
    if (Size > 0)
        items.push_back("size=" + std::to_string(Size));
    for (auto& line : ComposeField("Content-Disposition: ", items, "; ", false))
        lines.push_back(std::move(line));
}

void TIpMimeEntity::EncodeMimeHeaders(std::vector<std::string>& lines)
{
    if (ContentType.empty())
        return;
    if (IsMultipart && ContentSubtype.empty())
        ContentSubtype = "mixed";
    if (!MimeVersion.empty())
        lines.push_back("MIME-Version: " + MimeVersion);
    lines.push_back(EncodeContentType());
    if (!ContentDescription.empty())
        lines.push_back("Content-Description: " + ContentDescription);
    if (!ContentID.empty())
        lines.push_back("Content-ID: " + ContentID);
    const std::string encoding = EncodeContentTransferEncoding();
    if (!encoding.empty())
        lines.push_back("Content-Transfer-Encoding: " + encoding);
    EncodeContentDisposition(lines);
}

void TIpMimeEntity::EncodeEntity(TIpStream& stream, std::string& boundary)
{
    boundary = FParentBoundary;
    if (!boundary.empty()) {
        std::vector<std::string> header;
        EncodeMimeHeaders(header);
        for (const auto& line : header)
            if (!line.empty())
                stream.WriteString(line + "\r\n");
        stream.WriteBuffer("\r\n", 2);
    }
    FBody->Flush();
    const int64_t bodySize = FBody->GetSize();
    if (bodySize > 0)
        stream.CopyFrom(*FBody->Stream(), 0);
    FBody->Seek(0, soFromBeginning);
    if (FMimeParts.GetCount() == 0)
        return;
    if (IsMultipart && ContentSubtype.empty())
        ContentSubtype = "mixed";
    std::string partBoundary;
    for (int i = 0; i < FMimeParts.GetCount(); ++i) {
        TIpMimeEntity* part = FMimeParts.GetPart(i);
        // A part made before this entity had its boundary follows it now.
        part->FParentBoundary = Boundary;
        if (i > 0 || bodySize > 0)
            stream.WriteBuffer("\r\n", 2);
        stream.WriteString("--" + Boundary + "\r\n");
        part->EncodeEntity(stream, partBoundary);
    }
    stream.WriteString("\r\n--" + partBoundary + "--\r\n");
}

void TIpMimeEntity::EncodeBodyData(std::string_view data, const std::string& fileName)
{
    const auto size = int64_t(data.size());
    const bool threeToFour = ContentTransferEncoding == emBase64 ||
                             ContentTransferEncoding == emBinHex ||
                             ContentTransferEncoding == emUUEncode;
    const int64_t reserve = threeToFour ? int64_t(double(size) * 1.333) + 1024 : size + 1024;
    if (size > IpLargeBodySize) {
        ClearBodyLargeAttach(reserve);
    } else {
        auto memory = std::make_unique<TIpMemoryStream>();
        memory->Reserve(reserve);
        FBody = std::make_unique<TIpAnsiTextStream>(std::move(memory));
    }
    TIpStream& out = *FBody;
    const TIpCoderProgress progress = [this](int64_t done, int64_t total, bool& abort) {
        DoOnCodingProgress(done, total, abort);
    };
    const std::string name = ExtractFileName(fileName);
    switch (ContentTransferEncoding) {
    case emBase64:
        IpEncodeBase64(data, out, progress);
        break;
    case emBinHex:
        IpEncodeBinHex(data, name, out, progress);
        break;
    case emQuoted:
        IpEncodeQuoted(data, out, progress);
        break;
    case emUUEncode:
        IpEncodeUU(data, name, out, progress);
        break;
    default:
        IpEncodeLines(data, out, progress);
        break;
    }
    FBody->Flush();
    FBody->Seek(0, soFromBeginning);
}

void TIpMimeEntity::EncodeBodyStream(TIpStream& data, const std::string& fileName)
{
    const int64_t size = data.GetSize();
    if (size == 0) {
        Size = 0;
        FileName = ExtractFileName(fileName);
        return;
    }
    const char* memory = data.Memory();
    std::string copy;
    if (!memory) {
        if (ContentTransferEncoding == emBase64 || ContentTransferEncoding == emBinHex)
            throw EIpBaseException(IpStr(IpConst::SNoMemoryStreamErr));
        data.SetPosition(0);
        copy.resize(size_t(size));
        copy.resize(size_t(std::max<int64_t>(0, data.Read(copy.data(), size))));
        memory = copy.data();
    }
    EncodeBodyData(std::string_view(memory, size_t(size)), fileName);
    Size = size;
    FileName = ExtractFileName(fileName);
}

void TIpMimeEntity::EncodeBodyStrings(const std::vector<std::string>& lines,
                                      const std::string& fileName)
{
    TIpMemoryStream data;
    for (const auto& line : lines)
        data.WriteString(line + "\r\n");
    EncodeBodyStream(data, fileName);
}

void TIpMimeEntity::EncodeBodyFile(const std::string& path)
{
    const std::string name = ExtractFileName(path);
    const auto dot = name.rfind('.');
    const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
    TExtensionType found{"", "application", "octet-stream", emBase64};
    for (const auto& row : ExtensionTable)
        if (extension == row.Extension)
            found = row;
    if (ContentType.empty()) {
        ContentType = found.Type;
        ContentSubtype = found.Subtype;
        ContentTransferEncoding = found.Encoding;
    }
    if (ContentTransferEncoding == emUnknown)
        ContentTransferEncoding = found.Encoding;
    TIpMemMapStream file(path, true, false);
    file.Open();
    Size = file.GetSize();
    FileName = name;
    EncodeBodyStream(file, path);
}

void TIpMimeEntity::ExtractBodyStream(TIpStream& stream)
{
    FBody->Flush();
    FBody->Seek(0, soFromBeginning);
    const TIpCoderProgress progress = [this](int64_t done, int64_t total, bool& abort) {
        DoOnCodingProgress(done, total, abort);
    };
    switch (ContentTransferEncoding) {
    case emBase64:
        IpDecodeBase64(*FBody, stream, progress);
        break;
    case emBinHex:
        IpDecodeBinHex(*FBody, stream, progress);
        break;
    case emQuoted:
        IpDecodeQuoted(*FBody, stream, progress);
        break;
    case emUUEncode:
        IpDecodeUU(*FBody, stream, progress);
        break;
    default:
        stream.CopyFrom(*FBody, FBody->GetSize());
        break;
    }
    FBody->Seek(0, soFromBeginning);
}

void TIpMimeEntity::ExtractBodyStrings(std::vector<std::string>& lines)
{
    TIpMemoryStream data;
    ExtractBodyStream(data);
    data.SetPosition(0);
    TIpAnsiTextStream text(&data);
    lines.clear();
    std::string line;
    while (text.ReadLine(line))
        lines.push_back(line);
}

void TIpMimeEntity::ExtractBodyFile(const std::string& path)
{
    FBody->Flush();
    if (FBody->GetSize() == 0)
        return;
    try {
        TAtomicFileStream file(path);
        ExtractBodyStream(file);
        file.Commit();
    } catch (const std::system_error& e) {
        throw EIpBaseException(e.what());
    }
}

TIpMimeEntity* TIpMimeEntity::GetMimePart(const std::string& type, const std::string& subtype,
                                          const std::string& contentID, bool create)
{
    for (int i = 0; i < FMimeParts.GetCount(); ++i) {
        TIpMimeEntity* part = FMimeParts.GetPart(i);
        const bool match = !contentID.empty()
                               ? part->ContentID == contentID
                               : part->ContentType == type && part->ContentSubtype == subtype;
        if (match) {
            part->FBody->Seek(0, soFromBeginning);
            return part;
        }
    }
    if (!create)
        return nullptr;
    TIpMimeEntity* part = NewMimePart();
    part->ContentType = type;
    part->ContentSubtype = subtype;
    part->ContentID = contentID;
    return part;
}

TIpMimeEntity* TIpMimeEntity::FindNestedMimePart(const std::string& type,
                                                 const std::string& subtype,
                                                 const std::string& contentID)
{
    for (int i = 0; i < FMimeParts.GetCount(); ++i) {
        TIpMimeEntity* part = FMimeParts.GetPart(i);
        const bool match = !contentID.empty() ? SameText(part->ContentID, contentID)
                                              : SameText(part->ContentType, type) &&
                                                    SameText(part->ContentSubtype, subtype);
        if (match) {
            part->FBody->Seek(0, soFromBeginning);
            return part;
        }
        if (TIpMimeEntity* nested = part->FindNestedMimePart(type, subtype, contentID))
            return nested;
    }
    return nullptr;
}

TIpMimeEntity* TIpMimeEntity::NewMimePart()
{
    IsMime = true;
    IsMultipart = true;
    ContentType = "multipart";
    if (ContentSubtype.empty())
        ContentSubtype = "mixed";
    if (Boundary.empty())
        Boundary = NewBoundary();
    return FMimeParts.Add(std::make_unique<TIpMimeEntity>(this));
}
