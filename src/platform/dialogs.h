#pragma once

#include <functional>
#include <string>

class QDialog;
class QWidget;

// Message boxes and modal dialogs go through one host, so that tests answer
// them by script and the program shows them with Qt. Texts are 8-bit system
// strings.

// Button sets (Windows MB_ values).
inline constexpr int MB_OK = 0;
inline constexpr int MB_OKCANCEL = 1;
inline constexpr int MB_ABORTRETRYIGNORE = 2;
inline constexpr int MB_YESNOCANCEL = 3;
inline constexpr int MB_YESNO = 4;
inline constexpr int MB_RETRYCANCEL = 5;

// Results (Windows ID values).
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDABORT = 3;
inline constexpr int IDRETRY = 4;
inline constexpr int IDIGNORE = 5;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

enum class TMsgIcon { None, Information, Warning, Error, Question };

class TDialogHost {
public:
    virtual ~TDialogHost() = default;
    // Shows a box and returns the ID of the button pressed. Closing a box
    // without a button gives IDCANCEL (IDOK for MB_OK, IDNO for MB_YESNO).
    virtual int MessageBox(const std::string& text, const std::string& title, TMsgIcon icon,
                           int buttons) = 0;
    // Runs the dialog modally and returns its result code (QDialog::Accepted,
    // QDialog::Rejected or what done() was given).
    virtual int ExecModal(QDialog& dialog) = 0;
};

// The host in use: the Qt host unless one was installed.
TDialogHost& Dialogs();
// Installs a host (not owned; null goes back to the Qt host) and returns the
// previous one.
TDialogHost* SetDialogHost(TDialogHost* host);

// Shorthands for Dialogs(). No box waits where nobody can answer it: once
// the program is ending (EndBoxes), and in the Qt host when there is no
// display, a box's text goes to standard error and to the unseen-box log, and
// the box takes its default answer at once (the answer of closing it without
// a button, as above); a modal dialog is rejected the same way.
int ShowMessageBox(const std::string& text, const std::string& title, int buttons = MB_OK,
                   TMsgIcon icon = TMsgIcon::None);
int ShowModal(QDialog& dialog);

// The program is ending: the box that is open closes with its default answer
// and no later box waits. False again lets boxes wait (a new station).
void EndBoxes(bool ending = true);
bool BoxesEnding();
// Where the text of a box that nobody saw is logged besides standard error
// (the station's log); empty: standard error only. Called on the thread
// that raised the box.
void SetUnseenBoxLog(std::function<void(const std::string& line)> log);
// True when the program has no display to show a box on (an offscreen or
// minimal Qt platform).
bool NoDisplay();
// True, before Qt starts, when the environment names no display and no Qt
// platform (neither DISPLAY, WAYLAND_DISPLAY nor QT_QPA_PLATFORM is set):
// Qt would abort looking for one.
bool NoDesktopNamed();

// The program's host: Qt message boxes on the GUI thread (a call from another
// thread waits for the GUI thread to show the box).
class TQtDialogHost : public TDialogHost {
public:
    int MessageBox(const std::string& text, const std::string& title, TMsgIcon icon,
                   int buttons) override;
    int ExecModal(QDialog& dialog) override;
};
