#include "support/test_files.h"

#include "platform/data_root.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <stdlib.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef RENAME_EXCHANGE
#define RENAME_EXCHANGE (1 << 1)
#endif

namespace fs = std::filesystem;

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty())
        fs::create_directories(parent);
    std::ofstream(path, std::ios::binary) << bytes;
}

int ExchangeNames(const std::string& a, const std::string& b)
{
    if (::syscall(SYS_renameat2, AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE) == 0)
        return 0;
    return errno;
}

TScratch::TScratch()
{
    std::string tmpl = (fs::temp_directory_path() / "skiptest.XXXXXX").string();
    if (!::mkdtemp(tmpl.data()))
        throw std::runtime_error("no scratch folder");
    FDir = tmpl;
}

TScratch::~TScratch()
{
    std::error_code ec;
    if (!std::getenv("SKIPMAIL_KEEP_SCRATCH"))
        fs::remove_all(FDir, ec);
}

TempRoot::TempRoot()
{
    DataRoot::Set(Dir());
}

void TempRoot::WriteFile(const std::string& relative, const std::string& data) const
{
    ::WriteFile(Path(relative), data);
}

std::string TempRoot::ReadFile(const std::string& relative) const
{
    return ::ReadFile(Path(relative));
}

bool TempRoot::Exists(const std::string& relative) const
{
    return fs::exists(Path(relative));
}
