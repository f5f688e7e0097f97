#include "core/login_frm.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/dialogs.h"
#include "platform/text.h"

TLoginFrm::TLoginFrm(QWidget* owner) : QDialog(owner)
{
    setWindowTitle("Configuration Login");
    setObjectName("LoginFrm");
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    PassEdit = new QLineEdit(this);
    PassEdit->setObjectName("PassEdit");
    PassEdit->setEchoMode(QLineEdit::Password);
    PassEdit->setMaxLength(16);
    form->addRow("Password:", PassEdit);
    layout->addLayout(form);
    auto* buttons = new QDialogButtonBox(this);
    QPushButton* ok = buttons->addButton("OK", QDialogButtonBox::AcceptRole);
    QPushButton* cancel = buttons->addButton("Cancel", QDialogButtonBox::RejectRole);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &TLoginFrm::OkBtnClick);
    connect(cancel, &QPushButton::clicked, this, &TLoginFrm::CancelBtnClick);
    layout->addWidget(buttons);
}

void TLoginFrm::OkBtnClick()
{
    done(mrOk);
}

void TLoginFrm::CancelBtnClick()
{
    done(mrCancel);
}

bool ConfigurationLogin(QWidget* owner, const std::string& caption,
                        const std::optional<std::string>& password)
{
    TLoginFrm login(owner);
    login.setWindowTitle(ToQt(caption));
    for (;;) {
        login.PassEdit->clear();
        login.PassEdit->setFocus();
        // Closing the window counts as Cancel.
        if (ShowModal(login) != TLoginFrm::mrOk)
            return false;
        if (password && FromQt(login.PassEdit->text()) == *password)
            return true;
        ShowMessageBox("Please, Check Password and try again.", "Password Error", MB_OK,
                       TMsgIcon::Warning);
    }
}
