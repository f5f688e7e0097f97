#include <gtest/gtest.h>

#include <QTest>
#include <filesystem>

#include "configui/alias_frm.h"
#include "configui/user_frm.h"
#include "core/alias_list.h"
#include "core/config.h"
#include "core/message_store.h"
#include "core/station_list.h"
#include "core/user_list.h"
#include "mail/net_config_frm.h"
#include "mail/pop3_frm.h"
#include "mail/smtp_frm.h"
#include "mail_test_helpers.h"
#include "platform/profile.h"
#include "support/scripted_dialogs.h"

namespace fs = std::filesystem;

namespace {

class NetConfigFrmTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Stations = std::make_unique<TStationList>();
        Stations->Add(TStation{"HOME"});
        Stations->Add(TStation{"FAR"});
        Aliases = std::make_unique<TAliasList>();
        Root.Config->Pop3.Port = FreePort();
        Root.Config->Smtp.Port = FreePort();
        Root.Config->Mailbox.Pass = "oldpass";
        Pop3 = std::make_unique<TPOP3Frm>(nullptr, Root.MsgStatus.get(), Root.Config.get(),
                                          Root.Users.get());
        Smtp = std::make_unique<TSMTPFrm>(nullptr, Root.MsgStatus.get(), Root.Config.get());
    }
    void TearDown() override
    {
        Frm.reset();
        Smtp.reset();
        Pop3.reset();
    }
    void Make()
    {
        Frm = std::make_unique<TNetConfigFrm>(nullptr, Stations.get(), Smtp.get(), Pop3.get(),
                                              Root.Config.get(), Aliases.get(), Root.Users.get());
    }
    void AddUsers(std::initializer_list<const char*> names)
    {
        for (const char* n : names)
            Root.Users->Add(TUser{n, "pw", ""});
    }
    static void Pick(QComboBox* combo, const char* text)
    {
        combo->setCurrentText(text);
        Q_EMIT combo->activated(combo->currentIndex());
    }
    std::vector<std::string> Lines(QListWidget* list)
    {
        std::vector<std::string> out;
        for (int i = 0; i < list->count(); ++i)
            out.push_back(list->item(i)->text().toStdString());
        return out;
    }

    TMailRoot Root;
    std::unique_ptr<TStationList> Stations;
    std::unique_ptr<TAliasList> Aliases;
    std::unique_ptr<TPOP3Frm> Pop3;
    std::unique_ptr<TSMTPFrm> Smtp;
    std::unique_ptr<TNetConfigFrm> Frm;
};

TEST_F(NetConfigFrmTest, ConstructionStartsWhatTheConfigurationEnables)
{
    Root.Config->Pop3.Enabled = true;
    Root.Config->Smtp.Enabled = false;
    AddUsers({"admin", "bob"});
    Aliases->Add("z@example.com", "bob@HOME", "bob", "HOME");
    Aliases->Add("a@example.com", "ann@FAR", "ann", "FAR");
    Make();
    EXPECT_TRUE(Pop3->Listening());
    EXPECT_FALSE(Smtp->Listening());
    EXPECT_EQ(Frm->POP3EnabledComboBox->currentText(), "ENABLED");
    EXPECT_FALSE(Frm->POP3Port->isEnabled());
    EXPECT_EQ(Frm->POP3Port->text().toInt(), Root.Config->Pop3.Port);
    EXPECT_EQ(Frm->SMTPEnabledComboBox->currentText(), "DISABLED");
    EXPECT_TRUE(Frm->SMTPPort->isEnabled());
    EXPECT_EQ(Frm->SMTPPort->text().toInt(), Root.Config->Smtp.Port);
    EXPECT_EQ(Lines(Frm->UserListBox), (std::vector<std::string>{"admin", "bob"}));
    EXPECT_EQ(Lines(Frm->AliasListBox), (std::vector<std::string>{"a@example.com --> ann@FAR",
                                                                  "z@example.com --> bob@HOME"}));
}

// A one-off clash: the switch shows off for this run, the stored switch
// stays on for the next start, and switching it on here starts the server.
TEST_F(NetConfigFrmTest, APortTakenAtStartIsReportedAndOffForThisRunOnly)
{
    auto busy = std::make_unique<TPortHolder>();
    const int port = busy->Port();
    Root.Config->Smtp.Enabled = true;
    Root.Config->Smtp.Port = port;
    Root.Config->Pop3.Enabled = true;
    TScriptedDialogs boxes;
    boxes.ExpectBox("Error Enabling Port: " + std::to_string(port) +
                        "\nClose other applications serving this port, \nor select a different "
                        "port\nand try again.",
                    IDOK);
    Make();
    EXPECT_TRUE(Pop3->Listening());
    EXPECT_FALSE(Smtp->Listening());
    EXPECT_TRUE(Root.Config->Smtp.Enabled);
    EXPECT_EQ(Frm->SMTPEnabledComboBox->currentText(), "DISABLED");
    EXPECT_TRUE(Frm->SMTPPort->isEnabled());

    busy.reset();
    Pick(Frm->SMTPEnabledComboBox, "ENABLED");
    EXPECT_TRUE(Smtp->Listening());
    EXPECT_EQ(Root.Config->Smtp.Port, port);
    Pick(Frm->SMTPEnabledComboBox, "DISABLED");
    EXPECT_FALSE(Smtp->Listening());
    EXPECT_FALSE(Root.Config->Smtp.Enabled);
}

TEST_F(NetConfigFrmTest, SwitchesStartAndStopTheServers)
{
    Root.Config->Pop3.Enabled = true;
    Root.Config->Smtp.Enabled = false;
    Make();
    // Choosing the state the switch has changes nothing.
    TIdPOP3Server* running = Pop3->Server();
    Pick(Frm->POP3EnabledComboBox, "ENABLED");
    EXPECT_EQ(Pop3->Server(), running);

    Pick(Frm->POP3EnabledComboBox, "DISABLED");
    EXPECT_FALSE(Pop3->Listening());
    EXPECT_FALSE(Root.Config->Pop3.Enabled);
    EXPECT_TRUE(Frm->POP3Port->isEnabled());

    const int port = FreePort();
    Frm->POP3Port->setText(QString::number(port));
    Pick(Frm->POP3EnabledComboBox, "ENABLED");
    EXPECT_TRUE(Pop3->Listening());
    EXPECT_TRUE(Root.Config->Pop3.Enabled);
    EXPECT_EQ(Root.Config->Pop3.Port, port);
    EXPECT_FALSE(Frm->POP3Port->isEnabled());
    EXPECT_TRUE(TLineClient(port).Connected());

    Frm->SMTPPort->setText(QString::number(Root.Config->Smtp.Port));
    Pick(Frm->SMTPEnabledComboBox, "ENABLED");
    EXPECT_TRUE(Smtp->Listening());
    EXPECT_TRUE(Root.Config->Smtp.Enabled);
}

TEST_F(NetConfigFrmTest, ABusyOrBadPortLeavesTheSwitchOff)
{
    Root.Config->Pop3.Enabled = false;
    Root.Config->Smtp.Enabled = false;
    Make();
    TPortHolder busy;
    TScriptedDialogs boxes;
    boxes.ExpectBox("Error Enabling Port: " + std::to_string(busy.Port()) + "\n", IDOK)
        .ExpectBox("Please, enter a port number from 1 to 65535.", IDOK)
        .ExpectBox("Please, enter a port number from 1 to 65535.", IDOK);
    Frm->SMTPPort->setText(QString::number(busy.Port()));
    Pick(Frm->SMTPEnabledComboBox, "ENABLED");
    EXPECT_FALSE(Smtp->Listening());
    EXPECT_FALSE(Root.Config->Smtp.Enabled);
    EXPECT_TRUE(Frm->SMTPPort->isEnabled());
    EXPECT_EQ(Frm->SMTPEnabledComboBox->currentText(), "DISABLED");
    EXPECT_EQ(boxes.Records()[0].icon, TMsgIcon::Warning);

    const int before = Root.Config->Pop3.Port;
    for (const char* bad : {"", "70000"}) {
        Frm->POP3Port->setText(bad);
        Pick(Frm->POP3EnabledComboBox, "ENABLED");
        EXPECT_FALSE(Pop3->Listening());
        EXPECT_EQ(Root.Config->Pop3.Port, before);
        EXPECT_EQ(Frm->POP3EnabledComboBox->currentText(), "DISABLED");
    }
}

TEST_F(NetConfigFrmTest, NumberFieldsTakeDigitsAndEditNormally)
{
    Root.Config->Pop3.Enabled = false;
    Root.Config->Smtp.Enabled = false;
    Make();
    Frm->SMTPPort->clear();
    QTest::keyClicks(Frm->SMTPPort, "2a5 /:~25");
    EXPECT_EQ(Frm->SMTPPort->text(), "2525");
    Frm->MaxMailSize->clear();
    QTest::keyClicks(Frm->MaxMailSize, "1x23");
    EXPECT_EQ(Frm->MaxMailSize->text(), "123");
    QTest::keyClick(Frm->MaxMailSize, Qt::Key_Backspace);
    QTest::keyClick(Frm->MaxMailSize, Qt::Key_Home);
    QTest::keyClick(Frm->MaxMailSize, Qt::Key_Delete);
    QTest::keyClicks(Frm->MaxMailSize, "9");
    EXPECT_EQ(Frm->MaxMailSize->text(), "92");
}

// MaxMailSize holds 4 digits; the passwords 16, the upper bound of the
// "4-16 characters" rule of Set.
TEST_F(NetConfigFrmTest, BoxesTakeNoMoreThanTheirLimits)
{
    Root.Config->Pop3.Enabled = false;
    Root.Config->Smtp.Enabled = false;
    Make();
    const struct {
        QLineEdit* box;
        const char* typed;
        const char* kept;
    } boxes[] = {
        {Frm->MaxMailSize, "123456", "1234"},
        {Frm->Password, "abcdefghijklmnopqrst", "abcdefghijklmnop"},
        {Frm->Password2, "abcdefghijklmnopqrst", "abcdefghijklmnop"},
    };
    for (const auto& b : boxes) {
        b.box->clear();
        QTest::keyClicks(b.box, b.typed);
        EXPECT_EQ(b.box->text().toStdString(), b.kept) << b.box->objectName().toStdString();
    }
    TScriptedDialogs dialogs;
    dialogs.ExpectBox("Password accepted.", IDOK);
    Frm->Button1->click();
    EXPECT_EQ(Root.Config->Mailbox.Pass, "abcdefghijklmnop");
}

TEST_F(NetConfigFrmTest, OkStoresAllFieldsOrNone)
{
    Root.Config->Pop3.Enabled = false;
    Root.Config->Smtp.Enabled = false;
    Root.Config->Mail.MaxMailSize = 50;
    Make();
    Frm->show();
    EXPECT_EQ(Frm->MaxMailSize->text(), "50");
    EXPECT_EQ(Frm->Password->text(), "oldpass");
    // The window system showing or restoring the window reloads nothing.
    Frm->MaxMailSize->setText("60");
    QTest::qWait(20);
    Frm->showMinimized();
    Frm->showNormal();
    QTest::qWait(20);
    EXPECT_EQ(Frm->MaxMailSize->text(), "60");
    Frm->hide();
    Frm->show();
    EXPECT_EQ(Frm->MaxMailSize->text(), "50");
    const int oldSmtp = Root.Config->Smtp.Port;
    {
        TScriptedDialogs boxes;
        boxes.ExpectBox("Please, enter a port number from 1 to 65535.", IDOK)
            .ExpectBox("Please, enter the largest message size in K bytes.", IDOK);
        Frm->POP3Port->setText("2110");
        Frm->SMTPPort->clear();
        Frm->Button5->click();
        EXPECT_NE(Root.Config->Pop3.Port, 2110);
        EXPECT_EQ(Root.Config->Smtp.Port, oldSmtp);
        EXPECT_TRUE(Frm->isVisible());
        Frm->SMTPPort->setText("2525");
        Frm->MaxMailSize->clear();
        Frm->Button5->click();
        EXPECT_NE(Root.Config->Pop3.Port, 2110);
        EXPECT_TRUE(Frm->isVisible());
    }
    Frm->MaxMailSize->setText("120");
    Frm->Button5->click();
    EXPECT_FALSE(Frm->isVisible());
    EXPECT_EQ(Root.Config->Pop3.Port, 2110);
    EXPECT_EQ(Root.Config->Smtp.Port, 2525);
    EXPECT_EQ(Root.Config->Mail.MaxMailSize, 120);
    TConfig saved(Root.Config->FileName());
    EXPECT_EQ(saved.Pop3.Port, 2110);
    EXPECT_EQ(saved.Smtp.Port, 2525);
    EXPECT_EQ(saved.Mail.MaxMailSize, 120);
}

TEST_F(NetConfigFrmTest, SetChecksThePasswordTwice)
{
    Make();
    TScriptedDialogs boxes;
    boxes.ExpectBox("Passwords do not agree.\nPlease, retype.", IDOK)
        .ExpectBox("Passwords must be 4-16 characters.\nPlease, retype.", IDOK)
        .ExpectBox("Password accepted.", IDOK);
    Frm->Password->setText("abcd");
    Frm->Password2->setText("abcD");
    Frm->Button1->click();
    EXPECT_EQ(Frm->Password->text(), "oldpass");
    Frm->Password->setText("abc");
    Frm->Password2->setText("abc");
    Frm->Button1->click();
    EXPECT_EQ(Frm->Password->text(), "oldpass");
    EXPECT_EQ(Root.Config->Mailbox.Pass, "oldpass");
    Frm->Password->setText("abcd");
    Frm->Password2->setText("abcd");
    Frm->Button1->click();
    EXPECT_EQ(Root.Config->Mailbox.Pass, "abcd");
    EXPECT_EQ(boxes.Records()[0].title, "Password Error");
    EXPECT_EQ(boxes.Records()[2].title, "New Password");
    EXPECT_EQ(boxes.Records()[2].icon, TMsgIcon::Information);
}

TEST_F(NetConfigFrmTest, UsersAreAddedEditedAndRemoved)
{
    AddUsers({"admin"});
    Make();
    TScriptedDialogs dialogs;
    dialogs
        .ExpectDialog("TUserFrm",
                      [](QDialog& d) {
                          auto& u = static_cast<TUserFrm&>(d);
                          u.Name->setText("Admin");
                          u.Password->setText("pw");
                          u.Password2->setText("pw");
                          u.Button1->click(); // refused: exists
                          u.Name->setText("carol");
                          u.Button1->click();
                          return u.result();
                      })
        .ExpectBox("User already exists.", IDOK)
        .ExpectDialog("TUserFrm", [this](QDialog& d) {
            auto& u = static_cast<TUserFrm&>(d);
            // A login on a connection thread meanwhile.
            Root.Users->SetLastConnection("carol");
            EXPECT_FALSE(u.Name->isEnabled());
            EXPECT_EQ(u.Name->text(), "carol");
            EXPECT_EQ(u.Password->text(), "pw");
            EXPECT_EQ(u.Password2->text(), "pw");
            u.Password->setText("new");
            u.Password2->setText("new");
            u.Button1->click();
            return u.result();
        });
    Frm->AddUserBtn->click();
    EXPECT_EQ(Lines(Frm->UserListBox), (std::vector<std::string>{"admin", "carol"}));
    EXPECT_EQ(Root.Users->Get(1).Name, "carol");
    EXPECT_TRUE(fs::is_directory(MessageStore::UserMailDir("carol")));

    Frm->UserListBox->setCurrentRow(1);
    Frm->EditUserBtn->click();
    EXPECT_EQ(Root.Users->Get(1).Password, "new");
    EXPECT_EQ(Root.Users->Get(1).Name, "carol");
    EXPECT_FALSE(Root.Users->Get(1).LastConnection.empty());
}

TEST_F(NetConfigFrmTest, RemoveSelectsTheLineBeforeAndSparesTheFirstUser)
{
    AddUsers({"admin", "u1", "u2", "u3", "u4"});
    Make();
    Frm->UserListBox->setCurrentRow(0);
    EXPECT_FALSE(Frm->RemoveUserBtn->isEnabled());
    Frm->UserListBox->setCurrentRow(-1);
    EXPECT_TRUE(Frm->RemoveUserBtn->isEnabled());
    Frm->RemoveUserBtn->click();
    EXPECT_EQ(Root.Users->Count(), 5);

    fs::create_directories(MessageStore::UserMailDir("u2"));
    Frm->UserListBox->setCurrentRow(2);
    Frm->RemoveUserBtn->click();
    EXPECT_EQ(Lines(Frm->UserListBox), (std::vector<std::string>{"admin", "u1", "u3", "u4"}));
    EXPECT_EQ(Frm->UserListBox->currentRow(), 1);
    EXPECT_TRUE(fs::is_directory(MessageStore::UserMailDir("u2")));
    Frm->UserListBox->setCurrentRow(1);
    Frm->RemoveUserBtn->click();
    EXPECT_EQ(Frm->UserListBox->currentRow(), 0);
    EXPECT_FALSE(Frm->RemoveUserBtn->isEnabled());
}

TEST_F(NetConfigFrmTest, AliasesAreAddedEditedRemovedAndCleared)
{
    Make();
    TScriptedDialogs dialogs;
    dialogs
        .ExpectDialog("TAliasFrm",
                      [](QDialog& d) {
                          auto& a = static_cast<TAliasFrm&>(d);
                          a.show();
                          a.Address->setText("ann@example.com");
                          a.User->setText("ann");
                          a.Button1->click();
                          return a.result();
                      })
        .ExpectDialog("TAliasFrm",
                      [](QDialog& d) {
                          auto& a = static_cast<TAliasFrm&>(d);
                          a.show();
                          a.Address->setText("bob@example.com");
                          a.User->setText("bob");
                          a.StationBox->setCurrentText("FAR");
                          a.Button1->click();
                          return a.result();
                      })
        .ExpectDialog("TAliasFrm", [](QDialog& d) {
            auto& a = static_cast<TAliasFrm&>(d);
            a.show();
            EXPECT_EQ(a.Address->text(), "bob@example.com");
            EXPECT_EQ(a.StationBox->currentText(), "FAR");
            a.User->setText("robert");
            a.Button1->click();
            return a.result();
        });
    Frm->AddAliasBtn->click();
    Frm->AddAliasBtn->click();
    EXPECT_EQ(Lines(Frm->AliasListBox), (std::vector<std::string>{"ann@example.com --> ann@HOME",
                                                                  "bob@example.com --> bob@FAR"}));
    Frm->AliasListBox->setCurrentRow(1);
    Frm->EditAliasBtn->click();
    EXPECT_EQ(Aliases->Get(1).Alias, "robert@FAR");
    EXPECT_EQ(Aliases->Get(1).User, "robert");

    Frm->AliasListBox->setCurrentRow(1);
    Frm->RemoveAliasBtn->click();
    EXPECT_EQ(Aliases->Count(), 1);
    EXPECT_EQ(Frm->AliasListBox->currentRow(), 0);
    Aliases->Add("c@x", "c@HOME", "c", "HOME");
    Frm->ClearAllAliasBtn->click();
    EXPECT_EQ(Frm->AliasListBox->count(), 0);
    EXPECT_EQ(Aliases->Count(), 0);
    EXPECT_EQ(ReadFile(Root.Path("alias.dat")), "");
}

} // namespace
