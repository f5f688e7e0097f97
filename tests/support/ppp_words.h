#pragma once

#include <string>
#include <vector>

// A file in pppd's options or secrets syntax as pppd's manual page says it
// reads (ppp_words.py): the words of each line that holds any. Fails the
// running test when the file cannot be read that way.
using TPppWords = std::vector<std::vector<std::string>>;
TPppWords PppdReads(const std::string& path);
