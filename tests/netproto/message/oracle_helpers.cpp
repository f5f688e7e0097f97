#include "oracle_helpers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace {

std::string Hex(std::string_view bytes)
{
    if (bytes.empty()) {
        return "-";
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

std::string Unhex(std::string_view hex)
{
    if (hex == "-") {
        return {};
    }
    std::string out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    }
    return out;
}

std::string SourceDir()
{
    const char* dir = std::getenv("SKIPMAIL_SOURCE_DIR");
    return dir ? dir : SKIPMAIL_TEST_SOURCE_DIR;
}

} // namespace

std::string MakeScratchDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "skiptextXXXXXX").string();
    if (!mkdtemp(pattern.data())) {
        ADD_FAILURE() << "mkdtemp failed";
    }
    return pattern;
}

std::vector<OracleRecord> AskPython(const std::string& command,
                                    const std::vector<OracleRecord>& records)
{
    const std::string dir = MakeScratchDir();
    const std::string input = dir + "/records";
    {
        std::ofstream f(input);
        for (const auto& record : records) {
            for (std::size_t i = 0; i < record.size(); ++i) {
                f << (i ? " " : "") << Hex(record[i]);
            }
            f << "\n";
        }
    }
    const std::string out = RunShell("python3 " + SourceDir() +
                                     "/tests/netproto/message/oracle.py " + command + " " + input);
    std::filesystem::remove_all(dir);
    std::vector<OracleRecord> answers;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        OracleRecord record;
        std::istringstream fields(line);
        std::string field;
        while (fields >> field) {
            record.push_back(Unhex(field));
        }
        answers.push_back(record);
    }
    EXPECT_EQ(answers.size(), records.size()) << command;
    return answers;
}

std::string RandomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::string out(n, '\0');
    for (auto& c : out) {
        c = static_cast<char>(gen() & 0xFF);
    }
    return out;
}

std::string Normalized(std::string_view s)
{
    std::string out;
    bool blank = false;
    for (char c : s) {
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            blank = !out.empty();
            continue;
        }
        if (blank) {
            out += ' ';
            blank = false;
        }
        out += c;
    }
    return out;
}
