#pragma once

#include <functional>
#include <future>
#include <string>
#include <vector>

#include "support/test_files.h"

// Catches the core's error reports for its lifetime. At each report it runs
// `probe` on another thread and notes whether that finished while the report
// was being shown: a report made under a lock the probe needs would hold the
// probe up.
class TReportProbe {
public:
    explicit TReportProbe(std::function<void()> probe);
    ~TReportProbe();
    TReportProbe(const TReportProbe&) = delete;
    TReportProbe& operator=(const TReportProbe&) = delete;

    std::vector<std::string> Reports;
    bool ProbeFinished = false;

private:
    std::function<void()> m_probe;
    // Kept here: a probe stuck on a lock must not hold up the report.
    std::vector<std::future<void>> m_probes;
};

// Catches the core's log lines (CoreReport::Log) for its lifetime.
class TLogProbe {
public:
    TLogProbe();
    ~TLogProbe();
    TLogProbe(const TLogProbe&) = delete;
    TLogProbe& operator=(const TLogProbe&) = delete;

    // The lines that hold `text`.
    std::vector<std::string> With(const std::string& text) const;

    std::vector<std::string> Lines;
};
