#include "mail/gateway_config_frm.h"

#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <charconv>
#include <limits>
#include <optional>

#include "configui/form_controls.h"
#include "configui/input_filters.h"
#include "configui/password_boxes.h"
#include "configui/scheduled_frm.h"
#include "core/config.h"
#include "core/date_time.h"
#include "core/station_list.h"
#include "mail/account_list.h"
#include "mail/user_info_form.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "platform/dialogs.h"
#include "platform/text.h"

namespace {

using FormControls::Button;
using FormControls::Check;
using FormControls::Edit;
using FormControls::Label;

// The filter is stored in bytes as a signed 32-bit number.
constexpr int kMaxFilterK = std::numeric_limits<std::int32_t>::max() / 1024;

std::optional<int> WholeNumber(const QString& text, int min, int max)
{
    const std::string s = FromQt(text.trimmed());
    int value = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    if (s.empty() || ec != std::errc() || end != s.data() + s.size() || value < min || value > max)
        return std::nullopt;
    return value;
}

void Refuse(const std::string& text)
{
    ShowMessageBox(text, "Gateway Error", MB_OK, TMsgIcon::Warning);
}

// The errormsg.txt text as memo lines.
QString ErrorMsgText(const std::string& file)
{
    QString text = ToQt(file);
    text.replace("\r\n", "\n");
    if (text.endsWith('\n'))
        text.chop(1);
    return text;
}

} // namespace

TGatewayConfigFrm::TGatewayConfigFrm(QWidget* owner, TStationList* stations, TConfig* config,
                                     TAccountList* accounts)
    : QDialog(owner), FStations(stations), FConfig(config), FAccounts(accounts),
      FUserInfo(new TUserInfoForm(this))
{
    setObjectName("GatewayConfigFrm");
    setWindowTitle("Gateway Configuration");
    auto* layout = new QVBoxLayout(this);
    PageControl2 = new QTabWidget(this);
    PageControl2->setObjectName("PageControl2");
    layout->addWidget(PageControl2);
    Button1 = Button(this, "Button1", "&OK", nullptr);
    auto* okRow = new QHBoxLayout;
    okRow->addStretch();
    okRow->addWidget(Button1);
    layout->addLayout(okRow);

    auto tab = [this](const char* name, const char* caption) {
        auto* page = new QWidget;
        page->setObjectName(name);
        PageControl2->addTab(page, caption);
        return page;
    };

    // General.
    QWidget* general = tab("TabSheet1", "General");
    auto* generalLayout = new QVBoxLayout(general);
    auto* polling = new QGroupBox("Scheduled Connections to Mail Server", general);
    auto* pollingLayout = new QGridLayout(polling);
    CheckMailIntervalEnabled = Check(polling, "CheckMailIntervalEnabled", "Send and Receive every ",
                                     "Allow for Auto-Checking (polling) for mail from the server");
    CheckMailInterval = new QComboBox(polling);
    CheckMailInterval->setObjectName("CheckMailInterval");
    CheckMailInterval->setEditable(true);
    CheckMailInterval->setInsertPolicy(QComboBox::NoInsert);
    for (const char* item : {"5", "10", "20", "30", "40", "50", "60"})
        CheckMailInterval->addItem(item);
    CheckMailInterval->setCurrentText("20");
    CheckMailInterval->setToolTip(
        "Select the delay between poll attempts to the Internet mail server");
    minutesLabel = Label(polling, "minutesLabel", "minutes (POP and SMTP)");
    pollingLayout->addWidget(CheckMailIntervalEnabled, 0, 0);
    pollingLayout->addWidget(CheckMailInterval, 0, 1);
    pollingLayout->addWidget(minutesLabel, 0, 2);
    DeliverMailImmediatelyEnabled = Check(
        polling, "DeliverMailImmediatelyEnabled", "Deliver outgoing mail immediately (SMTP Only)",
        "Deliver mail to be sent to the Internet to be delivered as soon as it is received");
    pollingLayout->addWidget(DeliverMailImmediatelyEnabled, 1, 0, 1, 3);
    pollingLayout->addWidget(new QLabel("Scheduled Connections:", polling), 2, 0, 1, 3);
    for (int i = 0; i < 4; ++i) {
        const std::string n = std::to_string(i + 1);
        MailServerScheduledLinkCheckBox[i] =
            Check(polling, ("MailServerScheduledLink" + n + "CheckBox").c_str(), "", nullptr);
        MailServerScheduledLink[i] =
            Label(polling, ("MailServerScheduledLink" + n).c_str(), "00:00");
        MailServerScheduledLink[i]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        MailServerScheduledLink[i]->setAlignment(Qt::AlignCenter);
        MailServerScheduledLink[i]->setAutoFillBackground(true);
        MailServerScheduledLinkEditBtn[i] =
            Button(polling, ("MailServerScheduledLink" + n + "EditBtn").c_str(), "E&dit", nullptr);
        pollingLayout->addWidget(MailServerScheduledLinkCheckBox[i], 3 + i, 0);
        pollingLayout->addWidget(MailServerScheduledLink[i], 3 + i, 1);
        pollingLayout->addWidget(MailServerScheduledLinkEditBtn[i], 3 + i, 2);
        connect(MailServerScheduledLinkCheckBox[i], &QCheckBox::clicked, this,
                [this, i] { MailServerScheduledLinkCheckBoxClick(i); });
        connect(MailServerScheduledLinkEditBtn[i], &QPushButton::clicked, this,
                [this, i] { MailServerScheduledLinkEditBtnClick(i); });
    }
    generalLayout->addWidget(polling);
    auto* passBox = new QGroupBox("Configuration Password", general);
    auto* passForm = new QFormLayout(passBox);
    Password = Edit(passBox, "Password", "Select a password to enter this configuration screen");
    Password2 = Edit(passBox, "Password2", "Confirm (verify) the password to change it");
    // Different texts until the operator types: Set without typing refuses.
    Password->setText("Password");
    Password2->setText("Password2");
    for (QLineEdit* e : {Password, Password2}) {
        e->setMaxLength(16);
        e->setEchoMode(QLineEdit::Password);
    }
    Button2 =
        Button(passBox, "Button2", "&Set", "Sets the password to enter this configuration screen");
    passForm->addRow("Password:", Password);
    passForm->addRow("Confirm:", Password2);
    passForm->addRow("", Button2);
    generalLayout->addWidget(passBox);

    // Users.
    QWidget* users = tab("Users", "Users");
    auto* usersLayout = new QHBoxLayout(users);
    auto* accountsBox = new QGroupBox("POP3 Accounts", users);
    auto* accountsLayout = new QVBoxLayout(accountsBox);
    AccountsListBox = new QListWidget(accountsBox);
    AccountsListBox->setObjectName("AccountsListBox");
    accountsLayout->addWidget(AccountsListBox);
    usersLayout->addWidget(accountsBox);
    auto* accountButtons = new QVBoxLayout;
    AddButton = Button(users, "AddButton", "&Add",
                       "Add Internet mail accounts to forward to local HF mail users");
    RemoveButton = Button(users, "RemoveButton", "&Remove",
                          "Remove Internet mail accounts that forward to local HF mail users");
    EditButton = Button(users, "EditButton", "&Edit",
                        "Edit Internet mail accounts to forward to local HF mail users");
    EnableButton = Button(users, "EnableButton", "E&nable", "Enable the selected account");
    DisableButton = Button(users, "DisableButton", "&Disable", "Disable the selected account");
    for (QPushButton* b : {AddButton, RemoveButton, EditButton, EnableButton, DisableButton})
        accountButtons->addWidget(b);
    accountButtons->addStretch();
    usersLayout->addLayout(accountButtons);

    // SMTP.
    QWidget* smtp = tab("TabSheet4", "SMTP");
    auto* smtpLayout = new QVBoxLayout(smtp);
    auto* serverBox = new QGroupBox("Outgoing Server Settings", smtp);
    auto* serverForm = new QFormLayout(serverBox);
    SMTPServer = Edit(serverBox, "SMTPServer", "Add the SMTP server to deliver all outgoing mail");
    SMTPServer->setText("mail.example.com");
    serverForm->addRow(Label(serverBox, "SMTPLabel", "SMTP Server:"), SMTPServer);
    SMTPMailFrom = Edit(serverBox, "SMTPMailFrom", nullptr);
    SMTPMailFrom->setText("gateway@example.com");
    auto* mailFromLabel = new QLabel("Mail From:", serverBox);
    serverForm->addRow(mailFromLabel, SMTPMailFrom);
    SMTPMailFrom->setVisible(false);
    mailFromLabel->setVisible(false);
    smtpLayout->addWidget(serverBox);
    auto* authBox = new QGroupBox("SMTP Authentication:", smtp);
    auto* authForm = new QFormLayout(authBox);
    SMTPAuthEnabled = Check(authBox, "SMTPAuthEnabled", "POP Before SMTP", nullptr);
    SMTPEHLOAuthEnabled = Check(authBox, "SMTPEHLOAuthEnabled", "SMTP EHLO (Login)", nullptr);
    SMTPAuthUser = Edit(authBox, "SMTPAuthUser", nullptr);
    SMTPAuthPass = Edit(authBox, "SMTPAuthPass", nullptr);
    SMTPAuthPass->setEchoMode(QLineEdit::Password);
    authForm->addRow(SMTPAuthEnabled);
    authForm->addRow(SMTPEHLOAuthEnabled);
    authForm->addRow("User:", SMTPAuthUser);
    authForm->addRow("Pass:", SMTPAuthPass);
    smtpLayout->addWidget(authBox);
    smtpLayout->addStretch();

    // Dial up Networking.
    QWidget* dialup = tab("TabSheet2", "Dial up Networking");
    auto* dialupLayout = new QVBoxLayout(dialup);
    auto* dialupBox = new QGroupBox("Dial up Networking Settings", dialup);
    auto* dialupForm = new QFormLayout(dialupBox);
    DialupEnabled = Check(dialupBox, "DialupEnabled", "Enabled",
                          "Enable RAS (Remote Access Service) dial up networking account");
    dialupForm->addRow("Dial up Networking:", DialupEnabled);
    DialupConnectionLabel = Label(dialupBox, "DialupConnectionLabel", "Dial up Connection:");
    DialupConnection = new QComboBox(dialupBox);
    DialupConnection->setObjectName("DialupConnection");
    DialupConnection->setEditable(true);
    DialupConnection->setInsertPolicy(QComboBox::NoInsert);
    DialupConnection->setToolTip("Select a Dial up networking account");
    dialupForm->addRow(DialupConnectionLabel, DialupConnection);
    LoginLabel = Label(dialupBox, "LoginLabel", "Login Name:");
    DialupLoginName = Edit(dialupBox, "DialupLoginName",
                           "Enter your user name given to you by your Internet Service Provider");
    dialupForm->addRow(LoginLabel, DialupLoginName);
    PasswordLabel = Label(dialupBox, "PasswordLabel", "Password:");
    DialupPassword = Edit(dialupBox, "DialupPassword",
                          "Enter your password given to you by your Internet Service Provider");
    DialupPassword->setEchoMode(QLineEdit::Password);
    dialupForm->addRow(PasswordLabel, DialupPassword);
    dialupLayout->addWidget(dialupBox);
    dialupLayout->addStretch();

    // Mail Filter.
    QWidget* filter = tab("TabSheet3", "Mail Filter");
    auto* filterLayout = new QVBoxLayout(filter);
    auto* sizeBox = new QGroupBox("Incoming Size Filter", filter);
    auto* sizeLayout = new QGridLayout(sizeBox);
    MaxMailFilterSize = Edit(sizeBox, "MaxMailFilterSize",
                             "Enter Maximum number of bytes for an email message to be accepted "
                             "from the Internet for a local user");
    InputFilter::Install(MaxMailFilterSize, InputFilter::DigitOrPoint, true);
    sizeLayout->addWidget(new QLabel("Max. Mail Size:", sizeBox), 0, 0);
    sizeLayout->addWidget(MaxMailFilterSize, 0, 1);
    sizeLayout->addWidget(new QLabel("K Bytes", sizeBox), 0, 2);
    ReturnErrorEnabled =
        Check(sizeBox, "ReturnErrorEnabled", "Return Error Message to Sender",
              "Allow the system to return mail to the sender if it exceeds the allowed size");
    sizeLayout->addWidget(ReturnErrorEnabled, 1, 0, 1, 3);
    sizeLayout->addWidget(new QLabel("Error Message", sizeBox), 2, 0, 1, 3);
    ErrorMsgMemo = new QPlainTextEdit(sizeBox);
    ErrorMsgMemo->setObjectName("ErrorMsgMemo");
    ErrorMsgMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    ErrorMsgMemo->setToolTip(
        "Text to return to the user if the message exceeds the allowed message size");
    sizeLayout->addWidget(ErrorMsgMemo, 3, 0, 1, 3);
    filterLayout->addWidget(sizeBox);

    connect(Button1, &QPushButton::clicked, this, &TGatewayConfigFrm::Button1Click);
    connect(Button2, &QPushButton::clicked, this, &TGatewayConfigFrm::Button2Click);
    connect(CheckMailIntervalEnabled, &QCheckBox::clicked, this,
            &TGatewayConfigFrm::CheckMailIntervalEnabledClick);
    connect(ReturnErrorEnabled, &QCheckBox::clicked, this,
            &TGatewayConfigFrm::ReturnErrorEnabledClick);
    connect(DialupEnabled, &QCheckBox::clicked, this, &TGatewayConfigFrm::DialupEnabledClick);
    connect(AddButton, &QPushButton::clicked, this, &TGatewayConfigFrm::AddButtonClick);
    connect(EditButton, &QPushButton::clicked, this, &TGatewayConfigFrm::EditButtonClick);
    connect(RemoveButton, &QPushButton::clicked, this, &TGatewayConfigFrm::RemoveButtonClick);
    connect(EnableButton, &QPushButton::clicked, this, &TGatewayConfigFrm::EnableButtonClick);
    connect(DisableButton, &QPushButton::clicked, this, &TGatewayConfigFrm::DisableButtonClick);
    connect(AccountsListBox, &QListWidget::itemDoubleClicked, this,
            [this] { AccountsListBoxDblClick(); });
}

TGatewayConfigFrm::~TGatewayConfigFrm() = default;

std::string TGatewayConfigFrm::AccountLine(const std::string& hfAddress, const std::string& email,
                                           const std::string& status)
{
    return hfAddress + " --> " + email + "    (" + status + ")";
}

void TGatewayConfigFrm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // The window system's own show event (on mapping, on restoring from
    // minimised) is no new showing of the dialog.
    if (!event->spontaneous())
        FormShow();
}

void TGatewayConfigFrm::FormShow()
{
    std::string errorMsg;
    if (ReadWholeFile(DataRoot::Path(kErrorMsgFile), errorMsg))
        ErrorMsgMemo->setPlainText(ErrorMsgText(errorMsg));
    else
        ErrorMsgMemo->setPlainText(kDefaultErrorMsg);

    TConfig::TGateway g;
    {
        auto lock = FConfig->Lock();
        g = FConfig->Gateway;
    }
    CheckMailIntervalEnabled->setChecked(g.CheckMailIntervalEnabled);
    CheckMailIntervalEnabledClick();
    CheckMailInterval->setCurrentText(QString::number(g.CheckMailInterval));
    DeliverMailImmediatelyEnabled->setChecked(g.DeliverMailImmediately != 0);
    for (int i = 0; i < 4; ++i) {
        MailServerScheduledLinkCheckBox[i]->setChecked(g.MailServerScheduledLinkEnabled[i]);
        MailServerScheduledLinkCheckBoxClick(i);
    }
    SMTPServer->setText(ToQt(g.SmtpAddress));
    SMTPMailFrom->setText(ToQt(g.SmtpMailFrom));
    SMTPAuthEnabled->setChecked(g.SmtpAuthEnabled);
    SMTPEHLOAuthEnabled->setChecked(g.SmtpEhloAuthEnabled);
    SMTPAuthUser->setText(ToQt(g.SmtpAuthUser));
    SMTPAuthPass->setText(ToQt(g.SmtpAuthPass));

    DialupEnabled->setChecked(g.DialupEnabled);
    DialupEnabledClick();
    const QString entry = ToQt(g.DialupConnection);
    if (!entry.isEmpty()) {
        DialupConnection->setCurrentText(entry);
        // The same exact match as the dial: a name that differs in case
        // would never dial.
        if (DialupConnection->findText(entry, Qt::MatchExactly | Qt::MatchCaseSensitive) < 0)
            ShowMessageBox("Dial Connection Error.\n Please, recheck dial settings",
                           "Gateway Error", MB_OK, TMsgIcon::Warning);
    } else {
        DialupConnection->setCurrentText(
            DialupConnection->count() > 0 ? DialupConnection->itemText(0) : QString());
    }
    DialupLoginName->setText(ToQt(g.DialupLoginName));
    DialupPassword->setText(ToQt(g.DialupPassword));
    MaxMailFilterSize->setText(QString::number(g.MaxMailFilterSize / 1024));
    ReturnErrorEnabled->setChecked(g.ReturnErrorEnabled);
    ReturnErrorEnabledClick();
    RefillAccounts();
}

void TGatewayConfigFrm::CheckMailIntervalEnabledClick()
{
    const bool on = CheckMailIntervalEnabled->isChecked();
    minutesLabel->setEnabled(on);
    CheckMailInterval->setEnabled(on);
}

void TGatewayConfigFrm::ReturnErrorEnabledClick()
{
    ErrorMsgMemo->setEnabled(ReturnErrorEnabled->isChecked());
}

void TGatewayConfigFrm::DialupEnabledClick()
{
    const bool on = DialupEnabled->isChecked();
    for (QWidget* w :
         {static_cast<QWidget*>(DialupConnection), static_cast<QWidget*>(DialupLoginName),
          static_cast<QWidget*>(DialupPassword)}) {
        w->setEnabled(on);
        QPalette p = w->palette();
        p.setColor(QPalette::Base, on ? QColor(Qt::white) : QColor(192, 192, 192));
        w->setPalette(p);
    }
    for (QLabel* l : {DialupConnectionLabel, LoginLabel, PasswordLabel})
        l->setEnabled(on);
}

void TGatewayConfigFrm::MailServerScheduledLinkCheckBoxClick(int index)
{
    const bool on = MailServerScheduledLinkCheckBox[index]->isChecked();
    MailServerScheduledLinkEditBtn[index]->setEnabled(on);
    QLabel* panel = MailServerScheduledLink[index];
    QPalette p = panel->palette();
    p.setColor(QPalette::WindowText, on ? QColor(Qt::black) : QColor(192, 192, 192));
    p.setColor(QPalette::Window, on ? QColor(Qt::white) : QColor(128, 128, 128));
    panel->setPalette(p);
    TDateTime time;
    {
        auto lock = FConfig->Lock();
        time = FConfig->Gateway.MailServerScheduledLink[index];
    }
    panel->setText(ToQt(DateTime::FormatTimeOfDay(time)));
}

void TGatewayConfigFrm::MailServerScheduledLinkEditBtnClick(int index)
{
    TScheduledFrm dialog(this);
    dialog.setWindowTitle("Edit Mail Server Scheduled Connection");
    dialog.HideStation();
    {
        auto lock = FConfig->Lock();
        dialog.SetTime(FConfig->Gateway.MailServerScheduledLink[index]);
    }
    if (ShowModal(dialog) != TScheduledFrm::mrOk)
        return;
    // OK has checked the time.
    const std::optional<TDateTime> time = dialog.Time();
    if (!time)
        return;
    {
        auto lock = FConfig->Lock();
        FConfig->Gateway.MailServerScheduledLink[index] = *time;
    }
    MailServerScheduledLink[index]->setText(ToQt(DateTime::FormatTimeOfDay(*time)));
}

void TGatewayConfigFrm::RefillAccounts()
{
    int row = AccountsListBox->currentRow();
    QSignalBlocker block(AccountsListBox);
    AccountsListBox->clear();
    for (const TAccount& a : FAccounts->GetAll())
        AccountsListBox->addItem(ToQt(AccountLine(a.HFAddress, a.EmailAddress, a.Status)));
    const int count = AccountsListBox->count();
    if (row < 0 || row >= count)
        row = count - 1;
    AccountsListBox->setCurrentRow(row);
}

void TGatewayConfigFrm::WarnWithoutStations()
{
    if (FStations->Count() >= 2)
        return;
    ShowMessageBox("There are no remote stations configured for the HF network. \nDestination "
                   "Stations are required to deliver Internet mail to local users. \n\nPlease, "
                   "check the station configuration settings.",
                   "HF Station Network", MB_OK, TMsgIcon::Warning);
}

void TGatewayConfigFrm::PrepareUserInfo()
{
    FUserInfo->Reset();
    for (const TStation& s : FStations->GetAll())
        FUserInfo->Station->addItem(ToQt(s.Name));
    FUserInfo->Station->setCurrentIndex(FUserInfo->Station->count() > 0 ? 0 : -1);
}

bool TGatewayConfigFrm::StoreAccount(int index, const std::string& status)
{
    const std::string station = FromQt(FUserInfo->Station->currentText());
    TAccount account{FromQt(FUserInfo->HFUser->text()) + "@" + station,
                     station,
                     FromQt(FUserInfo->EmailAddress->text()),
                     FromQt(FUserInfo->User->text()),
                     FromQt(FUserInfo->Password->text()),
                     FromQt(FUserInfo->POPServer->text()),
                     status};
    if (index >= 0)
        account.Rest = FAccounts->Get(index).Rest;
    try {
        if (index < 0)
            FAccounts->Add(account);
        else
            FAccounts->Modify(index, account);
    } catch (const std::exception& e) {
        Refuse(e.what());
        return false;
    }
    return true;
}

void TGatewayConfigFrm::AddButtonClick()
{
    WarnWithoutStations();
    PrepareUserInfo();
    if (ShowModal(*FUserInfo) != TUserInfoForm::mrOk)
        return;
    if (StoreAccount(-1, TAccountList::kEnabled))
        RefillAccounts();
}

void TGatewayConfigFrm::EditButtonClick()
{
    const int row = AccountsListBox->currentRow();
    if (row < 0)
        return;
    WarnWithoutStations();
    PrepareUserInfo();
    const TAccount account = FAccounts->Get(row);
    FUserInfo->EmailAddress->setText(ToQt(account.EmailAddress));
    // A station since removed from the table stays the account's choice.
    if (FUserInfo->Station->findText(ToQt(account.Station)) < 0)
        FUserInfo->Station->addItem(ToQt(account.Station));
    FUserInfo->Station->setCurrentText(ToQt(account.Station));
    FUserInfo->User->setText(ToQt(account.User));
    FUserInfo->Password->setText(ToQt(account.Password));
    FUserInfo->POPServer->setText(ToQt(account.POPServer));
    if (const size_t at = account.HFAddress.find('@'); at != std::string::npos)
        FUserInfo->HFUser->setText(ToQt(account.HFAddress.substr(0, at)));
    if (ShowModal(*FUserInfo) != TUserInfoForm::mrOk)
        return;
    StoreAccount(row, account.Status);
    RefillAccounts();
}

void TGatewayConfigFrm::RemoveButtonClick()
{
    const int row = AccountsListBox->currentRow();
    if (row < 0)
        return;
    FAccounts->Delete(row);
    RefillAccounts();
}

void TGatewayConfigFrm::SetAccountStatus(const std::string& status)
{
    const int row = AccountsListBox->currentRow();
    if (row < 0)
        return;
    TAccount account = FAccounts->Get(row);
    account.Status = status;
    FAccounts->Modify(row, account);
    RefillAccounts();
}

void TGatewayConfigFrm::EnableButtonClick()
{
    SetAccountStatus(TAccountList::kEnabled);
}

void TGatewayConfigFrm::DisableButtonClick()
{
    SetAccountStatus(TAccountList::kDisabled);
}

void TGatewayConfigFrm::AccountsListBoxDblClick()
{
    const int row = AccountsListBox->currentRow();
    if (row < 0)
        return;
    SetAccountStatus(FAccounts->Get(row).Status == TAccountList::kDisabled
                         ? TAccountList::kEnabled
                         : TAccountList::kDisabled);
}

void TGatewayConfigFrm::Button2Click()
{
    StorePasswordFromBoxes(Password, Password2, *FConfig, FConfig->Gateway.Pass);
}

void TGatewayConfigFrm::Button1Click()
{
    // Every number first: a field that does not convert keeps the dialog
    // open with nothing stored.
    const std::optional<int> interval =
        WholeNumber(CheckMailInterval->currentText(), 1, std::numeric_limits<std::int32_t>::max());
    if (!interval) {
        PageControl2->setCurrentIndex(0);
        Refuse("Please, enter the polling interval as whole minutes, 1 or more.");
        return;
    }
    const std::optional<int> filterK = WholeNumber(MaxMailFilterSize->text(), 0, kMaxFilterK);
    if (!filterK) {
        PageControl2->setCurrentIndex(4);
        Refuse("Please, enter the maximum mail size as whole K bytes from 0 to " +
               std::to_string(kMaxFilterK) + ".");
        return;
    }

    // One line per memo line, each ended by CR LF.
    std::string file;
    if (const std::string memo = FromQt(ErrorMsgMemo->toPlainText()); !memo.empty()) {
        for (size_t pos = 0; pos <= memo.size();) {
            size_t end = memo.find('\n', pos);
            if (end == std::string::npos)
                end = memo.size();
            file += memo.substr(pos, end - pos) + "\r\n";
            pos = end + 1;
        }
    }
    try {
        WriteFileAtomic(DataRoot::Path(kErrorMsgFile), file);
    } catch (const std::exception& e) {
        Refuse(std::string("Error Saving ") + kErrorMsgFile + "\n" + e.what());
        return;
    }

    {
        auto lock = FConfig->Lock();
        TConfig::TGateway& g = FConfig->Gateway;
        g.CheckMailIntervalEnabled = CheckMailIntervalEnabled->isChecked();
        g.CheckMailInterval = *interval;
        g.DeliverMailImmediately = DeliverMailImmediatelyEnabled->isChecked() ? 1 : 0;
        for (int i = 0; i < 4; ++i)
            g.MailServerScheduledLinkEnabled[i] = MailServerScheduledLinkCheckBox[i]->isChecked();
        g.SmtpAddress = FromQt(SMTPServer->text());
        g.SmtpMailFrom = FromQt(SMTPMailFrom->text());
        g.DialupEnabled = DialupEnabled->isChecked();
        g.DialupConnection = FromQt(DialupConnection->currentText());
        g.DialupLoginName = FromQt(DialupLoginName->text());
        g.DialupPassword = FromQt(DialupPassword->text());
        g.MaxMailFilterSize = *filterK * 1024;
        g.ReturnErrorEnabled = ReturnErrorEnabled->isChecked();
        g.SmtpAuthEnabled = SMTPAuthEnabled->isChecked();
        g.SmtpEhloAuthEnabled = SMTPEHLOAuthEnabled->isChecked();
        g.SmtpAuthUser = FromQt(SMTPAuthUser->text());
        g.SmtpAuthPass = FromQt(SMTPAuthPass->text());
    }
    FConfig->Save();
    done(mrOk);
}
