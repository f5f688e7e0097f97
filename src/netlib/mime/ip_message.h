#pragma once

#include "netlib/mime/ip_mime.h"

#include <memory>
#include <string>
#include <vector>

// A whole RFC 822 message over the MIME model: the standard fields as
// properties, the raw header collection and the message text itself.
//
// What the fax gateway uses: LoadFromFile, then MimeParts().GetCount(),
// GetPart(i), the part's FileName and ExtractBodyFile; for the mail it
// writes, the constructor, From, Subject, MailTo, AddDefaultAttachment,
// Body().WriteLine (text before the first part) and SaveToFile.
//
// Decisions:
// - Decoding errors are not swallowed: LoadFromFile and LoadFromStream keep
//   what was decoded up to the error and then raise it (EIpBaseException).
// - A text whose first line is not a header field has no header, and all of
//   it is the body; saving a message without header fields writes an empty
//   line and the body, so the body survives.
// - "Received" is taken by its exact name: "Received-SPF" and the like stay
//   fields of their own and are written back under their own names.
// - The body of a message without Content-Type is kept byte for byte,
//   leading empty lines included.
// - SaveToFile replaces the file whole (temporary file and rename).
// - A file that AddDefaultAttachment cannot read adds no part.

enum TIpHeaderTypes : int {
    htBCC,
    htCC,
    htControl,
    htDate,
    htDispositionNotify,
    htFollowUp,
    htFrom,
    htInReplyTo,
    htKeywords,
    htMessageID,
    htNewsgroups,
    htNNTPPostingHost,
    htOrganization,
    htPath,
    htPostingHost,
    htReceived,
    htReferences,
    htReplyTo,
    htReturnPath,
    htSender,
    htSubject,
    htTo,
    htUserFields,
    htXDaro
};

struct TIpHeaderXRefRow {
    TIpHeaderTypes Type;
    const char* Name;
};
extern const TIpHeaderXRefRow IpHeaderXRef[24];

class TIpMessage : public TIpMimeEntity {
public:
    TIpMessage();
    ~TIpMessage() override;

    void Clear() override;
    virtual void DecodeMessage();
    virtual void EncodeMessage();
    void Assign(TIpMessage& source);

    void NewMessageStream();
    void NewMessage();
    // The message text; null after Clear until NewMessageStream.
    TIpAnsiTextStream* MessageStream() { return FMsgStream.get(); }
    std::string ReadLine();
    std::string ReadLineCRLF();
    void WriteLine(const std::string& text);
    bool AtEndOfStream();
    int64_t GetPosition();
    void SetPosition(int64_t position);
    int64_t GetSize();

    // Raise the stream's error when the file cannot be opened, and the
    // decoding error (after keeping what was decoded) when it fails.
    void LoadFromFile(const std::string& path);
    void LoadFromStream(TIpStream& stream);
    void SaveToFile(const std::string& path);
    void SaveToStream(TIpStream& stream);

    // The new part holding the file, as an attachment named after it.
    TIpMimeEntity* AddDefaultAttachment(const std::string& path);
    TIpMimeEntity* AddDefaultAttachmentAs(const std::string& path, const std::string& name);
    TIpMimeEntity* GetBodyPlain(bool create);
    TIpMimeEntity* GetBodyHtml(bool create);

    void CheckAllHeaders();
    void CheckHeaderType(TIpHeaderItem& item, TIpHeaderTypes type);

    std::vector<std::string> BCC;
    std::vector<std::string> CC;
    std::string Date;
    std::string From;
    std::string InReplyTo;
    std::string Keywords;
    std::string FollowUp;
    std::string Control;
    std::string MessageID;
    std::vector<std::string> Newsgroups;
    std::string NNTPPostingHost;
    std::string Organization;
    std::vector<std::string> Path;
    std::string PostingHost;
    std::vector<std::string> Received;
    std::vector<std::string> MailTo;
    std::vector<std::string> References;
    std::string ReplyTo;
    std::string ReturnPath;
    std::string Sender;
    std::string Subject;
    std::vector<std::string> UserFields;
    TIpHeaderCollection Headers{this};
    std::string DispositionNotify;

private:
    TIpMimeEntity* AddAttachment(const std::string& path, const std::string& name);
    TIpMimeEntity* GetBodyText(const std::string& subtype, bool create);
    void DecodePlainBody(std::string& line, bool atEnd);

    std::unique_ptr<TIpAnsiTextStream> FMsgStream;
};

class TIpMailMessage : public TIpMessage {};
class TIpNewsArticle : public TIpMessage {};

// Builds multipart/form-data.
class TIpFormDataEntity : public TIpMimeEntity {
public:
    explicit TIpFormDataEntity(TIpMimeEntity* parent = nullptr);
    void AddFormData(const std::string& name, const std::string& value);
    void AddFile(const std::string& path, const std::string& type, const std::string& subtype,
                 TIpMimeEncodingMethod encoding);
    void SaveToStream(TIpStream& stream);

private:
    TIpMimeEntity* FFiles = nullptr;
};

// The base64 coding of the whole text on one line.
std::string IpBase64EncodeString(const std::string& text);
