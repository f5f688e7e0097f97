#pragma once

#include <functional>
#include <string>

#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <string>

class TAliasList;
class TConfig;
class TPOP3Frm;
class TSMTPFrm;
class TStationList;
class TUserList;

// The local network settings: local mail users, alias filters, the switches
// and ports of the local SMTP and POP3 servers, the largest message accepted
// from local users and the password that guards this dialog. Made once at
// start-up; its construction starts each server that the configuration
// enables. Shown (not modally) from the main menu after a login.
//
// Choices made here:
// - Switching a server on with a port that is empty or not 1-65535 says
//   "Port Error" and shows "DISABLED" again (instead of stopping without a
//   word with "ENABLED" showing): the box never claims a server that is not
//   listening.
class TNetConfigFrm : public QDialog {
    Q_OBJECT
public:
    // `log` takes what the operator may not see, such as a server that the
    // configuration enables but that cannot start (the mailbox log).
    TNetConfigFrm(QWidget* owner, TStationList* stations, TSMTPFrm* smtp, TPOP3Frm* pop3,
                  TConfig* config, TAliasList* aliases, TUserList* users,
                  std::function<void(const std::string& line)> log = {});

    static constexpr const char* kEnabled = "ENABLED";
    static constexpr const char* kDisabled = "DISABLED";

    QTabWidget* PageControl1;
    QWidget* TabSheet1;
    QWidget* TabSheet2;
    QListWidget* UserListBox;
    QPushButton* AddUserBtn;
    QPushButton* RemoveUserBtn;
    QPushButton* EditUserBtn;
    QLineEdit* MaxMailSize;
    QComboBox* SMTPEnabledComboBox;
    QLineEdit* SMTPPort;
    QComboBox* POP3EnabledComboBox;
    QLineEdit* POP3Port;
    QLineEdit* Password;
    QLineEdit* Password2;
    QPushButton* Button1; // Set
    QListWidget* AliasListBox;
    QPushButton* AddAliasBtn;
    QPushButton* RemoveAliasBtn;
    QPushButton* EditAliasBtn;
    QPushButton* ClearAllAliasBtn;
    QPushButton* Button5; // OK

    // Handlers (public so that tests drive them as the controls do).
    void FormShow();
    void UserListBoxClick();
    void AddUserBtnClick();
    void EditUserBtnClick();
    void RemoveUserBtnClick();
    void POP3EnabledComboBoxChange();
    void SMTPEnabledComboBoxChange();
    void AddAliasBtnClick();
    void EditAliasBtnClick();
    void RemoveAliasBtnClick();
    void ClearAllAliasBtnClick();
    void Button1Click();
    void Button5Click();

protected:
    void showEvent(QShowEvent* event) override;

private:
    // One server's switch: its combo box, port edit and start and stop.
    struct TServerSwitch;
    TServerSwitch Pop3Switch();
    TServerSwitch SmtpSwitch();
    void SwitchChanged(const TServerSwitch& s);
    // Starts a server the configuration enables; a port that cannot be bound
    // is reported and logged, and shows the switch off for this run only: the
    // stored switch stays as the operator set it, so a one-off clash does not
    // keep mail off after the next start.
    void StartConfigured(const TServerSwitch& s);
    // False when the server does not listen; `why` then says what the socket
    // layer raised, if anything.
    bool StartServer(const TServerSwitch& s, int port, std::string* why = nullptr);
    void ShowSwitch(const TServerSwitch& s, bool on);
    void ReportEnableError(const TServerSwitch& s);

    void RefillUsers();
    void RefillAliases();
    void UpdateRemoveUserBtn();

    TStationList* FStations;
    TSMTPFrm* FSMTP;
    TPOP3Frm* FPOP3;
    TConfig* FConfig;
    TAliasList* FAliases;
    TUserList* FUsers;
    // Stored on, but off for this run since its start failed.
    bool FPop3OffThisRun = false;
    bool FSmtpOffThisRun = false;
    std::function<void(const std::string& line)> FLog;
};
