#pragma once

#include <string>
#include <vector>

// Mail as a field station writes it: `count` messages of plain English text,
// each between 2 and 4 KB with its headers and its "RCPT: " envelope line,
// the same on every run and every machine (a fixed generator, no files).
namespace FieldMail {

std::vector<std::string> Make(int count, const std::string& recipient);

} // namespace FieldMail
