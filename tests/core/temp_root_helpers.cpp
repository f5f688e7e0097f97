#include "temp_root_helpers.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "core/core_report.h"
#include "platform/data_root.h"

namespace fs = std::filesystem;

TempRoot::TempRoot()
{
    static std::atomic<int> serial{0};
    m_dir = (fs::temp_directory_path() /
             ("skip_core_" + std::to_string(::getpid()) + "_" + std::to_string(serial++)))
                .string();
    fs::remove_all(m_dir);
    fs::create_directories(m_dir);
    DataRoot::Set(m_dir);
}

TempRoot::~TempRoot()
{
    std::error_code ec;
    fs::remove_all(m_dir, ec);
}

void TempRoot::WriteFile(const std::string& relative, const std::string& data) const
{
    fs::create_directories(fs::path(Path(relative)).parent_path());
    std::ofstream out(Path(relative), std::ios::binary);
    out << data;
}

std::string TempRoot::ReadFile(const std::string& relative) const
{
    std::ifstream in(Path(relative), std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool TempRoot::Exists(const std::string& relative) const
{
    return fs::exists(Path(relative));
}

TReportProbe::TReportProbe(std::function<void()> probe) : m_probe(std::move(probe))
{
    CoreReport::SetErrorHandler([this](const std::string& text) {
        Reports.push_back(text);
        m_probes.push_back(std::async(std::launch::async, m_probe));
        ProbeFinished =
            m_probes.back().wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    });
}

TReportProbe::~TReportProbe()
{
    CoreReport::SetErrorHandler(nullptr);
}

TLogProbe::TLogProbe()
{
    // Lines that earlier tests logged without a handler are not this test's.
    CoreReport::SetLogHandler(nullptr);
    CoreReport::SetLogHandler([this](const std::string& text) { Lines.push_back(text); });
}

TLogProbe::~TLogProbe()
{
    CoreReport::SetLogHandler(nullptr);
}

std::vector<std::string> TLogProbe::With(const std::string& text) const
{
    std::vector<std::string> found;
    for (const std::string& line : Lines)
        if (line.find(text) != std::string::npos)
            found.push_back(line);
    return found;
}
