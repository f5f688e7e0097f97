// The message coders: decoders split a message body into parts while it is
// read, encoders write attachments. Both are found by name in a registry
// that holds the built-in ones from its first use: the "UUE" and "MIME"
// decoders, the "UUE", "XXE" and "MIME" encoders.
#pragma once

#include "netproto/message/id_header_list.h"

#include <istream>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

class TIdMessage;

// Where a decoder reads the lines of the message being read: false at its
// end. Dot-stuffing is already undone.
class TIdMessageLineReader {
public:
    virtual ~TIdMessageLineReader() = default;
    virtual bool ReadLine(std::string& line) = 0;
};

// mcptIgnore: a part that holds nothing to keep (a multipart with no part
// of its own).
enum TIdMessageCoderPartType { mcptUnknown, mcptText, mcptAttachment, mcptIgnore };

// Reads one part: its headers, then its content.
class TIdMessageDecoder {
public:
    TIdMessageDecoder(TIdMessage& message, TIdMessageLineReader& reader)
        : FMessage(message), FReader(reader)
    {
    }
    virtual ~TIdMessageDecoder() = default;

    virtual void ReadHeader() {}
    // Writes the decoded content to dest; returns the decoder of the next
    // part, if one starts where this one ends. msgEnd is set when the
    // message text ended.
    virtual std::unique_ptr<TIdMessageDecoder> ReadBody(std::ostream& dest, bool& msgEnd) = 0;

    TIdMessageCoderPartType PartType() const { return FPartType; }
    const std::string& Filename() const { return FFilename; }
    const TIdHeaderList& Headers() const { return FHeaders; }

protected:
    TIdMessage& FMessage;
    TIdMessageLineReader& FReader;
    TIdHeaderList FHeaders;
    std::string FFilename;
    TIdMessageCoderPartType FPartType = mcptUnknown;
};

// Recognises the start of a part in a body line.
class TIdMessageDecoderInfo {
public:
    virtual ~TIdMessageDecoderInfo() = default;
    virtual std::unique_ptr<TIdMessageDecoder> CheckForStart(TIdMessage& message,
                                                             TIdMessageLineReader& reader,
                                                             const std::string& line) const = 0;
};

class TIdMessageDecoderList {
public:
    static TIdMessageDecoderList& Instance();
    void RegisterDecoder(const std::string& name, std::unique_ptr<TIdMessageDecoderInfo> info);
    // None when no decoder of that name is registered.
    const TIdMessageDecoderInfo* ByName(const std::string& name) const;
    // Asks each decoder, in registration order, whether the line starts a
    // part.
    std::unique_ptr<TIdMessageDecoder>
    CheckForStart(TIdMessage& message, TIdMessageLineReader& reader, const std::string& line) const;

private:
    TIdMessageDecoderList();
    std::vector<std::pair<std::string, std::unique_ptr<TIdMessageDecoderInfo>>> FItems;
};

// Writes one attachment.
class TIdMessageEncoder {
public:
    virtual ~TIdMessageEncoder() = default;
    // Codes the bytes of src to the end into text lines, each ended by CR LF.
    virtual void Encode(std::istream& src, std::ostream& dest) = 0;

    std::string Filename;
    int PermissionCode = 660;
};

class TIdMessageEncoderInfo {
public:
    virtual ~TIdMessageEncoderInfo() = default;
    virtual std::unique_ptr<TIdMessageEncoder> MakeEncoder() const = 0;
    // The Content-Transfer-Encoding of what the encoder writes.
    virtual std::string TransferEncoding() const = 0;
    // Gives a message with parts the Content-Type its layout needs.
    virtual void InitializeHeaders(TIdMessage&) const {}
};

class TIdMessageEncoderList {
public:
    static TIdMessageEncoderList& Instance();
    void RegisterEncoder(const std::string& name, std::unique_ptr<TIdMessageEncoderInfo> info);
    // Raises "Message encoder not found" for a name that is not registered.
    const TIdMessageEncoderInfo& ByName(const std::string& name) const;

private:
    TIdMessageEncoderList();
    std::vector<std::pair<std::string, std::unique_ptr<TIdMessageEncoderInfo>>> FItems;
};
