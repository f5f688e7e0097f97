#pragma once

#include "netlib/mime/ip_text_stream.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The MIME model: raw header fields, and the entity with its content
// headers, its body held as encoded text (CR LF line ends) and its parts.
//
// Decisions:
// - Field names are matched up to the colon whatever their case and spacing,
//   and values are trimmed: "content-transfer-encoding:BASE64 " is base64.
// - The lines of a part from its boundary up to the first empty line are its
//   header, whatever field comes first. A part that starts with an empty line
//   has none.
// - The line break before a boundary line belongs to the boundary, as in
//   RFC 2046: a part's body ends with the last byte before it, and encoding
//   always writes a line break before the next boundary. Decoding and
//   encoding therefore give each other back the same bytes.
// - Parameters are read as RFC 2045 and 2231 write them: quoted strings with
//   backslash escapes, ";" inside quotes, continuations and charset-coded
//   values (UTF-8 becomes Windows-1252); file names also with RFC 2047
//   encoded words inside the quotes, as many mailers write them. Quoted
//   values are written with their quotes and backslashes escaped, and a
//   file name with 8-bit characters as an RFC 2231 value in UTF-8.
// - Attachment file names are offered without any directory part or control
//   character; "." and ".." become empty. No caller can be led outside its
//   directory by a name from a message.
// - A multipart entity without a subtype becomes multipart/mixed: "multipart"
//   alone reads as plain text in mail clients.
// - Boundaries carry a process-wide counter besides the time and a random
//   number, so two made in the same millisecond still differ.
// - Parts nest at most IpMaxMimeNesting deep; deeper nesting is refused with
//   an error rather than run the stack out.
// - Content parameters are joined by "; " and file names always quoted, as
//   mail readers (munpack among them) split them.
// - Uuencoded parts are written as "x-uuencode", the name mail readers know;
//   "uuencoded", "uuencode" and "x-uue" are read as well.
// - A body larger than 5 MB, decoded or encoded, moves to a self-deleting
//   mapped spill file.
// - 7bit, 8bit and binary bodies are extracted byte for byte: their line ends
//   are already CR LF.

enum TIpMimeEncodingMethod : int {
    em7Bit = 0,
    em8Bit = 1,
    emBase64 = 2,
    emBinary = 3,
    emBinHex = 4,
    emQuoted = 5,
    emUUEncode = 6,
    emUnknown = 7
};

inline constexpr int64_t IpLargeBodySize = 0x500000;
inline constexpr int IpMaxMimeNesting = 64;

class TIpHeaderCollection;
class TIpMimeEntity;

class TIpHeaderItem {
public:
    explicit TIpHeaderItem(TIpHeaderCollection* collection) : Collection(collection) {}

    void SetName(const std::string& name);
    const std::string& Name() const { return FName; }
    const std::string& NameL() const { return FNameL; }
    void SetValue(const std::vector<std::string>& lines) { Value = lines; }

    TIpHeaderCollection* Collection;
    bool IsProperty = false;
    std::vector<std::string> Value;

private:
    std::string FName;
    std::string FNameL;
};

class TIpHeaderCollection {
public:
    explicit TIpHeaderCollection(void* owner = nullptr) : FOwner(owner) {}

    int Count() const { return int(FItems.size()); }
    // Null for an index out of range.
    TIpHeaderItem* GetItem(int index) const;
    void SetItem(int index, const TIpHeaderItem& item);
    TIpHeaderItem* Add();
    void Delete(int index);
    void Clear() { FItems.clear(); }
    // The index of the first field of that name (any case), or -1.
    int HasHeader(const std::string& name) const;
    // The field's value lines, or an empty list.
    void HeaderByName(const std::string& name, std::vector<std::string>& lines) const;
    void LoadHeaders(const std::vector<std::string>& lines, bool append);
    void* GetOwner() const { return FOwner; }

private:
    void* FOwner;
    std::vector<std::unique_ptr<TIpHeaderItem>> FItems;
};

class TIpMimeParts {
public:
    TIpMimeParts() = default;
    ~TIpMimeParts() { Clear(); }
    TIpMimeParts(const TIpMimeParts&) = delete;
    TIpMimeParts& operator=(const TIpMimeParts&) = delete;

    TIpMimeEntity* Add(std::unique_ptr<TIpMimeEntity> part);
    // Takes the part out of the list; the caller owns it then.
    std::unique_ptr<TIpMimeEntity> Remove(TIpMimeEntity* part);
    int IndexOf(const TIpMimeEntity* part) const;
    void Delete(int index);
    void Clear();
    int GetCount() const { return int(FParts.size()); }
    // Null for an index outside 0..count-1.
    TIpMimeEntity* GetPart(int index) const;

private:
    std::vector<std::unique_ptr<TIpMimeEntity>> FParts;
};

// Progress in percent; set abort to stop the running coder.
using TIpCodingProgressEvent =
    std::function<void(TIpMimeEntity* sender, uint8_t progress, bool& abort)>;

class TIpMimeEntity {
public:
    explicit TIpMimeEntity(TIpMimeEntity* parent = nullptr);
    virtual ~TIpMimeEntity();
    TIpMimeEntity(const TIpMimeEntity&) = delete;
    TIpMimeEntity& operator=(const TIpMimeEntity&) = delete;

    virtual void Clear();
    // A fresh body in a self-deleting mapped file sized for size bytes.
    virtual void ClearBodyLargeAttach(int64_t size);
    void ClearBody();

    // Reading: one part from the line after its boundary; on return line
    // holds the line that ended it (a boundary, or empty at the end).
    void DecodeEntity(TIpAnsiTextStream& stream, std::string& line);
    void DecodeEntityAsAttachment(TIpAnsiTextStream& stream, std::string& line);
    void DecodeMimeHeaders(const std::vector<std::string>& lines);
    void DecodeContentType(const std::string& text);
    void DecodeContentDisposition(const std::string& text);
    void DecodeContentTransferEncoding(const std::string& text);

    // Writing.
    void EncodeEntity(TIpStream& stream, std::string& boundary);
    void EncodeMimeHeaders(std::vector<std::string>& lines);
    std::string EncodeContentType() const;
    std::string EncodeContentTransferEncoding() const;
    void EncodeContentDisposition(std::vector<std::string>& lines) const;

    // Fill the body from data, coded by ContentTransferEncoding.
    void EncodeBodyStream(TIpStream& data, const std::string& fileName);
    void EncodeBodyStrings(const std::vector<std::string>& lines, const std::string& fileName);
    void EncodeBodyFile(const std::string& path);
    // The decoded body. An empty body extracts nothing (and makes no file); a
    // file is written whole or not at all.
    void ExtractBodyStream(TIpStream& stream);
    void ExtractBodyStrings(std::vector<std::string>& lines);
    void ExtractBodyFile(const std::string& path);

    TIpMimeEntity* GetMimePart(const std::string& type, const std::string& subtype,
                               const std::string& contentID, bool create);
    TIpMimeEntity* FindNestedMimePart(const std::string& type, const std::string& subtype,
                                      const std::string& contentID);
    // Makes this entity multipart and appends a new part.
    TIpMimeEntity* NewMimePart();
    static bool ContainsSpecialChars(const std::string& text);
    void DoOnCodingProgress(int64_t done, int64_t total, bool& abort);

    TIpMimeParts& MimeParts() { return FMimeParts; }
    const TIpMimeParts& MimeParts() const { return FMimeParts; }
    TIpAnsiTextStream& Body() { return *FBody; }
    TIpMimeEntity* Parent() const { return FParent; }
    const std::string& ParentBoundary() const { return FParentBoundary; }

    std::string Name;
    std::string Boundary;
    std::string CharSet;
    std::string ContentDescription;
    std::string ContentDispositionType;
    std::string ContentID;
    std::string ContentSubtype;
    std::string ContentType;
    std::string CreationDate;
    TIpMimeEncodingMethod ContentTransferEncoding = emUnknown;
    std::string FileName;
    bool IsMime = false;
    bool IsMultipart = false;
    std::string ModificationDate;
    std::string MimeVersion;
    TIpCodingProgressEvent OnCodingProgress;
    int64_t Size = 0;
    std::string ReadDate;
    std::string RelatedType;
    std::string RelatedSubtype;
    std::string Start;
    std::string StartInfo;
    int AttachmentCount = 0;

protected:
    // The body of this entity from the given line on (the header is read);
    // true when the stream ended it.
    bool DecodeEntityBody(TIpAnsiTextStream& stream, std::string& line, bool atEnd, int depth);
    bool DecodeEntityAt(TIpAnsiTextStream& stream, std::string& line, int depth);
    // A body over 5 MB goes on in a mapped spill file.
    void SpillLargeBody();
    void EncodeBodyData(std::string_view data, const std::string& fileName);

    uint8_t FProgress = 0;
    uint8_t FLastProgress = 0;
    TIpMimeParts FMimeParts;
    std::string FParentBoundary;
    std::unique_ptr<TIpAnsiTextStream> FBody;
    TIpMimeEntity* FParent;
    int FDepth = 0;
};

// Header field helpers the message shares with the entity.
namespace IpMime {
// Whether the line opens a header field ("name:").
bool IsFieldLine(const std::string& line);
// Splits a field line into its name and the text after the colon.
bool SplitField(const std::string& line, std::string& name, std::string& value);
// The pieces of a list split at the separator, trimmed, empty ones dropped.
// A separator inside a quoted string or a comment splits nothing: a display
// name such as "Smith, John" stays one address.
std::vector<std::string> SplitList(const std::string& text, char separator);
// Lines of one field of several values, folded as the library writes them:
// a new line before a value that would pass 1000 characters, and after each
// separator when folded.
std::vector<std::string> ComposeField(const std::string& field,
                                      const std::vector<std::string>& values,
                                      const std::string& separator, bool folded);
// The file-name part of a path ("/" or "\" separated).
std::string ExtractFileName(const std::string& path);
// A file name from a message, safe to put below a directory.
std::string SafeFileName(const std::string& name);
std::string NewBoundary();
std::string Trim(const std::string& text);
std::string Lower(std::string text);
bool SameText(const std::string& a, const std::string& b);
} // namespace IpMime
