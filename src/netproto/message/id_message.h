// An e-mail message: the RFC 822 header fields as typed properties, the raw
// header list, the body lines and the MIME parts (text parts and
// attachments). The message client writes it to a connection and reads it
// back.
//
// Choices where the headers leave room:
// - A header that does not parse (an address with a second "@", a date that
//   is no date) leaves its property empty; the message is still read, and
//   the raw line stays in Headers.
// - An X-Priority or Priority number outside 1 to 5 is clamped into the
//   range.
// - A MIME message with parts always gets the multipart Content-Type that
//   the part layout writes (a Content-Type read with another boundary would
//   no longer match), and a Content-Transfer-Encoding that a multipart body
//   cannot have (base64, quoted-printable) is not written for it.
#pragma once

#include "netproto/core/id_global.h"
#include "netproto/message/id_email_address.h"
#include "netproto/message/id_header_coder.h"
#include "netproto/message/id_header_list.h"
#include "platform/class_registry.h"
#include "platform/date_time.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class TIdMessageParts;
class TIdMessageEncoderInfo;

enum TIdMessagePriority { mpHighest, mpHigh, mpNormal, mpLow, mpLowest };
enum TIdMessageEncoding { meMIME, meUU };

// The IMAP flag words of a message.
enum TIdMessageFlags { mfAnswered, mfFlagged, mfDeleted, mfDraft, mfSeen, mfRecent };
inline constexpr const char* IdMessageFlags[] = {"\\Answered", "\\Flagged", "\\Deleted",
                                                 "\\Draft",    "\\Seen",    "\\Recent"};

class EIdCanNotCreateMessagePart : public EIdException {
public:
    EIdCanNotCreateMessagePart()
        : EIdException("TIdMessagePart can not be created.  Use descendant classes. ")
    {
    }
};

class TIdMessagePart;

// The class record of a message part kind: it makes a part of that kind in
// a message's parts. TIdText and TIdAttachment are registered by name at
// start; the record of TIdMessagePart itself refuses to make one.
class TIdMessagePartClass : public TRegisteredClass {
public:
    using TRegisteredClass::TRegisteredClass;
    virtual TIdMessagePart& Create(TIdMessageParts& parts) const = 0;
};

// The value of parameter `name` in a header value (after a ";", the name
// in any case), without its quotes; empty when there is none.
std::string IdHeaderParam(const std::string& value, const std::string& name);

// The MIME boundaries of the parts being read, the current one on top.
class TIdMIMEBoundary {
public:
    // The current boundary; empty when there is none.
    std::string Boundary() const
    {
        return FBoundaries.empty() ? std::string() : FBoundaries.back();
    }
    int Count() const { return static_cast<int>(FBoundaries.size()); }
    // A new non-empty boundary goes on top; one equal to the current one
    // (any case) continues its parent and changes nothing.
    void Push(const std::string& boundary);
    void Pop();
    void Clear() { FBoundaries.clear(); }
    // The "boundary=" parameter of a Content-Type value (any case), without
    // its quotes; empty when there is none.
    static std::string FindBoundary(const std::string& contentType);

private:
    std::vector<std::string> FBoundaries;
};

// One MIME part; only text parts and attachments exist.
class TIdMessagePart {
public:
    virtual ~TIdMessagePart() = default;
    static const TIdMessagePartClass& Class();
    TIdMessagePart(const TIdMessagePart&) = delete;
    TIdMessagePart& operator=(const TIdMessagePart&) = delete;

    TIdHeaderList Headers;
    TIdHeaderList ExtraHeaders;

    std::string ContentID() const { return Headers.Values("Content-ID"); }
    void SetContentID(const std::string& value) { Headers.SetValues("Content-ID", value); }
    std::string ContentTransfer() const { return Headers.Values("Content-Transfer-Encoding"); }
    void SetContentTransfer(const std::string& value)
    {
        Headers.SetValues("Content-Transfer-Encoding", value);
    }
    std::string ContentType() const { return Headers.Values("Content-Type"); }
    void SetContentType(const std::string& value) { Headers.SetValues("Content-Type", value); }
    std::string ContentDisposition() const { return Headers.Values("Content-Disposition"); }
    void SetContentDisposition(const std::string& value)
    {
        Headers.SetValues("Content-Disposition", value);
    }
    // Copies both header lists.
    void Assign(const TIdMessagePart& source);

    TIdMessageParts& Collection() const { return *FCollection; }

protected:
    explicit TIdMessagePart(TIdMessageParts& collection) : FCollection(&collection) {}

private:
    TIdMessageParts* FCollection;
};

class TIdText : public TIdMessagePart {
public:
    static const TIdMessagePartClass& Class();
    TIdText(TIdMessageParts& collection, std::vector<std::string> body = {})
        : TIdMessagePart(collection), Body(std::move(body))
    {
    }
    std::vector<std::string> Body;
};

class TIdAttachment : public TIdMessagePart {
public:
    static const TIdMessagePartClass& Class();
    // FileName is the name part of the stored path.
    TIdAttachment(TIdMessageParts& collection, const std::string& storedPathName = "");
    // Deletes the stored file when it is temporary.
    ~TIdAttachment() override;

    // The file that holds the content.
    std::string StoredPathName;
    std::string FileName;
    bool DeleteTempFile = false;

    // Writes the content with a new encoder of the parts' encoder, named
    // after FileName.
    void Encode(std::ostream& dest) const;
};

class TIdMessageParts {
public:
    TIdMessageParts();
    ~TIdMessageParts();
    TIdMessageParts(const TIdMessageParts&) = delete;
    TIdMessageParts& operator=(const TIdMessageParts&) = delete;

    TIdText& AddText(std::vector<std::string> body = {});
    TIdAttachment& AddAttachment(const std::string& storedPathName = "");
    // A new part of the class (one found by name through GetClass, say).
    TIdMessagePart& Add(const TIdMessagePartClass& partClass) { return partClass.Create(*this); }
    int Count() const { return static_cast<int>(FItems.size()); }
    TIdMessagePart& Items(int index) const { return *FItems.at(static_cast<std::size_t>(index)); }
    void Delete(int index) { FItems.erase(FItems.begin() + index); }
    void Clear() { FItems.clear(); }

    int AttachmentCount() const;
    // Attachments with a Content-ID.
    int RelatedPartCount() const;
    int TextPartCount() const;

    const std::string& AttachmentEncoding() const { return FAttachmentEncoding; }
    // Raises "Message encoder not found" for a name that is not registered.
    void SetAttachmentEncoding(const std::string& name);
    const TIdMessageEncoderInfo& MessageEncoderInfo() const { return *FEncoderInfo; }

private:
    std::vector<std::unique_ptr<TIdMessagePart>> FItems;
    std::string FAttachmentEncoding;
    const TIdMessageEncoderInfo* FEncoderInfo = nullptr;
};

class TIdMessage {
public:
    TIdMessage();
    virtual ~TIdMessage() = default;
    TIdMessage(const TIdMessage&) = delete;
    TIdMessage& operator=(const TIdMessage&) = delete;

    // The encoder name of the attachments: "MIME", "UUE" or "XXE".
    const std::string& AttachmentEncoding() const { return MessageParts.AttachmentEncoding(); }
    void SetAttachmentEncoding(const std::string& name)
    {
        MessageParts.SetAttachmentEncoding(name);
    }
    TIdMessageEncoding Encoding() const { return FEncoding; }
    // Also sets the attachment encoding to "MIME" or "UUE".
    void SetEncoding(TIdMessageEncoding value);
    // True exactly when Date is 0: the header then carries the time of
    // sending. Setting it false stores the current time, true stores 0.
    bool UseNowForDate() const { return Date == 0; }
    void SetUseNowForDate(bool value);

    std::vector<std::string> Body;
    TIdEMailAddressList BccList;
    TIdEMailAddressList CCList;
    TIdEMailAddressList Recipients;
    TIdEMailAddressList ReplyTo;
    std::string CharSet;
    std::string ContentType;
    std::string ContentTransferEncoding;
    std::string ContentDisposition;
    TDateTime Date = 0;
    // Attachments read from a message delete their temporary files when
    // freed.
    bool DeleteTempFiles = false;
    TIdHeaderList ExtraHeaders;
    TIdEMailAddressItem From;
    TIdEMailAddressItem ReceiptRecipient;
    TIdEMailAddressItem Sender;
    std::vector<std::string> NewsGroups;
    // Written and read as raw header and body lines.
    bool NoEncode = false;
    bool NoDecode = false;
    std::string Organization;
    std::string References;
    std::string Subject;
    TIdMessagePriority Priority = mpNormal;
    // Called before header words are encoded; starts from the defaults of
    // the system's language.
    std::function<void(TTransfer& transfer, char& headerEncoding, std::string& charSet)>
        OnInitializeISO;

    // The header lines as received or generated.
    TIdHeaderList Headers;
    TIdMessageParts MessageParts;
    std::string MsgId;
    TIdMIMEBoundary MIMEBoundary;

    // Clears the header properties, Headers, ExtraHeaders, the boundaries
    // and MsgId, then the body and the parts.
    virtual void Clear();
    void ClearHeader();
    void ClearBody();
    // Fills the properties from Headers and pushes the message's boundary.
    void ProcessHeaders();
    // Fills Headers from the properties, then ExtraHeaders. Raises for a UU
    // message with text parts or related parts.
    void GenerateHeader();

protected:
    virtual void DoInitializeISO(TTransfer& transfer, char& headerEncoding, std::string& charSet);

private:
    TIdMessageEncoding FEncoding = meMIME;
};
