#pragma once

#include "netproto/message/id_hash.h"

class TIdHashMessageDigest : public TIdHash128 {};

// MD4 (RFC 1320). The round functions are virtual so that a descendant can
// replace them; MD5 reuses the streaming driver and padding.
class TIdHashMessageDigest4 : public TIdHashMessageDigest {
public:
    TIdDigest128 HashStream(std::istream& stream) override;

protected:
    virtual void TransformBlock();
    virtual std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z);
    virtual std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z);
    virtual std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z);

    std::array<std::uint32_t, 4> State{};
    std::array<std::uint8_t, 64> Block{};
};

// MD5 (RFC 1321).
class TIdHashMessageDigest5 : public TIdHashMessageDigest4 {
protected:
    void TransformBlock() override;
    std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) override;
    virtual std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z);
};
