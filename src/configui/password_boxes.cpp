#include "configui/password_boxes.h"

#include <QLineEdit>

#include "core/config.h"
#include "platform/dialogs.h"
#include "platform/text.h"

bool StorePasswordFromBoxes(QLineEdit* password, QLineEdit* confirm, TConfig& config,
                            std::string& stored)
{
    const std::string pass = FromQt(password->text());
    const char* problem = nullptr;
    if (pass != FromQt(confirm->text()))
        problem = "Passwords do not agree.\nPlease, retype.";
    else if (pass.size() < 4)
        problem = "Passwords must be 4-16 characters.\nPlease, retype.";
    auto lock = config.Lock();
    if (problem) {
        password->setText(ToQt(stored));
        lock.unlock();
        ShowMessageBox(problem, "Password Error", MB_OK, TMsgIcon::Warning);
        return false;
    }
    stored = pass;
    lock.unlock();
    ShowMessageBox("Password accepted.", "New Password", MB_OK, TMsgIcon::Information);
    return true;
}
