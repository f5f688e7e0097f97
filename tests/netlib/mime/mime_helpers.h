#pragma once

#include "netlib/mime/ip_message.h"
#include "support/shell_command.h"
#include "support/test_files.h"

#include <functional>
#include <string>
#include <vector>

// The Python oracle beside these tests, ready to take its arguments.
std::string OracleCommand();

std::string RandomBytes(size_t n, unsigned seed);
std::string Unhex(const std::string& hex);
// The text of the library error the action raises; "no error" when none.
std::string ErrorText(const std::function<void()>& action);

// A decoded leaf part: its file name and its data.
struct TLeaf {
    std::string FileName;
    std::string Data;
    bool operator==(const TLeaf&) const = default;
};
// The leaves of the entity in walk order, each body decoded.
std::vector<TLeaf> Leaves(TIpMimeEntity& entity);
// Leaves as the oracle prints them ("<hex name> <hex data>" lines).
std::vector<TLeaf> ParseLeaves(const std::string& text);
// The decoded body of one entity.
std::string Extract(TIpMimeEntity& entity);
// Fills a body through the coder of that method and returns the body text.
std::string EncodeWith(TIpMimeEncodingMethod method, const std::string& data,
                       const std::string& fileName = "data.bin");
// Decodes a body text by that method.
std::string DecodeWith(TIpMimeEncodingMethod method, const std::string& body);
