#pragma once

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

// Shorthands for Dialogs().
int ShowMessageBox(const std::string& text, const std::string& title, int buttons = MB_OK,
                   TMsgIcon icon = TMsgIcon::None);
int ShowModal(QDialog& dialog);

// The program's host: Qt message boxes on the GUI thread (a call from another
// thread waits for the GUI thread to show the box).
class TQtDialogHost : public TDialogHost {
public:
    int MessageBox(const std::string& text, const std::string& title, TMsgIcon icon,
                   int buttons) override;
    int ExecModal(QDialog& dialog) override;
};
