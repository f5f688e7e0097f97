#pragma once

#include "platform/dialogs.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

// Answers message boxes and modal dialogs by script, records each one, and
// fails the running test on a box or dialog the script did not expect.
// Installed for its lifetime; on destruction it fails the test when scripted
// answers were left unused.
class TScriptedDialogs : public TDialogHost {
public:
    struct TRecord {
        bool isDialog = false;
        std::string title; // box title, or the dialog's window title (8-bit)
        std::string text;  // box text, or the dialog's class name
        TMsgIcon icon = TMsgIcon::None;
        int buttons = MB_OK;
        int answer = 0;
    };

    TScriptedDialogs();
    ~TScriptedDialogs() override;

    // The next box must contain `textPart` in its text (empty matches any);
    // it is answered with `answer`.
    TScriptedDialogs& ExpectBox(const std::string& textPart, int answer);
    // The next dialog must be of class `className` (as in its meta-object,
    // empty matches any); `act` may fill its fields and returns the result.
    TScriptedDialogs& ExpectDialog(const std::string& className, std::function<int(QDialog&)> act);

    const std::vector<TRecord>& Records() const { return FRecords; }
    size_t Remaining() const { return FScript.size(); }

    int MessageBox(const std::string& text, const std::string& title, TMsgIcon icon,
                   int buttons) override;
    int ExecModal(QDialog& dialog) override;

private:
    struct TStep {
        bool isDialog;
        std::string match;
        int answer;
        std::function<int(QDialog&)> act;
    };
    std::deque<TStep> FScript;
    std::vector<TRecord> FRecords;
    TDialogHost* FPrevious;
};

// The host every test starts with: any box or dialog fails the test.
class TNoDialogs : public TDialogHost {
public:
    int MessageBox(const std::string& text, const std::string& title, TMsgIcon icon,
                   int buttons) override;
    int ExecModal(QDialog& dialog) override;
};
