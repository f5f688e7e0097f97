#pragma once

#include <string>

// Letter case of ASCII letters only: texts are 8-bit bytes, and names that
// the core compares (stations, aliases) are plain ASCII.
bool SameTextIgnoreCase(const std::string& a, const std::string& b);
// <0, 0, >0 as a compares to b without regard to ASCII letter case.
int CompareTextIgnoreCase(const std::string& a, const std::string& b);
std::string UpperCase(std::string text);
