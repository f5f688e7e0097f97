#pragma once

#include <string>
#include <string_view>
#include <vector>

// The syntax of pppd's options and secrets files (pppd(8), "OPTIONS FILES"
// and "AUTHENTICATION"): words separated by whitespace, double quotes that
// hold whitespace, a backslash that takes the next character as it is, and
// a # that starts a comment running to the end of the line. A secrets line
// is a client name, a server name, the secret and any addresses.
//
// Decisions:
// - A value is written as one double-quoted word with a backslash before
//   each backslash and double quote. That form reads back the same under the
//   manual page's rules and under pppd's own reader, which also knows single
//   quotes and C-like escapes.
// - Control characters are never written: the manual gives them no form, and
//   a line end inside a word would split a secrets line.
// - Reading also takes single quotes, and a backslash before a line end
//   joins the lines, as pppd does, so hand-written files read as pppd reads
//   them.

struct TPppLine {
    // The line as it stands in the file, without its end.
    std::string Text;
    std::vector<std::string> Words;
};

// Splits a file into lines of words. A quoted word may run over a line end;
// its line then goes on. False when the text ends inside quotes or after a
// backslash, which pppd would not read as written.
bool PppSplitLines(std::string_view text, std::vector<TPppLine>& lines);

// Whether the value can be written as a word: no control characters.
bool PppWritable(std::string_view value);
// The value as one quoted word.
std::string PppQuote(std::string_view value);
// The lines' texts, each ended by a line end.
std::string PppJoinLines(const std::vector<TPppLine>& lines);
