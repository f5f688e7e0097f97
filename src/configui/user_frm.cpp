#include "configui/user_frm.h"

#include <QFormLayout>
#include <QVBoxLayout>
#include <cctype>

#include "core/message_store.h"
#include "core/user_list.h"
#include "platform/dialogs.h"
#include "platform/text.h"

namespace {

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool Refuse(const char* text, const char* title)
{
    ShowMessageBox(text, title, MB_OK, TMsgIcon::Warning);
    return false;
}

} // namespace

TUserFrm::TUserFrm(QWidget* owner, TUserList* users) : TEditDialog(owner), FUsers(users)
{
    setObjectName("UserFrm");
    setWindowTitle("User Information");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(5, 5, 5, 5);
    Label3 = new QLabel("User Information", this);
    Label3->setObjectName("Label3");
    layout->addWidget(Label3);

    auto* form = new QFormLayout;
    Name = new QLineEdit(this);
    Name->setObjectName("Name");
    Name->setToolTip("Enter a User Name for this account. If a Mail Gateway is being used this "
                     "must be the same as the internet mail account User Name, or there must be "
                     "an Alias entry present.");
    Password = new QLineEdit(this);
    Password->setObjectName("Password");
    Password->setMaxLength(16);
    Password->setEchoMode(QLineEdit::Password);
    Password->setToolTip("Select a User password for. The password does not have to be the same "
                         "as the Internet mail account however it is recommended.");
    Password2 = new QLineEdit(this);
    Password2->setObjectName("Password2");
    Password2->setMaxLength(16);
    Password2->setEchoMode(QLineEdit::Password);
    Password2->setToolTip("Verify that the password it typed correctly.");
    form->addRow("User:", Name);
    form->addRow("Password:", Password);
    form->addRow("Confirm:", Password2);
    layout->addLayout(form);

    AddButtons(layout, Button1, Button2);
    connect(Button1, &QPushButton::clicked, this, &TUserFrm::Button1Click);
}

std::string TUserFrm::NameProblem(const std::string& name)
{
    for (unsigned char c : name) {
        if (c < 32 || c == 127 || c == ':' || c == '/' || c == '\\')
            return "A user name cannot hold \":\", \"/\", \"\\\" or control characters.";
    }
    if (!MessageStore::IsSafeName(name))
        return "A user name cannot be \".\" or \"..\".";
    return std::string();
}

void TUserFrm::Button1Click()
{
    const std::string name = FromQt(Name->text());
    const std::string password = FromQt(Password->text());
    if (name.empty()) {
        Refuse("Please, enter a valid user name.", "User Error");
        return;
    }
    if (password.empty()) {
        Refuse("Please, enter a valid password.", "Password Error");
        return;
    }
    if (FromQt(Password2->text()) != password) {
        Refuse("Passwords do not agree.\nPlease, retype.", "Password Error");
        return;
    }
    // Only a new user's name is checked; an Edit keeps its name.
    if (Name->isEnabled()) {
        std::string problem = NameProblem(name);
        if (!problem.empty()) {
            Refuse((problem + "\nPlease, enter a new user name").c_str(), "User Error");
            return;
        }
        // Mailbox directories and logins must not differ by letter case
        // alone, so "Admin" counts as the existing "admin".
        if (FUsers) {
            for (const TUser& u : FUsers->GetAll()) {
                if (Lower(u.Name) == Lower(name)) {
                    Refuse("User already exists.\nPlease, enter a new user name", "User Error");
                    return;
                }
            }
        }
    }
    done(mrOk);
}
