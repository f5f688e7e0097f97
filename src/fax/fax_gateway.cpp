#include "fax/fax_gateway.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QScrollBar>
#include <QVBoxLayout>
#include <charconv>
#include <filesystem>

#include "configui/form_controls.h"
#include "configui/input_filters.h"
#include "core/about_form.h"
#include "core/config.h"
#include "core/date_time.h"
#include "core/draw_menu_icon.h"
#include "core/message_store.h"
#include "core/text_util.h"
#include "fax/ad_fax_cvt.h"
#include "fax/ad_fax_prn.h"
#include "fax/fax_config_frm.h"
#include "fax/fax_job_file.h"
#include "fax/fax_mail_to_fax.h"
#include "fax/fax_page_mail.h"
#include "fax/fax_printer_status.h"
#include "fax/fax_server_manager.h"
#include "platform/atomic_file.h"
#include "platform/data_root.h"
#include "platform/dialogs.h"
#include "platform/shell.h"
#include "platform/text.h"
#include "serial/ad_port.h"

namespace {

constexpr const char* kGatewayTip = "VESKAR Fax Gateway";
constexpr const char* kStationId = "VESKAR Mail Fax Gateway";
// The sender of the gateway's mail: a name without an address, as the mail
// system's own notices have, so that no notice ever answers it.
constexpr const char* kMailFrom = "\"Fax Gateway\" <>";

std::string BaseName(const std::string& path)
{
    return std::filesystem::path(path).stem().string();
}

// The fax file beside a job file.
std::string FaxOfJob(const std::string& jobFile)
{
    return std::filesystem::path(jobFile).replace_extension(".apf").string();
}

const char* ModeWord(TFaxServerMode mode, const char* send, const char* receive)
{
    return mode == TFaxServerMode::fsmSend ? send : receive;
}

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
    Button1 = FormControls::Button(central, "Button1", "&Clear", "Clear the Status View");
    Button2 = FormControls::Button(central, "Button2", "&View", "View the Status Log");
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

    ApdFaxServerManager1 = new TApdFaxServerManager(this);
    ApdFaxServerManager1->DeleteOnComplete = true;
    ApdFaxServerManager1->Paused = true;
    FaxClient = new TApdFaxClient(this);
    Converter = new TApdFaxConverter(this);
    Converter->SetInputDocumentType(TFaxInputDocumentType::idText);
    Converter->SetResolution(TFaxResolution::frHigh);
    Converter->SetTopMargin(50);
    Converter->SetFontType(TFaxFont::ffStandard);
    UnPacker = new TApdFaxUnpacker(this);
    UnPacker->AutoScaleMode = TAutoScaleMode::asDoubleHeight;
    ApdFaxPrinterStatus1 = new TApdFaxPrinterStatus(this);
    ApdFaxPrinterStatus1->SetCaption("Print Status");
    ApdFaxPrinterStatus1->SetPosition(TPosition::poScreenCenter);
    ApdFaxPrinter1 = new TApdFaxPrinter(this);
    ApdFaxPrinter1->Caption = "HF Gateway Printer";
    ApdFaxPrinter1->FaxHeader.Enabled = true;
    ApdFaxPrinter1->FaxFooter.Enabled = true;
    ApdFaxPrinter1->MultiPage = false;
    ApdFaxPrinter1->SetStatusDisplay(ApdFaxPrinterStatus1);
    ApdFaxPrinter1->OnFaxPrintLog = [this](TApdCustomFaxPrinter* printer, TFaxPLCode code) {
        LogPrint(*printer, code);
    };
    ApdFaxServer1 = new TApdFaxServer(this);
    ApdFaxServer1->SetComPort(ApdComPort1);
    ApdFaxServer1->SetServerManager(ApdFaxServerManager1);
    ApdFaxServer1->SetFaxPrinter(ApdFaxPrinter1);
    ApdFaxServer1->SetStatusInterval(0);
    ApdFaxServer1->SetDesiredBPS(0);
    ApdFaxServer1->DialRetryWait = 120;
    ApdFaxServer1->DialAttempts = 0;
    ApdFaxServer1->SetEnhTextEnabled(false);
    ApdFaxServer1->SetPrintOnReceive(false);
    ApdFaxServer1->OnFaxServerStatus = [this](TApdCustomFaxServer* cp, TFaxServerMode mode,
                                              bool first, bool last, uint16_t status) {
        ApdFaxServer1FaxServerStatus(cp, mode, first, last, status);
    };
    ApdFaxServer1->OnFaxServerFatalError = [this](TApdCustomFaxServer* cp, TFaxServerMode mode,
                                                  int code, int hangup) {
        ApdFaxServer1FaxServerFatalError(cp, mode, code, hangup);
    };
    ApdFaxServer1->OnFaxServerFinish = [this](TApdCustomFaxServer* cp, TFaxServerMode mode,
                                              int code) {
        ApdFaxServer1FaxServerFinish(cp, mode, code);
    };
    ApdFaxServer1->OnFaxServerPortOpenClose = [this](TApdCustomFaxServer* cp, bool opening) {
        ApdFaxServer1FaxServerPortOpenClose(cp, opening);
    };
    ApdFaxServer1->OnFaxServerAccept = [this](TApdCustomFaxServer* cp, bool& accept) {
        ApdFaxServer1FaxServerAccept(cp, accept);
    };
    ApdFaxServer1->OnFaxServerLog = [this](TApdCustomFaxServer* cp, TFaxLogCode code,
                                           TFaxServerLogCode serverCode) {
        ApdFaxServer1FaxServerLog(cp, code, serverCode);
    };
    ResetTimer = new QTimer(this);
    ResetTimer->setSingleShot(true);
    connect(ResetTimer, &QTimer::timeout, this, [this] {
        LogStatus("Fax status: Fax Gateway Resetting");
        ApplySettings();
    });

    FaxConfigFrm = new TFaxConfigFrm(this);
    RootDir = DataRoot::Get();
    SetupDirectories();
    FMailToFax = std::make_unique<TFaxMailToFax>(
        *Converter, *FaxClient, [this](const std::string& text) { LogStatus(text); });
    FMailToFax->MailboxDir = Fax2Dir;
    FMailToFax->OutFaxDir = OutFaxDir;
    FMailToFax->ScratchDir = ScratchDir;
    FMailToFax->AsideDir = AsideDir;
    ApdFaxServerManager1->ExtractDir = ScratchDir;
    LoadSettings();
    ApplySettings();
}

TFaxGateway::~TFaxGateway()
{
    delete FTrayIcon;
    FTrayIcon = nullptr;
    Closing = true;
    POPtimer->stop();
    ResetTimer->stop();
    // The port closes first: its dispatch thread may be running a fax
    // machine whose record the server's components free. The server then
    // goes while the manager and printer it uses still stand.
    ApdFaxServer1->OnFaxServerFinish = nullptr;
    ApdFaxServer1->OnFaxServerFatalError = nullptr;
    ApdFaxServer1->OnFaxServerPortOpenClose = nullptr;
    try {
        ApdComPort1->SetOpen(false);
    } catch (const std::exception&) {
        // Closing raises nothing of its own.
    }
    delete ApdFaxServer1;
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
    FilesDir = DirOf(DirName::Files);
    AsideDir = DirOf(DirName::MailFax2Bad);
    OutFaxDir = DirOf(DirName::OutFax);
    ScratchDir = DirOf(DirName::TempFax);
    for (const char* dir : {DirName::Mail, DirName::MailAdmin, DirName::MailFax2, DirName::Files,
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
    ResetTimer->stop();
    TApdFaxServer& server = *ApdFaxServer1;
    Guarded([&] {
        ApdFaxServerManager1->Paused = true;
        server.SetMonitoring(false);
    });
    Guarded([&] { ApdComPort1->SetComNumber(static_cast<uint16_t>(FaxPort)); });
    Guarded([&] {
        server.SetStationID(kStationId);
        server.SetModemInit(ModemInit);
        server.SetDialPrefix(DialPrefix);
        server.SetDestinationDir(Fax2Dir);
        server.SetSendQueryInterval(SendQueryInterval);
        server.SetPrintOnReceive(PrintEnabled);
        server.DialAttempts = static_cast<uint16_t>(std::clamp<int32_t>(Retry, 0, 255));
        // Minutes as configured, in the seconds a retried job waits.
        server.DialRetryWait =
            static_cast<uint16_t>(std::clamp<int64_t>(int64_t(RetryDelay) * 60, 0, 65535));
        server.DelayBetweenSends = SendPause;
        server.SetAnswerOnRing(static_cast<uint16_t>(std::clamp<int32_t>(NumRings, 1, 255)));
        server.SetToneDial(DialTone == "Tone");
    });
    Guarded([&] {
        ApdFaxServerManager1->SetMonitorDir(OutFaxDir);
        ApdFaxServerManager1->Paused = false;
        // A fatal error stopped the send query; an unchanged interval would
        // not start it again.
        if (!server.QueryTimer()->isActive() && !server.Busy() && SendQueryInterval > 0)
            server.QueryTimer()->start(SendQueryInterval * 1000);
    });
    if (ReceiveEnabled)
        Guarded([&] { server.SetMonitoring(true); });
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

void TFaxGateway::POPtimerTimer()
{
    if (FPolling)
        return;
    FPolling = true;
    POPtimer->stop();
    try {
        FMailToFax->PollOnce();
    } catch (const std::exception& e) {
        LogStatus(std::string("Fax status: Error Reading Fax Mail: ") + e.what());
    }
    FPolling = false;
    if (!Closing)
        POPtimer->start();
}

std::string TFaxGateway::CurrentJobId() const
{
    return BaseName(ApdFaxServer1->CurrentJobFile());
}

void TFaxGateway::ApdFaxServer1FaxServerStatus(TApdCustomFaxServer* cp, TFaxServerMode faxMode,
                                               bool, bool, uint16_t status)
{
    std::string text = cp->StatusMsg(status);
    if (text.empty() || SameTextIgnoreCase(text, "Got Called-station ID"))
        return;
    if (text == "User abort")
        text = "Unable to send fax";
    LogStatus(std::string("Fax status (") + ModeWord(faxMode, "send", "receive") + "): " + text);
}

void TFaxGateway::ApdFaxServer1FaxServerFatalError(TApdCustomFaxServer*, TFaxServerMode faxMode,
                                                   int errorCode, int hangupCode)
{
    if (faxMode != TFaxServerMode::fsmSend)
        EarlierDocumentsReceived();
    LogStatus(std::string("Fatal error occured while ") +
              ModeWord(faxMode, "sending", "receiving"));
    LogStatus("    ErrorCode = (" + std::to_string(errorCode) + ") " + ErrorMsg(errorCode));
    LogStatus("    HangupCode = " + std::to_string(hangupCode));
    if (faxMode == TFaxServerMode::fsmSend && !AnnounceRetry()) {
        LogStatus("Fax status: Failed to deliver this fax message");
        NotifySendFailure(ApdFaxServer1->CurrentJobFile());
    }
    // The server stays idle after a fatal error until it is set up again;
    // that waits, whatever reset the notice asked for.
    ResetTimer->start(ResetDelayMs);
}

void TFaxGateway::ApdFaxServer1FaxServerFinish(TApdCustomFaxServer* cp, TFaxServerMode faxMode,
                                               int errorCode)
{
    const bool send = faxMode == TFaxServerMode::fsmSend;
    if (!send)
        EarlierDocumentsReceived();
    const std::string id = send ? CurrentJobId() : BaseName(ApdFaxServer1->GetFaxFile());
    if (errorCode == 0 && !send && !HasReceivedFile()) {
        const std::string from = cp ? cp->RemoteID() : std::string();
        LogStatus("Fax status: received a fax with no readable page" +
                  (from.empty() ? std::string() : " from " + from));
    } else if (errorCode == 0)
        LogStatus(std::string("Fax status: ") + (send ? "sent" : "received") +
                  " successfully ID: " + id);
    else
        LogStatus("Fax status: Error " + ErrorMsg(errorCode) + " ID: " + id);
    if (send)
        SendFinished(errorCode);
    else
        ReceiveFinished(errorCode);
}

bool TFaxGateway::AnnounceRetry()
{
    const int attempts = ApdFaxServer1->CurrentRecipient().AttemptNum;
    if (ApdFaxServer1->DialAttempts <= attempts)
        return false;
    LogStatus("Fax status: " + std::to_string(ApdFaxServer1->DialAttempts - attempts) +
              " Attempts left for ID: " + CurrentJobId());
    LogStatus("    Next retry attempt in " + std::to_string(RetryDelay) + " minutes");
    LogStatus("    Please wait...");
    return true;
}

void TFaxGateway::SendFinished(int errorCode)
{
    const std::string job = ApdFaxServer1->CurrentJobFile();
    std::error_code ec;
    if (errorCode == 0) {
        std::filesystem::remove(job, ec);
        std::filesystem::remove(FaxOfJob(job), ec);
        ApdFaxServer1->DelayBetweenSends = SendPause;
        return;
    }
    if (AnnounceRetry())
        return;
    LogStatus("Fax status: Failed to deliver this fax message");
    NotifySendFailure(job);
    ApdFaxServer1->DelayBetweenSends = SendPause;
}

bool TFaxGateway::HasReceivedFile() const
{
    const std::string file = ApdFaxServer1->GetFaxFile();
    std::error_code ec;
    return !file.empty() && std::filesystem::exists(file, ec);
}

void TFaxGateway::EarlierDocumentsReceived()
{
    // Each ended when the next one began, so it came whole.
    std::vector<std::string> files = ApdFaxServer1->ReceivedFiles();
    if (!files.empty())
        files.pop_back();
    std::error_code ec;
    for (const std::string& file : files) {
        if (!std::filesystem::exists(file, ec))
            continue;
        LogStatus("Fax status: received successfully ID: " + BaseName(file));
        if (ForwardEnabled)
            ForwardReceivedFax(file);
    }
}

void TFaxGateway::ReceiveFinished(int errorCode)
{
    const std::string file = ApdFaxServer1->GetFaxFile();
    if (!ForwardEnabled)
        return;
    if (!HasReceivedFile()) {
        // A whole call whose pages were all bad: its mail says so.
        if (errorCode == 0)
            ForwardReceivedFax("");
        return;
    }
    if (errorCode != 0) {
        // A broken call: forwarded when it brought a new file with pages.
        if (file == FLastReceived)
            return;
        try {
            UnPacker->SetInFileName(file);
            if (UnPacker->GetNumPages() < 1)
                return;
        } catch (const std::exception&) {
            return;
        }
    }
    FLastReceived = file;
    ForwardReceivedFax(file, errorCode);
}

void TFaxGateway::ForwardReceivedFax(const std::string& fileName, int errorCode)
{
    std::string address;
    int maxMail;
    {
        auto lock = Config->Lock();
        address = Config->FaxReceive.ForwardAddress;
        maxMail = Config->Mail.MaxMailSize;
    }
    const std::string to = address.empty() ? "admin" : address;
    FaxPageMail::THead head;
    head.From = kMailFrom;
    head.Subject = "Received Fax (" + DateTime::FormatTime(DateTime::NowLocal()) + ")";
    head.To = to;
    head.Text = {"Message Forwarded From FAX Gateway"};
    if (errorCode != 0) {
        head.Subject += " - incomplete";
        head.Text.push_back("");
        head.Text.push_back("The call broke off (" + ErrorMsg(errorCode) +
                            "): only the pages received before are attached.");
    }
    const bool noPages = fileName.empty();
    if (noPages) {
        head.Text.push_back("");
        head.Text.push_back("No page of this fax could be read, so none is attached.");
    }
    const std::string work =
        ScratchDir + "in-" + (noPages ? std::string("nopages") : BaseName(fileName)) + "/";
    std::error_code ec;
    std::filesystem::remove_all(work, ec);
    try {
        if (!MessageStore::EnsureDirectory(work.substr(0, work.size() - 1)))
            throw std::runtime_error("cannot create " + work);
        FaxPageMail::TPageForm form = FaxPageMail::TPageForm::Bmp;
        const std::string mail =
            noPages ? FaxPageMail::ComposeText(head, work)
                    : FaxPageMail::Compose(*UnPacker, fileName, work, head,
                                           FaxPageMail::StationLimit(maxMail), fileName, form);
        std::vector<std::string> recipients{to};
        // Without its pages the administrator hears of it too.
        if (form == FaxPageMail::TPageForm::None && to != "admin")
            recipients.push_back("admin");
        FaxPageMail::Queue(recipients, mail);
        if (address.empty() && noPages)
            LogStatus("Fax status: Forwarded Fax to station Administrator");
        else if (address.empty())
            LogStatus("Fax status: Forwarded Fax ID: " + BaseName(fileName) +
                      " to station Administrator");
        else
            LogStatus("Fax status: Forwarded Fax to " + address);
        if (form == FaxPageMail::TPageForm::Png)
            LogStatus("    Pages sent as PNG pictures to stay within the mail size limit");
        else if (form == FaxPageMail::TPageForm::None)
            LogStatus("    Pages too large for the mail size limit; the fax stays in " + fileName);
    } catch (const std::exception& e) {
        LogStatus(std::string("Fax status: Error Forwarding Fax: ") + e.what());
    }
    std::filesystem::remove_all(work, ec);
}

void TFaxGateway::NotifySendFailure(const std::string& jobFile)
{
    const std::string fax = FaxOfJob(jobFile);
    const std::string phone = ApdFaxServer1->CurrentRecipient().PhoneNumber;
    int maxMail;
    {
        auto lock = Config->Lock();
        maxMail = Config->Mail.MaxMailSize;
    }
    FaxPageMail::THead head;
    head.From = kMailFrom;
    head.Subject = "Fax Error: Failed to deliver FAX Message to " + phone;
    head.To = "admin";
    const std::string work = ScratchDir + "out-" + BaseName(jobFile) + "/";
    const std::string keptAt = AsideDir + BaseName(fax) + ".apf";
    std::error_code ec;
    std::filesystem::remove_all(work, ec);
    try {
        if (!MessageStore::EnsureDirectory(work.substr(0, work.size() - 1)))
            throw std::runtime_error("cannot create " + work);
        FaxPageMail::TPageForm form;
        const std::string mail = FaxPageMail::Compose(
            *UnPacker, fax, work, head, FaxPageMail::StationLimit(maxMail), keptAt, form);
        // The fax is kept where the notice says when its pages are not in it.
        if (form == FaxPageMail::TPageForm::None)
            std::filesystem::rename(fax, keptAt);
        FaxPageMail::Queue({"admin"}, mail);
        LogStatus("Fax status: Forwarded Fax to station Administrator");
        std::filesystem::remove(fax, ec);
    } catch (const std::exception& e) {
        // The notice goes without its pages rather than not at all.
        head.Text = {"The pages of " + fax + " cannot be attached: " + e.what()};
        try {
            FaxPageMail::Queue({"admin"}, FaxPageMail::ComposeText(head, ScratchDir));
            LogStatus("Fax status: Told station Administrator, without the pages: " +
                      std::string(e.what()));
        } catch (const std::exception& e2) {
            LogStatus(std::string("Fax status: Error Writing Notice: ") + e2.what());
        }
    }
    std::filesystem::remove_all(work, ec);
    // Set up afresh once the server is done with the call it reports.
    ResetTimer->start(0);
}

void TFaxGateway::LogPrint(const TApdCustomFaxPrinter& printer, TFaxPLCode code)
{
    const std::string id = BaseName(printer.FileName());
    const TFaxPrintTarget* target = printer.PrintTarget();
    const std::string kept = target ? target->KeptAs() : std::string();
    switch (code) {
    case TFaxPLCode::lcStart:
        break;
    case TFaxPLCode::lcFinish:
        LogStatus(kept.empty() ? "Fax status: Printed " + id
                               : "Fax status: No printer; " + id + " kept as " + kept);
        break;
    case TFaxPLCode::lcAborted:
        LogStatus("Fax status: Printing " + id + " aborted");
        break;
    case TFaxPLCode::lcFailed:
        LogStatus("Fax status: Printing " + id + " failed: " + printer.FailureText());
        break;
    }
}

void TFaxGateway::ApdFaxServer1FaxServerPortOpenClose(TApdCustomFaxServer*, bool opening)
{
    LogStatus(opening ? "Fax status: Port is opened" : "Fax status: Port is closed");
}

void TFaxGateway::ApdFaxServer1FaxServerAccept(TApdCustomFaxServer* cp, bool& accept)
{
    LogStatus("Fax status: Accepting Fax from: " + cp->RemoteID());
    accept = true;
}

void TFaxGateway::ApdFaxServer1FaxServerLog(TApdCustomFaxServer* cp, TFaxLogCode logCode,
                                            TFaxServerLogCode serverCode)
{
    std::string text;
    switch (logCode) {
    case lfaxNone:
        switch (serverCode) {
        case TFaxServerLogCode::fslPollingEnabled:
            text = "Polling every " +
                   std::to_string(static_cast<TApdCustomFaxServer*>(cp)->SendQueryInterval()) +
                   " seconds";
            break;
        case TFaxServerLogCode::fslPollingDisabled:
            text = "Polling disabled";
            break;
        case TFaxServerLogCode::fslMonitoringEnabled:
            text = "Monitoring for incoming faxes";
            break;
        case TFaxServerLogCode::fslMonitoringDisabled:
            text = "Monitoring disabled";
            break;
        case TFaxServerLogCode::fslNone:
            break;
        }
        break;
    case lfaxTransmitStart:
        text = "Transmit Start";
        break;
    case lfaxTransmitOk:
        text = "Transmit OK";
        break;
    case lfaxTransmitFail:
        text = "Transmit failed";
        break;
    case lfaxReceiveStart:
        text = "Receive Start";
        break;
    case lfaxReceiveOk:
        text = "Receive Ok";
        break;
    case lfaxReceiveSkip:
        text = "Receive skipped";
        break;
    case lfaxReceiveFail:
        text = "Receive failed";
        break;
    }
    if (!text.empty())
        LogStatus("Fax status: " + text);
}

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
