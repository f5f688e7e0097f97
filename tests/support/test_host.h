#pragma once

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

// What tests need of the machine they run on: the GUI thread's event loop,
// a free loopback port, installed programs.

// Runs the GUI thread's events until `done` holds or the time is up; false
// when the time ran out.
bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 60000);

// A loopback port free at the time of asking, below the kernel's ephemeral
// range.
int FreePort();

// The lowest of `count` neighbouring loopback ports, all free at the time of
// asking, below the ephemeral range (for a range of client ports).
int FreePortRange(int count);

// An environment variable set (or, given nullptr, unset) for a test's time.
class TEnvVar {
public:
    TEnvVar(const char* name, const std::string& value) : TEnvVar(name, value.c_str()) {}
    TEnvVar(const char* name, const char* value);
    ~TEnvVar();
    TEnvVar(const TEnvVar&) = delete;
    TEnvVar& operator=(const TEnvVar&) = delete;

private:
    const char* Name_;
    std::optional<std::string> Old_;
};

// True when `program` (a name on PATH or in the sbin folders, or a path) can
// be run.
bool HaveProgram(const std::string& program);

// True when the environment variable CI is set: CI installs every tool the
// tests use, so there a missing one is a fault of the run, not a reason to skip.
// Inline, so that the test programs built without Qt (the sanitizer runs of
// the codecs) can skip through it too.
inline bool RunningUnderCi()
{
    const char* ci = std::getenv("CI");
    return ci != nullptr && *ci != '\0';
}

// Skips the current test for a tool or peer this machine lacks; under CI the
// test fails instead, so that a test which never ran cannot pass as green.
#define SKIP_WITHOUT_TOOL(reason)                                                                  \
    do {                                                                                           \
        if (RunningUnderCi())                                                                      \
            GTEST_FAIL() << (reason) << " (CI installs it; not skipped)";                          \
        else                                                                                       \
            GTEST_SKIP() << (reason);                                                              \
    } while (false)

// This process's resident set size now and at its peak, in KB; ResetPeakRss
// starts a new peak.
long CurrentRssKb();
long PeakRssKb();
void ResetPeakRss();
