#include "support/scripted_dialogs.h"

#include "platform/text.h"

#include <QDialog>
#include <gtest/gtest.h>

TScriptedDialogs::TScriptedDialogs() : FPrevious(SetDialogHost(this)) {}

TScriptedDialogs::~TScriptedDialogs()
{
    SetDialogHost(FPrevious);
    EXPECT_TRUE(FScript.empty()) << FScript.size() << " scripted box(es)/dialog(s) never shown";
}

TScriptedDialogs& TScriptedDialogs::ExpectBox(const std::string& textPart, int answer)
{
    FScript.push_back(TStep{false, textPart, answer, {}});
    return *this;
}

TScriptedDialogs& TScriptedDialogs::ExpectDialog(const std::string& className,
                                                 std::function<int(QDialog&)> act)
{
    FScript.push_back(TStep{true, className, 0, std::move(act)});
    return *this;
}

int TScriptedDialogs::MessageBox(const std::string& text, const std::string& title, TMsgIcon icon,
                                 int buttons)
{
    TRecord r{false, title, text, icon, buttons, IDCANCEL};
    if (FScript.empty() || FScript.front().isDialog ||
        text.find(FScript.front().match) == std::string::npos) {
        ADD_FAILURE() << "unexpected message box \"" << title << "\": " << text;
    } else {
        r.answer = FScript.front().answer;
        FScript.pop_front();
    }
    FRecords.push_back(r);
    return r.answer;
}

int TScriptedDialogs::ExecModal(QDialog& dialog)
{
    std::string cls = dialog.metaObject()->className();
    TRecord r{true, FromQt(dialog.windowTitle()), cls, TMsgIcon::None, MB_OK, QDialog::Rejected};
    if (FScript.empty() || !FScript.front().isDialog ||
        (!FScript.front().match.empty() && FScript.front().match != cls)) {
        ADD_FAILURE() << "unexpected dialog " << cls << " \"" << r.title << "\"";
    } else {
        TStep step = std::move(FScript.front());
        FScript.pop_front();
        r.answer = step.act ? step.act(dialog) : QDialog::Rejected;
    }
    FRecords.push_back(r);
    return r.answer;
}

int TNoDialogs::MessageBox(const std::string& text, const std::string& title, TMsgIcon, int buttons)
{
    ADD_FAILURE() << "unexpected message box \"" << title << "\": " << text;
    return buttons == MB_OK ? IDOK : IDCANCEL;
}

int TNoDialogs::ExecModal(QDialog& dialog)
{
    ADD_FAILURE() << "unexpected dialog " << dialog.metaObject()->className();
    return QDialog::Rejected;
}
