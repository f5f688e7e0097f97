#include <gtest/gtest.h>

#include <QPushButton>

#include "core/login_frm.h"
#include "support/scripted_dialogs.h"

namespace {

// Types the password and presses the dialog's button, as the operator does.
std::function<int(QDialog&)> Press(const QString& password, const QString& button)
{
    return [password, button](QDialog& dialog) {
        auto& login = dynamic_cast<TLoginFrm&>(dialog);
        EXPECT_TRUE(login.PassEdit->text().isEmpty()) << "each try starts empty";
        EXPECT_EQ(login.PassEdit->echoMode(), QLineEdit::Password)
            << "nobody reads it off the screen";
        login.PassEdit->setText(password);
        for (auto* b : login.findChildren<QPushButton*>()) {
            if (b->text() == button)
                b->click();
        }
        return login.result();
    };
}

} // namespace

TEST(LoginFrmTest, RightPasswordOpens)
{
    TScriptedDialogs dialogs;
    dialogs.ExpectDialog("TLoginFrm", Press("s3cret", "OK"));
    EXPECT_TRUE(ConfigurationLogin(nullptr, "Station Configuration Login", "s3cret"));
    ASSERT_EQ(dialogs.Records().size(), 1u);
    EXPECT_EQ(dialogs.Records()[0].title, "Station Configuration Login");
}

TEST(LoginFrmTest, WrongPasswordGetsErrorBoxAndAnotherTry)
{
    TScriptedDialogs dialogs;
    dialogs.ExpectDialog("TLoginFrm", Press("guess", "OK"))
        .ExpectBox("Please, Check Password and try again.", IDOK)
        .ExpectDialog("TLoginFrm", Press("S3CRET", "OK")) // letter case counts
        .ExpectBox("Please, Check Password and try again.", IDOK)
        .ExpectDialog("TLoginFrm", Press("s3cret", "OK"));
    EXPECT_TRUE(ConfigurationLogin(nullptr, "Login", "s3cret"));
    EXPECT_EQ(dialogs.Records()[1].title, "Password Error");
    EXPECT_EQ(dialogs.Records()[1].icon, TMsgIcon::Warning);
}

TEST(LoginFrmTest, CancelGivesModalResultTwoAndRefuses)
{
    TScriptedDialogs dialogs;
    dialogs.ExpectDialog("TLoginFrm", [](QDialog& dialog) {
        int result = Press("s3cret", "Cancel")(dialog);
        EXPECT_EQ(result, TLoginFrm::mrCancel);
        EXPECT_EQ(result, 2);
        return result;
    });
    EXPECT_FALSE(ConfigurationLogin(nullptr, "Login", "s3cret"));
    // Closing the window (result 0) is a cancel as well.
    dialogs.ExpectDialog("TLoginFrm", [](QDialog&) { return 0; });
    EXPECT_FALSE(ConfigurationLogin(nullptr, "Login", "s3cret"));
}

// A password that could not be read from the file is not an empty one.
TEST(LoginFrmTest, WithoutAKnownPasswordNothingOpens)
{
    TScriptedDialogs dialogs;
    dialogs.ExpectDialog("TLoginFrm", Press("", "OK"))
        .ExpectBox("Please, Check Password and try again.", IDOK)
        .ExpectDialog("TLoginFrm", Press("", "Cancel"));
    EXPECT_FALSE(ConfigurationLogin(nullptr, "Login", std::nullopt));
}
