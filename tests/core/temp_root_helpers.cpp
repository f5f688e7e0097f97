#include "temp_root_helpers.h"

#include <chrono>

#include "core/core_report.h"

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
