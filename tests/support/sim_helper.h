#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

// What the simulator programs (skip_modem_sim, skip_fax_line) share as the
// demo scripts' helpers, which must outlive the stations they serve.

// SIGTERM and SIGINT call `onStop` unless the program was started with them
// ignored (a script's helper: a Ctrl+C in the terminal or a stop sent to the
// whole group is not for it); SIGUSR2, the script's own word, always does.
void StopOnSignals(void (*onStop)(int));

// One option of a simulator's command line. `Take` keeps its value (empty
// for a flag, one without a value); false, with the words in `why`, for a
// value it does not take.
struct TSimOption {
    std::string Name;
    bool HasValue = true;
    std::function<bool(const std::string& value, std::string& why)> Take;
};

// Reads the command line through `options`, in order, before the program
// makes or starts anything: --help or -h prints `usage`; an option not
// among them, a word that is no option (a radio name of two words left
// unquoted), a missing or refused value is named with the usage line. The
// status to end with, or none to go on.
std::optional<int> ReadSimOptions(int argc, char** argv, const char* program, const char* usage,
                                  const std::vector<TSimOption>& options);

// A flag's Take(): sets `to` where the flag stands.
std::function<bool(const std::string&, std::string&)> SetFlag(bool& to);

// A whole number from 0 up into `to`, for ReadSimOptions().
bool TakeCount(const std::string& value, int& to, std::string& why);

// True once standard input has ended, every writer of its pipe having
// closed it: a demo script gives its helpers a pipe that it and its
// stations hold, so a helper sees them gone, killed too. Looks without
// waiting; anything read is dropped.
bool InputEnded();

// Links `pty` at `link`, replacing what is there; false (said on standard
// error) when it cannot.
bool LinkPty(const std::string& pty, const std::string& link);

// Removes `link` while it is still a link to `pty`: another simulator may
// have been linked there since, and that link stays.
void UnlinkOwnPty(const std::string& pty, const std::string& link);
