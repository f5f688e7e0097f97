#pragma once

#include <string>

// A fresh data root for one test: a directory of its own under the system's
// temporary directory, set as DataRoot and removed afterwards.
class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::string& Dir() const { return m_dir; }
    std::string Path(const std::string& relative) const { return m_dir + "/" + relative; }

    void WriteFile(const std::string& relative, const std::string& data) const;
    std::string ReadFile(const std::string& relative) const;
    bool Exists(const std::string& relative) const;

private:
    std::string m_dir;
};
