#include "netproto/message/id_message.h"

#include "netproto/core/id_global.h"
#include "netproto/message/id_message_coder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace {

std::string LowerAscii(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 32);
    return text;
}

// A header whose address does not parse keeps what was read up to the
// fault: reading the rest of the message goes on.
void ReadAddress(TIdEMailAddressItem& item, const std::string& text)
{
    item.Address.clear();
    item.Name.clear();
    try {
        item.SetText(text);
    } catch (const EIdEmailParseError&) {
    }
}

void ReadAddresses(TIdEMailAddressList& list, const std::string& text)
{
    try {
        list.SetEMailAddresses(text);
    } catch (const EIdEmailParseError&) {
    }
}

TIdMessagePriority ReadPriority(const std::string& value)
{
    const std::string text = LowerAscii(value);
    if (text.find("urgent") != std::string::npos)
        return mpHigh;
    if (text.find("non-priority") != std::string::npos)
        return mpLow;
    std::string word(TrimBlanks(text));
    word = FetchToken(word, " ");
    char* end = nullptr;
    const long n = std::strtol(word.c_str(), &end, 10);
    if (word.empty() || *end != '\0')
        return mpNormal;
    return static_cast<TIdMessagePriority>(std::clamp<long>(n - 1, mpHighest, mpLowest));
}

bool IsIdentityEncoding(const std::string& encoding)
{
    const std::string e = LowerAscii(std::string(TrimBlanks(encoding)));
    return e == "7bit" || e == "8bit" || e == "binary";
}

} // namespace

std::string IdHeaderParam(const std::string& value, const std::string& name)
{
    const std::string upper = UpperAscii(value);
    const std::string key = UpperAscii(name) + "=";
    for (size_t at = upper.find(key); at != std::string::npos; at = upper.find(key, at + 1)) {
        // Only a whole parameter name counts: "name=" is not "filename=".
        size_t before = at;
        while (before > 0 && (value[before - 1] == ' ' || value[before - 1] == '\t'))
            --before;
        if (before > 0 && value[before - 1] != ';')
            continue;
        size_t p = at + key.size();
        std::string out;
        if (p < value.size() && value[p] == '"') {
            for (++p; p < value.size() && value[p] != '"'; ++p) {
                if (value[p] == '\\' && p + 1 < value.size())
                    ++p;
                out += value[p];
            }
            return out;
        }
        const size_t end = value.find(';', p);
        return std::string(TrimBlanks(value.substr(p, end == std::string::npos ? end : end - p)));
    }
    return std::string();
}

// ---- TIdMIMEBoundary --------------------------------------------------------

void TIdMIMEBoundary::Push(const std::string& boundary)
{
    if (boundary.empty() || UpperAscii(boundary) == UpperAscii(Boundary()))
        return;
    FBoundaries.push_back(boundary);
}

void TIdMIMEBoundary::Pop()
{
    if (!FBoundaries.empty())
        FBoundaries.pop_back();
}

std::string TIdMIMEBoundary::FindBoundary(const std::string& contentType)
{
    return IdHeaderParam(contentType, "boundary");
}

// ---- parts -----------------------------------------------------------------

namespace {

template <class Part> class TPartClass : public TIdMessagePartClass {
public:
    using TIdMessagePartClass::TIdMessagePartClass;
    TIdMessagePart& Create(TIdMessageParts& parts) const override
    {
        if constexpr (std::is_same_v<Part, TIdText>)
            return parts.AddText();
        else if constexpr (std::is_same_v<Part, TIdAttachment>)
            return parts.AddAttachment();
        else
            throw EIdCanNotCreateMessagePart();
    }
};

const TPartClass<TIdMessagePart> GPartClass("TIdMessagePart");
const TPartClass<TIdText> GTextClass("TIdText");
const TPartClass<TIdAttachment> GAttachmentClass("TIdAttachment");

const bool GPartClassesRegistered = [] {
    RegisterClass(GTextClass);
    RegisterClass(GAttachmentClass);
    return true;
}();

} // namespace

const TIdMessagePartClass& TIdMessagePart::Class()
{
    return GPartClass;
}

const TIdMessagePartClass& TIdText::Class()
{
    return GTextClass;
}

const TIdMessagePartClass& TIdAttachment::Class()
{
    return GAttachmentClass;
}

void TIdMessagePart::Assign(const TIdMessagePart& source)
{
    Headers = source.Headers;
    ExtraHeaders = source.ExtraHeaders;
}

TIdAttachment::TIdAttachment(TIdMessageParts& collection, const std::string& storedPathName)
    : TIdMessagePart(collection), StoredPathName(storedPathName)
{
    const size_t slash = storedPathName.find_last_of('/');
    FileName = slash == std::string::npos ? storedPathName : storedPathName.substr(slash + 1);
}

TIdAttachment::~TIdAttachment()
{
    if (DeleteTempFile && !StoredPathName.empty())
        std::remove(StoredPathName.c_str());
}

void TIdAttachment::Encode(std::ostream& dest) const
{
    std::ifstream in(StoredPathName, std::ios::binary);
    if (!in)
        throw EIdException("File \"" + StoredPathName + "\" not found");
    auto encoder = Collection().MessageEncoderInfo().MakeEncoder();
    encoder->Filename = FileName;
    encoder->Encode(in, dest);
}

TIdMessageParts::TIdMessageParts()
{
    SetAttachmentEncoding("MIME");
}

TIdMessageParts::~TIdMessageParts() = default;

TIdText& TIdMessageParts::AddText(std::vector<std::string> body)
{
    FItems.push_back(std::make_unique<TIdText>(*this, std::move(body)));
    return static_cast<TIdText&>(*FItems.back());
}

TIdAttachment& TIdMessageParts::AddAttachment(const std::string& storedPathName)
{
    FItems.push_back(std::make_unique<TIdAttachment>(*this, storedPathName));
    return static_cast<TIdAttachment&>(*FItems.back());
}

int TIdMessageParts::AttachmentCount() const
{
    return static_cast<int>(std::count_if(FItems.begin(), FItems.end(), [](const auto& p) {
        return dynamic_cast<const TIdAttachment*>(p.get()) != nullptr;
    }));
}

int TIdMessageParts::RelatedPartCount() const
{
    return static_cast<int>(std::count_if(FItems.begin(), FItems.end(), [](const auto& p) {
        return dynamic_cast<const TIdAttachment*>(p.get()) && !p->ContentID().empty();
    }));
}

int TIdMessageParts::TextPartCount() const
{
    return static_cast<int>(std::count_if(FItems.begin(), FItems.end(), [](const auto& p) {
        return dynamic_cast<const TIdText*>(p.get()) != nullptr;
    }));
}

void TIdMessageParts::SetAttachmentEncoding(const std::string& name)
{
    FEncoderInfo = &TIdMessageEncoderList::Instance().ByName(name);
    FAttachmentEncoding = name;
}

// ---- TIdMessage -------------------------------------------------------------

TIdMessage::TIdMessage() = default;

void TIdMessage::SetEncoding(TIdMessageEncoding value)
{
    SetAttachmentEncoding(value == meMIME ? "MIME" : "UUE");
    FEncoding = value;
}

void TIdMessage::SetUseNowForDate(bool value)
{
    Date = value ? 0 : Now();
}

void TIdMessage::Clear()
{
    ClearHeader();
    ClearBody();
}

void TIdMessage::ClearHeader()
{
    BccList.Clear();
    CCList.Clear();
    Recipients.Clear();
    ReplyTo.Clear();
    CharSet.clear();
    ContentType.clear();
    ContentTransferEncoding.clear();
    ContentDisposition.clear();
    Date = 0;
    ExtraHeaders.Clear();
    From = TIdEMailAddressItem();
    ReceiptRecipient = TIdEMailAddressItem();
    Sender = TIdEMailAddressItem();
    NewsGroups.clear();
    Organization.clear();
    References.clear();
    Subject.clear();
    Priority = mpNormal;
    Headers.Clear();
    MIMEBoundary.Clear();
    MsgId.clear();
}

void TIdMessage::ClearBody()
{
    Body.clear();
    MessageParts.Clear();
}

void TIdMessage::ProcessHeaders()
{
    ContentType = Headers.Values("Content-Type");
    CharSet = UpperAscii(IdHeaderParam(ContentType, "charset"));
    ContentTransferEncoding = Headers.Values("Content-Transfer-Encoding");
    ContentDisposition = Headers.Values("Content-Disposition");
    Subject = DecodeHeaderWords(Headers.Values("Subject"));
    ReadAddress(From, DecodeHeaderWords(Headers.Values("From")));
    MsgId = Headers.Values("Message-Id");
    SplitCommaList(NewsGroups, Headers.Values("Newsgroups"));
    ReadAddresses(Recipients, DecodeHeaderWords(Headers.Values("To")));
    ReadAddresses(CCList, DecodeHeaderWords(Headers.Values("Cc")));
    ReadAddresses(BccList, DecodeHeaderWords(Headers.Values("Bcc")));
    Organization = Headers.Values("Organization");
    std::string receipt = Headers.Values("Disposition-Notification-To");
    if (receipt.empty())
        receipt = Headers.Values("Return-Receipt-To");
    ReadAddress(ReceiptRecipient, receipt);
    References = Headers.Values("References");
    ReadAddresses(ReplyTo, Headers.Values("Reply-To"));
    // A date that does not parse gives 0, as a missing one does.
    Date = InternetDateToLocal(Headers.Values("Date"));
    ReadAddress(Sender, Headers.Values("Sender"));
    const std::string priority = Headers.Values("Priority");
    Priority = ReadPriority(priority.empty() ? Headers.Values("X-Priority") : priority);
    MIMEBoundary.Push(TIdMIMEBoundary::FindBoundary(ContentType));
}

void TIdMessage::DoInitializeISO(TTransfer& transfer, char& headerEncoding, std::string& charSet)
{
    DefaultHeaderCharset(transfer, headerEncoding, charSet);
    if (OnInitializeISO)
        OnInitializeISO(transfer, headerEncoding, charSet);
}

void TIdMessage::GenerateHeader()
{
    if (FEncoding == meUU &&
        (MessageParts.TextPartCount() > 0 || MessageParts.RelatedPartCount() > 0))
        throw EIdException("Invalid Encoding. UU only allows Body and Attachments");
    TTransfer transfer;
    char headerEncoding;
    std::string isoCharSet;
    DoInitializeISO(transfer, headerEncoding, isoCharSet);
    auto address = [&](const TIdEMailAddressItem& item) {
        return FormatAddressItem(item, headerEncoding, transfer, isoCharSet);
    };
    auto addresses = [&](const TIdEMailAddressList& list) {
        return FormatAddressList(list, headerEncoding, transfer, isoCharSet);
    };
    auto words = [&](const std::string& text) {
        return EncodeHeaderWords(text, "", transfer, headerEncoding, isoCharSet);
    };

    const bool multipart = FEncoding == meMIME && MessageParts.Count() > 0;
    if (multipart)
        MessageParts.MessageEncoderInfo().InitializeHeaders(*this);
    std::string contentType = ContentType;
    if (!CharSet.empty() && IdHeaderParam(contentType, "charset").empty())
        contentType =
            (contentType.empty() ? "text/plain" : contentType) + "; charset=\"" + CharSet + "\"";
    std::string newsGroups;
    for (const auto& group : NewsGroups)
        newsGroups += (newsGroups.empty() ? "" : ",") + group;

    Headers.Clear();
    Headers.SetValues("From", address(From));
    Headers.SetValues("Subject", words(Subject));
    Headers.SetValues("To", addresses(Recipients));
    Headers.SetValues("Cc", addresses(CCList));
    Headers.SetValues("Newsgroups", newsGroups);
    Headers.SetValues("Content-Type", contentType);
    if (FEncoding == meMIME && (multipart || !contentType.empty()))
        Headers.SetValues("MIME-Version", "1.0");
    // A multipart body is never coded as a whole (RFC 2045 section 6.4).
    if (!multipart || IsIdentityEncoding(ContentTransferEncoding))
        Headers.SetValues("Content-Transfer-Encoding", ContentTransferEncoding);
    Headers.SetValues("Sender", address(Sender));
    Headers.SetValues("Reply-To", addresses(ReplyTo));
    Headers.SetValues("Organization", words(Organization));
    Headers.SetValues("Disposition-Notification-To", address(ReceiptRecipient));
    Headers.SetValues("References", References);
    Headers.SetValues("Date", FormatInternetDate(UseNowForDate() ? Now() : Date, false));
    if (Priority != mpNormal)
        Headers.SetValues("X-Priority", std::to_string(Priority + 1));
    for (const auto& line : ExtraHeaders.Lines())
        Headers.Add(line);
}
