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

// The UU coder.
class TIdMessageEncoderUUE : public TIdMessageEncoder {
public:
    TIdMessageEncoderUUE() = default;
    void Encode(std::istream& src, std::ostream& dest) override;

protected:
    explicit TIdMessageEncoderUUE(bool xx) : FXX(xx) {}

private:
    bool FXX = false;
};

// The XX coder: the same lines in the XX alphabet.
class TIdMessageEncoderXXE : public TIdMessageEncoderUUE {
public:
    TIdMessageEncoderXXE() : TIdMessageEncoderUUE(true) {}
};

class TIdMessageEncoderInfoUUE : public TIdMessageEncoderInfo {
public:
    std::unique_ptr<TIdMessageEncoder> MakeEncoder() const override
    {
        return std::make_unique<TIdMessageEncoderUUE>();
    }
    std::string TransferEncoding() const override { return "x-uuencode"; }
};

class TIdMessageEncoderInfoXXE : public TIdMessageEncoderInfo {
public:
    std::unique_ptr<TIdMessageEncoder> MakeEncoder() const override
    {
        return std::make_unique<TIdMessageEncoderXXE>();
    }
    std::string TransferEncoding() const override { return "x-xxencode"; }
};
