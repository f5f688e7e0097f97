#include "mime_helpers.h"

#include "netlib/base/ip_base.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

std::string OracleCommand()
{
    const char* dir = std::getenv("SKIPMAIL_SOURCE_DIR");
    return std::string("python3 ") + (dir ? dir : SKIPMAIL_TEST_SOURCE_DIR) +
           "/tests/netlib/mime/mime_oracle.py";
}

std::string RandomBytes(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string out(n, '\0');
    for (auto& c : out)
        c = char(gen());
    return out;
}

std::string Unhex(const std::string& hex)
{
    std::string out;
    if (hex == "-")
        return out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

std::string ErrorText(const std::function<void()>& action)
{
    try {
        action();
    } catch (const EIpBaseException& e) {
        return e.what();
    }
    return "no error";
}

std::string Extract(TIpMimeEntity& entity)
{
    TIpMemoryStream out;
    entity.ExtractBodyStream(out);
    return out.Data();
}

std::vector<TLeaf> Leaves(TIpMimeEntity& entity)
{
    if (entity.MimeParts().GetCount() == 0)
        return {TLeaf{entity.FileName, Extract(entity)}};
    std::vector<TLeaf> out;
    for (int i = 0; i < entity.MimeParts().GetCount(); ++i)
        for (auto& leaf : Leaves(*entity.MimeParts().GetPart(i)))
            out.push_back(std::move(leaf));
    return out;
}

std::vector<TLeaf> ParseLeaves(const std::string& text)
{
    std::vector<TLeaf> out;
    std::istringstream lines(text);
    std::string name, data;
    while (lines >> name >> data) {
        if (name == "type" || name == "defects")
            continue;
        out.push_back(TLeaf{Unhex(name), Unhex(data)});
    }
    return out;
}

std::string EncodeWith(TIpMimeEncodingMethod method, const std::string& data,
                       const std::string& fileName)
{
    TIpMimeEntity entity;
    entity.ContentTransferEncoding = method;
    TIpMemoryStream in;
    in.WriteString(data);
    entity.EncodeBodyStream(in, fileName);
    entity.Body().Flush();
    return static_cast<TIpMemoryStream*>(entity.Body().Stream())->Data();
}

std::string DecodeWith(TIpMimeEncodingMethod method, const std::string& body)
{
    TIpMimeEntity entity;
    entity.ContentTransferEncoding = method;
    entity.Body().WriteString(body);
    return Extract(entity);
}
