#pragma once

#include <string>
#include <string_view>

// How every program of the project meets its command line, before it
// writes, opens, locks or starts anything: --help or -h prints its usage on
// standard output (status 0); an option or argument it does not take is
// named on standard error with the usage line (status 2).
//
// A usage text starts with its synopsis, one line or more each starting
// with "usage: " or blanks, then a blank line and the rest (what the
// program does, its options, the environment it reads). A refusal repeats
// the synopsis alone.
namespace CommandLine {

// True for --help and -h.
bool IsHelp(std::string_view arg);

// The whole usage on standard output; 0, the program's status.
int Help(std::string_view usage);

// "PROGRAM: WHY" and the synopsis on standard error; 2, the program's
// status.
int Refuse(std::string_view program, std::string_view why, std::string_view usage);

// Refuse() with the words for `arg`: an unknown option where it starts
// with '-', else an argument the program does not take.
int Unknown(std::string_view program, std::string_view arg, std::string_view usage);

} // namespace CommandLine
