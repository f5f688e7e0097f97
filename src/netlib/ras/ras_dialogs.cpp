#include "netlib/ras/ras_dialogs.h"

#include "netlib/ras/ip_ras.h"
#include "netlib/ras/ip_ras_status.h"
#include "platform/dialogs.h"
#include "platform/text.h"

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

// The dial dialog's status line, as the display its dialer talks to.
class TRasDialDialogStatus : public TIpAbstractRasStatus {
public:
    explicit TRasDialDialogStatus(QLabel* label) : FLabel(label) {}
    void UpdateDisplay(const std::string& text) override
    {
        FLabel->setText(ToQt(text));
        // The dialog grows to show the wrapped text whole.
        QWidget* window = FLabel->window();
        if (QLayout* layout = window->layout())
            layout->activate();
        const int height = window->heightForWidth(window->width());
        if (height > window->height())
            window->resize(window->width(), height);
    }
    void CreateDisplay(const std::string&) override {}
    void DestroyDisplay() override {}

private:
    QLabel* FLabel;
};

namespace {

// What a new entry starts from: a modem on the first serial port, as pppd
// dials out to a provider.
constexpr const char* kNewEntryOptions = "/dev/ttyS0 115200\n"
                                         "crtscts\n"
                                         "modem\n"
                                         "noauth\n"
                                         "defaultroute\n"
                                         "noipdefault\n"
                                         "usepeerdns\n";

QPushButton* NewButton(const char* caption, const char* name, QWidget* parent)
{
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(name);
    return button;
}

QLineEdit* NewEdit(const char* name, QWidget* parent)
{
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    return edit;
}

QLabel* NewLabel(const char* name, QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setObjectName(name);
    return label;
}

// Loads the dialog and, when that worked, runs it where the record puts it
// (each dialog's position flag is the same bit). True when the user
// completed it; the record's error is the load's, else the dialog's.
template <class TDialog> bool Run(TDialog& dialog, TRasDlgInfo& info)
{
    info.Error = dialog.Load();
    if (info.Error)
        return false;
    if (info.Flags & RASDDFLAG_PositionDlg)
        dialog.move(info.X, info.Y);
    const bool completed = ShowModal(dialog) == QDialog::Accepted;
    info.Error = dialog.Error();
    return completed;
}

std::string Duration(int64_t ms)
{
    if (ms < 0)
        return std::string();
    const int64_t s = ms / 1000;
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                  static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
    return text;
}

std::string Count(int64_t bytes)
{
    return bytes < 0 ? std::string() : std::to_string(bytes);
}

constexpr const char* kOutside1252 = "outside Windows-1252, the only ones the station can keep";

// How a refusal names its field.
struct TFieldName {
    TRasField Field;
    const char* Name;
    bool Plural;
};

constexpr TFieldName kFieldNames[] = {
    {TRasField::EntryName, "entry name", false},
    {TRasField::PhoneNumber, "phone number", false},
    {TRasField::Options, "pppd options", true},
    {TRasField::UserName, "user name", false},
    {TRasField::Password, "password", false},
    {TRasField::Domain, "domain", false},
    {TRasField::CallbackNumber, "callback number", false},
};

const TFieldName* NameOf(TRasField field)
{
    for (const auto& f : kFieldNames)
        if (f.Field == field)
            return &f;
    return nullptr;
}

// "The password holds ..." for a refusal of the field.
std::string RefusalText(TRasField field, const std::string& why)
{
    const TFieldName* f = NameOf(field);
    return (f ? std::string("The ") + f->Name : std::string("A value")) + " " + why + ".";
}

std::string OutsideText(TRasField field)
{
    const TFieldName* f = NameOf(field);
    return RefusalText(field, std::string(f && f->Plural ? "hold" : "holds") + " characters " +
                                  kOutside1252);
}

void ShowRefusal(QWidget& dialog, const std::string& text)
{
    ShowMessageBox(text, FromQt(dialog.windowTitle()), MB_OK, TMsgIcon::Warning);
}

} // namespace

// ---- Dial --------------------------------------------------------------------

TRasDialDialog::TRasDialDialog(const std::string& phonebook, const std::string& entry,
                               const std::string& phoneNumber)
    : FEntry(entry), FPhoneNumber(phoneNumber), FDialer(std::make_unique<TIpRasDialer>())
{
    setObjectName("RasDialDialog");
    setWindowTitle(ToQt("Connect " + entry));
    auto* form = new QFormLayout;
    UserNameEdit = NewEdit("UserNameEdit", this);
    PasswordEdit = NewEdit("PasswordEdit", this);
    PasswordEdit->setEchoMode(QLineEdit::Password);
    PhoneNumberLabel = NewLabel("PhoneNumberLabel", this);
    form->addRow("&User name:", UserNameEdit);
    form->addRow("&Password:", PasswordEdit);
    form->addRow("Phone number:", PhoneNumberLabel);
    StatusLabel = NewLabel("StatusLabel", this);
    StatusLabel->setMinimumWidth(260);
    // Errors carry pppd's own words, often longer than a line.
    StatusLabel->setWordWrap(true);
    DialBtn = NewButton("&Dial", "DialBtn", this);
    DialBtn->setDefault(true);
    CancelBtn = NewButton("&Cancel", "CancelBtn", this);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(DialBtn);
    buttons->addWidget(CancelBtn);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(StatusLabel);
    layout->addLayout(buttons);
    connect(DialBtn, &QPushButton::clicked, this, [this] { DialBtnClick(); });
    connect(CancelBtn, &QPushButton::clicked, this, [this] { reject(); });

    FStatus = new TRasDialDialogStatus(StatusLabel);
    FStatus->setParent(this);
    FDialer->SetStatusDisplay(FStatus);
    FStatus->SetRasDialer(FDialer.get());
    FDialer->SetDialMode(dmAsync);
    // The line outlives the dialog.
    FDialer->SetHangupOnDestroy(false);
    FDialer->SetPhonebook(phonebook);
    FDialer->OnConnected = [this](QObject*) {
        SetDialling(false);
        FError = 0;
        accept();
    };
    FDialer->OnDialError = [this](QObject*, int code) {
        FError = code;
        SetDialling(false);
    };
}

TRasDialDialog::~TRasDialDialog()
{
    if (FDialling)
        FDialer->Hangup();
    // The display goes with the dialog; the dialer must not reach it after.
    FDialer->SetStatusDisplay(nullptr);
}

int TRasDialDialog::Load()
{
    FDialer->SetEntryName(FEntry);
    if (const int rc = FDialer->GetDialParameters())
        return rc;
    if (!FPhoneNumber.empty())
        FDialer->SetPhoneNumber(FPhoneNumber);
    UserNameEdit->setText(ToQt(FDialer->UserName()));
    PasswordEdit->setText(ToQt(FDialer->Password()));
    PhoneNumberLabel->setText(ToQt(FDialer->PhoneNumber()));
    return 0;
}

void TRasDialDialog::SetDialling(bool dialling)
{
    FDialling = dialling;
    DialBtn->setEnabled(!dialling);
    UserNameEdit->setEnabled(!dialling);
    PasswordEdit->setEnabled(!dialling);
}

void TRasDialDialog::DialBtnClick()
{
    if (FDialling)
        return;
    std::string user, password;
    if (!FromQtWhole(UserNameEdit->text(), user)) {
        ShowRefusal(*this, OutsideText(TRasField::UserName));
        return;
    }
    if (!FromQtWhole(PasswordEdit->text(), password)) {
        ShowRefusal(*this, OutsideText(TRasField::Password));
        return;
    }
    FDialer->SetUserName(user);
    FDialer->SetPassword(password);
    StatusLabel->clear();
    SetDialling(true);
    FDialer->Dial();
}

void TRasDialDialog::reject()
{
    if (FDialling) {
        SetDialling(false);
        FDialer->Hangup();
    }
    QDialog::reject();
}

bool RasDialDlg(const std::string& phonebook, const std::string& entry,
                const std::string& phoneNumber, TRasDlgInfo& info)
{
    IpRasAccess().Api("RasDialDlgA");
    TRasDialDialog dialog(phonebook, entry, phoneNumber);
    return Run(dialog, info);
}

// ---- Entry -------------------------------------------------------------------

TRasEntryDialog::TRasEntryDialog(const std::string& phonebook, const std::string& entry,
                                 uint32_t flags)
    : FPhonebook(phonebook), FEntry(entry),
      FOnFile(!(flags & (RASEDFLAG_NewEntry | RASEDFLAG_CloneEntry))), FFlags(flags)
{
    setObjectName("RasEntryDialog");
    setWindowTitle(FOnFile ? ToQt(entry) : QString("New Phone-Book Entry"));
    EntryNameEdit = NewEdit("EntryNameEdit", this);
    EntryNameEdit->setReadOnly(flags & RASEDFLAG_NoRename);
    PhoneNumberEdit = NewEdit("PhoneNumberEdit", this);
    OptionsEdit = new QPlainTextEdit(this);
    OptionsEdit->setObjectName("OptionsEdit");
    UserNameEdit = NewEdit("UserNameEdit", this);
    PasswordEdit = NewEdit("PasswordEdit", this);
    PasswordEdit->setEchoMode(QLineEdit::Password);
    DomainEdit = NewEdit("DomainEdit", this);
    CallbackNumberEdit = NewEdit("CallbackNumberEdit", this);
    auto* form = new QFormLayout;
    form->addRow("&Entry name:", EntryNameEdit);
    form->addRow("P&hone number:", PhoneNumberEdit);
    form->addRow("pppd &options:", OptionsEdit);
    form->addRow("&User name:", UserNameEdit);
    form->addRow("&Password:", PasswordEdit);
    form->addRow("&Domain:", DomainEdit);
    form->addRow("Call&back number:", CallbackNumberEdit);
    OkBtn = NewButton("OK", "OkBtn", this);
    OkBtn->setDefault(true);
    CancelBtn = NewButton("Cancel", "CancelBtn", this);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(OkBtn);
    buttons->addWidget(CancelBtn);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(buttons);
    connect(OkBtn, &QPushButton::clicked, this, [this] { OkBtnClick(); });
    connect(CancelBtn, &QPushButton::clicked, this, [this] { reject(); });
}

int TRasEntryDialog::Load()
{
    if (FFlags & RASEDFLAG_NewEntry) {
        OptionsEdit->setPlainText(kNewEntryOptions);
        return 0;
    }
    TRasEntry properties;
    if (const int rc = IpRasAccess()
                           .Api("RasGetEntryPropertiesA")
                           .GetEntryProperties(FPhonebook, FEntry, properties))
        return rc;
    TRasDialParams params;
    params.EntryName = FEntry;
    bool hasPassword = false;
    if (const int rc = IpRasAccess()
                           .Api("RasGetEntryDialParamsA")
                           .GetEntryDialParams(FPhonebook, params, hasPassword))
        return rc;
    if (FOnFile)
        EntryNameEdit->setText(ToQt(FEntry));
    PhoneNumberEdit->setText(ToQt(properties.PhoneNumber));
    OptionsEdit->setPlainText(ToQt(properties.Options));
    UserNameEdit->setText(ToQt(params.UserName));
    if (hasPassword)
        PasswordEdit->setText(ToQt(params.Password));
    DomainEdit->setText(ToQt(params.Domain));
    CallbackNumberEdit->setText(ToQt(params.CallbackNumber));
    return 0;
}

bool TRasEntryDialog::Correctable(int rc)
{
    if (rc != RasCode::ERROR_INVALID_PARAMETER && rc != RasCode::ERROR_INVALID_NAME &&
        rc != RasCode::ERROR_ALREADY_EXISTS)
        return false;
    ShowMessageBox(TIpCustomRasDialer::GetErrorText(rc), FromQt(windowTitle()), MB_OK,
                   TMsgIcon::Warning);
    return true;
}

void TRasEntryDialog::OkBtnClick()
{
    TRasEntry properties;
    TRasDialParams params;
    const struct {
        QString Typed;
        TRasField Field;
        std::string* Text;
    } fields[] = {
        {EntryNameEdit->text(), TRasField::EntryName, &params.EntryName},
        {PhoneNumberEdit->text(), TRasField::PhoneNumber, &properties.PhoneNumber},
        {OptionsEdit->toPlainText(), TRasField::Options, &properties.Options},
        {UserNameEdit->text(), TRasField::UserName, &params.UserName},
        {PasswordEdit->text(), TRasField::Password, &params.Password},
        {DomainEdit->text(), TRasField::Domain, &params.Domain},
        {CallbackNumberEdit->text(), TRasField::CallbackNumber, &params.CallbackNumber},
    };
    for (const auto& f : fields)
        if (!FromQtWhole(f.Typed, *f.Text)) {
            ShowRefusal(*this, OutsideText(f.Field));
            return;
        }
    const std::string name = params.EntryName;

    // Everything is checked before anything is written, so a refusal the
    // user then cancels leaves the phone book as it was.
    TRasRefusal refusal;
    if (IpRasAccess().Api("RasSetEntryPropertiesA").CheckEntryValues(properties, params, refusal) !=
        0) {
        ShowRefusal(*this, RefusalText(refusal.Field, refusal.Why));
        return;
    }
    int rc = 0;
    if (!FOnFile || name != FEntry)
        rc = IpRasAccess().Api("RasValidateEntryNameA").ValidateEntryName(FPhonebook, name);
    if (rc == 0 && FOnFile && name != FEntry)
        rc = IpRasAccess().Api("RasRenameEntryA").RenameEntry(FPhonebook, FEntry, name);
    if (rc == 0) {
        // Renamed or about to be written: from here the entry is the new name.
        if (FOnFile)
            FEntry = name;
        rc = IpRasAccess()
                 .Api("RasSetEntryPropertiesA")
                 .SetEntryProperties(FPhonebook, name, properties);
    }
    if (rc == 0) {
        FEntry = name;
        FOnFile = true;
        rc = IpRasAccess()
                 .Api("RasSetEntryDialParamsA")
                 .SetEntryDialParams(FPhonebook, params, params.Password.empty());
    }
    if (rc != 0 && Correctable(rc))
        return;
    FError = rc;
    if (rc == 0)
        accept();
    else
        reject();
}

bool RasEntryDlg(const std::string& phonebook, const std::string& entry, TRasDlgInfo& info)
{
    IpRasAccess().Api("RasEntryDlgA");
    TRasEntryDialog dialog(phonebook, entry, info.Flags);
    if (!Run(dialog, info))
        return false;
    info.Entry = dialog.SavedEntry();
    return true;
}

// ---- Monitor -----------------------------------------------------------------

TRasMonitorDialog::TRasMonitorDialog(const std::string& deviceName, uint32_t startPage)
    : FDeviceName(deviceName)
{
    setObjectName("RasMonitorDialog");
    setWindowTitle("Dial-Up Monitor");
    Pages = new QTabWidget(this);
    Pages->setObjectName("Pages");

    auto* status = new QWidget(Pages);
    ConnectionBox = new QComboBox(status);
    ConnectionBox->setObjectName("ConnectionBox");
    DeviceLabel = NewLabel("DeviceLabel", status);
    StateLabel = NewLabel("StateLabel", status);
    DurationLabel = NewLabel("DurationLabel", status);
    BytesSentLabel = NewLabel("BytesSentLabel", status);
    BytesReceivedLabel = NewLabel("BytesReceivedLabel", status);
    auto* form = new QFormLayout(status);
    form->addRow("&Connection:", ConnectionBox);
    form->addRow("Device:", DeviceLabel);
    form->addRow("State:", StateLabel);
    form->addRow("Duration:", DurationLabel);
    form->addRow("Bytes sent:", BytesSentLabel);
    form->addRow("Bytes received:", BytesReceivedLabel);
    Pages->addTab(status, "Status");

    SummaryTable = new QTableWidget(0, 4, Pages);
    SummaryTable->setObjectName("SummaryTable");
    SummaryTable->setHorizontalHeaderLabels({"Connection", "Device", "State", "Duration"});
    SummaryTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    SummaryTable->verticalHeader()->hide();
    Pages->addTab(SummaryTable, "Summary");
    Pages->setCurrentIndex(startPage == RASMDPAGE_Summary ? 1 : 0);

    CloseBtn = NewButton("&Close", "CloseBtn", this);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Pages);
    layout->addWidget(CloseBtn, 0, Qt::AlignRight);
    connect(CloseBtn, &QPushButton::clicked, this, [this] { accept(); });
    connect(ConnectionBox, &QComboBox::currentIndexChanged, this, [this](int) { ShowStatus(); });

    FRefresh = new QTimer(this);
    FRefresh->setInterval(1000);
    connect(FRefresh, &QTimer::timeout, this, [this] { Refresh(); });
    FRefresh->start();
}

int TRasMonitorDialog::Refresh()
{
    TRasBackend& ras = IpRasAccess().Api("RasEnumConnectionsA");
    std::vector<TRasConnection> connections;
    if (const int rc = ras.EnumConnections(connections))
        return rc;
    // The connection on show stays on show while it is listed; at first it
    // is the one on the device asked for.
    HRASCONN shown = 0;
    const int at = ConnectionBox->currentIndex();
    if (at >= 0 && at < static_cast<int>(FConnections.size()))
        shown = FConnections[at].Handle;
    else
        for (const auto& c : connections)
            if (c.DeviceName == FDeviceName && !shown)
                shown = c.Handle;
    FConnections = std::move(connections);

    const QSignalBlocker block(ConnectionBox);
    ConnectionBox->clear();
    SummaryTable->setRowCount(static_cast<int>(FConnections.size()));
    int pick = FConnections.empty() ? -1 : 0;
    for (size_t i = 0; i < FConnections.size(); ++i) {
        const auto& c = FConnections[i];
        if (c.Handle == shown)
            pick = static_cast<int>(i);
        ConnectionBox->addItem(ToQt(c.EntryName));
        TRasConnStatus status;
        const bool known = ras.GetConnectStatus(c.Handle, status) == 0;
        const int row = static_cast<int>(i);
        SummaryTable->setItem(row, 0, new QTableWidgetItem(ToQt(c.EntryName)));
        SummaryTable->setItem(row, 1, new QTableWidgetItem(ToQt(c.DeviceName)));
        SummaryTable->setItem(row, 2,
                              new QTableWidgetItem(ToQt(TIpCustomRasDialer::GetStatusText(
                                  known ? status.State : RasState::RASCS_Disconnected))));
        SummaryTable->setItem(
            row, 3, new QTableWidgetItem(ToQt(known ? Duration(status.ConnectedMs) : "")));
    }
    ConnectionBox->setCurrentIndex(pick);
    ShowStatus();
    return 0;
}

void TRasMonitorDialog::ShowStatus()
{
    const int at = ConnectionBox->currentIndex();
    TRasConnStatus status;
    const bool known = at >= 0 && at < static_cast<int>(FConnections.size()) &&
                       IpRasAccess()
                               .Api("RasGetConnectStatusA")
                               .GetConnectStatus(FConnections[at].Handle, status) == 0;
    if (!known)
        status = TRasConnStatus{};
    DeviceLabel->setText(ToQt(status.DeviceName));
    StateLabel->setText(at < 0 ? QString() : ToQt(TIpCustomRasDialer::GetStatusText(status.State)));
    DurationLabel->setText(ToQt(Duration(status.ConnectedMs)));
    BytesSentLabel->setText(ToQt(Count(status.BytesSent)));
    BytesReceivedLabel->setText(ToQt(Count(status.BytesReceived)));
}

bool RasMonitorDlg(const std::string& deviceName, uint32_t startPage, TRasDlgInfo& info)
{
    IpRasAccess().Api("RasMonitorDlgA");
    TRasMonitorDialog dialog(deviceName, startPage);
    return Run(dialog, info);
}

// ---- Phone book --------------------------------------------------------------

TRasPhonebookDialog::TRasPhonebookDialog(const std::string& phonebook, const std::string& entry,
                                         uint32_t flags)
    : FPhonebook(phonebook), FSelect(entry), FFlags(flags)
{
    setObjectName("RasPhonebookDialog");
    setWindowTitle("Dial-Up Phone Book");
    EntryList = new QListWidget(this);
    EntryList->setObjectName("EntryList");
    NewBtn = NewButton("&New...", "NewBtn", this);
    EditBtn = NewButton("&Edit...", "EditBtn", this);
    DeleteBtn = NewButton("De&lete", "DeleteBtn", this);
    DialBtn = NewButton("&Dial...", "DialBtn", this);
    CloseBtn = NewButton("&Close", "CloseBtn", this);
    auto* buttons = new QVBoxLayout;
    for (QPushButton* b : {DialBtn, NewBtn, EditBtn, DeleteBtn})
        buttons->addWidget(b);
    buttons->addStretch();
    buttons->addWidget(CloseBtn);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(EntryList, 1);
    layout->addLayout(buttons);
    connect(NewBtn, &QPushButton::clicked, this, [this] { NewBtnClick(); });
    connect(EditBtn, &QPushButton::clicked, this, [this] { EditBtnClick(); });
    connect(DeleteBtn, &QPushButton::clicked, this, [this] { DeleteBtnClick(); });
    connect(DialBtn, &QPushButton::clicked, this, [this] { DialBtnClick(); });
    connect(CloseBtn, &QPushButton::clicked, this, [this] { reject(); });
    connect(EntryList, &QListWidget::itemDoubleClicked, this, [this] { DialBtnClick(); });
}

int TRasPhonebookDialog::Refresh()
{
    std::vector<std::string> names;
    if (const int rc = IpRasAccess().Api("RasEnumEntriesA").EnumEntries(FPhonebook, names))
        return rc;
    EntryList->clear();
    for (const auto& name : names) {
        EntryList->addItem(ToQt(name));
        if (name == FSelect)
            EntryList->setCurrentRow(EntryList->count() - 1);
    }
    if (EntryList->currentRow() < 0 && EntryList->count() > 0)
        EntryList->setCurrentRow(0);
    const bool any = EntryList->count() > 0;
    EditBtn->setEnabled(any);
    DeleteBtn->setEnabled(any);
    DialBtn->setEnabled(any);
    return 0;
}

std::string TRasPhonebookDialog::Selected() const
{
    const QListWidgetItem* item = EntryList->currentItem();
    return item ? FromQt(item->text()) : std::string();
}

void TRasPhonebookDialog::ShowError(int rc)
{
    ShowMessageBox(TIpCustomRasDialer::GetErrorText(rc), FromQt(windowTitle()), MB_OK,
                   TMsgIcon::Error);
}

void TRasPhonebookDialog::NewBtnClick()
{
    TRasDlgInfo sub;
    sub.Flags = RASEDFLAG_NewEntry;
    if (RasEntryDlg(FPhonebook, "", sub))
        FSelect = sub.Entry;
    else if (sub.Error)
        ShowError(sub.Error);
    if (const int rc = Refresh())
        ShowError(rc);
}

void TRasPhonebookDialog::EditBtnClick()
{
    const std::string entry = Selected();
    if (entry.empty())
        return;
    TRasDlgInfo sub;
    if (RasEntryDlg(FPhonebook, entry, sub))
        FSelect = sub.Entry;
    else if (sub.Error)
        ShowError(sub.Error);
    if (const int rc = Refresh())
        ShowError(rc);
}

void TRasPhonebookDialog::DeleteBtnClick()
{
    const std::string entry = Selected();
    if (entry.empty() ||
        ShowMessageBox("Delete the entry \"" + entry + "\"?", FromQt(windowTitle()), MB_YESNO,
                       TMsgIcon::Question) != IDYES)
        return;
    if (const int rc = IpRasAccess().Api("RasDeleteEntryA").DeleteEntry(FPhonebook, entry))
        ShowError(rc);
    if (const int rc = Refresh())
        ShowError(rc);
}

void TRasPhonebookDialog::DialBtnClick()
{
    const std::string entry = Selected();
    if (entry.empty())
        return;
    // The dial dialog shows its own errors.
    TRasDlgInfo sub;
    if (RasDialDlg(FPhonebook, entry, "", sub)) {
        FConnected = true;
        if (FFlags & RASPBDFLAG_ForceCloseOnDial)
            accept();
    }
}

bool RasPhonebookDlg(const std::string& phonebook, const std::string& entry, TRasDlgInfo& info)
{
    IpRasAccess().Api("RasPhonebookDlgA");
    TRasPhonebookDialog dialog(phonebook, entry, info.Flags);
    Run(dialog, info);
    return dialog.Connected();
}
