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

} // namespace

TPppWords PppdReads(const std::string& path)
{
    const std::string script =
        std::string(std::getenv("SKIPMAIL_SOURCE_DIR")) + "/tests/support/ppp_words.py";
    std::istringstream out(RunShell("python3 '" + script + "' '" + path + "'"));
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
