// Damaged messages and bodies through the whole reading road. Built once
// more with AddressSanitizer and UBSan (extra.cmake): every read must stay
// inside its buffers, and a failure must come as the library's exception.
#include "netlib/base/ip_base.h"
#include "netlib/mime/ip_message.h"

#include <gtest/gtest.h>

#include <random>

namespace {

std::string Seed()
{
    TIpMessage message;
    message.From = "a@example.org";
    message.Subject = "seed";
    message.Body().WriteLine("preamble");
    std::mt19937 gen(5);
    std::string data(700, '\0');
    for (auto& c : data)
        c = char(gen() % 7 == 0 ? 0x90 : gen());
    for (auto method : {emBase64, emQuoted, emUUEncode, emBinHex, em8Bit}) {
        TIpMimeEntity* part = message.NewMimePart();
        part->ContentType = "application";
        part->ContentSubtype = "octet-stream";
        part->ContentDispositionType = "attachment";
        part->ContentTransferEncoding = method;
        TIpMemoryStream in;
        in.WriteString(method == em8Bit ? std::string("text line\r\nmore\r\n") : data);
        part->EncodeBodyStream(in, "part" + std::to_string(method) + ".bin");
    }
    TIpMimeEntity* alternative = message.NewMimePart();
    alternative->ContentSubtype = "alternative";
    alternative->NewMimePart()->Body().WriteLine("inner");
    message.EncodeMessage();
    TIpMemoryStream out;
    message.SaveToStream(out);
    return out.Data();
}

void ReadEverything(TIpMimeEntity& entity)
{
    TIpMemoryStream out;
    try {
        entity.ExtractBodyStream(out);
    } catch (const EIpBaseException&) {
    }
    for (int i = 0; i < entity.MimeParts().GetCount(); ++i)
        ReadEverything(*entity.MimeParts().GetPart(i));
}

std::string Mutate(std::string text, std::mt19937& gen)
{
    static const std::string pieces[] = {
        "\r\n",        "\r\n--",
        "=",           "=\r\n",
        ":",           "\"",
        ";",           "\r\nContent-Type: multipart/mixed; boundary=\"x\"\r\n",
        "\r\n--x\r\n", "begin 644 f\r\n",
        "\x90",        "\t"};
    const int edits = 1 + int(gen() % 6);
    for (int e = 0; e < edits && !text.empty(); ++e) {
        const size_t at = gen() % text.size();
        switch (gen() % 5) {
        case 0:
            text[at] = char(gen());
            break;
        case 1:
            text.erase(at, gen() % 40);
            break;
        case 2:
            text.insert(at, pieces[gen() % std::size(pieces)]);
            break;
        case 3:
            text.insert(at, text.substr(gen() % text.size(), gen() % 200));
            break;
        default:
            text.resize(at);
            break;
        }
    }
    return text;
}

TEST(MimeMutation, DamagedMessagesFailCleanly)
{
    constexpr int Rounds = 4000;
    const std::string seed = Seed();
    std::mt19937 gen(1);
    int failures = 0;
    for (int round = 0; round < Rounds; ++round) {
        TIpMessage message;
        TIpMemoryStream in;
        in.WriteString(Mutate(seed, gen));
        try {
            message.LoadFromStream(in);
        } catch (const EIpBaseException&) {
            ++failures;
        }
        ReadEverything(message);
        message.EncodeMessage();
    }
    // Some damage is harmless, some is not; both kinds came by.
    EXPECT_GT(failures, 0);
    EXPECT_LT(failures, Rounds);
}

TEST(MimeMutation, DecodersTakeAnyBytes)
{
    std::mt19937 gen(2);
    const std::string binhex = "(This file must be converted with BinHex 4.0)\r\n:";
    for (int round = 0; round < 3000; ++round) {
        std::string body(gen() % 300, '\0');
        for (auto& c : body)
            c = char(gen() % 3 ? 33 + gen() % 94 : gen());
        const auto method = TIpMimeEncodingMethod(gen() % 8);
        if (method == emBinHex)
            body = binhex + body + (gen() % 2 ? ":" : "");
        TIpMimeEntity entity;
        entity.ContentTransferEncoding = method;
        entity.Body().WriteString(body);
        TIpMemoryStream out;
        try {
            entity.ExtractBodyStream(out);
        } catch (const EIpBaseException&) {
        }
    }
}

} // namespace
