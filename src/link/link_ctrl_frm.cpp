#include "link/link_ctrl_frm.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMetaObject>
#include <QPushButton>
#include <QScrollBar>
#include <QTextEdit>
#include <QThread>
#include <QVBoxLayout>

#include <cmath>

#include "core/channel_list.h"
#include "core/config.h"
#include "core/message_store.h"
#include "core/scheduled_link_list.h"
#include "core/station_list.h"
#include "link/radio/radio_wire.h"
#include "link/windows/voice_form.h"
#include "platform/clock.h"
#include "platform/date_time.h"
#include "platform/dialogs.h"
#include "platform/text.h"
#include "serial/ad_port.h"

namespace {

// Link data in flight may not exceed this when chat text is added.
constexpr uint32_t kMaxInFlight = 750;
// A configure command is not repeated sooner than this while unanswered.
constexpr uint32_t kConfigureRepeatMs = 1000;

// Station-to-station bytes: 0x01 opens an in-band message and 0x02 ends
// chat text, so inside text 0x00, 0x01 and 0x02 travel as 0x01 0xA0+b.
std::string EscapeLinkText(const std::string& text)
{
    std::string out;
    for (char c : text) {
        const uint8_t b = static_cast<uint8_t>(c);
        if (b <= 0x02) {
            out += '\x01';
            out += static_cast<char>(0xA0 | b);
        } else {
            out += c;
        }
    }
    return out;
}

} // namespace

TLinkCtrlFrm::TLinkCtrlFrm(TConfig& config, TStationList& stations, TChannelList& channels,
                           TScheduledLinkList& schedule, QWidget* parent)
    : QWidget(parent), StatusLabel(new QLabel(this)), StatusEdit(new QTextEdit(this)),
      SpeedButton1(new QPushButton("&Link", this)), VoiceBtn(new QPushButton("&Voice", this)),
      AbortBtn(new QPushButton("&Abort", this)), Label3(new QLabel("CH:", this)),
      ChannelLabel(new QLabel(this)), FreqLabel(new QLabel(this)), Label11(new QLabel("kHz", this)),
      USBLabel(new QLabel(this)), MDM7300(new TApdComPort(this)), VoiceForm(new TVoiceForm(this)),
      FConfig(config), FStations(stations), FChannels(channels), FSchedule(schedule),
      FRadio(config, stations, channels,
             TRadioTimers{RadioCmdProcess, RadioDeadMan, ScanTimer, ALETimer}, *this)
{
    setWindowTitle("5757 Link Control");
    StatusEdit->setReadOnly(true);
    auto* panel = new QHBoxLayout;
    for (QWidget* w : {static_cast<QWidget*>(StatusLabel), static_cast<QWidget*>(Label3),
                       static_cast<QWidget*>(ChannelLabel), static_cast<QWidget*>(FreqLabel),
                       static_cast<QWidget*>(Label11), static_cast<QWidget*>(USBLabel)})
        panel->addWidget(w);
    panel->addStretch();
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(SpeedButton1);
    buttons->addWidget(VoiceBtn);
    buttons->addWidget(AbortBtn);
    buttons->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(panel);
    layout->addWidget(StatusEdit);
    layout->addLayout(buttons);
    resize(560, 360);

    SetChannelReadoutVisible(RadioModelFromType(FConfig.Radio.Type) != TRadioModel::None);

    RadioCmdProcess.OnTimer = [this] { RadioCmdProcessTimer(); };
    RadioDeadMan.OnTimer = [this] { RadioDeadManTimer(); };
    ScanTimer.OnTimer = [this] { ScanTimerTimer(); };
    ModemInitTimer.OnTimer = [this] { ModemInitTimerTimer(); };
    ALETimer.SetEnabled(FConfig.AleVeskar.Enabled);

    MDM7300->SetAutoOpen(false);
    MDM7300->OnTriggerAvail = [this](TApdCustomComPort&, uint32_t) { ModemDataAvailable(); };
    FParser.OnMessage = [this](uint8_t code, const std::string& payload) {
        ProcessModemMessage(code, payload);
    };

    for (const std::string& failed : MessageStore::CreateWorkingDirectories())
        AddStatusLine("Error Creating Directory " + failed, true);
    SetIdleState();
}

TLinkCtrlFrm::~TLinkCtrlFrm()
{
    for (TWindowTimer* t : {&SendFileTimer, &ModemInitTimer, &RadioCmdProcess, &RadioDeadMan,
                            &ScanTimer, &SelCallTimer, &EndLinkTimer, &ALETimer})
        t->SetEnabled(false);
    if (MDM7300->Open()) {
        FRadio.SendRemoteOff();
        try {
            MDM7300->SetOpen(false); // drains the output first
        } catch (const std::exception&) {
        }
    }
}

void TLinkCtrlFrm::AddStatusLine(const std::string& text, bool show)
{
    const std::string line = FLog.AddTimedLine(text);
    if (!show)
        return;
    StatusEdit->append(ToQt(line));
    StatusEdit->verticalScrollBar()->setValue(StatusEdit->verticalScrollBar()->maximum());
}

void TLinkCtrlFrm::SetChannelReadoutVisible(bool visible)
{
    for (QLabel* l : {Label3, ChannelLabel, FreqLabel, Label11, USBLabel})
        l->setVisible(visible);
}

void TLinkCtrlFrm::ShowRadioStatus(const std::string& text, const std::string& detail)
{
    if (text == FLastRadioStatus)
        return;
    FLastRadioStatus = text;
    const std::string caption = detail.empty() ? text : text + ": " + detail;
    StatusLabel->setText(ToQt(caption));
    StatusLabel->repaint();
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
    MDM7300->PutChar(static_cast<char>(b));
}

void TLinkCtrlFrm::PutBytes(const std::vector<uint8_t>& bytes)
{
    for (uint8_t b : bytes)
        PutModemByte(b);
}

void TLinkCtrlFrm::SendDisconnect()
{
    try {
        PutBytes(ModemFrame::Command(ModemFrame::kCmdDisconnect));
    } catch (const std::exception&) {
        AddStatusLine("Hardware Communication Error #41", true);
    }
}

void TLinkCtrlFrm::SendAbort()
{
    try {
        PutBytes(ModemFrame::Command(ModemFrame::kCmdAbort));
    } catch (const std::exception&) {
        AddStatusLine("Hardware Communication Error #42", true);
    }
}

void TLinkCtrlFrm::SetIdleState()
{
    SpeedButton1->setEnabled(true);
    VoiceBtn->setEnabled(true);
    AbortBtn->setEnabled(false);
    FLinkStation.clear();
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

uint32_t TLinkCtrlFrm::BytesInFlight() const
{
    std::lock_guard lock(FFlightLock);
    return FBytesInFlight;
}

void TLinkCtrlFrm::SendLinkData(const std::string& bytes)
{
    PutBytes(ModemFrame::LinkData(bytes));
    std::lock_guard lock(FFlightLock);
    FBytesInFlight += static_cast<uint32_t>(bytes.size());
}

bool TLinkCtrlFrm::SendChatText(const std::string& text)
{
    if (text.size() + BytesInFlight() >= kMaxInFlight)
        return false;
    try {
        SendLinkData("\x01\xB3" + EscapeLinkText(text) + "\x02");
    } catch (const std::exception&) {
        // The chat window must not show text that never left.
        AddStatusLine("Hardware Communication Error #43", true);
        return false;
    }
    return true;
}

void TLinkCtrlFrm::SendBuzz(uint8_t code)
{
    try {
        SendLinkData(std::string{'\x01', '\xB4'} +
                     EscapeLinkText(std::string(1, static_cast<char>(code))));
    } catch (const std::exception&) {
        AddStatusLine("Hardware Communication Error #44", true);
    }
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
    if (FModemReady || !MDM7300->Open())
        return;
    if (!FConfigureSent ||
        Clock::TickElapsed(FLastConfigureTick, Clock::TickCount(), kConfigureRepeatMs))
        SendModemConfigure();
    ModemInitTimer.SetEnabled(true);
}

void TLinkCtrlFrm::ModemDataAvailable()
{
    char buf[256];
    for (;;) {
        const std::size_t n = MDM7300->GetBlock(buf, sizeof buf);
        if (n == 0)
            return;
        for (std::size_t i = 0; i < n; ++i)
            FParser.Feed(static_cast<uint8_t>(buf[i]));
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
        AddStatusLine("Modem configuration successful", true);
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
    case kMsgTxEcho: {
        std::lock_guard lock(FFlightLock);
        const auto n = static_cast<uint32_t>(payload.size());
        FBytesInFlight = n > FBytesInFlight ? 0 : FBytesInFlight - n;
        break;
    }
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
    try {
        if (MDM7300->Open())
            MDM7300->SetOpen(false);
        MDM7300->SetComNumber(static_cast<uint16_t>(portNumber));
        MDM7300->SetOpen(true);
    } catch (const std::exception&) {
        return 0;
    }
    ModemInitTimer.SetEnabled(true);
    return 1;
}

void TLinkCtrlFrm::CallStation(const std::string& station, int channel, bool manual)
{
    if (!CheckModemReady())
        return;
    FLinkStation = station;
    FManualCall = manual;
    FAutoLinkAttempt = !manual;
    SetScanning(false);
    TuneChannel(channel);
    FRadio.ResetDeadMan();
    SpeedButton1->setEnabled(false);
    AbortBtn->setEnabled(true);
    AddStatusLine("Calling " + station, true);
}

void TLinkCtrlFrm::CallGivenUp(bool channelBusy)
{
    FManualCall = false;
    FAutoLinkAttempt = false;
    if (channelBusy)
        SetScanning(true);
}

void TLinkCtrlFrm::LinkEstablished()
{
    FLinked = true;
    ScanTimer.SetEnabled(false);
    AbortBtn->setEnabled(true);
}

void TLinkCtrlFrm::RequestReinitialize()
{
    if (!FLinked) {
        FModemReady = false;
        SendModemConfigure();
        ModemInitTimer.SetEnabled(true);
        return;
    }
    FReinitPending = true;
    AddStatusLine("System will reinitialize after link ends", true);
}

void TLinkCtrlFrm::LinkFailed()
{
    FLinked = false;
    FManualCall = false;
    FAutoLinkAttempt = false;
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

void TLinkCtrlFrm::LinkDisconnected()
{
    LinkFailed();
}

void TLinkCtrlFrm::AddAutoLinkEntry(const std::string& station, const std::string& type,
                                    TDateTime next)
{
    for (TAutoLinkEntry& e : AutoLinkQueue)
        if (e.StationName == station && e.Type == type) {
            e.NextAttempt = next;
            return;
        }
    AutoLinkQueue.push_back({station, type, FConfig.AleVeskar.Attempts, next});
}

void TLinkCtrlFrm::RemoveAutoLinkEntry(int index)
{
    if (index >= 0 && static_cast<size_t>(index) < AutoLinkQueue.size())
        AutoLinkQueue.erase(AutoLinkQueue.begin() + index);
}

void TLinkCtrlFrm::BuildAutoLinkSchedule()
{
    const TDateTime now = Now();
    const auto stations = FStations.GetAll();
    for (size_t i = 1; i < stations.size(); ++i) {
        const TStation& s = stations[i];
        const bool direct = s.RouteVia.empty() || s.RouteVia == "DIRECT";
        if (!direct || s.AutoCall != "ENABLED" || !MessageStore::IsSafeName(s.Name))
            continue;
        if (!MessageStore::ListMessages(MessageStore::StationDir(s.Name)).empty())
            AddAutoLinkEntry(s.Name, "Auto", now);
    }
    const double today = std::floor(now);
    for (const TScheduledLink& l : FSchedule.GetAll()) {
        TDateTime at = today + (l.Time - std::floor(l.Time));
        if (at < now)
            at += 1.0;
        AddAutoLinkEntry(l.StationName, "Scheduled", at);
    }
}

void TLinkCtrlFrm::SetRadioLabel(TRadioLabel label, const std::string& text)
{
    switch (label) {
    case TRadioLabel::Status:
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
    return VoiceForm->isVisible();
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
