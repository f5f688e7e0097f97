#include "mail/net_config_frm.h"

#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QRegularExpressionValidator>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QVBoxLayout>
#include <charconv>
#include <functional>

#include "configui/alias_frm.h"
#include "configui/form_controls.h"
#include "configui/password_boxes.h"
#include "configui/user_frm.h"
#include "core/alias_list.h"
#include "core/config.h"
#include "core/station_list.h"
#include "core/table_file.h"
#include "core/user_list.h"
#include "mail/pop3_frm.h"
#include "mail/smtp_frm.h"
#include "platform/dialogs.h"
#include "platform/text.h"

struct TNetConfigFrm::TServerSwitch {
    QComboBox* Combo;
    QLineEdit* Port;
    const char* Name;
    bool* Enabled;
    bool* OffThisRun;
    int* ConfigPort;
    std::function<void(bool)> SetActive;
    std::function<bool()> Listening;
};

namespace {

using FormControls::Button;

// The decimal value of a field of digits; false for an empty field, other
// characters or a value beyond `max`.
bool ParseNumber(const QString& text, int max, int& value)
{
    std::string s = FromQt(text);
    if (s.empty())
        return false;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
    return ec == std::errc() && end == s.data() + s.size() && value >= 0 && value <= max;
}

bool ParsePort(const QString& text, int& port)
{
    return ParseNumber(text, 65535, port) && port > 0;
}

void Refuse(const char* text, const char* title)
{
    ShowMessageBox(text, title, MB_OK, TMsgIcon::Warning);
}

constexpr const char* kPortError = "Please, enter a port number from 1 to 65535.";

QLineEdit* DigitsEdit(QWidget* parent, const char* name, int maxLength, const char* hint)
{
    auto* edit = FormControls::Edit(parent, name, hint, maxLength);
    edit->setValidator(new QRegularExpressionValidator(
        QRegularExpression(QString("[0-9]{0,%1}").arg(maxLength)), edit));
    return edit;
}

QComboBox* SwitchCombo(QWidget* parent, const char* name, const char* hint)
{
    auto* combo = new QComboBox(parent);
    combo->setObjectName(name);
    combo->addItem(TNetConfigFrm::kEnabled);
    combo->addItem(TNetConfigFrm::kDisabled);
    combo->setToolTip(hint);
    return combo;
}

} // namespace

TNetConfigFrm::TNetConfigFrm(QWidget* owner, TStationList* stations, TSMTPFrm* smtp, TPOP3Frm* pop3,
                             TConfig* config, TAliasList* aliases, TUserList* users,
                             std::function<void(const std::string& line)> log)
    : QDialog(owner), FStations(stations), FSMTP(smtp), FPOP3(pop3), FConfig(config),
      FAliases(aliases), FUsers(users), FLog(std::move(log))
{
    setObjectName("NetConfigFrm");
    setWindowTitle("Local Network Config");
    auto* layout = new QVBoxLayout(this);
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName("PageControl1");
    TabSheet1 = new QWidget;
    TabSheet1->setObjectName("TabSheet1");
    TabSheet2 = new QWidget;
    TabSheet2->setObjectName("TabSheet2");
    PageControl1->addTab(TabSheet1, "Main");
    PageControl1->addTab(TabSheet2, "Alias Filter");
    layout->addWidget(PageControl1);
    Button5 = Button(this, "Button5", "OK", nullptr);
    auto* okRow = new QHBoxLayout;
    okRow->addStretch();
    okRow->addWidget(Button5);
    layout->addLayout(okRow);

    // Main tab.
    auto* main = new QGridLayout(TabSheet1);
    auto* usersBox = new QGroupBox("Users", TabSheet1);
    auto* usersLayout = new QHBoxLayout(usersBox);
    UserListBox = new QListWidget(usersBox);
    UserListBox->setObjectName("UserListBox");
    usersLayout->addWidget(UserListBox);
    auto* userButtons = new QVBoxLayout;
    AddUserBtn =
        Button(usersBox, "AddUserBtn", "Add", "Add a Local email User for this Station Only");
    RemoveUserBtn = Button(usersBox, "RemoveUserBtn", "Remove", "Remove the Selected User");
    EditUserBtn = Button(usersBox, "EditUserBtn", "Edit",
                         "Edit the Selected Local email User for this Station");
    userButtons->addWidget(AddUserBtn);
    userButtons->addWidget(RemoveUserBtn);
    userButtons->addWidget(EditUserBtn);
    userButtons->addStretch();
    usersLayout->addLayout(userButtons);
    main->addWidget(usersBox, 0, 0, 3, 1);

    auto* sizeRow = new QHBoxLayout;
    MaxMailSize = DigitsEdit(TabSheet1, "MaxMailSize", 4,
                             "Select the maximum file size to be accepted from Local Users");
    MaxMailSize->setText("50");
    sizeRow->addWidget(new QLabel("Max Size:", TabSheet1));
    sizeRow->addWidget(MaxMailSize);
    sizeRow->addWidget(new QLabel("K Bytes per Message", TabSheet1));
    main->addLayout(sizeRow, 3, 0);

    // Ports take five digits, so every port a server can use fits.
    auto* smtpBox = new QGroupBox("SMTP Server", TabSheet1);
    auto* smtpForm = new QFormLayout(smtpBox);
    SMTPEnabledComboBox =
        SwitchCombo(smtpBox, "SMTPEnabledComboBox", "Enable the users to be able to send mail");
    SMTPPort = DigitsEdit(smtpBox, "SMTPPort", 5,
                          "Select the STMP port to listen for Connections (Advanced)");
    SMTPPort->setText("25");
    smtpForm->addRow("Server:", SMTPEnabledComboBox);
    smtpForm->addRow("Port:", SMTPPort);
    main->addWidget(smtpBox, 0, 1);

    auto* popBox = new QGroupBox("POP Server", TabSheet1);
    auto* popForm = new QFormLayout(popBox);
    POP3EnabledComboBox =
        SwitchCombo(popBox, "POP3EnabledComboBox", "Allow Local Users to Check email");
    POP3Port = DigitsEdit(popBox, "POP3Port", 5,
                          "Select the Port to listen for email Client Connections (Advanced)");
    POP3Port->setText("110");
    popForm->addRow("Server:", POP3EnabledComboBox);
    popForm->addRow("Port:", POP3Port);
    main->addWidget(popBox, 1, 1);

    auto* passBox = new QGroupBox("Configuration Password", TabSheet1);
    auto* passForm = new QFormLayout(passBox);
    Password = FormControls::Edit(passBox, "Password", nullptr, 16);
    Password->setEchoMode(QLineEdit::Password);
    Password2 = FormControls::Edit(passBox, "Password2", nullptr, 16);
    Password2->setEchoMode(QLineEdit::Password);
    Button1 = Button(passBox, "Button1", "&Set", nullptr);
    passForm->addRow("Password:", Password);
    passForm->addRow("Confirm:", Password2);
    passForm->addRow("", Button1);
    main->addWidget(passBox, 2, 1, 2, 1);

    // Alias Filter tab.
    auto* aliasLayout = new QHBoxLayout(TabSheet2);
    auto* aliasBox = new QGroupBox("Alias", TabSheet2);
    auto* aliasBoxLayout = new QVBoxLayout(aliasBox);
    AliasListBox = new QListWidget(aliasBox);
    AliasListBox->setObjectName("AliasListBox");
    AliasListBox->setToolTip(
        "Alias Filters change the path of mail from an email address to a HF Radio Station "
        "address. This allows for the mail to be delivered without service through the "
        "Internet.");
    aliasBoxLayout->addWidget(AliasListBox);
    aliasLayout->addWidget(aliasBox);
    auto* aliasButtons = new QVBoxLayout;
    AddAliasBtn = Button(TabSheet2, "AddAliasBtn", "Add", "Add an Alias for an HF Mail User");
    RemoveAliasBtn = Button(TabSheet2, "RemoveAliasBtn", "Remove", "Remove the Selected  Alias");
    EditAliasBtn = Button(TabSheet2, "EditAliasBtn", "Edit", "Edit an Alias for an HF Mail User");
    ClearAllAliasBtn =
        Button(TabSheet2, "ClearAllAliasBtn", "Clear All", "Clear All Alias Entries");
    for (QPushButton* b : {AddAliasBtn, RemoveAliasBtn, EditAliasBtn, ClearAllAliasBtn})
        aliasButtons->addWidget(b);
    aliasButtons->addStretch();
    aliasLayout->addLayout(aliasButtons);

    connect(UserListBox, &QListWidget::currentRowChanged, this, [this] { UserListBoxClick(); });
    connect(AddUserBtn, &QPushButton::clicked, this, &TNetConfigFrm::AddUserBtnClick);
    connect(EditUserBtn, &QPushButton::clicked, this, &TNetConfigFrm::EditUserBtnClick);
    connect(RemoveUserBtn, &QPushButton::clicked, this, &TNetConfigFrm::RemoveUserBtnClick);
    connect(POP3EnabledComboBox, &QComboBox::activated, this,
            &TNetConfigFrm::POP3EnabledComboBoxChange);
    connect(SMTPEnabledComboBox, &QComboBox::activated, this,
            &TNetConfigFrm::SMTPEnabledComboBoxChange);
    connect(AddAliasBtn, &QPushButton::clicked, this, &TNetConfigFrm::AddAliasBtnClick);
    connect(EditAliasBtn, &QPushButton::clicked, this, &TNetConfigFrm::EditAliasBtnClick);
    connect(RemoveAliasBtn, &QPushButton::clicked, this, &TNetConfigFrm::RemoveAliasBtnClick);
    connect(ClearAllAliasBtn, &QPushButton::clicked, this, &TNetConfigFrm::ClearAllAliasBtnClick);
    connect(Button1, &QPushButton::clicked, this, &TNetConfigFrm::Button1Click);
    connect(Button5, &QPushButton::clicked, this, &TNetConfigFrm::Button5Click);
    connect(PageControl1, &QTabWidget::currentChanged, this, [this](int index) {
        if (index == 0)
            UpdateRemoveUserBtn();
    });

    // The lists first, then POP3 before SMTP: a port problem of each is
    // reported in that order.
    RefillUsers();
    RefillAliases();
    StartConfigured(Pop3Switch());
    StartConfigured(SmtpSwitch());
}

TNetConfigFrm::TServerSwitch TNetConfigFrm::Pop3Switch()
{
    return TServerSwitch{POP3EnabledComboBox,
                         POP3Port,
                         "POP3",
                         &FConfig->Pop3.Enabled,
                         &FPop3OffThisRun,
                         &FConfig->Pop3.Port,
                         [this](bool on) { FPOP3->SetServerActive(on); },
                         [this] { return FPOP3->Listening(); }};
}

TNetConfigFrm::TServerSwitch TNetConfigFrm::SmtpSwitch()
{
    return TServerSwitch{SMTPEnabledComboBox,
                         SMTPPort,
                         "SMTP",
                         &FConfig->Smtp.Enabled,
                         &FSmtpOffThisRun,
                         &FConfig->Smtp.Port,
                         [this](bool on) { FSMTP->SetServerActive(on); },
                         [this] { return FSMTP->Listening(); }};
}

void TNetConfigFrm::ShowSwitch(const TServerSwitch& s, bool on)
{
    QSignalBlocker block(s.Combo);
    s.Combo->setCurrentText(on ? kEnabled : kDisabled);
    s.Port->setEnabled(!on);
}

bool TNetConfigFrm::StartServer(const TServerSwitch& s, int port, std::string* why)
{
    {
        auto lock = FConfig->Lock();
        *s.ConfigPort = port;
    }
    // Whatever the socket layer raises, the operator gets the box below.
    try {
        s.SetActive(true);
    } catch (const std::exception& e) {
        if (why)
            *why = e.what();
    } catch (...) {
    }
    if (s.Listening())
        return true;
    // Nothing half-started stays behind.
    s.SetActive(false);
    return false;
}

void TNetConfigFrm::ReportEnableError(const TServerSwitch& s)
{
    ShowMessageBox("Error Enabling Port: " + FromQt(s.Port->text()) +
                       "\nClose other applications serving this port, \nor select a different "
                       "port\nand try again.",
                   "Port Error", MB_OK, TMsgIcon::Warning);
}

void TNetConfigFrm::StartConfigured(const TServerSwitch& s)
{
    bool on;
    int port;
    {
        auto lock = FConfig->Lock();
        on = *s.Enabled;
        port = *s.ConfigPort;
    }
    s.Port->setText(QString::number(port));
    std::string why;
    if (on && !StartServer(s, port, &why)) {
        // The station starts without this server; the operator sees why and
        // can switch it on again here.
        *s.OffThisRun = true;
        on = false;
        if (FLog) {
            std::string line =
                std::string(s.Name) + " server not started on port " + std::to_string(port);
            for (char& c : why)
                if (c == '\r' || c == '\n')
                    c = ' ';
            FLog(why.empty() ? line : line + ": " + why);
        }
        ReportEnableError(s);
    }
    ShowSwitch(s, on);
}

void TNetConfigFrm::SwitchChanged(const TServerSwitch& s)
{
    bool on;
    bool stored;
    {
        auto lock = FConfig->Lock();
        stored = *s.Enabled;
        on = stored && !*s.OffThisRun;
    }
    const QString choice = s.Combo->currentText();
    if (choice == kEnabled && !on) {
        s.SetActive(false);
        int port = 0;
        if (!ParsePort(s.Port->text(), port)) {
            Refuse(kPortError, "Port Error");
            ShowSwitch(s, false);
            return;
        }
        if (StartServer(s, port)) {
            auto lock = FConfig->Lock();
            *s.Enabled = true;
            *s.OffThisRun = false;
            ShowSwitch(s, true);
        } else {
            ReportEnableError(s);
            ShowSwitch(s, false);
        }
    } else if (choice == kDisabled && stored) {
        s.SetActive(false);
        {
            auto lock = FConfig->Lock();
            *s.Enabled = false;
            *s.OffThisRun = false;
        }
        ShowSwitch(s, false);
    }
}

void TNetConfigFrm::POP3EnabledComboBoxChange()
{
    SwitchChanged(Pop3Switch());
}

void TNetConfigFrm::SMTPEnabledComboBoxChange()
{
    SwitchChanged(SmtpSwitch());
}

void TNetConfigFrm::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // The window system's own show event (on mapping, on restoring from
    // minimised) is no new showing of the dialog.
    if (!event->spontaneous())
        FormShow();
}

void TNetConfigFrm::FormShow()
{
    PageControl1->setCurrentIndex(0);
    auto lock = FConfig->Lock();
    Password->setText(ToQt(FConfig->Mailbox.Pass));
    MaxMailSize->setText(QString::number(FConfig->Mail.MaxMailSize));
}

void TNetConfigFrm::UpdateRemoveUserBtn()
{
    RemoveUserBtn->setEnabled(UserListBox->currentRow() != 0);
}

void TNetConfigFrm::UserListBoxClick()
{
    UpdateRemoveUserBtn();
}

void TNetConfigFrm::RefillUsers()
{
    int row = UserListBox->currentRow();
    {
        QSignalBlocker block(UserListBox);
        UserListBox->clear();
        for (const TUser& u : FUsers->GetAll())
            UserListBox->addItem(ToQt(u.Name));
        int count = UserListBox->count();
        if (row < 0 || row >= count)
            row = count - 1;
        UserListBox->setCurrentRow(row);
    }
    UpdateRemoveUserBtn();
}

void TNetConfigFrm::RefillAliases()
{
    int row = AliasListBox->currentRow();
    AliasListBox->clear();
    for (const TAlias& a : FAliases->GetAll())
        AliasListBox->addItem(ToQt(a.Address + " --> " + a.Alias));
    int count = AliasListBox->count();
    if (row < 0 || row >= count)
        row = count - 1;
    AliasListBox->setCurrentRow(row);
}

void TNetConfigFrm::AddUserBtnClick()
{
    TUserFrm dialog(this, FUsers);
    if (ShowModal(dialog) != TUserFrm::mrOk)
        return;
    TUser user{FromQt(dialog.Name->text()), FromQt(dialog.Password->text()), std::string()};
    try {
        FUsers->Add(user);
    } catch (const std::exception& e) {
        Refuse(e.what(), "User Error");
        return;
    }
    {
        QSignalBlocker block(UserListBox);
        UserListBox->addItem(ToQt(user.Name));
    }
    UpdateRemoveUserBtn();
}

void TNetConfigFrm::EditUserBtnClick()
{
    const int row = UserListBox->currentRow();
    if (row < 0)
        return;
    TUser user = FUsers->Get(row);
    TUserFrm dialog(this, FUsers);
    dialog.Name->setText(ToQt(user.Name));
    dialog.Name->setEnabled(false);
    QPalette palette = dialog.Name->palette();
    palette.setColor(QPalette::Disabled, QPalette::Base, QColor(128, 128, 128));
    palette.setColor(QPalette::Disabled, QPalette::Text, Qt::white);
    dialog.Name->setPalette(palette);
    dialog.Password->setText(ToQt(user.Password));
    dialog.Password2->setText(ToQt(user.Password));
    if (ShowModal(dialog) != TUserFrm::mrOk)
        return;
    // A POP3 login may have stamped the user while the dialog was open:
    // only the password changes.
    user = FUsers->Get(row);
    user.Password = FromQt(dialog.Password->text());
    try {
        FUsers->Modify(row, user);
    } catch (const std::exception& e) {
        Refuse(e.what(), "User Error");
    }
    RefillUsers();
}

void TNetConfigFrm::RemoveUserBtnClick()
{
    const int row = UserListBox->currentRow();
    if (row < 0)
        return;
    FUsers->Delete(row);
    RefillUsers();
    {
        QSignalBlocker block(UserListBox);
        UserListBox->setCurrentRow(row - 1);
    }
    UpdateRemoveUserBtn();
}

void TNetConfigFrm::AddAliasBtnClick()
{
    TAliasFrm dialog(this, FStations);
    if (ShowModal(dialog) != TAliasFrm::mrOk)
        return;
    try {
        FAliases->Add(FromQt(dialog.Address->text()), FromQt(dialog.Alias->text()),
                      FromQt(dialog.User->text()), FromQt(dialog.StationBox->currentText()));
    } catch (const std::exception& e) {
        Refuse(e.what(), "Alias Error");
    }
    RefillAliases();
}

void TNetConfigFrm::EditAliasBtnClick()
{
    const int row = AliasListBox->currentRow();
    if (row < 0)
        return;
    TAlias alias = FAliases->Get(row);
    TAliasFrm dialog(this, FStations);
    dialog.Address->setText(ToQt(alias.Address));
    dialog.Alias->setText(ToQt(alias.Alias));
    dialog.User->setText(ToQt(alias.User));
    dialog.StationBox->setCurrentText(ToQt(alias.Station));
    if (ShowModal(dialog) != TAliasFrm::mrOk)
        return;
    try {
        FAliases->Modify(row, FromQt(dialog.Address->text()), FromQt(dialog.Alias->text()),
                         FromQt(dialog.User->text()), FromQt(dialog.StationBox->currentText()));
    } catch (const std::exception& e) {
        Refuse(e.what(), "Alias Error");
    }
    RefillAliases();
}

void TNetConfigFrm::RemoveAliasBtnClick()
{
    const int row = AliasListBox->currentRow();
    if (row < 0)
        return;
    FAliases->Delete(row);
    RefillAliases();
    AliasListBox->setCurrentRow(row - 1);
}

void TNetConfigFrm::ClearAllAliasBtnClick()
{
    AliasListBox->clear();
    FAliases->Clear();
}

void TNetConfigFrm::Button1Click()
{
    StorePasswordFromBoxes(Password, Password2, *FConfig, FConfig->Mailbox.Pass);
}

void TNetConfigFrm::Button5Click()
{
    // Every field is checked before any is stored, so a bad one never leaves
    // half the values saved.
    int pop3Port = 0;
    int smtpPort = 0;
    int maxSize = 0;
    if (!ParsePort(POP3Port->text(), pop3Port)) {
        PageControl1->setCurrentIndex(0);
        POP3Port->setFocus();
        Refuse(kPortError, "Port Error");
        return;
    }
    if (!ParsePort(SMTPPort->text(), smtpPort)) {
        PageControl1->setCurrentIndex(0);
        SMTPPort->setFocus();
        Refuse(kPortError, "Port Error");
        return;
    }
    if (!ParseNumber(MaxMailSize->text(), 9999, maxSize)) {
        PageControl1->setCurrentIndex(0);
        MaxMailSize->setFocus();
        Refuse("Please, enter the largest message size in K bytes.", "Size Error");
        return;
    }
    {
        auto lock = FConfig->Lock();
        FConfig->Pop3.Port = pop3Port;
        FConfig->Smtp.Port = smtpPort;
        FConfig->Mail.MaxMailSize = maxSize;
    }
    FConfig->Save();
    hide();
}
