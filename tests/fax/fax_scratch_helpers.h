#pragma once

#include <string>

// Scratch folders and whole-file bytes for every fax test program.
namespace FaxTest {

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& bytes);

// A fresh folder removed at destruction (kept when SKIPMAIL_KEEP_SCRATCH is
// set, to look at after a failure).
class TScratch {
public:
    TScratch();
    ~TScratch();
    TScratch(const TScratch&) = delete;
    TScratch& operator=(const TScratch&) = delete;

    const std::string& Dir() const { return FDir; }
    std::string Path(const std::string& name) const { return FDir + "/" + name; }

private:
    std::string FDir;
};

} // namespace FaxTest
