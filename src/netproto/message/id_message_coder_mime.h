// The MIME message coders: the decoder reads the parts between the
// boundaries (and a single-part body in base64 or quoted-printable), the
// encoder writes an attachment in base64.
#pragma once

#include "netproto/message/id_message_coder.h"

class TIdMessageDecoderMIME : public TIdMessageDecoder {
public:
    // A part that starts after a boundary line: its headers follow.
    TIdMessageDecoderMIME(TIdMessage& message, TIdMessageLineReader& reader);
    // The whole body as one part, its headers the message's; firstLine is
    // its first line.
    TIdMessageDecoderMIME(TIdMessage& message, TIdMessageLineReader& reader,
                          const std::string& firstLine);

    void ReadHeader() override;
    std::unique_ptr<TIdMessageDecoder> ReadBody(std::ostream& dest, bool& msgEnd) override;

private:
    // Skips lines up to the next part start of the current boundary,
    // closing nested multiparts on the way; false when no part follows (the
    // message ended, or its last boundary closed).
    bool SkipToNextPart();

    bool FSinglePart = false;
    std::string FFirstLine;
};

class TIdMessageDecoderInfoMIME : public TIdMessageDecoderInfo {
public:
    std::unique_ptr<TIdMessageDecoder> CheckForStart(TIdMessage& message,
                                                     TIdMessageLineReader& reader,
                                                     const std::string& line) const override;
};

// base64, 57 bytes a line.
class TIdMessageEncoderMIME : public TIdMessageEncoder {
public:
    void Encode(std::istream& src, std::ostream& dest) override;
};

class TIdMessageEncoderInfoMIME : public TIdMessageEncoderInfo {
public:
    std::unique_ptr<TIdMessageEncoder> MakeEncoder() const override;
    std::string TransferEncoding() const override { return "base64"; }
    void InitializeHeaders(TIdMessage& message) const override;
};

// The boundaries that the message client writes.
inline constexpr const char* IdMIMEBoundary = "=_MoreStuf_2zzz1234sadvnqw3nerasdf";
inline constexpr const char* IdMIMEBoundaryRelated = "=_MoreStuf_2relzzzsadvnq1234w3nerasdf";
inline constexpr const char* IdMIMEBoundaryAlternative = "=_MoreStuf_2altzzz1234sadvnqw3nerasdf";
