#include "link/link_ctrl_frm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMenuBar>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QShowEvent>
#include <QTextCursor>
#include <QTextEdit>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>
#include <string_view>

#include "core/channel_list.h"
#include "core/config.h"
#include "core/message_store.h"
#include "core/msg_status_frm.h"
#include "core/router.h"
#include "core/scheduled_link_list.h"
#include "core/station_list.h"
#include "link/radio/radio_commands.h"
#include "link/radio/radio_wire.h"
#include "link/windows/auto_link_list_frm.h"
#include "link/windows/chat_frm.h"
#include "link/windows/link_frm.h"
#include "link/windows/received_files.h"
#include "link/windows/test_tone_frm.h"
#include "link/windows/veskar_statistics_frm.h"
#include "link/windows/voice_form.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/dialogs.h"
#include "platform/text.h"
#include "serial/ad_except.h"
#include "serial/ad_misc.h"
#include "serial/ad_port.h"
#include "serial/port_access.h"
#include "serial/port_path.h"
#include "serial/serial_device.h"

namespace {

// A configure command is not repeated sooner than this while unanswered.
constexpr uint32_t kConfigureRepeatMs = 1000;
// Nor is a lost port opened again sooner.
constexpr uint32_t kReopenRepeatMs = 1000;
// A device reached through the port's name after a loss that has not
// answered a configure by then is not the modem.
constexpr uint32_t kModemTrialMs = 5000;
// The status line while the modem is away.
constexpr const char* kWaitingForModem = "Waiting for the HF modem";

// What a write the modem port refused logs.
constexpr std::string_view kPortErrorPrefix = "Hardware Communication Error #";

} // namespace

TLinkCtrlFrm::TLinkCtrlFrm(TConfig& config, TStationList& stations, TChannelList& channels,
                           TScheduledLinkList& schedule, TRouter* router, TMsgStatusFrm* status,
                           QWidget* parent)
    : QWidget(parent), StatusLabel(new QLabel(this)), StatusEdit(new QTextEdit(this)),
      SpeedButton1(new QPushButton("&Link", this)), VoiceBtn(new QPushButton("&Voice", this)),
      AbortBtn(new QPushButton("&Abort", this)), ChatBtn(new QPushButton("&Chat", this)),
      MainMenu1(new QMenuBar(this)), ReceiveFileBox(new TReceiveFileBox(this)),
      ReceiveFileListBox(ReceiveFileBox->ReceiveFileListBox), OpenBtn(ReceiveFileBox->OpenBtn),
      DeleteBtn(ReceiveFileBox->DeleteBtn), Label3(new QLabel("CH:", this)),
      ChannelLabel(new QLabel(this)), FreqLabel(new QLabel(this)), Label11(new QLabel("kHz", this)),
      USBLabel(new QLabel(this)), LinkStateLabel(new QLabel("Idle", this)),
      CountsLabel(new QLabel(this)), SendGauge(new QProgressBar(this)),
      ReceiveGauge(new QProgressBar(this)), MDM7300(new TApdComPort(this)),
      VoiceForm(new TVoiceForm(this)), VeskarStatisticsFrm(new TVeskarStatisticsFrm(this)),
      AutoLinkListFrm(new TAutoLinkListFrm(this, FLink.AutoLinkQueue)),
      ChatFrm(std::make_unique<TChatFrm>(*this)), AutoLinkQueue(FLink.AutoLinkQueue),
      FConfig(config), FStations(stations), FChannels(channels), FSchedule(schedule),
      FRouter(router), FStatus(status),
      FRadio(config, stations, channels,
             TRadioTimers{RadioCmdProcess, RadioDeadMan, ScanTimer, ALETimer}, *this),
      FLink(config, stations, channels, schedule,
            TLinkTimers{SendFileTimer, SelCallTimer, EndLinkTimer, ALETimer, ScanTimer}, *this)
{
    setWindowTitle("5757 Link Control");
    StatusEdit->setReadOnly(true);
    auto* panel = new QHBoxLayout;
    for (QWidget* w : {static_cast<QWidget*>(StatusLabel), static_cast<QWidget*>(Label3),
                       static_cast<QWidget*>(ChannelLabel), static_cast<QWidget*>(FreqLabel),
                       static_cast<QWidget*>(Label11), static_cast<QWidget*>(USBLabel)})
        panel->addWidget(w);
    panel->addStretch();
    auto* linkPanel = new QGridLayout;
    linkPanel->addWidget(LinkStateLabel, 0, 0);
    linkPanel->addWidget(CountsLabel, 0, 1);
    linkPanel->addWidget(new QLabel("Send:", this), 1, 0);
    linkPanel->addWidget(SendGauge, 1, 1);
    linkPanel->addWidget(new QLabel("Receive:", this), 2, 0);
    linkPanel->addWidget(ReceiveGauge, 2, 1);
    for (QProgressBar* gauge : {SendGauge, ReceiveGauge}) {
        gauge->setRange(0, 100);
        gauge->setValue(0);
    }
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(SpeedButton1);
    buttons->addWidget(VoiceBtn);
    buttons->addWidget(AbortBtn);
    buttons->addWidget(ChatBtn);
    buttons->addStretch();
    QMenu* view = MainMenu1->addMenu("&View");
    VeskarStats1 = view->addAction("&VESKAR Status");
    AutoLinkList1 = view->addAction("&Auto Link List");
    QMenu* modem = MainMenu1->addMenu("&Modem");
    SendTestTones1 = modem->addAction("Send &Test Tones");
    HardwareAbort1 = modem->addAction("Hardware &Abort");
    auto* layout = new QVBoxLayout(this);
    layout->setMenuBar(MainMenu1);
    layout->addLayout(panel);
    layout->addLayout(linkPanel);
    layout->addWidget(StatusEdit, 2);
    layout->addWidget(ReceiveFileBox, 1);
    layout->addLayout(buttons);
    resize(560, 480);

    connect(SpeedButton1, &QPushButton::clicked, this, [this] { SpeedButton1Click(); });
    connect(VoiceBtn, &QPushButton::clicked, this, [this] { VoiceBtnClick(); });
    connect(AbortBtn, &QPushButton::clicked, this, [this] { HardwareAbortClick(); });
    connect(ChatBtn, &QPushButton::clicked, this, [this] { ChatBtnClick(); });
    connect(VeskarStats1, &QAction::triggered, this, [this] { VeskarStats1Click(); });
    connect(AutoLinkList1, &QAction::triggered, this, [this] { AutoLinkList1Click(); });
    connect(SendTestTones1, &QAction::triggered, this, [this] { SendTestTones1Click(); });
    connect(HardwareAbort1, &QAction::triggered, this, [this] { HardwareAbortClick(); });

    SetChannelReadoutVisible(RadioModelFromType(FConfig.Radio.Type) != TRadioModel::None);

    RadioCmdProcess.OnTimer = [this] { RadioCmdProcessTimer(); };
    RadioDeadMan.OnTimer = [this] { RadioDeadManTimer(); };
    ScanTimer.OnTimer = [this] { ScanTimerTimer(); };
    ModemInitTimer.OnTimer = [this] { ModemInitTimerTimer(); };
    SendFileTimer.OnTimer = [this] {
        CheckModemPort();
        FinishAbort(true);
        FLink.SendFileTimerTimer();
    };
    SelCallTimer.OnTimer = [this] { FLink.SelCallTimerTimer(); };
    EndLinkTimer.OnTimer = [this] { EndLinkTimerTimer(); };
    ALETimer.OnTimer = [this] {
        // Nothing is called while the radio is the operator's.
        if (!FVoiceMode)
            ALETimerTimer();
    };
    ALETimer.SetEnabled(FConfig.AleVeskar.Enabled);

    MDM7300->SetAutoOpen(false);
    MDM7300->OnTriggerAvail = [this](TApdCustomComPort&, uint32_t) { ModemDataAvailable(); };
    FParser.OnMessage = [this](uint8_t code, const std::string& payload) {
        FlushLinkData();
        ProcessModemMessage(code, payload);
    };
    FParser.OnData = [this](uint8_t b) { FLinkData += static_cast<char>(b); };
    ConnectLinkEvents();

    for (const std::string& failed : MessageStore::CreateWorkingDirectories())
        AddStatusLine("Error Creating Directory " + failed, true);
    FLink.BuildAutoLinkSchedule();
    SetIdleState();
}

TLinkCtrlFrm::~TLinkCtrlFrm()
{
    StationStopping({});
    if (MDM7300->Open()) {
        FRadio.SendRemoteOff();
        try {
            MDM7300->SetOpen(false); // drains the output first
        } catch (const std::exception&) {
        }
    }
}

void TLinkCtrlFrm::StationStopping(const std::string& why)
{
    if (!why.empty() && !FStopping)
        AddStatusLine(why, true);
    FStopping = true;
    for (TWindowTimer* t : {&SendFileTimer, &ModemInitTimer, &RadioCmdProcess, &RadioDeadMan,
                            &ScanTimer, &SelCallTimer, &EndLinkTimer, &ALETimer})
        t->SetEnabled(false);
}

void TLinkCtrlFrm::AddStatusLine(const std::string& text, bool show)
{
    // A failing port fails every write: each of its lines once, until the
    // modem answers again; none once the station ends.
    if (text.starts_with(kPortErrorPrefix) &&
        (FStopping || (FPortFailed && !FPortErrors.insert(text).second)))
        return;
    const std::string line = FLog.AddTimedLine(text);
    if (!show)
        return;
    // Plain text: a line may carry what a peer sent, which append() would
    // take for markup.
    QTextCursor end(StatusEdit->document());
    end.movePosition(QTextCursor::End);
    if (!StatusEdit->document()->isEmpty())
        end.insertBlock();
    end.insertText(ToQt(line));
    StatusEdit->verticalScrollBar()->setValue(StatusEdit->verticalScrollBar()->maximum());
}

void TLinkCtrlFrm::SetChannelReadoutVisible(bool visible)
{
    FReadoutWanted = visible;
    // No channel is true while the modem is away.
    for (QLabel* l : {Label3, ChannelLabel, FreqLabel, Label11, USBLabel})
        l->setVisible(visible && !FPortFailed);
}

void TLinkCtrlFrm::ShowModemAway(bool away)
{
    // The radio's status is said again once the modem is back, as at start.
    FLastRadioStatus.clear();
    SetRadioLabel(TRadioLabel::Status, away ? kWaitingForModem : "");
    if (away)
        for (QLabel* l : {ChannelLabel, FreqLabel, USBLabel})
            l->clear();
    SetChannelReadoutVisible(FReadoutWanted);
}

void TLinkCtrlFrm::ShowRadioStatus(const std::string& text, const std::string& detail)
{
    if (text == FLastRadioStatus)
        return;
    FLastRadioStatus = text;
    const std::string caption = detail.empty() ? text : text + ": " + detail;
    SetRadioLabel(TRadioLabel::Status, caption);
    AddStatusLine(caption, true);
}

bool TLinkCtrlFrm::CheckModemReady()
{
    if (FModemReady)
        return true;
    ShowMessageBox("Modem is not configured, please wait and try again...\nor contact your "
                   "system administrator.",
                   "Error", MB_OK, TMsgIcon::Warning);
    return false;
}

void TLinkCtrlFrm::PutModemByte(uint8_t b)
{
    try {
        MDM7300->PutChar(static_cast<char>(b));
    } catch (const std::exception& e) {
        ModemPortFailed(e.what());
        throw;
    }
}

void TLinkCtrlFrm::CheckModemPort()
{
    // A vanished device fails every write from then on, but a link waiting
    // for the modem's echo writes nothing: the serial layer knows sooner.
    const TApdBaseDispatcher* port = MDM7300->Open() ? MDM7300->GetDispatcher() : nullptr;
    if (port && port->DeviceError() != 0)
        ModemPortFailed(ErrorMsg(port->DeviceError()));
}

void TLinkCtrlFrm::ModemPortFailed(const std::string& why)
{
    // A port never opened has nothing to configure: opening it does that.
    if (FPortFailed || FStopping || !MDM7300->Open())
        return;
    FPortFailed = true;
    AddStatusLine("Modem port error (" + why + "): the modem will be configured again", true);
    ShowModemAway(true);
    // The modem may hold part of a frame, or be gone: as at start, nothing
    // goes to it (no call, no radio command) until it answers a configure.
    FModemReady = false;
    FConfigureSent = false;
    FRadio.ClearQueue();
    ModemInitTimer.SetEnabled(true);
    if (OnModemLost)
        OnModemLost(why);
}

bool TLinkCtrlFrm::ReopenLostPort()
{
    const TApdBaseDispatcher* open = MDM7300->Open() ? MDM7300->GetDispatcher() : nullptr;
    const uint32_t now = Clock::TickCount();
    if (open && open->DeviceError() == 0) {
        if (!FOnTrial || !Clock::TickElapsed(FTrialTick, now, kModemTrialMs))
            return true;
        LetGoUnanswering();
        FReopenTried = true;
        FLastReopenTick = now;
        return false;
    }
    if (FReopenTried && !Clock::TickElapsed(FLastReopenTick, now, kReopenRepeatMs))
        return false;
    FReopenTried = true;
    FLastReopenTick = now;
    FOnTrial = false;
    const unsigned port = MDM7300->ComNumber();
    const std::string path = ComPortPath(port);
    const std::string name = ComName(port) + " (" + path + ")";
    TDeviceId at;
    const int there = SerialDevice::Present(path, &at);
    if (FRefused && there == 0 && at == *FRefused)
        return false;
    FRefused.reset();
    // The lost device stays held until its name leads to a device again:
    // the name of a terminal held is given to no other, which the port
    // would then open in its place.
    int result = open ? there : 0;
    if (result == 0) {
        result = OpenModemPort(static_cast<int>(port));
        if (result == 1) {
            // Whatever the name leads to now is the modem only once it
            // answers (another program's terminal, another USB device).
            FOnTrial = true;
            FTrialTick = now;
            FReopenCause.clear();
            AddStatusLine(
                "Modem port " + name + " opened again: waiting for the HF modem to answer", true);
            return true;
        }
    }
    AddStatusLine("Hardware Communication Error #49", true);
    const bool denied = result == AdErr::ecAccessDenied;
    const std::string cause = denied ? PortAccessDenied(name, path) : ErrorMsg(result);
    if (cause == FReopenCause)
        return false;
    FReopenCause = cause;
    if (!denied) {
        AddStatusLine("Modem port " + name + " does not open: " + cause +
                          "; trying again every second",
                      true);
        return false;
    }
    // Who may open it, as the start says it.
    const std::string text = cause + " Trying again every second.";
    AddStatusLine(text, true);
    if (OnModemNotice)
        OnModemNotice(text);
    return false;
}

void TLinkCtrlFrm::LetGoUnanswering()
{
    const unsigned port = MDM7300->ComNumber();
    if (const TApdBaseDispatcher* d = MDM7300->GetDispatcher())
        FRefused = d->DeviceId();
    FOnTrial = false;
    FConfigureSent = false;
    // Closing puts its terminal's settings back as they were found.
    try {
        MDM7300->SetOpen(false);
    } catch (const std::exception&) {
    }
    const std::string text = "The device now at " + ComName(port) + " (" + ComPortPath(port) +
                             ") does not answer as the HF modem: it is left as found while the "
                             "name leads to it";
    FReopenCause = text;
    AddStatusLine(text, true);
    if (OnModemNotice)
        OnModemNotice(text);
}

void TLinkCtrlFrm::PutBytes(const std::vector<uint8_t>& bytes)
{
    for (uint8_t b : bytes)
        PutModemByte(b);
}

bool TLinkCtrlFrm::PutModemBytes(const std::vector<uint8_t>& bytes)
{
    try {
        PutBytes(bytes);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void TLinkCtrlFrm::SetIdleState()
{
    SpeedButton1->setEnabled(true);
    VoiceBtn->setEnabled(true);
    AbortBtn->setEnabled(false);
    VeskarStatisticsFrm->Reset();
    SetScanning(true);
}

void TLinkCtrlFrm::ConfigureRadioPort(int speed)
{
    const bool vx = RadioModelFromType(FConfig.Radio.Type) == TRadioModel::VertexVX1700;
    try {
        PutBytes(RadioWire::PortSettings(speed, vx));
    } catch (const std::exception&) {
        AddStatusLine("Hardware Communication Error #20", false);
    }
}

bool TLinkCtrlFrm::SendChatText(const std::string& text)
{
    if (text.size() + BytesInFlight() >= TLinkSession::kMaxInFlight)
        return false;
    if (FLink.SendChatText(text))
        return true;
    // The chat window must not show text that never left.
    AddStatusLine("Hardware Communication Error #43", true);
    return false;
}

void TLinkCtrlFrm::SendBuzz(uint8_t code)
{
    if (!FLink.SendBuzz(code))
        AddStatusLine("Hardware Communication Error #44", true);
}

bool TLinkCtrlFrm::RadioPresent() const
{
    return RadioModelFromType(FConfig.Radio.Type) != TRadioModel::None;
}

void TLinkCtrlFrm::LinkEnded()
{
    if (FReinitPending) {
        FReinitPending = false;
        // Scanning waits for the configuration's success report, which
        // restarts the radio.
        FModemReady = false;
        SendModemConfigure();
        ModemInitTimer.SetEnabled(true);
    } else {
        ScanTimer.SetEnabled(true);
    }
    SetIdleState();
}

void TLinkCtrlFrm::ShowLinkState(const std::string& text)
{
    LinkStateLabel->setText(ToQt(text));
    const bool busy = FLink.Linked() || FLink.CallUnderway();
    SpeedButton1->setEnabled(!busy);
    AbortBtn->setEnabled(busy);
    // A call or link is what the station does: the status line says so,
    // beside the channel it is on, until the radio's status returns.
    StatusLabel->setText(ToQt(busy ? text : FRadioStatusLine));
    StatusLabel->repaint();
}

void TLinkCtrlFrm::ShowCounts(const std::string& text)
{
    CountsLabel->setText(ToQt(text));
}

void TLinkCtrlFrm::ShowProgress(bool sending, uint64_t done, uint64_t total)
{
    QProgressBar* gauge = sending ? SendGauge : ReceiveGauge;
    gauge->setValue(total == 0 ? 0
                               : static_cast<int>(std::min<uint64_t>(done, total) * 100 / total));
}

void TLinkCtrlFrm::AleFailure(const std::string& station)
{
    if (FRouter)
        FRouter->AleFailure(station);
}

void TLinkCtrlFrm::MailboxChanged()
{
    if (FStatus)
        FStatus->RefreshStationLines();
}

void TLinkCtrlFrm::SendModemConfigure()
{
    try {
        PutBytes(ModemFrame::Command(ModemFrame::kCmdConfigure));
    } catch (const std::exception&) {
        AddStatusLine("Hardware Communication Error #40", false);
    }
    FLastConfigureTick = Clock::TickCount();
    FConfigureSent = true;
}

void TLinkCtrlFrm::ModemInitTimerTimer()
{
    ModemInitTimer.SetEnabled(false);
    if (FModemReady || (!FPortFailed && !MDM7300->Open()))
        return;
    // Configuring ends the modem's link or call; ours ends with it (here on
    // the message loop, never inside the write that failed).
    FLink.ModemReset();
    if (FPortFailed && !ReopenLostPort()) {
        ModemInitTimer.SetEnabled(true);
        return;
    }
    if (!FConfigureSent ||
        Clock::TickElapsed(FLastConfigureTick, Clock::TickCount(), kConfigureRepeatMs))
        SendModemConfigure();
    ModemInitTimer.SetEnabled(true);
}

void TLinkCtrlFrm::FlushLinkData()
{
    if (FLinkData.empty())
        return;
    std::string data;
    data.swap(FLinkData);
    FLink.LinkData(data.data(), data.size());
}

void TLinkCtrlFrm::ModemDataAvailable()
{
    char buf[1024];
    for (;;) {
        const std::size_t n = MDM7300->GetBlock(buf, sizeof buf);
        if (n == 0)
            break;
        for (std::size_t i = 0; i < n; ++i)
            FParser.Feed(static_cast<uint8_t>(buf[i]));
        FlushLinkData();
    }
}

void TLinkCtrlFrm::ProcessModemMessage(uint8_t code, const std::string& payload)
{
    using namespace ModemFrame;
    switch (code) {
    case kMsgConfigured:
        FModemReady = true;
        FConfigureSent = false;
        ModemInitTimer.SetEnabled(false);
        if (FPortFailed) {
            FPortFailed = false;
            FPortErrors.clear();
            FReopenTried = false;
            FReopenCause.clear();
            FOnTrial = false;
            FRefused.reset();
            ShowModemAway(false);
            AddStatusLine("Modem port working again", true);
            if (OnModemBack)
                OnModemBack();
        }
        AddStatusLine("Modem configuration successful", true);
        FLink.ModemConfigured();
        try {
            PutBytes(ModemFrame::Command(ModemFrame::kCmdVersions));
        } catch (const std::exception&) {
            AddStatusLine("Hardware Communication Error #47", false);
        }
        InitRadio();
        break;
    case kMsgHardwareError: {
        const std::string text =
            "Modem Hardware Error #" +
            std::to_string(payload.empty() ? 0 : static_cast<uint8_t>(payload[0]));
        AddStatusLine(text, true);
        // The box waits on its own turn of the message loop: bytes that
        // arrive meanwhile must not re-enter the parser that is feeding this.
        QMetaObject::invokeMethod(
            this,
            [this, text] {
                ShowMessageBox(text + "\n\nThe program will end.", "Modem Error", MB_OK,
                               TMsgIcon::Error);
                if (OnModemHardwareError)
                    OnModemHardwareError();
            },
            Qt::QueuedConnection);
        break;
    }
    case kMsgRadioByte:
        if (!payload.empty())
            ProcessRadioByte(static_cast<uint8_t>(payload[0]));
        break;
    case kMsgTxEcho:
        FLink.Transmitted(static_cast<uint32_t>(payload.size()));
        FinishAbort(true);
        break;
    case kMsgCalling:
    case kMsgLinkUp:
    case kMsgLinkFailed:
    case kMsgChannelBusy:
    case kMsgIncoming:
    case kMsgDisconnected:
        FLink.ProcessLinkReport(code, payload);
        FinishAbort(true);
        break;
    case kMsgDspVersion:
    case kMsgCpuVersion:
    case kMsgWaveform: {
        auto lock = FConfig.Lock();
        if (code == kMsgDspVersion)
            FConfig.DspVersion = payload;
        else if (code == kMsgCpuVersion)
            FConfig.CpuVersion = payload;
        else
            FConfig.WaveformVariant = payload;
        break;
    }
    case kMsgLocalStatistics:
    case kMsgRemoteStatistics: {
        const TLinkStatistics stats = ParseStatistics(payload);
        TVeskarStatisticsFrm& w = *VeskarStatisticsFrm;
        const bool local = code == kMsgLocalStatistics;
        const std::pair<QLabel*, const std::string*> boxes[] = {
            {local ? w.MyModBox : w.HisModBox, &stats.Mod},
            {local ? w.MySNRBox : w.HisSNRBox, &stats.Snr},
            {local ? w.MyFreqBox : w.HisFreqBox, &stats.Freq},
            {local ? w.MyPHSBox : w.HisPHSBox, &stats.Phs},
            {local ? w.MyECCBox : w.HisECCBox, &stats.Ecc},
            {local ? w.MyTPUTBox : w.HisTPUTBox, &stats.Tput}};
        for (const auto& [box, text] : boxes)
            box->setText(ToQt(*text));
        break;
    }
    case kMsgToneLevels: {
        TVeskarStatisticsFrm& w = *VeskarStatisticsFrm;
        QProgressBar* bars[] = {w.T1ProgressBar, w.T2ProgressBar, w.T3ProgressBar, w.T4ProgressBar};
        for (size_t i = 0; i < std::size(bars) && i < payload.size(); ++i)
            bars[i]->setValue(std::max(1, static_cast<int>(static_cast<uint8_t>(payload[i]))));
        break;
    }
    default:
        break;
    }
}

int TLinkCtrlFrm::OpenModemPort(int portNumber)
{
    FRadio.ClearQueue();
    FParser.Reset();
    FModemReady = false;
    FConfigureSent = false;
    FOnTrial = false;
    try {
        if (MDM7300->Open())
            MDM7300->SetOpen(false);
        MDM7300->SetComNumber(static_cast<uint16_t>(portNumber));
        MDM7300->SetOpen(true);
    } catch (const EAPDException& e) {
        return e.ErrorCode();
    } catch (const EInOutError& e) {
        return -e.ErrorCode();
    } catch (const std::exception&) {
        return AdErr::ecHardware;
    }
    ModemInitTimer.SetEnabled(true);
    return 1;
}

void TLinkCtrlFrm::RequestReinitialize()
{
    if (!FLink.Linked()) {
        FModemReady = false;
        SendModemConfigure();
        ModemInitTimer.SetEnabled(true);
        return;
    }
    FReinitPending = true;
    AddStatusLine("System will reinitialize after link ends", true);
}

void TLinkCtrlFrm::SetRadioLabel(TRadioLabel label, const std::string& text)
{
    switch (label) {
    case TRadioLabel::Status:
        FRadioStatusLine = text;
        if (FLink.Linked() || FLink.CallUnderway())
            break;
        StatusLabel->setText(ToQt(text));
        StatusLabel->repaint();
        break;
    case TRadioLabel::Channel:
        ChannelLabel->setText(ToQt(text));
        break;
    case TRadioLabel::Freq:
        FreqLabel->setText(ToQt(text));
        break;
    case TRadioLabel::SideBand:
        USBLabel->setText(ToQt(text));
        break;
    }
}

bool TLinkCtrlFrm::VoiceShowing() const
{
    return FVoiceMode || VoiceForm->isVisible();
}

uint32_t TLinkCtrlFrm::TickCount()
{
    return Clock::TickCount();
}

void TLinkCtrlFrm::ProcessMessages()
{
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(5);
}

// ------------------------------------------------------------ the link's windows

void TLinkCtrlFrm::ConnectLinkEvents()
{
    // The chat window hears of the link on its own turn of the message loop:
    // a ring lets messages run while it shakes the window, and the modem
    // parser that delivers it must not be entered again meanwhile.
    auto later = [this](std::function<void()> f) {
        QMetaObject::invokeMethod(this, std::move(f), Qt::QueuedConnection);
    };
    TLinkEvents& e = FLink.Events;
    e.LinkUp = [this, later](const std::string& peer) {
        later([this, peer, own = FStations.Get(0).Name] {
            ChatFrm->SetOwnName(own);
            ChatFrm->LinkUp(peer);
            ChatFrm->SetLinked(true);
        });
    };
    e.LinkDown = [later, this] {
        later([this] {
            ChatFrm->SetLinked(false);
            ChatFrm->ShowDisconnected();
        });
    };
    e.ChatText = [later, this](const std::string& peer, const std::string& text) {
        later([this, peer, text] { ChatFrm->ReceiveText(peer, text); });
    };
    e.Ring = [later, this](uint8_t) { later([this] { ChatFrm->Ring(); }); };
    e.ItemReceived = [this](Transfer::TKind, const std::string&) { RefreshReceivedFiles(); };
}

void TLinkCtrlFrm::showEvent(QShowEvent* event)
{
    if (!event->spontaneous())
        RefreshReceivedFiles();
    QWidget::showEvent(event);
}

void TLinkCtrlFrm::RefreshReceivedFiles()
{
    ReceiveFileBox->RefreshReceivedFiles();
}

void TLinkCtrlFrm::SendModemCommand(uint8_t command)
{
    try {
        PutBytes(ModemFrame::Command(command));
    } catch (const std::exception&) {
        AddStatusLine("Hardware Communication Error #48", true);
    }
}

void TLinkCtrlFrm::ResetLinkButton()
{
    SpeedButton1->setText("&Link");
    QPalette black = SpeedButton1->palette();
    black.setColor(QPalette::ButtonText, Qt::black);
    SpeedButton1->setPalette(black);
    SpeedButton1->setDown(false);
}

void TLinkCtrlFrm::SpeedButton1Click()
{
    if (FStations.Count() <= 1) {
        ShowMessageBox("No Stations are Configured\nContact your system administrator.",
                       "Manual Link", MB_OK, TMsgIcon::Warning);
        return;
    }
    TLinkFrm dialog(this, FConfig, FChannels, FStations);
    dialog.move(pos() + QPoint(20, 20));
    dialog.SendMailCheckBox->setChecked(FLink.SendMail);
    dialog.AutoEndCheckBox->setChecked(FLink.AutoEnd);
    dialog.ChannelBox->setVisible(RadioPresent() && FChannels.Count() > 0);
    if (ShowModal(dialog) != QDialog::Accepted)
        return;
    FLink.SendMail = dialog.SendMailCheckBox->isChecked();
    FLink.AutoEnd = dialog.AutoEndCheckBox->isChecked();
    CallStation(dialog.StationName(), dialog.Channel(), true);
}

void TLinkCtrlFrm::VoiceBtnClick()
{
    if (!CheckModemReady())
        return;
    if (FAbortPending)
        FinishAbort();
    if (FLink.Linked()) {
        AddStatusLine("Disconnecting from Station: " + FLink.LinkStation(), true);
        // The disconnect sends what the modem holds first, the notice too.
        FLink.AnnounceOperatorEnd();
    }
    SendDisconnect();
    ResetLinkButton();
    FLink.OperatorAbort();
    const TRadioModel model = RadioModelFromType(FConfig.Radio.Type);
    if (model == TRadioModel::None || model == TRadioModel::Other)
        return;
    SetIdleState();
    EndLinkTimer.SetEnabled(false);
    ALETimer.SetEnabled(false);
    SetScanning(false);
    if (IsIcomNmea(model))
        QueueRadioCommand(RadioCommands::IcomRemote(model, false));
    SetRadioLabel(TRadioLabel::Status, "Paused");
    FVoiceMode = true;
    ShowModal(*VoiceForm);
    FVoiceMode = false;
    SetIdleState();
    SetRadioLabel(TRadioLabel::Status, IsBarrett(model) || model == TRadioModel::KenwoodTK90 ||
                                               model == TRadioModel::KenwoodTRC80 ||
                                               model == TRadioModel::KenwoodTS850
                                           ? "Scanning"
                                           : "");
    // Automatic linking goes on where it was switched on.
    ALETimer.SetEnabled(FConfig.AleVeskar.Enabled);
}

void TLinkCtrlFrm::HardwareAbortClick()
{
    if (FAbortPending) {
        FinishAbort();
        return;
    }
    CheckModemReady(); // tells the operator; the abort goes out all the same
    AddStatusLine("Aborting", true);
    if (FLink.AnnounceOperatorEnd()) {
        FAbortPending = true;
        FAbortStartTick = Clock::TickCount();
        FinishAbort(true); // the modem may have sent it already
        return;
    }
    FinishAbort();
}

void TLinkCtrlFrm::FinishAbort(bool due)
{
    if (due) {
        if (!FAbortPending)
            return;
        const bool sent = FLink.BytesInFlight() == 0;
        const bool over =
            Clock::TickElapsed(FAbortStartTick, Clock::TickCount(), LinkCode::kOperatorEndWaitMs);
        if (!sent && !over && FLink.Linked())
            return;
    }
    FAbortPending = false;
    SendAbort();
    FLink.OperatorAbort();
    SetIdleState();
    ResetLinkButton();
    EndLinkTimer.SetEnabled(false);
    ScanTimer.SetEnabled(true);
}

void TLinkCtrlFrm::SendTestTones1Click()
{
    if (FLink.Linked()) {
        ShowMessageBox("Disconnect VESKAR link and try again.", "Transmit Test Tones", MB_OK,
                       TMsgIcon::Warning);
        return;
    }
    TTestToneFrm dialog(this, [this](uint8_t command) { SendModemCommand(command); });
    ShowModal(dialog);
}

void TLinkCtrlFrm::ChatBtnClick()
{
    if (ChatFrm->isHidden())
        ChatFrm->SetOwnName(FStations.Get(0).Name);
    ChatFrm->show();
    ChatFrm->raise();
    ChatFrm->activateWindow();
}

void TLinkCtrlFrm::VeskarStats1Click()
{
    VeskarStatisticsFrm->show();
    VeskarStatisticsFrm->raise();
}

void TLinkCtrlFrm::AutoLinkList1Click()
{
    AutoLinkListFrm->show();
    AutoLinkListFrm->raise();
}
