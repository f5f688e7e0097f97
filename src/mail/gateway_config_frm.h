#pragma once

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <string>

class TAccountList;
class TConfig;
class TStationList;
class TUserInfoForm;

// The mail gateway settings: polling interval and the four daily connection
// times, immediate delivery, the POP3 accounts, the outgoing SMTP server and
// its authentication, the dial-up connection, the incoming size filter with
// the text returned to senders (errormsg.txt), and the password that guards
// this dialog. Made once at start-up on a gateway station; the mail gateway
// window fills the dial-up list and shows it modally after its login.
//
// Accounts, the four times and the password change at once; everything else
// on OK, which also writes errormsg.txt and the INI file. A number that does
// not convert is refused on OK with nothing stored.
//
// Choices made here:
// - OK stores any whole polling interval from 1 minute up, but refuses 0
//   and below (instead of storing them): the gateway would connect again
//   every second.
class TGatewayConfigFrm : public QDialog {
    Q_OBJECT
public:
    static constexpr int mrOk = 1;
    static constexpr const char* kErrorMsgFile = "errormsg.txt";
    // What errormsg.txt holds until the operator writes it.
    static constexpr const char* kDefaultErrorMsg =
        "You are not authorized to send mail to this address or your message exceeds the "
        "allowed message size.";

    TGatewayConfigFrm(QWidget* owner, TStationList* stations, TConfig* config,
                      TAccountList* accounts);
    ~TGatewayConfigFrm() override;

    QTabWidget* PageControl2;
    QPushButton* Button1; // OK
    // General
    QCheckBox* CheckMailIntervalEnabled;
    QComboBox* CheckMailInterval;
    QLabel* minutesLabel;
    QCheckBox* DeliverMailImmediatelyEnabled;
    QCheckBox* MailServerScheduledLinkCheckBox[4];
    QLabel* MailServerScheduledLink[4];
    QPushButton* MailServerScheduledLinkEditBtn[4];
    QLineEdit* Password;
    QLineEdit* Password2;
    QPushButton* Button2; // Set
    // Users
    QListWidget* AccountsListBox;
    QPushButton* AddButton;
    QPushButton* RemoveButton;
    QPushButton* EditButton;
    QPushButton* EnableButton;
    QPushButton* DisableButton;
    // SMTP
    QLineEdit* SMTPServer;
    QLineEdit* SMTPMailFrom;
    QCheckBox* SMTPAuthEnabled;
    QCheckBox* SMTPEHLOAuthEnabled;
    QLineEdit* SMTPAuthUser;
    QLineEdit* SMTPAuthPass;
    // Dial up Networking
    QCheckBox* DialupEnabled;
    QLabel* DialupConnectionLabel;
    QComboBox* DialupConnection;
    QLabel* LoginLabel;
    QLineEdit* DialupLoginName;
    QLabel* PasswordLabel;
    QLineEdit* DialupPassword;
    // Mail Filter
    QLineEdit* MaxMailFilterSize;
    QCheckBox* ReturnErrorEnabled;
    QPlainTextEdit* ErrorMsgMemo;

    // The account dialog, owned and reused for every Add and Edit.
    TUserInfoForm* UserInfo() const { return FUserInfo; }

    // Handlers (public so that tests drive them as the controls do).
    void FormShow();
    void Button1Click();
    void Button2Click();
    void CheckMailIntervalEnabledClick();
    void ReturnErrorEnabledClick();
    void DialupEnabledClick();
    void MailServerScheduledLinkCheckBoxClick(int index);
    void MailServerScheduledLinkEditBtnClick(int index);
    void AddButtonClick();
    void EditButtonClick();
    void RemoveButtonClick();
    void EnableButtonClick();
    void DisableButtonClick();
    void AccountsListBoxDblClick();

    // "hf --> email    (STATE)".
    static std::string AccountLine(const std::string& hfAddress, const std::string& email,
                                   const std::string& status);

protected:
    void showEvent(QShowEvent* event) override;

private:
    void RefillAccounts();
    void WarnWithoutStations();
    // Resets the account dialog and fills its stations, this station first.
    void PrepareUserInfo();
    // Puts the account dialog's texts into the account; false (and why
    // shown) when the table refuses them.
    bool StoreAccount(int index, const std::string& status);
    void SetAccountStatus(const std::string& status);

    TStationList* FStations;
    TConfig* FConfig;
    TAccountList* FAccounts;
    TUserInfoForm* FUserInfo;
};
