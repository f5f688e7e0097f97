#include "fax/fax_scratch_helpers.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <stdlib.h>

namespace FaxTest {

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

TScratch::TScratch()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "skipfax.XXXXXX").string();
    if (!::mkdtemp(tmpl.data()))
        throw std::runtime_error("no scratch folder");
    FDir = tmpl;
}

TScratch::~TScratch()
{
    std::error_code ec;
    if (!std::getenv("SKIPMAIL_KEEP_SCRATCH"))
        std::filesystem::remove_all(FDir, ec);
}

} // namespace FaxTest
