// The UU and XX message coders: an attachment between a "begin" line and an
// "end" line, 45 bytes a line.
#pragma once

#include "netproto/message/id_message_coder.h"

class TIdMessageDecoderUUE : public TIdMessageDecoder {
public:
    TIdMessageDecoderUUE(TIdMessage& message, TIdMessageLineReader& reader,
                         const std::string& filename);
    std::unique_ptr<TIdMessageDecoder> ReadBody(std::ostream& dest, bool& msgEnd) override;
};

// "begin", a blank, a mode of three digits (at least 1), a blank, the file
// name.
class TIdMessageDecoderInfoUUE : public TIdMessageDecoderInfo {
public:
    std::unique_ptr<TIdMessageDecoder> CheckForStart(TIdMessage& message,
                                                     TIdMessageLineReader& reader,
                                                     const std::string& line) const override;
};

// The UU coder, or the XX coder.
class TIdMessageEncoderUUE : public TIdMessageEncoder {
public:
    explicit TIdMessageEncoderUUE(bool xx = false) : FXX(xx) {}
    void Encode(std::istream& src, std::ostream& dest) override;

private:
    bool FXX;
};

class TIdMessageEncoderInfoUUE : public TIdMessageEncoderInfo {
public:
    explicit TIdMessageEncoderInfoUUE(bool xx = false) : FXX(xx) {}
    std::unique_ptr<TIdMessageEncoder> MakeEncoder() const override
    {
        return std::make_unique<TIdMessageEncoderUUE>(FXX);
    }
    std::string TransferEncoding() const override { return FXX ? "x-xxencode" : "x-uuencode"; }

private:
    bool FXX;
};
