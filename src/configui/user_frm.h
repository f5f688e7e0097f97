#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <string>

#include "configui/edit_dialog.h"

class TUserList;

// The "User Information" dialog: one local mail user's name and password,
// typed twice. Made by its caller for one Add or Edit; it checks the input
// against the user table but changes no table itself.
class TUserFrm : public TEditDialog {
    Q_OBJECT
public:
    TUserFrm(QWidget* owner, TUserList* users);

    // Why a name cannot be a user name (it would break users.dat or leave
    // the mailbox directory), or empty when it can.
    static std::string NameProblem(const std::string& name);

    QLabel* Label3;
    QLineEdit* Name;
    QLineEdit* Password;
    QLineEdit* Password2;
    QPushButton* Button1;
    QPushButton* Button2;

    // OK: the checks, then modal result 1; a failed check shows its box and
    // leaves the dialog open.
    void Button1Click();

private:
    TUserList* FUsers;
};
