#include "mail/user_info_form.h"

#include <QEvent>
#include <QFormLayout>
#include <QGroupBox>
#include <QVBoxLayout>

#include "configui/form_controls.h"
#include "mail/account_list.h"
#include "platform/dialogs.h"
#include "platform/text.h"

using FormControls::Edit;

TUserInfoForm::TUserInfoForm(QWidget* owner) : TEditDialog(owner)
{
    setObjectName("UserInfoForm");
    setWindowTitle("Account Information");
    auto* layout = new QVBoxLayout(this);

    auto* internet = new QGroupBox("POP3 Internet Account Information ", this);
    auto* internetForm = new QFormLayout(internet);
    EmailAddress = Edit(internet, "EmailAddress", "Enter the Full Internet Mail Account");
    User = Edit(internet, "User", "Enter Internet Mail Account User Name");
    Password = Edit(internet, "Password", "Enter Internet Mail Password");
    Password->setEchoMode(QLineEdit::Password);
    POPServer = Edit(internet, "POPServer", "Enter the Internet Server to Retreive Mail From");
    internetForm->addRow("Email Address:", EmailAddress);
    internetForm->addRow("User Name:", User);
    internetForm->addRow("Password:", Password);
    internetForm->addRow("Mail Server (POP3):", POPServer);
    layout->addWidget(internet);

    auto* hf = new QGroupBox("VESKAR Mail Account Information", this);
    auto* hfForm = new QFormLayout(hf);
    HFUser = Edit(hf, "HFUser", "Enter Internet Mail Account User Name");
    Station = new QComboBox(hf);
    Station->setObjectName("Station");
    Station->setToolTip("Enter the station to Deliver Internet Mail to");
    Station->installEventFilter(this);
    hfForm->addRow("User Name:", HFUser);
    hfForm->addRow("Destination Station:", Station);
    layout->addWidget(hf);

    AddButtons(layout, Button1, Button2);
    Button2->setText("&Cancel");
    connect(Button1, &QPushButton::clicked, this, &TUserInfoForm::Button1Click);
}

bool TUserInfoForm::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == Station &&
        (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease ||
         event->type() == QEvent::Wheel))
        return true;
    return TEditDialog::eventFilter(watched, event);
}

void TUserInfoForm::Reset()
{
    for (QLineEdit* e : {EmailAddress, User, Password, POPServer})
        e->clear();
    Station->clear();
}

void TUserInfoForm::Button1Click()
{
    const QString texts[] = {EmailAddress->text(), POPServer->text(), User->text(),
                             Password->text(),     HFUser->text(),    Station->currentText()};
    for (const QString& t : texts) {
        if (t.isEmpty()) {
            ShowMessageBox("One or more required fields are blank.\n\nPlease try again.",
                           "Account Information", MB_OK, TMsgIcon::Warning);
            return;
        }
    }
    for (const QString& t : texts) {
        if (std::string problem = TAccountList::FieldProblem(FromQt(t)); !problem.empty()) {
            ShowMessageBox(problem + "\n\nPlease try again.", "Account Information", MB_OK,
                           TMsgIcon::Warning);
            return;
        }
    }
    done(mrOk);
}
