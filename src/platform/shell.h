#pragma once

#include <functional>
#include <string>
#include <vector>

// Desktop services: open a document with its associated program, show a text
// file, play a sound, and the program's own version. Programs are started
// detached; nothing here waits for them.
namespace Shell {

// Opens the file with the program the desktop associates with it
// (xdg-open). False when no opener could be started.
bool OpenDocument(const std::string& path);

// Shows a text file in a viewer (a text editor through the desktop).
// False when no viewer could be started.
bool ShowTextFile(const std::string& path);

// Plays a sound file without waiting (aplay, else paplay); a missing file
// gives the desktop's beep instead. False when nothing was played from the
// file (no file, no player installed, or it could not start); the caller
// may say so on a status line.
bool PlaySoundAsync(const std::string& path);

// The program's version, "major.minor.patch".
std::string ProgramVersion();

// Test hook: replaces starting a program. The launcher gets the program and
// its arguments and says whether it started. An empty function restores the
// real launcher.
using TLauncher =
    std::function<bool(const std::string& program, const std::vector<std::string>& args)>;
void SetLauncher(TLauncher launcher);

} // namespace Shell
