#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QTest>

#include "configui/alias_frm.h"
#include "configui/user_frm.h"
#include "core/station_list.h"
#include "core/user_list.h"
#include "platform/data_root.h"
#include "platform/text.h"
#include "support/scripted_dialogs.h"
#include "support/test_files.h"

namespace {

class EditDialogTest : public ::testing::Test {
protected:
    TempRoot Dir;
};

using UserFrmTest = EditDialogTest;
using AliasFrmTest = EditDialogTest;

// Fills the dialog, presses OK and gives the modal result (0: still open).
int PressOk(TUserFrm& frm, const char* name, const char* pass, const char* pass2)
{
    frm.setResult(0);
    frm.Name->setText(ToQt(name));
    frm.Password->setText(pass);
    frm.Password2->setText(pass2);
    frm.Button1->click();
    return frm.result();
}

TEST_F(UserFrmTest, ChecksInOrderAndStaysOpenOnEachFailure)
{
    TUserList users;
    TUserFrm frm(nullptr, &users);
    TScriptedDialogs boxes;
    boxes.ExpectBox("Please, enter a valid user name.", IDOK)
        .ExpectBox("Please, enter a valid password.", IDOK)
        .ExpectBox("Passwords do not agree.\nPlease, retype.", IDOK)
        .ExpectBox("Passwords do not agree.\nPlease, retype.", IDOK);
    EXPECT_EQ(PressOk(frm, "", "", ""), 0);
    EXPECT_EQ(PressOk(frm, "bob", "", "x"), 0);
    EXPECT_EQ(PressOk(frm, "bob", "secret", "secreT"), 0);
    EXPECT_EQ(PressOk(frm, "bob", "secret", ""), 0);
    ASSERT_EQ(boxes.Records().size(), 4u);
    EXPECT_EQ(boxes.Records()[0].title, "User Error");
    EXPECT_EQ(boxes.Records()[1].title, "Password Error");
    EXPECT_EQ(boxes.Records()[2].icon, TMsgIcon::Warning);
    // The input stays as typed.
    EXPECT_EQ(frm.Password2->text(), "");
    EXPECT_EQ(frm.Name->text(), "bob");
    // One character is enough.
    EXPECT_EQ(PressOk(frm, "bob", "s", "s"), TUserFrm::mrOk);
}

TEST_F(UserFrmTest, DuplicateNamesAreRefusedWhateverTheirCaseButOnlyOnAdd)
{
    TUserList users;
    users.Add(TUser{"admin", "pw", ""});
    TUserFrm frm(nullptr, &users);
    TScriptedDialogs boxes;
    boxes.ExpectBox("User already exists.\nPlease, enter a new user name", IDOK)
        .ExpectBox("User already exists.\nPlease, enter a new user name", IDOK);
    EXPECT_EQ(PressOk(frm, "admin", "pw", "pw"), 0);
    EXPECT_EQ(PressOk(frm, "Admin", "pw", "pw"), 0);
    EXPECT_EQ(PressOk(frm, "admin2", "pw", "pw"), TUserFrm::mrOk);

    // An Edit keeps the user's own name.
    TUserFrm edit(nullptr, &users);
    edit.Name->setEnabled(false);
    EXPECT_EQ(PressOk(edit, "admin", "new", "new"), TUserFrm::mrOk);
}

TEST_F(UserFrmTest, NamesThatBreakTheTableOrLeaveTheMailboxAreRefused)
{
    TUserList users;
    TUserFrm frm(nullptr, &users);
    const char* bad[] = {"a:b", "a/b", "a\\b", "..", ".", "a\tb", "a\x7f"};
    TScriptedDialogs boxes;
    for (size_t i = 0; i < std::size(bad); ++i)
        boxes.ExpectBox("Please, enter a new user name", IDOK);
    for (const char* name : bad)
        EXPECT_EQ(PressOk(frm, name, "pw", "pw"), 0) << name;
    for (const auto& r : boxes.Records())
        EXPECT_EQ(r.title, "User Error");
    // What the table takes, the dialog takes.
    for (const char* good : {"a.b", "..a", "a b"}) {
        EXPECT_EQ(PressOk(frm, good, "pw", "pw"), TUserFrm::mrOk) << good;
        EXPECT_NO_THROW(users.Add(TUser{good, "pw", ""})) << good;
    }
}

TEST_F(UserFrmTest, CancelAndCloseGiveTwo)
{
    TUserFrm frm(nullptr, nullptr);
    frm.Button2->click();
    EXPECT_EQ(frm.result(), TUserFrm::mrCancel);
    frm.setResult(0);
    frm.show();
    frm.close();
    EXPECT_EQ(frm.result(), TUserFrm::mrCancel);
}

class AliasFrmFixture : public AliasFrmTest {
protected:
    void SetUp() override
    {
        Stations = std::make_unique<TStationList>();
        Stations->Add(TStation{"HOME"});
        Stations->Add(TStation{""});
        Stations->Add(TStation{"FAR"});
    }
    int PressOk(TAliasFrm& frm, const char* address, const char* user)
    {
        frm.setResult(0);
        frm.Address->setText(address);
        frm.User->setText(user);
        frm.Button1->click();
        return frm.result();
    }
    std::unique_ptr<TStationList> Stations;
};

TEST_F(AliasFrmFixture, ChecksAddressAndUserThenBuildsTheAlias)
{
    TAliasFrm frm(nullptr, Stations.get());
    frm.show();
    // The window system's own show events (mapping, restoring) add nothing.
    QTest::qWait(20);
    frm.showMinimized();
    frm.showNormal();
    QTest::qWait(20);
    // Every named station, this station shown.
    ASSERT_EQ(frm.StationBox->count(), 2);
    EXPECT_EQ(frm.StationBox->itemText(1), "FAR");
    EXPECT_EQ(frm.StationBox->currentText(), "HOME");

    TScriptedDialogs boxes;
    boxes.ExpectBox("Please, enter an email address.", IDOK)
        .ExpectBox("Please, enter an valid email address.", IDOK)
        .ExpectBox("Please, enter an HF Station user.", IDOK);
    EXPECT_EQ(PressOk(frm, "", "admin"), 0);
    EXPECT_EQ(PressOk(frm, "nobody.example.com", "admin"), 0);
    EXPECT_EQ(PressOk(frm, "a@b", ""), 0);
    EXPECT_EQ(boxes.Records()[0].title, "Internet Address Error");
    EXPECT_EQ(boxes.Records()[2].title, "HF Station Address Error");
    // "@" alone passes both address checks.
    EXPECT_EQ(PressOk(frm, "@", "admin"), TAliasFrm::mrOk);
    EXPECT_EQ(frm.Alias->text(), "admin@HOME");
}

TEST_F(AliasFrmFixture, AnEditKeepsItsStationAndLongAliasesAreNotCut)
{
    Stations->Add(TStation{"AVERYLONGSTN"});
    TAliasFrm frm(nullptr, Stations.get());
    frm.StationBox->setCurrentText("FAR");
    frm.show();
    EXPECT_EQ(frm.StationBox->currentText(), "FAR");
    EXPECT_EQ(PressOk(frm, "ann@example.com", "ann"), TAliasFrm::mrOk);
    EXPECT_EQ(frm.Alias->text(), "ann@FAR");

    TAliasFrm typed(nullptr, Stations.get());
    typed.show();
    typed.StationBox->setCurrentText("AVERYLONGSTN");
    EXPECT_EQ(PressOk(typed, "x@y", "abcdefghijkl"), TAliasFrm::mrOk);
    EXPECT_EQ(typed.Alias->text(), "abcdefghijkl@AVERYLONGSTN");
}

// Typed or put in, a box keeps no more than its limit: the passwords 16
// (the upper bound of the password rules rests on it), the alias's HF user 12.
TEST_F(AliasFrmFixture, BoxesKeepNoMoreThanTheirLimits)
{
    TUserFrm user(nullptr, nullptr);
    TAliasFrm alias(nullptr, Stations.get());
    const std::string typed = "abcdefghijklmnopqrst";
    const struct {
        QLineEdit* box;
        int limit;
    } boxes[] = {{user.Password, 16}, {user.Password2, 16}, {alias.User, 12}};
    for (const auto& b : boxes) {
        QTest::keyClicks(b.box, ToQt(typed));
        EXPECT_EQ(FromQt(b.box->text()), typed.substr(0, static_cast<size_t>(b.limit)))
            << FromQt(b.box->objectName());
        b.box->setText(ToQt(typed));
        EXPECT_EQ(b.box->text().size(), b.limit) << FromQt(b.box->objectName());
    }
    user.Name->setText("bob");
    user.Button1->click();
    EXPECT_EQ(user.result(), TUserFrm::mrOk);
}

TEST_F(AliasFrmFixture, FieldsThatWouldBreakAliasDatAreRefused)
{
    TAliasFrm frm(nullptr, Stations.get());
    frm.show();
    TScriptedDialogs boxes;
    boxes.ExpectBox("Please, enter an valid email address.", IDOK)
        .ExpectBox("An alias cannot hold", IDOK)
        .ExpectBox("An alias cannot hold", IDOK);
    EXPECT_EQ(PressOk(frm, "a:b@c", "ann"), 0);
    EXPECT_EQ(PressOk(frm, "a@c", "an\x01n"), 0);
    frm.StationBox->setCurrentText("F:AR");
    EXPECT_EQ(PressOk(frm, "a@c", "ann"), 0);
    EXPECT_EQ(boxes.Records()[1].title, "HF Station Address Error");
}

} // namespace
