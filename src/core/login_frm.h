#pragma once

#include <QDialog>
#include <QLineEdit>
#include <optional>
#include <string>

// The "Configuration Login" dialog that guards each settings dialog with its
// own password. The caller sets the caption, shows it modally, reads PassEdit
// and the modal result (1 OK, 2 Cancel), may empty PassEdit and show it again.
class TLoginFrm : public QDialog {
    Q_OBJECT
public:
    static constexpr int mrOk = 1;
    static constexpr int mrCancel = 2;

    explicit TLoginFrm(QWidget* owner);

    QLineEdit* PassEdit;

private:
    void OkBtnClick();
    void CancelBtnClick();
};

// Asks for the password until it is right (true) or the operator cancels
// (false). A wrong password gets a "Password Error" box and another try.
// `password` is the plain text the configuration holds; without one (the
// stored password could not be read) no entry is right.
bool ConfigurationLogin(QWidget* owner, const std::string& caption,
                        const std::optional<std::string>& password);
