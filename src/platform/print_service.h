#pragma once

#include <string>

// The system's print service: a document goes to CUPS through its `lp`
// command, to the default destination (or the one PRINTER or LPDEST names,
// as lp itself takes them). SKIPMAIL_LP names another command in lp's place
// (tests).
//
// Choices made here:
// - lp runs with LC_ALL=C so its answer can be read: "No default
//   destination" and "does not exist" mean the system has no printer, as
//   does a command that cannot be started.
// - lp returns once CUPS holds the document, so the file may go afterwards;
//   the wait for it is bounded.
namespace PrintService {

enum class TPrintOutcome { poPrinted, poNoPrinter, poFailed, poTimedOut };

struct TPrintResult {
    TPrintOutcome Outcome = TPrintOutcome::poFailed;
    // What the command said: the request it made, or why it made none.
    std::string Text;
};

// SKIPMAIL_LP, else "lp".
std::string Command();

// Hands the file to the print service with that job title and waits for
// the command's answer (at most `timeoutMs`).
TPrintResult PrintFile(const std::string& path, const std::string& title, int timeoutMs = 60000);

} // namespace PrintService
