#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include "configui/edit_dialog.h"

// The "Account Information" dialog: one POP3 account of the mail gateway
// (the Internet mailbox and the HF user and station its mail goes to). The
// gateway settings dialog owns one, resets and fills it for every Add or
// Edit and reads the six texts after OK. It stores nothing itself.
class TUserInfoForm : public TEditDialog {
    Q_OBJECT
public:
    explicit TUserInfoForm(QWidget* owner);

    // Empties every text but HFUser, and the station list.
    void Reset();

    QLineEdit* EmailAddress;
    QLineEdit* User;
    QLineEdit* Password;
    QLineEdit* POPServer;
    QLineEdit* HFUser;
    // Picked from the list only: no typing, and keys do not move it.
    QComboBox* Station;
    QPushButton* Button1;
    QPushButton* Button2;

    // OK: every field filled and storable, then modal result 1; otherwise a
    // box and the dialog stays open.
    void Button1Click();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
