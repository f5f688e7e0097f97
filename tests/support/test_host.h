#pragma once

#include <functional>
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

// True when `program` (a name on PATH or in the sbin folders, or a path) can
// be run.
bool HaveProgram(const std::string& program);

// This process's resident set size now and at its peak, in KB; ResetPeakRss
// starts a new peak.
long CurrentRssKb();
long PeakRssKb();
void ResetPeakRss();
