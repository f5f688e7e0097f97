#include "netlib/mime/ip_message.h"

#include "netlib/base/ip_base.h"
#include "netlib/base/ip_const.h"
#include "netlib/base/ip_utils.h"
#include "netproto/message/id_coder_mime.h"
#include "platform/atomic_file.h"

#include <system_error>
#include <unistd.h>

using namespace IpMime;

const TIpHeaderXRefRow IpHeaderXRef[24] = {
    {htBCC, "BCC"},
    {htCC, "CC"},
    {htControl, "Control"},
    {htDate, "Date"},
    {htDispositionNotify, "Disposition-Notification-To"},
    {htFollowUp, "Followup-To"},
    {htFrom, "From"},
    {htInReplyTo, "In-Reply-To"},
    {htKeywords, "Keywords"},
    {htMessageID, "Message-ID"},
    {htNewsgroups, "Newsgroups"},
    {htNNTPPostingHost, "NNTP-Posting-Host"},
    {htOrganization, "Organization"},
    {htPath, "Path"},
    {htPostingHost, "Posting-Host"},
    {htReceived, "Received"},
    {htReferences, "References"},
    {htReplyTo, "Reply-To"},
    {htReturnPath, "Return-Path"},
    {htSender, "Sender"},
    {htSubject, "Subject"},
    {htTo, "To"},
    {htUserFields, "X-"},
    {htXDaro, "X-Daro"},
};

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// "begin", a mode and a file name, as uuencoded text opens.
bool IsUUBeginLine(const std::string& line)
{
    size_t i = 0;
    const size_t n = line.size();
    while (i < n && IsBlank(line[i]))
        ++i;
    if (!SameText(line.substr(i, 5), "begin"))
        return false;
    i += 5;
    while (i < n && IsBlank(line[i]))
        ++i;
    auto quotedName = [&](size_t at) {
        if (at >= n || (line[at] != '"' && line[at] != '\''))
            return false;
        return line.find(line[at], at + 1) != std::string::npos;
    };
    if (i < n && line[i] == '{') {
        const auto close = line.find('}', i);
        if (close == std::string::npos)
            return false;
        i = close + 1;
        while (i < n && IsBlank(line[i]))
            ++i;
        return quotedName(i);
    }
    const size_t digits = i;
    while (i < n && line[i] >= '0' && line[i] <= '9')
        ++i;
    if (i == digits || i >= n || !IsBlank(line[i]))
        return false;
    while (i < n && IsBlank(line[i]))
        ++i;
    if (quotedName(i))
        return true;
    return i < n && line[i] > 32 && line[i] < 127;
}

// A value of several lines joined by TABs goes out as continuation lines.
std::vector<std::string> FoldAtTabs(const std::string& field, const std::string& value)
{
    std::vector<std::string> lines;
    size_t at = 0;
    std::string prefix = field;
    for (;;) {
        const auto tab = value.find('\t', at);
        lines.push_back(prefix + value.substr(at, tab == std::string::npos ? tab : tab - at));
        if (tab == std::string::npos)
            break;
        prefix = "\t";
        at = tab + 1;
    }
    return lines;
}

std::string Joined(const std::vector<std::string>& lines)
{
    std::string out;
    for (const auto& line : lines)
        out += (out.empty() ? "" : "\t") + line;
    return out;
}

} // namespace

TIpMessage::TIpMessage()
{
    NewMessageStream();
}

TIpMessage::~TIpMessage() = default;

void TIpMessage::Clear()
{
    TIpMimeEntity::Clear();
    AttachmentCount = 0;
    for (std::string* field : {&Date, &From, &InReplyTo, &Keywords, &FollowUp, &Control, &MessageID,
                               &NNTPPostingHost, &Organization, &PostingHost, &ReplyTo, &ReturnPath,
                               &Sender, &Subject, &DispositionNotify})
        field->clear();
    for (auto* list : {&BCC, &CC, &Newsgroups, &Path, &Received, &MailTo, &References, &UserFields})
        list->clear();
    Headers.Clear();
    FMsgStream.reset();
}

void TIpMessage::NewMessageStream()
{
    FMsgStream = std::make_unique<TIpAnsiTextStream>(std::make_unique<TIpMemoryStream>());
}

void TIpMessage::NewMessage()
{
    Clear();
    NewMessageStream();
}

std::string TIpMessage::ReadLine()
{
    return FMsgStream ? FMsgStream->ReadLine() : std::string();
}

std::string TIpMessage::ReadLineCRLF()
{
    return ReadLine() + "\r\n";
}

void TIpMessage::WriteLine(const std::string& text)
{
    if (FMsgStream)
        FMsgStream->WriteLine(text);
}

bool TIpMessage::AtEndOfStream()
{
    return !FMsgStream || FMsgStream->AtEndOfStream();
}

int64_t TIpMessage::GetPosition()
{
    return FMsgStream ? FMsgStream->GetPosition() : 0;
}

void TIpMessage::SetPosition(int64_t position)
{
    if (FMsgStream)
        FMsgStream->SetPosition(position);
}

int64_t TIpMessage::GetSize()
{
    return FMsgStream ? FMsgStream->GetSize() : 0;
}

void TIpMessage::CheckHeaderType(TIpHeaderItem& item, TIpHeaderTypes type)
{
    const std::string value = item.Value.empty() ? std::string() : Trim(item.Value.front());
    item.IsProperty = true;
    switch (type) {
    case htBCC:
        BCC = SplitList(value, ',');
        break;
    case htCC:
        CC = SplitList(value, ',');
        break;
    case htControl:
        Control = value;
        break;
    case htDate:
        Date = value;
        break;
    case htDispositionNotify:
        DispositionNotify = value;
        break;
    case htFollowUp:
        FollowUp = value;
        break;
    case htFrom:
        From = value;
        break;
    case htInReplyTo:
        InReplyTo = value;
        break;
    case htKeywords:
        Keywords = value;
        break;
    case htMessageID:
        MessageID = value;
        break;
    case htNewsgroups:
        Newsgroups = SplitList(value, ',');
        break;
    case htNNTPPostingHost:
        NNTPPostingHost = value;
        break;
    case htOrganization:
        Organization = value;
        break;
    case htPath:
        Path = item.Value;
        break;
    case htPostingHost:
        PostingHost = value;
        break;
    case htReceived:
        Received.insert(Received.end(), item.Value.begin(), item.Value.end());
        break;
    case htReferences:
        References = item.Value;
        break;
    case htReplyTo:
        ReplyTo = value;
        break;
    case htReturnPath:
        ReturnPath = value;
        break;
    case htSender:
        Sender = value;
        break;
    case htSubject:
        Subject = value;
        break;
    case htTo:
        MailTo = SplitList(value, ',');
        break;
    case htUserFields:
        for (const auto& line : item.Value)
            UserFields.push_back(item.Name() + ": " + line);
        break;
    case htXDaro:
        break;
    }
}

void TIpMessage::CheckAllHeaders()
{
    AttachmentCount = 0;
    for (const auto& row : IpHeaderXRef) {
        const std::string name = Lower(row.Name);
        for (int i = 0; i < Headers.Count(); ++i) {
            TIpHeaderItem& item = *Headers.GetItem(i);
            if (row.Type == htUserFields) {
                if (item.NameL().compare(0, name.size(), name) == 0)
                    CheckHeaderType(item, row.Type);
            } else if (item.NameL() == name) {
                CheckHeaderType(item, row.Type);
                if (row.Type != htReceived)
                    break;
            }
        }
    }
}

void TIpMessage::DecodePlainBody(std::string& line, bool atEnd)
{
    DecodeEntityBody(*FMsgStream, line, atEnd, 0);
    // A uuencoded file in the text counts as an attachment; it stays there.
    FBody->Seek(0, soFromBeginning);
    std::string text;
    while (FBody->ReadLine(text))
        if (IsUUBeginLine(text))
            ++AttachmentCount;
}

void TIpMessage::DecodeMessage()
{
    if (!FMsgStream)
        return;
    FMsgStream->Seek(0, soFromBeginning);
    std::string line;
    std::vector<std::string> header;
    // The header is there only when the text opens with a field.
    if (FMsgStream->ReadLine(line) && IsFieldLine(line)) {
        do
            header.push_back(line);
        while (FMsgStream->ReadLine(line) && !line.empty());
    } else {
        FMsgStream->Seek(0, soFromBeginning);
    }
    Headers.LoadHeaders(header, false);
    CheckAllHeaders();
    try {
        DecodeMimeHeaders(header);
        if (IsMime) {
            for (const char* name : {"content-type", "mime-version", "content-transfer-encoding",
                                     "content-description", "content-id", "content-disposition"})
                for (int i = 0; i < Headers.Count(); ++i)
                    if (Headers.GetItem(i)->NameL() == name)
                        Headers.GetItem(i)->IsProperty = true;
        }
        if (IsMime && SameText(ContentDispositionType, "attachment")) {
            DecodeEntityAsAttachment(*FMsgStream, line);
        } else {
            const bool atEnd = !FMsgStream->ReadLine(line);
            if (IsMime)
                DecodeEntityBody(*FMsgStream, line, atEnd, 0);
            else
                DecodePlainBody(line, atEnd);
        }
    } catch (...) {
        // What was decoded stays; the caller hears of the failure.
        FBody->Flush();
        FBody->Seek(0, soFromBeginning);
        throw;
    }
    FBody->Seek(0, soFromBeginning);
}

void TIpMessage::EncodeMessage()
{
    int64_t partsSize = FBody->GetSize();
    for (int i = 0; i < FMimeParts.GetCount(); ++i)
        partsSize += FMimeParts.GetPart(i)->Body().GetSize();
    if (partsSize > IpLargeBodySize) {
        const std::string name = GetTemporaryFile(GetTemporaryPath());
        ::unlink(name.c_str());
        auto spill = std::make_unique<TIpMemMapStream>(name, false, true);
        spill->SetSize(partsSize + 65536);
        spill->Open();
        ::unlink(name.c_str());
        FMsgStream = std::make_unique<TIpAnsiTextStream>(std::move(spill));
    } else {
        NewMessageStream();
    }
    if (!ContentType.empty()) {
        IsMime = true;
        MimeVersion = "1.0";
    }
    std::vector<std::string> lines;
    auto single = [&lines](const char* field, const std::string& value) {
        if (!value.empty())
            lines.push_back(std::string(field) + value);
    };
    auto list = [&lines](const char* field, const std::vector<std::string>& values,
                         const char* separator, bool folded) {
        if (values.empty())
            return;
        for (auto& line : ComposeField(field, values, separator, folded))
            lines.push_back(std::move(line));
    };
    single("Return-Path: ", ReturnPath);
    for (const auto& received : Received)
        for (auto& line : FoldAtTabs("Received: ", received))
            lines.push_back(std::move(line));
    list("Path: ", Path, ",", true);
    list("Newsgroups: ", Newsgroups, ",", false);
    single("Message-ID: ", MessageID);
    single("Disposition-Notification-To: ", DispositionNotify);
    single("Reply-To: ", ReplyTo);
    single("From: ", From);
    list("To: ", MailTo, ",", true);
    single("Subject: ", Subject);
    single("Date: ", Date);
    single("Organization: ", Organization);
    list("CC: ", CC, ",", false);
    list("BCC: ", BCC, ",", false);
    single("In-Reply-To: ", InReplyTo);
    list("References: ", References, "", false);
    single("Sender: ", Sender);
    single("Keywords: ", Keywords);
    for (const auto& field : UserFields)
        lines.push_back(field);
    single("Control: ", Control);
    single("Followup-To: ", FollowUp);
    for (int i = 0; i < Headers.Count(); ++i) {
        const TIpHeaderItem& item = *Headers.GetItem(i);
        if (item.IsProperty)
            continue;
        for (auto& line : FoldAtTabs(item.Name() + ": ", Joined(item.Value)))
            lines.push_back(std::move(line));
    }
    if (IsMime)
        EncodeMimeHeaders(lines);
    FBody->Flush();
    if (lines.empty() && FBody->GetSize() == 0 && FMimeParts.GetCount() == 0)
        return;
    for (const auto& line : lines)
        FMsgStream->WriteLine(line);
    // Even without a field the empty line comes, so the body stays the body.
    FMsgStream->WriteLine("");
    if (IsMime) {
        std::string boundary;
        EncodeEntity(*FMsgStream, boundary);
    } else {
        FMsgStream->CopyFrom(*FBody->Stream(), 0);
        FBody->Seek(0, soFromBeginning);
    }
    FMsgStream->Flush();
    FMsgStream->Seek(0, soFromBeginning);
}

void TIpMessage::LoadFromFile(const std::string& path)
{
    Clear();
    NewMessageStream();
    auto file = std::make_unique<TIpMemMapStream>(path, true, false);
    file->Open();
    if (file->GetSize() > IpLargeBodySize) {
        FMsgStream = std::make_unique<TIpAnsiTextStream>(std::move(file));
    } else {
        FMsgStream->CopyFrom(*file, 0);
        file.reset();
        FMsgStream->Seek(0, soFromBeginning);
    }
    DecodeMessage();
}

void TIpMessage::LoadFromStream(TIpStream& stream)
{
    Clear();
    NewMessageStream();
    const int64_t size = stream.GetSize();
    if (size > IpLargeBodySize) {
        const std::string name = GetTemporaryFile(GetTemporaryPath());
        ::unlink(name.c_str());
        auto spill = std::make_unique<TIpMemMapStream>(name, false, true);
        spill->SetSize(size);
        spill->Open();
        ::unlink(name.c_str());
        FMsgStream = std::make_unique<TIpAnsiTextStream>(std::move(spill));
    }
    FMsgStream->CopyFrom(stream, 0);
    FMsgStream->Flush();
    FMsgStream->Seek(0, soFromBeginning);
    DecodeMessage();
}

void TIpMessage::SaveToFile(const std::string& path)
{
    EncodeMessage();
    try {
        TAtomicFileWriter file(path);
        if (FMsgStream) {
            FMsgStream->Flush();
            TIpStream& text = *FMsgStream->Stream();
            if (const char* memory = text.Memory())
                file.Write(std::string_view(memory, size_t(text.GetSize())));
        }
        file.Commit();
    } catch (const std::system_error& e) {
        throw EIpBaseException(e.what());
    }
}

void TIpMessage::SaveToStream(TIpStream& stream)
{
    if (!FMsgStream)
        return;
    const int64_t position = FMsgStream->GetPosition();
    FMsgStream->Flush();
    stream.CopyFrom(*FMsgStream->Stream(), 0);
    FMsgStream->Seek(position, soFromBeginning);
}

TIpMimeEntity* TIpMessage::AddAttachment(const std::string& path, const std::string& name)
{
    TIpMimeEntity* part = NewMimePart();
    part->Name = ExtractFileName(name);
    part->ContentDispositionType = "attachment";
    try {
        part->EncodeBodyFile(path);
    } catch (...) {
        FMimeParts.Delete(FMimeParts.IndexOf(part));
        throw;
    }
    return part;
}

TIpMimeEntity* TIpMessage::AddDefaultAttachment(const std::string& path)
{
    return AddAttachment(path, path);
}

TIpMimeEntity* TIpMessage::AddDefaultAttachmentAs(const std::string& path, const std::string& name)
{
    return AddAttachment(path, name);
}

TIpMimeEntity* TIpMessage::GetBodyText(const std::string& subtype, bool create)
{
    TIpMimeEntity* alternative = FindNestedMimePart("multipart", "alternative", "");
    TIpMimeEntity* scope = alternative ? alternative : this;
    if (TIpMimeEntity* found = scope->FindNestedMimePart("text", subtype, ""))
        return found;
    return create ? GetMimePart("text", subtype, "", true) : nullptr;
}

TIpMimeEntity* TIpMessage::GetBodyPlain(bool create)
{
    return GetBodyText("plain", create);
}

TIpMimeEntity* TIpMessage::GetBodyHtml(bool create)
{
    return GetBodyText("html", create);
}

void TIpMessage::Assign(TIpMessage& source)
{
    if (&source == this)
        return;
    NewMessage();
    if (source.FMsgStream) {
        const int64_t position = source.FMsgStream->GetPosition();
        source.FMsgStream->Flush();
        FMsgStream->CopyFrom(*source.FMsgStream->Stream(), 0);
        FMsgStream->Flush();
        source.FMsgStream->Seek(position, soFromBeginning);
    }
    DecodeMessage();
}

// Form data

TIpFormDataEntity::TIpFormDataEntity(TIpMimeEntity* parent) : TIpMimeEntity(parent)
{
    IsMime = true;
    IsMultipart = true;
    ContentType = "multipart";
    ContentSubtype = "form-data";
    Boundary = NewBoundary();
}

void TIpFormDataEntity::AddFormData(const std::string& name, const std::string& value)
{
    TIpMimeEntity* part = NewMimePart();
    part->Name = name;
    part->ContentDispositionType = "form-data";
    part->Body().WriteLine(value);
}

void TIpFormDataEntity::AddFile(const std::string& path, const std::string& type,
                                const std::string& subtype, TIpMimeEncodingMethod encoding)
{
    if (!FFiles) {
        FFiles = NewMimePart();
        FFiles->Name = "files";
        FFiles->ContentDispositionType = "form-data";
        FFiles->ContentType = "multipart";
        FFiles->ContentSubtype = "mixed";
    }
    TIpMimeEntity* part = FFiles->NewMimePart();
    part->ContentDispositionType = "attachment";
    part->ContentType = type;
    part->ContentSubtype = subtype;
    part->ContentTransferEncoding = encoding;
    part->EncodeBodyFile(path);
}

void TIpFormDataEntity::SaveToStream(TIpStream& stream)
{
    std::vector<std::string> lines;
    EncodeMimeHeaders(lines);
    for (const auto& line : lines)
        stream.WriteString(line + "\r\n");
    stream.WriteBuffer("\r\n", 2);
    std::string boundary;
    EncodeEntity(stream, boundary);
}

std::string IpBase64EncodeString(const std::string& text)
{
    return TIdEncoderMIME().EncodeBytes(text);
}
