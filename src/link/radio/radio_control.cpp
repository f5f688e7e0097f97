#include "link/radio/radio_control.h"

#include <set>

#include "link/radio/radio_wire.h"

namespace {
// A reply longer than any answer of the supported radios is noise.
constexpr size_t kMaxReply = 256;
} // namespace

TRadioControl::TRadioControl(TConfig& config, TStationList& stations, TChannelList& channels,
                             TRadioTimers timers, TRadioHost& host)
    : FConfig(config), FStations(stations), FChannels(channels), FTimers(timers), FHost(host)
{
}

TRadioModel TRadioControl::Model() const
{
    return RadioModelFromType(FConfig.Radio.Type);
}

std::vector<std::string> TRadioControl::QueuedCommands() const
{
    std::vector<std::string> out;
    for (const TEntry& e : FQueue)
        out.push_back(e.command);
    return out;
}

void TRadioControl::QueueRadioCommand(const std::string& command)
{
    Queue({command, 0, false});
}

void TRadioControl::Queue(const TEntry& entry)
{
    if (entry.command.empty())
        return;
    if (!FQueue.empty() && FQueue.back().command == entry.command)
        return;
    FQueue.push_back(entry);
    FQueue.back().id = FNextId++;
}

void TRadioControl::ClearQueue()
{
    FQueue.clear();
    // A late answer to a dropped command must not release the next one.
    FAwaitingReply = false;
}

void TRadioControl::SendNow(const std::string& command, TRadioModel model)
{
    RadioWire::SendCommand(
        command, IsCrLfModel(model), [this](uint8_t b) { FHost.PutModemByte(b); },
        [this](const std::string& line) { Log(line); });
}

void TRadioControl::RadioCmdProcessTimer()
{
    TWindowTimer& timer = FTimers.RadioCmdProcess;
    timer.SetEnabled(false);
    if (FHost.Linked()) {
        timer.SetInterval(2000);
        timer.SetEnabled(true);
        return;
    }
    timer.SetInterval(50);
    const TRadioModel model = Model();
    if (model == TRadioModel::None || FAwaitingReply || FQueue.empty()) {
        timer.SetEnabled(true);
        return;
    }
    FAwaitingReply = true;
    const std::string head = FQueue.front().command;
    if (FQueue.front().receives > 0)
        FTunedChannel = FQueue.front().receives;
    SendNow(head, model);
    timer.SetEnabled(true);
}

void TRadioControl::RadioDeadManTimer()
{
    TWindowTimer& timer = FTimers.RadioDeadMan;
    timer.SetEnabled(false);
    if (!FAwaitingReply) {
        FDeadManCount = 0;
    } else if (FQueue.empty()) {
        FDeadManCount = 0;
        FLastHeadId = 0;
    } else if (FQueue.front().id != FLastHeadId) {
        // A new command at the head starts its own count.
        FLastHeadId = FQueue.front().id;
        FDeadManCount = 0;
    } else {
        ++FDeadManCount;
    }
    if (FDeadManCount > 2) {
        const std::string head = FQueue.front().command;
        if (Model() == TRadioModel::VertexVX1700) {
            Log("Error: No response from radio cmd: " + RadioWire::HexDump(head));
            FQueue.pop_front();
            Log("Ignoring Radio Command...");
        } else {
            Log("Error: No response from radio cmd: " + head);
            Log("Attempting to send command again...");
        }
        FDeadManCount = 0;
        FAwaitingReply = false;
        FLastHeadId = 0;
    }
    timer.SetEnabled(true);
}

void TRadioControl::Acknowledge()
{
    if (!FAwaitingReply)
        return; // nothing in flight: an unasked report releases nothing
    FAwaitingReply = false;
    if (!FQueue.empty())
        FQueue.pop_front();
}

void TRadioControl::InitRadio()
{
    FTimers.ScanTimer.SetEnabled(false);
    ClearQueue();
    FReplyBuffer.clear();
    FTunedChannel = 0;
    const TRadioModel model = Model();
    switch (model) {
    case TRadioModel::None:
    case TRadioModel::Other:
        return;
    case TRadioModel::IcomM710:
    case TRadioModel::IcomM802:
    case TRadioModel::IcomF7000: {
        const std::string p = IcomNmeaPrefix(model);
        FHost.ConfigureRadioPort(4800);
        QueueRadioCommand(p + "REMOTE,ON");
        QueueRadioCommand(p + "AGC,OFF");
        QueueRadioCommand(p + "NB,OFF");
        SetScanning(true);
        return;
    }
    case TRadioModel::Barrett950:
    case TRadioModel::Barrett2050: {
        FHost.ConfigureRadioPort(9600);
        SetScanning(false);
        QueueRadioCommand("XOY");
        const int n = FChannels.Count();
        for (int i = 0; i < n; ++i)
            for (const std::string& c : RadioCommands::BarrettProgram(
                     i + 1, FChannels.Get(i), FStations.IsChannelEnabled(0, i)))
                QueueRadioCommand(c);
        QueueRadioCommand("XS0");
        QueueRadioCommand("ERS7");
        QueueRadioCommand(RadioCommands::BarrettResume(FConfig.Radio950.ResumeScan));
        SetScanning(true);
        return;
    }
    case TRadioModel::KenwoodTK90:
    case TRadioModel::KenwoodTRC80:
        SetScanning(false);
        FHost.ConfigureRadioPort(9600);
        QueryRadioChannels();
        SetScanning(true);
        return;
    case TRadioModel::KenwoodTS850:
    case TRadioModel::VertexVX1700:
        SetScanning(false);
        FHost.ConfigureRadioPort(4800);
        SetScanning(true);
        return;
    case TRadioModel::IcomIC718:
    case TRadioModel::IcomIC78:
        SetScanning(false);
        FHost.ConfigureRadioPort(9600);
        SetScanning(true);
        return;
    }
}

void TRadioControl::QueryRadioChannels()
{
    for (const std::string& c : RadioCommands::ChannelQuery(Model()))
        QueueRadioCommand(c);
}

void TRadioControl::ApplyTuning(const RadioCommands::TTuning& t, bool fromScan, int channel)
{
    for (const std::string& e : t.errors)
        FHost.AddStatusLine(e, true);
    const uint64_t tuning = FNextTuning++;
    for (size_t i = 0; i < t.commands.size(); ++i)
        Queue({t.commands[i], 0, fromScan, tuning, i == t.receiveCommand ? channel : 0});
    ShowTuning(t);
}

void TRadioControl::ShowTuning(const RadioCommands::TTuning& t)
{
    if (t.channelLabel)
        FHost.SetRadioLabel(TRadioLabel::Channel, *t.channelLabel);
    if (t.freqLabel)
        FHost.SetRadioLabel(TRadioLabel::Freq, *t.freqLabel);
    if (t.usbLabel)
        FHost.SetRadioLabel(TRadioLabel::SideBand, *t.usbLabel);
}

void TRadioControl::DropScanSteps()
{
    const auto inFlight = [&](auto it) { return FAwaitingReply && it == FQueue.begin(); };
    std::set<uint64_t> unreceived; // tunings whose receiving frequency waits
    for (auto it = FQueue.begin(); it != FQueue.end(); ++it)
        if (it->receives > 0 && !inFlight(it))
            unreceived.insert(it->tuning);
    for (auto it = FQueue.begin(); it != FQueue.end();) {
        if (it->fromScan && !inFlight(it) && unreceived.contains(it->tuning))
            it = FQueue.erase(it);
        else
            ++it;
    }
}

void TRadioControl::HoldChannel()
{
    DropScanSteps();
    const int n = FTunedChannel;
    if (n >= 1 && n <= FChannels.Count())
        ShowTuning(RadioCommands::Tune(Model(), n, FChannels.Get(n - 1), true));
}

void TRadioControl::Wait(uint32_t ms)
{
    const uint32_t start = FHost.TickCount();
    while (static_cast<uint32_t>(FHost.TickCount() - start) < ms)
        FHost.ProcessMessages();
}

void TRadioControl::TuneChannel(int number)
{
    if (number < 1 || number > FChannels.Count()) {
        FHost.AddStatusLine("Channel Error!", true);
        return;
    }
    const TRadioModel model = Model();
    if (model == TRadioModel::None)
        return;
    // Scan steps still waiting would retune the radio after this call's
    // channel.
    DropScanSteps();
    const RadioCommands::TTuning t =
        RadioCommands::Tune(model, number, FChannels.Get(number - 1), false);
    ApplyTuning(t, false, number);
    if (t.waitMs)
        Wait(t.waitMs);
}

void TRadioControl::SetScanning(bool start)
{
    const std::string& type = FConfig.Radio.Type;
    const TRadioModel model = Model();
    if (FHost.VoiceShowing() && !type.empty() && model != TRadioModel::None)
        return;
    if (!FHost.ModemReady())
        return;
    TWindowTimer& scan = FTimers.ScanTimer;
    if (IsSteppedScanModel(model)) {
        const int n = FChannels.Count();
        if (start) {
            if (n > 0) {
                scan.SetEnabled(true);
                FScanPosition = 0;
                FScanCount = n;
                FHost.ShowRadioStatus("Scanning", "");
            } else {
                FHost.AddStatusLine("Scan Error: No Channels programmed", true);
                scan.SetInterval(5000);
                scan.SetEnabled(false);
            }
        } else {
            if (n > 0)
                FHost.AddStatusLine("Scan Stopped", true);
            scan.SetEnabled(false);
        }
    } else if (IsBarrett(model)) {
        QueueRadioCommand(start ? "XN1" : "XN0");
        scan.SetEnabled(false);
        if (start)
            FTunedChannel = 0; // the radio's own scan moves it
    }
}

void TRadioControl::ScanTimerTimer()
{
    TWindowTimer& scan = FTimers.ScanTimer;
    scan.SetEnabled(false);
    if (FHost.VoiceShowing()) {
        scan.SetEnabled(true);
        FHost.SetRadioLabel(TRadioLabel::Status, "Paused");
        return;
    }
    const TRadioModel model = Model();
    if (!FHost.ModemReady() || model == TRadioModel::None)
        return;
    if (FHost.Linked() || FHost.CallUnderway()) {
        scan.SetEnabled(true);
        return;
    }
    if (!IsSteppedScanModel(model)) {
        scan.SetEnabled(true);
        return;
    }
    FHost.SetRadioLabel(TRadioLabel::Status, "Scanning");
    // A radio that has not worked off the last step gets no new one, so a
    // slow or silent radio cannot make the queue grow without end.
    if (FQueue.empty()) {
        FScanCount = FChannels.Count();
        if (FScanCount > 0) {
            if (++FScanPosition > FScanCount)
                FScanPosition = 1;
            bool found = false;
            while (FScanPosition <= FScanCount) {
                if (FStations.IsChannelEnabled(0, FScanPosition - 1)) {
                    found = true;
                    break;
                }
                ++FScanPosition;
            }
            if (found)
                ApplyTuning(RadioCommands::Tune(model, FScanPosition,
                                                FChannels.Get(FScanPosition - 1), true),
                            true, FScanPosition);
        }
    }
    scan.SetEnabled(true);
}

void TRadioControl::SendRemoteOff()
{
    const TRadioModel model = Model();
    if (IsIcomNmea(model))
        SendNow(RadioCommands::IcomRemote(model, false), model);
}

void TRadioControl::ProcessRadioByte(uint8_t b)
{
    if (FReplyBuffer.size() > kMaxReply)
        FReplyBuffer.clear();
    const TRadioModel model = Model();
    if (IsIcomNmea(model))
        ParseIcomNmea(b);
    else if (IsIcomCiv(model))
        ParseIcomCiv(b, model);
    else if (IsBarrett(model))
        ParseBarrett(b);
    else if (model == TRadioModel::KenwoodTK90 || model == TRadioModel::KenwoodTRC80 ||
             model == TRadioModel::KenwoodTS850)
        ParseKenwood(b, model);
    else if (model == TRadioModel::VertexVX1700)
        ParseVertex(b);
}

void TRadioControl::ParseIcomNmea(uint8_t b)
{
    if (b == '$') {
        FReplyBuffer.assign(1, '$');
        Acknowledge();
        RadioCmdProcessTimer();
        return;
    }
    if (b == '\r' || b == '\n') {
        FReplyBuffer.clear();
        return;
    }
    FReplyBuffer += static_cast<char>(b);
}

void TRadioControl::ParseIcomCiv(uint8_t b, TRadioModel model)
{
    FReplyBuffer += static_cast<char>(b);
    if (b != 0xFD)
        return;
    const char addr = static_cast<char>(IcomCivAddress(model));
    const std::string ok{'\xFE', '\xFE', '\xE0', addr, '\xFB', '\xFD'};
    const std::string ng{'\xFE', '\xFE', '\xE0', addr, '\xFA', '\xFD'};
    const std::string name = model == TRadioModel::IcomIC78 ? "ICOM IC-78" : "ICOM IC-718";
    if (FReplyBuffer == ok) {
        Log(name + " <- : OK");
        Acknowledge();
    } else if (FReplyBuffer == ng) {
        Log(name + " <- : NG");
        Acknowledge();
    }
    FReplyBuffer.clear();
}

void TRadioControl::ParseBarrett(uint8_t b)
{
    if (b == 0x11) {
        FAwaitingReply = false;
        RadioCmdProcessTimer();
        return;
    }
    if (b != '\r' && b != '\n') {
        FReplyBuffer += static_cast<char>(b);
        return;
    }
    if (FReplyBuffer == "OK") {
        if (FQueue.empty()) {
            Log("BARRETT <- : OK without CMD?");
        } else {
            const std::string head = FQueue.front().command;
            if (head == "XN1") {
                Log("Enabled Scan");
                FTimers.ALETimer.SetEnabled(true);
            } else if (head == "XN0") {
                Log("Disabled Scan");
                FTimers.ALETimer.SetEnabled(false);
            }
            FQueue.pop_front();
        }
    }
    FReplyBuffer.clear();
}

void TRadioControl::ParseKenwood(uint8_t b, TRadioModel model)
{
    const char end = model == TRadioModel::KenwoodTK90 ? '\r' : ';';
    if (b == '\n' || (b == '\r' && end != '\r'))
        return;
    if (b != static_cast<uint8_t>(end)) {
        FReplyBuffer += static_cast<char>(b);
        return;
    }
    const std::string reply = FReplyBuffer;
    FReplyBuffer.clear();
    if (reply.empty())
        return;
    Log("KENWOOD <- : " + reply);
    // Every queued KENWOOD command ends in one query ("IF" or "MC"); its
    // answer releases the command.
    if (reply.rfind("MC", 0) == 0 && reply.size() >= 5)
        FHost.SetRadioLabel(TRadioLabel::Channel, reply.substr(2, 3));
    if (model == TRadioModel::KenwoodTS850 && reply.rfind("IF", 0) == 0 && reply.size() >= 13) {
        const std::string hz = reply.substr(2, 11);
        FHost.SetRadioLabel(TRadioLabel::Freq,
                            RadioCommands::LabelText(hz.substr(3, 5) + "." + hz.substr(8, 3)));
    }
    Acknowledge();
}

void TRadioControl::ParseVertex(uint8_t b)
{
    // The VX-1700 answers every five-byte command with one status byte.
    if (b == kVx1700Processed) {
        Log("VX-1700 Command Processed");
        Acknowledge();
    } else if (b == kVx1700Error) {
        Log("VX-1700 Command Error");
        Acknowledge();
    }
}
