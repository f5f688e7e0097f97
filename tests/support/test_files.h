#pragma once

#include <string>
#include <vector>

// A test's files: whole files read and written, a scratch folder of its own,
// and a data root of its own.

// The file's bytes; empty when it cannot be read.
std::string ReadFile(const std::string& path);
// Writes the bytes, making the folders above the file.
void WriteFile(const std::string& path, const std::string& bytes);
// Exchanges the names of two files in one step, as `mv --exchange` does
// (renameat2 with RENAME_EXCHANGE, through the system call: older C
// libraries have no wrapper); 0 or an errno value.
int ExchangeNames(const std::string& a, const std::string& b);
// The names in the folder `dir`, sorted.
std::vector<std::string> SortedNames(const std::string& dir);

// A fresh folder under the system's temporary folder, removed at destruction
// (kept when SKIPMAIL_KEEP_SCRATCH is set, to look at after a failure), and
// when SIGINT or SIGTERM ends the program (a Ctrl+C on a test run): the
// signal then ends it as it would have.
class TScratch {
public:
    TScratch();
    ~TScratch();
    TScratch(const TScratch&) = delete;
    TScratch& operator=(const TScratch&) = delete;

    const std::string& Dir() const { return FDir; }
    std::string Path(const std::string& relative) const { return FDir + "/" + relative; }

private:
    std::string FDir;
};

// A scratch folder set as the data root (DataRoot) when made.
class TempRoot : public TScratch {
public:
    TempRoot();

    void WriteFile(const std::string& relative, const std::string& data) const;
    std::string ReadFile(const std::string& relative) const;
    bool Exists(const std::string& relative) const;
};
