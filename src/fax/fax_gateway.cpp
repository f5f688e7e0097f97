#include "fax/fax_gateway.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QScrollBar>
#include <QVBoxLayout>
#include <charconv>
#include <filesystem>

#include "configui/input_filters.h"
#include "core/about_form.h"
#include "core/config.h"
#include "core/date_time.h"
#include "core/draw_menu_icon.h"
#include "core/message_store.h"
#include "fax/fax_config_frm.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "platform/dialogs.h"
#include "platform/shell.h"
#include "platform/text.h"
#include "serial/ad_port.h"

namespace {

constexpr const char* kGatewayTip = "VESKAR Fax Gateway";

std::string DirOf(const char* name)
{
    return MessageStore::DirPath(name) + "/";
}

// The port number of a port text: the decimal number after its first three
// characters ("COM7" gives 7); false when there is none.
bool PortNumber(const std::string& text, int32_t& port)
{
    if (text.size() <= 3)
        return false;
    const char* first = text.data() + 3;
    const char* last = text.data() + text.size();
    int value = 0;
    auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last || value < 1 || value > 255)
        return false;
    port = value;
    return true;
}

int NumberOf(const QComboBox* box, int fallback)
{
    bool ok = false;
    const int value = box->currentText().toInt(&ok);
    return ok ? value : fallback;
}

} // namespace

TFaxGateway::TFaxGateway(QWidget* owner, TConfig* config)
    : QMainWindow(owner), POPtimer(new QTimer(this)), Config(config)
{
    setObjectName("FaxGateway");
    setWindowTitle("Fax Gateway");
    // A window of its own, with its own taskbar button.
    setWindowFlag(Qt::Window);
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->addWidget(new QLabel("Log", central));
    StatusEdit = new QPlainTextEdit(central);
    StatusEdit->setObjectName("StatusEdit");
    StatusEdit->setReadOnly(true);
    StatusEdit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    layout->addWidget(StatusEdit);
    auto* bottom = new QHBoxLayout;
    Button1 = new QPushButton("&Clear", central);
    Button1->setObjectName("Button1");
    Button1->setToolTip("Clear the Status View");
    Button2 = new QPushButton("&View", central);
    Button2->setObjectName("Button2");
    Button2->setToolTip("View the Status Log");
    bottom->addStretch();
    bottom->addWidget(Button1);
    bottom->addWidget(Button2);
    layout->addLayout(bottom);
    setCentralWidget(central);
    resize(520, 360);

    File1 = menuBar()->addMenu("&File");
    OpenLog1 = File1->addAction("Open &Log");
    File1->addSeparator();
    Close1 = File1->addAction("&Close");
    Configure = menuBar()->addAction("Configure...");
    AboutMenu = menuBar()->addAction("&About...");
    PopupMenu1 = new QMenu(this);
    FaxGateway1 = PopupMenu1->addAction(MenuIcon("FAX"), "Fax &Gateway");
    PopupMenu1->addSeparator();
    Configuration1 = PopupMenu1->addAction(MenuIcon("SETTINGS"), "Configuration");

    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
    connect(OpenLog1, &QAction::triggered, this, [this] { Button2Click(); });
    connect(Close1, &QAction::triggered, this, [this] { Close1Click(); });
    connect(Configure, &QAction::triggered, this, [this] { ConfigureClick(); });
    connect(AboutMenu, &QAction::triggered, this, [this] { AboutMenuClick(); });
    connect(FaxGateway1, &QAction::triggered, this, [this] { FaxGateway1Click(); });
    connect(Configuration1, &QAction::triggered, this, [this] { ConfigureClick(); });

    POPtimer->setInterval(10000);
    connect(POPtimer, &QTimer::timeout, this, [this] { POPtimerTimer(); });

    ApdComPort1 = new TApdComPort(this);
    ApdComPort1->SetComNumber(3);
    ApdComPort1->SetInSize(8192);
    ApdComPort1->SetOutSize(8192);
    ApdComPort1->SetAutoOpen(false);
    ApdComPort1->SetBufferFull(7372);
    ApdComPort1->SetBufferResume(819);
    ApdComPort1->SetTapiMode(TTapiMode::tmNone);

    FaxConfigFrm = new TFaxConfigFrm(this);
    RootDir = DataRoot::Get() + "/";
    SetupDirectories();
    LoadSettings();
    ApplySettings();
}

TFaxGateway::~TFaxGateway()
{
    delete FTrayIcon;
    FTrayIcon = nullptr;
    Closing = true;
    POPtimer->stop();
}

void TFaxGateway::AddTrayIcon()
{
    if (FTrayIcon || !QSystemTrayIcon::isSystemTrayAvailable())
        return;
    FTrayIcon = new QSystemTrayIcon(MenuIcon("FAX"), this);
    FTrayIcon->setToolTip(kGatewayTip);
    FTrayIcon->setContextMenu(PopupMenu1);
    connect(FTrayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger)
                    FaxGateway1Click();
            });
    FTrayIcon->show();
}

void TFaxGateway::SetupDirectories()
{
    AdminDir = DirOf(DirName::MailAdmin);
    Fax2Dir = DirOf(DirName::MailFax2);
    AsideDir = DirOf(DirName::MailFax2Bad);
    OutFaxDir = DirOf(DirName::OutFax);
    ScratchDir = DirOf(DirName::TempFax);
    for (const char* dir : {DirName::Mail, DirName::MailAdmin, DirName::MailFax2,
                            DirName::MailFax2Bad, DirName::OutFax, DirName::TempFax}) {
        const std::string path = MessageStore::DirPath(dir);
        if (!MessageStore::EnsureDirectory(path))
            ShowMessageBox("Error Creating Directory\n" + path, "Error", MB_OK, TMsgIcon::Warning);
    }
    // What an earlier run left in the scratch directory; pending jobs in the
    // job directory stay and are sent after the start.
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(ScratchDir, ec))
        std::filesystem::remove_all(entry.path(), ec);
}

void TFaxGateway::LoadSettings()
{
    auto lock = Config->Lock();
    const TConfig::TFaxModem& m = Config->FaxModem;
    const TConfig::TFaxReceive& r = Config->FaxReceive;
    FaxPort = m.Port;
    ModemInit = m.Init;
    DialPrefix = m.Prefix;
    Retry = m.Retry;
    RetryDelay = m.RetryDelay;
    DialTone = m.DialTone;
    ForwardEnabled = r.ForwardEnabled;
    ForwardAddress = r.ForwardAddress;
    PrintEnabled = r.PrintEnabled;
    ReceiveEnabled = r.ReceiveEnabled;
    NumRings = r.NumRings;
}

void TFaxGateway::SaveSettings()
{
    auto lock = Config->Lock();
    TConfig::TFaxModem& m = Config->FaxModem;
    TConfig::TFaxReceive& r = Config->FaxReceive;
    m.Port = FaxPort;
    m.Init = ModemInit;
    m.Prefix = DialPrefix;
    m.Retry = Retry;
    m.RetryDelay = RetryDelay;
    m.DialTone = DialTone;
    r.ForwardEnabled = ForwardEnabled;
    r.ForwardAddress = ForwardAddress;
    r.PrintEnabled = PrintEnabled;
    r.ReceiveEnabled = ReceiveEnabled;
    r.NumRings = NumRings;
}

template <class Fn> void TFaxGateway::Guarded(Fn step)
{
    try {
        step();
    } catch (const std::exception& e) {
        LogStatus("Fax status: Error Setting Configuration");
        LogStatus(std::string("    ") + e.what());
    }
}

void TFaxGateway::ApplySettings()
{
    POPtimer->stop();
    Guarded([&] { ApdComPort1->SetComNumber(static_cast<uint16_t>(FaxPort)); });
    POPtimer->start();
}

void TFaxGateway::ConfigureClick()
{
    if (FConfiguring)
        return;
    FConfiguring = true;
    POPtimer->stop();
    TFaxConfigFrm& d = *FaxConfigFrm;
    InputFilter::ShowText(d.ComPort, "COM" + std::to_string(FaxPort));
    d.InitString->setText(ToQt(ModemInit));
    d.DialPrefix->setText(ToQt(DialPrefix));
    InputFilter::ShowText(d.Retry, std::to_string(Retry));
    InputFilter::ShowText(d.RetryDelay, std::to_string(RetryDelay));
    InputFilter::ShowText(d.DialTone, DialTone);
    d.ForwardEnabled->setChecked(ForwardEnabled);
    d.PrintEnabled->setChecked(PrintEnabled);
    d.ReceiveEnabled->setChecked(ReceiveEnabled);
    d.ForwardAddress->setText(ToQt(ForwardAddress));
    InputFilter::ShowText(d.NumberOfRings, std::to_string(NumRings));
    if (ShowModal(d) == TFaxConfigFrm::mrOk) {
        const std::string portText = FromQt(d.ComPort->currentText());
        int32_t port = 0;
        if (!PortNumber(portText, port)) {
            ShowMessageBox("\"" + portText + "\" is not a serial port.\nNo setting was changed.",
                           "Port Error", MB_OK, TMsgIcon::Warning);
        } else {
            FaxPort = port;
            ModemInit = FromQt(d.InitString->text());
            DialPrefix = FromQt(d.DialPrefix->text());
            DialTone = FromQt(d.DialTone->currentText());
            ForwardAddress = FromQt(d.ForwardAddress->text());
            Retry = NumberOf(d.Retry, Retry);
            RetryDelay = NumberOf(d.RetryDelay, RetryDelay);
            NumRings = NumberOf(d.NumberOfRings, NumRings);
            ForwardEnabled = d.ForwardEnabled->isChecked();
            PrintEnabled = d.PrintEnabled->isChecked();
            ReceiveEnabled = d.ReceiveEnabled->isChecked();
            SaveSettings();
            ApplySettings();
        }
    }
    POPtimer->start();
    FConfiguring = false;
}

void TFaxGateway::AboutMenuClick()
{
    TAboutForm about(this, Config);
    ShowModal(about);
}

void TFaxGateway::Close1Click()
{
    hide();
}

void TFaxGateway::FaxGateway1Click()
{
    show();
    raise();
    activateWindow();
}

void TFaxGateway::Button1Click()
{
    StatusEdit->clear();
}

void TFaxGateway::Button2Click()
{
    const std::string logs = MessageStore::DirPath(DirName::Logs);
    if (!MessageStore::EnsureDirectory(logs)) {
        ShowMessageBox("Error Creating FILES Directory\n" + logs, "Error", MB_OK,
                       TMsgIcon::Warning);
        return;
    }
    const std::string path = FLog.TodaysPath();
    AppendToFile(path, "");
    Shell::ShowTextFile(path);
}

void TFaxGateway::POPtimerTimer() {}

void TFaxGateway::LogStatus(const std::string& text)
{
    if (!Closing)
        WriteLog(text);
}

void TFaxGateway::WriteLog(const std::string& text)
{
    if (text == FLastText)
        return;
    FLastText = text;
    const std::string line = DateTime::BracketStamp(DateTime::NowLocal()) + "  " + text;
    StatusEdit->appendPlainText(ToQt(line));
    StatusEdit->verticalScrollBar()->setValue(StatusEdit->verticalScrollBar()->maximum());
    if (FLog.AppendLine(line)) {
        FLogFailed = false;
        return;
    }
    // Once until the file can be written again; queued, so that no handler
    // waits for the operator.
    if (FLogFailed)
        return;
    FLogFailed = true;
    QMetaObject::invokeMethod(
        this,
        [path = MessageStore::DirPath(DirName::Logs)] {
            ShowMessageBox("Error Creating FILES Directory\n" + path, "Error", MB_OK,
                           TMsgIcon::Warning);
        },
        Qt::QueuedConnection);
}
