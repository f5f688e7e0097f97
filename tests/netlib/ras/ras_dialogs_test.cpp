#include "netlib/ras/ip_ras.h"
#include "netlib/ras/ip_ras_dialog.h"
#include "netlib/ras/ras_dialogs.h"
#include "platform/ras_pppd.h"
#include "support/ppp_words.h"
#include "support/scripted_dialogs.h"
#include "support/scripted_ras.h"
#include "support/test_files.h"
#include "support/test_host.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>

#include <fstream>
#include <sys/stat.h>

namespace {

template <class T> T& As(QDialog& dialog)
{
    return dynamic_cast<T&>(dialog);
}

std::string Text(const QLineEdit* edit)
{
    return edit->text().toStdString();
}

// pppd's files in a folder of the test's, as the service in use; pppd is a
// shell script when one is given.
class PppdPhoneBook {
public:
    explicit PppdPhoneBook(const std::string& pppdScript = "")
    {
        Root = Dir.path().toStdString();
        TPppdRas::TSettings settings;
        settings.Program = "/bin/true";
        if (!pppdScript.empty()) {
            settings.Program = Root + "/pppd";
            WriteFile(settings.Program, "#!/bin/sh\n" + pppdScript);
            ::chmod(settings.Program.c_str(), 0755);
        }
        settings.PppDir = Root;
        Ras = std::make_unique<TPppdRas>(settings);
        FPrevious = SetRasBackend(Ras.get());
    }
    ~PppdPhoneBook() { SetRasBackend(FPrevious); }

    QTemporaryDir Dir;
    std::string Root;
    std::unique_ptr<TPppdRas> Ras;

private:
    TRasBackend* FPrevious;
};

TEST(RasDialogs, PhoneBookMakesEditsAndDeletesEntriesInPppdsFiles)
{
    PppdPhoneBook book;
    TScriptedDialogs dialogs;
    TIpRasDialog dialog;
    dialog.PositionDlg = true;
    dialog.DlgLeft = 40;
    dialog.DlgTop = 50;
    QPoint shownAt;
    dialogs
        .ExpectDialog("TRasPhonebookDialog",
                      [&](QDialog& d) {
                          auto& pb = As<TRasPhonebookDialog>(d);
                          shownAt = pb.pos();
                          EXPECT_EQ(pb.EntryList->count(), 0);
                          EXPECT_FALSE(pb.EditBtn->isEnabled());
                          pb.NewBtn->click();
                          EXPECT_EQ(pb.EntryList->currentItem()->text(), "Home Office");
                          pb.EditBtn->click();
                          pb.DeleteBtn->click();
                          EXPECT_EQ(pb.EntryList->count(), 0);
                          pb.CloseBtn->click();
                          return pb.result();
                      })
        .ExpectDialog("TRasEntryDialog",
                      [](QDialog& d) {
                          auto& entry = As<TRasEntryDialog>(d);
                          EXPECT_NE(entry.OptionsEdit->toPlainText().indexOf("/dev/ttyS0"), -1);
                          // Refused in a box, and the dialog stays for a better name.
                          entry.EntryNameEdit->setText("../x");
                          entry.OkBtn->click();
                          EXPECT_EQ(entry.result(), 0);
                          entry.EntryNameEdit->setText("Home Office");
                          entry.PhoneNumberEdit->setText("5551234");
                          entry.UserNameEdit->setText("bob");
                          entry.PasswordEdit->setText("p\"w #1");
                          entry.OkBtn->click();
                          return entry.result();
                      })
        .ExpectBox("The entry name is not valid.", IDOK)
        .ExpectDialog("TRasEntryDialog",
                      [&](QDialog& d) {
                          auto& entry = As<TRasEntryDialog>(d);
                          EXPECT_EQ(Text(entry.EntryNameEdit), "Home Office");
                          EXPECT_EQ(Text(entry.PhoneNumberEdit), "5551234");
                          EXPECT_EQ(Text(entry.UserNameEdit), "bob");
                          EXPECT_EQ(Text(entry.PasswordEdit), "p\"w #1");
                          entry.PasswordEdit->setText("second");
                          entry.OkBtn->click();
                          // What pppd would read by now.
                          EXPECT_EQ(PppdReads(book.Root + "/chap-secrets"),
                                    (TPppWords{{"bob", "Home Office", "second"}}));
                          return entry.result();
                      })
        .ExpectBox("Delete the entry \"Home Office\"?", IDYES);
    EXPECT_EQ(dialog.ExecutePhonebookDlg(false), 0);
    EXPECT_EQ(shownAt, QPoint(40, 50));
    EXPECT_EQ(PppdReads(book.Root + "/chap-secrets"), TPppWords{});
}

TEST(RasDialogs, EntryDialogsReturnTheirErrorField)
{
    PppdPhoneBook book;
    // A phone book that cannot be written: peers is a file.
    std::ofstream(book.Root + "/peers") << "";
    TScriptedDialogs dialogs;
    TIpRasDialer dialer;
    dialogs.ExpectDialog("TRasEntryDialog", [](QDialog& d) {
        auto& entry = As<TRasEntryDialog>(d);
        entry.EntryNameEdit->setText("isp");
        entry.OkBtn->click();
        return entry.result();
    });
    EXPECT_EQ(dialer.CreatePhonebookEntry(), RasCode::ERROR_CANNOT_WRITE_PHONEBOOK);
    // An entry that is not there opens no dialog.
    dialer.SetEntryName("isp");
    EXPECT_EQ(dialer.EditPhonebookEntry(), RasCode::ERROR_CANNOT_FIND_PHONEBOOK_ENTRY);
}

TEST(RasDialogs, CopyAndEditKeepTheEntryTheyCameFrom)
{
    TScriptedRas ras;
    ras.Entries = {"Office"};
    ras.Properties["Office"] = TRasEntry{"5551234", "noauth\n"};
    TRasDialParams stored;
    stored.EntryName = "Office";
    stored.UserName = "bob";
    stored.Password = "pw";
    ras.Stored["Office"] = stored;
    TScriptedDialogs dialogs;
    TIpRasDialog dialog;
    dialog.EntryName = "Office";
    dialogs
        .ExpectDialog("TRasEntryDialog",
                      [](QDialog& d) {
                          auto& entry = As<TRasEntryDialog>(d);
                          EXPECT_EQ(Text(entry.EntryNameEdit), "");
                          EXPECT_EQ(Text(entry.PasswordEdit), "pw");
                          entry.EntryNameEdit->setText("Office");
                          entry.OkBtn->click();
                          entry.EntryNameEdit->setText("Office 2");
                          entry.OkBtn->click();
                          return entry.result();
                      })
        .ExpectBox("An entry of that name already exists.", IDOK)
        .ExpectDialog("TRasEntryDialog", [](QDialog& d) {
            auto& entry = As<TRasEntryDialog>(d);
            EXPECT_TRUE(entry.EntryNameEdit->isReadOnly());
            entry.CancelBtn->click();
            return entry.result();
        });
    EXPECT_EQ(dialog.ExecuteEntryDlg(edoCopy), 0);
    EXPECT_EQ(ras.Entries, (std::vector<std::string>{"Office", "Office 2"}));
    EXPECT_EQ(ras.Properties["Office 2"].PhoneNumber, "5551234");
    EXPECT_EQ(ras.Stored["Office 2"].Password, "pw");
    EXPECT_EQ(dialog.ExecuteEntryDlg(edoEdit), 0);
}

TEST(RasDialogs, DialDialogShowsProgressAndErrorsAndLeavesTheLineUp)
{
    TScriptedRas ras;
    ras.Entries = {"Office"};
    TRasDialParams stored;
    stored.EntryName = "Office";
    stored.PhoneNumber = "5551234";
    stored.UserName = "bob";
    ras.Stored["Office"] = stored;
    ras.Outcomes["Office"].Result = RasCode::ERROR_NO_ANSWER;
    ras.Outcomes["Office"].States = {2};
    ras.Outcomes["Office"].DialMs = 300;
    TScriptedDialogs dialogs;
    TIpRasDialog dialog;
    dialog.EntryName = "Office";

    dialogs.ExpectDialog("TRasDialDialog", [](QDialog& d) {
        auto& dial = As<TRasDialDialog>(d);
        EXPECT_EQ(Text(dial.UserNameEdit), "bob");
        dial.DialBtn->click();
        EXPECT_TRUE(PumpUntil([&] { return dial.StatusLabel->text() == "Dialing 5551234"; }));
        EXPECT_FALSE(dial.DialBtn->isEnabled());
        EXPECT_TRUE(PumpUntil([&] { return dial.DialBtn->isEnabled(); }));
        EXPECT_EQ(dial.StatusLabel->text(), "The remote computer did not answer.");
        dial.CancelBtn->click();
        return dial.result();
    });
    EXPECT_EQ(dialog.ExecuteDialDlg(), RasCode::ERROR_NO_ANSWER);

    // Cancel ends a dial under way.
    ras.Outcomes["Office"].Result = 0;
    ras.Outcomes["Office"].DialMs = 60000;
    dialogs.ExpectDialog("TRasDialDialog", [&](QDialog& d) {
        auto& dial = As<TRasDialDialog>(d);
        dial.DialBtn->click();
        EXPECT_TRUE(ras.WaitForDialling("Office", 5000));
        dial.CancelBtn->click();
        return dial.result();
    });
    EXPECT_EQ(dialog.ExecuteDialDlg(), 0);
    EXPECT_TRUE(PumpUntil([&] { return ras.LiveCount() == 0; }));

    ras.Outcomes["Office"].DialMs = 0;
    dialogs.ExpectDialog("TRasDialDialog", [](QDialog& d) {
        auto& dial = As<TRasDialDialog>(d);
        dial.PasswordEdit->setText("typed");
        dial.DialBtn->click();
        EXPECT_TRUE(PumpUntil([&] { return d.result() == QDialog::Accepted; }));
        return d.result();
    });
    EXPECT_EQ(dialog.ExecuteDialDlg(), 0);
    EXPECT_EQ(ras.LastDial().Password, "typed");
    EXPECT_EQ(ras.LiveCount(), 1);
}

// Windows-1252 holds "ü" and "€" but no Cyrillic.
const QString kCyrillic = QString::fromUtf8("пароль€1");

TEST(RasDialogs, EntryTextIsStoredAsTypedOrRefusedNamingItsField)
{
    PppdPhoneBook book;
    TScriptedDialogs dialogs;
    TIpRasDialog dialog;
    const struct {
        const char* Field;
        QLineEdit* TRasEntryDialog::*Edit;
    } fields[] = {
        {"entry name", &TRasEntryDialog::EntryNameEdit},
        {"phone number", &TRasEntryDialog::PhoneNumberEdit},
        {"user name", &TRasEntryDialog::UserNameEdit},
        {"password", &TRasEntryDialog::PasswordEdit},
        {"domain", &TRasEntryDialog::DomainEdit},
        {"callback number", &TRasEntryDialog::CallbackNumberEdit},
    };
    dialogs.ExpectDialog("TRasEntryDialog", [&](QDialog& d) {
        auto& entry = As<TRasEntryDialog>(d);
        entry.EntryNameEdit->setText(QString::fromUtf8("Büro"));
        entry.PhoneNumberEdit->setText("5551234");
        entry.UserNameEdit->setText(QString::fromUtf8("bøb"));
        entry.DomainEdit->setText("WORK");
        entry.CallbackNumberEdit->setText("5550100");
        for (const auto& f : fields) {
            SCOPED_TRACE(f.Field);
            QLineEdit* edit = entry.*f.Edit;
            const QString kept = edit->text();
            edit->setText(kCyrillic);
            entry.OkBtn->click();
            EXPECT_EQ(entry.result(), 0);
            edit->setText(kept);
        }
        entry.OptionsEdit->setPlainText("noauth\n# " + kCyrillic + "\n");
        entry.OkBtn->click();
        EXPECT_EQ(entry.result(), 0);
        entry.OptionsEdit->setPlainText("noauth\n");
        entry.PasswordEdit->setText(QString::fromUtf8("€uro-1"));
        entry.OkBtn->click();
        return entry.result();
    });
    for (const auto& f : fields)
        dialogs.ExpectBox(std::string("The ") + f.Field + " holds characters outside Windows-1252",
                          IDOK);
    dialogs.ExpectBox("The pppd options hold characters outside Windows-1252", IDOK);
    EXPECT_EQ(dialog.ExecuteEntryDlg(edoNew), 0);

    // The file is named as the shell shows it, and pppd is given the
    // station's bytes.
    EXPECT_TRUE(QFile::exists(book.Dir.path() + QString::fromUtf8("/peers/Büro")));
    EXPECT_EQ(PppdReads(book.Root + "/chap-secrets"), (TPppWords{{"b\xF8"
                                                                  "b",
                                                                  "B\xFCro", "\x80uro-1"}}));
    dialogs.ExpectDialog("TRasEntryDialog", [](QDialog& d) {
        auto& entry = As<TRasEntryDialog>(d);
        EXPECT_EQ(entry.PasswordEdit->text(), QString::fromUtf8("€uro-1"));
        EXPECT_EQ(entry.DomainEdit->text(), "WORK");
        EXPECT_EQ(entry.CallbackNumberEdit->text(), "5550100");
        entry.CancelBtn->click();
        return entry.result();
    });
    dialog.EntryName = "B\xFCro";
    EXPECT_EQ(dialog.ExecuteEntryDlg(edoEdit), 0);
}

TEST(RasDialogs, DialDialogDialsWithTheTextAsTypedOrNotAtAll)
{
    TScriptedRas ras;
    ras.Entries = {"Office"};
    TScriptedDialogs dialogs;
    TIpRasDialog dialog;
    dialog.EntryName = "Office";
    dialogs
        .ExpectDialog("TRasDialDialog",
                      [](QDialog& d) {
                          auto& dial = As<TRasDialDialog>(d);
                          dial.PasswordEdit->setText(kCyrillic);
                          dial.DialBtn->click();
                          EXPECT_TRUE(dial.DialBtn->isEnabled());
                          dial.PasswordEdit->setText(QString::fromUtf8("€uro-1"));
                          dial.UserNameEdit->setText(kCyrillic);
                          dial.DialBtn->click();
                          dial.UserNameEdit->setText(QString::fromUtf8("bøb"));
                          dial.DialBtn->click();
                          EXPECT_TRUE(PumpUntil([&] { return d.result() == QDialog::Accepted; }));
                          return d.result();
                      })
        .ExpectBox("The password holds characters outside Windows-1252", IDOK)
        .ExpectBox("The user name holds characters outside Windows-1252", IDOK);
    EXPECT_EQ(dialog.ExecuteDialDlg(), 0);
    const auto log = ras.CallLog();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& l) { return l.rfind("dial ", 0) == 0; }),
              2); // the dial and its "connected"
    EXPECT_EQ(ras.LastDial().Password, "\x80uro-1");
    EXPECT_EQ(ras.LastDial().UserName, "b\xF8"
                                       "b");
}

TEST(RasDialogs, CancelAfterARefusedValueWritesNothing)
{
    PppdPhoneBook book;
    WriteFile(book.Root + "/peers/isp", "noauth\nuser \"alice\"\n");
    const std::string before = ReadFile(book.Root + "/peers/isp");
    TScriptedDialogs dialogs;
    TIpRasDialog dialog;
    // A new entry whose password pppd would take for a file name.
    dialogs
        .ExpectDialog("TRasEntryDialog",
                      [](QDialog& d) {
                          auto& entry = As<TRasEntryDialog>(d);
                          entry.EntryNameEdit->setText("new");
                          entry.UserNameEdit->setText("bob");
                          entry.PasswordEdit->setText("@/etc/shadow");
                          entry.OkBtn->click();
                          EXPECT_EQ(entry.result(), 0);
                          entry.CancelBtn->click();
                          return entry.result();
                      })
        .ExpectBox("The password starts with \"@\"", IDOK);
    EXPECT_EQ(dialog.ExecuteEntryDlg(edoNew), 0);

    // A renamed entry with a line break in its password, then a callback
    // number no modem dials.
    dialogs
        .ExpectDialog("TRasEntryDialog",
                      [](QDialog& d) {
                          auto& entry = As<TRasEntryDialog>(d);
                          entry.EntryNameEdit->setText("isp2");
                          entry.UserNameEdit->setText("bob");
                          entry.PasswordEdit->setText("pass\nword");
                          entry.OkBtn->click();
                          entry.PasswordEdit->setText("password");
                          entry.CallbackNumberEdit->setText("555;reboot");
                          entry.OkBtn->click();
                          EXPECT_EQ(entry.result(), 0);
                          entry.CancelBtn->click();
                          return entry.result();
                      })
        .ExpectBox("The password holds a control character", IDOK)
        .ExpectBox("The callback number holds characters a modem does not dial", IDOK);
    dialog.EntryName = "isp";
    EXPECT_EQ(dialog.ExecuteEntryDlg(edoRename), 0);

    EXPECT_EQ(ReadFile(book.Root + "/peers/isp"), before);
    EXPECT_FALSE(QFile::exists(book.Dir.path() + "/peers/new"));
    EXPECT_FALSE(QFile::exists(book.Dir.path() + "/peers/isp2"));
    EXPECT_FALSE(QFile::exists(book.Dir.path() + "/pap-secrets"));
    EXPECT_FALSE(QFile::exists(book.Dir.path() + "/chap-secrets"));
}

TEST(RasDialogs, DialDialogShowsPppdsOwnWordsWhole)
{
    // pppd refusing a line of the entry, as it says so before it reads on.
    PppdPhoneBook book("echo \"pppd: unrecognized option '/dev/ttyUSB0'\" >&2\n"
                       "exit 2\n");
    WriteFile(book.Root + "/peers/isp", "ttyUSB0\nnoauth\n");
    TScriptedDialogs dialogs;
    TIpRasDialog dialog;
    dialog.EntryName = "isp";
    dialogs.ExpectDialog("TRasDialDialog", [](QDialog& d) {
        auto& dial = As<TRasDialDialog>(d);
        d.show();
        dial.DialBtn->click();
        EXPECT_TRUE(PumpUntil([&] { return dial.DialBtn->isEnabled(); }));
        const QString text = dial.StatusLabel->text();
        EXPECT_EQ(text, "The phone-book entry holds invalid settings.\n"
                        "pppd: unrecognized option '/dev/ttyUSB0'");
        // Every line of it within the label, none cut at its edge.
        const auto fits = [&] {
            const QRect room = dial.StatusLabel->contentsRect();
            const QRect need = dial.StatusLabel->fontMetrics().boundingRect(
                room, Qt::TextWordWrap | dial.StatusLabel->alignment(), text);
            return need.height() <= room.height() && need.width() <= room.width() &&
                   d.rect().contains(dial.StatusLabel->geometry());
        };
        EXPECT_TRUE(PumpUntil(fits, 5000));
        dial.CancelBtn->click();
        return dial.result();
    });
    EXPECT_EQ(dialog.ExecuteDialDlg(), RasCode::ERROR_CORRUPT_PHONEBOOK);
}

TEST(RasDialogs, MonitorShowsStateTimeAndBytes)
{
    TScriptedRas ras;
    ras.Entries = {"Office"};
    ras.Outcomes["Office"].BytesSent = 100;
    ras.Outcomes["Office"].BytesReceived = 2048;
    TIpRasDialer dialer;
    dialer.SetDialMode(dmSync);
    dialer.SetEntryName("Office");
    ASSERT_EQ(dialer.Dial(), 0);

    TScriptedDialogs dialogs;
    TIpRasDialog dialog;
    dialogs.ExpectDialog("TRasMonitorDialog", [](QDialog& d) {
        auto& monitor = As<TRasMonitorDialog>(d);
        EXPECT_EQ(monitor.Pages->currentIndex(), 1);
        EXPECT_EQ(monitor.SummaryTable->rowCount(), 1);
        EXPECT_EQ(monitor.SummaryTable->item(0, 0)->text(), "Office");
        EXPECT_EQ(monitor.SummaryTable->item(0, 2)->text(), "Connected");
        EXPECT_EQ(monitor.ConnectionBox->currentText(), "Office");
        EXPECT_EQ(monitor.DeviceLabel->text(), "Scripted modem");
        EXPECT_EQ(monitor.StateLabel->text(), "Connected");
        EXPECT_TRUE(monitor.DurationLabel->text().startsWith("0:00:0"));
        EXPECT_EQ(monitor.BytesSentLabel->text(), "100");
        EXPECT_EQ(monitor.BytesReceivedLabel->text(), "2048");
        monitor.CloseBtn->click();
        return monitor.result();
    });
    EXPECT_EQ(dialog.ExecuteMonitorDlg("Scripted modem", mdpSummary), 0);
    dialer.Hangup();
}

} // namespace
