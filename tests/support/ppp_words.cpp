#include "support/ppp_words.h"

#include "support/shell_command.h"

#include <cstdlib>
#include <sstream>

namespace {

std::string Unhex(const std::string& hex)
{
    std::string out;
    if (hex == "-")
        return out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// A word the shell takes as it is.
std::string ShellWord(const std::string& text)
{
    std::string out = "'";
    for (const char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

} // namespace

TPppWords PppdReads(const std::string& path)
{
    const std::string script =
        std::string(std::getenv("SKIPMAIL_SOURCE_DIR")) + "/tests/support/ppp_words.py";
    std::istringstream out(RunShell("python3 " + ShellWord(script) + " " + ShellWord(path)));
    TPppWords lines;
    std::string line;
    while (std::getline(out, line)) {
        std::istringstream words(line);
        std::string hex;
        lines.emplace_back();
        while (words >> hex)
            lines.back().push_back(Unhex(hex));
    }
    return lines;
}
