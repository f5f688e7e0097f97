#include "platform/command_line.h"

#include <cstdio>

namespace CommandLine {

bool IsHelp(std::string_view arg)
{
    return arg == "--help" || arg == "-h";
}

int Help(std::string_view usage)
{
    std::fwrite(usage.data(), 1, usage.size(), stdout);
    std::fflush(stdout);
    return 0;
}

int Refuse(std::string_view program, std::string_view why, std::string_view usage)
{
    const size_t blank = usage.find("\n\n");
    const std::string_view synopsis =
        blank == std::string_view::npos ? usage : usage.substr(0, blank + 1);
    std::fprintf(stderr, "%.*s: %.*s\n%.*s", static_cast<int>(program.size()), program.data(),
                 static_cast<int>(why.size()), why.data(), static_cast<int>(synopsis.size()),
                 synopsis.data());
    return 2;
}

int Unknown(std::string_view program, std::string_view arg, std::string_view usage)
{
    const std::string why =
        (arg.starts_with('-') ? "unknown option " : "unexpected argument ") + std::string(arg);
    return Refuse(program, why, usage);
}

} // namespace CommandLine
