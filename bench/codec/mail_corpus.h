#pragma once

#include <string>
#include <vector>

// The corpus the codec and link benchmarks share, the same on every machine:
// the English texts under bench/codec/texts (licence texts, copied verbatim),
// and 120 mail-like items made from them, each a text part and every other
// one with a base64 attachment (random bytes or text).
namespace MailCorpus {

const std::vector<std::string>& Texts();
// Each begins with its "RCPT: " envelope line, as a station's outgoing mail.
const std::vector<std::string>& Mails();
// The texts, then the mails.
const std::vector<std::string>& All();

} // namespace MailCorpus
