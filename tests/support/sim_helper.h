#pragma once

#include <string>

// What the simulator programs (skip_modem_sim, skip_fax_line) share as the
// demo scripts' helpers, which must outlive the stations they serve.

// SIGTERM and SIGINT call `onStop` unless the program was started with them
// ignored (a script's helper: a Ctrl+C in the terminal or a stop sent to the
// whole group is not for it); SIGUSR2, the script's own word, always does.
void StopOnSignals(void (*onStop)(int));

// Takes the option `flag` (one without a value) out of the command line:
// true where it stood there.
bool TakeFlag(int& argc, char** argv, const char* flag);

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
