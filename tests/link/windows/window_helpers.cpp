#include "window_helpers.h"

#include <QPushButton>
#include <QTextEdit>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "link/modem_frame.h"
#include "link/windows/chat_frm.h"
#include "platform/data_root.h"
#include "platform/shell.h"
#include "platform/text.h"

TStationRig::TStationRig(const std::string& root, const std::string& name,
                         const std::string& selCall, const std::string& radioType,
                         const std::string& portPath)
    : Root(root)
{
    static int nextPort = 60;
    Port = nextPort++;
    std::filesystem::create_directories(root);
    DataRoot::Set(root);
    ::setenv(("SKIPMAIL_COM" + std::to_string(Port)).c_str(), portPath.c_str(), 1);
    Config = std::make_unique<TConfig>(root + "/skipmail.INI");
    Config->Radio.Type = radioType;
    Stations = std::make_unique<TStationList>();
    Channels = std::make_unique<TChannelList>();
    Schedule = std::make_unique<TScheduledLinkList>();
    AddStation(name, selCall);
    Channels->Add({"14313.250", "14313.250", "USB"});
    Channels->Add({"02182.000", "02182.000", "USB"});
    Form = std::make_unique<TLinkCtrlFrm>(*Config, *Stations, *Channels, *Schedule);
}

void TStationRig::AddStation(const std::string& name, const std::string& selCall)
{
    TStation s;
    s.Name = name;
    s.SelCall = selCall;
    s.ChannelFlags = "YY";
    Stations->Add(s);
}

bool TStationRig::Ready()
{
    // The modem answers in order: once the versions asked after the own
    // address are back, calls to this station find it.
    return Form->OpenModemPort(Port) == 1 && PumpUntil([&] {
               Form->ModemInitTimerTimer();
               return Form->IsModemReady();
           }) &&
           PumpUntil([&] { return !Config->WaveformVariant.empty(); });
}

std::string TStationRig::Log() const
{
    return FromQt(Form->StatusEdit->toPlainText());
}

TOneStation::TOneStation(const std::string& radioType)
    : Sim(radioType, {.CallMs = 600000}),
      Home(Dir.path().toStdString(), "HOME", "0001", radioType, Sim.SlavePath())
{
    Home.AddStation("FIELD", "0002");
}

bool TOneStation::LinkWithField()
{
    if (!Home.Form->CallStation("FIELD", 1, true))
        return false;
    Sim.Send(TModemSimCore::Message(ModemFrame::kMsgLinkUp, "0002"));
    return PumpUntil([&] { return Home.Form->IsLinked(); });
}

bool TOneStation::Sent(uint8_t command)
{
    return Sim.With([command](TModemSimCore& m, TSimRadio&) {
        return std::find(m.commands.begin(), m.commands.end(), command) != m.commands.end();
    });
}

TTwoStations::TTwoStations(TSkyCore::TOptions options, const std::string& radioType)
    : Sky(options, {radioType, radioType})
{
    const std::string dir = Dir.path().toStdString();
    Field =
        std::make_unique<TStationRig>(dir + "/FIELD", "FIELD", "0002", radioType, Sky.SlavePath(1));
    Field->AddStation("HOME", "0001");
    Home =
        std::make_unique<TStationRig>(dir + "/HOME", "HOME", "0001", radioType, Sky.SlavePath(0));
    Home->AddStation("FIELD", "0002");
    Shell::SetLauncher([this](const std::string& program, const std::vector<std::string>& args) {
        Played.push_back(program + " " + args.back());
        return true;
    });
}

TTwoStations::~TTwoStations()
{
    Shell::SetLauncher({});
    Home.reset();
    Field.reset();
}

bool TTwoStations::Link()
{
    return Field->Ready() && Home->Ready() && Home->Form->CallStation("FIELD", 0, true) &&
           PumpUntil([&] {
               return Home->Form->ChatFrm->SendBtn->isEnabled() &&
                      Field->Form->ChatFrm->SendBtn->isEnabled();
           });
}
